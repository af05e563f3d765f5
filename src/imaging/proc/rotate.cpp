#include "imaging/proc/rotate.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "imaging/proc/pxparallel.h"

namespace {

inline bool GetBit(const uint8_t* row, int x) { return (row[x >> 3] & (0x80 >> (x & 7))) != 0; }
inline void PutBit(uint8_t* row, int x, bool on) {
  const uint8_t m = static_cast<uint8_t>(0x80 >> (x & 7));
  if (on)
    row[x >> 3] |= m;
  else
    row[x >> 3] &= static_cast<uint8_t>(~m);
}

// A scratch image of whole pixels, rows top-down.
struct TPlane {
  int Width = 0, Height = 0, Bytes = 0;
  size_t Stride = 0;
  std::vector<uint8_t> Data;
  void Allocate(int w, int h, int bytes) {
    Width = w;
    Height = h;
    Bytes = bytes;
    Stride = static_cast<size_t>(w) * bytes;
    Data.assign(Stride * static_cast<size_t>(h), 0);
  }
  uint8_t* Row(int y) { return Data.data() + Stride * y; }
  TPxRows Rows() {
    TPxRows r{Width, Height, std::vector<uint8_t*>(Height)};
    for (int y = 0; y < Height; ++y) r.Row[y] = Row(y);
    return r;
  }
};

void FillPixels(uint8_t* dst, int count, int bytes, const uint8_t* value) {
  if (bytes == 1) {
    std::memset(dst, value[0], count);
    return;
  }
  for (int i = 0; i < count; ++i) std::memcpy(dst + static_cast<size_t>(i) * bytes, value, bytes);
}

inline uint8_t Blend(int pred, int pixel, int f) {
  // Weights in 1/4096 units, rounded; f may be negative, hence the clamp.
  int v = (pred * f + pixel * (4096 - f) + 2048) >> 12;
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// One line of a shear: `len` source pixels written from position round(offset)
// on into a line of dstLen pixels filled with the background first.
void ShearLine(const uint8_t* src, int len, uint8_t* dst, int dstLen, double offset, int bytes,
               bool blend, const uint8_t* bg) {
  FillPixels(dst, dstLen, bytes, bg);
  const double nd = std::nearbyint(offset);
  if (!(std::fabs(nd) < 1e9)) return;
  const long n = static_cast<long>(nd);
  const int f = static_cast<int>((offset - nd) * 4096.0);
  for (int k = 0; k < len; ++k) {
    const long pos = n + k;
    if (pos < 0) continue;
    if (pos >= dstLen) break;
    uint8_t* d = dst + pos * bytes;
    const uint8_t* p = src + static_cast<size_t>(k) * bytes;
    if (!blend) {
      std::memcpy(d, p, bytes);
      continue;
    }
    const uint8_t* pred = k == 0 ? bg : p - bytes;
    for (int b = 0; b < bytes; ++b) d[b] = Blend(pred[b], p[b], f);
  }
  // The last pixel, blended with the background, fills the fraction behind it.
  if (blend && f > 0 && len > 0) {
    const long pos = n + len;
    if (pos >= 0 && pos < dstLen) {
      const uint8_t* last = src + static_cast<size_t>(len - 1) * bytes;
      uint8_t* d = dst + pos * bytes;
      for (int b = 0; b < bytes; ++b) d[b] = Blend(last[b], bg[b], f);
    }
  }
}

void MirrorRow(uint8_t* row, int width, int bytes) {
  uint8_t tmp[16];
  for (int a = 0, b = width - 1; a < b; ++a, --b) {
    std::memcpy(tmp, row + static_cast<size_t>(a) * bytes, bytes);
    std::memcpy(row + static_cast<size_t>(a) * bytes, row + static_cast<size_t>(b) * bytes, bytes);
    std::memcpy(row + static_cast<size_t>(b) * bytes, tmp, bytes);
  }
}

// The counter-clockwise three-shear rotation; the clockwise one is its mirror.
void ShearPositive(const TPxRows& src, const TPxRows& dst, int bytes, const TPxShearSize& z, bool blend,
                   const uint8_t* bg) {
  const int W = src.Width, H = src.Height;
  TPlane a;
  a.Allocate(z.M, H, bytes);
  // First shear: row y moves right by y * T (the top row is fixed).
  PxParallelFor(H, 64, [&](int b, int e) {
    for (int y = b; y < e; ++y) ShearLine(src.Row[y], W, a.Row(y), z.M, y * z.T, bytes, blend, bg);
  });
  // Second shear: column x moves down by (M - 1 - x) * S (the right column is fixed).
  TPlane v;
  v.Allocate(z.M, z.O, bytes);
  PxParallelFor(z.M, 32, [&](int b, int e) {
    std::vector<uint8_t> in(static_cast<size_t>(H) * bytes), out(static_cast<size_t>(z.O) * bytes);
    for (int x = b; x < e; ++x) {
      for (int y = 0; y < H; ++y) std::memcpy(&in[static_cast<size_t>(y) * bytes], a.Row(y) + static_cast<size_t>(x) * bytes, bytes);
      ShearLine(in.data(), H, out.data(), z.O, (z.M - 1 - x) * z.S, bytes, blend, bg);
      for (int y = 0; y < z.O; ++y) std::memcpy(v.Row(y) + static_cast<size_t>(x) * bytes, &out[static_cast<size_t>(y) * bytes], bytes);
    }
  });
  // Third shear on the rows that hold the picture: row r moves by r * T - TCut.
  PxParallelFor(z.Height, 64, [&](int b, int e) {
    for (int r = b; r < e; ++r) {
      const int sy = r + z.HCut;
      if (sy >= 0 && sy < z.O)
        ShearLine(v.Row(sy), z.M, dst.Row[r], z.Width, r * z.T - z.TCut, bytes, blend, bg);
      else
        FillPixels(dst.Row[r], z.Width, bytes, bg);
    }
  });
}

}  // namespace

void PxSplitAngle(double angle, int& quarterTurns, double& residual) {
  quarterTurns = 0;
  residual = 0.0;
  if (!std::isfinite(angle)) return;
  const double a = std::fmod(std::trunc(angle * 1000.0), 360000.0);
  double c = a / 1000.0;
  int k = 0;
  while (c > 45.0) {
    ++k;
    c -= 90.0;
  }
  while (c < -45.0) {
    --k;
    c += 90.0;
  }
  quarterTurns = ((k % 4) + 4) % 4;
  residual = c;
}

namespace {

// Tiles keep the source rows of a block of destination rows in the cache.
constexpr int kQuarterTile = 64;

// A quarter turn (k 1 or 3) of B-byte pixels. Each destination row of a tile
// reads one column of the tile's source rows; the row pointers are held in
// locals, which the byte stores cannot alias (through the row table they
// would be read again for every pixel).
template <int B>
void TurnQuarter(const TPxRows& src, const TPxRows& dst, int k) {
  const int W = src.Width, H = src.Height, dw = dst.Width;
  uint8_t* const* srcRows = src.Row.data();
  uint8_t* const* dstRows = dst.Row.data();
  PxParallelFor(dst.Height, kQuarterTile, [=](int b, int e) {
    const uint8_t* rows[kQuarterTile];
    for (int X0 = 0; X0 < dw; X0 += kQuarterTile) {
      const int n = std::min(dw - X0, kQuarterTile);
      // Destination column X comes from source row X (k 1) or H - 1 - X (k 3).
      for (int i = 0; i < n; ++i) rows[i] = srcRows[k == 1 ? X0 + i : H - 1 - (X0 + i)];
      for (int Y = b; Y < e; ++Y) {
        // ... at source column W - 1 - Y (k 1) or Y (k 3).
        const size_t at = size_t(k == 1 ? W - 1 - Y : Y) * B;
        uint8_t* d = dstRows[Y] + size_t(X0) * B;
        for (int i = 0; i < n; ++i, d += B) std::memcpy(d, rows[i] + at, B);
      }
    }
  });
}

}  // namespace

void PxRotateQuarter(const TPxRows& src, const TPxRows& dst, int bitsPerPixel, int quarterTurns) {
  const int W = src.Width, H = src.Height;
  const int k = ((quarterTurns % 4) + 4) % 4;
  if (W <= 0 || H <= 0 || k == 0) return;
  if ((k == 1 || k == 3) && dst.Width == H && dst.Height == W &&
      (bitsPerPixel == 24 || bitsPerPixel == 8)) {
    if (bitsPerPixel == 24)
      TurnQuarter<3>(src, dst, k);
    else
      TurnQuarter<1>(src, dst, k);
    return;
  }
  const int bytes = bitsPerPixel / 8;
  const int dw = dst.Width, dh = dst.Height;
  // Source coordinates of destination (X, Y).
  auto sourceOf = [&](int X, int Y, int& x, int& y) {
    if (k == 1) {  // counter-clockwise: (x, y) lands at (y, W - 1 - x)
      x = W - 1 - Y;
      y = X;
    } else if (k == 3) {  // clockwise: (x, y) lands at (H - 1 - y, x)
      x = Y;
      y = H - 1 - X;
    } else {
      x = W - 1 - X;
      y = H - 1 - Y;
    }
  };
  constexpr int kTile = kQuarterTile;
  PxParallelFor(dh, kTile, [&](int b, int e) {
    for (int X0 = 0; X0 < dw; X0 += kTile) {
      const int X1 = std::min(dw, X0 + kTile);
      for (int Y = b; Y < e; ++Y) {
        uint8_t* d = dst.Row[Y];
        int x, y;
        for (int X = X0; X < X1; ++X) {
          sourceOf(X, Y, x, y);
          const uint8_t* s = src.Row[y];
          switch (bitsPerPixel) {
            case 1: PutBit(d, X, GetBit(s, x)); break;
            case 8: d[X] = s[x]; break;
            case 24: {
              const uint8_t* p = s + x * 3;
              uint8_t* q = d + X * 3;
              q[0] = p[0];
              q[1] = p[1];
              q[2] = p[2];
              break;
            }
            default: std::memcpy(d + static_cast<size_t>(X) * bytes, s + static_cast<size_t>(x) * bytes, bytes);
          }
        }
      }
    }
  });
}

TPxShearSize PxShearSize(int w, int h, double residual) {
  TPxShearSize z;
  const double rad = residual * std::numbers::pi / 180.0;
  z.T = std::fabs(std::tan(rad / 2.0));
  z.S = std::fabs(std::sin(rad));
  z.M = static_cast<int>(std::nearbyint(h * z.T + w + 1));
  z.HCut = static_cast<int>(std::nearbyint((z.M - w) * z.S));
  z.O = static_cast<int>(std::nearbyint(z.S * z.M + h + 1));
  z.TCut = static_cast<int>(std::nearbyint(z.T * (z.O - h - z.HCut)));
  z.Height = static_cast<int>(std::nearbyint(z.O - 2.0 * z.HCut));
  z.Width = static_cast<int>(std::nearbyint(z.T * z.Height + z.M + 1 - 2.0 * z.TCut));
  return z;
}

void PxRotateShear(const TPxRows& src, const TPxRows& dst, int bytesPerPixel, double residual, bool blend,
                   const uint8_t* background) {
  if (src.Width <= 0 || src.Height <= 0 || bytesPerPixel <= 0 || bytesPerPixel > 16) return;
  const TPxShearSize z = PxShearSize(src.Width, src.Height, residual);
  if (dst.Width != z.Width || dst.Height != z.Height || z.Width <= 0 || z.Height <= 0) return;
  if (residual >= 0) {
    ShearPositive(src, dst, bytesPerPixel, z, blend, background);
    return;
  }
  // Clockwise: mirror, turn counter-clockwise, mirror back.
  TPlane m;
  m.Allocate(src.Width, src.Height, bytesPerPixel);
  for (int y = 0; y < src.Height; ++y) {
    std::memcpy(m.Row(y), src.Row[y], m.Stride);
    MirrorRow(m.Row(y), src.Width, bytesPerPixel);
  }
  ShearPositive(m.Rows(), dst, bytesPerPixel, z, blend, background);
  for (int y = 0; y < dst.Height; ++y) MirrorRow(dst.Row[y], dst.Width, bytesPerPixel);
}

namespace {
double Trunc4(double v) { return std::trunc(v * 10000.0) / 10000.0; }
}  // namespace

void PxRotate1BitSize(int w, int h, double angle, int& dw, int& dh) {
  const double rad = angle * std::numbers::pi / 180.0;
  const double c = Trunc4(std::cos(rad)), s = Trunc4(std::sin(rad));
  dw = static_cast<int>(std::fabs(w * c) + std::fabs(h * s));
  dh = static_cast<int>(std::fabs(w * s) + std::fabs(h * c));
}

void PxRotate1BitAny(const TPxRows& src, const TPxRows& dst, double angle, uint8_t outside,
                     int bitsPerPixel) {
  const int W = src.Width, H = src.Height, dw = dst.Width, dh = dst.Height;
  if (W <= 0 || H <= 0 || dw <= 0 || dh <= 0) return;
  const double rad = angle * std::numbers::pi / 180.0;
  const double c = Trunc4(std::cos(rad)), s = Trunc4(std::sin(rad));
  PxParallelFor(dh, 32, [&](int b, int e) {
    for (int y = b; y < e; ++y) {
      uint8_t* d = dst.Row[y];
      const double dy = y + 0.5 - dh / 2.0;
      for (int x = 0; x < dw; ++x) {
        const double dx = x + 0.5 - dw / 2.0;
        // Inverse of the counter-clockwise turn, about both centres.
        const double sx = std::floor(dx * c - dy * s + W / 2.0);
        const double sy = std::floor(dx * s + dy * c + H / 2.0);
        const bool inside = sx >= 0 && sx < W && sy >= 0 && sy < H;
        const uint8_t* srow = inside ? src.Row[static_cast<int>(sy)] : nullptr;
        if (bitsPerPixel == 8)
          d[x] = inside ? srow[static_cast<int>(sx)] : outside;
        else
          PutBit(d, x, inside ? GetBit(srow, static_cast<int>(sx)) : outside != 0);
      }
    }
  });
}
