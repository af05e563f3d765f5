#include "imaging/view/pxview.h"

#include <algorithm>
#include <utility>

#include "imaging/view/render.h"

TPxView::TPxView() {
  // Laid out as a platform bitmap, so that a host can show it without a copy.
  backBuffer_.SetLocation(pxTBitmap);
}

TPxView::~TPxView() { DetachListeners(); }

void TPxView::SetBackground(TColor color) {
  if (color == background_) return;
  background_ = color;
  Update();
}

void TPxView::SetBackgroundStyle(TPxBackgroundStyle style) {
  if (style == backgroundStyle_) return;
  backgroundStyle_ = style;
  Update();
}

void TPxView::SetBorderStyle(TBorderStyle style) {
  if (style == borderStyle_) return;
  borderStyle_ = style;
  Update();
}

void TPxView::SetCtl3D(bool on) {
  if (on == ctl3D_) return;
  ctl3D_ = on;
  Update();
}

int TPxView::BorderWidth() const {
  if (borderStyle_ == bsNone) return 0;
  return ctl3D_ ? kPxEdgeSize : 1;
}

int TPxView::ClientWidth() const {
  if (hostClientWidth_ >= 0) return hostClientWidth_;
  return std::max(0, width_ - 2 * BorderWidth());
}
int TPxView::ClientHeight() const {
  if (hostClientHeight_ >= 0) return hostClientHeight_;
  return std::max(0, height_ - 2 * BorderWidth());
}

void TPxView::SetBounds(int width, int height) {
  width = std::max(0, width);
  height = std::max(0, height);
  if (width == width_ && height == height_ && hostClientWidth_ < 0) return;
  width_ = width;
  height_ = height;
  hostClientWidth_ = hostClientHeight_ = -1;
  Update();
}

void TPxView::HostResized(int32_t clientWidth, int32_t clientHeight, int32_t controlWidth,
                          int32_t controlHeight) {
  clientWidth = std::max(0, clientWidth);
  clientHeight = std::max(0, clientHeight);
  controlWidth = std::max(clientWidth, controlWidth);
  controlHeight = std::max(clientHeight, controlHeight);
  if (clientWidth == hostClientWidth_ && clientHeight == hostClientHeight_ &&
      controlWidth == width_ && controlHeight == height_)
    return;
  hostClientWidth_ = clientWidth;
  hostClientHeight_ = clientHeight;
  width_ = controlWidth;
  height_ = controlHeight;
  backBufferDirty_ = true;
  Update();
}

void TPxView::Invalidate() {
  backBufferDirty_ = true;
  if (Host()) Host()->HostInvalidate();
}

TPxBitmap* TPxView::HostPaint(int32_t, int32_t, int32_t, int32_t) {
  const int cw = ClientWidth(), ch = ClientHeight();
  if (cw <= 0 || ch <= 0) return &backBuffer_;
  if (PaintLocked()) return backBuffer_.IsEmpty() ? nullptr : &backBuffer_;
  if (backBuffer_.Width() != cw || backBuffer_.Height() != ch ||
      backBuffer_.PixelFormat() != pxRGB24) {
    if (!backBuffer_.Allocate(cw, ch, pxRGB24)) return nullptr;
    backBufferDirty_ = true;
  }
  if (backBufferDirty_) {
    // Painting is not allowed to fail: a fault below leaves the last picture.
    try {
      ComposeBackBuffer(backBuffer_);
    } catch (...) {
    }
    ++composeCount_;
    backBufferDirty_ = false;
  }
  return &backBuffer_;
}

void TPxView::ComposeBackBuffer(TPxBitmap& buffer) {
  DrawBackground(buffer, TRect{0, 0, 0, 0});
}

void TPxView::DrawBackground(TPxBitmap& buffer, const TRect& image) const {
  PxDrawBackground(buffer, backgroundStyle_, background_, GradientEndColor, ChessboardSize, image);
}

int TPxView::AddBitmapChangeEvent(TBitmapChangeEvent event) {
  const int id = nextListenerId_++;
  listeners_.push_back(Listener{id, std::move(event)});
  return id;
}

void TPxView::RemoveBitmapChangeEvent(int id) {
  listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                  [id](const Listener& l) { return l.Id == id; }),
                   listeners_.end());
}

void TPxView::CallBitmapChangeEvents() {
  // A listener may remove itself while being told: walk a copy.
  const std::vector<Listener> listeners = listeners_;
  for (const Listener& l : listeners)
    if (l.Event) l.Event(false);
}

void TPxView::DetachListeners() {
  std::vector<Listener> listeners;
  listeners.swap(listeners_);
  for (const Listener& l : listeners)
    if (l.Event) l.Event(true);
}
