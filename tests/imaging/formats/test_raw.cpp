// Camera raw through LibRaw: small DNG files written by the test itself (a
// TIFF with the few tags a DNG needs, a Bayer mosaic of 12-bit samples)
// developed with the pixels dcraw_emu gives, embedded previews as
// simple_dcraw extracts them, and damaged files refused.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "codectest.h"
#include "imaging/formats/raw.h"
#include "util/testutil.h"

namespace {

using namespace codectest;

const std::string kDcrawEmu = "/usr/bin/dcraw_emu";
const std::string kSimpleDcraw = "/usr/bin/simple_dcraw";

bool HaveTools() { return testutil::HaveTool(kDcrawEmu) && testutil::HaveTool(kSimpleDcraw); }

// --- a DNG writer ------------------------------------------------------------------

struct Tag {
  uint16_t id, type;
  uint32_t count;
  std::string data;  // the values, little-endian
};

std::string U16s(std::initializer_list<unsigned> v) {
  std::string s;
  for (unsigned x : v) s += {char(x & 0xFF), char(x >> 8)};
  return s;
}
std::string U32s(std::initializer_list<uint32_t> v) {
  std::string s;
  for (uint32_t x : v) s += {char(x & 0xFF), char(x >> 8 & 0xFF), char(x >> 16 & 0xFF), char(x >> 24)};
  return s;
}
// Rationals as numerator / 10000.
std::string Rationals(std::initializer_list<double> v) {
  std::string s;
  for (double x : v) {
    const int32_t n = static_cast<int32_t>(x * 10000 + (x < 0 ? -0.5 : 0.5));
    s += U32s({static_cast<uint32_t>(n), 10000});
  }
  return s;
}
Tag Short(uint16_t id, std::initializer_list<unsigned> v) { return {id, 3, uint32_t(v.size()), U16s(v)}; }
Tag Long(uint16_t id, std::initializer_list<uint32_t> v) { return {id, 4, uint32_t(v.size()), U32s(v)}; }
Tag Ascii(uint16_t id, const std::string& text) { return {id, 2, uint32_t(text.size() + 1), text + '\0'}; }
Tag Bytes(uint16_t id, const std::string& v) { return {id, 1, uint32_t(v.size()), v}; }

// One IFD at `at` (its values placed right after it); returns its bytes.
// Tags must come sorted by id. `next` is the offset of the following IFD.
std::string Ifd(std::vector<Tag> tags, uint32_t at, uint32_t next = 0) {
  std::string dir = U16s({unsigned(tags.size())}), values;
  const uint32_t valuesAt = at + 2 + 12 * uint32_t(tags.size()) + 4;
  for (const Tag& t : tags) {
    dir += U16s({t.id, t.type}) + U32s({t.count});
    std::string v = t.data;
    if (v.size() <= 4) {
      v.resize(4, '\0');
      dir += v;
    } else {
      dir += U32s({valuesAt + uint32_t(values.size())});
      values += v;
      if (values.size() % 2) values += '\0';
    }
  }
  return dir + U32s({next}) + values;
}

struct DngSpec {
  int width = 64, height = 48;
  int orientation = 1;
  // The camera's white balance as the neutral it saw (green 1).
  double neutralRed = 0.55, neutralBlue = 0.75;
  int previewWidth = 0, previewHeight = 0;  // 0: no preview
};

// A scene of gradients and blocks, as 12-bit linear light per colour.
unsigned Scene(int x, int y, int c, const DngSpec& s) {
  const int block = ((x / 8 + y / 6) % 3);
  const double base = (c == 0 ? x : c == 1 ? y : (x + y) / 2) / double(s.width + s.height);
  double v = 300 + 2600 * base + 500 * block + 3 * ((x * 7 + y * 13 + c * 5) % 11);
  // What the sensor records under the camera's light: the neutral scales it.
  v *= c == 0 ? s.neutralRed : c == 2 ? s.neutralBlue : 1.0;
  return static_cast<unsigned>(std::min(v, 4000.0));
}

// The preview: 8-bit RGB, a pattern of its own.
uint8_t PreviewSample(int x, int y, int c) { return static_cast<uint8_t>((x * 9 + y * 4 + c * 80) & 0xFF); }

// An RGGB mosaic, uncompressed 16-bit samples; with a preview, IFD 0 is the
// preview and the mosaic hangs off it as a sub-IFD, as cameras write them.
std::string MakeDng(const DngSpec& s) {
  std::string mosaic;
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) {
      const int c = (y % 2 == 0) ? (x % 2 == 0 ? 0 : 1) : (x % 2 == 0 ? 1 : 2);
      mosaic += U16s({Scene(x, y, c, s)});
    }
  std::string preview;
  for (int y = 0; y < s.previewHeight; ++y)
    for (int x = 0; x < s.previewWidth; ++x)
      for (int c = 0; c < 3; ++c) preview += char(PreviewSample(x, y, c));

  // Camera space is linear sRGB: the colour matrix is that of XYZ to sRGB.
  const std::vector<Tag> dngTags = {
      Bytes(50706, std::string("\x01\x04\x00\x00", 4)),
      Ascii(50708, "Pictrova Test Camera"),
      {50721, 10, 9, Rationals({3.2406, -1.5372, -0.4986, -0.9689, 1.8758, 0.0415, 0.0557, -0.2040, 1.0570})},
      {50728, 5, 3, Rationals({s.neutralRed, 1.0, s.neutralBlue})},
      Short(50778, {21}),
  };
  auto rawTags = [&](uint32_t dataAt) {
    return std::vector<Tag>{
        Long(254, {0}), Long(256, {uint32_t(s.width)}), Long(257, {uint32_t(s.height)}),
        Short(258, {16}), Short(259, {1}), Short(262, {32803}), Long(273, {dataAt}),
        Short(277, {1}), Long(278, {uint32_t(s.height)}), Long(279, {uint32_t(mosaic.size())}),
        Short(284, {1}), Short(33421, {2, 2}), Bytes(33422, std::string("\x00\x01\x01\x02", 4)),
        Long(50717, {4095})};
  };
  auto withDng = [&](std::vector<Tag> tags, std::vector<Tag> more) {
    tags.insert(tags.end(), more.begin(), more.end());
    std::sort(tags.begin(), tags.end(), [](const Tag& a, const Tag& b) { return a.id < b.id; });
    return tags;
  };
  const std::vector<Tag> camera = {Ascii(271, "Pictrova"), Ascii(272, "Test Camera"),
                                   Short(274, {unsigned(s.orientation)})};
  // Two passes: the sizes of the IFDs fix where the data goes.
  std::string file;
  for (int pass = 0; pass < 2; ++pass) {
    const uint32_t dataAt = 8;
    const uint32_t previewAt = dataAt + uint32_t(mosaic.size());
    const uint32_t ifd0At = previewAt + uint32_t(preview.size()) + (preview.size() % 2);
    std::string ifds;
    if (s.previewWidth == 0) {
      std::vector<Tag> tags = withDng(rawTags(dataAt), camera);
      tags = withDng(tags, dngTags);
      ifds = Ifd(tags, ifd0At);
    } else {
      // Sub-IFD after IFD 0: its offset is known once IFD 0's size is.
      const uint32_t probeSize = uint32_t(file.empty() ? 0 : file.size());
      const uint32_t subAt = pass == 0 ? 0 : probeSize;
      std::vector<Tag> previewTags = {
          Long(254, {1}), Long(256, {uint32_t(s.previewWidth)}), Long(257, {uint32_t(s.previewHeight)}),
          Short(258, {8, 8, 8}), Short(259, {1}), Short(262, {2}), Long(273, {previewAt}),
          Short(277, {3}), Long(278, {uint32_t(s.previewHeight)}), Long(279, {uint32_t(preview.size())}),
          Short(284, {1}), Long(330, {subAt})};
      previewTags = withDng(previewTags, camera);
      previewTags = withDng(previewTags, dngTags);
      const std::string ifd0 = Ifd(previewTags, ifd0At);
      const uint32_t realSubAt = ifd0At + uint32_t(ifd0.size()) + (ifd0.size() % 2);
      for (Tag& t : previewTags)
        if (t.id == 330) t.data = U32s({realSubAt});
      std::string first = Ifd(previewTags, ifd0At);
      if (first.size() % 2) first += '\0';
      ifds = first + Ifd(rawTags(dataAt), realSubAt);
    }
    file = std::string("II*\0", 4) + U32s({ifd0At}) + mosaic + preview +
           (preview.size() % 2 ? std::string(1, '\0') : std::string()) + ifds;
  }
  return file;
}

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
                   });
}

}  // namespace
