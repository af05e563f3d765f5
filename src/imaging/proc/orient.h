// Turning a picture upright by the orientation a camera recorded (the eight
// values of the EXIF and TIFF orientation tag).
#pragma once

#include "imaging/core/pxutils.h"

// Turns bitmap so that a picture stored with `orientation` shows upright:
// 2 mirror left-right, 3 half turn, 4 mirror top-bottom, 5 mirror along the
// main diagonal, 6 quarter turn clockwise, 7 mirror along the other diagonal,
// 8 quarter turn counter-clockwise. Other values and empty bitmaps are left
// alone. Every pixel format of whole bytes, and 1-bit pictures; the alpha
// plane turns with the picture. False when the turned picture could not be
// allocated (bitmap unchanged).
bool PxApplyOrientation(TPxBitmap& bitmap, int orientation);
// The same for a mask of 1 or 8 bits (an alpha mask that travels beside its
// picture); its bounding box follows.
bool PxApplyOrientation(TPxMask& mask, int orientation);
