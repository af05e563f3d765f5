// JPEG (JFIF) files and streams, through libjpeg.
#pragma once

#include <cstdint>
#include <string>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// Reads a JPEG image (or only its parameters) from the stream's position into
// bitmap and params. tablesStream, when given and different from stream,
// supplies the tables of an abbreviated JPEG. Failures set *progress.Aborting:
// no start of image within 100 bytes, a codec error, a size the buffer cannot
// hold, or data that ends before the picture does (the rows decoded so far stay
// in the bitmap). A missing end-of-image marker alone is only a warning.
//
// CMYK and YCCK files give pxCMYK (with Params.NativePixelFormat) holding ink
// amounts, or pxRGB24. Files with an Adobe marker store inverted inks and are
// turned around; invertCmyk inverts once more, for callers whose data says the
// opposite of its markers. rawYCbCr hands three-component data out as Y, Cb, Cr
// bytes. There is no colour management: an embedded ICC profile only lands in
// Params.ColorProfile (with readMetadata), applyColorProfile has no effect.
void ReadJpegStream(TPxStream& stream, TPxStream* tablesStream, TPxBitmap* bitmap,
                    bool applyColorProfile, bool invertCmyk, bool readMetadata, bool rawYCbCr,
                    bool paramsOnly, TPxProgress& progress, TIOParamsVals& params);

// Writes bitmap (pxRGB24, px1g, or pxCMYK) as JPEG with the options of params
// and the markers of its marker list (all but APP14). An empty bitmap, another
// pixel format or a short write set *progress.Aborting.
void WriteJpegStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                     TPxProgress& progress);

// Offset of the start of image (FF D8 FF) within the first 100 bytes from the
// current position, or -1; the position is restored.
int64_t JpegPosition(TPxStream& stream);

// True when the stream holds a start of image within reach of JpegPosition.
bool IsJpegStream(TPxStream& stream);

// --- The JPEG row of the format table ----------------------------------------

// The row's read: ReadJpegStream with the embedded profile and metadata, and
// the IPTC records decoded from the APP13 marker into params.IPTCInfoList.
void ReadJpegRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                 TPxProgress& progress);
// The row's write: the IPTC list goes into APP13 when it should
// (TIOParamsVals::UpdateIPTCMarker), then WriteJpegStream.
void WriteJpegRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                  TPxProgress& progress);
// The fields of a read as text: colour kind, progressive coding, metadata found.
std::string DescribeJpeg(const TIOParamsVals& params);
