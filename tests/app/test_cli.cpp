// pictrova-cli run as a program, on files made by ImageMagick and libjpeg's
// tools, checked against what those tools say about the same files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "util/testutil.h"

namespace {

const std::string kConvert = "/usr/bin/convert";
const std::string kIdentify = "/usr/bin/identify";

std::string Cli() { return testutil::BinDir() + "/pictrova-cli"; }

std::string Quote(const std::string& s) { return "'" + s + "'"; }

testutil::CommandResult RunCli(const std::string& args) { return testutil::RunCommand(Cli() + " " + args); }

// What ImageMagick reports: "W H".
std::string IdentifySize(const std::string& file) {
  return testutil::RunCommand(kIdentify + " -format '%w %h' " + Quote(file)).output;
}

// The pixels of a file as ImageMagick decodes them (8-bit RGB).
std::string Pixels(const std::string& file) {
  return testutil::RunCommand(kConvert + " " + Quote(file) + " -depth 8 rgb:-").output;
}

size_t Lines(const std::string& s) {
  size_t n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

// Prefixed ImageMagick formats need the prefix on the name.
std::string FixPrefix(std::string options, std::string& file) {
  size_t colon = options.rfind(':');
  if (colon != std::string::npos && colon + 1 == options.size()) {
    size_t space = options.rfind(' ', colon);
    size_t start = space == std::string::npos ? 0 : space + 1;
    file = options.substr(start) + file;
    options.erase(start);
  }
  return options;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testutil::HaveTool(Cli())) GTEST_SKIP() << "pictrova-cli is not built";
    if (!testutil::HaveTool(kConvert) || !testutil::HaveTool(kIdentify))
      GTEST_SKIP() << "ImageMagick is not installed";
  }
  // A picture made by ImageMagick from its built-in gradient and noise.
  std::string Make(const std::string& name, const std::string& options, int w = 64, int h = 48) {
    const std::string file = dir.File(name);
    std::string target = file;
    std::string opts = FixPrefix(options, target);
    auto r = testutil::RunCommand(kConvert + " -size " + std::to_string(w) + "x" + std::to_string(h) +
                                  " gradient:orange-navy -seed 3 -attenuate 0.3 +noise Uniform -depth 8 " +
                                  opts + " " + Quote(target));
    EXPECT_EQ(r.status, 0) << r.output;
    return file;
  }
  testutil::TempDir dir;
};

struct InfoCase {
  const char* name;
  const char* file;
  const char* options;
  const char* format;
  int dpi, bits, samples;
  const char* own;     // how the second line, the format's own fields, starts
  bool stored = true;  // the file stores its resolution
};

class CliInfo : public CliTest, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(CliInfo, OneLineWithFormatSizeResolutionAndSamples) {
  const InfoCase& c = GetParam();
  std::string file = Make(c.file, c.options, 70, 30);
  auto r = RunCli("info " + Quote(file));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(Lines(r.output), 2u);
  const size_t second = r.output.find('\n') + 1;
  EXPECT_EQ(r.output.compare(second, std::strlen(c.own) + 2, std::string("  ") + c.own), 0) << r.output;
  int w = 0, h = 0, dx = 0, dy = 0, bits = 0, samples = 0;
  const std::string expectedStart = file + ": " + c.format + ", ";
  ASSERT_EQ(r.output.rfind(expectedStart, 0), 0u) << r.output;
  const char* rest = r.output.c_str() + expectedStart.size();
  int used = 0;
  ASSERT_EQ(std::sscanf(rest, "%d x %d pixels, %d x %d dpi%n", &w, &h, &dx, &dy, &used), 4) << r.output;
  rest += used;
  const std::string none = " (the file stores no resolution)";
  EXPECT_EQ(std::string(rest).rfind(none, 0) == 0, !c.stored) << r.output;
  if (!c.stored) rest += none.size();
  const std::string samplesWord = c.samples == 1 ? "sample" : "samples";
  ASSERT_EQ(std::sscanf(rest, ", %d bits per sample, %d", &bits, &samples), 2) << r.output;
  EXPECT_NE(r.output.find(" " + samplesWord + " per pixel\n"), std::string::npos) << r.output;
  EXPECT_EQ(std::to_string(w) + " " + std::to_string(h), IdentifySize(file));
  EXPECT_EQ(dx, c.dpi);
  EXPECT_EQ(dy, c.dpi);
  EXPECT_EQ(bits, c.bits);
  EXPECT_EQ(samples, c.samples);
}

const InfoCase kInfoCases[] = {
    {"png_rgb", "rgb.png", "-density 150 -units PixelsPerInch PNG24:", "Portable Network Graphics", 150, 8, 3, "not interlaced"},
    {"png_rgba16", "rgba.png", "-alpha set -density 72 -units PixelsPerInch PNG64:", "Portable Network Graphics", 72, 16, 4, "not interlaced"},
    {"png_gray", "gray.png", "-colorspace gray -define png:color-type=0 -density 300 -units PixelsPerInch", "Portable Network Graphics", 300, 8, 1, "not interlaced"},
    {"png_interlaced_palette", "pal.png", "-interlace PNG -colors 16 PNG8:", "Portable Network Graphics", 300, 8, 1, "interlaced, palette of", false},
    {"jpeg", "photo.jpg", "-density 200 -units PixelsPerInch -quality 90", "JPEG Bitmap", 200, 8, 3, "YCbCr, baseline"},
    {"jpeg_gray", "gray.jpg", "-colorspace gray -density 96 -units PixelsPerInch", "JPEG Bitmap", 96, 8, 1, "gray, baseline"},
    {"jpeg_progressive", "prog.jpg", "-interlace JPEG -density 96 -units PixelsPerInch", "JPEG Bitmap", 96, 8, 3, "YCbCr, progressive"},
    // No resolution in the file: the one printing uses, and a note saying so.
    {"jpeg_aspect_only", "aspect.jpg", "-units Undefined -density 1x1", "JPEG Bitmap", 300, 8, 3, "YCbCr, baseline", false},
    {"bmp_rle", "rle.bmp", "-type palette -compress RLE bmp3:", "Windows Bitmap", 300, 8, 1, "Windows header, run-length coded, 256-colour table", false},
    {"bmp_os2", "os2.bmp", "-type truecolor bmp2:", "Windows Bitmap", 300, 8, 3, "OS/2 1.x header, uncompressed", false},
    {"bmp_resolution", "dpi.bmp", "-density 150 -units PixelsPerInch -type truecolor bmp3:", "Windows Bitmap", 150, 8, 3, "Windows header, uncompressed"},
    {"ico", "icon.ico", "", "Windows Icon", 300, 8, 4, "1 image: 70 x 30 32 bits", false},
    {"png_no_phys", "plain.png", "-define png:exclude-chunk=pHYs PNG24:", "Portable Network Graphics", 300, 8, 3, "not interlaced", false},
};

INSTANTIATE_TEST_SUITE_P(Files, CliInfo, ::testing::ValuesIn(kInfoCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliTest, InfoFailsForMissingAndUnknownFilesButReportsTheGoodOnes) {
  std::string good = Make("good.png", "");
  std::string text = dir.File("notes.txt");
  testutil::WriteFileBytes(text, "just some words, not a picture\n");
  std::string missing = dir.File("missing.png");
  auto r = testutil::RunCommand("( " + Cli() + " info " + Quote(good) + " " + Quote(missing) + " " +
                                Quote(text) + " 2>" + Quote(dir.File("err.txt")) + " )");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Lines(r.output), 2u) << r.output;  // the good file on standard output
  EXPECT_EQ(r.output.rfind(good + ": Portable Network Graphics", 0), 0u) << r.output;
  std::string err = testutil::ReadFileBytes(dir.File("err.txt"));
  EXPECT_EQ(Lines(err), 2u) << err;
  EXPECT_NE(err.find(missing), std::string::npos) << err;
  EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;
  EXPECT_NE(err.find(text), std::string::npos) << err;

  // A picture under a name of another format: refused, and the message says what it holds.
  std::string misnamed = dir.File("really-a-png.jpg");
  testutil::WriteFileBytes(misnamed, testutil::ReadFileBytes(good));
  auto wrong = RunCli("info " + Quote(misnamed));
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.output.find(misnamed), std::string::npos) << wrong.output;
  EXPECT_NE(wrong.output.find("Portable Network Graphics"), std::string::npos) << wrong.output;
  // convert reads it by its content all the same.
  EXPECT_EQ(RunCli("convert " + Quote(misnamed) + " " + Quote(dir.File("fixed.png"))).status, 0);
  EXPECT_EQ(IdentifySize(dir.File("fixed.png")), IdentifySize(good));

  // Every file fine: status 0.
  EXPECT_EQ(RunCli("info " + Quote(good) + " " + Quote(good)).status, 0);
}

TEST_F(CliTest, ConvertKeepsThePixelsOfALosslessCopy) {
  struct Case {
    const char* in;
    const char* options;
    const char* out;
  } cases[] = {
      {"a.png", "PNG24:", "copy.png"},
      {"b.png", "-interlace PNG PNG24:", "copy2.png"},
      {"c.png", "-colors 20 PNG8:", "copy3.png"},
      {"d.bmp", "-type truecolor bmp3:", "copy4.png"},
      {"e.png", "PNG24:", "copy5.bmp"},
      {"f.bmp", "-type palette -compress RLE bmp3:", "copy6.bmp"},
      {"g.ico", "", "copy7.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    std::string plain = Make(c.in, c.options);
    std::string out = dir.File(c.out);
    auto r = RunCli("convert " + Quote(plain) + " " + Quote(out));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(IdentifySize(out), IdentifySize(plain));
    EXPECT_TRUE(Pixels(out) == Pixels(plain));
  }
}

TEST_F(CliTest, ConvertWritesTheFormatOfTheOutputExtension) {
  std::string in = Make("in.png", "");
  struct Case {
    const char* out;
    const char* identified;
  } cases[] = {
      {"out.jpg", "JPEG 64 48"},
      {"out.bmp", "BMP3 64 48"},  // the 40-byte header
      {"out.dib", "BMP3 64 48"},
      // An icon gets the one size an icon is written in unless asked otherwise.
      {"out.ico", "ICO 64 64"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    std::string out = dir.File(c.out);
    auto r = RunCli("convert " + Quote(in) + " " + Quote(out));
    ASSERT_EQ(r.status, 0) << r.output;
    auto id = testutil::RunCommand(kIdentify + " -format '%m %w %h' " + Quote(out));
    EXPECT_EQ(id.output, c.identified);
  }
}

TEST_F(CliTest, ConvertFailuresNameTheFileAndWhatFailed) {
  std::string in = Make("in.png", "");
  std::string broken = dir.File("broken.png");
  std::string bytes = testutil::ReadFileBytes(in);
  testutil::WriteFileBytes(broken, bytes.substr(0, bytes.size() / 2));
  struct Case {
    const char* name;
    std::string args;
    std::string names;   // must appear in the message
    std::string reason;  // likewise
  } cases[] = {
      {"missing input", Quote(dir.File("none.png")) + " " + Quote(dir.File("o.png")), dir.File("none.png"), "No such file or directory"},
      {"damaged input", Quote(broken) + " " + Quote(dir.File("o.png")), broken, "cannot read"},
      {"unknown output extension", Quote(in) + " " + Quote(dir.File("o.xyz")), dir.File("o.xyz"), ".xyz"},
      {"output folder missing", Quote(in) + " " + Quote(dir.File("no/o.png")), dir.File("no/o.png"), "No such file or directory"},
      {"crop outside", Quote(in) + " " + Quote(dir.File("o.png")) + " --crop 500 500 600 600", in, "outside"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = RunCli("convert " + c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Lines(r.output), 1u) << r.output;
    EXPECT_NE(r.output.find(c.names), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(c.reason), std::string::npos) << r.output;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("o.xyz")));  // nothing half-written left
}

TEST_F(CliTest, HelpListsTheLayoutsOfThePrintoutsFile) {
  auto r = RunCli("help");
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string text = testutil::ReadFileBytes(testutil::BinDir() + "/printouts.txt");
  int listed = 0;
  for (size_t at = text.find(':'); at != std::string::npos; at = text.find("\n:", at + 1)) {
    const size_t begin = text[at] == ':' ? at + 1 : at + 2;
    std::string name = text.substr(begin, text.find_first_of("\r\n", begin) - begin);
    if (name == "end") continue;  // the closing line
    EXPECT_NE(r.output.find("\"" + name + "\""), std::string::npos) << name << "\n" << r.output;
    ++listed;
  }
  EXPECT_EQ(listed, 13);
  EXPECT_EQ(r.output.find("\"end\""), std::string::npos) << r.output;
}

TEST_F(CliTest, UsageErrorsPrintTheUsageWithStatusTwo) {
  std::string in = Make("in.png", "");
  const std::string out = Quote(dir.File("o.png"));
  const std::string cases[] = {
      "",
      "frobnicate",
      "info",
      "convert " + Quote(in),
      "convert " + Quote(in) + " " + out + " --resample 10 10 sharpest",
      "convert " + Quote(in) + " " + out + " --resample 10",
      "convert " + Quote(in) + " " + out + " --resample -1 -1 none",
      "convert " + Quote(in) + " " + out + " --rotate",
      "convert " + Quote(in) + " " + out + " --rotate ninety",
      "convert " + Quote(in) + " " + out + " --crop 1 2 3",
      "convert " + Quote(in) + " " + out + " --quality 0",
      "convert " + Quote(in) + " " + out + " --scale-to 10",
      "convert " + Quote(in) + " " + out + " --sharpen",
  };
  for (const std::string& args : cases) {
    SCOPED_TRACE(args);
    auto r = RunCli(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("usage: pictrova-cli"), std::string::npos) << r.output;
  }
}

// --- Operations ---------------------------------------------------------------------

TEST_F(CliTest, OperationsApplyInTheOrderGiven) {
  std::string in = Make("in.png", "", 64, 48);
  struct Case {
    const char* ops;
    const char* size;  // as ImageMagick reports it
  } cases[] = {
      {"--resample 32 -1 lanczos3", "32 24"},
      {"--resample -1 12 fastlinear", "16 12"},
      {"--resample 20 10 none --rotate 90", "10 20"},
      {"--rotate 90 --resample 20 10 none", "20 10"},
      {"--crop 4 6 24 16", "20 10"},
      {"--crop 24 16 4 6", "20 10"},
      {"--rotate -90 --crop 0 0 10 60", "10 60"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ops);
    std::string out = dir.File("ops.png");
    auto r = RunCli("convert " + Quote(in) + " " + Quote(out) + " " + c.ops);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(IdentifySize(out), c.size);
  }
}

TEST_F(CliTest, CropAndQuarterTurnMatchImageMagick) {
  std::string in = Make("in.png", "", 64, 48);
  struct Case {
    const char* ours;
    const char* theirs;
  } cases[] = {
      {"--crop 4 6 24 16", "-crop 20x10+4+6 +repage"},
      {"--rotate 90", "-rotate -90"},  // ours is counter-clockwise
      {"--rotate 180", "-rotate 180"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ours);
    std::string ours = dir.File("ours.png"), theirs = dir.File("theirs.png");
    ASSERT_EQ(RunCli("convert " + Quote(in) + " " + Quote(ours) + " " + c.ours).status, 0);
    ASSERT_EQ(testutil::RunCommand(kConvert + " " + Quote(in) + " " + c.theirs + " " + Quote(theirs)).status, 0);
    EXPECT_EQ(IdentifySize(ours), IdentifySize(theirs));
    EXPECT_TRUE(Pixels(ours) == Pixels(theirs));
  }
}

TEST_F(CliTest, QualitySetsTheJpegQuality) {
  std::string in = Make("in.png", "", 96, 64);
  std::string low = dir.File("low.jpg"), high = dir.File("high.jpg");
  ASSERT_EQ(RunCli("convert " + Quote(in) + " " + Quote(low) + " --quality 30").status, 0);
  ASSERT_EQ(RunCli("convert " + Quote(in) + " " + Quote(high) + " --quality 95").status, 0);
  // ImageMagick estimates the quality from the quantisation tables.
  EXPECT_EQ(testutil::RunCommand(kIdentify + " -format %Q " + Quote(low)).output, "30");
  EXPECT_EQ(testutil::RunCommand(kIdentify + " -format %Q " + Quote(high)).output, "95");
  EXPECT_LT(testutil::ReadFileBytes(low).size(), testutil::ReadFileBytes(high).size());
}

TEST_F(CliTest, ScaleToDecodesAJpegAtTheSmallestSufficientReduction) {
  std::string in = Make("big.jpg", "-quality 90", 400, 300);
  struct Case {
    const char* want;
    const char* size;
  } cases[] = {
      {"50 37", "50 38"},     // an eighth: 400/8 = 50, 300/8 rounds up to 38 in libjpeg
      {"50 40", "100 75"},    // an eighth is too small in height: a quarter
      {"150 100", "200 150"}, // half
      {"300 200", "400 300"}, // nothing smaller will do
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    std::string out = dir.File("small.png");
    auto r = RunCli("convert " + Quote(in) + " " + Quote(out) + " --scale-to " + c.want);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(IdentifySize(out), c.size);
  }
}

}  // namespace
