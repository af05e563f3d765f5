// PNG decoding and encoding of a whole photo (6000 x 4000), in megapixels per
// second, and the turn file's fast form (level 1, sub filter) with the
// processor time of all threads, as the compressors' levels compare on it.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/io/imagingio.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/png.h"
#include "imaging/formats/pngdeflate.h"

#include "benchphoto.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// The 6000 x 4000 stand-in for a photo.
const TPxBitmap& Photo() {
  static const std::unique_ptr<TPxBitmap> photo = PxBenchPhoto();
  return *photo;
}

std::vector<uint8_t> Encode(const TPxBitmap& photo, int level = -1) {
  TPxMemoryStream s;
  TIOParamsVals params;
  if (level >= 0) {
    // As the placement writes its turn file.
    params.PngCompression = level;
    params.PngFilter = 1;
  }
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  WritePngStream(s, const_cast<TPxBitmap*>(&photo), params, nullptr, progress);
  return std::move(s.Data());
}

void SetRate(benchmark::State& state) {
  state.counters["MP/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kWidth * kHeight / 1e6, benchmark::Counter::kIsRate);
}

void BM_PngEncode(benchmark::State& state) {
  const TPxBitmap& photo = Photo();
  size_t bytes = 0;
  for (auto _ : state) {
    std::vector<uint8_t> file = Encode(photo);
    bytes = file.size();
    benchmark::DoNotOptimize(file.data());
  }
  state.counters["file MB"] = static_cast<double>(bytes) / 1e6;
  SetRate(state);
}
BENCHMARK(BM_PngEncode)->Unit(benchmark::kMillisecond)->UseRealTime();

// The turn file: level 1 with the sub filter, compressed on all cores.
void BM_PngEncodeTurnFile(benchmark::State& state) {
  const TPxBitmap& photo = Photo();
  size_t bytes = 0;
  for (auto _ : state) {
    std::vector<uint8_t> file = Encode(photo, 1);
    bytes = file.size();
    benchmark::DoNotOptimize(file.data());
  }
  state.counters["file MB"] = static_cast<double>(bytes) / 1e6;
  SetRate(state);
}
BENCHMARK(BM_PngEncodeTurnFile)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// The sub-filtered rows alone at each level (1 to 4), to choose the level by:
// "ratio" is the stream's size over the rows'.
void BM_DeflateSubRows(benchmark::State& state) {
  const TPxBitmap& photo = Photo();
  const int level = static_cast<int>(state.range(0));
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    const bool ok = PxDeflatePngRows(
        kHeight, size_t(kWidth) * 3, 3, 1, level, level == 1 ? Z_RLE : Z_DEFAULT_STRATEGY,
        [&](int y, uint8_t* out) {
          const uint8_t* bgr = photo.Scanline(y);
          for (int x = 0; x < kWidth; ++x, bgr += 3, out += 3)
            out[0] = bgr[2], out[1] = bgr[1], out[2] = bgr[0];
        },
        [&](const uint8_t*, size_t n) {
          bytes += n;
          return true;
        });
    if (!ok) state.SkipWithError("compression failed");
  }
  state.counters["ratio"] = static_cast<double>(bytes) / (double(kWidth) * 3 + 1) / kHeight;
  SetRate(state);
}
BENCHMARK(BM_DeflateSubRows)
    ->DenseRange(1, 4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_PngDecode(benchmark::State& state) {
  const std::vector<uint8_t> file = Encode(Photo());
  for (auto _ : state) {
    TPxMemoryStream s(file);
    TPxBitmap bitmap;
    TIOParamsVals params;
    std::unique_ptr<TPxMask> mask;
    bool aborting = false;
    TPxProgress progress;
    progress.Aborting = &aborting;
    ReadPngStream(s, &bitmap, params, false, mask, false, progress);
    if (aborting) state.SkipWithError("decoding failed");
    benchmark::DoNotOptimize(bitmap.Scanline(0));
  }
  SetRate(state);
}
BENCHMARK(BM_PngDecode)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
