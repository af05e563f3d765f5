// The print preview: the page printed as Print sends it, onto a picture of
// the paper instead of a printer.
#pragma once

#include <cstdint>

#include "imaging/core/pxprint.h"

class TPxBitmap;
class XaLayout;

// Prints the layout's page (its cut guides included when it prints them)
// onto a white picture of the paper at dpi, 24 bits, and hands it to page.
// Fails as PrintPage does.
void XaRenderPreview(XaLayout& layout, const TPxPaper& paper, int32_t dpi, TPxBitmap& page);

// Shades the paper's unprintable margins on such a picture: what lies there
// is darkened towards gray, so that it shows what the printer will leave out.
void XaShadeMargins(TPxBitmap& page, const TPxPaper& paper, int32_t dpi);
