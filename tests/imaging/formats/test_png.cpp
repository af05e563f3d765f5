// PNG reading and writing: round trips through our own codec, files written by
// ImageMagick read against ImageMagick's own decoding, files we write read back
// by ImageMagick, and damaged files.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "imaging/io/imagingio.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/png.h"
#include "util/testutil.h"

namespace {

const std::string kConvert = "/usr/bin/convert";

// Deterministic photo-like content: smooth gradients plus a little noise.
uint8_t Sample(int x, int y, int channel, uint32_t seed = 1) {
  uint32_t h = static_cast<uint32_t>(x) * 73856093u ^ static_cast<uint32_t>(y) * 19349663u ^
               static_cast<uint32_t>(channel + 1) * 83492791u ^ seed * 2654435761u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  int base = (x * 7 + y * 3 + channel * 60) % 256;
  return static_cast<uint8_t>((base + static_cast<int>(h % 16)) & 0xFF);
}

// A picture in the given format with content that uses the format's range.
std::unique_ptr<TPxBitmap> MakePicture(int w, int h, TPxPixelFormat pf) {
  auto b = std::make_unique<TPxBitmap>();
  EXPECT_TRUE(b->Allocate(w, h, pf));
  if (pf == px8p) {
    for (int i = 0; i < 256; ++i)
      b->PaletteColor(i, MakeBGR(static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i),
                                 static_cast<uint8_t>((i * 37) & 0xFF)));
  }
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int x = 0; x < w; ++x) {
      switch (pf) {
        case px1g:
          if (Sample(x, y, 0) & 0x40) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
          else row[x >> 3] &= static_cast<uint8_t>(~(0x80 >> (x & 7)));
          break;
        case px8p:
          row[x] = static_cast<uint8_t>((x * 5 + y * 11) % 40);  // 40 colours in use
          break;
        case px8g:
          row[x] = Sample(x, y, 0);
          break;
        case px16g: {
          uint16_t v = static_cast<uint16_t>(Sample(x, y, 0) * 256 + Sample(x, y, 1));
          std::memcpy(row + 2 * x, &v, 2);
          break;
        }
        case pxRGB24:
          for (int c = 0; c < 3; ++c) row[3 * x + c] = Sample(x, y, c);
          break;
        case px32f: {
          float v = Sample(x, y, 0) / 255.0f;
          std::memcpy(row + 4 * x, &v, 4);
          break;
        }
        case pxCMYK:
          for (int c = 0; c < 4; ++c) row[4 * x + c] = Sample(x, y, c);
          break;
        case pxRGB48:
          for (int c = 0; c < 3; ++c) {
            uint16_t v = static_cast<uint16_t>(Sample(x, y, c) * 257);
            std::memcpy(row + 6 * x + 2 * c, &v, 2);
          }
          break;
        default:
          break;
      }
    }
  }
  return b;
}

// Every pixel as blue, green, red.
std::vector<TBGR> Colors(TPxBitmap& b) {
  TPxBitmap copy;
  EXPECT_TRUE(copy.Assign(b));
  if (copy.PixelFormat() != pxRGB24) {
    EXPECT_TRUE(copy.ConvertTo(pxRGB24));
  }
  std::vector<TBGR> out;
  for (int y = 0; y < copy.Height(); ++y) {
    const TBGR* row = reinterpret_cast<const TBGR*>(copy.Scanline(y));
    out.insert(out.end(), row, row + copy.Width());
  }
  return out;
}

std::vector<uint8_t> AlphaValues(TPxBitmap& b) {
  std::vector<uint8_t> out;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) out.push_back(b.Alpha(x, y));
  return out;
}

// A half-transparent alpha plane: a ramp across the picture with some 0 and 255.
void AddAlpha(TPxBitmap& b) {
  TPxBitmap* a = b.AlphaChannel();
  ASSERT_NE(a, nullptr);
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x)
      b.Alpha(x, y, static_cast<uint8_t>(x < 3 ? 0 : x > b.Width() - 3 ? 255 : (x * 255) / b.Width()));
  a->SetFullAlpha(false);
}

// The decoding of a file by ImageMagick: 16-bit RGBA samples, most significant
// byte first, reduced to their high byte as our reader strips 16-bit samples.
struct Decoded {
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;  // 4 bytes per pixel
};

bool DecodeWithImageMagick(const std::string& file, const testutil::TempDir& dir, Decoded& out) {
  std::string raw = dir.File("decoded.rgba");
  auto size = testutil::RunCommand("/usr/bin/identify -format '%w %h' '" + file + "'");
  if (size.status != 0 || std::sscanf(size.output.c_str(), "%d %d", &out.width, &out.height) != 2)
    return false;
  auto r = testutil::RunCommand(kConvert + " '" + file + "' -endian MSB -depth 16 rgba:'" + raw + "'");
  if (r.status != 0) return false;
  std::string bytes = testutil::ReadFileBytes(raw);
  if (bytes.size() != static_cast<size_t>(out.width) * out.height * 8) return false;
  out.rgba.resize(bytes.size() / 2);
  for (size_t i = 0; i < out.rgba.size(); ++i) out.rgba[i] = static_cast<uint8_t>(bytes[2 * i]);
  return true;
}

// Writes a PAM file (RGB_ALPHA, 8 bits) that ImageMagick turns into fixtures.
void WritePam(const std::string& path, int w, int h, bool withAlpha, bool grayOnly, int levels) {
  std::string data = "P7\nWIDTH " + std::to_string(w) + "\nHEIGHT " + std::to_string(h) +
                     "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t px[4];
      for (int c = 0; c < 3; ++c) px[c] = Sample(x, y, grayOnly ? 0 : c, 7);
      if (levels > 0) {
        // A small number of colours, for palette and low bit depth files.
        int step = 255 / (levels - 1);
        for (int c = 0; c < 3; ++c) px[c] = static_cast<uint8_t>((px[c] * (levels - 1) / 255) * step);
      }
      px[3] = withAlpha ? static_cast<uint8_t>(x % 5 == 0 ? 0 : x % 5 == 1 ? 128 : 255) : 255;
      data.append(reinterpret_cast<char*>(px), 4);
    }
  testutil::WriteFileBytes(path, data);
}

struct PngHeader {
  int bitDepth = -1, colorType = -1, interlace = -1;
  bool hasTrns = false;
};

// The IHDR fields and whether a tRNS chunk is present, from the file's bytes.
PngHeader ReadHeader(const std::string& bytes) {
  PngHeader h;
  if (bytes.size() < 33) return h;
  h.bitDepth = static_cast<uint8_t>(bytes[24]);
  h.colorType = static_cast<uint8_t>(bytes[25]);
  h.interlace = static_cast<uint8_t>(bytes[28]);
  h.hasTrns = bytes.find("tRNS") != std::string::npos;
  return h;
}

// --- Files written by ImageMagick --------------------------------------------

struct MagickCase {
  const char* name;
  const char* options;  // output options for convert
  bool alpha, gray;
  int levels;  // 0 = full range
  int bitDepth, colorType;
  bool trns;
  bool interlaced;
};

class ImageMagickPng : public ::testing::TestWithParam<MagickCase> {};

TEST_P(ImageMagickPng, ReadsTheSamePixelsAsImageMagick) {
  if (!testutil::HaveTool(kConvert)) GTEST_SKIP() << "ImageMagick is not installed";
  const MagickCase& c = GetParam();
  testutil::TempDir dir;
  const std::string src = dir.File("source.pam");
  const std::string png = dir.File("fixture.png");
  WritePam(src, 37, 23, c.alpha, c.gray, c.levels);
  // Options ending in ":" are an output format prefix, which goes before the name.
  std::string options = c.options, prefix;
  size_t colon = options.rfind(':');
  if (colon != std::string::npos && colon + 1 == options.size()) {
    size_t space = options.rfind(' ', colon);
    prefix = options.substr(space == std::string::npos ? 0 : space + 1);
    options.erase(space == std::string::npos ? 0 : space);
  }
  auto r = testutil::RunCommand(kConvert + " '" + src + "' " + options + " '" + prefix + png + "'");
  ASSERT_EQ(r.status, 0) << r.output;

  // The fixture must be the kind of file the case is about.
  PngHeader h = ReadHeader(testutil::ReadFileBytes(png));
  ASSERT_EQ(h.bitDepth, c.bitDepth);
  ASSERT_EQ(h.colorType, c.colorType);
  ASSERT_EQ(h.hasTrns, c.trns);
  ASSERT_EQ(h.interlace, c.interlaced ? 1 : 0);

  Decoded ref;
  ASSERT_TRUE(DecodeWithImageMagick(png, dir, ref));

  TImagingIO io;
  io.LoadFromFile(png);
  ASSERT_FALSE(io.Aborting);
  TPxBitmap& b = *io.Bitmap();
  ASSERT_EQ(b.Width(), ref.width);
  ASSERT_EQ(b.Height(), ref.height);
  EXPECT_EQ(io.Params.BitsPerSample, c.bitDepth);
  EXPECT_EQ(io.Params.PngInterlaced, c.interlaced);
  EXPECT_EQ(b.PixelFormat(), c.bitDepth == 1 && !c.trns && c.colorType == 0 ? px1g : pxRGB24);
  std::vector<TBGR> px = Colors(b);
  std::vector<uint8_t> alpha = AlphaValues(b);
  int mismatches = 0;
  for (size_t i = 0; i < px.size(); ++i) {
    const uint8_t* e = &ref.rgba[4 * i];
    if (px[i].r != e[0] || px[i].g != e[1] || px[i].b != e[2] || alpha[i] != e[3]) {
      if (++mismatches <= 3)
        ADD_FAILURE() << "pixel " << i << ": ours " << int(px[i].r) << "," << int(px[i].g) << ","
                      << int(px[i].b) << "," << int(alpha[i]) << " ImageMagick " << int(e[0])
                      << "," << int(e[1]) << "," << int(e[2]) << "," << int(e[3]);
    }
  }
  EXPECT_EQ(mismatches, 0);
  // Without transparency in the file, the alpha plane is all opaque and says so.
  if (c.colorType != 4 && c.colorType != 6 && !c.trns) {
    ASSERT_TRUE(b.HasAlphaChannel());
    EXPECT_TRUE(b.AlphaChannel()->FullAlpha());
  }
}

const MagickCase kMagickCases[] = {
    {"gray1", "-define png:color-type=0 -define png:bit-depth=1", false, true, 2, 1, 0, false, false},
    {"gray2", "-define png:color-type=0 -define png:bit-depth=2", false, true, 4, 2, 0, false, false},
    {"gray4", "-define png:color-type=0 -define png:bit-depth=4", false, true, 16, 4, 0, false, false},
    {"gray8", "-define png:color-type=0 -define png:bit-depth=8", false, true, 0, 8, 0, false, false},
    {"gray16", "-define png:color-type=0 -define png:bit-depth=16", false, true, 0, 16, 0, false, false},
    {"gray_alpha8", "-define png:color-type=4 -define png:bit-depth=8", true, true, 0, 8, 4, false, false},
    {"palette", "PNG8:", false, false, 5, 8, 3, false, false},
    {"palette_trns", "PNG8:", true, false, 5, 8, 3, true, false},
    {"rgb8", "PNG24:", false, false, 0, 8, 2, false, false},
    {"rgba8", "PNG32:", true, false, 0, 8, 6, false, false},
    {"rgb16", "PNG48:", false, false, 0, 16, 2, false, false},
    {"rgba16", "PNG64:", true, false, 0, 16, 6, false, false},
    {"rgb8_interlaced", "-interlace PNG PNG24:", false, false, 0, 8, 2, false, true},
    {"rgba8_interlaced", "-interlace PNG PNG32:", true, false, 0, 8, 6, false, true},
    {"gray4_interlaced", "-interlace PNG -define png:color-type=0 -define png:bit-depth=4", false, true, 16, 4, 0, false, true},
    {"palette_trns_interlaced", "-interlace PNG PNG8:", true, false, 5, 8, 3, true, true},
};

INSTANTIATE_TEST_SUITE_P(Files, ImageMagickPng, ::testing::ValuesIn(kMagickCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Files written by netpbm: small palettes and transparency chunks ----------

// A PAM file as netpbm's pngtopam writes it, reduced to 8-bit RGBA.
bool ParsePam(const std::string& bytes, Decoded& out) {
  size_t end = bytes.find("ENDHDR\n");
  if (bytes.rfind("P7\n", 0) != 0 || end == std::string::npos) return false;
  int depth = 0, maxval = 0;
  std::string tuple;
  size_t pos = 3;
  while (pos < end) {
    size_t nl = bytes.find('\n', pos);
    std::string line = bytes.substr(pos, nl - pos);
    char key[32] = {}, value[64] = {};
    if (std::sscanf(line.c_str(), "%31s %63s", key, value) == 2) {
      std::string k = key;
      if (k == "WIDTH") out.width = std::atoi(value);
      if (k == "HEIGHT") out.height = std::atoi(value);
      if (k == "DEPTH") depth = std::atoi(value);
      if (k == "MAXVAL") maxval = std::atoi(value);
      if (k == "TUPLTYPE") tuple = value;
    }
    pos = nl + 1;
  }
  const size_t bytesPerSample = maxval > 255 ? 2 : 1;
  const size_t pixels = static_cast<size_t>(out.width) * out.height;
  const char* data = bytes.data() + end + 7;
  if (maxval <= 0 || (depth != 2 && depth != 4) || bytes.size() < end + 7 + pixels * depth * bytesPerSample)
    return false;
  out.rgba.resize(pixels * 4);
  for (size_t i = 0; i < pixels; ++i) {
    int v[4];
    for (int c = 0; c < depth; ++c) {
      const uint8_t* p = reinterpret_cast<const uint8_t*>(data) + (i * depth + c) * bytesPerSample;
      const int raw = bytesPerSample == 2 ? (p[0] << 8 | p[1]) : p[0];
      v[c] = bytesPerSample == 2 ? raw >> 8 : raw * 255 / maxval;  // 16-bit: the high byte
    }
    const bool gray = depth == 2;
    out.rgba[4 * i] = static_cast<uint8_t>(v[0]);
    out.rgba[4 * i + 1] = static_cast<uint8_t>(gray ? v[0] : v[1]);
    out.rgba[4 * i + 2] = static_cast<uint8_t>(gray ? v[0] : v[2]);
    out.rgba[4 * i + 3] = static_cast<uint8_t>(gray ? v[1] : v[3]);
  }
  return true;
}

struct NetpbmCase {
  const char* name;
  const char* options;  // for pnmtopng
  bool gray;            // a PGM source, else PPM
  int maxval;           // of the source
  int colors;           // distinct colours of a PPM source (0 = many)
  int bitDepth, colorType;
  bool trns;
};

// The source picture: few colours for the palette cases, smooth levels otherwise.
std::string NetpbmSource(const NetpbmCase& c, int w, int h) {
  std::string out = std::string(c.gray ? "P5\n" : "P6\n") + std::to_string(w) + " " + std::to_string(h) +
                    "\n" + std::to_string(c.maxval) + "\n";
  static const uint8_t kPalette[][3] = {{255, 0, 0}, {0, 0, 255}, {0, 255, 0}, {9, 9, 9},
                                        {200, 40, 100}, {17, 180, 3}, {90, 90, 250}, {255, 255, 0}};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      if (c.gray) {
        const int v = (x * 37 + y * 11) % (c.maxval + 1);
        if (c.maxval > 255) {
          out += static_cast<char>(v >> 8);
        }
        out += static_cast<char>(v & 0xFF);
      } else if (c.colors > 0) {
        const uint8_t* p = kPalette[(x + 2 * y) % c.colors];
        out.append(reinterpret_cast<const char*>(p), 3);
      } else {
        out += static_cast<char>(x * 6);
        out += static_cast<char>(y * 12);
        out += static_cast<char>(x * y);
      }
    }
  return out;
}

class NetpbmPng : public ::testing::TestWithParam<NetpbmCase> {};

TEST_P(NetpbmPng, ReadsTheSamePixelsAsPngtopam) {
  if (!testutil::HaveTool("/usr/bin/pnmtopng") || !testutil::HaveTool("/usr/bin/pngtopam"))
    GTEST_SKIP() << "netpbm is not installed";
  const NetpbmCase& c = GetParam();
  testutil::TempDir dir;
  const std::string src = dir.File("source.pnm"), png = dir.File("fixture.png"), pam = dir.File("decoded.pam");
  testutil::WriteFileBytes(src, NetpbmSource(c, 40, 20));
  auto r = testutil::RunCommand("/usr/bin/pnmtopng " + std::string(c.options) + " '" + src + "' > '" + png + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  PngHeader h = ReadHeader(testutil::ReadFileBytes(png));
  ASSERT_EQ(h.bitDepth, c.bitDepth);
  ASSERT_EQ(h.colorType, c.colorType);
  ASSERT_EQ(h.hasTrns, c.trns);
  // The reference decoding is pngtopam's, except for an RGB file whose tRNS
  // names a colour: this netpbm marks a different pixel transparent than the
  // one of that colour, so ImageMagick decides there.
  Decoded ref;
  if (c.colorType == 2 && c.trns) {
    if (!testutil::HaveTool(kConvert)) GTEST_SKIP() << "ImageMagick is not installed";
    ASSERT_TRUE(DecodeWithImageMagick(png, dir, ref));
  } else {
    r = testutil::RunCommand("/usr/bin/pngtopam -alphapam '" + png + "' > '" + pam + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(ParsePam(testutil::ReadFileBytes(pam), ref));
  }

  TImagingIO io;
  io.LoadFromFile(png);
  ASSERT_FALSE(io.Aborting);
  TPxBitmap& b = *io.Bitmap();
  ASSERT_EQ(b.Width(), ref.width);
  ASSERT_EQ(b.Height(), ref.height);
  std::vector<TBGR> px = Colors(b);
  std::vector<uint8_t> alpha = AlphaValues(b);
  int mismatches = 0;
  for (size_t i = 0; i < px.size(); ++i) {
    const uint8_t* e = &ref.rgba[4 * i];
    if (px[i].r != e[0] || px[i].g != e[1] || px[i].b != e[2] || alpha[i] != e[3]) {
      if (++mismatches <= 3)
        ADD_FAILURE() << "pixel " << i << ": ours " << int(px[i].r) << "," << int(px[i].g) << ","
                      << int(px[i].b) << "," << int(alpha[i]) << " pngtopam " << int(e[0]) << ","
                      << int(e[1]) << "," << int(e[2]) << "," << int(e[3]);
    }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(b.AlphaChannel()->FullAlpha(), !c.trns);

  // Written again with the parameters it was read with, the file keeps its pixels.
  const std::string rewritten = dir.File("again.png");
  io.SaveToFile(rewritten);
  ASSERT_FALSE(io.Aborting);
  TImagingIO back;
  back.LoadFromFile(rewritten);
  ASSERT_FALSE(back.Aborting);
  // Transparency comes back too; a palette file keeps the background colour
  // in its transparent entry, so only opaque pixels keep their colour.
  EXPECT_EQ(AlphaValues(*back.Bitmap()), alpha);
  std::vector<TBGR> again = Colors(*back.Bitmap());
  ASSERT_EQ(again.size(), px.size());
  int changed = 0;
  for (size_t i = 0; i < px.size(); ++i) changed += alpha[i] == 255 && !(again[i] == px[i]);
  EXPECT_EQ(changed, 0);
}

const NetpbmCase kNetpbmCases[] = {
    {"palette1_two_colours", "", false, 255, 2, 1, 3, false},
    {"palette1_transparent", "-transparent red", false, 255, 2, 1, 3, true},
    {"palette1_transparent_interlaced", "-interlace -transparent red", false, 255, 2, 1, 3, true},
    {"palette2", "", false, 255, 4, 2, 3, false},
    {"palette2_transparent", "-transparent rgb:00/ff/00", false, 255, 4, 2, 3, true},
    {"palette4", "", false, 255, 8, 4, 3, false},
    {"rgb_transparent_colour", "-transparent rgb:06/0c/01", false, 255, 0, 8, 2, true},
    {"rgb_transparent_colour_interlaced", "-interlace -transparent rgb:06/0c/01", false, 255, 0, 8, 2, true},
    {"gray2", "", true, 3, 0, 2, 0, false},
    {"gray2_transparent_level", "-transparent rgb:55/55/55", true, 3, 0, 2, 0, true},
    {"gray8_transparent_level", "-transparent rgb:25/25/25", true, 255, 0, 8, 0, true},
    {"gray16", "", true, 65535, 0, 16, 0, false},
};

INSTANTIATE_TEST_SUITE_P(Files, NetpbmPng, ::testing::ValuesIn(kNetpbmCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Round trips through our writer and reader -------------------------------

struct RoundTripCase {
  const char* name;
  TPxPixelFormat format;
  int samplesPerPixel, bitsPerSample;
  bool alpha;
  bool interlaced;
  int fileBitDepth, fileColorType;
  // Channel bits kept (0 = all), for few enough colours that a palette holds them exactly.
  uint8_t colorMask = 0;
};

class PngRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(PngRoundTrip, ReadsBackWhatWasWrittenAndImageMagickAgrees) {
  const RoundTripCase& c = GetParam();
  testutil::TempDir dir;
  const std::string file = dir.File("round.png");

  TPxBitmap source;
  {
    auto pic = MakePicture(41, 17, c.format);
    ASSERT_TRUE(source.Assign(*pic));
  }
  if (c.colorMask) {
    for (int y = 0; y < source.Height(); ++y) {
      uint8_t* row = source.Scanline(y);
      for (int i = 0; i < source.Width() * 3; ++i) row[i] &= c.colorMask;
    }
  }
  if (c.alpha) AddAlpha(source);
  TImagingIO writer;
  writer.SetTargetBitmap(&source);
  writer.Params.SamplesPerPixel = c.samplesPerPixel;
  writer.Params.BitsPerSample = c.bitsPerSample;
  writer.Params.PngInterlaced = c.interlaced;
  writer.Params.PngBackground = MakeBGR(10, 200, 30);
  writer.SaveToFile(file);
  ASSERT_FALSE(writer.Aborting);

  PngHeader h = ReadHeader(testutil::ReadFileBytes(file));
  EXPECT_EQ(h.bitDepth, c.fileBitDepth);
  EXPECT_EQ(h.colorType, c.fileColorType);
  EXPECT_EQ(h.interlace, c.interlaced ? 1 : 0);

  TImagingIO reader;
  reader.LoadFromFile(file);
  ASSERT_FALSE(reader.Aborting);
  TPxBitmap& back = *reader.Bitmap();
  ASSERT_EQ(back.Width(), source.Width());
  ASSERT_EQ(back.Height(), source.Height());
  EXPECT_EQ(reader.Params.PngInterlaced, c.interlaced);

  // What the file should hold: the picture's colours (gray formats keep
  // their high byte), and for a palette with alpha, the background where the
  // picture is not opaque.
  std::vector<TBGR> expected = Colors(source);
  if (c.format == px16g) {
    for (int y = 0, i = 0; y < source.Height(); ++y)
      for (int x = 0; x < source.Width(); ++x, ++i) {
        uint16_t v;
        std::memcpy(&v, source.Scanline(y) + 2 * x, 2);
        uint8_t g = static_cast<uint8_t>(v >> 8);
        expected[i] = MakeBGR(g, g, g);
      }
  }
  std::vector<uint8_t> expectedAlpha = AlphaValues(source);
  if (c.alpha && c.fileColorType == 3) {
    for (size_t i = 0; i < expected.size(); ++i)
      if (expectedAlpha[i] != 255) {
        expected[i] = MakeBGR(10, 200, 30);
        expectedAlpha[i] = 0;
      }
  }
  EXPECT_EQ(Colors(back), expected);
  EXPECT_EQ(AlphaValues(back), expectedAlpha);

  if (!testutil::HaveTool(kConvert)) return;
  Decoded ref;
  ASSERT_TRUE(DecodeWithImageMagick(file, dir, ref));
  ASSERT_EQ(ref.width, source.Width());
  std::vector<TBGR> px = Colors(back);
  std::vector<uint8_t> alpha = AlphaValues(back);
  int mismatches = 0;
  for (size_t i = 0; i < px.size(); ++i) {
    const uint8_t* e = &ref.rgba[4 * i];
    if (px[i].r != e[0] || px[i].g != e[1] || px[i].b != e[2] || alpha[i] != e[3]) ++mismatches;
  }
  EXPECT_EQ(mismatches, 0);
}

const RoundTripCase kRoundTrips[] = {
    {"rgb24", pxRGB24, 3, 8, false, false, 8, 2},
    {"rgb24_interlaced", pxRGB24, 3, 8, false, true, 8, 2},
    {"rgb24_alpha", pxRGB24, 3, 8, true, false, 8, 6},
    {"rgb24_alpha_interlaced", pxRGB24, 3, 8, true, true, 8, 6},
    {"rgb24_palette_alpha", pxRGB24, 1, 8, true, false, 8, 3, 0xC0},
    {"rgb24_palette", pxRGB24, 1, 8, false, false, 8, 3, 0xC0},
    {"rgb24_palette_4bit", pxRGB24, 1, 4, false, false, 4, 3, 0x80},
    {"rgb24_palette_interlaced", pxRGB24, 1, 8, false, true, 8, 3, 0xC0},
    {"gray8", px8g, 1, 8, false, false, 8, 0},
    {"gray8_alpha", px8g, 1, 8, true, false, 8, 4},
    {"gray8_alpha_interlaced", px8g, 1, 8, true, true, 8, 4},
    {"gray8_as_rgb", px8g, 3, 8, false, false, 8, 2},
    {"gray16", px16g, 1, 16, false, false, 16, 0},
    {"bw1", px1g, 1, 1, false, false, 1, 0},
    {"bw1_interlaced", px1g, 1, 1, false, true, 1, 0},
    {"palette8", px8p, 1, 8, false, false, 8, 3},
    {"palette8_as_rgb", px8p, 3, 8, false, false, 8, 2},
    {"float_as_rgb", px32f, 3, 8, false, false, 8, 2},
    {"cmyk_as_rgb", pxCMYK, 3, 8, false, false, 8, 2},
    {"rgb48_as_rgb", pxRGB48, 3, 8, false, false, 8, 2},
};

INSTANTIATE_TEST_SUITE_P(Formats, PngRoundTrip, ::testing::ValuesIn(kRoundTrips),
                         [](const auto& info) { return std::string(info.param.name); });

// --- What a read leaves in the buffer and the parameters ---------------------

// A PNG written by us in memory.
std::vector<uint8_t> WriteToMemory(TPxBitmap& b, TIOParamsVals& params, const TPxMask* mask = nullptr) {
  TPxMemoryStream s;
  bool aborting = false;
  TPxProgress p;
  p.Aborting = &aborting;
  WritePngStream(s, &b, params, mask, p);
  EXPECT_FALSE(aborting);
  return s.Data();
}

TEST(PngRead, PaletteFileIsColourOrNativePalette) {
  auto pic = MakePicture(20, 9, px8p);
  TIOParamsVals params;
  params.SamplesPerPixel = 1;
  std::vector<uint8_t> file = WriteToMemory(*pic, params);
  ASSERT_EQ(ReadHeader(std::string(file.begin(), file.end())).colorType, 3);

  for (bool native : {false, true}) {
    SCOPED_TRACE(native ? "native" : "converted");
    TImagingIO io;
    io.SetNativePixelFormat(native);
    TPxMemoryStream s(file);
    io.LoadFromStream(s);
    ASSERT_FALSE(io.Aborting);
    EXPECT_EQ(io.Bitmap()->PixelFormat(), native ? px8p : pxRGB24);
    EXPECT_EQ(Colors(*io.Bitmap()), Colors(*pic));
    EXPECT_EQ(io.Params.ColorMapCount, 40);
    ASSERT_EQ(io.Params.ColorMap.size(), 40u);
    EXPECT_EQ(io.Params.FileType, ioPNG);
  }
}

TEST(PngRead, SixteenBitGrayKeepsItsBitDepthInParams) {
  auto pic = MakePicture(8, 8, px16g);
  TIOParamsVals params;
  params.SamplesPerPixel = 1;
  params.BitsPerSample = 16;
  std::vector<uint8_t> file = WriteToMemory(*pic, params);
  TImagingIO io;
  TPxMemoryStream s(file);
  io.LoadFromStream(s);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Bitmap()->PixelFormat(), pxRGB24);
  EXPECT_EQ(io.Params.BitsPerSample, 16);
  EXPECT_EQ(io.Params.SamplesPerPixel, 1);
}

TEST(PngRead, ResolutionTextAndBackgroundSurviveARoundTrip) {
  testutil::TempDir dir;
  auto pic = MakePicture(12, 7, pxRGB24);
  TImagingIO io;
  io.SetTargetBitmap(pic.get());
  io.Params.SetDpi(300, 72);
  io.Params.PngTextKeys = {"Title", "Comment"};
  io.Params.PngTextValues = {"A picture", "Two words"};
  io.Params.PngBackground = MakeBGR(1, 2, 3);
  const std::string file = dir.File("meta.png");
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting);

  // pHYs holds round(dpi * 100 / 2.54) pixels per metre, unit metre.
  std::string bytes = testutil::ReadFileBytes(file);
  size_t at = bytes.find("pHYs");
  ASSERT_NE(at, std::string::npos);
  auto be32 = [&](size_t p) {
    return (uint32_t(uint8_t(bytes[p])) << 24) | (uint32_t(uint8_t(bytes[p + 1])) << 16) |
           (uint32_t(uint8_t(bytes[p + 2])) << 8) | uint8_t(bytes[p + 3]);
  };
  EXPECT_EQ(be32(at + 4), 11811u);
  EXPECT_EQ(be32(at + 8), 2835u);
  EXPECT_EQ(uint8_t(bytes[at + 12]), 1);

  TImagingIO params;
  params.ReadParamsFromFile(file);
  EXPECT_EQ(params.Params.FileType, ioPNG);
  EXPECT_EQ(params.Params.DpiX, 300);
  EXPECT_EQ(params.Params.DpiY, 72);
  EXPECT_EQ(params.Params.Width, 12);
  EXPECT_EQ(params.Params.Height, 7);
  EXPECT_EQ(params.Params.PngTextKeys, (std::vector<std::string>{"Title", "Comment"}));
  EXPECT_EQ(params.Params.PngTextValues, (std::vector<std::string>{"A picture", "Two words"}));
  EXPECT_EQ(params.Params.PngBackground, MakeBGR(1, 2, 3));
  EXPECT_TRUE(params.Bitmap()->IsEmpty());  // parameters only

  if (testutil::HaveTool("/usr/bin/identify")) {
    auto r = testutil::RunCommand("/usr/bin/identify -units PixelsPerInch -format '%x %y %[Title]' '" + file + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("A picture"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.rfind("300", 0), 0u) << r.output;
  }
}

// Removes one chunk (length, type, data, CRC) from a PNG file's bytes.
std::vector<uint8_t> WithoutChunk(std::vector<uint8_t> f, const char* type) {
  std::string s(f.begin(), f.end());
  size_t at = s.find(type);
  if (at == std::string::npos || at < 4) return f;
  uint32_t len = (uint32_t(f[at - 4]) << 24) | (uint32_t(f[at - 3]) << 16) | (uint32_t(f[at - 2]) << 8) | f[at - 1];
  f.erase(f.begin() + static_cast<long>(at - 4), f.begin() + static_cast<long>(at + 8 + len));
  return f;
}

TEST(PngRead, CompositingBlendsAlphaOntoTheFileOrTheGivenBackground) {
  auto pic = MakePicture(10, 4, pxRGB24);
  AddAlpha(*pic);
  TPxMask mask;
  ASSERT_TRUE(pic->AlphaToMask(mask));
  TIOParamsVals params;
  params.PngBackground = MakeBGR(0, 0, 255);  // written as bKGD
  const std::vector<uint8_t> withBkgd = WriteToMemory(*pic, params, &mask);

  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    TBGR expected;
  } cases[] = {
      {"file background", withBkgd, MakeBGR(0, 0, 255)},
      {"given background", WithoutChunk(withBkgd, "bKGD"), MakeBGR(255, 0, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPxMemoryStream s(c.file);
    TPxBitmap out;
    TIOParamsVals readParams;
    readParams.PngBackground = MakeBGR(255, 0, 0);
    std::unique_ptr<TPxMask> none;
    bool aborting = false;
    TPxProgress p;
    p.Aborting = &aborting;
    ReadPngStream(s, &out, readParams, true, none, false, p);
    ASSERT_FALSE(aborting);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(readParams.PngBackground, c.expected);
    std::vector<TBGR> src = Colors(*pic), got = Colors(out);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 10; ++x) {
        const double a = pic->Alpha(x, y) / 255.0;
        const TBGR& g = got[y * 10 + x];
        const TBGR& o = src[y * 10 + x];
        // Gamma 1: plain linear blending, within rounding.
        EXPECT_NEAR(g.r, o.r * a + c.expected.r * (1 - a), 1.0);
        EXPECT_NEAR(g.g, o.g * a + c.expected.g * (1 - a), 1.0);
        EXPECT_NEAR(g.b, o.b * a + c.expected.b * (1 - a), 1.0);
      }
  }
}

// --- Damaged files -------------------------------------------------------------

uint32_t Crc(const std::string& bytes, size_t from, size_t count) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + from), static_cast<uInt>(count)));
}

std::string ValidPng() {
  auto pic = MakePicture(64, 48, pxRGB24);
  TIOParamsVals params;
  params.PngCompression = 9;
  std::vector<uint8_t> f = WriteToMemory(*pic, params);
  return std::string(f.begin(), f.end());
}

void PutBE32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// IHDR with new width and height and a correct CRC, so that only the size is wrong.
std::string WithSize(std::string s, uint32_t w, uint32_t h) {
  PutBE32(s, 16, w);
  PutBE32(s, 20, h);
  PutBE32(s, 29, Crc(s, 12, 17));
  return s;
}

struct DamageCase {
  const char* name;
  std::string (*make)();
  bool headerBroken;  // the parameters cannot be read either
};

const DamageCase kDamage[] = {
    {"truncated_in_signature", [] { return ValidPng().substr(0, 6); }, true},
    {"truncated_after_header", [] { return ValidPng().substr(0, 33); }, true},
    {"truncated_in_image_data", [] { std::string s = ValidPng(); return s.substr(0, s.size() / 2); }, false},
    {"truncated_before_end_chunk", [] { std::string s = ValidPng(); return s.substr(0, s.size() - 12); }, false},
    {"image_data_crc_broken", [] {
       std::string s = ValidPng();
       size_t at = s.find("IDAT");
       s[at + 20] = static_cast<char>(s[at + 20] ^ 0x55);
       return s;
     }, false},
    {"header_crc_broken", [] { std::string s = ValidPng(); s[29] ^= 1; return s; }, true},
    {"size_beyond_any_buffer", [] { return WithSize(ValidPng(), 0x7FFFFFFF, 0x7FFFFFFF); }, true},
    {"size_claims_far_more_data_than_present", [] { return WithSize(ValidPng(), 900000, 900000); }, false},
    // Within the buffer's limits, but no deflate stream this short holds that
    // much: refused before anything is allocated.
    {"size_far_beyond_what_the_data_can_hold", [] { return WithSize(ValidPng(), 40000, 40000); }, false},
    {"size_larger_than_the_data", [] { return WithSize(ValidPng(), 64, 4800); }, false},
    {"zero_width", [] { return WithSize(ValidPng(), 0, 48); }, true},
    {"bad_colour_type", [] {
       std::string s = ValidPng();
       s[25] = 5;
       PutBE32(s, 29, Crc(s, 12, 17));
       return s;
     }, true},
};

class PngDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(PngDamage, EndsWithAbortingThroughEveryEntryPoint) {
  const std::string bytes = GetParam().make();
  testutil::TempDir dir;
  const std::string file = dir.File("damaged.png");
  testutil::WriteFileBytes(file, bytes);

  TImagingIO io;
  int finished = 0;
  io.OnFinishWork = [&](TImagingIO*) { ++finished; };
  io.LoadFromFile(file);
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(finished, 1);

  TImagingIO params;
  params.ReadParamsFromFile(file);
  if (GetParam().headerBroken) EXPECT_EQ(params.Params.FileType, 0);
  else EXPECT_EQ(params.Params.FileType, ioPNG);

  TPxMemoryStream s(bytes.data(), bytes.size());
  TImagingIO stream;
  stream.LoadFromStreamAsType(s, ioPNG);
  EXPECT_TRUE(stream.Aborting);
}

INSTANTIATE_TEST_SUITE_P(Files, PngDamage, ::testing::ValuesIn(kDamage),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PngDamage, SizesTheDataCannotHoldAreRefusedBeforeAllocating) {
  for (uint32_t side : {40000u, 900000u, 0x7FFFFFFFu}) {
    SCOPED_TRACE(side);
    const std::string bytes = WithSize(ValidPng(), side, side);
    TPxMemoryStream s(bytes.data(), bytes.size());
    TImagingIO io;
    io.LoadFromStream(s);
    EXPECT_TRUE(io.Aborting);
    EXPECT_TRUE(io.Bitmap()->IsEmpty());
    EXPECT_FALSE(io.Bitmap()->HasAlphaChannel());
  }
}

TEST(PngDamage, RowsBeforeTheDamageAreKept) {
  auto pic = MakePicture(64, 200, pxRGB24);
  TIOParamsVals params;
  params.PngCompression = 0;  // stored: the data breaks off near the middle row
  std::vector<uint8_t> f = WriteToMemory(*pic, params);
  f.resize(f.size() / 2);
  TImagingIO io;
  TPxMemoryStream s(f);
  io.LoadFromStream(s);
  EXPECT_TRUE(io.Aborting);
  ASSERT_EQ(io.Bitmap()->Width(), 64);
  std::vector<TBGR> got = Colors(*io.Bitmap()), want = Colors(*pic);
  // libpng takes image data in blocks of a few kilobytes: the rows of the
  // blocks before the cut (at least the first fifth) are complete.
  EXPECT_TRUE(std::equal(want.begin(), want.begin() + 64 * 40, got.begin()));
}

TEST(PngWrite, ShortWriteSetsAbortingWithoutException) {
  // A stream that takes only the first few hundred bytes.
  class Full : public TPxMemoryStream {
   public:
    int64_t Write(const void* b, int64_t n) override {
      if (Size() + n > 300) return 0;
      return TPxMemoryStream::Write(b, n);
    }
  };
  auto pic = MakePicture(64, 48, pxRGB24);
  Full s;
  TIOParamsVals params;
  bool aborting = false;
  TPxProgress p;
  p.Aborting = &aborting;
  EXPECT_NO_THROW(WritePngStream(s, pic.get(), params, nullptr, p));
  EXPECT_TRUE(aborting);
}

TEST(PngWrite, ProgressRunsToOneHundredOverAllPasses) {
  auto pic = MakePicture(16, 40, pxRGB24);
  for (bool interlaced : {false, true}) {
    TImagingIO io;
    io.SetTargetBitmap(pic.get());
    io.Params.PngInterlaced = interlaced;
    std::vector<int> seen;
    io.OnProgress = [&](TImagingIO*, int per) { seen.push_back(per); };
    TPxMemoryStream s;
    io.SaveToStream(s, ioPNG);
    ASSERT_FALSE(io.Aborting);
    ASSERT_GE(seen.size(), 10u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 100);
    // Halfway through the rows of all passes, not of the first one.
    EXPECT_LE(seen[seen.size() / 2], 60);
  }
}

}  // namespace
