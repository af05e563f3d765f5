// Pixel format conversion of TPxBitmap, the colour quantizer behind px8p and
// the RGB <-> CMYK conversion.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "imaging/core/pxutils.h"

// ---------------------------------------------------------------------------
// CMYK

void PxBGRToCMYK(const TBGR& c, uint8_t* cmyk) {
  const int mx = std::max({c.r, c.g, c.b});
  if (mx == 0) {
    cmyk[0] = cmyk[1] = cmyk[2] = 0;
    cmyk[3] = 255;
    return;
  }
  cmyk[0] = (uint8_t)(((mx - c.r) * 255 + mx / 2) / mx);
  cmyk[1] = (uint8_t)(((mx - c.g) * 255 + mx / 2) / mx);
  cmyk[2] = (uint8_t)(((mx - c.b) * 255 + mx / 2) / mx);
  cmyk[3] = (uint8_t)(255 - mx);
}

TBGR PxCMYKToBGR(const uint8_t* cmyk) {
  const int inv = 255 - cmyk[3];
  return TBGR{(uint8_t)(((255 - cmyk[2]) * inv + 127) / 255), (uint8_t)(((255 - cmyk[1]) * inv + 127) / 255),
              (uint8_t)(((255 - cmyk[0]) * inv + 127) / 255)};
}

void PxCMYKRowToBGR(const uint8_t* cmyk, TBGR* dst, int width) {
  for (int x = 0; x < width; ++x) dst[x] = PxCMYKToBGR(cmyk + 4 * x);
}

void PxBGRRowToCMYK(const TBGR* src, uint8_t* cmyk, int width) {
  for (int x = 0; x < width; ++x) PxBGRToCMYK(src[x], cmyk + 4 * x);
}

namespace {

// Rows of a bitmap with RowAlign below 32 may be unaligned: words and floats
// are read and written through memcpy.
inline uint16_t LoadU16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline void StoreU16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline float LoadF32(const uint8_t* p) {
  float v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void StoreF32(uint8_t* p, float v) { std::memcpy(p, &v, 4); }

inline int RoundScaled(float v, int maximum) {
  if (!(v > 0)) return 0;  // also NaN
  if (v >= 1) return maximum;
  return (int)std::lround(v * maximum);
}

inline int GetBit(const uint8_t* row, int x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }

// Any format to TBGR.
void RowToBGR(TPxPixelFormat pf, const uint8_t* s, const TBGR* palette, TBGR* out, int w) {
  switch (pf) {
    case px1g:
      for (int x = 0; x < w; ++x) {
        uint8_t v = GetBit(s, x) ? 255 : 0;
        out[x] = TBGR{v, v, v};
      }
      break;
    case px8p:
      if (palette)
        for (int x = 0; x < w; ++x) out[x] = palette[s[x]];
      else
        std::fill_n(out, w, TBGR{});
      break;
    case px8g:
      for (int x = 0; x < w; ++x) out[x] = TBGR{s[x], s[x], s[x]};
      break;
    case px16g:
      for (int x = 0; x < w; ++x) {
        uint8_t v = (uint8_t)(LoadU16(s + 2 * x) >> 8);
        out[x] = TBGR{v, v, v};
      }
      break;
    case pxRGB24:
      std::memcpy(out, s, (size_t)w * 3);
      break;
    case px32f:
      for (int x = 0; x < w; ++x) {
        uint8_t v = (uint8_t)RoundScaled(LoadF32(s + 4 * x), 255);
        out[x] = TBGR{v, v, v};
      }
      break;
    case pxCMYK:
      PxCMYKRowToBGR(s, out, w);
      break;
    case pxRGB48:
      for (int x = 0; x < w; ++x) {
        const uint8_t* p = s + 6 * x;
        out[x] = TBGR{(uint8_t)(LoadU16(p + 4) >> 8), (uint8_t)(LoadU16(p + 2) >> 8), (uint8_t)(LoadU16(p) >> 8)};
      }
      break;
    default:
      std::fill_n(out, w, TBGR{});
  }
}

// TBGR to any format but px1g.
void RowFromBGR(TPxPixelFormat pf, const TBGR* in, uint8_t* d, int w, const TPxQuantizer* quantizer) {
  switch (pf) {
    case px8p:
      if (quantizer) quantizer->MapRow(in, d, w);
      break;
    case px8g:
      for (int x = 0; x < w; ++x) d[x] = PxGray(in[x]);
      break;
    case px16g:
      for (int x = 0; x < w; ++x)
        StoreU16(d + 2 * x, (uint16_t)((in[x].r * 54484 + in[x].g * 183241 + in[x].b * 19275) / 1000));
      break;
    case pxRGB24:
      std::memcpy(d, in, (size_t)w * 3);
      break;
    case px32f:
      for (int x = 0; x < w; ++x)
        StoreF32(d + 4 * x, (float)((0.2126 * in[x].r + 0.7152 * in[x].g + 0.0722 * in[x].b) / 255.0));
      break;
    case pxCMYK:
      PxBGRRowToCMYK(in, d, w);
      break;
    case pxRGB48:
      for (int x = 0; x < w; ++x) {
        StoreU16(d + 6 * x, (uint16_t)(in[x].r * 257));
        StoreU16(d + 6 * x + 2, (uint16_t)(in[x].g * 257));
        StoreU16(d + 6 * x + 4, (uint16_t)(in[x].b * 257));
      }
      break;
    default:
      break;
  }
}

// Gray 0..255 of any format, for the black-and-white conversions.
void RowToGray(TPxPixelFormat pf, const uint8_t* s, const TBGR* palette, uint8_t* gray, TBGR* scratch, int w) {
  switch (pf) {
    case px8g:
      std::memcpy(gray, s, (size_t)w);
      return;
    case px16g:
      for (int x = 0; x < w; ++x) gray[x] = (uint8_t)(LoadU16(s + 2 * x) >> 8);
      return;
    case px32f:
      for (int x = 0; x < w; ++x) gray[x] = (uint8_t)RoundScaled(LoadF32(s + 4 * x), 255);
      return;
    default:
      RowToBGR(pf, s, palette, scratch, w);
      for (int x = 0; x < w; ++x) gray[x] = PxGray(scratch[x]);
  }
}

// The gray pairs with a rule of their own; false for any other pair.
bool GrayRowDirect(TPxPixelFormat sf, TPxPixelFormat df, const uint8_t* s, uint8_t* d, int w) {
  switch (sf * 16 + df) {
    case px8g * 16 + px16g:
      for (int x = 0; x < w; ++x) StoreU16(d + 2 * x, (uint16_t)(s[x] * 257));
      return true;
    case px8g * 16 + px32f:
      for (int x = 0; x < w; ++x) StoreF32(d + 4 * x, s[x] / 255.0f);
      return true;
    case px8g * 16 + pxRGB24:
      for (int x = 0; x < w; ++x) d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = s[x];
      return true;
    case px8g * 16 + pxRGB48:
      for (int x = 0; x < w; ++x) {
        const uint16_t v = (uint16_t)(s[x] * 257);
        StoreU16(d + 6 * x, v), StoreU16(d + 6 * x + 2, v), StoreU16(d + 6 * x + 4, v);
      }
      return true;
    case px16g * 16 + px8g:
    case px16g * 16 + px8p:
      for (int x = 0; x < w; ++x) d[x] = (uint8_t)(LoadU16(s + 2 * x) >> 8);
      return true;
    case px16g * 16 + px32f:
      for (int x = 0; x < w; ++x) StoreF32(d + 4 * x, LoadU16(s + 2 * x) / 65535.0f);
      return true;
    case px16g * 16 + pxRGB24:
      for (int x = 0; x < w; ++x) d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = (uint8_t)(LoadU16(s + 2 * x) >> 8);
      return true;
    case px32f * 16 + px8g:
      for (int x = 0; x < w; ++x) d[x] = (uint8_t)RoundScaled(LoadF32(s + 4 * x), 255);
      return true;
    case px32f * 16 + px16g:
      for (int x = 0; x < w; ++x) StoreU16(d + 2 * x, (uint16_t)RoundScaled(LoadF32(s + 4 * x), 65535));
      return true;
    case px32f * 16 + pxRGB48:
      for (int x = 0; x < w; ++x) {
        const uint16_t v = (uint16_t)RoundScaled(LoadF32(s + 4 * x), 65535);
        StoreU16(d + 6 * x, v), StoreU16(d + 6 * x + 2, v), StoreU16(d + 6 * x + 4, v);
      }
      return true;
    default:
      return false;
  }
}

// Standard 8 x 8 Bayer matrix, indexed [x mod 8][y mod 8].
constexpr uint8_t kBayer[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26}, {12, 44, 4, 36, 14, 46, 6, 38},
    {60, 28, 52, 20, 62, 30, 54, 22}, {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37},  {63, 31, 55, 23, 61, 29, 53, 21}};

// Otsu's level: the gray that best splits the histogram into two classes.
int OtsuLevel(const uint64_t* hist) {
  double total = 0, sumAll = 0;
  for (int i = 0; i < 256; ++i) {
    total += (double)hist[i];
    sumAll += (double)i * (double)hist[i];
  }
  double wB = 0, sumB = 0, best = -1;
  int level = 0;
  for (int t = 0; t < 256; ++t) {
    wB += (double)hist[t];
    if (wB == 0) continue;
    double wF = total - wB;
    if (wF == 0) break;
    sumB += (double)t * (double)hist[t];
    double mB = sumB / wB, mF = (sumAll - sumB) / wF;
    double between = wB * wF * (mB - mF) * (mB - mF);
    if (between > best) {
      best = between;
      level = t;
    }
  }
  return level;
}

void CheckPlatform(TPxPixelFormat pf) {
  if (pf == px32f || pf == pxCMYK || pf == pxRGB48)
    throw std::runtime_error(std::string(PxPixelFormatName(pf)) + " pixel format not allowed when Location=pxTBitmap");
}

}  // namespace

// ---------------------------------------------------------------------------
// Conversion

bool TPxBitmap::ConvertTo(TPxPixelFormat pixelFormat) {
  TPxPixelFormat pf = (int)pixelFormat < kPxPixelFormatCount ? pixelFormat : pxNone;
  if (pf == pixelFormat_) return true;
  if (location_ == pxTBitmap) {
    CheckPlatform(pf);
    if (pf == px16g) pf = px8g;
    if (pf == pixelFormat_) return true;
  }
  if (pf == pxNone) {
    FreeImage(true);
    return true;
  }
  if (pixelFormat_ == pxNone || rowBytes_ == 0) {
    // Nothing to convert: a buffer of the new format when a size is known.
    if (width_ > 0 && height_ > 0) return AllocateIn(width_, height_, pf, location_, false);
    pixelFormat_ = pf;
    return true;
  }
  return ConvertPlane(pf);
}

bool TPxBitmap::ConvertPlane(TPxPixelFormat pf) {
  TPxBitmap old;
  old.TakeStorageFrom(*this);
  const bool full = old.fullAlpha_;
  if (!AllocateIn(old.width_, old.height_, pf, old.location_, false)) {
    TakeStorageFrom(old);
    return false;
  }
  ConvertPixelsFrom(old);
  fullAlpha_ = full;
  return true;
}

void TPxBitmap::ConvertPixelsFrom(const TPxBitmap& source) {
  const TPxPixelFormat sf = source.pixelFormat_, df = pixelFormat_;
  if (source.width_ != width_ || source.height_ != height_ || sf == pxNone || IsEmpty()) return;
  const int w = width_;
  if (sf == df) {
    const size_t n = (size_t)std::min(rowBytes_, source.rowBytes_);
    for (int y = 0; y < height_; ++y) std::memcpy(Scanline(y), source.Scanline(y), n);
    if (palette_ && source.palette_) std::memcpy(palette_.get(), source.palette_.get(), 256 * sizeof(TBGR));
    return;
  }
  const TBGR* srcPalette = source.palette_.get();
  std::vector<TBGR> bgr((size_t)w);
  std::vector<uint8_t> gray((size_t)w);

  std::unique_ptr<TPxQuantizer> quantizer;
  if (df == px8p) {
    TBGR* pal = palette_.get();
    std::fill_n(pal, 256, TBGR{});
    if (sf == px1g) {
      pal[1] = TBGR{255, 255, 255};
    } else if (sf == px16g) {
      for (int i = 0; i < 256; ++i) pal[i] = TBGR{(uint8_t)i, (uint8_t)i, (uint8_t)i};
    } else {
      quantizer = std::make_unique<TPxQuantizer>(source, PaletteColorLimit);
      for (int i = 0; i < quantizer->ColorCount(); ++i) pal[i] = quantizer->Color(i);
    }
  }

  // Threshold conversion to px1g: one pass for the histogram first.
  int level = -1;
  if (df == px1g && sf != px1g && BlackWhiteMethod != 0) {
    uint64_t hist[256] = {};
    for (int y = 0; y < height_; ++y) {
      RowToGray(sf, source.Scanline(y), srcPalette, gray.data(), bgr.data(), w);
      for (int x = 0; x < w; ++x) ++hist[gray[(size_t)x]];
    }
    level = OtsuLevel(hist);
  }

  // From px1g: bit 1 is the maximum of the destination, bit 0 black.
  uint8_t onPixel[8] = {}, offPixel[8] = {};
  const int bpp = bitCount_ / 8;
  switch (df) {
    case px8p: onPixel[0] = 1; break;
    case px32f: { const float one = 1.0f; std::memcpy(onPixel, &one, 4); break; }
    case pxCMYK: offPixel[3] = 255; break;  // white is no ink at all
    default: std::memset(onPixel, 255, 8); break;
  }

  for (int y = 0; y < height_; ++y) {
    const uint8_t* s = source.Scanline(y);
    uint8_t* d = Scanline(y);
    if (!s || !d) return;
    if (sf == px1g) {
      for (int x = 0; x < w; ++x) std::memcpy(d + x * bpp, GetBit(s, x) ? onPixel : offPixel, (size_t)bpp);
      continue;
    }
    if (df == px1g) {
      std::memset(d, 0, (size_t)rowBytes_);
      if (level < 0) {
        // Dither: white when the matrix entry is below the gray in 64 steps;
        // (gray + 1) div 4 so that full white stays white (gray div 4 tops at
        // 63, which would leave one black dot in every 8 x 8 block).
        if (sf == px16g) {  // the word in 64 steps against the matrix
          for (int x = 0; x < w; ++x)
            if (kBayer[x & 7][y & 7] < (LoadU16(s + 2 * x) + 1) / 1024) d[x >> 3] |= (uint8_t)(0x80 >> (x & 7));
          continue;
        }
      }
      RowToGray(sf, s, srcPalette, gray.data(), bgr.data(), w);
      for (int x = 0; x < w; ++x) {
        const int g = gray[(size_t)x];
        const bool white = level < 0 ? kBayer[x & 7][y & 7] < (g + 1) / 4 : g > level;
        if (white) d[x >> 3] |= (uint8_t)(0x80 >> (x & 7));
      }
      continue;
    }
    if (GrayRowDirect(sf, df, s, d, w)) continue;
    // Every other pair goes through 24-bit colour.
    RowToBGR(sf, s, srcPalette, bgr.data(), w);
    RowFromBGR(df, bgr.data(), d, w, quantizer.get());
  }
}

// ---------------------------------------------------------------------------
// TPxQuantizer: exact palette when the colours fit, else median cut on a
// 5-5-5 histogram.

namespace {

constexpr int kCubeBins = 32768;
constexpr size_t kExactSlots = 1024;  // > 2 x 256, so probing stays short

inline uint32_t ColorKey(const TBGR& c) { return ((uint32_t)c.r << 16) | ((uint32_t)c.g << 8) | c.b; }
inline int CubeBin(const TBGR& c) { return ((c.r >> 3) << 10) | ((c.g >> 3) << 5) | (c.b >> 3); }
inline size_t SlotOf(uint32_t key) { return (size_t)((key * 2654435761u) >> 22) & (kExactSlots - 1); }

struct CutBox {
  int lo[3], hi[3];
  uint64_t count;
};

int Nearest(const std::vector<TBGR>& palette, int r, int g, int b) {
  int best = 0, bestDist = INT32_MAX;
  for (size_t i = 0; i < palette.size(); ++i) {
    int dr = palette[i].r - r, dg = palette[i].g - g, db = palette[i].b - b;
    int dist = dr * dr + dg * dg + db * db;
    if (dist < bestDist) {
      bestDist = dist;
      best = (int)i;
    }
  }
  return best;
}

}  // namespace

TPxQuantizer::TPxQuantizer(const TPxBitmap& source, int colorCount) {
  colorCount = std::clamp(colorCount, 1, 256);
  std::vector<uint32_t> hist(kCubeBins, 0);
  std::vector<uint64_t> sums((size_t)kCubeBins * 3, 0);
  std::vector<uint32_t> slots(kExactSlots, 0);
  std::vector<uint32_t> distinct;
  bool exact = true;
  const int w = source.Width();
  std::vector<TBGR> row((size_t)std::max(w, 1));
  uint32_t lastKey = UINT32_MAX;
  for (int y = 0; y < source.Height(); ++y) {
    const uint8_t* s = source.Scanline(y);
    if (!s) break;
    RowToBGR(source.PixelFormat(), s, source.Palette(), row.data(), w);
    for (int x = 0; x < w; ++x) {
      const TBGR c = row[(size_t)x];
      const int bin = CubeBin(c);
      ++hist[(size_t)bin];
      sums[(size_t)bin * 3] += c.r;
      sums[(size_t)bin * 3 + 1] += c.g;
      sums[(size_t)bin * 3 + 2] += c.b;
      const uint32_t key = ColorKey(c);
      if (!exact || key == lastKey) continue;
      lastKey = key;
      size_t slot = SlotOf(key);
      while (slots[slot] != 0 && slots[slot] != key + 1) slot = (slot + 1) & (kExactSlots - 1);
      if (slots[slot] == 0) {
        if ((int)distinct.size() == colorCount) {
          exact = false;
          continue;
        }
        slots[slot] = key + 1;
        distinct.push_back(key);
      }
    }
  }
  if (exact) {
    std::sort(distinct.begin(), distinct.end());
    if (distinct.empty()) distinct.push_back(0);
    exact_ = true;
    exactKeys_.assign(kExactSlots, 0);
    exactIndex_.assign(kExactSlots, 0);
    for (size_t i = 0; i < distinct.size(); ++i) {
      const uint32_t key = distinct[i];
      palette_.push_back(TBGR{(uint8_t)key, (uint8_t)(key >> 8), (uint8_t)(key >> 16)});
      size_t slot = SlotOf(key);
      while (exactKeys_[slot] != 0) slot = (slot + 1) & (kExactSlots - 1);
      exactKeys_[slot] = key + 1;
      exactIndex_[slot] = (uint8_t)i;
    }
    return;
  }

  // Median cut. A box is shrunk to the bins it really holds before it is
  // considered, so that splits fall where the colours are.
  auto shrink = [&](CutBox& b) {
    int lo[3] = {31, 31, 31}, hi[3] = {0, 0, 0};
    uint64_t count = 0;
    for (int r = b.lo[0]; r <= b.hi[0]; ++r)
      for (int g = b.lo[1]; g <= b.hi[1]; ++g)
        for (int bl = b.lo[2]; bl <= b.hi[2]; ++bl) {
          uint32_t n = hist[(size_t)((r << 10) | (g << 5) | bl)];
          if (!n) continue;
          count += n;
          lo[0] = std::min(lo[0], r), hi[0] = std::max(hi[0], r);
          lo[1] = std::min(lo[1], g), hi[1] = std::max(hi[1], g);
          lo[2] = std::min(lo[2], bl), hi[2] = std::max(hi[2], bl);
        }
    b.count = count;
    if (count)
      for (int i = 0; i < 3; ++i) b.lo[i] = lo[i], b.hi[i] = hi[i];
  };
  std::vector<CutBox> boxes;
  boxes.push_back(CutBox{{0, 0, 0}, {31, 31, 31}, 0});
  shrink(boxes[0]);
  while ((int)boxes.size() < colorCount) {
    int pick = -1;
    for (size_t i = 0; i < boxes.size(); ++i) {
      const CutBox& b = boxes[i];
      const bool splittable = b.hi[0] > b.lo[0] || b.hi[1] > b.lo[1] || b.hi[2] > b.lo[2];
      if (splittable && (pick < 0 || b.count > boxes[(size_t)pick].count)) pick = (int)i;
    }
    if (pick < 0) break;
    CutBox b = boxes[(size_t)pick];
    int axis = 0;
    for (int i = 1; i < 3; ++i)
      if (b.hi[i] - b.lo[i] > b.hi[axis] - b.lo[axis]) axis = i;
    uint64_t slice[32] = {};
    for (int r = b.lo[0]; r <= b.hi[0]; ++r)
      for (int g = b.lo[1]; g <= b.hi[1]; ++g)
        for (int bl = b.lo[2]; bl <= b.hi[2]; ++bl) {
          int pos[3] = {r, g, bl};
          slice[pos[axis]] += hist[(size_t)((r << 10) | (g << 5) | bl)];
        }
    uint64_t acc = 0;
    int cut = b.lo[axis];
    for (int v = b.lo[axis]; v < b.hi[axis]; ++v) {
      acc += slice[v];
      cut = v;
      if (acc * 2 >= b.count) break;
    }
    CutBox a = b, c = b;
    a.hi[axis] = cut;
    c.lo[axis] = cut + 1;
    shrink(a);
    shrink(c);
    boxes[(size_t)pick] = a;
    boxes.push_back(c);
  }
  for (const CutBox& b : boxes) {
    uint64_t n = 0, sr = 0, sg = 0, sb = 0;
    for (int r = b.lo[0]; r <= b.hi[0]; ++r)
      for (int g = b.lo[1]; g <= b.hi[1]; ++g)
        for (int bl = b.lo[2]; bl <= b.hi[2]; ++bl) {
          size_t bin = (size_t)((r << 10) | (g << 5) | bl);
          n += hist[bin];
          sr += sums[bin * 3], sg += sums[bin * 3 + 1], sb += sums[bin * 3 + 2];
        }
    if (!n) continue;
    palette_.push_back(TBGR{(uint8_t)((sb + n / 2) / n), (uint8_t)((sg + n / 2) / n), (uint8_t)((sr + n / 2) / n)});
  }
  if (palette_.empty()) palette_.push_back(TBGR{});
  // Every bin the picture uses maps to the colour nearest its mean.
  cubeIndex_.assign(kCubeBins, 0xFFFF);
  for (size_t bin = 0; bin < (size_t)kCubeBins; ++bin) {
    const uint64_t n = hist[bin];
    if (!n) continue;
    cubeIndex_[bin] = (uint16_t)Nearest(palette_, (int)((sums[bin * 3] + n / 2) / n),
                                        (int)((sums[bin * 3 + 1] + n / 2) / n), (int)((sums[bin * 3 + 2] + n / 2) / n));
  }
}

int TPxQuantizer::Index(const TBGR& c) const {
  if (exact_) {
    const uint32_t key = ColorKey(c);
    size_t slot = SlotOf(key);
    while (exactKeys_[slot] != 0) {
      if (exactKeys_[slot] == key + 1) return exactIndex_[slot];
      slot = (slot + 1) & (kExactSlots - 1);
    }
    return Nearest(palette_, c.r, c.g, c.b);
  }
  const uint16_t i = cubeIndex_[(size_t)CubeBin(c)];
  return i != 0xFFFF ? i : Nearest(palette_, c.r, c.g, c.b);
}

void TPxQuantizer::MapRow(const TBGR* src, uint8_t* dst, int width) const {
  uint32_t lastKey = UINT32_MAX;
  uint8_t lastIndex = 0;
  for (int x = 0; x < width; ++x) {
    const uint32_t key = ColorKey(src[x]);
    if (key != lastKey) {
      lastKey = key;
      lastIndex = (uint8_t)Index(src[x]);
    }
    dst[x] = lastIndex;
  }
}
