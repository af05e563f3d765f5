#include "imaging/formats/ico.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "imaging/core/pxconfig.h"
#include "imaging/formats/bmp.h"
#include "imaging/formats/codecio.h"
#include "imaging/formats/png.h"
#include "imaging/proc/imagingproc.h"

namespace {

struct Entry {
  int width = 0, height = 0;  // 256 for a 0 byte
  int colorCount = 0;
  uint16_t planes = 0, bitCount = 0;  // a cursor's hot spot
  uint32_t bytes = 0, offset = 0;
};

// An image's bits from a colour count (a palette of up to 256 colours).
int BitsForColors(int colors) {
  if (colors <= 0) return 0;
  int bits = 1;
  while ((1 << bits) < colors && bits < 8) ++bits;
  return bits <= 1 ? 1 : bits <= 4 ? 4 : 8;
}

// Parses untrusted data: the header and the directory, every entry inside
// the stream. False for anything else.
bool ReadDirectory(TPxByteReader& r, std::vector<Entry>& entries, int& type) {
  const int64_t start = r.Position();
  if (r.Left() < 23 || r.U16LE() != 0) return false;
  type = r.U16LE();
  const int count = r.U16LE();
  if ((type != 1 && type != 2) || count == 0 || int64_t(count) * 16 > r.Left()) return false;
  entries.resize(size_t(count));
  for (int i = 0; i < count; ++i) {
    Entry& e = entries[size_t(i)];
    e.width = r.U8();
    e.height = r.U8();
    e.colorCount = r.U8();
    const int reserved = r.U8();
    e.planes = r.U16LE();
    e.bitCount = r.U16LE();
    e.bytes = r.U32LE();
    e.offset = r.U32LE();
    if (e.width == 0) e.width = 256;
    if (e.height == 0) e.height = 256;
    const int64_t entryEnd = 6 + 16 * int64_t(i + 1);
    if (reserved != 0 || e.bytes == 0 || e.offset < entryEnd || start + e.offset >= r.End())
      return false;
  }
  return !r.Failed();
}

bool IconTest(TPxStream& stream, int wanted) {
  const int64_t start = stream.Position();
  bool ok = false;
  {
    TPxByteReader r(stream);
    std::vector<Entry> entries;
    int type = 0;
    ok = ReadDirectory(r, entries, type) && type == wanted;
  }
  stream.SetPosition(start);
  return ok;
}

// Reads the image of one entry that is a bitmap (not a PNG).
class IconBitmap {
 public:
  IconBitmap(TPxByteReader& r, const Entry& e, bool cursor, TIOParamsVals& params)
      : r_(r), entry_(e), cursor_(cursor), params_(params) {}

  // Parses untrusted data: the information header and the palette.
  bool ReadHeader() {
    const int64_t at = r_.Position();
    const uint32_t size = r_.U32LE();
    const int32_t w = r_.I32LE(), h = r_.I32LE();
    r_.U16LE();  // planes
    bits_ = r_.U16LE();
    const uint32_t compression = r_.U32LE();
    r_.U32LE();  // image size
    const int32_t xppm = r_.I32LE(), yppm = r_.I32LE();
    const uint32_t used = r_.U32LE();
    if (r_.Failed() || size < 40 || !r_.Seek(at + size) || compression != 0) return false;
    if (bits_ == 0) bits_ = cursor_ ? 0 : entry_.bitCount;
    if (bits_ == 0) bits_ = BitsForColors(entry_.colorCount == 255 ? 256 : entry_.colorCount);
    if (bits_ != 1 && bits_ != 4 && bits_ != 8 && bits_ != 24 && bits_ != 32) return false;
    // The entry's size; the header's when they disagree and it is sensible
    // (its height counts the XOR and the AND rows).
    width_ = entry_.width;
    height_ = entry_.height;
    if (w > 0 && h > 0 && w < 2048 && h / 2 < 2048 && (w != width_ || h / 2 != height_)) {
      width_ = w;
      height_ = h / 2;
    }
    if (width_ <= 0 || height_ <= 0) return false;
    auto dpi = [](int32_t ppm) {
      const long v = ppm > 0 ? std::lround(ppm / 100.0 * 2.54) : 0;
      return v >= 1 && v <= INT32_MAX ? int32_t(v) : kDefaultDpi;
    };
    params_.SetDpi(dpi(xppm), dpi(yppm));
    params_.DpiFromFile = xppm > 0 && yppm > 0;
    params_.Width = width_;
    params_.Height = height_;
    params_.BitsPerSample = std::min(bits_, 8);
    params_.SamplesPerPixel = bits_ == 32 ? 4 : bits_ == 24 ? 3 : 1;
    if (bits_ <= 8) {
      const uint32_t full = 1u << bits_;
      const uint32_t count = used > 0 && used < full ? used : full;
      palette_.resize(count);
      for (TBGR& c : palette_) {
        c.b = r_.U8();
        c.g = r_.U8();
        c.r = r_.U8();
        r_.U8();
      }
      if (r_.Failed()) return false;
    }
    params_.ColorMap = palette_;
    params_.ColorMapCount = int32_t(palette_.size());
    return true;
  }

  int Bits() const { return bits_; }

  // Parses untrusted data: the XOR rows, then the AND rows. False when the
  // data ends early (the rows read stay) or the size cannot be had; rows the
  // data holds less than a quarter of are refused before allocating.
  bool ReadPixels(TPxBitmap& bitmap, bool noAlpha, TPxProgress& progress) {
    int64_t xorRow = 0, andRow = 0, xorBytes = 0;
    if (!PxCheckedRowBytes(width_, bits_, xorRow, 32) || !PxCheckedRowBytes(width_, 1, andRow, 32) ||
        !PxCheckedMul(xorRow, height_, xorBytes) || xorBytes / 4 > r_.Left() + 4096)
      return false;
    const int bw = bits_ == 1 ? PxBlackWhitePalette(palette_.data(), int(palette_.size())) : 0;
    const TPxPixelFormat pf = bw != 0 ? px1g : pxRGB24;
    if (!PxAllocateChecked(bitmap, width_, height_, pf)) return false;
    TPxBitmap* alpha = noAlpha ? nullptr : bitmap.AlphaChannel();
    if (alpha && alpha->IsEmpty()) return false;
    TBGR lut[256] = {};
    std::copy(palette_.begin(), palette_.end(), lut);
    const TBGR background = cursor_ ? params_.CurBackground : params_.IcoBackground;
    std::vector<uint8_t> row(static_cast<size_t>(xorRow)), idx(static_cast<size_t>(width_));
    bool whole = true, anyAlpha = false;
    progress.Begin(height_);
    for (int k = 0; k < height_ && whole; ++k) {
      if (progress.Aborted()) return true;
      whole = r_.Read(row.data(), xorRow);
      const int y = height_ - 1 - k;
      uint8_t* dst = bitmap.Scanline(y);
      if (pf == px1g) {
        std::memcpy(dst, row.data(), size_t((width_ + 7) / 8));
        if (bw < 0) PxInvertBits(dst, size_t((width_ + 7) / 8));
      } else if (bits_ <= 8) {
        PxUnpackRow(row.data(), idx.data(), width_, bits_);
        TBGR* out = reinterpret_cast<TBGR*>(dst);
        for (int x = 0; x < width_; ++x) out[x] = lut[idx[size_t(x)]];
      } else if (bits_ == 24) {
        std::memcpy(dst, row.data(), size_t(width_) * 3);
      } else {
        uint8_t* a = alpha ? alpha->Scanline(y) : nullptr;
        const uint8_t* s = row.data();
        for (int x = 0; x < width_; ++x, s += 4, dst += 3) {
          dst[0] = s[0], dst[1] = s[1], dst[2] = s[2];
          if (a) a[x] = s[3];
          anyAlpha |= s[3] != 0;
        }
      }
      progress.Advance();
    }
    // 32-bit images whose alpha is all 0 were made for displays without
    // alpha: their AND mask says what is transparent, as for the others.
    const bool useMask = bits_ != 32 || !anyAlpha;
    for (int k = 0; k < height_ && whole; ++k) {
      whole = r_.Read(row.data(), andRow);
      if (!useMask) continue;
      const int y = height_ - 1 - k;
      uint8_t* dst = bitmap.Scanline(y);
      uint8_t* a = alpha ? alpha->Scanline(y) : nullptr;
      for (int x = 0; x < width_; ++x) {
        const bool masked = row[size_t(x >> 3)] & (0x80 >> (x & 7));
        if (a) a[x] = masked ? 0 : 255;
        if (!masked) continue;
        if (pf == px1g) {
          // A transparent pixel shows the background: white sets the bit.
          if (background == TBGR{255, 255, 255}) dst[x >> 3] ^= uint8_t(0x80 >> (x & 7));
        } else if (bits_ <= 8) {
          reinterpret_cast<TBGR*>(dst)[x] = background;
        }
      }
    }
    if (alpha) {
      bool opaque = true;
      for (int y = 0; y < height_ && opaque; ++y) {
        const uint8_t* a = alpha->Scanline(y);
        opaque = std::all_of(a, a + width_, [](uint8_t v) { return v == 255; });
      }
      if (opaque) bitmap.RemoveAlphaChannel();
      else alpha->SetFullAlpha(false);
    }
    return whole;
  }

 private:
  TPxByteReader& r_;
  const Entry& entry_;
  bool cursor_;
  TIOParamsVals& params_;
  int bits_ = 0, width_ = 0, height_ = 0;
  std::vector<TBGR> palette_;
};

bool IsPngAt(TPxStream& stream, int64_t at) {
  stream.SetPosition(at);
  const bool png = IsPngStream(stream);
  stream.SetPosition(at);
  return png;
}

}  // namespace

bool IsIcoStream(TPxStream& stream) { return IconTest(stream, 1); }
bool IsCurStream(TPxStream& stream) { return IconTest(stream, 2); }

// Parses untrusted data.
void ReadIcoStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool cursor,
                   bool noAlpha, bool paramsOnly, TPxProgress& progress) {
  const int64_t start = stream.Position();
  uint8_t head[2] = {};
  const bool bmp = !cursor && stream.ReadExact(head, 2) && head[0] == 'B' && head[1] == 'M';
  stream.SetPosition(start);
  if (bmp) {
    ReadBmpStream(stream, bitmap, params, stream.Size() - start, noAlpha, paramsOnly, progress);
    return;
  }
  std::vector<Entry> entries;
  int type = 0;
  TPxByteReader r(stream);
  if (!ReadDirectory(r, entries, type)) {
    progress.Abort();
    return;
  }
  params.IcoSizes.fill({});
  params.IcoBitCounts.fill(0);
  for (size_t i = 0; i < entries.size() && i < params.IcoSizes.size(); ++i) {
    const Entry& e = entries[i];
    params.IcoSizes[i] = {e.width, e.height};
    // A cursor's entry holds its hot spot where an icon's holds its bits.
    const int bits = cursor ? 0 : e.bitCount;
    params.IcoBitCounts[i] = bits ? bits : e.colorCount ? BitsForColors(e.colorCount) : 24;
  }
  int32_t& index = cursor ? params.CurImageIndex : params.IcoImageIndex;
  if (index < 0 || size_t(index) >= entries.size()) {
    // Nothing to load; a parameters-only read still reports the directory.
    if (!paramsOnly) progress.Abort();
    return;
  }
  const Entry& e = entries[size_t(index)];
  if (cursor) {
    params.CurXHotSpot = e.planes;
    params.CurYHotSpot = e.bitCount;
  }
  const int64_t at = start + e.offset;
  if (IsPngAt(stream, at)) {
    ReadPngRow(stream, bitmap, params, paramsOnly, progress);
    if (noAlpha && bitmap) bitmap->RemoveAlphaChannel();
    return;
  }
  r.Seek(at);
  IconBitmap image(r, e, cursor, params);
  if (!image.ReadHeader()) {
    progress.Abort();
    return;
  }
  // The image's own header knows its bits better than a directory that may
  // leave them out (cursors always do).
  if (size_t(index) < params.IcoBitCounts.size()) params.IcoBitCounts[size_t(index)] = image.Bits();
  if (paramsOnly) return;
  if (!bitmap || !image.ReadPixels(*bitmap, noAlpha, progress)) progress.Abort();
}

// --- Writing -----------------------------------------------------------------------

namespace {

int EntryBits(int asked, const TIOParamsVals& params) {
  switch (asked) {
    case 1: case 4: case 8: case 32: return asked;
    case 0: {
      const int s = params.SamplesPerPixel, b = params.BitsPerSample;
      if (s == 3 && b == 8) return 24;
      if (s == 4 && b == 8) return 32;
      if (s == 1 && b == 1) return 1;
      if (s == 1 && b == 4) return 4;
      return 8;
    }
    default: return 24;
  }
}

// The picture at one entry's size: colours (pxRGB24 or px1g) and alpha (px8g
// or empty). False when it cannot be made.
bool Sized(TPxBitmap& source, int w, int h, TPxBitmap& colour, TPxBitmap& alpha) {
  try {
    TPxBitmap plain;
    if (!plain.Assign(source)) return false;
    plain.RemoveAlphaChannel();
    const bool bilevel = plain.PixelFormat() == px1g;
    if (!bilevel && plain.PixelFormat() != pxRGB24 && !plain.ConvertTo(pxRGB24)) return false;
    const TResampleFilter filter = bilevel ? rfNone : rfFastLinear;
    if (plain.Width() == w && plain.Height() == h) colour.TakeOver(plain);
    else if (!colour.Allocate(w, h, plain.PixelFormat())) return false;
    else ResampleBitmap(plain, colour, filter);
    alpha.FreeImage();
    if (!source.HasAlphaChannel()) return true;
    TPxBitmap* a = source.AlphaChannel();
    TPxBitmap gray;
    if (!gray.Allocate(source.Width(), source.Height(), px8g)) return false;
    for (int y = 0; y < source.Height(); ++y)
      std::memcpy(gray.Scanline(y), a->Scanline(y), size_t(source.Width()));
    if (gray.Width() == w && gray.Height() == h) alpha.TakeOver(gray);
    else if (!alpha.Allocate(w, h, px8g)) return false;
    else ResampleBitmap(gray, alpha, rfFastLinear);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// One image: the information header, palette, XOR rows and AND rows.
bool WriteImage(TPxByteWriter& out, TPxBitmap& colour, TPxBitmap& alpha, int bits,
                const TIOParamsVals& params) {
  const int w = colour.Width(), h = colour.Height();
  const bool hasAlpha = !alpha.IsEmpty();
  out.U32LE(40);
  out.U32LE(uint32_t(w));
  out.U32LE(uint32_t(h) * 2);
  out.U16LE(1);
  out.U16LE(uint16_t(bits));
  out.U32LE(0);
  int64_t xorRow = 0, andRow = 0;
  PxCheckedRowBytes(w, bits, xorRow, 32);
  PxCheckedRowBytes(w, 1, andRow, 32);
  out.U32LE(uint32_t((xorRow + andRow) * h));
  out.U32LE(uint32_t(std::lround(std::max(params.DpiX, 0) / 2.54 * 100)));
  out.U32LE(uint32_t(std::lround(std::max(params.DpiY, 0) / 2.54 * 100)));
  out.U32LE(0);
  out.U32LE(0);

  // Palette images keep entry 0 black for the transparent pixels.
  TPxBitmap bilevel;
  TPxBitmap* source = &colour;
  std::unique_ptr<TPxQuantizer> quantizer;
  if (bits == 1) {
    const uint8_t blackWhite[8] = {0, 0, 0, 0, 255, 255, 255, 0};
    out.Write(blackWhite, 8);
    if (colour.PixelFormat() != px1g) {
      if (!bilevel.Assign(colour) || !bilevel.ConvertTo(px1g)) return false;
      source = &bilevel;
    }
  } else if (bits <= 8) {
    if (colour.PixelFormat() != pxRGB24) {
      if (!bilevel.Assign(colour) || !bilevel.ConvertTo(pxRGB24)) return false;
      source = &bilevel;
    }
    const int colors = 1 << bits;
    quantizer = std::make_unique<TPxQuantizer>(*source, colors - 1);
    std::vector<TBGR> table = quantizer->Palette();
    table.insert(table.begin(), TBGR{});
    table.resize(size_t(colors));
    for (const TBGR& c : table) {
      const uint8_t entry[4] = {c.b, c.g, c.r, 0};
      out.Write(entry, 4);
    }
  } else if (colour.PixelFormat() != pxRGB24) {
    if (!bilevel.Assign(colour) || !bilevel.ConvertTo(pxRGB24)) return false;
    source = &bilevel;
  }

  std::vector<uint8_t> row(size_t(xorRow), 0), idx(size_t(w), 0), mask(size_t(andRow), 0);
  for (int k = 0; k < h; ++k) {
    const int y = h - 1 - k;
    const uint8_t* s = source->Scanline(y);
    const uint8_t* a = hasAlpha ? alpha.Scanline(y) : nullptr;
    std::fill(row.begin(), row.end(), 0);
    if (bits == 1) {
      std::memcpy(row.data(), s, size_t((w + 7) / 8));
    } else if (bits <= 8) {
      quantizer->MapRow(reinterpret_cast<const TBGR*>(s), idx.data(), w);
      for (int x = 0; x < w; ++x) idx[size_t(x)] = a && a[x] < 255 ? 0 : uint8_t(idx[size_t(x)] + 1);
      PxPackRow(idx.data(), row.data(), w, bits);
    } else if (bits == 24) {
      std::memcpy(row.data(), s, size_t(w) * 3);
    } else {
      for (int x = 0; x < w; ++x, s += 3) {
        uint8_t* d = row.data() + size_t(x) * 4;
        d[0] = s[0], d[1] = s[1], d[2] = s[2], d[3] = a ? a[x] : 255;
      }
    }
    out.Write(row.data(), row.size());
  }
  for (int k = 0; k < h; ++k) {
    std::fill(mask.begin(), mask.end(), 0);
    const uint8_t* a = hasAlpha ? alpha.Scanline(h - 1 - k) : nullptr;
    for (int x = 0; a && x < w; ++x)
      if (a[x] < 255) mask[size_t(x >> 3)] |= uint8_t(0x80 >> (x & 7));
    out.Write(mask.data(), mask.size());
  }
  return !out.Failed();
}

}  // namespace

void WriteIcoStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress) {
  if (!bitmap || bitmap->IsEmpty()) {
    progress.Abort();
    return;
  }
  if (bitmap->PixelFormat() != pxRGB24) params.BitsPerSample = params.SamplesPerPixel = 1;
  int count = 0;
  while (count < int(params.IcoSizes.size()) && params.IcoSizes[size_t(count)].Width != 0) ++count;
  for (int i = 0; i < count; ++i) {
    const TPxIcoSize& s = params.IcoSizes[size_t(i)];
    if (s.Width < 1 || s.Width > 256 || s.Height < 1 || s.Height > 256) count = 0;
  }
  if (count == 0) {
    progress.Abort();
    return;
  }
  TPxByteWriter out(stream);
  const int64_t start = out.Position();
  out.U16LE(0);
  out.U16LE(1);
  out.U16LE(uint16_t(count));
  out.Zeros(size_t(count) * 16);  // the directory, filled at the end
  struct Written {
    int bits;
    uint32_t offset, bytes;
  };
  std::vector<Written> done;
  progress.Begin(count);
  for (int i = 0; i < count; ++i) {
    if (progress.Aborted()) break;
    const TPxIcoSize& s = params.IcoSizes[size_t(i)];
    const int bits = EntryBits(params.IcoBitCounts[size_t(i)], params);
    TPxBitmap colour, alpha;
    const int64_t at = out.Position();
    if (!Sized(*bitmap, s.Width, s.Height, colour, alpha) ||
        !WriteImage(out, colour, alpha, bits, params)) {
      progress.Abort();
      break;
    }
    done.push_back({bits, uint32_t(at - start), uint32_t(out.Position() - at)});
    progress.Advance();
  }
  if (progress.Aborted()) {
    out.Flush();
    return;
  }
  for (int i = 0; i < count; ++i) {
    const TPxIcoSize& s = params.IcoSizes[size_t(i)];
    const Written& d = done[size_t(i)];
    const int64_t e = start + 6 + 16 * int64_t(i);
    const uint32_t palette = d.bits <= 8 ? uint32_t(std::min(1 << d.bits, 255)) : 0;
    out.PatchU32LE(e, uint32_t(s.Width & 255) | uint32_t(s.Height & 255) << 8 | palette << 16);
    const uint32_t planes = d.bits >= 24 ? 1 : 0, bits = d.bits >= 24 ? uint32_t(d.bits) : 0;
    out.PatchU32LE(e + 4, planes | bits << 16);
    out.PatchU32LE(e + 8, d.bytes);
    out.PatchU32LE(e + 12, d.offset);
  }
  if (!out.Flush()) progress.Abort();
}

// --- The ICO and CUR rows of the format table -----------------------------------

void ReadIcoRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                TPxProgress& progress) {
  ReadIcoStream(stream, bitmap, params, false, false, paramsOnly, progress);
}

void ReadCurRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                TPxProgress& progress) {
  ReadIcoStream(stream, bitmap, params, true, false, paramsOnly, progress);
}

std::string DescribeIco(const TIOParamsVals& params) {
  int count = 0;
  std::string list;
  for (size_t i = 0; i < params.IcoSizes.size() && params.IcoSizes[i].Width != 0; ++i, ++count)
    list += (i ? ", " : "") + std::to_string(params.IcoSizes[i].Width) + " x " +
            std::to_string(params.IcoSizes[i].Height) + " " + std::to_string(params.IcoBitCounts[i]) +
            " bits";
  if (count == 0) return {};
  return std::to_string(count) + (count == 1 ? " image: " : " images: ") + list;
}

std::string DescribeCur(const TIOParamsVals& params) {
  std::string text = DescribeIco(params);
  return text + (text.empty() ? "" : ", ") + "hot spot " + std::to_string(params.CurXHotSpot) +
         ", " + std::to_string(params.CurYHotSpot);
}
