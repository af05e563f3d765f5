// PNG files and streams, through libpng.
#pragma once

#include <memory>
#include <string>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// Reads a PNG image (or only its parameters) from the stream's position.
// With compositeBackground alpha is blended onto the file's bKGD colour (or
// params.PngBackground); without it the alpha samples go to alphaMask, which
// is created (8 bits, image size, all 255) when empty.
// Failures set *progress.Aborting; the bitmap keeps the rows read so far.
void ReadPngStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                   bool compositeBackground, std::unique_ptr<TPxMask>& alphaMask, bool paramsOnly,
                   TPxProgress& progress);

// Writes bitmap as PNG; alphaMask is null or an 8-bit mask holding the alpha plane.
// Throws std::runtime_error("Error on creating PNG") when libpng fails;
// a short write to the stream sets *progress.Aborting.
void WritePngStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    const TPxMask* alphaMask, TPxProgress& progress);

// Reads 8 bytes and compares the first 4 with the PNG signature; the position is restored.
bool IsPngStream(TPxStream& stream);

// --- The PNG row of the format table -------------------------------------------

// The row's read. A full read puts the transparency into the bitmap's alpha
// plane; a parameters-only read takes the file's bKGD colour into
// params.PngBackground.
void ReadPngRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                TPxProgress& progress);
// The row's write: the bitmap's alpha plane, when it has one, becomes the file's.
void WritePngRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                 TPxProgress& progress);
// The row's content test: more than the signature, and the signature.
bool PngContentTest(TPxStream& stream);
// The fields of a read as text: interlacing, palette size, text chunks.
std::string DescribePng(const TIOParamsVals& params);
// The background colour (a colour reference) a read starts from and ends with.
void GivePngBackground(TIOParamsVals& params, uint32_t background);
uint32_t TakePngBackground(const TIOParamsVals& params);
