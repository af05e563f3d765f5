// PBM, PGM and PPM reading and writing: files made by netpbm in every variant
// (plain and raw, 1, 8 and 16 bits, odd maximum values, comments) read
// against netpbm's and ImageMagick's own decoding, files we write read back
// by both, and damaged or hostile headers and rasters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/formats/pnm.h"
#include "imaging/io/imagingio.h"
#include "util/testutil.h"

namespace {

using testutil::Shell;

const std::string kConvert = "/usr/bin/convert";

bool HaveNetpbm() {
  return testutil::HaveTool("/usr/bin/pnmtoplainpnm") && testutil::HaveTool("/usr/bin/pamdepth") &&
         testutil::HaveTool("/usr/bin/ppmpat");
}

// What a tool printed as a plain PNM (netpbm writes no comments).
struct PlainImage {
  std::string magic;
  int width = 0, height = 0, maxval = 1;
  std::vector<uint32_t> samples;
};

PlainImage ParsePlain(const std::string& text) {
  PlainImage img;
  std::istringstream in(text);
  in >> img.magic >> img.width >> img.height;
  if (img.magic != "P1") in >> img.maxval;
  if (img.magic == "P1") {
    // Plain bits may be written without separators.
    char c;
    while (in >> c)
      if (c == '0' || c == '1') img.samples.push_back(c == '1' ? 1 : 0);
  } else {
    uint32_t v;
    while (in >> v) img.samples.push_back(v);
  }
  return img;
}

// netpbm's decoding as 8-bit red, green, blue: every file made PPM with a
// maximum of 255 by netpbm itself.
std::vector<uint8_t> NetpbmRgb8(const std::string& file, int& width, int& height) {
  PlainImage img = ParsePlain(
      Shell("ppmtoppm < '" + file + "' 2>/dev/null | pamdepth 255 | pnmtoplainpnm"));
  EXPECT_EQ(img.magic, "P3");
  EXPECT_EQ(img.maxval, 255);
  width = img.width;
  height = img.height;
  return std::vector<uint8_t>(img.samples.begin(), img.samples.end());
}

std::vector<uint8_t> MagickRgb8(const std::string& file) {
  std::string raw = Shell(kConvert + " '" + file + "' -depth 8 rgb:- 2>/dev/null");
  return std::vector<uint8_t>(raw.begin(), raw.end());
}

struct ReadResult {
  TPxBitmap bitmap;
  TIOParamsVals params;
  bool aborted = false;
};

std::unique_ptr<ReadResult> ReadBytes(const std::string& bytes, bool native = false,
                                      bool paramsOnly = false) {
  auto r = std::make_unique<ReadResult>();
  r->params.NativePixelFormat = native;
  TPxMemoryStream stream(bytes.data(), bytes.size());
  TPxProgress progress;
  progress.Aborting = &r->aborted;
  ReadPnmStream(stream, &r->bitmap, r->params, paramsOnly, progress);
  return r;
}

// Our bitmap as 8-bit red, green, blue.
std::vector<uint8_t> Rgb8(TPxBitmap& b) {
  std::vector<uint8_t> out;
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* row = b.Scanline(y);
    for (int x = 0; x < b.Width(); ++x) {
      switch (b.PixelFormat()) {
        case px1g: {
          const uint8_t v = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
          out.insert(out.end(), {v, v, v});
          break;
        }
        case pxRGB24:
          out.insert(out.end(), {row[3 * x + 2], row[3 * x + 1], row[3 * x]});
          break;
        case px8g:
          out.insert(out.end(), {row[x], row[x], row[x]});
          break;
        default:
          ADD_FAILURE() << "unexpected pixel format " << PxPixelFormatName(b.PixelFormat());
          return out;
      }
    }
  }
  return out;
}

// The raw (or plain) header a netpbm tool writes: magic, size, maximum, one per line.
size_t NetpbmHeaderLength(const std::string& bytes) {
  const int lines = (bytes[1] == '1' || bytes[1] == '4') ? 2 : 3;
  size_t at = 0;
  for (int i = 0; i < lines; ++i) at = bytes.find('\n', at) + 1;
  return at;
}

// The same file with comments in every place a header allows them, the last
// one between the maximum (or the height) and the raster.
std::string WithComments(const std::string& bytes) {
  const size_t head = NetpbmHeaderLength(bytes);
  std::istringstream in(bytes.substr(0, head));
  std::string magic, w, h, max;
  in >> magic >> w >> h;
  std::string out = magic + "\n# first comment\n" + w + " #  width  \n" + h;
  if (magic != "P1" && magic != "P4") out += "\n#\n" + (in >> max, max);
  out += "# last before the raster\n";
  return out + bytes.substr(head);
}

// A plain file with a comment line in the middle of its samples.
std::string WithRasterComment(const std::string& bytes) {
  const size_t head = NetpbmHeaderLength(bytes);
  const size_t mid = bytes.find('\n', head + (bytes.size() - head) / 2);
  return bytes.substr(0, mid + 1) + "# inside the raster 1 1 1 1\n" + bytes.substr(mid + 1);
}

struct VariantCase {
  const char* name;
  // Shell command writing the file to $OUT from $PPM, $PGM and $PBM.
  const char* command;
  std::string (*edit)(const std::string&);  // nullptr: the file as made
  bool magickExact;  // ImageMagick rounds odd maximum values twice: within 1 then
  int bitsPerSample, samplesPerPixel;
};

const VariantCase kVariants[] = {
    {"ppm_raw_255", "cp $PPM $OUT", nullptr, true, 8, 3},
    {"ppm_plain_255", "pnmtoplainpnm $PPM > $OUT", nullptr, true, 8, 3},
    {"ppm_raw_15", "pamdepth 15 $PPM > $OUT", nullptr, true, 8, 3},
    {"ppm_plain_15", "pamdepth 15 $PPM | pnmtoplainpnm > $OUT", nullptr, true, 8, 3},
    {"ppm_raw_1", "pamdepth 1 $PPM > $OUT", nullptr, true, 8, 3},
    {"ppm_raw_100", "pamdepth 100 $PPM > $OUT", nullptr, false, 8, 3},
    {"ppm_raw_1000", "pamdepth 1000 $PPM > $OUT", nullptr, false, 16, 3},
    {"ppm_raw_65535", "pamdepth 1000 $PPM | pamdepth 65535 > $OUT", nullptr, false, 16, 3},
    {"ppm_plain_65535", "pamdepth 1000 $PPM | pamdepth 65535 | pnmtoplainpnm > $OUT", nullptr, false,
     16, 3},
    {"pgm_raw_255", "cp $PGM $OUT", nullptr, true, 8, 1},
    {"pgm_plain_255", "pnmtoplainpnm $PGM > $OUT", nullptr, true, 8, 1},
    {"pgm_raw_15", "pamdepth 15 $PGM > $OUT", nullptr, true, 8, 1},
    {"pgm_plain_4095", "pamdepth 4095 $PGM | pnmtoplainpnm > $OUT", nullptr, false, 16, 1},
    {"pgm_raw_65535", "pamdepth 1000 $PGM | pamdepth 65535 > $OUT", nullptr, false, 16, 1},
    {"pbm_raw", "cp $PBM $OUT", nullptr, true, 1, 1},
    {"pbm_plain", "pnmtoplainpnm $PBM > $OUT", nullptr, true, 1, 1},
    {"ppm_raw_comments", "cp $PPM $OUT", WithComments, true, 8, 3},
    {"pgm_raw_16_comments", "pamdepth 65535 $PGM > $OUT", WithComments, true, 16, 1},
    {"pbm_raw_comments", "cp $PBM $OUT", WithComments, true, 1, 1},
    {"ppm_plain_comments", "pnmtoplainpnm $PPM > $OUT", WithComments, true, 8, 3},
    {"ppm_plain_raster_comment", "pnmtoplainpnm $PPM > $OUT", WithRasterComment, true, 8, 3},
    {"pbm_plain_raster_comment", "pnmtoplainpnm $PBM > $OUT", WithRasterComment, true, 1, 1},
};

void PrintTo(const VariantCase& c, std::ostream* os) { *os << c.name; }

class PnmVariants : public ::testing::TestWithParam<VariantCase> {};

// The base pictures: odd width, so that bilevel rows end inside a byte.
void MakeBases(const testutil::TempDir& dir) {
  Shell("cd '" + dir.Path().string() +
      "' && ppmpat -anticamo -randomseed=7 37 23 > base.ppm && ppmtopgm base.ppm > base.pgm &&"
      " pgmtopbm -threshold base.pgm > base.pbm");
}

std::string MakeVariant(const testutil::TempDir& dir, const VariantCase& c) {
  const std::string out = dir.File(std::string(c.name) + ".pnm");
  Shell("cd '" + dir.Path().string() + "' && PPM=base.ppm PGM=base.pgm PBM=base.pbm OUT='" + out +
      "' sh -c '" + c.command + "'");
  if (c.edit) testutil::WriteFileBytes(out, c.edit(testutil::ReadFileBytes(out)));
  return out;
}

TEST_P(PnmVariants, ReadsTheSamePixelsAsNetpbmAndImageMagick) {
  if (!HaveNetpbm()) GTEST_SKIP() << "netpbm is not installed";
  const VariantCase& c = GetParam();
  testutil::TempDir dir;
  MakeBases(dir);
  const std::string file = MakeVariant(dir, c);
  const std::string bytes = testutil::ReadFileBytes(file);

  auto r = ReadBytes(bytes);
  ASSERT_FALSE(r->aborted);
  int w = 0, h = 0;
  const std::vector<uint8_t> netpbm = NetpbmRgb8(file, w, h);
  ASSERT_EQ(r->bitmap.Width(), w);
  ASSERT_EQ(r->bitmap.Height(), h);
  EXPECT_EQ(r->bitmap.PixelFormat(), c.bitsPerSample == 1 ? px1g : pxRGB24);
  EXPECT_EQ(r->params.Width, w);
  EXPECT_EQ(r->params.Height, h);
  EXPECT_EQ(r->params.BitsPerSample, c.bitsPerSample);
  EXPECT_EQ(r->params.SamplesPerPixel, c.samplesPerPixel);
  EXPECT_EQ(r->params.DpiX, 300);
  const std::vector<uint8_t> ours = Rgb8(r->bitmap);
  EXPECT_EQ(ours, netpbm);

  if (testutil::HaveTool(kConvert)) {
    const std::vector<uint8_t> magick = MagickRgb8(file);
    ASSERT_EQ(magick.size(), ours.size());
    int worst = 0;
    for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(ours[i] - magick[i]));
    EXPECT_LE(worst, c.magickExact ? 0 : 1);
  }

  if (c.edit == WithComments) {
    std::vector<std::string> expected = {"first comment", "width"};
    if (c.bitsPerSample != 1) expected.push_back("");
    expected.push_back("last before the raster");
    EXPECT_EQ(r->params.PnmComments, expected);
  } else {
    EXPECT_TRUE(r->params.PnmComments.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Files, PnmVariants, ::testing::ValuesIn(kVariants),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PnmRead, NativeFormatKeepsSixteenBitSamplesAsNetpbmScalesThem) {
  if (!HaveNetpbm()) GTEST_SKIP() << "netpbm is not installed";
  testutil::TempDir dir;
  MakeBases(dir);
  struct Case {
    const char* make;  // from base.ppm / base.pgm
    TPxPixelFormat pf;
  };
  const Case cases[] = {{"pamdepth 1000 base.ppm", pxRGB48},
                        {"pamdepth 1000 base.ppm | pamdepth 65535", pxRGB48},
                        {"pamdepth 4095 base.pgm", px16g},
                        {"pamdepth 4095 base.pgm | pnmtoplainpnm", px16g},
                        {"cat base.pgm", px8g}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.make);
    const std::string file = dir.File("native.pnm");
    Shell("cd '" + dir.Path().string() + "' && " + c.make + " > '" + file + "'");
    auto r = ReadBytes(testutil::ReadFileBytes(file), true);
    ASSERT_FALSE(r->aborted);
    ASSERT_EQ(r->bitmap.PixelFormat(), c.pf);
    const int full = c.pf == px8g ? 255 : 65535;
    const PlainImage ref =
        ParsePlain(Shell("pamdepth " + std::to_string(full) + " '" + file + "' | pnmtoplainpnm"));
    ASSERT_EQ(ref.width, r->bitmap.Width());
    const int spp = c.pf == pxRGB48 ? 3 : 1;
    std::vector<uint32_t> ours;
    for (int y = 0; y < r->bitmap.Height(); ++y) {
      const uint8_t* row = r->bitmap.Scanline(y);
      for (int i = 0; i < r->bitmap.Width() * spp; ++i) {
        if (c.pf == px8g) {
          ours.push_back(row[i]);
        } else {
          uint16_t v;
          std::memcpy(&v, row + 2 * i, 2);
          ours.push_back(v);
        }
      }
    }
    EXPECT_EQ(ours, ref.samples);
  }
}

// Small hand-made files: what the format's rules say they hold.
struct SmallCase {
  const char* name;
  std::string bytes;
  bool aborted;
  int width, height;
  std::vector<uint8_t> rgb;  // expected 8-bit red, green, blue (empty: not checked)
};

std::vector<uint8_t> Gray(std::initializer_list<uint8_t> values) {
  std::vector<uint8_t> rgb;
  for (uint8_t v : values) rgb.insert(rgb.end(), {v, v, v});
  return rgb;
}

const SmallCase kSmall[] = {
    {"plain_bilevel_zero_is_white", "P1 3 1\n0 1 0\n", false, 3, 1,
     {255, 255, 255, 0, 0, 0, 255, 255, 255}},
    {"plain_bilevel_without_separators", "P1\n4 1\n0110", false, 4, 1,
     {255, 255, 255, 0, 0, 0, 0, 0, 0, 255, 255, 255}},
    {"gray_max_15_maps_15_to_255", std::string("P5 2 1 15\n\x0f\x07", 12), false, 2, 1,
     {255, 255, 255, 119, 119, 119}},
    {"colour_max_15_maps_15_to_255", std::string("P6 1 1 15\n\x0f\x00\x07", 13), false, 1, 1,
     {255, 0, 119}},
    {"samples_above_the_maximum_are_clamped", "P2 2 1 10\n20 5\n", false, 2, 1,
     {255, 255, 255, 128, 128, 128}},
    {"long_digit_runs_are_clamped", "P3 1 1 255\n99999999999999999999999 0 1\n", false, 1, 1,
     {255, 0, 1}},
    {"separators_other_than_blanks", "P3,1,1,255,1,2,3,", false, 1, 1, {1, 2, 3}},
    {"sixteen_bit_big_endian", std::string("P5 2 1 65535\n\xff\xff\x80\x00", 17), false, 2, 1,
     {255, 255, 255, 128, 128, 128}},
    {"raw_cut_inside_a_row_keeps_rows_before", std::string("P6 2 2 255\n\x01\x02\x03\x04\x05\x06\x07", 18),
     true, 2, 2, {1, 2, 3, 4, 5, 6, 7, 0, 0, 0, 0, 0}},
    {"plain_cut_short", "P2 2 2 255\n9 8 7", true, 2, 2, {9, 9, 9, 8, 8, 8, 7, 7, 7, 0, 0, 0}},
    {"bilevel_cut_short_is_white_after", std::string("P4 8 2\n\x0f", 8), true, 8, 2,
     Gray({255, 255, 255, 255, 0, 0, 0, 0, 255, 255, 255, 255, 255, 255, 255, 255})},
    {"maximum_0", "P5 1 1 0\n\x00", true, 0, 0, {}},
    {"maximum_65536", "P6 1 1 65536\n123456", true, 0, 0, {}},
    {"width_0", "P5 0 1 255\n", true, 0, 0, {}},
    {"height_missing", "P5 1\n", true, 0, 0, {}},
    {"width_overflows", "P5 99999999999 1 255\n\x00", true, 0, 0, {}},
    {"width_above_31_bits", "P5 2147483648 1 255\n\x00", true, 0, 0, {}},
    {"maximum_missing", "P6 1 1", true, 0, 0, {}},
    {"magic_p7", "P7 1 1 255\n\x00\x00\x00", true, 0, 0, {}},
    {"magic_with_more_characters", "P66 1 1 255\n\x00\x00\x00", true, 0, 0, {}},
    {"letters_for_a_number", "P6 1x 1 255\n\x00\x00\x00", true, 0, 0, {}},
    {"gigapixels_over_a_few_bytes", "P6 60000 60000 255\n\x01\x02\x03", true, 0, 0, {}},
    {"plain_gigapixels_over_a_few_bytes", "P1 60000 60000\n0101", true, 0, 0, {}},
    {"empty", "", true, 0, 0, {}},
};

class PnmSmall : public ::testing::TestWithParam<SmallCase> {};
void PrintTo(const SmallCase& c, std::ostream* os) { *os << c.name; }

TEST_P(PnmSmall, ReadsWhatTheRulesSay) {
  const SmallCase& c = GetParam();
  auto r = ReadBytes(c.bytes);
  EXPECT_EQ(r->aborted, c.aborted);
  EXPECT_EQ(r->bitmap.Width(), c.width);
  EXPECT_EQ(r->bitmap.Height(), c.height);
  if (!c.rgb.empty()) {
    EXPECT_EQ(Rgb8(r->bitmap), c.rgb);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, PnmSmall, ::testing::ValuesIn(kSmall),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PnmRead, HugeAndManyCommentsAreBounded) {
  std::string bytes = "P5\n#" + std::string(3 << 20, 'x') + "\n";
  for (int i = 0; i < 5000; ++i) bytes += "# c" + std::to_string(i) + "\n";
  bytes += "1 1 255\n";
  bytes.push_back('\x40');
  auto r = ReadBytes(bytes);
  EXPECT_FALSE(r->aborted);
  ASSERT_EQ(r->params.PnmComments.size(), 1000u);
  EXPECT_EQ(r->params.PnmComments[0], std::string(1024, 'x'));
  EXPECT_EQ(r->params.PnmComments[999], "c998");
  EXPECT_EQ(Rgb8(r->bitmap), (std::vector<uint8_t>{64, 64, 64}));
}

TEST(PnmRead, ParametersOnlyLeavesTheBitmapAlone) {
  auto r = ReadBytes("P6\n# hello\n640 480\n65535\n", false, true);
  EXPECT_FALSE(r->aborted);
  EXPECT_TRUE(r->bitmap.IsEmpty());
  EXPECT_EQ(r->params.Width, 640);
  EXPECT_EQ(r->params.Height, 480);
  EXPECT_EQ(r->params.BitsPerSample, 16);
  EXPECT_EQ(r->params.SamplesPerPixel, 3);
  EXPECT_EQ(r->params.PnmComments, std::vector<std::string>{"hello"});
}

TEST(PnmRead, StopsAtTheEndOfTheFirstImage) {
  const std::string first("P5 1 1 255\n\x11", 12);
  const std::string bytes = first + "P5 1 1 255\n\x22";
  TPxMemoryStream stream(bytes.data(), bytes.size());
  TPxBitmap bitmap;
  TIOParamsVals params;
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  ReadPnmStream(stream, &bitmap, params, false, progress);
  EXPECT_FALSE(aborted);
  EXPECT_EQ(stream.Position(), static_cast<int64_t>(first.size()));
  EXPECT_EQ(bitmap.Scanline(0)[0], 0x11);
}

TEST(PnmContentTest, KnowsAHeaderAndRestoresThePosition) {
  struct Case {
    std::string bytes;
    bool pnm;
  };
  const Case cases[] = {
      {"P6 1 1 255\n\x01\x02\x03", true}, {"P1\n# a comment\n1 1\n0", true},
      {"P4 8 1", true},                   {"P5 1", false},
      {"P7 1 1 255\n", false},            {"P6 0 1 255\n", false},
      {"PX 1 1", false},                  {"\x89PNG\r\n\x1a\n", false},
      {"", false},                        {std::string(600, '#') + "\nP6 1 1 255\n", true},
      {"P6 " + std::string(600, ' ') + "1 1 255\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 20));
    const std::string padded = "xy" + c.bytes;
    TPxMemoryStream stream(padded.data(), padded.size());
    stream.SetPosition(2);
    EXPECT_EQ(IsPnmStream(stream), c.pnm);
    EXPECT_EQ(stream.Position(), 2);
  }
  // Tokens and comments beyond the probe's budget: not taken for a header.
  std::string many = "P6";
  for (int i = 0; i < 600; ++i) many += "\n#";
  many += "\n1 1 255\n";
  TPxMemoryStream stream(many.data(), many.size());
  EXPECT_FALSE(IsPnmStream(stream));
}

// --- Writing ------------------------------------------------------------------

uint8_t Sample(int x, int y, int c) { return static_cast<uint8_t>((x * 37 + y * 11 + c * 80 + x * y) & 0xFF); }

std::unique_ptr<TPxBitmap> Picture(int w, int h, TPxPixelFormat pf) {
  auto b = std::make_unique<TPxBitmap>();
  EXPECT_TRUE(b->Allocate(w, h, pf));
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int x = 0; x < w; ++x) {
      if (pf == px1g) {
        if (Sample(x, y, 0) & 0x20) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
        else row[x >> 3] &= static_cast<uint8_t>(~(0x80 >> (x & 7)));
      } else if (pf == pxRGB24) {
        for (int c = 0; c < 3; ++c) row[3 * x + c] = Sample(x, y, c);
      } else {  // pxRGB48: words with both bytes different
        for (int c = 0; c < 3; ++c) {
          const uint16_t v = static_cast<uint16_t>(Sample(x, y, c) * 256 + Sample(y, x, c));
          std::memcpy(row + 6 * x + 2 * c, &v, 2);
        }
      }
    }
  }
  return b;
}

// The samples a file we wrote should hold, from the picture and the format's
// rules (file order: red, green, blue; bilevel 1 = black).
std::vector<uint32_t> ExpectedSamples(TPxBitmap& b, const std::string& magic) {
  std::vector<uint32_t> out;
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* row = b.Scanline(y);
    for (int x = 0; x < b.Width(); ++x) {
      uint32_t rgb[3];
      if (b.PixelFormat() == px1g) {
        out.push_back((row[x >> 3] & (0x80 >> (x & 7))) ? 0 : 1);
        continue;
      }
      if (b.PixelFormat() == pxRGB24) {
        for (int c = 0; c < 3; ++c) rgb[c] = row[3 * x + 2 - c];
      } else {
        for (int c = 0; c < 3; ++c) {
          uint16_t v;
          std::memcpy(&v, row + 6 * x + 2 * c, 2);
          rgb[c] = v;
        }
      }
      const bool wideSource = b.PixelFormat() == pxRGB48;
      if (magic == "P5-255") {
        const uint32_t r = wideSource ? rgb[0] >> 8 : rgb[0], g = wideSource ? rgb[1] >> 8 : rgb[1],
                       bl = wideSource ? rgb[2] >> 8 : rgb[2];
        out.push_back((21 * r + 71 * g + 8 * bl) / 100);
      } else if (magic == "P5-65535") {
        out.push_back(wideSource ? (21 * rgb[0] + 71 * rgb[1] + 8 * rgb[2]) / 100
                                 : (21 * rgb[0] + 71 * rgb[1] + 8 * rgb[2]) / 100 * 257);
      } else {
        for (int c = 0; c < 3; ++c) out.push_back(magic == "P6-65535" && !wideSource ? rgb[c] * 257 : rgb[c]);
      }
    }
  }
  return out;
}

struct WriteCase {
  const char* name;
  TPxPixelFormat pf;
  int bitsPerSample, samplesPerPixel;
  const char* form;  // magic and maximum the file must have
};

const WriteCase kWrites[] = {
    {"colour_8", pxRGB24, 8, 3, "P6-255"},
    {"colour_as_16", pxRGB24, 16, 3, "P6-65535"},
    {"colour_48", pxRGB48, 16, 3, "P6-65535"},
    {"colour_48_asked_8", pxRGB48, 8, 3, "P6-65535"},
    {"gray_8", pxRGB24, 8, 1, "P5-255"},
    {"gray_16", pxRGB24, 16, 1, "P5-65535"},
    {"gray_16_from_48", pxRGB48, 16, 1, "P5-65535"},
    {"gray_8_from_48", pxRGB48, 8, 1, "P5-255"},
    {"bilevel", px1g, 8, 3, "P4-1"},
    {"bilevel_wish", px1g, 1, 1, "P4-1"},
};

class PnmWrite : public ::testing::TestWithParam<WriteCase> {};
void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

TEST_P(PnmWrite, NetpbmAndImageMagickReadBackTheSamePixels) {
  if (!HaveNetpbm()) GTEST_SKIP() << "netpbm is not installed";
  const WriteCase& c = GetParam();
  auto picture = Picture(37, 13, c.pf);
  TIOParamsVals params;
  params.BitsPerSample = c.bitsPerSample;
  params.SamplesPerPixel = c.samplesPerPixel;
  params.PnmComments = {"written by a test", "two\nlines"};
  TPxMemoryStream stream;
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  WritePnmStream(stream, picture.get(), params, progress);
  ASSERT_FALSE(aborted);
  testutil::TempDir dir;
  const std::string file = dir.File("ours.pnm");
  const std::string bytes(stream.Data().begin(), stream.Data().end());
  testutil::WriteFileBytes(file, bytes);
  EXPECT_EQ(bytes.substr(0, 3), std::string(c.form).substr(0, 2) + " ");
  EXPECT_NE(bytes.find("\n# written by a test\n"), std::string::npos);
  EXPECT_NE(bytes.find("\n# two lines\n"), std::string::npos);

  const PlainImage plain = ParsePlain(Shell("pnmtoplainpnm '" + file + "'"));
  const std::string magic(c.form);
  EXPECT_EQ(plain.magic, std::string("P") + static_cast<char>(magic[1] - 3));
  EXPECT_EQ(std::to_string(plain.maxval), magic.substr(3));
  EXPECT_EQ(plain.width, 37);
  EXPECT_EQ(plain.height, 13);
  EXPECT_EQ(plain.samples, ExpectedSamples(*picture, magic));

  if (testutil::HaveTool(kConvert)) {
    // ImageMagick's 16-bit samples, most significant byte first.
    const bool wide = magic.substr(3) == "65535";
    const std::string map = magic[1] == '6' ? "rgb" : "gray";
    const std::string raw =
        Shell(kConvert + " '" + file + "' -endian MSB -depth " + (wide ? "16" : "8") + " " + map + ":- 2>/dev/null");
    std::vector<uint32_t> magick;
    for (size_t i = 0; i < raw.size(); i += wide ? 2 : 1) {
      const uint32_t v = wide ? (static_cast<uint8_t>(raw[i]) << 8 | static_cast<uint8_t>(raw[i + 1]))
                              : static_cast<uint8_t>(raw[i]);
      // ImageMagick gives bilevel as gray: white 255, while the file's 1 is black.
      magick.push_back(magic[1] == '4' ? (v ? 0 : 1) : v);
    }
    EXPECT_EQ(magick, ExpectedSamples(*picture, magic));
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, PnmWrite, ::testing::ValuesIn(kWrites),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PnmWrite, BilevelWishOnAColourPictureWritesItsBlackAndWhiteConversion) {
  auto picture = Picture(21, 5, pxRGB24);
  TPxBitmap expected;
  ASSERT_TRUE(expected.Assign(*picture));
  ASSERT_TRUE(expected.ConvertTo(px1g));
  TIOParamsVals params;
  params.BitsPerSample = 1;
  params.SamplesPerPixel = 1;
  TPxMemoryStream stream;
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  WritePnmStream(stream, picture.get(), params, progress);
  ASSERT_FALSE(aborted);
  EXPECT_EQ(picture->PixelFormat(), pxRGB24);  // the caller's picture is not changed
  auto r = ReadBytes(std::string(stream.Data().begin(), stream.Data().end()));
  ASSERT_FALSE(r->aborted);
  ASSERT_EQ(r->bitmap.PixelFormat(), px1g);
  EXPECT_EQ(Rgb8(r->bitmap), Rgb8(expected));
}

// A stream that takes only so many bytes.
class ShortStream : public TPxMemoryStream {
 public:
  explicit ShortStream(int64_t room) : room_(room) {}
  int64_t Write(const void* buffer, int64_t count) override {
    const int64_t n = std::min(count, std::max<int64_t>(0, room_ - Position()));
    return TPxMemoryStream::Write(buffer, n);
  }

 private:
  int64_t room_;
};

TEST(PnmWrite, ShortWriteAndEmptyPictureSetAborting) {
  auto picture = Picture(40, 40, pxRGB24);
  TIOParamsVals params;
  for (int64_t room : {0, 5, 2000}) {
    ShortStream stream(room);
    bool aborted = false;
    TPxProgress progress;
    progress.Aborting = &aborted;
    WritePnmStream(stream, picture.get(), params, progress);
    EXPECT_TRUE(aborted) << room;
  }
  TPxBitmap empty;
  TPxMemoryStream stream;
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  WritePnmStream(stream, &empty, params, progress);
  EXPECT_TRUE(aborted);
  EXPECT_EQ(stream.Size(), 0);
}

// --- Through the format table -------------------------------------------------------

TEST(PnmTable, SavesAndLoadsByEveryExtensionOfItsRow) {
  testutil::TempDir dir;
  auto picture = Picture(23, 9, pxRGB24);
  struct Case {
    const char* name;
    int bits, samples;
    const char* magic;
  };
  const Case cases[] = {{"a.ppm", 8, 3, "P6"}, {"b.pgm", 8, 1, "P5"}, {"c.pbm", 1, 1, "P4"},
                        {"d.pxm", 16, 3, "P6"}, {"e.PPM", 8, 3, "P6"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir.File(c.name);
    TImagingIO out;
    ASSERT_TRUE(out.Bitmap()->Assign(*picture));
    out.Params.BitsPerSample = c.bits;
    out.Params.SamplesPerPixel = c.samples;
    out.Params.PnmComments = {"through the table"};
    out.SaveToFile(file);
    ASSERT_FALSE(out.Aborting);
    EXPECT_EQ(testutil::ReadFileBytes(file).substr(0, 2), c.magic);

    TImagingIO in;
    in.LoadFromFile(file);
    ASSERT_FALSE(in.Aborting);
    EXPECT_EQ(in.Params.FileType, ioPXM);
    EXPECT_EQ(in.Params.FileName, file);
    EXPECT_EQ(in.Params.PnmComments, std::vector<std::string>{"through the table"});
    EXPECT_EQ(in.Params.BitsPerSample, c.bits);
    EXPECT_EQ(in.Params.SamplesPerPixel, c.samples);
    // The same file read through its own function: the table adds nothing to the pixels.
    auto direct = ReadBytes(testutil::ReadFileBytes(file));
    EXPECT_EQ(Rgb8(*in.Bitmap()), Rgb8(direct->bitmap));
    if (c.samples == 3) {
      EXPECT_EQ(Rgb8(*in.Bitmap()), Rgb8(*picture));
    }

    EXPECT_EQ(TImagingIO::DetectFileType(file, true), ioPXM);
    TImagingIO params;
    params.ReadParamsFromFile(file);
    EXPECT_EQ(params.Params.FileType, ioPXM);
    EXPECT_EQ(params.Params.Width, 23);
    EXPECT_EQ(params.Params.Height, 9);
    EXPECT_TRUE(params.Bitmap()->IsEmpty());
  }
  EXPECT_TRUE(IsKnownFormat("x.pgm") && IsKnownFormat("x.PBM") && IsKnownFormat("x.pxm"));
}

TEST(PnmTable, FortyEightBitColourKeepsItsSixteenBitSamples) {
  testutil::TempDir dir;
  const std::string file = dir.File("deep.ppm");
  auto picture = Picture(17, 5, pxRGB48);
  TImagingIO out;
  ASSERT_TRUE(out.Bitmap()->Assign(*picture));
  out.SaveToFile(file);
  ASSERT_FALSE(out.Aborting);
  EXPECT_EQ(out.Bitmap()->PixelFormat(), pxRGB48);
  EXPECT_EQ(testutil::ReadFileBytes(file).substr(0, 14), "P6 17 5 65535\n");
  TImagingIO in;
  in.SetNativePixelFormat(true);
  in.LoadFromFile(file);
  ASSERT_FALSE(in.Aborting);
  ASSERT_EQ(in.Bitmap()->PixelFormat(), pxRGB48);
  for (int y = 0; y < 5; ++y)
    EXPECT_EQ(std::memcmp(in.Bitmap()->Scanline(y), picture->Scanline(y), 17 * 6), 0) << y;
}

TEST(PnmTable, ContentIsRecognisedUnderAnyName) {
  testutil::TempDir dir;
  const std::string file = dir.File("picture.dat");
  testutil::WriteFileBytes(file, "P2\n# gray\n2 1\n15\n15 0\n");
  EXPECT_EQ(TImagingIO::DetectFileType(file, false), ioPXM);
  TImagingIO io;
  io.LoadFromFileAuto(file);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(Rgb8(*io.Bitmap()), (std::vector<uint8_t>{255, 255, 255, 0, 0, 0}));
}

}  // namespace
