// Rotation: quarter-turn mapping and sizes, the shear rotation's size and
// direction, the 1-bit rotation, alpha planes and undo captions; turning a
// picture upright by its recorded orientation, where every pixel lands where
// the orientation tag's definition puts it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/proc/imagingproc.h"
#include "imaging/proc/orient.h"

namespace {

void FillRandom(TPxBitmap& b, unsigned seed) {
  std::mt19937 rng(seed);
  const int bytes = (b.Width() * b.BitCount() + 7) / 8;
  for (int y = 0; y < b.Height(); ++y)
    for (int i = 0; i < bytes; ++i) b.Scanline(y)[i] = static_cast<uint8_t>(rng());
}

std::vector<uint8_t> PixelAt(TPxBitmap& b, int x, int y) {
  const int bits = b.BitCount();
  const uint8_t* r = b.Scanline(y);
  if (bits == 1) return {static_cast<uint8_t>((r[x >> 3] >> (7 - (x & 7))) & 1)};
  return std::vector<uint8_t>(r + x * bits / 8, r + (x + 1) * bits / 8);
}

// Where source (x, y) of a w x h image lands after k counter-clockwise quarter turns.
void Turned(int k, int w, int h, int x, int y, int& tx, int& ty) {
  k = ((k % 4) + 4) % 4;
  tx = x;
  ty = y;
  for (int i = 0; i < k; ++i) {
    int nx = ty, ny = w - 1 - tx;  // counter-clockwise: (x, y) -> (y, W - 1 - x)
    tx = nx;
    ty = ny;
    std::swap(w, h);
  }
}

struct QuarterCase {
  double angle;
  int turns;  // counter-clockwise quarter turns it amounts to
};
class QuarterTurn : public ::testing::TestWithParam<std::tuple<QuarterCase, TPxPixelFormat>> {};

TEST_P(QuarterTurn, MovesWholePixelsWithTheAlphaPlane) {
  const auto [c, pf] = GetParam();
  const int w = 9, h = 5;
  TPxBitmap b(w, h, pf);
  FillRandom(b, 1);
  TPxBitmap* a = b.AlphaChannel();
  FillRandom(*a, 2);
  a->SetFullAlpha(false);
  TPxBitmap src;
  src.Assign(b);
  TImagingProc proc(&b);
  proc.Rotate(c.angle, true, 0, -1);
  const bool swap = c.turns % 2 != 0;
  ASSERT_EQ(b.Width(), swap ? h : w);
  ASSERT_EQ(b.Height(), swap ? w : h);
  ASSERT_EQ(b.PixelFormat(), pf);
  ASSERT_TRUE(b.HasAlphaChannel());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int tx, ty;
      Turned(c.turns, w, h, x, y, tx, ty);
      ASSERT_EQ(PixelAt(b, tx, ty), PixelAt(src, x, y)) << x << "," << y;
      ASSERT_EQ(b.Alpha(tx, ty), src.Alpha(x, y)) << x << "," << y;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Angles, QuarterTurn,
    ::testing::Combine(::testing::Values(QuarterCase{90, 1}, QuarterCase{-90, 3}, QuarterCase{270, 3},
                                         QuarterCase{450, 1}, QuarterCase{180, 2}, QuarterCase{-180, 2},
                                         QuarterCase{-270, 1}),
                       ::testing::Values(pxRGB24, px8g, px1g)));

// Pictures of several tiles, with part tiles at the edges, turn pixel for pixel.
TEST(QuarterTurnLarge, SeveralTilesFollowThePixelRule) {
  for (TPxPixelFormat pf : {pxRGB24, px8g})
    for (int turns : {1, 3}) {
      const int w = 157, h = 93;
      TPxBitmap b(w, h, pf);
      FillRandom(b, 4);
      TPxBitmap src;
      src.Assign(b);
      TImagingProc proc(&b);
      proc.Rotate(turns == 1 ? 90 : -90, true, 0, -1);
      ASSERT_EQ(b.Width(), h);
      ASSERT_EQ(b.Height(), w);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          int tx, ty;
          Turned(turns, w, h, x, y, tx, ty);
          ASSERT_EQ(PixelAt(b, tx, ty), PixelAt(src, x, y))
              << pf << " " << turns << ": " << x << "," << y;
        }
    }
}

TEST(Rotate, NinetyPutsTheRightColumnOnTop) {
  TPxBitmap b(16, 12, pxRGB24);
  FillRandom(b, 3);
  TPxBitmap src;
  src.Assign(b);
  TImagingProc proc(&b);
  proc.Rotate(90, true, 0, -1);
  ASSERT_EQ(b.Width(), 12);
  ASSERT_EQ(b.Height(), 16);
  for (int x = 0; x < 12; ++x) EXPECT_EQ(PixelAt(b, x, 0), PixelAt(src, 15, x)) << x;
  EXPECT_EQ(PixelAt(b, 0, 0), PixelAt(src, 15, 0));
  EXPECT_EQ(PixelAt(b, 0, 15), PixelAt(src, 0, 0));
  ASSERT_EQ(proc.UndoCount(), 1);
  EXPECT_EQ(proc.UndoCaption(0), "Rotate 90");
}

TEST(Rotate, MinusNinetyAnd270And450MatchTheirPartners) {
  auto turn = [](double angle) {
    TPxBitmap b(13, 7, pxRGB24);
    FillRandom(b, 4);
    TImagingProc proc(&b);
    proc.Rotate(angle, true, 0, -1);
    std::vector<uint8_t> all;
    for (int y = 0; y < b.Height(); ++y)
      for (int x = 0; x < b.Width(); ++x) {
        auto p = PixelAt(b, x, y);
        all.insert(all.end(), p.begin(), p.end());
      }
    all.push_back(static_cast<uint8_t>(b.Width()));
    return all;
  };
  EXPECT_EQ(turn(-90), turn(270));
  EXPECT_EQ(turn(450), turn(90));
  EXPECT_NE(turn(90), turn(-90));
}

TEST(Rotate, ZeroDoesNothingAndTakesNoUndo) {
  TPxBitmap b(5, 4, pxRGB24);
  FillRandom(b, 5);
  TPxBitmap src;
  src.Assign(b);
  TImagingProc proc(&b);
  proc.Rotate(0, true, 0, -1);
  EXPECT_EQ(proc.UndoCount(), 0);
  ASSERT_EQ(b.Width(), 5);
  for (int y = 0; y < 4; ++y) EXPECT_EQ(0, std::memcmp(b.Scanline(y), src.Scanline(y), 15));
  proc.Rotate(-22.5, false, 0, 0);
  ASSERT_EQ(proc.UndoCount(), 1);
  EXPECT_EQ(proc.UndoCaption(0), "Rotate -22.5");
}

// ------------------------------------------------------------- shear rotation

struct ShearCase {
  double angle;
  int w, h;
};
class ShearRotation : public ::testing::TestWithParam<ShearCase> {};

TEST_P(ShearRotation, OutputSizeFollowsTheShearFormula) {
  const ShearCase c = GetParam();
  // Quarter turns first, then the residual within 45 degrees.
  double rest = std::fmod(std::trunc(c.angle * 1000), 360000) / 1000;
  int W = c.w, H = c.h;
  while (rest > 45) rest -= 90, std::swap(W, H);
  while (rest < -45) rest += 90, std::swap(W, H);
  const double rad = rest * std::numbers::pi / 180;
  const double T = std::fabs(std::tan(rad / 2)), S = std::fabs(std::sin(rad));
  const double m = std::nearbyint(H * T + W + 1);
  const double hh = std::nearbyint((m - W) * S);
  const double o = std::nearbyint(S * m + H + 1);
  const double t = std::nearbyint(T * (o - H - hh));
  const int height = int(std::nearbyint(o - 2 * hh));
  const int width = int(std::nearbyint(T * height + m + 1 - 2 * t));

  TPxBitmap b(c.w, c.h, pxRGB24);
  FillRandom(b, 6);
  TImagingProc proc(&b);
  proc.Rotate(c.angle, true, 0, 0x0000FF);
  EXPECT_EQ(b.Width(), width);
  EXPECT_EQ(b.Height(), height);
  // The turned rectangle fits: its bounding box is at most the output.
  const double cs = std::fabs(std::cos(rad)), sn = std::fabs(std::sin(rad));
  EXPECT_GE(b.Width() + 1, int(W * cs + H * sn));
  EXPECT_GE(b.Height() + 1, int(W * sn + H * cs));
}

INSTANTIATE_TEST_SUITE_P(Angles, ShearRotation,
                         ::testing::Values(ShearCase{10, 80, 50}, ShearCase{30, 80, 50}, ShearCase{45, 64, 64},
                                           ShearCase{-20, 80, 50}, ShearCase{-45, 30, 70}, ShearCase{100, 80, 50},
                                           ShearCase{200.5, 41, 23}, ShearCase{1.5, 300, 7}));

// A bright spot turns about the centre in the stated direction.
class ShearDirection : public ::testing::TestWithParam<double> {};

TEST_P(ShearDirection, ASpotMovesCounterClockwiseForPositiveAngles) {
  const double angle = GetParam();
  const int w = 81, h = 61;
  TPxBitmap b(w, h, pxRGB24);
  b.Fill(0);
  const int sx = 60, sy = 12;
  for (int y = sy; y < sy + 3; ++y) std::memset(b.Scanline(y) + sx * 3, 255, 9);
  TImagingProc proc(&b);
  proc.Rotate(angle, true, 0, 0);
  double sum = 0, cx = 0, cy = 0;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      double v = b.Scanline(y)[x * 3 + 1];
      sum += v;
      cx += v * (x + 0.5);
      cy += v * (y + 0.5);
    }
  ASSERT_GT(sum, 0);
  cx /= sum;
  cy /= sum;
  // Spot centre relative to the image centre, y pointing down; a
  // counter-clockwise turn on screen maps (x, y) to (x cos + y sin, -x sin + y cos).
  const double dx = sx + 1.5 - w / 2.0, dy = sy + 1.5 - h / 2.0;
  const double r = angle * std::numbers::pi / 180;
  const double ex = dx * std::cos(r) + dy * std::sin(r) + b.Width() / 2.0;
  const double ey = -dx * std::sin(r) + dy * std::cos(r) + b.Height() / 2.0;
  EXPECT_NEAR(cx, ex, 2.0);
  EXPECT_NEAR(cy, ey, 2.0);
}

INSTANTIATE_TEST_SUITE_P(Angles, ShearDirection, ::testing::Values(30.0, -30.0, 45.0, -12.0, 120.0, -160.0));

class ShearUniform : public ::testing::TestWithParam<std::tuple<double, bool>> {};

TEST_P(ShearUniform, KeepsTheColourInsideAndTheAreaAndFillsCorners) {
  const auto [angle, antiAlias] = GetParam();
  const int w = 90, h = 60;
  TPxBitmap b(w, h, pxRGB24);
  b.Fill(0x2040C0);  // colour reference: red 0xC0, green 0x40, blue 0x20
  b.AlphaChannel();
  TImagingProc proc(&b);
  proc.Rotate(angle, antiAlias, 0, 0x00FF00);
  const TBGR fg = PxColorRefToBGR(0x2040C0), bg = PxColorRefToBGR(0x00FF00);
  auto at = [&](int x, int y) {
    const uint8_t* p = b.Scanline(y) + x * 3;
    return TBGR{p[0], p[1], p[2]};
  };
  EXPECT_EQ(at(0, 0), bg);
  EXPECT_EQ(at(b.Width() - 1, b.Height() - 1), bg);
  EXPECT_EQ(at(b.Width() / 2, b.Height() / 2), fg);
  ASSERT_TRUE(b.HasAlphaChannel());
  EXPECT_EQ(b.Alpha(0, 0), 0);
  EXPECT_EQ(b.Alpha(b.Width() / 2, b.Height() / 2), 255);
  int inside = 0;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) inside += at(x, y) == fg;
  const int perimeter = 2 * (w + h);
  EXPECT_NEAR(inside, w * h, perimeter);
}

INSTANTIATE_TEST_SUITE_P(Angles, ShearUniform,
                         ::testing::Combine(::testing::Values(30.0, -37.0, 45.0, 8.0), ::testing::Bool()));

// ---------------------------------------------------------------- 1-bit

struct OneBitCase {
  double angle;
  int32_t background;
  bool outsideSet;
};
class OneBitAnyAngle : public ::testing::TestWithParam<OneBitCase> {};

TEST_P(OneBitAnyAngle, SizeAndOutsideFollowTheBackground) {
  const OneBitCase c = GetParam();
  const int w = 40, h = 20;
  TPxBitmap b(w, h, px1g);
  b.Fill(0);
  TImagingProc proc(&b);
  proc.Rotate(c.angle, true, 0, c.background);
  const double r = c.angle * std::numbers::pi / 180;
  const double cs = std::trunc(std::cos(r) * 10000) / 10000, sn = std::trunc(std::sin(r) * 10000) / 10000;
  ASSERT_EQ(b.PixelFormat(), px1g);
  EXPECT_EQ(b.Width(), int(std::fabs(w * cs) + std::fabs(h * sn)));
  EXPECT_EQ(b.Height(), int(std::fabs(w * sn) + std::fabs(h * cs)));
  EXPECT_EQ(PixelAt(b, 0, 0)[0], c.outsideSet ? 1 : 0);
  EXPECT_EQ(PixelAt(b, b.Width() / 2, b.Height() / 2)[0], 0);
}

INSTANTIATE_TEST_SUITE_P(Angles, OneBitAnyAngle,
                         ::testing::Values(OneBitCase{30, 0xFFFFFF, true}, OneBitCase{30, 0x000000, false},
                                           OneBitCase{-50, 0x01FF01, true}, OneBitCase{-50, 0xFF00FF, false},
                                           OneBitCase{135, 0xFFFFFF, true}));

// --- turning upright by a recorded orientation ---------------------------------

// Where the stored pixel (x, y) of a w x h picture is seen, by the tag's
// definition: 2 row 0 at the top, column 0 at the right; 3 row 0 at the
// bottom, column 0 at the right; 4 row 0 at the bottom, column 0 at the left;
// 5 row 0 at the left, column 0 at the top; 6 row 0 at the right, column 0 at
// the top; 7 row 0 at the right, column 0 at the bottom; 8 row 0 at the left,
// column 0 at the bottom.
void Seen(int orientation, int w, int h, int x, int y, int& sx, int& sy) {
  switch (orientation) {
    case 2: sx = w - 1 - x, sy = y; break;
    case 3: sx = w - 1 - x, sy = h - 1 - y; break;
    case 4: sx = x, sy = h - 1 - y; break;
    case 5: sx = y, sy = x; break;
    case 6: sx = h - 1 - y, sy = x; break;
    case 7: sx = h - 1 - y, sy = w - 1 - x; break;
    case 8: sx = y, sy = w - 1 - x; break;
    default: sx = x, sy = y; break;
  }
}

bool SwapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }

class Orientation : public ::testing::TestWithParam<std::tuple<int, TPxPixelFormat>> {};

TEST_P(Orientation, EveryPixelLandsWhereTheTagSaysWithItsAlpha) {
  const auto [o, pf] = GetParam();
  // Odd sizes and a 1-bit row that does not fill its last byte.
  const int w = 13, h = 6;
  TPxBitmap b(w, h, pf);
  FillRandom(b, 7);
  if (pf == px8p)
    for (int i = 0; i < 256; ++i) b.PaletteColor(i, MakeBGR(uint8_t(i), uint8_t(255 - i), 9));
  TPxBitmap* a = b.AlphaChannel();
  FillRandom(*a, 8);
  a->SetFullAlpha(false);
  TPxBitmap stored;
  ASSERT_TRUE(stored.Assign(b));

  ASSERT_TRUE(PxApplyOrientation(b, o));
  ASSERT_EQ(b.PixelFormat(), pf);
  ASSERT_EQ(b.Width(), SwapsSides(o) ? h : w);
  ASSERT_EQ(b.Height(), SwapsSides(o) ? w : h);
  ASSERT_TRUE(b.HasAlphaChannel());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int sx = 0, sy = 0;
      Seen(o, w, h, x, y, sx, sy);
      ASSERT_EQ(PixelAt(b, sx, sy), PixelAt(stored, x, y)) << "stored " << x << "," << y;
      ASSERT_EQ(b.Alpha(sx, sy), stored.Alpha(x, y)) << "stored " << x << "," << y;
    }
  if (pf == px8p) {
    EXPECT_EQ(b.PaletteColor(200), MakeBGR(200, 55, 9));
  }
}

std::string OrientationName(const ::testing::TestParamInfo<std::tuple<int, TPxPixelFormat>>& info) {
  static const char* const kFormats[] = {"none", "px1g", "px8p", "px8g", "px16g", "pxRGB24", "px32f", "pxCMYK", "pxRGB48"};
  return "o" + std::to_string(std::get<0>(info.param)) + "_" + kFormats[std::get<1>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(All, Orientation,
                         ::testing::Combine(::testing::Range(1, 9),
                                            ::testing::Values(px1g, px8p, px16g, pxRGB24, pxCMYK, pxRGB48)),
                         OrientationName);

TEST(OrientationMask, MasksOfBothDepthsTurnAndKeepTheirBox) {
  for (int bits : {1, 8})
    for (int o = 1; o <= 8; ++o) {
      SCOPED_TRACE("bits " + std::to_string(bits) + " orientation " + std::to_string(o));
      const int w = 11, h = 4;
      TPxMask m;
      ASSERT_TRUE(m.Allocate(w, h, bits));
      // One set pixel near the top-left corner.
      m.SetPixel(1, 0, bits == 1 ? 1 : 77);
      ASSERT_TRUE(PxApplyOrientation(m, o));
      ASSERT_EQ(m.Width(), SwapsSides(o) ? h : w);
      ASSERT_EQ(m.Height(), SwapsSides(o) ? w : h);
      int sx = 0, sy = 0;
      Seen(o, w, h, 1, 0, sx, sy);
      for (int y = 0; y < m.Height(); ++y)
        for (int x = 0; x < m.Width(); ++x)
          ASSERT_EQ(m.GetPixel(x, y), x == sx && y == sy ? (bits == 1 ? 1 : 77) : 0) << x << "," << y;
      EXPECT_EQ(m.X1, sx);
      EXPECT_EQ(m.X2, sx);
      EXPECT_EQ(m.Y1, sy);
      EXPECT_EQ(m.Y2, sy);
    }
}

TEST(OrientationValues, OtherValuesAndEmptyPicturesAreLeftAlone) {
  TPxBitmap b(5, 3, pxRGB24);
  FillRandom(b, 3);
  TPxBitmap before;
  ASSERT_TRUE(before.Assign(b));
  for (int o : {0, 1, 9, -6, 255}) {
    ASSERT_TRUE(PxApplyOrientation(b, o));
    ASSERT_EQ(b.Width(), 5);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) ASSERT_EQ(PixelAt(b, x, y), PixelAt(before, x, y)) << o;
  }
  TPxBitmap empty;
  EXPECT_TRUE(PxApplyOrientation(empty, 6));
  EXPECT_TRUE(empty.IsEmpty());
}

}  // namespace
