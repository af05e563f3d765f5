// Rectangular selection and CropSel through a view's processing link.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/proc/imagingproc.h"

namespace {

// Stands in for a view: its current bitmap, background and selection.
struct FakeView {
  TPxBitmap bitmap;
  TPxSelection selection;
  int32_t background = 0x00FF00;
  int changes = 0;
  TImagingProc proc;

  FakeView(int w, int h) : bitmap(w, h, pxRGB24) {
    std::mt19937 rng(7);
    for (int y = 0; y < h; ++y)
      for (int i = 0; i < w * 3; ++i) bitmap.Scanline(y)[i] = static_cast<uint8_t>(rng());
    TImagingProcHost host;
    host.CurrentBitmap = [this] { return &bitmap; };
    host.OnBitmapChanged = [this] { ++changes; };
    host.Background = [this] { return background; };
    host.Selection = [this] { return &selection; };
    proc.AttachView(std::move(host));
  }
  bool Select(int x1, int y1, int x2, int y2, int op = 0) {
    return selection.Select(x1, y1, x2, y2, op, bitmap.Width(), bitmap.Height());
  }
};

int CountMask(const TPxMask& m) {
  int n = 0;
  for (int y = 0; y < m.Height(); ++y)
    for (int x = 0; x < m.Width(); ++x) n += m.GetPixel(x, y) != 0;
  return n;
}

struct CropCase {
  int x1, y1, x2, y2;
  int w, h, ox, oy;  // expected size and the source of the new pixel (0, 0)
};
class SelectCrop : public ::testing::TestWithParam<CropCase> {};

TEST_P(SelectCrop, CropKeepsTheSelectedRectangle) {
  const CropCase c = GetParam();
  FakeView v(1000, 700);
  TPxBitmap src;
  src.Assign(v.bitmap);
  ASSERT_TRUE(v.Select(c.x1, c.y1, c.x2, c.y2));
  ASSERT_TRUE(v.selection.Selected());
  EXPECT_EQ(CountMask(v.selection.Mask()), c.w * c.h);
  v.proc.CropSel();
  ASSERT_EQ(v.bitmap.Width(), c.w);
  ASSERT_EQ(v.bitmap.Height(), c.h);
  for (int y = 0; y < c.h; ++y)
    ASSERT_EQ(0, std::memcmp(v.bitmap.Scanline(y), src.Scanline(c.oy + y) + c.ox * 3, c.w * 3)) << y;
  EXPECT_EQ(v.changes, 1);
  EXPECT_EQ(v.proc.UndoCaption(0), "CropSel");
  EXPECT_TRUE(v.selection.Selected());  // the selection itself stays
}

INSTANTIATE_TEST_SUITE_P(Cases, SelectCrop,
                         ::testing::Values(CropCase{100, 50, 900, 650, 800, 600, 100, 50},
                                           CropCase{900, 650, 100, 50, 800, 600, 100, 50},    // any corner order
                                           CropCase{100, 50, 1200, 650, 900, 600, 100, 50},   // cut at the right edge
                                           CropCase{-40, -10, 30, 20, 30, 20, 0, 0},          // cut at the origin
                                           CropCase{999, 699, 2000, 2000, 1, 1, 999, 699}));  // last pixel

TEST(Select, EmptyRectangleChangesNothingNotEvenAnExistingSelection) {
  FakeView v(50, 40);
  ASSERT_TRUE(v.Select(5, 5, 20, 15));
  const int before = CountMask(v.selection.Mask());
  EXPECT_FALSE(v.Select(10, 10, 10, 50));
  EXPECT_FALSE(v.Select(10, 10, 30, 10));
  EXPECT_TRUE(v.selection.Selected());
  EXPECT_EQ(CountMask(v.selection.Mask()), before);
  EXPECT_EQ(v.selection.Polygon().size(), 4u);
}

TEST(Select, AddingMakesAUnionAndCropFillsTheRestWithTheBackground) {
  FakeView v(60, 40);
  TPxBitmap src;
  src.Assign(v.bitmap);
  ASSERT_TRUE(v.Select(2, 3, 10, 8));
  ASSERT_TRUE(v.Select(20, 30, 25, 35, 1));
  ASSERT_EQ(v.selection.Polygon().size(), 9u);
  EXPECT_EQ(v.selection.Polygon()[4], TPxSelection::kSeparator);
  EXPECT_EQ(CountMask(v.selection.Mask()), 8 * 5 + 5 * 5);
  v.proc.CropSel();
  ASSERT_EQ(v.bitmap.Width(), 23);
  ASSERT_EQ(v.bitmap.Height(), 32);
  const TBGR bg = PxColorRefToBGR(0x00FF00);
  auto at = [](TPxBitmap& b, int x, int y) {
    const uint8_t* p = b.Scanline(y) + x * 3;
    return TBGR{p[0], p[1], p[2]};
  };
  EXPECT_EQ(at(v.bitmap, 0, 0), at(src, 2, 3));
  EXPECT_EQ(at(v.bitmap, 22, 31), at(src, 24, 34));
  EXPECT_EQ(at(v.bitmap, 12, 2), bg);  // between the two rectangles
  // Replacing starts over.
  ASSERT_TRUE(v.Select(0, 0, 3, 3, 0));
  EXPECT_EQ(CountMask(v.selection.Mask()), 9);
}

TEST(Select, OutsideTheImageLeavesNoSelection) {
  FakeView v(30, 20);
  v.Select(-20, -20, -5, -5);
  EXPECT_FALSE(v.selection.Selected());
  EXPECT_TRUE(v.selection.Polygon().empty());
  v.proc.CropSel();
  EXPECT_EQ(v.bitmap.Width(), 30);
}

TEST(Select, ClientCoordinatesGoThroughTheConversion) {
  FakeView v(100, 80);
  // A view zoomed by two with the picture 10 client pixels from the left.
  auto toBitmap = [](int& x, int& y) {
    x = (x - 10) / 2;
    y = y / 2;
  };
  ASSERT_TRUE(v.selection.Select(30, 20, 70, 60, 0, 100, 80, toBitmap));
  const TPxMask& m = v.selection.Mask();
  EXPECT_EQ(m.X1, 10);
  EXPECT_EQ(m.Y1, 10);
  EXPECT_EQ(m.X2, 29);
  EXPECT_EQ(m.Y2, 29);
}

TEST(CropSel, WithoutSelectionOrViewNothingChanges) {
  FakeView v(30, 20);
  v.proc.CropSel();
  EXPECT_EQ(v.bitmap.Width(), 30);
  EXPECT_EQ(v.changes, 1);
  v.Select(1, 1, 5, 5);
  v.selection.Deselect();
  EXPECT_FALSE(v.selection.Selected());
  EXPECT_TRUE(v.selection.Mask().IsEmpty());
  v.proc.CropSel();
  EXPECT_EQ(v.bitmap.Width(), 30);
  // A bare bitmap has no selection to crop to.
  TPxBitmap bare(8, 8, pxRGB24);
  TImagingProc proc(&bare);
  proc.CropSel();
  EXPECT_EQ(bare.Width(), 8);
}

class CropFormat : public ::testing::TestWithParam<TPxPixelFormat> {};

TEST_P(CropFormat, EveryPixelFormatIsCutPixelForPixel) {
  const TPxPixelFormat pf = GetParam();
  TPxBitmap b(37, 21, pf);
  std::mt19937 rng(3);
  for (int y = 0; y < 21; ++y)
    for (int i = 0; i < b.RowBytes(); ++i) b.Scanline(y)[i] = static_cast<uint8_t>(rng());
  TPxBitmap src;
  src.Assign(b);
  TPxSelection sel;
  ASSERT_TRUE(sel.Select(5, 3, 30, 17, 0, 37, 21));
  TImagingProc proc;
  TImagingProcHost host;
  host.CurrentBitmap = [&b] { return &b; };
  host.Selection = [&sel] { return &sel; };
  proc.AttachView(host);
  proc.CropSel();
  ASSERT_EQ(b.Width(), 25);
  ASSERT_EQ(b.Height(), 14);
  ASSERT_EQ(b.PixelFormat(), pf);
  const int bits = b.BitCount();
  for (int y = 0; y < 14; ++y)
    for (int x = 0; x < 25; ++x) {
      if (bits == 1) {
        auto bit = [](TPxBitmap& m, int px, int py) { return (m.Scanline(py)[px >> 3] >> (7 - (px & 7))) & 1; };
        ASSERT_EQ(bit(b, x, y), bit(src, x + 5, y + 3)) << x << "," << y;
      } else {
        const int n = bits / 8;
        ASSERT_EQ(0, std::memcmp(b.Scanline(y) + x * n, src.Scanline(y + 3) + (x + 5) * n, n)) << x << "," << y;
      }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, CropFormat, ::testing::Values(px1g, px8g, px16g, pxRGB24, pxCMYK, pxRGB48));

TEST(CropSel, AlphaIsCutAlongAndDroppedWhenOpaque) {
  FakeView v(40, 30);
  v.bitmap.AlphaChannel();
  v.bitmap.Alpha(5, 5, 100);
  ASSERT_TRUE(v.Select(4, 4, 10, 10));
  v.proc.CropSel();
  ASSERT_TRUE(v.bitmap.HasAlphaChannel());
  EXPECT_EQ(v.bitmap.Alpha(1, 1), 100);
  EXPECT_EQ(v.bitmap.Alpha(0, 0), 255);
  ASSERT_TRUE(v.Select(2, 2, 6, 6));  // away from the translucent pixel
  v.proc.CropSel();
  EXPECT_EQ(v.bitmap.Width(), 4);
  EXPECT_FALSE(v.bitmap.HasAlphaChannel());
}

}  // namespace
