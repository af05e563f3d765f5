// PCX and TGA decoding of a whole photo (6000 x 4000, 24-bit) from memory,
// in megapixels per second: PCX run-length coded (as ImageMagick and we write
// it), TGA uncompressed bottom-up (ImageMagick's default) and run-length coded.
// bench/compare_codecs.sh times the same decoders as whole processes against
// PIL and ImageMagick.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/formats/pcx.h"
#include "imaging/formats/tga.h"

#include "benchphoto.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// The 6000 x 4000 stand-in for a photo.
const TPxBitmap& Photo() {
  static const std::unique_ptr<TPxBitmap> photo = PxBenchPhoto();
  return *photo;
}

std::vector<uint8_t> Pcx() {
  TPxMemoryStream s;
  TIOParamsVals params;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  WritePcxStream(s, const_cast<TPxBitmap*>(&Photo()), params, progress);
  return s.Data();
}

// Our writer puts rows top-down; a bottom-up file is the same rows reversed
// with descriptor bit 5 clear.
std::vector<uint8_t> Tga(bool rle, bool bottomUp) {
  TPxMemoryStream s;
  TIOParamsVals params;
  params.TgaCompression = rle;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  WriteTgaStream(s, const_cast<TPxBitmap*>(&Photo()), params, nullptr, progress);
  std::vector<uint8_t> bytes = s.Data();
  if (bottomUp) {
    const size_t row = size_t(kWidth) * 3, at = 18 + 1;  // header and the empty name's zero
    for (int y = 0; y < kHeight / 2; ++y)
      std::swap_ranges(bytes.begin() + static_cast<long>(at + y * row),
                       bytes.begin() + static_cast<long>(at + (y + 1) * row),
                       bytes.begin() + static_cast<long>(at + (kHeight - 1 - y) * row));
    bytes[17] = 0;
  }
  return bytes;
}

template <typename Read>
void Decode(benchmark::State& state, const std::vector<uint8_t>& bytes, Read read) {
  for (auto _ : state) {
    TPxMemoryStream s(bytes.data(), bytes.size());
    TPxBitmap bitmap;
    TIOParamsVals params;
    bool aborting = false;
    TPxProgress progress;
    progress.Aborting = &aborting;
    read(s, bitmap, params, progress);
    if (aborting || bitmap.Width() != kWidth) state.SkipWithError("decoding failed");
    benchmark::DoNotOptimize(bitmap.Scanline(0));
  }
  state.counters["MP/s"] =
      benchmark::Counter(double(kWidth) * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_PcxDecodeRle(benchmark::State& state) {
  static const std::vector<uint8_t> bytes = Pcx();
  Decode(state, bytes, [](TPxStream& s, TPxBitmap& b, TIOParamsVals& p, TPxProgress& pr) {
    ReadPcxStream(s, &b, p, false, pr);
  });
}
BENCHMARK(BM_PcxDecodeRle)->Unit(benchmark::kMillisecond);

void BM_TgaDecode(benchmark::State& state) {
  // One file per form, made once.
  static std::map<int64_t, std::vector<uint8_t>> files;
  const int64_t key = state.range(0) * 2 + state.range(1);
  if (!files.count(key)) files[key] = Tga(state.range(0) != 0, state.range(1) != 0);
  Decode(state, files[key], [](TPxStream& s, TPxBitmap& b, TIOParamsVals& p, TPxProgress& pr) {
    ReadTgaRow(s, &b, p, false, pr);
  });
}
// (run-length coded, bottom-up)
BENCHMARK(BM_TgaDecode)->Args({0, 1})->Args({0, 0})->Args({1, 0})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
