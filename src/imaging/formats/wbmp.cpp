#include "imaging/formats/wbmp.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// A raster claimed to be more than this many times the bytes left is refused
// before allocating: a file cut short still shows its top rows, a header that
// claims gigabytes over a few bytes allocates nothing.
constexpr int64_t kMaxMissingFactor = 16;

// Parses untrusted data: a multi-byte integer of at most 31 bits (five bytes).
bool ReadMultiByte(TPxStream& stream, int64_t& value) {
  value = 0;
  for (int i = 0; i < 5; ++i) {
    uint8_t b;
    if (!stream.ReadExact(&b, 1)) return false;
    value = (value << 7) | (b & 0x7F);
    if (value > INT32_MAX) return false;
    if (!(b & 0x80)) return true;
  }
  return false;
}

void PutMultiByte(std::vector<uint8_t>& out, uint32_t value) {
  uint8_t groups[5];
  int n = 0;
  do {
    groups[n++] = static_cast<uint8_t>(value & 0x7F);
    value >>= 7;
  } while (value);
  while (n > 1) out.push_back(static_cast<uint8_t>(groups[--n] | 0x80));
  out.push_back(groups[0]);
}

}  // namespace

// Parses untrusted data.
void ReadWbmpStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                    TPxProgress& progress) {
  int64_t type = 0, width = 0, height = 0;
  uint8_t fixedHeader = 0;
  if (!ReadMultiByte(stream, type) || type != 0 || !stream.ReadExact(&fixedHeader, 1) ||
      fixedHeader != 0 || !ReadMultiByte(stream, width) || !ReadMultiByte(stream, height) ||
      width <= 0 || height <= 0) {
    progress.Abort();
    return;
  }
  params.Width = static_cast<int32_t>(width);
  params.Height = static_cast<int32_t>(height);
  params.BitsPerSample = 1;
  params.SamplesPerPixel = 1;
  params.SetDpi(kDefaultDpi, kDefaultDpi);
  params.DpiFromFile = false;
  params.ColorMap.clear();
  params.ColorMapCount = 0;
  if (paramsOnly) return;

  const int64_t fileRow = (width + 7) / 8;
  const int64_t left = std::max<int64_t>(0, stream.Size() - stream.Position());
  int64_t rowBytes = 0, total = 0;
  if (!bitmap || fileRow * height > left * kMaxMissingFactor + 4096 ||
      !PxCheckedImageBytes(width, height, 1, rowBytes, total) ||
      !bitmap->Allocate(static_cast<int>(width), static_cast<int>(height), px1g) ||
      bitmap->PixelFormat() != px1g) {
    progress.Abort();
    return;
  }
  const int h = static_cast<int>(height);
  progress.Begin(h);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bitmap->Scanline(y);
    // The file's bits are the bitmap's: 1 white.
    const int64_t got = std::max<int64_t>(0, stream.Read(row, fileRow));
    if (got < fileRow) {
      std::memset(row + got, 0, static_cast<size_t>(fileRow - got));
      for (int rest = y + 1; rest < h; ++rest)
        std::memset(bitmap->Scanline(rest), 0, static_cast<size_t>(fileRow));
      progress.Abort();
      return;
    }
    progress.Advance();
    if (progress.Aborted()) {
      for (int rest = y + 1; rest < h; ++rest)
        std::memset(bitmap->Scanline(rest), 0, static_cast<size_t>(fileRow));
      return;
    }
  }
}

void WriteWbmpStream(TPxStream& stream, TPxBitmap* bitmap, TPxProgress& progress) {
  if (!bitmap || bitmap->IsEmpty()) {
    progress.Abort();
    return;
  }
  TPxBitmap converted;
  const TPxBitmap* source = bitmap;
  if (bitmap->PixelFormat() != px1g) {
    if (!converted.Assign(*bitmap) || !converted.ConvertTo(px1g) || converted.PixelFormat() != px1g) {
      progress.Abort();
      return;
    }
    source = &converted;
  }
  const int w = source->Width(), h = source->Height();
  std::vector<uint8_t> header = {0, 0};
  PutMultiByte(header, static_cast<uint32_t>(w));
  PutMultiByte(header, static_cast<uint32_t>(h));
  if (!stream.WriteExact(header.data(), static_cast<int64_t>(header.size()))) {
    progress.Abort();
    return;
  }
  const int fileRow = (w + 7) / 8;
  std::vector<uint8_t> out(static_cast<size_t>(fileRow));
  progress.Begin(h);
  for (int y = 0; y < h; ++y) {
    std::memcpy(out.data(), source->Scanline(y), out.size());
    // Bits past the width are written 0.
    if (w % 8) out[fileRow - 1] &= static_cast<uint8_t>(0xFF << (8 - w % 8));
    if (!stream.WriteExact(out.data(), fileRow)) {
      progress.Abort();
      return;
    }
    progress.Advance();
    if (progress.Aborted()) return;
  }
}
