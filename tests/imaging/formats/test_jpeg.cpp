// JPEG reader and writer, checked against libjpeg-turbo's djpeg and ImageMagick.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/io/imagingio.h"
#include "imaging/core/ioparams.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/jpeg.h"
#include "util/testutil.h"

// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

namespace {

using testutil::Shell;

const char* const kConvert = "/usr/bin/convert";
const char* const kIdentify = "/usr/bin/identify";
const char* const kDjpeg = "/usr/bin/djpeg";
const char* const kCjpeg = "/usr/bin/cjpeg";

bool HaveTools() {
  return testutil::HaveTool(kConvert) && testutil::HaveTool(kIdentify) &&
         testutil::HaveTool(kDjpeg) && testutil::HaveTool(kCjpeg);
}

#define REQUIRE_TOOLS() \
  if (!HaveTools()) GTEST_SKIP() << "ImageMagick or libjpeg-turbo tools missing"

// A decoded picture as plain RGB bytes.
struct TRgbImage {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Rgb;
};

// Reads a binary PPM (P6) or PGM (P5) with maxval 255; gray becomes RGB.
TRgbImage ReadPnm(const std::string& bytes) {
  TRgbImage img;
  size_t pos = 0;
  auto token = [&]() {
    while (pos < bytes.size()) {
      if (std::isspace(static_cast<unsigned char>(bytes[pos]))) {
        ++pos;
      } else if (bytes[pos] == '#') {
        while (pos < bytes.size() && bytes[pos] != '\n') ++pos;
      } else {
        break;
      }
    }
    size_t start = pos;
    while (pos < bytes.size() && !std::isspace(static_cast<unsigned char>(bytes[pos]))) ++pos;
    return bytes.substr(start, pos - start);
  };
  const std::string magic = token();
  img.Width = std::atoi(token().c_str());
  img.Height = std::atoi(token().c_str());
  const int maxval = std::atoi(token().c_str());
  ++pos;
  EXPECT_EQ(maxval, 255);
  const bool gray = magic == "P5";
  EXPECT_TRUE(gray || magic == "P6") << magic;
  const size_t n = size_t(img.Width) * img.Height;
  img.Rgb.resize(n * 3);
  for (size_t i = 0; i < n; ++i)
    for (int c = 0; c < 3; ++c)
      img.Rgb[3 * i + c] = static_cast<uint8_t>(bytes[pos + (gray ? i : 3 * i + c)]);
  return img;
}

TRgbImage FromBitmap(TPxBitmap& bmp) {
  TRgbImage img;
  img.Width = bmp.Width();
  img.Height = bmp.Height();
  img.Rgb.resize(size_t(img.Width) * img.Height * 3);
  for (int y = 0; y < img.Height; ++y) {
    const uint8_t* row = bmp.Scanline(y);
    for (int x = 0; x < img.Width; ++x)
      for (int c = 0; c < 3; ++c) img.Rgb[(size_t(y) * img.Width + x) * 3 + c] = row[3 * x + 2 - c];
  }
  return img;
}

int MaxDifference(const TRgbImage& a, const TRgbImage& b) {
  EXPECT_EQ(a.Width, b.Width);
  EXPECT_EQ(a.Height, b.Height);
  if (a.Rgb.size() != b.Rgb.size()) return 256;
  int worst = 0;
  for (size_t i = 0; i < a.Rgb.size(); ++i) worst = std::max(worst, std::abs(a.Rgb[i] - b.Rgb[i]));
  return worst;
}

double MeanDifference(const TRgbImage& a, const TRgbImage& b) {
  if (a.Rgb.size() != b.Rgb.size() || a.Rgb.empty()) return 256;
  double sum = 0;
  for (size_t i = 0; i < a.Rgb.size(); ++i) sum += std::abs(a.Rgb[i] - b.Rgb[i]);
  return sum / double(a.Rgb.size());
}

TRgbImage Djpeg(const std::string& file, const std::string& options = "") {
  return ReadPnm(Shell(std::string(kDjpeg) + " -pnm " + options + " '" + file + "'"));
}

struct TDecoded {
  TPxBitmap Bitmap;
  TIOParamsVals Params;
  bool Aborting = false;
};

// Runs the reader the way the input/output core does.
void Decode(const std::string& bytes, TDecoded& out, bool paramsOnly = false) {
  TPxMemoryStream stream(bytes.data(), bytes.size());
  TPxProgress progress;
  progress.Aborting = &out.Aborting;
  ReadJpegStream(stream, nullptr, &out.Bitmap, true, false, true, false, paramsOnly, progress,
                 out.Params);
}

// Encodes a bitmap with the given options; returns the file's bytes.
std::string Encode(TPxBitmap& bmp, const TIOParamsVals& options, bool* aborting = nullptr) {
  TIOParamsVals params = options;
  TPxMemoryStream stream;
  bool abort = false;
  TPxProgress progress;
  progress.Aborting = &abort;
  WriteJpegStream(stream, &bmp, params, progress);
  if (aborting) *aborting = abort;
  return std::string(stream.Data().begin(), stream.Data().end());
}

// A photo-like picture: smooth gradients with a little noise and an edge.
void MakePicture(TPxBitmap& bmp, int width, int height, unsigned seed = 1) {
  ASSERT_TRUE(bmp.Allocate(width, height, pxRGB24));
  unsigned state = seed;
  for (int y = 0; y < height; ++y) {
    uint8_t* row = bmp.Scanline(y);
    for (int x = 0; x < width; ++x) {
      state = state * 1103515245u + 12345u;
      const int noise = int((state >> 16) & 15) - 8;
      const int edge = (x > width / 2) ? 60 : 0;
      row[3 * x + 0] = uint8_t(std::clamp(x * 255 / std::max(1, width - 1) + noise, 0, 255));
      row[3 * x + 1] = uint8_t(std::clamp(y * 255 / std::max(1, height - 1) + noise, 0, 255));
      row[3 * x + 2] = uint8_t(std::clamp(128 + edge - noise, 0, 255));
    }
  }
}

// The segments before the first scan: marker code and payload.
struct TSegment {
  int Marker;
  std::string Data;
};
std::vector<TSegment> Segments(const std::string& jpeg) {
  std::vector<TSegment> out;
  size_t pos = 2;
  while (pos + 4 <= jpeg.size() && uint8_t(jpeg[pos]) == 0xFF) {
    const int marker = uint8_t(jpeg[pos + 1]);
    const size_t length = (size_t(uint8_t(jpeg[pos + 2])) << 8) | uint8_t(jpeg[pos + 3]);
    out.push_back({marker, jpeg.substr(pos + 4, length - 2)});
    if (marker == 0xDA) break;
    pos += 2 + length;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Files from other programs

struct TForeignCase {
  const char* Name;
  const char* Command;  // %s = source picture, %o = output file
  int ColorSpace;       // JpegColorSpace found
  bool Progressive;
};

class JpegForeignFiles : public ::testing::TestWithParam<TForeignCase> {};

std::string Substitute(std::string text, const std::string& src, const std::string& out) {
  for (size_t p; (p = text.find("%s")) != std::string::npos;) text.replace(p, 2, src);
  for (size_t p; (p = text.find("%o")) != std::string::npos;) text.replace(p, 2, out);
  return text;
}

TEST_P(JpegForeignFiles, DecodeLikeDjpeg) {
  REQUIRE_TOOLS();
  const TForeignCase& c = GetParam();
  testutil::TempDir dir;
  const std::string src = dir.File("src.ppm");
  const std::string file = dir.File("in.jpg");
  // Odd sizes so that partial blocks and MCUs are exercised.
  Shell(std::string(kConvert) + " -size 203x131 plasma:fractal -seed 7 -depth 8 '" + src + "'");
  Shell(Substitute(c.Command, src, file));
  TDecoded d;
  Decode(testutil::ReadFileBytes(file), d);
  ASSERT_FALSE(d.Aborting);
  EXPECT_EQ(d.Bitmap.PixelFormat(), pxRGB24);
  EXPECT_EQ(d.Params.JpegColorSpace, c.ColorSpace);
  EXPECT_EQ(d.Params.JpegProgressive, c.Progressive);
  EXPECT_EQ(d.Params.Width, 203);
  EXPECT_EQ(d.Params.Height, 131);
  EXPECT_LE(MaxDifference(FromBitmap(d.Bitmap), Djpeg(file)), 1);
}

const TForeignCase kForeignCases[] = {
    {"ImageMagickRgb", "/usr/bin/convert %s -quality 90 %o", 2, false},
    {"ImageMagick444", "/usr/bin/convert %s -quality 85 -sampling-factor 1x1 %o", 2, false},
    {"ImageMagickGray", "/usr/bin/convert %s -colorspace Gray %o", 1, false},
    {"ImageMagickCmyk", "/usr/bin/convert %s -colorspace CMYK %o", 4, false},
    {"ImageMagickProgressive", "/usr/bin/convert %s -interlace JPEG %o", 2, true},
    {"CjpegRestartMarkers", "/usr/bin/cjpeg -restart 1 -outfile %o %s", 2, false},
    {"CjpegRestartBlocks", "/usr/bin/cjpeg -restart 7B -quality 60 -outfile %o %s", 2, false},
    {"CjpegRgbColourSpace", "/usr/bin/cjpeg -rgb -outfile %o %s", 0, false},
    {"CjpegProgressiveGray", "/usr/bin/cjpeg -grayscale -progressive -outfile %o %s", 1, true},
};

INSTANTIATE_TEST_SUITE_P(Files, JpegForeignFiles, ::testing::ValuesIn(kForeignCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Jpeg, NativeCmykGivesTheInkOfTheFile) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  const std::string file = dir.File("cmyk.jpg");
  Shell(std::string(kConvert) + " -size 64x48 plasma:fractal -seed 3 -colorspace CMYK '" + file + "'");
  const std::string bytes = testutil::ReadFileBytes(file);
  TDecoded rgb, native;
  native.Params.NativePixelFormat = true;
  Decode(bytes, rgb);
  Decode(bytes, native);
  ASSERT_FALSE(native.Aborting);
  ASSERT_EQ(native.Bitmap.PixelFormat(), pxCMYK);
  // ImageMagick's own reading of the inks (plain, not inverted).
  const std::string ink = Shell(std::string(kConvert) + " '" + file + "' -depth 8 cmyk:-");
  ASSERT_EQ(ink.size(), size_t(64) * 48 * 4);
  int worst = 0;
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64 * 4; ++x)
      worst = std::max(worst, std::abs(native.Bitmap.Scanline(y)[x] - uint8_t(ink[size_t(y) * 256 + x])));
  EXPECT_LE(worst, 1);
  // The 24-bit decode is the buffer's conversion of those inks.
  TPxBitmap converted;
  ASSERT_TRUE(converted.Assign(native.Bitmap));
  ASSERT_TRUE(converted.ConvertTo(pxRGB24));
  EXPECT_EQ(MaxDifference(FromBitmap(converted), FromBitmap(rgb.Bitmap)), 0);
}

TEST(Jpeg, DctMethodsMatchDjpeg) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  const std::string file = dir.File("dct.jpg");
  Shell(std::string(kConvert) + " -size 150x90 plasma:fractal -seed 5 -quality 80 '" + file + "'");
  const std::string bytes = testutil::ReadFileBytes(file);
  const char* names[] = {"int", "fast", "float"};
  std::vector<TRgbImage> decoded;
  for (uint8_t method = 0; method < 3; ++method) {
    SCOPED_TRACE(names[method]);
    TDecoded d;
    d.Params.JpegDctMethod = method;
    Decode(bytes, d);
    ASSERT_FALSE(d.Aborting);
    decoded.push_back(FromBitmap(d.Bitmap));
    EXPECT_LE(MaxDifference(decoded.back(), Djpeg(file, std::string("-dct ") + names[method])), 1);
  }
  // The fast transform really is another one.
  EXPECT_GT(MaxDifference(decoded[0], decoded[1]), 0);
  // And the writer takes the method too.
  TPxBitmap src;
  MakePicture(src, 64, 64);
  TIOParamsVals accurate, fast;
  fast.JpegDctMethod = 1;
  EXPECT_NE(Encode(src, accurate), Encode(src, fast));
}

TEST(Jpeg, RawYCbCrKeepsTheCodedSamples) {
  TPxBitmap src;
  ASSERT_TRUE(src.Allocate(32, 16, pxRGB24));
  const int r = 200, g = 50, b = 100;
  src.Fill(r | (g << 8) | (b << 16));
  TIOParamsVals options;
  options.JpegQuality = 100;
  const std::string bytes = Encode(src, options);
  TDecoded d;
  TPxMemoryStream stream(bytes.data(), bytes.size());
  TPxProgress progress;
  progress.Aborting = &d.Aborting;
  ReadJpegStream(stream, nullptr, &d.Bitmap, false, false, false, true, false, progress, d.Params);
  ASSERT_FALSE(d.Aborting);
  const double y = 0.299 * r + 0.587 * g + 0.114 * b;
  const double cb = 128 - 0.168736 * r - 0.331264 * g + 0.5 * b;
  const double cr = 128 + 0.5 * r - 0.418688 * g - 0.081312 * b;
  const uint8_t* p = d.Bitmap.Scanline(8) + 3 * 10;
  EXPECT_NEAR(p[0], y, 2);
  EXPECT_NEAR(p[1], cb, 2);
  EXPECT_NEAR(p[2], cr, 2);
}

// An abbreviated image and its tables in two streams, as TIFF files keep them.
TEST(Jpeg, AbbreviatedImageTakesTablesFromTheirStream) {
  const int w = 48, h = 32;
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i * 13 % 251);
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  c.image_width = w;
  c.image_height = h;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 85, TRUE);
  unsigned char* tables = nullptr;
  unsigned long tablesSize = 0;
  jpeg_mem_dest(&c, &tables, &tablesSize);
  jpeg_write_tables(&c);
  unsigned char* image = nullptr;
  unsigned long imageSize = 0;
  jpeg_mem_dest(&c, &image, &imageSize);
  jpeg_start_compress(&c, FALSE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = rgb.data() + size_t(c.next_scanline) * w * 3;
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  const std::string tableBytes(reinterpret_cast<char*>(tables), tablesSize);
  const std::string imageBytes(reinterpret_cast<char*>(image), imageSize);
  std::free(tables);
  std::free(image);
  // The same picture as one complete file, for comparison.
  TDecoded whole;
  Decode(tableBytes.substr(0, tableBytes.size() - 2) + imageBytes.substr(2), whole);
  ASSERT_FALSE(whole.Aborting);

  TPxMemoryStream tableStream(tableBytes.data(), tableBytes.size());
  TPxMemoryStream imageStream(imageBytes.data(), imageBytes.size());
  TDecoded d;
  TPxProgress progress;
  progress.Aborting = &d.Aborting;
  ReadJpegStream(imageStream, &tableStream, &d.Bitmap, false, true, false, false, false, progress,
                 d.Params);
  ASSERT_FALSE(d.Aborting);
  EXPECT_EQ(MaxDifference(FromBitmap(d.Bitmap), FromBitmap(whole.Bitmap)), 0);
  // Without its tables the image cannot be decoded.
  TDecoded alone;
  Decode(imageBytes, alone);
  EXPECT_TRUE(alone.Aborting);
}

// Pictures too large for memory live in temporary files, reached one row at a time.
TEST(Jpeg, FileBackedBitmapsReadAndWriteTheSame) {
  TPxBitmap src;
  MakePicture(src, 300, 200);
  const std::string bytes = Encode(src, TIOParamsVals());
  TDecoded inMemory;
  Decode(bytes, inMemory);
  ASSERT_EQ(inMemory.Bitmap.Location(), pxMemory);
  const int64_t saved = DefaultFileThreshold;
  DefaultFileThreshold = 1024;
  {
    TDecoded inFile;
    Decode(bytes, inFile);
    ASSERT_FALSE(inFile.Aborting);
    ASSERT_EQ(inFile.Bitmap.Location(), pxFile);
    EXPECT_EQ(MaxDifference(FromBitmap(inFile.Bitmap), FromBitmap(inMemory.Bitmap)), 0);
    EXPECT_EQ(Encode(inFile.Bitmap, TIOParamsVals()), Encode(inMemory.Bitmap, TIOParamsVals()));
  }
  DefaultFileThreshold = saved;
}

// ---------------------------------------------------------------------------
// Reduced-size decoding

struct TScaleCase {
  int Scale;  // JpegScale
  int WishW, WishH;
  int OutW, OutH;
  int Used;
};

class JpegScaleSizes : public ::testing::TestWithParam<TScaleCase> {};

TEST_P(JpegScaleSizes, OutputSizeAndDenominator) {
  REQUIRE_TOOLS();
  static std::string bytes;  // one 4000 x 3000 file for every case
  if (bytes.empty()) {
    testutil::TempDir dir;
    Shell(std::string(kConvert) + " -size 4000x3000 gradient:navy-orange '" + dir.File("big.jpg") + "'");
    bytes = testutil::ReadFileBytes(dir.File("big.jpg"));
  }
  const TScaleCase& c = GetParam();
  TDecoded d;
  d.Params.JpegScale = static_cast<uint8_t>(c.Scale);
  d.Params.Width = c.WishW;
  d.Params.Height = c.WishH;
  Decode(bytes, d);
  ASSERT_FALSE(d.Aborting);
  EXPECT_EQ(d.Bitmap.Width(), c.OutW);
  EXPECT_EQ(d.Bitmap.Height(), c.OutH);
  EXPECT_EQ(d.Params.Width, c.OutW);
  EXPECT_EQ(d.Params.Height, c.OutH);
  EXPECT_EQ(d.Params.JpegScaleUsed, c.Used);
  EXPECT_EQ(d.Params.JpegOriginalWidth, 4000);
  EXPECT_EQ(d.Params.JpegOriginalHeight, 3000);
}

INSTANTIATE_TEST_SUITE_P(Cases, JpegScaleSizes,
                         ::testing::Values(TScaleCase{0, 160, 120, 500, 375, 8},
                                           TScaleCase{0, 1000, 800, 2000, 1500, 2},
                                           TScaleCase{0, 1000, 750, 1000, 750, 4},
                                           TScaleCase{0, 4000, 3000, 4000, 3000, 1},
                                           TScaleCase{0, 0, 0, 4000, 3000, 1},
                                           TScaleCase{1, 160, 120, 4000, 3000, 1},
                                           TScaleCase{2, 0, 0, 2000, 1500, 2},
                                           TScaleCase{3, 0, 0, 1000, 750, 4},
                                           TScaleCase{4, 0, 0, 500, 375, 8}));

TEST(Jpeg, ReducedDecodeMatchesDjpegScale) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  const std::string file = dir.File("odd.jpg");
  Shell(std::string(kConvert) + " -size 803x601 plasma:fractal -seed 11 -quality 92 '" + file + "'");
  const std::string bytes = testutil::ReadFileBytes(file);
  for (int scale : {2, 3, 4}) {
    SCOPED_TRACE(scale);
    TDecoded d;
    d.Params.JpegScale = static_cast<uint8_t>(scale);
    Decode(bytes, d);
    ASSERT_FALSE(d.Aborting);
    const int denom = 1 << (scale - 1);
    EXPECT_EQ(d.Bitmap.Width(), (803 + denom - 1) / denom);
    EXPECT_LE(MaxDifference(FromBitmap(d.Bitmap), Djpeg(file, "-scale 1/" + std::to_string(denom))), 1);
  }
}

TEST(Jpeg, ParametersOnlyLeavesTheBitmapAlone) {
  TPxBitmap src;
  MakePicture(src, 120, 80);
  TIOParamsVals options;
  options.JpegProgressive = true;
  const std::string bytes = Encode(src, options);
  TDecoded d;
  ASSERT_TRUE(d.Bitmap.Allocate(3, 2, px8g));
  d.Params.JpegScale = 2;
  Decode(bytes, d, true);
  EXPECT_FALSE(d.Aborting);
  EXPECT_EQ(d.Params.Width, 60);
  EXPECT_EQ(d.Params.Height, 40);
  EXPECT_EQ(d.Params.JpegOriginalWidth, 120);
  EXPECT_TRUE(d.Params.JpegProgressive);
  EXPECT_EQ(d.Params.SamplesPerPixel, 3);
  EXPECT_EQ(d.Bitmap.Width(), 3);
  EXPECT_EQ(d.Bitmap.PixelFormat(), px8g);
}

// ---------------------------------------------------------------------------
// Resolution

struct TDensityCase {
  uint8_t Unit;
  uint16_t X, Y;
  int DpiX, DpiY;
};

class JpegDensity : public ::testing::TestWithParam<TDensityCase> {};

TEST_P(JpegDensity, JfifDensityBecomesDpi) {
  const TDensityCase& c = GetParam();
  TPxBitmap src;
  MakePicture(src, 16, 16);
  std::string bytes = Encode(src, TIOParamsVals());
  // The JFIF header written by the encoder: units at 13, densities at 14 and 16.
  ASSERT_EQ(bytes.substr(6, 5), std::string("JFIF\0", 5));
  bytes[13] = char(c.Unit);
  bytes[14] = char(c.X >> 8), bytes[15] = char(c.X & 255);
  bytes[16] = char(c.Y >> 8), bytes[17] = char(c.Y & 255);
  TDecoded d;
  Decode(bytes, d);
  ASSERT_FALSE(d.Aborting);
  EXPECT_EQ(d.Params.DpiX, c.DpiX);
  EXPECT_EQ(d.Params.DpiY, c.DpiY);
}

INSTANTIATE_TEST_SUITE_P(Cases, JpegDensity,
                         ::testing::Values(TDensityCase{2, 118, 118, 300, 300},
                                           TDensityCase{2, 28, 59, 71, 150},
                                           TDensityCase{1, 72, 96, 72, 96},
                                           TDensityCase{0, 1, 1, 1, 1}));

TEST(Jpeg, LoadWithoutDensityGetsTheDefaultResolution) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  const std::string file = dir.File("nodensity.jpg");
  Shell(std::string(kConvert) + " -size 8x8 xc:red ppm:- | " + kCjpeg + " -outfile '" + file + "'");
  TImagingIO io;
  io.LoadFromFile(file);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.DpiX, kDefaultDpi);
  EXPECT_EQ(io.Params.FileType, ioJPEG);
}

// ---------------------------------------------------------------------------
// Writing

TEST(Jpeg, WorkingFileSettingsReachTheFile) {
  REQUIRE_TOOLS();
  TPxBitmap src;
  MakePicture(src, 321, 157);
  testutil::TempDir dir;
  for (int quality : {96, 75, 20}) {
    SCOPED_TRACE(quality);
    TIOParamsVals options;
    options.JpegQuality = quality;
    options.JpegSmoothing = 0;
    options.DpiX = 300;
    options.DpiY = 150;
    const std::string file = dir.File("q" + std::to_string(quality) + ".jpg");
    bool aborting = true;
    testutil::WriteFileBytes(file, Encode(src, options, &aborting));
    ASSERT_FALSE(aborting);
    const std::string info = Shell(std::string(kIdentify) + " -format '%Q %[jpeg:colorspace] %[interlace] %U %x %y' '" + file + "'");
    // ImageMagick names the colour space it decodes to: RGB from YCbCr.
    EXPECT_EQ(info, std::to_string(quality) + " 2 None PixelsPerInch 300 150");
    // Baseline (a SOF0 frame of three components), YCbCr (no Adobe marker
    // announcing untransformed RGB).
    bool sof0 = false;
    for (const TSegment& s : Segments(testutil::ReadFileBytes(file))) {
      if (s.Marker == 0xC0) sof0 = s.Data.size() > 5 && s.Data[5] == 3;
      EXPECT_NE(s.Marker, 0xC2);
      EXPECT_NE(s.Marker, 0xEE);
    }
    EXPECT_TRUE(sof0);
    // What djpeg sees is what we see, and close to what was written.
    TDecoded d;
    Decode(testutil::ReadFileBytes(file), d);
    EXPECT_EQ(d.Params.JpegColorSpace, 2);
    const TRgbImage ours = FromBitmap(d.Bitmap);
    EXPECT_LE(MaxDifference(ours, Djpeg(file)), 1);
    // The picture's noise is the first thing a low quality drops.
    EXPECT_LT(MeanDifference(ours, FromBitmap(src)), quality >= 75 ? 6.0 : 12.0);
  }
}

struct TColorSpaceCase {
  uint8_t ColorSpace;
  const char* Identify;  // ImageMagick's jpeg:colorspace: the space it decodes to
};

class JpegWriteColorSpace : public ::testing::TestWithParam<TColorSpaceCase> {};

TEST_P(JpegWriteColorSpace, ReadBackByToolsAndUs) {
  REQUIRE_TOOLS();
  const TColorSpaceCase& c = GetParam();
  TPxBitmap src;
  MakePicture(src, 99, 45);
  TIOParamsVals options;
  options.JpegColorSpace = c.ColorSpace;
  options.JpegQuality = 95;
  testutil::TempDir dir;
  const std::string file = dir.File("cs.jpg");
  testutil::WriteFileBytes(file, Encode(src, options));
  EXPECT_EQ(Shell(std::string(kIdentify) + " -format '%[jpeg:colorspace]' '" + file + "'"), c.Identify);
  TDecoded d;
  Decode(testutil::ReadFileBytes(file), d);
  ASSERT_FALSE(d.Aborting);
  EXPECT_EQ(d.Params.JpegColorSpace, c.ColorSpace);
  const TRgbImage ours = FromBitmap(d.Bitmap);
  EXPECT_LE(MaxDifference(ours, Djpeg(file)), 1);
  // ImageMagick decodes the same colours (its CMYK path rounds on its own).
  const TRgbImage magick = ReadPnm(Shell(std::string(kConvert) + " '" + file + "' -depth 8 ppm:-"));
  EXPECT_LT(MeanDifference(ours, magick), 1.0);
  TRgbImage expected = FromBitmap(src);
  if (c.ColorSpace == 1) {
    for (size_t i = 0; i < expected.Rgb.size(); i += 3) {
      const int g = (299 * expected.Rgb[i] + 587 * expected.Rgb[i + 1] + 114 * expected.Rgb[i + 2] + 500) / 1000;
      expected.Rgb[i] = expected.Rgb[i + 1] = expected.Rgb[i + 2] = uint8_t(g);
    }
  }
  EXPECT_LT(MeanDifference(ours, expected), 5.0);
}

INSTANTIATE_TEST_SUITE_P(Spaces, JpegWriteColorSpace,
                         ::testing::Values(TColorSpaceCase{0, "2"}, TColorSpaceCase{1, "1"},
                                           TColorSpaceCase{2, "2"}, TColorSpaceCase{3, "4"},
                                           TColorSpaceCase{4, "4"}),
                         [](const auto& info) { return "Space" + std::to_string(info.param.ColorSpace); });

TEST(Jpeg, ProgressiveAndOptimalHuffman) {
  REQUIRE_TOOLS();
  TPxBitmap src;
  MakePicture(src, 200, 120);
  TIOParamsVals plain;
  plain.JpegQuality = 90;
  TIOParamsVals optimal = plain;
  optimal.JpegOptimalHuffman = true;
  TIOParamsVals progressive = plain;
  progressive.JpegProgressive = true;
  const std::string a = Encode(src, plain), b = Encode(src, optimal), p = Encode(src, progressive);
  // Optimal tables code the same coefficients in fewer bytes.
  EXPECT_LT(b.size(), a.size());
  TDecoded da, db, dp;
  Decode(a, da);
  Decode(b, db);
  Decode(p, dp);
  EXPECT_EQ(MaxDifference(FromBitmap(da.Bitmap), FromBitmap(db.Bitmap)), 0);
  EXPECT_FALSE(da.Params.JpegProgressive);
  EXPECT_TRUE(dp.Params.JpegProgressive);
  testutil::TempDir dir;
  testutil::WriteFileBytes(dir.File("p.jpg"), p);
  EXPECT_EQ(Shell(std::string(kIdentify) + " -format '%[interlace]' '" + dir.File("p.jpg") + "'"), "JPEG");
  EXPECT_LE(MaxDifference(FromBitmap(dp.Bitmap), Djpeg(dir.File("p.jpg"))), 1);
}

// Sum of differences between horizontal neighbours: high-frequency energy.
long Roughness(const TRgbImage& img) {
  long sum = 0;
  for (int y = 0; y < img.Height; ++y)
    for (int x = 1; x < img.Width; ++x)
      for (int c = 0; c < 3; ++c) {
        const size_t i = (size_t(y) * img.Width + x) * 3 + c;
        sum += std::abs(img.Rgb[i] - img.Rgb[i - 3]);
      }
  return sum;
}

TEST(Jpeg, SmoothingReachesThePixels) {
  TPxBitmap src;
  MakePicture(src, 160, 96, 5);
  long previous = -1;
  for (int smoothing : {100, 40, 0}) {
    TIOParamsVals options;
    options.JpegQuality = 100;
    options.JpegSmoothing = smoothing;
    TDecoded d;
    Decode(Encode(src, options), d);
    ASSERT_FALSE(d.Aborting);
    const long rough = Roughness(FromBitmap(d.Bitmap));
    // Less smoothing keeps more of the noise.
    EXPECT_GT(rough, previous) << smoothing;
    previous = rough;
  }
}

TEST(Jpeg, OneBitPicturesAreWrittenBlackAndWhite) {
  TPxBitmap bits;
  ASSERT_TRUE(bits.Allocate(40, 24, px1g));
  for (int y = 0; y < 24; ++y) std::memset(bits.Scanline(y), (y / 8) % 2 ? 0xFF : 0x00, bits.RowBytes());
  TDecoded d;
  Decode(Encode(bits, TIOParamsVals()), d);
  ASSERT_FALSE(d.Aborting);
  ASSERT_EQ(d.Bitmap.Width(), 40);
  // Block rows away from the stripes' edges.
  EXPECT_LT(d.Bitmap.Scanline(3)[60], 16);
  EXPECT_GT(d.Bitmap.Scanline(11)[60], 239);
}

TEST(Jpeg, EmptyBitmapWritesNothing) {
  TPxBitmap empty;
  bool aborting = false;
  EXPECT_TRUE(Encode(empty, TIOParamsVals(), &aborting).empty());
  EXPECT_TRUE(aborting);
}

TEST(Jpeg, MarkersSurviveAndJfifIsNotDoubled) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  const std::string file = dir.File("com.jpg");
  Shell(std::string(kConvert) + " -size 32x32 xc:teal -set comment 'kept comment' '" + file + "'");
  TDecoded d;
  Decode(testutil::ReadFileBytes(file), d);
  ASSERT_FALSE(d.Aborting);
  // The reader drops the leading JFIF header: the writer makes its own.
  ASSERT_FALSE(d.Params.MarkerList.empty());
  EXPECT_NE(d.Params.MarkerList.front().Type, 224);
  TPxMarker app5;
  app5.Type = 229;
  app5.Data = {'x', 'y', 0, 1, 2};
  d.Params.MarkerList.push_back(app5);
  TPxMarker adobe;  // never copied: libjpeg writes its own for the colour space
  adobe.Type = 238;
  adobe.Data = {'A', 'd', 'o', 'b', 'e'};
  d.Params.MarkerList.push_back(adobe);
  const std::string again = Encode(d.Bitmap, d.Params);
  int app0 = 0, com = 0, app5s = 0, app14 = 0;
  for (const TSegment& s : Segments(again)) {
    app0 += s.Marker == 0xE0;
    app14 += s.Marker == 0xEE;
    if (s.Marker == 0xFE && s.Data == "kept comment") ++com;
    if (s.Marker == 0xE5 && s.Data == std::string("xy\0\1\2", 5)) ++app5s;
  }
  EXPECT_EQ(app0, 1);
  EXPECT_EQ(com, 1);
  EXPECT_EQ(app5s, 1);
  EXPECT_EQ(app14, 0);
  testutil::WriteFileBytes(dir.File("again.jpg"), again);
  EXPECT_EQ(Shell(std::string(kIdentify) + " -format '%c' '" + dir.File("again.jpg") + "'"), "kept comment");
}

TEST(Jpeg, IccProfileIsCollected) {
  TPxBitmap src;
  MakePicture(src, 8, 8);
  TIOParamsVals options;
  // A profile in two APP2 pieces, sent out of order.
  std::string profile(70000, '\0');
  for (size_t i = 0; i < profile.size(); ++i) profile[i] = char(i * 7);
  auto piece = [&](int seq, size_t from, size_t n) {
    TPxMarker m;
    m.Type = 226;
    const std::string head = std::string("ICC_PROFILE\0", 12) + char(seq) + char(2);
    m.Data.assign(head.begin(), head.end());
    m.Data.insert(m.Data.end(), profile.begin() + from, profile.begin() + from + n);
    return m;
  };
  options.MarkerList.push_back(piece(2, 60000, 10000));
  options.MarkerList.push_back(piece(1, 0, 60000));
  TDecoded d;
  Decode(Encode(src, options), d);
  ASSERT_FALSE(d.Aborting);
  EXPECT_EQ(std::string(d.Params.ColorProfile.begin(), d.Params.ColorProfile.end()), profile);
}

// ---------------------------------------------------------------------------
// Start of image

class JpegLeadingBytes : public ::testing::TestWithParam<std::pair<int, bool>> {};

TEST_P(JpegLeadingBytes, FoundWithinOneHundredBytes) {
  const auto [garbage, readable] = GetParam();
  TPxBitmap src;
  MakePicture(src, 24, 16);
  const std::string bytes = std::string(garbage, 'g') + Encode(src, TIOParamsVals());
  TPxMemoryStream stream(bytes.data(), bytes.size());
  stream.SetPosition(0);
  EXPECT_EQ(JpegPosition(stream), readable ? garbage : -1);
  EXPECT_EQ(stream.Position(), 0);
  TDecoded d;
  Decode(bytes, d);
  EXPECT_EQ(d.Aborting, !readable);
  EXPECT_EQ(d.Bitmap.Width(), readable ? 24 : 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, JpegLeadingBytes,
                         ::testing::Values(std::pair{0, true}, std::pair{50, true},
                                           std::pair{99, true}, std::pair{101, false},
                                           std::pair{150, false}));

// ---------------------------------------------------------------------------
// Input/output core round trip

TEST(Jpeg, SaveAndLoadThroughTheCore) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  const std::string file = dir.File("core.JPG");
  TImagingIO io;
  MakePicture(*io.Bitmap(), 150, 100);
  io.Params.JpegQuality = 96;
  io.Params.DpiX = io.Params.DpiY = 240;
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting);
  EXPECT_LT(MeanDifference(FromBitmap(*io.Bitmap()), Djpeg(file)), 5.0);

  TImagingIO reader;
  reader.ReadParamsFromFile(file);
  EXPECT_EQ(reader.Params.FileType, ioJPEG);
  EXPECT_EQ(reader.Params.Width, 150);
  EXPECT_EQ(reader.Params.DpiX, 240);
  reader.LoadFromFile(file);
  ASSERT_FALSE(reader.Aborting);
  EXPECT_LE(MaxDifference(FromBitmap(*reader.Bitmap()), Djpeg(file)), 1);
}

}  // namespace
