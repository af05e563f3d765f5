// BMP decoding and encoding of a whole photo (6000 x 4000), in megapixels per
// second: 24-bit rows, 8-bit palette rows looked up into colour, and RLE8.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/formats/bmp.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// Smooth gradients with a little noise, as a photo has; `levels` colours per
// channel for the palette variants (runs of equal pixels, as RLE8 meets them).
std::unique_ptr<TPxBitmap> Photo(int levels) {
  auto b = std::make_unique<TPxBitmap>();
  b->Allocate(kWidth, kHeight, pxRGB24);
  uint32_t noise = 12345;
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int x = 0; x < kWidth; ++x) {
      noise = noise * 1664525u + 1013904223u;
      const int n = static_cast<int>((noise >> 24) & 7) - 4;
      const double fx = x / double(kWidth), fy = y / double(kHeight);
      int c[3] = {static_cast<int>(200 - 150 * fx * fy) + n, static_cast<int>(40 + 180 * fy) + n,
                  static_cast<int>(128 + 100 * std::sin(fx * 6.0 + fy * 2.0)) + n};
      for (int k = 0; k < 3; ++k) {
        int v = std::clamp(c[k], 0, 255);
        if (levels > 0) v = v * levels / 256 * (255 / std::max(levels - 1, 1));
        row[3 * x + k] = static_cast<uint8_t>(v);
      }
    }
  }
  return b;
}

std::vector<uint8_t> Encode(TPxBitmap& photo, int samples, int compression) {
  TPxMemoryStream s;
  TIOParamsVals params;
  params.SamplesPerPixel = samples;
  params.BmpCompression = static_cast<uint8_t>(compression);
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  WriteBmpStream(s, &photo, params, progress);
  return std::move(s.Data());
}

void SetRate(benchmark::State& state) {
  state.counters["MP/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kWidth * kHeight / 1e6, benchmark::Counter::kIsRate);
}

void Decode(benchmark::State& state, const std::vector<uint8_t>& file) {
  for (auto _ : state) {
    TPxMemoryStream s(file.data(), file.size());
    TPxBitmap bitmap;
    TIOParamsVals params;
    bool aborting = false;
    TPxProgress progress;
    progress.Aborting = &aborting;
    ReadBmpStream(s, &bitmap, params, 0, false, false, progress);
    if (aborting) state.SkipWithError("the read failed");
    benchmark::DoNotOptimize(bitmap.Scanline(0));
  }
  state.counters["file MB"] = static_cast<double>(file.size()) / 1e6;
  SetRate(state);
}

void BM_BmpDecode24(benchmark::State& state) {
  static const std::vector<uint8_t> file = Encode(*Photo(0), 3, 0);
  Decode(state, file);
}
BENCHMARK(BM_BmpDecode24)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BmpDecode8(benchmark::State& state) {
  static const std::vector<uint8_t> file = Encode(*Photo(6), 1, 0);
  Decode(state, file);
}
BENCHMARK(BM_BmpDecode8)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BmpDecodeRle8(benchmark::State& state) {
  static const std::vector<uint8_t> file = Encode(*Photo(6), 1, 1);
  Decode(state, file);
}
BENCHMARK(BM_BmpDecodeRle8)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BmpEncode24(benchmark::State& state) {
  static const std::unique_ptr<TPxBitmap> photo = Photo(0);
  for (auto _ : state) {
    std::vector<uint8_t> file = Encode(*photo, 3, 0);
    benchmark::DoNotOptimize(file.data());
  }
  SetRate(state);
}
BENCHMARK(BM_BmpEncode24)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
