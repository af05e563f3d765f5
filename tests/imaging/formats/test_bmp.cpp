// BMP reading and writing: files ImageMagick writes in every variant it has
// (and variants made from them: top-down rows, other header lengths, RLE4 and
// delta escapes written by hand) decode to ImageMagick's own pixels; every
// variant we write is read back by ImageMagick with the same pixels and the
// header asked for; damaged files fail cleanly with the rows read so far.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "imaging/formats/bmp.h"
#include "imaging/io/imagingio.h"
#include "util/oracle.h"
#include "util/testutil.h"

namespace {

const std::string kConvert = "/usr/bin/convert";

uint32_t Get32(const std::string& s, size_t at) {
  return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 |
         uint32_t(uint8_t(s[at + 2])) << 16 | uint32_t(uint8_t(s[at + 3])) << 24;
}
void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
void Put16(std::string& s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v);
  s[at + 1] = static_cast<char>(v >> 8);
}
std::string Le32(uint32_t v) {
  std::string s(4, '\0');
  Put32(s, 0, v);
  return s;
}
std::string Le16(uint16_t v) {
  std::string s(2, '\0');
  Put16(s, 0, v);
  return s;
}

struct Palette {
  std::vector<TBGR> colors;
};

// A BMP file with a 40-byte header from its parts, sizes and offset filled in.
std::string MakeBmp(int32_t width, int32_t height, int bits, uint32_t compression,
                    const std::vector<TBGR>& palette, const std::string& pixels,
                    uint32_t colorsUsed = 0) {
  std::string info = Le32(40) + Le32(uint32_t(width)) + Le32(uint32_t(height)) + Le16(1) +
                     Le16(uint16_t(bits)) + Le32(compression) + Le32(uint32_t(pixels.size())) +
                     Le32(2835) + Le32(2835) + Le32(colorsUsed) + Le32(0);
  std::string table;
  for (const TBGR& c : palette) table += std::string{char(c.b), char(c.g), char(c.r), 0};
  const uint32_t offset = uint32_t(14 + info.size() + table.size());
  return "BM" + Le32(uint32_t(offset + pixels.size())) + Le32(0) + Le32(offset) + info + table +
         pixels;
}

// The picture the oracle files are made from: noisy gradients, odd width.
std::string MakeSource(const testutil::TempDir& dir, int w = 37, int h = 23) {
  const std::string file = dir.File("source.png");
  auto r = testutil::RunCommand(kConvert + " -size " + std::to_string(w) + "x" + std::to_string(h) +
                                " gradient:orange-navy -seed 3 -attenuate 0.3 +noise Uniform"
                                " -depth 8 '" + file + "'");
  EXPECT_EQ(r.status, 0) << r.output;
  return file;
}

struct Loaded {
  bool aborting = true;
  TIOParamsVals params;
  TPxBitmap bitmap;
};

// Loads through the format table, as the program does.
void Load(const std::string& file, Loaded& out, bool native = false) {
  TImagingIO io;
  io.SetTargetBitmap(&out.bitmap);
  io.SetNativePixelFormat(native);
  io.LoadFromFile(file);
  out.aborting = io.Aborting;
  out.params = io.Params;
}

void ReadBytes(const std::string& bytes, Loaded& out, bool paramsOnly = false) {
  TPxMemoryStream s(bytes.data(), bytes.size());
  TPxProgress progress;
  out.aborting = false;
  progress.Aborting = &out.aborting;
  ReadBmpStream(s, &out.bitmap, out.params, 0, false, paramsOnly, progress);
}

// --- Files written by ImageMagick ------------------------------------------------

struct OracleCase {
  const char* name;
  const char* options;  // ImageMagick options and output prefix
  int version, compression, bits, samples;
  bool alpha = false;
};

class ImageMagickBmp : public ::testing::TestWithParam<OracleCase> {};

TEST_P(ImageMagickBmp, ReadsTheSamePixelsAndFields) {
  if (!testutil::HaveTool(kConvert)) GTEST_SKIP() << "ImageMagick is not installed";
  const OracleCase& c = GetParam();
  testutil::TempDir dir;
  const std::string src = MakeSource(dir), file = dir.File("file.bmp");
  std::string options = c.options;
  const size_t colon = options.rfind(' ') == std::string::npos ? 0 : options.rfind(' ') + 1;
  const std::string prefix = options.substr(colon);
  options.erase(colon);
  auto r = testutil::RunCommand(kConvert + " '" + src + "' " + options + prefix + "'" + file + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  testutil::RgbaImage expected;
  ASSERT_TRUE(testutil::ImageMagickRgba(file, expected));

  for (bool native : {false, true}) {
    SCOPED_TRACE(native ? "native" : "rgb");
    Loaded got;
    Load(file, got, native);
    ASSERT_FALSE(got.aborting);
    EXPECT_EQ(testutil::RgbaDifference(expected, testutil::BitmapRgba(got.bitmap)), "");
    EXPECT_EQ(got.bitmap.HasAlphaChannel(), c.alpha);
    EXPECT_EQ(got.params.FileType, ioBMP);
    EXPECT_EQ(got.params.BmpVersion, c.version);
    EXPECT_EQ(got.params.BmpCompression, c.compression);
    EXPECT_EQ(got.params.BitsPerSample, c.bits);
    EXPECT_EQ(got.params.SamplesPerPixel, c.samples);
    if (native && c.samples == 1 && (c.bits == 4 || c.bits == 8)) {
      EXPECT_EQ(got.bitmap.PixelFormat(), px8p);
      EXPECT_EQ(got.params.ColorMapCount, 1 << c.bits);
    }
  }
  // A parameters-only read gives the same fields and leaves the bitmap alone.
  TImagingIO io;
  io.ReadParamsFromFile(file);
  EXPECT_EQ(io.Params.FileType, ioBMP);
  EXPECT_EQ(io.Params.Width, expected.width);
  EXPECT_EQ(io.Params.Height, expected.height);
  EXPECT_EQ(io.Params.BmpVersion, c.version);
  EXPECT_TRUE(io.Bitmap()->IsEmpty());
}

const OracleCase kOracleCases[] = {
    {"os2_24", "-type truecolor bmp2:", 2, 0, 8, 3},
    {"os2_8", "-type palette bmp2:", 2, 0, 8, 1},
    {"win_24", "-type truecolor bmp3:", 1, 0, 8, 3},
    {"win_8", "-type palette -compress none bmp3:", 1, 0, 8, 1},
    {"win_rle8", "-type palette -compress RLE bmp3:", 1, 1, 8, 1},
    {"win_4", "-colors 16 -compress none bmp3:", 1, 0, 4, 1},
    {"win_1_black_white", "-type bilevel bmp3:", 1, 0, 1, 1},
    {"win_1_two_colours", "-colors 2 -type palette bmp3:", 1, 0, 1, 1},
    {"v5_24", "-type truecolor bmp:", 0, 0, 8, 3},
    {"v5_8_table_after_header", "-type palette -compress none bmp:", 0, 0, 8, 1},
    {"v5_32_alpha_bit_fields", "-alpha set -channel A -fx i/w +channel -type truecolormatte bmp:", 0, 0, 8, 4, true},
    {"v5_16_rgb565", "-type truecolor -define bmp:subtype=RGB565 bmp:", 0, 0, 5, 3},
    {"v5_16_rgb555", "-type truecolor -define bmp:subtype=RGB555 bmp:", 0, 0, 5, 3},
    {"resolution", "-density 150 -units PixelsPerInch -type truecolor bmp3:", 1, 0, 8, 3},
};

INSTANTIATE_TEST_SUITE_P(Variants, ImageMagickBmp, ::testing::ValuesIn(kOracleCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BmpRead, ResolutionComesFromThePixelsPerMetre) {
  if (!testutil::HaveTool(kConvert)) GTEST_SKIP() << "ImageMagick is not installed";
  testutil::TempDir dir;
  const std::string file = dir.File("r.bmp");
  ASSERT_EQ(testutil::RunCommand(kConvert + " '" + MakeSource(dir) +
                                 "' -density 150x72 -units PixelsPerInch bmp3:'" + file + "'")
                .status,
            0);
  Loaded got;
  Load(file, got);
  EXPECT_EQ(got.params.DpiX, 150);
  EXPECT_EQ(got.params.DpiY, 72);
  EXPECT_TRUE(got.params.DpiFromFile);
}

// --- Variants made from ImageMagick's files ----------------------------------------

// Top-down rows: the height negated and the rows reversed.
std::string TopDown(const std::string& bmp) {
  std::string out = bmp;
  const int32_t w = int32_t(Get32(bmp, 18)), h = int32_t(Get32(bmp, 22));
  const int bits = uint8_t(bmp[28]);
  const size_t offset = Get32(bmp, 10), row = size_t((w * bits + 31) / 32 * 4);
  Put32(out, 22, uint32_t(-h));
  for (int k = 0; k < h; ++k)
    out.replace(offset + size_t(k) * row, row, bmp.substr(offset + size_t(h - 1 - k) * row, row));
  return out;
}

// The 40-byte header grown to `size` bytes (zeros), offsets moved along.
std::string LongerHeader(const std::string& bmp, uint32_t size) {
  std::string out = bmp;
  out.insert(14 + 40, std::string(size - 40, '\0'));
  Put32(out, 14, size);
  Put32(out, 10, Get32(bmp, 10) + size - 40);
  Put32(out, 2, uint32_t(out.size()));
  return out;
}

struct DerivedCase {
  const char* name;
  const char* options;
  std::string (*derive)(const std::string&);
  int version;
};

class DerivedBmp : public ::testing::TestWithParam<DerivedCase> {};

TEST_P(DerivedBmp, ReadsThePixelsOfTheFileItCameFrom) {
  if (!testutil::HaveTool(kConvert)) GTEST_SKIP() << "ImageMagick is not installed";
  const DerivedCase& c = GetParam();
  testutil::TempDir dir;
  const std::string file = dir.File("base.bmp"), derived = dir.File("derived.bmp");
  auto r = testutil::RunCommand(kConvert + " '" + MakeSource(dir) + "' " + c.options + "'" + file + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  testutil::RgbaImage expected;
  ASSERT_TRUE(testutil::ImageMagickRgba(file, expected));
  testutil::WriteFileBytes(derived, c.derive(testutil::ReadFileBytes(file)));
  Loaded got;
  Load(derived, got);
  ASSERT_FALSE(got.aborting);
  EXPECT_EQ(testutil::RgbaDifference(expected, testutil::BitmapRgba(got.bitmap)), "");
  EXPECT_EQ(got.params.BmpVersion, c.version);
}

const DerivedCase kDerivedCases[] = {
    {"top_down_24", "-type truecolor bmp3:", TopDown, 1},
    {"top_down_8", "-type palette -compress none bmp3:", TopDown, 1},
    {"top_down_1", "-type bilevel bmp3:", TopDown, 1},
    {"os2_2x_64_byte_header", "-type palette -compress none bmp3:",
     [](const std::string& b) { return LongerHeader(b, 64); }, 3},
    {"header_108_with_8_bit_table", "-type palette -compress none bmp3:",
     [](const std::string& b) { return LongerHeader(b, 108); }, 0},
};

INSTANTIATE_TEST_SUITE_P(Variants, DerivedBmp, ::testing::ValuesIn(kDerivedCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Run-length files ImageMagick does not write: RLE4, and RLE8 with delta
// escapes and literal runs; ImageMagick decodes them as the reference.
struct HandRleCase {
  const char* name;
  int width, height, bits;
  std::string data;
};

const std::vector<TBGR> kSixteen = [] {
  std::vector<TBGR> p;
  for (int i = 0; i < 16; ++i) p.push_back(MakeBGR(uint8_t(i * 16), uint8_t(255 - i * 16), uint8_t(i * 7)));
  p[0] = TBGR{};  // black, what a skipped pixel shows in either reading
  return p;
}();

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

class HandRle : public ::testing::TestWithParam<HandRleCase> {};

TEST_P(HandRle, DecodesAsImageMagickDoes) {
  if (!testutil::HaveTool(kConvert)) GTEST_SKIP() << "ImageMagick is not installed";
  const HandRleCase& c = GetParam();
  testutil::TempDir dir;
  const std::string file = dir.File("hand.bmp");
  testutil::WriteFileBytes(file, MakeBmp(c.width, c.height, c.bits, c.bits == 4 ? 2 : 1, kSixteen, c.data, 16));
  testutil::RgbaImage expected;
  ASSERT_TRUE(testutil::ImageMagickRgba(file, expected));
  Loaded got;
  Load(file, got);
  ASSERT_FALSE(got.aborting);
  EXPECT_EQ(got.params.BmpCompression, 1);
  EXPECT_EQ(testutil::RgbaDifference(expected, testutil::BitmapRgba(got.bitmap)), "");
}

const HandRleCase kHandRle[] = {
    // Runs alternating nibbles, an odd literal (padded), end of line and of bitmap.
    {"rle4_runs_and_literals", 7, 3, 4,
     Bytes({5, 0x12, 2, 0x33, 0, 0, 0, 3, 0x45, 0x60, 4, 0x78, 0, 0, 0, 7, 0x9A, 0xBC, 0xDE, 0xF0, 0, 0, 0, 1})},
    {"rle8_delta_in_a_line", 6, 4, 8,
     Bytes({2, 5, 0, 2, 2, 1, 2, 7, 0, 0, 0, 3, 1, 2, 3, 0, 2, 9, 0, 0, 6, 4, 0, 1})},
};

INSTANTIATE_TEST_SUITE_P(Files, HandRle, ::testing::ValuesIn(kHandRle),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BmpRead, ThirtyTwoBitsWithoutAlphaAndWithIt) {
  // Fourth bytes all 0: a writer that knew no alpha; no alpha plane.
  std::string zeros, varying;
  for (int i = 0; i < 4; ++i) {
    zeros += Bytes({10 * i, 20, 30, 0});
    varying += Bytes({10 * i, 20, 30, 60 * i});
  }
  Loaded a;
  ReadBytes(MakeBmp(2, 2, 32, 0, {}, zeros), a);
  ASSERT_FALSE(a.aborting);
  EXPECT_FALSE(a.bitmap.HasAlphaChannel());
  Loaded b;
  ReadBytes(MakeBmp(2, 2, 32, 0, {}, varying), b);
  ASSERT_FALSE(b.aborting);
  ASSERT_TRUE(b.bitmap.HasAlphaChannel());
  // File order is bottom-up: pixel 0 of the file is the bottom-left one.
  EXPECT_EQ(b.bitmap.Alpha(0, 1), 0);
  EXPECT_EQ(b.bitmap.Alpha(1, 1), 60);
  EXPECT_EQ(b.bitmap.Alpha(0, 0), 120);
  EXPECT_EQ(b.bitmap.Alpha(1, 0), 180);
  EXPECT_EQ(b.bitmap.Scanline(0)[0], 20);  // blue of the file's third pixel
}

TEST(BmpRead, WhiteBlackTableGivesWhiteAsOne) {
  const std::vector<TBGR> whiteBlack = {MakeBGR(255, 255, 255), MakeBGR(0, 0, 0)};
  // One row of 8 pixels: bits 1010 0000 -> black, white, black, white...
  Loaded got;
  ReadBytes(MakeBmp(8, 1, 1, 0, whiteBlack, Bytes({0xA0, 0, 0, 0})), got);
  ASSERT_FALSE(got.aborting);
  ASSERT_EQ(got.bitmap.PixelFormat(), px1g);
  EXPECT_EQ(got.bitmap.Scanline(0)[0], 0x5F);
}

// --- Files we write, read by ImageMagick ---------------------------------------------

enum SourceKind { kFullColour, kFewColours, kTwoColours, kNativePalette, kBilevel, kWithAlpha };

struct WriteCase {
  const char* name;
  SourceKind source;
  int bitsPerSample, samples, version, compression;
  uint32_t headerSize;
  int bitCount;
  uint32_t coding;  // the header's compression field
};

// Deterministic content; `colours` distinct colours when above 0.
void FillPicture(TPxBitmap& b, SourceKind kind, int w, int h) {
  const TPxPixelFormat pf = kind == kNativePalette ? px8p : kind == kBilevel ? px1g : pxRGB24;
  ASSERT_TRUE(b.Allocate(w, h, pf));
  if (pf == px8p)
    for (int i = 0; i < 256; ++i) b.PaletteColor(i, MakeBGR(uint8_t(i), uint8_t(i * 3), uint8_t(255 - i)));
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int x = 0; x < w; ++x) {
      const int v = (x * 7 + y * 13 + (x * y) % 5) & 0xFF;
      if (pf == px1g) {
        if (v & 8) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
        else row[x >> 3] &= uint8_t(~(0x80 >> (x & 7)));
      } else if (pf == px8p) {
        row[x] = uint8_t(v);
      } else {
        TBGR c = MakeBGR(uint8_t(v), uint8_t(x * 5), uint8_t(y * 9 + v / 3));
        if (kind == kFewColours) c = MakeBGR(uint8_t((v % 6) * 40), uint8_t(x % 2 * 200), 40);
        if (kind == kTwoColours) c = (v & 16) ? MakeBGR(200, 30, 10) : MakeBGR(20, 60, 240);
        reinterpret_cast<TBGR*>(row)[x] = c;
      }
    }
  }
  if (kind == kWithAlpha)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) b.Alpha(x, y, uint8_t((x * 40 + y * 3) & 0xFF));
}

class WrittenBmp : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WrittenBmp, ImageMagickReadsTheSamePixelsAndOurReaderTheFields) {
  if (!testutil::HaveTool(kConvert)) GTEST_SKIP() << "ImageMagick is not installed";
  const WriteCase& c = GetParam();
  testutil::TempDir dir;
  const std::string file = dir.File("ours.bmp");
  TPxBitmap picture;
  FillPicture(picture, c.source, 29, 17);
  const testutil::RgbaImage wanted = testutil::BitmapRgba(picture);
  {
    TImagingIO io;
    io.SetTargetBitmap(&picture);
    io.Params.BitsPerSample = c.bitsPerSample;
    io.Params.SamplesPerPixel = c.samples;
    io.Params.BmpVersion = static_cast<uint8_t>(c.version);
    io.Params.BmpCompression = static_cast<uint8_t>(c.compression);
    io.Params.SetDpi(150, 200);
    io.SaveToFile(file);
    ASSERT_FALSE(io.Aborting);
  }
  const std::string bytes = testutil::ReadFileBytes(file);
  ASSERT_GT(bytes.size(), 26u);
  EXPECT_EQ(Get32(bytes, 2), bytes.size());
  EXPECT_EQ(Get32(bytes, 14), c.headerSize);
  const size_t bitsAt = c.headerSize == 12 ? 24 : 28;
  EXPECT_EQ(uint8_t(bytes[bitsAt]), c.bitCount);
  if (c.headerSize != 12) {
    EXPECT_EQ(Get32(bytes, 30), c.coding);
  }

  testutil::RgbaImage im;
  ASSERT_TRUE(testutil::ImageMagickRgba(file, im));
  EXPECT_EQ(testutil::RgbaDifference(wanted, im), "");
  if (c.headerSize != 12) {
    auto res = testutil::RunCommand("/usr/bin/identify -units PixelsPerInch -format '%x %y' '" + file + "'");
    double dx = 0, dy = 0;
    ASSERT_EQ(std::sscanf(res.output.c_str(), "%lf %lf", &dx, &dy), 2) << res.output;
    EXPECT_NEAR(dx, 150, 0.05);
    EXPECT_NEAR(dy, 200, 0.05);
  }

  Loaded back;
  Load(file, back);
  ASSERT_FALSE(back.aborting);
  EXPECT_EQ(testutil::RgbaDifference(wanted, testutil::BitmapRgba(back.bitmap)), "");
  EXPECT_EQ(back.params.BmpVersion, c.version == 0 ? 1 : c.version);
  EXPECT_EQ(back.params.BmpCompression, c.headerSize == 12 ? 0 : c.coding == 1 || c.coding == 2);
}

const WriteCase kWriteCases[] = {
    {"rgb24", kFullColour, 8, 3, 1, 0, 40, 24, 0},
    {"rgb24_os2", kFullColour, 8, 3, 2, 0, 12, 24, 0},
    {"rgb24_os2_2x", kFullColour, 8, 3, 3, 0, 64, 24, 0},
    {"rgb24_any_header_asked", kFullColour, 8, 3, 0, 0, 40, 24, 0},
    {"alpha32", kWithAlpha, 8, 4, 1, 0, 40, 32, 0},
    {"palette8", kFewColours, 8, 1, 1, 0, 40, 8, 0},
    {"palette8_rle", kFewColours, 8, 1, 1, 1, 40, 8, 1},
    {"palette8_os2_rle_asked", kFewColours, 8, 1, 2, 1, 12, 8, 0},
    {"native_palette8", kNativePalette, 8, 1, 1, 0, 40, 8, 0},
    {"native_palette8_rle", kNativePalette, 8, 1, 1, 1, 40, 8, 1},
    {"palette4", kFewColours, 4, 1, 1, 0, 40, 4, 0},
    {"palette4_rle", kFewColours, 4, 1, 1, 1, 40, 4, 2},
    {"bilevel", kBilevel, 1, 1, 1, 0, 40, 1, 0},
    {"two_colours", kTwoColours, 1, 1, 1, 0, 40, 1, 0},
    {"two_colours_os2", kTwoColours, 1, 1, 2, 0, 12, 1, 0},
};

INSTANTIATE_TEST_SUITE_P(Variants, WrittenBmp, ::testing::ValuesIn(kWriteCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BmpWrite, RowsArePaddedToFourBytesAndRleEndsTheBitmap) {
  TPxBitmap b;
  FillPicture(b, kFullColour, 3, 5);
  TIOParamsVals params;
  TPxMemoryStream s;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  WriteBmpStream(s, &b, params, progress);
  ASSERT_FALSE(aborting);
  EXPECT_EQ(s.Size(), 14 + 40 + 12 * 5);

  FillPicture(b, kFewColours, 9, 4);
  params.SamplesPerPixel = 1;
  params.BmpCompression = 1;
  TPxMemoryStream rle;
  WriteBmpStream(rle, &b, params, progress);
  ASSERT_FALSE(aborting);
  const std::vector<uint8_t>& d = rle.Data();
  ASSERT_GT(d.size(), 4u);
  EXPECT_EQ(std::vector<uint8_t>(d.end() - 4, d.end()), (std::vector<uint8_t>{0, 0, 0, 1}));
  EXPECT_EQ(params.ColorMapCount, 256);
}

TEST(BmpWrite, DepthsWithoutAlphaShowTransparencyOnWhite) {
  if (!testutil::HaveTool(kConvert)) GTEST_SKIP() << "ImageMagick is not installed";
  testutil::TempDir dir;
  const std::string file = dir.File("flat.bmp");
  TPxBitmap b;
  ASSERT_TRUE(b.Allocate(4, 1, pxRGB24));
  for (int x = 0; x < 4; ++x) reinterpret_cast<TBGR*>(b.Scanline(0))[x] = MakeBGR(200, 10, 20);
  b.Alpha(1, 0, 0);
  b.Alpha(3, 0, 0);
  TImagingIO io;
  io.SetTargetBitmap(&b);
  io.Params.SamplesPerPixel = 1;  // an 8-bit file
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting);
  testutil::RgbaImage im;
  ASSERT_TRUE(testutil::ImageMagickRgba(file, im));
  const std::vector<uint8_t> want = {200, 10, 20, 255, 255, 255, 255, 255,
                                     200, 10, 20, 255, 255, 255, 255, 255};
  EXPECT_EQ(im.rgba, want);
  EXPECT_TRUE(b.HasAlphaChannel());  // the picture itself keeps its alpha
}

TEST(BmpWrite, EmptyBitmapAndShortWriteFail) {
  TPxBitmap empty;
  TIOParamsVals params;
  TPxMemoryStream s;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  WriteBmpStream(s, &empty, params, progress);
  EXPECT_TRUE(aborting);

  // A stream with room for the headers only.
  class Full : public TPxMemoryStream {
   public:
    int64_t Write(const void* b, int64_t n) override {
      const int64_t k = std::min<int64_t>(n, 100 - Position());
      return k > 0 ? TPxMemoryStream::Write(b, k) : 0;
    }
  } full;
  TPxBitmap b;
  FillPicture(b, kFullColour, 300, 300);
  aborting = false;
  WriteBmpStream(full, &b, params, progress);
  EXPECT_TRUE(aborting);
}

// --- Damaged files ---------------------------------------------------------------------

struct DamageCase {
  const char* name;
  std::string bytes;
  bool aborting;
  // Rows of the file (bottom-up) whose pixels must be there: (bitmap row, first pixel BGR).
  std::vector<std::pair<int, TBGR>> rowsKept;
};

std::string Gray24(int w, int h) {
  std::string px;
  const int row = (w * 3 + 3) / 4 * 4;
  for (int k = 0; k < h; ++k) {
    std::string r(size_t(row), '\0');
    for (int x = 0; x < w * 3; ++x) r[size_t(x)] = char(10 + k);
    px += r;
  }
  return MakeBmp(w, h, 24, 0, {}, px);
}

std::vector<DamageCase> DamageCases() {
  const std::string full = Gray24(5, 10);
  std::string hugeClaim = Gray24(5, 2);
  Put32(hugeClaim, 18, 100000);
  Put32(hugeClaim, 22, 100000);
  std::string hugeRle = MakeBmp(60000, 60000, 8, 1, kSixteen, Bytes({0, 1}), 16);
  std::string negativeWidth = Gray24(5, 2);
  Put32(negativeWidth, 18, uint32_t(-5));
  std::string smallestHeight = Gray24(5, 2);
  Put32(smallestHeight, 22, 0x80000000u);
  std::string shortHeader = Gray24(5, 2);
  Put32(shortHeader, 14, 8);
  std::string bits7 = Gray24(5, 2);
  bits7[28] = 7;
  std::string jpegCoded = Gray24(5, 2);
  Put32(jpegCoded, 30, 4);
  std::string rleOn24 = Gray24(5, 2);
  Put32(rleOn24, 30, 1);
  std::string offsetPastEnd = Gray24(5, 2);
  Put32(offsetPastEnd, 10, 100000);
  const TBGR c0 = kSixteen[0], c3 = kSixteen[3], c5 = kSixteen[5], c8 = kSixteen[8];
  return {
      // Cut inside file row 3: rows 0..2 complete and kept (bitmap rows 9, 8, 7).
      {"truncated_rows", full.substr(0, 54 + 16 * 3 + 7), true,
       {{9, MakeBGR(10, 10, 10)}, {7, MakeBGR(12, 12, 12)}, {6, MakeBGR(13, 13, 13)}}},
      {"truncated_header", full.substr(0, 30), true, {}},
      {"truncated_palette", MakeBmp(4, 1, 8, 0, kSixteen, "abcd", 16).substr(0, 54 + 20), true, {}},
      {"rle8_run_past_row", MakeBmp(4, 3, 8, 1, kSixteen, Bytes({4, 3, 0, 0, 9, 5, 0, 0, 4, 3, 0, 1}), 16),
       true, {{2, c3}, {1, c5}}},
      {"rle8_literal_past_row", MakeBmp(4, 2, 8, 1, kSixteen, Bytes({4, 3, 0, 0, 0, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}), 16),
       true, {{1, c3}}},
      {"rle8_delta_outside_picture", MakeBmp(4, 3, 8, 1, kSixteen, Bytes({4, 5, 0, 0, 0, 2, 0, 5, 4, 3}), 16),
       true, {{2, c5}, {0, c0}}},
      {"rle8_data_ends_early", MakeBmp(4, 3, 8, 1, kSixteen, Bytes({4, 5, 0, 0, 2}), 16), true, {{2, c5}}},
      // An end of bitmap before the last row: the rows not reached take index 0.
      {"rle8_end_of_bitmap_early", MakeBmp(5, 4, 8, 1, kSixteen, Bytes({5, 3, 0, 0, 2, 8, 0, 1}), 16),
       false, {{3, c3}, {2, c8}, {1, c0}, {0, c0}}},
      {"rle4_run_past_row", MakeBmp(4, 2, 4, 2, kSixteen, Bytes({4, 0x33, 0, 0, 20, 0x55, 0, 1}), 16),
       true, {{1, c3}}},
      // Index 7 beyond a two-entry table: black, never a read outside the table.
      {"palette_index_beyond_table", MakeBmp(4, 1, 8, 0, {MakeBGR(255, 0, 0), MakeBGR(0, 255, 0)}, Bytes({7, 1, 0, 7}), 2),
       false, {{0, TBGR{}}}},
      {"huge_size_small_file", hugeClaim, true, {}},
      {"huge_rle_size_small_file", hugeRle, true, {}},
      // 16 million pixels from a few bytes: more than run-length data expands to.
      {"huge_rle_4000x4000_from_10_bytes", MakeBmp(4000, 4000, 8, 1, kSixteen, Bytes({255, 1, 0, 0, 255, 2, 0, 0, 0, 1}), 16),
       true, {}},
      {"negative_width", negativeWidth, true, {}},
      {"height_beyond_limits", smallestHeight, true, {}},
      {"header_too_short", shortHeader, true, {}},
      {"unknown_bit_count", bits7, true, {}},
      {"jpeg_inside", jpegCoded, true, {}},
      {"rle_on_24_bits", rleOn24, true, {}},
      {"pixel_offset_past_end", offsetPastEnd, true, {}},
      {"not_bm", "BA" + full.substr(2), true, {}},
  };
}

TEST(BmpDamage, FailsCleanlyKeepingTheRowsReadSoFar) {
  for (const DamageCase& c : DamageCases()) {
    SCOPED_TRACE(c.name);
    Loaded got;
    ReadBytes(c.bytes, got);
    EXPECT_EQ(got.aborting, c.aborting);
    for (const auto& [row, color] : c.rowsKept) {
      ASSERT_FALSE(got.bitmap.IsEmpty());
      TPxBitmap rgb;
      ASSERT_TRUE(rgb.Assign(got.bitmap) && rgb.ConvertTo(pxRGB24));
      EXPECT_EQ(reinterpret_cast<const TBGR*>(rgb.Scanline(row))[0], color) << "row " << row;
    }
    if (std::string(c.name).rfind("huge", 0) == 0) {
      EXPECT_TRUE(got.bitmap.IsEmpty());
    }
  }
}

TEST(BmpDamage, RecognitionAndTheFormatRow) {
  const std::string good = Gray24(2, 2);
  TPxMemoryStream s(good.data(), good.size());
  EXPECT_EQ(TImagingIO::DetectStreamType(s), ioBMP);
  const TPxFileFormat* row = PxFindFileFormat(ioBMP);
  ASSERT_NE(row, nullptr);
  TIOParamsVals p;
  p.BmpVersion = 2;
  p.BmpCompression = 1;
  p.ColorMapCount = 16;
  EXPECT_EQ(row->Describe(p), "OS/2 1.x header, run-length coded, 16-colour table");
}

}  // namespace
