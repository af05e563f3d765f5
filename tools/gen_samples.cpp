// Makes sample photographs for a sample page without any download:
//   gen-samples OUTFOLDER
// writes sample-landscape.jpg (2400 x 1600) and sample-portrait.jpg (1600 x 2400).
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>

#include "imaging/io/imagingio.h"
#include "imaging/core/pxutils.h"

namespace {

uint8_t Clamp(double v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

// A landscape: sky, sun, two ranges of hills and a lake.
void Landscape(TPxBitmap& bmp, int w, int h) {
  for (int y = 0; y < h; ++y) {
    TBGR* row = reinterpret_cast<TBGR*>(bmp.Scanline(y));
    const double fy = double(y) / h;
    for (int x = 0; x < w; ++x) {
      const double fx = double(x) / w;
      const double far = 0.55 + 0.06 * std::sin(fx * 9.0) + 0.03 * std::sin(fx * 23.0);
      const double near = 0.68 + 0.08 * std::sin(fx * 5.0 + 1.3);
      const double sun = std::hypot(fx - 0.72, (fy - 0.22) * h / w);
      TBGR c;
      if (fy > 0.82) {
        c = MakeBGR(Clamp(40 + 30 * fy), Clamp(90 + 40 * fx), Clamp(150 + 60 * (1 - fx)));
      } else if (fy > near) {
        c = MakeBGR(Clamp(50 + 40 * fx), Clamp(110 + 50 * (fy - near) * 4), 45);
      } else if (fy > far) {
        c = MakeBGR(90, Clamp(120 - 40 * fy), Clamp(140 + 20 * fx));
      } else if (sun < 0.06) {
        c = MakeBGR(255, 226, 120);
      } else {
        c = MakeBGR(Clamp(120 + 100 * fy), Clamp(170 + 60 * fy), Clamp(240 - 20 * fy));
      }
      row[x] = c;
    }
  }
}

// A portrait picture: rings of colour around a centre over a warm ground.
void Portrait(TPxBitmap& bmp, int w, int h) {
  for (int y = 0; y < h; ++y) {
    TBGR* row = reinterpret_cast<TBGR*>(bmp.Scanline(y));
    for (int x = 0; x < w; ++x) {
      const double d = std::hypot(x - w * 0.5, y - h * 0.42) / w;
      const double ring = 0.5 + 0.5 * std::cos(d * 40.0);
      row[x] = MakeBGR(Clamp(200 + 55 * ring * (1 - d)), Clamp(120 + 90 * ring * d),
                       Clamp(60 + 150 * (1 - ring) * d + 40.0 * y / h));
    }
  }
}

bool Save(const std::string& file, int w, int h, void (*draw)(TPxBitmap&, int, int)) {
  TImagingIO io;
  if (!io.Bitmap()->Allocate(w, h, pxRGB24)) return false;
  draw(*io.Bitmap(), w, h);
  io.Params.JpegQuality = 92;
  io.SaveToFile(file);
  return !io.Aborting;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: gen-samples OUTFOLDER\n");
    return 2;
  }
  const std::string folder = std::string(argv[1]) + "/";
  try {
    if (Save(folder + "sample-landscape.jpg", 2400, 1600, Landscape) &&
        Save(folder + "sample-portrait.jpg", 1600, 2400, Portrait))
      return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "gen-samples: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "gen-samples: cannot write the samples into %s\n", folder.c_str());
  return 1;
}
