#include "imaging/formats/pxbilevel.h"

#include <cmath>
#include <cstring>

namespace {

int RoundedGray(const TBGR& c) {
  return static_cast<int>(std::lround((kGrayWeightRed * c.r + kGrayWeightGreen * c.g +
                                       kGrayWeightBlue * c.b) / 100.0));
}

// The two colours of a 24-bit picture, in the order met; false for more or fewer.
bool TwoColours(const TPxBitmap& source, TBGR& first, TBGR& second) {
  int found = 0;
  const int w = source.Width();
  for (int y = 0; y < source.Height(); ++y) {
    const TBGR* p = reinterpret_cast<const TBGR*>(source.Scanline(y));
    for (int x = 0; x < w; ++x) {
      if (found >= 1 && p[x] == first) continue;
      if (found == 2 && p[x] == second) continue;
      if (found == 2) return false;
      (found == 0 ? first : second) = p[x];
      ++found;
    }
  }
  return found == 2;
}

}  // namespace

bool PxMakeBilevel(const TPxBitmap& source, TPxBitmap& out, TBGR& dark, TBGR& light) {
  dark = TBGR{0, 0, 0};
  light = TBGR{255, 255, 255};
  if (!out.Assign(source)) return false;
  if (source.PixelFormat() == px1g) return true;
  if (out.PixelFormat() != pxRGB24 && !out.ConvertTo(pxRGB24)) return false;
  TBGR first, second;
  if (!TwoColours(out, first, second)) return out.ConvertTo(px1g);
  const bool firstDark = RoundedGray(first) <= RoundedGray(second);
  dark = firstDark ? first : second;
  light = firstDark ? second : first;
  TPxBitmap bits;
  if (!bits.Allocate(out.Width(), out.Height(), px1g)) return false;
  const int w = out.Width();
  for (int y = 0; y < out.Height(); ++y) {
    const TBGR* p = reinterpret_cast<const TBGR*>(out.Scanline(y));
    uint8_t* d = bits.Scanline(y);
    std::memset(d, 0, static_cast<size_t>(bits.RowBytes()));
    for (int x = 0; x < w; ++x)
      if (p[x] == light) d[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
  }
  out.TakeOver(bits);
  return true;
}

const TPxBitmap* PxWriterSource(const TPxBitmap& bitmap, bool bilevel, TPxBitmap& work, TBGR& dark,
                                TBGR& light) {
  dark = TBGR{0, 0, 0};
  light = TBGR{255, 255, 255};
  if (bilevel) return PxMakeBilevel(bitmap, work, dark, light) ? &work : nullptr;
  if (bitmap.PixelFormat() == pxRGB24) return &bitmap;
  return work.Assign(bitmap) && work.ConvertTo(pxRGB24) ? &work : nullptr;
}
