// Decoding a 6000 x 4000 picture through our camera raw, JPEG 2000, HEIF and
// WebP readers against the bare library calls that do the same work (same
// options, same threads), so that the ratio shows what the wrapper adds:
// the aim is at most 1.1. The files are made once, by our writers (WebP,
// JPEG 2000), libheif's encoder and the tests' DNG writer.
#include <benchmark/benchmark.h>
#include <libheif/heif.h>
#include <libraw.h>
#include <openjpeg.h>
#include <webp/decode.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/formats/heif.h"
#include "imaging/formats/jpeg2000.h"
#include "imaging/formats/raw.h"
#include "imaging/formats/webp.h"
#include "util/dngfile.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

uint8_t Level(int x, int y, int c, uint32_t& noise) {
  noise = noise * 1664525u + 1013904223u;
  const int n = static_cast<int>((noise >> 24) & 7) - 4;
  const double fx = x / double(kWidth), fy = y / double(kHeight);
  const double v = c == 0 ? 200 - 150 * fx * fy : c == 1 ? 40 + 180 * fy : 128 + 100 * std::sin(fx * 6 + fy * 2);
  return static_cast<uint8_t>(std::clamp(static_cast<int>(v) + n, 0, 255));
}

// Smooth gradients with a little noise, as a photo has.
const TPxBitmap& Photo() {
  static const std::unique_ptr<TPxBitmap> photo = [] {
    auto b = std::make_unique<TPxBitmap>(kWidth, kHeight, pxRGB24);
    uint32_t noise = 12345;
    for (int y = 0; y < kHeight; ++y) {
      uint8_t* row = b->Scanline(y);
      for (int x = 0; x < kWidth; ++x)
        for (int c = 0; c < 3; ++c) row[3 * x + c] = Level(x, y, c, noise);
    }
    return b;
  }();
  return *photo;
}

using Writer = void (*)(TPxStream&, TPxBitmap*, TIOParamsVals&, TPxProgress&);

std::vector<uint8_t> WriteWith(Writer write, TIOParamsVals& params) {
  TPxMemoryStream s;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  write(s, const_cast<TPxBitmap*>(&Photo()), params, progress);
  return aborting ? std::vector<uint8_t>() : s.Data();
}

const std::vector<uint8_t>& WebpFile() {
  static const std::vector<uint8_t> data = [] {
    TIOParamsVals p;
    p.WebpQuality = 85;
    return WriteWith(WriteWebpStream, p);
  }();
  return data;
}

const std::vector<uint8_t>& Jp2File() {
  static const std::vector<uint8_t> data = [] {
    TIOParamsVals p;
    p.Jp2Ratio = 20;
    return WriteWith(WriteJp2Stream, p);
  }();
  return data;
}

heif_error WriteBytes(heif_context*, const void* data, size_t size, void* user) {
  auto* out = static_cast<std::vector<uint8_t>*>(user);
  out->insert(out->end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
  return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

const std::vector<uint8_t>& HeifFile() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> out;
    heif_context* ctx = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_image* image = nullptr;
    heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder);
    heif_encoder_set_lossy_quality(encoder, 85);
    heif_image_create(kWidth, kHeight, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, kWidth, kHeight, 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < kHeight; ++y) {
      const uint8_t* src = Photo().Scanline(y);
      uint8_t* dst = plane + static_cast<size_t>(y) * stride;
      for (int x = 0; x < kWidth; ++x) {
        dst[3 * x] = src[3 * x + 2];
        dst[3 * x + 1] = src[3 * x + 1];
        dst[3 * x + 2] = src[3 * x];
      }
    }
    heif_context_encode_image(ctx, image, encoder, nullptr, nullptr);
    heif_writer writer{1, WriteBytes};
    heif_context_write(ctx, &writer, &out);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(ctx);
    return out;
  }();
  return data;
}

const std::vector<uint8_t>& DngFile() {
  static const std::vector<uint8_t> data = [] {
    dngfile::DngSpec spec;
    spec.width = kWidth;
    spec.height = kHeight;
    const std::string bytes = dngfile::MakeDng(spec);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
  }();
  return data;
}

using Reader = void (*)(TPxStream&, TPxBitmap*, TIOParamsVals&, bool, TPxProgress&);

void Ours(benchmark::State& state, Reader read, const std::vector<uint8_t>& file) {
  if (file.empty()) return state.SkipWithError("the file could not be made");
  for (auto _ : state) {
    TPxMemoryStream s(file.data(), file.size());
    TPxBitmap bitmap;
    TIOParamsVals params;
    bool aborting = false;
    TPxProgress progress;
    progress.Aborting = &aborting;
    read(s, &bitmap, params, false, progress);
    if (aborting) return state.SkipWithError("the read failed");
    benchmark::DoNotOptimize(bitmap.Scanline(0));
  }
  state.counters["MP/s"] = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_WebpOurs(benchmark::State& state) { Ours(state, ReadWebpStream, WebpFile()); }
void BM_Jp2Ours(benchmark::State& state) { Ours(state, ReadJp2Stream, Jp2File()); }
void BM_HeifOurs(benchmark::State& state) { Ours(state, ReadHeifStream, HeifFile()); }
void BM_RawOurs(benchmark::State& state) { Ours(state, ReadRawStream, DngFile()); }

// The libraries alone, each decoding to 8-bit pixels in memory as our readers do.
void BM_WebpLibrary(benchmark::State& state) {
  const std::vector<uint8_t>& file = WebpFile();
  for (auto _ : state) {
    std::vector<uint8_t> out(size_t(kWidth) * kHeight * 3);
    WebPDecoderConfig config;
    WebPInitDecoderConfig(&config);
    config.options.use_threads = 1;
    config.output.colorspace = MODE_BGR;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = out.data();
    config.output.u.RGBA.stride = kWidth * 3;
    config.output.u.RGBA.size = out.size();
    if (WebPDecode(file.data(), file.size(), &config) != VP8_STATUS_OK)
      return state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["MP/s"] = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

struct Bytes {
  const std::vector<uint8_t>* data;
  size_t at;
};
OPJ_SIZE_T BytesRead(void* buffer, OPJ_SIZE_T count, void* user) {
  auto* b = static_cast<Bytes*>(user);
  const size_t n = std::min(count, b->data->size() - b->at);
  if (n == 0) return static_cast<OPJ_SIZE_T>(-1);
  std::memcpy(buffer, b->data->data() + b->at, n);
  b->at += n;
  return n;
}
OPJ_OFF_T BytesSkip(OPJ_OFF_T count, void* user) {
  static_cast<Bytes*>(user)->at += static_cast<size_t>(count);
  return count;
}
OPJ_BOOL BytesSeek(OPJ_OFF_T at, void* user) {
  static_cast<Bytes*>(user)->at = static_cast<size_t>(at);
  return OPJ_TRUE;
}

void BM_Jp2Library(benchmark::State& state) {
  const std::vector<uint8_t>& file = Jp2File();
  for (auto _ : state) {
    Bytes bytes{&file, 0};
    opj_stream_t* s = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE);
    opj_stream_set_user_data(s, &bytes, nullptr);
    opj_stream_set_user_data_length(s, file.size());
    opj_stream_set_read_function(s, BytesRead);
    opj_stream_set_skip_function(s, BytesSkip);
    opj_stream_set_seek_function(s, BytesSeek);
    opj_codec_t* codec = opj_create_decompress(OPJ_CODEC_JP2);
    opj_dparameters_t p;
    opj_set_default_decoder_parameters(&p);
    opj_setup_decoder(codec, &p);
    opj_codec_set_threads(codec, static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
    opj_image_t* image = nullptr;
    const bool ok = opj_read_header(s, codec, &image) && opj_decode(codec, s, image) &&
                    opj_end_decompress(codec, s);
    if (image) opj_image_destroy(image);
    opj_destroy_codec(codec);
    opj_stream_destroy(s);
    if (!ok) return state.SkipWithError("decode failed");
  }
  state.counters["MP/s"] = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_HeifLibrary(benchmark::State& state) {
  const std::vector<uint8_t>& file = HeifFile();
  if (file.empty()) return state.SkipWithError("the file could not be made");
  for (auto _ : state) {
    heif_context* ctx = heif_context_alloc();
    heif_image_handle* handle = nullptr;
    heif_image* image = nullptr;
    heif_context_read_from_memory_without_copy(ctx, file.data(), file.size(), nullptr);
    heif_context_get_primary_image_handle(ctx, &handle);
    const heif_error e = heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr);
    if (image) heif_image_release(image);
    if (handle) heif_image_handle_release(handle);
    heif_context_free(ctx);
    if (e.code != heif_error_Ok) return state.SkipWithError("decode failed");
  }
  state.counters["MP/s"] = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_RawLibrary(benchmark::State& state) {
  const std::vector<uint8_t>& file = DngFile();
  for (auto _ : state) {
    auto raw = std::make_unique<LibRaw>();
    raw->imgdata.params.use_camera_wb = 1;
    raw->imgdata.params.output_bps = 8;
    int error = 0;
    libraw_processed_image_t* image = nullptr;
    if (raw->open_buffer(const_cast<uint8_t*>(file.data()), file.size()) == LIBRAW_SUCCESS &&
        raw->unpack() == LIBRAW_SUCCESS && raw->dcraw_process() == LIBRAW_SUCCESS)
      image = raw->dcraw_make_mem_image(&error);
    if (!image) return state.SkipWithError("decode failed");
    LibRaw::dcraw_clear_mem(image);
  }
  state.counters["MP/s"] = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_WebpLibrary)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_WebpOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Jp2Library)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_Jp2Ours)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_HeifLibrary)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_HeifOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_RawLibrary)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_RawOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK_MAIN();
