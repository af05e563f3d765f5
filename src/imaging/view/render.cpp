#include "imaging/view/render.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "imaging/proc/imagingproc.h"

namespace {

// What the row converters need besides the pixels.
struct TRowContext {
  const TBGR* Palette = nullptr;
  // px16g and px32f: value -> 0..255 by (v - Low) * Scale.
  double Low = 0;
  double Scale = 1;
};

inline uint8_t ToByte(double v) {
  if (!(v > 0)) return 0;  // also NaN
  if (v >= 255) return 255;
  return static_cast<uint8_t>(v);
}

// Converts the mapped pixels of one source row to BGR. cols holds n source
// columns, all inside the row.
void ConvertRow(TPxPixelFormat pf, const uint8_t* src, const int32_t* cols, int32_t n, uint8_t* out,
                const TRowContext& ctx) {
  switch (pf) {
    case px1g:
      for (int32_t i = 0; i < n; ++i, out += 3) {
        const int32_t c = cols[i];
        const uint8_t v = (src[c >> 3] & (0x80 >> (c & 7))) ? 255 : 0;
        out[0] = out[1] = out[2] = v;
      }
      break;
    case px8p:
      if (ctx.Palette) {
        for (int32_t i = 0; i < n; ++i, out += 3) {
          const TBGR& c = ctx.Palette[src[cols[i]]];
          out[0] = c.b, out[1] = c.g, out[2] = c.r;
        }
        break;
      }
      [[fallthrough]];  // no palette: the indexes as gray
    case px8g:
      for (int32_t i = 0; i < n; ++i, out += 3) out[0] = out[1] = out[2] = src[cols[i]];
      break;
    case px16g:
      for (int32_t i = 0; i < n; ++i, out += 3) {
        const uint8_t* p = src + 2 * cols[i];
        const int32_t v = p[0] | (p[1] << 8);
        out[0] = out[1] = out[2] = ToByte((v - ctx.Low) * ctx.Scale);
      }
      break;
    case px32f:
      for (int32_t i = 0; i < n; ++i, out += 3) {
        float f;
        std::memcpy(&f, src + 4 * cols[i], 4);
        out[0] = out[1] = out[2] = ToByte((f - ctx.Low) * ctx.Scale);
      }
      break;
    case pxCMYK:
      for (int32_t i = 0; i < n; ++i, out += 3) {
        const TBGR c = PxCMYKToBGR(src + 4 * cols[i]);
        out[0] = c.b, out[1] = c.g, out[2] = c.r;
      }
      break;
    case pxRGB48:
      // Little-endian words red, green, blue: the high bytes.
      for (int32_t i = 0; i < n; ++i, out += 3) {
        const uint8_t* p = src + 6 * cols[i];
        out[0] = p[5], out[1] = p[3], out[2] = p[1];
      }
      break;
    case pxRGB24:
      for (int32_t i = 0; i < n; ++i, out += 3) {
        const uint8_t* p = src + 3 * cols[i];
        out[0] = p[0], out[1] = p[1], out[2] = p[2];
      }
      break;
    default:
      std::memset(out, 0, size_t(n) * 3);
      break;
  }
}

// The display adjustments of a bitmap as one table per channel (B, G, R).
struct TAdjustTables {
  uint8_t Table[3][256];
  explicit TAdjustTables(const TPxBitmap& b) {
    const int32_t offsets[3] = {b.DisplayBlueOffset, b.DisplayGreenOffset, b.DisplayRedOffset};
    const double contrast = (100.0 + b.DisplayContrast) / 100.0;
    for (int ch = 0; ch < 3; ++ch)
      for (int v = 0; v < 256; ++v) {
        const double r = (v - 128) * contrast + 128 + offsets[ch];
        Table[ch][v] = static_cast<uint8_t>(std::clamp(std::lround(r), 0L, 255L));
      }
  }
  void Apply(uint8_t* p, int32_t n) const {
    for (int32_t i = 0; i < n; ++i, p += 3) {
      p[0] = Table[0][p[0]];
      p[1] = Table[1][p[1]];
      p[2] = Table[2][p[2]];
    }
  }
};

TRowContext MakeContext(const TPxBitmap& src) {
  TRowContext ctx;
  ctx.Palette = src.Palette();
  double lo = src.DisplayRangeLow, hi = src.DisplayRangeHigh;
  if (lo == 0 && hi == 0) {
    hi = src.PixelFormat() == px16g ? 65535.0 : 1.0;
  }
  ctx.Low = lo;
  ctx.Scale = hi != lo ? 255.0 / (hi - lo) : 0.0;
  // Exact for full-range values: 257 * c shows as c.
  if (src.PixelFormat() == px16g && lo == 0 && hi == 65535.0) ctx.Scale = 1.0 / 257.0;
  return ctx;
}

// Fills map[i] for i in [first, last) with the source index at destination
// index first + i, or takes it from the cached map; then trims the range to
// the indexes that land inside the source [0, limit).
bool BuildMap(std::vector<int32_t>& map, int32_t& first, int32_t& last, int32_t destStart,
              double scale, int32_t srcStart, int32_t limit, const int32_t* cached) {
  if (last <= first) return false;
  map.resize(size_t(last - first));
  for (int32_t d = first; d < last; ++d) {
    map[d - first] = cached ? cached[d]
                            : static_cast<int32_t>(std::trunc((double(d) - destStart) * scale + srcStart));
  }
  int32_t lo = 0, hi = last - first;
  while (lo < hi && (map[lo] < 0 || map[lo] >= limit)) ++lo;
  while (hi > lo && (map[hi - 1] < 0 || map[hi - 1] >= limit)) --hi;
  if (lo >= hi) return false;
  if (lo > 0) map.erase(map.begin(), map.begin() + lo);
  map.resize(size_t(hi - lo));
  last = first + hi;
  first += lo;
  return true;
}

// Filtered drawing: the visible part of the source resampled to the visible
// destination size, then drawn 1:1.
void RenderFiltered(TPxBitmap& src, TPxBitmap& dst, const TPxRenderParams& p, const TRect& vis,
                    double sx, double sy, TPxRenderScratch& s) {
  const double fx0 = (double(vis.Left) - p.DestLeft) * sx + p.SourceLeft;
  const double fx1 = (double(vis.Right) - p.DestLeft) * sx + p.SourceLeft;
  const double fy0 = (double(vis.Top) - p.DestTop) * sy + p.SourceTop;
  const double fy1 = (double(vis.Bottom) - p.DestTop) * sy + p.SourceTop;
  const int32_t ax = std::clamp(static_cast<int32_t>(std::floor(fx0)), 0, src.Width());
  const int32_t bx = std::clamp(static_cast<int32_t>(std::ceil(fx1)), 0, src.Width());
  const int32_t ay = std::clamp(static_cast<int32_t>(std::floor(fy0)), 0, src.Height());
  const int32_t by = std::clamp(static_cast<int32_t>(std::ceil(fy1)), 0, src.Height());
  if (bx <= ax || by <= ay) return;
  if (!s.Part) s.Part = std::make_unique<TPxBitmap>();
  if (!s.Scaled) s.Scaled = std::make_unique<TPxBitmap>();
  TPxBitmap& part = *s.Part;
  TPxBitmap& scaled = *s.Scaled;
  if (!part.Allocate(bx - ax, by - ay, src.PixelFormat())) return;
  src.CopyRectTo(part, ax, ay, 0, 0, bx - ax, by - ay);
  part.RemoveAlphaChannel();
  if (p.UseAlpha && src.HasAlphaChannel()) {
    const TPxBitmap* alpha = src.AlphaChannelIfAny();
    TPxBitmap* pa = part.AlphaChannel();
    if (pa) {
      pa->SetFullAlpha(false);
      alpha->CopyRectTo(*pa, ax, ay, 0, 0, bx - ax, by - ay);
    }
  }
  if (!scaled.Allocate(vis.Width(), vis.Height(), pxRGB24)) return;
  scaled.RemoveAlphaChannel();
  if (part.HasAlphaChannel()) {
    if (TPxBitmap* a = scaled.AlphaChannel()) a->SetFullAlpha(false);
  }
  ResampleBitmap(part, scaled, p.Filter);
  TPxRenderParams q = p;
  q.Filter = rfNone;
  q.SourceLeft = q.SourceTop = 0;
  q.SourceWidth = scaled.Width();
  q.SourceHeight = scaled.Height();
  q.DestLeft = vis.Left;
  q.DestTop = vis.Top;
  q.DestWidth = vis.Width();
  q.DestHeight = vis.Height();
  q.Clip = vis;
  q.ColumnMap = q.RowMap = nullptr;
  q.UseAlpha = p.UseAlpha && scaled.HasAlphaChannel();
  // The scratch bitmaps are in use: the 1:1 pass gets scratch maps of its own.
  TPxRenderScratch inner;
  std::swap(inner.Columns, s.Columns);
  std::swap(inner.Rows, s.Rows);
  std::swap(inner.Pixels, s.Pixels);
  std::swap(inner.Alpha, s.Alpha);
  RenderTo(scaled, dst, q, &inner);
  std::swap(inner.Columns, s.Columns);
  std::swap(inner.Rows, s.Rows);
  std::swap(inner.Pixels, s.Pixels);
  std::swap(inner.Alpha, s.Alpha);
}

// Writes n colours into d: a plain copy, or blended with opacity t.
void PutRow(uint8_t* d, const uint8_t* c, int32_t n, int32_t t, bool add) {
  if (t >= 255 && !add) {
    std::memcpy(d, c, 3 * size_t(n));
    return;
  }
  for (int32_t i = 0; i < 3 * n; ++i) {
    const int32_t dv = d[i];
    const int32_t cv = add ? std::min(255, c[i] + dv) : c[i];
    d[i] = static_cast<uint8_t>(dv + ((t * (cv - dv)) >> 8));
  }
}

// A black-and-white picture reduced with a filter: each destination pixel
// shows the share of white source pixels under it as gray.
void RenderOneBitAveraged(TPxBitmap& src, TPxBitmap& dst, const TPxRenderParams& p, const TRect& vis,
                          double sx, double sy, TPxRenderScratch& s) {
  const int32_t n = vis.Width();
  auto span = [](int32_t d, int32_t destStart, double scale, int32_t srcStart, int32_t limit, int32_t& a,
                 int32_t& b) {
    a = std::clamp(static_cast<int32_t>(std::floor((double(d) - destStart) * scale + srcStart)), 0, limit);
    b = std::clamp(static_cast<int32_t>(std::floor((double(d) + 1 - destStart) * scale + srcStart)), 0, limit);
    if (b <= a) b = std::min(limit, a + 1);
  };
  // Columns: [Columns[2i], Columns[2i + 1]) of the source for destination column i.
  s.Columns.resize(size_t(n) * 2);
  for (int32_t i = 0; i < n; ++i) span(vis.Left + i, p.DestLeft, sx, p.SourceLeft, src.Width(), s.Columns[2 * i], s.Columns[2 * i + 1]);
  const int32_t c0 = s.Columns[0], c1 = s.Columns[2 * size_t(n) - 1];
  if (c1 <= c0) return;
  std::vector<int32_t> ones(static_cast<size_t>(c1 - c0) + 1);
  std::vector<int32_t> sums(static_cast<size_t>(n));
  s.Pixels.resize(size_t(n) * 3);
  const int32_t opacity = std::clamp(p.Opacity, 0, 255);
  for (int32_t y = vis.Top; y < vis.Bottom; ++y) {
    int32_t r0, r1;
    span(y, p.DestTop, sy, p.SourceTop, src.Height(), r0, r1);
    if (r1 <= r0) continue;
    std::fill(sums.begin(), sums.end(), 0);
    for (int32_t r = r0; r < r1; ++r) {
      const uint8_t* row = src.Scanline(r);
      // Running count of white pixels, so that each column's box is one subtraction.
      ones[0] = 0;
      for (int32_t c = c0; c < c1; ++c) ones[c - c0 + 1] = ones[c - c0] + ((row[c >> 3] >> (7 - (c & 7))) & 1);
      for (int32_t i = 0; i < n; ++i) sums[i] += ones[s.Columns[2 * i + 1] - c0] - ones[s.Columns[2 * i] - c0];
    }
    for (int32_t i = 0; i < n; ++i) {
      const int32_t area = (s.Columns[2 * i + 1] - s.Columns[2 * i]) * (r1 - r0);
      const uint8_t g = static_cast<uint8_t>(area > 0 ? (255 * sums[i] + area / 2) / area : 0);
      s.Pixels[3 * i] = s.Pixels[3 * i + 1] = s.Pixels[3 * i + 2] = g;
    }
    PutRow(dst.Scanline(y) + 3 * size_t(vis.Left), s.Pixels.data(), n, opacity, p.BlendMode == 1);
  }
}

}  // namespace

void RenderTo(TPxBitmap& source, TPxBitmap& destination, const TPxRenderParams& p,
              TPxRenderScratch* scratch) {
  if (p.SourceWidth <= 0 || p.SourceHeight <= 0 || p.DestWidth <= 0 || p.DestHeight <= 0) return;
  if (source.IsEmpty() || destination.IsEmpty() || destination.PixelFormat() != pxRGB24) return;
  const int32_t bw = destination.Width(), bh = destination.Height();
  if (p.DestLeft >= bw || p.DestTop >= bh) return;
  TPxRenderScratch local;
  TPxRenderScratch& s = scratch ? *scratch : local;

  // The destination part drawn: rectangle, buffer and clip rectangle intersected.
  TRect vis{0, 0, bw, bh};
  if (!p.Clip.IsEmpty()) {
    vis.Left = std::max(vis.Left, p.Clip.Left);
    vis.Top = std::max(vis.Top, p.Clip.Top);
    vis.Right = std::min(vis.Right, p.Clip.Right);
    vis.Bottom = std::min(vis.Bottom, p.Clip.Bottom);
  }
  vis.Left = std::max<int64_t>(vis.Left, p.DestLeft);
  vis.Top = std::max<int64_t>(vis.Top, p.DestTop);
  vis.Right = static_cast<int32_t>(std::min<int64_t>(vis.Right, int64_t(p.DestLeft) + p.DestWidth));
  vis.Bottom = static_cast<int32_t>(std::min<int64_t>(vis.Bottom, int64_t(p.DestTop) + p.DestHeight));
  if (vis.IsEmpty()) return;

  const double sx = double(p.SourceWidth) / p.DestWidth;
  const double sy = double(p.SourceHeight) / p.DestHeight;
  const TPxPixelFormat pf = source.PixelFormat();
  const bool useAlpha = p.UseAlpha && source.HasAlphaChannel();

  if (p.Filter != rfNone && pf == px1g && !useAlpha && p.Filter != rfProjectBW && p.Filter != rfProjectWB &&
      (p.SourceWidth > p.DestWidth || p.SourceHeight > p.DestHeight) && !p.ColumnMap && !p.RowMap) {
    RenderOneBitAveraged(source, destination, p, vis, sx, sy, s);
    return;
  }
  if (p.Filter != rfNone && (p.SourceWidth != p.DestWidth || p.SourceHeight != p.DestHeight) &&
      (pf == px1g || pf == pxRGB24) && !p.ColumnMap && !p.RowMap) {
    RenderFiltered(source, destination, p, vis, sx, sy, s);
    return;
  }

  int32_t x0 = vis.Left, x1 = vis.Right, y0 = vis.Top, y1 = vis.Bottom;
  if (!BuildMap(s.Columns, x0, x1, p.DestLeft, sx, p.SourceLeft, source.Width(), p.ColumnMap)) return;
  if (!BuildMap(s.Rows, y0, y1, p.DestTop, sy, p.SourceTop, source.Height(), p.RowMap)) return;
  const int32_t n = x1 - x0;
  const int32_t* cols = s.Columns.data();
  const int32_t opacity = std::clamp(p.Opacity, 0, 255);
  if (opacity == 0 && p.BlendMode == 0) return;
  const bool adjust = source.DisplayAdjust != 0;
  const bool blending = opacity < 255 || useAlpha;
  const bool oneToOne = std::lround(sx * 16384) == 16384 && std::lround(sy * 16384) == 16384;

  // Opaque 1:1 copy of whole rows.
  bool contiguous = oneToOne;
  for (int32_t i = 1; contiguous && i < n; ++i) contiguous = cols[i] == cols[0] + i;
  if (oneToOne && contiguous && pf == pxRGB24 && !blending && !adjust && p.BlendMode == 0) {
    for (int32_t y = y0; y < y1; ++y) {
      const uint8_t* src = source.Scanline(s.Rows[y - y0]);
      std::memcpy(destination.Scanline(y) + 3 * size_t(x0), src + 3 * size_t(cols[0]), 3 * size_t(n));
    }
    return;
  }

  const TRowContext ctx = MakeContext(source);
  std::unique_ptr<TAdjustTables> tables;
  if (adjust) tables = std::make_unique<TAdjustTables>(source);
  const bool direct = !blending && p.BlendMode == 0;
  if (!direct) s.Pixels.resize(size_t(n) * 3);
  TPxBitmap* alpha = useAlpha ? source.AlphaChannel() : nullptr;

  int32_t previousRow = -1;
  const uint8_t* previousDest = nullptr;
  for (int32_t y = y0; y < y1; ++y) {
    const int32_t sr = s.Rows[y - y0];
    uint8_t* d = destination.Scanline(y) + 3 * size_t(x0);
    if (direct) {
      // Two destination rows showing one source row: the second is a copy.
      if (sr == previousRow && previousDest) {
        std::memcpy(d, previousDest, 3 * size_t(n));
        continue;
      }
      ConvertRow(pf, source.Scanline(sr), cols, n, d, ctx);
      if (tables) tables->Apply(d, n);
      previousRow = sr;
      previousDest = d;
      continue;
    }
    uint8_t* c = s.Pixels.data();
    ConvertRow(pf, source.Scanline(sr), cols, n, c, ctx);
    if (tables) tables->Apply(c, n);
    const uint8_t* a = alpha ? alpha->Scanline(sr) : nullptr;
    const bool add = p.BlendMode == 1;
    for (int32_t i = 0; i < n; ++i, d += 3, c += 3) {
      const int32_t t = a ? std::min<int32_t>(opacity, a[cols[i]]) : opacity;
      for (int ch = 0; ch < 3; ++ch) {
        const int32_t dv = d[ch];
        int32_t cv = c[ch];
        if (add) cv = std::min(255, cv + dv);
        // Arithmetic shift: rounds toward minus infinity.
        d[ch] = static_cast<uint8_t>(dv + ((t * (cv - dv)) >> 8));
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Background, box and grips

namespace {

inline void PutColor(uint8_t* p, const TBGR& c) {
  p[0] = c.b;
  p[1] = c.g;
  p[2] = c.r;
}

// Fills rows [y0, y1) of the buffer with copies of one prepared row.
void CopyRowDown(TPxBitmap& buffer, const uint8_t* row, int32_t y0, int32_t y1, int32_t x0, int32_t n) {
  for (int32_t y = y0; y < y1; ++y)
    std::memcpy(buffer.Scanline(y) + 3 * size_t(x0), row, 3 * size_t(n));
}

void InvertPixel(TPxBitmap& buffer, int32_t x, int32_t y) {
  if (x < 0 || y < 0 || x >= buffer.Width() || y >= buffer.Height()) return;
  uint8_t* p = buffer.Scanline(y) + 3 * size_t(x);
  p[0] = ~p[0];
  p[1] = ~p[1];
  p[2] = ~p[2];
}

void SetPixel(TPxBitmap& buffer, int32_t x, int32_t y, const TBGR& c) {
  if (x < 0 || y < 0 || x >= buffer.Width() || y >= buffer.Height()) return;
  PutColor(buffer.Scanline(y) + 3 * size_t(x), c);
}

// Visits the points of the line from (x0, y0) towards (x1, y1), the end point
// excluded, in order.
template <typename Visit>
void WalkLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, Visit visit) {
  const int32_t dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
  const int32_t stepX = x0 < x1 ? 1 : -1, stepY = y0 < y1 ? 1 : -1;
  int32_t err = dx + dy;
  while (x0 != x1 || y0 != y1) {
    visit(x0, y0);
    const int32_t e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x0 += stepX;
    }
    if (e2 <= dx) {
      err += dx;
      y0 += stepY;
    }
  }
}

void Line(TPxBitmap& buffer, int32_t x0, int32_t y0, int32_t x1, int32_t y1, const TBGR& c) {
  WalkLine(x0, y0, x1, y1, [&](int32_t x, int32_t y) { SetPixel(buffer, x, y, c); });
  SetPixel(buffer, x1, y1, c);
}

// Whether pixel (x, y) of an 8 x 8 hatch cell lies on a hatch line.
bool OnHatch(TPxBackgroundStyle style, int32_t x, int32_t y) {
  const int32_t u = x & 7, v = y & 7;
  const bool h = v == 7, vert = u == 7, f = u == v, b = u == 7 - v;
  switch (style) {
    case pxbsHorizontal: return h;
    case pxbsVertical: return vert;
    case pxbsFDiagonal: return f;
    case pxbsBDiagonal: return b;
    case pxbsCross: return h || vert;
    case pxbsDiagCross: return f || b;
    default: return true;
  }
}

TBGR Complement(TColor color) { return PxColorRefToBGR(~color & 0xFFFFFF); }

}  // namespace

void PxFillRect(TPxBitmap& buffer, TRect r, TColor color) {
  r.Left = std::max(r.Left, 0);
  r.Top = std::max(r.Top, 0);
  r.Right = std::min(r.Right, buffer.Width());
  r.Bottom = std::min(r.Bottom, buffer.Height());
  if (r.IsEmpty() || buffer.PixelFormat() != pxRGB24) return;
  std::vector<uint8_t> row(size_t(r.Width()) * 3);
  const TBGR c = PxColorRefToBGR(color);
  for (int32_t x = 0; x < r.Width(); ++x) PutColor(&row[3 * size_t(x)], c);
  CopyRowDown(buffer, row.data(), r.Top, r.Bottom, r.Left, r.Width());
}

void PxDrawBackground(TPxBitmap& buffer, TPxBackgroundStyle style, TColor color,
                      TColor gradientEnd, int32_t chessboardSize, const TRect& image) {
  const int32_t w = buffer.Width(), h = buffer.Height();
  if (w <= 0 || h <= 0 || buffer.PixelFormat() != pxRGB24) return;
  const TBGR fg = PxColorRefToBGR(color);
  std::vector<uint8_t> row(size_t(w) * 3);
  switch (style) {
    case pxbsHorizontal:
    case pxbsVertical:
    case pxbsFDiagonal:
    case pxbsBDiagonal:
    case pxbsCross:
    case pxbsDiagCross: {
      // Hatch lines in the colour over the white of the device background.
      const TBGR white{255, 255, 255};
      for (int32_t v = 0; v < 8 && v < h; ++v) {
        for (int32_t x = 0; x < w; ++x) PutColor(&row[3 * size_t(x)], OnHatch(style, x, v) ? fg : white);
        for (int32_t y = v; y < h; y += 8) std::memcpy(buffer.Scanline(y), row.data(), row.size());
      }
      return;
    }
    case pxbsChessboard: {
      const int32_t size = std::max(1, chessboardSize);
      const TBGR other = Complement(color);
      for (int32_t band = 0; band * size < h; ++band) {
        for (int32_t x = 0; x < w; ++x)
          PutColor(&row[3 * size_t(x)], ((x / size + band) & 1) ? other : fg);
        CopyRowDown(buffer, row.data(), band * size, std::min(h, (band + 1) * size), 0, w);
      }
      return;
    }
    case pxbsDiagonals: {
      PxFillRect(buffer, TRect{0, 0, w, h}, color);
      const TBGR other = Complement(color);
      Line(buffer, 0, 0, w - 1, h - 1, other);
      Line(buffer, w - 1, 0, 0, h - 1, other);
      return;
    }
    case pxbsCropped: {
      PxFillRect(buffer, TRect{0, 0, w, h}, clBtnFace);
      if (image.Width() < 2 || image.Height() < 2) return;
      // A sunken edge: shadow above and left, light below and right.
      const TRect o{image.Left - kPxEdgeSize, image.Top - kPxEdgeSize, image.Right + kPxEdgeSize,
                    image.Bottom + kPxEdgeSize};
      const TBGR colours[4] = {PxColorRefToBGR(clBtnShadow), PxColorRefToBGR(clBtnHighlight),
                               PxColorRefToBGR(clBtnDkShadow), PxColorRefToBGR(clBtnLight)};
      for (int ring = 0; ring < 2; ++ring) {
        const int32_t l = o.Left + ring, t = o.Top + ring, r = o.Right - 1 - ring, b = o.Bottom - 1 - ring;
        const TBGR& dark = colours[ring == 0 ? 0 : 2];
        const TBGR& light = colours[ring == 0 ? 1 : 3];
        Line(buffer, l, t, r - 1, t, dark);
        Line(buffer, l, t, l, b - 1, dark);
        Line(buffer, l, b, r, b, light);
        Line(buffer, r, t, r, b, light);
      }
      return;
    }
    case pxbsCropShadow: {
      PxFillRect(buffer, TRect{0, 0, w, h}, clBtnFace);
      if (image.Width() < 2 || image.Height() < 2) return;
      // The shadow darkens the face colour, fading outwards.
      const TBGR face = PxColorRefToBGR(clBtnFace);
      for (int32_t i = 0; i < kPxShadowSize; ++i) {
        const int32_t k = 128 + 25 * i;  // 256 = unchanged
        const TBGR c{uint8_t(face.b * k >> 8), uint8_t(face.g * k >> 8), uint8_t(face.r * k >> 8)};
        Line(buffer, image.Right + i, image.Top + 2 + i, image.Right + i, image.Bottom + i, c);
        Line(buffer, image.Left + 2 + i, image.Bottom + i, image.Right + i, image.Bottom + i, c);
      }
      return;
    }
    case pxbsGradient: {
      const TBGR a = fg, b = PxColorRefToBGR(gradientEnd);
      for (int32_t y = 0; y < h; ++y) {
        const int32_t den = std::max(1, h - 1);
        const TBGR c{uint8_t(a.b + (b.b - a.b) * y / den), uint8_t(a.g + (b.g - a.g) * y / den),
                     uint8_t(a.r + (b.r - a.r) * y / den)};
        for (int32_t x = 0; x < w; ++x) PutColor(&row[3 * size_t(x)], c);
        std::memcpy(buffer.Scanline(y), row.data(), row.size());
      }
      return;
    }
    case pxbsSolid:
    default:
      PxFillRect(buffer, TRect{0, 0, w, h}, color);
      return;
  }
}

void PxDrawDottedBox(TPxBitmap& buffer, const TRect& r) {
  if (buffer.PixelFormat() != pxRGB24) return;
  const int32_t l = r.Left, t = r.Top, rr = r.Right - 1, b = r.Bottom - 1;
  if (rr < l || b < t) return;
  // Walk the outline once, so that no pixel is inverted twice.
  int32_t k = 0;
  auto dot = [&](int32_t x, int32_t y) {
    if ((k++ & 1) == 0) InvertPixel(buffer, x, y);
  };
  for (int32_t x = l; x <= rr; ++x) dot(x, t);
  for (int32_t y = t + 1; y <= b; ++y) dot(rr, y);
  if (b > t)
    for (int32_t x = rr - 1; x >= l; --x) dot(x, b);
  if (rr > l)
    for (int32_t y = b - 1; y > t; --y) dot(l, y);
}

void PxDrawDottedLine(TPxBitmap& buffer, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t& phase) {
  if (buffer.PixelFormat() != pxRGB24) return;
  // Only the part that can reach the buffer is walked.
  const int64_t span = std::max(std::abs(int64_t(x1) - x0), std::abs(int64_t(y1) - y0));
  if (span == 0 || span > 4 * int64_t(buffer.Width() + buffer.Height()) + 16) {
    if (span != 0) phase += 1;
    return;
  }
  WalkLine(x0, y0, x1, y1, [&](int32_t x, int32_t y) {
    if ((phase++ & 1) == 0) InvertPixel(buffer, x, y);
  });
}

void PxDrawGrip(TPxBitmap& buffer, int32_t cx, int32_t cy) {
  if (buffer.PixelFormat() != pxRGB24) return;
  const TBGR black{0, 0, 0}, white{255, 255, 255};
  for (int32_t y = cy - 4; y <= cy + 3; ++y)
    for (int32_t x = cx - 4; x <= cx + 3; ++x) {
      const bool edge = x == cx - 4 || x == cx + 3 || y == cy - 4 || y == cy + 3;
      SetPixel(buffer, x, y, edge ? black : white);
    }
}

TRect PxBadgeRect(const TRect& owner) {
  const int32_t right = owner.Right - 3, top = owner.Top + 3;
  return TRect{right - kPxBadgeSize, top, right, top + kPxBadgeSize};
}

void PxDrawWarningBadge(TPxBitmap& buffer, const TRect& r) {
  if (buffer.PixelFormat() != pxRGB24 || r.Width() < 6 || r.Height() < 6) return;
  // Amber, as the drop target's rings: seen on white paper and on photos alike.
  const TBGR black{0, 0, 0}, amber = PxColorRefToBGR(0x00C0FF);
  const int32_t rows = r.Height() - 2;  // the triangle, apex at the top
  const double cx = r.Left + r.Width() / 2.0;
  for (int32_t i = 0; i < rows; ++i) {
    const double half = (i + 1) * r.Width() / (2.0 * rows);
    const int32_t y = r.Top + 1 + i;
    for (int32_t x = int32_t(std::floor(cx - half)); x < int32_t(std::ceil(cx + half)); ++x) {
      const double d = std::fabs(x + 0.5 - cx);
      if (d >= half) continue;
      // A black edge two pixels wide around the amber.
      const bool inside = i >= 2 && i < rows - 2 && d < half - 2.0;
      SetPixel(buffer, x, y, inside ? amber : black);
    }
  }
  // The "!": a bar over the middle of the triangle and a dot below it, two
  // pixels wide at its centre line.
  const int32_t x0 = int32_t(cx) - 1;
  const int32_t barTop = r.Top + 1 + rows * 5 / 16, barBottom = r.Top + 1 + rows * 5 / 8;
  const int32_t dotTop = barBottom + 1, dotBottom = std::min(dotTop + 2, r.Top + 1 + rows - 3);
  for (int32_t y = barTop; y < barBottom; ++y)
    for (int32_t x = x0; x < x0 + 2; ++x) SetPixel(buffer, x, y, black);
  for (int32_t y = dotTop; y < dotBottom; ++y)
    for (int32_t x = x0; x < x0 + 2; ++x) SetPixel(buffer, x, y, black);
}
