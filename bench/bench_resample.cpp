// Resampling and quarter-turn speed on a 24-megapixel photo-sized picture.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "imaging/core/pxutils.h"
#include "imaging/proc/imagingproc.h"

namespace {

// A smooth picture with some noise, so that no row is trivially uniform.
const TPxBitmap& Source() {
  static TPxBitmap* pic = [] {
    auto* b = new TPxBitmap(6000, 4000, pxRGB24);
    std::mt19937 rng(1);
    for (int y = 0; y < b->Height(); ++y) {
      uint8_t* p = b->Scanline(y);
      for (int x = 0; x < b->Width(); ++x) {
        p[x * 3] = static_cast<uint8_t>((x / 23 + (rng() & 15)) & 255);
        p[x * 3 + 1] = static_cast<uint8_t>((y / 17 + (rng() & 15)) & 255);
        p[x * 3 + 2] = static_cast<uint8_t>(((x + y) / 31) & 255);
      }
    }
    return b;
  }();
  return *pic;
}

void BM_Resample(benchmark::State& state, int w, int h, TResampleFilter filter) {
  const TPxBitmap& src = Source();
  TPxBitmap work;
  work.Assign(src);
  TImagingProc proc(&work);
  proc.AutoUndo = false;
  for (auto _ : state) {
    TPxBitmap dst;
    proc.ResampleTo(dst, w, h, filter);
    benchmark::DoNotOptimize(dst.Scanline(0));
  }
}

void BM_Rotate90(benchmark::State& state) {
  TPxBitmap work;
  work.Assign(Source());
  TImagingProc proc(&work);
  proc.AutoUndo = false;
  for (auto _ : state) {
    proc.Rotate(90, true, 0, -1);
    benchmark::DoNotOptimize(work.Scanline(0));
  }
}

BENCHMARK_CAPTURE(BM_Resample, Lanczos3_1500x1000, 1500, 1000, rfLanczos3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Resample, FastLinear_1500x1000, 1500, 1000, rfFastLinear)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Resample, None_1500x1000, 1500, 1000, rfNone)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Resample, Lanczos3_12000x8000, 12000, 8000, rfLanczos3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Resample, FastLinear_12000x8000, 12000, 8000, rfFastLinear)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Resample, None_12000x8000, 12000, 8000, rfNone)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Rotate90)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
