// How sharply each placed picture prints: its pixels per inch at the size its
// area's layer has on the page (after the turn, the fit and any resizing),
// and the warnings drawn from that figure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class XaLayout;

// Fewer picture pixels per printed inch than this look soft at arm's length.
inline constexpr int32_t kLowResolutionPpi = 150;

// Pixels per inch, rounded, of a picture of pixelWidth x pixelHeight printed
// over pageWidth x pageHeight page pixels (100 to the inch): the smaller of
// the two directions, where the print is softer. 0 when either size is empty.
int32_t XaPrintResolution(int32_t pixelWidth, int32_t pixelHeight, int32_t pageWidth,
                          int32_t pageHeight);

// The figure of the area's picture at its layer's present size; 0 for an
// area without a picture (or an index outside the layout).
int32_t XaAreaResolution(const XaLayout& layout, int32_t areaIndex);

// The area holds a picture that prints below kLowResolutionPpi.
bool XaLowResolution(const XaLayout& layout, int32_t areaIndex);

// "8x10: 420 pixels per inch" for an area with a picture, with the warning's
// ending below kLowResolutionPpi; empty for one without.
std::string XaAreaResolutionText(const XaLayout& layout, int32_t areaIndex);

// "\"8x10\" prints at 50 pixels per inch, fewer than 150: it may look
// blurred." for an area below kLowResolutionPpi; empty for any other.
std::string XaLowResolutionWarning(const XaLayout& layout, int32_t areaIndex);

// The warnings of every area below kLowResolutionPpi, in area order.
std::vector<std::string> XaLowResolutionWarnings(const XaLayout& layout);

// Gives each area layer of a low-resolution picture the page view's warning
// badge, its warning as the badge's text, and takes it from every other area
// layer; the view is updated when a badge changed.
void XaMarkLowResolution(XaLayout& layout);
