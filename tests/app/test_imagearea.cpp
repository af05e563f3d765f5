#include "app/imagearea.h"

#include <gtest/gtest.h>

#include "app/layoutchoice.h"

namespace {

XaImageAreas ChooserRegions() {
  XaImageAreas regions;
  for (const auto& r : kLayoutRegions)
    regions.push_back(std::make_unique<XaImageArea>(r.Left, r.Top, r.Right, r.Bottom, r.Name));
  return regions;
}

TEST(ImageArea, HitTestOfChooserRegions) {
  const XaImageAreas regions = ChooserRegions();
  const struct {
    int x, y;
    const char* name;
  } cases[] = {{174, 179, "8x10"},           {175, 179, "2 5x7"},  {0, 50, "8x10"},
               {699, 469, "5x7,3.5x5,2 wallets"}, {0, 620, "4x6,3.5x5,2 wallets"},
               {100, 30, ""},                {300, 500, ""},       {700, 100, ""},
               {-1, 60, ""},                 {10, 621, ""}};
  for (const auto& c : cases) {
    int32_t i = HitImageArea(regions, c.x, c.y);
    EXPECT_EQ(i < 0 ? std::string() : regions[i]->Name, c.name) << c.x << "," << c.y;
  }
}

TEST(ImageArea, FirstRegisteredWinsWhereRegionsOverlap) {
  XaImageAreas regions;
  regions.push_back(std::make_unique<XaImageArea>(0, 0, 10, 10, "first"));
  regions.push_back(std::make_unique<XaImageArea>(5, 5, 20, 20, "second"));
  EXPECT_EQ(HitImageArea(regions, 7, 7), 0);
  EXPECT_EQ(HitImageArea(regions, 15, 15), 1);
}

}  // namespace
