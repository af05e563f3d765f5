#include "imaging/proc/mergerows.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "imaging/proc/pxparallel.h"
#include "imaging/proc/resample.h"

namespace {

void FillColor(uint8_t* out, int32_t n, TBGR c) {
  if (c.b == c.g && c.g == c.r) {
    std::memset(out, c.b, size_t(n) * 3);
    return;
  }
  for (int32_t i = 0; i < n; ++i, out += 3) out[0] = c.b, out[1] = c.g, out[2] = c.r;
}

}  // namespace

bool PxMergeOpaqueRow(const TPxMergeRowLayer& a, const TPxMergeRowLayer& b, int32_t width,
                      TBGR background, uint8_t* out, uint8_t* outAlpha) {
  // The row splits into runs at the layers' column edges; within a run every
  // pixel takes the same decision.
  int32_t cuts[6] = {0, width, std::clamp(a.Left, 0, width), std::clamp(a.Left + a.Width, 0, width),
                     std::clamp(b.Left, 0, width), std::clamp(b.Left + b.Width, 0, width)};
  std::sort(cuts, cuts + 6);
  bool covered = true;
  for (int i = 0; i + 1 < 6; ++i) {
    const int32_t x0 = cuts[i], x1 = cuts[i + 1];
    if (x0 >= x1) continue;
    const bool colA = x0 >= a.Left && x0 < a.Left + a.Width;
    const bool colB = x0 >= b.Left && x0 < b.Left + b.Width;
    const int32_t n = x1 - x0;
    uint8_t* o = out + size_t(x0) * 3;
    uint8_t alpha = 255;
    if (colB && b.Row) {
      std::memcpy(o, b.Row + size_t(x0 - b.Left) * 3, size_t(n) * 3);
    } else if (colA && a.Row) {
      std::memcpy(o, a.Row + size_t(x0 - a.Left) * 3, size_t(n) * 3);
    } else {
      FillColor(o, n, (!colA && !colB) ? background : TBGR{0, 0, 0});
      alpha = 0;
      covered = false;
    }
    if (outAlpha) std::memset(outAlpha + x0, alpha, size_t(n));
  }
  return covered;
}

bool PxMergeCoversAll(int32_t ax, int32_t ay, int32_t aw, int32_t ah, int32_t bx, int32_t by, int32_t bw,
                      int32_t bh, int32_t width, int32_t height) {
  // A row's coverage depends only on which layers it crosses; try each kind
  // of row that occurs. Column runs are as in PxMergeOpaqueRow.
  auto crosses = [](int64_t y, int32_t top, int32_t h) { return y >= top && y < int64_t(top) + h; };
  auto rowCovered = [&](bool inA, bool inB) {
    if (width <= 0) return true;
    int64_t x = 0;  // covered up to here
    // With at most two column ranges, the row is covered when they chain from 0 to width.
    int64_t ranges[2][2];
    int n = 0;
    if (inA && aw > 0) ranges[n][0] = ax, ranges[n][1] = int64_t(ax) + aw, ++n;
    if (inB && bw > 0) ranges[n][0] = bx, ranges[n][1] = int64_t(bx) + bw, ++n;
    if (n == 2 && ranges[1][0] < ranges[0][0]) std::swap(ranges[0], ranges[1]);
    for (int i = 0; i < n; ++i) {
      if (x >= width) break;
      if (ranges[i][0] > x) return false;
      x = std::max(x, ranges[i][1]);
    }
    return x >= width;
  };
  // Row kinds change only at the layers' top and bottom edges.
  int64_t edges[6] = {0, height, ay, int64_t(ay) + ah, by, int64_t(by) + bh};
  for (int64_t y : edges) {
    if (y < 0 || y >= height) continue;
    if (!rowCovered(crosses(y, ay, ah), crosses(y, by, bh))) return false;
  }
  return true;
}

bool PxMergeOpaqueLayers(const TPxMergeLayer& a, const TPxMergeLayer& b, TBGR background, TPxBitmap& dest) {
  const int32_t width = dest.Width(), height = dest.Height();
  TPxBitmap* alpha = nullptr;
  if (!PxMergeCoversAll(a.Left, a.Top, a.Width, a.Height, b.Left, b.Top, b.Width, b.Height, width, height)) {
    alpha = dest.AlphaChannel();
    if (alpha == nullptr) return false;
    alpha->SetFullAlpha(false);
  } else {
    dest.RemoveAlphaChannel();
  }
  auto rowOf = [](const TPxMergeLayer& l, int32_t y) -> const uint8_t* {
    return y >= l.Top && y - l.Top < l.Height ? l.Row(y - l.Top) : nullptr;
  };
  for (int32_t y = 0; y < height; ++y) {
    const TPxMergeRowLayer ra{rowOf(a, y), a.Left, a.Width};
    const TPxMergeRowLayer rb{rowOf(b, y), b.Left, b.Width};
    PxMergeOpaqueRow(ra, rb, width, background, dest.Scanline(y), alpha ? alpha->Scanline(y) : nullptr);
  }
  return true;
}

bool PxAlphaAllOpaque(TPxBitmap& alpha) {
  if (alpha.PixelFormat() != px8g) return false;
  const int32_t w = alpha.Width();
  for (int32_t y = 0; y < alpha.Height(); ++y) {
    const uint8_t* row = alpha.Scanline(y);
    if (!row) return false;
    // Eight values at a time: this runs over every pixel of a photo.
    int32_t x = 0;
    for (; x + 8 <= w; x += 8) {
      uint64_t v;
      std::memcpy(&v, row + x, 8);
      if (v != ~uint64_t(0)) return false;
    }
    for (; x < w; ++x)
      if (row[x] != 255) return false;
  }
  return true;
}

bool PxUniformColour(TPxBitmap& bmp, TBGR& colour) {
  if (bmp.PixelFormat() != pxRGB24 || bmp.IsEmpty()) return false;
  if (bmp.HasAlphaChannel() && !PxAlphaAllOpaque(*bmp.AlphaChannel())) return false;
  const uint8_t* first = bmp.Scanline(0);
  if (!first) return false;
  const TBGR c{first[0], first[1], first[2]};
  const size_t rowBytes = size_t(bmp.Width()) * 3;
  // The first row of that colour throughout, then every row like the first.
  std::vector<uint8_t> row(rowBytes);
  FillColor(row.data(), bmp.Width(), c);
  for (int32_t y = 0; y < bmp.Height(); ++y) {
    const uint8_t* r = bmp.Scanline(y);
    if (!r || std::memcmp(r, row.data(), rowBytes) != 0) return false;
  }
  colour = c;
  return true;
}

bool PxPadOpaque(TPxBitmap& picture, int32_t fitWidth, int32_t fitHeight, int32_t left, int32_t top,
                 int32_t width, int32_t height, TBGR colour, TPxBitmap& dest) {
  if (picture.PixelFormat() != pxRGB24 || picture.IsEmpty() || picture.Location() != pxMemory)
    return false;
  if (fitWidth <= 0 || fitHeight <= 0 || left < 0 || top < 0 || int64_t(left) + fitWidth > width ||
      int64_t(top) + fitHeight > height)
    return false;
  TPxBitmap canvas;
  if (!canvas.Allocate(width, height, pxRGB24) || canvas.Location() != pxMemory) return false;
  const bool sameSize = fitWidth == picture.Width() && fitHeight == picture.Height();
  // The sheet's colour where the picture is not: whole rows above and below
  // it, the margins beside it.
  PxParallelFor(height, 64, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      uint8_t* row = canvas.Scanline(y);
      if (y < top || y >= top + fitHeight) {
        FillColor(row, width, colour);
        continue;
      }
      FillColor(row, left, colour);
      FillColor(row + size_t(left + fitWidth) * 3, width - left - fitWidth, colour);
      if (sameSize)
        std::memcpy(row + size_t(left) * 3, picture.Scanline(y - top), size_t(fitWidth) * 3);
    }
  });
  if (!sameSize) {
    TPxRows src{picture.Width(), picture.Height(), std::vector<uint8_t*>(size_t(picture.Height()))};
    for (int32_t y = 0; y < picture.Height(); ++y) src.Row[size_t(y)] = picture.Scanline(y);
    TPxRows dst{fitWidth, fitHeight, std::vector<uint8_t*>(size_t(fitHeight))};
    for (int32_t y = 0; y < fitHeight; ++y)
      dst.Row[size_t(y)] = canvas.Scanline(top + y) + size_t(left) * 3;
    PxResampleNearest(src, dst, 24);
  }
  dest.TakeOver(canvas);
  return true;
}
