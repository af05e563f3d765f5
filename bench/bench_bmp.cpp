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

#include "benchphoto.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// The stand-in for a photo; `levels` colours per channel for the palette
// variants (runs of equal pixels, as RLE8 meets them).
std::unique_ptr<TPxBitmap> Photo(int levels) { return PxBenchPhoto(kWidth, kHeight, levels); }

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
