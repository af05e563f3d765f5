// PNG through libpng. libpng reports errors by long jump: every call that can
// jump sits in one of the small wrappers below (PngReadHeader, PngReadRows,
// PngWriteAll), whose frames hold no C++ object with a destructor. Everything
// they need is prepared by the caller, which also frees it on every path.
#include "imaging/formats/png.h"

#include "imaging/formats/pngdeflate.h"

#include <png.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <stdexcept>

namespace {

// Largest width and height accepted from a file. The buffer's own size check
// follows; this only stops libpng from accepting absurd headers.
constexpr png_uint_32 kMaxDimension = 1000000;
// Ancillary chunks (text, profiles) above this are dropped instead of held.
constexpr png_alloc_size_t kMaxChunkBytes = 8000000;
constexpr png_uint_32 kMaxCachedChunks = 1000;
// Text and profile chunks may be compressed, up to 1032:1, and libpng inflates
// each up to kMaxChunkBytes: together they may hold 16 MB plus 16 bytes per
// byte of the stream, so that neither their memory nor the work of inflating
// them grows faster than the file (inflating costs about 3 ms per MB).
constexpr int64_t kInflatedBaseBytes = int64_t(16) << 20;
constexpr int64_t kInflatedBytesPerByte = 16;
// Deflate cannot compress better than 1032:1, so image data needing more raw
// bytes than that many times what is left in the stream cannot be there.
constexpr int64_t kDeflateMaxRatio = 1032;

const char* const kWriteErrorMessage = "Error on creating PNG";

struct PngIO {
  TPxStream* stream = nullptr;
  bool writeFailed = false;
  // Reading: the stream's position and end, and where the next chunk starts.
  int64_t position = 0;
  int64_t end = 0;
  int64_t nextChunk = 0;
  // What the text and profile chunks may still take, what they took, and the
  // limit given to the last compressed chunk while it is not charged.
  png_infop info = nullptr;
  int64_t inflatedLeft = 0;
  int textsCounted = 0;
  bool profileCounted = false;
  png_alloc_size_t pendingLimit = 0;
};

// Charges what libpng kept since the last call, texts and the profile, and for
// a compressed chunk that it dropped the inflating it did up to its limit.
void ChargeChunks(png_structp png, PngIO& io) {
  const int textsBefore = io.textsCounted;
  const bool profileBefore = io.profileCounted;
  png_textp text = nullptr;
  int count = 0;
  png_get_text(png, io.info, &text, &count);
  for (; io.textsCounted < count; ++io.textsCounted) {
    const png_text& t = text[io.textsCounted];
    io.inflatedLeft -= int64_t(t.compression > 0 ? t.itxt_length : t.text_length);
  }
  if (!io.profileCounted && png_get_valid(png, io.info, PNG_INFO_iCCP)) {
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    if (png_get_iCCP(png, io.info, &name, &compression, &profile, &length))
      io.inflatedLeft -= length;
    io.profileCounted = true;
  }
  if (io.textsCounted == textsBefore && io.profileCounted == profileBefore)
    io.inflatedLeft -= int64_t(io.pendingLimit);
  io.pendingLimit = 0;
}

void PngErrorFn(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void PngWarningFn(png_structp, png_const_charp) {}

// Reading past the end of the data is an error: the reader stops there.
// Untrusted data: libpng allocates the claimed length of a text, palette or
// calibration chunk before reading it, so a chunk that claims more than the
// stream holds is refused at its header, as a truncated file. Image data is
// exempt: libpng reads it piece by piece into the rows, and the rows before
// the end are kept.
void PngReadFn(png_structp png, png_bytep data, size_t length) {
  PngIO* io = static_cast<PngIO*>(png_get_io_ptr(png));
  const int64_t at = io->position;
  const int64_t got = io->stream->Read(data, static_cast<int64_t>(length));
  if (got > 0) io->position += got;
  if (got != static_cast<int64_t>(length)) png_error(png, "unexpected end of data");
  // libpng reads every chunk header (length, type) in one piece of 8 bytes.
  if (at != io->nextChunk || length != 8) return;
  const png_uint_32 claimed = png_get_uint_32(data);
  io->nextChunk = at + 12 + int64_t(claimed);
  if (std::memcmp(data + 4, "IDAT", 4) != 0 && int64_t(claimed) + 4 > io->end - io->position)
    png_error(png, "chunk longer than the file");
  // A compressed chunk inflates only into what is left of the budget (libpng
  // drops it when it needs more); 0 would mean no limit at all.
  const bool inflates = std::memcmp(data + 4, "zTXt", 4) == 0 ||
                        std::memcmp(data + 4, "iTXt", 4) == 0 || std::memcmp(data + 4, "iCCP", 4) == 0;
  if (inflates || io->pendingLimit > 0) ChargeChunks(png, *io);
  png_alloc_size_t limit = kMaxChunkBytes;
  if (inflates) {
    limit = png_alloc_size_t(std::clamp<int64_t>(io->inflatedLeft, 1, int64_t(kMaxChunkBytes)));
    io->pendingLimit = limit;
  }
  png_set_chunk_malloc_max(png, limit);
}

void PngWriteFn(png_structp png, png_bytep data, size_t length) {
  PngIO* io = static_cast<PngIO*>(png_get_io_ptr(png));
  if (io->stream->Write(data, static_cast<int64_t>(length)) != static_cast<int64_t>(length)) {
    io->writeFailed = true;
    png_error(png, "short write");
  }
}

void PngFlushFn(png_structp) {}

int Dpi(png_uint_32 pixelsPerMetre) {
  int dpi = static_cast<int>(std::lround(pixelsPerMetre / 100.0 * 2.54));
  return dpi > 0 ? dpi : kDefaultDpi;
}

png_uint_32 PixelsPerMetre(int dpi) {
  return static_cast<png_uint_32>(std::lround(std::max(dpi, 0) * 100.0 / 2.54));
}

// --- Reading ------------------------------------------------------------------

struct PngReadJob {
  png_structp png = nullptr;
  png_infop info = nullptr;
  // In: the options.
  bool compositeBackground = false;
  bool native = false;
  TBGR background{};
  // Out of the header: the file as it is.
  png_uint_32 width = 0, height = 0;
  int bitDepth = 0, colorType = 0, interlace = 0;
  bool hasTrns = false;
  bool hasBkgd = false;
  TBGR fileBackground{};
  // Out of the header: the rows as they will be delivered.
  int passes = 1;
  int outChannels = 0, outDepth = 0;
  size_t outRowBytes = 0;
  // In for the rows.
  TPxBitmap* bitmap = nullptr;
  TPxMask* mask = nullptr;  // alpha goes here when the rows carry it
  png_bytep rowBuffer = nullptr;  // width * 4 bytes, for rows with alpha
  TPxProgress* progress = nullptr;
  int rowsDone = 0;
};

// The file's bKGD colour as 8-bit blue, green, red, whatever its bit depth.
bool FileBackground(png_structp png, png_infop info, int bitDepth, int colorType, TBGR& out) {
  png_color_16p bk = nullptr;
  if (!png_get_bKGD(png, info, &bk) || !bk) return false;
  if (colorType == PNG_COLOR_TYPE_PALETTE) {
    png_colorp palette = nullptr;
    int count = 0;
    if (!png_get_PLTE(png, info, &palette, &count) || bk->index >= count) return false;
    out = MakeBGR(palette[bk->index].red, palette[bk->index].green, palette[bk->index].blue);
    return true;
  }
  const int maxValue = (1 << bitDepth) - 1;
  auto scale = [&](png_uint_16 v) {
    return static_cast<uint8_t>(bitDepth == 16 ? v >> 8 : (std::min<int>(v, maxValue) * 255) / maxValue);
  };
  if (colorType & PNG_COLOR_MASK_COLOR) out = MakeBGR(scale(bk->red), scale(bk->green), scale(bk->blue));
  else out = MakeBGR(scale(bk->gray), scale(bk->gray), scale(bk->gray));
  return true;
}

// Reads the chunks before the image data and sets up the transforms.
bool PngReadHeader(PngReadJob* job) {
  png_structp png = job->png;
  png_infop info = job->info;
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  png_get_IHDR(png, info, &job->width, &job->height, &job->bitDepth, &job->colorType,
               &job->interlace, nullptr, nullptr);
  job->hasTrns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  job->hasBkgd = FileBackground(png, info, job->bitDepth, job->colorType, job->fileBackground);

  const int depth = job->bitDepth;
  const int type = job->colorType;
  const bool gray = (type & PNG_COLOR_MASK_COLOR) == 0;
  if (job->native && depth == 8 && (type == PNG_COLOR_TYPE_PALETTE || type == PNG_COLOR_TYPE_GRAY)) {
    // Kept as it is: indices or gray bytes straight into px8p / px8g rows.
  } else {
    // One-bit images stay packed (px1g, 1 = white) when they are black and
    // white; any other two-colour palette, and transparency, need full colour.
    bool packedBlackWhite = false;
    if (depth == 1 && !job->hasTrns && !job->compositeBackground) {
      if (type == PNG_COLOR_TYPE_GRAY) {
        packedBlackWhite = true;
      } else if (type == PNG_COLOR_TYPE_PALETTE) {
        png_colorp palette = nullptr;
        int count = 0;
        if (png_get_PLTE(png, info, &palette, &count) && count >= 1) {
          const png_color& c0 = palette[0];
          bool blackFirst = c0.red == 0 && c0.green == 0 && c0.blue == 0;
          bool whiteSecond = count < 2 || (palette[1].red == 255 && palette[1].green == 255 &&
                                           palette[1].blue == 255);
          packedBlackWhite = blackFirst && whiteSecond;
        }
      }
    }
    if (!packedBlackWhite) {
      png_set_expand(png);  // palette to RGB, gray below 8 bits to 8, tRNS to alpha
      png_set_strip_16(png);
      if (gray) png_set_gray_to_rgb(png);
      png_set_bgr(png);
    }
  }

  if (job->compositeBackground) {
    if (job->hasBkgd) {
      png_color_16p bk = nullptr;
      png_get_bKGD(png, info, &bk);
      png_set_background_fixed(png, bk, PNG_BACKGROUND_GAMMA_FILE, 1, PNG_FP_1);
    } else {
      png_color_16 bk{};
      bk.red = job->background.r;
      bk.green = job->background.g;
      bk.blue = job->background.b;
      bk.gray = PxGray(job->background);
      png_set_background_fixed(png, &bk, PNG_BACKGROUND_GAMMA_SCREEN, 0, PNG_FP_1);
    }
  }
  job->passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  job->outChannels = png_get_channels(png, info);
  job->outDepth = png_get_bit_depth(png, info);
  job->outRowBytes = png_get_rowbytes(png, info);
  return true;
}

// Reads every row of every pass; returns false on a libpng error.
bool PngReadRows(PngReadJob* job) {
  png_structp png = job->png;
  if (setjmp(png_jmpbuf(png))) return false;
  const int height = static_cast<int>(job->height);
  const int width = static_cast<int>(job->width);
  const bool alpha = job->mask != nullptr;
  for (int pass = 0; pass < job->passes; ++pass) {
    for (int y = 0; y < height; ++y) {
      uint8_t* row = job->bitmap->Scanline(y);
      if (!row) png_error(png, "row out of reach");
      if (alpha) {
        uint8_t* a = job->mask->Scanline(y);
        png_bytep buf = job->rowBuffer;
        // Later passes fill in pixels between those of earlier ones, so the
        // buffer must hold what the row has so far.
        if (pass > 0) {
          for (int x = 0; x < width; ++x) {
            buf[4 * x] = row[3 * x];
            buf[4 * x + 1] = row[3 * x + 1];
            buf[4 * x + 2] = row[3 * x + 2];
            buf[4 * x + 3] = a[x];
          }
        }
        png_read_row(png, buf, nullptr);
        for (int x = 0; x < width; ++x) {
          row[3 * x] = buf[4 * x];
          row[3 * x + 1] = buf[4 * x + 1];
          row[3 * x + 2] = buf[4 * x + 2];
          a[x] = buf[4 * x + 3];
        }
      } else {
        png_read_row(png, row, nullptr);
      }
      ++job->rowsDone;
      job->progress->Advance();
      if (job->progress->Aborted()) return true;
    }
    if (job->progress->Aborted()) return true;
  }
  png_read_end(png, nullptr);
  return true;
}

void FillParams(png_structp png, png_infop info, const PngReadJob& job, TIOParamsVals& params) {
  params.Width = static_cast<int32_t>(job.width);
  params.Height = static_cast<int32_t>(job.height);
  params.BitsPerSample = job.bitDepth;
  switch (job.colorType) {
    case PNG_COLOR_TYPE_GRAY: params.SamplesPerPixel = 1; break;
    case PNG_COLOR_TYPE_PALETTE: params.SamplesPerPixel = 1; break;
    case PNG_COLOR_TYPE_RGB: params.SamplesPerPixel = 3; break;
    case PNG_COLOR_TYPE_GRAY_ALPHA: params.SamplesPerPixel = 2; break;
    default: params.SamplesPerPixel = 4; break;
  }
  // The colour kind a JPEG copy of the picture keeps: gray stays gray.
  params.JpegColorSpace = (job.colorType & PNG_COLOR_MASK_COLOR) ? 2 : 1;
  png_uint_32 xppm = 0, yppm = 0;
  int unit = 0;
  const bool phys = png_get_pHYs(png, info, &xppm, &yppm, &unit) != 0;
  params.SetDpi(Dpi(xppm), Dpi(yppm));
  params.DpiFromFile = phys && unit == PNG_RESOLUTION_METER && xppm > 0 && yppm > 0;

  params.ColorMap.clear();
  params.ColorMapCount = 0;
  png_colorp palette = nullptr;
  int count = 0;
  if (job.colorType == PNG_COLOR_TYPE_PALETTE && png_get_PLTE(png, info, &palette, &count)) {
    for (int i = 0; i < count; ++i)
      params.ColorMap.push_back(MakeBGR(palette[i].red, palette[i].green, palette[i].blue));
    params.ColorMapCount = count;
  }
  params.PngInterlaced = job.interlace != PNG_INTERLACE_NONE;

  params.PngTextKeys.clear();
  params.PngTextValues.clear();
  png_textp text = nullptr;
  int textCount = 0;
  png_get_text(png, info, &text, &textCount);
  for (int i = 0; i < textCount; ++i) {
    params.PngTextKeys.emplace_back(text[i].key ? text[i].key : "");
    const size_t len = text[i].compression > 0 ? text[i].itxt_length : text[i].text_length;
    params.PngTextValues.emplace_back(text[i].text ? std::string(text[i].text, len) : std::string());
  }
  if (job.compositeBackground && job.hasBkgd) params.PngBackground = job.fileBackground;
}

// Chooses the buffer's pixel format for the rows libpng will deliver, or pxNone.
TPxPixelFormat ReadFormat(const PngReadJob& job) {
  if (job.outDepth == 1 && job.outChannels == 1) return px1g;
  if (job.outDepth != 8) return pxNone;
  if (job.outChannels == 1)
    return job.colorType == PNG_COLOR_TYPE_PALETTE ? px8p : px8g;
  if (job.outChannels == 3 || job.outChannels == 4) return pxRGB24;
  return pxNone;
}

// The raw bytes of the image data, filter bytes included, as the file stores them.
int64_t RawImageBytes(const PngReadJob& job) {
  const int channels = job.colorType == PNG_COLOR_TYPE_PALETTE ? 1
                       : job.colorType == PNG_COLOR_TYPE_GRAY  ? 1
                       : job.colorType == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                       : job.colorType == PNG_COLOR_TYPE_RGB ? 3 : 4;
  const int64_t rowBits = static_cast<int64_t>(job.width) * channels * job.bitDepth;
  return static_cast<int64_t>(job.height) * ((rowBits + 7) / 8 + 1);
}

bool AllocateFor(const PngReadJob& job, TPxBitmap& bitmap, TPxPixelFormat pf, png_structp png,
                 png_infop info) {
  int64_t rowBytes = 0, total = 0;
  if (!PxCheckedImageBytes(job.width, job.height, PxBitsPerPixel(pf), rowBytes, total))
    return false;
  if (!bitmap.Allocate(static_cast<int>(job.width), static_cast<int>(job.height), pf)) return false;
  if (bitmap.IsEmpty() || bitmap.PixelFormat() != pf) return false;
  if (job.outChannels != 4 && job.outRowBytes > static_cast<size_t>(bitmap.RowBytes())) return false;
  if (pf == px8p) {
    for (int i = 0; i < 256; ++i) bitmap.PaletteColor(i, TBGR{});
    png_colorp palette = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &palette, &count))
      for (int i = 0; i < count && i < 256; ++i)
        bitmap.PaletteColor(i, MakeBGR(palette[i].red, palette[i].green, palette[i].blue));
    bitmap.PaletteColorLimit = 1 << job.bitDepth;
  }
  return true;
}

}  // namespace

// Parses untrusted data.
void ReadPngStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                   bool compositeBackground, std::unique_ptr<TPxMask>& alphaMask, bool paramsOnly,
                   TPxProgress& progress) {
  PngIO io;
  io.stream = &stream;
  PngReadJob job;
  job.compositeBackground = compositeBackground;
  job.native = params.NativePixelFormat;
  job.background = params.PngBackground;
  job.progress = &progress;

  job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngErrorFn, PngWarningFn);
  if (job.png) job.info = png_create_info_struct(job.png);
  if (!job.png || !job.info) {
    png_destroy_read_struct(job.png ? &job.png : nullptr, nullptr, nullptr);
    progress.Abort();
    return;
  }
  png_set_user_limits(job.png, kMaxDimension, kMaxDimension);
  png_set_chunk_cache_max(job.png, kMaxCachedChunks);
  png_set_chunk_malloc_max(job.png, kMaxChunkBytes);
  io.position = stream.Position();
  io.end = stream.Size();
  io.nextChunk = io.position + 8;  // after the signature
  io.info = job.info;
  io.inflatedLeft =
      kInflatedBaseBytes + kInflatedBytesPerByte * std::max<int64_t>(0, io.end - io.position);
  png_set_read_fn(job.png, &io, PngReadFn);

  std::vector<uint8_t> rowBuffer;
  bool ok = PngReadHeader(&job);
  if (ok) {
    FillParams(job.png, job.info, job, params);
    if (!paramsOnly) {
      const TPxPixelFormat pf = ReadFormat(job);
      const int64_t left = stream.Size() - stream.Position();
      ok = pf != pxNone && bitmap != nullptr &&
           RawImageBytes(job) <= left * kDeflateMaxRatio + 4096 &&
           AllocateFor(job, *bitmap, pf, job.png, job.info);
      if (ok && !compositeBackground) {
        const int w = static_cast<int>(job.width), h = static_cast<int>(job.height);
        if (!alphaMask) alphaMask = std::make_unique<TPxMask>();
        if (alphaMask->Width() != w || alphaMask->Height() != h || alphaMask->BitsPerPixel() != 8)
          ok = alphaMask->Allocate(w, h, 8);
        if (ok) alphaMask->Fill(255);
        if (ok && job.outChannels == 4 && job.outRowBytes == static_cast<size_t>(w) * 4) {
          alphaMask->Full = false;
          rowBuffer.resize(static_cast<size_t>(job.width) * 4);
          job.mask = alphaMask.get();
          job.rowBuffer = rowBuffer.data();
        }
      }
      // Rows with alpha are only ever read through the split buffer.
      if (ok && job.outChannels == 4 && !job.mask) ok = false;
      if (ok) {
        job.bitmap = bitmap;
        progress.Begin(static_cast<int64_t>(job.height) * job.passes);
        ok = PngReadRows(&job);
      }
    }
  }
  png_destroy_read_struct(&job.png, &job.info, nullptr);
  if (!ok) progress.Abort();
}

// --- Writing ------------------------------------------------------------------

namespace {

enum class RowKind { Gray1, Gray8, Gray16, GrayAlpha, Palette, PaletteAlpha, RGB, RGBA };

struct PngWriteJob {
  png_structp png = nullptr;
  png_infop info = nullptr;
  int width = 0, height = 0;
  int bitDepth = 8;
  int colorType = PNG_COLOR_TYPE_RGB;
  bool interlaced = false;
  RowKind kind = RowKind::RGB;
  png_color palette[256]{};
  int paletteCount = 0;
  png_byte trans[1] = {0};
  bool hasTrns = false;
  png_color_16 background{};
  png_uint_32 xppm = 0, yppm = 0;
  int filter = -1;  // -1: libpng's choice
  int compression = 5;
  png_textp texts = nullptr;
  int textCount = 0;
  bool packRows = false;  // rows hold one index per byte, packed by libpng
  // Builds the PNG row y into out (the caller's code; it cannot raise a libpng error).
  void (*buildRow)(void* context, int y, png_bytep out) = nullptr;
  void* context = nullptr;
  png_bytep rowBuffer = nullptr;
  TPxProgress* progress = nullptr;
  // Only the header: the caller writes the image data (PxDeflatePngRows).
  bool headerOnly = false;
};

bool PngWriteAll(PngWriteJob* job) {
  png_structp png = job->png;
  png_infop info = job->info;
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, static_cast<png_uint_32>(job->width), static_cast<png_uint_32>(job->height),
               job->bitDepth, job->colorType,
               job->interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (job->paletteCount > 0) png_set_PLTE(png, info, job->palette, job->paletteCount);
  if (job->hasTrns) png_set_tRNS(png, info, job->trans, 1, nullptr);
  png_set_pHYs(png, info, job->xppm, job->yppm, PNG_RESOLUTION_METER);
  png_set_bKGD(png, info, &job->background);
  if (job->filter >= 0) png_set_filter(png, PNG_FILTER_TYPE_BASE, job->filter);
  png_set_compression_level(png, job->compression);
  // Level 1 asks for speed: run-length matching. On filtered photo rows it
  // packs as tight as level 1's hash chains in about a third of the time.
  if (job->compression == 1) png_set_compression_strategy(png, Z_RLE);
  if (job->textCount > 0) png_set_text(png, info, job->texts, job->textCount);
  png_write_info(png, info);
  // Set after the header is written, which would undo it.
  if (job->packRows) png_set_packing(png);
  if (job->headerOnly) return true;
  const int passes = png_set_interlace_handling(png);
  job->progress->Begin(static_cast<int64_t>(job->height) * passes);
  for (int pass = 0; pass < passes; ++pass) {
    for (int y = 0; y < job->height; ++y) {
      job->buildRow(job->context, y, job->rowBuffer);
      png_write_row(png, job->rowBuffer);
      job->progress->Advance();
      if (job->progress->Aborted()) return true;
    }
  }
  png_write_end(png, nullptr);
  return true;
}

// What the row builders read from.
struct RowSource {
  TPxBitmap* bitmap = nullptr;
  const TPxMask* mask = nullptr;
  const TPxQuantizer* quantizer = nullptr;
  int width = 0;
  RowKind kind = RowKind::RGB;
};

void BuildRow(void* context, int y, png_bytep out) {
  const RowSource& s = *static_cast<const RowSource*>(context);
  const uint8_t* row = s.bitmap->Scanline(y);
  const int w = s.width;
  switch (s.kind) {
    case RowKind::Gray1:
      std::memcpy(out, row, static_cast<size_t>((w + 7) / 8));
      break;
    case RowKind::Gray8:
      if (s.bitmap->PixelFormat() == px8g) {
        std::memcpy(out, row, static_cast<size_t>(w));
      } else {  // a gray pxRGB24 picture: every channel holds the level
        for (int x = 0; x < w; ++x) out[x] = row[3 * x + 2];
      }
      break;
    case RowKind::Gray16:
      // PNG stores 16-bit samples most significant byte first.
      for (int x = 0; x < w; ++x) {
        out[2 * x] = row[2 * x + 1];
        out[2 * x + 1] = row[2 * x];
      }
      break;
    case RowKind::GrayAlpha: {
      const uint8_t* a = s.mask->Scanline(y);
      const bool gray8 = s.bitmap->PixelFormat() == px8g;
      for (int x = 0; x < w; ++x) {
        out[2 * x] = gray8 ? row[x] : row[3 * x + 2];
        out[2 * x + 1] = a[x];
      }
      break;
    }
    case RowKind::Palette:
      s.quantizer->MapRow(reinterpret_cast<const TBGR*>(row), out, w);
      break;
    case RowKind::PaletteAlpha: {
      const uint8_t* a = s.mask->Scanline(y);
      s.quantizer->MapRow(reinterpret_cast<const TBGR*>(row), out, w);
      for (int x = 0; x < w; ++x) out[x] = a[x] == 255 ? static_cast<png_byte>(out[x] + 1) : 0;
      break;
    }
    case RowKind::RGB:
      std::memcpy(out, row, static_cast<size_t>(w) * 3);
      break;
    case RowKind::RGBA: {
      const uint8_t* a = s.mask->Scanline(y);
      for (int x = 0; x < w; ++x) {
        out[4 * x] = row[3 * x];
        out[4 * x + 1] = row[3 * x + 1];
        out[4 * x + 2] = row[3 * x + 2];
        out[4 * x + 3] = a[x];
      }
      break;
    }
  }
}

// True when every pixel of a pxRGB24 picture is a gray level.
bool IsGray(TPxBitmap& rgb) {
  for (int y = 0; y < rgb.Height(); ++y) {
    const TBGR* row = reinterpret_cast<const TBGR*>(rgb.Scanline(y));
    for (int x = 0; x < rgb.Width(); ++x)
      if (row[x].r != row[x].g || row[x].g != row[x].b) return false;
  }
  return true;
}

// The distinct colours of a pxRGB24 picture into colors, up to two; 3 means more.
int CountColors(TPxBitmap& rgb, TBGR colors[2]) {
  int found = 0;
  for (int y = 0; y < rgb.Height(); ++y) {
    const TBGR* row = reinterpret_cast<const TBGR*>(rgb.Scanline(y));
    for (int x = 0; x < rgb.Width(); ++x) {
      if ((found > 0 && row[x] == colors[0]) || (found > 1 && row[x] == colors[1])) continue;
      if (found == 2) return 3;
      colors[found++] = row[x];
    }
  }
  return found;
}

// A px1g copy of a pxRGB24 picture: exact when it has at most two colours (the
// darker becomes black), otherwise by the buffer's black-and-white conversion.
bool MakeBlackWhite(TPxBitmap& source, TPxBitmap& out) {
  if (!out.Assign(source)) return false;
  TBGR colors[2];
  const int found = CountColors(out, colors);
  if (found > 2) return out.ConvertTo(px1g);
  // Which of the colours becomes white: the lighter of two, a single light one, or none.
  int whiteIndex = 0;
  if (found == 2) whiteIndex = PxGray(colors[1]) > PxGray(colors[0]) ? 1 : 0;
  else if (found == 1 && PxGray(colors[0]) < 128) whiteIndex = -1;
  TPxBitmap bw;
  if (!bw.Allocate(out.Width(), out.Height(), px1g)) return false;
  for (int y = 0; y < out.Height(); ++y) {
    std::vector<uint8_t> rgb(out.Scanline(y), out.Scanline(y) + static_cast<size_t>(out.Width()) * 3);
    uint8_t* dst = bw.Scanline(y);
    std::memset(dst, 0, static_cast<size_t>(bw.RowBytes()));
    const TBGR* px = reinterpret_cast<const TBGR*>(rgb.data());
    for (int x = 0; x < out.Width(); ++x)
      if (whiteIndex >= 0 && px[x] == colors[whiteIndex]) dst[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
  }
  return out.Assign(bw);
}

int NearestIndex(const TBGR& c, const png_color* palette, int from, int count) {
  int best = from;
  long bestDistance = -1;
  for (int i = from; i < count; ++i) {
    long dr = long(palette[i].red) - c.r, dg = long(palette[i].green) - c.g, db = long(palette[i].blue) - c.b;
    long d = dr * dr + dg * dg + db * db;
    if (bestDistance < 0 || d < bestDistance) {
      bestDistance = d;
      best = i;
    }
  }
  return best;
}

}  // namespace

namespace {

// Where the rows of a write come from: the bitmap itself or a converted copy,
// and the palette's quantizer.
struct PngPlan {
  TPxBitmap copy;
  TPxBitmap* source = nullptr;
  std::unique_ptr<TPxQuantizer> quantizer;
};

// Chooses colour type, bit depth, palette and background chunk of the file
// from SamplesPerPixel, BitsPerSample and the picture. False when a converted
// copy cannot be made.
bool PlanLayout(TPxBitmap* bitmap, const TIOParamsVals& params, bool alpha, PngWriteJob& job,
                PngPlan& plan) {
  TPxBitmap& copy = plan.copy;
  TPxBitmap*& source = plan.source;
  std::unique_ptr<TPxQuantizer>& quantizer = plan.quantizer;
  source = bitmap;
  const int bps = params.BitsPerSample;
  const TBGR bk = params.PngBackground;
  auto useCopy = [&](TPxPixelFormat pf) {
    if (!copy.Assign(*bitmap) || !copy.ConvertTo(pf) || copy.PixelFormat() != pf) return false;
    source = &copy;
    return true;
  };
  bool ready = true;

  // The palette of the quantizer's colours, at most n of them, at the given depth.
  auto usePalette = [&](int depth, int n) {
    quantizer = std::make_unique<TPxQuantizer>(*source, n);
    job.kind = RowKind::Palette;
    job.bitDepth = depth;
    job.colorType = PNG_COLOR_TYPE_PALETTE;
    job.paletteCount = std::min(quantizer->ColorCount(), n);
    for (int i = 0; i < job.paletteCount; ++i) {
      const TBGR& c = quantizer->Color(i);
      job.palette[i] = png_color{c.r, c.g, c.b};
    }
    job.background.index = static_cast<png_byte>(NearestIndex(bk, job.palette, 0, job.paletteCount));
  };

  if (params.SamplesPerPixel == 1 && alpha) {
    ready = bitmap->PixelFormat() == px8g || bitmap->PixelFormat() == pxRGB24 || useCopy(pxRGB24);
    if (ready && (source->PixelFormat() == px8g || IsGray(*source))) {
      // A gray picture keeps its levels and its alpha exactly.
      job.kind = RowKind::GrayAlpha;
      job.bitDepth = 8;
      job.colorType = PNG_COLOR_TYPE_GRAY_ALPHA;
      job.background.gray = PxGray(bk);
    } else if (ready) {
      // Index 0 is transparent and holds the background; the picture's colours
      // follow (source is pxRGB24 here: gray sources took the branch above).
      const int n = std::min(1 << std::clamp(bps, 1, 8), 255);
      quantizer = std::make_unique<TPxQuantizer>(*source, n);
      job.kind = RowKind::PaletteAlpha;
      job.bitDepth = 8;
      job.colorType = PNG_COLOR_TYPE_PALETTE;
      job.palette[0] = png_color{bk.r, bk.g, bk.b};
      job.paletteCount = 1 + std::min(quantizer->ColorCount(), 255);
      for (int i = 1; i < job.paletteCount; ++i) {
        const TBGR& c = quantizer->Color(i - 1);
        job.palette[i] = png_color{c.r, c.g, c.b};
      }
      job.hasTrns = true;
      job.background.index = 0;
    }
  } else if (params.SamplesPerPixel == 1 && bps == 1) {
    // One bit per pixel: black and white, except that a picture of two other
    // colours keeps them in a two-entry palette rather than losing them.
    bool twoColours = false;
    if (bitmap->PixelFormat() != px1g) {
      ready = bitmap->PixelFormat() == pxRGB24 || useCopy(pxRGB24);
      TBGR colors[2];
      const int n = ready ? CountColors(*source, colors) : 0;
      bool blackWhite = true;
      for (int i = 0; i < std::min(n, 2); ++i)
        blackWhite = blackWhite && (colors[i] == TBGR{0, 0, 0} || colors[i] == TBGR{255, 255, 255});
      twoColours = ready && n <= 2 && !blackWhite;
      if (ready && !twoColours) {
        TPxBitmap bw;
        ready = MakeBlackWhite(*source, bw) && copy.Assign(bw);
        source = &copy;
      }
    }
    if (twoColours) {
      usePalette(1, 2);
    } else {
      job.kind = RowKind::Gray1;
      job.bitDepth = 1;
      job.colorType = PNG_COLOR_TYPE_GRAY;
      job.background.gray = PxGray(bk) >= 128 ? 1 : 0;
    }
  } else if (params.SamplesPerPixel == 1 && bps == 16 && bitmap->PixelFormat() == px16g) {
    job.kind = RowKind::Gray16;
    job.bitDepth = 16;
    job.colorType = PNG_COLOR_TYPE_GRAY;
    job.background.gray = static_cast<png_uint_16>(PxGray(bk) * 257);
  } else if (params.SamplesPerPixel == 1) {
    // Palette, or gray when the picture has no colour.
    const int depth = bps <= 2 ? 2 : bps <= 4 ? 4 : 8;
    const int n = 1 << depth;
    if (bitmap->PixelFormat() == px8g) {
      job.kind = RowKind::Gray8;
    } else {
      ready = bitmap->PixelFormat() == pxRGB24 || useCopy(pxRGB24);
      if (ready) {
        TPxQuantizer probe(*source, n);
        // A picture without colour is written as gray levels, exactly.
        bool gray = true;
        for (const TBGR& c : probe.Palette()) gray = gray && c.r == c.g && c.g == c.b;
        job.kind = gray ? RowKind::Gray8 : RowKind::Palette;
      }
    }
    if (job.kind == RowKind::Gray8) {
      job.bitDepth = 8;
      job.colorType = PNG_COLOR_TYPE_GRAY;
      job.background.gray = PxGray(bk);
    } else if (ready) {
      usePalette(depth, n);
    }
  } else {
    ready = bitmap->PixelFormat() == pxRGB24 || useCopy(pxRGB24);
    job.kind = alpha ? RowKind::RGBA : RowKind::RGB;
    job.bitDepth = 8;
    job.colorType = alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
    job.background.red = bk.r;
    job.background.green = bk.g;
    job.background.blue = bk.b;
  }
  return ready;
}

}  // namespace

void WritePngStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    const TPxMask* alphaMask, TPxProgress& progress) {
  if (!bitmap || bitmap->IsEmpty()) {
    progress.Abort();
    return;
  }
  const int width = bitmap->Width(), height = bitmap->Height();
  const bool alpha = alphaMask && !alphaMask->Full && alphaMask->Width() >= width &&
                     alphaMask->Height() >= height && alphaMask->BitsPerPixel() == 8;

  PngWriteJob job;
  job.width = width;
  job.height = height;
  job.interlaced = params.PngInterlaced;
  job.xppm = PixelsPerMetre(params.DpiX);
  job.yppm = PixelsPerMetre(params.DpiY);
  job.compression = std::clamp(params.PngCompression, 0, 9);
  switch (params.PngFilter) {
    case 0: job.filter = PNG_FILTER_NONE; break;
    case 1: job.filter = PNG_FILTER_SUB; break;
    case 2: job.filter = PNG_FILTER_PAETH; break;
    default: job.filter = -1; break;
  }

  PngPlan plan;
  if (!PlanLayout(bitmap, params, alpha, job, plan)) {
    progress.Abort();
    return;
  }
  RowSource rows;
  rows.bitmap = plan.source;
  rows.mask = alphaMask;
  rows.quantizer = plan.quantizer.get();
  rows.width = width;
  rows.kind = job.kind;

  // One uncompressed text chunk per key and value; keys are 1 to 79 characters.
  const size_t pairs = std::min(params.PngTextKeys.size(), params.PngTextValues.size());
  std::vector<std::string> keys;
  std::vector<png_text> texts;
  keys.reserve(pairs);
  for (size_t i = 0; i < pairs; ++i) {
    std::string key = params.PngTextKeys[i].substr(0, 79);
    if (key.empty()) continue;
    keys.push_back(std::move(key));
    png_text t{};
    t.compression = PNG_TEXT_COMPRESSION_NONE;
    t.key = keys.back().data();
    t.text = const_cast<char*>(params.PngTextValues[i].c_str());
    t.text_length = params.PngTextValues[i].size();
    texts.push_back(t);
  }
  job.texts = texts.empty() ? nullptr : texts.data();
  job.textCount = static_cast<int>(texts.size());

  std::vector<png_byte> rowBuffer(static_cast<size_t>(width) * 4 + 8);
  job.rowBuffer = rowBuffer.data();
  job.buildRow = BuildRow;
  job.context = &rows;
  job.progress = &progress;

  PngIO io;
  io.stream = &stream;
  job.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngErrorFn, PngWarningFn);
  if (job.png) job.info = png_create_info_struct(job.png);
  if (!job.png || !job.info) {
    png_destroy_write_struct(job.png ? &job.png : nullptr, nullptr);
    throw std::runtime_error(kWriteErrorMessage);
  }
  png_set_write_fn(job.png, &io, PngWriteFn, PngFlushFn);
  if (job.kind == RowKind::RGB || job.kind == RowKind::RGBA) png_set_bgr(job.png);
  job.packRows = job.kind == RowKind::Palette && job.bitDepth < 8;
  // The fast levels of a plain colour picture are compressed on all cores
  // (rows read from several threads at once: not from a file-backed bitmap).
  job.headerOnly = job.kind == RowKind::RGB && !job.interlaced && job.compression <= 1 &&
                   (job.filter == PNG_FILTER_NONE || job.filter == PNG_FILTER_SUB) &&
                   rows.bitmap->Location() != pxFile;
  bool ok = PngWriteAll(&job);
  png_destroy_write_struct(&job.png, &job.info);
  if (ok && job.headerOnly) {
    // The image data goes out as it is made, then the end: chunks written
    // here, not by libpng, whose errors would jump out of the threads' frames.
    auto chunk = [&](const char* type, const uint8_t* data, size_t n) {
      uint8_t head[8] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8),  uint8_t(n),
                         uint8_t(type[0]), uint8_t(type[1]), uint8_t(type[2]), uint8_t(type[3])};
      uint32_t crc = libdeflate_crc32(0, head + 4, 4);
      // Without data libdeflate would give its start value.
      if (n > 0) crc = libdeflate_crc32(crc, data, n);
      uint8_t tail[4];
      for (int i = 0; i < 4; ++i) tail[i] = uint8_t(crc >> (24 - 8 * i));
      io.writeFailed = io.writeFailed || stream.Write(head, 8) != 8 ||
                       (n > 0 && stream.Write(data, int64_t(n)) != int64_t(n)) ||
                       stream.Write(tail, 4) != 4;
      return !io.writeFailed;
    };
    constexpr size_t kChunk = size_t(1) << 20;
    ok = PxDeflatePngRows(
             height, size_t(width) * 3, 3, job.filter == PNG_FILTER_SUB ? 1 : 0, job.compression,
             job.compression == 1 ? Z_RLE : Z_DEFAULT_STRATEGY,
             [src = rows.bitmap, width](int y, uint8_t* out) {
               const uint8_t* bgr = src->Scanline(y);
               for (int x = 0; x < width; ++x, bgr += 3, out += 3)
                 out[0] = bgr[2], out[1] = bgr[1], out[2] = bgr[0];
             },
             [&](const uint8_t* data, size_t n) {
               for (size_t at = 0; at < n; at += kChunk)
                 if (!chunk("IDAT", data + at, std::min(kChunk, n - at))) return false;
               return true;
             }) &&
         chunk("IEND", nullptr, 0);
    progress.Begin(1);
    progress.Advance();
  }
  if (ok) return;
  progress.Abort();
  if (!io.writeFailed) throw std::runtime_error(kWriteErrorMessage);
}

bool IsPngStream(TPxStream& stream) {
  uint8_t head[8] = {};
  const int64_t n = stream.Read(head, 8);
  if (n > 0) stream.Seek(-n, soCurrent);
  return n == 8 && head[0] == 137 && head[1] == 'P' && head[2] == 'N' && head[3] == 'G';
}

// --- The PNG row of the format table -------------------------------------------

void ReadPngRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                TPxProgress& progress) {
  std::unique_ptr<TPxMask> mask;
  if (paramsOnly) {
    ReadPngStream(stream, bitmap, params, true, mask, true, progress);
    return;
  }
  ReadPngStream(stream, bitmap, params, false, mask, false, progress);
  if (mask && bitmap && !bitmap->IsEmpty()) bitmap->AlphaFromMask(mask.get());
}

void WritePngRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                 TPxProgress& progress) {
  std::unique_ptr<TPxMask> mask;
  if (bitmap && bitmap->HasAlphaChannel()) {
    mask = std::make_unique<TPxMask>();
    if (!bitmap->AlphaToMask(*mask)) {
      progress.Abort();
      return;
    }
  }
  WritePngStream(stream, bitmap, params, mask.get(), progress);
}

bool PngContentTest(TPxStream& stream) {
  return stream.Size() - stream.Position() > 8 && IsPngStream(stream);
}

std::string DescribePng(const TIOParamsVals& params) {
  std::string text = params.PngInterlaced ? "interlaced" : "not interlaced";
  if (params.ColorMapCount > 0)
    text += ", palette of " + std::to_string(params.ColorMapCount) + " colours";
  const size_t texts = params.PngTextKeys.size();
  if (texts > 0) text += ", " + std::to_string(texts) + " text chunk" + (texts == 1 ? "" : "s");
  return text;
}

void GivePngBackground(TIOParamsVals& params, uint32_t background) {
  params.PngBackground = PxColorRefToBGR(background);
}

uint32_t TakePngBackground(const TIOParamsVals& params) {
  return PxBGRToColorRef(params.PngBackground);
}
