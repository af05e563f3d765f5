// Helpers of the tests of the codecs built on outside libraries: test
// pictures, Netpbm files that the libraries' own tools read and write, and
// comparisons of our pixels with theirs.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"
#include "util/testutil.h"

namespace codectest {

// Photo-like content: gradients, a little noise and a few hard edges.
inline uint8_t Sample(int x, int y, int channel, uint32_t seed = 3) {
  uint32_t h = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u ^ uint32_t(channel + 1) * 83492791u ^
               seed * 2654435761u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  const int edge = ((x / 9 + y / 7) & 1) ? 40 : 0;
  return static_cast<uint8_t>((x * 5 + y * 3 + channel * 70 + edge + int(h % 12)) & 0xFF);
}

// A picture of samples as 8-bit RGBA (or gray when channels is 1 or 2).
struct Picture {
  int width = 0, height = 0, channels = 0;
  std::vector<uint8_t> samples;
  uint8_t At(int x, int y, int c) const {
    return samples[(size_t(y) * width + x) * channels + c];
  }
};

inline Picture MakePicture(int w, int h, int channels, uint32_t seed = 3) {
  Picture p{w, h, channels, {}};
  p.samples.resize(size_t(w) * h * channels);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c) {
        const bool alpha = (channels == 4 && c == 3) || (channels == 2 && c == 1);
        p.samples[(size_t(y) * w + x) * channels + c] =
            alpha ? static_cast<uint8_t>(x % 4 == 0 ? 0 : (x * 255) / std::max(1, w - 1))
                  : Sample(x, y, c, seed);
      }
  return p;
}

// Writes P5/P6 (channels 1, 3) or P7 (2, 4) with 8-bit samples.
inline void WriteNetpbm(const std::string& path, const Picture& p) {
  std::string head;
  if (p.channels == 1 || p.channels == 3) {
    head = std::string(p.channels == 1 ? "P5" : "P6") + "\n" + std::to_string(p.width) + " " +
           std::to_string(p.height) + "\n255\n";
  } else {
    head = "P7\nWIDTH " + std::to_string(p.width) + "\nHEIGHT " + std::to_string(p.height) +
           "\nDEPTH " + std::to_string(p.channels) + "\nMAXVAL 255\nTUPLTYPE " +
           (p.channels == 2 ? "GRAYSCALE_ALPHA" : "RGB_ALPHA") + "\nENDHDR\n";
  }
  testutil::WriteFileBytes(path, head + std::string(p.samples.begin(), p.samples.end()));
}

// Reads P5, P6 or P7 with samples up to 16 bits; samples above 8 bits are
// scaled to 8 by rounding. False when the file is not one of those.
inline bool ReadNetpbm(const std::string& path, Picture& out) {
  const std::string bytes = testutil::ReadFileBytes(path);
  if (bytes.size() < 3 || bytes[0] != 'P') return false;
  size_t pos = 2;
  auto word = [&]() {
    while (pos < bytes.size()) {
      if (bytes[pos] == '#') {
        while (pos < bytes.size() && bytes[pos] != '\n') ++pos;
      } else if (std::isspace(static_cast<unsigned char>(bytes[pos]))) {
        ++pos;
      } else {
        break;
      }
    }
    size_t start = pos;
    while (pos < bytes.size() && !std::isspace(static_cast<unsigned char>(bytes[pos]))) ++pos;
    return bytes.substr(start, pos - start);
  };
  int maxval = 0;
  if (bytes[1] == '5' || bytes[1] == '6') {
    out.channels = bytes[1] == '5' ? 1 : 3;
    out.width = std::atoi(word().c_str());
    out.height = std::atoi(word().c_str());
    maxval = std::atoi(word().c_str());
  } else if (bytes[1] == '7') {
    for (std::string w = word(); w != "ENDHDR" && !w.empty(); w = word()) {
      if (w == "WIDTH") out.width = std::atoi(word().c_str());
      else if (w == "HEIGHT") out.height = std::atoi(word().c_str());
      else if (w == "DEPTH") out.channels = std::atoi(word().c_str());
      else if (w == "MAXVAL") maxval = std::atoi(word().c_str());
      else if (w == "TUPLTYPE") word();
    }
  } else {
    return false;
  }
  ++pos;  // the one white space after the header
  const int bytesPerSample = maxval > 255 ? 2 : 1;
  const size_t count = size_t(out.width) * out.height * out.channels;
  if (out.width <= 0 || out.height <= 0 || maxval <= 0 || bytes.size() < pos + count * bytesPerSample)
    return false;
  out.samples.resize(count);
  for (size_t i = 0; i < count; ++i) {
    unsigned v = static_cast<uint8_t>(bytes[pos + i * bytesPerSample]);
    if (bytesPerSample == 2) v = v << 8 | static_cast<uint8_t>(bytes[pos + i * 2 + 1]);
    out.samples[i] = static_cast<uint8_t>((v * 255u + maxval / 2) / maxval);
  }
  return true;
}

// A PNG that a tool wrote, through netpbm's pngtopam (alpha kept).
inline bool ReadPngByNetpbm(const std::string& png, const testutil::TempDir& dir, Picture& out) {
  const std::string pam = dir.File("from-png.pam");
  auto r = testutil::RunCommand("/usr/bin/pngtopam -alphapam '" + png + "' > '" + pam + "'");
  return r.status == 0 && ReadNetpbm(pam, out);
}

// Our bitmap against a tool's picture: same size, every colour sample and
// (when the tool's picture has alpha) every alpha value within tolerance.
// Gray pictures compare each of our colour channels with the gray value.
inline void ExpectSamePixels(TPxBitmap& bitmap, const Picture& expected, int tolerance,
                             const std::string& what) {
  SCOPED_TRACE(what);
  ASSERT_EQ(bitmap.Width(), expected.width);
  ASSERT_EQ(bitmap.Height(), expected.height);
  // A tool may give an alpha channel that is opaque everywhere: the same as none.
  bool alpha = false;
  if (expected.channels == 2 || expected.channels == 4)
    for (int y = 0; y < expected.height && !alpha; ++y)
      for (int x = 0; x < expected.width && !alpha; ++x)
        alpha = expected.At(x, y, expected.channels - 1) != 255;
  const int colours = expected.channels >= 3 ? 3 : 1;
  int worst = 0, badX = -1, badY = -1;
  for (int y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* row = bitmap.Scanline(y);
    for (int x = 0; x < bitmap.Width(); ++x) {
      int ours[4];
      if (bitmap.PixelFormat() == pxRGB24) {
        ours[0] = row[3 * x + 2];
        ours[1] = row[3 * x + 1];
        ours[2] = row[3 * x];
      } else {
        ASSERT_EQ(bitmap.PixelFormat(), px8g);
        ours[0] = ours[1] = ours[2] = row[x];
      }
      for (int c = 0; c < 3; ++c) {
        const int theirs = expected.At(x, y, colours == 3 ? c : 0);
        const int d = std::abs(ours[c] - theirs);
        if (d > worst) {
          worst = d;
          badX = x;
          badY = y;
        }
      }
      if (expected.channels == 2 || expected.channels == 4) {
        const int d = std::abs(int(bitmap.Alpha(x, y)) - expected.At(x, y, expected.channels - 1));
        if (d > worst) {
          worst = d;
          badX = x;
          badY = y;
        }
      }
    }
  }
  EXPECT_LE(worst, tolerance) << "largest difference at " << badX << "," << badY;
  if (alpha) {
    EXPECT_TRUE(bitmap.HasAlphaChannel());
  }
}

// Mean absolute difference of the colour samples of two pictures of one size.
inline double MeanDifference(TPxBitmap& bitmap, const Picture& expected) {
  double sum = 0;
  int64_t n = 0;
  for (int y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* row = bitmap.Scanline(y);
    for (int x = 0; x < bitmap.Width(); ++x)
      for (int c = 0; c < 3; ++c, ++n)
        sum += std::abs(int(row[3 * x + 2 - c]) - int(expected.At(x, y, expected.channels >= 3 ? c : 0)));
  }
  return n ? sum / double(n) : 1e9;
}

// A bitmap holding a picture: pxRGB24 (or px8g for gray) and its alpha plane.
inline std::unique_ptr<TPxBitmap> ToBitmap(const Picture& p) {
  auto b = std::make_unique<TPxBitmap>();
  const bool colour = p.channels >= 3;
  EXPECT_TRUE(b->Allocate(p.width, p.height, colour ? pxRGB24 : px8g));
  for (int y = 0; y < p.height; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int x = 0; x < p.width; ++x) {
      if (colour) {
        row[3 * x] = p.At(x, y, 2);
        row[3 * x + 1] = p.At(x, y, 1);
        row[3 * x + 2] = p.At(x, y, 0);
      } else {
        row[x] = p.At(x, y, 0);
      }
    }
  }
  if (p.channels == 2 || p.channels == 4) {
    TPxBitmap* a = b->AlphaChannel();
    for (int y = 0; y < p.height; ++y)
      for (int x = 0; x < p.width; ++x) a->Scanline(y)[x] = p.At(x, y, p.channels - 1);
    a->SetFullAlpha(false);
  }
  return b;
}

// The outcome of one read or write through a codec function.
struct Outcome {
  bool aborted = false;
  std::unique_ptr<TPxBitmap> bitmap = std::make_unique<TPxBitmap>();
  TIOParamsVals params;
};

using ReadFn = std::function<void(TPxStream&, TPxBitmap*, TIOParamsVals&, bool, TPxProgress&)>;
using WriteFn = std::function<void(TPxStream&, TPxBitmap*, TIOParamsVals&, TPxProgress&)>;

inline Outcome ReadBytes(const ReadFn& read, const std::string& bytes, bool paramsOnly = false,
                         const std::function<void(TIOParamsVals&)>& setup = nullptr) {
  Outcome out;
  if (setup) setup(out.params);
  TPxMemoryStream stream(bytes.data(), bytes.size());
  TPxProgress progress;
  progress.Aborting = &out.aborted;
  read(stream, out.bitmap.get(), out.params, paramsOnly, progress);
  return out;
}

inline Outcome ReadFile(const ReadFn& read, const std::string& path, bool paramsOnly = false,
                        const std::function<void(TIOParamsVals&)>& setup = nullptr) {
  return ReadBytes(read, testutil::ReadFileBytes(path), paramsOnly, setup);
}

// Writes bitmap to path; false when the writer aborted.
inline bool WriteFile(const WriteFn& write, TPxBitmap& bitmap, const std::string& path,
                      const std::function<void(TIOParamsVals&)>& setup = nullptr) {
  TIOParamsVals params;
  if (setup) setup(params);
  TPxMemoryStream stream;
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  write(stream, &bitmap, params, progress);
  if (aborted) return false;
  testutil::WriteFileBytes(path, std::string(stream.Data().begin(), stream.Data().end()));
  return true;
}

// A damaged or hostile file and how it is made from a good one.
struct BadInput {
  const char* name;
  std::function<std::string(const std::string& good)> make;
};

inline std::string Truncated(const std::string& good, double fraction) {
  return good.substr(0, static_cast<size_t>(good.size() * fraction));
}

// Every bad input is refused: Aborting set, no pixels left, and a message.
inline void ExpectAllRefused(const ReadFn& read, const std::string& good,
                             const std::vector<BadInput>& cases) {
  for (const BadInput& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = c.make(good);
    Outcome out = ReadBytes(read, bytes);
    EXPECT_TRUE(out.aborted);
    EXPECT_TRUE(out.bitmap->IsEmpty());
    EXPECT_FALSE(out.params.CodecError.empty());
  }
}

// Puts a 32-bit value into bytes at offset, big- or little-endian.
inline void Put32(std::string& bytes, size_t offset, uint32_t v, bool bigEndian) {
  for (int i = 0; i < 4; ++i)
    bytes[offset + i] = static_cast<char>(bigEndian ? v >> (24 - 8 * i) : v >> (8 * i));
}

}  // namespace codectest
