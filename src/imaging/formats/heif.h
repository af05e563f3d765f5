// HEIF pictures (HEIC, as phones save them), through libheif.
#pragma once

#include <string>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// Reads the primary picture of a HEIF file (or only its parameters) from the
// stream's position into pxRGB24, with an alpha plane when it has one. The
// file's own rotation, mirroring and crop are applied, so the picture stands
// as it was taken, and Width and Height are those of the upright picture.
// Pictures of more than 8 bits are reduced to 8. Damaged or truncated data,
// sizes beyond the library's limits, and coded pictures or grid canvases
// larger than the picture the file declares set *progress.Aborting (with
// params.CodecError) before the library makes them.
void ReadHeifStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                    TPxProgress& progress);

// A file type box of a HEIF brand; the position is restored.
bool IsHeifStream(TPxStream& stream);

// The format's fields of a read, for a reader ("10 bits, alpha").
std::string DescribeHeif(const TIOParamsVals& params);
