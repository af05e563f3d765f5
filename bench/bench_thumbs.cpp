// The thumbnail grid while it scrolls: time to paint a frame of a 1000-entry
// grid of 128 x 128 cells in an 800 x 156 client, every entry stored; and the
// peak resident memory (above an empty grid) while a 2000-entry grid with
// ImageCacheSize 100 is scrolled from end to end.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "browse/imagingmview.h"
#include "imaging/core/pxutils.h"
#include "imaging/view/pxhost.h"

namespace {

void Noise(TPxBitmap& b, uint32_t seed) {
  uint32_t s = seed;
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* p = b.Scanline(y);
    for (int x = 0; x < b.Width() * 3; ++x) {
      s = s * 1664525u + 1013904223u;
      p[x] = static_cast<uint8_t>(s >> 24);
    }
  }
}

// A grid as the program sets it up, every entry holding a stored picture.
std::unique_ptr<TImagingMView> MakeGrid(TPxNoScreenHost& host, int entries, int cacheSize) {
  auto grid = std::make_unique<TImagingMView>();
  grid->AttachHost(&host);
  grid->SetStoreType(pxtThumb);
  grid->SetThumbWidth(128);
  grid->SetThumbHeight(128);
  grid->SetImageCacheSize(cacheSize);
  grid->SetGridWidth(-1);
  grid->HostResized(800, 156, 804, 160);
  TPxBitmap picture;
  picture.Allocate(128, 96, pxRGB24);
  grid->LockUpdate();
  for (int i = 0; i < entries; ++i) {
    grid->InsertImageNoSelect(i);
    Noise(picture, uint32_t(i + 1));
    grid->SetImage(i, &picture);
  }
  grid->UnlockUpdate();
  return grid;
}

void Frame(TImagingMView& grid, int32_t y) {
  grid.SetViewY(y);
  grid.Invalidate();
  benchmark::DoNotOptimize(grid.HostPaint(0, 0, grid.ClientWidth(), grid.ClientHeight()));
}

// Kilobytes of a line of /proc/self/status ("VmRSS:", "VmHWM:").
long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
  return -1;
}

// Writing 5 to clear_refs resets the process's peak resident size.
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

void BM_ScrollPeakMemory(benchmark::State& state) {
  for (auto _ : state) {
    TPxNoScreenHost host;
    long base = 0, peak = 0;
    {
      TImagingMView empty;
      empty.AttachHost(&host);
      empty.HostResized(800, 156, 804, 160);
      empty.HostPaint(0, 0, 800, 156);
      ResetPeak();
      base = StatusKb("VmRSS:");
    }
    auto grid = MakeGrid(host, int(state.range(0)), 100);
    state.counters["filled_MB_above_empty"] = double(StatusKb("VmHWM:") - base) / 1024.0;
    const int32_t step = grid->ThumbHeight() + grid->VertBorder();
    for (int32_t y = 0; y <= grid->MaxViewY() + step; y += step / 4) Frame(*grid, y);
    peak = StatusKb("VmHWM:");
    state.counters["peak_MB_above_empty"] = double(peak - base) / 1024.0;
  }
}
BENCHMARK(BM_ScrollPeakMemory)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ScrollFrame(benchmark::State& state) {
  TPxNoScreenHost host;
  auto grid = MakeGrid(host, int(state.range(0)), 100);
  const int32_t step = grid->ThumbHeight() + grid->VertBorder();
  const int32_t end = grid->MaxViewY();
  int32_t y = 0, dir = step / 4;
  for (auto _ : state) {
    Frame(*grid, y);
    y += dir;
    if (y > end || y < 0) dir = -dir, y += 2 * dir;
  }
}
BENCHMARK(BM_ScrollFrame)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
