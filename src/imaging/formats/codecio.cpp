#include "imaging/formats/codecio.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {
constexpr size_t kReadBuffer = size_t(1) << 16;
}

// --- TPxByteReader ---------------------------------------------------------------

TPxByteReader::TPxByteReader(TPxStream& stream, int64_t end) : stream_(stream) {
  bufferAt_ = std::max<int64_t>(0, stream.Position());
  const int64_t size = stream.Size();
  end_ = end < 0 ? size : std::min(end, size);
  if (end_ < bufferAt_) end_ = bufferAt_;
}

bool TPxByteReader::Fail() {
  failed_ = true;
  return false;
}

bool TPxByteReader::Seek(int64_t position) {
  if (position < 0) return Fail();
  bool ok = true;
  if (position > end_) {
    position = end_;
    ok = Fail();
  }
  if (position >= bufferAt_ && position <= bufferAt_ + static_cast<int64_t>(filled_)) {
    next_ = static_cast<size_t>(position - bufferAt_);
  } else {
    bufferAt_ = position;
    next_ = filled_ = 0;
  }
  return ok;
}

bool TPxByteReader::Refill() {
  const int64_t at = Position();
  bufferAt_ = at;
  next_ = filled_ = 0;
  const int64_t want = std::min<int64_t>(static_cast<int64_t>(kReadBuffer), end_ - at);
  if (want <= 0) return false;
  if (buffer_.size() < kReadBuffer) buffer_.resize(kReadBuffer);
  stream_.SetPosition(at);
  const int64_t got = stream_.Read(buffer_.data(), want);
  if (got <= 0) {
    // The stream holds less than it said: nothing more is read from it.
    end_ = at;
    return false;
  }
  filled_ = static_cast<size_t>(got);
  return true;
}

uint8_t TPxByteReader::SlowU8() {
  if (!Refill()) {
    Fail();
    return 0;
  }
  return buffer_[next_++];
}

int TPxByteReader::SlowByte() {
  if (!Refill()) {
    Fail();
    return -1;
  }
  return buffer_[next_++];
}

uint16_t TPxByteReader::U16LE() {
  const unsigned a = U8(), b = U8();
  return static_cast<uint16_t>(a | (b << 8));
}

uint16_t TPxByteReader::U16BE() {
  const unsigned a = U8(), b = U8();
  return static_cast<uint16_t>((a << 8) | b);
}

uint32_t TPxByteReader::U32LE() {
  const uint32_t a = U16LE(), b = U16LE();
  return a | (b << 16);
}

uint32_t TPxByteReader::U32BE() {
  const uint32_t a = U16BE(), b = U16BE();
  return (a << 16) | b;
}

bool TPxByteReader::Read(void* dst, int64_t count) {
  uint8_t* out = static_cast<uint8_t*>(dst);
  if (count <= 0) return count == 0;
  const int64_t have = std::min(count, Left());
  int64_t done = 0;
  // First what the buffer holds, then large blocks straight from the stream.
  const int64_t buffered = std::min<int64_t>(have, static_cast<int64_t>(filled_ - next_));
  if (buffered > 0) {
    std::memcpy(out, buffer_.data() + next_, static_cast<size_t>(buffered));
    next_ += static_cast<size_t>(buffered);
    done = buffered;
  }
  if (done < have && have - done >= static_cast<int64_t>(kReadBuffer)) {
    const int64_t at = Position(), want = have - done;
    stream_.SetPosition(at);
    int64_t got = stream_.Read(out + done, want);
    if (got < 0) got = 0;
    bufferAt_ = at + got;
    next_ = filled_ = 0;
    done += got;
    // The stream holds less than it said: nothing more is read from it.
    if (got < want) end_ = bufferAt_;
  }
  while (done < have && Refill()) {
    const int64_t n = std::min<int64_t>(have - done, static_cast<int64_t>(filled_));
    std::memcpy(out + done, buffer_.data(), static_cast<size_t>(n));
    next_ = static_cast<size_t>(n);
    done += n;
  }
  if (done == count) return true;
  std::memset(out + done, 0, static_cast<size_t>(count - done));
  return Fail();
}

void TPxByteReader::Release() { stream_.SetPosition(Position()); }

// --- TPxByteWriter ---------------------------------------------------------------

TPxByteWriter::TPxByteWriter(TPxStream& stream) : stream_(stream) {
  start_ = stream.Position();
  buffer_.reserve(kFlushAt + 16);
}

TPxByteWriter::~TPxByteWriter() { Flush(); }

void TPxByteWriter::U16LE(uint16_t v) {
  U8(static_cast<uint8_t>(v));
  U8(static_cast<uint8_t>(v >> 8));
}

void TPxByteWriter::U16BE(uint16_t v) {
  U8(static_cast<uint8_t>(v >> 8));
  U8(static_cast<uint8_t>(v));
}

void TPxByteWriter::U32LE(uint32_t v) {
  U16LE(static_cast<uint16_t>(v));
  U16LE(static_cast<uint16_t>(v >> 16));
}

void TPxByteWriter::U32BE(uint32_t v) {
  U16BE(static_cast<uint16_t>(v >> 16));
  U16BE(static_cast<uint16_t>(v));
}

void TPxByteWriter::Write(const void* data, size_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (buffer_.size() + count >= kFlushAt) {
    Flush();
    if (count >= kFlushAt) {
      // Large blocks go out directly.
      if (!failed_ && !stream_.WriteExact(p, static_cast<int64_t>(count))) failed_ = true;
      written_ += static_cast<int64_t>(count);
      return;
    }
  }
  buffer_.insert(buffer_.end(), p, p + count);
}

void TPxByteWriter::Zeros(size_t count) {
  while (count > 0) {
    const size_t n = std::min(count, kFlushAt);
    buffer_.resize(buffer_.size() + n, 0);
    if (buffer_.size() >= kFlushAt) Flush();
    count -= n;
  }
}

void TPxByteWriter::Row(const void* data, size_t bytes, size_t paddedBytes) {
  Write(data, bytes);
  if (paddedBytes > bytes) Zeros(paddedBytes - bytes);
}

void TPxByteWriter::PatchU32LE(int64_t position, uint32_t v) {
  if (!Flush()) return;
  const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  const int64_t end = Position();
  stream_.SetPosition(position);
  if (!stream_.WriteExact(b, 4)) failed_ = true;
  stream_.SetPosition(end);
}

bool TPxByteWriter::Flush() {
  if (!buffer_.empty()) {
    if (!failed_ && !stream_.WriteExact(buffer_.data(), static_cast<int64_t>(buffer_.size())))
      failed_ = true;
    written_ += static_cast<int64_t>(buffer_.size());
    buffer_.clear();
  }
  return !failed_;
}

// --- Packed rows -------------------------------------------------------------------

void PxUnpackRow(const uint8_t* src, uint8_t* dst, int width, int bits) {
  if (bits == 8) {
    std::memcpy(dst, src, static_cast<size_t>(std::max(width, 0)));
    return;
  }
  const int perByte = 8 / bits;
  const unsigned mask = (1u << bits) - 1;
  int x = 0;
  for (; x + perByte <= width; x += perByte, ++src) {
    const unsigned b = *src;
    for (int k = 0; k < perByte; ++k) dst[x + k] = static_cast<uint8_t>((b >> (8 - bits * (k + 1))) & mask);
  }
  if (x < width) {
    const unsigned b = *src;
    for (int k = 0; x < width; ++k, ++x) dst[x] = static_cast<uint8_t>((b >> (8 - bits * (k + 1))) & mask);
  }
}

void PxPackRow(const uint8_t* src, uint8_t* dst, int width, int bits) {
  if (bits == 8) {
    std::memcpy(dst, src, static_cast<size_t>(std::max(width, 0)));
    return;
  }
  const int perByte = 8 / bits;
  const unsigned mask = (1u << bits) - 1;
  for (int x = 0; x < width; x += perByte) {
    unsigned b = 0;
    for (int k = 0; k < perByte; ++k)
      if (x + k < width) b |= (src[x + k] & mask) << (8 - bits * (k + 1));
    *dst++ = static_cast<uint8_t>(b);
  }
}

int64_t PxPackedRowBytes(int64_t width, int bits) {
  int64_t bytes = 0;
  if (!PxCheckedRowBytes(width, bits, bytes, 8)) return -1;
  return bytes;
}

void PxSwapRedBlue(const uint8_t* src, uint8_t* dst, int width) {
  int x = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // Four pixels as three words, the first byte the lowest: twice as fast as
    // byte by byte. All three are read before any is written (src may be dst).
    auto load = [](const uint8_t* p) {
      uint32_t v;
      std::memcpy(&v, p, 4);
      return v;
    };
    auto store = [](uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); };
    for (; x + 4 <= width; x += 4, src += 12, dst += 12) {
      const uint32_t a = load(src), b = load(src + 4), c = load(src + 8);  // RGBR GBRG BRGB
      store(dst, (a >> 16 & 0xFF) | (a & 0xFF00) | (a & 0xFF) << 16 | (b >> 8 & 0xFF) << 24);
      store(dst + 4, (b & 0xFF) | (a >> 24) << 8 | (c & 0xFF) << 16 | (b >> 24) << 24);
      store(dst + 8, (b >> 16 & 0xFF) | (c >> 24) << 8 | (c & 0xFF0000) | (c >> 8 & 0xFF) << 24);
    }
  }
  for (; x < width; ++x, src += 3, dst += 3) {
    const uint8_t r = src[0], g = src[1], b = src[2];
    dst[0] = b;
    dst[1] = g;
    dst[2] = r;
  }
}

// --- Palettes ------------------------------------------------------------------------

std::vector<TBGR> PxPaletteList(const TPxBitmap& bitmap, int count) {
  count = std::clamp(count, 0, 256);
  std::vector<TBGR> list(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) list[static_cast<size_t>(i)] = bitmap.PaletteColor(i);
  return list;
}

void PxSetPalette(TPxBitmap& bitmap, const TBGR* colors, int count) {
  count = std::clamp(count, 0, 256);
  for (int i = 0; i < 256; ++i) bitmap.PaletteColor(i, i < count ? colors[i] : TBGR{});
  bitmap.PaletteColorLimit = count;
}

bool PxIndexesBelow(const uint8_t* indexes, int width, int count) {
  if (count >= 256) return true;
  uint8_t top = 0;
  for (int x = 0; x < width; ++x) top = std::max(top, indexes[x]);
  return width <= 0 || top < count;
}

int PxBlackWhitePalette(const TBGR* colors, int count) {
  if (count != 2) return 0;
  const TBGR black{0, 0, 0}, white{255, 255, 255};
  if (colors[0] == black && colors[1] == white) return 1;
  if (colors[0] == white && colors[1] == black) return -1;
  return 0;
}

void PxInvertBits(uint8_t* row, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) row[i] = static_cast<uint8_t>(~row[i]);
}

bool PxAllocateChecked(TPxBitmap& bitmap, int64_t width, int64_t height, TPxPixelFormat pf) {
  int64_t rowBytes = 0, total = 0;
  if (!PxCheckedImageBytes(width, height, PxBitsPerPixel(pf), rowBytes, total)) return false;
  return bitmap.Allocate(static_cast<int>(width), static_cast<int>(height), pf) &&
         !bitmap.IsEmpty() && bitmap.PixelFormat() == pf;
}

bool PxFlattenOnWhite(TPxBitmap& source, TPxBitmap& out) {
  if (!out.Assign(source) || (out.PixelFormat() != pxRGB24 && !out.ConvertTo(pxRGB24))) return false;
  TPxBitmap* alpha = source.HasAlphaChannel() ? source.AlphaChannel() : nullptr;
  const int w = out.Width();
  for (int y = 0; alpha && y < out.Height(); ++y) {
    uint8_t* p = out.Scanline(y);
    const uint8_t* a = alpha->Scanline(y);
    for (int x = 0; x < w; ++x, p += 3) {
      const unsigned k = a[x], white = 255u * (255u - k);
      p[0] = static_cast<uint8_t>((p[0] * k + white + 127) / 255);
      p[1] = static_cast<uint8_t>((p[1] * k + white + 127) / 255);
      p[2] = static_cast<uint8_t>((p[2] * k + white + 127) / 255);
    }
  }
  out.RemoveAlphaChannel();
  return true;
}

bool PxHasTransparency(TPxBitmap& bitmap) {
  if (!bitmap.HasAlphaChannel()) return false;
  TPxBitmap* alpha = bitmap.AlphaChannel();
  const int w = alpha->Width();
  for (int y = 0; y < alpha->Height(); ++y) {
    const uint8_t* a = alpha->Scanline(y);
    for (int x = 0; x < w; ++x)
      if (a[x] != 255) return true;
  }
  return false;
}
