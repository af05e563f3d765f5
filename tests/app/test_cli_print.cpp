// pictrova-cli print and place: the program's page code without a window.
#include <gtest/gtest.h>

#include <filesystem>

#include "imaging/io/imagingio.h"
#include "imaging/core/pxutils.h"
#include "util/testutil.h"

namespace {

namespace fs = std::filesystem;

std::string Cli() { return testutil::BinDir() + "/pictrova-cli"; }

void SolidPicture(const std::string& file, int w, int h, TBGR color) {
  TImagingIO io;
  ASSERT_TRUE(io.Bitmap()->Allocate(w, h, pxRGB24));
  for (int y = 0; y < h; ++y) {
    TBGR* row = reinterpret_cast<TBGR*>(io.Bitmap()->Scanline(y));
    for (int x = 0; x < w; ++x) row[x] = color;
  }
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting);
}

class CliPrintTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SolidPicture(dir.File("red.jpg"), 1500, 1000, MakeBGR(255, 0, 0));
    SolidPicture(dir.File("blue.png"), 900, 600, MakeBGR(0, 0, 255));
  }
  testutil::CommandResult Run(const std::string& args) {
    return testutil::RunCommand("cd '" + dir.Path().string() + "' && '" + Cli() + "' " + args);
  }
  testutil::TempDir dir;
};

struct Box {
  int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
};

// Bounding boxes of the strongly red and strongly blue pixels of a PPM page.
void FindBoxes(const std::string& ppm, Box& red, Box& blue, int& width, int& height) {
  const std::string data = testutil::ReadFileBytes(ppm);
  int maxval = 0, consumed = 0;
  ASSERT_EQ(std::sscanf(data.c_str(), "P6 %d %d %d%n", &width, &height, &maxval, &consumed), 3);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data()) + consumed + 1;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x, p += 3) {
      Box* b = (p[0] > 200 && p[1] < 60 && p[2] < 60) ? &red
               : (p[2] > 200 && p[0] < 60 && p[1] < 60) ? &blue : nullptr;
      if (!b) continue;
      b->left = std::min(b->left, x), b->top = std::min(b->top, y);
      b->right = std::max(b->right, x), b->bottom = std::max(b->bottom, y);
    }
}

TEST_F(CliPrintTest, PrintsEachPictureAtItsAreasInches) {
  auto r = Run("print --layout '2 4x6' --pdf page.pdf red.jpg blue.png");
  ASSERT_EQ(r.status, 0) << r.output;
  auto raster = testutil::RunCommand("pdftoppm -r 100 -singlefile '" + dir.File("page.pdf") + "' '" +
                                     dir.File("page") + "'");
  ASSERT_EQ(raster.status, 0) << raster.output;
  Box red, blue;
  int w = 0, h = 0;
  FindBoxes(dir.File("page.ppm"), red, blue, w, h);
  EXPECT_EQ(w, 850);
  EXPECT_EQ(h, 1100);
  // The layout's areas: 6 x 4 inches at (1.25, 1) and at (1.25, 6); at 100 dpi a
  // page pixel is a raster pixel.
  EXPECT_NEAR(red.left, 125, 1);
  EXPECT_NEAR(red.top, 100, 1);
  EXPECT_NEAR(red.right, 724, 1);
  EXPECT_NEAR(red.bottom, 499, 1);
  EXPECT_NEAR(blue.left, 125, 1);
  EXPECT_NEAR(blue.top, 600, 1);
  EXPECT_NEAR(blue.right, 724, 1);
  EXPECT_NEAR(blue.bottom, 999, 1);
  // The working files went to a folder of their own, not beside the pictures.
  EXPECT_FALSE(fs::exists(dir.File("layer0.jpg")));
}

TEST_F(CliPrintTest, FewerPicturesLeaveAreasEmpty) {
  auto r = Run("print --layout '4 3.5x5' --fit crop --pdf one.pdf red.jpg");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(fs::exists(dir.File("one.pdf")));
}

TEST_F(CliPrintTest, ErrorsSayOneLineAndExitNonZero) {
  testutil::WriteFileBytes(dir.File("broken.jpg"), "no picture");
  const struct {
    const char* args;
    int status;
    const char* says;
  } cases[] = {
      {"print --layout 'no such layout' --pdf x.pdf red.jpg", 1, "no such layout"},
      {"print --layout '8x10' --pdf x.pdf broken.jpg", 1, "broken.jpg"},
      {"print --layout '8x10' --pdf x.pdf missing.jpg", 1, "missing.jpg"},
      {"print --layout '8x10' --printer no-such-queue red.jpg", 1, "no-such-queue"},
      {"print --layout '8x10' --pdf /nonexistent/x.pdf red.jpg", 1, "/nonexistent/x.pdf"},
      {"print --layout '8x10' --pdf x.pdf red.jpg blue.png", 2, "2 pictures"},
      {"print --layout '8x10' red.jpg", 2, "--pdf"},
      {"print --layout '8x10' --pdf a.pdf --printer q red.jpg", 2, "--pdf"},
      {"print --pdf x.pdf red.jpg", 2, "--layout"},
      {"print --layout 8x10 --fit squash --pdf x.pdf red.jpg", 2, "squash"},
      {"place --layout 8x10 red.jpg", 2, "--out"},
  };
  for (const auto& c : cases) {
    auto r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << c.args << "\n" << r.output;
    if (c.status == 1) {
      EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
    }
  }
  EXPECT_FALSE(fs::exists(dir.File("x.pdf")));
}

TEST_F(CliPrintTest, PlaceLeavesTheWorkingFilesInTheFolder) {
  auto r = Run("place --layout '2 5x7' --fit stretch --out lab red.jpg blue.png");
  ASSERT_EQ(r.status, 0) << r.output;
  const struct {
    const char* file;
    int w, h;
  } files[] = {{"lab/layer0.jpg", 1400, 1000}, {"lab/layer0s.jpg", 700, 500},
               {"lab/layer1.jpg", 840, 600}, {"lab/layer1s.jpg", 700, 500}};
  for (const auto& f : files) {
    TImagingIO io;
    io.ReadParamsFromFile(dir.File(f.file));
    EXPECT_EQ(io.Params.Width, f.w) << f.file;
    EXPECT_EQ(io.Params.Height, f.h) << f.file;
  }
}

}  // namespace
