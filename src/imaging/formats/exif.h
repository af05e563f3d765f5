// The EXIF block of a JPEG file (the APP1 marker "Exif\0\0"): a small TIFF
// structure without an image, holding the camera's values and a thumbnail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxutils.h"

// Reads the EXIF values of a block that starts with "Exif\0" into params and
// sets HasExif; the resolution goes to ExifXResolution, ExifYResolution and
// ExifResolutionUnit as stored (DpiX and DpiY are the caller's to decide). A
// JPEG thumbnail of at most 400 x 400 pixels lands, turned upright, in
// params.ExifThumbnail. False when the block is not EXIF. Damaged data keep
// the values read before the damage; nothing outside the block is read.
bool ParseExifBlock(const uint8_t* data, size_t length, TIOParamsVals& params);

// Turns a read picture upright as params.ExifOrientation says (the alpha
// mask beside it too, when given). The values that describe the picture
// follow a quarter turn (width and height, the JPEG's size before reduction,
// the pixel dimensions, the resolution), and the orientation becomes 1, so
// that a save does not turn the picture twice. False when the memory for the
// turn could not be had: the read has then failed.
bool OrientUpright(TPxBitmap& bitmap, TPxMask* mask, TIOParamsVals& params);
// What a parameters-only read reports when a full read would turn the
// picture: the same values as OrientUpright leaves, the orientation kept.
void OrientUprightValues(TIOParamsVals& params);

// The data of an APP1 marker holding the EXIF values of params (little-endian,
// no thumbnail). The resolution is written per inch from ExifXResolution and
// ExifYResolution.
std::vector<uint8_t> BuildExifBlock(const TIOParamsVals& params);
