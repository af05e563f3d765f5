// A TIFF page's camera values, checked against exiftool and libtiff's tools:
// values exiftool writes into a TIFF (both byte orders) are read by a full
// and by a parameters-only read; values written here read back in exiftool,
// pass tiffinfo and tiffdump; a maker note keeps its inner offsets wherever
// it is written (exiftool decodes the maker's tags); the imaging annotations
// come back byte for byte; damaged EXIF directories never cost the page.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "exifvalues.h"
#include "imaging/core/ioparams.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/exif.h"
#include "imaging/io/imagingio.h"
#include "util/oracle.h"
#include "util/testutil.h"

namespace {

using testutil::Shell;
using testutil::Quote;

const std::string kConvert = "/usr/bin/convert";
const std::string kExiftool = "/usr/bin/exiftool";

bool HaveTools() {
  for (const char* t : {"/usr/bin/convert", "/usr/bin/identify", "/usr/bin/exiftool",
                        "/usr/bin/tiffcp", "/usr/bin/tiffdump", "/usr/bin/tiffinfo"})
    if (!testutil::HaveTool(t)) return false;
  return true;
}

#define REQUIRE_TOOLS() \
  if (!HaveTools()) GTEST_SKIP() << "ImageMagick, exiftool or libtiff's tools missing"

// exiftool's numeric values of a file's EXIF tags (maker notes included when asked).
std::map<std::string, std::string> ExiftoolValues(const std::string& file,
                                                  const std::string& groups = "-EXIF:all") {
  return testutil::ExiftoolValues(file, "-n " + groups);
}

// ImageMagick's rose as a TIFF in the byte order tiffcp's option gives ("-L" or "-B").
void RoseTiff(const testutil::TempDir& dir, const std::string& order, const std::string& file) {
  const std::string plain = dir.File("rose-plain.tif");
  Shell(kConvert + " rose: " + Quote(plain) + " && /usr/bin/tiffcp -c lzw " + order + " " + Quote(plain) +
        " " + Quote(file));
}

std::string ExiftoolWarnings(const std::string& file) {
  return Shell(kExiftool + " -s -s -s -Warning " + Quote(file));
}

// The values exiftool writes, as it is given them and as the library keeps them.
const char* const kExiftoolArguments =
    " -Make=Canon -Model='EOS 5D' -Software='Firmware 1.1' -ModifyDate='2024:05:06 07:08:09'"
    " -Copyright='A. N. Other' -ImageDescription='Harbour at dawn' -ExposureTime=0.004 -FNumber=2.8"
    " -ISO=400 -DateTimeOriginal='2024:05:06 07:08:10' -FocalLength=35 -UserComment='Low tide'"
    " -ExposureCompensation=-0.7 -SubSecTimeOriginal=42 -ExifVersion=0231 -MeteringMode#=5"
    " -EXIF:Flash#=16";

void ExpectExiftoolValues(const TIOParamsVals& p) {
  EXPECT_TRUE(p.HasExif);
  EXPECT_EQ(p.ExifMake, "Canon");
  EXPECT_EQ(p.ExifModel, "EOS 5D");
  EXPECT_EQ(p.ExifSoftware, "Firmware 1.1");
  EXPECT_EQ(p.ExifDateTime, "2024:05:06 07:08:09");
  EXPECT_EQ(p.ExifCopyright, "A. N. Other");
  EXPECT_EQ(p.ExifImageDescription, "Harbour at dawn");
  EXPECT_EQ(p.TiffImageDescription, "Harbour at dawn");
  EXPECT_DOUBLE_EQ(p.ExifExposureTime, 0.004);
  EXPECT_DOUBLE_EQ(p.ExifFNumber, 2.8);
  EXPECT_EQ(p.ExifISOSpeedRatings[0], 400);
  EXPECT_EQ(p.ExifDateTimeOriginal, "2024:05:06 07:08:10");
  EXPECT_DOUBLE_EQ(p.ExifFocalLength, 35);
  EXPECT_EQ(p.ExifUserComment, "Low tide");
  EXPECT_EQ(p.ExifUserCommentCode, std::string("ASCII\0\0\0", 8));
  EXPECT_NEAR(p.ExifExposureBiasValue, -0.7, 1e-6);
  EXPECT_EQ(p.ExifSubsecTimeOriginal, "42");
  EXPECT_EQ(p.ExifExifVersion, "0231");
  EXPECT_EQ(p.ExifMeteringMode, 5);
  EXPECT_EQ(p.ExifFlash, 16);
}

// A picture with four coloured quarters.
std::unique_ptr<TPxBitmap> Quarters(int w, int h) {
  auto b = std::make_unique<TPxBitmap>(w, h, pxRGB24);
  const uint32_t colours[4] = {0x0000E6, 0x00D200, 0xDC0000, 0xE6E6E6};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint32_t c = colours[(y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0)];
      uint8_t* p = b->Scanline(y) + 3 * x;
      p[0] = uint8_t(c);
      p[1] = uint8_t(c >> 8);
      p[2] = uint8_t(c >> 16);
    }
  return b;
}

}  // namespace

// --- values written by exiftool -------------------------------------------------

TEST(TiffExif, ValuesWrittenByExiftoolAreReadInBothByteOrders) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  for (const std::string order : {"-L", "-B"}) {
    SCOPED_TRACE(order);
    const std::string file = dir.File("camera" + order + ".tif");
    RoseTiff(dir, order, file);
    Shell(kExiftool + " -q -overwrite_original" + kExiftoolArguments + " " + Quote(file));
    ASSERT_EQ(Shell(kExiftool + " -s -s -s -ExifByteOrder -n " + Quote(file)),
              order == "-B" ? "MM\n" : "II\n");

    TImagingIO probe;
    probe.ReadParamsFromFile(file);
    ASSERT_EQ(probe.Params.FileType, ioTIFF);
    ExpectExiftoolValues(probe.Params);

    // A full read finds the same values and still the picture.
    TImagingIO full;
    full.LoadFromFile(file);
    ASSERT_FALSE(full.Aborting);
    ExpectExiftoolValues(full.Params);
    testutil::RgbaImage truth;
    ASSERT_TRUE(testutil::ImageMagickRgba(file, truth));
    EXPECT_EQ(testutil::RgbaDifference(truth, testutil::BitmapRgba(*full.Bitmap())), "");
  }
}

// A scanner's page names its maker without an EXIF directory: the values are
// still the picture's, and a write keeps them.
TEST(TiffExif, FirstDirectoryValuesWithoutExifDirectoryAreKept) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  const std::string file = dir.File("scan.tif"), again = dir.File("again.tif");
  Shell(kConvert + " rose: " + Quote(file));
  Shell(kExiftool +
        " -q -overwrite_original -Make=Epson -Model='Perfection V600' -Copyright=Archive " +
        Quote(file));
  ASSERT_EQ(Shell(kExiftool + " -s -s -s -ExifOffset " + Quote(file)), "") << "no EXIF directory";
  TImagingIO io;
  io.LoadFromFile(file);
  ASSERT_FALSE(io.Aborting);
  EXPECT_TRUE(io.Params.HasExif);
  EXPECT_EQ(io.Params.ExifMake, "Epson");
  io.SaveToFile(again);
  ASSERT_FALSE(io.Aborting);
  std::map<std::string, std::string> t = ExiftoolValues(again);
  EXPECT_EQ(t["Make"], "Epson");
  EXPECT_EQ(t["Model"], "Perfection V600");
  EXPECT_EQ(t["Copyright"], "Archive");

  // A page without any of them has no EXIF values, and writes none.
  const std::string plain = dir.File("plain.tif");
  Shell(kConvert + " rose: " + Quote(plain));
  TImagingIO none;
  none.ReadParamsFromFile(plain);
  EXPECT_FALSE(none.Params.HasExif);
}

// --- values written here ----------------------------------------------------------

TEST(TiffExif, ValuesWrittenHereAreReadByExiftoolAndPassLibtiff) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  const struct {
    const char* name;
    int compression;
  } kinds[] = {{"none", 0}, {"lzw", 5}, {"jpeg", 7}};
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.name);
    auto pic = Quarters(32, 24);
    const std::string file = dir.File(std::string(kind.name) + ".tif");
    TImagingIO io;
    io.SetTargetBitmap(pic.get());
    exifvalues::SetCameraValues(io.Params);
    io.Params.TiffCompression = kind.compression;
    io.SaveToFile(file);
    ASSERT_FALSE(io.Aborting);

    exifvalues::ExpectExiftoolReadsCameraValues(file);
    EXPECT_EQ(ExiftoolWarnings(file), "");
    const testutil::CommandResult info =
        testutil::RunCommand("/usr/bin/tiffinfo " + Quote(file) + " 2>&1");
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_EQ(info.output.find("Warning"), std::string::npos) << info.output;
    EXPECT_EQ(info.output.find("rror"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Make: Nikon"), std::string::npos) << info.output;
    const std::string dump = Shell("/usr/bin/tiffdump " + Quote(file));
    EXPECT_NE(dump.find("34665 (0x8769) LONG (4) 1<"), std::string::npos) << dump;

    // The picture and the values come back.
    TImagingIO back;
    back.LoadFromFile(file);
    ASSERT_FALSE(back.Aborting);
    EXPECT_EQ(back.Params.ExifModel, "D850");
    EXPECT_DOUBLE_EQ(back.Params.ExifFNumber, 5.6);
    EXPECT_EQ(back.Params.ExifUserComment, "Winter");
    EXPECT_EQ(back.Params.DpiX, 240);
    testutil::RgbaImage truth;
    ASSERT_TRUE(testutil::ImageMagickRgba(file, truth));
    EXPECT_EQ(truth.width, 32);
    if (kind.compression != 7) {
      EXPECT_EQ(testutil::RgbaDifference(truth, testutil::BitmapRgba(*back.Bitmap())), "");
    }
  }
}

// Without HasExif the page is written as before: no EXIF directory, no camera values.
TEST(TiffExif, WithoutHasExifNoCameraValuesAreWritten) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  auto pic = Quarters(8, 6);
  const std::string file = dir.File("plain.tif");
  TImagingIO io;
  io.SetTargetBitmap(pic.get());
  exifvalues::SetCameraValues(io.Params);
  io.Params.HasExif = false;
  io.Params.TiffImageDescription = "the page's own";
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting);
  const std::string dump = Shell("/usr/bin/tiffdump " + Quote(file));
  EXPECT_EQ(dump.find("34665"), std::string::npos) << dump;
  EXPECT_EQ(dump.find("Make"), std::string::npos) << dump;
  std::map<std::string, std::string> t = ExiftoolValues(file);
  EXPECT_EQ(t["ImageDescription"], "the page's own");
  EXPECT_EQ(t.count("FNumber"), 0u);
}

// --- the maker note ------------------------------------------------------------------

namespace {

// A maker note in Canon's form: a bare directory whose values count from the
// TIFF header. As the library keeps it, offsets count from the note's start.
TPxTagsHandler CanonNote() {
  std::vector<uint8_t> d;
  auto u16 = [&](uint32_t v) {
    d.push_back(uint8_t(v));
    d.push_back(uint8_t(v >> 8));
  };
  auto u32 = [&](uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  // Texts of even length with their zero byte, as the library lays out values.
  const std::string type = "IMG:EOS 5D JPEG", firmware = "Firmware 1.1.10";
  const uint32_t values = 2 + 3 * 12 + 4;
  u16(3);
  u16(0x0006), u16(2), u32(uint32_t(type.size() + 1)), u32(values);
  u16(0x0007), u16(2), u32(uint32_t(firmware.size() + 1)), u32(values + uint32_t(type.size() + 1));
  u16(0x0010), u16(4), u32(1), u32(0x80000213);  // the EOS 5D's model number
  u32(0);
  d.insert(d.end(), type.begin(), type.end());
  d.push_back(0);
  d.insert(d.end(), firmware.begin(), firmware.end());
  d.push_back(0);
  TPxTagsHandler note;
  note.Data = d;
  note.Directory = true;
  return note;
}

void ExpectCanonNote(const std::string& file) {
  std::map<std::string, std::string> t = ExiftoolValues(file, "-MakerNotes:all");
  EXPECT_EQ(t["CanonImageType"], "IMG:EOS 5D JPEG");
  EXPECT_EQ(t["CanonFirmwareVersion"], "Firmware 1.1.10");
  EXPECT_EQ(t["CanonModelID"], "2147484179");
  // exiftool says so when it has to guess where the note's offsets count from.
  EXPECT_EQ(ExiftoolWarnings(file), "");
}

}  // namespace

TEST(TiffExif, MakerNoteKeepsItsOffsetsWhereverItIsWritten) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  auto pic = Quarters(16, 12);
  const std::string jpeg = dir.File("canon.jpg"), tiff = dir.File("canon.tif"),
                    again = dir.File("again.tif");
  {
    TImagingIO io;
    io.SetTargetBitmap(pic.get());
    io.Params.HasExif = true;
    io.Params.ExifMake = "Canon";
    io.Params.ExifModel = "Canon EOS 5D";
    io.Params.ExifMakerNote = CanonNote();
    io.SaveToFile(jpeg);
    ASSERT_FALSE(io.Aborting);
  }
  ExpectCanonNote(jpeg);

  // JPEG to TIFF, and the TIFF read and written again: the note lands at
  // other places each time.
  std::string from = jpeg;
  for (const std::string& to : {tiff, again}) {
    SCOPED_TRACE(to);
    TImagingIO io;
    io.LoadFromFile(from);
    ASSERT_FALSE(io.Aborting);
    EXPECT_TRUE(io.Params.ExifMakerNote.Directory);
    EXPECT_EQ(io.Params.ExifMakerNote.Data, CanonNote().Data);
    io.SaveToFile(to);
    ASSERT_FALSE(io.Aborting);
    ExpectCanonNote(to);
    from = to;
  }
}

// exiftool moves a maker note into a TIFF of either byte order; the library
// keeps it as the same directory.
TEST(TiffExif, MakerNoteWrittenByExiftoolIsRead) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  auto pic = Quarters(16, 12);
  const std::string jpeg = dir.File("canon.jpg");
  {
    TImagingIO io;
    io.SetTargetBitmap(pic.get());
    io.Params.HasExif = true;
    io.Params.ExifMake = "Canon";
    io.Params.ExifMakerNote = CanonNote();
    io.SaveToFile(jpeg);
    ASSERT_FALSE(io.Aborting);
  }
  for (const std::string order : {"-L", "-B"}) {
    SCOPED_TRACE(order);
    const std::string file = dir.File("note" + order + ".tif");
    RoseTiff(dir, order, file);
    Shell(kExiftool + " -q -overwrite_original -TagsFromFile " + Quote(jpeg) + " -Make -MakerNotes " +
          Quote(file));
    ASSERT_EQ(Shell(kExiftool + " -s -s -s -ExifByteOrder -n " + Quote(file)),
              order == "-B" ? "MM\n" : "II\n");
    ExpectCanonNote(file);
    TImagingIO io;
    io.ReadParamsFromFile(file);
    ASSERT_EQ(io.Params.FileType, ioTIFF);
    EXPECT_EQ(io.Params.ExifMake, "Canon");
    EXPECT_TRUE(io.Params.ExifMakerNote.Directory);
    EXPECT_EQ(io.Params.ExifMakerNote.Data, CanonNote().Data);
  }
}

// A note with the maker's own header is not a directory: it is kept and
// written byte for byte.
TEST(TiffExif, MakerNoteWithItsOwnHeaderIsKeptWhole) {
  testutil::TempDir dir;
  auto pic = Quarters(8, 6);
  const std::string file = dir.File("nikon.tif");
  std::vector<uint8_t> note = {'N', 'i', 'k', 'o', 'n', 0,   2,   0x10, 0, 0, 'M', 'M',
                               0,   42,  0,   0,   0,   8,   0,   1,    0, 1, 0,   7,
                               0,   0,   0,   4,   '0', '2', '1', '0',  0, 0, 0,   0};
  TImagingIO io;
  io.SetTargetBitmap(pic.get());
  io.Params.HasExif = true;
  io.Params.ExifMake = "NIKON CORPORATION";
  io.Params.ExifMakerNote.Data = note;
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting);
  TImagingIO back;
  back.ReadParamsFromFile(file);
  EXPECT_FALSE(back.Params.ExifMakerNote.Directory);
  EXPECT_EQ(back.Params.ExifMakerNote.Data, note);
}

// --- imaging annotations ------------------------------------------------------------

TEST(TiffExif, AnnotationsComeBackByteForByte) {
  REQUIRE_TOOLS();
  testutil::TempDir dir;
  auto pic = Quarters(8, 6);
  const std::string file = dir.File("annotated.tif"), again = dir.File("again.tif");
  std::vector<uint8_t> annotations(37);  // an odd length, with zero bytes inside
  for (size_t i = 0; i < annotations.size(); ++i)
    annotations[i] = uint8_t(i * 7 % 5 == 0 ? 0 : i * 13);
  TImagingIO io;
  io.SetTargetBitmap(pic.get());
  io.Params.ImagingAnnot.Data = annotations;
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting);
  const std::string dump = Shell("/usr/bin/tiffdump " + Quote(file));
  EXPECT_NE(dump.find("32932 (0x80a4) BYTE (1) 37<"), std::string::npos) << dump;
  std::string numbers;  // as exiftool prints BYTE values
  for (uint8_t b : annotations) numbers += (numbers.empty() ? "" : " ") + std::to_string(b);
  EXPECT_EQ(Shell(kExiftool + " -b -WangAnnotation " + Quote(file)), numbers);

  TImagingIO back;
  back.LoadFromFile(file);
  ASSERT_FALSE(back.Aborting);
  EXPECT_EQ(back.Params.ImagingAnnot.Data, annotations);
  back.SaveToFile(again);
  TImagingIO twice;
  twice.ReadParamsFromFile(again);
  EXPECT_EQ(twice.Params.ImagingAnnot.Data, annotations);

  // Reading another file forgets them.
  Shell(kConvert + " rose: " + Quote(dir.File("plain.tif")));
  twice.ReadParamsFromFile(dir.File("plain.tif"));
  EXPECT_TRUE(twice.Params.ImagingAnnot.Empty());
}

// --- damaged EXIF directories ---------------------------------------------------------

// Small TIFF files whose EXIF directory is damaged (made from a page written
// here): the page still reads, whole, with the values read before the damage.
TEST(TiffExif, DamagedExifDirectoriesKeepThePage) {
  const std::filesystem::path folder =
      std::filesystem::path(testutil::SourceDir()) / "tests/data/fuzz/tif";
  const struct Case {
    const char* name;
    bool fnumber;  // a value of the EXIF directory is read
    size_t note;   // entries of the maker note kept
  } cases[] = {
      {"exif-ifd-loop.tif", false, 0},
      {"exif-ifd-past-end.tif", false, 0},
      {"exif-ifd-huge-count.tif", true, 2},
      {"exif-value-count-beyond-file.tif", false, 2},
      {"exif-maker-note-beyond-file.tif", true, 0},
      {"exif-maker-note-value-outside.tif", true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Read from memory holding exactly the file: a read past it would be seen.
    const std::string bytes = testutil::ReadFileBytes((folder / c.name).string());
    ASSERT_FALSE(bytes.empty());
    for (bool paramsOnly : {false, true}) {
      TPxMemoryStream stream(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      TImagingIO io;
      if (paramsOnly)
        io.ReadParamsFromStream(stream);
      else
        io.LoadFromStreamAsType(stream, ioTIFF);
      ASSERT_FALSE(io.Aborting);
      EXPECT_EQ(io.Params.Width, 8);
      EXPECT_EQ(io.Params.Height, 6);
      if (!paramsOnly) {
        const auto pic = Quarters(8, 6);
        EXPECT_EQ(testutil::RgbaDifference(testutil::BitmapRgba(*pic),
                                           testutil::BitmapRgba(*io.Bitmap())),
                  "");
      }
      // The first directory's values are kept, and with them HasExif.
      EXPECT_TRUE(io.Params.HasExif);
      EXPECT_EQ(io.Params.ExifMake, "MakerName");
      EXPECT_EQ(io.Params.ExifFNumber == 4, c.fnumber);
      const std::vector<uint8_t>& note = io.Params.ExifMakerNote.Data;
      EXPECT_EQ(note.empty() ? 0u : size_t(note[0] | note[1] << 8), c.note);
    }
  }
}
