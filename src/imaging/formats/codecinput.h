// What the codecs built on outside libraries share: the stream's bytes in
// memory for the libraries that decode from a buffer, and whether a bitmap's
// rows can be handed to a library as one block.
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

// True when the bitmap's rows lie in one block, bottom row first, RowBytes
// apart: a library can then write them all at once, told to flip.
bool PxRowsContiguousBottomUp(TPxBitmap& bitmap);
