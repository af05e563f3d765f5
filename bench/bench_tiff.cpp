// TIFF decoding of a 24-megapixel LZW photo (with the predictor, as image
// editors write it) and of a 2480 x 3508 Group 4 page (A4 at 300 dpi), and
// their encoding, in megapixels per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <memory>
#include <vector>

#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/tiff.h"

#include "benchphoto.h"

namespace {

// The 6000 x 4000 stand-in for a photo.
std::unique_ptr<TPxBitmap> Photo() { return PxBenchPhoto(); }

// A text page: lines of word-like black blocks on white.
std::unique_ptr<TPxBitmap> Page() {
  auto b = std::make_unique<TPxBitmap>();
  b->Allocate(2480, 3508, px1g);
  b->Fill(1);
  uint32_t r = 7;
  for (int line = 300; line + 40 < 3300; line += 60) {
    for (int x = 250; x < 2230;) {
      r = r * 1664525u + 1013904223u;
      const int word = 30 + static_cast<int>((r >> 24) % 120);
      for (int y = line; y < line + 36; ++y)
        for (int i = x; i < std::min(x + word, 2230); ++i)
          if (((i * 7 + y * 3) % 11) < 8) b->Scanline(y)[i >> 3] &= static_cast<uint8_t>(~(0x80 >> (i & 7)));
      x += word + 25;
    }
  }
  return b;
}

std::vector<uint8_t> Encode(TPxBitmap& b, int compression) {
  TPxMemoryStream s;
  TIOParamsVals params;
  params.TiffCompression = compression;
  params.BitsPerSample = b.PixelFormat() == px1g ? 1 : 8;
  params.SamplesPerPixel = b.PixelFormat() == px1g ? 1 : 3;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  WriteTiffStream(s, &b, nullptr, progress, params);
  return std::move(s.Data());
}

void Decode(benchmark::State& state, const std::vector<uint8_t>& file, double megapixels) {
  for (auto _ : state) {
    TPxMemoryStream s(file.data(), file.size());
    TPxBitmap b;
    TIOParamsVals params;
    std::unique_ptr<TPxMask> mask;
    int pages = 0;
    bool aborting = false;
    TPxProgress progress;
    progress.Aborting = &aborting;
    ReadTiffStream(&b, s, pages, false, false, mask, false, progress, params);
    if (aborting) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(b.Scanline(0));
  }
  state.counters["MP/s"] = benchmark::Counter(megapixels, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_DecodeLzwPhoto(benchmark::State& state) {
  static const std::vector<uint8_t> file = [] {
    auto p = Photo();
    return Encode(*p, 5);
  }();
  Decode(state, file, 24.0);
}
BENCHMARK(BM_DecodeLzwPhoto)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeG4Page(benchmark::State& state) {
  static const std::vector<uint8_t> file = [] {
    auto p = Page();
    return Encode(*p, 4);
  }();
  Decode(state, file, 2480.0 * 3508 / 1e6);
}
BENCHMARK(BM_DecodeG4Page)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EncodeLzwPhoto(benchmark::State& state) {
  static auto photo = Photo();
  for (auto _ : state) benchmark::DoNotOptimize(Encode(*photo, 5).size());
  state.counters["MP/s"] = benchmark::Counter(24.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_EncodeLzwPhoto)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EncodeG4Page(benchmark::State& state) {
  static auto page = Page();
  for (auto _ : state) benchmark::DoNotOptimize(Encode(*page, 4).size());
  state.counters["MP/s"] = benchmark::Counter(2480.0 * 3508 / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_EncodeG4Page)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

// With PICTROVA_BENCH_TIFF_DIR set, the stand-in photo is first saved there
// uncompressed, as photo.tif, so that bench/compare_codecs.sh can time other
// decoders on the same picture (--benchmark_list_tests=true then runs nothing).
int main(int argc, char** argv) {
  if (const char* dir = std::getenv("PICTROVA_BENCH_TIFF_DIR")) {
    auto photo = Photo();
    const std::vector<uint8_t> file = Encode(*photo, 0);
    TPxFileStream out(std::string(dir) + "/photo.tif", TPxFileStream::fmCreate);
    if (!out.WriteExact(file.data(), static_cast<int64_t>(file.size())) || !out.Close()) return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
