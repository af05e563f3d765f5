// Pixel buffer: sizes, storage locations, rows, palette, fill, copy, resize, alpha.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "imaging/core/pxutils.h"
#include "util/testutil.h"

namespace {

// Points TempDir at a fresh folder and restores the globals afterwards.
class ScopedTempFolder {
 public:
  ScopedTempFolder() : oldTempDir_(TempDir), oldThreshold_(DefaultFileThreshold) { TempDir = dir_.Path().string(); }
  ~ScopedTempFolder() {
    TempDir = oldTempDir_;
    DefaultFileThreshold = oldThreshold_;
  }
  const std::filesystem::path& Path() const { return dir_.Path(); }
  // Temporary files in existence: their names go at creation, so they are
  // counted by the descriptors that keep them.
  int FileCount() const { return (int)testutil::OpenFilesIn(dir_.Path()).size(); }

 private:
  testutil::TempDir dir_;
  std::string oldTempDir_;
  int64_t oldThreshold_;
};

// A byte pattern that differs per row and column, so misplaced rows show.
uint8_t PatternByte(int x, int y) { return (uint8_t)(x * 7 + y * 31 + 3); }

void WritePattern(TPxBitmap& b) {
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* row = b.Scanline(y);
    for (int i = 0; i < b.RowBytes(); ++i) row[i] = PatternByte(i, y);
  }
}

// Compares the meaningful bytes of every row (padding excluded).
void ExpectPattern(TPxBitmap& b) {
  const int used = (b.Width() * b.BitCount() + 7) / 8;
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* row = b.Scanline(y);
    ASSERT_NE(row, nullptr);
    for (int i = 0; i < used; ++i) ASSERT_EQ(row[i], PatternByte(i, y)) << "row " << y << " byte " << i;
  }
}

const TPxPixelFormat kAllFormats[] = {px1g, px8p, px8g, px16g, pxRGB24, px32f, pxCMYK, pxRGB48};

}  // namespace

// ---------------------------------------------------------------------------
// Sizes

struct RowBytesCase {
  int width;
  TPxPixelFormat pf;
  int rowAlign;
  int expected;
};

class RowBytesTest : public ::testing::TestWithParam<RowBytesCase> {};

TEST_P(RowBytesTest, AllocatedRowLengthFollowsFormatAndAlignment) {
  const RowBytesCase& c = GetParam();
  TPxBitmap b;
  b.RowAlign = c.rowAlign;
  ASSERT_TRUE(b.Allocate(c.width, 2, c.pf));
  EXPECT_EQ(b.RowBytes(), c.expected);
  EXPECT_EQ(b.BitCount(), PxBitsPerPixel(c.pf));
  int64_t rb = 0;
  ASSERT_TRUE(PxCheckedRowBytes(c.width, PxBitsPerPixel(c.pf), rb, c.rowAlign));
  EXPECT_EQ(rb, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Formats, RowBytesTest,
                         ::testing::Values(RowBytesCase{1, px1g, 32, 4}, RowBytesCase{3, pxRGB24, 32, 12},
                                           RowBytesCase{10, px1g, 32, 4}, RowBytesCase{33, px1g, 32, 8},
                                           RowBytesCase{5, px8g, 32, 8}, RowBytesCase{3, px16g, 32, 8},
                                           RowBytesCase{3, px32f, 32, 12}, RowBytesCase{1, pxRGB48, 32, 8},
                                           RowBytesCase{3, pxRGB24, 8, 9}, RowBytesCase{10, px1g, 8, 2},
                                           RowBytesCase{3, px8g, 16, 4}));

struct ImageBytesCase {
  int64_t width, height;
  int bits;
  bool ok;
  int64_t rowBytes, total;
};

class ImageBytesTest : public ::testing::TestWithParam<ImageBytesCase> {};

TEST_P(ImageBytesTest, CheckedSizeRejectsOverflowAndHugeImages) {
  const ImageBytesCase& c = GetParam();
  int64_t rb = -1, total = -1;
  EXPECT_EQ(PxCheckedImageBytes(c.width, c.height, c.bits, rb, total), c.ok);
  if (c.ok) {
    EXPECT_EQ(rb, c.rowBytes);
    EXPECT_EQ(total, c.total);
  } else {
    EXPECT_EQ(total, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageBytesTest,
    ::testing::Values(ImageBytesCase{640, 480, 24, true, 1920, 1920 * 480},
                      ImageBytesCase{6000, 4000, 48, true, 36000, int64_t(36000) * 4000},
                      ImageBytesCase{100000, 100000, 48, false, 0, 0},          // 60 GB
                      ImageBytesCase{INT32_MAX, INT32_MAX, 24, false, 0, 0},    // product wraps in 64 bits * 24
                      ImageBytesCase{INT32_MAX, 1, 1, true, 268435456, 268435456},
                      ImageBytesCase{400000000, 1, 48, false, 0, 0},            // row above INT32_MAX bytes
                      ImageBytesCase{int64_t(INT32_MAX) + 1, 1, 8, false, 0, 0},
                      ImageBytesCase{0, 10, 8, false, 0, 0}, ImageBytesCase{10, -1, 8, false, 0, 0},
                      ImageBytesCase{10, 10, 0, false, 0, 0}));

TEST(PxBitmapAllocate, OverflowingSizesFailCleanly) {
  ScopedTempFolder tmp;
  struct Case {
    int w, h;
    TPxPixelFormat pf;
    int64_t threshold;
  };
  const Case cases[] = {{100000, 100000, pxRGB48, INT64_MAX}, {100000, 100000, pxRGB48, 0},
                        {INT32_MAX, INT32_MAX, pxRGB24, INT64_MAX}, {INT32_MAX, INT32_MAX, px1g, 0},
                        {400000000, 1, pxRGB48, INT64_MAX}};
  for (const Case& c : cases) {
    TPxBitmap b(8, 8, pxRGB24);
    b.AlphaChannel();
    b.FileThreshold = c.threshold;
    EXPECT_FALSE(b.Allocate(c.w, c.h, c.pf)) << c.w << "x" << c.h;
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(b.Width(), 0);
    EXPECT_EQ(b.Height(), 0);
    EXPECT_EQ(b.PixelFormat(), pxNone);
    EXPECT_EQ(b.Scanline(0), nullptr);
    EXPECT_FALSE(b.HasAlphaChannel());
    EXPECT_EQ(tmp.FileCount(), 0);
    // The bitmap stays usable.
    EXPECT_TRUE(b.Allocate(4, 4, px8g));
    EXPECT_NE(b.Scanline(3), nullptr);
  }
}

TEST(PxBitmapAllocate, ZeroSizeLeavesNoStorage) {
  TPxBitmap b;
  EXPECT_TRUE(b.Allocate(0, 100, pxRGB24));
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(b.Scanline(0), nullptr);
  EXPECT_TRUE(b.Allocate(100, 100, pxNone));
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(b.PaletteCount(), 0);
}

TEST(PxBitmapAllocate, MemoryRowsAreBottomUpAndAligned) {
  for (TPxPixelFormat pf : kAllFormats) {
    TPxBitmap b;
    b.FileThreshold = INT64_MAX;
    ASSERT_TRUE(b.Allocate(13, 5, pf));
    EXPECT_EQ(b.Location(), pxMemory);
    EXPECT_EQ(b.Scanline(0) - b.Scanline(4), 4 * b.RowBytes());
    EXPECT_EQ((uintptr_t)b.Scanline(4) % 32, 0u) << PxPixelFormatName(pf);
    EXPECT_EQ(b.PaletteCount(), pf == px8p ? 256 : 0);
    EXPECT_EQ(b.Scanline(5), nullptr);
    EXPECT_EQ(b.Scanline(-1), nullptr);
  }
}

// ---------------------------------------------------------------------------
// Storage locations

class LocationTest : public ::testing::TestWithParam<TPxPixelFormat> {};

TEST_P(LocationTest, FileStorageGivesTheSameRowsAsMemory) {
  ScopedTempFolder tmp;
  TPxBitmap mem;
  mem.FileThreshold = INT64_MAX;
  ASSERT_TRUE(mem.Allocate(37, 23, GetParam()));
  ASSERT_EQ(mem.Location(), pxMemory);
  WritePattern(mem);

  DefaultFileThreshold = 0;  // everything goes to a file
  TPxBitmap file;
  ASSERT_TRUE(file.Allocate(37, 23, GetParam()));
  ASSERT_EQ(file.Location(), pxFile);
  EXPECT_EQ(tmp.FileCount(), 1);
  WritePattern(file);
  // Rows read back in another order than written.
  for (int y = file.Height() - 1; y >= 0; --y)
    ASSERT_EQ(std::memcmp(file.Scanline(y), mem.Scanline(y), (size_t)mem.RowBytes()), 0) << "row " << y;
  ExpectPattern(file);

  // Copies between the locations keep the rows.
  TPxBitmap back;
  back.FileThreshold = INT64_MAX;
  ASSERT_TRUE(back.Assign(file));
  EXPECT_EQ(back.Location(), pxMemory);
  ExpectPattern(back);
  ASSERT_TRUE(mem.SetLocation(pxFile));
  EXPECT_EQ(mem.Location(), pxFile);
  ExpectPattern(mem);
  ASSERT_TRUE(mem.SetLocation(pxMemory));
  ExpectPattern(mem);

  file.FreeImage();
  EXPECT_EQ(tmp.FileCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, LocationTest, ::testing::ValuesIn(kAllFormats),
                         [](const auto& info) { return std::string(PxPixelFormatName(info.param)); });

TEST(PxBitmapFile, TemporaryFileNameAndLifetime) {
  ScopedTempFolder tmp;
  {
    TPxBitmap b;
    b.FileThreshold = 0;
    ASSERT_TRUE(b.Allocate(100, 10, pxRGB24));
    ASSERT_EQ(b.Location(), pxFile);
    const auto files = testutil::OpenFilesIn(tmp.Path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].deleted);
    const std::string name = files[0].path.filename().string();
    ASSERT_EQ(name.size(), std::string("IMG-00000000.tmp").size()) << name;
    EXPECT_EQ(name.substr(0, 4), "IMG-");
    EXPECT_EQ(name.substr(12), ".tmp");
    for (char c : name.substr(4, 8)) EXPECT_TRUE(std::isdigit((unsigned char)c) || (c >= 'A' && c <= 'F')) << name;
    EXPECT_EQ(files[0].size, b.ImageBytes());
  }
  EXPECT_EQ(tmp.FileCount(), 0);
}

TEST(PxBitmapFile, ThresholdDecidesTheLocation) {
  ScopedTempFolder tmp;
  TPxBitmap b;
  b.FileThreshold = 1000;
  ASSERT_TRUE(b.Allocate(100, 100, px8g));  // 10000 bytes asked for in memory
  EXPECT_EQ(b.Location(), pxFile);
  ASSERT_TRUE(b.Allocate(10, 10, px8g));  // 120 bytes asked for in a file
  EXPECT_EQ(b.Location(), pxMemory);
  // Equal to the threshold keeps the location asked for.
  b.FileThreshold = 100 * 100;
  ASSERT_TRUE(b.Allocate(100, 100, px8g));
  EXPECT_EQ(b.Location(), pxMemory);

  // Without a writable temporary folder the pixels stay in memory.
  TempDir = (tmp.Path() / "missing" / "folder").string();
  b.FileThreshold = 0;
  ASSERT_TRUE(b.Allocate(100, 100, px8g));
  EXPECT_EQ(b.Location(), pxMemory);
  WritePattern(b);
  ExpectPattern(b);
}

TEST(PxBitmapFile, DefaultThresholdComesFromTheGlobal) {
  ScopedTempFolder tmp;
  DefaultFileThreshold = 12345;
  EXPECT_EQ(TPxBitmap().FileThreshold, 12345);
  DefaultFileThreshold = -1;
  // Half the free memory: it moves, so only its sign is stable.
  EXPECT_GT(TPxBitmap().FileThreshold, 0);
  EXPECT_NE(TPxBitmap().FileThreshold, 12345);
}

TEST(PxBitmapFile, ExtraScanlinesStayValidTogether) {
  ScopedTempFolder tmp;
  TPxBitmap b;
  b.FileThreshold = 0;
  ASSERT_TRUE(b.Allocate(16, 8, px8g));
  ASSERT_EQ(b.Location(), pxFile);
  int idx[8];
  uint8_t* rows[8];
  for (int y = 0; y < 8; ++y) {
    rows[y] = b.ExtraScanline(y, &idx[y]);
    ASSERT_NE(rows[y], nullptr);
  }
  for (int y = 0; y < 8; ++y) std::memset(rows[y], 10 + y, 16);
  b.ReleaseExtraScanline(idx[3]);
  b.ReleaseExtraScanlines();
  for (int y = 0; y < 8; ++y) EXPECT_EQ(b.Scanline(y)[15], 10 + y);
  // Read-only access leaves the file unchanged.
  b.Access = kPxAccessRead;
  b.Scanline(2)[0] = 99;
  b.Scanline(3);
  EXPECT_EQ(b.Scanline(2)[0], 12);
}

TEST(PxBitmapLocation, PlatformBitmapLayout) {
  TPxBitmap b(5, 3, px16g);
  b.Scanline(0)[0] = 0x00;
  b.Scanline(0)[1] = 0xC0;  // 0xC000
  ASSERT_TRUE(b.SetLocation(pxTBitmap));
  EXPECT_EQ(b.Location(), pxTBitmap);
  EXPECT_EQ(b.PixelFormat(), px8g);  // 16-bit gray is kept as 8-bit there
  EXPECT_EQ(b.Scanline(0)[0], 0xC0);
  TPxPlatformBitmap p = b.PlatformBitmap();
  ASSERT_NE(p.Bits, nullptr);
  EXPECT_EQ(p.Stride, 8);
  EXPECT_EQ(p.BitDepth, 8);
  EXPECT_EQ(p.Bits, b.Scanline(2));  // the block starts with the bottom row
  EXPECT_EQ((uintptr_t)b.Scanline(1), (uintptr_t)b.Scanline(2) + 8);

  struct Refused {
    TPxPixelFormat pf;
    const char* message;
  };
  for (const Refused& r : {Refused{px32f, "px32f pixel format not allowed when Location=pxTBitmap"},
                           Refused{pxCMYK, "pxCMYK pixel format not allowed when Location=pxTBitmap"},
                           Refused{pxRGB48, "pxRGB48 pixel format not allowed when Location=pxTBitmap"}}) {
    try {
      b.Allocate(4, 4, r.pf);
      ADD_FAILURE() << "no exception for " << r.message;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), r.message);
    }
  }
  TPxBitmap f(2, 2, px32f);
  EXPECT_THROW(b.Assign(f), std::runtime_error);
  EXPECT_EQ(b.PixelFormat(), px8g);  // refused before anything changed
  EXPECT_EQ(b.Scanline(0)[0], 0xC0);
  EXPECT_THROW(f.SetLocation(pxTBitmap), std::runtime_error);
  EXPECT_EQ(f.Location(), pxMemory);
  EXPECT_EQ(f.PixelFormat(), px32f);

  // Assigning an empty bitmap to a platform bitmap changes nothing.
  TPxBitmap empty;
  ASSERT_TRUE(b.Assign(empty));
  EXPECT_EQ(b.Width(), 5);
  EXPECT_EQ(b.Scanline(0)[0], 0xC0);
}

TEST(PxBitmapLocation, EncapsulatedMemoryIsNotFreed) {
  // Bottom-up 3 x 2 px8g rows padded to 4 bytes.
  std::vector<uint8_t> block = {1, 2, 3, 0, 4, 5, 6, 0};
  {
    TPxBitmap b;
    ASSERT_TRUE(b.EncapsulateMemory(block.data(), 3, 2, px8g));
    EXPECT_EQ(b.Scanline(0)[0], 4);  // top row is the second in the block
    EXPECT_EQ(b.Scanline(1)[2], 3);
    b.Scanline(0)[1] = 50;
  }
  EXPECT_EQ(block[5], 50);
  TPxBitmap b;
  EXPECT_FALSE(b.EncapsulateMemory(nullptr, 3, 2, px8g));
  EXPECT_FALSE(b.EncapsulateMemory(block.data(), INT32_MAX, INT32_MAX, pxRGB48));
  EXPECT_TRUE(b.IsEmpty());
}

TEST(PxBitmapLocation, CopyFromPlatformBitmaps) {
  // 2 x 1 5-6-5 pixels: pure red and pure green, then a 4-bit palette row.
  std::vector<uint8_t> rgb565 = {0x00, 0xF8, 0xE0, 0x07};
  TPxPlatformBitmap p;
  p.Bits = rgb565.data();
  p.Width = 2;
  p.Height = 1;
  p.BitDepth = 16;
  TPxBitmap b;
  ASSERT_TRUE(b.CopyFromTBitmap(p));
  ASSERT_EQ(b.PixelFormat(), pxRGB24);
  const TBGR* px = reinterpret_cast<const TBGR*>(b.Scanline(0));
  EXPECT_EQ(px[0], MakeBGR(248, 0, 0));
  EXPECT_EQ(px[1], MakeBGR(0, 252, 0));

  std::vector<uint8_t> nibbles = {0x1F, 0x20, 0, 0, 0x3A, 0xB0, 0, 0};  // two rows, bottom first
  std::vector<TBGR> pal(16);
  for (int i = 0; i < 16; ++i) pal[i] = MakeBGR((uint8_t)(i * 16), 1, 2);
  p = TPxPlatformBitmap{nibbles.data(), 3, 2, 4, 0, true, pal.data(), 16};
  ASSERT_TRUE(b.CopyFromTBitmap(p));
  ASSERT_EQ(b.PixelFormat(), px8p);
  EXPECT_EQ(b.Scanline(0)[0], 3);
  EXPECT_EQ(b.Scanline(0)[1], 10);
  EXPECT_EQ(b.Scanline(0)[2], 11);
  EXPECT_EQ(b.Scanline(1)[1], 15);
  EXPECT_EQ(b.PaletteColor(10), pal[10]);
}

// ---------------------------------------------------------------------------
// Palette

TEST(PxBitmapPalette, IndicesOutsideAreIgnored) {
  TPxBitmap b(2, 2, px8p);
  b.PaletteColor(0, MakeBGR(1, 2, 3));
  b.PaletteColor(255, MakeBGR(4, 5, 6));
  b.PaletteColor(256, MakeBGR(7, 8, 9));
  b.PaletteColor(-1, MakeBGR(7, 8, 9));
  EXPECT_EQ(b.PaletteColor(0), MakeBGR(1, 2, 3));
  EXPECT_EQ(b.PaletteColor(255), MakeBGR(4, 5, 6));
  EXPECT_EQ(b.Palette()[255], MakeBGR(4, 5, 6));
  EXPECT_EQ(b.PaletteColor(256), TBGR{});
  TPxBitmap g(2, 2, px8g);
  g.PaletteColor(0, MakeBGR(1, 2, 3));
  EXPECT_EQ(g.PaletteCount(), 0);
  EXPECT_EQ(g.Palette(), nullptr);
}

// ---------------------------------------------------------------------------
// Fill

struct FillCase {
  TPxPixelFormat pf;
  double value;
  std::vector<uint8_t> pixel;  // bytes of one pixel (first byte for px1g)
  bool full;
};

class FillTest : public ::testing::TestWithParam<FillCase> {};

TEST_P(FillTest, FillValueAndFullAlpha) {
  const FillCase& c = GetParam();
  for (int64_t threshold : {INT64_MAX, int64_t(0)}) {
    ScopedTempFolder tmp;
    TPxBitmap b;
    b.FileThreshold = threshold;
    ASSERT_TRUE(b.Allocate(9, 3, c.pf));
    b.SetFullAlpha(!c.full);
    b.Fill(c.value);
    EXPECT_EQ(b.FullAlpha(), c.full);
    const int bpp = std::max(1, b.BitCount() / 8);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < (c.pf == px1g ? 1 : 9); ++x)
        for (int i = 0; i < (int)c.pixel.size(); ++i)
          ASSERT_EQ(b.Scanline(y)[x * bpp + i], c.pixel[i]) << "x " << x << " y " << y << " byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FillTest,
    ::testing::Values(FillCase{px1g, 0, {0x00}, false}, FillCase{px1g, 1, {0xFF}, true},
                      FillCase{px1g, 7, {0xFF}, true}, FillCase{px8g, 255, {255}, true},
                      FillCase{px8g, 127.6, {128}, false}, FillCase{px8p, 255, {255}, true},
                      FillCase{px8g, 300, {255}, true}, FillCase{px16g, 65535, {0xFF, 0xFF}, true},
                      FillCase{px16g, 0x1234, {0x34, 0x12}, false},
                      FillCase{pxRGB24, 0x0000FF, {0, 0, 255}, false},  // red in the low byte
                      FillCase{pxRGB24, 0xFFFFFF, {255, 255, 255}, true},
                      FillCase{px32f, 1.0, {0x00, 0x00, 0x80, 0x3F}, true},
                      FillCase{px32f, 0.5, {0x00, 0x00, 0x00, 0x3F}, false},
                      FillCase{pxCMYK, 0xFFFFFF, {0, 0, 0, 0}, true}, FillCase{pxCMYK, 0, {0, 0, 0, 255}, false},
                      FillCase{pxCMYK, 0x0000FF, {0, 255, 255, 0}, false},
                      FillCase{pxRGB48, 0x00FF01, {0x01, 0x01, 0xFF, 0xFF, 0, 0}, false},
                      FillCase{pxRGB48, 0xFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, true}));

TEST(PxBitmapFill, FillRectIsClippedAndInclusive) {
  struct Case {
    int x1, y1, x2, y2;
  };
  for (TPxPixelFormat pf : {px1g, px8g, pxRGB24}) {
    for (const Case& c : {Case{-5, -5, 2, 1}, Case{3, 2, 100, 100}, Case{7, 4, 2, 1}, Case{-10, -10, -1, -1},
                          Case{0, 0, 11, 7}, Case{5, 3, 5, 3}}) {
      TPxBitmap b(12, 8, pf);
      b.Fill(0);
      b.FillRect(c.x1, c.y1, c.x2, c.y2, pf == pxRGB24 ? 0xFFFFFF : 255);
      const int lx = std::min(c.x1, c.x2), hx = std::max(c.x1, c.x2);
      const int ly = std::min(c.y1, c.y2), hy = std::max(c.y1, c.y2);
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 12; ++x) {
          const uint8_t* row = b.Scanline(y);
          const bool on = pf == px1g ? (row[x >> 3] >> (7 - (x & 7))) & 1 : row[x * (b.BitCount() / 8)] == 255;
          ASSERT_EQ(on, x >= lx && x <= hx && y >= ly && y <= hy)
              << PxPixelFormatName(pf) << " rect " << c.x1 << "," << c.y1 << "," << c.x2 << "," << c.y2 << " at "
              << x << "," << y;
        }
    }
  }
}

// ---------------------------------------------------------------------------
// CopyRectTo

struct CopyCase {
  int sx, sy, dx, dy, w, h;
};

class CopyRectTest : public ::testing::TestWithParam<CopyCase> {};

TEST_P(CopyRectTest, ClipsToBothBitmaps) {
  const CopyCase& c = GetParam();
  const int sw = 10, sh = 7, dw = 8, dh = 9;
  auto srcValue = [](int x, int y) { return (uint8_t)(1 + x + y * 16); };
  auto bitValue = [](int x, int y) { return ((x * 3 + y) % 5) < 2; };
  // Expected: pixel (sx+i, sy+j) lands on (dx+i, dy+j) when both lie inside.
  auto expected = [&](int x, int y, int& sxOut, int& syOut) {
    int i = x - c.dx, j = y - c.dy;
    if (i < 0 || j < 0 || i >= c.w || j >= c.h) return false;
    sxOut = c.sx + i;
    syOut = c.sy + j;
    return sxOut >= 0 && syOut >= 0 && sxOut < sw && syOut < sh;
  };
  for (TPxPixelFormat pf : {px8g, pxRGB24, px1g}) {
    TPxBitmap src(sw, sh, pf), dst(dw, dh, pf);
    dst.Fill(0);
    for (int y = 0; y < sh; ++y)
      for (int x = 0; x < sw; ++x) {
        uint8_t* row = src.Scanline(y);
        if (pf == px1g) {
          if (bitValue(x, y)) row[x >> 3] |= (uint8_t)(0x80 >> (x & 7));
          else row[x >> 3] &= (uint8_t)~(0x80 >> (x & 7));
        } else {
          for (int k = 0; k < src.BitCount() / 8; ++k) row[x * (src.BitCount() / 8) + k] = srcValue(x, y);
        }
      }
    src.CopyRectTo(dst, c.sx, c.sy, c.dx, c.dy, c.w, c.h);
    for (int y = 0; y < dh; ++y)
      for (int x = 0; x < dw; ++x) {
        int ex, ey;
        const bool copied = expected(x, y, ex, ey);
        const uint8_t* row = dst.Scanline(y);
        if (pf == px1g) {
          const bool bit = (row[x >> 3] >> (7 - (x & 7))) & 1;
          ASSERT_EQ(bit, copied && bitValue(ex, ey)) << x << "," << y;
        } else {
          ASSERT_EQ(row[x * (dst.BitCount() / 8)], copied ? srcValue(ex, ey) : 0)
              << PxPixelFormatName(pf) << " at " << x << "," << y;
        }
      }
  }
}

INSTANTIATE_TEST_SUITE_P(Rects, CopyRectTest,
                         ::testing::Values(CopyCase{0, 0, 0, 0, 100, 100}, CopyCase{2, 1, 3, 4, 4, 3},
                                           CopyCase{-3, -2, 1, 1, 6, 6}, CopyCase{2, 2, -3, -1, 20, 20},
                                           CopyCase{-1, 0, -2, 0, 5, 5}, CopyCase{5, 5, 6, 7, 10, 10},
                                           CopyCase{3, 0, 1, 0, 7, 1}, CopyCase{20, 0, 0, 0, 5, 5},
                                           CopyCase{0, 0, 0, 0, -1, 5}));

TEST(PxBitmapCopy, OneBitToColourAndUnsupportedPairs) {
  TPxBitmap bits(9, 2, px1g);
  bits.Fill(0);
  bits.Scanline(1)[1] = 0x80;  // pixel (8, 1)
  TPxBitmap rgb(9, 2, pxRGB24);
  rgb.Fill(0x808080);
  bits.CopyRectTo(rgb, 0, 0, 0, 0, 9, 2);
  const TBGR* row1 = reinterpret_cast<const TBGR*>(rgb.Scanline(1));
  EXPECT_EQ(row1[8], MakeBGR(255, 255, 255));
  EXPECT_EQ(row1[7], MakeBGR(0, 0, 0));
  TPxBitmap gray(9, 2, px8g);
  gray.Fill(7);
  rgb.CopyRectTo(gray, 0, 0, 0, 0, 9, 2);  // different formats: nothing copied
  EXPECT_EQ(gray.Scanline(0)[0], 7);
}

TEST(PxBitmapCopy, OverlappingCopyWithinOneBitmap) {
  TPxBitmap b(6, 1, px8g);
  for (int x = 0; x < 6; ++x) b.Scanline(0)[x] = (uint8_t)x;
  b.CopyRectTo(b, 0, 0, 2, 0, 4, 1);
  const uint8_t want[6] = {0, 1, 0, 1, 2, 3};
  EXPECT_EQ(std::memcmp(b.Scanline(0), want, 6), 0);
}

// ---------------------------------------------------------------------------
// Size changes

TEST(PxBitmapSize, SetWidthAndHeightKeepContent) {
  ScopedTempFolder tmp;
  for (int64_t threshold : {INT64_MAX, int64_t(0)}) {
    TPxBitmap b;
    b.FileThreshold = threshold;
    ASSERT_TRUE(b.Allocate(5, 4, px8p));
    b.PaletteColor(3, MakeBGR(9, 8, 7));
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 5; ++x) b.Scanline(y)[x] = (uint8_t)(x + 10 * y);
    b.Alpha(1, 1, 77);
    ASSERT_TRUE(b.SetWidth(9));
    ASSERT_TRUE(b.SetHeight(2));
    EXPECT_EQ(b.Width(), 9);
    EXPECT_EQ(b.Height(), 2);
    EXPECT_EQ(b.PaletteColor(3), MakeBGR(9, 8, 7));
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 5; ++x) EXPECT_EQ(b.Scanline(y)[x], x + 10 * y);
    ASSERT_TRUE(b.HasAlphaChannel());
    EXPECT_EQ(b.AlphaChannel()->Width(), 9);
    EXPECT_EQ(b.AlphaChannel()->Height(), 2);
    EXPECT_EQ(b.Alpha(1, 1), 77);
    EXPECT_FALSE(b.AlphaChannel()->FullAlpha());
  }
}

struct ResizeCase {
  int oldW, oldH, newW, newH, ha, va;
};

class ResizeTest : public ::testing::TestWithParam<ResizeCase> {};

// Where a pixel of the new canvas comes from along one axis, or -1 for fill.
static int ResizeSource(int pos, int oldSize, int newSize, int align) {
  if (newSize >= oldSize) {
    int shift = align == 0 ? 0 : align == 1 ? (newSize - oldSize) / 2 : newSize - oldSize;
    int s = pos - shift;
    return s >= 0 && s < oldSize ? s : -1;
  }
  int start = align == 0 ? 0 : align == 1 ? (oldSize - newSize) / 2 : oldSize - newSize;
  return pos + start;
}

TEST_P(ResizeTest, KeepsThePictureAlignedAndFills) {
  const ResizeCase& c = GetParam();
  ScopedTempFolder tmp;
  for (int64_t threshold : {INT64_MAX, int64_t(0)}) {
    TPxBitmap b;
    b.FileThreshold = threshold;
    ASSERT_TRUE(b.Allocate(c.oldW, c.oldH, px8g));
    for (int y = 0; y < c.oldH; ++y)
      for (int x = 0; x < c.oldW; ++x) {
        b.Scanline(y)[x] = (uint8_t)(1 + x + 20 * y);
        b.Alpha(x, y, (uint8_t)(100 + x + y));
      }
    ASSERT_TRUE(b.Resize(c.newW, c.newH, 0, 5, c.ha, c.va));
    ASSERT_EQ(b.Width(), c.newW);
    ASSERT_EQ(b.Height(), c.newH);
    ASSERT_EQ(b.AlphaChannel()->Width(), c.newW);
    ASSERT_EQ(b.AlphaChannel()->Height(), c.newH);
    for (int y = 0; y < c.newH; ++y)
      for (int x = 0; x < c.newW; ++x) {
        const int sx = ResizeSource(x, c.oldW, c.newW, c.ha), sy = ResizeSource(y, c.oldH, c.newH, c.va);
        const bool inside = sx >= 0 && sy >= 0;
        ASSERT_EQ(b.Scanline(y)[x], inside ? 1 + sx + 20 * sy : 0) << "at " << x << "," << y;
        ASSERT_EQ(b.Alpha(x, y), inside ? 100 + sx + sy : 5) << "alpha at " << x << "," << y;
      }
  }
}

INSTANTIATE_TEST_SUITE_P(Alignments, ResizeTest,
                         ::testing::Values(ResizeCase{4, 3, 9, 8, 0, 0}, ResizeCase{4, 3, 9, 8, 1, 1},
                                           ResizeCase{4, 3, 9, 8, 2, 2}, ResizeCase{9, 8, 4, 3, 0, 0},
                                           ResizeCase{9, 8, 4, 3, 1, 1}, ResizeCase{9, 8, 4, 3, 2, 2},
                                           ResizeCase{9, 3, 4, 8, 1, 2}, ResizeCase{4, 8, 9, 3, 2, 1},
                                           ResizeCase{5, 5, 5, 9, 1, 1}));

TEST(PxBitmapSize, CentredResizeLeavesHalfTheNewColumnsOnTheLeft) {
  TPxBitmap b(4, 1, pxRGB24);
  b.Fill(0x00FF00);
  ASSERT_TRUE(b.Resize(11, 1, 0x0000FF, 255, 1, 0));
  const TBGR* row = reinterpret_cast<const TBGR*>(b.Scanline(0));
  for (int x = 0; x < 11; ++x)
    EXPECT_EQ(row[x], (x >= 3 && x < 7) ? MakeBGR(0, 255, 0) : MakeBGR(255, 0, 0)) << x;
}

// ---------------------------------------------------------------------------
// Alpha plane

TEST(PxBitmapAlpha, CreationFullFlagAndRemoval) {
  TPxBitmap b(6, 4, pxRGB24);
  EXPECT_FALSE(b.HasAlphaChannel());
  EXPECT_EQ(b.Alpha(2, 2), 255);
  TPxBitmap* a = b.AlphaChannel();
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->IsAlphaPlane());
  EXPECT_EQ(a->AlphaChannel(), nullptr);
  EXPECT_EQ(a->PixelFormat(), px8g);
  EXPECT_EQ(a->Width(), 6);
  EXPECT_TRUE(a->FullAlpha());
  EXPECT_EQ(a->Scanline(3)[5], 255);
  b.Alpha(1, 2, 255);
  EXPECT_TRUE(a->FullAlpha());
  b.Alpha(1, 2, 128);
  EXPECT_FALSE(a->FullAlpha());
  EXPECT_EQ(b.Alpha(1, 2), 128);
  EXPECT_EQ(b.Alpha(-1, 2), 0);
  a->Fill(255);
  EXPECT_TRUE(a->FullAlpha());
  a->Fill(254);
  EXPECT_FALSE(a->FullAlpha());
  b.RemoveAlphaChannel();
  EXPECT_FALSE(b.HasAlphaChannel());
}

TEST(PxBitmapAlpha, AssignCopiesOrDropsTheAlphaPlane) {
  ScopedTempFolder tmp;
  TPxBitmap src(3, 3, px8p);
  src.PaletteColor(1, MakeBGR(1, 2, 3));
  src.Fill(1);
  src.Alpha(2, 0, 9);
  TPxBitmap dst(2, 2, pxRGB24);
  dst.FileThreshold = 0;
  ASSERT_TRUE(dst.Assign(src));
  EXPECT_EQ(dst.Location(), pxFile);
  EXPECT_EQ(dst.PixelFormat(), px8p);
  EXPECT_EQ(dst.PaletteColor(1), MakeBGR(1, 2, 3));
  EXPECT_EQ(dst.Scanline(2)[2], 1);
  EXPECT_EQ(dst.Alpha(2, 0), 9);
  TPxBitmap noAlpha(3, 3, px8g);
  ASSERT_TRUE(dst.Assign(noAlpha));
  EXPECT_FALSE(dst.HasAlphaChannel());
  // File to file copies the whole file.
  TPxBitmap fileSrc;
  fileSrc.FileThreshold = 0;
  ASSERT_TRUE(fileSrc.Allocate(31, 17, pxRGB24));
  WritePattern(fileSrc);
  ASSERT_TRUE(dst.Assign(fileSrc));
  EXPECT_EQ(dst.Location(), pxFile);
  ExpectPattern(dst);
}

TEST(PxBitmapAlpha, MaskCopiesBothWays) {
  TPxBitmap b(10, 3, pxRGB24);
  TPxMask bits;
  ASSERT_TRUE(bits.Allocate(10, 3, 1));
  bits.SetPixel(9, 2, 1);
  bits.SetPixel(0, 0, 1);
  b.AlphaFromMask(&bits);
  EXPECT_EQ(b.Alpha(9, 2), 255);
  EXPECT_EQ(b.Alpha(0, 0), 255);
  EXPECT_EQ(b.Alpha(5, 1), 0);
  EXPECT_FALSE(b.AlphaChannel()->FullAlpha());

  TPxMask bytes;
  ASSERT_TRUE(bytes.Allocate(8, 3, 8));  // narrower than the bitmap: the rest is 0
  bytes.Fill(255);
  bytes.SetPixel(3, 1, 40);
  b.AlphaFromMask(&bytes);
  EXPECT_EQ(b.Alpha(3, 1), 40);
  EXPECT_EQ(b.Alpha(7, 2), 255);
  EXPECT_EQ(b.Alpha(8, 2), 0);
  b.AlphaFromMask(nullptr);
  EXPECT_TRUE(b.AlphaChannel()->FullAlpha());

  b.Alpha(4, 2, 60);
  TPxMask out;
  ASSERT_TRUE(b.AlphaToMask(out));
  EXPECT_EQ(out.BitsPerPixel(), 8);
  EXPECT_EQ(out.GetPixel(4, 2), 60);
  EXPECT_EQ(out.GetPixel(0, 0), 255);
  EXPECT_FALSE(out.Full);
  TPxBitmap plain(2, 2, px8g);
  ASSERT_TRUE(plain.AlphaToMask(out));
  EXPECT_TRUE(out.Full);
}

TEST(PxBitmapSize, RefusedSizeChangesLeaveThePictureAlone) {
  TPxBitmap b(6, 5, pxRGB48);
  WritePattern(b);
  b.Alpha(2, 2, 33);
  EXPECT_FALSE(b.SetWidth(INT32_MAX));
  EXPECT_FALSE(b.SetHeight(INT32_MAX));
  EXPECT_FALSE(b.Resize(100000, 100000, 0, 0, 1, 1));
  EXPECT_FALSE(b.Resize(INT32_MAX, 2, 0, 0, 2, 0));
  EXPECT_EQ(b.Width(), 6);
  EXPECT_EQ(b.Height(), 5);
  ExpectPattern(b);
  EXPECT_EQ(b.AlphaChannel()->Width(), 6);
  EXPECT_EQ(b.Alpha(2, 2), 33);
}

TEST(PxBitmapAlpha, KeptAlphaPlaneFollowsAnEncapsulatedSize) {
  std::vector<uint8_t> block(4 * 3, 0);
  TPxBitmap b(10, 10, px8g);
  b.Alpha(1, 1, 50);
  ASSERT_TRUE(b.EncapsulateMemory(block.data(), 4, 3, px8g, false));
  ASSERT_TRUE(b.HasAlphaChannel());
  EXPECT_EQ(b.AlphaChannel()->Width(), 4);
  EXPECT_EQ(b.AlphaChannel()->Height(), 3);
  EXPECT_EQ(b.Alpha(1, 1), 50);
  ASSERT_TRUE(b.EncapsulateMemory(block.data(), 4, 3, px8g, true));
  EXPECT_FALSE(b.HasAlphaChannel());
}
