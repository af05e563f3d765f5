// GIF reading and writing against ImageMagick: files it writes (palette
// sizes, interlacing, transparency, animations with delays, disposal and
// local palettes) read pixel for pixel as it decodes them, frames composed as
// its coalescing composes them, and files we write read back by it with the
// same pixels and parameters.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "gifbuilder.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/gif.h"
#include "imaging/io/imagingio.h"
#include "util/oracle.h"
#include "util/testutil.h"

namespace {

using testutil::Shell;

const std::string kConvert = "/usr/bin/convert";
const std::string kIdentify = "/usr/bin/identify";

using testutil::RgbaImage;

RgbaImage OurRgba(const TPxBitmap& b) { return testutil::BitmapRgba(b); }

// ImageMagick's decoding of the file's first image, of the size we expect.
RgbaImage ImRgba(const std::string& file, int width, int height) {
  RgbaImage r;
  EXPECT_TRUE(testutil::ImageMagickRgba(file, r)) << file;
  EXPECT_EQ(r.width, width);
  EXPECT_EQ(r.height, height);
  return r;
}

// ImageMagick's frames composed over each other, one per image of the file.
std::vector<RgbaImage> ImCoalesced(const testutil::TempDir& dir, const std::string& file, int width,
                              int height, int frames) {
  Shell(kConvert + " '" + file + "' -coalesce +adjoin -depth 8 rgba:" + dir.File("frame-%d.rgba"));
  std::vector<RgbaImage> out;
  for (int i = 0; i < frames; ++i) {
    RgbaImage r;
    r.width = width;
    r.height = height;
    const std::string bytes = testutil::ReadFileBytes(dir.File("frame-" + std::to_string(i) + ".rgba"));
    r.rgba.assign(bytes.begin(), bytes.end());
    EXPECT_EQ(r.rgba.size(), size_t(width) * height * 4);
    out.push_back(std::move(r));
  }
  return out;
}

// Equal alpha everywhere and equal colour where a pixel is not transparent:
// unlike testutil::RgbaDifference, for a transparent pixel's colour is
// nobody's business (ImageMagick clears a restored area to transparent black,
// we to the transparent background colour). Reports the first difference.
void ExpectSamePixels(const RgbaImage& ours, const RgbaImage& theirs) {
  ASSERT_EQ(ours.width, theirs.width);
  ASSERT_EQ(ours.height, theirs.height);
  ASSERT_EQ(ours.rgba.size(), theirs.rgba.size());
  for (size_t i = 0; i < ours.rgba.size(); i += 4) {
    const int x = static_cast<int>((i / 4) % ours.width), y = static_cast<int>((i / 4) / ours.width);
    ASSERT_EQ(ours.rgba[i + 3], theirs.rgba[i + 3]) << "alpha at " << x << "," << y;
    if (ours.rgba[i + 3] == 0) continue;
    ASSERT_TRUE(std::equal(ours.rgba.begin() + i, ours.rgba.begin() + i + 3, theirs.rgba.begin() + i))
        << "colour at " << x << "," << y << ": ours " << int(ours.rgba[i]) << " " << int(ours.rgba[i + 1])
        << " " << int(ours.rgba[i + 2]) << ", theirs " << int(theirs.rgba[i]) << " "
        << int(theirs.rgba[i + 1]) << " " << int(theirs.rgba[i + 2]);
  }
}

struct Read {
  TPxBitmap bitmap;
  TIOParamsVals params;
  bool aborting = false;
};

// The format table's read (frames composed), or the parameters-only read.
std::unique_ptr<Read> ReadFile(const std::string& path, int index = 0, bool paramsOnly = false,
                               bool native = false) {
  auto r = std::make_unique<Read>();
  r->params.GifImageIndex = index;
  r->params.NativePixelFormat = native;
  TPxFileStream stream(path, TPxFileStream::fmOpenRead);
  TPxProgress progress;
  progress.Aborting = &r->aborting;
  ReadGifRow(stream, &r->bitmap, r->params, paramsOnly, progress);
  return r;
}

void WriteFile(const std::string& path, TPxBitmap& bitmap, TIOParamsVals& params,
               bool* aborted = nullptr) {
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  {
    TPxFileStream stream(path, TPxFileStream::fmCreate);
    WriteGifRow(stream, &bitmap, params, progress);
    stream.Close();
  }
  if (aborted) *aborted = aborting;
  else EXPECT_FALSE(aborting) << path;
}

// One line of `identify -format` per frame.
std::vector<std::string> Identify(const std::string& format, const std::string& file) {
  std::istringstream lines(Shell(kIdentify + " -format '" + format + "\\n' '" + file + "'"));
  std::vector<std::string> out;
  for (std::string line; std::getline(lines, line);) out.push_back(line);
  return out;
}

int DisposalNumber(const std::string& name) {
  if (name == "None") return 1;
  if (name == "Background") return 2;
  if (name == "Previous") return 3;
  return 0;
}

class GifWithImageMagick : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testutil::HaveTool(kConvert) || !testutil::HaveTool(kIdentify))
      GTEST_SKIP() << "ImageMagick is not installed";
  }
  testutil::TempDir dir_;
};

// --- Still images written by ImageMagick ------------------------------------

struct StillCase {
  const char* name;
  const char* arguments;  // ImageMagick's, before the output file
  TPxPixelFormat format;  // what we read it as
  bool interlaced;
  bool transparent;       // some pixel is transparent
  const char* version;
  const char* prefix = "";  // ImageMagick's output format
};

const StillCase kStills[] = {
    {"palette-256", "rose: -colors 256", pxRGB24, false, false, "GIF89a"},
    {"palette-16", "rose: -colors 16", pxRGB24, false, false, "GIF89a"},
    {"palette-2-colours", "rose: -colors 2", pxRGB24, false, false, "GIF89a"},
    {"bilevel", "-size 37x23 pattern:checkerboard -monochrome", px1g, false, false, "GIF89a"},
    {"bilevel-width-9", "-size 9x5 pattern:gray50 -monochrome", px1g, false, false, "GIF89a"},
    {"interlaced", "rose: -colors 64 -interlace GIF", pxRGB24, true, false, "GIF89a"},
    {"interlaced-3-rows", "rose: -resize 20x3! -colors 8 -interlace GIF", pxRGB24, true, false,
     "GIF89a"},
    {"transparent", "rose: -colors 32 -fuzz 8% -transparent white", pxRGB24, false, true,
     "GIF89a"},
    {"plasma-640x480", "-seed 5 -size 640x480 plasma:fractal -colors 256", pxRGB24, false,
     false, "GIF89a"},
    {"gray-ramp", "-size 256x40 gradient:black-white -colors 256", pxRGB24, false, false,
     "GIF89a"},
    {"gif87a", "rose: -colors 8", pxRGB24, false, false, "GIF87a", "GIF87:"},
};

class GifStill : public GifWithImageMagick, public ::testing::WithParamInterface<StillCase> {};

TEST_P(GifStill, ReadsAsImageMagickDecodesIt) {
  const StillCase& c = GetParam();
  const std::string file = dir_.File("still.gif");
  Shell(kConvert + " " + c.arguments + " " + c.prefix + file);
  const std::vector<std::string> size = Identify("%w %h", file);
  ASSERT_EQ(size.size(), 1u);
  int w = 0, h = 0;
  std::istringstream(size[0]) >> w >> h;

  // The palette bits, from the screen descriptor as the file has it.
  const std::string bytes = testutil::ReadFileBytes(file);
  const int bits = (bytes.at(10) & 7) + 1;

  std::unique_ptr<Read> r = ReadFile(file);
  ASSERT_FALSE(r->aborting);
  EXPECT_EQ(r->bitmap.PixelFormat(), c.format);
  EXPECT_EQ(r->params.Width, w);
  EXPECT_EQ(r->params.Height, h);
  EXPECT_EQ(r->params.BitsPerSample, bits);
  EXPECT_EQ(r->params.ColorMapCount, 1 << bits);
  EXPECT_EQ(r->params.GifInterlaced, c.interlaced);
  EXPECT_EQ(r->params.GifVersion, c.version);
  EXPECT_EQ(r->params.GifImageCount, 1);
  EXPECT_EQ(r->params.SamplesPerPixel, 1);
  EXPECT_EQ(r->bitmap.HasAlphaChannel(), c.transparent);
  EXPECT_EQ(r->params.GifFlagTranspColor, c.transparent);
  ExpectSamePixels(OurRgba(r->bitmap), ImRgba(file, w, h));

  // The parameters alone: the same size and palette, the bitmap untouched.
  std::unique_ptr<Read> p = ReadFile(file, 0, true);
  EXPECT_FALSE(p->aborting);
  EXPECT_TRUE(p->bitmap.IsEmpty());
  EXPECT_EQ(p->params.Width, w);
  EXPECT_EQ(p->params.Height, h);
  EXPECT_EQ(p->params.BitsPerSample, bits);
  EXPECT_EQ(p->params.ColorMap, r->params.ColorMap);

  // Native pixel format keeps the indices and the palette, except for black and white.
  std::unique_ptr<Read> n = ReadFile(file, 0, false, true);
  EXPECT_EQ(n->bitmap.PixelFormat(), c.format == px1g ? px1g : px8p);
  ExpectSamePixels(OurRgba(n->bitmap), OurRgba(r->bitmap));
}

INSTANTIATE_TEST_SUITE_P(Variants, GifStill, ::testing::ValuesIn(kStills),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

// --- Animations written by ImageMagick --------------------------------------

struct AnimationCase {
  const char* name;
  const char* arguments;  // ImageMagick's frames, before the output file
  int frames;
};

const AnimationCase kAnimations[] = {
    // The first frame is restored to the background before the second is drawn.
    {"disposal-background",
     "-size 40x30 -delay 10 -dispose Background xc:red -dispose None -page 40x30+5+5 -size 20x10 "
     "xc:blue -delay 35 -page +12+8 -size 10x10 xc:green",
     3},
    {"disposal-none-local-palettes",
     "-dispose None -delay 7 rose: -colors 16 -page +20+10 \\( -size 20x15 xc:yellow -fill purple "
     "-draw 'rectangle 3,3 12,9' \\) -page +0+30 \\( -size 70x6 gradient:orange-navy -colors 8 \\)",
     3},
    {"transparent-frames",
     "-dispose None rose: -colors 32 -page +0+0 \\( -size 70x46 xc:none -fill blue -draw 'circle "
     "35,23 35,8' \\) -dispose Background -page +10+10 \\( -size 30x20 xc:none -fill red -draw "
     "'rectangle 5,5 20,15' \\) -dispose None -page +0+0 \\( -size 10x10 xc:lime \\)",
     4},
    {"interlaced-frames",
     "-dispose None rose: -colors 64 -page +7+9 \\( -size 25x17 plasma:fractal -colors 16 \\) "
     "-interlace GIF",
     2},
};

class GifAnimation : public GifWithImageMagick,
                     public ::testing::WithParamInterface<AnimationCase> {};

TEST_P(GifAnimation, EveryFrameIsComposedAsImageMagickCoalescesIt) {
  const AnimationCase& c = GetParam();
  const std::string file = dir_.File("anim.gif");
  Shell(kConvert + " -seed 3 " + c.arguments + " " + file);
  const std::vector<std::string> info = Identify("%W %H %T %D %X %Y %w %h", file);
  ASSERT_EQ(static_cast<int>(info.size()), c.frames);
  int sw = 0, sh = 0;
  std::istringstream(info[0]) >> sw >> sh;
  const std::vector<RgbaImage> theirs = ImCoalesced(dir_, file, sw, sh, c.frames);
  for (int i = 0; i < c.frames; ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    std::unique_ptr<Read> r = ReadFile(file, i);
    ASSERT_FALSE(r->aborting);
    EXPECT_EQ(r->params.GifImageCount, c.frames);
    EXPECT_EQ(r->params.GifImageIndex, i);
    EXPECT_EQ(r->params.GifWinWidth, sw);
    EXPECT_EQ(r->params.GifWinHeight, sh);
    std::istringstream fields(info[i]);
    int ignore, delay, x, y, w, h;
    std::string disposal;
    fields >> ignore >> ignore >> delay >> disposal >> x >> y >> w >> h;
    EXPECT_EQ(r->params.GifDelayTime, delay);
    EXPECT_EQ(r->params.GifAction, DisposalNumber(disposal));
    EXPECT_EQ(r->params.GifXPos, x);
    EXPECT_EQ(r->params.GifYPos, y);
    EXPECT_EQ(r->params.Width, w);
    EXPECT_EQ(r->params.Height, h);
    ASSERT_TRUE(r->bitmap.HasAlphaChannel());
    ExpectSamePixels(OurRgba(r->bitmap), theirs[i]);
  }
  // An index beyond the last image composes them all.
  std::unique_ptr<Read> all = ReadFile(file, c.frames + 5);
  ASSERT_FALSE(all->aborting);
  EXPECT_EQ(all->params.GifImageIndex, c.frames + 5);
  ExpectSamePixels(OurRgba(all->bitmap), theirs.back());
}

INSTANTIATE_TEST_SUITE_P(Variants, GifAnimation, ::testing::ValuesIn(kAnimations),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

// The fixture of local palettes really has them: the second image descriptor
// carries the local table flag.
TEST_F(GifWithImageMagick, ImageMagickWritesLocalPalettesForFramesOfOtherColours) {
  const std::string file = dir_.File("anim.gif");
  Shell(kConvert + " " + kAnimations[1].arguments + " " + file);
  const std::string bytes = testutil::ReadFileBytes(file);
  int locals = 0;
  // Walk the blocks as the format lays them out.
  size_t p = 13;
  if (static_cast<uint8_t>(bytes[10]) & 0x80) p += 3u << ((bytes[10] & 7) + 1);
  while (p < bytes.size() && bytes[p] != 0x3B) {
    if (bytes[p] == 0x21) {
      p += 2;
      while (p < bytes.size() && bytes[p] != 0) p += 1 + static_cast<uint8_t>(bytes[p]);
      ++p;
    } else if (bytes[p] == 0x2C) {
      const uint8_t packed = static_cast<uint8_t>(bytes[p + 9]);
      p += 10;
      if (packed & 0x80) {
        ++locals;
        p += 3u << ((packed & 7) + 1);
      }
      ++p;  // code size
      while (p < bytes.size() && bytes[p] != 0) p += 1 + static_cast<uint8_t>(bytes[p]);
      ++p;
    } else {
      FAIL() << "unexpected block " << int(bytes[p]);
    }
  }
  EXPECT_GE(locals, 1);
}

// --- Files we write, read back by ImageMagick --------------------------------

uint8_t Noise(int x, int y, int c) {
  uint32_t h = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u ^ uint32_t(c + 1) * 83492791u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  return static_cast<uint8_t>(h >> 24);
}

enum class Content { FewColours, TwoColours, Photo };

std::unique_ptr<TPxBitmap> Picture(int w, int h, TPxPixelFormat pf, Content content) {
  auto b = std::make_unique<TPxBitmap>();
  EXPECT_TRUE(b->Allocate(w, h, pf));
  if (pf == px8p)
    for (int i = 0; i < 256; ++i)
      b->PaletteColor(i, MakeBGR(static_cast<uint8_t>(i * 5), static_cast<uint8_t>(255 - i),
                                 static_cast<uint8_t>(i * 37)));
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int x = 0; x < w; ++x) {
      const int k = (x / 3 + y / 2 * 7) % (content == Content::TwoColours ? 2 : 40);
      switch (pf) {
        case px1g:
          if ((x + y * 3) % 5 < 2) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
          else row[x >> 3] &= static_cast<uint8_t>(~(0x80 >> (x & 7)));
          break;
        case px8p: row[x] = static_cast<uint8_t>(k); break;
        case px8g: row[x] = static_cast<uint8_t>((x * 7 + y) & 0xFF); break;
        default:
          if (content == Content::Photo) {
            for (int c = 0; c < 3; ++c) row[3 * x + c] = Noise(x, y, c);
          } else {
            const TBGR col = MakeBGR(static_cast<uint8_t>(k * 6), static_cast<uint8_t>(200 - k * 3),
                                     static_cast<uint8_t>(k % 2 ? 250 : 10));
            std::memcpy(row + 3 * x, &col, 3);
          }
          break;
      }
    }
  }
  return b;
}

struct WriteCase {
  const char* name;
  TPxPixelFormat format;
  Content content;
  int width, height;
  int bits;
  bool interlaced;
  bool alpha;    // a transparent disc in the alpha plane
  bool exact;    // the picture's colours fit the palette
};

const WriteCase kWrites[] = {
    {"rgb24-40-colours-8-bits", pxRGB24, Content::FewColours, 61, 37, 8, false, false, true},
    {"rgb24-40-colours-6-bits", pxRGB24, Content::FewColours, 61, 37, 6, false, false, true},
    {"rgb24-2-colours-1-bit", pxRGB24, Content::TwoColours, 30, 20, 1, false, false, true},
    {"palette-8-bits", px8p, Content::FewColours, 50, 33, 8, false, false, true},
    {"palette-indices-beyond-4-bits", px8p, Content::FewColours, 50, 33, 4, false, false, false},
    {"bilevel-width-9", px1g, Content::FewColours, 9, 7, 1, false, false, true},
    {"bilevel-as-8-bits", px1g, Content::FewColours, 45, 20, 8, false, false, true},
    {"gray-8-bits", px8g, Content::FewColours, 256, 3, 8, false, false, true},
    {"interlaced", pxRGB24, Content::FewColours, 61, 37, 8, true, false, true},
    {"interlaced-5-rows", pxRGB24, Content::FewColours, 13, 5, 8, true, false, true},
    {"alpha-8-bits", pxRGB24, Content::FewColours, 40, 30, 8, false, true, true},
    {"alpha-1-bit", pxRGB24, Content::TwoColours, 40, 30, 1, false, true, true},
    {"photo-quantized", pxRGB24, Content::Photo, 300, 200, 8, false, false, false},
    // Large enough for the string table to fill and be cleared many times.
    {"photo-quantized-large-interlaced", pxRGB24, Content::Photo, 900, 700, 8, true, false, false},
};

class GifWrite : public GifWithImageMagick, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(GifWrite, ImageMagickReadsBackTheSamePixels) {
  const WriteCase& c = GetParam();
  std::unique_ptr<TPxBitmap> picture = Picture(c.width, c.height, c.format, c.content);
  if (c.alpha) {
    TPxBitmap* alpha = picture->AlphaChannel();
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < c.width; ++x) {
        const int dx = x - c.width / 2, dy = y - c.height / 2;
        if (dx * dx + dy * dy < 64) alpha->Scanline(y)[x] = (x % 2) ? 0 : 100;
      }
    alpha->SetFullAlpha(false);
  }
  TIOParamsVals params;
  params.BitsPerSample = c.bits;
  params.GifInterlaced = c.interlaced;
  params.GifDelayTime = 42;
  params.GifComments = {"written by the test", std::string(300, 'x')};
  const std::string file = dir_.File("ours.gif");
  WriteFile(file, *picture, params);

  const std::vector<std::string> info = Identify("%w %h %T %[interlace]", file);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0], std::to_string(c.width) + " " + std::to_string(c.height) + " 42 " +
                         (c.interlaced ? "GIF" : "None"));

  const RgbaImage theirs = ImRgba(file, c.width, c.height);
  std::unique_ptr<Read> back = ReadFile(file);
  ASSERT_FALSE(back->aborting);
  // Both decoders see the same file.
  ExpectSamePixels(OurRgba(back->bitmap), theirs);
  EXPECT_EQ(back->params.GifInterlaced, c.interlaced);
  EXPECT_EQ(back->params.GifDelayTime, 42);
  // The comments follow the image, where ImageMagick does not look for them;
  // a line longer than a sub-block comes back in pieces of 255.
  EXPECT_EQ(back->params.GifComments,
            (std::vector<std::string>{"written by the test", std::string(255, 'x'), std::string(45, 'x')}));

  // And it holds the picture: its own colours where they fit, transparency
  // wherever the alpha plane is below 255, otherwise a close palette.
  RgbaImage source = OurRgba(*picture);
  int64_t error = 0;
  for (size_t i = 0; i < source.rgba.size(); i += 4) {
    const bool clear = source.rgba[i + 3] < 255;
    ASSERT_EQ(theirs.rgba[i + 3], clear ? 0 : 255) << "pixel " << i / 4;
    if (clear) continue;
    for (int k = 0; k < 3; ++k) {
      const int d = std::abs(int(source.rgba[i + k]) - int(theirs.rgba[i + k]));
      if (c.exact) {
        ASSERT_EQ(d, 0) << "pixel " << i / 4;
      }
      error += d;
    }
  }
  if (!c.exact) {
    EXPECT_LT(error / static_cast<double>(source.rgba.size() / 4 * 3), 24.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, GifWrite, ::testing::ValuesIn(kWrites),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

// A 24-bit picture with transparency written with 8 bits: 255 colours and
// the transparent index 255, as the file's own bytes say.
TEST_F(GifWithImageMagick, TransparencyTakesTheLastIndexOfAFullPalette) {
  std::unique_ptr<TPxBitmap> picture = Picture(64, 64, pxRGB24, Content::Photo);
  picture->AlphaChannel()->Scanline(5)[5] = 0;
  picture->AlphaChannel()->SetFullAlpha(false);
  TIOParamsVals params;
  params.BitsPerSample = 8;
  const std::string file = dir_.File("ours.gif");
  WriteFile(file, *picture, params);
  const std::string bytes = testutil::ReadFileBytes(file);
  ASSERT_GT(bytes.size(), 13u + 768 + 8);
  EXPECT_EQ(static_cast<uint8_t>(bytes[10]), 0xF7);  // global table of 256 entries
  const size_t gce = 13 + 768;
  ASSERT_EQ(static_cast<uint8_t>(bytes[gce]), 0x21);
  ASSERT_EQ(static_cast<uint8_t>(bytes[gce + 1]), 0xF9);
  EXPECT_EQ(bytes[gce + 3] & 1, 1);
  EXPECT_EQ(static_cast<uint8_t>(bytes[gce + 6]), 255);
  EXPECT_TRUE(params.GifFlagTranspColor);
  // ImageMagick counts 255 colours and the transparent one.
  const std::vector<std::string> colours = Identify("%k", file);
  ASSERT_EQ(colours.size(), 1u);
  EXPECT_LE(std::stoi(colours[0]), 256);
  const RgbaImage theirs = ImRgba(file, 64, 64);
  EXPECT_EQ(theirs.rgba[(5 * 64 + 5) * 4 + 3], 0);
}

// Our own reader takes back what our writer wrote, parameters included.
TEST(GifRoundTrip, ParametersComeBack) {
  std::unique_ptr<TPxBitmap> picture = Picture(33, 21, pxRGB24, Content::FewColours);
  TIOParamsVals params;
  params.BitsPerSample = 7;
  params.GifXPos = 4;
  params.GifYPos = 9;
  params.GifDelayTime = 65535;
  params.GifVersion = "GIF87a";
  params.GifComments = {"one", "two"};
  TPxMemoryStream stream;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  WriteGifStream(stream, picture.get(), params, progress);
  ASSERT_FALSE(aborting);
  stream.SetPosition(0);
  EXPECT_TRUE(GifContentTest(stream));
  stream.SetPosition(0);
  TIOParamsVals back;
  TPxBitmap bitmap;
  ReadGifRow(stream, &bitmap, back, false, progress);
  ASSERT_FALSE(aborting);
  EXPECT_EQ(back.GifVersion, "GIF87a");
  EXPECT_EQ(back.BitsPerSample, 7);
  EXPECT_EQ(back.GifXPos, 4);
  EXPECT_EQ(back.GifYPos, 9);
  // The screen holds the image at its place.
  EXPECT_EQ(back.GifWinWidth, 37);
  EXPECT_EQ(back.GifWinHeight, 30);
  EXPECT_EQ(back.GifDelayTime, 65535);
  EXPECT_EQ(back.GifAction, 2);
  EXPECT_EQ(back.GifComments, (std::vector<std::string>{"one", "two"}));
  EXPECT_FALSE(back.GifFlagTranspColor);
  EXPECT_FALSE(bitmap.HasAlphaChannel());
  const RgbaImage a = OurRgba(*picture), b = OurRgba(bitmap);
  EXPECT_EQ(a.rgba, b.rgba);
}

// --- Through the input/output component --------------------------------------

TEST_F(GifWithImageMagick, TheComponentLoadsFramesAndTakesTheTransparentColour) {
  const std::string file = dir_.File("anim.gif");
  Shell(kConvert + " " + kAnimations[2].arguments + " " + file);
  TImagingIO io;
  io.Params.GifImageIndex = 1;
  io.LoadFromFile(file);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.FileType, ioGIF);
  EXPECT_EQ(io.Params.GifImageIndex, 1);
  EXPECT_EQ(io.Params.GifImageCount, 4);
  ASSERT_TRUE(io.Params.GifFlagTranspColor);
  EXPECT_EQ(io.Background(), PxBGRToColorRef(io.Params.GifTranspColor));
  const std::vector<RgbaImage> theirs = ImCoalesced(dir_, file, 70, 46, 4);
  ExpectSamePixels(OurRgba(*io.Bitmap()), theirs[1]);

  // Recognised by content whatever the name says; the parameters alone leave the picture.
  const std::string renamed = dir_.File("anim.jpg");
  testutil::WriteFileBytes(renamed, testutil::ReadFileBytes(file));
  EXPECT_EQ(TImagingIO::DetectFileType(renamed, false), ioGIF);
  TImagingIO other;
  other.Params.GifImageIndex = 3;
  other.LoadFromFileAuto(renamed);
  ASSERT_FALSE(other.Aborting);
  ExpectSamePixels(OurRgba(*other.Bitmap()), theirs[3]);
  other.ReadParamsFromFile(file);
  EXPECT_EQ(other.Params.FileType, ioGIF);
  EXPECT_EQ(other.Params.Width, 10);
  EXPECT_EQ(other.Params.Height, 10);
  EXPECT_EQ(other.Bitmap()->Width(), 70);
}

TEST_F(GifWithImageMagick, TheComponentSavesTransparencyAndPaletteIndices) {
  TImagingIO io;
  std::unique_ptr<TPxBitmap> picture = Picture(20, 10, px8p, Content::FewColours);
  TPxBitmap* alpha = picture->AlphaChannel();
  alpha->Scanline(4)[7] = 0;
  alpha->SetFullAlpha(false);
  io.SetTargetBitmap(picture.get());
  io.Params.BitsPerSample = 8;
  const std::string file = dir_.File("saved.gif");
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting);
  // The picture itself is not converted before the write.
  EXPECT_EQ(picture->PixelFormat(), px8p);
  const RgbaImage theirs = ImRgba(file, 20, 10);
  EXPECT_EQ(theirs.rgba[(4 * 20 + 7) * 4 + 3], 0);
  RgbaImage ours = OurRgba(*picture);
  for (size_t i = 0; i < ours.rgba.size(); i += 4)
    if (ours.rgba[i + 3] == 255) {
      ASSERT_TRUE(std::equal(ours.rgba.begin() + i, ours.rgba.begin() + i + 4, theirs.rgba.begin() + i));
    }
}

}  // namespace
