// A writer of small DNG files for tests and benchmarks: a TIFF with the few
// tags a DNG needs over an RGGB mosaic of 12-bit samples, optionally behind
// an 8-bit RGB preview, as cameras write them. No camera files are shipped.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace dngfile {

struct Tag {
  uint16_t id, type;
  uint32_t count;
  std::string data;  // the values, little-endian
};

inline std::string U16s(std::initializer_list<unsigned> v) {
  std::string s;
  for (unsigned x : v) s += {char(x & 0xFF), char(x >> 8)};
  return s;
}
inline std::string U32s(std::initializer_list<uint32_t> v) {
  std::string s;
  for (uint32_t x : v) s += {char(x & 0xFF), char(x >> 8 & 0xFF), char(x >> 16 & 0xFF), char(x >> 24)};
  return s;
}
// Rationals as numerator / 10000.
inline std::string Rationals(std::initializer_list<double> v) {
  std::string s;
  for (double x : v) {
    const int32_t n = static_cast<int32_t>(x * 10000 + (x < 0 ? -0.5 : 0.5));
    s += U32s({static_cast<uint32_t>(n), 10000});
  }
  return s;
}
inline Tag Short(uint16_t id, std::initializer_list<unsigned> v) { return {id, 3, uint32_t(v.size()), U16s(v)}; }
inline Tag Long(uint16_t id, std::initializer_list<uint32_t> v) { return {id, 4, uint32_t(v.size()), U32s(v)}; }
inline Tag Ascii(uint16_t id, const std::string& text) { return {id, 2, uint32_t(text.size() + 1), text + '\0'}; }
inline Tag Bytes(uint16_t id, const std::string& v) { return {id, 1, uint32_t(v.size()), v}; }

// One IFD at `at` (its values placed right after it); returns its bytes.
// Tags must come sorted by id. `next` is the offset of the following IFD.
inline std::string Ifd(std::vector<Tag> tags, uint32_t at, uint32_t next = 0) {
  std::string dir = U16s({unsigned(tags.size())}), values;
  const uint32_t valuesAt = at + 2 + 12 * uint32_t(tags.size()) + 4;
  for (const Tag& t : tags) {
    dir += U16s({t.id, t.type}) + U32s({t.count});
    std::string v = t.data;
    if (v.size() <= 4) {
      v.resize(4, '\0');
      dir += v;
    } else {
      dir += U32s({valuesAt + uint32_t(values.size())});
      values += v;
      if (values.size() % 2) values += '\0';
    }
  }
  return dir + U32s({next}) + values;
}

struct DngSpec {
  int width = 64, height = 48;
  int orientation = 1;
  // The camera's white balance as the neutral it saw (green 1).
  double neutralRed = 0.55, neutralBlue = 0.75;
  int previewWidth = 0, previewHeight = 0;  // 0: no preview
};

// A scene of gradients and blocks, as 12-bit linear light per colour.
inline unsigned Scene(int x, int y, int c, const DngSpec& s) {
  const int block = ((x / 8 + y / 6) % 3);
  const double base = (c == 0 ? x : c == 1 ? y : (x + y) / 2) / double(s.width + s.height);
  double v = 300 + 2600 * base + 500 * block + 3 * ((x * 7 + y * 13 + c * 5) % 11);
  // What the sensor records under the camera's light: the neutral scales it.
  v *= c == 0 ? s.neutralRed : c == 2 ? s.neutralBlue : 1.0;
  return static_cast<unsigned>(std::min(v, 4000.0));
}

// The preview: 8-bit RGB, a pattern of its own.
inline uint8_t PreviewSample(int x, int y, int c) { return static_cast<uint8_t>((x * 9 + y * 4 + c * 80) & 0xFF); }

// An RGGB mosaic, uncompressed 16-bit samples; with a preview, IFD 0 is the
// preview and the mosaic hangs off it as a sub-IFD, as cameras write them.
inline std::string MakeDng(const DngSpec& s) {
  std::string mosaic(size_t(s.width) * s.height * 2, '\0');
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) {
      const int c = (y % 2 == 0) ? (x % 2 == 0 ? 0 : 1) : (x % 2 == 0 ? 1 : 2);
      const unsigned v = Scene(x, y, c, s);
      const size_t at = (size_t(y) * s.width + x) * 2;
      mosaic[at] = char(v & 0xFF);
      mosaic[at + 1] = char(v >> 8);
    }
  std::string preview;
  for (int y = 0; y < s.previewHeight; ++y)
    for (int x = 0; x < s.previewWidth; ++x)
      for (int c = 0; c < 3; ++c) preview += char(PreviewSample(x, y, c));

  // Camera space is linear sRGB: the colour matrix is that of XYZ to sRGB.
  const std::vector<Tag> dngTags = {
      Bytes(50706, std::string("\x01\x04\x00\x00", 4)),
      Ascii(50708, "Pictrova Test Camera"),
      {50721, 10, 9, Rationals({3.2406, -1.5372, -0.4986, -0.9689, 1.8758, 0.0415, 0.0557, -0.2040, 1.0570})},
      {50728, 5, 3, Rationals({s.neutralRed, 1.0, s.neutralBlue})},
      Short(50778, {21}),
  };
  auto rawTags = [&](uint32_t dataAt) {
    return std::vector<Tag>{
        Long(254, {0}), Long(256, {uint32_t(s.width)}), Long(257, {uint32_t(s.height)}),
        Short(258, {16}), Short(259, {1}), Short(262, {32803}), Long(273, {dataAt}),
        Short(277, {1}), Long(278, {uint32_t(s.height)}), Long(279, {uint32_t(mosaic.size())}),
        Short(284, {1}), Short(33421, {2, 2}), Bytes(33422, std::string("\x00\x01\x01\x02", 4)),
        Long(50717, {4095})};
  };
  auto withDng = [&](std::vector<Tag> tags, std::vector<Tag> more) {
    tags.insert(tags.end(), more.begin(), more.end());
    std::sort(tags.begin(), tags.end(), [](const Tag& a, const Tag& b) { return a.id < b.id; });
    return tags;
  };
  const std::vector<Tag> camera = {Ascii(271, "Pictrova"), Ascii(272, "Test Camera"),
                                   Short(274, {unsigned(s.orientation)})};
  // Two passes: the sizes of the IFDs fix where the data goes.
  std::string file;
  for (int pass = 0; pass < 2; ++pass) {
    const uint32_t dataAt = 8;
    const uint32_t previewAt = dataAt + uint32_t(mosaic.size());
    const uint32_t ifd0At = previewAt + uint32_t(preview.size()) + (preview.size() % 2);
    std::string ifds;
    if (s.previewWidth == 0) {
      std::vector<Tag> tags = withDng(rawTags(dataAt), camera);
      tags = withDng(tags, dngTags);
      ifds = Ifd(tags, ifd0At);
    } else {
      // Sub-IFD after IFD 0: its offset is known once IFD 0's size is.
      const uint32_t probeSize = uint32_t(file.empty() ? 0 : file.size());
      const uint32_t subAt = pass == 0 ? 0 : probeSize;
      std::vector<Tag> previewTags = {
          Long(254, {1}), Long(256, {uint32_t(s.previewWidth)}), Long(257, {uint32_t(s.previewHeight)}),
          Short(258, {8, 8, 8}), Short(259, {1}), Short(262, {2}), Long(273, {previewAt}),
          Short(277, {3}), Long(278, {uint32_t(s.previewHeight)}), Long(279, {uint32_t(preview.size())}),
          Short(284, {1}), Long(330, {subAt})};
      previewTags = withDng(previewTags, camera);
      previewTags = withDng(previewTags, dngTags);
      const std::string ifd0 = Ifd(previewTags, ifd0At);
      const uint32_t realSubAt = ifd0At + uint32_t(ifd0.size()) + (ifd0.size() % 2);
      for (Tag& t : previewTags)
        if (t.id == 330) t.data = U32s({realSubAt});
      std::string first = Ifd(previewTags, ifd0At);
      if (first.size() % 2) first += '\0';
      ifds = first + Ifd(rawTags(dataAt), realSubAt);
    }
    file = std::string("II*\0", 4) + U32s({ifd0At}) + mosaic + preview +
           (preview.size() % 2 ? std::string(1, '\0') : std::string()) + ifds;
  }
  return file;
}

}  // namespace dngfile
