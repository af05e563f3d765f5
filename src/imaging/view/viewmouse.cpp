// Moving and resizing a TImagingView's layers with the mouse, and the cursor
// feedback over layers and grips.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "imaging/view/imagingview.h"

namespace {

// Items 2 to 7: the selection modes.
constexpr uint16_t kSelectionBits = 0x00FC;
constexpr uint16_t kLayerBits = (1u << miMoveLayers) | (1u << miResizeLayers);

// Sizes and positions stay int32 however far a layer is dragged.
int32_t Size(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, 1, INT32_MAX)); }
int32_t Near(double v) { return static_cast<int32_t>(std::clamp(std::trunc(v), -1e9, 1e9)); }
void Shift(int32_t& pos, int64_t by) {
  pos = static_cast<int32_t>(std::clamp<int64_t>(pos + by, INT32_MIN, INT32_MAX));
}

int32_t GripCursor(TPxGrip grip) {
  switch (grip) {
    case pxTopLeft:
    case pxBottomRight: return crSizeNWSE;
    case pxTopSide:
    case pxBottomSide: return crSizeNS;
    case pxTopRight:
    case pxBottomLeft: return crSizeNESW;
    case pxLeftSide:
    case pxRightSide: return crSizeWE;
    default: return crDefault;
  }
}

}  // namespace

// While a mouse handler runs, selections read client coordinates; the
// application's value is kept and shown to event handlers.
class TPxMouseScope {
 public:
  explicit TPxMouseScope(bool& inMouse, TPxSelectionBase& base, TPxSelectionBase& saved)
      : inMouse_(inMouse), base_(base), saved_(saved), outer_(inMouse) {
    if (outer_) return;
    saved_ = base_;
    base_ = pxsbClientArea;
    inMouse_ = true;
  }
  ~TPxMouseScope() {
    if (outer_) return;
    base_ = saved_;
    inMouse_ = false;
  }

 private:
  bool& inMouse_;
  TPxSelectionBase& base_;
  TPxSelectionBase& saved_;
  bool outer_;
};

void TImagingView::SetMouseInteract(TPxMouseInteract items) {
  if (items == mouseInteract_) return;
  const TPxMouseInteract old = mouseInteract_;
  static constexpr TPxMouseInteractItem kExclusive[] = {miScroll,      miSelect,     miSelectPolygon,
                                                       miSelectCircle, miSelectLasso, miSelectZoom,
                                                       miZoom,         miSelectMagicWand};
  bool added = false;
  for (TPxMouseInteractItem item : kExclusive) {
    if (!items.Contains(item) || old.Contains(item)) continue;
    // A newly added mode drops what does not go with it: zoom and scroll go
    // together, every selection mode stands alone, layer dragging goes.
    TPxMouseInteract kept{item};
    if (item == miScroll && items.Contains(miZoom)) kept.Include(miZoom);
    if (item == miZoom && items.Contains(miScroll)) kept.Include(miScroll);
    items = kept;
    added = true;
    break;
  }
  if (!added && (items.Bits & kLayerBits)) items.Bits &= kLayerBits;
  mouseInteract_ = items;
  Update();
}

void TImagingView::SetCursor(int32_t cursor) {
  cursor_ = cursor;
  ShowCursor(cursor);
}

void TImagingView::ShowCursor(int32_t cursor) {
  shownCursor_ = cursor;
  if (Host()) Host()->HostSetCursor(cursor);
}

TPxGrip TImagingView::GripAt(int32_t x, int32_t y) const {
  if (currentLayer_ < 0 || currentLayer_ >= LayerCount()) return TPxGrip::pxNone;
  const TRect& r = Layer(currentLayer_)->ScreenRect;
  const int32_t mx = int32_t((int64_t(r.Left) + r.Right) / 2), my = int32_t((int64_t(r.Top) + r.Bottom) / 2);
  const int32_t centres[8][2] = {{r.Left, r.Top},    {r.Right, r.Top}, {r.Right, r.Bottom},
                                 {r.Left, r.Bottom}, {r.Left, my},     {r.Right, my},
                                 {mx, r.Top},        {mx, r.Bottom}};
  for (int g = 0; g < 8; ++g)
    if (std::abs(int64_t(x) - centres[g][0]) <= 4 && std::abs(int64_t(y) - centres[g][1]) <= 4)
      return static_cast<TPxGrip>(g + 1);
  return TPxGrip::pxNone;
}

void TImagingView::ResizeLayer(int32_t x, int32_t y, bool keepAspect) {
  if (currentLayer_ < 0 || currentLayer_ >= LayerCount()) return;
  TPxLayer& layer = *Layer(currentLayer_);
  TPxGrip grip = grip_;
  const int32_t w0 = layer.GetWidth(), h0 = layer.GetHeight();
  int32_t cx = ScreenToCanvasX(x), cy = ScreenToCanvasY(y);
  const int32_t px = ScreenToCanvasX(lastX_), py = ScreenToCanvasY(lastY_);
  const TRect r = layer.ScreenRect;
  const TPxBitmap* bmp = bitmap_;
  const double bw = bmp ? bmp->Width() : 0, bh = bmp ? bmp->Height() : 0;
  if (keepAspect) {
    switch (grip) {
      case pxBottomRight:
      case pxRightSide:
        // The height follows the width in the bitmap's proportion.
        if (bw > 0) cy = ScreenToCanvasY(Near(std::trunc(bh / bw * (double(x) - r.Left)) + r.Top));
        grip = pxBottomRight;
        break;
      case pxBottomSide:
        if (bw > 0 && bh > 0)
          cx = ScreenToCanvasX(Near(std::trunc((double(y) - r.Top) / (bh / bw)) + r.Left));
        grip = pxBottomRight;
        break;
      default:
        // The other grips would move the layer's anchor: they do nothing.
        cx = px;
        cy = py;
        break;
    }
  }
  const int64_t dx = int64_t(cx) - px, dy = int64_t(cy) - py;
  int32_t w = w0, h = h0;
  switch (grip) {
    case pxTopLeft:
      w = Size(w0 - dx);
      h = Size(h0 - dy);
      if (w > 1) Shift(layer.Left, dx);
      if (h > 1) Shift(layer.Top, dy);
      break;
    case pxTopRight:
      w = Size(w0 + dx);
      h = Size(h0 - dy);
      if (h > 1) Shift(layer.Top, dy);
      break;
    case pxBottomRight:
      w = Size(int64_t(cx) - ScreenToCanvasX(r.Left));
      h = Size(int64_t(cy) - ScreenToCanvasY(r.Top));
      break;
    case pxBottomLeft:
      w = Size(w0 - dx);
      h = Size(h0 + dy);
      if (w > 1) Shift(layer.Left, dx);
      break;
    case pxLeftSide:
      w = Size(w0 - dx);
      if (w > 1) Shift(layer.Left, dx);
      break;
    case pxRightSide:
      w = Size(int64_t(cx) - ScreenToCanvasX(r.Left));
      break;
    case pxTopSide:
      h = Size(h0 - dy);
      if (h > 1) Shift(layer.Top, dy);
      break;
    case pxBottomSide:
      h = Size(h0 + dy);
      break;
    default:
      return;
  }
  layer.Width = w;
  layer.Height = h;
}

void TImagingView::AutoScroll() {
  TPxViewHost* host = Host();
  if (!host) return;
  int32_t x = 0, y = 0;
  host->HostPointerPos(x, y);
  // Each step scrolls by the distance outside the picture; scrolling is
  // bounded, so this ends at the latest at the scroll limits.
  for (int step = 0; step < 100000; ++step) {
    const int32_t right = offsetX_ + displayWidth_ - 1, bottom = offsetY_ + displayHeight_ - 1;
    const int32_t dx = x < offsetX_ ? x - offsetX_ : (x > right ? x - right : 0);
    const int32_t dy = y < offsetY_ ? y - offsetY_ : (y > bottom ? y - bottom : 0);
    if (dx == 0 && dy == 0) break;
    const int32_t sx0 = scrollX_, sy0 = scrollY_;
    SetScroll(static_cast<int32_t>(std::clamp<int64_t>(int64_t(scrollX_) + dx, 0, INT32_MAX)),
              static_cast<int32_t>(std::clamp<int64_t>(int64_t(scrollY_) + dy, 0, INT32_MAX)));
    const int32_t moved = scrollX_ - sx0, movedY = scrollY_ - sy0;
    if (moved == 0 && movedY == 0) break;
    // The drag goes on from the same canvas points.
    pressX_ -= moved;
    lastX_ -= moved;
    pressY_ -= movedY;
    lastY_ -= movedY;
    host->HostRepaintNow();
    host->HostPointerPos(x, y);
  }
}

void TImagingView::HostMouseDown(TPxMouseButton button, TPxShiftState, int32_t x, int32_t y) {
  // Zooming by clicks is not a mode of this view: only the left button acts,
  // and a second press while it is held is ignored.
  if (button != mbLeft) return;
  // A press while the button is thought held: its release went astray; the
  // drag before it ends first.
  if (leftDown_) HostMouseUp(mbLeft, 0, lastX_, lastY_);
  TPxMouseScope scope(inMouse_, SelectionBase, appSelectionBase_);
  if (Host()) Host()->HostSetFocus();
  savedFilter_ = ZoomFilter;
  if (delayZoomFilter_ && !mouseInteract_.Contains(miScroll)) ZoomFilter = rfNone;
  leftDown_ = true;
  pressX_ = lastX_ = x;
  pressY_ = lastY_ = y;
  movingLayer_ = -1;
  grip_ = mouseInteract_.Contains(miResizeLayers) ? GripAt(x, y) : TPxGrip::pxNone;
  if (grip_ == TPxGrip::pxNone && mouseInteract_.Contains(miMoveLayers)) {
    movingLayer_ = FindLayerAt(x, y);
    if (movingLayer_ >= 0) {
      SetCurrentLayer(movingLayer_);
      if (!Layer(currentLayer_)->Locked) ShowCursor(crMoveLayer);
    }
  }
}

void TImagingView::HostMouseMove(TPxShiftState shift, int32_t x, int32_t y) {
  // A move without the button while a drag runs: the release went astray.
  if (leftDown_ && !(shift & ssLeft)) HostMouseUp(mbLeft, shift, x, y);
  TPxMouseScope scope(inMouse_, SelectionBase, appSelectionBase_);
  if (leftDown_) {
    if (movingLayer_ >= 0 && movingLayer_ < LayerCount()) {
      if (!Layer(movingLayer_)->Locked) {
        AutoScroll();
        TPxLayer& layer = *Layer(movingLayer_);
        Shift(layer.Left, int64_t(ScreenToCanvasX(x)) - ScreenToCanvasX(lastX_));
        Shift(layer.Top, int64_t(ScreenToCanvasY(y)) - ScreenToCanvasY(lastY_));
        Update();
        Notify(currentLayer_, pxlMoving);
      }
    } else if (grip_ != TPxGrip::pxNone && currentLayer_ >= 0) {
      if (!Layer(currentLayer_)->Locked) {
        AutoScroll();
        ResizeLayer(x, y, (shift & ssAlt) != 0);
        Update();
        Notify(currentLayer_, pxlResizing);
      }
    }
    lastX_ = x;
    lastY_ = y;
    return;
  }
  // Cursor feedback.
  if ((mouseInteract_.Bits & kSelectionBits) || !(mouseInteract_.Bits & kLayerBits)) return;
  TPxGrip grip = TPxGrip::pxNone;
  if (mouseInteract_.Contains(miResizeLayers) && currentLayer_ >= 0 && !Layer(currentLayer_)->Locked)
    grip = GripAt(x, y);
  if (grip != TPxGrip::pxNone) {
    ShowCursor(GripCursor(grip));
    return;
  }
  const int index = FindLayerAt(x, y);
  if (index < 0 || Layer(index)->Locked || !mouseInteract_.Contains(miMoveLayers))
    ShowCursor(cursor_);
  else
    ShowCursor(crMoveLayer);
}

void TImagingView::HostMouseUp(TPxMouseButton button, TPxShiftState, int32_t, int32_t) {
  if (button != mbLeft || !leftDown_) return;
  TPxMouseScope scope(inMouse_, SelectionBase, appSelectionBase_);
  leftDown_ = false;
  if (movingLayer_ >= 0) {
    movingLayer_ = -1;
    ShowCursor(cursor_);
    Notify(currentLayer_, pxlMoved);
  }
  if (grip_ != TPxGrip::pxNone) {
    grip_ = TPxGrip::pxNone;
    Notify(currentLayer_, pxlResized);
  }
  if (ZoomFilter != savedFilter_) {
    ZoomFilter = savedFilter_;
    Update();
  }
}
