// The print preview's printing onto a picture of the paper: a 24-megapixel
// photo printed into a 6 x 4 inch area of a letter page, at the screen's
// resolution (the photo reduced first, as for any printer) and at 600 dpi
// (the photo stretched by the page's own transfer), and the transfer alone.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "benchphoto.h"
#include "imaging/core/pxbitmapprint.h"
#include "imaging/core/pxutils.h"
#include "imaging/io/printimage.h"

namespace {

TPxBitmap& Photo() {
  static std::unique_ptr<TPxBitmap> photo = PxBenchPhoto();
  return *photo;
}

void BM_PreviewPhotoOnPage(benchmark::State& state) {
  const int32_t dpi = int32_t(state.range(0));
  TPxBitmap& photo = Photo();
  for (auto _ : state) {
    TPxBitmapPrintJob job(TPxPaper{}, dpi);
    job.BeginDoc();
    PxPrintBitmapAt(photo, job.Canvas(), 1.25, 1, 6, 4, 1.0, rfFastLinear);
    job.EndDoc();
    benchmark::DoNotOptimize(job.Page().Scanline(0));
  }
  state.SetItemsProcessed(state.iterations() * int64_t(photo.Width()) * photo.Height());
}
BENCHMARK(BM_PreviewPhotoOnPage)->Arg(96)->Arg(600)->Unit(benchmark::kMillisecond)->UseRealTime();

// The transfer itself: the whole photo stretched onto 3600 x 2400 page pixels.
void BM_StretchDibOntoPage(benchmark::State& state) {
  TPxBitmap& photo = Photo();
  const TPxPackedDib dib = PxMakePackedDib(photo, 0, 0, photo.Width(), photo.Height());
  TPxBitmap page(5100, 6600, pxRGB24);
  for (auto _ : state) {
    PxStretchDibOnto(page, dib, 750, 600, 3600, 2400, 0, 0, dib.Width, dib.Height);
    benchmark::DoNotOptimize(page.Scanline(600));
  }
  state.SetItemsProcessed(state.iterations() * 3600 * 2400);
}
BENCHMARK(BM_StretchDibOntoPage)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
