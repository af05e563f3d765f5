#include "imaging/formats/jpeg2000.h"

#include <openjpeg.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "imaging/core/pxconfig.h"
#include "imaging/formats/codecinput.h"
#include "imaging/formats/codecio.h"

namespace {

const uint8_t kJp2Signature[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
const uint8_t kJ2kStart[4] = {0xFF, 0x4F, 0xFF, 0x51};

bool StartsWith(TPxStream& stream, const uint8_t* bytes, int count) {
  const int64_t start = stream.Position();
  uint8_t head[12];
  const bool ok = stream.ReadExact(head, count) && std::memcmp(head, bytes, count) == 0;
  stream.SetPosition(start);
  return ok;
}

// --- the library's stream over ours ---------------------------------------------

struct StreamLink {
  TPxStream* stream;
  int64_t base;  // the library counts from where the picture starts
};

OPJ_SIZE_T LinkRead(void* buffer, OPJ_SIZE_T count, void* user) {
  auto* link = static_cast<StreamLink*>(user);
  const int64_t n = link->stream->Read(buffer, static_cast<int64_t>(count));
  return n > 0 ? static_cast<OPJ_SIZE_T>(n) : static_cast<OPJ_SIZE_T>(-1);
}

OPJ_SIZE_T LinkWrite(void* buffer, OPJ_SIZE_T count, void* user) {
  auto* link = static_cast<StreamLink*>(user);
  return link->stream->WriteExact(buffer, static_cast<int64_t>(count))
             ? count
             : static_cast<OPJ_SIZE_T>(-1);
}

OPJ_OFF_T LinkSkip(OPJ_OFF_T count, void* user) {
  auto* link = static_cast<StreamLink*>(user);
  return link->stream->Seek(count, soCurrent) < 0 ? -1 : count;
}

OPJ_BOOL LinkSeek(OPJ_OFF_T position, void* user) {
  auto* link = static_cast<StreamLink*>(user);
  return link->stream->Seek(link->base + position, soBeginning) >= 0 ? OPJ_TRUE : OPJ_FALSE;
}

opj_stream_t* MakeStream(StreamLink& link, bool input) {
  opj_stream_t* s = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, input ? OPJ_TRUE : OPJ_FALSE);
  if (!s) return nullptr;
  opj_stream_set_user_data(s, &link, nullptr);
  if (input) {
    opj_stream_set_read_function(s, LinkRead);
    opj_stream_set_user_data_length(
        s, static_cast<OPJ_UINT64>(std::max<int64_t>(0, link.stream->Size() - link.base)));
  } else {
    opj_stream_set_write_function(s, LinkWrite);
  }
  opj_stream_set_skip_function(s, LinkSkip);
  opj_stream_set_seek_function(s, LinkSeek);
  return s;
}

void KeepError(const char* message, void* user) {
  auto* params = static_cast<TIOParamsVals*>(user);
  if (params->CodecError.empty()) {
    params->CodecError = std::string("JPEG 2000: ") + message;
    while (!params->CodecError.empty() && params->CodecError.back() == '\n')
      params->CodecError.pop_back();
  }
}
void Ignore(const char*, void*) {}

int Threads() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

// Owns what one read or write holds of the library.
struct Session {
  opj_codec_t* codec = nullptr;
  opj_stream_t* stream = nullptr;
  opj_image_t* image = nullptr;
  ~Session() {
    if (image) opj_image_destroy(image);
    if (stream) opj_stream_destroy(stream);
    if (codec) opj_destroy_codec(codec);
  }
};

// --- reading ---------------------------------------------------------------------

struct Layout {
  int colour[3] = {-1, -1, -1};  // components of gray (one) or red, green, blue
  int channels = 0;              // 1 or 3
  int alpha = -1;
};

// Which component is what: an alpha component is the one the file marks, or
// the last of two or four unmarked ones.
bool FindLayout(const opj_image_t& image, Layout& out) {
  if (image.color_space == OPJ_CLRSPC_CMYK || image.color_space == OPJ_CLRSPC_EYCC) return false;
  std::vector<int> plain;
  for (OPJ_UINT32 c = 0; c < image.numcomps; ++c) {
    if (image.comps[c].alpha && out.alpha < 0) out.alpha = static_cast<int>(c);
    else plain.push_back(static_cast<int>(c));
  }
  if (out.alpha < 0 && (plain.size() == 2 || plain.size() == 4)) {
    out.alpha = plain.back();
    plain.pop_back();
  }
  if (plain.empty()) return false;
  out.channels = plain.size() >= 3 ? 3 : 1;
  for (int i = 0; i < out.channels; ++i) out.colour[i] = plain[i];
  return true;
}

// One component's samples for a row of the output, as 8-bit values: scaled
// from its precision, its subsampling undone by repeating samples.
class ComponentReader {
 public:
  ComponentReader(const opj_image_comp_t& comp, const opj_image_comp_t& first, int width)
      : comp_(&comp), xs_(width) {
    const OPJ_UINT32 rx = std::max<OPJ_UINT32>(1, comp.dx / std::max<OPJ_UINT32>(1, first.dx));
    ry_ = std::max<OPJ_UINT32>(1, comp.dy / std::max<OPJ_UINT32>(1, first.dy));
    for (int x = 0; x < width; ++x)
      xs_[x] = std::min<OPJ_UINT32>(static_cast<OPJ_UINT32>(x) / rx, comp.w - 1);
    const int prec = static_cast<int>(std::clamp<OPJ_UINT32>(comp.prec, 1, 31));
    offset_ = comp.sgnd ? int64_t(1) << (prec - 1) : 0;
    max_ = (int64_t(1) << prec) - 1;
    direct_ = prec == 8 && !comp.sgnd && rx == 1;
  }
  void Row(int y, uint8_t* out, int step) const {
    const OPJ_UINT32 yy = std::min<OPJ_UINT32>(static_cast<OPJ_UINT32>(y) / ry_, comp_->h - 1);
    const OPJ_INT32* src = comp_->data + static_cast<size_t>(yy) * comp_->w;
    const int width = static_cast<int>(xs_.size());
    if (direct_) {
      for (int x = 0; x < width; ++x, out += step)
        *out = static_cast<uint8_t>(std::clamp<OPJ_INT32>(src[x], 0, 255));
      return;
    }
    for (int x = 0; x < width; ++x, out += step) {
      const int64_t v = std::clamp<int64_t>(src[xs_[x]] + offset_, 0, max_);
      *out = static_cast<uint8_t>((v * 255 + max_ / 2) / max_);
    }
  }

 private:
  const opj_image_comp_t* comp_;
  std::vector<OPJ_UINT32> xs_;
  OPJ_UINT32 ry_ = 1;
  int64_t offset_ = 0, max_ = 255;
  bool direct_ = false;
};

// Y, Cb, Cr in place of blue, green, red (as ComponentReader left them) to
// blue, green, red; fixed point in 1/65536.
void YccRowToBgr(uint8_t* p, int width) {
  for (int x = 0; x < width; ++x, p += 3) {
    const int y = p[0] << 16, cb = p[1] - 128, cr = p[2] - 128;
    const int r = (y + 91881 * cr + 32768) >> 16;
    const int g = (y - 22554 * cb - 46802 * cr + 32768) >> 16;
    const int b = (y + 116130 * cb + 32768) >> 16;
    p[0] = static_cast<uint8_t>(std::clamp(b, 0, 255));
    p[1] = static_cast<uint8_t>(std::clamp(g, 0, 255));
    p[2] = static_cast<uint8_t>(std::clamp(r, 0, 255));
  }
}

bool CheckComponents(const opj_image_t& image, const Layout& layout) {
  const opj_image_comp_t& first = image.comps[layout.colour[0]];
  for (OPJ_UINT32 c = 0; c < image.numcomps; ++c)
    if (!image.comps[c].data || image.comps[c].w == 0 || image.comps[c].h == 0 ||
        image.comps[c].dx < first.dx || image.comps[c].dy < first.dy)
      return false;
  return true;
}

bool ConvertImage(const opj_image_t& image, const Layout& layout, TPxBitmap& bitmap,
                  TPxProgress& progress) {
  if (!CheckComponents(image, layout)) return false;
  const opj_image_comp_t& first = image.comps[layout.colour[0]];
  const int w = static_cast<int>(first.w), h = static_cast<int>(first.h);
  if (!PxAllocateChecked(bitmap, w, h, layout.channels == 3 ? pxRGB24 : px8g)) return false;
  std::vector<ComponentReader> readers;
  // Blue first: the pixel order of pxRGB24.
  for (int i = layout.channels - 1; i >= 0; --i)
    readers.emplace_back(image.comps[layout.colour[i]], first, w);
  const bool ycc = layout.channels == 3 && image.color_space == OPJ_CLRSPC_SYCC;
  if (ycc) std::swap(readers[0], readers[2]);  // Y, Cb, Cr land in bytes 0, 1, 2
  TPxBitmap* plane = layout.alpha >= 0 ? bitmap.AlphaChannel() : nullptr;
  if (layout.alpha >= 0 && !plane) return false;
  ComponentReader alpha(image.comps[std::max(layout.alpha, 0)], first, w);
  progress.Begin(h);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bitmap.Scanline(y);
    for (int i = 0; i < layout.channels; ++i) readers[i].Row(y, row + i, layout.channels);
    if (ycc) YccRowToBgr(row, w);
    if (plane) alpha.Row(y, plane->Scanline(y), 1);
    progress.Advance();
    if (progress.Aborted()) return true;
  }
  if (plane) plane->SetFullAlpha(false);
  return true;
}

// Resolution levels of the first tile's first component, as the header tells.
int ResolutionLevels(opj_codec_t* codec) {
  opj_codestream_info_v2_t* info = opj_get_cstr_info(codec);
  if (!info) return 1;
  int levels = 1;
  if (info->m_default_tile_info.tccp_info && info->nbcomps > 0)
    levels = static_cast<int>(info->m_default_tile_info.tccp_info[0].numresolutions);
  opj_destroy_cstr_info(&info);
  return std::max(levels, 1);
}

int64_t Reduced(int64_t side, int levels) { return (side + (int64_t(1) << levels) - 1) >> levels; }

// Levels to leave out: as asked, or (asked -1) the most that still cover the
// wished size; never all the file has.
int ChooseReduce(int asked, int32_t wishW, int32_t wishH, int64_t w, int64_t h, int levels) {
  int wanted = asked;
  if (wanted < 0) {
    wanted = 0;
    if (wishW > 0 && wishH > 0)
      while (wanted + 1 < levels && Reduced(w, wanted + 1) >= wishW && Reduced(h, wanted + 1) >= wishH)
        ++wanted;
  }
  return std::clamp(wanted, 0, levels - 1);
}

// Bytes the library will hold for the decoded components, 4 per sample.
bool DecodedSizeAllowed(const opj_image_t& image, int reduce) {
  int64_t total = 0;
  for (OPJ_UINT32 c = 0; c < image.numcomps; ++c) {
    const opj_image_comp_t& comp = image.comps[c];
    const int64_t cw = Reduced(comp.w, reduce), ch = Reduced(comp.h, reduce);
    int64_t bytes = 0;
    if (!PxCheckedMul(cw * 4, ch, bytes)) return false;
    total += bytes;
    if (total > PxImageBytesLimit()) return false;
  }
  return true;
}

void Fail(TIOParamsVals& params, TPxProgress& progress, const char* why) {
  if (params.CodecError.empty()) params.CodecError = why;
  progress.Abort();
}

// Parses untrusted data: OpenJPEG checks the code stream in strict mode (a
// truncated one is an error, not a partial picture); the sizes it announces
// are checked here before it decodes.
void ReadJpeg2000(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                  TPxProgress& progress, OPJ_CODEC_FORMAT format) {
  params.CodecError.clear();
  // The size asked for: the read replaces it by the file's.
  const int32_t wishW = params.Width, wishH = params.Height;
  StreamLink link{&stream, stream.Position()};
  Session s;
  s.codec = opj_create_decompress(format);
  s.stream = MakeStream(link, true);
  if (!s.codec || !s.stream) return Fail(params, progress, "JPEG 2000: out of memory");
  opj_set_error_handler(s.codec, KeepError, &params);
  opj_set_warning_handler(s.codec, Ignore, nullptr);
  opj_set_info_handler(s.codec, Ignore, nullptr);
  opj_dparameters_t dp;
  opj_set_default_decoder_parameters(&dp);
  // The thread count is taken before the header is read; a library built
  // without threads refuses it and decodes on this one.
  if (!opj_setup_decoder(s.codec, &dp) || !opj_decoder_set_strict_mode(s.codec, OPJ_TRUE))
    return Fail(params, progress, "JPEG 2000: cannot set up the decoder");
  opj_codec_set_threads(s.codec, Threads());
  if (!opj_read_header(s.stream, s.codec, &s.image) || !s.image)
    return Fail(params, progress, "JPEG 2000: damaged header");
  Layout layout;
  if (!FindLayout(*s.image, layout)) return Fail(params, progress, "JPEG 2000: unsupported colours");
  const opj_image_comp_t& first = s.image->comps[layout.colour[0]];
  params.Width = static_cast<int32_t>(std::min<OPJ_UINT32>(first.w, INT32_MAX));
  params.Height = static_cast<int32_t>(std::min<OPJ_UINT32>(first.h, INT32_MAX));
  params.BitsPerSample = static_cast<int32_t>(first.prec);
  params.SamplesPerPixel = static_cast<int32_t>(s.image->numcomps);
  if (paramsOnly) return;
  if (!bitmap) return Fail(params, progress, "JPEG 2000: no bitmap");
  // Decoding leaves the reduced size in the components.
  const int32_t fullW = params.Width, fullH = params.Height;
  const int reduce = ChooseReduce(params.Jp2Reduce, wishW, wishH, first.w, first.h,
                                  ResolutionLevels(s.codec));
  int64_t rowBytes = 0, total = 0;
  if (!DecodedSizeAllowed(*s.image, reduce) ||
      !PxCheckedImageBytes(Reduced(first.w, reduce), Reduced(first.h, reduce), 8 * layout.channels,
                           rowBytes, total))
    return Fail(params, progress, "JPEG 2000: the picture is too large");
  if ((reduce > 0 && !opj_set_decoded_resolution_factor(s.codec, static_cast<OPJ_UINT32>(reduce))) ||
      !opj_decode(s.codec, s.stream, s.image) ||
      !opj_end_decompress(s.codec, s.stream))
    return Fail(params, progress, "JPEG 2000: damaged data");
  params.Jp2ReduceUsed = reduce;
  if (!ConvertImage(*s.image, layout, *bitmap, progress)) {
    bitmap->FreeImage();
    return Fail(params, progress, "JPEG 2000: damaged data");
  }
  params.Width = bitmap->Width();
  params.Height = bitmap->Height();
  if (reduce > 0) {
    params.FullWidth = fullW;
    params.FullHeight = fullH;
  }
}

// --- writing ---------------------------------------------------------------------

// Resolution levels the picture's smaller side allows (each level halves it).
int LevelsFor(int width, int height) {
  int levels = 1;
  for (int side = std::min(width, height); levels < 6 && (side >> levels) >= 1;) ++levels;
  return levels;
}

bool FillImage(TPxBitmap& bitmap, opj_image_t& image) {
  const int w = bitmap.Width(), h = bitmap.Height();
  const TPxPixelFormat pf = bitmap.PixelFormat();
  const TPxBitmap* alpha = bitmap.HasAlphaChannel() ? bitmap.AlphaChannel() : nullptr;
  const int colours = pf == pxRGB24 ? 3 : 1;
  for (int y = 0; y < h; ++y) {
    const uint8_t* src = bitmap.Scanline(y);
    const size_t at = static_cast<size_t>(y) * w;
    if (pf == pxRGB24) {
      OPJ_INT32* r = image.comps[0].data + at;
      OPJ_INT32* g = image.comps[1].data + at;
      OPJ_INT32* b = image.comps[2].data + at;
      for (int x = 0; x < w; ++x, src += 3) {
        b[x] = src[0];
        g[x] = src[1];
        r[x] = src[2];
      }
    } else if (pf == px8g) {
      OPJ_INT32* v = image.comps[0].data + at;
      for (int x = 0; x < w; ++x) v[x] = src[x];
    } else {
      OPJ_INT32* v = image.comps[0].data + at;
      for (int x = 0; x < w; ++x) v[x] = (src[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
    }
    if (alpha) {
      const uint8_t* a = alpha->Scanline(y);
      OPJ_INT32* v = image.comps[colours].data + at;
      for (int x = 0; x < w; ++x) v[x] = a[x];
    }
  }
  return true;
}

void WriteJpeg2000(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                   TPxProgress& progress, OPJ_CODEC_FORMAT format) {
  if (!bitmap || bitmap->IsEmpty()) return progress.Abort();
  const TPxPixelFormat pf = bitmap->PixelFormat();
  if (pf != pxRGB24 && pf != px8g && pf != px1g) return progress.Abort();
  const int w = bitmap->Width(), h = bitmap->Height();
  const bool alpha = bitmap->HasAlphaChannel();
  const int colours = pf == pxRGB24 ? 3 : 1;
  const int count = colours + (alpha ? 1 : 0);
  // The library keeps every sample as a 32-bit number.
  int64_t bytes = 0;
  if (!PxCheckedMul(int64_t(w) * h, 4 * count, bytes) || bytes > PxImageBytesLimit())
    return progress.Abort();
  opj_image_cmptparm_t parts[4];
  std::memset(parts, 0, sizeof(parts));
  for (int c = 0; c < count; ++c) {
    parts[c].dx = parts[c].dy = 1;
    parts[c].w = static_cast<OPJ_UINT32>(w);
    parts[c].h = static_cast<OPJ_UINT32>(h);
    parts[c].prec = 8;
  }
  Session s;
  s.image = opj_image_create(static_cast<OPJ_UINT32>(count), parts,
                             colours == 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY);
  if (!s.image) return progress.Abort();
  s.image->x1 = static_cast<OPJ_UINT32>(w);
  s.image->y1 = static_cast<OPJ_UINT32>(h);
  if (alpha) s.image->comps[colours].alpha = 1;
  progress.Begin(1);
  FillImage(*bitmap, *s.image);

  opj_cparameters_t cp;
  opj_set_default_encoder_parameters(&cp);
  cp.tcp_numlayers = 1;
  cp.cp_disto_alloc = 1;
  const bool lossy = params.Jp2Ratio > 1;
  cp.tcp_rates[0] = lossy ? params.Jp2Ratio : 0;
  cp.irreversible = lossy ? 1 : 0;
  cp.tcp_mct = colours == 3 ? 1 : 0;
  cp.numresolution = LevelsFor(w, h);
  StreamLink link{&stream, stream.Position()};
  s.codec = opj_create_compress(format);
  s.stream = MakeStream(link, false);
  if (!s.codec || !s.stream) return progress.Abort();
  opj_set_error_handler(s.codec, Ignore, nullptr);
  opj_set_warning_handler(s.codec, Ignore, nullptr);
  opj_set_info_handler(s.codec, Ignore, nullptr);
  if (!opj_setup_encoder(s.codec, &cp, s.image)) return progress.Abort();
  opj_codec_set_threads(s.codec, Threads());
  if (!opj_start_compress(s.codec, s.image, s.stream) || !opj_encode(s.codec, s.stream) ||
      !opj_end_compress(s.codec, s.stream))
    return progress.Abort();
  progress.Advance();
}

}  // namespace

bool IsJp2Stream(TPxStream& stream) { return StartsWith(stream, kJp2Signature, 12); }
bool IsJ2kStream(TPxStream& stream) { return StartsWith(stream, kJ2kStart, 4); }

namespace {

void GuardedRead(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                 TPxProgress& progress, OPJ_CODEC_FORMAT format) {
  try {
    ReadJpeg2000(stream, bitmap, params, paramsOnly, progress, format);
  } catch (const std::bad_alloc&) {
    if (bitmap) bitmap->FreeImage();
    Fail(params, progress, "JPEG 2000: out of memory");
  }
}

void GuardedWrite(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                  TPxProgress& progress, OPJ_CODEC_FORMAT format) {
  try {
    WriteJpeg2000(stream, bitmap, params, progress, format);
  } catch (const std::bad_alloc&) {
    progress.Abort();
  }
}

}  // namespace

void ReadJp2Stream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                   TPxProgress& progress) {
  GuardedRead(stream, bitmap, params, paramsOnly, progress, OPJ_CODEC_JP2);
}

void ReadJ2kStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                   TPxProgress& progress) {
  GuardedRead(stream, bitmap, params, paramsOnly, progress, OPJ_CODEC_J2K);
}

void WriteJp2Stream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress) {
  GuardedWrite(stream, bitmap, params, progress, OPJ_CODEC_JP2);
}

void WriteJ2kStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress) {
  GuardedWrite(stream, bitmap, params, progress, OPJ_CODEC_J2K);
}

std::string DescribeJpeg2000(const TIOParamsVals& params) {
  std::string text = std::to_string(params.SamplesPerPixel) + " component" +
                     (params.SamplesPerPixel == 1 ? "" : "s") + ", " +
                     std::to_string(params.BitsPerSample) + " bits";
  if (params.Jp2ReduceUsed > 0)
    text += ", decoded without " + std::to_string(params.Jp2ReduceUsed) + " resolution level" +
            (params.Jp2ReduceUsed == 1 ? "" : "s");
  return text;
}
