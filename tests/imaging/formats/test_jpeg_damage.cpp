// Damaged JPEG data: every case ends with Aborting, never a crash, a leak or a
// huge allocation (the sanitizer build checks the first two).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/io/imagingio.h"
#include "imaging/core/ioparams.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/jpeg.h"
#include "util/testutil.h"

namespace {

void MakePicture(TPxBitmap& bmp, int width, int height) {
  ASSERT_TRUE(bmp.Allocate(width, height, pxRGB24));
  unsigned state = 9;
  for (int y = 0; y < height; ++y) {
    uint8_t* row = bmp.Scanline(y);
    for (int x = 0; x < 3 * width; ++x) {
      state = state * 1103515245u + 12345u;
      row[x] = uint8_t((x * 3 + y * 2) / 4 + ((state >> 16) & 31));
    }
  }
}

std::string Encode(TPxBitmap& bmp, bool progressive) {
  TIOParamsVals params;
  params.JpegQuality = 90;
  params.JpegProgressive = progressive;
  TPxMemoryStream stream;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  WriteJpegStream(stream, &bmp, params, progress);
  EXPECT_FALSE(aborting);
  return std::string(stream.Data().begin(), stream.Data().end());
}

struct TResult {
  TPxBitmap Bitmap;
  TIOParamsVals Params;
  bool Aborting = false;
};

void Decode(const std::string& bytes, TResult& r) {
  TPxMemoryStream stream(bytes.data(), bytes.size());
  TPxProgress progress;
  progress.Aborting = &r.Aborting;
  ReadJpegStream(stream, nullptr, &r.Bitmap, true, false, true, false, false, progress, r.Params);
}

// Offset of the first segment with this marker (at its FF byte), or npos.
size_t FindSegment(const std::string& jpeg, int marker) {
  size_t pos = 2;
  while (pos + 4 <= jpeg.size() && uint8_t(jpeg[pos]) == 0xFF) {
    const int m = uint8_t(jpeg[pos + 1]);
    if (m == marker) return pos;
    if (m == 0xDA) break;
    pos += 2 + ((size_t(uint8_t(jpeg[pos + 2])) << 8) | uint8_t(jpeg[pos + 3]));
  }
  return std::string::npos;
}

const std::string& Baseline() {
  static const std::string bytes = [] {
    TPxBitmap bmp;
    MakePicture(bmp, 256, 192);
    return Encode(bmp, false);
  }();
  return bytes;
}

const std::string& Progressive() {
  static const std::string bytes = [] {
    TPxBitmap bmp;
    MakePicture(bmp, 256, 192);
    return Encode(bmp, true);
  }();
  return bytes;
}

// Writes a big-endian word at offset.
void Put16(std::string& s, size_t at, unsigned v) {
  s[at] = char(v >> 8);
  s[at + 1] = char(v & 255);
}

struct TDamage {
  const char* Name;
  std::string (*Make)();
};

const TDamage kDamages[] = {
    {"Empty", [] { return std::string(); }},
    {"OnlyStartOfImage", [] { return std::string("\xFF\xD8\xFF", 3); }},
    {"CutInHeader", [] { return Baseline().substr(0, 150); }},
    {"CutAtTenthOfScan", [] { return Baseline().substr(0, Baseline().size() / 10 + 600); }},
    {"CutAtHalf", [] { return Baseline().substr(0, Baseline().size() / 2); }},
    {"CutNearEnd", [] { return Baseline().substr(0, Baseline().size() - 200); }},
    {"ProgressiveCutEarly", [] { return Progressive().substr(0, Progressive().size() / 4); }},
    {"ProgressiveCutLate", [] { return Progressive().substr(0, Progressive().size() * 3 / 4); }},
    {"FrameHeightZero",
     [] {
       std::string s = Baseline();
       Put16(s, FindSegment(s, 0xC0) + 5, 0);
       return s;
     }},
    {"FrameWidthZero",
     [] {
       std::string s = Baseline();
       Put16(s, FindSegment(s, 0xC0) + 7, 0);
       return s;
     }},
    {"FrameSamplingZero",
     [] {
       std::string s = Baseline();
       s[FindSegment(s, 0xC0) + 11] = 0;
       return s;
     }},
    {"FrameBadPrecision",
     [] {
       std::string s = Baseline();
       s[FindSegment(s, 0xC0) + 4] = 12;
       return s;
     }},
    {"QuantTableLengthTooShort",
     [] {
       std::string s = Baseline();
       Put16(s, FindSegment(s, 0xDB) + 2, 1);
       return s;
     }},
    {"HuffmanCountsOverflow",
     [] {
       std::string s = Baseline();
       const size_t dht = FindSegment(s, 0xC4);
       for (int i = 0; i < 16; ++i) s[dht + 5 + i] = char(200);
       return s;
     }},
    {"ScanNamesMissingComponent",
     [] {
       std::string s = Baseline();
       s[FindSegment(s, 0xDA) + 5] = 9;
       return s;
     }},
    {"HugeClaimBaseline",
     [] {
       std::string s = Baseline();
       const size_t sof = FindSegment(s, 0xC0);
       Put16(s, sof + 5, 60000);
       Put16(s, sof + 7, 60000);
       return s;
     }},
    {"HugeClaimProgressive",
     [] {
       std::string s = Progressive();
       const size_t sof = FindSegment(s, 0xC2);
       Put16(s, sof + 5, 65000);
       Put16(s, sof + 7, 65000);
       return s.substr(0, 4000);
     }},
};

class JpegDamage : public ::testing::TestWithParam<TDamage> {};

TEST_P(JpegDamage, EndsWithAborting) {
  const std::string bytes = GetParam().Make();
  TResult r;
  const auto start = std::chrono::steady_clock::now();
  Decode(bytes, r);
  EXPECT_TRUE(r.Aborting);
  // A file that claims billions of pixels must fail before decoding them.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_LE(int64_t(r.Bitmap.Width()) * r.Bitmap.Height(), int64_t(256) * 192);
}

INSTANTIATE_TEST_SUITE_P(Cases, JpegDamage, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.Name); });

// Wherever a file is cut (short of its end marker), the read fails.
TEST(JpegDamage, EveryCutIsReported) {
  for (const std::string* file : {&Baseline(), &Progressive()}) {
    const size_t end = file->size() - 2;  // the end-of-image marker
    for (size_t cut = 0; cut < end; cut += (cut < 700 ? 7 : 211)) {
      TResult r;
      Decode(file->substr(0, cut), r);
      ASSERT_TRUE(r.Aborting) << "cut at " << cut << " of " << file->size();
    }
    TResult last;
    Decode(file->substr(0, end - 1), last);
    EXPECT_TRUE(last.Aborting);
  }
}

TEST(JpegDamage, RowsBeforeACutAreKept) {
  TResult full, cut;
  Decode(Baseline(), full);
  ASSERT_FALSE(full.Aborting);
  Decode(Baseline().substr(0, Baseline().size() * 6 / 10), cut);
  ASSERT_TRUE(cut.Aborting);
  ASSERT_EQ(cut.Bitmap.Width(), 256);
  ASSERT_EQ(cut.Bitmap.Height(), 192);
  // The first third of the picture lies well before the cut; rows the data
  // never reached are black.
  for (int y = 0; y < 64; ++y)
    ASSERT_EQ(std::memcmp(cut.Bitmap.Scanline(y), full.Bitmap.Scanline(y), 256 * 3), 0) << y;
  const std::vector<uint8_t> black(256 * 3, 0);
  for (int y = 160; y < 192; ++y) ASSERT_EQ(std::memcmp(cut.Bitmap.Scanline(y), black.data(), black.size()), 0) << y;
}

TEST(JpegDamage, ACutProgressiveFileShowsWhatArrived) {
  TResult full, cut;
  Decode(Progressive(), full);
  ASSERT_FALSE(full.Aborting);
  Decode(Progressive().substr(0, Progressive().size() * 3 / 4), cut);
  EXPECT_TRUE(cut.Aborting);
  ASSERT_EQ(cut.Bitmap.Height(), 192);
  // Every row comes from the scans read, close to the whole picture's.
  long difference = 0;
  for (int y = 0; y < 192; ++y)
    for (int x = 0; x < 256 * 3; ++x) difference += std::abs(cut.Bitmap.Scanline(y)[x] - full.Bitmap.Scanline(y)[x]);
  EXPECT_LT(double(difference) / (256 * 192 * 3), 12.0);
}

TEST(JpegDamage, GarbledScanDataIsReported) {
  TResult full;
  Decode(Baseline(), full);
  const size_t sos = FindSegment(Baseline(), 0xDA);
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    std::string s = Baseline();
    unsigned state = seed;
    // Garble a run of entropy-coded bytes in the middle of the scan.
    for (size_t i = sos + 400; i < sos + 700; ++i) {
      state = state * 1103515245u + 12345u;
      s[i] = char(state >> 24);
    }
    TResult r;
    Decode(s, r);
    // Either the codec gave up, or it warned about what it had to make up.
    EXPECT_TRUE(r.Aborting || r.Params.JpegWarnings > 0);
    if (!r.Aborting) {
      EXPECT_NE(r.Params.JpegLastWarning, 0);
    }
  }
}

TEST(JpegDamage, MissingEndMarkerOnlyWarns) {
  // Every scan is complete; only the end-of-image is gone.
  TResult r;
  Decode(Baseline().substr(0, Baseline().size() - 2), r);
  EXPECT_FALSE(r.Aborting);
  EXPECT_GT(r.Params.JpegWarnings, 0);
  EXPECT_EQ(r.Bitmap.Height(), 192);
}

// A buffer that cannot hold anything, as when memory and disk are exhausted.
class TRefusingBitmap : public TPxBitmap {
 public:
  bool Allocate(int, int, TPxPixelFormat) override {
    ++asked;
    return false;
  }
  int asked = 0;
};

TEST(JpegDamage, ABufferThatCannotHoldThePictureAborts) {
  TRefusingBitmap bmp;
  TIOParamsVals params;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  TPxMemoryStream stream(Baseline().data(), Baseline().size());
  ReadJpegStream(stream, nullptr, &bmp, true, false, true, false, false, progress, params);
  EXPECT_EQ(bmp.asked, 1);
  EXPECT_TRUE(aborting);
  EXPECT_TRUE(bmp.IsEmpty());
}

// A stream that accepts only so many bytes.
class TShortStream : public TPxMemoryStream {
 public:
  explicit TShortStream(int64_t room) : room_(room) {}
  int64_t Write(const void* buffer, int64_t count) override {
    const int64_t n = std::min(count, room_);
    room_ -= n;
    return TPxMemoryStream::Write(buffer, n);
  }

 private:
  int64_t room_;
};

TEST(JpegDamage, ShortWritesAbortTheEncoder) {
  TPxBitmap bmp;
  MakePicture(bmp, 640, 480);
  for (int64_t room : {int64_t(0), int64_t(100), int64_t(70000)}) {
    SCOPED_TRACE(room);
    TShortStream stream(room);
    TIOParamsVals params;
    params.JpegQuality = 100;
    bool aborting = false;
    TPxProgress progress;
    progress.Aborting = &aborting;
    WriteJpegStream(stream, &bmp, params, progress);
    EXPECT_TRUE(aborting);
    EXPECT_LE(stream.Size(), room);
  }
}

TEST(JpegDamage, TheCoreReportsATruncatedFile) {
  testutil::TempDir dir;
  const std::string file = dir.File("cut.jpg");
  testutil::WriteFileBytes(file, Baseline().substr(0, Baseline().size() / 2));
  TImagingIO io;
  int finished = 0;
  int lastProgress = -1;
  io.OnFinishWork = [&](TImagingIO*) { ++finished; };
  io.OnProgress = [&](TImagingIO*, int per) { lastProgress = per; };
  io.LoadFromFile(file);
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(lastProgress, 100);
}

}  // namespace
