// Wireless bitmaps (WBMP, type 0: black and white, no compression).
#pragma once

#include <string>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// The row's content test. A WBMP has no signature, so a stream is taken for
// one only when its header is a sound type 0 header and the data after it is
// exactly the raster the header claims; tried after every other format. The
// position is restored.
bool IsWbmpStream(TPxStream& stream);

// Reads a type 0 WBMP (or only its parameters: Width, Height, BitsPerSample
// 1, SamplesPerPixel 1, the default resolution) into a px1g bitmap. Width
// and height are multi-byte integers (7 bits a byte, the top bit set on all
// but the last). Another type, a fixed header other than 0, a size of 0,
// one that overflows or a raster far larger than the data left fail the
// read; a raster cut short fails it too, keeping the rows read (the missing
// ones black).
void ReadWbmpStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                    TPxProgress& progress);

// Writes bitmap as a type 0 WBMP of its full size; a picture that is not
// px1g is made black and white on a copy (the library's conversion). An
// empty bitmap or a short write set the abort flag.
void WriteWbmpStream(TPxStream& stream, TPxBitmap* bitmap, TPxProgress& progress);

// The row's write (a WBMP keeps none of the parameters).
void WriteWbmpRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                  TPxProgress& progress);
// The fields of a read as text for pictrova-cli info.
std::string DescribeWbmp(const TIOParamsVals& params);
