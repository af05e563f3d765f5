// CCITT fax coding. Rows are worked on as lists of changing elements (the
// positions where the colour flips), which both the run coding and the
// two-dimensional coding speak in; pixels are touched only to find the changes
// of a row to encode and to paint the black runs of a decoded one.
#include "imaging/formats/ccitt.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "imaging/core/pxutils.h"
#include "imaging/formats/codecio.h"

namespace {

// The run-length codes of T.4, as bit strings, indexed by run (0..63) and by
// make-up run / 64 - 1 (64..1728).
const char* const kWhiteTerm[64] = {
    "00110101", "000111",   "0111",     "1000",     "1011",     "1100",     "1110",     "1111",
    "10011",    "10100",    "00111",    "01000",    "001000",   "000011",   "110100",   "110101",
    "101010",   "101011",   "0100111",  "0001100",  "0001000",  "0010111",  "0000011",  "0000100",
    "0101000",  "0101011",  "0010011",  "0100100",  "0011000",  "00000010", "00000011", "00011010",
    "00011011", "00010010", "00010011", "00010100", "00010101", "00010110", "00010111", "00101000",
    "00101001", "00101010", "00101011", "00101100", "00101101", "00000100", "00000101", "00001010",
    "00001011", "01010010", "01010011", "01010100", "01010101", "00100100", "00100101", "01011000",
    "01011001", "01011010", "01011011", "01001010", "01001011", "00110010", "00110011", "00110100"};
const char* const kWhiteMakeup[27] = {
    "11011",     "10010",     "010111",    "0110111",   "00110110",  "00110111",  "01100100",
    "01100101",  "01101000",  "01100111",  "011001100", "011001101", "011010010", "011010011",
    "011010100", "011010101", "011010110", "011010111", "011011000", "011011001", "011011010",
    "011011011", "010011000", "010011001", "010011010", "011000",    "010011011"};
const char* const kBlackTerm[64] = {
    "0000110111",   "010",          "11",           "10",           "011",
    "0011",         "0010",         "00011",        "000101",       "000100",
    "0000100",      "0000101",      "0000111",      "00000100",     "00000111",
    "000011000",    "0000010111",   "0000011000",   "0000001000",   "00001100111",
    "00001101000",  "00001101100",  "00000110111",  "00000101000",  "00000010111",
    "00000011000",  "000011001010", "000011001011", "000011001100", "000011001101",
    "000001101000", "000001101001", "000001101010", "000001101011", "000011010010",
    "000011010011", "000011010100", "000011010101", "000011010110", "000011010111",
    "000001101100", "000001101101", "000011011010", "000011011011", "000001010100",
    "000001010101", "000001010110", "000001010111", "000001100100", "000001100101",
    "000001010010", "000001010011", "000000100100", "000000110111", "000000111000",
    "000000100111", "000000101000", "000001011000", "000001011001", "000000101011",
    "000000101100", "000001011010", "000001100110", "000001100111"};
const char* const kBlackMakeup[27] = {
    "0000001111",    "000011001000",  "000011001001",  "000001011011",  "000000110011",
    "000000110100",  "000000110101",  "0000001101100", "0000001101101", "0000001001010",
    "0000001001011", "0000001001100", "0000001001101", "0000001110010", "0000001110011",
    "0000001110100", "0000001110101", "0000001110110", "0000001110111", "0000001010010",
    "0000001010011", "0000001010100", "0000001010101", "0000001011010", "0000001011011",
    "0000001100100", "0000001100101"};
// Make-up codes 1792..2560 shared by both colours.
const char* const kExtendedMakeup[13] = {
    "00000001000",  "00000001100",  "00000001101",  "000000010010", "000000010011",
    "000000010100", "000000010101", "000000010110", "000000010111", "000000011100",
    "000000011101", "000000011110", "000000011111"};

constexpr int kMaxRun = 2560;
constexpr int kEolCode = 1;  // 000000000001
constexpr int kEolBits = 12;

struct Code {
  uint16_t bits = 0;
  uint8_t length = 0;
};

Code ParseCode(const char* s) {
  Code c;
  for (; *s; ++s) {
    c.bits = static_cast<uint16_t>((c.bits << 1) | (*s == '1'));
    ++c.length;
  }
  return c;
}

// Decoding looks up the next 13 bits (the longest run code) at once.
constexpr int kLookBits = 13;
enum : uint8_t { kInvalid = 0, kTerm, kMakeup, kEol };
struct RunEntry {
  uint16_t run = 0;
  uint8_t length = 0;
  uint8_t kind = kInvalid;
};

// Modes of two-dimensional coding, looked up by the next 7 bits.
constexpr int kModeBits = 7;
enum : uint8_t { mInvalid = 0, mPass, mHorizontal, mVertical, mExtension, mZeros };
struct ModeEntry {
  uint8_t mode = mInvalid;
  uint8_t length = 0;
  int8_t offset = 0;  // vertical: a1 - b1
};

struct Tables {
  Code term[2][64];
  Code makeup[2][40];  // (run / 64 - 1); 27 of each colour, then the 13 shared
  RunEntry run[2][1 << kLookBits];
  ModeEntry mode[1 << kModeBits];
  Code vertical[7];  // offset + 3
  uint8_t reverse[256];
};

void Enter(RunEntry* table, Code c, uint8_t kind, int run) {
  const int shift = kLookBits - c.length;
  const int first = c.bits << shift;
  for (int i = 0; i < (1 << shift); ++i) table[first + i] = RunEntry{uint16_t(run), c.length, kind};
}

void EnterMode(Tables& t, const char* bits, uint8_t mode, int offset) {
  Code c = ParseCode(bits);
  const int shift = kModeBits - c.length;
  for (int i = 0; i < (1 << shift); ++i)
    t.mode[(c.bits << shift) + i] = ModeEntry{mode, c.length, int8_t(offset)};
}

Tables BuildTables() {
  Tables t{};
  for (int i = 0; i < 64; ++i) {
    t.term[0][i] = ParseCode(kWhiteTerm[i]);
    t.term[1][i] = ParseCode(kBlackTerm[i]);
  }
  for (int i = 0; i < 27; ++i) {
    t.makeup[0][i] = ParseCode(kWhiteMakeup[i]);
    t.makeup[1][i] = ParseCode(kBlackMakeup[i]);
  }
  for (int i = 0; i < 13; ++i) t.makeup[0][27 + i] = t.makeup[1][27 + i] = ParseCode(kExtendedMakeup[i]);
  for (int colour = 0; colour < 2; ++colour) {
    for (int i = 0; i < 64; ++i) Enter(t.run[colour], t.term[colour][i], kTerm, i);
    for (int i = 0; i < 40; ++i) Enter(t.run[colour], t.makeup[colour][i], kMakeup, (i + 1) * 64);
    Enter(t.run[colour], Code{kEolCode, kEolBits}, kEol, 0);
  }
  EnterMode(t, "1", mVertical, 0);
  EnterMode(t, "011", mVertical, 1);
  EnterMode(t, "000011", mVertical, 2);
  EnterMode(t, "0000011", mVertical, 3);
  EnterMode(t, "010", mVertical, -1);
  EnterMode(t, "000010", mVertical, -2);
  EnterMode(t, "0000010", mVertical, -3);
  EnterMode(t, "001", mHorizontal, 0);
  EnterMode(t, "0001", mPass, 0);
  EnterMode(t, "0000001", mExtension, 0);
  EnterMode(t, "0000000", mZeros, 0);
  const char* vertical[7] = {"0000010", "000010", "010", "1", "011", "000011", "0000011"};
  for (int i = 0; i < 7; ++i) t.vertical[i] = ParseCode(vertical[i]);
  for (int i = 0; i < 256; ++i) {
    int r = 0;
    for (int b = 0; b < 8; ++b)
      if (i & (1 << b)) r |= 0x80 >> b;
    t.reverse[i] = static_cast<uint8_t>(r);
  }
  return t;
}

const Tables& T() {
  static const Tables tables = BuildTables();
  return tables;
}

// Clears (makes black) the pixels [from, to) of a px1g row, whole bytes at once.
void PaintBlack(uint8_t* row, int from, int to) {
  if (from >= to) return;
  const int first = from >> 3, last = (to - 1) >> 3;
  const uint8_t head = static_cast<uint8_t>(0xFF >> (from & 7));
  const uint8_t tail = static_cast<uint8_t>(0xFF << (7 - ((to - 1) & 7)));
  if (first == last) {
    row[first] &= static_cast<uint8_t>(~(head & tail));
    return;
  }
  row[first] &= static_cast<uint8_t>(~head);
  if (last > first + 1) std::memset(row + first + 1, 0, static_cast<size_t>(last - first - 1));
  row[last] &= static_cast<uint8_t>(~tail);
}

// The first pixel at or after x whose colour is not `black`, or width.
int NextChange(const uint8_t* row, int x, int width, bool black) {
  if (x >= width) return width;
  const uint8_t flip = black ? 0x00 : 0xFF;
  int byte = x >> 3;
  const int lastByte = (width - 1) >> 3;
  uint8_t d = static_cast<uint8_t>((row[byte] ^ flip) & (0xFF >> (x & 7)));
  while (d == 0) {
    if (++byte > lastByte) return width;
    d = static_cast<uint8_t>(row[byte] ^ flip);
  }
  const int pos = byte * 8 + (__builtin_clz(d) - 24);
  return std::min(pos, width);
}

void AddSentinels(std::vector<int32_t>& changes, int width) {
  changes.push_back(width);
  changes.push_back(width);
  changes.push_back(width);
}

// The first index at or after i of the given parity (0: change to black)
// whose position lies beyond a0. Positions of earlier indexes of that parity
// are known to be at most a0.
size_t FindB1(const std::vector<int32_t>& ref, size_t i, int a0, int colour, int width) {
  if (static_cast<int>(i & 1) != colour) i = i > 0 ? i - 1 : i + 1;
  while (ref[i] <= a0 && ref[i] < width) i += 2;
  return i;
}

}  // namespace

void FaxRowChanges(const uint8_t* row, int width, std::vector<int32_t>& changes) {
  changes.clear();
  int x = 0;
  bool black = false;
  for (;;) {
    x = NextChange(row, x, width, black);
    if (x >= width) break;
    changes.push_back(x);
    black = !black;
  }
  AddSentinels(changes, width);
}

// ---------------------------------------------------------------------------
// Decoding

// Each byte of w with its bits in the opposite order.
static inline uint64_t ReverseBitsOfBytes(uint64_t w) {
  w = ((w >> 1) & 0x5555555555555555ull) | ((w & 0x5555555555555555ull) << 1);
  w = ((w >> 2) & 0x3333333333333333ull) | ((w & 0x3333333333333333ull) << 2);
  return ((w >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((w & 0x0F0F0F0F0F0F0F0Full) << 4);
}

// Bits of a strip, first bit first, in a 64-bit window; past the end of the
// data the window fills with zero bits, which no code consists of.
struct TFaxBitReader {
  const uint8_t* data;
  size_t size;
  bool lsbFirst;
  size_t next = 0;  // next byte to load (may count past the end)
  uint64_t acc = 0;
  int bits = 0;

  TFaxBitReader(const uint8_t* d, size_t n, bool lsb, uint64_t position)
      : data(d), size(n), lsbFirst(lsb), next(static_cast<size_t>(position >> 3)) {
    const int skip = static_cast<int>(position & 7);
    if (skip) {
      Peek(skip);
      Skip(skip);
    }
  }
  void Fill() {
    // Whole words while the data last: the bytes of a partly taken one are
    // loaded again next time into the same places, where OR changes nothing.
    if (next + 8 <= size) {
      uint64_t w = PxGetU64BE(data + next);
      if (lsbFirst) w = ReverseBitsOfBytes(w);
      acc |= w >> bits;
      const int take = (63 - bits) >> 3;
      next += static_cast<size_t>(take);
      bits += take * 8;
      return;
    }
    while (bits <= 56) {
      uint8_t b = next < size ? data[next] : 0;
      ++next;
      if (lsbFirst) b = T().reverse[b];
      acc |= static_cast<uint64_t>(b) << (56 - bits);
      bits += 8;
    }
  }
  // The next n bits (1..32).
  uint32_t Peek(int n) {
    if (bits < n) Fill();
    return static_cast<uint32_t>(acc >> (64 - n));
  }
  // Skips n bits that a Peek of at least n has made available.
  void Skip(int n) {
    acc <<= n;
    bits -= n;
  }
  void AlignByte() {
    const int r = static_cast<int>(Consumed() & 7);
    if (r) {
      Peek(8 - r);
      Skip(8 - r);
    }
  }
  // The bits taken so far: every byte loaded, less those still in the window.
  uint64_t Consumed() const { return static_cast<uint64_t>(next) * 8 - static_cast<uint64_t>(bits); }
  bool PastEnd() const { return Consumed() > static_cast<uint64_t>(size) * 8; }
};

namespace {

// A run of one colour: make-up codes until a terminating code. -1 for a code
// that is not a run (unknown, or an end of line) or a run longer than limit.
int ReadRun(TFaxBitReader& in, int colour, int limit) {
  const RunEntry* table = T().run[colour];
  int run = 0;
  for (;;) {
    const RunEntry& e = table[in.Peek(kLookBits)];
    if (e.kind != kTerm && e.kind != kMakeup) return -1;
    in.Skip(e.length);
    run += e.run;
    if (run > limit) return -1;
    if (e.kind == kTerm) return run;
  }
}

// Skips an end-of-line code (at least 11 zero bits, then a 1) when one starts
// here. False when there is none; the position is then unchanged.
bool SkipEol(TFaxBitReader& in) {
  if (in.Peek(11) != 0) return false;
  for (;;) {
    const uint32_t w = in.Peek(16);
    if (w == 0) {
      in.Skip(16);
      if (in.PastEnd()) return false;
      continue;
    }
    in.Skip(__builtin_clz(w) - 16 + 1);
    return true;
  }
}

}  // namespace

TFaxDecoder::TFaxDecoder(const TFaxOptions& options) : options_(options) {
  T();
  options_.Width = std::max(options_.Width, 0);
  cur_.reserve(static_cast<size_t>(options_.Width) + 8);
  ref_.reserve(static_cast<size_t>(options_.Width) + 8);
  BeginStrip(nullptr, 0);
}

void TFaxDecoder::BeginStrip(const uint8_t* data, size_t size) {
  data_ = data;
  size_ = size;
  bitPos_ = 0;
  firstRow_ = true;
  ref_.clear();
  AddSentinels(ref_, options_.Width);
}

bool TFaxDecoder::DecodeRow(uint8_t* row) {
  TFaxBitReader in(data_, size_, options_.LsbFirst, bitPos_);
  cur_.clear();
  bool ok = true;
  switch (options_.Coding) {
    case fcModifiedHuffman:
      ok = DecodeRow1D(in);
      in.AlignByte();
      break;
    case fcGroup3_1D:
      SkipEol(in);
      ok = DecodeRow1D(in);
      break;
    case fcGroup3_2D: {
      bool twoD = !firstRow_;
      if (SkipEol(in)) {
        twoD = in.Peek(1) == 0;
        in.Skip(1);
      }
      ok = twoD ? DecodeRow2D(in) : DecodeRow1D(in);
      break;
    }
    case fcGroup4:
      ok = DecodeRow2D(in);
      break;
  }
  if (in.PastEnd()) ok = false;
  bitPos_ = in.Consumed();
  firstRow_ = false;
  PaintAndKeep(row);
  return ok;
}

// A broken run ends the row: the colour open at that point runs to its end,
// which is what the changing elements gathered so far say.
bool TFaxDecoder::DecodeRow1D(TFaxBitReader& in) {
  const int width = options_.Width;
  int a0 = 0, colour = 0;
  while (a0 < width) {
    // Empty runs could pile up changes without end; a row has at most one per pixel.
    if (cur_.size() > static_cast<size_t>(width) + 2) return false;
    const int run = ReadRun(in, colour, width - a0);
    if (run < 0) return false;
    a0 += run;
    if (a0 < width) cur_.push_back(a0);
    colour ^= 1;
  }
  return true;
}

bool TFaxDecoder::DecodeRow2D(TFaxBitReader& reader) {
  // A copy of the reader stays in registers; it is handed back on the way out.
  TFaxBitReader in = reader;
  const bool ok = DecodeRow2DWith(in);
  reader = in;
  return ok;
}

bool TFaxDecoder::DecodeRow2DWith(TFaxBitReader& in) {
  const Tables& t = T();
  const int width = options_.Width;
  // Every change costs a bit; more changes than pixels is damage, and the
  // bound keeps the list within its reserve.
  const size_t maxChanges = static_cast<size_t>(width) + 2;
  int a0 = -1, colour = 0;
  size_t pb = 0;
  bool ok = true;
  auto change = [&](int a1) {
    const int from = std::max(a0, 0);
    if (a1 < from || a1 > width) {
      ok = false;
      a1 = std::clamp(a1, from, width);
    }
    cur_.push_back(a1);
    return a1;
  };
  while (a0 < width) {
    if (cur_.size() > maxChanges) return false;
    pb = FindB1(ref_, pb, a0, colour, width);
    const int b1 = ref_[pb], b2 = ref_[pb + 1];
    const ModeEntry& m = t.mode[in.Peek(kModeBits)];
    switch (m.mode) {
      case mPass:
        in.Skip(m.length);
        a0 = b2;
        break;
      case mVertical:
        in.Skip(m.length);
        a0 = change(b1 + m.offset);
        colour ^= 1;
        break;
      case mHorizontal: {
        in.Skip(m.length);
        const int start = std::max(a0, 0);
        const int r1 = ReadRun(in, colour, width - start);
        const int r2 = r1 < 0 ? -1 : ReadRun(in, colour ^ 1, width - start - r1);
        if (r2 < 0) return false;
        change(start + r1);
        a0 = change(start + r1 + r2);
        break;
      }
      case mExtension:
        // Only the uncompressed mode is an extension that T.4 defines.
        if (in.Peek(10) != 0x0F) return false;
        in.Skip(10);
        if (!Uncompressed(in, a0, colour)) return false;
        break;
      default:
        return false;  // an end of line inside the row, or no code at all
    }
  }
  return ok;
}

// Uncompressed mode: each code is a run of zeros ended by a 1, h bits in all.
// h 1..5: h - 1 white pixels and a black one; 6: five white pixels; 7..11:
// h - 7 white pixels, the end of the mode, and a bit giving the colour that
// the coding goes on with.
bool TFaxDecoder::Uncompressed(TFaxBitReader& in, int& a0, int& colour) {
  const int width = options_.Width;
  int x = std::max(a0, 0);
  auto pixels = [&](int c, int n) {
    n = std::min(n, width - x);
    if (n <= 0) return;
    if (static_cast<int>(cur_.size() & 1) != c) cur_.push_back(x);
    x += n;
  };
  bool ok = true;
  while (x < width) {
    const uint32_t w = in.Peek(11);
    if (w == 0) {
      ok = false;
      break;
    }
    const int h = __builtin_clz(w) - 21 + 1;
    in.Skip(h);
    if (h <= 5) {
      pixels(0, h - 1);
      pixels(1, 1);
    } else if (h == 6) {
      pixels(0, 5);
    } else {
      pixels(0, h - 7);
      const int next = static_cast<int>(in.Peek(1));
      in.Skip(1);
      if (x < width && static_cast<int>(cur_.size() & 1) != next) cur_.push_back(x);
      break;
    }
  }
  a0 = x;
  colour = static_cast<int>(cur_.size() & 1);
  return ok && !in.PastEnd();
}

void TFaxDecoder::PaintAndKeep(uint8_t* row) {
  const int width = options_.Width;
  std::memset(row, 0xFF, static_cast<size_t>((width + 7) / 8));
  for (size_t i = 0; i < cur_.size(); i += 2) {
    const int end = i + 1 < cur_.size() ? cur_[i + 1] : width;
    PaintBlack(row, cur_[i], end);
  }
  // The reference row leaves out empty runs, so that its changes rise strictly;
  // a row without them becomes the reference as it is.
  if (std::adjacent_find(cur_.begin(), cur_.end(), std::greater_equal<int32_t>()) == cur_.end()) {
    ref_.swap(cur_);
    AddSentinels(ref_, width);
    return;
  }
  ref_.clear();
  for (int32_t c : cur_) {
    if (!ref_.empty() && ref_.back() >= c) {
      if (ref_.back() == c) ref_.pop_back();
      continue;
    }
    ref_.push_back(c);
  }
  AddSentinels(ref_, width);
}

bool FaxDecodeStrip(const TFaxOptions& options, const uint8_t* data, size_t size,
                    TPxBitmap& bitmap, int firstRow, int rows) {
  TFaxDecoder decoder(options);
  decoder.BeginStrip(data, size);
  for (int y = firstRow; y < firstRow + rows; ++y) {
    uint8_t* row = bitmap.Scanline(y);
    if (!row) return false;
    if (!decoder.DecodeRow(row)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Encoding

TFaxEncoder::TFaxEncoder(const TFaxOptions& options) : options_(options) {
  T();
  options_.Width = std::max(options_.Width, 0);
  ref_.clear();
  AddSentinels(ref_, options_.Width);
}

void TFaxEncoder::PutBits(uint32_t code, int length) {
  acc_ = (acc_ << length) | code;
  accBits_ += length;
  while (accBits_ >= 8) {
    accBits_ -= 8;
    uint8_t b = static_cast<uint8_t>(acc_ >> accBits_);
    if (options_.LsbFirst) b = T().reverse[b];
    out_.push_back(b);
  }
  acc_ &= (uint64_t(1) << accBits_) - 1;
}

void TFaxEncoder::PutRun(int run, bool black) {
  const Tables& t = T();
  while (run >= 64) {
    const int m = run > kMaxRun ? kMaxRun : run / 64 * 64;
    const Code& c = t.makeup[black][m / 64 - 1];
    PutBits(c.bits, c.length);
    run -= m;
  }
  const Code& c = t.term[black][run];
  PutBits(c.bits, c.length);
}

void TFaxEncoder::PutEol() {
  if (options_.AlignEol) {
    const int fill = (8 - (accBits_ + kEolBits) % 8) % 8;
    if (fill) PutBits(0, fill);
  }
  PutBits(kEolCode, kEolBits);
}

void TFaxEncoder::FlushByte() {
  if (accBits_ > 0) PutBits(0, 8 - accBits_);
}

void TFaxEncoder::Code1D(const std::vector<int32_t>& changes) {
  const int width = options_.Width;
  int a0 = 0;
  bool black = false;
  for (size_t i = 0; a0 < width; ++i) {
    const int a1 = changes[i];
    PutRun(a1 - a0, black);
    a0 = a1;
    black = !black;
  }
}

void TFaxEncoder::Code2D(const std::vector<int32_t>& c) {
  const Tables& t = T();
  const int width = options_.Width;
  int a0 = -1, colour = 0;
  size_t ia = 0, pb = 0;
  do {
    while (c[ia] <= a0 && c[ia] < width) ++ia;
    const int a1 = c[ia];
    pb = FindB1(ref_, pb, a0, colour, width);
    const int b1 = ref_[pb], b2 = ref_[pb + 1];
    if (b2 < a1) {
      PutBits(1, 4);  // pass 0001
      a0 = b2;
    } else if (a1 - b1 >= -3 && a1 - b1 <= 3) {
      const Code& v = t.vertical[a1 - b1 + 3];
      PutBits(v.bits, v.length);
      a0 = a1;
      colour ^= 1;
    } else {
      const int a2 = c[ia + 1];
      const int start = std::max(a0, 0);
      PutBits(1, 3);  // horizontal 001
      PutRun(a1 - start, colour != 0);
      PutRun(a2 - a1, colour == 0);
      a0 = a2;
    }
  } while (a0 < width);
}

void TFaxEncoder::EncodeRow(const uint8_t* row) {
  FaxRowChanges(row, options_.Width, cur_);
  switch (options_.Coding) {
    case fcModifiedHuffman:
      Code1D(cur_);
      FlushByte();
      break;
    case fcGroup3_1D:
      PutEol();
      Code1D(cur_);
      break;
    case fcGroup3_2D:
      PutEol();
      PutBits(firstRow_ ? 1 : 0, 1);
      if (firstRow_) Code1D(cur_);
      else Code2D(cur_);
      break;
    case fcGroup4:
      Code2D(cur_);
      break;
  }
  ref_.swap(cur_);
  firstRow_ = false;
}

void TFaxEncoder::EndStrip() {
  if (options_.Coding == fcGroup3_2D) PutEol();
  if (options_.Coding == fcGroup4) {
    PutBits(kEolCode, kEolBits);
    PutBits(kEolCode, kEolBits);
  }
  FlushByte();
  firstRow_ = true;
  ref_.clear();
  AddSentinels(ref_, options_.Width);
}
