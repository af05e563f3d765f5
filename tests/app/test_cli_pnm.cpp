// pictrova-cli converting to and from PBM, PGM, PPM and WBMP files, checked
// with ImageMagick's reading of the same files.
#include <gtest/gtest.h>

#include <string>

#include "util/testutil.h"

namespace {

const std::string kConvert = "/usr/bin/convert";
const std::string kIdentify = "/usr/bin/identify";

std::string Cli() { return testutil::BinDir() + "/pictrova-cli"; }
std::string Quote(const std::string& s) { return "'" + s + "'"; }

std::string Pixels(const std::string& file) {
  return testutil::RunCommand(kConvert + " " + Quote(file) + " -depth 8 rgb:-").output;
}
std::string Identify(const std::string& file) {
  return testutil::RunCommand(kIdentify + " -format '%m %w %h' " + Quote(file)).output;
}

class CliPnm : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testutil::HaveTool(Cli())) GTEST_SKIP() << "pictrova-cli is not built";
    if (!testutil::HaveTool(kConvert) || !testutil::HaveTool(kIdentify))
      GTEST_SKIP() << "ImageMagick is not installed";
  }
  // A picture made by ImageMagick; `prefix` names its output format.
  std::string Make(const std::string& name, const std::string& options, const std::string& prefix = "") {
    const std::string file = dir.File(name);
    auto r = testutil::RunCommand(kConvert + " -size 45x31 gradient:orange-navy -seed 5 -attenuate 0.4 "
                                  "+noise Uniform -depth 8 " + options + " " + Quote(prefix + file));
    EXPECT_EQ(r.status, 0) << r.output;
    return file;
  }
  testutil::TempDir dir;
};

TEST_F(CliPnm, ConvertWritesEachKindThatImageMagickReadsBack) {
  struct Case {
    const char* in;
    const char* options;  // how ImageMagick makes the input
    const char* prefix;
    const char* out;
    const char* kind;     // what ImageMagick says the output is
  } cases[] = {
      {"colour.png", "", "PNG24:", "out.ppm", "PPM 45 31"},
      {"gray.png", "-colorspace gray -define png:color-type=0", "", "out.pgm", "PGM 45 31"},
      {"bilevel.png", "-monochrome", "", "out.pbm", "PBM 45 31"},
      {"bilevel2.png", "-monochrome", "", "out.wbmp", "WBMP 45 31"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    const std::string in = Make(c.in, c.options, c.prefix);
    const std::string out = dir.File(c.out);
    auto r = testutil::RunCommand(Cli() + " convert " + Quote(in) + " " + Quote(out));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(Identify(out), c.kind);
    EXPECT_EQ(Pixels(out), Pixels(in));
  }
}

TEST_F(CliPnm, ConvertReadsWhatImageMagickWrites) {
  struct Case {
    const char* name;
    const char* options;
  } cases[] = {{"a.ppm", ""}, {"b.pgm", ""}, {"c.pbm", "-monochrome"}, {"d.wbmp", "-monochrome"},
               {"e.ppm", "-depth 16"}, {"f.pgm", "-compress none"}};
  for (const Case& c : cases) {
    const std::string name = c.name;
    SCOPED_TRACE(name);
    const std::string in = Make(name, c.options);
    const std::string out = dir.File(name + ".png");
    auto r = testutil::RunCommand(Cli() + " convert " + Quote(in) + " " + Quote(out));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(Pixels(out), Pixels(in));
  }
}

TEST_F(CliPnm, InfoShowsTheFormatAndItsComments) {
  const std::string file = dir.File("noted.pgm");
  testutil::WriteFileBytes(file, "P2\n# scanned at the office\n# second\n3 2\n255\n1 2 3 4 5 6\n");
  auto r = testutil::RunCommand(Cli() + " info " + Quote(file));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, file + ": Portable Pixmap, GrayMap, BitMap, 3 x 2 pixels, 300 x 300 dpi "
                             "(the file stores no resolution), 8 bits per sample, 1 sample per pixel\n"
                             "  2 comments, the first \"scanned at the office\"\n");
  const std::string wbmp = Make("phone.wbmp", "-monochrome");
  r = testutil::RunCommand(Cli() + " info " + Quote(wbmp));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(": Wireless Bitmap, 45 x 31 pixels"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("1 bits per sample, 1 sample per pixel\n  type 0, black and white\n"),
            std::string::npos)
      << r.output;
}

}  // namespace
