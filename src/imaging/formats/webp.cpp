#include "imaging/formats/webp.h"

#include <webp/decode.h>
#include <webp/encode.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "imaging/formats/codecinput.h"
#include "imaging/formats/codecio.h"

namespace {

// WebP keeps each side in 14 bits.
constexpr int kWebpMaxSide = 16383;

const char* StatusText(VP8StatusCode status) {
  switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY: return "WebP: out of memory";
    case VP8_STATUS_INVALID_PARAM: return "WebP: invalid parameter";
    case VP8_STATUS_BITSTREAM_ERROR: return "WebP: damaged data";
    case VP8_STATUS_UNSUPPORTED_FEATURE: return "WebP: unsupported feature";
    case VP8_STATUS_NOT_ENOUGH_DATA: return "WebP: the file ends too early";
    default: return "WebP: cannot decode";
  }
}

void Fail(TIOParamsVals& params, TPxProgress& progress, const char* why) {
  params.CodecError = why;
  progress.Abort();
}

// Decodes straight into the bitmap's rows when they form one bottom-up block
// (the library flips for us); otherwise through a top-down scratch block.
bool DecodeInto(const std::vector<uint8_t>& data, WebPDecoderConfig& config, TPxBitmap& bitmap,
                bool alpha, VP8StatusCode& status) {
  const int w = bitmap.Width(), h = bitmap.Height();
  config.options.use_threads = 1;
  std::vector<uint8_t> scratch;
  if (!alpha && PxRowsContiguousBottomUp(bitmap)) {
    config.options.flip = 1;
    config.output.colorspace = MODE_BGR;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = bitmap.Scanline(h - 1);
    config.output.u.RGBA.stride = bitmap.RowBytes();
    config.output.u.RGBA.size = static_cast<size_t>(bitmap.ImageBytes());
    status = WebPDecode(data.data(), data.size(), &config);
    return status == VP8_STATUS_OK;
  }
  const int channels = alpha ? 4 : 3;
  scratch.resize(static_cast<size_t>(w) * channels * h);
  config.output.colorspace = alpha ? MODE_BGRA : MODE_BGR;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = scratch.data();
  config.output.u.RGBA.stride = w * channels;
  config.output.u.RGBA.size = scratch.size();
  status = WebPDecode(data.data(), data.size(), &config);
  if (status != VP8_STATUS_OK) return false;
  TPxBitmap* plane = alpha ? bitmap.AlphaChannel() : nullptr;
  if (alpha && !plane) return false;
  for (int y = 0; y < h; ++y) {
    const uint8_t* src = scratch.data() + static_cast<size_t>(y) * w * channels;
    uint8_t* dst = bitmap.Scanline(y);
    if (!alpha) {
      std::memcpy(dst, src, static_cast<size_t>(w) * 3);
      continue;
    }
    uint8_t* a = plane->Scanline(y);
    for (int x = 0; x < w; ++x, src += 4, dst += 3) {
      dst[0] = src[0];
      dst[1] = src[1];
      dst[2] = src[2];
      a[x] = src[3];
    }
  }
  if (plane) plane->SetFullAlpha(false);
  return true;
}

}  // namespace

bool IsWebpStream(TPxStream& stream) {
  const int64_t start = stream.Position();
  uint8_t head[12];
  const bool ok = stream.ReadExact(head, 12) && std::memcmp(head, "RIFF", 4) == 0 &&
                  std::memcmp(head + 8, "WEBP", 4) == 0;
  stream.SetPosition(start);
  return ok;
}

namespace {

// Parses untrusted data: libwebp checks the bitstream; the size is checked
// here before any pixel memory is asked for.
void ReadWebp(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
              TPxProgress& progress) {
  std::vector<uint8_t> data;
  if (!PxReadRemaining(stream, data)) return Fail(params, progress, "WebP: no data");
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return Fail(params, progress, "WebP: library mismatch");
  VP8StatusCode status = WebPGetFeatures(data.data(), data.size(), &config.input);
  if (status != VP8_STATUS_OK) return Fail(params, progress, StatusText(status));
  if (config.input.has_animation) return Fail(params, progress, "WebP: animations are not read");
  const int w = config.input.width, h = config.input.height;
  const bool alpha = config.input.has_alpha != 0;
  params.Width = w;
  params.Height = h;
  params.BitsPerSample = 8;
  params.SamplesPerPixel = alpha ? 4 : 3;
  params.WebpLossless = config.input.format == 2;
  if (paramsOnly) return;
  if (!bitmap) return Fail(params, progress, "WebP: no bitmap");
  if (!PxAllocateChecked(*bitmap, w, h, pxRGB24))
    return Fail(params, progress, "WebP: the picture is too large");
  progress.Begin(1);
  if (!DecodeInto(data, config, *bitmap, alpha, status)) {
    WebPFreeDecBuffer(&config.output);
    bitmap->FreeImage();
    return Fail(params, progress, StatusText(status));
  }
  WebPFreeDecBuffer(&config.output);
  progress.Advance();
}

}  // namespace

void ReadWebpStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                    TPxProgress& progress) {
  params.CodecError.clear();
  try {
    ReadWebp(stream, bitmap, params, paramsOnly, progress);
  } catch (const std::bad_alloc&) {
    if (bitmap) bitmap->FreeImage();
    Fail(params, progress, "WebP: out of memory");
  }
}

namespace {

int WriteToStream(const uint8_t* data, size_t size, const WebPPicture* picture) {
  auto* stream = static_cast<TPxStream*>(picture->custom_ptr);
  return stream->WriteExact(data, static_cast<int64_t>(size)) ? 1 : 0;
}

// The picture as ARGB words, row by row: the library's own input layout, so
// no further copy is made before coding.
bool FillArgb(TPxBitmap& bitmap, WebPPicture& picture) {
  const int w = bitmap.Width();
  const TPxBitmap* alpha = bitmap.HasAlphaChannel() ? bitmap.AlphaChannel() : nullptr;
  for (int y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* src = bitmap.Scanline(y);
    const uint8_t* a = alpha ? alpha->Scanline(y) : nullptr;
    uint32_t* dst = picture.argb + static_cast<size_t>(y) * picture.argb_stride;
    if (bitmap.PixelFormat() == px1g) {
      for (int x = 0; x < w; ++x) {
        const uint32_t v = (src[x >> 3] & (0x80 >> (x & 7))) ? 0xFFFFFFu : 0u;
        dst[x] = (a ? uint32_t(a[x]) << 24 : 0xFF000000u) | v;
      }
      continue;
    }
    for (int x = 0; x < w; ++x, src += 3)
      dst[x] = (a ? uint32_t(a[x]) << 24 : 0xFF000000u) | uint32_t(src[2]) << 16 |
               uint32_t(src[1]) << 8 | src[0];
  }
  return true;
}

}  // namespace

void WriteWebpStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                     TPxProgress& progress) {
  if (!bitmap || bitmap->IsEmpty() ||
      (bitmap->PixelFormat() != pxRGB24 && bitmap->PixelFormat() != px1g) ||
      bitmap->Width() > kWebpMaxSide || bitmap->Height() > kWebpMaxSide) {
    progress.Abort();
    return;
  }
  WebPConfig config;
  WebPPicture picture;
  if (!WebPConfigInit(&config) || !WebPPictureInit(&picture)) {
    progress.Abort();
    return;
  }
  config.lossless = params.WebpLossless ? 1 : 0;
  config.quality = static_cast<float>(std::clamp(params.WebpQuality, 0, 100));
  config.thread_level = 1;
  // Transparent pixels keep their colour, so that what is written is what is read back.
  config.exact = 1;
  picture.use_argb = 1;
  picture.width = bitmap->Width();
  picture.height = bitmap->Height();
  picture.writer = WriteToStream;
  picture.custom_ptr = &stream;
  progress.Begin(1);
  bool ok = false;
  try {
    ok = WebPValidateConfig(&config) && WebPPictureAlloc(&picture) &&
                  FillArgb(*bitmap, picture) && WebPEncode(&config, &picture);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  WebPPictureFree(&picture);
  if (!ok) {
    progress.Abort();
    return;
  }
  progress.Advance();
}

std::string DescribeWebp(const TIOParamsVals& params) {
  std::string text = params.WebpLossless ? "lossless" : "lossy";
  if (params.SamplesPerPixel == 4) text += ", alpha";
  return text;
}
