#include "imaging/formats/pnm.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/formats/codecio.h"

namespace {

// Bounds of what a header may make the reader keep.
constexpr int kMaxTokenChars = 16;       // longer runs are no number and no magic
constexpr int kMaxComments = 1000;       // more comments are read past, not kept
constexpr size_t kMaxCommentChars = 1024;  // of each kept comment
// The content test gives up after this many header tokens (comments count).
constexpr int kMaxProbeTokens = 501;
// A raster claimed to be more than this many times the bytes left is refused
// before allocating: a file cut short still shows its top rows, a header that
// claims gigabytes over a few bytes allocates nothing.
constexpr int64_t kMaxMissingFactor = 16;

bool IsTokenChar(int c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsDigit(int c) { return c >= '0' && c <= '9'; }

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n\v\f";
  const size_t a = s.find_first_not_of(ws);
  if (a == std::string::npos) return {};
  return s.substr(a, s.find_last_not_of(ws) - a + 1);
}

// Reads a comment after its "#" up to the end of the line; its text goes to
// `comments` within the bounds above (nullptr: dropped).
void ReadComment(TPxByteReader& in, std::vector<std::string>* comments) {
  std::string text;
  const bool keep = comments && comments->size() < static_cast<size_t>(kMaxComments);
  int c;
  while ((c = in.Byte()) >= 0 && c != '\n')
    if (keep && text.size() < kMaxCommentChars) text.push_back(static_cast<char>(c));
  if (keep) comments->push_back(Trim(text));
}

// Parses untrusted data. The next header token (a run of letters and
// digits), skipping separators and comments. The byte that ends the token is
// consumed: for a raw file it is the one separator before the raster (a
// comment there runs to the end of its line). False at the end of the data,
// for an overlong token or when `budget` (tokens and comments) runs out.
bool NextToken(TPxByteReader& in, std::string& token, std::vector<std::string>* comments, int& budget) {
  token.clear();
  int c;
  for (;;) {
    c = in.Byte();
    if (c < 0) return false;
    if (c == '#') {
      if (--budget < 0) return false;
      ReadComment(in, comments);
      continue;
    }
    if (IsTokenChar(c)) break;
  }
  if (--budget < 0) return false;
  while (IsTokenChar(c)) {
    if (token.size() >= static_cast<size_t>(kMaxTokenChars)) return false;
    token.push_back(static_cast<char>(c));
    c = in.Byte();
  }
  if (c == '#') ReadComment(in, comments);
  return true;
}

// A header number: digits only, at most `maximum`.
bool ParseNumber(const std::string& token, int64_t maximum, int64_t& value) {
  if (token.empty()) return false;
  value = 0;
  for (char ch : token) {
    if (!IsDigit(ch)) return false;
    value = value * 10 + (ch - '0');
    if (value > maximum) return false;  // at most 16 digits: no overflow before this
  }
  return true;
}

struct PnmHeader {
  int magic = 0;  // 1..6
  int64_t width = 0, height = 0, maxval = 1;
  bool Plain() const { return magic <= 3; }
  bool Bilevel() const { return magic == 1 || magic == 4; }
  int Samples() const { return (magic == 3 || magic == 6) ? 3 : 1; }
  bool Wide() const { return maxval > 255; }  // two bytes per raw sample
};

// Parses untrusted data: the magic, width, height and (but for bilevel
// files) the maximum. False for anything else or out of range.
bool ReadHeader(TPxByteReader& in, PnmHeader& h, std::vector<std::string>* comments, int budget) {
  std::string token;
  if (!NextToken(in, token, comments, budget)) return false;
  if (token.size() != 2 || token[0] != 'P' || token[1] < '1' || token[1] > '6') return false;
  h.magic = token[1] - '0';
  if (!NextToken(in, token, comments, budget) || !ParseNumber(token, INT32_MAX, h.width) ||
      h.width <= 0)
    return false;
  if (!NextToken(in, token, comments, budget) || !ParseNumber(token, INT32_MAX, h.height) ||
      h.height <= 0)
    return false;
  if (h.Bilevel()) {
    h.maxval = 1;
    return true;
  }
  return NextToken(in, token, comments, budget) && ParseNumber(token, 65535, h.maxval) &&
         h.maxval > 0;
}

// --- Reading the raster -----------------------------------------------------------

// Sample value tables from the file's range [0, maxval] (larger values are
// clamped) to 0..255 or 0..65535, rounded.
std::vector<uint8_t> Table8(int64_t maxval, size_t entries) {
  std::vector<uint8_t> t(entries);
  for (size_t v = 0; v < entries; ++v) {
    const int64_t s = std::min<int64_t>(static_cast<int64_t>(v), maxval);
    t[v] = static_cast<uint8_t>((s * 255 * 2 + maxval) / (2 * maxval));
  }
  return t;
}
std::vector<uint16_t> Table16(int64_t maxval, size_t entries) {
  std::vector<uint16_t> t(entries);
  for (size_t v = 0; v < entries; ++v) {
    const int64_t s = std::min<int64_t>(static_cast<int64_t>(v), maxval);
    t[v] = static_cast<uint16_t>((s * 65535 * 2 + maxval) / (2 * maxval));
  }
  return t;
}

inline void Store16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }

// What one decoded row becomes, and how.
struct RasterJob {
  PnmHeader header;
  TPxPixelFormat pf = pxNone;
  int width = 0;
  std::vector<uint8_t> to8;    // sample -> 0..255
  std::vector<uint16_t> to16;  // sample -> 0..65535
  bool identity8 = false;      // raw bytes of maximum 255: no table
};

// One row of samples (the file's values, already as integers, clamped by the
// tables) into a bitmap row. `samples` holds width * Samples() values.
void StoreSamples(const RasterJob& job, const uint32_t* samples, uint8_t* dst) {
  const int w = job.width;
  switch (job.pf) {
    case px8g:
      for (int x = 0; x < w; ++x) dst[x] = job.to8[samples[x]];
      break;
    case px16g:
      for (int x = 0; x < w; ++x) Store16(dst + 2 * x, job.to16[samples[x]]);
      break;
    case pxRGB48:
      for (int x = 0; x < w; ++x, samples += 3) {
        Store16(dst + 6 * x, job.to16[samples[0]]);
        Store16(dst + 6 * x + 2, job.to16[samples[1]]);
        Store16(dst + 6 * x + 4, job.to16[samples[2]]);
      }
      break;
    default:  // pxRGB24
      if (job.header.Samples() == 1) {
        for (int x = 0; x < w; ++x) dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = job.to8[samples[x]];
      } else {
        for (int x = 0; x < w; ++x, samples += 3) {
          dst[3 * x] = job.to8[samples[2]];
          dst[3 * x + 1] = job.to8[samples[1]];
          dst[3 * x + 2] = job.to8[samples[0]];
        }
      }
  }
}

// One raw row as the file stores it into a bitmap row.
void DecodeRawRow(const RasterJob& job, const uint8_t* src, uint8_t* dst) {
  const int w = job.width;
  const int n = w * job.header.Samples();
  if (job.header.Bilevel()) {
    // The file's 1 is black, the bitmap's 1 white.
    const size_t bytes = static_cast<size_t>(w + 7) / 8;
    std::memcpy(dst, src, bytes);
    PxInvertBits(dst, bytes);
    return;
  }
  if (job.header.Wide()) {
    const std::vector<uint16_t>& t16 = job.to16;
    const std::vector<uint8_t>& t8 = job.to8;
    auto at = [src](size_t i) { return (static_cast<uint32_t>(src[2 * i]) << 8) | src[2 * i + 1]; };
    switch (job.pf) {
      case px16g:
        for (int i = 0; i < n; ++i) Store16(dst + 2 * i, t16[at(i)]);
        return;
      case pxRGB48:
        for (int i = 0; i < n; ++i) Store16(dst + 2 * i, t16[at(i)]);
        return;
      default:
        if (job.header.Samples() == 1) {
          for (int x = 0; x < w; ++x) dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = t8[at(x)];
        } else {
          for (int x = 0; x < w; ++x) {
            dst[3 * x] = t8[at(3 * x + 2)];
            dst[3 * x + 1] = t8[at(3 * x + 1)];
            dst[3 * x + 2] = t8[at(3 * x)];
          }
        }
        return;
    }
  }
  if (job.pf == px8g) {
    if (job.identity8) std::memcpy(dst, src, static_cast<size_t>(w));
    else for (int x = 0; x < w; ++x) dst[x] = job.to8[src[x]];
    return;
  }
  if (job.header.Samples() == 1) {
    const uint8_t* t = job.to8.data();
    for (int x = 0; x < w; ++x) dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = t[src[x]];
    return;
  }
  if (job.identity8) {
    PxSwapRedBlue(src, dst, w);  // the hot loop of a 24-bit file
    return;
  }
  const uint8_t* t = job.to8.data();
  for (int x = 0; x < w; ++x, src += 3, dst += 3) {
    dst[0] = t[src[2]];
    dst[1] = t[src[1]];
    dst[2] = t[src[0]];
  }
}

// Rows from `from` on, as if their samples were all 0 (the data ended).
void FillRest(const RasterJob& job, TPxBitmap& bitmap, int from, int64_t rawRowBytes) {
  if (from >= bitmap.Height()) return;
  std::vector<uint8_t> zeros(static_cast<size_t>(rawRowBytes), 0);
  std::vector<uint8_t> row(static_cast<size_t>(bitmap.RowBytes()), 0);
  DecodeRawRow(job, zeros.data(), row.data());
  for (int y = from; y < bitmap.Height(); ++y)
    if (uint8_t* dst = bitmap.Scanline(y)) std::memcpy(dst, row.data(), row.size());
}

int64_t RawRowBytes(const PnmHeader& h) {
  if (h.Bilevel()) return (h.width + 7) / 8;
  return h.width * h.Samples() * (h.Wide() ? 2 : 1);
}

// Raw rows, read many at a time. False when the data ended or the read was
// stopped; the rows not reached are filled as from zero samples.
bool ReadRawRaster(TPxByteReader& in, const RasterJob& job, TPxBitmap& bitmap, TPxProgress& progress) {
  const int height = bitmap.Height();
  const int64_t srcRow = RawRowBytes(job.header);
  const int64_t rowsPerChunk = std::clamp<int64_t>((int64_t(1) << 20) / srcRow, 1, height);
  std::vector<uint8_t> chunk(static_cast<size_t>(rowsPerChunk * srcRow));
  for (int y = 0; y < height;) {
    const int rows = static_cast<int>(std::min<int64_t>(rowsPerChunk, height - y));
    const int64_t want = rows * srcRow;
    const int64_t got = std::min(want, in.Left());
    in.Read(chunk.data(), want);  // what is missing reads as zeros
    // A row cut short is decoded with zeros for what is missing.
    const int usable = static_cast<int>((got + srcRow - 1) / srcRow);
    for (int i = 0; i < usable; ++i) {
      DecodeRawRow(job, chunk.data() + i * srcRow, bitmap.Scanline(y + i));
      progress.Advance();
      if (progress.Aborted()) {
        FillRest(job, bitmap, y + i + 1, srcRow);
        return false;
      }
    }
    if (got < want) {
      FillRest(job, bitmap, y + usable, srcRow);
      return false;
    }
    y += rows;
  }
  return true;
}

// Parses untrusted data: the next plain sample, skipping separators and
// comments; -1 at the end of the data. Long digit runs are clamped, not
// overflowed.
int64_t NextPlainSample(TPxByteReader& in) {
  int c;
  do {
    c = in.Byte();
    if (c < 0) return -1;
    if (c == '#') {
      ReadComment(in, nullptr);
      c = ' ';
    }
  } while (!IsDigit(c));
  int64_t v = 0;
  while (IsDigit(c)) {
    if (v <= 65535) v = v * 10 + (c - '0');
    c = in.Byte();
  }
  if (c == '#') ReadComment(in, nullptr);
  return v;
}

// Parses untrusted data: the next plain bilevel pixel ("0" or "1"; other
// characters ignored, comments skipped); -1 at the end of the data.
int NextPlainBit(TPxByteReader& in) {
  for (;;) {
    const int c = in.Byte();
    if (c < 0) return -1;
    if (c == '0' || c == '1') return c - '0';
    if (c == '#') ReadComment(in, nullptr);
  }
}

bool ReadPlainRaster(TPxByteReader& in, const RasterJob& job, TPxBitmap& bitmap, TPxProgress& progress) {
  const int height = bitmap.Height();
  const int w = job.width;
  const int64_t srcRow = RawRowBytes(job.header);
  if (job.header.Bilevel()) {
    for (int y = 0; y < height; ++y) {
      uint8_t* dst = bitmap.Scanline(y);
      std::memset(dst, 0xFF, static_cast<size_t>(bitmap.RowBytes()));
      bool ended = false;
      for (int x = 0; x < w && !ended; ++x) {
        const int bit = NextPlainBit(in);
        ended = bit < 0;
        if (bit == 1) dst[x >> 3] &= static_cast<uint8_t>(~(0x80 >> (x & 7)));
      }
      progress.Advance();
      if (ended || progress.Aborted()) {
        FillRest(job, bitmap, y + 1, srcRow);
        return false;
      }
    }
    return true;
  }
  const int n = w * job.header.Samples();
  std::vector<uint32_t> samples(static_cast<size_t>(n));
  const int64_t maxval = job.header.maxval;
  for (int y = 0; y < height; ++y) {
    bool ended = false;
    for (int i = 0; i < n; ++i) {
      const int64_t v = ended ? 0 : NextPlainSample(in);
      ended = ended || v < 0;
      samples[i] = static_cast<uint32_t>(std::clamp<int64_t>(v, 0, maxval));
    }
    StoreSamples(job, samples.data(), bitmap.Scanline(y));
    progress.Advance();
    if (ended || progress.Aborted()) {
      FillRest(job, bitmap, y + 1, srcRow);
      return false;
    }
  }
  return true;
}

// The least number of bytes the raster can be stored in (INT64_MAX when
// that does not fit in 64 bits).
int64_t LeastRasterBytes(const PnmHeader& h) {
  int64_t bytes = 0;
  if (!h.Plain()) return PxCheckedMul(RawRowBytes(h), h.height, bytes) ? bytes : INT64_MAX;
  // Plain: one character per bilevel pixel, a digit and a separator per sample.
  int64_t samples = 0;
  if (!PxCheckedMul(h.width * h.Samples(), h.height, samples) || samples > INT64_MAX / 2)
    return INT64_MAX;
  return h.Bilevel() ? samples : 2 * samples - 1;
}

TPxPixelFormat ReadFormatFor(const PnmHeader& h, bool native) {
  if (h.Bilevel()) return px1g;
  if (!native) return pxRGB24;
  if (h.Samples() == 1) return h.Wide() ? px16g : px8g;
  return h.Wide() ? pxRGB48 : pxRGB24;
}

void FillParams(const PnmHeader& h, TIOParamsVals& params) {
  params.Width = static_cast<int32_t>(h.width);
  params.Height = static_cast<int32_t>(h.height);
  params.BitsPerSample = h.Bilevel() ? 1 : h.Wide() ? 16 : 8;
  params.SamplesPerPixel = h.Samples();
  params.SetDpi(kDefaultDpi, kDefaultDpi);
  params.DpiFromFile = false;
  params.ColorMap.clear();
  params.ColorMapCount = 0;
}

}  // namespace

bool IsPnmStream(TPxStream& stream) {
  const int64_t start = stream.Position();
  bool ok = false;
  {
    TPxByteReader in(stream);
    PnmHeader h;
    std::string token;
    int budget = kMaxProbeTokens;
    // Magic, width and height; the maximum value is not needed to know the format.
    ok = NextToken(in, token, nullptr, budget) && token.size() == 2 && token[0] == 'P' &&
         token[1] >= '1' && token[1] <= '6' && NextToken(in, token, nullptr, budget) &&
         ParseNumber(token, INT32_MAX, h.width) && h.width > 0 &&
         NextToken(in, token, nullptr, budget) && ParseNumber(token, INT32_MAX, h.height) &&
         h.height > 0;
  }
  stream.SetPosition(start);
  return ok;
}

// Parses untrusted data.
void ReadPnmStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                   TPxProgress& progress) {
  TPxByteReader in(stream);
  PnmHeader h;
  params.PnmComments.clear();
  // A read takes any number of comments: only the data bounds the header.
  if (!ReadHeader(in, h, &params.PnmComments, INT32_MAX)) {
    in.Release();
    progress.Abort();
    return;
  }
  FillParams(h, params);
  if (paramsOnly) {
    in.Release();
    return;
  }
  RasterJob job;
  job.header = h;
  job.width = static_cast<int>(h.width);
  job.pf = ReadFormatFor(h, params.NativePixelFormat);
  const bool fits = bitmap && LeastRasterBytes(h) <= in.Left() * kMaxMissingFactor + 4096 &&
                    PxAllocateChecked(*bitmap, h.width, h.height, job.pf);
  if (!fits) {
    in.Release();
    progress.Abort();
    return;
  }
  if (!h.Bilevel()) {
    const size_t entries = h.Wide() ? 65536 : 256;
    job.identity8 = h.maxval == 255 && !h.Wide();
    if (job.pf == px16g || job.pf == pxRGB48) job.to16 = Table16(h.maxval, entries);
    else job.to8 = Table8(h.maxval, entries);
  }
  progress.Begin(h.height);
  const bool complete = h.Plain() ? ReadPlainRaster(in, job, *bitmap, progress)
                                  : ReadRawRaster(in, job, *bitmap, progress);
  in.Release();
  if (!complete) progress.Abort();
}

// --- Writing ------------------------------------------------------------------

namespace {

enum class PnmForm { Bilevel, Gray8, Gray16, Rgb8, Rgb16 };

PnmForm ChooseForm(const TPxBitmap& bitmap, const TIOParamsVals& params) {
  const int bps = params.BitsPerSample, spp = params.SamplesPerPixel;
  if (bitmap.PixelFormat() == px1g || (bps == 1 && spp == 1)) return PnmForm::Bilevel;
  if (spp == 1) return bps == 16 ? PnmForm::Gray16 : PnmForm::Gray8;
  if (bitmap.PixelFormat() == pxRGB48 || bps == 16) return PnmForm::Rgb16;
  return PnmForm::Rgb8;
}

// A comment that could end its line would let its text into the header.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

std::string HeaderText(PnmForm form, int width, int height, const TIOParamsVals& params) {
  static const char* kMagic[] = {"P4", "P5", "P5", "P6", "P6"};
  std::string s = kMagic[static_cast<int>(form)];
  s += ' ';
  for (const std::string& c : params.PnmComments) s += "\n# " + OneLine(c) + "\n";
  s += std::to_string(width) + ' ' + std::to_string(height);
  if (form == PnmForm::Gray8 || form == PnmForm::Rgb8) s += " 255";
  else if (form != PnmForm::Bilevel) s += " 65535";
  s += '\n';
  return s;
}

inline uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline void PutBE16(uint8_t* p, unsigned v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// One bitmap row (px1g, pxRGB24 or pxRGB48) in the file's form.
void EncodeRow(PnmForm form, TPxPixelFormat pf, const uint8_t* src, int w, uint8_t* out) {
  const bool wide = pf == pxRGB48;
  switch (form) {
    case PnmForm::Bilevel: {
      const int bytes = (w + 7) / 8;
      for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(~src[i]);
      // Bits past the width are written 0.
      if (w % 8) out[bytes - 1] &= static_cast<uint8_t>(0xFF << (8 - w % 8));
      return;
    }
    case PnmForm::Gray8:
      for (int x = 0; x < w; ++x)
        out[x] = wide ? PxGray(static_cast<uint8_t>(Load16(src + 6 * x) >> 8),
                               static_cast<uint8_t>(Load16(src + 6 * x + 2) >> 8),
                               static_cast<uint8_t>(Load16(src + 6 * x + 4) >> 8))
                      : PxGray(src[3 * x + 2], src[3 * x + 1], src[3 * x]);
      return;
    case PnmForm::Gray16:
      for (int x = 0; x < w; ++x) {
        unsigned g;
        if (wide) {
          g = (kGrayWeightRed * Load16(src + 6 * x) + kGrayWeightGreen * Load16(src + 6 * x + 2) +
               kGrayWeightBlue * Load16(src + 6 * x + 4)) / 100;
        } else {
          g = PxGray(src[3 * x + 2], src[3 * x + 1], src[3 * x]) * 257u;
        }
        PutBE16(out + 2 * x, g);
      }
      return;
    case PnmForm::Rgb16:
      for (int x = 0; x < w; ++x) {
        if (wide) {
          for (int c = 0; c < 3; ++c) PutBE16(out + 6 * x + 2 * c, Load16(src + 6 * x + 2 * c));
        } else {
          for (int c = 0; c < 3; ++c) PutBE16(out + 6 * x + 2 * c, src[3 * x + 2 - c] * 257u);
        }
      }
      return;
    case PnmForm::Rgb8:
      if (wide) {
        for (int x = 0; x < w * 3; ++x) out[x] = static_cast<uint8_t>(Load16(src + 2 * x) >> 8);
      } else {
        PxSwapRedBlue(src, out, w);
      }
      return;
  }
}

int64_t FileRowBytes(PnmForm form, int w) {
  switch (form) {
    case PnmForm::Bilevel: return (w + 7) / 8;
    case PnmForm::Gray8: return w;
    case PnmForm::Gray16: return int64_t(w) * 2;
    case PnmForm::Rgb8: return int64_t(w) * 3;
    case PnmForm::Rgb16: return int64_t(w) * 6;
  }
  return 0;
}

}  // namespace

void WritePnmStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress) {
  if (!bitmap || bitmap->IsEmpty()) {
    progress.Abort();
    return;
  }
  const PnmForm form = ChooseForm(*bitmap, params);
  // The rows are encoded from px1g, pxRGB24 or pxRGB48; anything else is
  // converted on a copy, the caller's picture stays as it is.
  const TPxPixelFormat want = form == PnmForm::Bilevel ? px1g
                              : bitmap->PixelFormat() == pxRGB48 ? pxRGB48
                                                                  : pxRGB24;
  TPxBitmap converted;
  const TPxBitmap* source = bitmap;
  if (bitmap->PixelFormat() != want) {
    if (!converted.Assign(*bitmap) || !converted.ConvertTo(want) || converted.PixelFormat() != want) {
      progress.Abort();
      return;
    }
    source = &converted;
  }
  const int w = source->Width(), h = source->Height();
  const std::string header = HeaderText(form, w, h, params);
  TPxByteWriter out(stream);
  out.Write(header.data(), header.size());
  const int64_t rowBytes = FileRowBytes(form, w);
  std::vector<uint8_t> row(static_cast<size_t>(rowBytes));
  progress.Begin(h);
  for (int y = 0; y < h; ++y) {
    EncodeRow(form, want, source->Scanline(y), w, row.data());
    out.Write(row.data(), row.size());
    if (out.Failed()) break;
    progress.Advance();
    if (progress.Aborted()) break;
  }
  if (!out.Flush()) progress.Abort();
}

std::string DescribePnm(const TIOParamsVals& params) {
  const size_t n = params.PnmComments.size();
  if (n == 0) return "no comments";
  std::string first = params.PnmComments.front();
  if (first.size() > 60) first = first.substr(0, 57) + "...";
  return std::to_string(n) + (n == 1 ? " comment" : " comments") + ", the first \"" + first + "\"";
}
