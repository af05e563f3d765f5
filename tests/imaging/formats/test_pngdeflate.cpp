// PNG image data compressed in pieces on several cores: the stream inflates
// to exactly the filtered rows, files read back (by us and by ImageMagick)
// with the written pixels, and the bytes do not depend on the thread count.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "imaging/io/imagingio.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/pngdeflate.h"
#include "imaging/proc/pxparallel.h"
#include "util/testutil.h"

namespace {

const std::string kConvert = "/usr/bin/convert";

// Smooth colour with noise: neither trivially compressible nor random.
void Photo(TPxBitmap& bmp, int width, int height, unsigned seed) {
  ASSERT_TRUE(bmp.Allocate(width, height, pxRGB24));
  std::mt19937 rng(seed);
  for (int y = 0; y < height; ++y) {
    uint8_t* p = bmp.Scanline(y);
    for (int x = 0; x < width; ++x, p += 3) {
      p[0] = uint8_t(x / 3 + (rng() & 7));
      p[1] = uint8_t(y / 2 + (rng() & 3));
      p[2] = uint8_t((x + y) / 5 + (rng() & 15));
    }
  }
}

enum TContent { ctSmooth, ctFlat, ctNoise };

struct TDeflateCase {
  const char* Name;
  int Width, Height;
  int Filter;  // 0 none, 1 sub
  int Level;
  TContent Content = ctSmooth;
};

// Rows of the kind asked for: smooth with a little noise, one value, or noise.
std::vector<uint8_t> Rows(const TDeflateCase& c) {
  std::vector<uint8_t> image(size_t(c.Width) * 3 * size_t(c.Height));
  std::mt19937 rng(11);
  for (auto& v : image) {
    const size_t i = size_t(&v - image.data());
    v = c.Content == ctFlat    ? 77
        : c.Content == ctNoise ? uint8_t(rng())
                               : uint8_t(rng() % 7 + i / 97);
  }
  return image;
}

// The stream inflated by zlib (which checks the Adler-32 too): exactly the
// filtered rows.
void ExpectFilteredRows(const TDeflateCase& c, const std::vector<uint8_t>& image,
                        const std::vector<uint8_t>& stream) {
  const size_t rowBytes = size_t(c.Width) * 3;
  std::vector<uint8_t> inflated((rowBytes + 1) * size_t(c.Height) + 16);
  uLongf got = uLongf(inflated.size());
  ASSERT_EQ(uncompress(inflated.data(), &got, stream.data(), uLong(stream.size())), Z_OK);
  ASSERT_EQ(got, (rowBytes + 1) * size_t(c.Height));
  for (int y = 0; y < c.Height; ++y) {
    const uint8_t* line = &inflated[size_t(y) * (rowBytes + 1)];
    const uint8_t* raw = &image[size_t(y) * rowBytes];
    ASSERT_EQ(line[0], c.Filter) << "row " << y;
    for (size_t i = 0; i < rowBytes; ++i) {
      const uint8_t left = c.Filter == 1 && i >= 3 ? raw[i - 3] : 0;
      ASSERT_EQ(uint8_t(line[1 + i] + left), raw[i]) << "row " << y << " byte " << i;
    }
  }
}

// The stream as emitted, and how many times emit was called.
struct TEmitted {
  std::vector<uint8_t> Stream;
  size_t Calls = 0;
  bool Ok = false;
};

TEmitted Deflate(const TDeflateCase& c, const std::vector<uint8_t>& image,
                 TPxDeflateJoints* joints = nullptr) {
  const size_t rowBytes = size_t(c.Width) * 3;
  TEmitted e;
  e.Ok = PxDeflatePngRows(
      c.Height, rowBytes, 3, c.Filter, c.Level, c.Level == 1 ? Z_RLE : Z_DEFAULT_STRATEGY,
      [&](int y, uint8_t* out) { std::memcpy(out, &image[size_t(y) * rowBytes], rowBytes); },
      [&](const uint8_t* data, size_t n) {
        e.Stream.insert(e.Stream.end(), data, data + n);
        ++e.Calls;
        return true;
      },
      joints);
  return e;
}

class PngDeflateRows : public ::testing::TestWithParam<TDeflateCase> {};

TEST_P(PngDeflateRows, InflatesToTheFilteredRows) {
  const TDeflateCase& c = GetParam();
  const std::vector<uint8_t> image = Rows(c);
  const TEmitted e = Deflate(c, image);
  ASSERT_TRUE(e.Ok);
  ExpectFilteredRows(c, image, e.Stream);
  // Large pictures are cut into several pieces (this is what runs in parallel).
  if (image.size() > (size_t(8) << 20)) {
    EXPECT_GT(e.Calls, 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PngDeflateRows,
    ::testing::Values(TDeflateCase{"OnePixel", 1, 1, 1, 1}, TDeflateCase{"NarrowSub", 2, 9, 1, 1},
                      TDeflateCase{"SmallNone", 37, 23, 0, 1}, TDeflateCase{"Stored", 50, 40, 1, 0},
                      TDeflateCase{"ManyPiecesSub", 1600, 2000, 1, 1},
                      TDeflateCase{"ManyPiecesNone", 1600, 2000, 0, 1},
                      TDeflateCase{"Level4", 900, 700, 1, 4},
                      TDeflateCase{"Flat", 700, 900, 1, 1, ctFlat},
                      TDeflateCase{"Noise", 700, 900, 1, 1, ctNoise}),
    [](const ::testing::TestParamInfo<TDeflateCase>& i) { return std::string(i.param.Name); });

// The compressed chunks join in every way a block can end, including ends
// that are only told by decoding the joint back and chunks that zlib takes.
TEST(PngDeflateJoints, EveryKindOfJointOccursAndInflates) {
  TPxDeflateJoints all;
  // A width whose first piece ends in a call on a few bytes: a short block,
  // joined like the others.
  int tailWidth = 0, tailRows = 0;
  for (int w = 1000; w < 6000 && !tailWidth; ++w) {
    const size_t line = size_t(w) * 3 + 1, rows = kPxDeflatePieceBytes / line;
    if ((rows * line) % kPxDeflateChunkBytes - 1 < 16) tailWidth = w, tailRows = int(rows) + 1;
  }
  ASSERT_GT(tailWidth, 0);
  for (const TDeflateCase& c :
       {TDeflateCase{"Smooth", 1600, 1000, 1, 1}, TDeflateCase{"Flat", 700, 300, 1, 1, ctFlat},
        TDeflateCase{"Noise", 700, 300, 1, 1, ctNoise},
        TDeflateCase{"ShortTail", tailWidth, tailRows, 1, 1, ctFlat}}) {
    const std::vector<uint8_t> image = Rows(c);
    TPxDeflateJoints j;
    j.ZlibEvery = 5;  // zlib's chunks among libdeflate's
    const TEmitted e = Deflate(c, image, &j);
    ASSERT_TRUE(e.Ok) << c.Name;
    ExpectFilteredRows(c, image, e.Stream);
    all.Boundary += j.Boundary, all.ShortPad += j.ShortPad, all.LongPad += j.LongPad;
    all.Checked += j.Checked, all.Zlib += j.Zlib;
  }
  EXPECT_GT(all.Boundary, 0u);
  EXPECT_GT(all.ShortPad, 0u);
  EXPECT_GT(all.LongPad, 0u);
  EXPECT_GT(all.Checked, 0u);
  EXPECT_GT(all.Zlib, 0u);
}

// emit returning false stops the compression, which then fails.
TEST(PngDeflateRowsStop, EmitThatRefusesStops) {
  const TDeflateCase c{"Stop", 1600, 2000, 1, 1};
  const std::vector<uint8_t> image = Rows(c);
  size_t calls = 0;
  EXPECT_FALSE(PxDeflatePngRows(
      c.Height, size_t(c.Width) * 3, 3, 1, 1, Z_RLE,
      [&](int y, uint8_t* out) {
        std::memcpy(out, &image[size_t(y) * c.Width * 3], size_t(c.Width) * 3);
      },
      [&](const uint8_t*, size_t) { return ++calls < 2; }));
  EXPECT_EQ(calls, 2u);
}

class PngFastWrite : public ::testing::TestWithParam<TDeflateCase> {};

// Written through the PNG writer (which takes this path for fast levels of
// colour pictures), read back by us and by ImageMagick, with one thread and
// with all: the same file and the same pixels.
TEST_P(PngFastWrite, ReadsBackAndIsTheSameOnOneThread) {
  const TDeflateCase& c = GetParam();
  testutil::TempDir dir;
  TPxBitmap pic;
  Photo(pic, c.Width, c.Height, 5);
  auto save = [&](const std::string& file) {
    TImagingIO io;
    io.SetTargetBitmap(&pic);
    io.Params.PngCompression = c.Level;
    io.Params.PngFilter = uint8_t(c.Filter);
    io.SaveToFile(file);
    ASSERT_FALSE(io.Aborting);
  };
  const std::string many = dir.File("many.png"), one = dir.File("one.png");
  save(many);
  SetPxThreadCount(1);
  save(one);
  SetPxThreadCount(0);
  EXPECT_EQ(testutil::ReadFileBytes(many), testutil::ReadFileBytes(one));

  TPxBitmap back;
  TImagingIO io;
  io.SetTargetBitmap(&back);
  io.LoadFromFile(many);
  ASSERT_FALSE(io.Aborting);
  ASSERT_EQ(back.Width(), c.Width);
  ASSERT_EQ(back.Height(), c.Height);
  ASSERT_EQ(back.PixelFormat(), pxRGB24);
  for (int y = 0; y < c.Height; ++y)
    ASSERT_EQ(0, std::memcmp(back.Scanline(y), pic.Scanline(y), size_t(c.Width) * 3)) << "row " << y;

  if (!testutil::HaveTool(kConvert)) GTEST_SKIP() << "no ImageMagick";
  const std::string raw = dir.File("im.rgb");
  auto r = testutil::RunCommand(kConvert + " '" + many + "' -depth 8 rgb:'" + raw + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string bytes = testutil::ReadFileBytes(raw);
  ASSERT_EQ(bytes.size(), size_t(c.Width) * c.Height * 3);
  for (int y = 0; y < c.Height; ++y) {
    const uint8_t* p = pic.Scanline(y);
    for (int x = 0; x < c.Width; ++x) {
      const size_t i = (size_t(y) * c.Width + x) * 3;
      ASSERT_EQ(uint8_t(bytes[i]), p[3 * x + 2]) << x << "," << y;
      ASSERT_EQ(uint8_t(bytes[i + 1]), p[3 * x + 1]) << x << "," << y;
      ASSERT_EQ(uint8_t(bytes[i + 2]), p[3 * x]) << x << "," << y;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PngFastWrite,
                         ::testing::Values(TDeflateCase{"Small", 31, 17, 1, 1},
                                           TDeflateCase{"LargeSub", 1700, 1400, 1, 1},
                                           TDeflateCase{"LargeNone", 1700, 1400, 0, 1},
                                           TDeflateCase{"LargeStored", 900, 1200, 1, 0}),
                         [](const ::testing::TestParamInfo<TDeflateCase>& i) { return std::string(i.param.Name); });

}  // namespace
