// A byte reader over a stream that never reads past a given number of bytes:
// the decoders of run-length formats pull bytes one at a time from it, and
// at its end they see -1 instead of reading on.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "imaging/core/pxstream.h"

class TPxChunkReader {
 public:
  // Reads at most `limit` bytes from the stream's position, `chunk` at a time.
  TPxChunkReader(TPxStream& stream, int64_t limit, size_t chunk = size_t(1) << 16)
      : stream_(stream), left_(limit > 0 ? limit : 0), buffer_(chunk) {}

  // The next byte, or -1 at the end.
  int Next() {
    if (p_ == end_ && !Refill()) return -1;
    return *p_++;
  }
  // Copies up to n bytes; the number copied.
  size_t Read(void* dst, size_t n) {
    uint8_t* out = static_cast<uint8_t*>(dst);
    size_t done = 0;
    while (done < n) {
      if (p_ == end_ && !Refill()) break;
      const size_t k = std::min<size_t>(n - done, static_cast<size_t>(end_ - p_));
      std::memcpy(out + done, p_, k);
      p_ += k;
      done += k;
    }
    return done;
  }
  // The bytes buffered and not yet taken; at least one unless at the end.
  // For loops that work on the buffer directly and then Skip what they used.
  size_t Available() {
    if (p_ == end_) Refill();
    return static_cast<size_t>(end_ - p_);
  }
  const uint8_t* Data() const { return p_; }
  void Skip(size_t n) { p_ += n; }

 private:
  bool Refill() {
    if (left_ <= 0) return false;
    const int64_t want = std::min<int64_t>(left_, static_cast<int64_t>(buffer_.size()));
    const int64_t got = stream_.Read(buffer_.data(), want);
    if (got <= 0) {
      left_ = 0;
      return false;
    }
    left_ -= got;
    p_ = buffer_.data();
    end_ = p_ + got;
    return true;
  }

  TPxStream& stream_;
  int64_t left_;
  std::vector<uint8_t> buffer_;
  const uint8_t* p_ = nullptr;
  const uint8_t* end_ = nullptr;
};
