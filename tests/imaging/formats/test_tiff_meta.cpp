// A TIFF page's orientation and IPTC records: with TiffAutoOrient a page is
// turned as ImageMagick's -auto-orient turns it (colour, bilevel and alpha
// pages, all eight orientations), parameters-only reads give the same size,
// the writer keeps a picture's orientation; IPTC records written by exiftool
// are read in both byte orders, and those written here read back in
// exiftool, a record of 40,000 bytes in the extended length form.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/io/imagingio.h"
#include "util/oracle.h"
#include "util/testutil.h"

namespace {

using testutil::Shell;
using testutil::Quote;

const std::string kConvert = "/usr/bin/convert";
const std::string kExiftool = "/usr/bin/exiftool";

bool HaveTools() {
  for (const char* t :
       {"/usr/bin/convert", "/usr/bin/identify", "/usr/bin/exiftool", "/usr/bin/tiffset",
        "/usr/bin/tiffcp", "/usr/bin/tiffdump", "/usr/bin/tiffinfo"})
    if (!testutil::HaveTool(t)) return false;
  return true;
}

// --- orientation ----------------------------------------------------------------

struct PageKind {
  const char* name;
  const char* command;  // writes $O from ImageMagick's built-in rose picture
};

const PageKind kPages[] = {
    {"rgb_lzw", "convert rose: -resize 37x23! -compress lzw $O"},
    {"bilevel_g4", "convert rose: -resize 45x21! -monochrome -compress group4 $O"},
    {"rgba_zip",
     "convert rose: -resize 29x17! -alpha set -channel A -fx 'i/w' +channel -compress zip $O"},
    {"palette_bigendian", "convert rose: -resize 21x30! -colors 20 -type Palette -endian MSB $O"},
};

std::string Expand(std::string command, const std::string& out) {
  command.replace(command.find("convert"), 7, kConvert);
  command.replace(command.find("$O"), 2, Quote(out));
  return command;
}

TEST(TiffOrient, EveryOrientationTurnsAsImageMagickDoes) {
  if (!HaveTools()) GTEST_SKIP() << "ImageMagick, exiftool or libtiff's tools missing";
  testutil::TempDir dir;
  for (const PageKind& page : kPages) {
    const std::string file = dir.File(std::string(page.name) + ".tif");
    Shell(Expand(page.command, file));
    TImagingIO plain;
    plain.LoadFromFile(file);
    ASSERT_FALSE(plain.Aborting) << page.name;
    const int w = plain.Bitmap()->Width(), h = plain.Bitmap()->Height();
    for (int o = 1; o <= 8; ++o) {
      SCOPED_TRACE(std::string(page.name) + " orientation " + std::to_string(o));
      Shell("/usr/bin/tiffset -s 274 " + std::to_string(o) + " " + Quote(file));
      const std::string upright = dir.File("upright.png");
      Shell(kConvert + " " + Quote(file) + " -auto-orient " + Quote(upright));
      testutil::RgbaImage truth;
      ASSERT_TRUE(testutil::ImageMagickRgba(upright, truth));

      TImagingIO io;
      io.Params.TiffAutoOrient = true;
      io.LoadFromFile(file);
      ASSERT_FALSE(io.Aborting);
      EXPECT_EQ(testutil::RgbaDifference(truth, testutil::BitmapRgba(*io.Bitmap())), "");
      EXPECT_EQ(io.Params.Width, truth.width);
      EXPECT_EQ(io.Params.Height, truth.height);
      EXPECT_EQ(io.Params.ExifOrientation, 1) << "the picture is now upright";

      // A parameters-only read tells the same size and keeps the file's orientation.
      TImagingIO params;
      params.Params.TiffAutoOrient = true;
      params.ReadParamsFromFile(file);
      EXPECT_EQ(params.Params.Width, truth.width);
      EXPECT_EQ(params.Params.Height, truth.height);
      EXPECT_EQ(params.Params.ExifOrientation, o);

      // Without the option the page stays as stored.
      TImagingIO stored;
      stored.LoadFromFile(file);
      EXPECT_EQ(stored.Bitmap()->Width(), w);
      EXPECT_EQ(stored.Bitmap()->Height(), h);
      EXPECT_EQ(stored.Params.ExifOrientation, o);
    }
  }
}

TEST(TiffOrient, WrittenPicturesKeepTheirOrientation) {
  if (!HaveTools()) GTEST_SKIP() << "tools missing";
  testutil::TempDir dir;
  const struct {
    int orientation;
    const char* imagemagick;  // as identify names it
  } cases[] = {{1, "TopLeft"}, {6, "RightTop"}, {8, "LeftBottom"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.orientation);
    TPxBitmap b(12, 7, pxRGB24);
    b.Fill(0x204080);
    const std::string file = dir.File("o" + std::to_string(c.orientation) + ".tif");
    TImagingIO io;
    io.SetTargetBitmap(&b);
    io.Params.ExifOrientation = c.orientation;
    io.SaveToFile(file);
    ASSERT_FALSE(io.Aborting);
    const std::string dump = Shell("/usr/bin/tiffdump " + Quote(file));
    // A picture stored upright gets no tag at all, as before.
    EXPECT_EQ(dump.find("Orientation (274)") != std::string::npos, c.orientation != 1) << dump;
    EXPECT_EQ(Shell("/usr/bin/identify -format '%[orientation]' " + Quote(file)), c.imagemagick);
    TImagingIO back;
    back.ReadParamsFromFile(file);
    EXPECT_EQ(back.Params.ExifOrientation, c.orientation);
  }
}

// --- IPTC -------------------------------------------------------------------------

std::multimap<int, std::string> Records(const TIOParamsVals& p) {
  std::multimap<int, std::string> out;
  for (const TPxIPTCInfo& r : p.IPTCInfoList.Items)
    if (r.Record == 2 && r.DataSet != 0) out.emplace(r.DataSet, r.Value);
  return out;
}

TEST(TiffIptc, RecordsWrittenByExiftoolAreReadInBothByteOrders) {
  if (!HaveTools()) GTEST_SKIP() << "tools missing";
  testutil::TempDir dir;
  for (const char* order : {"-L", "-B"}) {
    SCOPED_TRACE(order);
    const std::string file = dir.File("iptc.tif");
    Shell(kConvert + " rose: " + Quote(dir.File("t.tif")) + " && /usr/bin/tiffcp " + order + " " +
          Quote(dir.File("t.tif")) + " " + Quote(file));
    Shell(kExiftool +
          " -q -overwrite_original -IPTC:ObjectName='Old town' -IPTC:Keywords=roofs"
          " -IPTC:Keywords=rain -IPTC:By-line='J. Doe' " +
          Quote(file));
    TImagingIO io;
    io.ReadParamsFromFile(file);
    ASSERT_EQ(io.Params.FileType, ioTIFF);
    const std::multimap<int, std::string> expected = {
        {5, "Old town"}, {25, "roofs"}, {25, "rain"}, {80, "J. Doe"}};
    EXPECT_EQ(Records(io.Params), expected);
  }
}

// exiftool's IPTC values of a file.
std::map<std::string, std::string> ExiftoolIptc(const std::string& file) {
  return testutil::ExiftoolValues(file, "-IPTC:all");
}

// The bytes of tag 33723 in a little-endian file we wrote, and its count.
std::string IptcTagBytes(const std::string& file, uint32_t& count) {
  const std::string bytes = testutil::ReadFileBytes(file);
  auto u16 = [&](size_t at) {
    return uint32_t(uint8_t(bytes[at])) | uint32_t(uint8_t(bytes[at + 1])) << 8;
  };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  const uint32_t ifd = u32(4);
  for (uint32_t i = 0; i < u16(ifd); ++i) {
    const size_t e = ifd + 2 + 12 * size_t(i);
    if (u16(e) != 33723) continue;
    EXPECT_EQ(u16(e + 2), 4u) << "type LONG";
    count = u32(e + 4);
    return bytes.substr(u32(e + 8), size_t(count) * 4);
  }
  ADD_FAILURE() << "no IPTC tag in " << file;
  return {};
}

// A small picture saved as TIFF with the given IPTC records.
void SaveWithIptc(const std::string& file, const TPxIPTCInfoList& list) {
  TPxBitmap b(9, 5, pxRGB24);
  b.Fill(0x3050A0);
  TImagingIO io;
  io.SetTargetBitmap(&b);
  io.Params.IPTCInfoList = list;
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting) << file;
}

std::multimap<int, std::string> ReadBack(const std::string& file) {
  TImagingIO back;
  back.ReadParamsFromFile(file);
  EXPECT_EQ(back.Params.FileType, ioTIFF);
  return Records(back.Params);
}

TEST(TiffIptc, RecordsWrittenHereAreReadByExiftool) {
  if (!HaveTools()) GTEST_SKIP() << "tools missing";
  testutil::TempDir dir;
  const std::string file = dir.File("ours.tif");
  TIOParamsVals written;
  TPxIPTCInfoList& list = written.IPTCInfoList;
  list.Items = {{2, 5, "Old town"}, {2, 25, "roofs"}, {2, 25, "rain"}, {2, 80, "J. Doe"}};
  // Blocks whose length is, and is not, a multiple of four bytes.
  for (const char* caption : {"", "a", "ab", "abc"}) {
    SCOPED_TRACE(caption);
    if (*caption) list.Items.push_back({2, 120, caption});
    SaveWithIptc(file, list);
    const testutil::CommandResult info = testutil::RunCommand("/usr/bin/tiffinfo " + Quote(file));
    EXPECT_EQ(info.status, 0) << info.output;

    const std::vector<uint8_t> block = list.EncodeTIFF();
    uint32_t count = 0;
    const std::string tag = IptcTagBytes(file, count);
    EXPECT_EQ(count, (block.size() + 3) / 4);
    ASSERT_GE(tag.size(), block.size());
    EXPECT_EQ(tag.substr(0, 7), std::string("\x1C\x02\x00\x00\x02\x00\x02", 7))
        << "the record version first";
    EXPECT_EQ(tag.substr(0, block.size()), std::string(block.begin(), block.end()));
    EXPECT_EQ(tag.find_first_not_of('\0', block.size()), std::string::npos) << "zero padding";

    std::map<std::string, std::string> t = ExiftoolIptc(file);
    EXPECT_EQ(t["ObjectName"], "Old town");
    EXPECT_EQ(t["Keywords"], "roofs, rain");
    EXPECT_EQ(t["By-line"], "J. Doe");
    EXPECT_EQ(t["ApplicationRecordVersion"], "2");
    if (*caption) {
      EXPECT_EQ(t["Caption-Abstract"], caption);
    }
    EXPECT_EQ(ReadBack(file), Records(written));
    list.Items.resize(4);
  }
}

TEST(TiffIptc, LongRecordUsesTheExtendedLength) {
  if (!HaveTools()) GTEST_SKIP() << "tools missing";
  testutil::TempDir dir;
  const std::string file = dir.File("long.tif");
  std::string caption(40000, 'x');
  for (size_t i = 0; i < caption.size(); i += 97) caption[i] = char('a' + i % 26);
  TIOParamsVals written;
  written.IPTCInfoList.Items = {{2, 5, "T"}, {2, 120, caption}};
  SaveWithIptc(file, written.IPTCInfoList);
  uint32_t count = 0;
  const std::string tag = IptcTagBytes(file, count);
  // 0x1C, 2:120, then the flag 0x80 0x04 and 40,000 as four bytes.
  EXPECT_NE(tag.find(std::string("\x1C\x02\x78\x80\x04\x00\x00\x9C\x40", 9) + caption.substr(0, 8)),
            std::string::npos);
  EXPECT_EQ(Shell(kExiftool + " -b -IPTC:Caption-Abstract " + Quote(file)), caption);
  EXPECT_EQ(ReadBack(file), Records(written));
}

}  // namespace
