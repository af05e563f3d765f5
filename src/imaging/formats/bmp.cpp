#include "imaging/formats/bmp.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "imaging/core/pxconfig.h"
#include "imaging/formats/codecio.h"

namespace {

enum : uint32_t { kBiRgb = 0, kBiRle8 = 1, kBiRle4 = 2, kBiBitFields = 3, kBiAlphaBitFields = 6 };

// Run-length data may expand two bytes into 255 pixels, and a delta escape of
// four bytes skips more; a picture needing more than this many pixels per
// byte of data is refused before anything is allocated for it.
constexpr int64_t kRlePixelsPerByte = 256;
// Uncompressed data shorter than a quarter of what the picture needs is
// refused the same way; a shorter cut still gives the rows that are there.
constexpr int64_t kShortDataRatio = 4;
// What a very small file may claim beyond those ratios.
constexpr int64_t kSlackBytes = 4096;

// One channel of bit-field pixels: its place in the pixel and a table from
// its value to 8 bits (the bits repeated downwards, so that all ones is 255).
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  int drop = 0;  // low bits dropped from channels wider than 16 bits
  std::vector<uint8_t> table;

  void Set(uint32_t m) {
    mask = m;
    table.clear();
    if (m == 0) return;
    shift = std::countr_zero(m);
    int span = 32 - std::countl_zero(m) - shift;
    drop = std::max(0, span - 16);
    span -= drop;
    const uint32_t top = (1u << span) - 1;
    table.resize(size_t(top) + 1);
    for (uint32_t v = 0; v <= top; ++v) {
      uint32_t out = 0;
      for (int filled = 0; filled < 8; filled += span) {
        const int at = 8 - span - filled;
        out |= at >= 0 ? v << at : v >> -at;
      }
      table[v] = static_cast<uint8_t>(out);
    }
  }
  uint8_t Of(uint32_t pixel) const {
    return mask ? table[((pixel & mask) >> shift) >> drop] : 0;
  }
};

struct BmpInfo {
  uint32_t headerSize = 0;
  int64_t width = 0, height = 0;
  bool topDown = false;
  int bitCount = 0;
  uint32_t compression = kBiRgb;
  int32_t xppm = 0, yppm = 0;
  uint32_t masks[4] = {};  // red, green, blue, alpha
  std::vector<TBGR> palette;
  int64_t pixelStart = 0;  // stream position of the pixel data
};

int Dpi(int32_t ppm) {
  if (ppm <= 0) return 0;
  return static_cast<int>(std::min<double>(std::lround(ppm / 100.0 * 2.54), INT32_MAX));
}

uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

bool ValidCoding(int bits, uint32_t compression) {
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
  switch (compression) {
    case kBiRgb: return true;
    case kBiRle8: return bits == 8;
    case kBiRle4: return bits == 4;
    case kBiBitFields:
    case kBiAlphaBitFields: return bits == 16 || bits == 32;
    default: return false;
  }
}

// Parses untrusted data: the file header, the information header, the masks
// and the colour table. False for a header the reader does not take.
bool ReadInfo(TPxByteReader& r, BmpInfo& info, TIOParamsVals& params) {
  const int64_t start = r.Position();
  if (r.U8() != 'B' || r.U8() != 'M') return false;
  r.Skip(8);  // file size (not trusted: many writers get it wrong), reserved words
  const uint32_t offset = r.U32LE();
  info.headerSize = r.U32LE();
  const int64_t headerStart = start + 14;
  if (r.Failed()) return false;
  int entrySize = 4;
  uint32_t colorsUsed = 0;
  if (info.headerSize == 12) {
    params.BmpVersion = 2;
    info.width = r.U16LE();
    info.height = r.U16LE();
    r.U16LE();  // planes
    info.bitCount = r.U16LE();
    entrySize = 3;
  } else {
    if (info.headerSize < 16 || int64_t(info.headerSize) > r.Left() + 4) return false;
    uint8_t h[64] = {};
    r.Read(h + 4, std::min<uint32_t>(info.headerSize, 64) - 4);
    r.Seek(headerStart + info.headerSize);
    params.BmpVersion = info.headerSize == 64 ? 3 : info.headerSize == 40 ? 1 : 0;
    const int32_t w = static_cast<int32_t>(Get32(h + 4)), hgt = static_cast<int32_t>(Get32(h + 8));
    info.width = w;
    info.topDown = hgt < 0;
    info.height = info.topDown ? -int64_t(hgt) : hgt;
    info.bitCount = Get16(h + 14);
    info.compression = Get32(h + 16);
    info.xppm = static_cast<int32_t>(Get32(h + 24));
    info.yppm = static_cast<int32_t>(Get32(h + 28));
    colorsUsed = Get32(h + 32);
    if (info.compression == kBiBitFields || info.compression == kBiAlphaBitFields) {
      // Windows headers from 52 bytes on hold the masks; shorter ones are
      // followed by them. The 64-byte OS/2 header holds other fields there.
      if (info.headerSize >= 52 && info.headerSize != 64) {
        for (int i = 0; i < 3; ++i) info.masks[i] = Get32(h + 40 + 4 * i);
        if (info.headerSize >= 56) info.masks[3] = Get32(h + 52);
      } else {
        const int count = info.compression == kBiAlphaBitFields ? 4 : 3;
        for (int i = 0; i < count; ++i) info.masks[i] = r.U32LE();
      }
    } else if (info.bitCount == 32 && info.headerSize >= 56 && info.headerSize != 64) {
      info.masks[3] = Get32(h + 52);
    }
  }
  if (r.Failed() || info.width < 0) return false;
  if (colorsUsed > 256) colorsUsed = 0;
  if (colorsUsed == 0 && info.bitCount <= 8 && info.bitCount > 0) colorsUsed = 1u << info.bitCount;
  if (info.bitCount > 8) colorsUsed = 0;  // a table for other displays: not needed
  const int64_t tableStart = r.Position();
  // A table that would run into the pixel data is shorter than it says.
  if (offset > 0 && start + offset >= tableStart)
    colorsUsed = static_cast<uint32_t>(
        std::min<int64_t>(colorsUsed, (start + offset - tableStart) / entrySize));
  info.palette.resize(colorsUsed);
  for (TBGR& c : info.palette) {
    c.b = r.U8();
    c.g = r.U8();
    c.r = r.U8();
    if (entrySize == 4) r.U8();
  }
  if (r.Failed()) return false;
  info.pixelStart = offset > 0 ? start + offset : r.Position();

  params.Width = static_cast<int32_t>(std::min<int64_t>(info.width, INT32_MAX));
  params.Height = static_cast<int32_t>(std::min<int64_t>(info.height, INT32_MAX));
  const int dx = Dpi(info.xppm), dy = Dpi(info.yppm);
  params.SetDpi(dx ? dx : kDefaultDpi, dy ? dy : kDefaultDpi);
  params.DpiFromFile = dx > 0 && dy > 0;
  params.BmpCompression = info.compression == kBiRle8 || info.compression == kBiRle4 ? 1 : 0;
  params.ColorMap = info.palette;
  params.ColorMapCount = static_cast<int32_t>(info.palette.size());
  switch (info.bitCount) {
    case 1: params.BitsPerSample = 1, params.SamplesPerPixel = 1; break;
    case 4: params.BitsPerSample = 4, params.SamplesPerPixel = 1; break;
    case 8: params.BitsPerSample = 8, params.SamplesPerPixel = 1; break;
    case 16: params.BitsPerSample = 5, params.SamplesPerPixel = 3; break;
    case 24: params.BitsPerSample = 8, params.SamplesPerPixel = 3; break;
    case 32: params.BitsPerSample = 8, params.SamplesPerPixel = 4; break;
    default: break;
  }
  return true;
}

// Turns file rows into bitmap rows.
class RowDecoder {
 public:
  RowDecoder(const BmpInfo& info, TPxBitmap& bitmap, TPxBitmap* alpha)
      : info_(info), bitmap_(bitmap), alpha_(alpha), width_(static_cast<int>(info.width)) {
    for (size_t i = 0; i < info.palette.size(); ++i) lut_[i] = info.palette[i];
    invert_ = bitmap.PixelFormat() == px1g &&
              PxBlackWhitePalette(info.palette.data(), static_cast<int>(info.palette.size())) < 0;
    bitFields_ = info.compression == kBiBitFields || info.compression == kBiAlphaBitFields ||
                 info.bitCount == 16;
    if (bitFields_) {
      uint32_t m[4] = {info.masks[0], info.masks[1], info.masks[2], info.masks[3]};
      if (info.compression == kBiRgb) m[0] = 0x7C00, m[1] = 0x03E0, m[2] = 0x001F, m[3] = 0;
      for (int i = 0; i < 4; ++i) channels_[i].Set(m[i]);
    }
    if (bitmap.PixelFormat() != px1g && info.bitCount <= 8) indexes_.resize(size_t(width_));
  }

  uint8_t* Scanline(int64_t k) { return bitmap_.Scanline(BitmapRow(k)); }

  // The bitmap row of file row k.
  int BitmapRow(int64_t k) const {
    return static_cast<int>(info_.topDown ? k : info_.height - 1 - k);
  }

  // One uncompressed file row.
  void Row(int64_t k, const uint8_t* src) {
    const int y = BitmapRow(k);
    uint8_t* dst = bitmap_.Scanline(y);
    uint8_t* a = alpha_ ? alpha_->Scanline(y) : nullptr;
    const int bits = info_.bitCount;
    if (bitmap_.PixelFormat() == px1g) {
      const size_t n = static_cast<size_t>((width_ + 7) / 8);
      std::memcpy(dst, src, n);
      if (invert_) PxInvertBits(dst, n);
    } else if (bits <= 8) {
      PxUnpackRow(src, indexes_.data(), width_, bits);
      Indexes(dst, indexes_.data());
    } else if (bits == 24) {
      std::memcpy(dst, src, size_t(width_) * 3);
    } else if (bits == 32 && !bitFields_) {
      for (int x = 0; x < width_; ++x, src += 4, dst += 3) {
        dst[0] = src[0], dst[1] = src[1], dst[2] = src[2];
        if (a) Note(a[x] = src[3]);
      }
    } else if (bits == 32) {
      for (int x = 0; x < width_; ++x, src += 4, dst += 3) Pixel(Get32(src), dst, a, x);
    } else {
      for (int x = 0; x < width_; ++x, src += 2, dst += 3) Pixel(Get16(src), dst, a, x);
    }
  }

  // A row of palette indexes, one per byte (run-length data).
  void IndexRow(int64_t k, const uint8_t* indexes) {
    Indexes(bitmap_.Scanline(BitmapRow(k)), indexes);
  }

  // The alpha plane is kept only when its values vary: 32-bit files of
  // writers that knew no alpha leave the fourth byte 0 throughout.
  bool AlphaMeaningful() const { return anyNonZero_ && anyNotOpaque_; }

 private:
  void Indexes(uint8_t* dst, const uint8_t* indexes) {
    if (bitmap_.PixelFormat() == px8p) {
      std::memcpy(dst, indexes, size_t(width_));
      return;
    }
    TBGR* out = reinterpret_cast<TBGR*>(dst);
    for (int x = 0; x < width_; ++x) out[x] = lut_[indexes[x]];
  }
  void Pixel(uint32_t p, uint8_t* dst, uint8_t* a, int x) {
    dst[0] = channels_[2].Of(p);
    dst[1] = channels_[1].Of(p);
    dst[2] = channels_[0].Of(p);
    if (a) Note(a[x] = channels_[3].Of(p));
  }
  void Note(uint8_t v) {
    anyNonZero_ |= v != 0;
    anyNotOpaque_ |= v != 255;
  }

  const BmpInfo& info_;
  TPxBitmap& bitmap_;
  TPxBitmap* alpha_;
  int width_;
  // Indexes beyond the file's table give black, never a read outside it.
  TBGR lut_[256] = {};
  bool invert_ = false;
  bool bitFields_ = false;
  Channel channels_[4];  // red, green, blue, alpha
  std::vector<uint8_t> indexes_;
  bool anyNonZero_ = false, anyNotOpaque_ = false;
};

// Parses untrusted data. Uncompressed rows; false when the data ends early.
bool ReadPlainRows(TPxByteReader& r, const BmpInfo& info, RowDecoder& rows, int64_t rowBytes,
                   TPxProgress& progress) {
  std::vector<uint8_t> buffer(static_cast<size_t>(rowBytes));
  bool whole = true;
  // 24-bit rows are the bitmap's own: straight into it, the padding skipped.
  const int64_t direct = info.bitCount == 24 ? info.width * 3 : 0;
  for (int64_t k = 0; k < info.height; ++k) {
    if (progress.Aborted()) return true;
    if (direct && whole) {
      whole = r.Read(rows.Scanline(k), direct) && r.Skip(rowBytes - direct);
      progress.Advance();
      continue;
    }
    // A cut row still gives its pixels up to the cut; the rows after it are zero.
    if (whole) whole = r.Read(buffer.data(), rowBytes);
    else if (k > 0) std::fill(buffer.begin(), buffer.end(), 0);
    rows.Row(k, buffer.data());
    progress.Advance();
  }
  return whole;
}

// Parses untrusted data. RLE8 and RLE4: false when the data ends before the
// picture does, or a run, literal or delta leaves its row or the picture;
// the rows reached so far are kept. Pixels the data never reaches take index 0.
bool ReadRleRows(TPxByteReader& r, const BmpInfo& info, RowDecoder& rows, TPxProgress& progress) {
  const int64_t width = info.width, height = info.height;
  const bool four = info.bitCount == 4;
  std::vector<uint8_t> line(static_cast<size_t>(width), 0);
  int64_t row = 0, col = 0;
  auto emit = [&] {
    rows.IndexRow(row++, line.data());
    std::fill(line.begin(), line.end(), 0);
    progress.Advance();
  };
  // Writers code the padding of a row too (ImageMagick does): pixels up to the
  // padded row length are dropped; a run past it is damage.
  const int64_t padded = (width * info.bitCount + 31) / 32 * 32 / info.bitCount;
  auto put = [&](int64_t n, auto value) {
    const int64_t fit = std::max<int64_t>(0, std::min(n, width - col));
    for (int64_t i = 0; i < fit; ++i) line[size_t(col + i)] = value(i);
    col += n;
    return col <= padded;
  };
  bool ok = true, ended = false;
  while (row < height && ok && !progress.Aborted()) {
    const int n = r.Byte(), v = r.Byte();
    if (v < 0) {
      ok = false;
    } else if (n > 0) {
      const uint8_t hi = static_cast<uint8_t>(v >> 4), lo = static_cast<uint8_t>(v & 15);
      ok = four ? put(n, [&](int64_t i) { return (i & 1) ? lo : hi; })
                : put(n, [&](int64_t) { return static_cast<uint8_t>(v); });
    } else if (v == 0) {
      emit();
      col = 0;
    } else if (v == 1) {
      ended = true;
      break;
    } else if (v == 2) {
      const int dx = r.Byte(), dy = r.Byte();
      ok = dx >= 0 && dy >= 0 && col + dx <= padded && row + dy < height;
      for (int i = 0; ok && i < dy; ++i) emit();
      col += dx;
    } else {
      // v literal pixels, padded to a 16-bit boundary.
      const int bytes = four ? (v + 1) / 2 : v;
      uint8_t literal[256];
      ok = r.Read(literal, bytes) && ((bytes & 1) == 0 || r.Byte() >= 0);
      if (ok)
        ok = four ? put(v, [&](int64_t i) {
               return static_cast<uint8_t>((i & 1) ? literal[i / 2] & 15 : literal[i / 2] >> 4);
             })
                  : put(v, [&](int64_t i) { return literal[i]; });
    }
  }
  if (progress.Aborted()) return true;
  // The row in progress is kept, whether the picture ended or the data
  // failed; the rows not reached take index 0.
  while (row < height) emit();
  return ok || ended;
}

}  // namespace

// Parses untrusted data.
void ReadBmpStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, int64_t dataSize,
                   bool ignoreAlpha, bool paramsOnly, TPxProgress& progress) {
  const int64_t start = stream.Position();
  TPxByteReader r(stream, dataSize > 0 ? start + dataSize : -1);
  BmpInfo info;
  params.ColorMap.clear();
  params.ColorMapCount = 0;
  if (!ReadInfo(r, info, params) || !ValidCoding(info.bitCount, info.compression) ||
      info.pixelStart > r.End()) {
    progress.Abort();
    return;
  }
  // A picture without pixels has only its parameters.
  if (paramsOnly || info.width == 0 || info.height == 0) return;
  if (!bitmap) {
    progress.Abort();
    return;
  }
  const bool rle = info.compression == kBiRle8 || info.compression == kBiRle4;
  int64_t rowBytes = 0, fileBytes = 0;
  const int64_t available = r.End() - info.pixelStart;
  const bool sizeOk =
      PxCheckedRowBytes(info.width, info.bitCount, rowBytes, 32) &&
      PxCheckedMul(rowBytes, info.height, fileBytes) &&
      (rle ? info.width * info.height / kRlePixelsPerByte <= available + kSlackBytes
           : fileBytes / kShortDataRatio <= available + kSlackBytes);
  const int bw = info.bitCount == 1
                     ? PxBlackWhitePalette(info.palette.data(), static_cast<int>(info.palette.size()))
                     : 0;
  const TPxPixelFormat pf = bw != 0                                          ? px1g
                            : info.bitCount <= 8 && params.NativePixelFormat ? px8p
                                                                             : pxRGB24;
  if (!sizeOk || !PxAllocateChecked(*bitmap, info.width, info.height, pf)) {
    progress.Abort();
    return;
  }
  if (pf == px8p) {
    PxSetPalette(*bitmap, info.palette.data(), static_cast<int>(info.palette.size()));
    bitmap->PaletteColorLimit = 1 << info.bitCount;
  }
  const bool fields = info.compression == kBiBitFields || info.compression == kBiAlphaBitFields;
  const bool wantsAlpha = !ignoreAlpha && (fields ? info.masks[3] != 0 : info.bitCount == 32);
  TPxBitmap* alpha = wantsAlpha ? bitmap->AlphaChannel() : nullptr;
  if (alpha && alpha->IsEmpty()) {
    progress.Abort();
    return;
  }
  RowDecoder rows(info, *bitmap, alpha);
  r.Seek(info.pixelStart);
  progress.Begin(info.height);
  const bool ok = rle ? ReadRleRows(r, info, rows, progress)
                      : ReadPlainRows(r, info, rows, rowBytes, progress);
  if (alpha) {
    if (rows.AlphaMeaningful()) alpha->SetFullAlpha(false);
    else bitmap->RemoveAlphaChannel();
  }
  r.Release();
  if (!ok) progress.Abort();
}

// --- Writing --------------------------------------------------------------------

namespace {

int Ppm(int32_t dpi) { return static_cast<int>(std::lround(std::max(dpi, 0) / 2.54 * 100)); }

int ChooseBits(const TIOParamsVals& params, const TPxBitmap& bitmap) {
  if (params.BitsPerSample == 1 || params.BitsPerSample == 4) return params.BitsPerSample;
  if (params.SamplesPerPixel == 1) return 8;
  return bitmap.HasAlphaChannel() ? 32 : 24;
}

// Run-length codes a row of indexes (one per byte), ended by 0, 0.
void EncodeRle(const uint8_t* idx, int width, bool four, std::vector<uint8_t>& out) {
  out.clear();
  int x = 0;
  while (x < width) {
    int run = 1;
    while (x + run < width && run < 255 && idx[x + run] == idx[x]) ++run;
    if (run >= 2) {
      out.push_back(static_cast<uint8_t>(run));
      out.push_back(four ? static_cast<uint8_t>(idx[x] << 4 | idx[x]) : idx[x]);
      x += run;
      continue;
    }
    // A stretch without repeats, up to where a run starts.
    int n = 0;
    while (x + n < width && n < 255 && !(x + n + 1 < width && idx[x + n + 1] == idx[x + n])) ++n;
    if (n < 3) {
      for (int i = 0; i < std::max(n, 1); ++i, ++x) {
        out.push_back(1);
        out.push_back(four ? static_cast<uint8_t>(idx[x] << 4) : idx[x]);
      }
      continue;
    }
    out.push_back(0);
    out.push_back(static_cast<uint8_t>(n));
    size_t bytes = 0;
    if (four) {
      for (int i = 0; i < n; i += 2, ++bytes)
        out.push_back(static_cast<uint8_t>(idx[x + i] << 4 | (i + 1 < n ? idx[x + i + 1] : 0)));
    } else {
      out.insert(out.end(), idx + x, idx + x + n);
      bytes = size_t(n);
    }
    if (bytes & 1) out.push_back(0);
    x += n;
  }
  out.push_back(0);
  out.push_back(0);
}

// The pixels to write as palette indexes, one row at a time.
class IndexSource {
 public:
  // False when a working copy cannot be made.
  bool Prepare(TPxBitmap& bitmap, int bits) {
    const int colors = 1 << bits;
    source_ = &bitmap;
    if (bits == 8 && bitmap.PixelFormat() == px8p) {
      palette_ = PxPaletteList(bitmap, 256);
      return true;
    }
    if (bitmap.PixelFormat() != pxRGB24) {
      if (!copy_.Assign(bitmap) || !copy_.ConvertTo(pxRGB24)) return false;
      source_ = &copy_;
    }
    quantizer_ = std::make_unique<TPxQuantizer>(*source_, colors);
    palette_ = quantizer_->Palette();
    palette_.resize(size_t(colors));
    return true;
  }
  const std::vector<TBGR>& Palette() const { return palette_; }
  void Row(int y, uint8_t* idx) {
    const uint8_t* src = source_->Scanline(y);
    if (!quantizer_) std::memcpy(idx, src, size_t(source_->Width()));
    else quantizer_->MapRow(reinterpret_cast<const TBGR*>(src), idx, source_->Width());
  }

 private:
  TPxBitmap* source_ = nullptr;
  TPxBitmap copy_;
  std::unique_ptr<TPxQuantizer> quantizer_;
  std::vector<TBGR> palette_;
};

// A 1-bit picture: px1g as it is; a picture of at most two colours with
// those colours; any other made black and white on a copy.
bool PrepareBilevel(TPxBitmap& bitmap, TPxBitmap& copy, TPxBitmap*& source,
                    std::vector<TBGR>& palette) {
  palette = {TBGR{0, 0, 0}, TBGR{255, 255, 255}};
  source = &bitmap;
  if (bitmap.PixelFormat() == px1g) return true;
  TPxBitmap rgb;
  const TPxBitmap* colours = &bitmap;
  if (bitmap.PixelFormat() != pxRGB24) {
    if (!rgb.Assign(bitmap) || !rgb.ConvertTo(pxRGB24)) return false;
    colours = &rgb;
  }
  std::vector<TBGR> seen;
  for (int y = 0; y < colours->Height() && seen.size() <= 2; ++y) {
    const TBGR* p = reinterpret_cast<const TBGR*>(colours->Scanline(y));
    for (int x = 0; x < colours->Width() && seen.size() <= 2; ++x)
      if (std::find(seen.begin(), seen.end(), p[x]) == seen.end()) seen.push_back(p[x]);
  }
  if (seen.size() <= 2) {
    seen.resize(2, seen.empty() ? TBGR{} : seen[0]);
    palette = seen;
    if (!copy.Allocate(colours->Width(), colours->Height(), px1g)) return false;
    const int w = colours->Width();
    for (int y = 0; y < colours->Height(); ++y) {
      const TBGR* p = reinterpret_cast<const TBGR*>(colours->Scanline(y));
      uint8_t* d = copy.Scanline(y);
      std::memset(d, 0, size_t((w + 7) / 8));
      for (int x = 0; x < w; ++x)
        if (p[x] == palette[1] && !(palette[1] == palette[0])) d[x >> 3] |= uint8_t(0x80 >> (x & 7));
    }
  } else if (!copy.Assign(*colours) || !copy.ConvertTo(px1g)) {
    return false;
  }
  source = &copy;
  return true;
}

}  // namespace

void WriteBmpStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress) {
  if (!bitmap || bitmap->IsEmpty()) {
    progress.Abort();
    return;
  }
  const int w = bitmap->Width(), h = bitmap->Height();
  const uint32_t headerSize = params.BmpVersion == 2 ? 12 : params.BmpVersion == 3 ? 64 : 40;
  int bits = ChooseBits(params, *bitmap);
  if (headerSize == 12 && bits == 32) bits = 24;  // the OS/2 1.x header knows no alpha
  if (headerSize == 12 && (w > 65535 || h > 65535)) {
    progress.Abort();
    return;
  }
  const bool palette = bits <= 8;
  const bool rleAsked = params.BmpCompression == 1 && (bits == 4 || bits == 8);
  const bool rle = rleAsked && headerSize != 12;

  // The pixels in the form the bit count needs; only 32 bits keep
  // transparency, the others show it on white as a print would.
  TPxBitmap flat, copy;
  TPxBitmap* input = bitmap;
  if (bits != 32 && PxHasTransparency(*bitmap)) {
    if (!PxFlattenOnWhite(*bitmap, flat)) {
      progress.Abort();
      return;
    }
    input = &flat;
  }
  TPxBitmap* source = input;
  IndexSource indexes;
  std::vector<TBGR> table;
  if (bits == 1) {
    if (!PrepareBilevel(*input, copy, source, table)) {
      progress.Abort();
      return;
    }
  } else if (palette) {
    if (!indexes.Prepare(*input, bits)) {
      progress.Abort();
      return;
    }
    table = indexes.Palette();
  } else if (input->PixelFormat() != pxRGB24) {
    if (!copy.Assign(*input) || !copy.ConvertTo(pxRGB24)) {
      progress.Abort();
      return;
    }
    source = &copy;
  }
  TPxBitmap* alpha = bits == 32 && bitmap->HasAlphaChannel() ? bitmap->AlphaChannel() : nullptr;

  TPxByteWriter out(stream);
  const int64_t start = out.Position();
  out.U8('B');
  out.U8('M');
  out.Zeros(12);  // file size, reserved words and pixel offset: filled at the end
  out.U32LE(headerSize);
  const uint32_t colors = palette ? 1u << bits : 0;
  if (headerSize == 12) {
    out.U16LE(static_cast<uint16_t>(w));
    out.U16LE(static_cast<uint16_t>(h));
    out.U16LE(1);
    out.U16LE(static_cast<uint16_t>(bits));
  } else {
    out.U32LE(static_cast<uint32_t>(w));
    out.U32LE(static_cast<uint32_t>(h));
    out.U16LE(1);
    out.U16LE(static_cast<uint16_t>(bits));
    out.U32LE(rle ? (bits == 4 ? kBiRle4 : kBiRle8) : kBiRgb);
    out.U32LE(0);  // image size: filled at the end
    out.U32LE(static_cast<uint32_t>(Ppm(params.DpiX)));
    out.U32LE(static_cast<uint32_t>(Ppm(params.DpiY)));
    out.U32LE(colors);
    out.U32LE(uint32_t(1) << (bits % 32));
    if (headerSize == 64) out.Zeros(24);
  }
  for (const TBGR& c : table) {
    out.U8(c.b);
    out.U8(c.g);
    out.U8(c.r);
    if (headerSize != 12) out.U8(0);
  }
  params.ColorMap = table;
  params.ColorMapCount = static_cast<int32_t>(table.size());
  const int64_t pixelStart = out.Position();

  int64_t rowBytes = 0;
  PxCheckedRowBytes(w, bits, rowBytes, 32);
  std::vector<uint8_t> row(static_cast<size_t>(rowBytes), 0), idx(palette ? size_t(w) : 0);
  std::vector<uint8_t> coded;
  progress.Begin(h);
  for (int k = 0; k < h; ++k) {
    if (progress.Aborted() || out.Failed()) break;
    const int y = h - 1 - k;
    if (bits == 1) {
      out.Row(source->Scanline(y), size_t((w + 7) / 8), size_t(rowBytes));
    } else if (palette) {
      indexes.Row(y, idx.data());
      if (rle) {
        EncodeRle(idx.data(), w, bits == 4, coded);
        out.Write(coded.data(), coded.size());
      } else {
        PxPackRow(idx.data(), row.data(), w, bits);
        out.Write(row.data(), size_t(rowBytes));
      }
    } else if (bits == 24) {
      out.Row(source->Scanline(y), size_t(w) * 3, size_t(rowBytes));
    } else {
      const uint8_t* s = source->Scanline(y);
      const uint8_t* a = alpha ? alpha->Scanline(y) : nullptr;
      for (int x = 0; x < w; ++x, s += 3) {
        row[size_t(x) * 4] = s[0], row[size_t(x) * 4 + 1] = s[1], row[size_t(x) * 4 + 2] = s[2];
        row[size_t(x) * 4 + 3] = a ? a[x] : 255;
      }
      out.Write(row.data(), size_t(rowBytes));
    }
    progress.Advance();
  }
  if (progress.Aborted() || out.Failed()) {
    out.Flush();
    progress.Abort();
    return;
  }
  if (rleAsked) {
    out.U8(0);
    out.U8(1);
  }
  const int64_t end = out.Position();
  out.PatchU32LE(start + 2, static_cast<uint32_t>(end - start));
  out.PatchU32LE(start + 10, static_cast<uint32_t>(pixelStart - start));
  if (headerSize != 12) out.PatchU32LE(start + 34, static_cast<uint32_t>(end - pixelStart));
  if (!out.Flush()) progress.Abort();
}

// --- The BMP row of the format table -------------------------------------------

// Parses untrusted data.
bool BmpContentTest(TPxStream& stream) {
  uint8_t h[2];
  return stream.Size() - stream.Position() > 14 && stream.ReadExact(h, 2) && h[0] == 'B' &&
         h[1] == 'M';
}

void ReadBmpRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                TPxProgress& progress) {
  ReadBmpStream(stream, bitmap, params, paramsOnly ? stream.Size() - stream.Position() : 0,
                paramsOnly, paramsOnly, progress);
}

std::string DescribeBmp(const TIOParamsVals& params) {
  static const char* const kHeaders[] = {"extended Windows header", "Windows header",
                                         "OS/2 1.x header", "OS/2 2.x header"};
  std::string text = params.BmpVersion < 4 ? kHeaders[params.BmpVersion] : "unknown header";
  text += params.BmpCompression == 1 ? ", run-length coded" : ", uncompressed";
  if (params.ColorMapCount > 0)
    text += ", " + std::to_string(params.ColorMapCount) + "-colour table";
  return text;
}
