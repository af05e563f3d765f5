// JPEG (JFIF) files and streams.
#pragma once

#include <cstdint>

#include "imaging/core/imagingio.h"

// Reads a JPEG image (or only its parameters) from the stream's position into
// bitmap and params. tablesStream, when given and different from stream,
// supplies the tables of an abbreviated JPEG. Failures set *progress.Aborting.
void ReadJpegStream(TPxStream& stream, TPxStream* tablesStream, TPxBitmap* bitmap,
                    bool applyColorProfile, bool invertCmyk, bool readMetadata, bool rawYCbCr,
                    bool paramsOnly, TPxProgress& progress, TIOParamsVals& params);

// Writes bitmap (pxRGB24, px1g, or pxCMYK data for the CMYK colour spaces) as JPEG.
void WriteJpegStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                     TPxProgress& progress);

// Offset of the start of image (FF D8 FF) within the first 100 bytes from the
// current position, or -1; the position is restored.
int64_t JpegPosition(TPxStream& stream);

// True when the stream holds a start of image within reach of JpegPosition.
bool IsJpegStream(TPxStream& stream);
