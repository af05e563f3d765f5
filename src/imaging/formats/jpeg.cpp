// JPEG reader and writer over libjpeg's 6b interface (libjpeg-turbo).
//
// libjpeg reports fatal errors by a long jump. Every call into it goes through
// JpegGuard, the one function that calls setjmp; the steps it runs are plain
// functions whose frames hold no object with a destructor, so a jump never
// skips a destructor. Everything that owns memory (the codec object, scratch
// rows) lives in the callers' frames above the guard and is released normally.
#include "imaging/formats/jpeg.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "imaging/core/pxprogress.h"
#include "imaging/core/ioparams.h"
#include "imaging/core/pxconfig.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/exif.h"

namespace {

constexpr size_t kJpegBufferSize = 65536;  // stream buffer of both directions
constexpr int kSoiSearchBytes = 100;
constexpr unsigned kMaxMarkerBytes = 0xFFFF;
// A coded 8 x 8 block costs at least one bit even in the sparsest progressive
// scan, so a file cannot hold more than 512 pixels per byte; twice that margin
// still stops a few hundred bytes from claiming a gigapixel picture.
constexpr int64_t kMaxPixelsPerFileByte = 1024;
constexpr int64_t kRatioCheckFromPixels = int64_t(16) << 20;
// Bounds libjpeg's whole-image buffers (progressive and multi-scan files);
// lower still when the process limits its pixel buffers (PxImageBytesLimit).
constexpr long kMaxCodecMemory = 4L << 30;

// Untrusted data costs work by its scans: libjpeg decodes every block of every
// scan, and a scan of end-of-block runs takes a few bytes whatever the size of
// the picture. Encoders write about 10 scans (jpeg_simple_progression) and no
// real one more than a few dozen; libjpeg-turbo's tools refuse input past 500
// as hostile. A file past kMaxJpegScans scans is refused.
constexpr int kMaxJpegScans = 500;
// The blocks the scans visit are bounded too, so that a large picture cannot
// take 500 scans of its full size: a usual progressive file visits every block
// about 5 times, up to 16 times the picture's blocks are free, and beyond that
// every byte of the stream pays for 24 more (real scan data costs bytes; a scan
// of end-of-block runs costs a few whatever the picture's size). libjpeg takes
// 20 to 40 ns per block of an empty refinement scan: the scans' work stays
// below about 0.6 us per block of the picture plus 1 s per megabyte of input.
constexpr int64_t kFreeScanPasses = 16;
constexpr int64_t kScanBlocksPerByte = 24;
constexpr int64_t kClearRowsLimit = int64_t(256) << 20;

constexpr uint8_t kMarkerApp0 = 224;
constexpr uint8_t kMarkerApp14 = 238;
constexpr uint8_t kMarkerApp15 = 239;
constexpr uint8_t kMarkerCom = 254;
constexpr uint8_t kMarkerApp2 = 226;
constexpr uint8_t kMarkerApp1 = 225;

// ---- error manager ---------------------------------------------------------

struct JpegErrorMgr {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  bool* aborting;
  int warnings;
  int lastWarning;
  // Set by the source once the stream ran dry; a warning after that means
  // the codec had to make up data that was missing, not just the end marker.
  const bool* endSupplied;
  bool dataMissing;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void JpegErrorExit(j_common_ptr cinfo) {
  JpegErrorMgr* err = reinterpret_cast<JpegErrorMgr*>(cinfo->err);
  if (err->pub.msg_code > 0 && err->pub.msg_code <= err->pub.last_jpeg_message)
    err->pub.format_message(cinfo, err->message);
  else
    std::snprintf(err->message, sizeof err->message, "%s", "Corrupted");
  *err->aborting = true;
  std::longjmp(err->jump, 1);
}

// Warnings (level -1) are counted; trace messages are dropped; nothing is printed.
void JpegEmitMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  JpegErrorMgr* err = reinterpret_cast<JpegErrorMgr*>(cinfo->err);
  ++err->warnings;
  ++err->pub.num_warnings;
  err->lastWarning = err->pub.msg_code;
  if (err->endSupplied && *err->endSupplied && err->pub.msg_code != JWRN_JPEG_EOF)
    err->dataMissing = true;
}

void JpegOutputMessage(j_common_ptr) {}

void InitErrorMgr(JpegErrorMgr& err, bool* aborting) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = JpegErrorExit;
  err.pub.emit_message = JpegEmitMessage;
  err.pub.output_message = JpegOutputMessage;
  err.aborting = aborting;
  err.warnings = 0;
  err.lastWarning = 0;
  err.endSupplied = nullptr;
  err.dataMissing = false;
  err.message[0] = '\0';
}

// Ends the codec's work as a failure of our own, like an error of libjpeg.
[[noreturn]] void JpegRefuse(j_common_ptr cinfo, const char* why) {
  JpegErrorMgr* err = reinterpret_cast<JpegErrorMgr*>(cinfo->err);
  std::snprintf(err->message, sizeof err->message, "%s", why);
  *err->aborting = true;
  std::longjmp(err->jump, 1);
}

using JpegStep = void (*)(void* context);

// The only setjmp of this file: runs one step, false when libjpeg failed.
bool JpegGuard(JpegErrorMgr& err, JpegStep step, void* context) {
  if (setjmp(err.jump) != 0) return false;
  step(context);
  return true;
}

// ---- source manager --------------------------------------------------------

struct JpegSource {
  jpeg_source_mgr pub;
  TPxStream* stream;
  bool* aborting;
  bool anyRead;       // the stream gave bytes since the source was bound
  bool endSupplied;  // the stream ran dry and an end-of-image was made up
  JOCTET buffer[kJpegBufferSize];
};

void SourceInit(j_decompress_ptr) {}

// APPn and COM segments, which libjpeg keeps: it allocates their claimed
// length before reading it.
bool IsKeptSegment(int marker) {
  return (marker >= JPEG_APP0 && marker <= JPEG_APP0 + 15) || marker == JPEG_COM;
}

boolean SourceFill(j_decompress_ptr cinfo) {
  JpegSource* src = reinterpret_cast<JpegSource*>(cinfo->src);
  int64_t got = 0;
  // A C++ exception must not travel through libjpeg's C frames.
  try {
    got = src->stream->Read(src->buffer, kJpegBufferSize);
  } catch (...) {
    got = 0;
  }
  if (got <= 0) {
    if (!src->anyRead) *src->aborting = true;
    // The stream ended inside a kept segment: it claimed more than the file
    // holds. A truncated file, refused before libjpeg stores made-up bytes.
    if (IsKeptSegment(cinfo->unread_marker))
      JpegRefuse(reinterpret_cast<j_common_ptr>(cinfo), "Truncated marker");
    src->endSupplied = true;
    cinfo->err->msg_code = JWRN_JPEG_EOF;
    cinfo->err->emit_message(reinterpret_cast<j_common_ptr>(cinfo), -1);
    src->buffer[0] = 0xFF;
    src->buffer[1] = JPEG_EOI;
    got = 2;
  } else {
    src->anyRead = true;
  }
  src->pub.next_input_byte = src->buffer;
  src->pub.bytes_in_buffer = static_cast<size_t>(got);
  return TRUE;
}

void SourceSkip(j_decompress_ptr cinfo, long count) {
  JpegSource* src = reinterpret_cast<JpegSource*>(cinfo->src);
  if (count <= 0) return;
  while (count > static_cast<long>(src->pub.bytes_in_buffer)) {
    count -= static_cast<long>(src->pub.bytes_in_buffer);
    SourceFill(cinfo);
    // At the end of data keep the made-up end-of-image for the marker reader.
    if (src->endSupplied) return;
  }
  src->pub.next_input_byte += count;
  src->pub.bytes_in_buffer -= static_cast<size_t>(count);
}

void SourceTerm(j_decompress_ptr) {}

// ---- destination manager ---------------------------------------------------

struct JpegDest {
  jpeg_destination_mgr pub;
  TPxStream* stream;
  bool* aborting;
  JOCTET buffer[kJpegBufferSize];
};

bool DestWrite(JpegDest* dest, size_t count) {
  try {
    return dest->stream->Write(dest->buffer, static_cast<int64_t>(count)) ==
           static_cast<int64_t>(count);
  } catch (...) {
    return false;
  }
}

void DestInit(j_compress_ptr cinfo) {
  JpegDest* dest = reinterpret_cast<JpegDest*>(cinfo->dest);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = kJpegBufferSize;
}

// A short write ends the compression: there is no point in coding the rest.
boolean DestEmpty(j_compress_ptr cinfo) {
  JpegDest* dest = reinterpret_cast<JpegDest*>(cinfo->dest);
  if (!DestWrite(dest, kJpegBufferSize)) {
    *dest->aborting = true;
    ERREXIT(cinfo, JERR_FILE_WRITE);
  }
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = kJpegBufferSize;
  return TRUE;
}

void DestTerm(j_compress_ptr cinfo) {
  JpegDest* dest = reinterpret_cast<JpegDest*>(cinfo->dest);
  const size_t used = kJpegBufferSize - dest->pub.free_in_buffer;
  if (used > 0 && !DestWrite(dest, used)) {
    *dest->aborting = true;
    ERREXIT(cinfo, JERR_FILE_WRITE);
  }
}

// ---- codec objects -----------------------------------------------------------

// Counts the scans of a multi-scan file as libjpeg reaches them (its progress
// monitor runs before every row of input it consumes) and refuses the file
// past kMaxJpegScans scans or its budget of blocks.
struct JpegScanGuard {
  jpeg_progress_mgr pub;
  int lastScan = 0;
  int64_t blocksLeft = 0;
};

void ScanGuardMonitor(j_common_ptr common) {
  if (!common->is_decompressor) return;
  auto* cinfo = reinterpret_cast<j_decompress_ptr>(common);
  auto* guard = reinterpret_cast<JpegScanGuard*>(cinfo->progress);
  if (cinfo->input_scan_number == guard->lastScan) return;
  guard->lastScan = cinfo->input_scan_number;
  if (guard->lastScan > kMaxJpegScans) JpegRefuse(common, "Too many scans");
  guard->blocksLeft -= int64_t(cinfo->MCUs_per_row) * cinfo->MCU_rows_in_scan * cinfo->blocks_in_MCU;
  if (guard->blocksLeft < 0) JpegRefuse(common, "Too much scan work for the file's size");
}

// The blocks the scans of the file may visit, from the picture's blocks and the
// bytes of the stream behind its start.
int64_t ScanBlockBudget(const jpeg_decompress_struct& cinfo, TPxStream& stream, int64_t start) {
  int64_t blocks = 0;
  for (int c = 0; c < cinfo.num_components; ++c)
    blocks += int64_t(cinfo.comp_info[c].width_in_blocks) * cinfo.comp_info[c].height_in_blocks;
  int64_t bytes = 0;
  try {
    bytes = std::max<int64_t>(0, stream.Size() - start);
  } catch (...) {
    bytes = 0;
  }
  return kFreeScanPasses * blocks + kScanBlocksPerByte * bytes;
}

struct JpegDecoder {
  jpeg_decompress_struct cinfo;
  JpegErrorMgr err;
  JpegSource source;
  JpegScanGuard scans;
  bool created;
  bool cutBeforeRows;  // a multi-scan file ended before its last scan
  boolean requireImage;
  JSAMPROW row;
  JDIMENSION rowsRead;
};

struct JpegDecoderFree {
  void operator()(JpegDecoder* d) const {
    if (d->created) jpeg_destroy_decompress(&d->cinfo);
    delete d;
  }
};
using JpegDecoderPtr = std::unique_ptr<JpegDecoder, JpegDecoderFree>;

struct JpegEncoder {
  jpeg_compress_struct cinfo;
  JpegErrorMgr err;
  JpegDest dest;
  bool created;
  int quality;
  JSAMPROW row;
};

struct JpegEncoderFree {
  void operator()(JpegEncoder* e) const {
    if (e->created) jpeg_destroy_compress(&e->cinfo);
    delete e;
  }
};
using JpegEncoderPtr = std::unique_ptr<JpegEncoder, JpegEncoderFree>;

// Steps run under JpegGuard: plain libjpeg calls, nothing to destroy.
void StepCreateDecompress(void* c) {
  auto* d = static_cast<JpegDecoder*>(c);
  jpeg_create_decompress(&d->cinfo);
  d->cinfo.mem->max_memory_to_use =
      static_cast<long>(std::min<int64_t>(kMaxCodecMemory, PxImageBytesLimit()));
}
void StepSaveMarkers(void* c) {
  auto* d = static_cast<JpegDecoder*>(c);
  jpeg_save_markers(&d->cinfo, JPEG_COM, kMaxMarkerBytes);
  for (int i = 0; i < 16; ++i) jpeg_save_markers(&d->cinfo, JPEG_APP0 + i, kMaxMarkerBytes);
}
void StepReadHeader(void* c) {
  auto* d = static_cast<JpegDecoder*>(c);
  jpeg_read_header(&d->cinfo, d->requireImage);
}
void StepCalcOutput(void* c) { jpeg_calc_output_dimensions(&static_cast<JpegDecoder*>(c)->cinfo); }
void StepStartDecompress(void* c) { jpeg_start_decompress(&static_cast<JpegDecoder*>(c)->cinfo); }
void StepReadRow(void* c) {
  auto* d = static_cast<JpegDecoder*>(c);
  d->rowsRead = jpeg_read_scanlines(&d->cinfo, &d->row, 1);
}
void StepFinishDecompress(void* c) { jpeg_finish_decompress(&static_cast<JpegDecoder*>(c)->cinfo); }

void StepCreateCompress(void* c) { jpeg_create_compress(&static_cast<JpegEncoder*>(c)->cinfo); }
void StepSetDefaults(void* c) { jpeg_set_defaults(&static_cast<JpegEncoder*>(c)->cinfo); }
void StepSetColorspace(void* c) {
  auto* e = static_cast<JpegEncoder*>(c);
  jpeg_set_colorspace(&e->cinfo, e->cinfo.jpeg_color_space);
}
void StepSetQuality(void* c) {
  auto* e = static_cast<JpegEncoder*>(c);
  jpeg_set_quality(&e->cinfo, e->quality, TRUE);
}
void StepProgressive(void* c) { jpeg_simple_progression(&static_cast<JpegEncoder*>(c)->cinfo); }
void StepStartCompress(void* c) { jpeg_start_compress(&static_cast<JpegEncoder*>(c)->cinfo, TRUE); }
void StepWriteRow(void* c) {
  auto* e = static_cast<JpegEncoder*>(c);
  jpeg_write_scanlines(&e->cinfo, &e->row, 1);
}
void StepFinishCompress(void* c) { jpeg_finish_compress(&static_cast<JpegEncoder*>(c)->cinfo); }

struct JpegMarkerWrite {
  JpegEncoder* encoder;
  int type;
  const JOCTET* data;
  unsigned length;
};
void StepWriteMarker(void* c) {
  auto* m = static_cast<JpegMarkerWrite*>(c);
  jpeg_write_marker(&m->encoder->cinfo, m->type, m->data, m->length);
}

void BindSource(JpegDecoder& d, TPxStream& stream, bool* aborting) {
  JpegSource& s = d.source;
  s.pub.init_source = SourceInit;
  s.pub.fill_input_buffer = SourceFill;
  s.pub.skip_input_data = SourceSkip;
  s.pub.resync_to_restart = jpeg_resync_to_restart;
  s.pub.term_source = SourceTerm;
  s.pub.bytes_in_buffer = 0;
  s.pub.next_input_byte = nullptr;
  s.stream = &stream;
  s.aborting = aborting;
  s.anyRead = false;
  s.endSupplied = false;
  d.err.endSupplied = &s.endSupplied;
  d.err.dataMissing = false;
  d.cinfo.src = &s.pub;
}

// ---- pixel rows ------------------------------------------------------------
//
// pxCMYK holds ink amounts (0 = no ink). Adobe files store every value as
// 255 - ink, which their APP14 marker announces.

void InvertRow(uint8_t* row, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) row[i] = static_cast<uint8_t>(255 - row[i]);
}

// CMYK rows through the buffer's own conversions, so that a pxCMYK picture
// and its JPEG agree; Adobe-inverted data is turned around first.
void AdobeCmykRowToBgr(uint8_t* cmyk, bool inverted, uint8_t* bgr, int32_t width) {
  if (inverted) InvertRow(cmyk, size_t(width) * 4);
  PxCMYKRowToBGR(cmyk, reinterpret_cast<TBGR*>(bgr), width);
}

void Px1gRowToBgr(const uint8_t* bits, uint8_t* bgr, int32_t width) {
  for (int32_t x = 0; x < width; ++x, bgr += 3) {
    const uint8_t v = (bits[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
    bgr[0] = bgr[1] = bgr[2] = v;
  }
}

// ---- reading -----------------------------------------------------------------

int ScaleDenominator(const TIOParamsVals& params, JDIMENSION width, JDIMENSION height) {
  switch (params.JpegScale) {
    case 2: return 2;
    case 3: return 4;
    case 4: return 8;
    case 0:
      if (params.Width > 0 && params.Height > 0) {
        for (int d : {8, 4, 2})
          if (int64_t(width / d) >= params.Width && int64_t(height / d) >= params.Height) return d;
      }
      return 1;
    default: return 1;
  }
}

int32_t DensityToDpi(unsigned unit, unsigned density) {
  if (unit == 2) return static_cast<int32_t>(std::lround(density * 2.54));
  return static_cast<int32_t>(density);
}

// Maps the header to params and chooses the output. False for files that
// cannot be turned into pixels (an unknown colour space).
bool ConfigureDecode(jpeg_decompress_struct& cinfo, TIOParamsVals& params, bool rawYCbCr) {
  params.BitsPerSample = 8;
  switch (cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
      params.JpegColorSpace = 1;
      params.SamplesPerPixel = 1;
      cinfo.out_color_space = JCS_EXT_BGR;
      break;
    case JCS_RGB:
      params.JpegColorSpace = 0;
      params.SamplesPerPixel = 3;
      cinfo.out_color_space = JCS_EXT_BGR;
      break;
    case JCS_YCbCr:
      params.JpegColorSpace = 2;
      params.SamplesPerPixel = 3;
      cinfo.out_color_space = JCS_EXT_BGR;
      break;
    case JCS_CMYK:
      params.JpegColorSpace = 3;
      params.SamplesPerPixel = 4;
      cinfo.out_color_space = JCS_CMYK;
      break;
    case JCS_YCCK:
      params.JpegColorSpace = 4;
      params.SamplesPerPixel = 4;
      cinfo.out_color_space = JCS_CMYK;
      break;
    default:
      return false;
  }
  if (rawYCbCr && cinfo.num_components == 3) cinfo.out_color_space = JCS_YCbCr;
  switch (params.JpegDctMethod) {
    case 1: cinfo.dct_method = JDCT_IFAST; break;
    case 2: cinfo.dct_method = JDCT_FLOAT; break;
    default: cinfo.dct_method = JDCT_ISLOW; break;
  }
  params.SetDpi(DensityToDpi(cinfo.density_unit, cinfo.X_density),
                DensityToDpi(cinfo.density_unit, cinfo.Y_density));
  // Unit 0 is an aspect ratio, not a resolution.
  params.DpiFromFile = (cinfo.density_unit == 1 || cinfo.density_unit == 2) && cinfo.X_density > 0 &&
                       cinfo.Y_density > 0;
  params.JpegProgressive = cinfo.progressive_mode != 0;
  params.JpegOriginalWidth = static_cast<int32_t>(cinfo.image_width);
  params.JpegOriginalHeight = static_cast<int32_t>(cinfo.image_height);
  const int denom = ScaleDenominator(params, cinfo.image_width, cinfo.image_height);
  cinfo.scale_num = 1;
  cinfo.scale_denom = static_cast<unsigned>(denom);
  params.JpegScaleUsed = denom;
  return true;
}

// Untrusted data: the header's size is checked against the bytes behind it.
bool PlausibleSize(const jpeg_decompress_struct& cinfo, TPxStream& stream, int64_t start) {
  const int64_t pixels = int64_t(cinfo.image_width) * int64_t(cinfo.image_height);
  if (pixels < kRatioCheckFromPixels) return true;
  int64_t bytes = 0;
  try {
    bytes = stream.Size() - start;
  } catch (...) {
    return true;
  }
  return bytes <= 0 || pixels / kMaxPixelsPerFileByte <= bytes;
}

// The kept markers in file order, less the JFIF header the writer makes itself.
void CollectMarkers(const jpeg_decompress_struct& cinfo, TIOParamsVals& params) {
  params.MarkerList.clear();
  bool first = true;
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next) {
    const bool skip = first && m->marker == JPEG_APP0;
    first = false;
    if (skip) continue;
    TPxMarker marker;
    marker.Type = static_cast<uint8_t>(m->marker);
    marker.Data.assign(m->data, m->data + m->data_length);
    params.MarkerList.push_back(std::move(marker));
  }
}

// An ICC profile travels in APP2 segments "ICC_PROFILE\0", seq, count, piece.
void CollectColorProfile(const jpeg_decompress_struct& cinfo, TIOParamsVals& params) {
  static const char kTag[] = "ICC_PROFILE";
  std::vector<const jpeg_marker_struct*> pieces;
  unsigned count = 0;
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next) {
    if (m->marker != kMarkerApp2 || m->data_length < 14) continue;
    if (std::memcmp(m->data, kTag, sizeof kTag) != 0) continue;
    const unsigned seq = m->data[12];
    if (count == 0) {
      count = m->data[13];
      pieces.assign(count, nullptr);
    }
    if (seq == 0 || seq > count || m->data[13] != count) return;  // inconsistent: no profile
    pieces[seq - 1] = m;
  }
  std::vector<uint8_t> profile;
  for (const jpeg_marker_struct* m : pieces) {
    if (m == nullptr) return;
    profile.insert(profile.end(), m->data + 14, m->data + m->data_length);
  }
  params.ColorProfile = std::move(profile);
}

// Rows a failed decode did not reach are made black rather than left as
// whatever the memory held. Large buffers come as fresh, zeroed pages anyway,
// so a huge picture cut short is not written through once more.
void ClearRows(TPxBitmap& bitmap, int32_t from, int32_t to) {
  if (int64_t(to - from) * bitmap.RowBytes() > kClearRowsLimit) return;
  for (int32_t y = from; y < to; ++y) std::memset(bitmap.Scanline(y), 0, size_t(bitmap.RowBytes()));
}

// Decodes the rows into the bitmap. False when libjpeg failed.
bool DecodeRows(JpegDecoder& d, TPxBitmap& bitmap, bool invert, bool toBgr,
                TPxProgress& progress, bool* aborting) {
  jpeg_decompress_struct& cinfo = d.cinfo;
  const int32_t width = static_cast<int32_t>(cinfo.output_width);
  const int32_t height = static_cast<int32_t>(cinfo.output_height);
  const bool scratchNeeded = cinfo.out_color_space == JCS_CMYK;
  std::vector<uint8_t> scratch(scratchNeeded ? size_t(width) * 4 : 0);
  progress.Begin(height);
  int32_t done = 0;
  bool ok = true;
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* dst = bitmap.Scanline(y);
    d.row = scratchNeeded ? scratch.data() : dst;
    d.rowsRead = 0;
    if (!JpegGuard(d.err, StepReadRow, &d)) {
      ok = false;
      break;
    }
    if (d.rowsRead != 1) break;
    if (scratchNeeded) {
      if (toBgr) {
        AdobeCmykRowToBgr(scratch.data(), invert, dst, width);
      } else {
        if (invert) InvertRow(scratch.data(), scratch.size());
        std::memcpy(dst, scratch.data(), scratch.size());
      }
    }
    ++done;
    progress.Advance();
    if (*aborting) break;
    // Past the end of sequential data libjpeg only makes up filler rows. A
    // multi-scan file was read whole already: its rows show what arrived.
    if (d.err.dataMissing && !d.cutBeforeRows) break;
  }
  if (done < height) {
    *aborting = true;
    ClearRows(bitmap, done, height);
  }
  return ok;
}

// Header to pixels; the caller collects markers and finishes the codec.
bool DecodeImage(JpegDecoder& d, TPxStream& stream, int64_t start, TPxBitmap* bitmap,
                 bool invertCmyk, bool rawYCbCr, bool paramsOnly, TPxProgress& progress,
                 TIOParamsVals& params, bool* aborting) {
  jpeg_decompress_struct& cinfo = d.cinfo;
  d.requireImage = TRUE;
  if (!JpegGuard(d.err, StepReadHeader, &d)) return false;
  if (!ConfigureDecode(cinfo, params, rawYCbCr)) {
    *aborting = true;
    return false;
  }
  if (paramsOnly) {
    // The size is known without decoding a single scan.
    if (!JpegGuard(d.err, StepCalcOutput, &d)) return false;
    params.Width = static_cast<int32_t>(cinfo.output_width);
    params.Height = static_cast<int32_t>(cinfo.output_height);
    return true;
  }
  if (bitmap == nullptr || !PlausibleSize(cinfo, stream, start)) {
    *aborting = true;
    return false;
  }
  // The scan guard watches jpeg_start_decompress, which reads multi-scan files
  // whole. A parameters-only read stops at the first scan's header: it decodes
  // no scan and needs no guard.
  d.scans.pub.progress_monitor = ScanGuardMonitor;
  d.scans.lastScan = 0;
  d.scans.blocksLeft = ScanBlockBudget(cinfo, stream, start);
  cinfo.progress = &d.scans.pub;
  if (!JpegGuard(d.err, StepStartDecompress, &d)) return false;
  // Multi-scan files are read whole here; what they lack shows as lower quality.
  d.cutBeforeRows = d.source.endSupplied;
  params.Width = static_cast<int32_t>(cinfo.output_width);
  params.Height = static_cast<int32_t>(cinfo.output_height);
  const bool cmyk = cinfo.out_color_space == JCS_CMYK;
  const bool native = cmyk && params.NativePixelFormat;
  if (!bitmap->Allocate(params.Width, params.Height, native ? pxCMYK : pxRGB24)) {
    *aborting = true;
    return false;
  }
  const bool invert = cmyk && ((cinfo.saw_Adobe_marker != 0) != invertCmyk);
  return DecodeRows(d, *bitmap, invert, cmyk && !native, progress, aborting);
}


bool IsExifMarker(uint8_t type, const std::vector<uint8_t>& data) {
  return type == kMarkerApp1 && data.size() >= 6 && std::memcmp(data.data(), "Exif\0\0", 6) == 0;
}

// The EXIF values of the first EXIF marker. A JFIF header without a
// resolution (an aspect ratio only, or no header at all) takes the EXIF
// resolution; otherwise the EXIF resolution follows the JFIF one.
void ReadExifMarker(TIOParamsVals& params) {
  const TPxMarker* exif = nullptr;
  for (const TPxMarker& m : params.MarkerList)
    if (IsExifMarker(m.Type, m.Data)) {
      exif = &m;
      break;
    }
  if (exif == nullptr) return;
  // A block without a resolution must not pass the JFIF aspect ratio, which
  // the resolution fields hold until now, off as its own.
  params.ExifXResolution = params.ExifYResolution = 0;
  if (!ParseExifBlock(exif->Data.data(), exif->Data.size(), params)) {
    params.SetDpi(params.DpiX, params.DpiY);
    return;
  }
  const double factor = params.ExifResolutionUnit == 3 ? 2.54 : 1.0;
  const double x = params.ExifXResolution * factor, y = params.ExifYResolution * factor;
  if (!params.DpiFromFile && x >= 1 && y >= 1 && x < 1e6 && y < 1e6) {
    params.SetDpi(static_cast<int32_t>(std::lround(x)), static_cast<int32_t>(std::lround(y)));
    params.DpiFromFile = true;
  } else {
    params.SetDpi(params.DpiX, params.DpiY);
  }
}

// With GetExifThumbnail: the picture's embedded thumbnail, found by a
// parameters-only read, instead of the picture. True when it was used.
bool TakeExifThumbnail(TPxStream& stream, TPxStream* tablesStream, TPxBitmap* bitmap,
                       TPxProgress& progress, TIOParamsVals& params, bool* aborting);

}  // namespace

int64_t JpegPosition(TPxStream& stream) {
  const int64_t start = stream.Position();
  uint8_t head[kSoiSearchBytes + 2];
  const int64_t got = stream.Read(head, sizeof head);
  stream.SetPosition(start);
  for (int64_t i = 0; i + 2 < got; ++i)
    if (head[i] == 0xFF && head[i + 1] == 0xD8 && head[i + 2] == 0xFF) return start + i;
  return -1;
}

bool IsJpegStream(TPxStream& stream) { return JpegPosition(stream) >= 0; }

// Untrusted data: the whole of the codec's input comes from the file.
void ReadJpegStream(TPxStream& stream, TPxStream* tablesStream, TPxBitmap* bitmap,
                    bool applyColorProfile, bool invertCmyk, bool readMetadata,
                    bool rawYCbCr, bool paramsOnly, TPxProgress& progress,
                    TIOParamsVals& params) {
  (void)applyColorProfile;  // no colour management engine: the profile is only kept
  bool localAbort = false;
  bool* aborting = progress.Aborting ? progress.Aborting : &localAbort;
  if (params.GetExifThumbnail && readMetadata && !paramsOnly && bitmap != nullptr &&
      TakeExifThumbnail(stream, tablesStream, bitmap, progress, params, aborting))
    return;
  params.JpegWarnings = 0;
  params.JpegLastWarning = 0;
  const int64_t start = JpegPosition(stream);
  if (start < 0) {
    *aborting = true;
    return;
  }
  stream.SetPosition(start);

  JpegDecoderPtr d(new JpegDecoder());
  InitErrorMgr(d->err, aborting);
  d->cinfo.err = &d->err.pub;
  d->created = true;  // destroying a half-created decompressor is safe
  if (!JpegGuard(d->err, StepCreateDecompress, d.get())) return;
  if (tablesStream != nullptr && tablesStream != &stream) {
    BindSource(*d, *tablesStream, aborting);
    d->requireImage = FALSE;
    if (!JpegGuard(d->err, StepReadHeader, d.get())) return;
  }
  BindSource(*d, stream, aborting);
  bool ok = JpegGuard(d->err, StepSaveMarkers, d.get()) &&
            DecodeImage(*d, stream, start, bitmap, invertCmyk, rawYCbCr, paramsOnly, progress,
                        params, aborting);
  CollectMarkers(d->cinfo, params);
  if (readMetadata) CollectColorProfile(d->cinfo, params);
  if (ok && !paramsOnly && !*aborting) JpegGuard(d->err, StepFinishDecompress, d.get());
  if (readMetadata) {
    ReadExifMarker(params);
    if (params.AutoOrient && !paramsOnly && bitmap != nullptr && !*aborting &&
        !OrientUpright(*bitmap, nullptr, params))
      *aborting = true;
    // The size the picture will have once turned.
    if (params.AutoOrient && paramsOnly) OrientUprightValues(params);
  }
  // A missing end-of-image alone is only a warning; missing data is a failure.
  if (d->source.endSupplied && (d->cutBeforeRows || d->err.dataMissing)) *aborting = true;
  if (d->err.warnings > 0) {
    params.JpegWarnings = d->err.warnings;
    params.JpegLastWarning = d->err.lastWarning;
  }
}

namespace {

bool TakeExifThumbnail(TPxStream& stream, TPxStream* tablesStream, TPxBitmap* bitmap,
                       TPxProgress& progress, TIOParamsVals& params, bool* aborting) {
  const int64_t start = stream.Position();
  // The look-up overwrites the wished size that a reduced decode needs.
  const int32_t wishedWidth = params.Width, wishedHeight = params.Height;
  params.ExifThumbnail.reset();
  params.GetExifThumbnail = false;
  ReadJpegStream(stream, tablesStream, bitmap, false, false, true, false, true, progress, params);
  params.GetExifThumbnail = true;
  stream.SetPosition(start);
  const std::shared_ptr<TPxBitmap> thumb = params.ExifThumbnail;
  if (!*aborting && thumb && !thumb->IsEmpty() && bitmap->Assign(*thumb)) {
    bitmap->RemoveAlphaChannel();
    return true;
  }
  // No usable thumbnail: the picture itself is decoded.
  *aborting = false;
  params.Width = wishedWidth;
  params.Height = wishedHeight;
  return false;
}

bool SetupEncoder(JpegEncoder& e, const TPxBitmap& bitmap, const TIOParamsVals& params) {
  jpeg_compress_struct& cinfo = e.cinfo;
  const bool cmyk = params.JpegColorSpace == 3 || params.JpegColorSpace == 4;
  cinfo.image_width = static_cast<JDIMENSION>(bitmap.Width());
  cinfo.image_height = static_cast<JDIMENSION>(bitmap.Height());
  cinfo.input_components = cmyk ? 4 : 3;
  cinfo.in_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
  if (!JpegGuard(e.err, StepSetDefaults, &e)) return false;
  switch (params.JpegColorSpace) {
    case 1: cinfo.jpeg_color_space = JCS_GRAYSCALE; break;
    case 2: cinfo.jpeg_color_space = JCS_YCbCr; break;
    case 3: cinfo.jpeg_color_space = JCS_CMYK; break;
    case 4: cinfo.jpeg_color_space = JCS_YCCK; break;
    default: cinfo.jpeg_color_space = JCS_RGB; break;
  }
  if (!JpegGuard(e.err, StepSetColorspace, &e)) return false;
  cinfo.density_unit = 1;
  auto density = [](int32_t dpi) {
    return static_cast<UINT16>(dpi <= 0 ? 300 : std::min<int32_t>(dpi, 65535));
  };
  cinfo.X_density = density(params.DpiX);
  cinfo.Y_density = density(params.DpiY);
  switch (params.JpegDctMethod) {
    case 1: cinfo.dct_method = JDCT_IFAST; break;
    case 2: cinfo.dct_method = JDCT_FLOAT; break;
    default: cinfo.dct_method = JDCT_ISLOW; break;
  }
  cinfo.optimize_coding = params.JpegOptimalHuffman ? TRUE : FALSE;
  cinfo.smoothing_factor = std::clamp<int32_t>(params.JpegSmoothing, 0, 100);
  e.quality = std::clamp<int32_t>(params.JpegQuality, 1, 100);
  if (!JpegGuard(e.err, StepSetQuality, &e)) return false;
  if (params.JpegProgressive && !JpegGuard(e.err, StepProgressive, &e)) return false;
  return true;
}

bool WriteOneMarker(JpegEncoder& e, uint8_t type, const std::vector<uint8_t>& data) {
  if (data.size() > kMaxMarkerBytes - 2) return true;  // cannot be one segment
  JpegMarkerWrite w{&e, type, data.data(), static_cast<unsigned>(data.size())};
  return JpegGuard(e.err, StepWriteMarker, &w);
}

// With HasExif the EXIF values are written in place of the kept EXIF marker,
// or first when there was none.
bool WriteMarkers(JpegEncoder& e, const TIOParamsVals& params) {
  const TPxMarkerList& markers = params.MarkerList;
  std::vector<uint8_t> exif;
  if (params.HasExif) {
    exif = BuildExifBlock(params);
    const bool kept = std::any_of(markers.begin(), markers.end(),
                                  [](const TPxMarker& m) { return IsExifMarker(m.Type, m.Data); });
    if (!kept && !WriteOneMarker(e, kMarkerApp1, exif)) return false;
  }
  for (const TPxMarker& m : markers) {
    if (params.HasExif && IsExifMarker(m.Type, m.Data)) {
      if (!exif.empty() && !WriteOneMarker(e, kMarkerApp1, exif)) return false;
      exif.clear();  // one EXIF marker only
      continue;
    }
    // libjpeg writes its own Adobe marker for the colour space it codes.
    if (m.Type == kMarkerApp14) continue;
    const bool app = m.Type >= kMarkerApp0 && m.Type <= kMarkerApp15;
    if (!app && m.Type != kMarkerCom) continue;
    if (m.Data.size() > kMaxMarkerBytes - 2) continue;  // cannot be one segment
    JpegMarkerWrite w{&e, m.Type, m.Data.data(), static_cast<unsigned>(m.Data.size())};
    if (!JpegGuard(e.err, StepWriteMarker, &w)) return false;
  }
  return true;
}

// One row in the form the compressor takes: BGR, or CMYK stored inverted as
// the Adobe marker libjpeg writes for CMYK and YCCK declares.
class TEncodeRow {
 public:
  TEncodeRow(TPxPixelFormat source, bool cmykOut, int32_t width)
      : source_(source), cmykOut_(cmykOut), width_(width) {
    const bool needBgr = source == px1g || (source == pxCMYK && !cmykOut);
    if (needBgr) bgr_.resize(size_t(width) * 3);
    if (cmykOut) cmyk_.resize(size_t(width) * 4);
  }

  JSAMPROW Make(uint8_t* src) {
    if (source_ == px1g) {
      Px1gRowToBgr(src, bgr_.data(), width_);
      src = bgr_.data();
    } else if (source_ == pxCMYK && !cmykOut_) {
      PxCMYKRowToBGR(src, reinterpret_cast<TBGR*>(bgr_.data()), width_);
      return bgr_.data();
    }
    if (!cmykOut_) return src;
    if (source_ == pxCMYK)
      std::memcpy(cmyk_.data(), src, cmyk_.size());
    else
      PxBGRRowToCMYK(reinterpret_cast<const TBGR*>(src), cmyk_.data(), width_);
    InvertRow(cmyk_.data(), cmyk_.size());
    return cmyk_.data();
  }

 private:
  TPxPixelFormat source_;
  bool cmykOut_;
  int32_t width_;
  std::vector<uint8_t> bgr_;
  std::vector<uint8_t> cmyk_;
};

void EncodeRows(JpegEncoder& e, TPxBitmap& bitmap, TPxProgress& progress, bool* aborting) {
  const int32_t height = bitmap.Height();
  TEncodeRow rows(bitmap.PixelFormat(), e.cinfo.in_color_space == JCS_CMYK, bitmap.Width());
  progress.Begin(height);
  for (int32_t y = 0; y < height; ++y) {
    e.row = rows.Make(bitmap.Scanline(y));
    if (!JpegGuard(e.err, StepWriteRow, &e)) return;
    progress.Advance();
    if (*aborting) return;
  }
}

}  // namespace

void WriteJpegStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                     TPxProgress& progress) {
  bool localAbort = false;
  bool* aborting = progress.Aborting ? progress.Aborting : &localAbort;
  if (bitmap == nullptr || bitmap->IsEmpty() ||
      (bitmap->PixelFormat() != pxRGB24 && bitmap->PixelFormat() != px1g &&
       bitmap->PixelFormat() != pxCMYK)) {
    *aborting = true;
    return;
  }
  JpegEncoderPtr e(new JpegEncoder());
  InitErrorMgr(e->err, aborting);
  e->cinfo.err = &e->err.pub;
  e->created = true;
  if (!JpegGuard(e->err, StepCreateCompress, e.get())) return;
  JpegDest& dest = e->dest;
  dest.pub.init_destination = DestInit;
  dest.pub.empty_output_buffer = DestEmpty;
  dest.pub.term_destination = DestTerm;
  dest.stream = &stream;
  dest.aborting = aborting;
  e->cinfo.dest = &dest.pub;
  if (*aborting) return;
  if (!SetupEncoder(*e, *bitmap, params)) return;
  if (!JpegGuard(e->err, StepStartCompress, e.get())) return;
  if (!WriteMarkers(*e, params)) return;
  EncodeRows(*e, *bitmap, progress, aborting);
  if (!*aborting) JpegGuard(e->err, StepFinishCompress, e.get());
}

// --- The JPEG row of the format table ----------------------------------------

void ReadJpegRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                 TPxProgress& progress) {
  ReadJpegStream(stream, nullptr, bitmap, true, false, true, false, paramsOnly, progress, params);
  // The IPTC records travel in the APP13 marker.
  for (const TPxMarker& m : params.MarkerList)
    if (m.Type == 237 && params.IPTCInfoList.DecodeAPP13(m.Data)) break;
}

void WriteJpegRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                  TPxProgress& progress) {
  params.UpdateIPTCMarker();
  WriteJpegStream(stream, bitmap, params, progress);
}

std::string DescribeJpeg(const TIOParamsVals& params) {
  static const char* const kSpaces[] = {"RGB", "gray", "YCbCr", "CMYK", "YCCK"};
  std::string text = params.JpegColorSpace < 5 ? kSpaces[params.JpegColorSpace] : "unknown";
  text += params.JpegProgressive ? ", progressive" : ", baseline";
  if (params.HasExif) text += ", EXIF";
  if (!params.IPTCInfoList.Items.empty())
    text += ", " + std::to_string(params.IPTCInfoList.Items.size()) + " IPTC record" +
            (params.IPTCInfoList.Items.size() == 1 ? "" : "s");
  if (!params.ColorProfile.empty()) text += ", ICC profile";
  return text;
}
