// TPxView: what every view control of the imaging layer shares (the image
// view, the thumbnail grid): background colour and style, border, control and
// client size, the 24-bit back buffer the view paints into, and the listeners
// attached to its content. Plain C++: a host widget (TPxViewHost) gives the
// view its window, forwards size changes, paint requests and input to it and
// shows the back buffer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/view/pxhost.h"

// A colour reference: red in the low byte (0x00BBGGRR).
using TColor = uint32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clNavy = 0x800000;
inline constexpr TColor clBlue = 0xFF0000;
// The usual button-face colour of desktop themes (there is no system palette here).
inline constexpr TColor clBtnFace = 0xF0F0F0;
inline constexpr TColor clBtnShadow = 0xA0A0A0;
inline constexpr TColor clBtnDkShadow = 0x696969;
inline constexpr TColor clBtnHighlight = 0xFFFFFF;
inline constexpr TColor clBtnLight = 0xE3E3E3;

enum TBorderStyle : uint8_t { bsNone, bsSingle };

enum TPxBackgroundStyle : uint8_t {
  pxbsSolid = 0,
  pxbsHorizontal = 1,
  pxbsVertical = 2,
  pxbsFDiagonal = 3,
  pxbsBDiagonal = 4,
  pxbsCross = 5,
  pxbsDiagCross = 6,
  pxbsChessboard = 7,
  pxbsDiagonals = 8,
  pxbsCropped = 9,
  pxbsCropShadow = 10,
  pxbsGradient = 11,
};

// Integer rectangle, right and bottom included where the users say so.
struct TRect {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Right = 0;
  int32_t Bottom = 0;
  int32_t Width() const { return Right - Left; }
  int32_t Height() const { return Bottom - Top; }
  bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
  friend bool operator==(const TRect&, const TRect&) = default;
};

// Width of the 3-D edge the platform draws around a sunken control.
inline constexpr int kPxEdgeSize = 2;
// Width of the soft shadow of pxbsCropShadow, also its fitting margin.
inline constexpr int kPxShadowSize = 5;

class TPxView : public TPxHostedView {
 public:
  // Called with detach = false when the view's working bitmap changed, and
  // once with detach = true when the view goes away.
  using TBitmapChangeEvent = std::function<void(bool detach)>;

  TPxView();
  ~TPxView() override;
  TPxView(const TPxView&) = delete;
  TPxView& operator=(const TPxView&) = delete;

  TColor Background() const { return background_; }
  virtual void SetBackground(TColor color);
  TPxBackgroundStyle BackgroundStyle() const { return backgroundStyle_; }
  void SetBackgroundStyle(TPxBackgroundStyle style);
  // End colour of pxbsGradient (pure blue by default) and square size of pxbsChessboard.
  TColor GradientEndColor = clBlue;
  int32_t ChessboardSize = 16;

  TBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle style);
  bool Ctl3D() const { return ctl3D_; }
  void SetCtl3D(bool on);
  // Thickness of the border on each side: the edge size with Ctl3D, a thin
  // line without, 0 without border.
  int BorderWidth() const;
  // Thickness actually between the control's outer size and its client area
  // (what the host reported, else BorderWidth).
  int BorderThicknessX() const { return std::max(0, (width_ - ClientWidth()) / 2); }
  int BorderThicknessY() const { return std::max(0, (height_ - ClientHeight()) / 2); }

  // Outer size of the control and the client area inside the border.
  int ControlWidth() const { return width_; }
  int ControlHeight() const { return height_; }
  int ClientWidth() const;
  int ClientHeight() const;
  // A size change of the control updates the view (client = control - border).
  void SetBounds(int width, int height);

  // Listeners of the working bitmap; the id removes one again.
  int AddBitmapChangeEvent(TBitmapChangeEvent event);
  void RemoveBitmapChangeEvent(int id);
  // Tells every listener that the working bitmap changed.
  void CallBitmapChangeEvents();

  // Recomputes and redraws after any change.
  virtual void Update() {}
  // Marks the back buffer out of date and asks the host for a repaint.
  void Invalidate();

  // The back buffer: 24 bits, client size, laid out as a platform bitmap
  // (bottom-up) so that a host shows it without a copy.
  TPxBitmap& BackBuffer() { return backBuffer_; }
  bool BackBufferOutOfDate() const { return backBufferDirty_; }
  // How many times the back buffer was composed (a repaint of an up-to-date
  // buffer does not compose).
  int64_t ComposeCount() const { return composeCount_; }

  // --- TPxHostedView
  void HostResized(int32_t clientWidth, int32_t clientHeight, int32_t controlWidth,
                   int32_t controlHeight) override;
  TPxBitmap* HostPaint(int32_t x, int32_t y, int32_t width, int32_t height) override;
  void HostMouseDown(TPxMouseButton, TPxShiftState, int32_t, int32_t) override {}
  void HostMouseMove(TPxShiftState, int32_t, int32_t) override {}
  void HostMouseUp(TPxMouseButton, TPxShiftState, int32_t, int32_t) override {}

 protected:
  // Draws the whole back buffer (already of client size).
  virtual void ComposeBackBuffer(TPxBitmap& buffer);
  // Painting composes nothing while this is true (the paint lock of views).
  virtual bool PaintLocked() const { return false; }
  // The background of the whole buffer, by BackgroundStyle; `image` is where
  // the picture goes (styles that frame it need it).
  void DrawBackground(TPxBitmap& buffer, const TRect& image) const;
  void MarkBackBufferDirty() { backBufferDirty_ = true; }
  // Tells every listener the view goes away; descendants call it first in
  // their destructors, while the view is still whole.
  void DetachListeners();

 private:
  struct Listener {
    int Id;
    TBitmapChangeEvent Event;
  };
  TColor background_ = clBtnFace;
  TPxBackgroundStyle backgroundStyle_ = pxbsSolid;
  TBorderStyle borderStyle_ = bsSingle;
  bool ctl3D_ = true;
  int width_ = 105;
  int height_ = 105;
  // The client size a host reported; -1 while none did.
  int hostClientWidth_ = -1;
  int hostClientHeight_ = -1;
  std::vector<Listener> listeners_;
  int nextListenerId_ = 1;
  TPxBitmap backBuffer_;
  bool backBufferDirty_ = true;
  int64_t composeCount_ = 0;
};
