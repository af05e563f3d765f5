#include "imaging/core/pxbitmapprint.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// One row of the dib as blue, green, red bytes, through its colour table.
void DibRowToBgr(const TPxPackedDib& dib, int32_t y, uint8_t* out) {
  const uint8_t* src = dib.TopDownRow(y);
  const size_t tableSize = dib.ColorTable.size();
  auto table = [&](size_t index, uint8_t* p) {
    const TPxRGBQuad q = index < tableSize ? dib.ColorTable[index] : TPxRGBQuad{};
    p[0] = q.Blue, p[1] = q.Green, p[2] = q.Red;
  };
  switch (dib.BitCount) {
    case 24:
      std::copy(src, src + size_t(dib.Width) * 3, out);
      break;
    case 8:
      for (int32_t x = 0; x < dib.Width; ++x) table(src[x], out + size_t(x) * 3);
      break;
    case 1:
      for (int32_t x = 0; x < dib.Width; ++x) table((src[x >> 3] >> (7 - (x & 7))) & 1, out + size_t(x) * 3);
      break;
    default:
      std::fill(out, out + size_t(dib.Width) * 3, uint8_t(0));
  }
}

// The source index under the centre of target step i of n over a source of m.
int32_t SourceUnder(int32_t i, int32_t n, int32_t m) {
  return int32_t(std::min<int64_t>(m - 1, (int64_t(2 * i + 1) * m) / (2 * int64_t(n))));
}

}  // namespace

void PxStretchDibOnto(TPxBitmap& target, const TPxPackedDib& dib, int32_t destX, int32_t destY,
                      int32_t destW, int32_t destH, int32_t srcX, int32_t srcY, int32_t srcW,
                      int32_t srcH) {
  if (target.PixelFormat() != pxRGB24 || destW <= 0 || destH <= 0 || srcW <= 0 || srcH <= 0) return;
  if (dib.Width <= 0 || dib.Height <= 0 || int64_t(dib.Bits.size()) < dib.RowBytes() * dib.Height) return;
  if (dib.BitCount != 1 && dib.BitCount != 8 && dib.BitCount != 24) return;
  // The target columns inside the bitmap, and the source column of each.
  const int32_t x0 = std::max(destX, 0), x1 = int32_t(std::min<int64_t>(int64_t(destX) + destW, target.Width()));
  const int32_t y0 = std::max(destY, 0), y1 = int32_t(std::min<int64_t>(int64_t(destY) + destH, target.Height()));
  if (x0 >= x1 || y0 >= y1) return;
  std::vector<int32_t> column(size_t(x1 - x0));
  for (int32_t x = x0; x < x1; ++x) {
    const int32_t s = srcX + SourceUnder(x - destX, destW, srcW);
    column[size_t(x - x0)] = s;
  }
  std::vector<uint8_t> row(size_t(dib.Width) * 3);
  int32_t decoded = -1;
  for (int32_t y = y0; y < y1; ++y) {
    const int32_t s = srcY + SourceUnder(y - destY, destH, srcH);
    // Outside the dib a transfer has nothing to draw, as the platform's does.
    if (s < 0 || s >= dib.Height) continue;
    if (s != decoded) DibRowToBgr(dib, s, row.data()), decoded = s;
    uint8_t* out = target.Scanline(y);
    for (int32_t x = x0; x < x1; ++x) {
      const int32_t c = column[size_t(x - x0)];
      if (c < 0 || c >= dib.Width) continue;
      const uint8_t* p = row.data() + size_t(c) * 3;
      uint8_t* q = out + size_t(x) * 3;
      q[0] = p[0], q[1] = p[1], q[2] = p[2];
    }
  }
}

class TPxBitmapPrintJob::PageCanvas : public TPxPrinterCanvas {
 public:
  PageCanvas(TPxBitmap& page, int32_t dpi) : page_(page), dpi_(dpi) {}
  int32_t DpiX() const override { return dpi_; }
  int32_t DpiY() const override { return dpi_; }
  void StretchDib(const TPxPackedDib& dib, int32_t destX, int32_t destY, int32_t destW,
                  int32_t destH, int32_t srcX, int32_t srcY, int32_t srcW, int32_t srcH) override {
    PxStretchDibOnto(page_, dib, destX, destY, destW, destH, srcX, srcY, srcW, srcH);
  }

 private:
  TPxBitmap& page_;
  int32_t dpi_;
};

TPxBitmapPrintJob::TPxBitmapPrintJob(const TPxPaper& paper, int32_t dpi) : paper_(paper), dpi_(dpi) {}

TPxBitmapPrintJob::~TPxBitmapPrintJob() = default;

void TPxBitmapPrintJob::BeginDoc() {
  const int32_t w = int32_t(std::lround(paper_.Width * dpi_));
  const int32_t h = int32_t(std::lround(paper_.Height * dpi_));
  if (dpi_ <= 0 || w <= 0 || h <= 0 || !page_.Allocate(w, h, pxRGB24))
    throw TPxPrintError("A page of " + PxPaperName(paper_) + " at " + std::to_string(dpi_) +
                        " dpi cannot be made.");
  page_.Fill(0xFFFFFF);
  canvas_ = std::make_unique<PageCanvas>(page_, dpi_);
}

TPxPrinterCanvas& TPxBitmapPrintJob::Canvas() {
  if (!canvas_) throw TPxPrintError("No print job has been started.");
  return *canvas_;
}

void TPxBitmapPrintJob::EndDoc() { canvas_.reset(); }

void TPxBitmapPrintJob::Abort() {
  canvas_.reset();
  page_.FreeImage();
}
