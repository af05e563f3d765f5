#include "app/preview.h"

#include <algorithm>
#include <cmath>

#include "app/layout.h"
#include "imaging/core/pxbitmapprint.h"
#include "imaging/core/pxutils.h"

void XaRenderPreview(XaLayout& layout, const TPxPaper& paper, int32_t dpi, TPxBitmap& page) {
  TPxBitmapPrintJob job(paper, dpi);
  layout.PrintPage(job);
  page.TakeOver(job.Page());
}

void XaShadeMargins(TPxBitmap& page, const TPxPaper& paper, int32_t dpi) {
  if (page.PixelFormat() != pxRGB24) return;
  const int32_t w = page.Width(), h = page.Height();
  auto pixels = [dpi](double inches) { return int32_t(std::lround(std::max(0.0, inches) * dpi)); };
  const int32_t left = std::min(w, pixels(paper.MarginLeft));
  const int32_t right = std::max(left, w - pixels(paper.MarginRight));
  const int32_t top = std::min(h, pixels(paper.MarginTop));
  const int32_t bottom = std::max(top, h - pixels(paper.MarginBottom));
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = page.Scanline(y);
    const bool wholeRow = y < top || y >= bottom;
    auto shade = [row](int32_t from, int32_t to) {
      for (uint8_t* p = row + size_t(from) * 3; p < row + size_t(to) * 3; ++p) *p = uint8_t((*p + 128) / 2);
    };
    if (wholeRow) {
      shade(0, w);
    } else {
      shade(0, left);
      shade(right, w);
    }
  }
}
