#include "imaging/formats/pngdeflate.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <limits>

#include "imaging/core/pxblocks.h"
#include "imaging/proc/pxparallel.h"

namespace {

// About this much filtered data per piece: big enough that the lost matches
// at the cuts do not matter, small enough to share out over the cores.
constexpr size_t kPieceBytes = size_t(4) << 20;

void FreeBlock(uint8_t* p) { PxBlockFree(p); }

TPxDeflatePiece NewPiece(size_t capacity) {
  TPxDeflatePiece p;
  p.Data = std::unique_ptr<uint8_t, void (*)(uint8_t*)>(PxBlockAlloc(int64_t(capacity)), FreeBlock);
  return p;
}

void FilterRow(const uint8_t* raw, size_t rowBytes, int bpp, int filter, uint8_t* out) {
  out[0] = static_cast<uint8_t>(filter);
  if (filter == 1) {
    const size_t b = std::min(size_t(bpp), rowBytes);
    for (size_t i = 0; i < b; ++i) out[1 + i] = raw[i];
    for (size_t i = b; i < rowBytes; ++i) out[1 + i] = static_cast<uint8_t>(raw[i] - raw[i - b]);
  } else {
    std::copy(raw, raw + rowBytes, out + 1);
  }
}

}  // namespace

std::vector<TPxDeflatePiece> PxDeflatePngRows(int height, size_t rowBytes, int bytesPerPixel, int filter,
                                              int level, int strategy,
                                              const std::function<void(int, uint8_t*)>& makeRow) {
  std::vector<TPxDeflatePiece> none;
  if (height <= 0 || rowBytes == 0 || rowBytes > (size_t(1) << 30) || (filter != 0 && filter != 1) ||
      bytesPerPixel <= 0)
    return none;
  const size_t lineBytes = rowBytes + 1;
  const int rowsPerPiece = static_cast<int>(std::clamp<size_t>(kPieceBytes / lineBytes, 1, size_t(height)));
  const int pieces = (height + rowsPerPiece - 1) / rowsPerPiece;
  std::vector<TPxDeflatePiece> out(static_cast<size_t>(pieces));
  std::vector<uLong> sums(static_cast<size_t>(pieces), 1);
  std::vector<uLong> lengths(static_cast<size_t>(pieces), 0);
  std::atomic<bool> failed{false};
  const int workers = std::max(1, PxThreadCount());
  std::vector<std::vector<uint8_t>> raw(static_cast<size_t>(workers)), line(static_cast<size_t>(workers));

  PxParallelForWorkers(pieces, 1, workers, [&](int begin, int end, int worker) {
    std::vector<uint8_t>& r = raw[size_t(worker)];
    std::vector<uint8_t>& l = line[size_t(worker)];
    r.resize(rowBytes);
    l.resize(lineBytes);
    for (int p = begin; p < end && !failed; ++p) {
      const int y0 = p * rowsPerPiece, y1 = std::min(height, y0 + rowsPerPiece);
      const size_t inBytes = size_t(y1 - y0) * lineBytes;
      z_stream z{};
      if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) {
        failed = true;
        return;
      }
      // Room for the worst case, the sync flush's empty block and the
      // header or the checksum.
      const size_t capacity = deflateBound(&z, uLong(inBytes)) + 64;
      TPxDeflatePiece piece = NewPiece(capacity);
      if (!piece.Data) {
        deflateEnd(&z);
        failed = true;
        return;
      }
      uint8_t* dst = piece.Data.get();
      size_t at = 0;
      if (p == 0) {
        // zlib header: deflate with a 32 KiB window; the level hint; check bits.
        const unsigned cmf = 0x78;
        unsigned flg = (level <= 1 ? 0u : level <= 5 ? 1u : level == 6 ? 2u : 3u) << 6;
        flg += 31 - (cmf * 256 + flg) % 31;
        dst[at++] = static_cast<uint8_t>(cmf);
        dst[at++] = static_cast<uint8_t>(flg);
      }
      z.next_out = dst + at;
      z.avail_out = static_cast<uInt>(std::min<size_t>(capacity - at - 4, std::numeric_limits<uInt>::max()));
      uLong adler = adler32(0L, Z_NULL, 0);
      bool ok = true;
      for (int y = y0; y < y1 && ok; ++y) {
        makeRow(y, r.data());
        FilterRow(r.data(), rowBytes, bytesPerPixel, filter, l.data());
        adler = adler32(adler, l.data(), uInt(lineBytes));
        z.next_in = l.data();
        z.avail_in = uInt(lineBytes);
        const bool last = y + 1 == y1;
        const int flush = !last ? Z_NO_FLUSH : p + 1 == pieces ? Z_FINISH : Z_SYNC_FLUSH;
        const int rc = deflate(&z, flush);
        // Every byte taken, and at the end of a piece the flush complete.
        ok = (rc == Z_OK || rc == Z_STREAM_END) && z.avail_in == 0 &&
             (!last || (flush == Z_FINISH ? rc == Z_STREAM_END : z.avail_out > 0));
      }
      at = size_t(z.next_out - dst);
      deflateEnd(&z);
      if (!ok) {
        failed = true;
        return;
      }
      sums[size_t(p)] = adler;
      lengths[size_t(p)] = uLong(inBytes);
      piece.Size = at;
      out[size_t(p)] = std::move(piece);
    }
  });
  if (failed) return none;
  uLong adler = sums[0];
  for (int p = 1; p < pieces; ++p) adler = adler32_combine(adler, sums[size_t(p)], z_off_t(lengths[size_t(p)]));
  TPxDeflatePiece& last = out.back();
  uint8_t* tail = last.Data.get() + last.Size;
  tail[0] = uint8_t(adler >> 24), tail[1] = uint8_t(adler >> 16), tail[2] = uint8_t(adler >> 8), tail[3] = uint8_t(adler);
  last.Size += 4;
  return out;
}
