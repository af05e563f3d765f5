// WebP still pictures, through libwebp.
#pragma once

#include <string>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// Reads a still WebP picture (or only its parameters) from the stream's
// position into pxRGB24, with an alpha plane when the file has alpha.
// Animations, damaged or truncated data and sizes beyond the library's limits
// set *progress.Aborting (with params.CodecError).
void ReadWebpStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                    TPxProgress& progress);

// Writes bitmap (pxRGB24 or px1g, and its alpha plane) with params.WebpQuality
// or params.WebpLossless. Other formats, an empty bitmap, a picture larger
// than WebP can hold (16383 pixels a side) or a short write set
// *progress.Aborting.
void WriteWebpStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                     TPxProgress& progress);

// "RIFF", a size, "WEBP"; the position is restored.
bool IsWebpStream(TPxStream& stream);

// The format's fields of a read, for a reader ("lossless, alpha").
std::string DescribeWebp(const TIOParamsVals& params);
