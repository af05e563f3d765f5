// Small helpers the library's own codecs share: bounded reading of untrusted
// data, buffered writing, rows of packed samples and palettes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// Buffered reading of untrusted data from a stream, never past an end
// position. A read beyond the end gives zeros and sets Failed(), so that a
// header can be read field by field and checked once. The reader reads ahead:
// Release() puts the stream back just after the last byte taken.
class TPxByteReader {
 public:
  // From the stream's position up to `end` (an absolute position, clipped to
  // the stream's size); -1: the stream's size.
  explicit TPxByteReader(TPxStream& stream, int64_t end = -1);
  TPxByteReader(const TPxByteReader&) = delete;
  TPxByteReader& operator=(const TPxByteReader&) = delete;

  int64_t Position() const { return bufferAt_ + static_cast<int64_t>(next_); }
  int64_t End() const { return end_; }
  int64_t Left() const { return end_ - Position(); }
  bool Failed() const { return failed_; }

  // To an absolute position up to End(); beyond it: false, Failed, at End().
  bool Seek(int64_t position);
  bool Skip(int64_t count) { return count >= 0 ? Seek(Position() + count) : Fail(); }

  uint8_t U8() { return next_ < filled_ ? buffer_[next_++] : SlowU8(); }
  // The next byte, or -1 at the end (which sets Failed); for run-length loops.
  int Byte() { return next_ < filled_ ? buffer_[next_++] : SlowByte(); }
  uint16_t U16LE();
  uint16_t U16BE();
  uint32_t U32LE();
  uint32_t U32BE();
  int16_t I16LE() { return static_cast<int16_t>(U16LE()); }
  int32_t I32LE() { return static_cast<int32_t>(U32LE()); }
  // Copies count bytes; false, with the missing ones zero and Failed, when
  // fewer are left.
  bool Read(void* dst, int64_t count);
  // Puts the stream at Position().
  void Release();

 private:
  bool Fail();
  uint8_t SlowU8();
  int SlowByte();
  // Fills the buffer from Position(); false at the end or on a stream failure.
  bool Refill();

  TPxStream& stream_;
  int64_t end_ = 0;
  int64_t bufferAt_ = 0;  // stream position of buffer_[0]
  size_t next_ = 0, filled_ = 0;
  bool failed_ = false;
  std::vector<uint8_t> buffer_;
};

// Buffered writing. A short write sets Failed(); everything after it is dropped.
class TPxByteWriter {
 public:
  explicit TPxByteWriter(TPxStream& stream);
  // Flushes what is left (a failure then stays unreported: call Flush first).
  ~TPxByteWriter();
  TPxByteWriter(const TPxByteWriter&) = delete;
  TPxByteWriter& operator=(const TPxByteWriter&) = delete;

  // Stream position of the next byte.
  int64_t Position() const { return start_ + written_ + static_cast<int64_t>(buffer_.size()); }
  bool Failed() const { return failed_; }

  void U8(uint8_t v) {
    buffer_.push_back(v);
    if (buffer_.size() >= kFlushAt) Flush();
  }
  void U16LE(uint16_t v);
  void U16BE(uint16_t v);
  void U32LE(uint32_t v);
  void U32BE(uint32_t v);
  void Write(const void* data, size_t count);
  void Zeros(size_t count);
  // `bytes` bytes of a row, then zeros up to `paddedBytes`.
  void Row(const void* data, size_t bytes, size_t paddedBytes);
  // Overwrites a little-endian 32-bit value written earlier at `position`
  // (a size known only at the end), and returns to the end.
  void PatchU32LE(int64_t position, uint32_t v);
  // Writes out the buffer; false when anything failed so far.
  bool Flush();

 private:
  // A file takes large writes at much less cost a byte: a 24-bit photo
  // written 64 KiB at a time costs the system twice as much.
  static constexpr size_t kFlushAt = size_t(1) << 20;
  TPxStream& stream_;
  int64_t start_ = 0;
  int64_t written_ = 0;
  bool failed_ = false;
  std::vector<uint8_t> buffer_;
};

// Little-endian fields of a header held in memory.
inline uint16_t PxGetU16LE(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t PxGetU32LE(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
// Values outside 0 .. 65535 are clamped to the field.
inline void PxPutU16LE(uint8_t* p, int v) {
  const int c = v < 0 ? 0 : v > 65535 ? 65535 : v;
  p[0] = static_cast<uint8_t>(c);
  p[1] = static_cast<uint8_t>(c >> 8);
}
inline void PxPutU32LE(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
// Eight bytes as one big-endian number: a bit reader's refill of a window
// that takes the first bit from the top.
inline uint64_t PxGetU64BE(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

// Rows of packed samples (1, 2 or 4 bits, the most significant first).
// Unpacks `width` samples into one byte each.
void PxUnpackRow(const uint8_t* src, uint8_t* dst, int width, int bits);
// Packs `width` bytes into samples of `bits` bits (each byte taken modulo
// 2^bits); the unused low bits of the last byte are zero.
void PxPackRow(const uint8_t* src, uint8_t* dst, int width, int bits);
// Bytes of a row of `width` samples of `bits` bits, unpadded; -1 when the
// row exceeds kPxMaxRowBytes.
int64_t PxPackedRowBytes(int64_t width, int bits);
// Swaps the first and third byte of each 3-byte pixel (RGB <-> BGR), from src to dst (may be equal).
void PxSwapRedBlue(const uint8_t* src, uint8_t* dst, int width);

// Palettes.
// The first `count` (at most 256) entries of a bitmap's palette.
std::vector<TBGR> PxPaletteList(const TPxBitmap& bitmap, int count);
// Sets a px8p bitmap's palette: the colours given (at most 256), black beyond
// them; PaletteColorLimit becomes the count.
void PxSetPalette(TPxBitmap& bitmap, const TBGR* colors, int count);
// True when every index of the row is below count.
bool PxIndexesBelow(const uint8_t* indexes, int width, int count);
// What a two-colour palette is as px1g: 1 when entry 0 is black and entry 1
// white (the bits are px1g's), -1 when the other way round (the bits must be
// inverted), 0 when the colours are anything else.
int PxBlackWhitePalette(const TBGR* colors, int count);
// Inverts `bytes` bytes of packed bits.
void PxInvertBits(uint8_t* row, size_t bytes);

// A copy of source in pxRGB24 with its transparent parts laid on white, the
// sheet's colour, and no alpha plane: for files that cannot keep
// transparency. False when the copy cannot be made.
bool PxFlattenOnWhite(TPxBitmap& source, TPxBitmap& out);
// True when the bitmap has an alpha plane with a value below 255.
bool PxHasTransparency(TPxBitmap& bitmap);

// Allocates a bitmap for a size read from a file, after checking it against
// the library's limits; false when it cannot be had.
bool PxAllocateChecked(TPxBitmap& bitmap, int64_t width, int64_t height, TPxPixelFormat pf);
