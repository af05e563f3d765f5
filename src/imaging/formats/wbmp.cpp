#include "imaging/formats/wbmp.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "imaging/formats/codecio.h"

namespace {

// A raster claimed to be more than this many times the bytes left is refused
// before allocating: a file cut short still shows its top rows, a header that
// claims gigabytes over a few bytes allocates nothing.
constexpr int64_t kMaxMissingFactor = 16;

// Parses untrusted data: a multi-byte integer of at most 31 bits (five bytes).
bool ReadMultiByte(TPxByteReader& in, int64_t& value) {
  value = 0;
  for (int i = 0; i < 5; ++i) {
    const int b = in.Byte();
    if (b < 0) return false;
    value = (value << 7) | (b & 0x7F);
    if (value > INT32_MAX) return false;
    if (!(b & 0x80)) return true;
  }
  return false;
}

void PutMultiByte(TPxByteWriter& out, uint32_t value) {
  uint8_t groups[5];
  int n = 0;
  do {
    groups[n++] = static_cast<uint8_t>(value & 0x7F);
    value >>= 7;
  } while (value);
  while (n > 1) out.U8(static_cast<uint8_t>(groups[--n] | 0x80));
  out.U8(groups[0]);
}

}  // namespace

// Parses untrusted data.
bool IsWbmpStream(TPxStream& stream) {
  const int64_t start = stream.Position();
  bool ok = false;
  {
    // A header is at most 12 bytes.
    TPxByteReader in(stream, start + 12);
    int64_t type = 0, width = 0, height = 0;
    ok = ReadMultiByte(in, type) && type == 0 && in.Byte() == 0 && ReadMultiByte(in, width) &&
         ReadMultiByte(in, height) && width > 0 && height > 0;
    int64_t raster = 0;
    ok = ok && PxCheckedMul((width + 7) / 8, height, raster) &&
         stream.Size() - in.Position() == raster;
  }
  stream.SetPosition(start);
  return ok;
}

// Parses untrusted data.
void ReadWbmpStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                    TPxProgress& progress) {
  TPxByteReader in(stream);
  int64_t type = 0, width = 0, height = 0;
  const bool header = ReadMultiByte(in, type) && type == 0 && in.Byte() == 0 &&
                      ReadMultiByte(in, width) && ReadMultiByte(in, height) && width > 0 &&
                      height > 0;
  if (!header) {
    in.Release();
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
  if (paramsOnly) {
    in.Release();
    return;
  }
  const int64_t fileRow = (width + 7) / 8;
  if (!bitmap || fileRow * height > in.Left() * kMaxMissingFactor + 4096 ||
      !PxAllocateChecked(*bitmap, width, height, px1g)) {
    in.Release();
    progress.Abort();
    return;
  }
  const int h = static_cast<int>(height);
  progress.Begin(h);
  bool complete = true;
  int reached = 0;
  while (reached < h) {
    // The file's bits are the bitmap's: 1 white. Missing bytes read as 0.
    complete = in.Read(bitmap->Scanline(reached++), fileRow);
    progress.Advance();
    if (!complete || progress.Aborted()) break;
  }
  // Rows not reached are black.
  for (int rest = reached; rest < h; ++rest)
    std::memset(bitmap->Scanline(rest), 0, static_cast<size_t>(fileRow));
  in.Release();
  if (!complete) progress.Abort();
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
  TPxByteWriter out(stream);
  out.U8(0);  // type 0
  out.U8(0);  // fixed header
  PutMultiByte(out, static_cast<uint32_t>(w));
  PutMultiByte(out, static_cast<uint32_t>(h));
  const int fileRow = (w + 7) / 8;
  std::vector<uint8_t> row(static_cast<size_t>(fileRow));
  progress.Begin(h);
  for (int y = 0; y < h; ++y) {
    std::memcpy(row.data(), source->Scanline(y), row.size());
    // Bits past the width are written 0.
    if (w % 8) row[fileRow - 1] &= static_cast<uint8_t>(0xFF << (8 - w % 8));
    out.Write(row.data(), row.size());
    if (out.Failed()) break;
    progress.Advance();
    if (progress.Aborted()) break;
  }
  if (!out.Flush()) progress.Abort();
}

void WriteWbmpRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals&, TPxProgress& progress) {
  WriteWbmpStream(stream, bitmap, progress);
}

std::string DescribeWbmp(const TIOParamsVals&) { return "type 0, black and white"; }
