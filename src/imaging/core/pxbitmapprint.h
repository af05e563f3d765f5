// A print job whose page is a picture: the page printed onto a white
// TPxBitmap of the paper's size at a given resolution instead of a printer,
// through the same transfers a printer gets. It shows a page as it prints.
#pragma once

#include <memory>

#include "imaging/core/pxprint.h"
#include "imaging/core/pxutils.h"

class TPxBitmapPrintJob : public TPxPrintJob {
 public:
  TPxBitmapPrintJob(const TPxPaper& paper, int32_t dpi);
  ~TPxBitmapPrintJob() override;

  // Makes the white page; TPxPrintError when it cannot be held.
  void BeginDoc() override;
  TPxPrinterCanvas& Canvas() override;
  void EndDoc() override;
  // Drops the page: Page() is empty afterwards.
  void Abort() override;
  TPxPaper Paper() const override { return paper_; }

  // The printed page: round(paper inches x dpi) pixels each way, 24 bits.
  TPxBitmap& Page() { return page_; }

 private:
  class PageCanvas;
  TPxPaper paper_;
  int32_t dpi_;
  TPxBitmap page_;
  std::unique_ptr<PageCanvas> canvas_;
};

// Draws the source rectangle of dib into the device rectangle of a 24-bit
// bitmap as a printer does with COLORONCOLOR: each target pixel takes the
// source pixel under its centre, rows and columns dropped or repeated,
// nothing blended. The rectangle is clipped to the bitmap.
void PxStretchDibOnto(TPxBitmap& target, const TPxPackedDib& dib, int32_t destX, int32_t destY,
                      int32_t destW, int32_t destH, int32_t srcX, int32_t srcY, int32_t srcW,
                      int32_t srcH);
