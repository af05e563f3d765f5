// Printing a picture at a position of a printer page, in inches.
#pragma once

#include <cstdint>

#include "imaging/core/pxprint.h"
#include "imaging/core/pxutils.h"
#include "imaging/proc/resample.h"

// The rows y .. y + height - 1 of a rectangle of the bitmap as a bottom-up
// 1-, 8- or 24-bit bitmap with its colour table (a gray ramp for px8g).
// Other pixel formats are converted to 24 bits first.
TPxPackedDib PxMakePackedDib(TPxBitmap& bitmap, int32_t x, int32_t y, int32_t width,
                             int32_t height);

// A rectangle of device pixels of a printer canvas.
struct TPxDeviceRect {
  int32_t X = 0, Y = 0, W = 0, H = 0;
  bool operator==(const TPxDeviceRect&) const = default;
};

// The device pixels that a rectangle in inches from the canvas origin
// covers: where PxPrintBitmapAt puts a picture given that rectangle.
TPxDeviceRect PxDeviceRect(const TPxPrinterCanvas& canvas, double x, double y, double width,
                           double height);

// Fills a device rectangle with one colour, as one transfer.
void PxFillDeviceRect(TPxPrinterCanvas& canvas, const TPxDeviceRect& rect, TBGR color);

// Draws the bitmap into the rectangle (x, y, width, height), inches from the
// canvas origin. A picture reduced on paper is first resampled with
// printFilter to the device size and sent in bands of at most fileThreshold
// bytes of 24-bit rows; otherwise the printer stretches it. A canvas that
// keeps pictures (a PDF file) gets each direction reduced only as far as the
// device size and stretches the rest itself. gamma 1.0 (or 0) applies none.
void PxPrintBitmapAt(TPxBitmap& bitmap, TPxPrinterCanvas& canvas, double x, double y, double width,
                     double height, double gamma, TResampleFilter printFilter);
