// WBMP reading and writing: files ImageMagick writes (sizes that need
// multi-byte integers among them) read against its own decoding, files we
// write read back by ImageMagick, and damaged headers and rasters.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/formats/wbmp.h"
#include "imaging/io/imagingio.h"
#include "util/testutil.h"

namespace {

using testutil::Shell;

const std::string kConvert = "/usr/bin/convert";

struct ReadResult {
  TPxBitmap bitmap;
  TIOParamsVals params;
  bool aborted = false;
};

std::unique_ptr<ReadResult> ReadBytes(const std::string& bytes, bool paramsOnly = false) {
  auto r = std::make_unique<ReadResult>();
  TPxMemoryStream stream(bytes.data(), bytes.size());
  TPxProgress progress;
  progress.Aborting = &r->aborted;
  ReadWbmpStream(stream, &r->bitmap, r->params, paramsOnly, progress);
  return r;
}

// A px1g bitmap as one gray byte per pixel (0 or 255).
std::vector<uint8_t> Gray8(TPxBitmap& b) {
  std::vector<uint8_t> out;
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* row = b.Scanline(y);
    for (int x = 0; x < b.Width(); ++x) out.push_back((row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0);
  }
  return out;
}

std::vector<uint8_t> MagickGray8(const std::string& file) {
  const std::string raw = Shell(kConvert + " '" + file + "' -depth 8 gray:- 2>/dev/null");
  return std::vector<uint8_t>(raw.begin(), raw.end());
}

struct MagickCase {
  const char* name;
  int width, height;
  const char* picture;  // ImageMagick's input
};

const MagickCase kMagickCases[] = {
    {"tiny", 1, 1, "xc:white"},
    {"odd_width", 13, 7, "pattern:checkerboard"},
    {"one_byte_limit", 127, 3, "pattern:gray50"},
    {"two_byte_width", 300, 20, "pattern:checkerboard"},
    {"two_byte_both", 130, 200, "plasma:fractal -seed 3"},
};

class WbmpMagick : public ::testing::TestWithParam<MagickCase> {};
void PrintTo(const MagickCase& c, std::ostream* os) { *os << c.name; }

TEST_P(WbmpMagick, ReadsTheSamePixelsAsImageMagick) {
  if (!testutil::HaveTool(kConvert)) GTEST_SKIP() << "ImageMagick is not installed";
  const MagickCase& c = GetParam();
  testutil::TempDir dir;
  const std::string file = dir.File("im.wbmp");
  Shell(kConvert + " -size " + std::to_string(c.width) + "x" + std::to_string(c.height) + " " +
        c.picture + " -monochrome 'wbmp:" + file + "'");
  auto r = ReadBytes(testutil::ReadFileBytes(file));
  ASSERT_FALSE(r->aborted);
  ASSERT_EQ(r->bitmap.PixelFormat(), px1g);
  EXPECT_EQ(r->bitmap.Width(), c.width);
  EXPECT_EQ(r->bitmap.Height(), c.height);
  EXPECT_EQ(r->params.Width, c.width);
  EXPECT_EQ(r->params.Height, c.height);
  EXPECT_EQ(r->params.BitsPerSample, 1);
  EXPECT_EQ(r->params.SamplesPerPixel, 1);
  EXPECT_EQ(r->params.DpiX, 300);
  EXPECT_EQ(Gray8(r->bitmap), MagickGray8(file));
}

INSTANTIATE_TEST_SUITE_P(Files, WbmpMagick, ::testing::ValuesIn(kMagickCases),
                         [](const auto& info) { return std::string(info.param.name); });

std::unique_ptr<TPxBitmap> Picture(int w, int h, TPxPixelFormat pf) {
  auto b = std::make_unique<TPxBitmap>();
  EXPECT_TRUE(b->Allocate(w, h, pf));
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int x = 0; x < w; ++x) {
      const bool white = ((x / 3 + y / 2) % 3) == 0 || x == y;
      if (pf != px1g) {
        const uint8_t v = white ? 230 : 20;
        row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = v;
      } else if (white) {
        row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
      } else {
        row[x >> 3] &= static_cast<uint8_t>(~(0x80 >> (x & 7)));
      }
    }
  }
  return b;
}

struct WriteCase {
  const char* name;
  int width, height;
  TPxPixelFormat pf;
};

const WriteCase kWrites[] = {
    {"small", 9, 4, px1g},
    // Wider than one byte can tell: the whole picture is kept, not cut to 255.
    {"wider_than_255", 300, 100, px1g},
    {"higher_than_255", 40, 1000, px1g},
    {"colour_made_bilevel", 29, 11, pxRGB24},
};

class WbmpWrite : public ::testing::TestWithParam<WriteCase> {};
void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

TEST_P(WbmpWrite, ImageMagickReadsBackTheSamePixels) {
  if (!testutil::HaveTool(kConvert)) GTEST_SKIP() << "ImageMagick is not installed";
  const WriteCase& c = GetParam();
  auto picture = Picture(c.width, c.height, c.pf);
  TPxMemoryStream stream;
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  WriteWbmpStream(stream, picture.get(), progress);
  ASSERT_FALSE(aborted);
  EXPECT_EQ(picture->PixelFormat(), c.pf);  // converted on a copy
  testutil::TempDir dir;
  const std::string file = dir.File("ours.wbmp");
  testutil::WriteFileBytes(file, std::string(stream.Data().begin(), stream.Data().end()));
  EXPECT_EQ(Shell(kConvert + " '" + file + "' -format '%w %h' info:"),
            std::to_string(c.width) + " " + std::to_string(c.height));
  TPxBitmap expected;
  ASSERT_TRUE(expected.Assign(*picture));
  if (c.pf != px1g) {
    ASSERT_TRUE(expected.ConvertTo(px1g));
  }
  EXPECT_EQ(MagickGray8(file), Gray8(expected));
  // Exactly the header and height rows of whole bytes.
  const int64_t headerBytes = 2 + (c.width > 127 ? 2 : 1) + (c.height > 127 ? 2 : 1);
  EXPECT_EQ(stream.Size(), headerBytes + int64_t((c.width + 7) / 8) * c.height);
}

INSTANTIATE_TEST_SUITE_P(Pictures, WbmpWrite, ::testing::ValuesIn(kWrites),
                         [](const auto& info) { return std::string(info.param.name); });

struct DamageCase {
  const char* name;
  std::string bytes;
  bool aborted;
  int width, height;
  std::vector<uint8_t> gray;  // expected pixels, empty: not checked
};

const DamageCase kDamage[] = {
    {"whole", std::string("\x00\x00\x08\x02\xf0\x0f", 6), false, 8, 2,
     {255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 255}},
    {"cut_after_the_first_row", std::string("\x00\x00\x08\x02\xf0", 5), true, 8, 2,
     {255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"type_1", std::string("\x01\x00\x08\x02\xf0\x0f", 6), true, 0, 0, {}},
    {"type_in_two_bytes", std::string("\x81\x00\x00\x08\x02\xf0\x0f", 7), true, 0, 0, {}},
    {"fixed_header_not_0", std::string("\x00\x80\x08\x02\xf0\x0f", 6), true, 0, 0, {}},
    {"width_0", std::string("\x00\x00\x00\x02", 4), true, 0, 0, {}},
    {"height_0", std::string("\x00\x00\x02\x00", 4), true, 0, 0, {}},
    {"width_of_six_bytes", std::string("\x00\x00\x81\x80\x80\x80\x80\x01\x01\x00", 10), true, 0, 0, {}},
    {"width_above_31_bits", std::string("\x00\x00\x88\x80\x80\x80\x00\x01\x00", 9), true, 0, 0, {}},
    {"width_cut_inside", std::string("\x00\x00\x81", 3), true, 0, 0, {}},
    {"gigapixels_over_a_few_bytes", std::string("\x00\x00\x87\xff\xff\x7f\x87\xff\xff\x7f\x00", 11),
     true, 0, 0, {}},
    {"empty", "", true, 0, 0, {}},
};

class WbmpDamage : public ::testing::TestWithParam<DamageCase> {};
void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

TEST_P(WbmpDamage, EndsAsTheRulesSay) {
  const DamageCase& c = GetParam();
  auto r = ReadBytes(c.bytes);
  EXPECT_EQ(r->aborted, c.aborted);
  EXPECT_EQ(r->bitmap.Width(), c.width);
  EXPECT_EQ(r->bitmap.Height(), c.height);
  if (!c.gray.empty()) {
    EXPECT_EQ(Gray8(r->bitmap), c.gray);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, WbmpDamage, ::testing::ValuesIn(kDamage),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WbmpRead, ParametersOnlyReadsTheMultiByteSize) {
  auto r = ReadBytes(std::string("\x00\x00\x82\x2c\x81\x00", 6), true);
  EXPECT_FALSE(r->aborted);
  EXPECT_TRUE(r->bitmap.IsEmpty());
  EXPECT_EQ(r->params.Width, 300);
  EXPECT_EQ(r->params.Height, 128);
  EXPECT_EQ(r->params.BitsPerSample, 1);
  EXPECT_EQ(r->params.SamplesPerPixel, 1);
}

TEST(WbmpWrite, SizesBeyondTwoBytesTakeThreeAndReadBack) {
  // ImageMagick refuses pictures this wide: the encoding is checked by hand.
  auto picture = Picture(16400, 3, px1g);
  TPxMemoryStream stream;
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  WriteWbmpStream(stream, picture.get(), progress);
  ASSERT_FALSE(aborted);
  const std::vector<uint8_t> head(stream.Data().begin(), stream.Data().begin() + 6);
  // 16400 = 1 * 128^2 + 0 * 128 + 16.
  EXPECT_EQ(head, (std::vector<uint8_t>{0, 0, 0x81, 0x80, 0x10, 0x03}));
  auto r = ReadBytes(std::string(stream.Data().begin(), stream.Data().end()));
  ASSERT_FALSE(r->aborted);
  EXPECT_EQ(Gray8(r->bitmap), Gray8(*picture));
}

TEST(WbmpWrite, EmptyPictureAndShortWriteSetAborting) {
  TPxBitmap empty;
  TPxMemoryStream stream;
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  WriteWbmpStream(stream, &empty, progress);
  EXPECT_TRUE(aborted);

  class Full : public TPxMemoryStream {
   public:
    int64_t Write(const void* buffer, int64_t count) override {
      return TPxMemoryStream::Write(buffer, std::min<int64_t>(count, std::max<int64_t>(0, 10 - Position())));
    }
  } full;
  auto picture = Picture(64, 64, px1g);
  aborted = false;
  WriteWbmpStream(full, picture.get(), progress);
  EXPECT_TRUE(aborted);
}

TEST(WbmpTable, SavesAndLoadsByItsExtension) {
  testutil::TempDir dir;
  const std::string file = dir.File("phone.wbmp");
  auto picture = Picture(300, 20, px1g);
  TImagingIO out;
  ASSERT_TRUE(out.Bitmap()->Assign(*picture));
  out.SaveToFile(file);
  ASSERT_FALSE(out.Aborting);
  TImagingIO in;
  in.LoadFromFile(file);
  ASSERT_FALSE(in.Aborting);
  EXPECT_EQ(in.Params.FileType, ioWBMP);
  EXPECT_EQ(Gray8(*in.Bitmap()), Gray8(*picture));
  // No signature: recognised by a raster that fills the rest of the file exactly.
  EXPECT_EQ(TImagingIO::DetectFileType(file, true), ioWBMP);
  TImagingIO params;
  params.ReadParamsFromFile(file);
  EXPECT_EQ(params.Params.FileType, ioWBMP);
  EXPECT_EQ(params.Params.Width, 300);
  testutil::WriteFileBytes(file, testutil::ReadFileBytes(file) + "x");
  EXPECT_EQ(TImagingIO::DetectFileType(file, false), 0);
  TImagingIO automatic;
  automatic.LoadFromFileAuto(file);
  ASSERT_FALSE(automatic.Aborting);
  EXPECT_EQ(Gray8(*automatic.Bitmap()), Gray8(*picture));
  EXPECT_TRUE(IsKnownFormat("x.WBMP"));
}

TEST(WbmpContentTest, TakesOnlyAHeaderWhoseRasterFillsTheRest) {
  struct Case {
    std::string bytes;
    bool wbmp;
  };
  const Case cases[] = {
      {std::string("\x00\x00\x08\x02\xf0\x0f", 6), true},
      {std::string("\x00\x00\x09\x01\xf0\x0f", 6), true},
      {std::string("\x00\x00\x08\x02\xf0", 5), false},
      {std::string("\x00\x00\x08\x02\xf0\x0f\x00", 7), false},
      {std::string("\x00\x01\x08\x02\xf0\x0f", 6), false},
      {std::string("\x00\x00\x00\x02", 4), false},
      {std::string("\x00\x00", 2), false},
      {"", false},
  };
  for (const Case& c : cases) {
    const std::string padded = "ab" + c.bytes;
    TPxMemoryStream stream(padded.data(), padded.size());
    stream.SetPosition(2);
    EXPECT_EQ(IsWbmpStream(stream), c.wbmp) << testing::PrintToString(c.bytes);
    EXPECT_EQ(stream.Position(), 2);
  }
}

TEST(WbmpTable, ColourPicturesAreWrittenBlackAndWhiteAndStayColour) {
  testutil::TempDir dir;
  const std::string file = dir.File("colour.wbmp");
  auto picture = Picture(30, 10, pxRGB24);
  TImagingIO out;
  ASSERT_TRUE(out.Bitmap()->Assign(*picture));
  out.SaveToFile(file);
  ASSERT_FALSE(out.Aborting);
  EXPECT_EQ(out.Bitmap()->PixelFormat(), pxRGB24);
  TPxBitmap expected;
  ASSERT_TRUE(expected.Assign(*picture));
  ASSERT_TRUE(expected.ConvertTo(px1g));
  TImagingIO in;
  in.LoadFromFile(file);
  ASSERT_FALSE(in.Aborting);
  EXPECT_EQ(Gray8(*in.Bitmap()), Gray8(expected));
}

}  // namespace
