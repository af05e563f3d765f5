#include "imaging/view/pxview.h"

#include <algorithm>
#include <utility>

TPxView::TPxView() = default;

TPxView::~TPxView() { DetachListeners(); }

void TPxView::SetBackground(TColor color) {
  if (color == background_) return;
  background_ = color;
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

int TPxView::ClientWidth() const { return std::max(0, width_ - 2 * BorderWidth()); }
int TPxView::ClientHeight() const { return std::max(0, height_ - 2 * BorderWidth()); }

void TPxView::SetBounds(int width, int height) {
  width = std::max(0, width);
  height = std::max(0, height);
  if (width == width_ && height == height_) return;
  width_ = width;
  height_ = height;
  Update();
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
