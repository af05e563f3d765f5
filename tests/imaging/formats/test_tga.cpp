// TGA: files written by ImageMagick and files built byte by byte here decode
// as ImageMagick decodes them (origins, run-length coding, colour maps,
// alpha); files we write are read back by ImageMagick with the pixels they
// were given; the extension area's fields; damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "imaging/core/pxstream.h"
#include "imaging/formats/tga.h"
#include "imaging/io/imagingio.h"
#include "imoracle.h"
#include "util/testutil.h"

namespace {

using imoracle::Pixels;

struct ReadResult {
  TPxBitmap bitmap;
  TIOParamsVals params;
  bool aborted = false;
};

void ReadTgaBytes(const std::string& bytes, ReadResult& r, bool paramsOnly = false) {
  TPxMemoryStream stream(bytes.data(), bytes.size());
  TPxProgress progress;
  progress.Aborting = &r.aborted;
  ReadTgaRow(stream, &r.bitmap, r.params, paramsOnly, progress);
}

std::string WriteTgaBytes(TPxBitmap& bitmap, TIOParamsVals& params) {
  TPxMemoryStream stream;
  bool failed = false;
  TPxProgress progress;
  progress.Aborting = &failed;
  WriteTgaRow(stream, &bitmap, params, progress);
  EXPECT_FALSE(failed);
  return std::string(stream.Data().begin(), stream.Data().end());
}

uint32_t Hash(uint32_t a, uint32_t b) {
  uint32_t h = a * 73856093u ^ b * 19349663u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  return h ^ (h >> 15);
}

// A 24-bit picture with `colours` distinct colours (0: photo-like).
std::unique_ptr<TPxBitmap> Picture(int w, int h, int colours) {
  auto b = std::make_unique<TPxBitmap>();
  EXPECT_TRUE(b->Allocate(w, h, pxRGB24));
  for (int y = 0; y < h; ++y) {
    TBGR* row = reinterpret_cast<TBGR*>(b->Scanline(y));
    for (int x = 0; x < w; ++x) {
      if (colours > 0) {
        const int k = static_cast<int>(Hash(x / 3, y / 2) % static_cast<uint32_t>(colours));
        row[x] = MakeBGR(static_cast<uint8_t>(k * 37), static_cast<uint8_t>(255 - k * 11),
                         static_cast<uint8_t>(k * 3));
      } else {
        const uint32_t n = Hash(x, y) % 24;
        row[x] = MakeBGR(static_cast<uint8_t>((x * 5 + n) & 255), static_cast<uint8_t>((y * 3 + n) & 255),
                         static_cast<uint8_t>((x + y + (x / 4 % 2) * 200) & 255));
      }
    }
  }
  return b;
}

std::string Name(std::string n) {
  for (char& c : n)
    if (c == '-') c = '_';
  return n;
}

// --- Files written by ImageMagick ------------------------------------------------

struct ImCase {
  const char* name;
  const char* args;
  bool alpha;
  bool rle;
  bool gray;
};

const ImCase kImCases[] = {
    {"rgb-bottom-up", "rose: -resize 45x29!", false, false, false},
    {"rgb-rle", "rose: -resize 45x29! -compress RLE", false, true, false},
    {"rgb-top-down", "rose: -resize 45x29! -orient TopLeft", false, false, false},
    {"rgb-rle-top-down", "rose: -resize 45x29! -orient TopLeft -compress RLE", false, true, false},
    {"rgb-right-to-left", "rose: -resize 45x29! -orient TopRight", false, false, false},
    {"rgb-bottom-right", "rose: -resize 45x29! -orient BottomRight -compress RLE", false, true, false},
    {"palette", "rose: -resize 45x29! -type Palette", false, false, false},
    {"palette-rle", "rose: -resize 45x29! -type Palette -compress RLE", false, true, false},
    {"gray", "rose: -resize 45x29! -colorspace Gray", false, false, true},
    {"gray-rle", "rose: -resize 45x29! -colorspace Gray -compress RLE", false, true, true},
    {"rgba", "rose: -resize 45x29! -alpha set -channel A -fx 'i/w' +channel", true, false, false},
    {"rgba-rle", "rose: -resize 45x29! -alpha set -channel A -fx 'j/h' +channel -compress RLE", true, true, false},
    // Larger than the reader's buffer, so that packets straddle refills.
    {"plasma-rle-300x200", "-size 300x200 -seed 3 plasma:fractal -compress RLE", false, true, false},
    {"flat-rle-300x200", "-size 300x200 xc:'#102030' -fill red -draw 'rectangle 20,20 250,120' -alpha off -compress RLE",
     false, true, false},
};

class TgaFromImageMagick : public ::testing::TestWithParam<ImCase> {};

TEST_P(TgaFromImageMagick, DecodesAsImageMagickDoes) {
  const ImCase& c = GetParam();
  testutil::TempDir dir;
  const std::string file = dir.File(std::string(c.name) + ".tga");
  ASSERT_TRUE(imoracle::Convert(std::string(c.args) + " '" + file + "'"));
  ReadResult r;
  ReadTgaBytes(testutil::ReadFileBytes(file), r);
  ASSERT_FALSE(r.aborted);
  imoracle::ExpectSame(imoracle::FromBitmap(r.bitmap, c.alpha), imoracle::Decode(file, c.alpha));
  EXPECT_EQ(r.bitmap.HasAlphaChannel(), c.alpha);
  EXPECT_EQ(r.params.TgaCompression, c.rle);
  EXPECT_EQ(r.params.TgaGrayLevel, c.gray);
  EXPECT_EQ(r.params.SamplesPerPixel, c.alpha ? 4 : c.gray || std::string(c.name).rfind("palette", 0) == 0 ? 1 : 3);
}

INSTANTIATE_TEST_SUITE_P(Variants, TgaFromImageMagick, ::testing::ValuesIn(kImCases),
                         [](const auto& info) { return Name(info.param.name); });

// --- Files built here byte by byte ------------------------------------------------------

struct Header {
  int mapType = 0, imageType = 2, mapFirst = 0, mapLength = 0, mapBits = 0;
  int width = 0, height = 0, depth = 24, descriptor = 0x20;
};

std::string HeaderBytes(const Header& h, const std::string& id = {}) {
  std::string b(18, '\0');
  auto put16 = [&](size_t at, int v) {
    b[at] = static_cast<char>(v & 255);
    b[at + 1] = static_cast<char>(v >> 8);
  };
  b[0] = static_cast<char>(id.size());
  b[1] = static_cast<char>(h.mapType);
  b[2] = static_cast<char>(h.imageType);
  put16(3, h.mapFirst);
  put16(5, h.mapLength);
  b[7] = static_cast<char>(h.mapBits);
  put16(12, h.width);
  put16(14, h.height);
  b[16] = static_cast<char>(h.depth);
  b[17] = static_cast<char>(h.descriptor);
  return b + id;
}

std::string Noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(Hash(static_cast<uint32_t>(i / 2), seed) & 255);
  return s;
}

struct BuiltCase {
  const char* name;
  std::string (*make)();
};

const BuiltCase kBuiltCases[] = {
    {"16-bit",
     [] {
       Header h;
       h.width = 13, h.height = 5, h.depth = 16;
       return HeaderBytes(h) + Noise(13 * 5 * 2, 1);
     }},
    {"16-bit-rle-bottom-up",
     [] {
       Header h;
       h.width = 6, h.height = 3, h.depth = 16, h.imageType = 10, h.descriptor = 0;
       // A run of 4, a raw packet of 2, then a run of 12 covering two rows.
       return HeaderBytes(h) + std::string("\x83\x12\x7C\x01\x34\x12\x00\x80\x8B\xFF\x03", 11);
     }},
    {"map-of-15-bits-from-entry-3",
     [] {
       Header h;
       h.mapType = 1, h.imageType = 1, h.mapFirst = 3, h.mapLength = 8, h.mapBits = 15;
       h.width = 9, h.height = 4, h.depth = 8;
       std::string pixels;
       for (int i = 0; i < 36; ++i) pixels += static_cast<char>(3 + Hash(i, 5) % 8);
       return HeaderBytes(h) + Noise(16, 2) + pixels;
     }},
    {"map-of-24-bits-rle",
     [] {
       Header h;
       h.mapType = 1, h.imageType = 9, h.mapLength = 4, h.mapBits = 24;
       h.width = 5, h.height = 4, h.depth = 8, h.descriptor = 0;
       // Packets that cross the ends of rows.
       return HeaderBytes(h) + Noise(12, 3) + std::string("\x86\x01\x02\x00\x03\x02\x89\x02\x00\x01", 10);
     }},
    {"rgb-rle-packet-across-rows",
     [] {
       Header h;
       h.imageType = 10, h.width = 4, h.height = 2;
       return HeaderBytes(h, "an id") + std::string("\x85\x10\x20\x30\x01\x01\x02\x03\x04\x05\x06", 11);
     }},
};

class TgaBuilt : public ::testing::TestWithParam<BuiltCase> {};

TEST_P(TgaBuilt, DecodesAsImageMagickDoes) {
  const std::string bytes = GetParam().make();
  testutil::TempDir dir;
  const std::string file = dir.File("built.tga");
  testutil::WriteFileBytes(file, bytes);
  ReadResult r;
  ReadTgaBytes(bytes, r);
  ASSERT_FALSE(r.aborted);
  imoracle::ExpectSame(imoracle::FromBitmap(r.bitmap), imoracle::Decode(file));
}

INSTANTIATE_TEST_SUITE_P(Layouts, TgaBuilt, ::testing::ValuesIn(kBuiltCases),
                         [](const auto& info) { return Name(info.param.name); });

TEST(Tga, HeaderFieldsBecomeParameters) {
  Header h;
  h.width = 3, h.height = 2;
  std::string bytes = HeaderBytes(h, "picture one") + Noise(18, 4);
  bytes[8] = 7;    // x origin 263
  bytes[9] = 1;
  bytes[10] = 20;  // y origin 20
  ReadResult r;
  ReadTgaBytes(bytes, r, true);
  EXPECT_FALSE(r.aborted);
  EXPECT_EQ(r.params.TgaXPos, 263);
  EXPECT_EQ(r.params.TgaYPos, 20);
  EXPECT_EQ(r.params.TgaImageName, "picture one");
  EXPECT_EQ(r.params.Width, 3);
  EXPECT_EQ(r.params.Height, 2);
  EXPECT_EQ(r.params.BitsPerSample, 8);
  EXPECT_EQ(r.params.SamplesPerPixel, 3);
  EXPECT_FALSE(r.params.TgaCompression);
  EXPECT_EQ(r.params.DpiX, 300);
  EXPECT_TRUE(r.bitmap.IsEmpty()) << "parameters only";
}

TEST(Tga, ContentTestTakesKnownTypesAndDepths) {
  struct Case {
    int mapType, imageType, depth;
    bool known;
  };
  const Case cases[] = {{0, 2, 24, true}, {1, 9, 8, true},  {0, 11, 8, true}, {0, 3, 1, true},
                        {2, 2, 24, false}, {0, 4, 24, false}, {0, 2, 7, false}, {0, 0, 24, false}};
  for (const Case& c : cases) {
    Header h;
    h.mapType = c.mapType, h.imageType = c.imageType, h.depth = c.depth, h.width = 1, h.height = 1;
    const std::string bytes = HeaderBytes(h) + "abcd";
    TPxMemoryStream s(bytes.data(), bytes.size());
    s.SetPosition(0);
    EXPECT_EQ(IsTgaStream(s), c.known) << c.mapType << " " << c.imageType << " " << c.depth;
    EXPECT_EQ(s.Position(), 0);
  }
}

// --- Files we write ---------------------------------------------------------------------

struct WriteCase {
  const char* name;
  int width, height, colours;
  int bitsPerSample, samplesPerPixel;
  bool compress, grayLevel, alpha;
  int imageType, depth;
};

const WriteCase kWriteCases[] = {
    {"rgb", 45, 17, 0, 8, 3, false, false, false, 2, 24},
    {"rgb-rle", 45, 17, 0, 8, 3, true, false, false, 10, 24},
    {"rgb-rle-flat", 300, 40, 3, 8, 3, true, false, false, 10, 24},
    {"palette", 40, 20, 200, 8, 1, false, false, false, 1, 8},
    {"palette-rle", 40, 20, 60, 8, 1, true, false, false, 9, 8},
    {"gray", 33, 20, 0, 8, 1, false, true, false, 3, 8},
    {"gray-rle", 33, 20, 5, 8, 1, true, true, false, 11, 8},
    {"rgba", 30, 12, 0, 8, 3, true, false, true, 2, 32},
};

class TgaWritten : public ::testing::TestWithParam<WriteCase> {};

TEST_P(TgaWritten, ImageMagickReadsTheSamePixels) {
  const WriteCase& c = GetParam();
  std::unique_ptr<TPxBitmap> source = Picture(c.width, c.height, c.colours);
  if (c.alpha)
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < c.width; ++x) source->SetAlpha(x, y, static_cast<uint8_t>(x * 8 + y));
  TIOParamsVals params;
  params.BitsPerSample = c.bitsPerSample;
  params.SamplesPerPixel = c.samplesPerPixel;
  params.TgaCompression = c.compress;
  params.TgaGrayLevel = c.grayLevel;
  const std::string bytes = WriteTgaBytes(*source, params);
  ASSERT_GT(bytes.size(), 18u);
  EXPECT_EQ(uint8_t(bytes[2]), c.imageType);
  EXPECT_EQ(uint8_t(bytes[16]), c.depth);
  EXPECT_EQ(uint8_t(bytes[17]), c.alpha ? 0x28 : 0x20);
  testutil::TempDir dir;
  const std::string file = dir.File("ours.tga");
  testutil::WriteFileBytes(file, bytes);
  Pixels expected = imoracle::FromBitmap(*source, c.alpha);
  if (c.grayLevel)
    for (size_t i = 0; i < expected.rgb.size(); i += 3) {
      const uint8_t g = PxGray(expected.rgb[i], expected.rgb[i + 1], expected.rgb[i + 2]);
      expected.rgb[i] = expected.rgb[i + 1] = expected.rgb[i + 2] = g;
    }
  imoracle::ExpectSame(imoracle::Decode(file, c.alpha), expected);
  ReadResult r;
  ReadTgaBytes(bytes, r);
  ASSERT_FALSE(r.aborted);
  imoracle::ExpectSame(imoracle::FromBitmap(r.bitmap, c.alpha), expected);
}

INSTANTIATE_TEST_SUITE_P(Variants, TgaWritten, ::testing::ValuesIn(kWriteCases),
                         [](const auto& info) { return Name(info.param.name); });

// No other tool reads 1- and 4-bit TGA: the header and our own reading show them.
TEST(Tga, OneAndFourBitsAreWrittenUncompressed) {
  for (int bits : {1, 4}) {
    SCOPED_TRACE(bits);
    auto source = Picture(21, 9, 16);
    if (bits == 1)
      for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 21; ++x)
          reinterpret_cast<TBGR*>(source->Scanline(y))[x] =
              Hash(x, y) % 3 ? MakeBGR(200, 130, 30) : MakeBGR(20, 20, 100);
    TIOParamsVals params;
    params.BitsPerSample = bits;
    params.SamplesPerPixel = 1;
    params.TgaCompression = true;
    const std::string bytes = WriteTgaBytes(*source, params);
    EXPECT_FALSE(params.TgaCompression);
    EXPECT_EQ(uint8_t(bytes[1]), bits == 4 ? 1 : 0);  // colour map type
    EXPECT_EQ(uint8_t(bytes[2]), bits == 4 ? 1 : 3);
    EXPECT_EQ(uint8_t(bytes[16]), bits);
    ReadResult r;
    ReadTgaBytes(bytes, r);
    ASSERT_FALSE(r.aborted);
    if (bits == 4) {
      imoracle::ExpectSame(imoracle::FromBitmap(r.bitmap), imoracle::FromBitmap(*source));
    } else {
      // Two colours: the darker one is black.
      ASSERT_EQ(r.bitmap.PixelFormat(), px1g);
      const Pixels got = imoracle::FromBitmap(r.bitmap), src = imoracle::FromBitmap(*source);
      for (size_t i = 0; i < got.rgb.size(); i += 3) {
        const bool darker = PxGray(src.rgb[i], src.rgb[i + 1], src.rgb[i + 2]) < 100;
        ASSERT_EQ(got.rgb[i], darker ? 0 : 255) << i / 3;
      }
    }
  }
}

TEST(Tga, ExtensionAreaKeepsItsFields) {
  auto source = Picture(5, 4, 0);
  TIOParamsVals params;
  params.TgaImageName = "name";
  params.TgaAuthor = std::string(50, 'a');  // a longer name than the field holds
  params.TgaJobName = "job 7";
  params.TgaDate = {2024, 2, 29, 23, 59, 58};
  params.TgaKeyColor = MakeBGR(10, 20, 30);
  params.TgaAspectRatio = 1.5;
  params.TgaGamma = 2.2;
  params.TgaXPos = 12;
  params.TgaYPos = 34;
  const std::string bytes = WriteTgaBytes(*source, params);
  // The footer names the extension area, which starts with its size.
  const std::string footer = bytes.substr(bytes.size() - 26);
  EXPECT_EQ(footer.substr(8), std::string("TRUEVISION-XFILE.\0", 18));
  const size_t at = uint8_t(footer[0]) | (uint8_t(footer[1]) << 8);
  ASSERT_EQ(at + 495 + 26, bytes.size());
  EXPECT_EQ(bytes.substr(at, 2), std::string("\xEF\x01", 2));
  EXPECT_EQ(bytes.substr(at + 2, 41), std::string(40, 'a') + '\0');
  EXPECT_EQ(bytes.substr(at + 367, 12), std::string("\x02\0\x1D\0\xE8\x07\x17\0\x3B\0\x3A\0", 12));
  EXPECT_EQ(bytes.substr(at + 470, 4), std::string("\0\x0A\x14\x1E", 4));
  EXPECT_EQ(bytes.substr(at + 474, 8), std::string("\x98\x3A\x10\x27\xF0\x55\x10\x27", 8));  // 15000/10000, 22000/10000
  EXPECT_EQ(uint8_t(bytes[8]), 12);
  EXPECT_EQ(uint8_t(bytes[10]), 34);
  EXPECT_EQ(bytes.substr(18, 5), std::string("name\0", 5));

  ReadResult r;
  ReadTgaBytes(bytes, r);
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(r.params.TgaImageName, "name");
  EXPECT_EQ(r.params.TgaAuthor, std::string(40, 'a'));
  EXPECT_EQ(r.params.TgaJobName, "job 7");
  EXPECT_EQ(r.params.TgaDate, (TPxDateTime{2024, 2, 29, 23, 59, 58}));
  EXPECT_EQ(r.params.TgaKeyColor, MakeBGR(10, 20, 30));
  EXPECT_DOUBLE_EQ(r.params.TgaAspectRatio, 1.5);
  EXPECT_DOUBLE_EQ(r.params.TgaGamma, 2.2);
  EXPECT_EQ(r.params.TgaXPos, 12);
  EXPECT_EQ(r.params.TgaYPos, 34);
  // ImageMagick reads the file with the area and footer after the pixels.
  testutil::TempDir dir;
  testutil::WriteFileBytes(dir.File("ext.tga"), bytes);
  imoracle::ExpectSame(imoracle::Decode(dir.File("ext.tga")), imoracle::FromBitmap(*source));
}

TEST(Tga, ExtensionValuesOutOfRangeGiveTheDefaults) {
  auto source = Picture(3, 3, 0);
  TIOParamsVals params;
  params.TgaDate = {2600, 13, 1, 0, 0, 0};  // year and month beyond what is taken
  params.TgaGamma = 0;
  std::string bytes = WriteTgaBytes(*source, params);
  ReadResult r;
  r.params.TgaDate = {1999, 1, 1, 0, 0, 0};
  ReadTgaBytes(bytes, r);
  EXPECT_NE(r.params.TgaDate.Year, 2600);
  EXPECT_NE(r.params.TgaDate.Year, 1999) << "the date of now stands in";
  EXPECT_DOUBLE_EQ(r.params.TgaGamma, 2.2);
  // A large gamma still fits the 16-bit words.
  params.TgaGamma = 10;
  bytes = WriteTgaBytes(*source, params);
  ReadTgaBytes(bytes, r);
  EXPECT_NEAR(r.params.TgaGamma, 10, 0.001);
}

// --- Damaged files ----------------------------------------------------------------------

struct DamageCase {
  const char* name;
  void (*damage)(std::string& bytes);
  bool rowsKept;
};

void SetU16(std::string& b, size_t at, int v) {
  b[at] = static_cast<char>(v & 255);
  b[at + 1] = static_cast<char>(v >> 8);
}

const DamageCase kDamageCases[] = {
    {"colour-map-type-2", [](std::string& b) { b[1] = 2; }, false},
    {"image-type-4", [](std::string& b) { b[2] = 4; }, false},
    {"depth-7", [](std::string& b) { b[16] = 7; }, false},
    {"width-0", [](std::string& b) { SetU16(b, 12, 0); }, false},
    {"header-cut", [](std::string& b) { b.resize(10); }, false},
    {"id-longer-than-the-file", [](std::string& b) { b[0] = char(200); b.resize(60); }, false},
    {"colour-map-longer-than-the-file",
     [](std::string& b) {
       b[1] = 1;
       SetU16(b, 5, 65535);
       b[7] = 32;
     },
     false},
    {"65535-square-in-a-small-file",
     [](std::string& b) {
       SetU16(b, 12, 65535);
       SetU16(b, 14, 65535);
     },
     false},
    {"rle-cut-in-the-middle", [](std::string& b) { b.resize(b.size() / 2); }, true},
    {"rle-packet-header-at-the-end", [](std::string& b) { b.resize(19); b[18] = char(0x85); }, false},
};

class TgaDamaged : public ::testing::TestWithParam<DamageCase> {};

TEST_P(TgaDamaged, IsRefusedOrKeepsTheRowsBeforeTheDamage) {
  auto source = Picture(40, 30, 0);
  TIOParamsVals params;
  params.TgaCompression = true;
  std::string bytes = WriteTgaBytes(*source, params);
  bytes.resize(bytes.size() - 495 - 26);  // no extension area: a cut leaves pixel data at the end
  GetParam().damage(bytes);
  ReadResult r;
  ReadTgaBytes(bytes, r);
  EXPECT_TRUE(r.aborted);
  if (!GetParam().rowsKept) {
    EXPECT_TRUE(r.bitmap.IsEmpty());
    return;
  }
  ASSERT_EQ(r.bitmap.Height(), 30);
  const Pixels got = imoracle::FromBitmap(r.bitmap), want = imoracle::FromBitmap(*source);
  const long first = imoracle::FirstDifference(got, want);
  EXPECT_GE(first / 40, 8) << "the rows before the cut are kept (written top-down)";
  EXPECT_NE(first, -1);
}

INSTANTIATE_TEST_SUITE_P(Cases, TgaDamaged, ::testing::ValuesIn(kDamageCases),
                         [](const auto& info) { return Name(info.param.name); });

TEST(Tga, BottomUpFileCutKeepsItsBottomRows) {
  // 300 x 200 rows of 900 bytes, uncompressed, bottom row first; cut inside
  // file row 150, which is image row 49.
  testutil::TempDir dir;
  const std::string file = dir.File("bottom-up.tga");
  ASSERT_TRUE(imoracle::Convert("-size 300x200 -seed 9 plasma:fractal -depth 8 '" + file + "'"));
  std::string bytes = testutil::ReadFileBytes(file);
  ASSERT_EQ(uint8_t(bytes[17]) & 0x30, 0);
  bytes.resize(18 + 150 * 900 + 450);
  ReadResult r;
  ReadTgaBytes(bytes, r);
  EXPECT_TRUE(r.aborted);
  ASSERT_EQ(r.bitmap.Height(), 200);
  const Pixels got = imoracle::FromBitmap(r.bitmap), want = imoracle::Decode(file);
  const size_t row = 300 * 3;
  EXPECT_TRUE(std::equal(got.rgb.begin() + 50 * row, got.rgb.end(), want.rgb.begin() + 50 * row));
  EXPECT_TRUE(std::all_of(got.rgb.begin(), got.rgb.begin() + 50 * row, [](uint8_t v) { return v == 0; }));
}

TEST(Tga, ExtensionOffsetBeyondTheFileIsPassedOver) {
  auto source = Picture(6, 6, 0);
  TIOParamsVals params;
  params.TgaAuthor = "someone";
  std::string bytes = WriteTgaBytes(*source, params);
  bytes[bytes.size() - 26 + 3] = char(0x7F);  // the area's offset far beyond the end
  ReadResult r;
  ReadTgaBytes(bytes, r);
  EXPECT_FALSE(r.aborted);
  EXPECT_EQ(r.params.TgaAuthor, "");
  imoracle::ExpectSame(imoracle::FromBitmap(r.bitmap), imoracle::FromBitmap(*source));
}

}  // namespace

namespace {

// --- Through the format table ------------------------------------------------------------

TEST(TgaTable, FilesLoadAndSaveWithTheirAlpha) {
  testutil::TempDir dir;
  const std::string im = dir.File("im.tga");
  ASSERT_TRUE(imoracle::Convert("rose: -alpha set -channel A -fx 'i/w' +channel -compress RLE '" + im + "'"));
  EXPECT_EQ(TImagingIO::DetectFileType(im, true), ioTGA);
  TImagingIO io;
  io.ReadParamsFromFile(im);
  EXPECT_EQ(io.Params.FileType, ioTGA);
  EXPECT_EQ(io.Params.SamplesPerPixel, 4);
  io.LoadFromFile(im);
  ASSERT_FALSE(io.Aborting);
  ASSERT_TRUE(io.Bitmap()->HasAlphaChannel());
  const std::string ours = dir.File("ours.tga");
  io.SaveToFile(ours);
  ASSERT_FALSE(io.Aborting);
  // The alpha plane reaches the file: a 32-bit image that ImageMagick reads as it wrote it.
  EXPECT_EQ(uint8_t(testutil::ReadFileBytes(ours)[16]), 32);
  imoracle::ExpectSame(imoracle::Decode(ours, true), imoracle::Decode(im, true));
}

TEST(TgaTable, WhatOneFileSaysIsGoneBeforeTheNext) {
  testutil::TempDir dir;
  const std::string named = dir.File("named.tga"), plain = dir.File("plain.png");
  ASSERT_TRUE(imoracle::Convert("rose: -colorspace Gray -set comment 'a rose' '" + named + "'"));
  ASSERT_TRUE(imoracle::Convert("rose: '" + plain + "'"));
  TImagingIO io;
  io.LoadFromFile(named);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.TgaImageName, "a rose");
  EXPECT_TRUE(io.Params.TgaGrayLevel);
  EXPECT_FALSE(io.Params.TgaCompression);
  EXPECT_EQ(PxFindFileFormat(ioTGA)->Describe(io.Params), "uncompressed, gray, name \"a rose\"");
  io.LoadFromFile(plain);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.TgaImageName, "");
  EXPECT_FALSE(io.Params.TgaGrayLevel);
  EXPECT_TRUE(io.Params.TgaCompression);
}

}  // namespace
