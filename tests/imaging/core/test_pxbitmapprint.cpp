// Printing onto a picture: the bitmap print job, its transfers, and paper names.
#include "imaging/core/pxbitmapprint.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TBGR At(TPxBitmap& bmp, int x, int y) { return reinterpret_cast<TBGR*>(bmp.Scanline(y))[x]; }

// A 24-bit dib whose pixel (x, y) has blue x, green y, red 200.
TPxPackedDib Numbered(int32_t w, int32_t h) {
  TPxPackedDib dib;
  dib.Width = w, dib.Height = h, dib.BitCount = 24;
  dib.Bits.assign(size_t(dib.RowBytes() * h), 0);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = dib.Bits.data() + dib.RowBytes() * (h - 1 - y);  // bottom-up
    for (int32_t x = 0; x < w; ++x) row[x * 3] = uint8_t(x), row[x * 3 + 1] = uint8_t(y), row[x * 3 + 2] = 200;
  }
  return dib;
}

TEST(BitmapPrintJob, PageIsWhitePaperAtTheResolution) {
  TPxPaper a4 = *PxPaperFromName("a4");
  TPxBitmapPrintJob job(a4, 100);
  job.BeginDoc();
  EXPECT_EQ(job.Canvas().DpiX(), 100);
  EXPECT_EQ(job.Canvas().DpiY(), 100);
  job.EndDoc();
  TPxBitmap& page = job.Page();
  EXPECT_EQ(page.Width(), 827);
  EXPECT_EQ(page.Height(), 1169);
  EXPECT_EQ(page.PixelFormat(), pxRGB24);
  EXPECT_EQ(At(page, 0, 0), MakeBGR(255, 255, 255));
  EXPECT_EQ(At(page, 826, 1168), MakeBGR(255, 255, 255));
  EXPECT_EQ(job.Paper().Width, a4.Width);

  TPxBitmapPrintJob dropped(TPxPaper{}, 50);
  dropped.BeginDoc();
  dropped.Abort();
  EXPECT_TRUE(dropped.Page().IsEmpty());
  EXPECT_THROW(dropped.Canvas(), TPxPrintError);
  EXPECT_THROW(TPxBitmapPrintJob(TPxPaper{}, 0).BeginDoc(), TPxPrintError);
}

// Each target pixel takes the source pixel under its centre: the source
// index for target step i of n over m source pixels is floor((i + 0.5) m / n).
TEST(BitmapPrintJob, TransfersTakeTheSourcePixelUnderEachCentre) {
  const struct {
    const char* what;
    int32_t dx, dy, dw, dh, sx, sy, sw, sh;
  } cases[] = {
      {"same size", 2, 3, 4, 4, 0, 0, 4, 4},
      {"enlarged three times", 1, 1, 12, 9, 0, 0, 4, 3},
      {"reduced, rows and columns dropped", 0, 0, 3, 2, 0, 0, 8, 6},
      {"a part of the source", 5, 5, 4, 4, 2, 1, 4, 4},
      {"partly off the page to the top left", -3, -2, 8, 8, 0, 0, 8, 8},
      {"partly off the page to the bottom right", 16, 14, 10, 10, 0, 0, 5, 5},
  };
  const TPxPackedDib dib = Numbered(8, 6);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TPxBitmap page(20, 18, pxRGB24);
    page.Fill(0xFFFFFF);
    PxStretchDibOnto(page, dib, c.dx, c.dy, c.dw, c.dh, c.sx, c.sy, c.sw, c.sh);
    for (int y = 0; y < 18; ++y)
      for (int x = 0; x < 20; ++x) {
        const bool inside = x >= c.dx && x < c.dx + c.dw && y >= c.dy && y < c.dy + c.dh;
        const int sx = c.sx + int(std::floor((x - c.dx + 0.5) * c.sw / c.dw));
        const int sy = c.sy + int(std::floor((y - c.dy + 0.5) * c.sh / c.dh));
        const TBGR want = inside && sx < 8 && sy < 6 ? TBGR{uint8_t(sx), uint8_t(sy), 200} : MakeBGR(255, 255, 255);
        ASSERT_EQ(At(page, x, y), want) << x << "," << y;
      }
  }
}

TEST(BitmapPrintJob, PalettedAndOneBitTransfersGoThroughTheirColourTables) {
  TPxPackedDib gray;
  gray.Width = 2, gray.Height = 1, gray.BitCount = 8;
  for (int i = 0; i < 256; ++i) gray.ColorTable.push_back({uint8_t(i), uint8_t(255 - i), 9, 0});
  gray.Bits = {10, 250, 0, 0};
  TPxPackedDib mono;
  mono.Width = 10, mono.Height = 1, mono.BitCount = 1;
  mono.ColorTable = {{0, 0, 0, 0}, {255, 255, 255, 255}};
  mono.Bits = {0b10100000, 0b01000000, 0, 0};  // columns 0, 2 and 9 white
  TPxBitmap page(12, 2, pxRGB24);
  page.Fill(0x808080);
  PxStretchDibOnto(page, gray, 0, 0, 2, 1, 0, 0, 2, 1);
  PxStretchDibOnto(page, mono, 0, 1, 10, 1, 0, 0, 10, 1);
  EXPECT_EQ(At(page, 0, 0), (TBGR{10, 245, 9}));
  EXPECT_EQ(At(page, 1, 0), (TBGR{250, 5, 9}));
  EXPECT_EQ(At(page, 2, 0), (TBGR{128, 128, 128}));
  for (int x = 0; x < 10; ++x)
    EXPECT_EQ(At(page, x, 1).g, (x == 0 || x == 2 || x == 9) ? 255 : 0) << x;
  // A dib whose bits fall short of its size draws nothing.
  TPxPackedDib shortDib = Numbered(4, 4);
  shortDib.Bits.resize(10);
  PxStretchDibOnto(page, shortDib, 0, 0, 12, 2, 0, 0, 4, 4);
  EXPECT_EQ(At(page, 11, 0), (TBGR{128, 128, 128}));
}

TEST(PaperNames, ReadAndWrittenBackAsTheSameSheet) {
  const struct {
    const char* name;
    double width, height;
    const char* written;
  } good[] = {
      {"letter", 8.5, 11, "letter"},
      {"a4", 210 / 25.4, 297 / 25.4, "a4"},
      {"4x6in", 4, 6, "4x6in"},
      {"6x4in", 4, 6, "4x6in"},  // pages print portrait
      {"8.5x14in", 8.5, 14, "8.5x14in"},
      {"8.5x11in", 8.5, 11, "letter"},
      {"8.27x11.69in", 8.27, 11.69, "a4"},
      {"1x100in", 1, 100, "1x100in"},
  };
  for (const auto& g : good) {
    SCOPED_TRACE(g.name);
    const std::optional<TPxPaper> paper = PxPaperFromName(g.name);
    ASSERT_TRUE(paper);
    EXPECT_NEAR(paper->Width, g.width, 1e-9);
    EXPECT_NEAR(paper->Height, g.height, 1e-9);
    EXPECT_EQ(paper->MarginLeft + paper->MarginTop + paper->MarginRight + paper->MarginBottom, 0);
    EXPECT_EQ(PxPaperName(*paper), g.written);
  }
  for (const char* bad : {"", "A4", "Letter", "legal", "4x6", "4x6cm", "x6in", "4xin", "0x6in",
                          "4x101in", "-4x6in", "4x6inch", "4 x 6in", "4x6x8in", "nanxinfin"})
    EXPECT_FALSE(PxPaperFromName(bad)) << bad;
}

}  // namespace
