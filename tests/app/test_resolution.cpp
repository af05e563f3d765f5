// The resolution each placed picture prints at, its warnings and marks, and
// the print resolution its working file is tagged with.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "app/layout.h"
#include "app/resolution.h"
#include "imaging/io/imagingio.h"
#include "imaging/core/pxutils.h"
#include "imaging/view/imagingview.h"
#include "util/testutil.h"

namespace {

namespace fs = std::filesystem;

const char* const kIdentify = "/usr/bin/identify";
const char* const kExiftool = "/usr/bin/exiftool";

// A gray picture with a light diagonal, so that its JPEG is not trivial.
void WritePicture(const std::string& file, int w, int h, bool exif = false) {
  TImagingIO io;
  TPxBitmap* bmp = io.Bitmap();
  ASSERT_TRUE(bmp->Allocate(w, h, pxRGB24));
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bmp->Scanline(y);
    for (int x = 0; x < w; ++x) std::memset(row + 3 * x, (x + y) % 64 < 4 ? 230 : 90, 3);
  }
  io.Params.HasExif = exif;
  io.Params.ExifMake = exif ? "Pictrova test camera" : "";
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting) << file;
}

// What ImageMagick reads of a file: pixels, resolution and its unit.
struct Identified {
  int w = 0, h = 0;
  double x = 0, y = 0;
  std::string unit;
};

Identified Identify(const std::string& file) {
  Identified id;
  auto r = testutil::RunCommand(std::string(kIdentify) + " -format '%w %h %x %y %U' '" + file + "'");
  EXPECT_EQ(r.status, 0) << r.output;
  std::istringstream in(r.output);
  in >> id.w >> id.h >> id.x >> id.y >> id.unit;
  return id;
}

class ResolutionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* f : {"bkpage.png", "blankpage.png"})
      fs::copy_file(testutil::SourceDir() + "/data/" + f, dir.File(f));
    // The program's 8x10 area (800 x 1000 page pixels) and two small ones.
    testutil::WriteFileBytes(dir.File("layouts.txt"),
                             ":8x10\r\n8x10|2950 4550 97350 95550\r\n"
                             ":Two\r\nleft|2950 2275 61950 65975\r\n"   // 500 x 700
                             "right|64900 2275 100300 34125\r\n"        // 300 x 350
                             ":end\r\n");
    layout = std::make_unique<XaLayout>(&page, dir.File("layouts.txt"), dir.Path().string());
    layout->WorkView = &work;
    layout->SetUpPage();
  }

  void Place(const std::string& picture, int area, int fit) {
    layout->Crop = fit == 1;
    layout->Stretch = fit == 2;
    layout->DropPicture(area, picture);
  }

  testutil::TempDir dir;
  TImagingVect page;
  TImagingView work;
  std::unique_ptr<XaLayout> layout;
};

// On the 8x10 area (8 inches across, 10 down) after the quarter turn and the
// fit; ImageMagick reads the print file's pixels and resolution.
TEST_F(ResolutionTest, FigureAfterTheTurnAndTheFit) {
  if (!testutil::HaveTool(kIdentify)) GTEST_SKIP() << "ImageMagick is not installed";
  const struct {
    int w, h, fit;  // fit: 0 Don't Crop, 1 Crop, 2 Stretch
    int ppi;
    bool low;
  } cases[] = {
      // Turned to 400 x 600: stretched to 400 x 500, 50 pixels per inch both ways.
      {600, 400, 2, 50, true},
      // Padded to 400 x 500: the same figure.
      {600, 400, 0, 50, true},
      // Cropped within the picture: 400 x 600, softer across (50) than down (60).
      {600, 400, 1, 50, true},
      // Turned to 3000 x 4000, padded to 3000 x 3750.
      {4000, 3000, 0, 375, false},
      // The area's proportions: placed as they are; 150 is enough, 149 not.
      {1200, 1500, 0, 150, false},
      {1192, 1490, 0, 149, true},
  };
  layout->LoadLayout("8x10");
  for (const auto& c : cases) {
    const std::string picture = dir.File("in" + std::to_string(c.w) + ".jpg");
    WritePicture(picture, c.w, c.h);
    Place(picture, 0, c.fit);
    const std::string at = std::to_string(c.w) + "x" + std::to_string(c.h) + " fit " + std::to_string(c.fit);
    EXPECT_EQ(XaAreaResolution(*layout, 0), c.ppi) << at;
    EXPECT_EQ(XaLowResolution(*layout, 0), c.low) << at;
    const Identified id = Identify(layout->PrintFile(0));
    EXPECT_EQ(id.w, layout->Areas[0]->PixelWidth) << at;
    EXPECT_EQ(id.h, layout->Areas[0]->PixelHeight) << at;
    EXPECT_EQ(std::lround(std::min(id.w / 8.0, id.h / 10.0)), c.ppi) << at;
    // The print file is tagged so that it measures 8 x 10 inches.
    EXPECT_EQ(id.unit, "PixelsPerInch") << at;
    EXPECT_NEAR(id.w / id.x, 8.0, 0.5 * 8 / id.x + 1e-9) << at;
    EXPECT_NEAR(id.h / id.y, 10.0, 0.5 * 10 / id.y + 1e-9) << at;
    // The screen file stands for the same inches at 100 page pixels each.
    const Identified screen = Identify(layout->ScreenFile(0));
    EXPECT_EQ(screen.w, 800);
    EXPECT_EQ(screen.x, 100);
    EXPECT_EQ(screen.y, 100);
  }
}

TEST_F(ResolutionTest, ResizingTheAreaChangesTheFigureAndTheMark) {
  layout->LoadLayout("8x10");
  WritePicture(dir.File("p.jpg"), 1000, 1250);
  Place(dir.File("p.jpg"), 0, 0);
  TPxLayer& layer = *page.Layer(1);
  const struct {
    int width, height;  // the layer's size on the page
    int ppi;
  } sizes[] = {
      {800, 1000, 125},  // as placed
      {400, 500, 250},   // half the size: twice the pixels per inch
      {800, 500, 125},   // stretched across only: the softer direction counts
      {1600, 2000, 63},
      {667, 834, 150},
  };
  for (const auto& s : sizes) {
    layer.Width = s.width;
    layer.Height = s.height;
    XaMarkLowResolution(*layout);
    const bool low = s.ppi < 150;
    EXPECT_EQ(XaAreaResolution(*layout, 0), s.ppi) << s.width;
    EXPECT_EQ(layer.Badge, low ? pxlbWarning : pxlbNone) << s.width;
    const std::string figure = std::to_string(s.ppi) + " pixels per inch";
    EXPECT_EQ(XaAreaResolutionText(*layout, 0),
              "8x10: " + figure + (low ? ", too few for a sharp print" : ""));
    const std::vector<std::string> warnings = XaLowResolutionWarnings(*layout);
    if (low) {
      ASSERT_EQ(warnings.size(), 1u);
      EXPECT_EQ(warnings[0], "\"8x10\" prints at " + figure + ", fewer than 150: it may look blurred.");
      EXPECT_EQ(layer.BadgeText, warnings[0]);
    } else {
      EXPECT_TRUE(warnings.empty()) << warnings[0];
      EXPECT_EQ(layer.BadgeText, "");
    }
  }
}

TEST_F(ResolutionTest, OnlyAreasWithAPictureHaveAFigure) {
  layout->LoadLayout("Two");
  WritePicture(dir.File("small.png"), 200, 280);
  WritePicture(dir.File("large.png"), 900, 1050);
  XaMarkLowResolution(*layout);
  for (int i : {-1, 0, 1, 2}) {
    EXPECT_EQ(XaAreaResolution(*layout, i), 0) << i;
    EXPECT_EQ(XaAreaResolutionText(*layout, i), "") << i;
  }
  EXPECT_EQ(page.Layer(1)->Badge, pxlbNone);
  Place(dir.File("small.png"), 0, 0);  // 200 px over 5 inches
  Place(dir.File("large.png"), 1, 0);  // 900 px over 3 inches
  XaMarkLowResolution(*layout);
  EXPECT_EQ(XaAreaResolution(*layout, 0), 40);
  EXPECT_EQ(XaAreaResolution(*layout, 1), 300);
  EXPECT_EQ(page.Layer(1)->Badge, pxlbWarning);
  EXPECT_EQ(page.Layer(2)->Badge, pxlbNone);
  EXPECT_EQ(XaLowResolutionWarnings(*layout),
            std::vector<std::string>{"\"left\" prints at 40 pixels per inch, fewer than 150: it may look blurred."});
  // A picture that cannot be placed keeps the area's figure and mark.
  testutil::WriteFileBytes(dir.File("broken.jpg"), "not a picture");
  EXPECT_THROW(Place(dir.File("broken.jpg"), 0, 0), XaPlaceError);
  XaMarkLowResolution(*layout);
  EXPECT_EQ(XaAreaResolution(*layout, 0), 40);
  EXPECT_EQ(page.Layer(1)->Badge, pxlbWarning);
  // A new layout starts without marks.
  layout->LoadLayout("Two");
  XaMarkLowResolution(*layout);
  EXPECT_EQ(page.Layer(1)->Badge, pxlbNone);
  EXPECT_TRUE(XaLowResolutionWarnings(*layout).empty());
}

TEST(PrintResolution, SofterDirectionRounded) {
  EXPECT_EQ(XaPrintResolution(3000, 4200, 500, 700), 600);
  EXPECT_EQ(XaPrintResolution(3000, 4000, 500, 700), 571);  // 571.4 down
  EXPECT_EQ(XaPrintResolution(1497, 3000, 1000, 500), 150);  // 149.7 across
  EXPECT_EQ(XaPrintResolution(1494, 3000, 1000, 500), 149);
  EXPECT_EQ(XaPrintResolution(0, 10, 100, 100), 0);
  EXPECT_EQ(XaPrintResolution(10, 10, 0, 100), 0);
}

// A picture with EXIF keeps it in its print file: both the JFIF density and the
// EXIF resolution say the area's inches, as exiftool reads them.
TEST_F(ResolutionTest, PrintFileWithExifCarriesTheResolutionInBoth) {
  if (!testutil::HaveTool(kExiftool)) GTEST_SKIP() << "exiftool is not installed";
  layout->LoadLayout("Two");
  WritePicture(dir.File("camera.jpg"), 2000, 2800, true);  // the area's proportions
  Place(dir.File("camera.jpg"), 0, 0);
  auto r = testutil::RunCommand(std::string(kExiftool) +
                                " -a -G1 -s -XResolution -YResolution -ResolutionUnit -Make '" +
                                layout->PrintFile(0) + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  // Lines such as "[IFD0]   XResolution   : 400", as GROUP:Tag -> value.
  std::map<std::string, std::string> tags;
  std::istringstream lines(r.output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string group, tag, colon, value;
    words >> group >> tag >> colon;
    std::getline(words >> std::ws, value);
    if (group.size() > 2 && colon == ":") tags[group.substr(1, group.size() - 2) + ":" + tag] = value;
  }
  // 2000 px over 5 inches, 2800 over 7.
  const std::map<std::string, std::string> expected = {
      {"JFIF:XResolution", "400"}, {"JFIF:YResolution", "400"}, {"JFIF:ResolutionUnit", "inches"},
      {"IFD0:XResolution", "400"}, {"IFD0:YResolution", "400"}, {"IFD0:ResolutionUnit", "inches"},
      {"IFD0:Make", "Pictrova test camera"}};
  EXPECT_EQ(tags, expected) << r.output;
}

}  // namespace
