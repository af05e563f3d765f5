// TIFF files and streams (revision 6.0, both byte orders), with the library's
// own LZW coder and the fax coder of ccitt.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// Reads page params.TiffImageIndex of the TIFF whose header is at the
// stream's position; offsets in the file count from that header. pageCount
// and params.TiffImageCount receive the number of pages in the chain.
// thumbnailMode refuses pages larger than 400 x 400. Unless noAlpha, a page
// with an alpha sample gets alphaMask (8 bits, created when empty) filled
// with it. With params.TiffAutoOrient the page (and its mask) is turned
// upright as its Orientation tag says, and a parameters-only read reports
// the turned size. The IPTC tag fills params.IPTCInfoList. Failures set
// *progress.Aborting: no TIFF header, the page is not in the chain, a size or sample layout the library cannot hold, damaged
// compressed data or strips beyond the file (the rows decoded so far stay).
void ReadTiffStream(TPxBitmap* bitmap, TPxStream& stream, int& pageCount, bool thumbnailMode,
                    bool noAlpha, std::unique_ptr<TPxMask>& alphaMask, bool paramsOnly,
                    TPxProgress& progress, TIOParamsVals& params);

// Writes bitmap as a one-page TIFF at the stream's position with the
// compression, photometric interpretation and descriptive fields of params,
// its orientation (when not the plain one) and its IPTC records.
// alphaMask, when given, is the 8-bit alpha plane of a pxRGB24 bitmap. A short
// write sets *progress.Aborting.
void WriteTiffStream(TPxStream& stream, TPxBitmap* bitmap, const TPxMask* alphaMask,
                     TPxProgress& progress, TIOParamsVals& params);

// The library's LZW coder (the default of the Params slots). The decoder is
// called once per row of a strip with the strip's data; the first call
// (state null) creates its state, a call with data null frees it. It returns
// rowLength decoded bytes, or null when the code is damaged or ends early.
const uint8_t* TiffLzwDecompressDefault(const uint8_t* data, size_t size, int rowLength,
                                        void*& state);
// Codes one row of a strip into the stream; row null ends the strip and
// frees the state. False when the stream took fewer bytes than given.
bool TiffLzwCompressDefault(const uint8_t* row, int length, TPxStream& stream, void*& state);

// --- The TIFF row of the format table ----------------------------------------

// The row's read: the page's alpha sample becomes the bitmap's alpha plane.
void ReadTiffRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                 TPxProgress& progress);
// The row's write: a bitmap's alpha plane that is not all opaque is written as
// an alpha sample.
void WriteTiffRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                  TPxProgress& progress);
// The row's content test: a byte order mark and a first directory inside the
// stream ("MM" followed by 0xBA at offset 8 is left to other readers).
bool TiffContentTest(TPxStream& stream);
// The fields of a read as text: compression, pages, photometric interpretation.
std::string DescribeTiff(const TIOParamsVals& params);
