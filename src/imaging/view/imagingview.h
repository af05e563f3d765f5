// TImagingView: an image made of layers, and its layers (TPxLayer).
//
// Plain C++ logic: the view owns its layers and their bitmaps, keeps one of
// them current (the working image of its TImagingIO and TImagingProc), merges
// layers and maps client pixels to canvas pixels. The platform layer gives it
// a window; drawing into the back buffer builds on the geometry kept here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "imaging/core/imagingio.h"
#include "imaging/core/pxutils.h"
#include "imaging/view/imagingproc.h"
#include "imaging/view/pxview.h"
#include "imaging/view/resample.h"

class TImagingView;

enum TPxLayerEvent : uint8_t {
  pxlSelected = 0,  // a layer became current
  pxlMoved = 1,     // a mouse move ended
  pxlResized = 2,   // a mouse resize ended
  pxlMoving = 3,    // during a move
  pxlResizing = 4,  // during a resize
};

using TPxLayerNotify = std::function<void(TImagingView* sender, int layer, TPxLayerEvent event)>;

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

  // The selection of the current bitmap, in bitmap pixels.
  TPxSelection& Selection() { return selection_; }

  // --- TPxIOViewLink
  TPxBitmap* IOBitmap() override { return bitmap_; }
  void IOImageChanged(bool fromWorker) override;
  void IOSetDpi(int32_t dpiX, int32_t dpiY) override;
  uint32_t IOBackground() override { return Background(); }
  void IOSetBackground(uint32_t color) override { SetBackground(color); }

 protected:
  // Recomputes extent, display size and offsets from zoom and client size.
  void ComputeGeometry();

 private:
  void StoreCurrentBitmap();
  void Notify(int layer, TPxLayerEvent event);
  int32_t ScreenToCanvas(int32_t pos, int32_t offset, int32_t scroll, int32_t display,
                         int32_t canvas) const;
  int32_t CanvasToScreen(int32_t pos, int32_t offset, int32_t scroll, int32_t display,
                         int32_t canvas) const;

  std::vector<std::unique_ptr<TPxLayer>> layers_;
  int currentLayer_ = -1;
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
};

// The page view: layers with vector objects drawn over them.
class TImagingVect : public TImagingView {
 public:
  TImagingVect();
  ~TImagingVect() override;
};
