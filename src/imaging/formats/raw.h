// Camera raw files (DNG and the cameras' own formats), through LibRaw.
#pragma once

#include <string>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// Develops a camera raw file from the stream's position to pxRGB24 with the
// camera's white balance, upright as the camera recorded it. The
// parameters-only read gives the developed size without decoding the sensor
// data. params.RawHalfSize develops at half size; params.RawEmbeddedPreview
// takes the camera's embedded preview instead (a half-size development when
// there is none). Unknown or damaged files and sizes beyond the library's
// limits set *progress.Aborting (with params.CodecError).
void ReadRawStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                   TPxProgress& progress);

// The signatures of the raw formats that are not TIFF files (Canon CRW,
// Fujifilm RAF, Sigma X3F, Minolta MRW, Olympus ORF, Panasonic RW2); the
// TIFF-based ones (DNG, NEF, CR2, ...) are told by their extension. The
// position is restored.
bool IsRawStream(TPxStream& stream);

// The format's fields of a read, for a reader ("Nikon D750, half size").
std::string DescribeRaw(const TIOParamsVals& params);
