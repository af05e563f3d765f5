// Selection masks: pixels, bounding box, full flag, layout.
#include <gtest/gtest.h>

#include "imaging/core/pxutils.h"

class MaskBitsTest : public ::testing::TestWithParam<int> {};

TEST_P(MaskBitsTest, PixelsBoxAndOutsideReads) {
  const int bits = GetParam();
  const int on = bits == 8 ? 200 : 1;
  TPxMask m;
  ASSERT_TRUE(m.Allocate(13, 6, bits));
  EXPECT_EQ(m.RowLen(), bits == 8 ? 16 : 4);
  EXPECT_TRUE(m.IsBoxEmpty());
  EXPECT_EQ(m.X1, INT32_MAX);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 13; ++x) ASSERT_EQ(m.GetPixel(x, y), 0);

  struct Set {
    int x, y;
  };
  for (Set s : {Set{4, 2}, Set{12, 5}, Set{7, 1}, Set{-1, 0}, Set{13, 0}, Set{0, 6}}) m.SetPixel(s.x, s.y, on);
  EXPECT_EQ(m.GetPixel(4, 2), on);
  EXPECT_EQ(m.GetPixel(12, 5), on);
  EXPECT_EQ(m.GetPixel(5, 2), 0);
  for (Set s : {Set{-1, 0}, Set{13, 0}, Set{0, 6}, Set{0, -1}, Set{INT32_MAX, INT32_MAX}})
    EXPECT_EQ(m.GetPixel(s.x, s.y), 0) << s.x << "," << s.y;
  EXPECT_EQ(m.X1, 4);
  EXPECT_EQ(m.Y1, 1);
  EXPECT_EQ(m.X2, 12);
  EXPECT_EQ(m.Y2, 5);

  // Rows are stored bottom-up: the bottom row is first in the block.
  EXPECT_EQ(m.Scanline(5), m.Bits());
  EXPECT_NE(m.Bits()[bits == 8 ? 12 : 1], 0);

  TPxMask copy;
  ASSERT_TRUE(copy.Assign(m));
  m.SetPixel(12, 5, 0);
  EXPECT_EQ(copy.GetPixel(12, 5), on);
  m.RecomputeBox();
  EXPECT_EQ(m.X2, 7);
  EXPECT_EQ(m.Y2, 2);
  EXPECT_FALSE(m.Full);

  m.Fill(bits == 8 ? 255 : 1);
  EXPECT_TRUE(m.Full);
  EXPECT_EQ(m.X2, 12);
  EXPECT_EQ(m.Y2, 5);
  m.RecomputeBox();
  EXPECT_TRUE(m.Full);
  m.SetPixel(3, 3, bits == 8 ? 254 : 0);
  EXPECT_FALSE(m.Full);
  m.Clear();
  EXPECT_TRUE(m.IsBoxEmpty());
  EXPECT_EQ(m.GetPixel(3, 4), 0);
}

INSTANTIATE_TEST_SUITE_P(Depths, MaskBitsTest, ::testing::Values(1, 8));

TEST(PxMask, RefusedSizes) {
  TPxMask m;
  EXPECT_FALSE(m.Allocate(10, 10, 4));
  EXPECT_FALSE(m.Allocate(0, 10, 8));
  EXPECT_FALSE(m.Allocate(INT32_MAX, INT32_MAX, 8));
  EXPECT_TRUE(m.IsEmpty());
  EXPECT_EQ(m.GetPixel(0, 0), 0);
  m.SetPixel(0, 0, 1);  // ignored on an empty mask
  EXPECT_TRUE(m.IsBoxEmpty());
  EXPECT_EQ(m.Color, MakeBGR(255, 255, 255));
}
