// Rotation kernels over raw rows: quarter turns, the three-shear rotation and
// the nearest-pixel rotation of 1-bit images.
#pragma once

#include <cstdint>

#include "imaging/proc/resample.h"

// Number of counter-clockwise quarter turns (0..3) and the residual angle in
// degrees (-45 .. 45) of an angle: a = trunc(angle * 1000) mod 360000 keeping
// the sign, then quarter turns until the rest lies within 45 degrees.
void PxSplitAngle(double angle, int& quarterTurns, double& residual);

// Turns src by quarterTurns counter-clockwise quarter turns (1, 2 or 3) into
// dst, whose size must be the turned size. Whole pixels of bytesPerPixel bytes
// (1 to 8) are moved; bitsPerPixel 1 moves single bits.
void PxRotateQuarter(const TPxRows& src, const TPxRows& dst, int bitsPerPixel, int quarterTurns);

// Size of the three-shear rotation of a w x h image by a residual angle.
struct TPxShearSize {
  double T = 0, S = 0;   // shear factors |tan(c / 2)| and |sin c|
  int M = 0;             // width after the first shear
  int O = 0;             // height after the second shear
  int HCut = 0;          // rows of the second shear left out on each side
  int TCut = 0;          // columns the third shear starts to the left
  int Width = 0, Height = 0;  // the result
};
TPxShearSize PxShearSize(int w, int h, double residual);

// Three-shear rotation by a residual angle (-45 .. 45, positive counter-
// clockwise) of pixels with `bytesPerPixel` bytes. With `blend` each byte is
// treated as an 8-bit channel and weighted in 1/4096 units; without it pixels
// are moved whole. `background` holds one pixel. dst must have the size of
// PxShearSize and is overwritten completely.
void PxRotateShear(const TPxRows& src, const TPxRows& dst, int bytesPerPixel, double residual,
                   bool blend, const uint8_t* background);

// Nearest-pixel rotation by any angle (positive counter-clockwise) about the
// centre, sine and cosine truncated to 1/10000, of a 1-bit image (or of an
// 8-bit plane when bitsPerPixel is 8). Pixels from outside the source become
// `outside` (for 1 bit: set when non-zero).
void PxRotate1BitAny(const TPxRows& src, const TPxRows& dst, double angle, uint8_t outside,
                     int bitsPerPixel = 1);
// Destination size of PxRotate1BitAny.
void PxRotate1BitSize(int w, int h, double angle, int& dw, int& dh);
