#include "imaging/formats/heif.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "imaging/core/pxconfig.h"
#include "imaging/formats/codecinput.h"
#include "imaging/formats/codecio.h"

namespace {

// Each side of a picture, as the library checks it before decoding.
constexpr int kHeifMaxSide = 65535;
// HEVC codes whole blocks of up to this many pixels a side: a coded picture
// may be this much larger than the picture it holds before it is cropped.
constexpr int kHeifCodingBlock = 64;
// The library holds the coded planes and its own RGB copy while we take the
// pixels: about this many bytes per pixel besides ours.
constexpr int64_t kHeifBytesPerPixel = 8;

// What one read holds of the library.
struct Session {
  heif_context* context = nullptr;
  heif_image_handle* handle = nullptr;
  heif_image* image = nullptr;
  heif_decoding_options* options = nullptr;
  ~Session() {
    if (image) heif_image_release(image);
    if (handle) heif_image_handle_release(handle);
    if (options) heif_decoding_options_free(options);
    if (context) heif_context_free(context);
  }
};

bool Failed(const heif_error& error, TIOParamsVals& params, TPxProgress& progress) {
  if (error.code == heif_error_Ok) return false;
  params.CodecError = std::string("HEIF: ") + (error.message ? error.message : "cannot decode");
  progress.Abort();
  return true;
}

void Fail(TIOParamsVals& params, TPxProgress& progress, const char* why) {
  params.CodecError = why;
  progress.Abort();
}

bool SizeAllowed(int64_t w, int64_t h) {
  int64_t rowBytes = 0, total = 0, library = 0;
  return PxCheckedImageBytes(w, h, 24, rowBytes, total) &&
         PxCheckedMul(w * h, kHeifBytesPerPixel, library) && library <= PxImageBytesLimit();
}

// The top-level boxes must lie within the data: one that claims more than
// the file holds means the file was cut short, refused even where the
// library would decode the part it finds.
bool BoxesFit(const std::vector<uint8_t>& data) {
  uint64_t at = 0;
  const uint64_t end = data.size();
  while (at < end) {
    if (end - at < 8) return false;
    const uint8_t* p = data.data() + at;
    uint64_t size = uint64_t(p[0]) << 24 | uint64_t(p[1]) << 16 | uint64_t(p[2]) << 8 | p[3];
    uint64_t header = 8;
    if (size == 0) return true;  // the last box, to the end of the file
    if (size == 1) {
      if (end - at < 16) return false;
      size = 0;
      for (int i = 8; i < 16; ++i) size = size << 8 | p[i];
      header = 16;
    }
    if (size < header || size > end - at) return false;
    at += size;
  }
  return true;
}

// The longest side any plane of the picture may have. The library sizes
// each plane it makes (the coded pictures, a grid's canvas, the alpha
// picture) by what the coded data say, which a hostile file of a few hundred
// bytes sets far beyond the picture it declares; every plane of an honest
// file lies within the declared picture's longer side and one coding block.
int PlaneSideLimit(const heif_image_handle& handle) {
  const int declared = std::max({heif_image_handle_get_ispe_width(&handle),
                                 heif_image_handle_get_ispe_height(&handle),
                                 heif_image_handle_get_width(&handle),
                                 heif_image_handle_get_height(&handle)});
  return std::min(kHeifMaxSide, std::max(declared, 1) + kHeifCodingBlock);
}

bool CopyPixels(const heif_image& image, bool alpha, TPxBitmap& bitmap, TPxProgress& progress) {
  int stride = 0;
  const uint8_t* data = heif_image_get_plane_readonly(&image, heif_channel_interleaved, &stride);
  const int w = bitmap.Width(), h = bitmap.Height();
  if (!data || heif_image_get_width(&image, heif_channel_interleaved) != w ||
      heif_image_get_height(&image, heif_channel_interleaved) != h)
    return false;
  TPxBitmap* plane = alpha ? bitmap.AlphaChannel() : nullptr;
  if (alpha && !plane) return false;
  const int step = alpha ? 4 : 3;
  progress.Begin(h);
  for (int y = 0; y < h; ++y) {
    const uint8_t* src = data + static_cast<size_t>(y) * stride;
    uint8_t* dst = bitmap.Scanline(y);
    uint8_t* a = plane ? plane->Scanline(y) : nullptr;
    for (int x = 0; x < w; ++x, src += step, dst += 3) {
      dst[0] = src[2];
      dst[1] = src[1];
      dst[2] = src[0];
      if (a) a[x] = src[3];
    }
    progress.Advance();
    if (progress.Aborted()) break;
  }
  if (plane) plane->SetFullAlpha(false);
  return true;
}

}  // namespace

bool IsHeifStream(TPxStream& stream) {
  static const char* const kBrands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1"};
  const int64_t start = stream.Position();
  uint8_t head[12];
  const bool read = stream.ReadExact(head, 12);
  stream.SetPosition(start);
  if (!read || std::memcmp(head + 4, "ftyp", 4) != 0) return false;
  for (const char* brand : kBrands)
    if (std::memcmp(head + 8, brand, 4) == 0) return true;
  return false;
}

namespace {

// Parses untrusted data: libheif checks the boxes and the coded picture; the
// size it reports is checked here before it decodes.
void ReadHeif(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
              TPxProgress& progress) {
  std::vector<uint8_t> data;
  if (!PxReadRemaining(stream, data)) return Fail(params, progress, "HEIF: no data");
  if (!BoxesFit(data)) return Fail(params, progress, "HEIF: the file ends too early");
  Session s;
  s.context = heif_context_alloc();
  if (!s.context) return Fail(params, progress, "HEIF: out of memory");
  heif_context_set_maximum_image_size_limit(s.context, kHeifMaxSide);
  if (Failed(heif_context_read_from_memory_without_copy(s.context, data.data(), data.size(), nullptr),
             params, progress) ||
      Failed(heif_context_get_primary_image_handle(s.context, &s.handle), params, progress))
    return;
  const int w = heif_image_handle_get_width(s.handle);
  const int h = heif_image_handle_get_height(s.handle);
  const bool alpha = heif_image_handle_has_alpha_channel(s.handle) != 0;
  const int bits = heif_image_handle_get_luma_bits_per_pixel(s.handle);
  params.Width = w;
  params.Height = h;
  params.BitsPerSample = bits > 0 ? bits : 8;
  params.SamplesPerPixel = alpha ? 4 : 3;
  if (paramsOnly) return;
  if (!bitmap) return Fail(params, progress, "HEIF: no bitmap");
  // Whatever the planes turn out to be, the library may then make them up
  // to side x side: that much must be within the pixel limit.
  const int side = PlaneSideLimit(*s.handle);
  if (!SizeAllowed(side, side)) return Fail(params, progress, "HEIF: the picture is too large");
  // The library refuses a side equal to its limit.
  heif_context_set_maximum_image_size_limit(s.context, side + 1);
  s.options = heif_decoding_options_alloc();
  if (!s.options) return Fail(params, progress, "HEIF: out of memory");
  s.options->ignore_transformations = 0;
  s.options->convert_hdr_to_8bit = 1;
  const heif_error decoded =
      heif_decode_image(s.handle, &s.image, heif_colorspace_RGB,
                        alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, s.options);
  if (decoded.code != heif_error_Ok && decoded.subcode == heif_suberror_Security_limit_exceeded)
    return Fail(params, progress, "HEIF: the coded picture is larger than the file says");
  if (Failed(decoded, params, progress)) return;
  // The decoded size is the one to trust: the transformations may change it.
  const int dw = heif_image_get_width(s.image, heif_channel_interleaved);
  const int dh = heif_image_get_height(s.image, heif_channel_interleaved);
  if (dw <= 0 || dh <= 0 || !SizeAllowed(dw, dh) || !PxAllocateChecked(*bitmap, dw, dh, pxRGB24))
    return Fail(params, progress, "HEIF: the picture is too large");
  if (!CopyPixels(*s.image, alpha, *bitmap, progress)) {
    bitmap->FreeImage();
    return Fail(params, progress, "HEIF: damaged data");
  }
  params.Width = dw;
  params.Height = dh;
}

}  // namespace

void ReadHeifStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                    TPxProgress& progress) {
  params.CodecError.clear();
  try {
    ReadHeif(stream, bitmap, params, paramsOnly, progress);
  } catch (const std::bad_alloc&) {
    if (bitmap) bitmap->FreeImage();
    Fail(params, progress, "HEIF: out of memory");
  }
}

std::string DescribeHeif(const TIOParamsVals& params) {
  std::string text = std::to_string(params.BitsPerSample) + " bits";
  if (params.SamplesPerPixel == 4) text += ", alpha";
  return text;
}
