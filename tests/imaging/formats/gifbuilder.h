// GIF files put together byte by byte for the tests: every block written as
// the format lays it out, and image data made of literal codes only (one
// code per index, no strings), whose decoding is known without any encoder.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace gifbuilder {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
};

// LZW codes packed least significant bit first, with the width a decoder
// uses: it adds a table entry for every code after the first one following
// a clear code, and widens the codes when the next entry no longer fits.
class CodeStream {
 public:
  explicit CodeStream(int minCodeSize) : minCodeSize_(minCodeSize) { Reset(); }
  int ClearCode() const { return 1 << minCodeSize_; }
  int EndCode() const { return ClearCode() + 1; }
  int NextEntry() const { return next_; }
  void Clear() {
    Put(ClearCode());
    Reset();
  }
  void End() { Put(EndCode()); }
  // Any code at the current width, counted as the decoder counts it.
  void Code(int code) {
    Put(code);
    if (first_) {
      first_ = false;
      return;
    }
    if (next_ < 4096) ++next_;
    if (next_ >= (1 << bits_) && bits_ < 12) ++bits_;
  }
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out = bytes_;
    if (count_ > 0) out.push_back(static_cast<uint8_t>(acc_));
    return out;
  }

 private:
  void Reset() {
    bits_ = minCodeSize_ + 1;
    next_ = EndCode() + 1;
    first_ = true;
  }
  void Put(int code) {
    acc_ |= static_cast<uint64_t>(code) << count_;
    count_ += bits_;
    while (count_ >= 8) {
      bytes_.push_back(static_cast<uint8_t>(acc_));
      acc_ >>= 8;
      count_ -= 8;
    }
  }
  int minCodeSize_;
  int bits_ = 0, next_ = 0;
  bool first_ = true;
  uint64_t acc_ = 0;
  int count_ = 0;
  std::vector<uint8_t> bytes_;
};

// The indices as literal codes: a clear code, then one code per index (with
// a clear code after every clearEvery of them when clearEvery > 0), the end code.
inline std::vector<uint8_t> LiteralCodes(const std::vector<uint8_t>& indices, int minCodeSize,
                                         int clearEvery = 0, bool endCode = true) {
  CodeStream codes(minCodeSize);
  codes.Clear();
  int n = 0;
  for (uint8_t v : indices) {
    if (clearEvery > 0 && n > 0 && n % clearEvery == 0) codes.Clear();
    codes.Code(v);
    ++n;
  }
  if (endCode) codes.End();
  return codes.Bytes();
}

// Rows top-down in the interlaced file order.
inline std::vector<uint8_t> Interlace(const std::vector<uint8_t>& indices, int width, int height) {
  std::vector<uint8_t> out;
  const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass)
    for (int y = start[pass]; y < height; y += step[pass])
      out.insert(out.end(), indices.begin() + y * width, indices.begin() + (y + 1) * width);
  return out;
}

class File {
 public:
  std::vector<uint8_t> bytes;

  void Raw(std::initializer_list<uint8_t> b) { bytes.insert(bytes.end(), b); }
  void Raw(const std::vector<uint8_t>& b) { bytes.insert(bytes.end(), b.begin(), b.end()); }
  void Le16(int v) { Raw({static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}); }

  // Header and screen; a global table when `table` is not empty (its size
  // is rounded up to a power of two with black entries).
  void Screen(int width, int height, const std::vector<Rgb>& table, int background = 0,
              const std::string& version = "GIF89a", int ratio = 0) {
    bytes.insert(bytes.end(), version.begin(), version.end());
    Le16(width);
    Le16(height);
    const int bits = TableBits(table);
    Raw({static_cast<uint8_t>((table.empty() ? 0 : 0x80) | ((bits - 1) << 4) | (bits - 1)),
         static_cast<uint8_t>(background), static_cast<uint8_t>(ratio)});
    if (!table.empty()) Table(table, bits);
  }
  void Control(int disposal, bool transparent, int transparentIndex, int delay = 0) {
    Raw({0x21, 0xF9, 4, static_cast<uint8_t>((disposal << 2) | (transparent ? 1 : 0))});
    Le16(delay);
    Raw({static_cast<uint8_t>(transparentIndex), 0});
  }
  void Comment(const std::vector<std::string>& blocks) {
    Raw({0x21, 0xFE});
    for (const std::string& s : blocks) {
      bytes.push_back(static_cast<uint8_t>(s.size()));
      bytes.insert(bytes.end(), s.begin(), s.end());
    }
    bytes.push_back(0);
  }
  void Descriptor(int x, int y, int width, int height, bool interlaced = false,
                  const std::vector<Rgb>& local = {}) {
    bytes.push_back(0x2C);
    Le16(x);
    Le16(y);
    Le16(width);
    Le16(height);
    const int bits = TableBits(local);
    bytes.push_back(static_cast<uint8_t>((local.empty() ? 0 : 0x80 | (bits - 1)) | (interlaced ? 0x40 : 0)));
    if (!local.empty()) Table(local, bits);
  }
  // The code size byte, the codes in sub-blocks of `blockSize` and the terminator.
  void Data(int minCodeSize, const std::vector<uint8_t>& codes, bool terminator = true,
            size_t blockSize = 255) {
    bytes.push_back(static_cast<uint8_t>(minCodeSize));
    for (size_t at = 0; at < codes.size(); at += blockSize) {
      const size_t n = std::min(blockSize, codes.size() - at);
      bytes.push_back(static_cast<uint8_t>(n));
      bytes.insert(bytes.end(), codes.begin() + static_cast<long>(at),
                   codes.begin() + static_cast<long>(at + n));
    }
    if (terminator) bytes.push_back(0);
  }
  // A whole image of literal codes, rows top-down in `indices`.
  void Image(int x, int y, int width, int height, const std::vector<uint8_t>& indices,
             int minCodeSize, bool interlaced = false, const std::vector<Rgb>& local = {}) {
    Descriptor(x, y, width, height, interlaced, local);
    Data(minCodeSize, LiteralCodes(interlaced ? Interlace(indices, width, height) : indices,
                                   minCodeSize));
  }
  void Trailer() { bytes.push_back(0x3B); }

 private:
  static int TableBits(const std::vector<Rgb>& table) {
    int bits = 1;
    while ((1u << bits) < table.size() && bits < 8) ++bits;
    return bits;
  }
  void Table(const std::vector<Rgb>& table, int bits) {
    for (int i = 0; i < (1 << bits); ++i) {
      const Rgb c = i < static_cast<int>(table.size()) ? table[i] : Rgb{};
      Raw({c.r, c.g, c.b});
    }
  }
};

}  // namespace gifbuilder
