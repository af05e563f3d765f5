// GIF files and streams (versions 87a and 89a): recognition, reading one
// image or an animation's frame drawn over the frames before it, and writing
// one image. The LZW coder is the library's own, reached through the two
// slots of the parameters so that a program may replace either.
#pragma once

#include <memory>
#include <string>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"

// Reads image params.GifImageIndex of the GIF at the stream's position, or
// only its parameters; counts every image descriptor of the file into the
// result and params.GifImageCount. Without ignoreTransparency, mask becomes
// an 8-bit mask of the image (0 on transparent pixels), or none when no
// pixel is transparent. The image is px1g (black and white palette), px8p
// (params.NativePixelFormat) or pxRGB24. An index beyond the last image
// leaves the bitmap as it was. Failures set *progress.Aborting; damaged
// image data keeps the pixels decoded before the damage.
int ReadGifStream(TPxStream& stream, TPxBitmap* bitmap, bool ignoreTransparency,
                  std::unique_ptr<TPxMask>& mask, bool paramsOnly, TPxProgress& progress,
                  TIOParamsVals& params);

// Reads image params.GifImageIndex with the images before it drawn under it
// (an index beyond the last image gives them all), into bitmap with an alpha
// plane for transparent pixels. A file of one image gives that image as it
// is. Returns the image count; a file without images sets *progress.Aborting.
int LoadGifStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                  TPxProgress& progress);

// Writes bitmap as a GIF of one image with params.BitsPerSample palette bits;
// an alpha plane with transparent pixels gets the last palette index.
void WriteGifStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress);

// The library's LZW coder, used when the parameters' slot is empty. See
// TGifLzwDecompress and TGifLzwCompress.
void GifLzwDecompressDefault(TPxStream& stream, int height, int width, bool interlaced,
                             uint8_t* pixels);
void GifLzwCompressDefault(TPxStream& stream, int height, int width, bool interlaced,
                           const uint8_t* pixels, int bitsPerPixel);

// --- The GIF row of the format table -------------------------------------------

// The row's read: frames composed (LoadGifStream); the parameters-only read
// gives those of image GifImageIndex.
void ReadGifRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                TPxProgress& progress);
void WriteGifRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                 TPxProgress& progress);
// The row's content test: more than 13 bytes from the position, beginning with "GIF".
bool GifContentTest(TPxStream& stream);
// The fields of a read as text: version, image and screen, palette, timing.
std::string DescribeGif(const TIOParamsVals& params);
// The background a read leaves to the component: the transparent colour
// when the image has one, else the screen's background.
uint32_t TakeGifBackground(const TIOParamsVals& params);
