// TImagingView: an image made of layers, and its layers (TPxLayer).
//
// Plain C++ logic: the view owns its layers and their bitmaps, keeps one of
// them current (the working image of its TImagingIO and TImagingProc), merges
// layers, fits, zooms and scrolls the canvas in its client area, composes the
// layers into its back buffer (viewdraw.cpp) and lets the user move and
// resize layers with the mouse (viewmouse.cpp). A host widget (TPxViewHost)
// shows the buffer and passes input on.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "imaging/io/imagingio.h"
#include "imaging/core/pxutils.h"
#include "imaging/proc/imagingproc.h"
#include "imaging/view/pxview.h"
#include "imaging/view/render.h"
#include "imaging/proc/resample.h"

class TImagingView;

enum TPxLayerEvent : uint8_t {
  pxlSelected = 0,  // a layer became current
  pxlMoved = 1,     // a mouse move ended
  pxlResized = 2,   // a mouse resize ended
  pxlMoving = 3,    // during a move
  pxlResizing = 4,  // during a resize
};

using TPxLayerNotify = std::function<void(TImagingView* sender, int layer, TPxLayerEvent event)>;

// What the mouse does in a view (bit numbers of TPxMouseInteract).
enum TPxMouseInteractItem : uint8_t {
  miZoom = 0,             // click to zoom in, right-click to zoom out
  miScroll = 1,           // drag to scroll
  miSelect = 2,           // rectangular selection
  miSelectPolygon = 3,    // polygon selection
  miSelectCircle = 4,     // elliptic selection
  miSelectZoom = 5,       // drag a rectangle to zoom to it
  miSelectMagicWand = 6,  // select by colour similarity
  miSelectLasso = 7,      // free-hand selection
  miMoveLayers = 8,       // drag layers
  miResizeLayers = 9,     // drag the grips of the current layer
};

// A set of TPxMouseInteractItem.
struct TPxMouseInteract {
  uint16_t Bits = 0;
  constexpr TPxMouseInteract() = default;
  constexpr TPxMouseInteract(std::initializer_list<TPxMouseInteractItem> items) {
    for (TPxMouseInteractItem i : items) Bits |= uint16_t(1u << i);
  }
  constexpr bool Contains(TPxMouseInteractItem i) const { return (Bits >> i) & 1u; }
  constexpr void Include(TPxMouseInteractItem i) { Bits |= uint16_t(1u << i); }
  constexpr void Exclude(TPxMouseInteractItem i) { Bits &= uint16_t(~(1u << i)); }
  constexpr bool Empty() const { return Bits == 0; }
  friend constexpr bool operator==(TPxMouseInteract, TPxMouseInteract) = default;
};
constexpr TPxMouseInteract operator|(TPxMouseInteract a, TPxMouseInteract b) {
  TPxMouseInteract r;
  r.Bits = uint16_t(a.Bits | b.Bits);
  return r;
}
constexpr TPxMouseInteract operator|(TPxMouseInteract a, TPxMouseInteractItem b) {
  return a | TPxMouseInteract{b};
}
constexpr TPxMouseInteract operator|(TPxMouseInteractItem a, TPxMouseInteractItem b) {
  return TPxMouseInteract{a, b};
}

// The grips of the current layer, in hit-testing order. Scoped, because
// pxNone also names the empty pixel format; the other values are also given
// at global scope.
enum class TPxGrip : uint8_t {
  pxNone = 0,
  pxTopLeft = 1,
  pxTopRight = 2,
  pxBottomRight = 3,
  pxBottomLeft = 4,
  pxLeftSide = 5,
  pxRightSide = 6,
  pxTopSide = 7,
  pxBottomSide = 8,
};
inline constexpr TPxGrip pxTopLeft = TPxGrip::pxTopLeft;
inline constexpr TPxGrip pxTopRight = TPxGrip::pxTopRight;
inline constexpr TPxGrip pxBottomRight = TPxGrip::pxBottomRight;
inline constexpr TPxGrip pxBottomLeft = TPxGrip::pxBottomLeft;
inline constexpr TPxGrip pxLeftSide = TPxGrip::pxLeftSide;
inline constexpr TPxGrip pxRightSide = TPxGrip::pxRightSide;
inline constexpr TPxGrip pxTopSide = TPxGrip::pxTopSide;
inline constexpr TPxGrip pxBottomSide = TPxGrip::pxBottomSide;

// A mark the view draws in a layer's corner to call the user's eye to it.
enum TPxLayerBadge : uint8_t { pxlbNone = 0, pxlbWarning = 1 };

enum TScrollStyle : uint8_t { ssNone = 0, ssHorizontal = 1, ssVertical = 2, ssBoth = 3 };

// The id of a view's delayed-filter timer and its interval.
inline constexpr int32_t kPxDelayTimerId = 1;
inline constexpr int32_t kPxDelayTimerMs = 210;
// Ticks of that timer between the last zoom or scroll and the filtered redraw.
inline constexpr int kPxFilterDelayTicks = 4;

// One layer: a bitmap placed on the view's canvas (canvas pixels are pixels of
// layer 0's bitmap).
class TPxLayer {
 public:
  // With useBitmap the layer takes `bitmap` itself; otherwise it makes a new
  // bitmap of the same size, pixel format and location (contents undefined).
  // The layer owns its bitmap either way.
  TPxLayer(TImagingView* owner, bool useBitmap, TPxBitmap* bitmap);
  ~TPxLayer();
  TPxLayer(const TPxLayer&) = delete;
  TPxLayer& operator=(const TPxLayer&) = delete;

  // Display size on the canvas; 0 means the bitmap's own size.
  int32_t Width = 0;
  int32_t Height = 0;
  TImagingView* Owner = nullptr;
  TPxBitmap* Bitmap = nullptr;
  bool Visible = true;
  bool ShowBox = true;
  int32_t Opacity = 255;  // 255 opaque, 0 invisible
  int32_t Left = 0;
  int32_t Top = 0;
  // Where the layer was last drawn, in client pixels (all four edges inside).
  TRect ScreenRect;
  bool ClipToBackground = false;
  bool Locked = false;
  bool Magnifier = false;
  double MagnifyRate = 2.0;
  uint8_t MagnifierShape = 0;  // 0 rectangle, 1 ellipse
  uint8_t BlendMode = 0;       // 0 replace, 1 add (clamped)
  bool OwnsBitmap = true;
  // Drawn by the view over every layer (never merged or printed), in the
  // corner PxBadgeRect gives; BadgeText is the badge's tooltip.
  TPxLayerBadge Badge = pxlbNone;
  std::string BadgeText;

  int32_t GetWidth() const;
  int32_t GetHeight() const;
  // Client pixel to a pixel of the layer's bitmap (not clamped).
  int32_t ScreenToLayerX(int32_t x) const;
  int32_t ScreenToLayerY(int32_t y) const;
};

class TImagingView : public TPxView, public TPxIOViewLink {
 public:
  using TViewProgressEvent = std::function<void(void* sender, int per)>;
  using TViewNotifyEvent = std::function<void(TImagingView* sender)>;
  // change: 0 scrolled, 1 zoomed.
  using TViewChangeEvent = std::function<void(TImagingView* sender, int change)>;
  using TDrawBackgroundEvent =
      std::function<void(TImagingView* sender, TPxBitmap& buffer, const TRect& rect, bool& handled)>;
  using TDrawCanvasEvent = std::function<void(TImagingView* sender, TPxBitmap& buffer, const TRect& rect)>;

  TImagingView();
  ~TImagingView() override;

  // --- layers
  int LayerCount() const { return static_cast<int>(layers_.size()); }
  // Throws std::out_of_range outside 0 .. LayerCount - 1.
  TPxLayer* Layer(int index) const;
  int CurrentLayer() const { return currentLayer_; }
  // Out of range or already current: nothing.
  virtual void SetCurrentLayer(int index);
  // A new current layer of the current bitmap's size and format, filled with
  // the background colour; returns its index.
  int AddLayer();
  // The last layer is never removed; out of range does nothing.
  void RemoveLayer(int index);
  // Topmost layer whose ScreenRect holds the client pixel and whose alpha
  // there is not 0; -1 when none.
  int FindLayerAt(int32_t x, int32_t y) const;
  // Topmost visible layer with a badge whose mark holds the client pixel; -1 when none.
  int BadgeAt(int32_t x, int32_t y) const;
  // Merges two layers into a new one at the lower index.
  void MergeLayers(int index1, int index2, bool removeUpper);
  bool LayersSync() const { return layersSync_; }
  void SetLayersSync(bool on);
  // Brings the canvas size up to date (and the layer sizes when in sync).
  void SyncLayerSizes();
  int32_t CanvasWidth() const { return canvasWidth_; }
  int32_t CanvasHeight() const { return canvasHeight_; }
  TPxLayerNotify OnLayerNotify;

  // --- the working image
  // The current layer's bitmap.
  TPxBitmap* Bitmap() const { return bitmap_; }
  // Fills the current bitmap with Background, drops its alpha plane, updates.
  void ClearToBackground();
  // Smaller than 2 pixels both ways.
  bool IsEmpty() const;
  // Tells the view its image was changed from outside (a load, a process).
  void ImageChanged();
  // Created on first use, attached to this view, given OnProgress.
  TImagingIO& GetIO();
  TImagingProc& GetProc();
  TViewProgressEvent OnProgress;
  TViewNotifyEvent OnImageChange;
  // Asked from a worker thread: the platform layer must run ImageChanged on
  // the view's own thread (the view does it directly when this is empty).
  std::function<void()> OnPostRefresh;
  int32_t DpiX = kDefaultDpi;
  int32_t DpiY = kDefaultDpi;
  // Filter for layers shown (or merged) at a size other than their own.
  TResampleFilter ZoomFilter = rfNone;
  // Draw without ZoomFilter while zooming, scrolling or dragging.
  bool DelayZoomFilter() const { return delayZoomFilter_; }
  void SetDelayZoomFilter(bool on);
  // Use the layers' alpha planes when drawing.
  bool EnableAlphaChannel() const { return enableAlpha_; }
  void SetEnableAlphaChannel(bool on);
  // How the coordinates given to selections are read (see TPxSelectionBase).
  TPxSelectionBase SelectionBase = pxsbClientArea;

  // --- fitting
  bool AutoFit() const { return autoFit_; }
  void SetAutoFit(bool on);
  bool AutoShrink() const { return autoShrink_; }
  void SetAutoShrink(bool on);
  bool AutoStretch() const { return autoStretch_; }
  void SetAutoStretch(bool on);
  // The zoom at which the whole canvas fits the control (percent).
  double FitValue() const;
  // Zooms to FitValue; the scroll bars go.
  void Fit();
  TScrollStyle ScrollBars() const { return scrollBars_; }
  void SetScrollBars(TScrollStyle style);

  // --- geometry (client pixels <-> canvas pixels)
  double Zoom() const { return zoom_; }
  // Percent; nothing when <= 0.
  void SetZoom(double zoom);
  double ZoomFactor() const { return zoomFactor_; }
  double ZoomInverse() const { return zoomInverse_; }
  bool Center() const { return center_; }
  void SetCenter(bool on);
  int32_t ScrollX() const { return scrollX_; }
  int32_t ScrollY() const { return scrollY_; }
  // Scrolls, clamped to 0 .. MaxScrollX/Y.
  void SetScroll(int32_t x, int32_t y);
  void SetScrollX(int32_t x) { SetScroll(x, scrollY_); }
  void SetScrollY(int32_t y) { SetScroll(scrollX_, y); }
  int32_t MaxScrollX() const { return maxScrollX_; }
  int32_t MaxScrollY() const { return maxScrollY_; }
  // Client position of the image's top-left corner.
  int32_t OffsetX() const { return offsetX_; }
  int32_t OffsetY() const { return offsetY_; }
  // The zoomed canvas and the part of it shown.
  int32_t ExtentX() const { return extentX_; }
  int32_t ExtentY() const { return extentY_; }
  int32_t DisplayWidth() const { return displayWidth_; }
  int32_t DisplayHeight() const { return displayHeight_; }
  int32_t ScreenToCanvasX(int32_t x) const;
  int32_t ScreenToCanvasY(int32_t y) const;
  int32_t CanvasToScreenX(int32_t x) const;
  int32_t CanvasToScreenY(int32_t y) const;
  // Sets every layer's ScreenRect to where drawing puts it.
  void UpdateLayerScreenRects();

  // --- updating
  void Update() override;
  void LockUpdate() { ++updateLock_; }
  void UnlockUpdate();
  int UpdateLockCount() const { return updateLock_; }
  // Paint lock: while raised, painting composes nothing. EndUpdate(false)
  // lowers it without updating.
  void BeginUpdate() { ++paintLock_; }
  void EndUpdate(bool update = true);
  int PaintLockCount() const { return paintLock_; }
  // Composes the back buffer when out of date and returns it (the host's paint).
  TPxBitmap* Paint() { return HostPaint(0, 0, ClientWidth(), ClientHeight()); }
  // Ticks left before a delayed filter is applied (0 = the filter is in use).
  int FilterDelay() const { return filterDelay_; }

  TViewChangeEvent OnViewChange;
  TViewNotifyEvent OnPaint;
  TViewNotifyEvent OnDrawBackBuffer;
  TDrawBackgroundEvent OnDrawBackground;
  TDrawCanvasEvent OnDrawCanvas;
  // A layer outlined as the place where a drag in progress would land;
  // -1 for none. Drawn by the view, never printed.
  int DropTargetLayer() const { return dropTarget_; }
  void SetDropTargetLayer(int index);

  // --- the mouse
  TPxMouseInteract MouseInteract() const { return mouseInteract_; }
  virtual void SetMouseInteract(TPxMouseInteract items);
  // The view's own cursor, shown when no interaction asks for another.
  int32_t Cursor() const { return cursor_; }
  void SetCursor(int32_t cursor);
  // The first grip of the current layer holding client point (x, y).
  TPxGrip GripAt(int32_t x, int32_t y) const;
  // One step of dragging the grip being dragged to client point (x, y).
  void ResizeLayer(int32_t x, int32_t y, bool keepAspect);
  // The layer being moved (-1 none) and the grip being dragged.
  int MovingLayer() const { return movingLayer_; }
  TPxGrip DraggedGrip() const { return grip_; }

  // --- TPxHostedView
  TPxBitmap* HostPaint(int32_t x, int32_t y, int32_t width, int32_t height) override;
  void HostMouseDown(TPxMouseButton button, TPxShiftState shift, int32_t x, int32_t y) override;
  void HostMouseMove(TPxShiftState shift, int32_t x, int32_t y) override;
  void HostMouseUp(TPxMouseButton button, TPxShiftState shift, int32_t x, int32_t y) override;
  void HostWheel(TPxShiftState shift, int32_t delta, int32_t x, int32_t y) override;
  void HostScrolled(bool horizontal, int32_t pos) override;
  void HostTimer(int32_t id) override;
  // The text of the badge under the point.
  std::string HostToolTip(int32_t x, int32_t y) override;

  // The selection of the current bitmap, in bitmap pixels.
  TPxSelection& Selection() { return selection_; }
  // Selects the rectangle x1 <= x < x2, y1 <= y < y2 of the current bitmap,
  // corners read as SelectionBase says (client pixels or bitmap pixels); op 0
  // replaces the selection, 1 adds to it. False when nothing was selected.
  bool Select(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int op = 0);
  void Deselect();

  // --- TPxIOViewLink
  TPxBitmap* IOBitmap() override { return bitmap_; }
  void IOImageChanged(bool fromWorker) override;
  void IOSetDpi(int32_t dpiX, int32_t dpiY) override;
  uint32_t IOBackground() override { return Background(); }
  void IOSetBackground(uint32_t color) override { SetBackground(color); }

 protected:
  // Recomputes extent, display size and offsets from zoom and client size.
  void ComputeGeometry();
  void ComposeBackBuffer(TPxBitmap& buffer) override;
  bool PaintLocked() const override { return paintLock_ > 0; }

 private:
  void StoreCurrentBitmap();
  void Notify(int layer, TPxLayerEvent event);
  void ApplyAutoZoom();
  void SetZoomValue(double zoom);
  void UpdateScrollBars();
  void BuildMaps();
  void StartFilterDelay();
  void FireViewChange(int change);
  void AutoScroll();
  void ShowCursor(int32_t cursor);
  void DrawLayer(TPxBitmap& buffer, int index, bool& drawnAny, const TRect& image);
  void DrawSelectionOutline(TPxBitmap& buffer);
  void DrawBadges(TPxBitmap& buffer);
  int32_t ScreenToCanvas(int32_t pos, int32_t offset, int32_t scroll, int32_t display,
                         int32_t canvas) const;
  int32_t CanvasToScreen(int32_t pos, int32_t offset, int32_t scroll, int32_t display,
                         int32_t canvas) const;

  std::vector<std::unique_ptr<TPxLayer>> layers_;
  int currentLayer_ = -1;
  int dropTarget_ = -1;
  TPxBitmap* bitmap_ = nullptr;
  bool layersSync_ = true;
  int32_t canvasWidth_ = 0;
  int32_t canvasHeight_ = 0;

  std::unique_ptr<TImagingIO> io_;
  std::unique_ptr<TImagingProc> proc_;
  TPxSelection selection_;

  double zoom_ = 100;
  double zoomFactor_ = 1;
  double zoomInverse_ = 1;
  bool center_ = true;
  int32_t scrollX_ = 0;
  int32_t scrollY_ = 0;
  int32_t offsetX_ = 0;
  int32_t offsetY_ = 0;
  int32_t extentX_ = 0;
  int32_t extentY_ = 0;
  int32_t displayWidth_ = 0;
  int32_t displayHeight_ = 0;
  int updateLock_ = 0;
  bool destroying_ = false;
  int32_t maxScrollX_ = 0;
  int32_t maxScrollY_ = 0;

  bool autoFit_ = false;
  bool autoShrink_ = false;
  bool autoStretch_ = false;
  bool delayZoomFilter_ = false;
  bool enableAlpha_ = false;
  TScrollStyle scrollBars_ = ssBoth;
  int paintLock_ = 0;
  int filterDelay_ = 0;
  bool inUpdate_ = false;
  bool updateAgain_ = false;
  int32_t lastBitmapWidth_ = -1;
  int32_t lastBitmapHeight_ = -1;
  // What was last given to the host's scroll bars: visible, max, page, pos.
  int32_t sentBars_[2][4] = {{-1, -1, -1, -1}, {-1, -1, -1, -1}};
  // Canvas column / row shown at each client column / row, -1 outside the picture.
  std::vector<int32_t> columnMap_, rowMap_;
  TPxRenderScratch scratch_;

  TPxMouseInteract mouseInteract_;
  int32_t cursor_ = crCross;
  int32_t shownCursor_ = -1;
  int movingLayer_ = -1;
  TPxGrip grip_ = TPxGrip::pxNone;
  bool leftDown_ = false;
  int32_t pressX_ = 0, pressY_ = 0, lastX_ = 0, lastY_ = 0;
  TResampleFilter savedFilter_ = rfNone;
  // Inside a mouse handler: the application's SelectionBase while it is
  // replaced by client coordinates.
  bool inMouse_ = false;
  TPxSelectionBase appSelectionBase_ = pxsbClientArea;
};

// The page view: layers with vector objects drawn over them.
class TImagingVect : public TImagingView {
 public:
  TImagingVect();
  ~TImagingVect() override;
};
