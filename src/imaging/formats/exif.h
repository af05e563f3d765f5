// The EXIF block of a JPEG file (the APP1 marker "Exif\0\0"): a small TIFF
// structure without an image, holding the camera's values and a thumbnail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/core/ioparams.h"

// Reads the EXIF values of a block that starts with "Exif\0" into params and
// sets HasExif; the resolution goes to ExifXResolution, ExifYResolution and
// ExifResolutionUnit as stored (DpiX and DpiY are the caller's to decide). A
// JPEG thumbnail of at most 400 x 400 pixels lands, turned upright, in
// params.ExifThumbnail. False when the block is not EXIF. Damaged data keep
// the values read before the damage; nothing outside the block is read.
bool ParseExifBlock(const uint8_t* data, size_t length, TIOParamsVals& params);

// The data of an APP1 marker holding the EXIF values of params (little-endian,
// no thumbnail). The resolution is written per inch from ExifXResolution and
// ExifYResolution.
std::vector<uint8_t> BuildExifBlock(const TIOParamsVals& params);
