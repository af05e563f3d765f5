// JPEG 2000 files (JP2) and code streams (J2K), through OpenJPEG.
#pragma once

#include <string>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// Reads a JP2 file or a bare code stream (or only its parameters) from the
// stream's position: gray pictures give px8g, colour ones pxRGB24, an alpha
// component an alpha plane; samples of other precisions are scaled to 8 bits.
// params.Jp2Reduce leaves resolution levels out (params.Jp2ReduceUsed tells
// how many were). Damaged or truncated data, CMYK and sizes beyond the
// library's limits set *progress.Aborting (with params.CodecError).
void ReadJp2Stream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                   TPxProgress& progress);
void ReadJ2kStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                   TPxProgress& progress);

// Writes bitmap (pxRGB24, px8g or px1g, and its alpha plane) as a JP2 file or
// a code stream, with params.Jp2Ratio. Other formats, an empty bitmap or a
// failing stream set *progress.Aborting.
void WriteJp2Stream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress);
void WriteJ2kStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress);

// The JP2 signature box, or the code stream's start and size markers (FF 4F
// FF 51); the position is restored.
bool IsJp2Stream(TPxStream& stream);
bool IsJ2kStream(TPxStream& stream);

// The format's fields of a read, for a reader ("3 components, 8 bits").
std::string DescribeJpeg2000(const TIOParamsVals& params);
