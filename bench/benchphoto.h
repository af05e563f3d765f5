// The benchmarks' stand-in for a photo: smooth gradients with a little
// noise, neither flat (which run-length and deflate coders would make
// trivially fast) nor random (which no photo is).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

#include "imaging/core/pxutils.h"

// levels > 0 keeps that many levels a channel (runs of equal pixels, as
// palette pictures have them).
inline std::unique_ptr<TPxBitmap> PxBenchPhoto(int width = 6000, int height = 4000, int levels = 0) {
  auto b = std::make_unique<TPxBitmap>();
  b->Allocate(width, height, pxRGB24);
  uint32_t noise = 12345;
  for (int y = 0; y < height; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int x = 0; x < width; ++x) {
      noise = noise * 1664525u + 1013904223u;
      const int n = static_cast<int>((noise >> 24) & 7) - 4;
      const double fx = x / static_cast<double>(width), fy = y / static_cast<double>(height);
      const int c[3] = {static_cast<int>(200 - 150 * fx * fy) + n, static_cast<int>(40 + 180 * fy) + n,
                        static_cast<int>(128 + 100 * std::sin(fx * 6.0 + fy * 2.0)) + n};
      for (int k = 0; k < 3; ++k) {
        int v = std::clamp(c[k], 0, 255);
        if (levels > 0) v = v * levels / 256 * (255 / std::max(levels - 1, 1));
        row[3 * x + k] = static_cast<uint8_t>(v);
      }
    }
  }
  return b;
}
