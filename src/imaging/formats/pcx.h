// ZSoft PCX files and their multi-page container DCX.
#pragma once

#include <cstdint>
#include <string>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// Reads a PCX image (or only its parameters) from the stream's position.
// dataSize is the number of bytes of the PCX data from there (the 256-colour
// palette ends them); below 0, everything to the stream's end. Failures set
// *progress.Aborting; the bitmap keeps the rows decoded so far.
void ReadPcxStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                   TPxProgress& progress, int64_t dataSize = -1);
// Writes the bitmap as PCX at the stream's position: 1, 4, 8 or 24 bits as
// params.BitsPerSample x params.SamplesPerPixel asks, run-length coded when
// params.PcxCompression.
void WritePcxStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress);

// The DCX identifier and a page table whose offsets all lie inside the
// stream; the position is restored.
bool IsDcxStream(TPxStream& stream);
// Reads page params.DcxImageIndex (clamped to the pages and written back).
void ReadDcxStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                   TPxProgress& progress);
// Inserts the bitmap as a PCX page before page params.DcxImageIndex of the
// DCX the stream holds (an empty stream starts a new one; an index past the
// last page appends). A stream holding anything else is refused.
void WriteDcxStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress);

// The format table's rows. PCX: a "PCX" text or a header of manufacturer 10
// and a version up to 5.
void ReadPcxRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                TPxProgress& progress);
void WritePcxRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                 TPxProgress& progress);
bool PcxContentTest(TPxStream& stream);
std::string DescribePcx(const TIOParamsVals& params);
std::string DescribeDcx(const TIOParamsVals& params);
