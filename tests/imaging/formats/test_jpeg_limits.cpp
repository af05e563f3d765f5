// Hostile JPEG data whose cost is out of proportion to its size: scans that a
// few bytes each make libjpeg walk the whole picture, and marker segments that
// claim more than the file holds. Each is refused (Aborting) through the
// program's own entries, and files just inside the bounds still read.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/jpeg.h"
#include "imaging/io/imagingio.h"

namespace {

void Put16(std::string& s, unsigned v) {
  s += char(v >> 8);
  s += char(v & 255);
}

std::string Segment(int marker, const std::string& body) {
  std::string s("\xFF");
  s += char(marker);
  Put16(s, unsigned(body.size() + 2));
  return s + body;
}

// Bits into bytes, most significant first, padded with ones and with every
// 0xFF byte stuffed as entropy-coded data must be.
class TBitWriter {
 public:
  void Put(unsigned value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      byte_ = uint8_t((byte_ << 1) | ((value >> i) & 1));
      if (++count_ == 8) Flush();
    }
  }
  std::string Finish() {
    while (count_ != 0) Put(1, 1);
    return out_;
  }

 private:
  void Flush() {
    out_ += char(byte_);
    if (byte_ == 0xFF) out_ += '\0';
    byte_ = 0;
    count_ = 0;
  }
  std::string out_;
  uint8_t byte_ = 0;
  int count_ = 0;
};

// A progressive gray JPEG of width x height pixels whose `scans` scans are all
// AC refinement scans coded as end-of-block runs: a scan costs some 15 bytes
// whatever the picture's size, yet libjpeg visits every block of it. (There is
// no DC scan; libjpeg only warns about the order and decodes the scans.)
std::string RefinementRunScans(int width, int height, int scans) {
  std::string jpeg("\xFF\xD8", 2);
  jpeg += Segment(0xDB, std::string(1, '\0') + std::string(64, '\1'));
  std::string frame;
  frame += char(8);
  Put16(frame, unsigned(height));
  Put16(frame, unsigned(width));
  frame += std::string("\x01\x01\x11\x00", 4);
  jpeg += Segment(0xC2, frame);
  // AC table 0: the end-of-block runs EOB0..EOB14 (symbol n << 4), 4-bit codes n.
  std::string table(1, '\x10');
  for (int length = 1; length <= 16; ++length) table += char(length == 4 ? 15 : 0);
  for (int n = 0; n < 15; ++n) table += char(n << 4);
  jpeg += Segment(0xC4, table);
  // One scan: Ss 1, Se 63, Ah 1, Al 0, then runs of at most 32767 blocks.
  TBitWriter bits;
  for (int64_t left = int64_t((width + 7) / 8) * ((height + 7) / 8); left > 0;) {
    const int64_t run = std::min<int64_t>(left, 32767);
    int n = 0;
    while ((run >> (n + 1)) != 0) ++n;
    bits.Put(unsigned(n), 4);
    bits.Put(unsigned(run - (int64_t(1) << n)), n);
    left -= run;
  }
  const std::string scan =
      Segment(0xDA, std::string("\x01\x01\x00\x01\x3F\x10", 6)) + bits.Finish();
  for (int i = 0; i < scans; ++i) jpeg += scan;
  return jpeg + "\xFF\xD9";
}

struct TRead {
  bool LoadAborted = false;
  int32_t Width = 0, Height = 0;
  bool ParamsAborted = false;
  int32_t ParamsWidth = 0;
  size_t LongestMarker = 0;  // of the markers either read kept
};

// Both of the program's stream entries: the load and the parameters-only read.
TRead ReadBoth(const std::string& bytes) {
  TRead r;
  TPxMemoryStream load(bytes.data(), bytes.size());
  TImagingIO io;
  io.LoadFromStreamAsType(load, ioJPEG);
  r.LoadAborted = io.Aborting;
  r.Width = io.Bitmap()->Width();
  r.Height = io.Bitmap()->Height();
  for (const TPxMarker& m : io.Params.MarkerList)
    r.LongestMarker = std::max(r.LongestMarker, m.Data.size());
  TPxMemoryStream params(bytes.data(), bytes.size());
  TImagingIO header;
  header.ReadParamsFromStream(params);
  r.ParamsAborted = header.Aborting;
  r.ParamsWidth = header.Params.Width;
  for (const TPxMarker& m : header.Params.MarkerList)
    r.LongestMarker = std::max(r.LongestMarker, m.Data.size());
  return r;
}

struct TScanCase {
  const char* Name;
  int Width, Height, Scans;
  bool Refused;
};

// Times are those of the sanitizer build on the development machine; libjpeg
// takes about 40 ns per block of such a scan there.
const TScanCase kScanCases[] = {
    // 64 blocks: the scan count bound (500) stops it, in about 10 ms.
    {"ThousandsOfScansOverASmallPicture", 64, 64, 3000, true},
    {"FiveHundredScansAreStillRead", 64, 64, 500, false},
    {"FiveHundredAndOneScansAreNot", 64, 64, 501, true},
    // 262144 blocks a scan: 1920 scans took 20 s before the block budget;
    // now it stops after 16 passes plus 24 blocks a byte, in about 0.3 s.
    {"RefinementRunsOverALargePicture", 4095, 4095, 1920, true},
    {"ThousandsOfScansOverAMidSizePicture", 1024, 1024, 3000, true},
    // Within the free passes: read, in about 0.4 s.
    {"FifteenScansOverALargePictureAreRead", 4095, 4095, 15, false},
};

class JpegScanLimits : public ::testing::TestWithParam<TScanCase> {};

TEST_P(JpegScanLimits, RefusedPastTheBoundsAndReadWithin) {
  const TScanCase& c = GetParam();
  const TRead r = ReadBoth(RefinementRunScans(c.Width, c.Height, c.Scans));
  EXPECT_EQ(r.LoadAborted, c.Refused);
  if (!c.Refused) {
    EXPECT_EQ(r.Width, c.Width);
    EXPECT_EQ(r.Height, c.Height);
  }
  // The header alone holds no scan: the parameters read it whatever follows.
  EXPECT_FALSE(r.ParamsAborted);
  EXPECT_EQ(r.ParamsWidth, c.Width);
}

INSTANTIATE_TEST_SUITE_P(Files, JpegScanLimits, ::testing::ValuesIn(kScanCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// --- Marker segments longer than the file ---------------------------------------

std::string SmallJpeg(bool progressive) {
  TPxBitmap bmp;
  EXPECT_TRUE(bmp.Allocate(48, 32, pxRGB24));
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 48 * 3; ++x) bmp.Scanline(y)[x] = uint8_t(x * 5 + y * 7);
  TIOParamsVals params;
  params.JpegProgressive = progressive;
  TPxMemoryStream stream;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  WriteJpegStream(stream, &bmp, params, progress);
  EXPECT_FALSE(aborting);
  return std::string(stream.Data().begin(), stream.Data().end());
}

// A segment header of this marker claiming 65533 bytes of data, `present` of
// which follow.
std::string LongSegment(int marker, size_t present) {
  std::string s("\xFF");
  s += char(marker);
  Put16(s, 0xFFFF);
  return s + std::string(present, 'x');
}

struct TMarkerCase {
  const char* Name;
  std::string (*Make)();
  bool LoadRefused;
  bool ParamsRefused;
};

const TMarkerCase kMarkerCases[] = {
    {"CommentLongerThanTheFile", [] { return std::string("\xFF\xD8", 2) + LongSegment(0xFE, 20); },
     true, true},
    {"App1BeforeTheFrameLongerThanTheFile",
     [] {
       const std::string good = SmallJpeg(false);
       return good.substr(0, 2) + LongSegment(0xE1, 100) + good.substr(2, 300);
     },
     true, true},
    {"App15LongerThanTheFile",
     [] { return SmallJpeg(false).substr(0, 2) + LongSegment(0xEF, 1000); }, true, true},
    // Between the scans of a progressive file: the header reads, the load does not.
    {"CommentBetweenScansLongerThanTheFile",
     [] {
       const std::string good = SmallJpeg(true);
       const size_t secondScan = good.find("\xFF\xDA", good.find("\xFF\xDA") + 2);
       return good.substr(0, secondScan) + LongSegment(0xFE, 500);
     },
     true, false},
    // After the last scan: every row is decoded before libjpeg reads it.
    {"CommentAfterTheScanLongerThanTheFile",
     [] {
       std::string good = SmallJpeg(false);
       good.resize(good.size() - 2);  // without its end-of-image marker
       return good + LongSegment(0xFE, 20);
     },
     true, false},
    // A comment ending exactly where the file does is whole: only the
    // end-of-image marker is missing, which is a warning.
    {"CommentThatEndsTheFileExactly",
     [] {
       std::string good = SmallJpeg(false);
       good.resize(good.size() - 2);  // without its end-of-image marker
       return good + std::string(
                         "\xFF\xFE\x00\x06"
                         "abcd",
                         8);
     },
     false, false},
};

class JpegMarkerLimits : public ::testing::TestWithParam<TMarkerCase> {};

TEST_P(JpegMarkerLimits, ASegmentPastTheEndIsATruncatedFile) {
  const TMarkerCase& c = GetParam();
  const std::string bytes = c.Make();
  const TRead r = ReadBoth(bytes);
  EXPECT_EQ(r.LoadAborted, c.LoadRefused);
  EXPECT_EQ(r.ParamsAborted, c.ParamsRefused);
  // libjpeg made up the bytes the file lacked: no marker of them is kept.
  EXPECT_LT(r.LongestMarker, bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Files, JpegMarkerLimits, ::testing::ValuesIn(kMarkerCases),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
