// Icons and cursors: files ImageMagick writes (several sizes, palette,
// bilevel, alpha and PNG images, AND masks) decode to ImageMagick's pixels;
// icons we write are read back by ImageMagick with the same pixels and by us
// with the directory asked for; damaged files fail cleanly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imaging/formats/ico.h"
#include "imaging/io/imagingio.h"
#include "util/oracle.h"
#include "util/testutil.h"

namespace {

const std::string kConvert = "/usr/bin/convert";

uint32_t Get32(const std::string& s, size_t at) {
  return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 |
         uint32_t(uint8_t(s[at + 2])) << 16 | uint32_t(uint8_t(s[at + 3])) << 24;
}
void Put16(std::string& s, size_t at, uint16_t v) {
  s[at] = char(v);
  s[at + 1] = char(v >> 8);
}
void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = char(v >> (8 * i));
}

// Transparent pixels carry no colour worth comparing: only their alpha counts.
std::string VisibleDifference(const testutil::RgbaImage& expected, const testutil::RgbaImage& actual) {
  testutil::RgbaImage a = expected, b = actual;
  if (a.rgba.size() == b.rgba.size())
    for (size_t i = 0; i < a.rgba.size(); i += 4)
      if (a.rgba[i + 3] == 0 && b.rgba[i + 3] == 0)
        for (int c = 0; c < 3; ++c) a.rgba[i + c] = b.rgba[i + c] = 0;
  return testutil::RgbaDifference(a, b);
}

struct Loaded {
  bool aborting = true;
  TIOParamsVals params;
  TPxBitmap bitmap;
};

void Load(const std::string& file, int index, Loaded& out, bool cursor = false) {
  TImagingIO io;
  io.SetTargetBitmap(&out.bitmap);
  (cursor ? io.Params.CurImageIndex : io.Params.IcoImageIndex) = index;
  io.LoadFromFile(file);
  out.aborting = io.Aborting;
  out.params = io.Params;
}

// --- Files written by ImageMagick ----------------------------------------------------

struct OracleCase {
  const char* name;
  const char* args;  // ImageMagick arguments before the output file
  const char* ext;
  std::vector<std::pair<int, int>> sizes;  // of the images, in directory order
  int bits;                                // of image 0, as our read reports it
  bool alpha;                              // image 0 has transparent pixels
};

class ImageMagickIcon : public ::testing::TestWithParam<OracleCase> {};

TEST_P(ImageMagickIcon, EveryImageReadsAsImageMagickDecodesIt) {
  if (!testutil::HaveTool(kConvert)) GTEST_SKIP() << "ImageMagick is not installed";
  const OracleCase& c = GetParam();
  testutil::TempDir dir;
  const std::string file = dir.File(std::string("icon.") + c.ext);
  auto r = testutil::RunCommand(kConvert + " " + c.args + " '" + file + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  const bool cursor = std::string(c.ext) == "cur";
  for (size_t i = 0; i < c.sizes.size(); ++i) {
    SCOPED_TRACE(i);
    testutil::RgbaImage expected;
    ASSERT_TRUE(testutil::ImageMagickRgba(file, expected, int(i)));
    Loaded got;
    Load(file, int(i), got, cursor);
    ASSERT_FALSE(got.aborting);
    EXPECT_EQ(got.params.FileType, cursor ? ioCUR : ioICO);
    EXPECT_EQ(VisibleDifference(expected, testutil::BitmapRgba(got.bitmap)), "");
    EXPECT_EQ(got.params.IcoSizes[i].Width, c.sizes[i].first);
    EXPECT_EQ(got.params.IcoSizes[i].Height, c.sizes[i].second);
    if (i == 0) {
      EXPECT_EQ(got.bitmap.HasAlphaChannel(), c.alpha);
      EXPECT_EQ(got.params.BitsPerSample, std::min(c.bits, 8));
    }
  }
  // The directory ends after the last image.
  TImagingIO io;
  io.ReadParamsFromFile(file);
  EXPECT_EQ(io.Params.FileType, cursor ? ioCUR : ioICO);
  if (c.sizes.size() < 16) {
    EXPECT_EQ(io.Params.IcoSizes[c.sizes.size()].Width, 0);
  }
}

const OracleCase kOracleCases[] = {
    {"several_sizes_and_png", "rose: -resize 40x40! -define icon:auto-resize=16,32,48,256", "ico",
     {{16, 16}, {32, 32}, {48, 48}, {256, 256}}, 32, false},
    {"alpha32", "rose: -resize 32x32! -alpha set -channel A -fx i/w +channel", "ico", {{32, 32}}, 32, true},
    {"palette16", "rose: -resize 32x32! -colors 16", "ico", {{32, 32}}, 4, false},
    {"palette16_and_mask", "rose: -resize 32x32! -fuzz 20% -transparent 'rgb(70,50,40)' -colors 16", "ico",
     {{32, 32}}, 4, true},
    {"palette256", "rose: -resize 24x24! -colors 200 -type palette", "ico", {{24, 24}}, 8, false},
    {"bilevel", "rose: -resize 32x32! -type bilevel", "ico", {{32, 32}}, 32, false},
    {"cursor", "rose: -resize 32x32! -colors 16", "cur", {{32, 32}}, 4, false},
};

INSTANTIATE_TEST_SUITE_P(Variants, ImageMagickIcon, ::testing::ValuesIn(kOracleCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Icons we write -------------------------------------------------------------------

void FillPicture(TPxBitmap& b, int w, int h, bool few, bool withAlpha) {
  ASSERT_TRUE(b.Allocate(w, h, pxRGB24));
  for (int y = 0; y < h; ++y) {
    TBGR* row = reinterpret_cast<TBGR*>(b.Scanline(y));
    for (int x = 0; x < w; ++x) {
      const int v = (x * 7 + y * 13 + (x * y) % 5) & 0xFF;
      row[x] = few ? MakeBGR(uint8_t((v % 7) * 36), uint8_t(x % 2 * 200), 90)
                   : MakeBGR(uint8_t(v), uint8_t(x * 5), uint8_t(y * 9 + v / 3));
    }
  }
  if (withAlpha)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) b.Alpha(x, y, (x + y) % 5 == 0 ? 0 : 255);
}

struct WriteCase {
  const char* name;
  bool few, alpha;
  std::vector<TPxIcoSize> sizes;
  std::vector<int32_t> bitCounts;  // asked
  std::vector<int> written;        // bits in the image headers
};

class WrittenIcon : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WrittenIcon, ImageMagickReadsWhatWeRead) {
  if (!testutil::HaveTool(kConvert)) GTEST_SKIP() << "ImageMagick is not installed";
  const WriteCase& c = GetParam();
  testutil::TempDir dir;
  const std::string file = dir.File("ours.ico");
  TPxBitmap picture;
  FillPicture(picture, 32, 32, c.few, c.alpha);
  const testutil::RgbaImage source = testutil::BitmapRgba(picture);
  {
    TImagingIO io;
    io.SetTargetBitmap(&picture);
    io.Params.IcoSizes.fill({});
    io.Params.IcoBitCounts.fill(0);
    for (size_t i = 0; i < c.sizes.size(); ++i) {
      io.Params.IcoSizes[i] = c.sizes[i];
      io.Params.IcoBitCounts[i] = c.bitCounts[i];
    }
    io.SaveToFile(file);
    ASSERT_FALSE(io.Aborting);
  }
  const std::string bytes = testutil::ReadFileBytes(file);
  ASSERT_EQ(uint8_t(bytes[4]), c.sizes.size());
  for (size_t i = 0; i < c.sizes.size(); ++i) {
    SCOPED_TRACE(i);
    const size_t entry = 6 + 16 * i;
    EXPECT_EQ(uint8_t(bytes[entry]), c.sizes[i].Width & 255);
    const uint32_t offset = Get32(bytes, entry + 12);
    ASSERT_LT(offset + 16, bytes.size());
    EXPECT_EQ(uint8_t(bytes[offset + 14]), c.written[i]);

    testutil::RgbaImage im;
    ASSERT_TRUE(testutil::ImageMagickRgba(file, im, int(i)));
    Loaded ours;
    Load(file, int(i), ours);
    ASSERT_FALSE(ours.aborting);
    EXPECT_EQ(VisibleDifference(im, testutil::BitmapRgba(ours.bitmap)), "");
    EXPECT_EQ(ours.params.IcoSizes[i], c.sizes[i]);
    // At the picture's own size nothing is resampled: the source comes back.
    if (c.sizes[i].Width == 32 && c.sizes[i].Height == 32 && (c.written[i] >= 24 || c.few)) {
      EXPECT_EQ(VisibleDifference(source, im), "");
    }
  }
}

const WriteCase kWriteCases[] = {
    {"rgb24", false, false, {{32, 32}}, {24}, {24}},
    {"alpha32", false, true, {{32, 32}}, {32}, {32}},
    {"palette8_masked", true, true, {{32, 32}}, {8}, {8}},
    {"palette4_masked", true, true, {{32, 32}}, {4}, {4}},
    {"bilevel", false, false, {{32, 32}}, {1}, {1}},
    {"odd_bit_counts_write_24", false, false, {{32, 32}, {20, 20}}, {3, 16}, {24, 24}},
    {"several_sizes", false, true, {{16, 16}, {48, 48}, {256, 256}, {32, 32}}, {32, 8, 32, 24}, {32, 8, 32, 24}},
    {"chosen_from_samples", false, false, {{32, 32}}, {0}, {24}},
};

INSTANTIATE_TEST_SUITE_P(Variants, WrittenIcon, ::testing::ValuesIn(kWriteCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IcoWrite, FourBitIconKeepsItsPixelOrder) {
  TPxBitmap b;
  ASSERT_TRUE(b.Allocate(5, 2, pxRGB24));
  const TBGR colours[5] = {MakeBGR(255, 0, 0), MakeBGR(0, 255, 0), MakeBGR(0, 0, 255),
                           MakeBGR(255, 255, 0), MakeBGR(0, 255, 255)};
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 5; ++x) reinterpret_cast<TBGR*>(b.Scanline(y))[x] = colours[(x + y) % 5];
  TIOParamsVals params;
  params.IcoSizes.fill({});
  params.IcoSizes[0] = {5, 2};
  params.IcoBitCounts[0] = 4;
  TPxMemoryStream s;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  WriteIcoStream(s, &b, params, progress);
  ASSERT_FALSE(aborting);
  s.SetPosition(0);
  EXPECT_TRUE(IsIcoStream(s));
  TPxBitmap back;
  TIOParamsVals read;
  ReadIcoStream(s, &back, read, false, false, false, progress);
  ASSERT_FALSE(aborting);
  EXPECT_EQ(testutil::RgbaDifference(testutil::BitmapRgba(b), testutil::BitmapRgba(back)), "");
}

// --- Damaged files ----------------------------------------------------------------------

// A 4 x 2 icon of 8 bits: directory, header, 256 colours, XOR and AND rows.
std::string SmallIcon(int entryWidth = 4, int entryHeight = 2) {
  std::string s;
  s += std::string("\0\0\1\0\1\0", 6);
  s += std::string{char(entryWidth), char(entryHeight), 0, 0, 1, 0, 8, 0};
  const uint32_t size = 40 + 1024 + 4 * 2 + 4 * 2;
  s += std::string(8, '\0');
  Put32(s, 14, size);
  Put32(s, 18, 22);
  std::string h(40, '\0');
  Put32(h, 0, 40);
  Put32(h, 4, 4);
  Put32(h, 8, 4);
  Put16(h, 12, 1);
  Put16(h, 14, 8);
  s += h;
  for (int i = 0; i < 256; ++i) s += std::string{char(i), char(255 - i), char(i / 2), 0};
  s += std::string("\1\2\3\4\5\6\7\10", 8);
  s += std::string("\x50\0\0\0\0\0\0\0", 8);  // pixels 1 and 3 of the bottom row transparent
  return s;
}

struct DamageCase {
  const char* name;
  std::string bytes;
  int index;
  bool aborting;
};

std::vector<DamageCase> DamageCases() {
  const std::string good = SmallIcon();
  std::string zeroCount = good;
  Put16(zeroCount, 4, 0);
  std::string offsetInDirectory = good;
  Put32(offsetInDirectory, 18, 10);
  std::string offsetPastEnd = good;
  Put32(offsetPastEnd, 18, 100000);
  std::string noBits = good;
  Put16(noBits, 12, 0);
  Put16(noBits, 22 + 14, 0);
  std::string huge = good;
  Put32(huge, 22 + 4, 2000);
  Put32(huge, 22 + 8, 4000);
  std::string compressed = good;
  Put32(compressed, 22 + 16, 1);
  std::string badPng = good.substr(0, 22) + "\x89PNG\r\n\x1a\n" + std::string(40, '\7');
  Put32(badPng, 14, 48);
  return {
      {"good", good, 0, false},
      {"index_outside_directory", good, 3, true},
      {"truncated_xor_rows", good.substr(0, good.size() - 12), 0, true},
      {"truncated_and_rows", good.substr(0, good.size() - 3), 0, true},
      {"truncated_palette", good.substr(0, 22 + 40 + 100), 0, true},
      {"no_images", zeroCount, 0, true},
      {"offset_inside_directory", offsetInDirectory, 0, true},
      {"offset_past_end", offsetPastEnd, 0, true},
      {"no_bit_count_anywhere", noBits, 0, true},
      {"huge_header_size_small_file", huge, 0, true},
      {"compressed_bitmap", compressed, 0, true},
      {"damaged_png_image", badPng, 0, true},
  };
}

TEST(IcoDamage, FailsCleanly) {
  for (const DamageCase& c : DamageCases()) {
    SCOPED_TRACE(c.name);
    TPxMemoryStream s(c.bytes.data(), c.bytes.size());
    TPxBitmap b;
    TIOParamsVals params;
    params.IcoImageIndex = c.index;
    bool aborting = false;
    TPxProgress progress;
    progress.Aborting = &aborting;
    ReadIcoStream(s, &b, params, false, false, false, progress);
    EXPECT_EQ(aborting, c.aborting);
  }
}

TEST(IcoRead, MaskedPixelsTakeTheBackgroundAndAlphaZero) {
  const std::string bytes = SmallIcon();
  TPxMemoryStream m(bytes.data(), bytes.size());
  TPxBitmap b;
  TIOParamsVals params;
  params.IcoBackground = MakeBGR(1, 2, 3);
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  ReadIcoStream(m, &b, params, false, false, false, progress);
  ASSERT_FALSE(aborting);
  ASSERT_TRUE(b.HasAlphaChannel());
  // The bottom row is the first in the file: indexes 1 2 3 4, AND bits 0101.
  const TBGR* bottom = reinterpret_cast<const TBGR*>(b.Scanline(1));
  EXPECT_EQ(bottom[0], MakeBGR(0, 254, 1));
  EXPECT_EQ(bottom[1], MakeBGR(1, 2, 3));
  EXPECT_EQ(bottom[2], MakeBGR(1, 252, 3));
  EXPECT_EQ(bottom[3], MakeBGR(1, 2, 3));
  EXPECT_EQ(b.Alpha(0, 1), 255);
  EXPECT_EQ(b.Alpha(1, 1), 0);
  EXPECT_EQ(b.Alpha(3, 1), 0);
  EXPECT_EQ(b.Alpha(1, 0), 255);
}

TEST(IcoRead, EntryWidthZeroTakesTheHeaderSizeAndParamsReadKeepsTheDirectory) {
  const std::string bytes = SmallIcon(0, 0);
  TPxMemoryStream s(bytes.data(), bytes.size());
  TPxBitmap b;
  TIOParamsVals params;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  ReadIcoStream(s, &b, params, false, false, false, progress);
  ASSERT_FALSE(aborting);
  EXPECT_EQ(b.Width(), 4);
  EXPECT_EQ(b.Height(), 2);
  EXPECT_EQ(params.IcoSizes[0], (TPxIcoSize{256, 256}));

  // An index outside the directory: a parameters-only read still lists it.
  const std::string good = SmallIcon();
  TPxMemoryStream g(good.data(), good.size());
  TIOParamsVals p;
  p.IcoImageIndex = 5;
  ReadIcoStream(g, &b, p, false, false, true, progress);
  EXPECT_FALSE(aborting);
  EXPECT_EQ(p.IcoSizes[0], (TPxIcoSize{4, 2}));
  EXPECT_EQ(p.IcoBitCounts[0], 8);
}

TEST(IcoRead, AnIconNamedAsACursorReadsAsACursor) {
  testutil::TempDir dir;
  const std::string icon = SmallIcon();
  for (const char* name : {"a.cur", "a.ico"}) {
    SCOPED_TRACE(name);
    testutil::WriteFileBytes(dir.File(name), icon);
    TImagingIO io;
    io.ReadParamsFromFile(dir.File(name));
    EXPECT_FALSE(io.Aborting);
    EXPECT_EQ(io.Params.FileType, std::string(name) == "a.cur" ? ioCUR : ioICO);
    EXPECT_EQ(io.Params.Width, 4);
  }
}

TEST(IcoRead, RecognitionOfIconsAndCursors) {
  std::string icon = SmallIcon(), cursor = SmallIcon();
  cursor[2] = 2;
  Put16(cursor, 10, 3);   // hot spot x
  Put16(cursor, 12, 1);   // hot spot y
  TPxMemoryStream i(icon.data(), icon.size()), c(cursor.data(), cursor.size());
  EXPECT_EQ(TImagingIO::DetectStreamType(i), ioICO);
  EXPECT_EQ(TImagingIO::DetectStreamType(c), ioCUR);
  EXPECT_FALSE(IsCurStream(i));
  EXPECT_FALSE(IsIcoStream(c));
  TPxBitmap b;
  TIOParamsVals p;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  ReadIcoStream(c, &b, p, true, false, false, progress);
  ASSERT_FALSE(aborting);
  EXPECT_EQ(p.CurXHotSpot, 3);
  EXPECT_EQ(p.CurYHotSpot, 1);
  EXPECT_EQ(PxFindFileFormat(ioCUR)->Describe(p), "1 image: 4 x 2 8 bits, hot spot 3, 1");
}

}  // namespace
