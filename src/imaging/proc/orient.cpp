#include "imaging/proc/orient.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "imaging/proc/rotate.h"

namespace {

// Rows of a bitmap held at once, as the rotation kernels want them.
class TOrientRows {
 public:
  explicit TOrientRows(TPxBitmap& bitmap) : bitmap_(bitmap) {
    rows_.Width = bitmap.Width();
    rows_.Height = bitmap.Height();
    rows_.Row.resize(size_t(std::max(0, rows_.Height)));
    for (int y = 0; y < rows_.Height; ++y) {
      rows_.Row[size_t(y)] = bitmap.ExtraScanline(y);
      if (!rows_.Row[size_t(y)]) {
        Release();
        throw std::bad_alloc();
      }
    }
  }
  ~TOrientRows() { Release(); }
  TOrientRows(const TOrientRows&) = delete;
  TOrientRows& operator=(const TOrientRows&) = delete;
  const TPxRows& Rows() const { return rows_; }

 private:
  void Release() {
    if (bitmap_.Location() == pxFile) bitmap_.ReleaseExtraScanlines();
  }
  TPxBitmap& bitmap_;
  TPxRows rows_;
};

TPxRows MaskRows(TPxMask& mask) {
  TPxRows rows;
  rows.Width = mask.Width();
  rows.Height = mask.Height();
  rows.Row.resize(size_t(std::max(0, rows.Height)));
  for (int y = 0; y < rows.Height; ++y) rows.Row[size_t(y)] = mask.Scanline(y);
  return rows;
}

// Quarter turns counter-clockwise, then a left-right mirror, or a mirror and
// a flip without a turn.
struct TOrientSteps {
  int Turns = 0;
  bool Mirror = false, Flip = false;
};

TOrientSteps StepsOf(int orientation) {
  switch (orientation) {
    case 2: return {0, true, false};
    case 3: return {0, true, true};
    case 4: return {0, false, true};
    case 5: return {3, true, false};  // transpose
    case 6: return {3, false, false};
    case 7: return {1, true, false};  // transverse
    case 8: return {1, false, false};
    default: return {};
  }
}

bool Supported(int bitsPerPixel) {
  return bitsPerPixel == 1 || (bitsPerPixel >= 8 && bitsPerPixel % 8 == 0);
}

size_t RowBytesOf(int width, int bitsPerPixel) {
  return (size_t(width) * size_t(bitsPerPixel) + 7) / 8;
}

void MirrorRows(const TPxRows& rows, int bitsPerPixel) {
  if (rows.Width <= 1) return;
  if (bitsPerPixel == 1) {
    std::vector<uint8_t> tmp(RowBytesOf(rows.Width, 1));
    for (int y = 0; y < rows.Height; ++y) {
      uint8_t* row = rows.Row[size_t(y)];
      std::fill(tmp.begin(), tmp.end(), uint8_t(0));
      for (int x = 0, from = rows.Width - 1; x < rows.Width; ++x, --from)
        if (row[from >> 3] & (0x80 >> (from & 7))) tmp[size_t(x >> 3)] |= uint8_t(0x80 >> (x & 7));
      // Bits past the width keep what they held.
      const size_t whole = size_t(rows.Width) / 8;
      std::memcpy(row, tmp.data(), whole);
      if (rows.Width % 8) {
        const uint8_t used = uint8_t(0xFF00 >> (rows.Width % 8));
        row[whole] = uint8_t((row[whole] & ~used) | (tmp[whole] & used));
      }
    }
    return;
  }
  const int bytesPerPixel = bitsPerPixel / 8;
  std::vector<uint8_t> tmp(static_cast<size_t>(bytesPerPixel));
  for (int y = 0; y < rows.Height; ++y) {
    uint8_t* left = rows.Row[size_t(y)];
    uint8_t* right = left + size_t(rows.Width - 1) * size_t(bytesPerPixel);
    if (bytesPerPixel == 3) {
      for (; left < right; left += 3, right -= 3) {
        std::swap(left[0], right[0]);
        std::swap(left[1], right[1]);
        std::swap(left[2], right[2]);
      }
    } else {
      for (; left < right; left += bytesPerPixel, right -= bytesPerPixel) {
        std::memcpy(tmp.data(), left, size_t(bytesPerPixel));
        std::memcpy(left, right, size_t(bytesPerPixel));
        std::memcpy(right, tmp.data(), size_t(bytesPerPixel));
      }
    }
  }
}

void FlipRows(const TPxRows& rows, size_t rowBytes) {
  std::vector<uint8_t> tmp(rowBytes);
  for (int top = 0, bottom = rows.Height - 1; top < bottom; ++top, --bottom) {
    std::memcpy(tmp.data(), rows.Row[size_t(top)], rowBytes);
    std::memcpy(rows.Row[size_t(top)], rows.Row[size_t(bottom)], rowBytes);
    std::memcpy(rows.Row[size_t(bottom)], tmp.data(), rowBytes);
  }
}

// The steps that need no second picture, on rows in place.
void MirrorAndFlip(const TPxRows& rows, int bitsPerPixel, const TOrientSteps& steps) {
  if (steps.Mirror) MirrorRows(rows, bitsPerPixel);
  if (steps.Flip) FlipRows(rows, RowBytesOf(rows.Width, bitsPerPixel));
}

bool TurnPixels(TPxBitmap& bitmap, const TOrientSteps& steps) {
  const int bits = PxBitsPerPixel(bitmap.PixelFormat());
  if (steps.Turns == 0) {
    TOrientRows rows(bitmap);
    MirrorAndFlip(rows.Rows(), bits, steps);
    return true;
  }
  TPxBitmap turned;
  if (!turned.Allocate(bitmap.Height(), bitmap.Width(), bitmap.PixelFormat())) return false;
  // The bits past a 1-bit row's width are written out by some formats: zero, not left over.
  if (bits == 1) turned.Fill(0);
  for (int i = 0; i < std::min(bitmap.PaletteCount(), turned.PaletteCount()); ++i)
    turned.PaletteColor(i, bitmap.PaletteColor(i));
  {
    TOrientRows s(bitmap), d(turned);
    PxRotateQuarter(s.Rows(), d.Rows(), bits, steps.Turns);
    MirrorAndFlip(d.Rows(), bits, steps);
  }
  return bitmap.Assign(turned);
}

}  // namespace

bool PxApplyOrientation(TPxMask& mask, int orientation) {
  const TOrientSteps steps = StepsOf(orientation);
  const int bits = mask.BitsPerPixel();
  if ((steps.Turns == 0 && !steps.Mirror && !steps.Flip) || mask.IsEmpty() || !Supported(bits))
    return true;
  try {
    if (steps.Turns == 0) {
      MirrorAndFlip(MaskRows(mask), bits, steps);
    } else {
      TPxMask turned;
      if (!turned.Allocate(mask.Height(), mask.Width(), bits)) return false;
      turned.Color = mask.Color;
      const TPxRows d = MaskRows(turned);
      PxRotateQuarter(MaskRows(mask), d, bits, steps.Turns);
      MirrorAndFlip(d, bits, steps);
      if (!mask.Assign(turned)) return false;
    }
    mask.RecomputeBox();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool PxApplyOrientation(TPxBitmap& bitmap, int orientation) {
  const TOrientSteps steps = StepsOf(orientation);
  if ((steps.Turns == 0 && !steps.Mirror && !steps.Flip) || bitmap.IsEmpty() ||
      !Supported(PxBitsPerPixel(bitmap.PixelFormat())))
    return true;
  try {
    // The alpha plane travels as a mask: a turned picture is a new one.
    TPxMask alpha;
    const bool hasAlpha = bitmap.HasAlphaChannel();
    if (hasAlpha && (!bitmap.AlphaToMask(alpha) || !PxApplyOrientation(alpha, orientation)))
      return false;
    if (!TurnPixels(bitmap, steps)) return false;
    if (hasAlpha) bitmap.AlphaFromMask(&alpha);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}
