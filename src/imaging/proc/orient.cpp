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

void MirrorRows(const TPxRows& rows, int bytesPerPixel) {
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

}  // namespace

bool PxApplyOrientation(TPxBitmap& bitmap, int orientation) {
  if (orientation < 2 || orientation > 8 || bitmap.IsEmpty()) return true;
  const int bits = PxBitsPerPixel(bitmap.PixelFormat());
  if (bits < 8 || bits % 8 != 0) return true;
  const int bpp = bits / 8;
  const size_t rowBytes = size_t(bitmap.Width()) * size_t(bpp);
  try {
    // Quarter turns counter-clockwise, then a left-right mirror.
    int turns = 0;
    bool mirror = false, flip = false;
    switch (orientation) {
      case 2: mirror = true; break;
      case 3: mirror = flip = true; break;
      case 4: flip = true; break;
      case 5: turns = 3; mirror = true; break;  // transpose
      case 6: turns = 3; break;
      case 7: turns = 1; mirror = true; break;  // transverse
      case 8: turns = 1; break;
    }
    if (turns != 0) {
      TPxBitmap turned;
      if (!turned.Allocate(bitmap.Height(), bitmap.Width(), bitmap.PixelFormat())) return false;
      for (int i = 0; i < std::min(bitmap.PaletteCount(), turned.PaletteCount()); ++i)
        turned.PaletteColor(i, bitmap.PaletteColor(i));
      {
        TOrientRows s(bitmap), d(turned);
        PxRotateQuarter(s.Rows(), d.Rows(), bits, turns);
        if (mirror) MirrorRows(d.Rows(), bpp);
      }
      if (!bitmap.Assign(turned)) return false;
      return true;
    }
    TOrientRows rows(bitmap);
    if (mirror) MirrorRows(rows.Rows(), bpp);
    if (flip) FlipRows(rows.Rows(), rowBytes);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}
