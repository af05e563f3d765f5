// Windows icons (ICO) and cursors (CUR): a directory of images, each a
// bitmap (its colours, the XOR rows, then a 1-bit AND mask of transparent
// pixels) or a PNG file.
#pragma once

#include <string>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// Content tests: at least 23 bytes, a header of type 1 (icon) or 2 (cursor)
// with images, and directory entries that lie in the stream. The position is
// restored.
bool IsIcoStream(TPxStream& stream);
bool IsCurStream(TPxStream& stream);

// Reads image IcoImageIndex (CurImageIndex for a cursor) of an icon or
// cursor from the stream's position; a stream starting with "BM" is read as a
// BMP. Fills IcoSizes and IcoBitCounts from the directory (and the hot spot
// of a cursor), Width, Height, DpiX, DpiY, BitsPerSample, SamplesPerPixel.
// Pixels: 1-bit black and white images give px1g, others pxRGB24 with the
// transparent pixels of palette images in IcoBackground (CurBackground);
// transparency goes into the bitmap's alpha plane unless noAlpha (AND mask
// bits, or the alpha of 32-bit images when any is set). PNG images go
// through the PNG reader. Failures set *progress.Aborting: a damaged
// directory, an index outside it (a full read only: a parameters-only read
// still reports the directory), an image without a bit count, sizes the
// data cannot hold, and data that ends early (the rows read so far stay).
void ReadIcoStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool cursor,
                   bool noAlpha, bool paramsOnly, TPxProgress& progress);

// Writes bitmap as an icon of one image per entry of IcoSizes up to the first
// width of 0 (at most 16, each 1..256 pixels), resampled to each size, with
// the bit count of IcoBitCounts (1, 4, 8, 24, 32; 0 chooses from
// SamplesPerPixel and BitsPerSample). Transparent pixels are masked.
void WriteIcoStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress);

// --- The ICO and CUR rows of the format table -----------------------------------

void ReadIcoRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                TPxProgress& progress);
void ReadCurRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                TPxProgress& progress);
// The directory as text: "3 images: 16 x 16 32 bits, ...", and a cursor's hot spot.
std::string DescribeIco(const TIOParamsVals& params);
std::string DescribeCur(const TIOParamsVals& params);
