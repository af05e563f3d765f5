// Pictures as 8-bit RGBA, from ImageMagick's decoding of a file and from our
// bitmaps, to compare codecs against an independent decoder.
#pragma once

#include <string>
#include <vector>

#include "imaging/core/pxutils.h"

namespace testutil {

struct RgbaImage {
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;  // 4 bytes per pixel, top row first
};

// ImageMagick's decoding of one image of a file ("file[index]"), 8 bits per
// sample, alpha 255 where the file has none. False when it cannot decode it.
bool ImageMagickRgba(const std::string& file, RgbaImage& out, int index = 0);

// A bitmap in any pixel format as 8-bit RGBA; alpha from its alpha plane, 255
// without one.
RgbaImage BitmapRgba(const TPxBitmap& bitmap);

// Empty when the pictures are equal, else their sizes or the first differing pixel.
std::string RgbaDifference(const RgbaImage& expected, const RgbaImage& actual);

}  // namespace testutil
