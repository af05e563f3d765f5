// Pictures of every colour kind placed one after another: each working file
// keeps the colour kind of its own picture, whatever was placed before it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "app/layout.h"
#include "imaging/io/imagingio.h"
#include "imaging/view/imagingview.h"
#include "util/testutil.h"

namespace {

namespace fs = std::filesystem;

const std::string kConvert = "/usr/bin/convert";

enum class Kind { Gray, Colour, Cmyk };

const char* Name(Kind k) { return k == Kind::Gray ? "gray" : k == Kind::Colour ? "colour" : "CMYK"; }

struct Picture {
  const char* File;
  const char* Options;  // ImageMagick's output options for the file
  Kind Of;
};

// Landscape pictures, so that the portrait areas turn them and write t.png too.
const Picture kPictures[] = {
    {"gray.jpg", "-colorspace Gray -type Grayscale", Kind::Gray},
    {"colour.jpg", "", Kind::Colour},
    {"cmyk.jpg", "-colorspace CMYK", Kind::Cmyk},
    {"gray.png", "-colorspace Gray -type Grayscale -define png:color-type=0", Kind::Gray},
    {"palette.png", "-colors 16 -type Palette", Kind::Colour},
    {"colour.png", "-define png:color-type=2", Kind::Colour},
    {"deep.png", "-depth 16 -define png:color-type=2", Kind::Colour},
    {"gray16.png", "-colorspace Gray -depth 16 -define png:color-type=0", Kind::Gray},
};
constexpr int kCount = static_cast<int>(std::size(kPictures));

// A walk through every ordered pair of different pictures exactly once
// (an Euler circuit of the complete directed graph).
std::vector<int> EveryOrderedPair() {
  std::vector<std::vector<int>> next(kCount);
  for (int a = 0; a < kCount; ++a)
    for (int b = kCount - 1; b >= 0; --b)
      if (a != b) next[a].push_back(b);
  std::vector<int> stack{0}, walk;
  while (!stack.empty()) {
    const int v = stack.back();
    if (next[v].empty()) {
      walk.push_back(v);
      stack.pop_back();
    } else {
      stack.push_back(next[v].back());
      next[v].pop_back();
    }
  }
  std::reverse(walk.begin(), walk.end());
  return walk;
}

Kind KindOfFile(const std::string& file) {
  TImagingIO io;
  io.ReadParamsFromFile(file);
  EXPECT_NE(io.Params.FileType, 0) << file;
  if (io.Params.FileType == ioJPEG)
    return io.Params.JpegColorSpace == 1   ? Kind::Gray
           : io.Params.JpegColorSpace >= 3 ? Kind::Cmyk
                                           : Kind::Colour;
  const bool grayPalette = std::all_of(io.Params.ColorMap.begin(), io.Params.ColorMap.end(),
                                       [](TBGR c) { return c.r == c.g && c.g == c.b; });
  return io.Params.SamplesPerPixel <= 2 && grayPalette ? Kind::Gray : Kind::Colour;
}

class PlaceColoursTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(testutil::HaveTool(kConvert));
    pictures_ = std::make_unique<testutil::TempDir>();
    for (const Picture& p : kPictures) {
      auto r = testutil::RunCommand(kConvert + " -size 400x300 gradient:red-blue " + p.Options + " '" +
                                    pictures_->File(p.File) + "'");
      ASSERT_EQ(r.status, 0) << r.output;
    }
    // The pictures themselves are of the kinds they stand for.
    for (const Picture& p : kPictures) {
      const Kind k = KindOfFile(pictures_->File(p.File));
      ASSERT_EQ(k, p.Of) << p.File << " is " << Name(k);
    }
  }
  static void TearDownTestSuite() { pictures_.reset(); }
  static std::string PictureFile(int i) { return pictures_->File(kPictures[i].File); }

  static std::unique_ptr<testutil::TempDir> pictures_;
};
std::unique_ptr<testutil::TempDir> PlaceColoursTest::pictures_;

TEST_F(PlaceColoursTest, EveryPairThroughOneWorkView) {
  testutil::TempDir dir;
  for (const char* f : {"bkpage.png", "blankpage.png"})
    fs::copy_file(testutil::SourceDir() + "/data/" + f, dir.File(f));
  testutil::WriteFileBytes(dir.File("layouts.txt"),
                           ":Two\r\nleft|2950 2275 61950 65975\r\nright|64900 2275 100300 34125\r\n"
                           ":end\r\n");
  TImagingVect page;
  TImagingView work;
  XaLayout layout(&page, dir.File("layouts.txt"), dir.Path().string());
  layout.WorkView = &work;
  layout.SetUpPage();
  layout.LoadLayout("Two");
  const std::vector<int> walk = EveryOrderedPair();
  ASSERT_EQ(walk.size(), size_t(kCount * (kCount - 1) + 1));
  for (size_t n = 0; n < walk.size(); ++n) {
    const Picture& p = kPictures[walk[n]];
    const int area = static_cast<int>(n % 2);
    SCOPED_TRACE(std::string(p.File) + (n ? std::string(" after ") + kPictures[walk[n - 1]].File : ""));
    for (int mode = 0; mode < 3; ++mode) {
      layout.Crop = mode == 1;
      layout.Stretch = mode == 2;
      layout.DropPicture(area, PictureFile(walk[n]));
      EXPECT_EQ(KindOfFile(layout.PrintFile(area)), p.Of) << "mode " << mode;
      EXPECT_EQ(KindOfFile(layout.ScreenFile(area)), p.Of) << "mode " << mode;
      // The turn file keeps the picture's colour or gray; CMYK is read as colour.
      EXPECT_EQ(KindOfFile(dir.File("t.png")), p.Of == Kind::Gray ? Kind::Gray : Kind::Colour);
    }
  }
}

TEST_F(PlaceColoursTest, EveryPairThroughTheCommandLine) {
  const std::vector<int> walk = EveryOrderedPair();
  // Nine wallets a run; each run starts with the picture the last one ended
  // with, so that every pair meets within one run.
  for (size_t from = 0; from + 1 < walk.size(); from += 8) {
    const size_t to = std::min(walk.size(), from + 9);
    testutil::TempDir out;
    std::string command = "'" + testutil::BinDir() + "/pictrova-cli' place --layout '9 wallets' --out '" +
                          out.Path().string() + "'";
    for (size_t n = from; n < to; ++n) command += " '" + PictureFile(walk[n]) + "'";
    auto r = testutil::RunCommand(command);
    ASSERT_EQ(r.status, 0) << r.output;
    // The folder holds the full-resolution files only, one per picture,
    // named by position and area (the reduced ones are checked through the
    // work view above).
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(out.Path())) files += entry.is_regular_file();
    EXPECT_EQ(files, to - from);
    for (size_t n = from; n < to; ++n) {
      const Picture& p = kPictures[walk[n]];
      const int position = static_cast<int>(n - from) + 1;
      const std::string file = out.File("0" + std::to_string(position) + "-wallet " + std::to_string(position) + ".jpg");
      EXPECT_EQ(KindOfFile(file), p.Of) << p.File << " in area " << position;
    }
  }
}

}  // namespace
