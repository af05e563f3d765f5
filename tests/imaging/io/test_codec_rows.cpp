// The rows of the codecs built on outside libraries, through the
// input/output core as the program uses them: recognition by content and
// extension, parameters-only reads, and round trips through every writer
// with alpha, compared pixel for pixel.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "imaging/io/imagingio.h"
#include "util/dngfile.h"
#include "util/testutil.h"

namespace {

// A picture with colours across the range and a transparency ramp.
void Draw(TPxBitmap& b, int w, int h) {
  ASSERT_TRUE(b.Allocate(w, h, pxRGB24));
  TPxBitmap* a = b.AlphaChannel();
  for (int y = 0; y < h; ++y) {
    uint8_t* p = b.Scanline(y);
    for (int x = 0; x < w; ++x) {
      p[3 * x] = static_cast<uint8_t>(x * 7 + y);
      p[3 * x + 1] = static_cast<uint8_t>(y * 11);
      p[3 * x + 2] = static_cast<uint8_t>(255 - x * 3);
      a->Scanline(y)[x] = static_cast<uint8_t>(x % 3 == 0 ? 0 : 40 + x * 5);
    }
  }
  a->SetFullAlpha(false);
}

struct RoundTrip {
  const char* file;
  int32_t type;
};

class LosslessRows : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(LosslessRows, SaveAndLoadKeepEveryPixelAndAlpha) {
  const RoundTrip& c = GetParam();
  testutil::TempDir dir;
  const std::string name = dir.File(c.file);
  TImagingIO out;
  Draw(*out.Bitmap(), 37, 21);
  out.Params.WebpLossless = true;
  out.SaveToFile(name);
  ASSERT_FALSE(out.Aborting);

  EXPECT_EQ(TImagingIO::DetectFileType(name, true), c.type);
  TImagingIO in;
  in.LoadFromFile(name);
  ASSERT_FALSE(in.Aborting) << in.Params.CodecError;
  EXPECT_EQ(in.Params.FileType, c.type);
  TPxBitmap& a = *out.Bitmap();
  TPxBitmap& b = *in.Bitmap();
  ASSERT_EQ(b.Width(), 37);
  ASSERT_EQ(b.Height(), 21);
  ASSERT_EQ(b.PixelFormat(), pxRGB24);
  ASSERT_TRUE(b.HasAlphaChannel());
  for (int y = 0; y < 21; ++y)
    for (int x = 0; x < 37; ++x) {
      ASSERT_EQ(std::memcmp(a.Scanline(y) + 3 * x, b.Scanline(y) + 3 * x, 3), 0) << x << "," << y;
      ASSERT_EQ(a.Alpha(x, y), b.Alpha(x, y)) << x << "," << y;
    }
  // The same through the content test: LoadFromFileAuto.
  TImagingIO automatic;
  automatic.LoadFromFileAuto(name);
  EXPECT_FALSE(automatic.Aborting);
  EXPECT_EQ(automatic.Params.FileType, c.type);
}

INSTANTIATE_TEST_SUITE_P(Rows, LosslessRows,
                         ::testing::Values(RoundTrip{"a.webp", ioWEBP}, RoundTrip{"a.jp2", ioJP2},
                                           RoundTrip{"a.j2k", ioJ2K}, RoundTrip{"a.j2c", ioJ2K}),
                         [](const auto& info) {
                           std::string n = info.param.file;
                           return n.substr(2);
                         });

TEST(CodecRows, CameraRawFilesAreKnownByExtensionAndReadAsRaw) {
  for (const char* name : {"a.DNG", "b.arw", "c.RW2", "d.nef", "e.heic", "f.HEIF", "g.webp"}) {
    EXPECT_TRUE(IsKnownFormat(name)) << name;
  }
  testutil::TempDir dir;
  dngfile::DngSpec spec;
  spec.width = 48;
  spec.height = 32;
  spec.orientation = 6;
  const std::string bytes = dngfile::MakeDng(spec);
  for (const char* file : {"camera.dng", "camera.nef", "camera.arw"}) {
    SCOPED_TRACE(file);
    const std::string name = dir.File(file);
    testutil::WriteFileBytes(name, bytes);
    // A TIFF by its content, camera raw by its extension.
    EXPECT_EQ(TImagingIO::DetectFileType(name, false), ioRAW);
    TImagingIO io;
    io.ReadParamsFromFile(name);
    ASSERT_FALSE(io.Aborting) << io.Params.CodecError;
    EXPECT_EQ(io.Params.FileType, ioRAW);
    EXPECT_EQ(io.Params.Width, 32);  // held upright
    EXPECT_EQ(io.Params.Height, 48);
    EXPECT_TRUE(io.Bitmap()->IsEmpty());
    io.LoadFromFile(name);
    ASSERT_FALSE(io.Aborting) << io.Params.CodecError;
    EXPECT_EQ(io.Bitmap()->Width(), 32);
    EXPECT_EQ(io.Bitmap()->Height(), 48);
    EXPECT_EQ(io.Params.DpiX, 300);
  }
  // As a plain TIFF name the same bytes are not camera raw.
  const std::string tif = dir.File("camera.tif");
  testutil::WriteFileBytes(tif, bytes);
  EXPECT_EQ(TImagingIO::DetectFileType(tif, false), ioTIFF);
}

TEST(CodecRows, ContentTestsFindTheNewFormatsUnderAnyName) {
  testutil::TempDir dir;
  TImagingIO out;
  Draw(*out.Bitmap(), 20, 10);
  const std::string webp = dir.File("a.webp");
  out.SaveToFile(webp);
  ASSERT_FALSE(out.Aborting);
  const std::string renamed = dir.File("a.png");
  std::filesystem::rename(webp, renamed);
  EXPECT_EQ(TImagingIO::DetectFileType(renamed, false), ioWEBP);
  // Verified against the extension: a WebP named .png is refused...
  EXPECT_EQ(TImagingIO::DetectFileType(renamed, true), 0);
  // ...and LoadFromFileAuto reads it as what it is.
  TImagingIO in;
  in.LoadFromFileAuto(renamed);
  EXPECT_FALSE(in.Aborting);
  EXPECT_EQ(in.Params.FileType, ioWEBP);
  EXPECT_EQ(in.Bitmap()->Width(), 20);
}

TEST(CodecRows, AFailedReadSaysWhyAndEndsWithTheEvents) {
  testutil::TempDir dir;
  const std::string name = dir.File("broken.webp");
  testutil::WriteFileBytes(name, std::string("RIFF\x20\0\0\0WEBPVP8 \x14\0\0\0", 20) + std::string(20, 'x'));
  TImagingIO io;
  int last = -1, finished = 0;
  io.OnProgress = [&](TImagingIO*, int per) { last = per; };
  io.OnFinishWork = [&](TImagingIO*) { ++finished; };
  io.LoadFromFile(name);
  EXPECT_TRUE(io.Aborting);
  EXPECT_FALSE(io.Params.CodecError.empty());
  EXPECT_EQ(last, 100);
  EXPECT_EQ(finished, 1);
  io.ReadParamsFromFile(name);
  EXPECT_EQ(io.Params.FileType, 0);
}

}  // namespace
