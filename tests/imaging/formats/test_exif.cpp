// EXIF and IPTC metadata of JPEG files, checked against exiftool and
// ImageMagick: values written by exiftool are read, values written here are
// read back by exiftool, the eight orientations turn a picture upright as
// `convert -auto-orient` does, the embedded thumbnail replaces the picture on
// request, and damaged EXIF never stops a picture from loading.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "exifvalues.h"
#include "imaging/core/ioparams.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/exif.h"
#include "imaging/io/imagingio.h"
#include "util/testutil.h"

namespace {

using testutil::Shell;

const char* const kConvert = "/usr/bin/convert";
const char* const kExiftool = "/usr/bin/exiftool";

#define REQUIRE_TOOLS()                                                              \
  if (!testutil::HaveTool(kConvert) || !testutil::HaveTool(kExiftool)) GTEST_SKIP() \
      << "ImageMagick or exiftool missing"

// exiftool's numeric values of a file's EXIF and IPTC tags.
std::map<std::string, std::string> ExiftoolValues(const std::string& file) {
  return testutil::ExiftoolValues(file, "-n -EXIF:all -IPTC:all");
}

// A picture with four differently coloured quarters, so that every turn and
// mirror puts a different colour in the top-left corner.
std::unique_ptr<TPxBitmap> Quarters(int w, int h) {
  auto b = std::make_unique<TPxBitmap>();
  EXPECT_TRUE(b->Allocate(w, h, pxRGB24));
  const uint8_t colours[4][3] = {{0, 0, 230}, {0, 210, 0}, {220, 0, 0}, {230, 230, 230}};  // BGR
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int x = 0; x < w; ++x) {
      const uint8_t* c = colours[(y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0)];
      std::memcpy(row + 3 * x, c, 3);
    }
  }
  return b;
}

void SaveJpeg(TPxBitmap& picture, const std::string& file, TIOParamsVals* values = nullptr) {
  TImagingIO io;
  io.SetTargetBitmap(&picture);
  if (values) {
    static_cast<TPxExifValues&>(io.Params) = *values;
    io.Params.HasExif = values->HasExif;
    io.Params.IPTCInfoList = values->IPTCInfoList;
    io.Params.SetDpi(values->DpiX, values->DpiY);
  }
  io.Params.JpegQuality = 95;
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting);
}

// A JPEG of `picture` carrying the given APP1 data as it is.
void SaveJpegWithApp1(TPxBitmap& picture, const std::string& file, const std::vector<uint8_t>& app1) {
  TImagingIO io;
  io.SetTargetBitmap(&picture);
  io.Params.MarkerList.push_back({225, app1});
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting);
}

// Binary PPM as written by `convert ... ppm:-`.
struct TRgb {
  int W = 0, H = 0;
  std::string Bytes;
};
TRgb ReadPpm(const std::string& data) {
  TRgb img;
  std::istringstream in(data);
  std::string magic;
  int maxval = 0;
  in >> magic >> img.W >> img.H >> maxval;
  in.get();
  img.Bytes = data.substr(size_t(in.tellg()));
  return img;
}

int MaxDifference(const TPxBitmap& ours, const TRgb& theirs) {
  int worst = 0;
  for (int y = 0; y < ours.Height(); ++y) {
    const uint8_t* row = ours.Scanline(y);
    for (int x = 0; x < ours.Width(); ++x)
      for (int c = 0; c < 3; ++c) {
        const int mine = row[3 * x + 2 - c];  // BGR against RGB
        const int other = uint8_t(theirs.Bytes[(size_t(y) * theirs.W + x) * 3 + c]);
        worst = std::max(worst, std::abs(mine - other));
      }
  }
  return worst;
}

}  // namespace

// --- values written by exiftool ----------------------------------------------

TEST(Exif, ValuesWrittenByExiftoolAreReadInBothByteOrders) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  auto pic = Quarters(32, 24);
  for (const char* order : {"II", "MM"}) {
    SCOPED_TRACE(order);
    const std::string file = dir.File(std::string("camera-") + order + ".jpg");
    SaveJpeg(*pic, file);
    Shell(std::string(kExiftool) + " -q -overwrite_original -ExifByteOrder=" + order +
          " -Make='Canon' -Model='EOS 5D' -Software='Firmware 1.1' -Copyright='A. N. Other'"
          " -ImageDescription='Harbour at dawn' -ModifyDate='2024:05:06 07:08:09'"
          " -DateTimeOriginal='2024:05:06 07:08:10' -CreateDate='2024:05:06 07:08:11'"
          " -Orientation#=6 -ExposureTime=0.004 -FNumber=2.8 -ISO=400 -ExposureProgram#=3"
          " -FocalLength=35 -EXIF:Flash#=16 -MeteringMode#=5 -ExposureCompensation=-0.7"
          " -ColorSpace#=1 -ExifImageWidth=32 -ExifImageHeight=24 -SubSecTimeOriginal=42"
          " -UserComment='Low tide' -ExifVersion=0231 -YCbCrPositioning#=2"
          " -FocalPlaneXResolution=4000 -FocalPlaneResolutionUnit#=3 '" + file + "'");
    TImagingIO io;
    io.ReadParamsFromFile(file);
    ASSERT_EQ(io.Params.FileType, ioJPEG);
    const TIOParamsVals& p = io.Params;
    EXPECT_TRUE(p.HasExif);
    EXPECT_EQ(p.ExifMake, "Canon");
    EXPECT_EQ(p.ExifModel, "EOS 5D");
    EXPECT_EQ(p.ExifSoftware, "Firmware 1.1");
    EXPECT_EQ(p.ExifCopyright, "A. N. Other");
    EXPECT_EQ(p.ExifImageDescription, "Harbour at dawn");
    EXPECT_EQ(p.ExifDateTime, "2024:05:06 07:08:09");
    EXPECT_EQ(p.ExifDateTimeOriginal, "2024:05:06 07:08:10");
    EXPECT_EQ(p.ExifDateTimeDigitized, "2024:05:06 07:08:11");
    EXPECT_EQ(p.ExifOrientation, 6);
    EXPECT_DOUBLE_EQ(p.ExifExposureTime, 0.004);
    EXPECT_DOUBLE_EQ(p.ExifFNumber, 2.8);
    EXPECT_EQ(p.ExifISOSpeedRatings[0], 400);
    EXPECT_EQ(p.ExifExposureProgram, 3);
    EXPECT_DOUBLE_EQ(p.ExifFocalLength, 35);
    EXPECT_EQ(p.ExifFlash, 16);
    EXPECT_EQ(p.ExifMeteringMode, 5);
    EXPECT_NEAR(p.ExifExposureBiasValue, -0.7, 1e-6);
    EXPECT_EQ(p.ExifColorSpace, 1);
    EXPECT_EQ(p.ExifPixelXDimension, 32);
    EXPECT_EQ(p.ExifPixelYDimension, 24);
    EXPECT_EQ(p.ExifSubsecTimeOriginal, "42");
    EXPECT_EQ(p.ExifUserComment, "Low tide");
    EXPECT_EQ(p.ExifUserCommentCode, std::string("ASCII\0\0\0", 8));
    EXPECT_EQ(p.ExifExifVersion, "0231");
    EXPECT_EQ(p.ExifYCbCrPositioning, 2);
    EXPECT_DOUBLE_EQ(p.ExifFocalPlaneXResolution, 4000);
    EXPECT_EQ(p.ExifFocalPlaneResolutionUnit, 3);
  }
}

// --- values written here, read by exiftool -------------------------------------

TEST(Exif, ValuesWrittenHereAreReadByExiftool) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  auto pic = Quarters(32, 24);
  TIOParamsVals v;
  exifvalues::SetCameraValues(v);
  v.IPTCInfoList.Items = {{2, 5, "Lake"}, {2, 25, "ice"}, {2, 25, "snow"}};
  const std::string file = dir.File("ours.jpg");
  SaveJpeg(*pic, file, &v);
  exifvalues::ExpectExiftoolReadsCameraValues(file);
  std::map<std::string, std::string> t = ExiftoolValues(file);
  EXPECT_EQ(t["ObjectName"], "Lake");
  EXPECT_EQ(t["Keywords"], "ice, snow");
  EXPECT_EQ(Shell(std::string(kExiftool) + " -s -s -s -Warning '" + file + "'"), "");
}

// A read file written again keeps its EXIF values, once.
TEST(Exif, ReadAndWrittenAgainKeepsOneExifMarker) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  auto pic = Quarters(32, 24);
  const std::string first = dir.File("first.jpg"), second = dir.File("second.jpg");
  SaveJpeg(*pic, first);
  Shell(std::string(kExiftool) + " -q -overwrite_original -Make=Fuji -Model=X100 -Orientation#=3 '" + first + "'");
  TImagingIO io;
  io.LoadFromFile(first);
  ASSERT_FALSE(io.Aborting);
  io.Params.ExifModel = "X100V";
  io.SaveToFile(second);
  ASSERT_FALSE(io.Aborting);
  std::map<std::string, std::string> t = ExiftoolValues(second);
  EXPECT_EQ(t["Make"], "Fuji");
  EXPECT_EQ(t["Model"], "X100V");
  EXPECT_EQ(t["Orientation"], "3");
  int app1 = 0;
  for (const TPxMarker& m : io.Params.MarkerList) app1 += m.Type == 225;
  TImagingIO back;
  back.LoadFromFile(second);
  int exifMarkers = 0;
  for (const TPxMarker& m : back.Params.MarkerList)
    exifMarkers += m.Type == 225 && m.Data.size() > 6 && std::memcmp(m.Data.data(), "Exif\0\0", 6) == 0;
  EXPECT_EQ(app1, 1);
  EXPECT_EQ(exifMarkers, 1);
}

// --- resolution ---------------------------------------------------------------

TEST(Exif, JfifWithAspectRatioOnlyTakesTheExifResolution) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  auto pic = Quarters(16, 16);
  struct Case {
    const char* name;
    const char* jfif;  // exiftool arguments for the JFIF header
    const char* exif;
    int dpiX, dpiY;
  } cases[] = {
      {"aspect_exif_inches", "-JFIF:ResolutionUnit#=0 -JFIF:XResolution=1 -JFIF:YResolution=1",
       "-EXIF:XResolution=72 -EXIF:YResolution=72 -EXIF:ResolutionUnit#=2", 72, 72},
      {"aspect_exif_cm", "-JFIF:ResolutionUnit#=0 -JFIF:XResolution=1 -JFIF:YResolution=1",
       "-EXIF:XResolution=118 -EXIF:YResolution=59 -EXIF:ResolutionUnit#=3", 300, 150},
      {"jfif_dpi_wins", "-JFIF:ResolutionUnit#=1 -JFIF:XResolution=200 -JFIF:YResolution=200",
       "-EXIF:XResolution=72 -EXIF:YResolution=72 -EXIF:ResolutionUnit#=2", 200, 200},
      {"no_jfif", "-JFIF:all=", "-EXIF:XResolution=180 -EXIF:YResolution=180 -EXIF:ResolutionUnit#=2",
       180, 180},
      // Neither holds a resolution: the default, not the aspect ratio.
      {"aspect_exif_without", "-JFIF:ResolutionUnit#=0 -JFIF:XResolution=1 -JFIF:YResolution=1",
       "-Make=Test -EXIF:XResolution= -EXIF:YResolution= -EXIF:ResolutionUnit=", 300, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir.File(std::string(c.name) + ".jpg");
    SaveJpeg(*pic, file);
    Shell(std::string(kExiftool) + " -q -overwrite_original " + c.exif + " '" + file + "'");
    Shell(std::string(kExiftool) + " -q -overwrite_original " + c.jfif + " '" + file + "'");
    for (bool paramsOnly : {true, false}) {
      // A header read reports the file's numbers; the default comes with the load.
      if (paramsOnly && std::string(c.name) == "aspect_exif_without") continue;
      TImagingIO io;
      if (paramsOnly) io.ReadParamsFromFile(file);
      else io.LoadFromFile(file);
      ASSERT_FALSE(io.Aborting);
      EXPECT_EQ(io.Params.DpiX, c.dpiX) << paramsOnly;
      EXPECT_EQ(io.Params.DpiY, c.dpiY) << paramsOnly;
      EXPECT_EQ(io.Params.ExifXResolution, c.dpiX);  // in step with DpiX, per inch
      if (std::string(c.name) == "aspect_exif_without") {
        EXPECT_FALSE(io.Params.DpiFromFile);
      }
    }
    // Written again, the EXIF block holds the resolution the picture was read with.
    TImagingIO io;
    io.LoadFromFile(file);
    const std::string again = dir.File(std::string(c.name) + "-again.jpg");
    io.SaveToFile(again);
    ASSERT_FALSE(io.Aborting);
    std::map<std::string, std::string> v = ExiftoolValues(again);
    EXPECT_EQ(v["XResolution"], std::to_string(c.dpiX));
    EXPECT_EQ(v["YResolution"], std::to_string(c.dpiY));
  }
}

// --- orientation --------------------------------------------------------------

TEST(Exif, AutoOrientTurnsEveryOrientationUprightAsImageMagickDoes) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  auto pic = Quarters(48, 32);
  for (int o = 1; o <= 8; ++o) {
    SCOPED_TRACE(o);
    const std::string file = dir.File("o" + std::to_string(o) + ".jpg");
    SaveJpeg(*pic, file);
    Shell(std::string(kExiftool) + " -q -overwrite_original -Orientation#=" + std::to_string(o) + " '" +
          file + "'");
    const TRgb upright = ReadPpm(Shell(std::string(kConvert) + " '" + file + "' -auto-orient ppm:-"));
    TPxBitmap bitmap;
    TImagingIO io;
    io.SetTargetBitmap(&bitmap);
    io.Params.AutoOrient = true;
    io.LoadFromFile(file);
    ASSERT_FALSE(io.Aborting);
    ASSERT_EQ(bitmap.Width(), upright.W);
    ASSERT_EQ(bitmap.Height(), upright.H);
    EXPECT_EQ(io.Params.Width, upright.W);
    EXPECT_EQ(io.Params.Height, upright.H);
    // Both decode the same JPEG data; only the turn could differ.
    EXPECT_LE(MaxDifference(bitmap, upright), 2);
    EXPECT_EQ(io.Params.ExifOrientation, 1);

    // Without the option the stored picture and its orientation stay.
    TPxBitmap stored;
    TImagingIO plain;
    plain.SetTargetBitmap(&stored);
    plain.LoadFromFile(file);
    EXPECT_EQ(stored.Width(), 48);
    EXPECT_EQ(plain.Params.ExifOrientation, o);
  }
}

// --- the embedded thumbnail -----------------------------------------------------

TEST(Exif, ThumbnailIsLoadedInsteadOfThePictureWhenAsked) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  const std::string big = dir.File("big.jpg"), thumb = dir.File("thumb.jpg");
  Shell(std::string(kConvert) + " -size 1600x1200 xc:'#2040c0' '" + big + "'");
  Shell(std::string(kConvert) + " -size 160x120 xc:'#e01010' '" + thumb + "'");
  Shell(std::string(kExiftool) + " -q -overwrite_original -Make=Test '-ThumbnailImage<=" + thumb + "' '" +
        big + "'");
  const std::string bytes = testutil::ReadFileBytes(big);
  const size_t at = bytes.find("\xFF\xD8\xFF", 4);  // the thumbnail's start of image
  ASSERT_NE(at, std::string::npos);

  // A damaged thumbnail: its length cut to a few bytes, in either byte order.
  std::string cut = bytes;
  const std::string mm("\x02\x02\x00\x04\x00\x00\x00\x01", 8), ii("\x02\x02\x04\x00\x01\x00\x00\x00", 8);
  size_t lengthTag = cut.find(mm);
  if (lengthTag != std::string::npos) cut.replace(lengthTag + 8, 4, std::string("\x00\x00\x00\x14", 4));
  else if ((lengthTag = cut.find(ii)) != std::string::npos) cut.replace(lengthTag + 8, 4, std::string("\x14\x00\x00\x00", 4));
  ASSERT_NE(lengthTag, std::string::npos);
  const std::string damaged = dir.File("damaged.jpg");
  testutil::WriteFileBytes(damaged, cut);

  struct Case {
    const char* name;
    std::string file;
    bool ask;
    int w, h;
    bool red;
  } cases[] = {
      {"asked", big, true, 160, 120, true},
      {"not_asked", big, false, 1600, 1200, false},
      {"damaged_thumbnail", damaged, true, 1600, 1200, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPxBitmap bitmap;
    TImagingIO io;
    io.SetTargetBitmap(&bitmap);
    io.Params.GetExifThumbnail = c.ask;
    io.LoadFromFile(c.file);
    ASSERT_FALSE(io.Aborting);
    EXPECT_EQ(io.Params.ExifMake, "Test");
    ASSERT_EQ(bitmap.Width(), c.w);
    ASSERT_EQ(bitmap.Height(), c.h);
    const uint8_t* px = bitmap.Scanline(c.h / 2) + 3 * (c.w / 2);
    EXPECT_EQ(px[2] > 180 && px[0] < 60, c.red) << int(px[0]) << " " << int(px[1]) << " " << int(px[2]);
  }
}

// Without a thumbnail the picture is decoded at the reduction the wished size
// allows, as if the thumbnail had not been asked for.
TEST(Exif, PictureWithoutThumbnailKeepsItsReducedDecode) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  const std::string file = dir.File("odd.jpg");
  Shell(std::string(kConvert) + " -size 1601x1203 xc:'#2040c0' '" + file + "'");
  for (bool ask : {false, true}) {
    SCOPED_TRACE(ask);
    TPxBitmap bitmap;
    TImagingIO io;
    io.SetTargetBitmap(&bitmap);
    io.Params.JpegScale = 0;
    io.Params.Width = 128;
    io.Params.Height = 128;
    io.Params.GetExifThumbnail = ask;
    io.LoadFromFile(file);
    ASSERT_FALSE(io.Aborting);
    EXPECT_EQ(io.Params.JpegScaleUsed, 8);
    EXPECT_EQ(bitmap.Width(), 201);  // 1601 / 8 rounded up
    EXPECT_EQ(bitmap.Height(), 151);
  }
}

// The parameters of a sideways picture read with AutoOrient give its upright size.
TEST(Exif, ParametersWithAutoOrientGiveTheUprightSize) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  auto pic = Quarters(48, 32);
  const std::string file = dir.File("sideways.jpg");
  SaveJpeg(*pic, file);
  Shell(std::string(kExiftool) + " -q -overwrite_original -Orientation#=6 '" + file + "'");
  for (bool autoOrient : {false, true}) {
    TImagingIO io;
    io.Params.AutoOrient = autoOrient;
    io.ReadParamsFromFile(file);
    EXPECT_EQ(io.Params.Width, autoOrient ? 32 : 48);
    EXPECT_EQ(io.Params.Height, autoOrient ? 48 : 32);
  }
}

// --- damaged EXIF ---------------------------------------------------------------

namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// Offsets inside a little-endian EXIF block: 6 bytes "Exif\0\0", then the TIFF.
size_t EntryAt(const std::vector<uint8_t>& b, uint32_t ifd, uint16_t tag) {
  const size_t base = 6 + ifd;
  const unsigned n = b[base] | (b[base + 1] << 8);
  for (unsigned i = 0; i < n; ++i) {
    const size_t at = base + 2 + 12 * i;
    if ((b[at] | (b[at + 1] << 8)) == tag) return at;
  }
  ADD_FAILURE() << "no tag " << tag;
  return 0;
}

uint32_t ExifIfdOf(const std::vector<uint8_t>& b) {
  const size_t e = EntryAt(b, 8, 34665);
  return b[e + 8] | (b[e + 9] << 8) | (b[e + 10] << 16) | (uint32_t(b[e + 11]) << 24);
}

}  // namespace

TEST(Exif, DamagedBlocksNeverStopThePicture) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  auto pic = Quarters(32, 24);
  TIOParamsVals v;
  v.HasExif = true;
  v.ExifMake = "MakerName";  // longer than four bytes: stored behind the directory
  v.ExifModel = "ModelName";
  v.ExifFNumber = 4;
  const std::vector<uint8_t> good = BuildExifBlock(v);
  const size_t tiffSize = good.size() - 6;

  struct Case {
    const char* name;
    std::vector<uint8_t> block;
    bool make;   // the make is still read
    bool fnumber;  // the EXIF directory is still read
  };
  std::vector<Case> cases;
  cases.push_back({"intact", good, true, true});
  {
    auto b = good;
    Put32(b, 6 + 4, uint32_t(tiffSize + 100));  // first directory past the block
    cases.push_back({"ifd_past_block", b, false, false});
  }
  {
    auto b = good;
    Put16(b, 6 + 8, 0xFFFF);  // entry count far beyond the block
    cases.push_back({"huge_entry_count", b, true, true});
  }
  {
    auto b = good;
    Put32(b, EntryAt(b, 8, 271) + 8, 0xFFFFFFF0u);  // value offset that wraps around
    cases.push_back({"value_offset_wraps", b, false, true});
  }
  {
    auto b = good;
    Put32(b, EntryAt(b, 8, 271) + 4, 0x40000000u);  // huge count
    cases.push_back({"huge_value_count", b, false, true});
  }
  {
    auto b = good;
    Put32(b, EntryAt(b, 8, 34665) + 8, 8);  // the EXIF directory is the first one again
    cases.push_back({"exif_ifd_loops_to_ifd0", b, true, false});
  }
  {
    auto b = good;
    const size_t e = EntryAt(b, 8, 34665);
    Put16(b, e + 2, 9);  // a signed pointer, negative
    Put32(b, e + 8, 0xFFFFFFF0u);
    cases.push_back({"exif_ifd_negative", b, true, false});
  }
  {
    auto b = good;
    const uint32_t exifIfd = ExifIfdOf(b);
    const size_t n = b[6 + exifIfd] | (b[6 + exifIfd + 1] << 8);
    Put32(b, 6 + exifIfd + 2 + 12 * n, exifIfd);  // a next directory pointing at itself
    const size_t n0 = b[6 + 8] | (b[6 + 9] << 8);
    Put32(b, 6 + 8 + 2 + 12 * n0, 8);  // and the first directory's next is itself
    cases.push_back({"next_ifd_loops", b, true, true});
  }
  {
    auto b = good;
    const size_t n0 = b[6 + 8] | (b[6 + 9] << 8);
    // A thumbnail directory whose data lie far past the block, and a huge length.
    const uint32_t thumbIfd = uint32_t(tiffSize);
    Put32(b, 6 + 8 + 2 + 12 * n0, thumbIfd);
    const std::vector<uint8_t> ifd1 = {2, 0, 0x01, 0x02, 4, 0, 1, 0, 0, 0, 0x00, 0x00, 0x10, 0x00,
                                       0x02, 0x02, 4, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0};
    b.insert(b.end(), ifd1.begin(), ifd1.end());
    cases.push_back({"thumbnail_past_block", b, true, true});
  }
  {
    auto b = good;
    b.resize(6 + ExifIfdOf(good) + 2);  // cut just after the EXIF directory's entry count
    cases.push_back({"truncated", b, true, false});
  }
  cases.push_back({"too_short", std::vector<uint8_t>(good.begin(), good.begin() + 9), false, false});
  {
    auto b = good;
    b[6] = 'X';  // neither II nor MM
    cases.push_back({"bad_byte_order", b, false, false});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir.File(std::string(c.name) + ".jpg");
    SaveJpegWithApp1(*pic, file, c.block);
    TPxBitmap bitmap;
    TImagingIO io;
    io.SetTargetBitmap(&bitmap);
    io.Params.AutoOrient = true;
    io.Params.GetExifThumbnail = true;
    io.LoadFromFile(file);
    ASSERT_FALSE(io.Aborting);
    EXPECT_EQ(bitmap.Width(), 32);
    EXPECT_EQ(bitmap.Height(), 24);
    EXPECT_TRUE(io.Params.HasExif);
    EXPECT_EQ(io.Params.ExifMake == "MakerName", c.make);
    EXPECT_EQ(io.Params.ExifFNumber == 4, c.fnumber);
  }
}

// The damaged files kept for the fuzz replay load with every EXIF option on.
TEST(Exif, DamagedFixturesLoadUpright) {
  const std::filesystem::path folder = std::filesystem::path(testutil::SourceDir()) / "tests/data/fuzz/jpeg";
  struct Case {
    const char* name;
    int w, h;
  } cases[] = {
      {"exif-ifd-loop.jpg", 12, 16},  // its orientation 6 is still read
      {"exif-offsets-past-block.jpg", 16, 12},
      {"exif-thumbnail-truncated.jpg", 16, 12},
      {"exif-ifd-beyond-block.jpg", 16, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPxBitmap bitmap;
    TImagingIO io;
    io.SetTargetBitmap(&bitmap);
    io.Params.AutoOrient = true;
    io.Params.GetExifThumbnail = true;
    io.LoadFromFile((folder / c.name).string());
    ASSERT_FALSE(io.Aborting);
    EXPECT_TRUE(io.Params.HasExif);
    EXPECT_EQ(io.Params.ExifThumbnail, nullptr);
    EXPECT_EQ(bitmap.Width(), c.w);
    EXPECT_EQ(bitmap.Height(), c.h);
  }
}

TEST(Exif, BlocksThatAreNotExifAreRefused) {
  TIOParamsVals p;
  const std::vector<uint8_t> xmp = {'h', 't', 't', 'p', ':', '/', '/'};
  EXPECT_FALSE(ParseExifBlock(xmp.data(), xmp.size(), p));
  EXPECT_FALSE(ParseExifBlock(nullptr, 0, p));
  EXPECT_FALSE(p.HasExif);
}

// --- IPTC ---------------------------------------------------------------------

TEST(Iptc, RecordsWrittenByExiftoolAreRead) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  auto pic = Quarters(16, 16);
  const std::string file = dir.File("iptc.jpg");
  SaveJpeg(*pic, file);
  Shell(std::string(kExiftool) + " -q -overwrite_original -IPTC:ObjectName='Old town'"
        " -IPTC:Keywords=roofs -IPTC:Keywords=rain -IPTC:By-line='J. Doe' '" + file + "'");
  TImagingIO io;
  io.ReadParamsFromFile(file);
  std::multimap<int, std::string> got;
  for (const TPxIPTCInfo& r : io.Params.IPTCInfoList.Items)
    if (r.Record == 2 && r.DataSet != 0) got.emplace(r.DataSet, r.Value);
  const std::multimap<int, std::string> expected = {{5, "Old town"}, {25, "roofs"}, {25, "rain"}, {80, "J. Doe"}};
  EXPECT_EQ(got, expected);
}

TEST(Iptc, LongRecordsUseTheExtendedLengthAndComeBack) {
  TPxIPTCInfoList list;
  const std::string longValue(40000, 'x');
  list.Items = {{2, 0, "\x00\x02"}, {2, 5, "T"}, {2, 120, longValue}, {2, 25, ""}};
  const std::vector<uint8_t> tiff = list.EncodeTIFF();
  // The record version first, then 2:5, then 2:120 in the extended form;
  // the given 2:0 and the empty record are not written.
  const std::vector<uint8_t> head = {0x1C, 2, 0, 0, 2, 0, 2, 0x1C, 2, 5, 0, 1, 'T', 0x1C, 2, 120, 0x80, 0x04,
                                     0x00, 0x00, 0x9C, 0x40};
  ASSERT_GE(tiff.size(), head.size());
  EXPECT_EQ(std::vector<uint8_t>(tiff.begin(), tiff.begin() + long(head.size())), head);
  EXPECT_EQ(tiff.size() % 2, 0u);
  TPxIPTCInfoList back;
  back.DecodeRecords(tiff.data(), tiff.size());
  ASSERT_EQ(back.Items.size(), 3u);
  EXPECT_EQ(back.Items[2].Value, longValue);

  const std::vector<uint8_t> app13 = list.EncodeAPP13();
  TPxIPTCInfoList fromApp13;
  ASSERT_TRUE(fromApp13.DecodeAPP13(app13));
  ASSERT_EQ(fromApp13.Items.size(), 2u);
  EXPECT_EQ(fromApp13.Items[1].Value, longValue);
}
