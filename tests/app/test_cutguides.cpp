// Cut guides: marks that continue each picture's edges out from its corners.
#include "app/cutguides.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

bool Overlap(const TPxDeviceRect& a, const TPxDeviceRect& b) {
  return a.X < b.X + b.W && b.X < a.X + a.W && a.Y < b.Y + b.H && b.Y < a.Y + a.H;
}

// The mark with exactly this rectangle is among the marks.
bool Has(const std::vector<TPxDeviceRect>& marks, TPxDeviceRect r) {
  return std::find(marks.begin(), marks.end(), r) != marks.end();
}

TEST(CutGuides, EachCornerOfALonePictureHasTwoStrokesOutward) {
  // 600 dpi: strokes a quarter inch (150) long and 6 thick.
  const TPxDeviceRect p{1000, 2000, 3000, 1800};
  const std::vector<TPxDeviceRect> marks = CutGuideMarks({p}, 600, 600);
  const std::vector<TPxDeviceRect> want = {
      {850, 2000, 150, 6},   {4000, 2000, 150, 6},   // along the top edge, left and right
      {850, 3794, 150, 6},   {4000, 3794, 150, 6},   // along the bottom edge
      {1000, 1850, 6, 150},  {1000, 3800, 6, 150},   // along the left side, up and down
      {3994, 1850, 6, 150},  {3994, 3800, 6, 150},   // along the right side
  };
  EXPECT_EQ(marks.size(), want.size());
  for (const TPxDeviceRect& w : want) EXPECT_TRUE(Has(marks, w)) << w.X << "," << w.Y << " " << w.W << "x" << w.H;
  // At 100 dpi a stroke is one pixel thick and 25 long.
  for (const TPxDeviceRect& m : CutGuideMarks({{100, 100, 400, 600}}, 100, 100))
    EXPECT_TRUE((m.W == 25 && m.H == 1) || (m.W == 1 && m.H == 25)) << m.W << "x" << m.H;
}

TEST(CutGuides, StrokesStopShortOfNeighboursAndNeverCoverAPicture) {
  // A sheet of nine wallets at 100 dpi: columns a quarter inch apart, rows
  // touching, and a tenth picture overlapping the last one.
  std::vector<TPxDeviceRect> pictures;
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 3; ++col) pictures.push_back({25 + 275 * col, 25 + 350 * row, 250, 350});
  pictures.push_back({700, 1000, 100, 100});
  const std::vector<TPxDeviceRect> marks = CutGuideMarks(pictures, 100, 100);
  for (const TPxDeviceRect& m : marks) {
    EXPECT_GT(m.W, 0);
    EXPECT_GT(m.H, 0);
    for (const TPxDeviceRect& p : pictures)
      EXPECT_FALSE(Overlap(m, p)) << "mark " << m.X << "," << m.Y << " " << m.W << "x" << m.H;
  }
  // The gap between columns takes the full stroke; between touching rows
  // there is no room, so the first wallet has no stroke down from its bottom.
  EXPECT_TRUE(Has(marks, {275, 25, 25, 1}));
  EXPECT_TRUE(Has(marks, {0, 374, 25, 1}));
  EXPECT_FALSE(Has(marks, {25, 375, 1, 25}));
  EXPECT_TRUE(Has(marks, {25, 0, 1, 25}));
  // A stroke that runs into a picture part way is cut back to its edge.
  const std::vector<TPxDeviceRect> near = CutGuideMarks({{100, 100, 100, 100}, {210, 50, 50, 60}}, 100, 100);
  EXPECT_TRUE(Has(near, {200, 100, 10, 1}));
  EXPECT_TRUE(Has(near, {199, 75, 1, 25}));  // beside the neighbour, not in it
  EXPECT_TRUE(CutGuideMarks({}, 100, 100).empty());
  EXPECT_TRUE(CutGuideMarks({{5, 5, 0, 10}}, 100, 100).empty());
}

}  // namespace
