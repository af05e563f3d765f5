// Printing a picture at a position of a printer page, in inches.
#pragma once

#include <cstdint>

#include "imaging/core/pxprint.h"
#include "imaging/proc/resample.h"

class TPxBitmap;

// The rows y .. y + height - 1 of a rectangle of the bitmap as a bottom-up
// 1-, 8- or 24-bit bitmap with its colour table (a gray ramp for px8g).
// Other pixel formats are converted to 24 bits first.
TPxPackedDib PxMakePackedDib(TPxBitmap& bitmap, int32_t x, int32_t y, int32_t width,
                             int32_t height);

// Draws the bitmap into the rectangle (x, y, width, height), inches from the
// canvas origin. A picture reduced on paper is first resampled with
// printFilter to the device size and sent in bands of at most fileThreshold
// bytes of 24-bit rows; otherwise the printer stretches it. A canvas that
// keeps pictures (a PDF file) gets each direction reduced only as far as the
// device size and stretches the rest itself. gamma 1.0 (or 0) applies none.
void PxPrintBitmapAt(TPxBitmap& bitmap, TPxPrinterCanvas& canvas, double x, double y, double width,
                     double height, double gamma, TResampleFilter printFilter);
