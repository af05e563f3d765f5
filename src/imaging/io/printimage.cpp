#include "imaging/io/printimage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "imaging/io/imagingio.h"
#include "imaging/core/pxutils.h"
#include "imaging/proc/imagingproc.h"

namespace {

std::vector<TPxRGBQuad> ColorTableOf(TPxBitmap& bitmap) {
  std::vector<TPxRGBQuad> table;
  switch (bitmap.PixelFormat()) {
    case px1g:
      table = {{0, 0, 0, 0}, {255, 255, 255, 255}};
      break;
    case px8g:
      for (int i = 0; i < 256; ++i) table.push_back({uint8_t(i), uint8_t(i), uint8_t(i), 0});
      break;
    case px8p:
      for (int i = 0; i < 256; ++i) {
        TBGR c = bitmap.PaletteColor(i);
        table.push_back({c.b, c.g, c.r, 0});
      }
      break;
    default:
      break;
  }
  return table;
}

// Copies the columns x .. x + width - 1 of one row, for any of the three depths.
void CopyColumns(const uint8_t* src, uint8_t* dst, int32_t x, int32_t width, int32_t bits) {
  if (bits != 1) {
    const int32_t bpp = bits / 8;
    std::memcpy(dst, src + int64_t(x) * bpp, size_t(width) * bpp);
    return;
  }
  if (x % 8 == 0) {
    std::memcpy(dst, src + x / 8, size_t((width + 7) / 8));
    return;
  }
  std::memset(dst, 0, size_t((width + 7) / 8));
  for (int32_t i = 0; i < width; ++i) {
    const int32_t s = x + i;
    if (src[s >> 3] & (0x80 >> (s & 7))) dst[i >> 3] |= uint8_t(0x80 >> (i & 7));
  }
}

}  // namespace

TPxPackedDib PxMakePackedDib(TPxBitmap& bitmap, int32_t x, int32_t y, int32_t width,
                             int32_t height) {
  TPxPackedDib dib;
  const TPxPixelFormat pf = bitmap.PixelFormat();
  if (pf != px1g && pf != px8p && pf != px8g && pf != pxRGB24) {
    TPxBitmap copy;
    if (!copy.Assign(bitmap) || !copy.ConvertTo(pxRGB24)) return dib;
    return PxMakePackedDib(copy, x, y, width, height);
  }
  // The rectangle is limited to the picture.
  x = std::max(0, x), y = std::max(0, y);
  width = std::min(width, bitmap.Width() - x);
  height = std::min(height, bitmap.Height() - y);
  if (width <= 0 || height <= 0) return dib;
  dib.Width = width;
  dib.Height = height;
  dib.BitCount = bitmap.BitCount();
  dib.ColorTable = ColorTableOf(bitmap);
  const int64_t rowBytes = dib.RowBytes();
  dib.Bits.assign(size_t(rowBytes * height), 0);
  for (int32_t r = 0; r < height; ++r)
    CopyColumns(bitmap.Scanline(y + r), dib.Bits.data() + rowBytes * (height - 1 - r), x, width,
                dib.BitCount);
  return dib;
}

TPxDeviceRect PxDeviceRect(const TPxPrinterCanvas& canvas, double x, double y, double width,
                           double height) {
  const int32_t dpiX = canvas.DpiX(), dpiY = canvas.DpiY();
  return {int32_t(std::lround(x * dpiX)), int32_t(std::lround(y * dpiY)),
          int32_t(std::lround(width * dpiX)), int32_t(std::lround(height * dpiY))};
}

void PxFillDeviceRect(TPxPrinterCanvas& canvas, const TPxDeviceRect& rect, TBGR color) {
  if (rect.W <= 0 || rect.H <= 0) return;
  TPxPackedDib dot;
  dot.Width = dot.Height = 1;
  dot.BitCount = 24;
  dot.Bits = {color.b, color.g, color.r, 0};
  canvas.StretchDib(dot, rect.X, rect.Y, rect.W, rect.H, 0, 0, 1, 1);
}

namespace {

// The whole picture stretched into the device rectangle by the printer. A
// picture kept in a file goes in bands of its rows, each stretched onto its
// share of the page, so that no copy of the whole picture is made.
void StretchWhole(TPxBitmap& bitmap, TPxPrinterCanvas& canvas, int32_t X, int32_t Y, int32_t W,
                  int32_t H) {
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  if (bitmap.Location() != pxFile) {
    TPxPackedDib dib = PxMakePackedDib(bitmap, 0, 0, w, h);
    canvas.StretchDib(dib, X, Y, W, H, 0, 0, w, h);
    return;
  }
  const int64_t rowBytes = std::max<int64_t>(1, bitmap.RowBytes());
  const int32_t rows = int32_t(std::clamp<int64_t>(bitmap.FileThreshold / 2 / rowBytes, 1, h));
  for (int32_t top = 0; top < h; top += rows) {
    const int32_t n = std::min(rows, h - top);
    const int32_t y0 = Y + int32_t(int64_t(top) * H / h), y1 = Y + int32_t(int64_t(top + n) * H / h);
    if (y1 <= y0) continue;
    TPxPackedDib dib = PxMakePackedDib(bitmap, 0, top, w, n);
    canvas.StretchDib(dib, X, y0, W, y1 - y0, 0, 0, w, n);
  }
}

// Fills `scaled` with the picture at w x h: filtered where the picture is
// 1-bit or 24-bit and a filter is given, else by the unfiltered resize. A
// picture kept in a file gets a result kept the same way. False when the
// memory cannot be had.
bool ResampleForPrint(TPxBitmap& bitmap, TPxBitmap& scaled, int32_t w, int32_t h,
                      TResampleFilter filter) {
  scaled.FileThreshold = bitmap.FileThreshold;
  const TPxPixelFormat pf = bitmap.PixelFormat();
  if (filter == rfNone || (pf != px1g && pf != pxRGB24)) {
    if (!scaled.Allocate(w, h, pf)) return false;
    ResampleBitmap(bitmap, scaled, rfNone);
  } else {
    if (!scaled.Allocate(w, h, pxRGB24)) return false;
    ResampleBitmap(bitmap, scaled, filter);
  }
  return true;
}

// A surface that keeps pictures gets each one at no more pixels than the
// device rectangle has, nor than the picture has, in either direction:
// reduced where it has more, as it is where it has fewer; the surface
// stretches it over the rectangle. A PDF file then holds a picture at its own
// resolution at the printed size, up to the surface's.
void KeepPicture(TPxBitmap& bitmap, TPxPrinterCanvas& canvas, int32_t X, int32_t Y, int32_t W,
                 int32_t H, TResampleFilter printFilter) {
  const int32_t w = std::min(W, bitmap.Width()), h = std::min(H, bitmap.Height());
  if (w == bitmap.Width() && h == bitmap.Height()) return StretchWhole(bitmap, canvas, X, Y, W, H);
  TPxBitmap scaled;
  if (ResampleForPrint(bitmap, scaled, w, h, printFilter)) StretchWhole(scaled, canvas, X, Y, W, H);
}

}  // namespace

void PxPrintBitmapAt(TPxBitmap& bitmap, TPxPrinterCanvas& canvas, double x, double y, double width,
                     double height, double gamma, TResampleFilter printFilter) {
  const auto [X, Y, W, H] = PxDeviceRect(canvas, x, y, width, height);
  if (bitmap.Width() == 0 || bitmap.Height() == 0 || W <= 0 || H <= 0) return;
  const bool reduced = double(W) / bitmap.Width() < 1;
  const TResampleFilter filter = (printFilter != rfNone && reduced) ? printFilter : rfNone;
  const bool withGamma = gamma != 1.0 && gamma != 0.0;

  if (canvas.KeepsPictures() && printFilter != rfNone && !withGamma)
    return KeepPicture(bitmap, canvas, X, Y, W, H, printFilter);
  if (filter == rfNone && !withGamma) return StretchWhole(bitmap, canvas, X, Y, W, H);

  // One transfer never needs more than the buffer would keep in memory; at
  // least one row goes per band, however small the threshold.
  int64_t row24 = 0;
  PxCheckedRowBytes(W, 24, row24, bitmap.RowAlign);
  const int64_t bandLimit = row24 > 0 ? bitmap.FileThreshold / row24 : H;
  const int32_t band = int32_t(std::clamp<int64_t>(bandLimit, 1, H));

  TPxBitmap scaled;
  if (!ResampleForPrint(bitmap, scaled, W, H, filter)) return;

  if (scaled.PixelFormat() == pxRGB24 && gamma > 0 && gamma != 1.0) {
    uint8_t table[256];
    for (int i = 0; i < 256; ++i)
      table[i] = uint8_t(std::clamp(std::lround(255.0 * std::pow(i / 255.0, 1.0 / gamma)), 0L, 255L));
    for (int32_t r = 0; r < H; ++r) {
      uint8_t* p = scaled.Scanline(r);
      for (int32_t i = 0; i < W * 3; ++i) p[i] = table[p[i]];
    }
  }

  for (int32_t top = 0, deviceY = Y; top < H; top += band, deviceY += band) {
    const int32_t rows = std::min(band, H - top);
    TPxPackedDib dib = PxMakePackedDib(scaled, 0, top, W, rows);
    canvas.StretchDib(dib, X, deviceY, W, rows, 0, 0, W, rows);
  }
}

void TImagingIO::PrintImageAt(TPxPrinterCanvas& canvas, double x, double y, double width,
                              double height, double gamma) {
  if (TPxBitmap* bitmap = Bitmap()) PxPrintBitmapAt(*bitmap, canvas, x, y, width, height, gamma, PrintFilter);
}
