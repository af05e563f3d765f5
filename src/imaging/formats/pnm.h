// Portable anymap files (PBM, PGM, PPM), plain and raw.
#pragma once

#include <string>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// True when the stream starts with a PNM header: a magic "P1".."P6" and a
// positive width and height, comments allowed between them. The position is
// restored.
bool IsPnmStream(TPxStream& stream);

// Reads the first image of a PNM stream (or only its parameters: Width,
// Height, BitsPerSample, SamplesPerPixel, PnmComments, the default
// resolution). Bilevel files give px1g, the others pxRGB24, with samples
// scaled from the file's maximum to 255. With params.NativePixelFormat gray
// files give px8g, and files of more than 8 bits px16g or pxRGB48 scaled to
// 65535. A header without a positive size, a maximum of 0 or above 65535, a
// number that overflows or a raster far larger than the data left fail the
// read; a raster cut short fails it too, keeping the rows read (the missing
// samples read as 0).
void ReadPnmStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                   TPxProgress& progress);

// Writes bitmap as a raw PNM: "P4" for px1g or the bilevel wish
// (BitsPerSample 1, SamplesPerPixel 1), "P5" for SamplesPerPixel 1 (255 or,
// with BitsPerSample 16, 65535), "P6" 65535 for pxRGB48 or BitsPerSample 16,
// else "P6" 255; params.PnmComments go into the header. Other pixel formats
// are converted on a copy. An empty bitmap or a short write set the abort flag.
void WritePnmStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress);

// The fields of a read as text for pictrova-cli info: the header's comments.
std::string DescribePnm(const TIOParamsVals& params);
