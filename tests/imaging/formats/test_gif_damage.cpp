// Damaged and hostile GIF files, put together byte by byte: each either
// refused (Aborting) or read as far as it can be, and never more than that.
// Also the edge cases of the format the files of other programs rarely show.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gifbuilder.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/gif.h"
#include "util/testutil.h"

namespace {

using gifbuilder::CodeStream;
using gifbuilder::File;
using gifbuilder::Rgb;

const std::vector<Rgb> kFour = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};

TBGR Bgr(const Rgb& c) { return MakeBGR(c.r, c.g, c.b); }

TBGR PixelAt(TPxBitmap& b, int x, int y) {
  const uint8_t* row = b.Scanline(y);
  switch (b.PixelFormat()) {
    case px1g: {
      const uint8_t v = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
      return TBGR{v, v, v};
    }
    case px8p: return b.PaletteColor(row[x]);
    default: {
      TBGR c;
      std::memcpy(&c, row + 3 * x, 3);
      return c;
    }
  }
}

struct Outcome {
  TPxBitmap bitmap;
  TIOParamsVals params;
  bool aborted = false;
};

std::unique_ptr<Outcome> Read(const std::vector<uint8_t>& bytes, int index = 0) {
  auto out = std::make_unique<Outcome>();
  out->params.GifImageIndex = index;
  TPxMemoryStream stream(bytes.data(), bytes.size());
  TPxProgress progress;
  progress.Aborting = &out->aborted;
  ReadGifRow(stream, &out->bitmap, out->params, false, progress);
  return out;
}

// A w x h image of four colours, index (x + y) mod 4.
std::vector<uint8_t> Diagonal(int w, int h) {
  std::vector<uint8_t> v;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) v.push_back(static_cast<uint8_t>((x + y) % 4));
  return v;
}

void ExpectDiagonal(Outcome& o, int fromRow = 0, int toRow = -1) {
  if (toRow < 0) toRow = o.bitmap.Height();
  for (int y = fromRow; y < toRow; ++y)
    for (int x = 0; x < o.bitmap.Width(); ++x)
      ASSERT_EQ(PixelAt(o.bitmap, x, y), Bgr(kFour[(x + y) % 4])) << x << "," << y;
}

struct DamageCase {
  const char* name;
  std::function<std::vector<uint8_t>()> make;
  int index;
  bool refused;                       // Aborting set
  std::function<void(Outcome&)> check;  // what was read
};

const DamageCase kCases[] = {
    {"lzw-code-beyond-table",
     [] {
       File f;
       f.Screen(4, 1, kFour);
       f.Descriptor(0, 0, 4, 1);
       CodeStream c(2);
       c.Clear();
       c.Code(1);
       c.Code(7);  // no string is defined yet: the next would be 6
       c.Code(3);
       c.End();
       f.Data(2, c.Bytes());
       f.Trailer();
       return f.bytes;
     },
     0, true,
     [](Outcome& o) {
       // The indices before the bad code stay; the rest is index 0.
       ASSERT_EQ(o.bitmap.Width(), 4);
       EXPECT_EQ(PixelAt(o.bitmap, 0, 0), Bgr(kFour[1]));
       EXPECT_EQ(PixelAt(o.bitmap, 1, 0), Bgr(kFour[0]));
       EXPECT_EQ(PixelAt(o.bitmap, 2, 0), Bgr(kFour[0]));
       EXPECT_EQ(PixelAt(o.bitmap, 3, 0), Bgr(kFour[0]));
     }},
    {"lzw-min-code-size-1",
     [] {
       File f;
       f.Screen(4, 4, kFour);
       f.Descriptor(0, 0, 4, 4);
       f.Data(1, gifbuilder::LiteralCodes(std::vector<uint8_t>(16, 1), 1));
       f.Trailer();
       return f.bytes;
     },
     0, true, nullptr},
    {"lzw-min-code-size-10",
     [] {
       File f;
       f.Screen(4, 4, kFour);
       f.Descriptor(0, 0, 4, 4);
       f.Data(10, gifbuilder::LiteralCodes(std::vector<uint8_t>(16, 1), 10));
       f.Trailer();
       return f.bytes;
     },
     0, true, nullptr},
    // Far more codes than the table has room for, without a clear code: the
    // full table stays as it is and the codes go on at 12 bits.
    {"lzw-table-full-without-clear",
     [] {
       File f;
       f.Screen(100, 60, kFour);
       f.Image(0, 0, 100, 60, Diagonal(100, 60), 2);
       f.Trailer();
       return f.bytes;
     },
     0, false, [](Outcome& o) { ExpectDiagonal(o); }},
    {"lzw-clear-codes-every-100",
     [] {
       File f;
       f.Screen(50, 40, kFour);
       f.Descriptor(0, 0, 50, 40);
       f.Data(2, gifbuilder::LiteralCodes(Diagonal(50, 40), 2, 100));
       f.Trailer();
       return f.bytes;
     },
     0, false, [](Outcome& o) { ExpectDiagonal(o); }},
    // The data ends early: what it held is read, the rest is index 0.
    {"data-cut-in-the-middle",
     [] {
       File f;
       f.Screen(20, 10, kFour);
       f.Descriptor(0, 0, 20, 10);
       std::vector<uint8_t> codes = gifbuilder::LiteralCodes(Diagonal(20, 10), 2, 0, false);
       codes.resize(codes.size() / 2);
       f.Data(2, codes, false);
       return f.bytes;
     },
     0, false,
     [](Outcome& o) {
       ASSERT_EQ(o.bitmap.Height(), 10);
       ExpectDiagonal(o, 0, 3);
       EXPECT_EQ(PixelAt(o.bitmap, 19, 9), Bgr(kFour[0]));
     }},
    {"data-without-end-code",
     [] {
       File f;
       f.Screen(8, 8, kFour);
       f.Descriptor(0, 0, 8, 8, true);
       f.Data(2, gifbuilder::LiteralCodes(gifbuilder::Interlace(Diagonal(8, 8), 8, 8), 2, 0, false));
       f.Trailer();
       return f.bytes;
     },
     0, false, [](Outcome& o) { ExpectDiagonal(o); }},
    {"file-ends-in-descriptor",
     [] {
       File f;
       f.Screen(8, 8, kFour);
       f.Raw({0x2C, 0, 0, 0, 0, 8});
       return f.bytes;
     },
     0, true, nullptr},
    {"screen-only",
     [] {
       File f;
       f.Screen(8, 8, kFour);
       return f.bytes;
     },
     0, true, nullptr},
    {"no-image",
     [] {
       File f;
       f.Screen(8, 8, kFour);
       f.Comment({"nothing else"});
       f.Trailer();
       return f.bytes;
     },
     0, true, nullptr},
    {"not-a-gif",
     [] {
       File f;
       f.Screen(8, 8, kFour, 0, "GJF89a");
       f.Image(0, 0, 8, 8, Diagonal(8, 8), 2);
       f.Trailer();
       return f.bytes;
     },
     0, true, nullptr},
    {"zero-size-image",
     [] {
       File f;
       f.Screen(8, 8, kFour);
       f.Descriptor(0, 0, 0, 8);
       f.Data(2, gifbuilder::LiteralCodes({1, 2}, 2));
       f.Trailer();
       return f.bytes;
     },
     0, true, nullptr},
    // An image claiming 65535 x 65535 pixels from a few bytes of data is
    // refused before anything is allocated for it.
    {"image-larger-than-its-data",
     [] {
       File f;
       f.Screen(65535, 65535, kFour);
       f.Image(0, 0, 65535, 65535, {1, 2, 3}, 2);
       f.Trailer();
       return f.bytes;
     },
     0, true, nullptr},
    // Its own data bounds an image, not the bytes of the images after it.
    {"image-larger-than-its-own-data",
     [] {
       File f;
       f.Screen(100, 100, kFour);
       f.Image(0, 0, 2000, 2000, {1, 2, 3}, 2);
       f.Image(0, 0, 100, 100, Diagonal(100, 100), 2);
       f.Trailer();
       return f.bytes;
     },
     0, true, nullptr},
    // The canvas takes the largest image drawn, from the start.
    {"image-larger-than-the-screen",
     [] {
       File f;
       f.Screen(2, 1, kFour);
       f.Image(0, 0, 2, 1, {1, 1}, 2);
       f.Control(0, true, 0);
       f.Image(0, 0, 3, 2, {0, 2, 2, 3, 0, 0}, 2);
       f.Trailer();
       return f.bytes;
     },
     1, false,
     [](Outcome& o) {
       ASSERT_EQ(o.bitmap.Width(), 3);
       ASSERT_EQ(o.bitmap.Height(), 2);
       EXPECT_EQ(PixelAt(o.bitmap, 0, 0), Bgr(kFour[1]));
       EXPECT_EQ(PixelAt(o.bitmap, 1, 0), Bgr(kFour[2]));
       EXPECT_EQ(PixelAt(o.bitmap, 2, 0), Bgr(kFour[2]));
       EXPECT_EQ(PixelAt(o.bitmap, 0, 1), Bgr(kFour[3]));
       // Transparent in the second image, beyond the first: the canvas shows through.
       EXPECT_EQ(o.bitmap.Alpha(1, 1), 0);
       EXPECT_EQ(o.bitmap.Alpha(0, 1), 255);
     }},
    {"screen-larger-than-the-file",
     [] {
       File f;
       f.Screen(65535, 65535, kFour);
       f.Image(0, 0, 1, 1, {1}, 2);
       f.Image(5, 5, 1, 1, {2}, 2);
       f.Trailer();
       return f.bytes;
     },
     1, true, nullptr},
    // A screen of up to 2048 x 2048 is drawn on whatever the file's size; a
    // larger one needs a file of a size to fill it.
    {"small-frames-on-a-2048-screen",
     [] {
       File f;
       f.Screen(2048, 2048, kFour, 1);
       f.Image(0, 0, 1, 1, {2}, 2);
       f.Image(2047, 2047, 1, 1, {3}, 2);
       f.Trailer();
       return f.bytes;
     },
     1, false,
     [](Outcome& o) {
       ASSERT_EQ(o.bitmap.Width(), 2048);
       EXPECT_EQ(PixelAt(o.bitmap, 0, 0), Bgr(kFour[2]));
       EXPECT_EQ(PixelAt(o.bitmap, 2047, 2047), Bgr(kFour[3]));
       EXPECT_EQ(o.bitmap.Alpha(1000, 1000), 0);
     }},
    {"small-frames-on-a-4000-screen",
     [] {
       File f;
       f.Screen(4000, 4000, kFour, 1);
       f.Image(0, 0, 1, 1, {2}, 2);
       f.Image(3999, 3999, 1, 1, {3}, 2);
       f.Trailer();
       return f.bytes;
     },
     1, true, nullptr},
    {"indices-beyond-the-palette",
     [] {
       File f;
       f.Screen(4, 1, {{0, 0, 0}, {255, 255, 255}});
       f.Image(0, 0, 4, 1, {1, 3, 2, 0}, 2);
       f.Trailer();
       return f.bytes;
     },
     0, false,
     [](Outcome& o) {
       // A black and white palette: index 1 white, every other index black.
       ASSERT_EQ(o.bitmap.PixelFormat(), px1g);
       EXPECT_EQ(PixelAt(o.bitmap, 0, 0), (TBGR{255, 255, 255}));
       EXPECT_EQ(PixelAt(o.bitmap, 1, 0), (TBGR{0, 0, 0}));
       EXPECT_EQ(PixelAt(o.bitmap, 2, 0), (TBGR{0, 0, 0}));
     }},
    // Bytes that start no block, a control extension of an odd length and an
    // unknown extension are passed over.
    {"stray-bytes-and-odd-extensions",
     [] {
       File f;
       f.Screen(6, 6, kFour);
       f.Raw({0x00, 0x99, 0x21, 0xF9, 2, 0x01, 0x05, 3, 0xAA, 0xBB, 0xCC, 0, 0x21, 0x42, 2, 7, 7, 0});
       f.Image(0, 0, 6, 6, Diagonal(6, 6), 2);
       f.Trailer();
       return f.bytes;
     },
     0, false,
     [](Outcome& o) {
       ExpectDiagonal(o);
       EXPECT_EQ(o.params.GifDelayTime, 5);
     }},
    // A frame wholly outside the screen draws nothing; one partly outside is cut.
    {"frames-outside-the-screen",
     [] {
       File f;
       f.Screen(5, 5, kFour);
       f.Image(0, 0, 5, 5, std::vector<uint8_t>(25, 0), 2);
       f.Image(60000, 2, 3, 3, std::vector<uint8_t>(9, 1), 2);
       f.Image(3, 3, 4, 4, std::vector<uint8_t>(16, 2), 2);
       f.Trailer();
       return f.bytes;
     },
     2, false,
     [](Outcome& o) {
       ASSERT_EQ(o.bitmap.Width(), 5);
       ASSERT_EQ(o.bitmap.Height(), 5);
       for (int y = 0; y < 5; ++y)
         for (int x = 0; x < 5; ++x)
           ASSERT_EQ(PixelAt(o.bitmap, x, y), Bgr(kFour[x >= 3 && y >= 3 ? 2 : 0])) << x << "," << y;
       EXPECT_EQ(o.params.GifImageCount, 3);
     }},
    {"zero-size-frame-in-an-animation",
     [] {
       File f;
       f.Screen(3, 1, kFour);
       f.Image(0, 0, 3, 1, {1, 1, 1}, 2);
       f.Descriptor(1, 0, 0, 0);
       f.Data(2, gifbuilder::LiteralCodes({}, 2));
       f.Image(2, 0, 1, 1, {3}, 2);
       f.Trailer();
       return f.bytes;
     },
     2, false,
     [](Outcome& o) {
       EXPECT_EQ(PixelAt(o.bitmap, 0, 0), Bgr(kFour[1]));
       EXPECT_EQ(PixelAt(o.bitmap, 1, 0), Bgr(kFour[1]));
       EXPECT_EQ(PixelAt(o.bitmap, 2, 0), Bgr(kFour[3]));
     }},
    // Thousands of one-pixel frames, each at its own place: the last index
    // composes them all in one reading.
    {"thousands-of-frames",
     [] {
       File f;
       f.Screen(3000, 1, kFour);
       for (int i = 0; i < 3000; ++i) f.Image(i, 0, 1, 1, {static_cast<uint8_t>(i % 4)}, 2);
       f.Trailer();
       return f.bytes;
     },
     2999, false,
     [](Outcome& o) {
       EXPECT_EQ(o.params.GifImageCount, 3000);
       ASSERT_EQ(o.bitmap.Width(), 3000);
       for (int x = 0; x < 3000; ++x) ASSERT_EQ(PixelAt(o.bitmap, x, 0), Bgr(kFour[x % 4])) << x;
       EXPECT_EQ(o.params.GifXPos, 2999);
     }},
};

class GifDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(GifDamage, IsRefusedOrReadAsFarAsItGoes) {
  const DamageCase& c = GetParam();
  std::unique_ptr<Outcome> o = Read(c.make(), c.index);
  EXPECT_EQ(o->aborted, c.refused);
  if (c.check) c.check(*o);
  // The parameters alone never take more than the whole read.
  TIOParamsVals params;
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  const std::vector<uint8_t> bytes = c.make();
  TPxMemoryStream stream(bytes.data(), bytes.size());
  TPxBitmap untouched;
  ReadGifRow(stream, &untouched, params, true, progress);
  EXPECT_TRUE(untouched.IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Files, GifDamage, ::testing::ValuesIn(kCases), [](const auto& info) {
  std::string n = info.param.name;
  for (char& ch : n)
    if (ch == '-') ch = '_';
  return n;
});

// --- Edge cases of the format ----------------------------------------------------

TEST(GifEdges, TwoColoursAreBlackAndWhiteOnlyWhenTheyAreBlackThenWhite) {
  struct Row {
    std::vector<Rgb> palette;
    TPxPixelFormat format;
  };
  const Row rows[] = {
      {{{0, 0, 0}, {255, 255, 255}}, px1g},
      {{{255, 255, 255}, {0, 0, 0}}, pxRGB24},
      {{{0, 0, 0}, {255, 0, 0}}, pxRGB24},
  };
  for (const Row& r : rows) {
    File f;
    f.Screen(9, 2, r.palette);
    f.Image(0, 0, 9, 2, {1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 2);
    f.Trailer();
    std::unique_ptr<Outcome> o = Read(f.bytes);
    ASSERT_FALSE(o->aborted);
    EXPECT_EQ(o->bitmap.PixelFormat(), r.format);
    // The ninth pixel of each row is kept.
    EXPECT_EQ(PixelAt(o->bitmap, 8, 0), Bgr(r.palette[1]));
    EXPECT_EQ(PixelAt(o->bitmap, 8, 1), Bgr(r.palette[1]));
    EXPECT_EQ(PixelAt(o->bitmap, 7, 1), Bgr(r.palette[0]));
  }
}

TEST(GifEdges, ATransparentIndexWithoutItsFlagGivesNoAlpha) {
  for (bool flag : {false, true}) {
    File f;
    f.Screen(4, 1, kFour);
    f.Control(0, flag, 2, 0);
    f.Image(0, 0, 4, 1, {0, 1, 2, 3}, 2);
    f.Trailer();
    std::unique_ptr<Outcome> o = Read(f.bytes);
    ASSERT_FALSE(o->aborted);
    EXPECT_EQ(o->params.GifFlagTranspColor, flag);
    EXPECT_EQ(o->params.GifTranspColor, Bgr(kFour[2]));
    EXPECT_EQ(o->bitmap.HasAlphaChannel(), flag);
    if (flag) {
      EXPECT_EQ(o->bitmap.Alpha(2, 0), 0);
      EXPECT_EQ(o->bitmap.Alpha(1, 0), 255);
    }
  }
}

// Disposal to the background restores the first frame's rectangle before
// the second frame is drawn; the third sees it restored.
TEST(GifEdges, DisposalToBackgroundRestoresTheFramesRectangle) {
  File f;
  f.Screen(4, 1, kFour, 3);
  f.Control(2, false, 0);
  f.Image(0, 0, 2, 1, {1, 1}, 2);
  f.Control(1, false, 0);
  f.Image(2, 0, 1, 1, {2}, 2);
  f.Image(3, 0, 1, 1, {0}, 2);
  f.Trailer();
  std::unique_ptr<Outcome> o = Read(f.bytes, 2);
  ASSERT_FALSE(o->aborted);
  EXPECT_EQ(o->params.GifImageCount, 3);
  EXPECT_EQ(o->params.GifBackground, Bgr(kFour[3]));
  ASSERT_TRUE(o->bitmap.HasAlphaChannel());
  EXPECT_EQ(o->bitmap.Alpha(0, 0), 0);
  EXPECT_EQ(o->bitmap.Alpha(1, 0), 0);
  EXPECT_EQ(PixelAt(o->bitmap, 0, 0), Bgr(kFour[3]));
  EXPECT_EQ(PixelAt(o->bitmap, 2, 0), Bgr(kFour[2]));
  EXPECT_EQ(o->bitmap.Alpha(2, 0), 255);
  EXPECT_EQ(PixelAt(o->bitmap, 3, 0), Bgr(kFour[0]));
  // Read on its own, frame 0 still shows its pixels.
  std::unique_ptr<Outcome> first = Read(f.bytes, 0);
  EXPECT_EQ(PixelAt(first->bitmap, 1, 0), Bgr(kFour[1]));
  EXPECT_EQ(first->bitmap.Alpha(1, 0), 255);
  EXPECT_EQ(first->bitmap.Alpha(2, 0), 0);
}

// Comments are gathered once, however many frames are composed.
TEST(GifEdges, CommentsAreReadOncePerRead) {
  File f;
  f.Screen(2, 1, kFour);
  f.Comment({"first", "", "second"});
  f.Image(0, 0, 1, 1, {1}, 2);
  f.Comment({"third"});
  f.Image(1, 0, 1, 1, {2}, 2);
  f.Trailer();
  std::unique_ptr<Outcome> o = Read(f.bytes, 1);
  ASSERT_FALSE(o->aborted);
  // An empty sub-block ends its extension: what follows it is no comment.
  EXPECT_EQ(o->params.GifComments, (std::vector<std::string>{"first", "third"}));
}

TEST(GifEdges, TheDecoderSlotReplacesTheLibrarysDecoder) {
  File f;
  f.Screen(3, 2, kFour);
  f.Image(0, 0, 3, 2, {0, 0, 0, 0, 0, 0}, 2);
  f.Trailer();
  TIOParamsVals params;
  int calls = 0;
  params.GifLzwDecompress = [&](TPxStream& s, int h, int w, bool, uint8_t* pixels) {
    ++calls;
    for (int i = 0; i < w * h; ++i) pixels[i] = static_cast<uint8_t>(i % 4);
    uint8_t skip[64];
    s.Read(skip, 1);  // took something: not a failure
  };
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  TPxMemoryStream stream(f.bytes.data(), f.bytes.size());
  TPxBitmap bitmap;
  ReadGifRow(stream, &bitmap, params, false, progress);
  EXPECT_FALSE(aborted);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(PixelAt(bitmap, 1, 1), Bgr(kFour[0]));
  EXPECT_EQ(PixelAt(bitmap, 2, 1), Bgr(kFour[1]));
}

TEST(GifEdges, AnEncoderThatWritesNothingFailsTheWrite) {
  TPxBitmap bitmap(4, 4, pxRGB24);
  bitmap.Fill(0x0000FF);
  TIOParamsVals params;
  params.GifLzwCompress = [](TPxStream&, int, int, bool, const uint8_t*, int) {};
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  TPxMemoryStream stream;
  WriteGifRow(stream, &bitmap, params, progress);
  EXPECT_TRUE(aborted);
}

TEST(GifEdges, PicturesBeyondTheFormatsSizeAreNotWritten) {
  TPxBitmap bitmap(65536, 1, px1g);
  TIOParamsVals params;
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  TPxMemoryStream stream;
  WriteGifRow(stream, &bitmap, params, progress);
  EXPECT_TRUE(aborted);
}

// Progress goes 0, 30, 70, 100 for a read and for a write; a stop asked for
// at 30 ends the read before any pixel is made.
TEST(GifEdges, ProgressAndStopping) {
  File f;
  f.Screen(6, 6, kFour);
  f.Image(0, 0, 6, 6, Diagonal(6, 6), 2);
  f.Trailer();
  for (int stopAt : {-1, 30}) {
    std::vector<int> seen;
    bool aborted = false;
    TPxProgress progress;
    progress.Aborting = &aborted;
    progress.Event = [&](TImagingIO*, int per) {
      seen.push_back(per);
      if (per == stopAt) aborted = true;
    };
    TPxMemoryStream stream(f.bytes.data(), f.bytes.size());
    TPxBitmap bitmap;
    TIOParamsVals params;
    ReadGifRow(stream, &bitmap, params, false, progress);
    if (stopAt < 0) {
      EXPECT_FALSE(aborted);
      EXPECT_EQ(seen, (std::vector<int>{0, 30, 70, 100}));
      std::vector<int> written;
      progress.Event = [&](TImagingIO*, int per) { written.push_back(per); };
      progress.LastPer = -1;
      TPxMemoryStream out;
      WriteGifRow(out, &bitmap, params, progress);
      EXPECT_FALSE(aborted);
      EXPECT_EQ(written, (std::vector<int>{0, 30, 70, 100}));
    } else {
      EXPECT_TRUE(aborted);
      EXPECT_EQ(seen, (std::vector<int>{0, 30}));
      EXPECT_TRUE(bitmap.IsEmpty());
    }
  }
}

// The fuzz target also composes every frame of its inputs: its finds and
// the hostile files are read so here (the replay of all targets reads frame 0).
TEST(GifEdges, EveryKeptFuzzInputComposesAllItsFramesCleanly) {
  const std::filesystem::path folder =
      std::filesystem::path(testutil::SourceDir()) / "tests" / "data" / "fuzz" / "gif";
  int read = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    SCOPED_TRACE(entry.path().filename().string());
    const std::string bytes = testutil::ReadFileBytes(entry.path().string());
    const std::vector<uint8_t> data(bytes.begin(), bytes.end());
    std::unique_ptr<Outcome> o;
    EXPECT_NO_THROW(o = Read(data, INT32_MAX));
    if (o && entry.path().filename().string().rfind("hostile-", 0) == 0) {
      EXPECT_TRUE(o->aborted);
    }
    ++read;
  }
  EXPECT_GT(read, 0);
}

}  // namespace
