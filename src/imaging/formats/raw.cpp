#include "imaging/formats/raw.h"

#include <libraw.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "imaging/core/pxconfig.h"
#include "imaging/formats/codecinput.h"
#include "imaging/formats/codecio.h"
#include "imaging/formats/jpeg.h"
#include "imaging/proc/orient.h"

namespace {

void Fail(TIOParamsVals& params, TPxProgress& progress, const std::string& why) {
  if (params.CodecError.empty()) params.CodecError = why;
  progress.Abort();
}

bool Failed(int code, TIOParamsVals& params, TPxProgress& progress) {
  if (code == LIBRAW_SUCCESS) return false;
  Fail(params, progress, std::string("Camera raw: ") + libraw_strerror(code));
  return true;
}

// What developing holds at once: the sensor data (up to four 16-bit values a
// photosite), the developed picture in 16-bit (four values a pixel) and its
// 8-bit copy. Checked before the library asks for any of it.
bool DevelopSizeAllowed(const libraw_image_sizes_t& sizes) {
  int64_t raw = 0, image = 0, out = 0;
  if (!PxCheckedMul(int64_t(sizes.raw_width) * sizes.raw_height, 8, raw) ||
      !PxCheckedMul(int64_t(sizes.width) * sizes.height, 8, image) ||
      !PxCheckedMul(int64_t(sizes.width) * sizes.height, 3, out))
    return false;
  return raw + image + out <= PxImageBytesLimit();
}

// Copies the library's top-down RGB picture into the bitmap's BGR rows.
bool TakeRgb(const libraw_processed_image_t& image, TPxBitmap& bitmap, TPxProgress& progress) {
  if (image.type != LIBRAW_IMAGE_BITMAP || image.bits != 8 || (image.colors != 3 && image.colors != 1))
    return false;
  const int w = image.width, h = image.height, colors = image.colors;
  if (int64_t(w) * h * colors > int64_t(image.data_size)) return false;
  if (!PxAllocateChecked(bitmap, w, h, pxRGB24)) return false;
  progress.Begin(h);
  for (int y = 0; y < h; ++y) {
    const uint8_t* src = image.data + static_cast<size_t>(y) * w * colors;
    uint8_t* dst = bitmap.Scanline(y);
    if (colors == 1) {
      for (int x = 0; x < w; ++x, dst += 3) dst[0] = dst[1] = dst[2] = src[x];
    } else {
      for (int x = 0; x < w; ++x, src += 3, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
      }
    }
    progress.Advance();
    if (progress.Aborted()) break;
  }
  return true;
}

struct MemImage {
  libraw_processed_image_t* image = nullptr;
  ~MemImage() {
    if (image) LibRaw::dcraw_clear_mem(image);
  }
};

// The camera's own preview: a JPEG (decoded by our reader) or plain RGB.
// False when there is none or it cannot be had; the caller develops instead.
bool ReadPreview(LibRaw& raw, TPxBitmap& bitmap) {
  const libraw_thumbnail_t& thumb = raw.imgdata.thumbnail;
  if (thumb.tlength == 0 || thumb.tlength > static_cast<unsigned>(std::min<int64_t>(
                                                PxImageBytesLimit(), LIBRAW_MAX_THUMBNAIL_MB << 20)))
    return false;
  if (raw.unpack_thumb() != LIBRAW_SUCCESS) return false;
  int error = 0;
  MemImage mem;
  mem.image = raw.dcraw_make_mem_thumb(&error);
  if (!mem.image || error != LIBRAW_SUCCESS) return false;
  if (mem.image->type == LIBRAW_IMAGE_JPEG) {
    TPxMemoryStream jpeg(mem.image->data, mem.image->data_size);
    TIOParamsVals jpegParams;
    bool aborted = false;
    TPxProgress quiet;
    quiet.Aborting = &aborted;
    ReadJpegStream(jpeg, nullptr, &bitmap, false, false, false, false, false, quiet, jpegParams);
    if (aborted || bitmap.IsEmpty()) return false;
    if (bitmap.PixelFormat() != pxRGB24) return bitmap.ConvertTo(pxRGB24);
    return true;
  }
  TPxProgress quiet;
  return TakeRgb(*mem.image, bitmap, quiet);
}

// Cameras store the preview as the sensor saw it: turned as the camera was
// held (LibRaw's flip: 3 half a turn, 5 a quarter turn anticlockwise, 6 one
// clockwise, the EXIF orientations 3, 8 and 6), like the development. False
// when the memory cannot be had.
bool TurnPreview(TPxBitmap& bitmap, int flip) {
  const int orientation = flip == 3 ? 3 : flip == 5 ? 8 : flip == 6 ? 6 : 1;
  return PxApplyOrientation(bitmap, orientation);
}

void Develop(LibRaw& raw, TPxBitmap& bitmap, TIOParamsVals& params, TPxProgress& progress) {
  if (Failed(raw.unpack(), params, progress) || Failed(raw.dcraw_process(), params, progress))
    return;
  int error = 0;
  MemImage mem;
  mem.image = raw.dcraw_make_mem_image(&error);
  if (!mem.image || error != LIBRAW_SUCCESS)
    return Fail(params, progress, std::string("Camera raw: ") + libraw_strerror(error));
  if (!TakeRgb(*mem.image, bitmap, progress)) {
    bitmap.FreeImage();
    Fail(params, progress, "Camera raw: the picture is too large");
  }
}

void ReadWith(LibRaw& raw, const std::vector<uint8_t>& data, TPxBitmap* bitmap,
              TIOParamsVals& params, bool paramsOnly, TPxProgress& progress) {
  libraw_output_params_t& o = raw.imgdata.params;
  o.use_camera_wb = 1;
  o.output_bps = 8;
  o.half_size = !paramsOnly && (params.RawHalfSize || params.RawEmbeddedPreview) ? 1 : 0;
  o.max_raw_memory_mb = static_cast<unsigned>(std::max<int64_t>(1, PxImageBytesLimit() >> 20));
  if (Failed(raw.open_buffer(const_cast<uint8_t*>(data.data()), data.size()), params, progress))
    return;
  if (!DevelopSizeAllowed(raw.imgdata.sizes))
    return Fail(params, progress, "Camera raw: the picture is too large");
  params.BitsPerSample = 8;
  params.SamplesPerPixel = 3;
  const libraw_iparams_t& id = raw.imgdata.idata;
  params.RawCamera = std::string(id.make, strnlen(id.make, sizeof(id.make)));
  const std::string model(id.model, strnlen(id.model, sizeof(id.model)));
  if (!model.empty()) params.RawCamera += (params.RawCamera.empty() ? "" : " ") + model;
  if (paramsOnly) {
    // The size a full development gives, turned as the camera was held; the
    // library's state serves nothing else afterwards.
    if (Failed(raw.adjust_sizes_info_only(), params, progress)) return;
    params.Width = raw.imgdata.sizes.iwidth;
    params.Height = raw.imgdata.sizes.iheight;
    return;
  }
  if (!bitmap) return Fail(params, progress, "Camera raw: no bitmap");
  // The full development's size, upright, for a read that gives less.
  const libraw_image_sizes_t& sz = raw.imgdata.sizes;
  const bool turned = (sz.flip & 4) != 0;
  const int32_t fullW = turned ? sz.height : sz.width, fullH = turned ? sz.width : sz.height;
  if (params.RawEmbeddedPreview && ReadPreview(raw, *bitmap) && TurnPreview(*bitmap, sz.flip)) {
    params.RawPictureRead = 2;
  } else {
    params.RawPictureRead = o.half_size ? 1 : 0;
    Develop(raw, *bitmap, params, progress);
  }
  if (progress.Aborted()) return;
  params.Width = bitmap->Width();
  params.Height = bitmap->Height();
  if (params.RawPictureRead != 0) {
    params.FullWidth = fullW;
    params.FullHeight = fullH;
  }
}

}  // namespace

bool IsRawStream(TPxStream& stream) {
  const int64_t start = stream.Position();
  uint8_t head[16] = {};
  const bool read = stream.ReadExact(head, 16);
  stream.SetPosition(start);
  if (!read) return false;
  auto at = [&](int offset, const char* text) {
    return std::memcmp(head + offset, text, std::strlen(text)) == 0;
  };
  return at(6, "HEAPCCDR") || at(0, "FUJIFILM") || at(0, "FOVb") ||
         std::memcmp(head, "\0MRM", 4) == 0 || at(0, "IIRO") || at(0, "IIRS") || at(0, "MMOR") ||
         std::memcmp(head, "IIU\0", 4) == 0;
}

// Parses untrusted data: LibRaw checks the file's structure; the sizes it
// finds are checked here before it unpacks or develops.
void ReadRawStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                   TPxProgress& progress) {
  params.CodecError.clear();
  std::vector<uint8_t> data;
  if (!PxReadRemaining(stream, data)) return Fail(params, progress, "Camera raw: no data");
  try {
    // The decoder's state is large: it lives on the heap.
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK |
                                        LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
    ReadWith(*raw, data, bitmap, params, paramsOnly, progress);
  } catch (const std::bad_alloc&) {
    Fail(params, progress, "Camera raw: out of memory");
  } catch (const std::exception& e) {
    Fail(params, progress, std::string("Camera raw: ") + e.what());
  } catch (...) {
    Fail(params, progress, "Camera raw: cannot decode");
  }
  if (progress.Aborted() && bitmap) bitmap->FreeImage();
}

std::string DescribeRaw(const TIOParamsVals& params) {
  static const char* const kRead[] = {"developed", "developed at half size", "the camera's preview"};
  std::string text = params.RawCamera.empty() ? "unnamed camera" : params.RawCamera;
  return text + ", " + kRead[params.RawPictureRead < 3 ? params.RawPictureRead : 0];
}
