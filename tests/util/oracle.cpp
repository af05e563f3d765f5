#include "oracle.h"

#include <cstdio>

#include "testutil.h"

namespace testutil {

bool ImageMagickRgba(const std::string& file, RgbaImage& out, int index) {
  const std::string image = "'" + file + "[" + std::to_string(index) + "]'";
  auto size = RunCommand("/usr/bin/identify -format '%w %h' " + image);
  if (size.status != 0 || std::sscanf(size.output.c_str(), "%d %d", &out.width, &out.height) != 2)
    return false;
  TempDir dir;
  const std::string raw = dir.File("decoded.rgba");
  auto r = RunCommand("/usr/bin/convert " + image + " -depth 8 rgba:'" + raw + "'");
  if (r.status != 0) return false;
  const std::string bytes = ReadFileBytes(raw);
  if (bytes.size() != size_t(out.width) * size_t(out.height) * 4) return false;
  out.rgba.assign(bytes.begin(), bytes.end());
  return true;
}

RgbaImage BitmapRgba(const TPxBitmap& bitmap) {
  RgbaImage out;
  TPxBitmap rgb;
  if (bitmap.IsEmpty() || !rgb.Assign(bitmap)) return out;
  rgb.RemoveAlphaChannel();
  if (rgb.PixelFormat() != pxRGB24 && !rgb.ConvertTo(pxRGB24)) return out;
  out.width = rgb.Width();
  out.height = rgb.Height();
  out.rgba.resize(size_t(out.width) * size_t(out.height) * 4);
  const TPxBitmap* alpha = bitmap.AlphaChannelIfAny();
  for (int y = 0; y < out.height; ++y) {
    const uint8_t* p = rgb.Scanline(y);
    const uint8_t* a = alpha ? const_cast<TPxBitmap*>(alpha)->Scanline(y) : nullptr;
    uint8_t* d = out.rgba.data() + size_t(y) * size_t(out.width) * 4;
    for (int x = 0; x < out.width; ++x, p += 3, d += 4) {
      d[0] = p[2], d[1] = p[1], d[2] = p[0];
      d[3] = a ? a[x] : 255;
    }
  }
  return out;
}

std::string RgbaDifference(const RgbaImage& expected, const RgbaImage& actual) {
  if (expected.width != actual.width || expected.height != actual.height)
    return "size " + std::to_string(actual.width) + " x " + std::to_string(actual.height) +
           ", expected " + std::to_string(expected.width) + " x " + std::to_string(expected.height);
  for (size_t i = 0; i < expected.rgba.size(); i += 4)
    for (int c = 0; c < 4; ++c)
      if (expected.rgba[i + c] != actual.rgba[i + c]) {
        const size_t p = i / 4;
        auto px = [&](const RgbaImage& m) {
          return std::to_string(m.rgba[i]) + "," + std::to_string(m.rgba[i + 1]) + "," +
                 std::to_string(m.rgba[i + 2]) + "," + std::to_string(m.rgba[i + 3]);
        };
        return "pixel (" + std::to_string(p % size_t(expected.width)) + ", " +
               std::to_string(p / size_t(expected.width)) + "): " + px(actual) + ", expected " +
               px(expected);
      }
  return {};
}

}  // namespace testutil
