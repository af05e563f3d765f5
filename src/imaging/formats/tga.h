// Truevision TGA (Targa) files: colour-mapped, true-colour and gray images,
// uncompressed or run-length coded, with the version 2.0 extension area.
#pragma once

#include <memory>
#include <string>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// The header's colour map type, image type and pixel depth are ones this
// reader knows; the position is restored.
bool IsTgaStream(TPxStream& stream);

// Reads a TGA image (or only its parameters) from the stream's position.
// Unless noAlpha, the alpha of 32-bit pixels and of 32-bit colour maps goes to
// alphaMask, created (8 bits, image size) when the file has alpha. Failures
// set *progress.Aborting; the bitmap keeps the rows decoded so far.
void ReadTgaStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool noAlpha,
                   std::unique_ptr<TPxMask>& alphaMask, bool paramsOnly, TPxProgress& progress);
// Writes a pxRGB24 or px1g bitmap (others are written from a 24-bit copy) at
// the stream's position; alphaMask, when given and not all opaque, makes a
// 32-bit file.
void WriteTgaStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    const TPxMask* alphaMask, TPxProgress& progress);

// The same in the shape of the format table's functions: the alpha travels
// in the bitmap's alpha plane.
void ReadTgaRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                TPxProgress& progress);
void WriteTgaRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                 TPxProgress& progress);
std::string DescribeTga(const TIOParamsVals& params);
