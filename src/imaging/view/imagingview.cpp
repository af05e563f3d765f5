#include "imaging/view/imagingview.h"

#include "imaging/proc/mergerows.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "imaging/proc/imagingproc.h"

namespace {
constexpr int32_t kPxFarScreen = 1 << 29;
// Left + width and the like without overflow: positions come from dragging.
inline int32_t AddClamped(int32_t a, int32_t b) {
  return static_cast<int32_t>(std::clamp<int64_t>(int64_t(a) + b, INT32_MIN, INT32_MAX));
}
}  // namespace

// ---------------------------------------------------------------------------
// TPxLayer

TPxLayer::TPxLayer(TImagingView* owner, bool useBitmap, TPxBitmap* bitmap) : Owner(owner) {
  if (useBitmap) {
    Bitmap = bitmap;
    return;
  }
  Bitmap = new TPxBitmap();
  if (bitmap == nullptr) return;
  if (bitmap->Location() != pxMemory) Bitmap->SetLocation(bitmap->Location());
  // A size the buffer cannot hold leaves the new layer empty, like any failed allocation.
  Bitmap->Allocate(bitmap->Width(), bitmap->Height(), bitmap->PixelFormat());
}

TPxLayer::~TPxLayer() {
  if (OwnsBitmap) delete Bitmap;
}

int32_t TPxLayer::GetWidth() const {
  if (Width != 0) return Width;
  return Bitmap ? Bitmap->Width() : 0;
}

int32_t TPxLayer::GetHeight() const {
  if (Height != 0) return Height;
  return Bitmap ? Bitmap->Height() : 0;
}

int32_t TPxLayer::ScreenToLayerX(int32_t x) const {
  const int32_t w = GetWidth();
  if (w == 0 || Bitmap == nullptr) return 0;
  const int32_t shift = static_cast<int32_t>(std::trunc(Left * Owner->ZoomFactor()));
  const int64_t c = Owner->ScreenToCanvasX(x - shift);
  return static_cast<int32_t>(c * Bitmap->Width() / w);
}

int32_t TPxLayer::ScreenToLayerY(int32_t y) const {
  const int32_t h = GetHeight();
  if (h == 0 || Bitmap == nullptr) return 0;
  const int32_t shift = static_cast<int32_t>(std::trunc(Top * Owner->ZoomFactor()));
  const int64_t c = Owner->ScreenToCanvasY(y - shift);
  return static_cast<int32_t>(c * Bitmap->Height() / h);
}

// ---------------------------------------------------------------------------
// TImagingView: construction

TImagingView::TImagingView() {
  // Layer 0 holds the view's own bitmap: the fixed background of the stack.
  auto layer = std::make_unique<TPxLayer>(this, true, new TPxBitmap());
  layer->ShowBox = false;
  layer->Locked = true;
  bitmap_ = layer->Bitmap;
  layers_.push_back(std::move(layer));
  currentLayer_ = 0;
}

TImagingView::~TImagingView() {
  destroying_ = true;
  StoreCurrentBitmap();
  DetachListeners();
  io_.reset();
  proc_.reset();
  layers_.clear();
}

TPxLayer* TImagingView::Layer(int index) const { return layers_.at(static_cast<size_t>(index)).get(); }

void TImagingView::StoreCurrentBitmap() {
  if (currentLayer_ >= 0 && currentLayer_ < LayerCount()) layers_[currentLayer_]->Bitmap = bitmap_;
}

void TImagingView::Notify(int layer, TPxLayerEvent event) {
  if (!OnLayerNotify) return;
  if (!inMouse_) {
    OnLayerNotify(this, layer, event);
    return;
  }
  // The mouse handlers work in client coordinates; the application's handler
  // sees (and may change) its own SelectionBase.
  const TPxSelectionBase inner = SelectionBase;
  SelectionBase = appSelectionBase_;
  OnLayerNotify(this, layer, event);
  appSelectionBase_ = SelectionBase;
  SelectionBase = inner;
}

// ---------------------------------------------------------------------------
// Layer operations

void TImagingView::SetCurrentLayer(int index) {
  if (index < 0 || index >= LayerCount() || index == currentLayer_) return;
  StoreCurrentBitmap();
  currentLayer_ = index;
  bitmap_ = layers_[index]->Bitmap;
  CallBitmapChangeEvents();
  Notify(index, pxlSelected);
  Update();
}

int TImagingView::AddLayer() {
  StoreCurrentBitmap();
  layers_.push_back(std::make_unique<TPxLayer>(this, false, bitmap_));
  const int index = LayerCount() - 1;
  SetCurrentLayer(index);
  ClearToBackground();
  return index;
}

void TImagingView::RemoveLayer(int index) {
  if (LayerCount() < 2 || index < 0 || index >= LayerCount()) return;
  StoreCurrentBitmap();
  const int current = currentLayer_;
  if (index == current) bitmap_ = nullptr;
  layers_.erase(layers_.begin() + index);
  if (index == current) {
    currentLayer_ = -1;
    SetCurrentLayer(std::min(index, LayerCount() - 1));
  } else if (index < current) {
    currentLayer_ = -1;
    SetCurrentLayer(current - 1);
  }
}

int TImagingView::FindLayerAt(int32_t x, int32_t y) const {
  for (int i = LayerCount() - 1; i >= 0; --i) {
    const TPxLayer& layer = *layers_[i];
    const TRect& r = layer.ScreenRect;
    if (x < r.Left || x > r.Right || y < r.Top || y > r.Bottom) continue;
    const TPxBitmap* bitmap = layer.Bitmap;
    if (bitmap == nullptr || !bitmap->HasAlphaChannel()) return i;
    if (bitmap->IsEmpty()) continue;
    const int32_t bx = std::clamp(layer.ScreenToLayerX(x), 0, bitmap->Width() - 1);
    const int32_t by = std::clamp(layer.ScreenToLayerY(y), 0, bitmap->Height() - 1);
    if (bitmap->Alpha(bx, by) != 0) return i;
  }
  return -1;
}

void TImagingView::SetLayersSync(bool on) {
  if (on == layersSync_) return;
  layersSync_ = on;
  if (on) SyncLayerSizes();
}

void TImagingView::SyncLayerSizes() {
  StoreCurrentBitmap();
  const TPxBitmap* base = layers_[0]->Bitmap;
  canvasWidth_ = base ? base->Width() : 0;
  canvasHeight_ = base ? base->Height() : 0;
  if (!layersSync_ || LayerCount() < 2) return;
  for (const auto& layer : layers_) {
    if (layer->Bitmap == nullptr) continue;
    canvasWidth_ = std::max(canvasWidth_, layer->Bitmap->Width());
    canvasHeight_ = std::max(canvasHeight_, layer->Bitmap->Height());
  }
  const double fill = static_cast<double>(Background());
  for (const auto& layer : layers_) {
    TPxBitmap* b = layer->Bitmap;
    if (b == nullptr || b->IsEmpty()) continue;
    if (b->Width() == canvasWidth_ && b->Height() == canvasHeight_) continue;
    // The picture stays at the top-left corner; what is added is transparent.
    b->AlphaChannel();
    b->Resize(canvasWidth_, canvasHeight_, fill, 0, 0, 0);
  }
}

void TImagingView::ClearToBackground() {
  if (bitmap_ != nullptr) {
    bitmap_->Fill(static_cast<double>(Background()));
    bitmap_->RemoveAlphaChannel();
  }
  Update();
}

bool TImagingView::Select(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int op) {
  if (bitmap_ == nullptr || bitmap_->IsEmpty()) return false;
  TPxSelection::TToBitmap toBitmap;
  if (SelectionBase == pxsbClientArea) {
    const TPxLayer* layer = currentLayer_ >= 0 ? layers_[currentLayer_].get() : nullptr;
    toBitmap = [this, layer](int& x, int& y) {
      if (layersSync_ || layer == nullptr) {
        x = ScreenToCanvasX(x);
        y = ScreenToCanvasY(y);
      } else {
        x = layer->ScreenToLayerX(x);
        y = layer->ScreenToLayerY(y);
      }
    };
  }
  const bool done = selection_.Select(x1, y1, x2, y2, op, bitmap_->Width(), bitmap_->Height(), toBitmap);
  Invalidate();
  return done;
}

void TImagingView::Deselect() {
  selection_.Deselect();
  Invalidate();
}

bool TImagingView::IsEmpty() const {
  return bitmap_ == nullptr || (bitmap_->Width() < 2 && bitmap_->Height() < 2);
}

// ---------------------------------------------------------------------------
// Merging

namespace {

// One layer as the merge reads it: 24-bit rows at a display-size bitmap.
class TMergeSource {
 public:
  TMergeSource(const TPxLayer& layer, TResampleFilter filter) {
    TPxBitmap* src = layer.Bitmap;
    opacity_ = std::clamp(layer.Opacity, 0, 255);
    blendMode_ = layer.BlendMode;
    if (src == nullptr || src->IsEmpty()) return;
    const int32_t w = layer.GetWidth(), h = layer.GetHeight();
    if (w <= 0 || h <= 0) return;
    bitmap_ = src;
    // Formats other than 1 and 24 bits are read through a 24-bit copy.
    if (src->PixelFormat() != pxRGB24 && src->PixelFormat() != px1g) {
      own_ = std::make_unique<TPxBitmap>();
      if (!own_->Assign(*src) || !own_->ConvertTo(pxRGB24)) {
        bitmap_ = nullptr;
        return;
      }
      bitmap_ = own_.get();
    }
    // A layer shown at another size is merged at that size; its own bitmap
    // stays as it is (resampling recolours transparent pixels, so it works on
    // a copy then).
    if (w != bitmap_->Width() || h != bitmap_->Height()) {
      // An alpha plane of 255 everywhere (read pictures often carry one)
      // recolours nothing and picks 255 everywhere: merged as none, and the
      // picture is not copied first.
      const bool alpha = bitmap_->HasAlphaChannel() &&
                         (filter != rfNone || !PxAlphaAllOpaque(*bitmap_->AlphaChannel()));
      if (!own_ && alpha) {
        own_ = std::make_unique<TPxBitmap>();
        if (!own_->Assign(*bitmap_)) {
          bitmap_ = nullptr;
          return;
        }
        bitmap_ = own_.get();
      }
      auto scaled = std::make_unique<TPxBitmap>();
      if (!scaled->Allocate(w, h, bitmap_->PixelFormat())) {
        bitmap_ = nullptr;
        return;
      }
      if (alpha) scaled->AlphaChannel();
      ResampleBitmap(*bitmap_, *scaled, filter);
      if (!alpha) scaled->RemoveAlphaChannel();
      own_ = std::move(scaled);
      bitmap_ = own_.get();
    }
    width_ = bitmap_->Width();
    height_ = bitmap_->Height();
    if (bitmap_->PixelFormat() == px1g) expanded_.resize(size_t(width_) * 3);
    alpha_ = bitmap_->HasAlphaChannel() ? bitmap_->AlphaChannel() : nullptr;
  }

  bool Valid() const { return bitmap_ != nullptr; }
  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  int Opacity() const { return opacity_; }
  uint8_t BlendMode() const { return blendMode_; }

  // BGR pixels of a row.
  const uint8_t* Row(int32_t y) {
    const uint8_t* row = bitmap_->Scanline(y);
    if (expanded_.empty()) return row;
    for (int32_t x = 0; x < width_; ++x) {
      const uint8_t v = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
      expanded_[3 * x] = expanded_[3 * x + 1] = expanded_[3 * x + 2] = v;
    }
    return expanded_.data();
  }
  // Alpha values of a row, nullptr when the layer has no alpha plane.
  const uint8_t* AlphaRow(int32_t y) { return alpha_ ? alpha_->Scanline(y) : nullptr; }
  // No alpha plane, or one that is 255 everywhere (read pictures often carry one).
  bool Opaque() const { return !alpha_ || PxAlphaAllOpaque(*alpha_); }

 private:
  TPxBitmap* bitmap_ = nullptr;
  std::unique_ptr<TPxBitmap> own_;
  TPxBitmap* alpha_ = nullptr;
  std::vector<uint8_t> expanded_;
  int32_t width_ = 0, height_ = 0;
  int opacity_ = 255;
  uint8_t blendMode_ = 0;
};

inline uint8_t Clamp255(double v) {
  return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

// B's colour over A's where B is fully opaque.
inline void BlendOpaque(const uint8_t* a, const uint8_t* b, uint8_t mode, uint8_t* out) {
  if (mode == 1) {
    for (int c = 0; c < 3; ++c) out[c] = static_cast<uint8_t>(std::min(255, a[c] + b[c]));
    return;
  }
  out[0] = b[0];
  out[1] = b[1];
  out[2] = b[2];
}

// Merges A (below) and B (above) placed at (ax, ay) and (bx, by) into dest.
bool MergeInto(TMergeSource& a, int32_t ax, int32_t ay, TMergeSource& b, int32_t bx, int32_t by,
               TColor background, TPxBitmap& dest) {
  if (ax < 0) { bx -= ax; ax = 0; }
  if (ay < 0) { by -= ay; ay = 0; }
  if (bx < 0) { ax -= bx; bx = 0; }
  if (by < 0) { ay -= by; by = 0; }
  const int64_t w64 = std::max<int64_t>(int64_t(ax) + a.Width(), int64_t(bx) + b.Width());
  const int64_t h64 = std::max<int64_t>(int64_t(ay) + a.Height(), int64_t(by) + b.Height());
  if (w64 > INT32_MAX || h64 > INT32_MAX) return false;
  const int32_t width = static_cast<int32_t>(w64), height = static_cast<int32_t>(h64);
  if (!dest.Allocate(width, height, pxRGB24)) return false;
  // Opaque layers without alpha merge by row copies (same pixels as below).
  if (a.Opacity() == 255 && b.Opacity() == 255 && b.BlendMode() != 1 && a.Opaque() && b.Opaque())
    return PxMergeOpaqueLayers({[&](int32_t y) { return a.Row(y); }, ax, ay, a.Width(), a.Height()},
                               {[&](int32_t y) { return b.Row(y); }, bx, by, b.Width(), b.Height()},
                               PxColorRefToBGR(background), dest);
  TPxBitmap* destAlpha = dest.AlphaChannel();
  if (destAlpha == nullptr) return false;
  destAlpha->SetFullAlpha(false);
  const TBGR bg = PxColorRefToBGR(background);
  const int opA = a.Opacity(), opB = b.Opacity();
  const uint8_t mode = b.BlendMode();
  bool allOpaque = true;
  for (int32_t y = 0; y < height; ++y) {
    const bool rowA = y >= ay && y - ay < a.Height();
    const bool rowB = y >= by && y - by < b.Height();
    const uint8_t* pa = rowA ? a.Row(y - ay) : nullptr;
    const uint8_t* pb = rowB ? b.Row(y - by) : nullptr;
    const uint8_t* alA = rowA ? a.AlphaRow(y - ay) : nullptr;
    const uint8_t* alB = rowB ? b.AlphaRow(y - by) : nullptr;
    uint8_t* out = dest.Scanline(y);
    uint8_t* outAlpha = destAlpha->Scanline(y);
    for (int32_t x = 0; x < width; ++x, out += 3) {
      const bool colA = x >= ax && x - ax < a.Width();
      const bool colB = x >= bx && x - bx < b.Width();
      const bool inA = rowA && colA, inB = rowB && colB;
      const uint8_t* ca = inA ? pa + 3 * (x - ax) : nullptr;
      const uint8_t* cb = inB ? pb + 3 * (x - bx) : nullptr;
      const int aA = inA ? std::min<int>(alA ? alA[x - ax] : 255, opA) : 0;
      const int aB = inB ? std::min<int>(alB ? alB[x - bx] : 255, opB) : 0;
      uint8_t alpha = 0;
      if (!inA && !inB) {
        // Beside both layers the background shows; under only one of their
        // column ranges the gap is black.
        const TBGR c = (!colA && !colB) ? bg : TBGR{0, 0, 0};
        out[0] = c.b;
        out[1] = c.g;
        out[2] = c.r;
      } else if (!inA) {
        out[0] = cb[0], out[1] = cb[1], out[2] = cb[2];
        alpha = static_cast<uint8_t>(aB);
      } else if (!inB) {
        out[0] = ca[0], out[1] = ca[1], out[2] = ca[2];
        alpha = static_cast<uint8_t>(aA);
      } else if (aB == 255) {
        BlendOpaque(ca, cb, mode, out);
        alpha = 255;
      } else {
        const double lb = aB / 255.0;
        const double m = (1.0 - lb) * aA / 255.0;
        const double n = lb + m;
        if (n > 0) {
          for (int c = 0; c < 3; ++c) out[c] = Clamp255((lb * cb[c] + m * ca[c]) / n);
        } else {
          out[0] = out[1] = out[2] = 0;
        }
        alpha = Clamp255(n * 255.0);
      }
      outAlpha[x] = alpha;
      allOpaque = allOpaque && alpha == 255;
    }
  }
  if (allOpaque) dest.RemoveAlphaChannel();
  return true;
}

}  // namespace

void TImagingView::MergeLayers(int index1, int index2, bool removeUpper) {
  const int count = LayerCount();
  if (index1 < 0 || index2 < 0 || index1 >= count || index2 >= count || index1 == index2) return;
  StoreCurrentBitmap();
  const int lower = std::min(index1, index2), upper = std::max(index1, index2);
  // The merged layer's bitmap lives where index1's does; it is sized by the merge
  // itself, so it is not allocated at index1's size first.
  auto* target = new TPxBitmap();
  if (const TPxBitmap* from = layers_[index1]->Bitmap; from && from->Location() != pxMemory)
    target->SetLocation(from->Location());
  auto merged = std::make_unique<TPxLayer>(this, true, target);
  {
    TMergeSource a(*layers_[lower], ZoomFilter);
    TMergeSource b(*layers_[upper], ZoomFilter);
    if (!a.Valid() || !b.Valid()) return;
    if (!MergeInto(a, layers_[lower]->Left, layers_[lower]->Top, b, layers_[upper]->Left,
                   layers_[upper]->Top, Background(), *merged->Bitmap))
      return;
  }
  merged->Locked = layers_[lower]->Locked;
  merged->ShowBox = layers_[lower]->ShowBox;
  bitmap_ = nullptr;
  currentLayer_ = -1;
  if (removeUpper) layers_.erase(layers_.begin() + upper);
  layers_[lower] = std::move(merged);
  SetCurrentLayer(lower);
}

// ---------------------------------------------------------------------------
// Working image, input/output and processing

void TImagingView::ImageChanged() {
  Update();
  if (OnImageChange) OnImageChange(this);
}

void TImagingView::IOImageChanged(bool fromWorker) {
  if (fromWorker && OnPostRefresh) {
    OnPostRefresh();
    return;
  }
  ImageChanged();
}

void TImagingView::IOSetDpi(int32_t dpiX, int32_t dpiY) {
  DpiX = dpiX;
  DpiY = dpiY;
}

TImagingProc& TImagingView::GetProc() {
  if (!proc_) {
    proc_ = std::make_unique<TImagingProc>();
    TImagingProcHost host;
    host.CurrentBitmap = [this]() { return bitmap_; };
    host.OnBitmapChanged = [this]() { ImageChanged(); };
    host.Background = [this]() { return static_cast<int32_t>(Background()); };
    host.Selection = [this]() -> const TPxSelection* { return &selection_; };
    proc_->AttachView(std::move(host));
    proc_->OnProgress = [this](TImagingProc* sender, int per) {
      if (OnProgress) OnProgress(sender, per);
    };
    // The processing object asks for the current bitmap each time; it only
    // has to forget the view when the view goes.
    AddBitmapChangeEvent([this](bool detach) {
      if (detach && proc_) proc_->DetachView();
    });
  }
  return *proc_;
}

TImagingIO& TImagingView::GetIO() {
  if (!io_) {
    io_ = std::make_unique<TImagingIO>();
    io_->SetAttachedView(this);
    io_->OnProgress = [this](TImagingIO* sender, int per) {
      if (OnProgress) OnProgress(sender, per);
    };
    // The input/output object reads the view's current bitmap at each use.
    AddBitmapChangeEvent([this](bool detach) {
      if (detach && io_) io_->SetAttachedView(nullptr);
    });
  }
  return *io_;
}

// ---------------------------------------------------------------------------
// Geometry

void TImagingView::SetZoomValue(double zoom) {
  zoom_ = zoom;
  zoomFactor_ = zoom / 100.0;
  zoomInverse_ = 100.0 / zoom;
}

void TImagingView::StartFilterDelay() {
  if (!delayZoomFilter_ || ZoomFilter == rfNone || zoom_ == 100) return;
  filterDelay_ = kPxFilterDelayTicks;
  if (Host()) Host()->HostSetTimer(kPxDelayTimerId, kPxDelayTimerMs);
}

void TImagingView::FireViewChange(int change) {
  if (OnViewChange) OnViewChange(this, change);
}

void TImagingView::SetZoom(double zoom) {
  if (!(zoom > 0) || zoom == zoom_) return;
  StartFilterDelay();
  ++paintLock_;
  // The canvas point at the centre of the client area stays where it is.
  const double halfW = ClientWidth() / 2.0, halfH = ClientHeight() / 2.0;
  const double cx = std::round((halfW + scrollX_ - offsetX_) * zoomInverse_);
  const double cy = std::round((halfH + scrollY_ - offsetY_) * zoomInverse_);
  const double nx = std::trunc(cx * zoom / 100.0 - halfW);
  const double ny = std::trunc(cy * zoom / 100.0 - halfH);
  scrollX_ = static_cast<int32_t>(std::clamp(nx, 0.0, double(INT32_MAX)));
  scrollY_ = static_cast<int32_t>(std::clamp(ny, 0.0, double(INT32_MAX)));
  SetZoomValue(zoom);
  // Twice: the first pass may show or hide scroll bars, which moves the centre.
  Update();
  Update();
  --paintLock_;
  Invalidate();
  FireViewChange(1);
}

void TImagingView::SetScroll(int32_t x, int32_t y) {
  x = std::clamp(x, 0, maxScrollX_);
  y = std::clamp(y, 0, maxScrollY_);
  if (x == scrollX_ && y == scrollY_) return;
  StartFilterDelay();
  scrollX_ = x;
  scrollY_ = y;
  ComputeGeometry();
  UpdateLayerScreenRects();
  BuildMaps();
  Invalidate();
  FireViewChange(0);
  UpdateScrollBars();
}

double TImagingView::FitValue() const {
  if (canvasWidth_ <= 0 || canvasHeight_ <= 0) return 100;
  int edgeX, edgeY;
  switch (BackgroundStyle()) {
    case pxbsCropped: edgeX = edgeY = kPxEdgeSize; break;
    case pxbsCropShadow: edgeX = edgeY = kPxShadowSize; break;
    default:
      edgeX = BorderThicknessX();
      edgeY = BorderThicknessY();
      break;
  }
  return std::min((ControlHeight() - 2.0 * edgeY) / (canvasHeight_ / 100.0),
                  (ControlWidth() - 2.0 * edgeX) / (canvasWidth_ / 100.0));
}

void TImagingView::Fit() {
  SyncLayerSizes();
  const double fit = FitValue();
  if (fit > 0) {
    if (fit == zoom_)
      Update();
    else
      SetZoom(fit);
  }
}

void TImagingView::ApplyAutoZoom() {
  const double old = zoom_;
  double zoom = 100;
  if (canvasWidth_ > 1 || canvasHeight_ > 1) {
    int mx, my;
    switch (BackgroundStyle()) {
      case pxbsCropped: mx = my = kPxEdgeSize; break;
      case pxbsCropShadow: mx = my = kPxShadowSize; break;
      default:
        mx = BorderThicknessX();
        my = BorderThicknessY();
        break;
    }
    const int32_t availW = ClientWidth() - 2 * mx, availH = ClientHeight() - 2 * my;
    const bool shrink = autoShrink_ || autoFit_, stretch = autoStretch_ || autoFit_;
    if (availW > 0 && availH > 0) {
      const bool widthRules = double(canvasWidth_) / availW > double(canvasHeight_) / availH;
      const bool tooLarge = widthRules ? canvasWidth_ > availW : canvasHeight_ > availH;
      const double fit = FitValue();
      if (fit > 0 && ((tooLarge && shrink) || (!tooLarge && stretch))) zoom = fit;
    }
  }
  if (zoom < 1) zoom = 1;
  if (zoom != old) {
    SetZoomValue(zoom);
    FireViewChange(1);
  }
}

void TImagingView::SetDropTargetLayer(int index) {
  if (index < 0 || index >= LayerCount()) index = -1;
  if (index == dropTarget_) return;
  dropTarget_ = index;
  Invalidate();
}

void TImagingView::SetAutoFit(bool on) {
  if (on == autoFit_) return;
  autoFit_ = on;
  Update();
}
void TImagingView::SetAutoShrink(bool on) {
  if (on == autoShrink_) return;
  autoShrink_ = on;
  Update();
}
void TImagingView::SetAutoStretch(bool on) {
  if (on == autoStretch_) return;
  autoStretch_ = on;
  Update();
}
void TImagingView::SetScrollBars(TScrollStyle style) {
  if (style == scrollBars_) return;
  scrollBars_ = style;
  Update();
}
void TImagingView::SetDelayZoomFilter(bool on) {
  if (on == delayZoomFilter_) return;
  delayZoomFilter_ = on;
  if (!on) filterDelay_ = 0;
  Update();
}
void TImagingView::SetEnableAlphaChannel(bool on) {
  if (on == enableAlpha_) return;
  enableAlpha_ = on;
  Update();
}

void TImagingView::SetCenter(bool on) {
  if (on == center_) return;
  center_ = on;
  Update();
}

void TImagingView::ComputeGeometry() {
  extentX_ = static_cast<int32_t>(std::clamp(std::round(canvasWidth_ * zoomFactor_), 0.0, double(INT32_MAX)));
  extentY_ = static_cast<int32_t>(std::clamp(std::round(canvasHeight_ * zoomFactor_), 0.0, double(INT32_MAX)));
  const int32_t cw = ClientWidth(), ch = ClientHeight();
  // No scrolling when the control's outer size holds the extent: the bars
  // would take the room that made them needed (and, once shown, keep
  // themselves). But when the other direction's bar is needed, its room is
  // really gone and what the client cannot hold must be reachable.
  const bool barX = extentX_ > ControlWidth(), barY = extentY_ > ControlHeight();
  maxScrollX_ = (barX || (barY && extentX_ > cw)) ? std::max(0, extentX_ - cw) : 0;
  maxScrollY_ = (barY || (barX && extentY_ > ch)) ? std::max(0, extentY_ - ch) : 0;
  scrollX_ = std::clamp(scrollX_, 0, maxScrollX_);
  scrollY_ = std::clamp(scrollY_, 0, maxScrollY_);
  displayWidth_ = std::min(extentX_, cw);
  displayHeight_ = std::min(extentY_, ch);
  offsetX_ = (center_ && displayWidth_ < cw) ? (cw - displayWidth_) >> 1 : 0;
  offsetY_ = (center_ && displayHeight_ < ch) ? (ch - displayHeight_) >> 1 : 0;
}

void TImagingView::UpdateScrollBars() {
  TPxViewHost* host = Host();
  if (!host) return;
  for (int h = 0; h < 2; ++h) {
    const bool horizontal = h == 0;
    const bool allowed = horizontal ? (scrollBars_ == ssHorizontal || scrollBars_ == ssBoth)
                                    : (scrollBars_ == ssVertical || scrollBars_ == ssBoth);
    const int32_t max = horizontal ? maxScrollX_ : maxScrollY_;
    const bool visible = allowed && max >= 1;
    const int32_t state[4] = {visible ? 1 : 0, visible ? max : 0,
                              horizontal ? ClientWidth() : ClientHeight(),
                              visible ? (horizontal ? scrollX_ : scrollY_) : 0};
    if (std::equal(state, state + 4, sentBars_[h])) continue;
    std::copy(state, state + 4, sentBars_[h]);
    // Showing or hiding a bar may resize the client: the host then calls
    // HostResized, which updates again.
    host->HostSetScrollBar(horizontal, visible, state[1], state[2], state[3]);
  }
}

void TImagingView::BuildMaps() {
  const int32_t cw = ClientWidth(), ch = ClientHeight();
  columnMap_.assign(size_t(std::max(0, cw)), -1);
  rowMap_.assign(size_t(std::max(0, ch)), -1);
  if (canvasWidth_ <= 0 || canvasHeight_ <= 0) return;
  for (int32_t x = offsetX_; x < offsetX_ + displayWidth_ && x < cw; ++x)
    if (x >= 0) columnMap_[x] = ScreenToCanvasX(x);
  for (int32_t y = offsetY_; y < offsetY_ + displayHeight_ && y < ch; ++y)
    if (y >= 0) rowMap_[y] = ScreenToCanvasY(y);
}

// The canvas index shown at zoomed index z: above 100 % each canvas pixel
// covers several zoomed ones; at or below 100 % the first canvas pixel that
// lands on z.
namespace {
int32_t CanvasAtZoomed(int64_t z, double factor, double inverse) {
  if (factor > 1.0) return static_cast<int32_t>(std::trunc(z * inverse));
  int64_t k = static_cast<int64_t>(std::ceil(z * inverse));
  while (k > 0 && std::trunc((k - 1) * factor) >= z) --k;
  while (std::trunc(k * factor) < z) ++k;
  return static_cast<int32_t>(k);
}
// The first zoomed index that shows canvas index c.
int32_t ZoomedAtCanvas(int64_t c, double factor, double inverse) {
  if (factor <= 1.0) return static_cast<int32_t>(std::trunc(c * factor));
  int64_t z = static_cast<int64_t>(std::floor(c * factor));
  while (z > 0 && std::trunc((z - 1) * inverse) >= c) --z;
  while (std::trunc(z * inverse) < c) ++z;
  return static_cast<int32_t>(z);
}
}  // namespace

int32_t TImagingView::ScreenToCanvas(int32_t pos, int32_t offset, int32_t scroll, int32_t display,
                                     int32_t canvas) const {
  const int32_t origin = CanvasAtZoomed(scroll, zoomFactor_, zoomInverse_);
  const int64_t col = int64_t(pos) - offset;
  if (col >= 0 && col < display) {
    const int32_t c = CanvasAtZoomed(int64_t(col) + scroll, zoomFactor_, zoomInverse_);
    return std::min(c, canvas - 1);
  }
  const double v = std::trunc(double(col) * zoomInverse_ + origin);
  return static_cast<int32_t>(std::clamp(v, double(INT32_MIN), double(INT32_MAX)));
}

int32_t TImagingView::CanvasToScreen(int32_t pos, int32_t offset, int32_t scroll, int32_t display,
                                     int32_t canvas) const {
  const int32_t origin = CanvasAtZoomed(scroll, zoomFactor_, zoomInverse_);
  // The last canvas index shown: below 100 % several share the last zoomed index.
  int32_t last = origin - 1;
  if (display > 0) {
    const int64_t end = int64_t(scroll) + display;
    last = zoomFactor_ > 1.0 ? CanvasAtZoomed(end - 1, zoomFactor_, zoomInverse_)
                             : CanvasAtZoomed(end, zoomFactor_, zoomInverse_) - 1;
  }
  if (pos >= origin && pos <= std::min(last, canvas - 1))
    return ZoomedAtCanvas(pos, zoomFactor_, zoomInverse_) - scroll + offset;
  const double first = std::round(scroll * zoomInverse_);
  // Far off the screen every position is as good as another; kept small
  // enough that sums and differences of two of them cannot overflow.
  const double v = std::round((pos - first) * zoomFactor_ + offset);
  return static_cast<int32_t>(std::clamp(v, -double(kPxFarScreen), double(kPxFarScreen)));
}

int32_t TImagingView::ScreenToCanvasX(int32_t x) const {
  return ScreenToCanvas(x, offsetX_, scrollX_, displayWidth_, canvasWidth_);
}
int32_t TImagingView::ScreenToCanvasY(int32_t y) const {
  return ScreenToCanvas(y, offsetY_, scrollY_, displayHeight_, canvasHeight_);
}
int32_t TImagingView::CanvasToScreenX(int32_t x) const {
  return CanvasToScreen(x, offsetX_, scrollX_, displayWidth_, canvasWidth_);
}
int32_t TImagingView::CanvasToScreenY(int32_t y) const {
  return CanvasToScreen(y, offsetY_, scrollY_, displayHeight_, canvasHeight_);
}

void TImagingView::UpdateLayerScreenRects() {
  for (const auto& layer : layers_) {
    if (layersSync_) {
      // In sync every layer covers the whole canvas.
      const int32_t left = CanvasToScreenX(0), top = CanvasToScreenY(0);
      layer->ScreenRect = TRect{left, top, CanvasToScreenX(canvasWidth_),
                                CanvasToScreenY(canvasHeight_)};
      continue;
    }
    const int32_t left = CanvasToScreenX(layer->Left);
    const int32_t top = CanvasToScreenY(layer->Top);
    const int32_t width = CanvasToScreenX(AddClamped(layer->Left, layer->GetWidth())) - left;
    const int32_t height = CanvasToScreenY(AddClamped(layer->Top, layer->GetHeight())) - top;
    layer->ScreenRect = TRect{left, top, left + width, top + height};
  }
}

// ---------------------------------------------------------------------------
// Updating

void TImagingView::Update() {
  if (updateLock_ > 0 || destroying_) return;
  if (inUpdate_) {
    // Asked again from inside (a host resizing the client for scroll bars).
    updateAgain_ = true;
    return;
  }
  inUpdate_ = true;
  for (int pass = 0; pass < 3; ++pass) {
    updateAgain_ = false;
    SyncLayerSizes();
    if ((autoFit_ || autoShrink_ || autoStretch_) && canvasWidth_ > 0 && canvasHeight_ > 0)
      ApplyAutoZoom();
    if (bitmap_ && (bitmap_->Width() != lastBitmapWidth_ || bitmap_->Height() != lastBitmapHeight_)) {
      lastBitmapWidth_ = bitmap_->Width();
      lastBitmapHeight_ = bitmap_->Height();
      if (selection_.Selected()) selection_.Deselect();
      // An alpha plane of another size is replaced by an opaque one.
      const TPxBitmap* alpha = bitmap_->AlphaChannelIfAny();
      if (alpha && (alpha->Width() != bitmap_->Width() || alpha->Height() != bitmap_->Height())) {
        bitmap_->RemoveAlphaChannel();
        bitmap_->AlphaChannel();
      }
    }
    ComputeGeometry();
    UpdateScrollBars();
    if (!updateAgain_) break;
  }
  inUpdate_ = false;
  UpdateLayerScreenRects();
  BuildMaps();
  Invalidate();
}

void TImagingView::UnlockUpdate() {
  if (updateLock_ == 0) return;
  if (--updateLock_ == 0) Update();
}

void TImagingView::EndUpdate(bool update) {
  if (paintLock_ == 0) return;
  if (--paintLock_ == 0 && update) Update();
}

void TImagingView::HostScrolled(bool horizontal, int32_t pos) {
  if (horizontal)
    SetScrollX(pos);
  else
    SetScrollY(pos);
}

void TImagingView::HostWheel(TPxShiftState shift, int32_t delta, int32_t, int32_t) {
  // A notch (120) scrolls by a tenth of the client; Shift scrolls sideways.
  if (shift & ssShift)
    SetScrollX(scrollX_ - delta * std::max(1, ClientWidth() / 10) / 120);
  else
    SetScrollY(scrollY_ - delta * std::max(1, ClientHeight() / 10) / 120);
}

void TImagingView::HostTimer(int32_t id) {
  if (id != kPxDelayTimerId) return;
  if (filterDelay_ > 0 && --filterDelay_ > 0) return;
  filterDelay_ = 0;
  if (Host()) Host()->HostSetTimer(kPxDelayTimerId, 0);
  Update();
}

// ---------------------------------------------------------------------------
// TImagingVect

TImagingVect::TImagingVect() = default;
TImagingVect::~TImagingVect() = default;
