// The image data of a PNG compressed on all cores.
//
// A zlib stream may be cut into pieces that are compressed on their own: each
// piece is a sequence of deflate blocks that ends on a byte boundary without
// a final block (the last piece's last block is the final one), and the
// Adler-32 of the whole follows from the pieces' sums. Any PNG reader reads
// the result as one ordinary stream. libdeflate compresses the pieces in
// short calls whose single blocks are joined (zlib takes the few whose end
// cannot be told for sure). No match reaches back into the previous call,
// which costs a little compression: this is for the fast levels, where speed
// is what was asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// About this much filtered data (whole rows) makes a piece, one thread's
// share of work; libdeflate compresses it in calls on this much.
inline constexpr size_t kPxDeflatePieceBytes = size_t(4) << 20;
inline constexpr size_t kPxDeflateChunkBytes = size_t(8) << 10;

// How the compressed chunks of a stream were joined, by how the block before
// the joint ended: on a byte boundary, with 1 or 2 bits to spare, with 3 to
// 7; Checked counts ends only told after decoding the joint back, Zlib the
// chunks that zlib compressed instead, their end not being certain.
// ZlibEvery, given by the caller, sends every that many-th chunk of a piece
// to zlib (0: only where needed), so that tests meet that path for sure.
struct TPxDeflateJoints {
  size_t Boundary = 0, ShortPad = 0, LongPad = 0, Checked = 0, Zlib = 0;
  size_t ZlibEvery = 0;
};

// Filters and compresses `height` rows of rowBytes bytes each (without the
// filter byte) into one zlib stream, handed to emit(data, bytes) in order as
// it is made, piece by piece, on the calling thread while the other threads
// go on (only a few pieces are held at once); emit returns false to stop.
// level is the compression level (0 to 9) of both compressors, strategy
// zlib's. makeRow(y, out) puts row y's bytes, in PNG order, into out; it is
// called from several threads at once, for different rows. filter is 0
// (none) or 1 (sub, with bytesPerPixel bytes per pixel). The stream depends
// only on the rows, not on the number of threads. False when memory or a
// compressor fails or emit stopped. joints, when given, gets how the chunks
// were joined (for the tests; see there).
bool PxDeflatePngRows(int height, size_t rowBytes, int bytesPerPixel, int filter, int level,
                      int strategy, const std::function<void(int, uint8_t*)>& makeRow,
                      const std::function<bool(const uint8_t*, size_t)>& emit,
                      TPxDeflateJoints* joints = nullptr);
