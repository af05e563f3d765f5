// What the codecs built on outside libraries share: the stream's bytes in
// memory for the libraries that decode from a buffer, and the checked
// allocation of the picture they decode into.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// Reads the bytes from the stream's position to its end into data. False
// when there are none, when they are more than PxImageBytesLimit() (a
// compressed picture larger than the largest buffer it could decode into is
// not one this library would show) or when the stream fails.
bool PxReadRemaining(TPxStream& stream, std::vector<uint8_t>& data);

// Allocates bitmap for width x height pixels of pf after checking the size
// against the library's limits. False (bitmap untouched or empty) when the
// size is refused or the memory cannot be had.
bool PxAllocateChecked(TPxBitmap& bitmap, int64_t width, int64_t height, TPxPixelFormat pf);

// True when the bitmap's rows lie in one block, bottom row first, RowBytes
// apart: a library can then write them all at once, told to flip.
bool PxRowsContiguousBottomUp(TPxBitmap& bitmap);
