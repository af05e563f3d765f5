// pictrova-cli thumbnails run as a program: its thumbnails against
// ImageMagick's reduction of the same pictures, a broken picture among good
// ones, and another thumbnail size.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "util/testutil.h"

namespace {

const std::string kConvert = "/usr/bin/convert";
const std::string kIdentify = "/usr/bin/identify";

std::string Cli() { return testutil::BinDir() + "/pictrova-cli"; }
std::string Quote(const std::string& s) { return "'" + s + "'"; }

std::string IdentifySize(const std::string& file) {
  return testutil::RunCommand(kIdentify + " -format '%w %h' " + Quote(file)).output;
}

std::string Pixels(const std::string& file) {
  return testutil::RunCommand(kConvert + " " + Quote(file) + " -depth 8 rgb:-").output;
}

// Mean absolute difference of two 8-bit RGB dumps of equal size; -1 when unequal.
double MeanDifference(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return -1;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i])));
  return sum / double(a.size());
}

class CliThumbs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testutil::HaveTool(Cli())) GTEST_SKIP() << "pictrova-cli is not built";
    if (!testutil::HaveTool(kConvert) || !testutil::HaveTool(kIdentify))
      GTEST_SKIP() << "ImageMagick is not installed";
  }
  std::string Make(const std::string& name, const std::string& what, int w, int h) {
    const std::string file = dir.File(name);
    const auto r = testutil::RunCommand(kConvert + " -size " + std::to_string(w) + "x" +
                                        std::to_string(h) + " " + what + " " + Quote(file));
    EXPECT_EQ(r.status, 0) << r.output;
    return file;
  }
  // ImageMagick's reduction to fit W x H, next to the picture.
  std::string Reference(const std::string& file, int w, int h) {
    const std::string ref = file + ".ref.png";
    const auto r = testutil::RunCommand(kConvert + " " + Quote(file) + " -resize " + std::to_string(w) +
                                        "x" + std::to_string(h) + " " + Quote(ref));
    EXPECT_EQ(r.status, 0) << r.output;
    return ref;
  }
  void ExpectClose(const std::string& file, const std::string& thumb, int w, int h) {
    ASSERT_TRUE(std::filesystem::exists(thumb)) << thumb;
    const std::string ref = Reference(file, w, h);
    EXPECT_EQ(IdentifySize(thumb), IdentifySize(ref)) << file;
    const double d = MeanDifference(Pixels(thumb), Pixels(ref));
    EXPECT_GE(d, 0) << file;
    EXPECT_LT(d, 6.0) << file;
  }
  testutil::TempDir dir;
};

TEST_F(CliThumbs, FitTheCellAsImageMagickReduces) {
  const std::string a = Make("wide.jpg", "gradient:red-blue", 900, 500);
  const std::string b = Make("tall.png", "gradient:yellow-green", 200, 700);
  const std::string c = Make("small.png", "gradient:white-black", 60, 40);
  const std::string out = dir.File("out");
  const auto r = testutil::RunCommand(Cli() + " thumbnails --out " + Quote(out) + " " + Quote(a) + " " +
                                      Quote(b) + " " + Quote(c));
  ASSERT_EQ(r.status, 0) << r.output;
  ExpectClose(a, out + "/wide.jpg.png", 128, 128);
  ExpectClose(b, out + "/tall.png.png", 128, 128);
  // A picture smaller than the cell is brought to it, as ImageMagick does.
  ExpectClose(c, out + "/small.png.png", 128, 128);
}

TEST_F(CliThumbs, BrokenPictureIsNamedAndTheOthersWritten) {
  const std::string a = Make("a.jpg", "gradient:red-blue", 400, 300);
  const std::string broken = dir.File("broken.jpg");
  testutil::WriteFileBytes(broken, std::string("\xFF\xD8\xFF\xE0 not a picture", 19));
  const std::string b = Make("b.png", "gradient:white-navy", 300, 400);
  const std::string out = dir.File("out");
  const auto r = testutil::RunCommand(Cli() + " thumbnails --out " + Quote(out) + " " + Quote(a) + " " +
                                      Quote(broken) + " " + Quote(b));
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("broken.jpg"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("a.jpg"), std::string::npos) << r.output;
  EXPECT_FALSE(std::filesystem::exists(out + "/broken.jpg.png"));
  ExpectClose(a, out + "/a.jpg.png", 128, 128);
  ExpectClose(b, out + "/b.png.png", 128, 128);
}

TEST_F(CliThumbs, SizeChoosesTheCell) {
  const std::string a = Make("p.png", "gradient:red-blue", 640, 480);
  const std::string out = dir.File("out");
  const auto r = testutil::RunCommand(Cli() + " thumbnails --size 60 90 --out " + Quote(out) + " " + Quote(a));
  ASSERT_EQ(r.status, 0) << r.output;
  ExpectClose(a, out + "/p.png.png", 60, 90);
  EXPECT_NE(testutil::RunCommand(Cli() + " thumbnails --size 0 90 --out " + Quote(out) + " " + Quote(a)).status, 0);
}

}  // namespace
