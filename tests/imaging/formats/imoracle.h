// ImageMagick as the independent side of codec tests: its decoding of a file
// as top-down RGB (and alpha) bytes, to compare with what our readers give.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "imaging/core/pxutils.h"
#include "util/testutil.h"

namespace imoracle {

inline const std::string kConvert = "/usr/bin/convert";

// Pixels as top-down rows of red, green, blue bytes (and alpha bytes apart).
struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
  std::vector<uint8_t> alpha;  // empty when not asked for
};

// Runs ImageMagick: convert ARGS; fails the test when it fails.
inline bool Convert(const std::string& args) {
  const testutil::CommandResult r = testutil::RunCommand(kConvert + " " + args + " 2>&1");
  EXPECT_EQ(r.status, 0) << "convert " << args << "\n" << r.output;
  return r.status == 0;
}

// Parses the header of a binary PNM/PAM file written by ImageMagick.
inline bool ParseHeader(const std::string& bytes, size_t& at, std::vector<std::string>& tokens,
                        size_t count) {
  at = 0;
  while (tokens.size() < count && at < bytes.size()) {
    while (at < bytes.size() && std::isspace(static_cast<unsigned char>(bytes[at]))) ++at;
    if (at < bytes.size() && bytes[at] == '#') {
      while (at < bytes.size() && bytes[at] != '\n') ++at;
      continue;
    }
    size_t from = at;
    while (at < bytes.size() && !std::isspace(static_cast<unsigned char>(bytes[at]))) ++at;
    tokens.push_back(bytes.substr(from, at - from));
  }
  ++at;  // the one white-space byte after the header
  return tokens.size() == count;
}

// ImageMagick's decoding of `file` (a "[n]" suffix picks a page), its
// orientation applied. With alpha the alpha bytes are taken too.
inline Pixels Decode(const std::string& file, bool alpha = false) {
  Pixels p;
  const std::string out = file + (alpha ? ".oracle.pam" : ".oracle.ppm");
  if (!Convert("'" + file + "' -auto-orient -depth 8 " + (alpha ? "-alpha on pam:'" : "-alpha off ppm:'") +
               out + "'"))
    return p;
  const std::string bytes = testutil::ReadFileBytes(out);
  std::remove(out.c_str());
  size_t at = 0;
  std::vector<std::string> t;
  if (!alpha) {
    if (!ParseHeader(bytes, at, t, 4) || t[0] != "P6") {
      ADD_FAILURE() << "no PPM from ImageMagick for " << file;
      return p;
    }
    p.width = std::stoi(t[1]);
    p.height = std::stoi(t[2]);
    p.rgb.assign(bytes.begin() + static_cast<long>(at), bytes.end());
    return p;
  }
  // P7 WIDTH w HEIGHT h DEPTH 4 MAXVAL 255 TUPLTYPE RGB_ALPHA ENDHDR
  if (!ParseHeader(bytes, at, t, 12) || t[0] != "P7" || t[6] != "4") {
    ADD_FAILURE() << "no RGBA PAM from ImageMagick for " << file;
    return p;
  }
  p.width = std::stoi(t[2]);
  p.height = std::stoi(t[4]);
  for (size_t i = at; i + 3 < bytes.size(); i += 4) {
    p.rgb.insert(p.rgb.end(), {uint8_t(bytes[i]), uint8_t(bytes[i + 1]), uint8_t(bytes[i + 2])});
    p.alpha.push_back(uint8_t(bytes[i + 3]));
  }
  return p;
}

// A binary PPM written by a command (netpbm's converters) to its standard output.
inline Pixels DecodeByCommand(const std::string& command) {
  Pixels p;
  const testutil::CommandResult r = testutil::RunCommand(command + " 2>/dev/null");
  EXPECT_EQ(r.status, 0) << command;
  size_t at = 0;
  std::vector<std::string> t;
  if (!ParseHeader(r.output, at, t, 4) || t[0] != "P6") {
    ADD_FAILURE() << "no PPM from " << command;
    return p;
  }
  p.width = std::stoi(t[1]);
  p.height = std::stoi(t[2]);
  p.rgb.assign(r.output.begin() + static_cast<long>(at), r.output.end());
  return p;
}

// Every value v as 255 - v (ImageMagick reads a 1-bit PCX's 1 as black).
inline Pixels Inverted(Pixels p) {
  for (uint8_t& v : p.rgb) v = static_cast<uint8_t>(255 - v);
  return p;
}

// Our bitmap in the same form: px1g bits as 0 or 255, pxRGB24 reordered.
inline Pixels FromBitmap(const TPxBitmap& b, bool alpha = false) {
  Pixels p;
  p.width = b.Width();
  p.height = b.Height();
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* row = b.Scanline(y);
    for (int x = 0; x < b.Width(); ++x) {
      if (b.PixelFormat() == px1g) {
        const uint8_t v = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
        p.rgb.insert(p.rgb.end(), {v, v, v});
      } else {
        const TBGR c = reinterpret_cast<const TBGR*>(row)[x];
        p.rgb.insert(p.rgb.end(), {c.r, c.g, c.b});
      }
      if (alpha) p.alpha.push_back(b.Alpha(x, y));
    }
  }
  return p;
}

// Index of the first differing pixel, or -1.
inline long FirstDifference(const Pixels& a, const Pixels& b) {
  if (a.width != b.width || a.height != b.height) return 0;
  for (size_t i = 0; i < a.rgb.size() && i < b.rgb.size(); ++i)
    if (a.rgb[i] != b.rgb[i]) return static_cast<long>(i / 3);
  for (size_t i = 0; i < a.alpha.size() && i < b.alpha.size(); ++i)
    if (a.alpha[i] != b.alpha[i]) return static_cast<long>(i);
  return a.rgb.size() == b.rgb.size() && a.alpha.size() == b.alpha.size() ? -1 : 0;
}

inline void ExpectSame(const Pixels& ours, const Pixels& oracle) {
  ASSERT_EQ(ours.width, oracle.width);
  ASSERT_EQ(ours.height, oracle.height);
  const long at = FirstDifference(ours, oracle);
  EXPECT_EQ(at, -1) << "first difference at pixel (" << (at % std::max(ours.width, 1)) << ", "
                    << (at / std::max(ours.width, 1)) << ")";
}

}  // namespace imoracle
