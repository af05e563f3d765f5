// GIF decoding of a 2000 x 2000 picture of 256 colours, in megapixels per
// second: a photo with the grain that dithering to a palette leaves (many
// short strings, the hard case for LZW), the same smooth (long strings),
// interlaced, and ImageMagick's dithered plasma (when it is installed: the
// file the other decoders are timed on). Also the writing of the grainy one,
// palette making included.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/formats/gif.h"

namespace {

constexpr int kSide = 2000;

// Gradients as a photo has, with `grain` levels of noise on each channel.
std::unique_ptr<TPxBitmap> Photo(int grain) {
  auto b = std::make_unique<TPxBitmap>();
  b->Allocate(kSide, kSide, pxRGB24);
  uint32_t noise = 12345;
  for (int y = 0; y < kSide; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int x = 0; x < kSide; ++x) {
      noise = noise * 1664525u + 1013904223u;
      const int n = grain ? static_cast<int>((noise >> 24) % grain) - grain / 2 : 0;
      const double fx = x / double(kSide), fy = y / double(kSide);
      const int r = static_cast<int>(128 + 100 * std::sin(fx * 6.0 + fy * 2.0)) + n;
      const int g = static_cast<int>(40 + 180 * fy) + n;
      const int bl = static_cast<int>(200 - 150 * fx * fy) + n;
      row[3 * x] = static_cast<uint8_t>(std::clamp(bl, 0, 255));
      row[3 * x + 1] = static_cast<uint8_t>(std::clamp(g, 0, 255));
      row[3 * x + 2] = static_cast<uint8_t>(std::clamp(r, 0, 255));
    }
  }
  return b;
}

std::vector<uint8_t> Encode(TPxBitmap& photo, bool interlaced) {
  TPxMemoryStream s;
  TIOParamsVals params;
  params.BitsPerSample = 8;
  params.GifInterlaced = interlaced;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  WriteGifStream(s, &photo, params, progress);
  return std::move(s.Data());
}

const std::vector<uint8_t>& File(int grain, bool interlaced) {
  static std::vector<uint8_t> files[3];
  std::vector<uint8_t>& f = files[interlaced ? 2 : grain ? 0 : 1];
  if (f.empty()) f = Encode(*Photo(grain), interlaced);
  return f;
}

void SetRate(benchmark::State& state) {
  state.counters["MP/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kSide * kSide / 1e6, benchmark::Counter::kIsRate);
}

void Decode(benchmark::State& state, const std::vector<uint8_t>& file) {
  for (auto _ : state) {
    TPxMemoryStream s(file);
    TPxBitmap bitmap;
    TIOParamsVals params;
    bool aborting = false;
    TPxProgress progress;
    progress.Aborting = &aborting;
    ReadGifRow(s, &bitmap, params, false, progress);
    if (aborting) state.SkipWithError("decoding failed");
    benchmark::DoNotOptimize(bitmap.Scanline(0));
  }
  state.counters["file MB"] = static_cast<double>(file.size()) / 1e6;
  SetRate(state);
}

void BM_GifDecodeGrainy(benchmark::State& state) { Decode(state, File(24, false)); }
BENCHMARK(BM_GifDecodeGrainy)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GifDecodeSmooth(benchmark::State& state) { Decode(state, File(0, false)); }
BENCHMARK(BM_GifDecodeSmooth)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GifDecodeGrainyInterlaced(benchmark::State& state) { Decode(state, File(24, true)); }
BENCHMARK(BM_GifDecodeGrainyInterlaced)->Unit(benchmark::kMillisecond)->UseRealTime();

// ImageMagick's plasma reduced to 256 colours with its dithering; empty when
// ImageMagick is missing.
std::vector<uint8_t> ImageMagickPlasma() {
  const std::string path = "/tmp/pictrova-bench-plasma-2000.gif";
  const std::string command = "/usr/bin/convert -seed 1 -size 2000x2000 plasma:fractal -colors 256 " + path;
  if (std::system(command.c_str()) != 0) return {};
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(path.c_str());
  return bytes;
}

void BM_GifDecodeImageMagickPlasma(benchmark::State& state) {
  static const std::vector<uint8_t> file = ImageMagickPlasma();
  if (file.empty()) {
    state.SkipWithError("ImageMagick could not make the file");
    return;
  }
  Decode(state, file);
}
BENCHMARK(BM_GifDecodeImageMagickPlasma)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GifEncodeGrainy(benchmark::State& state) {
  std::unique_ptr<TPxBitmap> photo = Photo(24);
  size_t bytes = 0;
  for (auto _ : state) {
    std::vector<uint8_t> file = Encode(*photo, false);
    bytes = file.size();
    benchmark::DoNotOptimize(file.data());
  }
  state.counters["file MB"] = static_cast<double>(bytes) / 1e6;
  SetRate(state);
}
BENCHMARK(BM_GifEncodeGrainy)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
