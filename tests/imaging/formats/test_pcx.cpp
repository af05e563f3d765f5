// PCX and DCX: files written by ImageMagick and files built byte by byte here
// decode as ImageMagick decodes them; files we write are read back by
// ImageMagick with the pixels they were given; damaged files are refused or
// keep the rows before the damage.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "imaging/core/pxstream.h"
#include "imaging/formats/pcx.h"
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

void ReadPcxBytes(const std::string& bytes, ReadResult& r, bool dcx = false, bool paramsOnly = false) {
  TPxMemoryStream stream(bytes.data(), bytes.size());
  TPxProgress progress;
  progress.Aborting = &r.aborted;
  if (dcx) ReadDcxStream(stream, &r.bitmap, r.params, paramsOnly, progress);
  else ReadPcxStream(stream, &r.bitmap, r.params, paramsOnly, progress);
}

void ReadPcxFile(const std::string& path, ReadResult& r, bool dcx = false) {
  ReadPcxBytes(testutil::ReadFileBytes(path), r, dcx);
}

std::string WritePcxBytes(TPxBitmap& bitmap, TIOParamsVals& params, bool dcx = false,
                          std::string existing = {}, bool* aborted = nullptr) {
  TPxMemoryStream stream(existing.data(), existing.size());
  bool failed = false;
  TPxProgress progress;
  progress.Aborting = &failed;
  if (dcx) WriteDcxStream(stream, &bitmap, params, progress);
  else WritePcxStream(stream, &bitmap, params, progress);
  if (aborted) *aborted = failed;
  else EXPECT_FALSE(failed);
  return std::string(stream.Data().begin(), stream.Data().end());
}

uint32_t Hash(uint32_t a, uint32_t b) {
  uint32_t h = a * 73856093u ^ b * 19349663u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  return h ^ (h >> 15);
}

// A 24-bit picture with `colours` distinct colours (0: photo-like), so that a
// palette of that many holds it exactly.
std::unique_ptr<TPxBitmap> Picture(int w, int h, int colours) {
  auto b = std::make_unique<TPxBitmap>();
  EXPECT_TRUE(b->Allocate(w, h, pxRGB24));
  for (int y = 0; y < h; ++y) {
    TBGR* row = reinterpret_cast<TBGR*>(b->Scanline(y));
    for (int x = 0; x < w; ++x) {
      if (colours > 0) {
        // Stripes of several pixels so that runs occur.
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

std::unique_ptr<TPxBitmap> Bilevel(int w, int h) {
  auto b = std::make_unique<TPxBitmap>();
  EXPECT_TRUE(b->Allocate(w, h, px1g));
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    std::memset(row, 0, static_cast<size_t>(b->RowBytes()));
    for (int x = 0; x < w; ++x)
      if ((Hash(x / 2, y) & 3) != 0) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
  }
  return b;
}

// --- Files written by ImageMagick ------------------------------------------------

struct ImCase {
  const char* name;
  const char* args;  // ImageMagick's arguments before the output file
};

const ImCase kImCases[] = {
    {"rgb-rle-odd-width", "rose: -resize 45x29!"},
    {"rgb-uncompressed", "rose: -resize 45x29! -compress none"},
    {"palette-200", "rose: -resize 45x29! -colors 200 -type Palette"},
    {"palette-uncompressed", "rose: -resize 40x20! -colors 60 -type Palette -compress none"},
    {"palette-2", "rose: -resize 33x20! -colors 2 -type Palette"},
    {"gray", "rose: -resize 45x29! -colorspace Gray"},
    {"gray-palette", "gradient:black-white -resize 20x30! -colorspace Gray -type Palette"},
    // Larger than the reader's chunk of input, so that runs straddle chunks.
    {"plasma-300x200", "-size 300x200 -seed 3 plasma:fractal"},
    {"plasma-palette-300x200", "-size 300x200 -seed 4 plasma:fractal -colors 256 -type Palette"},
};

class PcxFromImageMagick : public ::testing::TestWithParam<ImCase> {};

TEST_P(PcxFromImageMagick, DecodesAsImageMagickDoes) {
  testutil::TempDir dir;
  const std::string file = dir.File(std::string(GetParam().name) + ".pcx");
  ASSERT_TRUE(imoracle::Convert(std::string(GetParam().args) + " '" + file + "'"));
  ReadResult r;
  ReadPcxFile(file, r);
  ASSERT_FALSE(r.aborted);
  imoracle::ExpectSame(imoracle::FromBitmap(r.bitmap), imoracle::Decode(file));
  EXPECT_EQ(r.params.Width, r.bitmap.Width());
  EXPECT_EQ(r.params.Height, r.bitmap.Height());
  EXPECT_EQ(r.params.PcxVersion, 5);
  // ImageMagick writes no resolution here: the default stands.
  EXPECT_EQ(r.params.DpiX, 300);
  EXPECT_EQ(r.params.DpiY, 300);
}

INSTANTIATE_TEST_SUITE_P(Variants, PcxFromImageMagick, ::testing::ValuesIn(kImCases),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

TEST(Pcx, ResolutionFieldsBecomeDpi) {
  testutil::TempDir dir;
  const std::string file = dir.File("dpi.pcx");
  ASSERT_TRUE(imoracle::Convert("rose: -density 150x75 -units PixelsPerInch '" + file + "'"));
  ReadResult r;
  ReadPcxFile(file, r);
  EXPECT_EQ(r.params.DpiX, 150);
  EXPECT_EQ(r.params.DpiY, 75);
  EXPECT_TRUE(r.params.DpiFromFile);
}

// --- Files built here byte by byte (layouts ImageMagick does not write) ------------

struct Built {
  int width, height, bits, planes, bytesPerLine;
  bool rle;
};

// A PCX with pseudo-random plane lines, its 16-colour header palette filled.
std::string BuildPcx(const Built& b, uint32_t seed = 1) {
  std::string out(128, '\0');
  out[0] = 10;
  out[1] = 5;
  out[2] = b.rle ? 1 : 0;
  out[3] = static_cast<char>(b.bits);
  out[8] = static_cast<char>((b.width - 1) & 255);
  out[9] = static_cast<char>((b.width - 1) >> 8);
  out[10] = static_cast<char>((b.height - 1) & 255);
  out[11] = static_cast<char>((b.height - 1) >> 8);
  for (int i = 0; i < 48; ++i) out[16 + i] = static_cast<char>(Hash(i, 99) & 255);
  if (b.bits == 1 && b.planes == 1) {
    std::memset(&out[16], 0, 3);
    std::memset(&out[19], 255, 3);
  }
  out[65] = static_cast<char>(b.planes);
  out[66] = static_cast<char>(b.bytesPerLine & 255);
  out[67] = static_cast<char>(b.bytesPerLine >> 8);
  out[68] = 1;
  for (int y = 0; y < b.height; ++y) {
    for (int p = 0; p < b.planes; ++p) {
      for (int i = 0; i < b.bytesPerLine; ++i) {
        // Bytes repeat in short stretches, so that runs occur.
        const uint8_t v = static_cast<uint8_t>(Hash((i / 3) + p * 1000, y * 7 + seed) & 255);
        if (b.rle) out.push_back(static_cast<char>(0xC1));  // every byte as a run of one
        out.push_back(static_cast<char>(v));
      }
    }
  }
  return out;
}

struct BuiltCase {
  const char* name;
  Built layout;
  int bitsPerSample, samplesPerPixel;
};

const BuiltCase kBuiltCases[] = {
    {"bilevel", {37, 11, 1, 1, 6, true}, 1, 1},
    {"bilevel-uncompressed", {16, 5, 1, 1, 2, false}, 1, 1},
    {"2-bits", {21, 9, 2, 1, 6, true}, 2, 1},
    {"4-bits", {21, 9, 4, 1, 12, true}, 4, 1},
    {"4-planes-of-1-bit", {35, 13, 1, 4, 6, true}, 4, 1},
    {"3-planes-of-1-bit", {19, 7, 1, 3, 4, false}, 3, 1},
};

class PcxBuilt : public ::testing::TestWithParam<BuiltCase> {};

TEST_P(PcxBuilt, DecodesAsImageMagickDoes) {
  const BuiltCase& c = GetParam();
  testutil::TempDir dir;
  const std::string file = dir.File("built.pcx");
  const std::string bytes = BuildPcx(c.layout);
  testutil::WriteFileBytes(file, bytes);
  ReadResult r;
  ReadPcxBytes(bytes, r);
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(r.bitmap.PixelFormat(), c.layout.bits == 1 && c.layout.planes == 1 ? px1g : pxRGB24);
  EXPECT_EQ(r.params.BitsPerSample, c.bitsPerSample);
  EXPECT_EQ(r.params.SamplesPerPixel, c.samplesPerPixel);
  const Pixels ours = imoracle::FromBitmap(r.bitmap);
  if (r.bitmap.PixelFormat() != px1g) {
    imoracle::ExpectSame(ours, imoracle::Decode(file));
    return;
  }
  // ImageMagick takes a 1 bit for black whatever the palette; netpbm, like
  // us, for the palette's second entry, here white.
  imoracle::ExpectSame(ours, imoracle::Inverted(imoracle::Decode(file)));
  if (c.layout.rle) imoracle::ExpectSame(ours, imoracle::DecodeByCommand("/usr/bin/pcxtoppm '" + file + "'"));
}

INSTANTIATE_TEST_SUITE_P(Layouts, PcxBuilt, ::testing::ValuesIn(kBuiltCases), [](const auto& info) {
  std::string n = info.param.name;
  for (char& c : n)
    if (c == '-') c = '_';
  return n;
});

TEST(Pcx, RunEndingInsideALineGoesOnInTheNextLine) {
  // 4 x 2, 8 bits, one plane, 256-colour palette: one run of 6 bytes of
  // index 7 covers line 0 and half of line 1.
  std::string bytes = BuildPcx({4, 2, 8, 1, 4, true});
  bytes.resize(128);
  bytes += std::string("\xC6\x07\x09\x0A", 4);
  bytes += '\x0C';
  for (int i = 0; i < 256; ++i) bytes += {char(i), char(255 - i), char(i / 2)};
  testutil::TempDir dir;
  const std::string file = dir.File("run.pcx");
  testutil::WriteFileBytes(file, bytes);
  ReadResult r;
  ReadPcxBytes(bytes, r);
  ASSERT_FALSE(r.aborted);
  const Pixels ours = imoracle::FromBitmap(r.bitmap);
  imoracle::ExpectSame(ours, imoracle::Decode(file));
  EXPECT_EQ(ours.rgb[3 * 5], 7);   // pixel (1, 1) is still the run's index 7
  EXPECT_EQ(ours.rgb[3 * 6], 9);   // then the bytes after the run
  EXPECT_EQ(ours.rgb[3 * 7], 10);
}

TEST(Pcx, CountWhoseValueLiesInTheNextBlockOfInput) {
  // 1000 x 300, 8 bits in one plane, gray palette: 262143 literal bytes of 1
  // (the reader takes 256 KiB at a time), a run of five 7s whose count is
  // the last byte of the first block, then 2s.
  std::string bytes = BuildPcx({1000, 300, 8, 1, 1000, true});
  bytes.resize(128);
  const size_t before = (size_t(1) << 18) - 1, total = 300000;
  bytes += std::string(before, '\x01');
  bytes += "\xC5\x07";
  bytes += std::string(total - before - 5, '\x02');
  bytes += '\x0C';
  for (int i = 0; i < 256; ++i) bytes += {char(i), char(i), char(i)};
  ReadResult r;
  ReadPcxBytes(bytes, r);
  ASSERT_FALSE(r.aborted);
  const Pixels ours = imoracle::FromBitmap(r.bitmap);
  for (size_t i : {size_t(0), before - 1, before, before + 4, before + 5, total - 1})
    EXPECT_EQ(ours.rgb[3 * i], i < before ? 1 : i < before + 5 ? 7 : 2) << i;
  testutil::TempDir dir;
  testutil::WriteFileBytes(dir.File("blocks.pcx"), bytes);
  imoracle::ExpectSame(ours, imoracle::Decode(dir.File("blocks.pcx")));
}

// --- Files we write, read back by ImageMagick ---------------------------------------

struct WriteCase {
  const char* name;
  int width, height;
  int colours;  // of the source picture; -1: a px1g picture
  int bitsPerSample, samplesPerPixel;
  bool compress;
  int headerBits, headerPlanes;
};

const WriteCase kWriteCases[] = {
    {"rgb-rle-odd", 45, 17, 0, 8, 3, true, 8, 3},
    {"rgb-uncompressed-odd", 45, 17, 0, 8, 3, false, 8, 3},
    {"palette-8-bits", 40, 20, 200, 8, 1, true, 8, 1},
    {"palette-8-bits-uncompressed", 33, 20, 150, 8, 1, false, 8, 1},
    {"palette-4-bits-odd", 31, 12, 16, 4, 1, true, 4, 1},
    {"palette-4-bits-uncompressed", 32, 12, 9, 4, 1, false, 4, 1},
    {"bilevel", 37, 13, -1, 1, 1, true, 1, 1},
    {"bilevel-uncompressed", 40, 13, -1, 1, 1, false, 1, 1},
    {"large-rgb", 300, 200, 0, 8, 3, true, 8, 3},
};

class PcxWritten : public ::testing::TestWithParam<WriteCase> {};

TEST_P(PcxWritten, ImageMagickReadsTheSamePixels) {
  const WriteCase& c = GetParam();
  std::unique_ptr<TPxBitmap> source = c.colours < 0 ? Bilevel(c.width, c.height) : Picture(c.width, c.height, c.colours);
  TIOParamsVals params;
  params.BitsPerSample = c.bitsPerSample;
  params.SamplesPerPixel = c.samplesPerPixel;
  params.PcxCompression = c.compress;
  params.SetDpi(200, 100);
  const std::string bytes = WritePcxBytes(*source, params);
  ASSERT_GT(bytes.size(), 128u);
  EXPECT_EQ(uint8_t(bytes[2]), c.compress ? 1 : 0);
  EXPECT_EQ(uint8_t(bytes[3]), c.headerBits);
  EXPECT_EQ(uint8_t(bytes[65]), c.headerPlanes);
  EXPECT_EQ((uint8_t(bytes[66]) | (uint8_t(bytes[67]) << 8)) % 2, 0) << "bytes per line are even";
  testutil::TempDir dir;
  const std::string file = dir.File("ours.pcx");
  testutil::WriteFileBytes(file, bytes);
  if (c.colours < 0) {
    // ImageMagick takes a 1 bit for black; netpbm reads run-length files only.
    imoracle::ExpectSame(imoracle::Inverted(imoracle::Decode(file)), imoracle::FromBitmap(*source));
    if (c.compress)
      imoracle::ExpectSame(imoracle::DecodeByCommand("/usr/bin/pcxtoppm '" + file + "'"),
                           imoracle::FromBitmap(*source));
  } else {
    imoracle::ExpectSame(imoracle::Decode(file), imoracle::FromBitmap(*source));
  }
  const testutil::CommandResult density =
      testutil::RunCommand("/usr/bin/identify -units PixelsPerInch -format '%x %y' '" + file + "'");
  EXPECT_EQ(density.output, "200 100");
  // And our own reader agrees.
  ReadResult r;
  ReadPcxBytes(bytes, r);
  ASSERT_FALSE(r.aborted);
  imoracle::ExpectSame(imoracle::FromBitmap(r.bitmap), imoracle::FromBitmap(*source));
}

INSTANTIATE_TEST_SUITE_P(Variants, PcxWritten, ::testing::ValuesIn(kWriteCases), [](const auto& info) {
  std::string n = info.param.name;
  for (char& c : n)
    if (c == '-') c = '_';
  return n;
});

TEST(Pcx, OddWidthRgbGetsOneZeroBytePerLine) {
  // 3 x 1, every byte distinct and below 192: each plane line is 3 literal
  // bytes and the 0 that makes the even 4 bytes per line.
  TPxBitmap b(3, 1, pxRGB24);
  TBGR* row = reinterpret_cast<TBGR*>(b.Scanline(0));
  row[0] = MakeBGR(1, 2, 3);
  row[1] = MakeBGR(4, 5, 6);
  row[2] = MakeBGR(7, 8, 9);
  TIOParamsVals params;
  const std::string bytes = WritePcxBytes(b, params);
  EXPECT_EQ(uint8_t(bytes[66]), 4);
  EXPECT_EQ(bytes.substr(128), std::string("\x01\x04\x07\x00\x02\x05\x08\x00\x03\x06\x09\x00", 12));
}

TEST(Pcx, RunsAndHighBytesAreCounted) {
  // 70 equal bytes make a run of 63 and one of 7; a single 200 is a run of one.
  TPxBitmap b(72, 1, pxRGB24);
  TBGR* row = reinterpret_cast<TBGR*>(b.Scanline(0));
  for (int x = 0; x < 72; ++x) row[x] = MakeBGR(x < 70 ? 5 : x == 70 ? 200 : 6, 0, 0);
  TIOParamsVals params;
  const std::string red = WritePcxBytes(b, params).substr(128, 6);
  EXPECT_EQ(red, std::string("\xFF\x05\xC7\x05\xC1\xC8", 6));
}

TEST(Pcx, TwoColoursMakeTheDarkerBlack) {
  auto b = Picture(20, 6, 0);
  for (int y = 0; y < 6; ++y) {
    TBGR* row = reinterpret_cast<TBGR*>(b->Scanline(y));
    for (int x = 0; x < 20; ++x) row[x] = (x + y) % 3 ? MakeBGR(250, 200, 0) : MakeBGR(20, 0, 90);
  }
  TIOParamsVals params;
  params.BitsPerSample = 1;
  params.SamplesPerPixel = 1;
  const std::string bytes = WritePcxBytes(*b, params);
  EXPECT_EQ(uint8_t(bytes[3]), 1);
  // The header palette holds the darker colour, then the lighter one.
  EXPECT_EQ(bytes.substr(16, 6), std::string("\x14\x00\x5A\xFA\xC8\x00", 6));
  ReadResult r;
  ReadPcxBytes(bytes, r);
  ASSERT_EQ(r.bitmap.PixelFormat(), px1g);
  for (int x = 0; x < 20; ++x) EXPECT_EQ(r.bitmap.Scanline(1)[x >> 3] >> (7 - (x & 7)) & 1, (x + 1) % 3 ? 1 : 0);
}

TEST(Pcx, VersionIsWrittenAsItStands) {
  auto b = Picture(4, 4, 0);
  TIOParamsVals params;
  params.PcxVersion = 3;
  const std::string bytes = WritePcxBytes(*b, params);
  EXPECT_EQ(bytes[1], 3);
  ReadResult r;
  ReadPcxBytes(bytes, r, false, true);
  EXPECT_EQ(r.params.PcxVersion, 3);
  EXPECT_TRUE(r.bitmap.IsEmpty()) << "parameters only";
}

// --- Damaged files ----------------------------------------------------------------------

struct DamageCase {
  const char* name;
  void (*damage)(std::string& bytes);
  bool rowsKept;  // false: refused before anything is decoded
  size_t minRows = 0;  // rows that must come through whole
};

void SetU16(std::string& b, size_t at, int v) {
  b[at] = static_cast<char>(v & 255);
  b[at + 1] = static_cast<char>(v >> 8);
}

const DamageCase kDamageCases[] = {
    {"manufacturer-not-10", [](std::string& b) { b[0] = 11; }, false},
    {"encoding-2", [](std::string& b) { b[2] = 2; }, false},
    {"9-bits-per-plane", [](std::string& b) { b[3] = 9; }, false},
    {"2-planes-of-8-bits", [](std::string& b) { b[65] = 2; }, false},
    {"xmax-below-xmin", [](std::string& b) { SetU16(b, 4, 100); }, false},
    {"bytes-per-line-0", [](std::string& b) { SetU16(b, 66, 0); }, false},
    {"header-cut", [](std::string& b) { b.resize(100); }, false},
    {"65535-square-in-a-small-file",
     [](std::string& b) {
       SetU16(b, 8, 65535);
       SetU16(b, 10, 65535);
       SetU16(b, 66, 65535);
     },
     false},
    // More pixels than the data left could hold even in runs.
    {"rle-cut-after-the-header", [](std::string& b) { b.resize(129); }, false},
    {"rle-cut-in-the-middle", [](std::string& b) { b.resize(128 + (b.size() - 128) / 2); }, true, 10},
    {"rle-cut-at-a-fifth", [](std::string& b) { b.resize(128 + (b.size() - 128) / 5); }, true, 3},
};

class PcxDamaged : public ::testing::TestWithParam<DamageCase> {};

TEST_P(PcxDamaged, IsRefusedOrKeepsTheRowsBeforeTheDamage) {
  auto source = Picture(40, 30, 0);
  TIOParamsVals params;
  std::string bytes = WritePcxBytes(*source, params);
  GetParam().damage(bytes);
  ReadResult r;
  ReadPcxBytes(bytes, r);
  EXPECT_TRUE(r.aborted);
  if (!GetParam().rowsKept) {
    EXPECT_TRUE(r.bitmap.IsEmpty());
    return;
  }
  ASSERT_EQ(r.bitmap.Width(), 40);
  ASSERT_EQ(r.bitmap.Height(), 30);
  const Pixels got = imoracle::FromBitmap(r.bitmap), want = imoracle::FromBitmap(*source);
  const long first = imoracle::FirstDifference(got, want);
  EXPECT_NE(first, -1);
  // Rows wholly before the cut are as they were written.
  const size_t keptRows = static_cast<size_t>(first / 40);
  EXPECT_GE(keptRows, GetParam().minRows);
  EXPECT_TRUE(std::equal(got.rgb.begin(), got.rgb.begin() + static_cast<long>(keptRows * 120), want.rgb.begin()));
}

INSTANTIATE_TEST_SUITE_P(Cases, PcxDamaged, ::testing::ValuesIn(kDamageCases), [](const auto& info) {
  std::string n = info.param.name;
  for (char& c : n)
    if (c == '-') c = '_';
  return n;
});

// --- DCX ------------------------------------------------------------------------------

TEST(Dcx, PagesOfImageMagicksFileDecodeAsImageMagickDoes) {
  testutil::TempDir dir;
  const std::string file = dir.File("three.dcx");
  ASSERT_TRUE(imoracle::Convert("rose: -resize 30x20! \\( rose: -resize 17x9! -colors 20 -type Palette \\) "
                                "\\( -size 25x25 -seed 5 plasma:fractal \\) '" + file + "'"));
  const std::string bytes = testutil::ReadFileBytes(file);
  {
    TPxMemoryStream s(bytes.data(), bytes.size());
    EXPECT_TRUE(IsDcxStream(s));
    EXPECT_EQ(s.Position(), 0);
  }
  for (int page = 0; page < 3; ++page) {
    SCOPED_TRACE(page);
    ReadResult r;
    r.params.DcxImageIndex = page;
    ReadPcxBytes(bytes, r, true);
    ASSERT_FALSE(r.aborted);
    EXPECT_EQ(r.params.DcxImageIndex, page);
    imoracle::ExpectSame(imoracle::FromBitmap(r.bitmap),
                         imoracle::Decode(file + "[" + std::to_string(page) + "]"));
  }
  // An index past the last page reads the last page and says so.
  ReadResult last;
  last.params.DcxImageIndex = 7;
  ReadPcxBytes(bytes, last, true);
  EXPECT_FALSE(last.aborted);
  EXPECT_EQ(last.params.DcxImageIndex, 2);
  EXPECT_EQ(last.bitmap.Width(), 25);
}

TEST(Dcx, WrittenPagesGoWhereTheIndexSays) {
  auto a = Picture(20, 10, 0), b = Picture(13, 7, 30), c = Picture(9, 15, 0);
  TIOParamsVals params;
  std::string dcx = WritePcxBytes(*a, params, true);                 // A
  params.DcxImageIndex = 0;
  dcx = WritePcxBytes(*b, params, true, dcx);                        // B A
  params.DcxImageIndex = 9;
  dcx = WritePcxBytes(*c, params, true, dcx);                        // B A C (appended)
  EXPECT_EQ(uint8_t(dcx[0]) | (uint8_t(dcx[1]) << 8) | (uint8_t(dcx[2]) << 16) | (uint32_t(uint8_t(dcx[3])) << 24),
            0x3ADE68B1u);
  testutil::TempDir dir;
  const std::string file = dir.File("ours.dcx");
  testutil::WriteFileBytes(file, dcx);
  const TPxBitmap* expected[] = {b.get(), a.get(), c.get()};
  for (int page = 0; page < 3; ++page) {
    SCOPED_TRACE(page);
    imoracle::ExpectSame(imoracle::Decode(file + "[" + std::to_string(page) + "]"),
                         imoracle::FromBitmap(*expected[page]));
  }
  const testutil::CommandResult count = testutil::RunCommand("/usr/bin/identify -format '%n\\n' '" + file + "' | head -1");
  EXPECT_EQ(count.output, "3\n");
}

TEST(Dcx, AStreamHoldingSomethingElseIsNotWrittenOver) {
  auto a = Picture(8, 8, 0);
  TIOParamsVals params;
  bool aborted = false;
  const std::string other = "not a DCX at all, but some bytes";
  const std::string after = WritePcxBytes(*a, params, true, other, &aborted);
  EXPECT_TRUE(aborted);
  EXPECT_EQ(after, other);
}

struct DcxDamage {
  const char* name;
  std::string (*make)(const std::string& page);
  bool refused;
  int indexAfter;
};

std::string Table(const std::vector<uint32_t>& offsets) {
  std::string t("\xB1\x68\xDE\x3A", 4);
  for (uint32_t o : offsets)
    for (int i = 0; i < 4; ++i) t += static_cast<char>(o >> (8 * i));
  return t;
}

const DcxDamage kDcxDamage[] = {
    {"offset-beyond-the-file",
     [](const std::string& page) { return Table({12, 1u << 30, 0}) + page; }, true, 0},
    {"no-pages", [](const std::string& page) { return Table({0}) + page; }, true, 0},
    {"5000-entries-without-an-end",
     [](const std::string& page) {
       std::vector<uint32_t> offsets(5000, 4 + 4 * 5000);
       return Table(offsets) + page;
     },
     false, 1023},
};

class DcxDamaged : public ::testing::TestWithParam<DcxDamage> {};

TEST_P(DcxDamaged, IsBounded) {
  auto a = Picture(8, 8, 0);
  TIOParamsVals params;
  const std::string bytes = GetParam().make(WritePcxBytes(*a, params));
  ReadResult r;
  r.params.DcxImageIndex = 4000;
  ReadPcxBytes(bytes, r, true);
  EXPECT_EQ(r.aborted, GetParam().refused);
  if (GetParam().refused) {
    TPxMemoryStream s(bytes.data(), bytes.size());
    EXPECT_EQ(IsDcxStream(s), std::string(GetParam().name) == "no-pages");
    return;
  }
  EXPECT_EQ(r.params.DcxImageIndex, GetParam().indexAfter);
  imoracle::ExpectSame(imoracle::FromBitmap(r.bitmap), imoracle::FromBitmap(*a));
}

INSTANTIATE_TEST_SUITE_P(Cases, DcxDamaged, ::testing::ValuesIn(kDcxDamage), [](const auto& info) {
  std::string n = info.param.name;
  for (char& c : n)
    if (c == '-') c = '_';
  return n;
});

}  // namespace

namespace {

// --- Through the format table ------------------------------------------------------------

TEST(PcxTable, FilesLoadSaveAndAreRecognisedByContent) {
  testutil::TempDir dir;
  const std::string im = dir.File("im.pcx"), imDcx = dir.File("im.dcx");
  ASSERT_TRUE(imoracle::Convert("rose: -resize 30x20! '" + im + "'"));
  ASSERT_TRUE(imoracle::Convert("rose: -resize 30x20! rose: '" + imDcx + "'"));
  EXPECT_EQ(TImagingIO::DetectFileType(im, true), ioPCX);
  EXPECT_EQ(TImagingIO::DetectFileType(imDcx, true), ioDCX);
  EXPECT_TRUE(IsKnownFormat("a.DCX"));

  TImagingIO io;
  io.ReadParamsFromFile(imDcx);
  EXPECT_EQ(io.Params.FileType, ioDCX);
  EXPECT_EQ(io.Params.Width, 30);
  io.Params.DcxImageIndex = 1;
  io.LoadFromFile(imDcx);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Bitmap()->Width(), 70);  // the second page: the rose at its own size
  imoracle::ExpectSame(imoracle::FromBitmap(*io.Bitmap()), imoracle::Decode(imDcx + "[1]"));

  io.LoadFromFile(im);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.FileType, ioPCX);
  const std::string ours = dir.File("ours.pcx"), oursDcx = dir.File("ours.dcx");
  io.SaveToFile(ours);
  ASSERT_FALSE(io.Aborting);
  io.SaveToFile(oursDcx);
  ASSERT_FALSE(io.Aborting);
  imoracle::ExpectSame(imoracle::Decode(ours), imoracle::Decode(im));
  imoracle::ExpectSame(imoracle::Decode(oursDcx), imoracle::Decode(im));
  EXPECT_EQ(TImagingIO::DetectFileType(oursDcx, true), ioDCX);
}

TEST(PcxTable, StreamsCarryTheirHeader) {
  auto source = Picture(21, 10, 30);
  TImagingIO io;
  ASSERT_TRUE(io.Bitmap()->Assign(*source));
  io.StreamHeaders = true;
  io.Params.BitsPerSample = 8;
  io.Params.SamplesPerPixel = 1;
  TPxMemoryStream stream;
  io.SaveToStream(stream, ioPCX);
  ASSERT_FALSE(io.Aborting);
  const std::vector<uint8_t>& bytes = stream.Data();
  ASSERT_GT(bytes.size(), 12u + 128 + 769);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "PCX2");
  EXPECT_EQ(bytes[8] | (bytes[9] << 8), static_cast<int>(bytes.size()) - 12);
  stream.SetPosition(0);
  EXPECT_EQ(TImagingIO::DetectStreamType(stream), ioPCX);
  TImagingIO back;
  back.StreamHeaders = true;
  back.LoadFromStream(stream);
  ASSERT_FALSE(back.Aborting);
  EXPECT_EQ(stream.Position(), stream.Size());
  imoracle::ExpectSame(imoracle::FromBitmap(*back.Bitmap()), imoracle::FromBitmap(*source));
}

}  // namespace
