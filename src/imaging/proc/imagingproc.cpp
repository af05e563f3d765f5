#include "imaging/proc/imagingproc.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "imaging/proc/rotate.h"

namespace {

// Row pointers of a bitmap that stay valid for a whole operation. File-backed
// bitmaps hand out one window per row through the multi-row accessor; they
// are written back and released when the lock ends.
class TRowLock {
 public:
  explicit TRowLock(TPxBitmap& bitmap) : bitmap_(bitmap) {
    rows_.Width = bitmap.Width();
    rows_.Height = bitmap.Height();
    rows_.Row.resize(static_cast<size_t>(std::max(0, rows_.Height)));
    for (int y = 0; y < rows_.Height; ++y) {
      rows_.Row[y] = bitmap.ExtraScanline(y);
      if (!rows_.Row[y]) {
        Release();
        throw std::bad_alloc();
      }
    }
  }
  ~TRowLock() { Release(); }
  TRowLock(const TRowLock&) = delete;
  TRowLock& operator=(const TRowLock&) = delete;
  const TPxRows& Rows() const { return rows_; }

 private:
  void Release() {
    if (bitmap_.Location() == pxFile) bitmap_.ReleaseExtraScanlines();
  }
  TPxBitmap& bitmap_;
  TPxRows rows_;
};

using TRowsFn = std::function<void(const TPxRows& src, const TPxRows& dst, const TPxPercentFn& progress)>;

// Runs a nearest, kernel or fast linear resampling over all rows. A bitmap
// kept in a file is reached one band of rows at a time, so that the memory
// it takes stays near its FileThreshold instead of the whole picture.
void ResampleRows(TPxBitmap& source, TPxBitmap& destination, TResampleFilter filter,
                  const TPxPercentFn& progress, const TRowsFn& run) {
  if (source.Location() != pxFile && destination.Location() != pxFile) {
    TRowLock s(source), d(destination);
    run(s.Rows(), d.Rows(), progress);
    return;
  }
  const int sh = source.Height(), dh = destination.Height();
  int64_t budget = std::numeric_limits<int64_t>::max();
  for (const TPxBitmap* b : {&source, &destination})
    if (b->Location() == pxFile) budget = std::min(budget, b->FileThreshold);
  // Destination rows per band: each brings about scale source rows along.
  const double perRow = destination.RowBytes() + double(source.RowBytes()) * sh / std::max(1, dh);
  const int band = static_cast<int>(std::clamp<double>(budget / 2.0 / std::max(1.0, perRow), 8.0, dh));
  // Rows written through Scanline reach the file first; after that the source
  // is only read, and its windows need no writing back.
  source.ReleaseWindows();
  destination.ReleaseWindows();
  const uint8_t access = source.Access;
  source.Access = kPxAccessRead;
  struct Restore {
    TPxBitmap& b;
    uint8_t access;
    ~Restore() {
      b.ReleaseExtraScanlines();
      b.Access = access;
    }
  } restore{source, access};
  TPxRows s{source.Width(), sh, std::vector<uint8_t*>(static_cast<size_t>(sh), nullptr)};
  TPxRows d{destination.Width(), dh, std::vector<uint8_t*>(static_cast<size_t>(dh), nullptr)};
  for (int begin = 0; begin < dh; begin += band) {
    const int end = std::min(dh, begin + band);
    int first = 0, last = -1;
    PxSourceRowsFor(filter, sh, dh, begin, end, first, last);
    bool mapped = true;
    for (int r = first; r <= last && mapped; ++r) mapped = (s.Row[r] = source.ExtraScanline(r)) != nullptr;
    for (int y = begin; y < end && mapped; ++y) mapped = (d.Row[y] = destination.ExtraScanline(y)) != nullptr;
    if (!mapped) {
      destination.ReleaseExtraScanlines();
      throw std::bad_alloc();
    }
    d.BandBegin = begin, d.BandEnd = end;
    run(s, d, [&](int per) {
      if (progress) progress(static_cast<int>((begin + int64_t(per) * (end - begin) / 100) * 100 / dh));
    });
    source.ReleaseExtraScanlines();
    destination.ReleaseExtraScanlines();
    std::fill(s.Row.begin() + first, s.Row.begin() + last + 1, nullptr);
    std::fill(d.Row.begin() + begin, d.Row.begin() + end, nullptr);
  }
}

// The kernel or fast linear resampling of rows of `channels` bytes a pixel.
TRowsFn FilteredRows(TResampleFilter filter, int channels) {
  return [filter, channels](const TPxRows& s, const TPxRows& d, const TPxPercentFn& p) {
    if (filter == rfFastLinear)
      PxResampleFastLinear(s, d, channels, p);
    else
      PxResampleKernel(s, d, channels, filter, p);
  };
}

void AllocateOrThrow(TPxBitmap& b, int w, int h, TPxPixelFormat pf) {
  if (!b.Allocate(w, h, pf) || (w > 0 && h > 0 && b.IsEmpty())) throw std::bad_alloc();
}

// The image becomes `result`: its storage is taken over when both live in the
// same place (no copy of the pixels), else copied.
void Adopt(TPxBitmap& image, TPxBitmap& result) {
  if (image.Location() == result.Location()) {
    image.TakeOver(result);
    return;
  }
  if (!image.Assign(result)) throw std::bad_alloc();
}

void CopyPalette(const TPxBitmap& src, TPxBitmap& dst) {
  if (src.PixelFormat() != px8p || dst.PixelFormat() != px8p) return;
  for (int i = 0; i < src.PaletteCount(); ++i) dst.PaletteColor(i, src.PaletteColor(i));
}

// One pixel of `color` (a colour reference) in a pixel format. A palette image
// takes the nearest palette entry, gray formats the gray value.
std::vector<uint8_t> PixelOf(const TPxBitmap& b, int32_t color) {
  const TBGR c = PxColorRefToBGR(static_cast<uint32_t>(color));
  const uint8_t gray = PxGray(c);
  std::vector<uint8_t> px(8, 0);
  switch (b.PixelFormat()) {
    case px1g: px[0] = gray >= 128 ? 1 : 0; break;
    case px8g: px[0] = gray; break;
    case px8p: {
      int best = 0, bestDist = std::numeric_limits<int>::max();
      for (int i = 0; i < b.PaletteCount(); ++i) {
        TBGR p = b.PaletteColor(i);
        int d = (p.r - c.r) * (p.r - c.r) + (p.g - c.g) * (p.g - c.g) + (p.b - c.b) * (p.b - c.b);
        if (d < bestDist) {
          bestDist = d;
          best = i;
        }
      }
      px[0] = static_cast<uint8_t>(best);
      break;
    }
    case px16g: {
      uint16_t v = static_cast<uint16_t>(gray * 257);
      px[0] = static_cast<uint8_t>(v);
      px[1] = static_cast<uint8_t>(v >> 8);
      break;
    }
    case pxRGB24:
      px[0] = c.b;
      px[1] = c.g;
      px[2] = c.r;
      break;
    case px32f: {
      float f = gray / 255.0f;
      std::memcpy(px.data(), &f, 4);
      break;
    }
    case pxCMYK: PxBGRToCMYK(c, px.data()); break;
    case pxRGB48: {
      const uint16_t w[3] = {static_cast<uint16_t>(c.r * 257), static_cast<uint16_t>(c.g * 257),
                             static_cast<uint16_t>(c.b * 257)};
      std::memcpy(px.data(), w, 6);
      break;
    }
    default: break;
  }
  return px;
}

void FillWithPixel(const TPxRows& rows, int bitsPerPixel, const uint8_t* px) {
  for (int y = 0; y < rows.Height; ++y) {
    uint8_t* d = rows.Row[y];
    if (bitsPerPixel == 1) {
      std::memset(d, px[0] ? 0xff : 0x00, (static_cast<size_t>(rows.Width) + 7) / 8);
      continue;
    }
    const int bytes = bitsPerPixel / 8;
    for (int x = 0; x < rows.Width; ++x) std::memcpy(d + static_cast<size_t>(x) * bytes, px, bytes);
  }
}

inline bool MaskBit(const uint8_t* row, int x) { return (row[x >> 3] & (0x80 >> (x & 7))) != 0; }

// Whether every bit of [x, x + n) of a 1-bit mask row is set: such a run is
// copied whole instead of pixel by pixel (a rectangular selection is all runs).
bool MaskRunSet(const uint8_t* row, int x, int n) {
  int i = x;
  const int end = x + n;
  for (; i < end && (i & 7); ++i)
    if (!MaskBit(row, i)) return false;
  for (; i + 8 <= end; i += 8)
    if (row[i >> 3] != 0xFF) return false;
  for (; i < end; ++i)
    if (!MaskBit(row, i)) return false;
  return true;
}

std::string ShortestDecimal(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// Formats whose bytes are independent 8-bit channels, which the shear may blend.
bool ByteChannels(TPxPixelFormat pf) { return pf == pxRGB24 || pf == px8g || pf == pxCMYK; }

// Turns `src` by `angle` the way Rotate does for a non-1-bit image: quarter
// turns, then the shear rotation of the rest. Returns false when the angle
// comes down to no turn at all.
bool RotatePlane(TPxBitmap& src, TPxBitmap& out, double angle, bool blend, const uint8_t* bg) {
  int k;
  double c;
  PxSplitAngle(angle, k, c);
  if (k == 0 && c == 0.0) return false;
  const TPxPixelFormat pf = src.PixelFormat();
  const int bits = src.BitCount();
  TPxBitmap turned;
  TPxBitmap* stage = &src;
  if (k != 0) {
    // Without a rest the quarter turn goes straight into the result.
    TPxBitmap& target = c == 0.0 ? out : turned;
    const bool swap = k != 2;
    AllocateOrThrow(target, swap ? src.Height() : src.Width(), swap ? src.Width() : src.Height(), pf);
    CopyPalette(src, target);
    TRowLock s(src), d(target);
    PxRotateQuarter(s.Rows(), d.Rows(), bits, k);
    if (c == 0.0) return true;
    stage = &turned;
  }
  const TPxShearSize z = PxShearSize(stage->Width(), stage->Height(), c);
  AllocateOrThrow(out, std::max(1, z.Width), std::max(1, z.Height), pf);
  CopyPalette(*stage, out);
  TRowLock s(*stage), d(out);
  PxRotateShear(s.Rows(), d.Rows(), bits / 8, c, blend && ByteChannels(pf), bg);
  return true;
}

}  // namespace

// ----------------------------------------------------------------- ResampleBitmap

void ResampleBitmap(TPxBitmap& source, TPxBitmap& destination, TResampleFilter filter,
                    const TPxPercentFn& progress) {
  if (source.IsEmpty() || destination.IsEmpty()) return;
  if (&source == &destination) {
    // Reading and writing one buffer at once would mix old and new pixels.
    TPxBitmap copy;
    if (!copy.Assign(source)) throw std::bad_alloc();
    ResampleBitmap(copy, destination, filter, progress);
    return;
  }
  const TPxPixelFormat pf = source.PixelFormat();

  // Fully transparent pixels carry no colour of their own; gray keeps them
  // from tinting their neighbours.
  if (pf == pxRGB24 && source.HasAlphaChannel()) {
    TPxBitmap* alpha = source.AlphaChannel();
    // Row by row: a picture kept in a file keeps one row of each in memory.
    for (int y = 0; y < source.Height(); ++y) {
      uint8_t* p = source.Scanline(y);
      const uint8_t* av = alpha->Scanline(y);
      for (int x = 0; x < source.Width(); ++x)
        if (av[x] == 0) std::memset(p + x * 3, 128, 3);
    }
  }

  if (filter == rfNone) {
    if (destination.PixelFormat() == pf) {
      CopyPalette(source, destination);
      const int bits = source.BitCount();
      ResampleRows(source, destination, filter, progress,
                   [bits](const TPxRows& s, const TPxRows& d, const TPxPercentFn& p) {
                     PxResampleNearest(s, d, bits, p);
                   });
    }
  } else if (pf == px1g) {
    if (destination.PixelFormat() != pxRGB24)
      AllocateOrThrow(destination, destination.Width(), destination.Height(), pxRGB24);
    TRowLock s(source), d(destination);
    PxResample1Bit(s.Rows(), d.Rows(), filter, progress);
  } else if (pf == px8g && destination.PixelFormat() == px8g &&
             (PxKernelFilter(filter) || filter == rfFastLinear)) {
    ResampleRows(source, destination, filter, progress, FilteredRows(filter, 1));
  } else if (pf != pxRGB24 || destination.PixelFormat() != pxRGB24) {
    // The filters are defined on 24-bit pixels: other formats go through a
    // 24-bit copy and back, instead of leaving the destination unfilled.
    TPxBitmap s24, d24;
    if (!s24.Assign(source)) throw std::bad_alloc();
    s24.RemoveAlphaChannel();
    if (!s24.ConvertTo(pxRGB24)) throw std::bad_alloc();
    AllocateOrThrow(d24, destination.Width(), destination.Height(), pxRGB24);
    ResampleBitmap(s24, d24, filter, progress);
    if (!d24.ConvertTo(destination.PixelFormat())) throw std::bad_alloc();
    CopyPalette(d24, destination);
    TRowLock s(d24), d(destination);
    const size_t bytes = static_cast<size_t>(std::min(d24.RowBytes(), destination.RowBytes()));
    for (int y = 0; y < destination.Height(); ++y) std::memcpy(d.Rows().Row[y], s.Rows().Row[y], bytes);
  } else if (filter == rfFastLinear || PxKernelFilter(filter)) {
    ResampleRows(source, destination, filter, progress, FilteredRows(filter, 3));
  } else {
    TRowLock s(source), d(destination);
    switch (filter) {
      case rfBilinear: PxResampleArea(s.Rows(), d.Rows(), false, progress); break;
      case rfBicubic: PxResampleArea(s.Rows(), d.Rows(), true, progress); break;
      case rfProjectBW: PxResampleProject(s.Rows(), d.Rows(), false, progress); break;
      case rfProjectWB: PxResampleProject(s.Rows(), d.Rows(), true, progress); break;
      default: PxResampleKernel(s.Rows(), d.Rows(), 3, filter, progress); break;
    }
  }

  if (source.HasAlphaChannel()) {
    TPxBitmap* sa = source.AlphaChannel();
    TPxBitmap* da = destination.AlphaChannel();
    if (sa && da && !da->IsEmpty()) {
      const TResampleFilter planeFilter =
          filter == rfNone || PxKernelFilter(filter) ? filter : rfFastLinear;
      ResampleRows(*sa, *da, planeFilter, {},
                   planeFilter == rfNone
                       ? TRowsFn([](const TPxRows& s, const TPxRows& d, const TPxPercentFn&) {
                           PxResampleNearest(s, d, 8);
                         })
                       : FilteredRows(planeFilter, 1));
      da->SetFullAlpha(sa->FullAlpha());
    }
  }
}

// ------------------------------------------------------------------ TImagingProc

TImagingProc::~TImagingProc() = default;

void TImagingProc::AttachBitmap(TPxBitmap* bitmap) {
  DetachView();
  bitmap_ = bitmap;
}

void TImagingProc::AttachView(TImagingProcHost host) {
  host_ = std::move(host);
  viewAttached_ = true;
  bitmap_ = nullptr;
}

void TImagingProc::DetachView() {
  host_ = TImagingProcHost{};
  viewAttached_ = false;
}

TPxBitmap* TImagingProc::Bitmap() const {
  if (viewAttached_) return host_.CurrentBitmap ? host_.CurrentBitmap() : nullptr;
  return bitmap_;
}

int32_t TImagingProc::Background() const {
  if (viewAttached_ && host_.Background) return host_.Background();
  return background_;
}

void TImagingProc::Changed() {
  if (viewAttached_ && host_.OnBitmapChanged) host_.OnBitmapChanged();
}

TPxPercentFn TImagingProc::ProgressFn() {
  if (!OnProgress) return {};
  return [this](int per) {
    if (OnProgress) OnProgress(this, per);
  };
}

void TImagingProc::Resample(int width, int height, TResampleFilter filter) {
  TPxBitmap* cur = Bitmap();
  if (!cur || cur->Width() == 0 || cur->Height() == 0) return;
  TPxBitmap scratch;
  ResampleTo(scratch, width, height, filter);
  if (scratch.IsEmpty()) return;  // both dimensions negative
  Adopt(*cur, scratch);
  Changed();
}

void TImagingProc::ResampleTo(TPxBitmap& destination, int width, int height, TResampleFilter filter) {
  TPxBitmap* cur = Bitmap();
  if (!cur || cur->Width() == 0 || cur->Height() == 0) return;
  if (AutoUndo) SaveUndo("Resample " + std::to_string(width) + "," + std::to_string(height));
  if (width < 0 && height < 0) return;

  // 64-bit products: a 32-bit product of two large sizes would wrap.
  const int64_t cw = cur->Width(), ch = cur->Height();
  int64_t nw = width == -1 ? cw * height / ch : (width == 0 ? cw : std::llabs(static_cast<int64_t>(width)));
  if (nw < 1) nw = 1;
  int64_t nh = height == -1 ? ch * nw / cw : (height == 0 ? ch : std::llabs(static_cast<int64_t>(height)));
  if (nh < 1) nh = 1;
  if (nw > std::numeric_limits<int32_t>::max() || nh > std::numeric_limits<int32_t>::max())
    throw std::bad_alloc();

  AllocateOrThrow(destination, static_cast<int>(nw), static_cast<int>(nh), cur->PixelFormat());
  ResampleBitmap(*cur, destination, filter, ProgressFn());
}

void TImagingProc::Rotate(double angle, bool antiAlias, uint8_t antialiasMode, int32_t background) {
  (void)antialiasMode;  // only the shear rotation is built; every mode uses it
  if (angle == 0.0 || !std::isfinite(angle)) return;
  TPxBitmap* cur = Bitmap();
  if (!cur) return;
  if (AutoUndo) SaveUndo("Rotate " + ShortestDecimal(angle));
  if (cur->IsEmpty()) return;
  if (background == -1) background = Background();

  const TPxPixelFormat pf = cur->PixelFormat();
  TPxBitmap out;
  bool turned = true;
  int k = -1;  // quarter turns of the 1-bit rotation, -1 = any angle
  if (pf == px1g) {
    // The 1-bit rotation takes the angle as given.
    if (angle == 90)
      k = 1;
    else if (angle == -90 || angle == 270)
      k = 3;
    else if (angle == 180 || angle == -180)
      k = 2;
    const bool swap = k == 1 || k == 3;
    int dw = swap ? cur->Height() : cur->Width(), dh = swap ? cur->Width() : cur->Height();
    if (k < 0) PxRotate1BitSize(cur->Width(), cur->Height(), angle, dw, dh);
    AllocateOrThrow(out, std::max(1, dw), std::max(1, dh), px1g);
    const TBGR c = PxColorRefToBGR(static_cast<uint32_t>(background));
    TRowLock s(*cur), d(out);
    if (k > 0)
      PxRotateQuarter(s.Rows(), d.Rows(), 1, k);
    else
      PxRotate1BitAny(s.Rows(), d.Rows(), angle, (c.r && c.g && c.b) ? 1 : 0, 1);
  } else {
    const std::vector<uint8_t> bg = PixelOf(*cur, background);
    turned = RotatePlane(*cur, out, angle, antiAlias, bg.data());
  }

  if (turned) {
    // The alpha plane turns with the picture; what comes from outside is transparent.
    if (cur->HasAlphaChannel()) {
      TPxBitmap* alpha = cur->AlphaChannel();
      TPxBitmap alphaOut;
      const uint8_t zero[8] = {};
      bool full = alpha->FullAlpha();
      if (pf == px1g) {
        AllocateOrThrow(alphaOut, out.Width(), out.Height(), px8g);
        TRowLock s(*alpha), d(alphaOut);
        if (k > 0)
          PxRotateQuarter(s.Rows(), d.Rows(), 8, k);
        else
          PxRotate1BitAny(s.Rows(), d.Rows(), angle, 0, 8);
        full = full && k > 0;
      } else {
        int qk;
        double c;
        PxSplitAngle(angle, qk, c);
        RotatePlane(*alpha, alphaOut, angle, antiAlias, zero);
        full = full && c == 0.0;
      }
      TPxBitmap* a = out.AlphaChannel();
      if (a && !alphaOut.IsEmpty()) {
        TRowLock s(alphaOut), d(*a);
        for (int y = 0; y < std::min(a->Height(), alphaOut.Height()); ++y)
          std::memcpy(d.Rows().Row[y], s.Rows().Row[y], std::min(a->Width(), alphaOut.Width()));
        a->SetFullAlpha(full);
      }
    }
    Adopt(*cur, out);
  }
  Changed();
}

void TImagingProc::CropSel() {
  TPxBitmap* cur = Bitmap();
  if (!cur) return;
  if (AutoUndo) SaveUndo("CropSel");
  const TPxSelection* sel = viewAttached_ && host_.Selection ? host_.Selection() : nullptr;
  if (sel && sel->Selected() && !sel->Mask().IsEmpty() && !sel->Mask().IsBoxEmpty() && !cur->IsEmpty()) {
    const TPxMask& mask = sel->Mask();
    // The mask may be older than the image: keep to what both cover.
    const int x1 = std::max(0, mask.X1), y1 = std::max(0, mask.Y1);
    const int x2 = std::min({mask.X2, cur->Width() - 1, mask.Width() - 1});
    const int y2 = std::min({mask.Y2, cur->Height() - 1, mask.Height() - 1});
    if (x1 <= x2 && y1 <= y2) {
      const int w = x2 - x1 + 1, h = y2 - y1 + 1;
      const TPxPixelFormat pf = cur->PixelFormat();
      TPxBitmap out;
      AllocateOrThrow(out, w, h, pf);
      CopyPalette(*cur, out);
      const int bits = cur->BitCount();
      const int bytes = bits / 8;
      {
        const std::vector<uint8_t> bg = PixelOf(*cur, Background());
        TRowLock s(*cur), d(out);
        std::vector<uint8_t> fullRow(static_cast<size_t>(h));
        bool allFull = mask.BitsPerPixel() == 1;
        for (int y = 0; y < h && mask.BitsPerPixel() == 1; ++y) {
          fullRow[size_t(y)] = MaskRunSet(mask.Scanline(y1 + y), x1, w);
          allFull = allFull && fullRow[size_t(y)];
        }
        // Nothing of the fill would remain when every row is copied whole.
        if (!allFull || bits < 8) FillWithPixel(d.Rows(), bits, bg.data());
        for (int y = 0; y < h; ++y) {
          const uint8_t* m = mask.Scanline(y1 + y);
          const uint8_t* sp = s.Rows().Row[y1 + y];
          uint8_t* dp = d.Rows().Row[y];
          if (fullRow[size_t(y)] && bits >= 8) {
            std::memcpy(dp, sp + static_cast<size_t>(x1) * bytes, static_cast<size_t>(w) * bytes);
            continue;
          }
          for (int x = 0; x < w; ++x) {
            if (!MaskBit(m, x1 + x)) continue;
            if (bits == 1) {
              const int sx = x1 + x;
              const uint8_t bit = static_cast<uint8_t>(0x80 >> (x & 7));
              if (sp[sx >> 3] & (0x80 >> (sx & 7)))
                dp[x >> 3] |= bit;
              else
                dp[x >> 3] &= static_cast<uint8_t>(~bit);
            } else {
              std::memcpy(dp + static_cast<size_t>(x) * bytes, sp + static_cast<size_t>(x1 + x) * bytes, bytes);
            }
          }
        }
      }
      if (cur->HasAlphaChannel()) {
        TPxBitmap* sa = cur->AlphaChannel();
        TPxBitmap* da = out.AlphaChannel();
        bool all255 = true;
        {
          TRowLock s(*sa), d(*da);
          for (int y = 0; y < h; ++y) {
            const uint8_t* m = mask.Scanline(y1 + y);
            const uint8_t* sp = s.Rows().Row[y1 + y];
            uint8_t* dp = d.Rows().Row[y];
            if (MaskRunSet(m, x1, w)) {
              std::memcpy(dp, sp + x1, static_cast<size_t>(w));
              for (int x = 0; x < w && all255; ++x) all255 = dp[x] == 255;
              continue;
            }
            for (int x = 0; x < w; ++x) {
              dp[x] = MaskBit(m, x1 + x) ? sp[x1 + x] : 255;
              all255 = all255 && dp[x] == 255;
            }
          }
        }
        if (all255)
          out.RemoveAlphaChannel();
        else
          da->SetFullAlpha(false);
      }
      Adopt(*cur, out);
    }
  }
  Changed();
}

// -------------------------------------------------------------------------- undo

void TImagingProc::SaveUndo(const std::string& caption) {
  TPxBitmap* cur = Bitmap();
  if (UndoLimit <= 0 || !cur || cur->Width() < 2 || cur->Height() < 2) return;
  auto copy = std::make_unique<TPxBitmap>();
  if (!copy->Assign(*cur)) throw std::bad_alloc();
  undo_.push_back(UndoEntry{caption, std::move(copy)});
  while (static_cast<int>(undo_.size()) > UndoLimit) undo_.erase(undo_.begin());
}

bool TImagingProc::Undo() {
  TPxBitmap* cur = Bitmap();
  if (undo_.empty() || !cur) return false;
  std::unique_ptr<TPxBitmap> image = std::move(undo_.back().Image);
  undo_.pop_back();
  Adopt(*cur, *image);
  Changed();
  return true;
}

void TImagingProc::ClearUndo() { undo_.clear(); }

std::string TImagingProc::UndoCaption(int index) const {
  if (index < 0 || index >= UndoCount()) return {};
  return undo_[index].Caption;
}

// --------------------------------------------------------------------- selection

void TPxSelection::AddPoint(TPxPolyPoint p) {
  // The outline grows in blocks of 64 points.
  if (polygon_.size() == polygon_.capacity()) polygon_.reserve(polygon_.size() + 64);
  polygon_.push_back(p);
  if (p == kSeparator) return;
  PolyX1 = std::min(PolyX1, p.X);
  PolyY1 = std::min(PolyY1, p.Y);
  PolyX2 = std::max(PolyX2, p.X);
  PolyY2 = std::max(PolyY2, p.Y);
}

bool TPxSelection::Select(int x1, int y1, int x2, int y2, int op, int bitmapWidth, int bitmapHeight,
                          const TToBitmap& toBitmap) {
  if (x1 == x2 || y1 == y2) return false;
  if (toBitmap) {
    toBitmap(x1, y1);
    toBitmap(x2, y2);
  }
  selected_ = true;
  if (op == 1 && !polygon_.empty()) {
    polygon_.push_back(kSeparator);
  } else {
    polygon_.clear();
    PolyX1 = PolyY1 = INT32_MAX;
    PolyX2 = PolyY2 = INT32_MIN;
  }
  const bool sized = !mask_.IsEmpty() && mask_.Width() == bitmapWidth && mask_.Height() == bitmapHeight;
  if (op != 1 || !sized) {
    if (bitmapWidth <= 0 || bitmapHeight <= 0 || !mask_.Allocate(bitmapWidth, bitmapHeight, 1)) {
      Deselect();
      return true;
    }
  }
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  x1 = std::clamp(x1, 0, bitmapWidth - 1);
  y1 = std::clamp(y1, 0, bitmapHeight - 1);
  x2 = std::clamp(x2, 0, bitmapWidth);
  y2 = std::clamp(y2, 0, bitmapHeight);
  AddPoint({x1, y1});
  AddPoint({x2, y1});
  AddPoint({x2, y2});
  AddPoint({x1, y2});
  FillPolygon();
  if (mask_.IsBoxEmpty()) {
    selected_ = false;
    polygon_.clear();
    PolyX1 = PolyY1 = INT32_MAX;
    PolyX2 = PolyY2 = INT32_MIN;
  }
  return true;
}

void TPxSelection::Deselect() {
  selected_ = false;
  polygon_.clear();
  PolyX1 = PolyY1 = INT32_MAX;
  PolyX2 = PolyY2 = INT32_MIN;
  mask_.Free();
}

// Scan conversion at pixel centres: a pixel is inside when its centre is
// inside the sub-polygon (even-odd), so the rectangle (x1, y1)-(x2, y2)
// covers exactly columns x1 .. x2 - 1 of rows y1 .. y2 - 1. Bits are only
// ever set, which makes added polygons a union.
void TPxSelection::FillPolygon() {
  const int w = mask_.Width(), h = mask_.Height();
  size_t begin = 0;
  std::vector<double> xs;
  while (begin < polygon_.size()) {
    size_t end = begin;
    while (end < polygon_.size() && !(polygon_[end] == kSeparator)) ++end;
    const size_t n = end - begin;
    if (n >= 3) {
      int top = INT32_MAX, bottom = INT32_MIN;
      for (size_t i = begin; i < end; ++i) {
        top = std::min(top, polygon_[i].Y);
        bottom = std::max(bottom, polygon_[i].Y);
      }
      top = std::max(top, 0);
      bottom = std::min(bottom, h);
      for (int y = top; y < bottom; ++y) {
        const double cy = y + 0.5;
        xs.clear();
        for (size_t i = 0; i < n; ++i) {
          const TPxPolyPoint a = polygon_[begin + i], b = polygon_[begin + (i + 1) % n];
          if ((a.Y <= cy) == (b.Y <= cy)) continue;
          xs.push_back(a.X + (cy - a.Y) * (b.X - a.X) / static_cast<double>(b.Y - a.Y));
        }
        std::sort(xs.begin(), xs.end());
        uint8_t* row = mask_.Scanline(y);
        for (size_t i = 0; i + 1 < xs.size(); i += 2) {
          // Columns whose centre lies in [xs[i], xs[i + 1]).
          int xa = static_cast<int>(std::ceil(xs[i] - 0.5));
          int xb = static_cast<int>(std::ceil(xs[i + 1] - 0.5)) - 1;
          xa = std::max(xa, 0);
          xb = std::min(xb, w - 1);
          if (xa > xb) continue;
          for (int x = xa; x <= xb; ++x) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
          mask_.X1 = std::min(mask_.X1, xa);
          mask_.X2 = std::max(mask_.X2, xb);
          mask_.Y1 = std::min(mask_.Y1, y);
          mask_.Y2 = std::max(mask_.Y2, y);
        }
      }
    }
    begin = end + 1;
  }
}
