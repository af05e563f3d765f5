// TIFF reading and writing: files written by libtiff's tools and ImageMagick
// decode to the pixels ImageMagick decodes from them, files we write pass
// tiffinfo and decode in ImageMagick to our pixels, pages, fields, the LZW
// coder and hostile structures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/tiff.h"
#include "imaging/io/imagingio.h"
#include "util/testutil.h"

namespace {

using testutil::Shell;
using testutil::Quote;

const std::string kConvert = "/usr/bin/convert";
const std::string kIdentify = "/usr/bin/identify";

bool HaveTools() {
  for (const char* t : {"/usr/bin/tiffcp", "/usr/bin/tiffinfo", "/usr/bin/tiffdump", "/usr/bin/pnmtotiff",
                        "/usr/bin/convert", "/usr/bin/identify"})
    if (!testutil::HaveTool(t)) return false;
  return true;
}

// Pixels as ImageMagick decodes them: 8- or 16-bit samples of the given map.
struct Pixels {
  int width = 0, height = 0, channels = 3, depth = 8;
  std::vector<uint8_t> data;
};

Pixels ImageMagickPixels(const std::string& file, const testutil::TempDir& dir, const std::string& map = "rgb",
                         int depth = 8) {
  Pixels p;
  auto size = testutil::RunCommand(kIdentify + " -format '%w %h\\n' " + Quote(file));
  EXPECT_EQ(size.status, 0) << size.output;
  sscanf(size.output.c_str(), "%d %d", &p.width, &p.height);
  const std::string raw = dir.File("im.raw");
  auto r = testutil::RunCommand(kConvert + " " + Quote(file + "[0]") + " -depth " + std::to_string(depth) +
                                " -endian LSB " + map + ":" + Quote(raw));
  EXPECT_EQ(r.status, 0) << r.output;
  const std::string bytes = testutil::ReadFileBytes(raw);
  p.data.assign(bytes.begin(), bytes.end());
  p.channels = static_cast<int>(map.size());
  p.depth = depth;
  return p;
}

struct OurRead {
  std::unique_ptr<TPxBitmap> bitmap = std::make_unique<TPxBitmap>();
  std::unique_ptr<TPxMask> mask;
  TIOParamsVals params;
  bool aborted = false;
  int pages = 0;
};

void ReadOurs(const std::string& file, OurRead& out, int page = 0, bool native = false, bool paramsOnly = false) {
  TPxFileStream s(file, TPxFileStream::fmOpenRead);
  out.params.TiffImageIndex = page;
  out.params.NativePixelFormat = native;
  TPxProgress progress;
  progress.Aborting = &out.aborted;
  ReadTiffStream(out.bitmap.get(), s, out.pages, false, false, out.mask, paramsOnly, progress, out.params);
}

// Writes picture into memory with params, then reads it back into r (with
// the r.params given).
void WriteThenRead(TPxBitmap& picture, TIOParamsVals& params, OurRead& r) {
  TPxMemoryStream s;
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  WriteTiffStream(s, &picture, nullptr, progress, params);
  ASSERT_FALSE(aborted);
  s.SetPosition(0);
  TPxProgress readProgress;
  readProgress.Aborting = &r.aborted;
  ReadTiffStream(r.bitmap.get(), s, r.pages, false, false, r.mask, false, readProgress, r.params);
}

// Our bitmap as rgb (or rgba with the mask) bytes, 8 bits.
std::vector<uint8_t> OurRgb(const OurRead& r, bool withAlpha = false) {
  TPxBitmap rgb;
  EXPECT_TRUE(rgb.Assign(*r.bitmap));
  if (rgb.PixelFormat() != pxRGB24) {
    EXPECT_TRUE(rgb.ConvertTo(pxRGB24));
  }
  std::vector<uint8_t> out;
  for (int y = 0; y < rgb.Height(); ++y) {
    const uint8_t* row = rgb.Scanline(y);
    for (int x = 0; x < rgb.Width(); ++x) {
      out.push_back(row[3 * x + 2]);
      out.push_back(row[3 * x + 1]);
      out.push_back(row[3 * x]);
      if (withAlpha) out.push_back(r.mask ? r.mask->Scanline(y)[x] : 255);
    }
  }
  return out;
}

::testing::AssertionResult SameBytes(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int tolerance = 0) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
  for (size_t i = 0; i < a.size(); ++i)
    if (std::abs(int(a[i]) - int(b[i])) > tolerance)
      return ::testing::AssertionFailure() << "byte " << i << ": " << int(a[i]) << " vs " << int(b[i]);
  return ::testing::AssertionSuccess();
}

// --- files written by the tools ----------------------------------------------

struct ToolFile {
  const char* name;
  // Shell commands; $S is a 70 x 46 colour PPM, $G a gray PGM, $B a bilevel
  // PBM, $O the TIFF to write, $T a scratch file.
  const char* commands;
  const char* map;  // what to compare: "rgb", or "rgba" with the alpha mask
  int tolerance;
};

const ToolFile kToolFiles[] = {
    {"none", "pnmtotiff -quiet $S > $O", "rgb", 0},
    {"lzw", "pnmtotiff -quiet $S > $T && tiffcp -c lzw $T $O", "rgb", 0},
    {"lzw_predictor_bigendian", "pnmtotiff -quiet $S > $T && tiffcp -B -c lzw:2 $T $O", "rgb", 0},
    {"zip_predictor", "pnmtotiff -quiet $S > $T && tiffcp -c zip:2 $T $O", "rgb", 0},
    {"packbits_strips", "pnmtotiff -quiet $S > $T && tiffcp -c packbits -r 5 $T $O", "rgb", 0},
    {"tiles", "pnmtotiff -quiet $S > $T && tiffcp -t -w 32 -l 16 -c lzw $T $O", "rgb", 0},
    {"planar", "pnmtotiff -quiet $S > $T && tiffcp -p separate -c zip $T $O", "rgb", 0},
    {"gray", "pnmtotiff -quiet $G > $T && tiffcp -c lzw:2 $T $O", "rgb", 0},
    {"gray_miniswhite", "convert $G -define tiff:photometric=min-is-white -compress lzw $O", "rgb", 0},
    {"gray4", "convert $G -depth 4 -compress none $O", "rgb", 0},
    {"gray16", "convert $G -depth 16 -compress zip $O", "rgb", 0},
    {"palette", "convert $S -colors 60 -type Palette -compress lzw $O", "rgb", 0},
    {"palette4", "convert $S -colors 12 -type Palette -depth 4 $O", "rgb", 0},
    {"rgba", "convert $S -alpha set -channel A -fx 'i/w' +channel -compress zip $O", "rgba", 0},
    {"rgb16_bigendian", "convert $S -depth 16 -endian MSB $O", "rgb", 0},
    {"cmyk", "convert $S -colorspace CMYK -compress lzw $O", "rgb", 2},
    {"bilevel_none", "pnmtotiff -quiet $B > $O", "rgb", 0},
    {"bilevel_miniswhite", "pnmtotiff -quiet -miniswhite $B > $O", "rgb", 0},
    {"bilevel_g3", "pnmtotiff -quiet $B > $T && tiffcp -c g3 -r 9 $T $O", "rgb", 0},
    {"bilevel_g3_2d_lsb", "pnmtotiff -quiet $B > $T && tiffcp -c g3:2d:fill -f lsb2msb $T $O", "rgb", 0},
    {"bilevel_g4_bigendian", "pnmtotiff -quiet -miniswhite $B > $T && tiffcp -B -c g4 $T $O", "rgb", 0},
    {"bilevel_packbits_tiles", "pnmtotiff -quiet $B > $T && tiffcp -c packbits -t -w 16 -l 16 $T $O", "rgb", 0},
    {"jpeg_strips_tables", "convert $S -compress jpeg -quality 90 -define tiff:rows-per-strip=16 $O", "rgb", 6},
};

class TiffFromTools : public ::testing::TestWithParam<ToolFile> {};

std::string Expand(std::string c, const testutil::TempDir& dir) {
  const std::pair<const char*, std::string> names[] = {{"$S", dir.File("s.ppm")}, {"$G", dir.File("g.pgm")},
                                                       {"$B", dir.File("b.pbm")}, {"$O", dir.File("o.tif")},
                                                       {"$T", dir.File("t.tif")}};
  for (const auto& [key, path] : names)
    for (size_t at; (at = c.find(key)) != std::string::npos;) c.replace(at, 2, Quote(path));
  for (const char* tool : {"pnmtotiff", "tiffcp"})
    for (size_t at = 0; (at = c.find(tool, at)) != std::string::npos; at += 9 + std::strlen(tool))
      c.replace(at, std::strlen(tool), std::string("/usr/bin/") + tool);
  for (size_t at = 0; (at = c.find("convert ", at)) != std::string::npos; at += kConvert.size() + 1)
    c.replace(at, 8, kConvert + " ");
  return c;
}

void MakeSources(const testutil::TempDir& dir) {
  Shell(kConvert + " rose: -resize 70x46! " + Quote(dir.File("s.ppm")));
  Shell(kConvert + " rose: -resize 70x46! -colorspace Gray " + Quote(dir.File("g.pgm")));
  Shell(kConvert + " -size 300x120 -seed 4 plasma:fractal -blur 0x2 -monochrome " + Quote(dir.File("b.pbm")));
}

// Our reading of a one-page file against ImageMagick's (libtiff's, for TIFF).
void ExpectAsImageMagick(const std::string& file, const testutil::TempDir& dir, const std::string& map,
                         int tolerance) {
  const Pixels truth = ImageMagickPixels(file, dir, map);
  OurRead ours;
  ReadOurs(file, ours);
  ASSERT_FALSE(ours.aborted);
  ASSERT_EQ(ours.bitmap->Width(), truth.width);
  ASSERT_EQ(ours.bitmap->Height(), truth.height);
  EXPECT_EQ(ours.pages, 1);
  EXPECT_TRUE(SameBytes(OurRgb(ours, map == "rgba"), truth.data, tolerance));
}

TEST_P(TiffFromTools, DecodesAsImageMagickDoes) {
  if (!HaveTools()) GTEST_SKIP() << "libtiff tools or ImageMagick missing";
  const ToolFile& c = GetParam();
  testutil::TempDir dir;
  MakeSources(dir);
  Shell(Expand(c.commands, dir));
  ExpectAsImageMagick(dir.File("o.tif"), dir, c.map, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(Files, TiffFromTools, ::testing::ValuesIn(kToolFiles),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TiffRead, NativeFormatsKeepSixteenBitsAndPalettes) {
  if (!HaveTools()) GTEST_SKIP() << "tools missing";
  testutil::TempDir dir;
  MakeSources(dir);
  struct Case {
    const char* command;
    TPxPixelFormat pf;
    const char* map;
    int depth;
  };
  const Case cases[] = {
      {"convert $S -depth 16 -compress lzw $O", pxRGB48, "rgb", 16},
      {"convert $G -depth 16 -endian MSB $O", px16g, "gray", 16},
      {"pnmtotiff -quiet $G > $O", px8g, "gray", 8},
      {"convert $S -colors 30 -type Palette $O", px8p, "rgb", 8},
      {"convert $S -colorspace CMYK $O", pxCMYK, "cmyk", 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    Shell(Expand(c.command, dir));
    const std::string file = dir.File("o.tif");
    OurRead ours;
    ReadOurs(file, ours, 0, true);
    ASSERT_FALSE(ours.aborted);
    ASSERT_EQ(ours.bitmap->PixelFormat(), c.pf);
    const Pixels truth = ImageMagickPixels(file, dir, c.map, c.depth);
    std::vector<uint8_t> got;
    for (int y = 0; y < ours.bitmap->Height(); ++y) {
      const uint8_t* row = ours.bitmap->Scanline(y);
      if (c.pf == px8p) {
        for (int x = 0; x < ours.bitmap->Width(); ++x) {
          const TBGR e = ours.bitmap->PaletteColor(row[x]);
          got.insert(got.end(), {e.r, e.g, e.b});
        }
      } else {
        got.insert(got.end(), row, row + size_t(ours.bitmap->Width()) * PxBitsPerPixel(c.pf) / 8);
      }
    }
    EXPECT_TRUE(SameBytes(got, truth.data));
  }
}

TEST(TiffRead, PagesAreCountedAndChosen) {
  if (!HaveTools()) GTEST_SKIP() << "tools missing";
  testutil::TempDir dir;
  MakeSources(dir);
  Shell(Expand("pnmtotiff -quiet $S > $O && pnmtotiff -quiet $G > $T", dir));
  const std::string multi = dir.File("multi.tif");
  Shell("/usr/bin/tiffcp -c lzw " + Quote(dir.File("o.tif")) + " " + Quote(dir.File("t.tif")) + " " + Quote(dir.File("o.tif")) +
      " " + Quote(multi));
  for (int page = 0; page < 3; ++page) {
    OurRead ours;
    ReadOurs(multi, ours, page);
    ASSERT_FALSE(ours.aborted);
    EXPECT_EQ(ours.pages, 3);
    EXPECT_EQ(ours.params.TiffImageCount, 3);
    const Pixels truth = ImageMagickPixels(dir.File(page == 1 ? "t.tif" : "o.tif"), dir);
    EXPECT_TRUE(SameBytes(OurRgb(ours), truth.data)) << "page " << page;
  }
  OurRead missing;
  ReadOurs(multi, missing, 3);
  EXPECT_TRUE(missing.aborted);
  EXPECT_EQ(missing.params.TiffImageCount, 3);
}

// --- files we write --------------------------------------------------------

struct WriteCase {
  const char* name;
  TPxPixelFormat pf;
  int compression;  // TiffCompression
  int bitsPerSample, samplesPerPixel;
  bool alpha;
  const char* expectInfo;  // text tiffinfo must print
};

const WriteCase kWriteCases[] = {
    {"rgb_none", pxRGB24, 0, 8, 3, false, "Compression Scheme: None"},
    {"rgb_lzw", pxRGB24, 5, 8, 3, false, "horizontal differencing"},
    {"rgb_packbits", pxRGB24, 8, 8, 3, false, "PackBits"},
    {"rgb_deflate", pxRGB24, 10, 8, 3, false, "AdobeDeflate"},
    {"rgba_lzw", pxRGB24, 5, 8, 3, true, "unassoc-alpha"},
    {"gray_lzw", px8g, 5, 8, 1, false, "min-is-black"},
    {"gray16_deflate", px16g, 10, 16, 1, false, "Bits/Sample: 16"},
    {"palette_packbits", px8p, 8, 8, 1, false, "palette color"},
    {"palette_from_rgb", pxRGB24, 5, 4, 1, false, "Bits/Sample: 4"},
    {"rgb48_lzw", pxRGB48, 5, 16, 3, false, "Bits/Sample: 16"},
    {"cmyk", pxCMYK, 5, 8, 4, false, "separated"},
    {"bilevel_none", px1g, 0, 1, 1, false, "min-is-black"},
    {"bilevel_mh", px1g, 1, 1, 1, false, "CCITT RLE"},
    {"bilevel_g3", px1g, 2, 1, 1, false, "CCITT Group 3"},
    {"bilevel_g3_2d", px1g, 3, 1, 1, false, "2-d encoding"},
    {"bilevel_g4", px1g, 4, 1, 1, false, "CCITT Group 4"},
    {"bilevel_lzw", px1g, 5, 1, 1, false, "LZW"},
    {"jpeg", pxRGB24, 7, 8, 3, false, "JPEG"},
};

std::unique_ptr<TPxBitmap> Picture(TPxPixelFormat pf, int w, int h) {
  auto b = std::make_unique<TPxBitmap>(w, h, pf);
  if (pf == px8p)
    for (int i = 0; i < 256; ++i) b->PaletteColor(i, MakeBGR(uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)));
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int i = 0; i < b->RowBytes(); ++i) {
      const int x = pf == px1g ? i * 8 : i;
      row[i] = pf == px1g ? uint8_t(((x / 8 + y / 5) % 3 == 0) ? 0x0F : (y % 7 ? 0xFF : 0x00))
                          : uint8_t((x * 7 + y * 13 + (x * y) % 11) & 0xFF);
    }
  }
  return b;
}

class TiffWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(TiffWrite, ToolsReadWhatWeWrite) {
  if (!HaveTools()) GTEST_SKIP() << "tools missing";
  const WriteCase& c = GetParam();
  testutil::TempDir dir;
  const std::string file = dir.File("ours.tif");
  auto picture = Picture(c.pf, 1500, 400);  // several strips
  std::unique_ptr<TPxMask> mask;
  if (c.alpha) {
    mask = std::make_unique<TPxMask>();
    ASSERT_TRUE(mask->Allocate(1500, 400, 8));
    for (int y = 0; y < 400; ++y)
      for (int x = 0; x < 1500; ++x) mask->Scanline(y)[x] = uint8_t((x + y) % 256);
    mask->Full = false;
  }
  if (c.compression == 7 || std::string(c.name) == "palette_from_rgb") {
    // Smooth colours for JPEG, few colours for the palette.
    for (int y = 0; y < 400; ++y)
      for (int x = 0; x < 1500; ++x) {
        uint8_t* p = picture->Scanline(y) + 3 * x;
        if (c.compression == 7) p[0] = uint8_t(x / 6), p[1] = uint8_t(y / 2), p[2] = 128;
        else p[0] = uint8_t((x / 300) * 50), p[1] = 40, p[2] = uint8_t((y / 200) * 120);
      }
  }
  TIOParamsVals params;
  params.TiffCompression = c.compression;
  params.BitsPerSample = c.bitsPerSample;
  params.SamplesPerPixel = c.samplesPerPixel;
  params.TiffDocumentName = "doc name";
  params.TiffPageName = "page";
  params.SetDpi(150, 75);
  {
    TPxFileStream s(file, TPxFileStream::fmCreate);
    bool aborted = false;
    TPxProgress progress;
    progress.Aborting = &aborted;
    WriteTiffStream(s, picture.get(), mask.get(), progress, params);
    ASSERT_FALSE(aborted);
    ASSERT_TRUE(s.Close());
  }
  auto info = testutil::RunCommand("/usr/bin/tiffinfo -D " + Quote(file));
  ASSERT_EQ(info.status, 0) << info.output;
  EXPECT_EQ(info.output.find("rror"), std::string::npos) << info.output;
  EXPECT_EQ(info.output.find("arning"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find(c.expectInfo), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("DocumentName: doc name"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("Resolution: 150, 75 pixels/inch"), std::string::npos) << info.output;

  OurRead back;
  ReadOurs(file, back, 0, true);
  ASSERT_FALSE(back.aborted);
  const std::string map = c.alpha ? "rgba" : "rgb";
  const Pixels truth = ImageMagickPixels(file, dir, map);
  ASSERT_EQ(truth.width, 1500);
  // What ImageMagick decodes is our picture.
  OurRead original;
  original.bitmap = std::move(picture);
  original.mask = std::move(mask);
  std::vector<uint8_t> expect = OurRgb(original, c.alpha);
  if (std::string(c.name) == "palette_from_rgb") {
    // Fewer than 16 colours: the palette holds them exactly.
    EXPECT_TRUE(SameBytes(expect, truth.data));
  } else if (c.compression == 7) {
    EXPECT_TRUE(SameBytes(expect, truth.data, 8));
  } else if (c.pf == pxRGB48 || c.pf == px16g || c.pf == pxCMYK) {
    // ImageMagick rounds 16-bit samples and converts inks its own way.
    EXPECT_TRUE(SameBytes(expect, truth.data, 2));
  } else {
    EXPECT_TRUE(SameBytes(expect, truth.data));
  }
  // And our reader gives the same pixels back.
  if (c.compression != 7 && std::string(c.name) != "palette_from_rgb") {
    EXPECT_EQ(back.bitmap->PixelFormat(), original.bitmap->PixelFormat());
    for (int y = 0; y < 400; ++y)
      ASSERT_EQ(std::memcmp(back.bitmap->Scanline(y), original.bitmap->Scanline(y),
                            size_t(c.pf == px1g ? 1500 / 8 : 1500 * PxBitsPerPixel(c.pf) / 8)),
                0)
          << "row " << y;
  }
  EXPECT_EQ(back.params.TiffDocumentName, "doc name");
  EXPECT_EQ(back.params.TiffPageName, "page");
  EXPECT_EQ(back.params.DpiX, 150);
  EXPECT_EQ(back.params.DpiY, 75);
  EXPECT_EQ(back.params.TiffCompression, c.compression);
}

INSTANTIATE_TEST_SUITE_P(Cases, TiffWrite, ::testing::ValuesIn(kWriteCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TiffWriteRules, TwoColoursBecomeBilevelTheDarkerBlack) {
  TPxBitmap rgb(20, 4, pxRGB24);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 20; ++x) {
      TBGR c = x < 10 ? MakeBGR(200, 30, 30) : MakeBGR(90, 250, 90);  // the green is lighter
      std::memcpy(rgb.Scanline(y) + 3 * x, &c, 3);
    }
  TIOParamsVals params;
  params.BitsPerSample = 1;
  params.SamplesPerPixel = 1;
  params.TiffCompression = 4;
  OurRead r;
  ASSERT_NO_FATAL_FAILURE(WriteThenRead(rgb, params, r));
  ASSERT_FALSE(r.aborted);
  TPxBitmap& back = *r.bitmap;
  ASSERT_EQ(back.PixelFormat(), px1g);
  EXPECT_EQ(r.params.TiffCompression, 4);
  // Pixels 0..9 black, 10..19 white.
  EXPECT_EQ(back.Scanline(2)[0], 0x00);
  EXPECT_EQ(back.Scanline(2)[1] & 0xC0, 0x00);
  EXPECT_EQ(back.Scanline(2)[1] & 0x3F, 0x3F);
  EXPECT_EQ(back.Scanline(2)[2] & 0xF0, 0xF0);
}

TEST(TiffWriteRules, OfTwoEqualGraysTheFirstMetIsBlack) {
  TPxBitmap rgb(16, 1, pxRGB24);
  // Red and a blue-green of the same gray (21 R = 71 G + 8 B, both 21).
  const TBGR first = MakeBGR(100, 0, 0), second = MakeBGR(0, 28, 14);
  ASSERT_EQ(PxGray(first), PxGray(second));
  for (int x = 0; x < 16; ++x) std::memcpy(rgb.Scanline(0) + 3 * x, x < 8 ? &first : &second, 3);
  TIOParamsVals params;
  params.BitsPerSample = 1;
  params.SamplesPerPixel = 1;
  OurRead r;
  ASSERT_NO_FATAL_FAILURE(WriteThenRead(rgb, params, r));
  ASSERT_FALSE(r.aborted);
  ASSERT_EQ(r.bitmap->PixelFormat(), px1g);
  EXPECT_EQ(r.bitmap->Scanline(0)[0], 0x00);
  EXPECT_EQ(r.bitmap->Scanline(0)[1], 0xFF);
}

TEST(TiffWriteRules, FaxCompressionOfAColourPictureWritesItUncompressed) {
  auto rgb = Picture(pxRGB24, 30, 10);
  TIOParamsVals params;
  params.TiffCompression = 4;
  OurRead r;
  ASSERT_NO_FATAL_FAILURE(WriteThenRead(*rgb, params, r));
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(r.params.TiffCompression, 0);
  EXPECT_EQ(r.bitmap->PixelFormat(), pxRGB24);
  EXPECT_EQ(std::memcmp(r.bitmap->Scanline(5), rgb->Scanline(5), 90), 0);
}

// --- LZW -------------------------------------------------------------------

TEST(TiffLzw, RoundTripsThroughTableResets) {
  std::mt19937 rng(3);
  // Noise fills the table many times over; a long run makes long strings.
  std::vector<uint8_t> rows(200 * 1000);
  for (size_t i = 0; i < rows.size(); ++i) rows[i] = i < 60000 ? uint8_t(rng() % 7) : i < 90000 ? 42 : uint8_t(rng());
  TPxMemoryStream s;
  void* state = nullptr;
  for (int y = 0; y < 200; ++y) ASSERT_TRUE(TiffLzwCompressDefault(rows.data() + y * 1000, 1000, s, state));
  ASSERT_TRUE(TiffLzwCompressDefault(nullptr, 0, s, state));
  EXPECT_EQ(state, nullptr);
  void* dstate = nullptr;
  for (int y = 0; y < 200; ++y) {
    const uint8_t* row = TiffLzwDecompressDefault(s.Data().data(), s.Data().size(), 1000, dstate);
    ASSERT_NE(row, nullptr) << "row " << y;
    ASSERT_EQ(std::memcmp(row, rows.data() + y * 1000, 1000), 0) << "row " << y;
  }
  // Past the end of information there is nothing more.
  EXPECT_EQ(TiffLzwDecompressDefault(s.Data().data(), s.Data().size(), 1000, dstate), nullptr);
  TiffLzwDecompressDefault(nullptr, 0, 0, dstate);
  EXPECT_EQ(dstate, nullptr);
}

TEST(TiffLzw, ACodeBeyondTheTableIsDamage) {
  // Clear (256), 'A' (65), then code 300 while the next free code is 258: 9-bit codes.
  const uint8_t data[] = {0x80, 0x10, 0x65, 0x80, 0x00};
  void* state = nullptr;
  EXPECT_EQ(TiffLzwDecompressDefault(data, sizeof data, 3, state), nullptr);
  TiffLzwDecompressDefault(nullptr, 0, 0, state);
}

// --- hostile structures ----------------------------------------------------

// A little TIFF built by hand: the header, then directories given as entry lists.
struct Hand {
  std::string bytes;
  void U16(uint32_t v) { bytes += char(v & 0xFF), bytes += char(v >> 8); }
  void U32(uint32_t v) { U16(v & 0xFFFF), U16(v >> 16); }
  struct E {
    uint16_t tag, type;
    uint32_t count, value;
  };
  // A directory at the current end; returns its offset; next as given.
  uint32_t Ifd(const std::vector<E>& e, uint32_t next) {
    const uint32_t at = static_cast<uint32_t>(bytes.size());
    U16(static_cast<uint32_t>(e.size()));
    for (const E& x : e) {
      U16(x.tag), U16(x.type), U32(x.count);
      if (x.type == 3 && x.count == 1) U16(x.value), U16(0);
      else U32(x.value);
    }
    U32(next);
    return at;
  }
};

std::vector<Hand::E> Gray(uint32_t w, uint32_t h, uint32_t offset, uint32_t count) {
  return {{256, 4, 1, w}, {257, 4, 1, h}, {258, 3, 1, 8}, {259, 3, 1, 1}, {262, 3, 1, 1},
          {273, 4, 1, offset}, {277, 3, 1, 1}, {278, 4, 1, h}, {279, 4, 1, count}};
}

struct Outcome {
  bool aborted = false;
  int pages = 0;
  int width = 0;
};

Outcome ReadBytes(const std::string& bytes, int page = 0) {
  TPxMemoryStream s(bytes.data(), bytes.size());
  TPxBitmap b;
  std::unique_ptr<TPxMask> mask;
  TIOParamsVals params;
  params.TiffImageIndex = page;
  Outcome o;
  TPxProgress progress;
  progress.Aborting = &o.aborted;
  ReadTiffStream(&b, s, o.pages, false, false, mask, false, progress, params);
  o.width = b.Width();
  return o;
}

TEST(TiffHostile, DirectoryLoopsEndTheChain) {
  // Pixels at 8..23, a directory pointing at itself.
  Hand self;
  self.bytes = std::string("II*\0\x18\0\0\0", 8) + std::string(16, 'x');
  self.Ifd(Gray(4, 4, 8, 16), 24);
  Outcome o = ReadBytes(self.bytes);
  EXPECT_FALSE(o.aborted);
  EXPECT_EQ(o.pages, 1);
  // Two directories pointing at each other.
  Hand pair;
  pair.bytes = std::string("II*\0\x18\0\0\0", 8) + std::string(16, 'x');
  const uint32_t second = 24 + 2 + 9 * 12 + 4;
  pair.Ifd(Gray(4, 4, 8, 16), second);
  pair.Ifd(Gray(4, 4, 8, 16), 24);
  o = ReadBytes(pair.bytes, 1);
  EXPECT_FALSE(o.aborted);
  EXPECT_EQ(o.pages, 2);
  EXPECT_TRUE(ReadBytes(pair.bytes, 2).aborted);
}

TEST(TiffHostile, BadStructuresAreRefused) {
  struct Case {
    const char* name;
    std::vector<Hand::E> entries;
    bool aborted;
  };
  const Case cases[] = {
      {"fine", Gray(4, 4, 8, 16), false},
      {"strip-offset-beyond-file", Gray(4, 4, 100000, 16), true},
      {"strip-count-beyond-file", Gray(4, 4, 8, 100000), true},
      {"huge-dimensions", Gray(1000000, 1000000, 8, 16), true},
      {"zero-width", Gray(0, 4, 8, 16), true},
      {"three-bit-rgb", {{256, 4, 1, 4}, {257, 4, 1, 4}, {258, 3, 1, 3}, {262, 3, 1, 2}, {277, 3, 1, 3},
                         {273, 4, 1, 8}, {279, 4, 1, 16}}, true},
      {"unknown-compression", {{256, 4, 1, 4}, {257, 4, 1, 4}, {258, 3, 1, 8}, {259, 3, 1, 999},
                               {262, 3, 1, 1}, {273, 4, 1, 8}, {279, 4, 1, 16}}, true},
      {"million-strips", {{256, 4, 1, 4}, {257, 4, 1, 1000000}, {258, 3, 1, 8}, {262, 3, 1, 1},
                          {278, 4, 1, 1}, {273, 4, 1000000, 8}, {279, 4, 1000000, 8}}, true},
      {"entry-values-beyond-file", {{256, 4, 1, 4}, {257, 4, 1, 4}, {258, 3, 3, 0x7FFFFFF0}, {262, 3, 1, 2},
                                    {277, 3, 1, 3}, {273, 4, 1, 8}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Hand h;
    h.bytes = std::string("II*\0\x18\0\0\0", 8) + std::string(16, '\x55');
    h.Ifd(c.entries, 0);
    EXPECT_EQ(ReadBytes(h.bytes).aborted, c.aborted);
  }
  EXPECT_TRUE(ReadBytes("XX*\0\x08\0\0\0garbage").aborted);
  EXPECT_TRUE(ReadBytes(std::string("II*\0\xFF\0\0\0", 8)).aborted);
}

TEST(TiffHostile, RandomDamageEndsCleanly) {
  // A real file with bytes overwritten: never a crash, a hang or an overrun.
  auto picture = Picture(pxRGB24, 64, 40);
  std::mt19937 rng(5);
  for (int compression : {0, 5, 8, 10}) {
    TIOParamsVals params;
    params.TiffCompression = compression;
    TPxMemoryStream s;
    bool aborted = false;
    TPxProgress progress;
    progress.Aborting = &aborted;
    WriteTiffStream(s, picture.get(), nullptr, progress, params);
    ASSERT_FALSE(aborted);
    for (int i = 0; i < 150; ++i) {
      std::string bytes(s.Data().begin(), s.Data().end());
      for (int k = 0; k < 4; ++k) bytes[rng() % bytes.size()] = char(rng());
      if (i % 3 == 0) bytes.resize(rng() % bytes.size());
      ReadBytes(bytes);
    }
  }
}

// --- LZW strips as libtiff writes them ---------------------------------------

// Long strips make the decoder drop and keep what it decoded many times over,
// with the code width changing at every table cycle; a flat drawing makes
// strings thousands of bytes long.
struct LzwStrip {
  const char* name;
  // $P is a 1200 x 500 photo-like PPM, $F a flat drawing, $O the TIFF, $T scratch.
  const char* commands;
  const char* map;
};

const LzwStrip kLzwStrips[] = {
    {"photo_predictor_one_strip", "pnmtotiff -quiet $P > $T && tiffcp -c lzw:2 -r 100000 $T $O", "rgb"},
    {"photo_one_strip", "pnmtotiff -quiet $P > $T && tiffcp -c lzw -r 100000 $T $O", "rgb"},
    {"photo_predictor_strips_of_7", "pnmtotiff -quiet $P > $T && tiffcp -c lzw:2 -r 7 $T $O", "rgb"},
    {"flat_long_strings", "pnmtotiff -quiet $F > $T && tiffcp -c lzw -r 100000 $T $O", "rgb"},
    {"photo16_predictor", "convert $P -depth 16 -compress none $T && tiffcp -c lzw:2 -r 100000 $T $O", "rgb"},
    {"gray_predictor", "convert $P -colorspace Gray -compress none $T && tiffcp -c lzw:2 -r 100000 $T $O",
     "rgb"},
    {"rgba_predictor",
     "convert $P ( -size 1200x500 gradient: ) -alpha off -compose CopyOpacity -composite -compress none $T && "
     "tiffcp -c lzw:2 -r 100000 $T $O",
     "rgba"},
};

void MakeLzwSources(const testutil::TempDir& dir) {
  Shell(kConvert + " -size 1200x500 -seed 9 plasma:fractal -attenuate 0.4 +noise Gaussian -depth 8 " +
        Quote(dir.File("p.ppm")));
  Shell(kConvert + " -size 1200x500 xc:'#336699' -fill white -draw 'circle 600,250 600,420' " + Quote(dir.File("f.ppm")));
}

std::string ExpandLzw(std::string c, const testutil::TempDir& dir) {
  for (const auto& [key, name] : {std::pair<const char*, const char*>{"$P", "p.ppm"}, {"$F", "f.ppm"}})
    for (size_t at; (at = c.find(key)) != std::string::npos;) c.replace(at, 2, Quote(dir.File(name)));
  // The shell takes ImageMagick's parentheses escaped.
  for (const std::string paren : {"( ", " )"})
    for (size_t at = 0; (at = c.find(paren, at)) != std::string::npos; at += 3)
      c.replace(at, 2, paren == "( " ? "\\( " : " \\)");
  return Expand(c, dir);
}

class TiffLzwStrips : public ::testing::TestWithParam<LzwStrip> {};

TEST_P(TiffLzwStrips, DecodeAsLibtiffDoes) {
  if (!HaveTools()) GTEST_SKIP() << "tools missing";
  const LzwStrip& c = GetParam();
  testutil::TempDir dir;
  MakeLzwSources(dir);
  Shell(ExpandLzw(c.commands, dir));
  ExpectAsImageMagick(dir.File("o.tif"), dir, c.map, 0);
}

INSTANTIATE_TEST_SUITE_P(Files, TiffLzwStrips, ::testing::ValuesIn(kLzwStrips),
                         [](const auto& info) { return std::string(info.param.name); });

// The value field of an entry of the first directory of a little-endian file.
size_t EntryField(const std::string& file, uint16_t tag) {
  auto u16 = [&](size_t at) { return uint32_t(uint8_t(file[at])) | uint32_t(uint8_t(file[at + 1])) << 8; };
  const size_t ifd = u16(4) | size_t(u16(6)) << 16;
  for (size_t i = 0, n = u16(ifd); i < n; ++i)
    if (u16(ifd + 2 + 12 * i) == tag) return ifd + 2 + 12 * i + 8;
  return 0;
}

TEST(TiffLzw, AStripCutShortKeepsTheRowsBeforeTheCut) {
  if (!HaveTools()) GTEST_SKIP() << "tools missing";
  testutil::TempDir dir;
  MakeLzwSources(dir);
  Shell(ExpandLzw("pnmtotiff -quiet $P > $T && tiffcp -c lzw:2 -r 100000 $T $O", dir));
  const Pixels truth = ImageMagickPixels(dir.File("o.tif"), dir);
  const std::string whole = testutil::ReadFileBytes(dir.File("o.tif"));
  ASSERT_EQ(whole.substr(0, 2), "II");
  const size_t counts = EntryField(whole, 279);
  ASSERT_NE(counts, 0u);
  const uint32_t count = uint8_t(whole[counts]) | uint32_t(uint8_t(whole[counts + 1])) << 8 |
                         uint32_t(uint8_t(whole[counts + 2])) << 16 | uint32_t(uint8_t(whole[counts + 3])) << 24;
  // Cut within the first row, in the middle, and near the end of the strip.
  for (const double part : {0.001, 0.4, 0.97}) {
    SCOPED_TRACE(part);
    std::string cut = whole;
    const uint32_t n = static_cast<uint32_t>(count * part);
    for (int b = 0; b < 4; ++b) cut[counts + b] = char(n >> (8 * b));
    testutil::WriteFileBytes(dir.File("cut.tif"), cut);
    OurRead ours;
    ReadOurs(dir.File("cut.tif"), ours);
    EXPECT_TRUE(ours.aborted);
    const std::vector<uint8_t> rgb = OurRgb(ours);
    ASSERT_EQ(rgb.size(), truth.data.size());
    const size_t row = 1200 * 3;
    size_t good = 0;
    while (good < 500 && std::memcmp(rgb.data() + good * row, truth.data.data() + good * row, row) == 0) ++good;
    // The data hold about that share of the rows; from the first one they do
    // not hold whole on, the picture is black.
    EXPECT_GE(good, static_cast<size_t>(500 * part * 0.7));
    EXPECT_LT(good, 500u);
    for (size_t i = good * row; i < rgb.size(); ++i) ASSERT_EQ(rgb[i], 0) << "row " << i / row;
  }
}

// TIFF's LZW coding, but without the clear code when the table is full.
// Returns the number of codes defined.
int LzwWithoutClear(const std::vector<uint8_t>& in, std::string& out) {
  std::map<uint32_t, int> table;
  int next = 258, width = 9, defined = 0;
  uint64_t acc = 0;
  int bits = 0;
  auto put = [&](int code) {
    acc = acc << width | uint32_t(code);
    for (bits += width; bits >= 8; bits -= 8) out += char(acc >> (bits - 8));
  };
  // The reader's table grows with each code after the first: so does the width.
  auto grown = [&] {
    if (++next > (1 << width) - 1 && width < 12) ++width;
  };
  put(256);
  int prefix = in[0];
  for (size_t i = 1; i < in.size(); ++i) {
    const uint32_t key = uint32_t(prefix) << 8 | in[i];
    if (const auto it = table.find(key); it != table.end()) {
      prefix = it->second;
      continue;
    }
    put(prefix);
    if (next < 4096) {
      table[key] = next;
      ++defined;
    }
    grown();
    prefix = in[i];
  }
  put(prefix);
  grown();
  put(257);
  if (bits) out += char(acc << (8 - bits));
  return defined;
}

TEST(TiffLzw, ATableFilledWithoutAClearCodeIsDamage) {
  if (!HaveTools()) GTEST_SKIP() << "tools missing";
  // Four gray levels at random: the table fills after a fifth of the rows.
  const uint32_t w = 100, h = 2000;
  std::vector<uint8_t> pixels(w * h);
  std::mt19937 rng(11);
  for (uint8_t& p : pixels) p = uint8_t(rng() % 4 * 60);
  std::string strip;
  ASSERT_EQ(LzwWithoutClear(pixels, strip), 4096 - 258);
  Hand file;
  file.bytes = std::string("II*\0", 4);
  file.U32(uint32_t(8 + strip.size() + (strip.size() & 1)));
  file.bytes += strip;
  if (strip.size() & 1) file.bytes += '\0';
  std::vector<Hand::E> entries = Gray(w, h, 8, uint32_t(strip.size()));
  entries[3].value = 5;  // Compression: LZW
  file.Ifd(entries, 0);
  testutil::TempDir dir;
  testutil::WriteFileBytes(dir.File("full.tif"), file.bytes);
  EXPECT_NE(testutil::RunCommand("/usr/bin/tiffcp -c none " + Quote(dir.File("full.tif")) + " " + Quote(dir.File("o.tif")))
                .status,
            0)
      << "libtiff reads the strip";
  OurRead ours;
  ReadOurs(dir.File("full.tif"), ours, 0, true);
  EXPECT_TRUE(ours.aborted);
  ASSERT_EQ(ours.bitmap->PixelFormat(), px8g);
  // The rows before the table filled are there, the others black.
  uint32_t good = 0;
  while (good < h && std::memcmp(ours.bitmap->Scanline(int(good)), pixels.data() + good * w, w) == 0) ++good;
  EXPECT_GT(good, h / 20);
  EXPECT_LT(good, h / 2);
  for (uint32_t y = good; y < h; ++y)
    ASSERT_EQ(std::count(ours.bitmap->Scanline(int(y)), ours.bitmap->Scanline(int(y)) + w, 0), int(w)) << y;
}

int gSlotCalls = 0;
const uint8_t* CountingLzw(const uint8_t* data, size_t size, int rowLength, void*& state) {
  if (data) ++gSlotCalls;
  return TiffLzwDecompressDefault(data, size, rowLength, state);
}

TEST(TiffLzw, ADecoderInTheSlotIsCalledForEveryRow) {
  auto picture = Picture(pxRGB24, 64, 40);
  TIOParamsVals params;
  params.TiffCompression = 5;
  OurRead r;
  r.params.TiffLzwDecompress = CountingLzw;
  gSlotCalls = 0;
  ASSERT_NO_FATAL_FAILURE(WriteThenRead(*picture, params, r));
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(gSlotCalls, 40);
  for (int y = 0; y < 40; ++y) ASSERT_EQ(std::memcmp(r.bitmap->Scanline(y), picture->Scanline(y), 64 * 3), 0);
}

// --- fields ------------------------------------------------------------------

TEST(TiffFields, ResolutionUnitsAndDescriptiveTags) {
  if (!HaveTools()) GTEST_SKIP() << "tools missing";
  testutil::TempDir dir;
  MakeSources(dir);
  const std::string file = dir.File("o.tif");
  Shell(kConvert + " " + Quote(dir.File("s.ppm")) + " -units PixelsPerCentimeter -density 72 -set comment 'a picture' " +
      Quote(file));
  OurRead r;
  ReadOurs(file, r, 0, false, true);
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(r.params.DpiX, 183);
  EXPECT_EQ(r.params.DpiY, 183);
  EXPECT_EQ(r.params.TiffImageDescription, "a picture");
  EXPECT_EQ(r.params.Width, 70);
  EXPECT_EQ(r.params.Height, 46);
  EXPECT_EQ(r.params.SamplesPerPixel, 3);
  EXPECT_EQ(r.params.TiffPhotometric, 2);
  EXPECT_TRUE(r.bitmap->IsEmpty()) << "a parameters-only read leaves the bitmap";
}

// --- through the format table -------------------------------------------------

TEST(TiffTable, LoadAndSaveByExtension) {
  if (!HaveTools()) GTEST_SKIP() << "tools missing";
  testutil::TempDir dir;
  MakeSources(dir);
  for (const char* ext : {"tif", "fax", "g3n"}) {
    SCOPED_TRACE(ext);
    const std::string file = dir.File(std::string("x.") + ext);
    Shell("/usr/bin/pnmtotiff -quiet " + Quote(dir.File("b.pbm")) + " > " + Quote(dir.File("t.tif")) +
        " && /usr/bin/tiffcp -c g4 " + Quote(dir.File("t.tif")) + " " + Quote(file));
    TImagingIO io;
    io.LoadFromFile(file);
    ASSERT_FALSE(io.Aborting);
    EXPECT_EQ(io.Params.FileType, ioTIFF);
    EXPECT_EQ(io.Params.TiffCompression, 4);
    const std::string saved = dir.File(std::string("saved.") + ext);
    io.SaveToFile(saved);
    ASSERT_FALSE(io.Aborting);
    auto info = testutil::RunCommand("/usr/bin/tiffinfo " + Quote(saved));
    EXPECT_NE(info.output.find("CCITT Group 4"), std::string::npos) << info.output;
    EXPECT_TRUE(SameBytes(ImageMagickPixels(saved, dir).data, ImageMagickPixels(file, dir).data));
  }
}

}  // namespace

namespace {

// A hand-made little-endian file: data at offset 8, then one directory.
std::string HandFile(const std::string& data, const std::vector<Hand::E>& entries) {
  Hand h;
  const uint32_t ifd = 8 + static_cast<uint32_t>(data.size() + (data.size() & 1));
  h.bytes = std::string("II*\0", 4);
  h.U32(ifd);
  h.bytes += data;
  if (data.size() & 1) h.bytes += '\0';
  h.Ifd(entries, 0);
  return h.bytes;
}

struct Read1 {
  bool aborted = false;
  TPxBitmap bitmap;
  TIOParamsVals params;
};

void ReadHand(const std::string& bytes, Read1& r) {
  TPxMemoryStream s(bytes.data(), bytes.size());
  std::unique_ptr<TPxMask> mask;
  int pages = 0;
  TPxProgress progress;
  progress.Aborting = &r.aborted;
  ReadTiffStream(&r.bitmap, s, pages, false, false, mask, false, progress, r.params);
}

TEST(TiffRead, RulesOfTheFormatForOddPages) {
  const std::string molli = "Look@Molli v1.1 and more";
  struct Case {
    const char* name;
    std::string data;
    std::vector<Hand::E> entries;
    int gray;  // expected gray (red channel) of pixel 0, or -1 for bilevel byte checks
    int bilevelByte;
  };
  const std::vector<Case> cases = {
      // 16-bit gray 0x0FF0: the top byte normally, shifted by 4 for that program.
      {"gray16", std::string("\xF0\x0F", 2),
       {{256, 4, 1, 1}, {257, 4, 1, 1}, {258, 3, 1, 16}, {262, 3, 1, 1}, {273, 4, 1, 8}, {279, 4, 1, 2}}, 0x0F, 0},
      {"gray16-molli", std::string("\xF0\x0F", 2) + molli + '\0',
       {{256, 4, 1, 1}, {257, 4, 1, 1}, {258, 3, 1, 16}, {262, 3, 1, 1}, {273, 4, 1, 8}, {279, 4, 1, 2},
        {305, 2, uint32_t(molli.size() + 1), 10}}, 0xFF, 0},
      // No byte count, RowsPerStrip all ones: one strip to the end of the file.
      {"strip-to-end", std::string("\x10\x20\x30\x40", 4),
       {{256, 4, 1, 2}, {257, 4, 1, 2}, {258, 3, 1, 8}, {262, 3, 1, 1}, {273, 4, 1, 8}, {278, 4, 1, 0xFFFFFFFF}},
       0x10, 0},
      // Uncompressed WhiteIsZero bilevel is inverted into px1g (1 = white).
      {"bilevel-white-is-zero", std::string("\x0F", 1),
       {{256, 4, 1, 8}, {257, 4, 1, 1}, {258, 3, 1, 1}, {262, 3, 1, 0}, {273, 4, 1, 8}, {279, 4, 1, 1}}, -1, 0xF0},
      // A bilevel page marked RGB with no compression is read as WhiteIsZero.
      {"bilevel-marked-rgb", std::string("\x0F", 1),
       {{256, 4, 1, 8}, {257, 4, 1, 1}, {258, 3, 1, 1}, {259, 3, 1, 1}, {262, 3, 1, 2}, {273, 4, 1, 8},
        {279, 4, 1, 1}}, -1, 0xF0},
      // 4-bit gray spreads to the full range (15 is white).
      {"gray4", std::string("\xF7", 1),
       {{256, 4, 1, 2}, {257, 4, 1, 1}, {258, 3, 1, 4}, {262, 3, 1, 1}, {273, 4, 1, 8}, {279, 4, 1, 1}}, 255, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Read1 r;
    ReadHand(HandFile(c.data, c.entries), r);
    ASSERT_FALSE(r.aborted);
    if (c.gray >= 0) {
      ASSERT_EQ(r.bitmap.PixelFormat(), pxRGB24);
      EXPECT_EQ(r.bitmap.Scanline(0)[2], c.gray);
    } else {
      ASSERT_EQ(r.bitmap.PixelFormat(), px1g);
      EXPECT_EQ(r.bitmap.Scanline(0)[0], c.bilevelByte);
    }
  }
}

TEST(TiffRead, ResolutionRules) {
  struct Case {
    uint32_t num, den, unit;
    int dpi;
  };
  // XResolution 72 per centimetre is 183 dpi; 0 gives the default 300.
  const Case cases[] = {{72, 1, 3, 183}, {0, 1, 2, 300}, {150, 1, 2, 150}, {600, 2, 1, 300}, {96, 0, 2, 96}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.num);
    std::string data("\x55\x55\x55\x55", 4);
    for (uint32_t v : {c.num, c.den})
      for (int b = 0; b < 4; ++b) data += char(v >> (8 * b));
    Read1 r;
    ReadHand(HandFile(data, {{256, 4, 1, 2}, {257, 4, 1, 2}, {258, 3, 1, 8}, {262, 3, 1, 1}, {273, 4, 1, 8},
                             {279, 4, 1, 4}, {282, 5, 1, 12}, {283, 5, 1, 12}, {296, 3, 1, c.unit}}),
             r);
    ASSERT_FALSE(r.aborted);
    EXPECT_EQ(r.params.DpiX, c.dpi);
    EXPECT_EQ(r.params.DpiY, c.dpi);
  }
}

}  // namespace
