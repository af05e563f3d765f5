// Pixel format conversions: lossless round trips, known values, black and
// white, palettes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <stdexcept>

#include "imaging/core/pxutils.h"
#include "util/testutil.h"

namespace {

class ScopedTempFolder {
 public:
  ScopedTempFolder() : old_(TempDir) { TempDir = dir_.Path().string(); }
  ~ScopedTempFolder() { TempDir = old_; }

 private:
  testutil::TempDir dir_;
  std::string old_;
};

int UsedBytes(const TPxBitmap& b) { return (b.Width() * b.BitCount() + 7) / 8; }

bool SameRows(const TPxBitmap& a, const TPxBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat()) return false;
  const int n = UsedBytes(a);
  for (int y = 0; y < a.Height(); ++y) {
    // px1g rows end inside a byte: compare only the pixel bits of the last one.
    const uint8_t* ra = a.Scanline(y);
    std::vector<uint8_t> copy(ra, ra + n);
    const uint8_t* rb = b.Scanline(y);
    for (int i = 0; i < n; ++i) {
      uint8_t mask = 0xFF;
      if (a.PixelFormat() == px1g && i == n - 1 && a.Width() % 8) mask = (uint8_t)(0xFF << (8 - a.Width() % 8));
      if ((copy[i] & mask) != (rb[i] & mask)) return false;
    }
  }
  return true;
}

// A picture of the given format whose values a round trip must keep.
void FillSource(TPxBitmap& b, TPxPixelFormat pf, std::mt19937& rng) {
  ASSERT_TRUE(b.Allocate(29, 11, pf));
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<TBGR> colours;
  for (int i = 0; i < 200; ++i) colours.push_back(MakeBGR((uint8_t)byte(rng), (uint8_t)byte(rng), (uint8_t)byte(rng)));
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* row = b.Scanline(y);
    for (int x = 0; x < b.Width(); ++x) {
      switch (pf) {
        case px1g:
          if (byte(rng) & 1) row[x >> 3] |= (uint8_t)(0x80 >> (x & 7));
          else row[x >> 3] &= (uint8_t)~(0x80 >> (x & 7));
          break;
        case px8g: row[x] = (uint8_t)byte(rng); break;
        case px16g: {
          uint16_t v = (uint16_t)(byte(rng) * 256 + byte(rng));
          std::memcpy(row + 2 * x, &v, 2);
          break;
        }
        case pxRGB24: {
          // At most 200 colours, so that a palette can hold them exactly.
          TBGR c = colours[(size_t)byte(rng) % colours.size()];
          std::memcpy(row + 3 * x, &c, 3);
          break;
        }
        default: FAIL() << "no source pattern for " << PxPixelFormatName(pf);
      }
    }
  }
}

}  // namespace

struct RoundTrip {
  TPxPixelFormat from, via;
};

class RoundTripTest : public ::testing::TestWithParam<std::tuple<RoundTrip, bool>> {};

TEST_P(RoundTripTest, LosslessThereAndBack) {
  const RoundTrip rt = std::get<0>(GetParam());
  const bool inFile = std::get<1>(GetParam());
  ScopedTempFolder tmp;
  std::mt19937 rng(1234 + rt.from * 10 + rt.via);
  TPxBitmap original;
  original.FileThreshold = INT64_MAX;
  FillSource(original, rt.from, rng);
  TPxBitmap b;
  b.FileThreshold = inFile ? 0 : INT64_MAX;
  ASSERT_TRUE(b.Assign(original));
  ASSERT_EQ(b.Location(), inFile ? pxFile : pxMemory);
  b.BlackWhiteMethod = 1;
  ASSERT_TRUE(b.ConvertTo(rt.via));
  EXPECT_EQ(b.PixelFormat(), rt.via);
  EXPECT_EQ(b.BitCount(), PxBitsPerPixel(rt.via));
  ASSERT_TRUE(b.ConvertTo(rt.from));
  EXPECT_TRUE(SameRows(original, b)) << PxPixelFormatName(rt.from) << " -> " << PxPixelFormatName(rt.via);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, RoundTripTest,
    ::testing::Combine(
        ::testing::Values(RoundTrip{pxRGB24, pxRGB48}, RoundTrip{pxRGB24, pxCMYK}, RoundTrip{pxRGB24, px8p},
                          RoundTrip{px8g, px16g}, RoundTrip{px8g, px32f}, RoundTrip{px8g, pxRGB24},
                          RoundTrip{px8g, pxRGB48}, RoundTrip{px8g, px8p}, RoundTrip{px8g, pxCMYK},
                          RoundTrip{px16g, px32f}, RoundTrip{px1g, px8g}, RoundTrip{px1g, px8p},
                          RoundTrip{px1g, px16g}, RoundTrip{px1g, pxRGB24}, RoundTrip{px1g, px32f},
                          RoundTrip{px1g, pxCMYK}, RoundTrip{px1g, pxRGB48}),
        ::testing::Bool()),
    [](const auto& info) {
      const RoundTrip rt = std::get<0>(info.param);
      return std::string(PxPixelFormatName(rt.from)) + "_" + PxPixelFormatName(rt.via) +
             (std::get<1>(info.param) ? "_file" : "_memory");
    });

// ---------------------------------------------------------------------------
// Known values of one pixel

struct PixelCase {
  TPxPixelFormat from;
  std::vector<uint8_t> in;
  TPxPixelFormat to;
  std::vector<uint8_t> out;
};

class PixelValueTest : public ::testing::TestWithParam<PixelCase> {};

TEST_P(PixelValueTest, ConvertsByTheRules) {
  const PixelCase& c = GetParam();
  TPxBitmap b(1, 1, c.from);
  std::memcpy(b.Scanline(0), c.in.data(), c.in.size());
  if (c.from == px8p) b.PaletteColor(c.in[0], MakeBGR(10, 20, 30));
  ASSERT_TRUE(b.ConvertTo(c.to));
  ASSERT_EQ(b.PixelFormat(), c.to);
  std::vector<uint8_t> got(b.Scanline(0), b.Scanline(0) + c.out.size());
  EXPECT_EQ(got, c.out) << PxPixelFormatName(c.from) << " -> " << PxPixelFormatName(c.to);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PixelValueTest,
    ::testing::Values(
        // Colour (blue 50, green 100, red 200) to gray by the weights 21/71/8 and the 16-bit weights.
        PixelCase{pxRGB24, {50, 100, 200}, px8g, {117}},
        PixelCase{pxRGB24, {50, 100, 200}, px16g, {0xE8, 0x75}},  // 30184
        PixelCase{pxRGB24, {50, 100, 200}, pxRGB48, {0xC8, 0xC8, 0x64, 0x64, 0x32, 0x32}},
        PixelCase{pxRGB24, {50, 100, 200}, pxCMYK, {0, 128, 191, 55}},
        PixelCase{pxRGB24, {0, 0, 0}, pxCMYK, {0, 0, 0, 255}},
        PixelCase{px16g, {0x40, 0x9C}, px8g, {156}},  // 40000 div 256
        PixelCase{px16g, {0x40, 0x9C}, pxRGB24, {156, 156, 156}},
        PixelCase{px16g, {0x40, 0x9C}, px8p, {156}},
        PixelCase{px8g, {200}, px16g, {0xC8, 0xC8}},
        PixelCase{px8g, {200}, pxRGB48, {0xC8, 0xC8, 0xC8, 0xC8, 0xC8, 0xC8}},
        PixelCase{px8g, {200}, pxRGB24, {200, 200, 200}},
        PixelCase{px32f, {0x00, 0x00, 0x00, 0x3F}, px8g, {128}},         // 0.5 * 255 rounded
        PixelCase{px32f, {0x00, 0x00, 0x00, 0x3F}, px16g, {0x00, 0x80}},  // 32768
        PixelCase{px32f, {0x9A, 0x99, 0xD9, 0x3F}, px8g, {255}},         // 1.7 clamps
        PixelCase{px32f, {0x9A, 0x99, 0x99, 0xBE}, px8g, {0}},           // -0.3 clamps
        PixelCase{pxCMYK, {255, 0, 0, 0}, pxRGB24, {255, 255, 0}},        // cyan
        PixelCase{pxCMYK, {0, 0, 0, 128}, pxRGB24, {127, 127, 127}},
        PixelCase{pxCMYK, {0, 0, 0, 0}, px8g, {255}},
        PixelCase{pxRGB48, {0x34, 0x12, 0xFF, 0xFF, 0x00, 0x00}, pxRGB24, {0x00, 0xFF, 0x12}},
        PixelCase{px8p, {5}, pxRGB24, {30, 20, 10}},
        PixelCase{px8p, {5}, px8g, {18}},
        PixelCase{px1g, {0x80}, px16g, {0xFF, 0xFF}}, PixelCase{px1g, {0x80}, pxCMYK, {0, 0, 0, 0}},
        PixelCase{px1g, {0x00}, pxCMYK, {0, 0, 0, 255}},
        PixelCase{px1g, {0x80}, px32f, {0x00, 0x00, 0x80, 0x3F}},
        PixelCase{px1g, {0x80}, pxRGB48, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}));

TEST(PxConvert, RgbToFloatGray) {
  TPxBitmap b(1, 1, pxRGB24);
  const uint8_t px[3] = {50, 100, 200};
  std::memcpy(b.Scanline(0), px, 3);
  ASSERT_TRUE(b.ConvertTo(px32f));
  float v;
  std::memcpy(&v, b.Scanline(0), 4);
  EXPECT_NEAR(v, (0.2126 * 200 + 0.7152 * 100 + 0.0722 * 50) / 255, 1e-6);
}

// ---------------------------------------------------------------------------
// Black and white

static int CountWhite(TPxBitmap& b) {
  int n = 0;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) n += (b.Scanline(y)[x >> 3] >> (7 - (x & 7))) & 1;
  return n;
}

static bool White(TPxBitmap& b, int x, int y) { return (b.Scanline(y)[x >> 3] >> (7 - (x & 7))) & 1; }

TEST(PxConvertBlackWhite, OrderedDitherCoversTheGrayInSixtyFourths) {
  // Each of the 64 matrix values appears once in an 8 x 8 block.
  for (int g : {0, 2, 3, 64, 128, 140, 200, 254, 255}) {
    TPxBitmap b(16, 8, px8g);
    b.Fill(g);
    b.BlackWhiteMethod = 0;
    ASSERT_TRUE(b.ConvertTo(px1g));
    EXPECT_EQ(CountWhite(b), 2 * ((g + 1) / 4)) << "gray " << g;
  }
  // The matrix is indexed by x first: entry [1][0] is 48, [0][1] is 32.
  TPxBitmap b(8, 8, pxRGB24);
  b.Fill(0x8C8C8C);  // gray 140: 35 of 64
  b.BlackWhiteMethod = 0;
  ASSERT_TRUE(b.ConvertTo(px1g));
  EXPECT_TRUE(White(b, 0, 0));
  EXPECT_TRUE(White(b, 0, 1));
  EXPECT_FALSE(White(b, 1, 0));
  EXPECT_EQ(CountWhite(b), 35);

  TPxBitmap w(8, 8, px16g);
  w.Fill(32768);
  w.BlackWhiteMethod = 0;
  ASSERT_TRUE(w.ConvertTo(px1g));
  EXPECT_EQ(CountWhite(w), 32);
}

TEST(PxConvertBlackWhite, ThresholdSplitsTwoLevels) {
  TPxBitmap b(20, 5, pxRGB24);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 20; ++x) {
      const uint8_t v = (x * y) % 3 ? 200 : 30;
      std::memset(b.Scanline(y) + 3 * x, v, 3);
    }
  TPxBitmap expected(20, 5, pxRGB24);
  ASSERT_TRUE(expected.Assign(b));
  ASSERT_EQ(b.BlackWhiteMethod, 1);
  ASSERT_TRUE(b.ConvertTo(px1g));
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 20; ++x) EXPECT_EQ(White(b, x, y), expected.Scanline(y)[3 * x] == 200) << x << "," << y;
}

// ---------------------------------------------------------------------------
// Palettes

TEST(PxConvertPalette, ManyColoursAreQuantized) {
  TPxBitmap b(64, 64, pxRGB24);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) {
      TBGR c = MakeBGR((uint8_t)(x * 4), (uint8_t)(y * 4), (uint8_t)((x + y) * 2));
      std::memcpy(b.Scanline(y) + 3 * x, &c, 3);
    }
  TPxBitmap original;
  ASSERT_TRUE(original.Assign(b));
  for (int limit : {256, 16}) {
    TPxBitmap q;
    ASSERT_TRUE(q.Assign(original));
    q.PaletteColorLimit = limit;
    ASSERT_TRUE(q.ConvertTo(px8p));
    std::set<int> used;
    double sumError = 0;
    int maxError = 0;
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < 64; ++x) {
        const int i = q.Scanline(y)[x];
        used.insert(i);
        const TBGR p = q.PaletteColor(i);
        const TBGR* o = reinterpret_cast<const TBGR*>(original.Scanline(y)) + x;
        for (int d : {std::abs(p.r - o->r), std::abs(p.g - o->g), std::abs(p.b - o->b)}) {
          sumError += d;
          maxError = std::max(maxError, d);
        }
      }
    EXPECT_LE((int)used.size(), limit);
    EXPECT_GT((int)used.size(), limit / 2);
    const double meanError = sumError / (64 * 64 * 3);
    EXPECT_LT(meanError, limit == 256 ? 6.0 : 24.0) << "limit " << limit;
    EXPECT_LT(maxError, limit == 256 ? 32 : 96) << "limit " << limit;
  }
}

TEST(PxConvertPalette, QuantizerIsExactForFewColours) {
  TPxBitmap b(3, 1, pxRGB24);
  const TBGR colours[3] = {MakeBGR(9, 9, 9), MakeBGR(1, 2, 3), MakeBGR(9, 9, 9)};
  std::memcpy(b.Scanline(0), colours, 9);
  TPxQuantizer q(b, 256);
  ASSERT_EQ(q.ColorCount(), 2);
  EXPECT_EQ(q.Color(q.Index(MakeBGR(1, 2, 3))), MakeBGR(1, 2, 3));
  EXPECT_EQ(q.Color(q.Index(MakeBGR(9, 9, 9))), MakeBGR(9, 9, 9));
  EXPECT_EQ(q.Color(q.Index(MakeBGR(8, 9, 9))), MakeBGR(9, 9, 9));  // nearest
}

// ---------------------------------------------------------------------------
// Conversion and the rest of the bitmap

TEST(PxConvert, AlphaPlaneAndEmptyBitmaps) {
  TPxBitmap b(4, 4, pxRGB24);
  b.Fill(0xFFFFFF);
  b.Alpha(3, 3, 7);
  ASSERT_TRUE(b.ConvertTo(px8g));
  EXPECT_EQ(b.Scanline(3)[3], 255);
  EXPECT_EQ(b.Alpha(3, 3), 7);
  EXPECT_EQ(b.AlphaChannel()->Width(), 4);

  TPxBitmap empty;
  ASSERT_TRUE(empty.ConvertTo(pxRGB24));
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_EQ(empty.PixelFormat(), pxRGB24);
}

TEST(PxConvert, PlatformBitmapDepths) {
  TPxBitmap b(3, 2, pxRGB24);
  b.Fill(0x808080);
  ASSERT_TRUE(b.SetLocation(pxTBitmap));
  ASSERT_TRUE(b.ConvertTo(px16g));
  EXPECT_EQ(b.PixelFormat(), px8g);
  EXPECT_EQ(b.Location(), pxTBitmap);
  EXPECT_EQ(b.Scanline(1)[2], 128);
  EXPECT_THROW(b.ConvertTo(pxCMYK), std::runtime_error);
  EXPECT_EQ(b.PixelFormat(), px8g);
  ASSERT_TRUE(b.ConvertTo(px1g));
  EXPECT_EQ(b.PlatformBitmap().BitDepth, 1);
}
