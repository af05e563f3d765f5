// Cut guides: thin black marks that continue the edges of each printed
// picture outward from its corners, so that a sheet of pictures of mixed
// sizes can be cut apart cleanly along them.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/io/printimage.h"

// The marks for pictures at the given device rectangles: at each corner one
// stroke along the top or bottom edge's line and one along the side's, a
// quarter inch long and a hundredth of an inch (at least one pixel) thick,
// lying just on the picture's side of the cut. A stroke stops short of any
// picture in its way, so that no mark covers a picture; one with no room
// is left out.
std::vector<TPxDeviceRect> CutGuideMarks(const std::vector<TPxDeviceRect>& pictures, int32_t dpiX,
                                         int32_t dpiY);

// Prints those marks in black onto the canvas.
void PrintCutGuides(TPxPrinterCanvas& canvas, const std::vector<TPxDeviceRect>& pictures);
