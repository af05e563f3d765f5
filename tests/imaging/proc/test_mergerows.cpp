// The row-copy merge of opaque layers against the general per-pixel merge and
// against the rule itself (B over A, background beside both, black beside one).
// The general merge runs when the lower layer's alpha plane has a hole that
// the upper layer hides: the same pixels, reached pixel by pixel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/view/imagingview.h"
#include "imaging/proc/mergerows.h"

namespace {

// Every pixel tells its layer (red) and its place (blue, green).
void Pattern(TPxBitmap& bmp, int width, int height, uint8_t tag) {
  ASSERT_TRUE(bmp.Allocate(width, height, pxRGB24));
  for (int y = 0; y < height; ++y) {
    uint8_t* row = bmp.Scanline(y);
    for (int x = 0; x < width; ++x) {
      row[3 * x] = uint8_t(x * 7 + y);
      row[3 * x + 1] = uint8_t(y * 5 + x);
      row[3 * x + 2] = tag;
    }
  }
}

struct TMergeCase {
  const char* Name;
  int AW, AH, AX, AY;  // lower layer
  int BW, BH, BX, BY;  // upper layer
};

enum TAlphaKind {
  akNone,      // no alpha planes: the row-copy path
  akFull,      // planes of 255 everywhere, as read pictures carry: the row-copy path too
  akHoleUnder  // A's plane has a 0 under B, which B hides: the general path, same pixels
};

// The overlap of A and B in the lower layer's own pixels, or false.
bool OverlapInA(const TMergeCase& c, int& x, int& y) {
  const int x0 = std::max(c.AX, c.BX), y0 = std::max(c.AY, c.BY);
  if (x0 >= std::min(c.AX + c.AW, c.BX + c.BW) || y0 >= std::min(c.AY + c.AH, c.BY + c.BH)) return false;
  x = x0 - c.AX, y = y0 - c.AY;
  return true;
}

void Merge(const TMergeCase& c, TAlphaKind alpha, TBGR background, TPxBitmap& out) {
  TImagingView view;
  view.SetBackground(uint32_t(background.r) | uint32_t(background.g) << 8 | uint32_t(background.b) << 16);
  view.SetLayersSync(false);
  Pattern(*view.Bitmap(), c.AW, c.AH, 10);
  view.AddLayer();
  Pattern(*view.Bitmap(), c.BW, c.BH, 20);
  view.Layer(0)->Left = c.AX, view.Layer(0)->Top = c.AY;
  view.Layer(1)->Left = c.BX, view.Layer(1)->Top = c.BY;
  if (alpha != akNone) {
    ASSERT_NE(view.Layer(0)->Bitmap->AlphaChannel(), nullptr);
    ASSERT_NE(view.Layer(1)->Bitmap->AlphaChannel(), nullptr);
  }
  int hx = 0, hy = 0;
  if (alpha == akHoleUnder) {
    ASSERT_TRUE(OverlapInA(c, hx, hy));
    TPxBitmap* a = view.Layer(0)->Bitmap->AlphaChannel();
    a->Scanline(hy)[hx] = 0;
    a->SetFullAlpha(false);
  }
  view.MergeLayers(0, 1, true);
  ASSERT_EQ(view.LayerCount(), 1);
  ASSERT_TRUE(out.Assign(*view.Bitmap()));
}

class MergeRowsOpaque : public ::testing::TestWithParam<TMergeCase> {};

TEST_P(MergeRowsOpaque, SameAsTheGeneralMergeAndTheRule) {
  const TMergeCase& c = GetParam();
  const TBGR bg{30, 60, 90};
  TPxBitmap fast, full, general;
  Merge(c, akNone, bg, fast);
  Merge(c, akFull, bg, full);
  int hx, hy;
  const bool overlap = OverlapInA(c, hx, hy);
  // Without an overlap there is no hidden pixel to send the merge the general way.
  if (overlap) {
    Merge(c, akHoleUnder, bg, general);
  } else {
    ASSERT_TRUE(general.Assign(fast));
  }
  for (TPxBitmap* other : {&full, &general}) {
    ASSERT_EQ(fast.Width(), other->Width());
    ASSERT_EQ(fast.Height(), other->Height());
    ASSERT_EQ(fast.HasAlphaChannel(), other->HasAlphaChannel());
  }

  // The rule, with both positions first shifted so that neither is negative.
  int ax = c.AX, ay = c.AY, bx = c.BX, by = c.BY;
  if (ax < 0) bx -= ax, ax = 0;
  if (ay < 0) by -= ay, ay = 0;
  if (bx < 0) ax -= bx, bx = 0;
  if (by < 0) ay -= by, by = 0;
  const int width = std::max(ax + c.AW, bx + c.BW), height = std::max(ay + c.AH, by + c.BH);
  ASSERT_EQ(fast.Width(), width);
  ASSERT_EQ(fast.Height(), height);
  bool uncovered = false;
  for (int y = 0; y < height; ++y) {
    const uint8_t* f = fast.Scanline(y);
    const uint8_t* g = general.Scanline(y);
    ASSERT_EQ(0, std::memcmp(f, g, size_t(width) * 3)) << "row " << y;
    ASSERT_EQ(0, std::memcmp(f, full.Scanline(y), size_t(width) * 3)) << "row " << y;
    for (int x = 0; x < width; ++x) {
      const bool colA = x >= ax && x < ax + c.AW, colB = x >= bx && x < bx + c.BW;
      const bool inA = colA && y >= ay && y < ay + c.AH, inB = colB && y >= by && y < by + c.BH;
      uint8_t want[3];
      if (inB || inA) {
        const int lx = inB ? x - bx : x - ax, ly = inB ? y - by : y - ay;
        want[0] = uint8_t(lx * 7 + ly), want[1] = uint8_t(ly * 5 + lx), want[2] = inB ? 20 : 10;
      } else if (!colA && !colB) {
        want[0] = bg.b, want[1] = bg.g, want[2] = bg.r;
      } else {
        want[0] = want[1] = want[2] = 0;
      }
      uncovered = uncovered || !(inA || inB);
      ASSERT_EQ(f[3 * x], want[0]) << x << "," << y;
      ASSERT_EQ(f[3 * x + 1], want[1]) << x << "," << y;
      ASSERT_EQ(f[3 * x + 2], want[2]) << x << "," << y;
      if (fast.HasAlphaChannel()) {
        const uint8_t alpha = fast.AlphaChannel()->Scanline(y)[x];
        ASSERT_EQ(alpha, (inA || inB) ? 255 : 0) << x << "," << y;
        ASSERT_EQ(alpha, general.AlphaChannel()->Scanline(y)[x]) << x << "," << y;
        ASSERT_EQ(alpha, full.AlphaChannel()->Scanline(y)[x]) << x << "," << y;
      }
    }
  }
  EXPECT_EQ(fast.HasAlphaChannel(), uncovered);
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, MergeRowsOpaque,
    ::testing::Values(TMergeCase{"Inside", 40, 30, 0, 0, 20, 10, 7, 9},
                      TMergeCase{"SameSize", 25, 17, 0, 0, 25, 17, 0, 0},
                      TMergeCase{"OverTheRightEdge", 30, 20, 0, 0, 20, 12, 22, 3},
                      TMergeCase{"AboveAndLeft", 30, 20, 5, 6, 12, 9, 0, 0},
                      TMergeCase{"NegativeUpper", 30, 20, 0, 0, 12, 9, -4, -3},
                      TMergeCase{"Disjoint", 10, 8, 0, 0, 9, 7, 15, 12},
                      TMergeCase{"UpperCoversLower", 8, 6, 3, 2, 30, 20, 0, 0},
                      TMergeCase{"StackedSameColumns", 20, 10, 0, 0, 20, 12, 0, 10},
                      TMergeCase{"SideBySideSameRows", 11, 14, 0, 0, 13, 14, 11, 0},
                      TMergeCase{"SideBySideWithGap", 11, 14, 0, 0, 13, 14, 15, 0},
                      TMergeCase{"OnePixelRows", 1, 1, 0, 0, 1, 1, 2, 2}),
    [](const ::testing::TestParamInfo<TMergeCase>& i) { return std::string(i.param.Name); });

// Coverage of the merged box by two rectangles, against counting pixels.
TEST(MergeRowsCoverage, MatchesAPixelCount) {
  std::mt19937 rng(3);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  int coveredCases = 0, uncoveredCases = 0;
  for (int i = 0; i < 20000; ++i) {
    const int ax = pick(-4, 5), ay = pick(-4, 5), aw = pick(0, 12), ah = pick(0, 12);
    const int bx = pick(-4, 5), by = pick(-4, 5), bw = pick(0, 12), bh = pick(0, 12);
    const int width = pick(1, 10), height = pick(1, 10);
    bool all = true;
    for (int y = 0; y < height && all; ++y)
      for (int x = 0; x < width && all; ++x) {
        const bool inA = x >= ax && x < ax + aw && y >= ay && y < ay + ah;
        const bool inB = x >= bx && x < bx + bw && y >= by && y < by + bh;
        all = inA || inB;
      }
    ASSERT_EQ(PxMergeCoversAll(ax, ay, aw, ah, bx, by, bw, bh, width, height), all)
        << "A " << ax << "," << ay << " " << aw << "x" << ah << " B " << bx << "," << by << " " << bw << "x"
        << bh << " box " << width << "x" << height;
    ++(all ? coveredCases : uncoveredCases);
  }
  // Both answers were exercised.
  EXPECT_GT(coveredCases, 200) << uncoveredCases;
  EXPECT_GT(uncoveredCases, 200) << coveredCases;
}

// One row, with a background whose channels differ (no memset shortcut).
TEST(MergeRowsRow, RunsOfEachKind) {
  const std::vector<uint8_t> a = {1, 2, 3, 4, 5, 6, 7, 8, 9};  // 3 pixels at x 1..3
  const std::vector<uint8_t> b = {50, 51, 52, 53, 54, 55};     // 2 pixels at x 3..4
  std::vector<uint8_t> out(7 * 3, 0xEE), alpha(7, 0xEE);
  const bool covered = PxMergeOpaqueRow({a.data(), 1, 3}, {b.data(), 3, 2}, 7, TBGR{100, 110, 120}, out.data(),
                                        alpha.data());
  EXPECT_FALSE(covered);
  const std::vector<uint8_t> want = {100, 110, 120, 1, 2, 3, 4, 5, 6, 50, 51, 52,
                                     53,  54,  55,  100, 110, 120, 100, 110, 120};
  EXPECT_EQ(out, want);
  EXPECT_EQ(alpha, (std::vector<uint8_t>{0, 255, 255, 255, 255, 0, 0}));
  // The same row when only A's columns reach x 1..3 but the row misses A: black there.
  std::fill(out.begin(), out.end(), 0xEE);
  PxMergeOpaqueRow({nullptr, 1, 3}, {b.data(), 3, 2}, 7, TBGR{100, 110, 120}, out.data(), nullptr);
  const std::vector<uint8_t> want2 = {100, 110, 120, 0, 0, 0, 0, 0, 0, 50, 51, 52,
                                      53,  54,  55,  100, 110, 120, 100, 110, 120};
  EXPECT_EQ(out, want2);
}

}  // namespace

namespace {

TEST(MergeRowsAlpha, AllOpaqueOnlyWhenEveryValueIs255) {
  for (int width : {1, 7, 8, 9, 33}) {
    TPxBitmap alpha;
    ASSERT_TRUE(alpha.Allocate(width, 3, px8g));
    for (int y = 0; y < 3; ++y) std::memset(alpha.Scanline(y), 255, size_t(width));
    EXPECT_TRUE(PxAlphaAllOpaque(alpha)) << width;
    for (int x = 0; x < width; ++x) {
      alpha.Scanline(2)[x] = 254;
      EXPECT_FALSE(PxAlphaAllOpaque(alpha)) << width << " at " << x;
      alpha.Scanline(2)[x] = 255;
    }
  }
}

}  // namespace

namespace {

// A layer shown at another size is scaled for the merge; an alpha plane of 255
// everywhere changes nothing of the result, with and without (for kernel
// filters the plane is scaled along as before).
TEST(MergeRowsScaled, FullAlphaPlaneMergesAsNone) {
  for (TResampleFilter filter : {rfNone, rfLanczos3}) {
    TPxBitmap results[2];
    for (int withAlpha = 0; withAlpha < 2; ++withAlpha) {
      TImagingView view;
      view.ZoomFilter = filter;
      view.SetLayersSync(false);
      Pattern(*view.Bitmap(), 40, 30, 10);
      view.AddLayer();
      Pattern(*view.Bitmap(), 20, 10, 20);
      if (withAlpha) {
        ASSERT_NE(view.Bitmap()->AlphaChannel(), nullptr);
      }
      TPxLayer* upper = view.Layer(1);
      upper->Left = 4, upper->Top = 3, upper->Width = 31, upper->Height = 17;
      view.MergeLayers(0, 1, false);
      ASSERT_EQ(view.LayerCount(), 2);
      // The upper layer's own bitmap is left as it was.
      TPxBitmap* own = view.Layer(1)->Bitmap;
      ASSERT_EQ(own->Width(), 20);
      EXPECT_EQ(own->HasAlphaChannel(), withAlpha == 1);
      EXPECT_EQ(own->Scanline(9)[3 * 19 + 2], 20);
      ASSERT_TRUE(results[withAlpha].Assign(*view.Layer(0)->Bitmap));
    }
    ASSERT_EQ(results[0].Width(), 40);
    ASSERT_EQ(results[1].Width(), 40);
    EXPECT_FALSE(results[0].HasAlphaChannel());
    EXPECT_FALSE(results[1].HasAlphaChannel());
    for (int y = 0; y < 30; ++y)
      ASSERT_EQ(0, std::memcmp(results[0].Scanline(y), results[1].Scanline(y), 40 * 3)) << filter << " row " << y;
    // The scaled layer is there: its tag at its middle, the lower layer's outside it.
    EXPECT_EQ(results[0].Scanline(10)[3 * 20 + 2], 20);
    EXPECT_EQ(results[0].Scanline(25)[3 * 38 + 2], 10);
  }
}

}  // namespace

namespace {

// Padding onto a sheet of one colour gives what merging the picture layer,
// shown at the fitted size, onto that sheet gives: at the picture's own size,
// shrunk, enlarged, against every edge.
TEST(MergeRowsPad, SameAsMergingOntoTheSheet) {
  struct Case {
    int pw, ph, fw, fh, x, y, w, h;
  };
  const TBGR sheet{200, 220, 240};  // channels differ: no memset shortcut
  for (const Case& c : {Case{20, 10, 20, 10, 5, 3, 31, 17}, Case{40, 30, 27, 17, 2, 0, 31, 17},
                        Case{7, 5, 31, 17, 0, 0, 31, 17}, Case{12, 9, 12, 9, 19, 8, 31, 17}}) {
    TImagingView view;
    view.SetLayersSync(false);
    ASSERT_TRUE(view.Bitmap()->Allocate(c.w, c.h, pxRGB24));
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) std::memcpy(view.Bitmap()->Scanline(y) + 3 * x, &sheet, 3);
    TBGR found{};
    ASSERT_TRUE(PxUniformColour(*view.Bitmap(), found));
    EXPECT_EQ(std::memcmp(&found, &sheet, 3), 0);
    view.AddLayer();
    Pattern(*view.Bitmap(), c.pw, c.ph, 20);
    TPxBitmap picture, padded;
    ASSERT_TRUE(picture.Assign(*view.Bitmap()));
    TPxLayer* upper = view.Layer(1);
    upper->Left = c.x, upper->Top = c.y, upper->Width = c.fw, upper->Height = c.fh;
    view.MergeLayers(0, 1, true);
    ASSERT_TRUE(PxPadOpaque(picture, c.fw, c.fh, c.x, c.y, c.w, c.h, sheet, padded));
    TPxBitmap& merged = *view.Bitmap();
    ASSERT_EQ(padded.Width(), merged.Width());
    ASSERT_EQ(padded.Height(), merged.Height());
    EXPECT_FALSE(padded.HasAlphaChannel());
    EXPECT_FALSE(merged.HasAlphaChannel());
    for (int y = 0; y < c.h; ++y)
      ASSERT_EQ(0, std::memcmp(padded.Scanline(y), merged.Scanline(y), size_t(c.w) * 3))
          << c.pw << "x" << c.ph << " at " << c.fw << "x" << c.fh << ", row " << y;
  }
}

TEST(MergeRowsPad, RefusesWhatItCannotDo) {
  TPxBitmap picture, dest;
  Pattern(picture, 10, 8, 20);
  EXPECT_FALSE(PxPadOpaque(picture, 10, 8, 5, 0, 12, 8, TBGR{}, dest));  // beyond the right edge
  EXPECT_FALSE(PxPadOpaque(picture, 10, 8, 0, -1, 12, 8, TBGR{}, dest));
  EXPECT_TRUE(dest.IsEmpty());
  TBGR c{};
  EXPECT_FALSE(PxUniformColour(picture, c));  // a pattern
  ASSERT_TRUE(picture.ConvertTo(px8g));
  EXPECT_FALSE(PxPadOpaque(picture, 10, 8, 0, 0, 12, 8, TBGR{}, dest));
}

}  // namespace
