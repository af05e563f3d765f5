// The image data of a PNG compressed on all cores.
//
// A zlib stream may be cut into pieces that are compressed on their own: each
// piece but the last ends with a sync flush (a byte boundary, no end mark),
// and the Adler-32 of the whole follows from the pieces' sums. Any PNG reader
// reads the result as one ordinary stream. The pieces cost a little
// compression (no match reaches back into the previous piece), so this is for
// the fast levels, where speed is what was asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct TPxDeflatePiece {
  std::unique_ptr<uint8_t, void (*)(uint8_t*)> Data{nullptr, nullptr};
  size_t Size = 0;
};

// Filters and compresses `height` rows of rowBytes bytes each (without the
// filter byte) into one zlib stream, returned in order as pieces (the first
// starts with the zlib header, the last ends with the Adler-32). makeRow(y,
// out) puts row y's bytes, in PNG order, into out; it is called from several
// threads at once, for different rows. filter is 0 (none) or 1 (sub, with
// bytesPerPixel bytes per pixel). The pieces depend only on the rows, not on
// the number of threads. Empty when memory or zlib fails.
std::vector<TPxDeflatePiece> PxDeflatePngRows(int height, size_t rowBytes, int bytesPerPixel, int filter,
                                              int level, int strategy,
                                              const std::function<void(int, uint8_t*)>& makeRow);
