// Windows bitmaps (BMP, DIB, RLE files): the 12-byte OS/2 1.x header, the
// 40-byte Windows header, the 64-byte OS/2 2.x header and the longer Windows
// headers; 1, 4, 8, 16, 24 and 32 bits per pixel, bit fields, RLE4 and RLE8,
// bottom-up and top-down rows.
#pragma once

#include <cstdint>
#include <string>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// Reads a BMP file (its 14-byte file header first) from the stream's position.
// dataSize, when positive, bounds the bytes of the file in the stream (a
// bitmap inside another file). Fills Width, Height, DpiX, DpiY,
// BitsPerSample, SamplesPerPixel, BmpVersion, BmpCompression and ColorMap.
// Pixels: 1 bit black and white -> px1g (1 = white), other two-colour,
// 4- and 8-bit files -> px8p with NativePixelFormat, else pxRGB24; 32-bit
// files and bit fields with an alpha mask give the bitmap an alpha plane
// unless ignoreAlpha or every alpha value is 0 or every one is 255.
// Failures set *progress.Aborting: not "BM", a header or size the library
// refuses, unsupported coding, and data that ends early or whose run-length
// coding leaves its row or the picture (the rows decoded so far stay).
void ReadBmpStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, int64_t dataSize,
                   bool ignoreAlpha, bool paramsOnly, TPxProgress& progress);

// Writes bitmap as BMP. Bit count: BitsPerSample 1 or 4; else 8 when
// SamplesPerPixel is 1; else 32 when the bitmap has an alpha plane; else 24.
// Header by BmpVersion (2: 12 bytes, 3: 64 bytes, others 40 bytes);
// BmpCompression 1 run-length codes 4- and 8-bit data (not under a 12-byte
// header). ColorMap receives the colour table written. An empty bitmap or a
// short write sets *progress.Aborting.
void WriteBmpStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress);

// --- The BMP row of the format table -------------------------------------------

// The row's content test: more than a file header's 14 bytes, starting with "BM".
bool BmpContentTest(TPxStream& stream);
// The row's read: a parameters-only read bounds the file by the stream's size
// and ignores alpha.
void ReadBmpRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                TPxProgress& progress);
// The fields of a read as text: header kind, coding, colour table.
std::string DescribeBmp(const TIOParamsVals& params);
