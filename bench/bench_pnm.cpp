// PNM decoding of a whole photo (6000 x 4000) from memory, raw and plain, 8
// and 16 bits, and raw writing, in megapixels per second (bytes per second
// give the raw forms' distance from memory speed).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/formats/pnm.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// A file of the given magic and maximum with photo-like samples.
std::vector<uint8_t> MakeFile(int magic, int maxval, int width, int height) {
  const int samples = magic == 3 || magic == 6 ? 3 : 1;
  char header[64];
  const int n = std::snprintf(header, sizeof header, "P%d\n%d %d\n%d\n", magic, width, height, maxval);
  std::vector<uint8_t> f(header, header + n);
  uint32_t noise = 12345;
  std::string text;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < samples; ++c) {
        noise = noise * 1664525u + 1013904223u;
        const uint32_t v = ((x * 3 + y * 5 + c * 70 + (noise >> 28)) & 255) * maxval / 255;
        if (magic <= 3) {
          text = std::to_string(v);
          f.insert(f.end(), text.begin(), text.end());
          f.push_back(' ');
        } else if (maxval > 255) {
          f.push_back(static_cast<uint8_t>(v >> 8));
          f.push_back(static_cast<uint8_t>(v));
        } else {
          f.push_back(static_cast<uint8_t>(v));
        }
      }
    }
    if (magic <= 3) f.push_back('\n');
  }
  return f;
}

void Decode(benchmark::State& state, int magic, int maxval, int height) {
  const std::vector<uint8_t> file = MakeFile(magic, maxval, kWidth, height);
  TPxBitmap bitmap;
  for (auto _ : state) {
    TPxMemoryStream stream(file.data(), file.size());
    TIOParamsVals params;
    bool aborting = false;
    TPxProgress progress;
    progress.Aborting = &aborting;
    ReadPnmStream(stream, &bitmap, params, false, progress);
    if (aborting) state.SkipWithError("the read failed");
    benchmark::DoNotOptimize(bitmap.Scanline(0));
  }
  state.counters["MP/s"] = benchmark::Counter(double(kWidth) * height / 1e6, benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size()));
}

void BM_DecodeRawRgb8(benchmark::State& s) { Decode(s, 6, 255, kHeight); }
void BM_DecodeRawRgb8Max15(benchmark::State& s) { Decode(s, 6, 15, kHeight); }
void BM_DecodeRawRgb16(benchmark::State& s) { Decode(s, 6, 65535, kHeight); }
void BM_DecodeRawGray8(benchmark::State& s) { Decode(s, 5, 255, kHeight); }
// Plain files are large and slow to parse: a tenth of the photo.
void BM_DecodePlainRgb8(benchmark::State& s) { Decode(s, 3, 255, kHeight / 10); }

void BM_EncodeRawRgb8(benchmark::State& state) {
  const std::vector<uint8_t> file = MakeFile(6, 255, kWidth, kHeight);
  TPxMemoryStream in(file.data(), file.size());
  TPxBitmap bitmap;
  TIOParamsVals params;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  ReadPnmStream(in, &bitmap, params, false, progress);
  for (auto _ : state) {
    TPxMemoryStream out;
    out.Data().reserve(file.size());
    WritePnmStream(out, &bitmap, params, progress);
    benchmark::DoNotOptimize(out.Data().data());
  }
  state.counters["MP/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_DecodeRawRgb8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeRawRgb8Max15)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeRawRgb16)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeRawGray8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodePlainRgb8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EncodeRawRgb8)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
