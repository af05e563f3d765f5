#include "layoutpicture.h"

#include <gtest/gtest.h>

#include "app/layoutchoice.h"
#include "util/testutil.h"

namespace {

// The shipped chooser picture must be exactly what the definitions draw, so
// that picture and definitions cannot disagree.
TEST(LayoutPicture, ShippedChooserMatchesDefinitions) {
  const std::string data = testutil::SourceDir() + "/data/";
  TRgbPicture drawn = DrawLayoutChooser(data + "printouts.txt");
  TRgbPicture shipped;
  ASSERT_TRUE(ReadRgbPng(data + "printouts.png", shipped));
  EXPECT_GE(shipped.Width, 700);
  EXPECT_GE(shipped.Height, 621);
  ASSERT_EQ(shipped.Width, drawn.Width);
  ASSERT_EQ(shipped.Height, drawn.Height);
  EXPECT_TRUE(shipped.Rgb == drawn.Rgb) << "regenerate with gen-printouts data/printouts.txt data";
}

// Every region shows a drawing of its own: its centre is not background.
TEST(LayoutPicture, EachRegionHoldsItsLayout) {
  TRgbPicture drawn = DrawLayoutChooser(testutil::SourceDir() + "/data/printouts.txt");
  const uint32_t background = drawn.At(0, drawn.Height - 1);
  for (const auto& r : kLayoutRegions) {
    int cx = (r.Left + r.Right) / 2, cy = (r.Top + r.Bottom) / 2;
    EXPECT_NE(drawn.At(cx, cy), background) << r.Name;
  }
}

TEST(LayoutPicture, GeneratorWritesAllPictures) {
  testutil::TempDir dir;
  auto result = testutil::RunCommand(testutil::BinDir() + "/../tools/gen-printouts " +
                                     testutil::SourceDir() + "/data/printouts.txt " +
                                     dir.Path().string());
  ASSERT_EQ(result.status, 0) << result.output;
  TRgbPicture sheet, slot;
  ASSERT_TRUE(ReadRgbPng(dir.File("bkpage.png"), sheet));
  EXPECT_EQ(sheet.Width, 850);
  EXPECT_EQ(sheet.Height, 1100);
  EXPECT_EQ(sheet.At(425, 550), 0xFFFFFFu);
  ASSERT_TRUE(ReadRgbPng(dir.File("blankpage.png"), slot));
  EXPECT_GT(slot.Width, 0);
  auto bad = testutil::RunCommand(testutil::BinDir() + "/../tools/gen-printouts /nonexistent " +
                                  dir.Path().string());
  EXPECT_EQ(bad.status, 1) << bad.output;
}

}  // namespace
