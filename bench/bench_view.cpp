// The page view's drawing: the letter sheet with nine area pictures fitted
// into a window, composed in full and repainted from the back buffer.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "imaging/core/pxutils.h"
#include "imaging/view/imagingview.h"

namespace {

void Noise(TPxBitmap& b, uint32_t seed) {
  uint32_t s = seed;
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* p = b.Scanline(y);
    for (int x = 0; x < b.Width() * 3; ++x) {
      s = s * 1664525u + 1013904223u;
      p[x] = static_cast<uint8_t>((s >> 24) ^ (x + y));
    }
  }
}

// The sheet and a three-by-three grid of wallet-size areas, each showing a
// picture of its own size, in an 800 x 700 window with a 2-pixel border.
std::unique_ptr<TImagingVect> MakePage(TResampleFilter filter) {
  auto view = std::make_unique<TImagingVect>();
  view->SetLayersSync(false);
  view->SetBackground(clNavy);
  view->SetAutoFit(true);
  view->SetMouseInteract(miMoveLayers | miResizeLayers);
  view->ZoomFilter = filter;
  view->HostResized(796, 696, 800, 700);
  view->Bitmap()->Allocate(850, 1100, pxRGB24);
  Noise(*view->Bitmap(), 1);
  for (int i = 0; i < 9; ++i) {
    const int index = view->AddLayer();
    view->Bitmap()->Allocate(250, 330, pxRGB24);
    Noise(*view->Bitmap(), 100 + i);
    view->Layer(index)->Left = 50 + (i % 3) * 260;
    view->Layer(index)->Top = 50 + (i / 3) * 340;
  }
  view->SetCurrentLayer(5);
  view->Update();
  return view;
}

void BM_ComposePage(benchmark::State& state) {
  auto view = MakePage(rfNone);
  for (auto _ : state) {
    view->Invalidate();
    benchmark::DoNotOptimize(view->HostPaint(0, 0, 796, 696));
  }
  state.counters["zoom"] = view->Zoom();
}
BENCHMARK(BM_ComposePage)->Unit(benchmark::kMillisecond);

void BM_ComposePageFiltered(benchmark::State& state) {
  auto view = MakePage(rfTriangle);
  for (auto _ : state) {
    view->Invalidate();
    benchmark::DoNotOptimize(view->HostPaint(0, 0, 796, 696));
  }
}
BENCHMARK(BM_ComposePageFiltered)->Unit(benchmark::kMillisecond);

void BM_RepaintUpToDate(benchmark::State& state) {
  auto view = MakePage(rfNone);
  view->HostPaint(0, 0, 796, 696);
  for (auto _ : state) benchmark::DoNotOptimize(view->HostPaint(0, 0, 796, 696));
}
BENCHMARK(BM_RepaintUpToDate)->Unit(benchmark::kMicrosecond);

// One step of dragging an area: move, update, compose.
void BM_DragStep(benchmark::State& state) {
  auto view = MakePage(rfNone);
  const TRect r = view->Layer(5)->ScreenRect;
  int x = (r.Left + r.Right) / 2, y = (r.Top + r.Bottom) / 2;
  view->HostMouseDown(mbLeft, ssLeft, x, y);
  int dir = 1;
  for (auto _ : state) {
    x += dir;
    if (x > r.Right || x < r.Left) dir = -dir;
    view->HostMouseMove(ssLeft, x, y);
    benchmark::DoNotOptimize(view->HostPaint(0, 0, 796, 696));
  }
  view->HostMouseUp(mbLeft, 0, x, y);
}
BENCHMARK(BM_DragStep)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
