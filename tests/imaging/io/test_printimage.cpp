#include "imaging/io/printimage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "imaging/io/imagingio.h"
#include "imaging/core/pxblocks.h"
#include "imaging/core/pxutils.h"

namespace {

struct Transfer {
  TPxPackedDib dib;
  int32_t dx, dy, dw, dh, sx, sy, sw, sh;
};

// Records what would go to the printer.
class RecordingCanvas : public TPxPrinterCanvas {
 public:
  explicit RecordingCanvas(int32_t dpi) : dpi_(dpi) {}
  int32_t DpiX() const override { return dpi_; }
  int32_t DpiY() const override { return dpi_; }
  void StretchDib(const TPxPackedDib& dib, int32_t dx, int32_t dy, int32_t dw, int32_t dh,
                  int32_t sx, int32_t sy, int32_t sw, int32_t sh) override {
    transfers.push_back({dib, dx, dy, dw, dh, sx, sy, sw, sh});
  }
  std::vector<Transfer> transfers;

 private:
  int32_t dpi_;
};

// A canvas that keeps pictures as images, as a PDF file does.
class KeepingCanvas : public RecordingCanvas {
 public:
  using RecordingCanvas::RecordingCanvas;
  bool KeepsPictures() const override { return true; }
};

// A picture whose rows can be told apart: row y has red = y & 255.
void Pattern(TPxBitmap& bmp, int w, int h, TPxPixelFormat pf) {
  ASSERT_TRUE(bmp.Allocate(w, h, pf));
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bmp.Scanline(y);
    for (int x = 0; x < w; ++x) {
      if (pf == pxRGB24) {
        row[x * 3] = uint8_t(x), row[x * 3 + 1] = 7, row[x * 3 + 2] = uint8_t(y);
      } else {
        row[x] = uint8_t(y);
      }
    }
  }
}

TEST(PrintImageAt, PictureKeptInAFileGoesInBandsNearTheFileThreshold) {
  const int64_t threshold = 1 << 20;
  for (TResampleFilter filter : {rfNone, rfLanczos3}) {
    SCOPED_TRACE(int(filter));
    TPxBitmap bmp;
    bmp.FileThreshold = threshold;
    Pattern(bmp, 2000, 1500, pxRGB24);  // 9 MB
    ASSERT_EQ(bmp.Location(), pxFile);
    RecordingCanvas canvas(300);
    PxBlockResetPeak();
    const int64_t before = PxBlockLiveBytes();
    // 6 x 4.5 inches at 300 dpi is 1800 x 1350: a reduction.
    PxPrintBitmapAt(bmp, canvas, 1, 1, 6, 4.5, 1.0, filter);
    EXPECT_LT(PxBlockPeakBytes() - before, 2 * threshold);
    ASSERT_GT(canvas.transfers.size(), 1u);
    int32_t nextY = 300, sourceRows = 0;
    for (const Transfer& t : canvas.transfers) {
      EXPECT_LE(int64_t(t.dib.Bits.size()), threshold);
      EXPECT_EQ(t.dy, nextY);  // bands follow each other without gaps
      EXPECT_EQ(t.dx, 300);
      EXPECT_EQ(t.dw, 1800);
      // Each band's first row is the picture's row at that place (red = row).
      const int32_t sourceRow = filter == rfNone ? sourceRows : t.dy - 300;
      const uint8_t* top = t.dib.Bits.data() + size_t(t.dib.RowBytes()) * (t.dib.Height - 1);
      const int32_t expected = filter == rfNone ? sourceRow : int32_t(std::lround(sourceRow * 1499.0 / 1349));
      EXPECT_NEAR(top[2], expected & 255, filter == rfNone ? 0 : 2) << "band at " << t.dy;
      nextY = t.dy + t.dh;
      sourceRows += t.sh;
    }
    EXPECT_EQ(nextY, 300 + 1350);
    EXPECT_EQ(sourceRows, filter == rfNone ? 1500 : 1350);
  }
}

TEST(PrintImageAt, EnlargedPictureGoesDirectlyWithStretch) {
  TPxBitmap bmp;
  Pattern(bmp, 1200, 900, pxRGB24);
  RecordingCanvas canvas(600);
  PxPrintBitmapAt(bmp, canvas, 1, 1, 4, 3, 1.0, rfFastLinear);
  ASSERT_EQ(canvas.transfers.size(), 1u);
  const Transfer& t = canvas.transfers[0];
  EXPECT_EQ((std::vector<int32_t>{t.dx, t.dy, t.dw, t.dh, t.sx, t.sy, t.sw, t.sh}),
            (std::vector<int32_t>{600, 600, 2400, 1800, 0, 0, 1200, 900}));
  EXPECT_EQ(t.dib.BitCount, 24);
  EXPECT_EQ(t.dib.Width, 1200);
  EXPECT_EQ(t.dib.Height, 900);
  EXPECT_TRUE(t.dib.ColorTable.empty());
  // Bottom-up: the picture's top row is the last row of the block.
  EXPECT_EQ(t.dib.Bits[size_t(t.dib.RowBytes() * 899 + 2)], 0);
  EXPECT_EQ(t.dib.Bits[size_t(2)], uint8_t(899 & 255));
  EXPECT_EQ(t.dib.TopDownRow(5)[3 * 10], 10);
}

TEST(PrintImageAt, ReducedPictureIsResampledAndSentInBands) {
  TPxBitmap bmp;
  Pattern(bmp, 1200, 900, pxRGB24);
  {
    RecordingCanvas canvas(600);
    PxPrintBitmapAt(bmp, canvas, 1, 1, 1, 0.75, 1.0, rfFastLinear);
    ASSERT_EQ(canvas.transfers.size(), 1u);
    const Transfer& t = canvas.transfers[0];
    EXPECT_EQ((std::vector<int32_t>{t.dx, t.dy, t.dw, t.dh, t.sw, t.sh}),
              (std::vector<int32_t>{600, 600, 600, 450, 600, 450}));
    EXPECT_EQ(t.dib.Width, 600);
    EXPECT_EQ(t.dib.Height, 450);
  }
  // Bands of FileThreshold div the 24-bit row length: 1800 bytes a row.
  bmp.FileThreshold = 1800 * 100 + 5;
  RecordingCanvas canvas(600);
  PxPrintBitmapAt(bmp, canvas, 1, 1, 1, 0.75, 1.0, rfFastLinear);
  ASSERT_EQ(canvas.transfers.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    const Transfer& t = canvas.transfers[i];
    EXPECT_EQ(t.dy, 600 + int32_t(i) * 100);
    EXPECT_EQ(t.dh, i < 4 ? 100 : 50);
    EXPECT_EQ(t.sh, t.dh);  // bands are not stretched
    EXPECT_EQ(t.dib.Height, t.dh);
  }
  // A threshold below one row still prints, a row at a time.
  bmp.FileThreshold = 1;
  RecordingCanvas rows(100);
  PxPrintBitmapAt(bmp, rows, 0, 0, 1, 0.5, 1.0, rfFastLinear);
  EXPECT_EQ(rows.transfers.size(), 50u);
}

// Each direction reduced to the device's pixels where the picture has more,
// left as it is where it has fewer; the canvas stretches it over the whole
// rectangle in one transfer. A printer's canvas gets the device size.
TEST(PrintImageAt, CanvasThatKeepsPicturesGetsNoMorePixelsThanEitherHas) {
  const struct {
    int w, h;
    double inchesW, inchesH;  // at 600 dpi
    int sentW, sentH;         // to a canvas that keeps pictures
    int printerW, printerH;   // to a printer's
  } cases[] = {
      {1200, 900, 4, 3, 1200, 900, 1200, 900},         // enlarged: as it is
      {1200, 900, 1, 0.75, 600, 450, 600, 450},        // reduced: to the device size
      {2000, 300, 2, 1.5, 1200, 300, 1200, 900},       // reduced across, enlarged down
      {300, 2000, 2, 1.5, 300, 900, 300, 2000},        // enlarged across, reduced down
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    TPxBitmap bmp;
    Pattern(bmp, c.w, c.h, pxRGB24);
    KeepingCanvas keeping(600);
    RecordingCanvas printer(600);
    PxPrintBitmapAt(bmp, keeping, 0.5, 1, c.inchesW, c.inchesH, 1.0, rfFastLinear);
    PxPrintBitmapAt(bmp, printer, 0.5, 1, c.inchesW, c.inchesH, 1.0, rfFastLinear);
    ASSERT_EQ(keeping.transfers.size(), 1u);
    const Transfer& t = keeping.transfers[0];
    const int W = int(c.inchesW * 600), H = int(c.inchesH * 600);
    EXPECT_EQ((std::vector<int32_t>{t.dx, t.dy, t.dw, t.dh, t.sx, t.sy, t.sw, t.sh}),
              (std::vector<int32_t>{300, 600, W, H, 0, 0, c.sentW, c.sentH}));
    EXPECT_EQ(t.dib.Width, c.sentW);
    EXPECT_EQ(t.dib.Height, c.sentH);
    // Row y of the sent picture shows the picture's row at that height (red = row).
    for (int y : {0, c.sentH / 2, c.sentH - 1}) {
      const int source = int(std::lround(y * double(c.h - 1) / std::max(1, c.sentH - 1)));
      EXPECT_NEAR(t.dib.TopDownRow(y)[2], source & 255, c.sentH == c.h ? 0 : 3) << y;
    }
    ASSERT_FALSE(printer.transfers.empty());
    int rows = 0;
    for (const Transfer& p : printer.transfers) rows += p.sh;
    EXPECT_EQ(printer.transfers[0].sw, c.printerW);
    EXPECT_EQ(rows, c.printerH);
  }
}

// A picture kept in a file, reduced for a canvas that keeps pictures, still
// goes in bands of bounded size that cover the rectangle without gaps.
TEST(PrintImageAt, KeptPictureFromAFileGoesInBands) {
  const int64_t threshold = 1 << 20;
  TPxBitmap bmp;
  bmp.FileThreshold = threshold;
  Pattern(bmp, 2000, 1500, pxRGB24);
  ASSERT_EQ(bmp.Location(), pxFile);
  KeepingCanvas canvas(600);
  PxPrintBitmapAt(bmp, canvas, 1, 1, 2, 1.5, 1.0, rfFastLinear);  // 1200 x 900 device pixels
  ASSERT_GT(canvas.transfers.size(), 1u);
  int32_t nextY = 600, rows = 0;
  for (const Transfer& t : canvas.transfers) {
    EXPECT_LE(int64_t(t.dib.Bits.size()), threshold);
    EXPECT_EQ(t.dy, nextY);
    EXPECT_EQ(t.dw, 1200);
    EXPECT_EQ(t.sw, 1200);
    nextY = t.dy + t.dh;
    rows += t.sh;
  }
  EXPECT_EQ(nextY, 600 + 900);
  EXPECT_EQ(rows, 900);
}

TEST(PrintImageAt, NoFilterAndNoGammaAlwaysDirect) {
  TPxBitmap bmp;
  Pattern(bmp, 1200, 900, pxRGB24);
  RecordingCanvas canvas(600);
  PxPrintBitmapAt(bmp, canvas, 0, 0, 1, 0.75, 1.0, rfNone);
  ASSERT_EQ(canvas.transfers.size(), 1u);
  EXPECT_EQ(canvas.transfers[0].sw, 1200);
  EXPECT_EQ(canvas.transfers[0].dw, 600);
  RecordingCanvas zeroGamma(600);
  PxPrintBitmapAt(bmp, zeroGamma, 0, 0, 4, 3, 0.0, rfFastLinear);
  EXPECT_EQ(zeroGamma.transfers.size(), 1u);
  // Also on a canvas that keeps pictures: without a filter the whole picture goes.
  KeepingCanvas keeping(600);
  PxPrintBitmapAt(bmp, keeping, 0, 0, 1, 0.75, 1.0, rfNone);
  ASSERT_EQ(keeping.transfers.size(), 1u);
  EXPECT_EQ(keeping.transfers[0].sw, 1200);
}

TEST(PrintImageAt, GrayPrintsWithGrayTableAndPaletteWithItsOwn) {
  TPxBitmap gray;
  Pattern(gray, 40, 30, px8g);
  RecordingCanvas canvas(300);
  PxPrintBitmapAt(gray, canvas, 0, 0, 1, 1, 1.0, rfFastLinear);
  ASSERT_EQ(canvas.transfers.size(), 1u);
  const TPxPackedDib& dib = canvas.transfers[0].dib;
  EXPECT_EQ(dib.BitCount, 8);
  ASSERT_EQ(dib.ColorTable.size(), 256u);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(dib.ColorTable[i], (TPxRGBQuad{uint8_t(i), uint8_t(i), uint8_t(i), 0}));
  EXPECT_EQ(dib.RowBytes(), 40);

  TPxBitmap pal;
  Pattern(pal, 3, 2, px8p);
  pal.PaletteColor(1, MakeBGR(10, 20, 30));
  RecordingCanvas pc(300);
  PxPrintBitmapAt(pal, pc, 0, 0, 1, 1, 1.0, rfNone);
  ASSERT_EQ(pc.transfers.size(), 1u);
  EXPECT_EQ(pc.transfers[0].dib.ColorTable[1], (TPxRGBQuad{30, 20, 10, 0}));
  EXPECT_EQ(pc.transfers[0].dib.RowBytes(), 4);
}

TEST(PrintImageAt, OneBitHasBlackWhiteTableAndOtherFormatsBecome24Bit) {
  TPxBitmap mono;
  ASSERT_TRUE(mono.Allocate(10, 4, px1g));
  mono.Fill(1);
  RecordingCanvas canvas(300);
  PxPrintBitmapAt(mono, canvas, 0, 0, 1, 1, 1.0, rfFastLinear);
  ASSERT_EQ(canvas.transfers.size(), 1u);
  EXPECT_EQ(canvas.transfers[0].dib.BitCount, 1);
  EXPECT_EQ(canvas.transfers[0].dib.ColorTable,
            (std::vector<TPxRGBQuad>{{0, 0, 0, 0}, {255, 255, 255, 255}}));

  TPxBitmap wide;
  ASSERT_TRUE(wide.Allocate(5, 5, pxRGB48));
  wide.Fill(0x0000FF);  // red
  RecordingCanvas wc(300);
  PxPrintBitmapAt(wide, wc, 0, 0, 1, 1, 1.0, rfNone);
  ASSERT_EQ(wc.transfers.size(), 1u);
  EXPECT_EQ(wc.transfers[0].dib.BitCount, 24);
  EXPECT_EQ(wc.transfers[0].dib.TopDownRow(0)[2], 255);
  EXPECT_EQ(wc.transfers[0].dib.TopDownRow(0)[0], 0);
}

TEST(PrintImageAt, GammaTableAppliedToEveryByte) {
  TPxBitmap bmp;
  ASSERT_TRUE(bmp.Allocate(10, 10, pxRGB24));
  for (int y = 0; y < 10; ++y) std::memset(bmp.Scanline(y), 64, 30);
  RecordingCanvas canvas(10);
  PxPrintBitmapAt(bmp, canvas, 0, 0, 1, 1, 2.2, rfFastLinear);
  ASSERT_EQ(canvas.transfers.size(), 1u);
  const uint8_t want = uint8_t(std::lround(255 * std::pow(64 / 255.0, 1 / 2.2)));
  const TPxPackedDib& dib = canvas.transfers[0].dib;
  for (int y = 0; y < dib.Height; ++y)
    for (int i = 0; i < 30; ++i) ASSERT_EQ(dib.TopDownRow(y)[i], want);
}

TEST(PrintImageAt, InputOutputObjectPrintsItsImageWithItsFilter) {
  TImagingIO io;
  EXPECT_EQ(io.PrintFilter, rfFastLinear);
  Pattern(*io.Bitmap(), 1200, 900, pxRGB24);
  RecordingCanvas reduced(600);
  io.PrintImageAt(reduced, 1, 1, 1, 0.75, 1.0);
  ASSERT_EQ(reduced.transfers.size(), 1u);
  EXPECT_EQ(reduced.transfers[0].sw, 600);  // resampled first
  io.PrintFilter = rfNone;
  RecordingCanvas direct(600);
  io.PrintImageAt(direct, 1, 1, 1, 0.75, 1.0);
  ASSERT_EQ(direct.transfers.size(), 1u);
  EXPECT_EQ(direct.transfers[0].sw, 1200);  // stretched by the printer
}

TEST(PrintImageAt, EmptyPicturePrintsNothing) {
  TPxBitmap empty;
  RecordingCanvas canvas(600);
  PxPrintBitmapAt(empty, canvas, 1, 1, 4, 3, 1.0, rfFastLinear);
  EXPECT_TRUE(canvas.transfers.empty());
}

}  // namespace
