// JPEG decoding (full size and 1/8) and encoding at quality 96 of a
// 6000 x 4000 photo-like picture, in memory.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "imaging/io/imagingio.h"
#include "imaging/core/ioparams.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/jpeg.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// Smooth colour fields with fine noise and a few hard edges: close to what a
// camera gives the coder to do.
TPxBitmap& Photo() {
  static TPxBitmap* photo = [] {
    auto* bmp = new TPxBitmap();
    if (!bmp->Allocate(kWidth, kHeight, pxRGB24)) std::abort();
    unsigned state = 12345;
    for (int y = 0; y < kHeight; ++y) {
      uint8_t* row = bmp->Scanline(y);
      for (int x = 0; x < kWidth; ++x) {
        state = state * 1664525u + 1013904223u;
        const int noise = int(state >> 28) - 8;
        const double u = x / double(kWidth), v = y / double(kHeight);
        const int edge = ((x / 700) + (y / 500)) % 3 == 0 ? 40 : 0;
        row[3 * x] = uint8_t(std::clamp(int(128 + 100 * std::sin(6 * u + 2 * v)) + noise, 0, 255));
        row[3 * x + 1] = uint8_t(std::clamp(int(120 + 90 * std::cos(5 * v - u)) + noise + edge, 0, 255));
        row[3 * x + 2] = uint8_t(std::clamp(int(200 * u * v + 30) + noise - edge, 0, 255));
      }
    }
    return bmp;
  }();
  return *photo;
}

std::string Encode(TPxBitmap& bmp, int quality) {
  TIOParamsVals params;
  params.JpegQuality = quality;
  TPxMemoryStream stream;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  WriteJpegStream(stream, &bmp, params, progress);
  if (aborting) std::abort();
  return std::string(stream.Data().begin(), stream.Data().end());
}

const std::string& PhotoJpeg() {
  static const std::string bytes = Encode(Photo(), 96);
  return bytes;
}

void Decode(benchmark::State& state, uint8_t scale) {
  const std::string& bytes = PhotoJpeg();
  TPxBitmap bmp;
  for (auto _ : state) {
    TPxMemoryStream stream(bytes.data(), bytes.size());
    TIOParamsVals params;
    params.JpegScale = scale;
    bool aborting = false;
    TPxProgress progress;
    progress.Aborting = &aborting;
    ReadJpegStream(stream, nullptr, &bmp, true, false, true, false, false, progress, params);
    if (aborting) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(bmp.Scanline(0));
  }
  state.counters["MPix/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6 * state.iterations(),
                                                benchmark::Counter::kIsRate);
  state.counters["file MB"] = double(bytes.size()) / 1e6;
}

void BM_JpegDecodeFull(benchmark::State& state) { Decode(state, 1); }
void BM_JpegDecodeEighth(benchmark::State& state) { Decode(state, 4); }

void BM_JpegEncodeQ96(benchmark::State& state) {
  TPxBitmap& bmp = Photo();
  size_t size = 0;
  for (auto _ : state) size = Encode(bmp, 96).size();
  state.counters["MPix/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6 * state.iterations(),
                                                benchmark::Counter::kIsRate);
  state.counters["file MB"] = double(size) / 1e6;
}

BENCHMARK(BM_JpegDecodeFull)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_JpegDecodeEighth)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_JpegEncodeQ96)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
