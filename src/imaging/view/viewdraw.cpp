// Composing a TImagingView's back buffer: the background, the layers in
// order and the box and grips of the current layer.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/view/imagingview.h"
#include "imaging/view/render.h"

namespace {
// Left + width and the like without overflow: positions come from dragging.
inline int32_t AddClamped(int32_t a, int32_t b) {
  return static_cast<int32_t>(std::clamp<int64_t>(int64_t(a) + b, INT32_MIN, INT32_MAX));
}
// A truncated source size or position, kept within 0 .. limit.
inline int32_t ToPixels(double v, int32_t limit) {
  return static_cast<int32_t>(std::clamp(std::trunc(v), 0.0, double(limit)));
}
}  // namespace

namespace {

// A magnifier shows what lies below it, enlarged about its centre, in a
// rectangle or the ellipse inside it.
void DrawMagnifier(TPxBitmap& buffer, const TRect& r, double rate, bool ellipse) {
  const int32_t x0 = std::max(0, r.Left), y0 = std::max(0, r.Top);
  const int32_t x1 = std::min(buffer.Width(), r.Right), y1 = std::min(buffer.Height(), r.Bottom);
  if (x1 <= x0 || y1 <= y0) return;
  const int32_t w = x1 - x0, h = y1 - y0;
  // What is below, before it is drawn over.
  std::vector<uint8_t> below(size_t(w) * h * 3);
  for (int32_t y = y0; y < y1; ++y)
    std::memcpy(&below[size_t(y - y0) * w * 3], buffer.Scanline(y) + 3 * size_t(x0), size_t(w) * 3);
  const double cx = (double(r.Left) + r.Right) / 2, cy = (double(r.Top) + r.Bottom) / 2;
  const double rx = std::max(1.0, r.Width() / 2.0), ry = std::max(1.0, r.Height() / 2.0);
  for (int32_t y = y0; y < y1; ++y) {
    uint8_t* d = buffer.Scanline(y);
    const double dy = (y + 0.5 - cy) / ry;
    const int32_t sy = std::clamp(static_cast<int32_t>(std::floor(cy + (y + 0.5 - cy) / rate)), y0, y1 - 1);
    for (int32_t x = x0; x < x1; ++x) {
      const double dx = (x + 0.5 - cx) / rx;
      if (ellipse && dx * dx + dy * dy > 1.0) continue;
      const int32_t sx = std::clamp(static_cast<int32_t>(std::floor(cx + (x + 0.5 - cx) / rate)), x0, x1 - 1);
      std::memcpy(d + 3 * size_t(x), &below[(size_t(sy - y0) * w + (sx - x0)) * 3], 3);
    }
  }
}

}  // namespace

void TImagingView::ComposeBackBuffer(TPxBitmap& buffer) {
  SyncLayerSizes();
  const TRect image{offsetX_, offsetY_, offsetX_ + displayWidth_, offsetY_ + displayHeight_};
  bool drawnAny = false;
  const TPxBitmap* alpha = bitmap_ ? bitmap_->AlphaChannelIfAny() : nullptr;
  const bool drawable = bitmap_ && !bitmap_->IsEmpty() &&
                        (!alpha || (alpha->Width() == bitmap_->Width() && alpha->Height() == bitmap_->Height()));
  if (drawable) {
    for (int i = 0; i < LayerCount(); ++i) DrawLayer(buffer, i, drawnAny, image);
  }
  if (!drawnAny) {
    bool handled = false;
    if (OnDrawBackground) OnDrawBackground(this, buffer, TRect{0, 0, buffer.Width(), buffer.Height()}, handled);
    if (!handled) DrawBackground(buffer, image);
  }
  if (drawable) DrawBadges(buffer);
  if (selection_.Selected() && !selection_.Polygon().empty()) DrawSelectionOutline(buffer);
  if (dropTarget_ >= 0 && dropTarget_ < LayerCount()) {
    // Three rings just outside the layer, in amber: seen on the page's
    // white and on a dark background alike.
    const TRect& r = layers_[size_t(dropTarget_)]->ScreenRect;
    constexpr TColor kDropTarget = 0x00C0FF;
    for (int32_t i = 0; i < 3; ++i) {
      const TRect o{r.Left - 1 - i, r.Top - 1 - i, r.Right + 1 + i, r.Bottom + 1 + i};
      PxFillRect(buffer, TRect{o.Left, o.Top, o.Right, o.Top + 1}, kDropTarget);
      PxFillRect(buffer, TRect{o.Left, o.Bottom - 1, o.Right, o.Bottom}, kDropTarget);
      PxFillRect(buffer, TRect{o.Left, o.Top, o.Left + 1, o.Bottom}, kDropTarget);
      PxFillRect(buffer, TRect{o.Right - 1, o.Top, o.Right, o.Bottom}, kDropTarget);
    }
  }
  if (OnDrawBackBuffer) OnDrawBackBuffer(this);
  // What is drawn over the picture goes into the buffer too (the host only
  // copies it), so it is drawn once per composition, not once per paint.
  if (OnDrawCanvas) OnDrawCanvas(this, buffer, TRect{0, 0, buffer.Width(), buffer.Height()});
}

// After every layer, so that no layer drawn later hides another one's mark.
void TImagingView::DrawBadges(TPxBitmap& buffer) {
  for (const auto& layer : layers_)
    if (layer->Visible && layer->Badge == pxlbWarning && !layer->ScreenRect.IsEmpty())
      PxDrawWarningBadge(buffer, PxBadgeRect(layer->ScreenRect));
}

int TImagingView::BadgeAt(int32_t x, int32_t y) const {
  for (int i = LayerCount() - 1; i >= 0; --i) {
    const TPxLayer& layer = *layers_[size_t(i)];
    if (!layer.Visible || layer.Badge == pxlbNone || layer.ScreenRect.IsEmpty()) continue;
    const TRect r = PxBadgeRect(layer.ScreenRect);
    if (x >= r.Left && x < r.Right && y >= r.Top && y < r.Bottom) return i;
  }
  return -1;
}

std::string TImagingView::HostToolTip(int32_t x, int32_t y) {
  const int i = BadgeAt(x, y);
  return i < 0 ? std::string() : layers_[size_t(i)]->BadgeText;
}

void TImagingView::DrawSelectionOutline(TPxBitmap& buffer) {
  if (bitmap_ == nullptr || bitmap_->IsEmpty() || currentLayer_ < 0) return;
  const TPxLayer& layer = *Layer(currentLayer_);
  const int64_t bw = bitmap_->Width(), bh = bitmap_->Height();
  const int64_t gw = layersSync_ ? bw : layer.GetWidth(), gh = layersSync_ ? bh : layer.GetHeight();
  const int64_t left = layersSync_ ? 0 : layer.Left, top = layersSync_ ? 0 : layer.Top;
  // Bitmap pixels to client pixels through the layer's place on the canvas.
  auto toScreen = [&](const TPxPolyPoint& p, int32_t& sx, int32_t& sy) {
    const int64_t cx = left + int64_t(p.X) * gw / bw, cy = top + int64_t(p.Y) * gh / bh;
    sx = CanvasToScreenX(static_cast<int32_t>(std::clamp<int64_t>(cx, INT32_MIN, INT32_MAX)));
    sy = CanvasToScreenY(static_cast<int32_t>(std::clamp<int64_t>(cy, INT32_MIN, INT32_MAX)));
  };
  const std::vector<TPxPolyPoint>& poly = selection_.Polygon();
  int32_t phase = 0;
  size_t start = 0;
  while (start < poly.size()) {
    size_t end = start;
    while (end < poly.size() && !(poly[end] == TPxSelection::kSeparator)) ++end;
    // One closed outline per sub-polygon.
    for (size_t i = start; i < end; ++i) {
      int32_t x0, y0, x1, y1;
      toScreen(poly[i], x0, y0);
      toScreen(poly[i + 1 < end ? i + 1 : start], x1, y1);
      PxDrawDottedLine(buffer, x0, y0, x1, y1, phase);
    }
    start = end + 1;
  }
}

TPxBitmap* TImagingView::HostPaint(int32_t x, int32_t y, int32_t width, int32_t height) {
  TPxBitmap* buffer = TPxView::HostPaint(x, y, width, height);
  if (OnPaint && ClientWidth() > 0 && ClientHeight() > 0) OnPaint(this);
  return buffer;
}

void TImagingView::DrawLayer(TPxBitmap& buffer, int index, bool& drawnAny, const TRect& image) {
  TPxLayer& layer = *Layer(index);
  TPxBitmap* bmp = index == currentLayer_ ? bitmap_ : layer.Bitmap;
  if (!layer.Visible || bmp == nullptr || bmp->IsEmpty()) return;
  if (displayWidth_ == 0 || displayHeight_ == 0) return;
  // A single pixel is a placeholder, not a picture.
  if (bmp->Width() < 2 && bmp->Height() < 2) return;

  const bool useAlpha = enableAlpha_ && bmp->HasAlphaChannel() && !bmp->AlphaIsFull();
  const int32_t cw = buffer.Width(), ch = buffer.Height();

  TPxRenderParams p;
  p.BlendMode = layer.BlendMode;
  p.Opacity = std::clamp(layer.Opacity, 0, 255);
  p.UseAlpha = useAlpha;
  p.SourceLeft = p.SourceTop = 0;
  p.SourceWidth = bmp->Width();
  p.SourceHeight = bmp->Height();
  TRect cover;
  if (layersSync_) {
    // Every layer covers the canvas and is drawn through the view's maps.
    p.DestLeft = offsetX_ - scrollX_;
    p.DestTop = offsetY_ - scrollY_;
    p.DestWidth = extentX_;
    p.DestHeight = extentY_;
    cover = image;
  } else {
    const int32_t left = CanvasToScreenX(layer.Left), top = CanvasToScreenY(layer.Top);
    const int32_t width = CanvasToScreenX(AddClamped(layer.Left, layer.GetWidth())) - left;
    const int32_t height = CanvasToScreenY(AddClamped(layer.Top, layer.GetHeight())) - top;
    layer.ScreenRect = TRect{left, top, left + width, top + height};
    p.DestLeft = left;
    p.DestTop = top;
    p.DestWidth = width;
    p.DestHeight = height;
    if (layer.ClipToBackground && index > 0) {
      // Only the part over layer 0 is drawn; ScreenRect keeps the whole layer.
      const int32_t baseW = Layer(0)->Bitmap ? Layer(0)->Bitmap->Width() : canvasWidth_;
      const int32_t baseH = Layer(0)->Bitmap ? Layer(0)->Bitmap->Height() : canvasHeight_;
      const int32_t gw = layer.GetWidth(), gh = layer.GetHeight();
      if (layer.Left < 0 && gw > 0) {
        p.SourceLeft = ToPixels(double(bmp->Width()) / gw * -double(layer.Left), bmp->Width());
        p.SourceWidth = bmp->Width() - p.SourceLeft;
        const int32_t right = p.DestLeft + p.DestWidth;
        p.DestLeft = CanvasToScreenX(0);
        p.DestWidth = right - p.DestLeft;
      }
      if (int64_t(layer.Left) + gw > baseW && width > 0) {
        p.DestWidth = CanvasToScreenX(baseW) - p.DestLeft;
        p.SourceWidth = ToPixels(double(bmp->Width()) / width * p.DestWidth, bmp->Width());
      }
      if (layer.Top < 0 && gh > 0) {
        p.SourceTop = ToPixels(double(bmp->Height()) / gh * -double(layer.Top), bmp->Height());
        p.SourceHeight = bmp->Height() - p.SourceTop;
        const int32_t bottom = p.DestTop + p.DestHeight;
        p.DestTop = CanvasToScreenY(0);
        p.DestHeight = bottom - p.DestTop;
      }
      if (int64_t(layer.Top) + gh > baseH && height > 0) {
        p.DestHeight = CanvasToScreenY(baseH) - p.DestTop;
        p.SourceHeight = ToPixels(double(bmp->Height()) / height * p.DestHeight, bmp->Height());
      }
    }
    cover = TRect{p.DestLeft, p.DestTop, p.DestLeft + p.DestWidth, p.DestTop + p.DestHeight};
  }

  if (!drawnAny) {
    // The background shows only where the first layer leaves room or shows through.
    const bool fills = offsetX_ == 0 && offsetY_ == 0 && displayWidth_ == cw && displayHeight_ == ch &&
                       cover.Left <= 0 && cover.Top <= 0 && cover.Right >= cw && cover.Bottom >= ch &&
                       p.Opacity == 255 && !useAlpha;
    if (!fills) {
      bool handled = false;
      if (OnDrawBackground) OnDrawBackground(this, buffer, TRect{0, 0, cw, ch}, handled);
      if (!handled) DrawBackground(buffer, image);
    }
    p.FirstLayer = BackgroundStyle() == pxbsSolid;
    drawnAny = true;
  }

  const bool sized = layer.Width != 0 || layer.Height != 0;
  p.Filter = (filterDelay_ == 0 && (zoom_ != 100 || sized)) ? ZoomFilter : rfNone;
  if (layersSync_ && p.Filter == rfNone && int32_t(columnMap_.size()) == cw &&
      int32_t(rowMap_.size()) == ch) {
    p.ColumnMap = columnMap_.data();
    p.RowMap = rowMap_.data();
  }
  if (index > 0 && layer.Magnifier && layer.MagnifyRate >= 1 && !layersSync_)
    DrawMagnifier(buffer, layer.ScreenRect, layer.MagnifyRate, layer.MagnifierShape == 1);
  else
    RenderTo(*bmp, buffer, p, &scratch_);

  if (layer.ShowBox && index == currentLayer_ &&
      (mouseInteract_.Contains(miMoveLayers) || mouseInteract_.Contains(miResizeLayers))) {
    const TRect& r = layer.ScreenRect;
    PxDrawDottedBox(buffer, r);
    if (mouseInteract_.Contains(miResizeLayers) && !layer.Locked) {
      const int32_t mx = int32_t((int64_t(r.Left) + r.Right) / 2), my = int32_t((int64_t(r.Top) + r.Bottom) / 2);
      const int32_t centres[8][2] = {{r.Left, r.Top},  {r.Right, r.Top}, {r.Right, r.Bottom},
                                     {r.Left, r.Bottom}, {r.Left, my},   {r.Right, my},
                                     {mx, r.Top},      {mx, r.Bottom}};
      for (const auto& c : centres) PxDrawGrip(buffer, c[0], c[1]);
    }
  }
}
