// Camera raw through LibRaw: small DNG files written by the test itself (a
// TIFF with the few tags a DNG needs, a Bayer mosaic of 12-bit samples)
// developed with the pixels dcraw_emu gives, embedded previews as
// simple_dcraw extracts them, and damaged files refused.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "codectest.h"
#include "imaging/formats/raw.h"
#include "util/dngfile.h"
#include "util/testutil.h"

namespace {

using namespace codectest;
using namespace dngfile;

const std::string kDcrawEmu = "/usr/bin/dcraw_emu";
const std::string kSimpleDcraw = "/usr/bin/simple_dcraw";

bool HaveTools() { return testutil::HaveTool(kDcrawEmu) && testutil::HaveTool(kSimpleDcraw); }

// dcraw_emu's development of a file with the options given.
bool Develop(const std::string& dng, const std::string& options, Picture& out) {
  auto r = testutil::RunCommand(kDcrawEmu + " " + options + " '" + dng + "'");
  return r.status == 0 && ReadNetpbm(dng + ".ppm", out);
}

// --- the tests -----------------------------------------------------------------------

struct DevelopCase {
  const char* name;
  DngSpec spec;
  bool half;
};

class RawDevelop : public ::testing::TestWithParam<DevelopCase> {};

TEST_P(RawDevelop, TheSamePixelsAsDcrawEmuWithTheCamerasWhiteBalance) {
  if (!HaveTools()) GTEST_SKIP() << "libraw-bin is not installed";
  const DevelopCase& c = GetParam();
  testutil::TempDir dir;
  const std::string dng = dir.File("camera.dng");
  testutil::WriteFileBytes(dng, MakeDng(c.spec));
  Picture theirs;
  ASSERT_TRUE(Develop(dng, std::string("-w") + (c.half ? " -h" : ""), theirs));
  Outcome ours = ReadFile(ReadRawStream, dng, false, [&](TIOParamsVals& p) { p.RawHalfSize = c.half; });
  ASSERT_FALSE(ours.aborted) << ours.params.CodecError;
  EXPECT_EQ(ours.bitmap->PixelFormat(), pxRGB24);
  ExpectSamePixels(*ours.bitmap, theirs, 1, "against dcraw_emu -w");
  EXPECT_EQ(ours.params.Width, theirs.width);
  EXPECT_EQ(ours.params.Height, theirs.height);
  EXPECT_EQ(ours.params.RawCamera, "Pictrova Test Camera");
  EXPECT_EQ(ours.params.RawPictureRead, c.half ? 1 : 0);
  const bool turned = c.spec.orientation >= 5;
  const int w = c.half ? c.spec.width / 2 : c.spec.width, h = c.half ? c.spec.height / 2 : c.spec.height;
  EXPECT_EQ(ours.bitmap->Width(), turned ? h : w);
  EXPECT_EQ(ours.bitmap->Height(), turned ? w : h);
  // The camera's white balance, not the daylight one: the development
  // without it differs.
  Picture daylight;
  ASSERT_TRUE(Develop(dng, c.half ? "-h" : "", daylight));
  EXPECT_GT(MeanDifference(*ours.bitmap, daylight), 2.0);
}

DngSpec Spec(int w, int h, int orientation, double red, double blue) {
  DngSpec s;
  s.width = w;
  s.height = h;
  s.orientation = orientation;
  s.neutralRed = red;
  s.neutralBlue = blue;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Raw, RawDevelop,
    ::testing::Values(DevelopCase{"full", Spec(64, 48, 1, 0.55, 0.75), false},
                      DevelopCase{"warm_light", Spec(70, 40, 1, 0.9, 0.4), false},
                      DevelopCase{"half_size", Spec(64, 48, 1, 0.55, 0.75), true},
                      DevelopCase{"held_upright", Spec(64, 48, 6, 0.55, 0.75), false},
                      DevelopCase{"held_upright_other_way", Spec(64, 48, 8, 0.6, 0.7), false},
                      DevelopCase{"upside_down_half", Spec(64, 48, 3, 0.55, 0.75), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Raw, ParametersOnlyGiveTheDevelopedSizeWithoutDecoding) {
  if (!HaveTools()) GTEST_SKIP() << "libraw-bin is not installed";
  testutil::TempDir dir;
  for (int orientation : {1, 6}) {
    SCOPED_TRACE(orientation);
    const std::string dng = dir.File("camera.dng");
    const std::string bytes = MakeDng(Spec(64, 48, orientation, 0.5, 0.5));
    testutil::WriteFileBytes(dng, bytes);
    Picture theirs;
    ASSERT_TRUE(Develop(dng, "-w", theirs));
    Outcome out = ReadFile(ReadRawStream, dng, true, [](TIOParamsVals& p) { p.RawHalfSize = true; });
    ASSERT_FALSE(out.aborted) << out.params.CodecError;
    EXPECT_EQ(out.params.Width, theirs.width);
    EXPECT_EQ(out.params.Height, theirs.height);
    EXPECT_TRUE(out.bitmap->IsEmpty());
    // The sensor data is not decoded: the same answer when it is zeroed.
    std::string zeroed = bytes;
    std::fill(zeroed.begin() + 8, zeroed.begin() + 8 + 64 * 48 * 2, '\0');
    Outcome blank = ReadBytes(ReadRawStream, zeroed, true);
    ASSERT_FALSE(blank.aborted);
    EXPECT_EQ(blank.params.Width, theirs.width);
  }
}

TEST(Raw, TheEmbeddedPreviewIsTheCamerasOwn) {
  if (!HaveTools()) GTEST_SKIP() << "libraw-bin is not installed";
  testutil::TempDir dir;
  DngSpec spec = Spec(64, 48, 1, 0.55, 0.75);
  spec.previewWidth = 32;
  spec.previewHeight = 24;
  const std::string dng = dir.File("camera.dng");
  testutil::WriteFileBytes(dng, MakeDng(spec));
  auto r = testutil::RunCommand(kSimpleDcraw + " -e '" + dng + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  Picture extracted;
  ASSERT_TRUE(std::filesystem::exists(dir.File("camera.dng.thumb.ppm")))
      << r.output << testutil::RunCommand("ls '" + dir.Path().string() + "'").output;
  ASSERT_TRUE(ReadNetpbm(dir.File("camera.dng.thumb.ppm"), extracted));
  Picture written{32, 24, 3, {}};
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 32; ++x)
      for (int c = 0; c < 3; ++c) written.samples.push_back(PreviewSample(x, y, c));

  Outcome preview = ReadFile(ReadRawStream, dng, false, [](TIOParamsVals& p) { p.RawEmbeddedPreview = true; });
  ASSERT_FALSE(preview.aborted) << preview.params.CodecError;
  ExpectSamePixels(*preview.bitmap, extracted, 0, "against simple_dcraw -e");
  ExpectSamePixels(*preview.bitmap, written, 0, "the preview as written");
  EXPECT_EQ(preview.params.Width, 32);
  EXPECT_EQ(preview.params.RawPictureRead, 2);
  EXPECT_EQ(DescribeRaw(preview.params), "Pictrova Test Camera, the camera's preview");

  // Without the option the sensor data is developed, preview or not.
  Picture developed;
  ASSERT_TRUE(Develop(dng, "-w", developed));
  Outcome full = ReadFile(ReadRawStream, dng);
  ASSERT_FALSE(full.aborted);
  ExpectSamePixels(*full.bitmap, developed, 1, "developed");
}

TEST(Raw, ThePreviewIsTurnedAsTheCameraWasHeld) {
  if (!HaveTools() || !testutil::HaveTool("/usr/bin/convert")) GTEST_SKIP() << "tools missing";
  testutil::TempDir dir;
  // EXIF orientations and ImageMagick's clockwise turn that stands them upright.
  for (auto [orientation, degrees] : {std::pair{6, 90}, std::pair{8, 270}, std::pair{3, 180}}) {
    SCOPED_TRACE(orientation);
    DngSpec spec = Spec(64, 48, orientation, 0.55, 0.75);
    spec.previewWidth = 32;
    spec.previewHeight = 24;
    const std::string dng = dir.File("camera.dng");
    testutil::WriteFileBytes(dng, MakeDng(spec));
    // simple_dcraw extracts the preview as stored; ImageMagick turns it.
    const std::string thumb = dir.File("camera.dng.thumb.ppm"), upright = dir.File("upright.ppm");
    auto r = testutil::RunCommand(kSimpleDcraw + " -e '" + dng + "' && /usr/bin/convert '" + thumb +
                                  "' -rotate " + std::to_string(degrees) + " '" + upright + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    Picture expected;
    ASSERT_TRUE(ReadNetpbm(upright, expected));
    Outcome preview = ReadFile(ReadRawStream, dng, false, [](TIOParamsVals& p) { p.RawEmbeddedPreview = true; });
    ASSERT_FALSE(preview.aborted) << preview.params.CodecError;
    EXPECT_EQ(preview.params.RawPictureRead, 2);
    ExpectSamePixels(*preview.bitmap, expected, 0, "turned preview");
    // The whole picture's size, upright too.
    EXPECT_EQ(preview.params.FullWidth, orientation == 3 ? 64 : 48);
  }
}

TEST(Raw, WithoutAPreviewTheHalfSizeDevelopmentStandsIn) {
  if (!HaveTools()) GTEST_SKIP() << "libraw-bin is not installed";
  testutil::TempDir dir;
  const std::string dng = dir.File("camera.dng");
  testutil::WriteFileBytes(dng, MakeDng(Spec(64, 48, 1, 0.55, 0.75)));
  Picture half;
  ASSERT_TRUE(Develop(dng, "-w -h", half));
  Outcome out = ReadFile(ReadRawStream, dng, false, [](TIOParamsVals& p) { p.RawEmbeddedPreview = true; });
  ASSERT_FALSE(out.aborted) << out.params.CodecError;
  ExpectSamePixels(*out.bitmap, half, 1, "half size");
  EXPECT_EQ(out.params.RawPictureRead, 1);
}

TEST(Raw, ContentTest) {
  struct Case {
    const char* name;
    std::string head;
    bool raw;
  } cases[] = {
      {"crw", std::string("II\x1a\0\0\0HEAPCCDR", 14), true},
      {"raf", "FUJIFILMCCD-RAW 0201", true},
      {"x3f", "FOVb\0\0\0\0\0\0\0\0", true},
      {"mrw", std::string("\0MRM\0\0\0\0\0\0\0\0", 12), true},
      {"orf", std::string("IIRO\x08\0\0\0\0\0\0\0", 12), true},
      {"rw2", std::string("IIU\0\x08\0\0\0\0\0\0\0", 12), true},
      {"tiff", std::string("II*\0\x08\0\0\0\0\0\0\0", 12), false},
      {"jpeg", "\xff\xd8\xff\xe0\0\x10JFIF\0\0\0\0", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = c.head;
    bytes.resize(32, '\0');
    TPxMemoryStream s(bytes.data(), bytes.size());
    EXPECT_EQ(IsRawStream(s), c.raw);
    EXPECT_EQ(s.Position(), 0);
  }
}

TEST(Raw, BadInputIsRefused) {
  const std::string good = MakeDng(Spec(64, 48, 1, 0.55, 0.75));
  // IFD 0 follows the sensor data: 8 + 64 * 48 * 2.
  const size_t ifd = 8 + 64 * 48 * 2;
  auto withLong = [&](uint16_t tag, uint32_t value) {
    std::string b = good;
    const int count = static_cast<uint8_t>(b[ifd]) | static_cast<uint8_t>(b[ifd + 1]) << 8;
    for (int i = 0; i < count; ++i) {
      const size_t e = ifd + 2 + 12 * size_t(i);
      if ((static_cast<uint8_t>(b[e]) | static_cast<uint8_t>(b[e + 1]) << 8) == tag)
        Put32(b, e + 8, value, false);
    }
    return b;
  };
  ExpectAllRefused(ReadRawStream, good,
                   {
                       {"empty", [](const std::string&) { return std::string(); }},
                       {"tiff_header_only", [](const std::string& g) { return g.substr(0, 8); }},
                       {"truncated_in_the_sensor_data", [](const std::string& g) { return Truncated(g, 0.3); }},
                       {"not_a_raw_file", [](const std::string&) { return std::string(4096, 'x'); }},
                       {"claims_60000_x_60000",
                        [&](const std::string&) {
                          std::string b = withLong(256, 60000);
                          return b;
                        }},
                       {"sensor_data_beyond_the_end", [&](const std::string&) { return withLong(273, 0x7FFFFFF0); }},
                       // The strip starts inside the file and runs out of it.
                       {"sensor_data_runs_past_the_end",
                        [&](const std::string& g) { return withLong(273, static_cast<uint32_t>(g.size() - 1000)); }},
                   });
}

}  // namespace
