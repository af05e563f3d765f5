// Drawing into a view's 24-bit back buffer: a bitmap of any pixel format
// scaled into a rectangle (RenderTo), the background styles, the dotted layer
// box and the grips.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/view/pxview.h"
#include "imaging/proc/resample.h"

// Scratch memory kept between draws so that composing a buffer allocates nothing.
struct TPxRenderScratch {
  std::vector<int32_t> Columns, Rows;
  std::vector<uint8_t> Pixels, Alpha;
  std::unique_ptr<TPxBitmap> Part, Scaled;
};

struct TPxRenderParams {
  uint8_t BlendMode = 0;  // 0 replace, 1 add (clamped)
  TResampleFilter Filter = rfNone;
  int32_t Opacity = 255;  // 0..255
  // Set for the first layer over a solid background.
  bool FirstLayer = false;
  // Blend by the source's alpha plane.
  bool UseAlpha = false;
  // Source rectangle in source pixels, destination rectangle in buffer pixels.
  int32_t SourceLeft = 0, SourceTop = 0, SourceWidth = 0, SourceHeight = 0;
  int32_t DestLeft = 0, DestTop = 0, DestWidth = 0, DestHeight = 0;
  // Only this part of the destination is drawn; empty = the whole buffer.
  TRect Clip;
  // Cached maps, indexed by destination column / row (0 .. buffer size - 1):
  // the source column / row drawn there, negative where nothing is. Used
  // instead of computing the maps when given.
  const int32_t* ColumnMap = nullptr;
  const int32_t* RowMap = nullptr;
};

// Draws a rectangle of `source` into a rectangle of `destination` (pxRGB24).
// Nearest-pixel mapping through integer column and row maps, or a resample
// with Filter when the sizes differ and the source is 1 or 24 bits. Pixels
// of every format are converted to colour on the way (16-bit gray and float
// through the source's display range), display adjustments applied; with an
// opacity below 255 or alpha the colour is blended as
// d + ((t * (c - d)) >> 8), t = min(opacity, alpha).
void RenderTo(TPxBitmap& source, TPxBitmap& destination, const TPxRenderParams& params,
              TPxRenderScratch* scratch = nullptr);

// Paints the whole buffer in one of the background styles; image is where
// the picture lies (used by the framing styles).
void PxDrawBackground(TPxBitmap& buffer, TPxBackgroundStyle style, TColor color,
                      TColor gradientEnd, int32_t chessboardSize, const TRect& image);
// A dotted rectangle outline (every other pixel inverted) on r, right and
// bottom edges at r.Right - 1 and r.Bottom - 1.
void PxDrawDottedBox(TPxBitmap& buffer, const TRect& r);
// A dotted line from (x0, y0) up to but not including (x1, y1), every other
// pixel inverted; phase carries the dot pattern from one segment to the next.
void PxDrawDottedLine(TPxBitmap& buffer, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t& phase);
// An 8 x 8 square from centre - 4 to centre + 3: black border, white fill.
void PxDrawGrip(TPxBitmap& buffer, int32_t cx, int32_t cy);
// Fills a rectangle (clipped to the buffer) with one colour.
void PxFillRect(TPxBitmap& buffer, TRect r, TColor color);

// Side of a warning badge in buffer pixels: the same at every zoom, so that
// it reads on a small page and hides little of a large one.
inline constexpr int32_t kPxBadgeSize = 18;
// Where the badge of a rectangle (a layer on screen, an area on a page
// picture) goes: inside its top-right corner, 3 pixels from both edges.
TRect PxBadgeRect(const TRect& owner);
// A warning mark filling r (kPxBadgeSize square): an amber triangle outlined
// in black with a black "!", clipped to the buffer.
void PxDrawWarningBadge(TPxBitmap& buffer, const TRect& r);
