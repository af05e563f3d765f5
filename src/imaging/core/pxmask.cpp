// TPxMask: selection masks and alpha values carried between readers,
// writers and the alpha plane.
#include <cstring>

#include "imaging/core/pxutils.h"

TPxMask::~TPxMask() { Free(); }

void TPxMask::Free() {
  PxFreePixels(bits_);
  bits_ = nullptr;
  width_ = height_ = bitsPerPixel_ = rowLen_ = 0;
  ResetBox();
  Full = false;
}

bool TPxMask::Allocate(int width, int height, int bitsPerPixel) {
  Free();
  if (bitsPerPixel != 1 && bitsPerPixel != 8) return false;
  int64_t rowLen, total;
  if (!PxCheckedImageBytes(width, height, bitsPerPixel, rowLen, total)) return false;
  bits_ = PxAllocPixels(total);
  if (!bits_) return false;
  std::memset(bits_, 0, (size_t)total);
  width_ = width;
  height_ = height;
  bitsPerPixel_ = bitsPerPixel;
  rowLen_ = (int)rowLen;
  return true;
}

bool TPxMask::Assign(const TPxMask& source) {
  if (&source == this) return true;
  if (source.IsEmpty()) {
    Free();
  } else {
    if (!Allocate(source.width_, source.height_, source.bitsPerPixel_)) return false;
    std::memcpy(bits_, source.bits_, (size_t)((int64_t)rowLen_ * height_));
  }
  X1 = source.X1;
  Y1 = source.Y1;
  X2 = source.X2;
  Y2 = source.Y2;
  Color = source.Color;
  Full = source.Full;
  return true;
}

int TPxMask::GetPixel(int x, int y) const {
  if (!bits_ || x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  const uint8_t* row = Scanline(y);
  if (bitsPerPixel_ == 8) return row[x];
  return (row[x >> 3] >> (7 - (x & 7))) & 1;
}

void TPxMask::SetPixel(int x, int y, int value) {
  if (!bits_ || x < 0 || y < 0 || x >= width_ || y >= height_) return;
  uint8_t* row = Scanline(y);
  if (bitsPerPixel_ == 8) {
    row[x] = (uint8_t)value;
  } else if (value) {
    row[x >> 3] |= (uint8_t)(0x80 >> (x & 7));
  } else {
    row[x >> 3] &= (uint8_t)~(0x80 >> (x & 7));
  }
  if (value != (bitsPerPixel_ == 8 ? 255 : 1)) Full = false;
  if (value) {
    if (x < X1) X1 = x;
    if (x > X2) X2 = x;
    if (y < Y1) Y1 = y;
    if (y > Y2) Y2 = y;
  }
}

void TPxMask::Fill(int value) {
  if (!bits_) return;
  uint8_t byte = bitsPerPixel_ == 8 ? (uint8_t)value : (value ? 0xFF : 0x00);
  std::memset(bits_, byte, (size_t)((int64_t)rowLen_ * height_));
  if (byte) {
    X1 = Y1 = 0;
    X2 = width_ - 1;
    Y2 = height_ - 1;
  } else {
    ResetBox();
  }
  Full = byte == 0xFF;
}

void TPxMask::RecomputeBox() {
  ResetBox();
  Full = bits_ != nullptr;
  for (int y = 0; y < height_; ++y) {
    const uint8_t* row = Scanline(y);
    int first = -1, last = -1;
    for (int x = 0; x < width_; ++x) {
      int v = bitsPerPixel_ == 8 ? row[x] : (row[x >> 3] >> (7 - (x & 7))) & 1;
      if (v != (bitsPerPixel_ == 8 ? 255 : 1)) Full = false;
      if (v) {
        if (first < 0) first = x;
        last = x;
      }
    }
    if (first >= 0) {
      if (first < X1) X1 = first;
      if (last > X2) X2 = last;
      if (y < Y1) Y1 = y;
      Y2 = y;
    }
  }
}
