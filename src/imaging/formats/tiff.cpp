// TIFF reading and writing. A page is decoded chunk by chunk (a strip is a
// tile as wide as the page), row by row: the row coder of the page's
// compression gives the stored bytes of a row, which become samples, undo the
// predictor and are converted into the bitmap's row.
#include "imaging/formats/tiff.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <vector>

#include "imaging/formats/ccitt.h"
#include "imaging/formats/codecio.h"
#include "imaging/formats/exif.h"
#include "imaging/formats/jpeg.h"

namespace {

enum : uint16_t {
  tNewSubfileType = 254,
  tImageWidth = 256,
  tImageLength = 257,
  tBitsPerSample = 258,
  tCompression = 259,
  tPhotometric = 262,
  tFillOrder = 266,
  tDocumentName = 269,
  tImageDescription = 270,
  tStripOffsets = 273,
  tOrientation = 274,
  tSamplesPerPixel = 277,
  tRowsPerStrip = 278,
  tStripByteCounts = 279,
  tXResolution = 282,
  tYResolution = 283,
  tPlanarConfig = 284,
  tPageName = 285,
  tXPosition = 286,
  tYPosition = 287,
  tT4Options = 292,
  tT6Options = 293,
  tResolutionUnit = 296,
  tPageNumber = 297,
  tSoftware = 305,
  tPredictor = 317,
  tColorMap = 320,
  tTileWidth = 322,
  tTileLength = 323,
  tTileOffsets = 324,
  tTileByteCounts = 325,
  tExtraSamples = 338,
  tJpegTables = 347,
  tJpegProc = 512,
  tJpegIF = 513,
  tJpegIFLength = 514,
  tYCbCrSubsampling = 530,
  tAnnotations = 32932,
  tIptc = 33723,
  tExifIfd = 34665,
  tIcc = 34675,
};

enum : uint16_t { tyByte = 1, tyAscii = 2, tyShort = 3, tyLong = 4, tyRational = 5, tyUndefined = 7 };
constexpr int kTypeSize[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

// Compression tag values.
enum : uint32_t {
  cNone = 1,
  cHuffman = 2,
  cFax3 = 3,
  cFax4 = 4,
  cLzw = 5,
  cOldJpeg = 6,
  cJpeg = 7,
  cDeflate = 8,
  cPackBits = 32773,
  cDeflateOld = 32946,
};

constexpr int kThumbnailLimit = 400;
// Pages are counted up to this; a longer chain is not a picture file.
constexpr int kMaxPages = 65536;
// Texts longer than this are left out.
constexpr uint32_t kMaxAsciiCount = 1048575;
// Annotations longer than this are not kept: they would not be annotations.
constexpr uint64_t kMaxAnnotationBytes = 16 << 20;
// Strips of about this much image memory bound the writer's buffers.
constexpr int64_t kStripBytes = 524288;

// ---------------------------------------------------------------------------
// Reading the structure. Parses untrusted data: every offset and count is
// checked against the stream's size before it is followed.

struct Entry {
  uint16_t tag = 0, type = 0;
  uint32_t count = 0;
  uint32_t field = 0;  // the value field as a number (an offset when the values do not fit)
  uint8_t raw[4] = {};
};

struct TiffIn {
  explicit TiffIn(TPxStream& s) : r(s) {}
  TPxByteReader r;
  bool big = false;
  int64_t base = 0;

  uint16_t U16() { return big ? r.U16BE() : r.U16LE(); }
  uint32_t U32() { return big ? r.U32BE() : r.U32LE(); }
  uint16_t U16At(const uint8_t* p) const { return big ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[1] << 8 | p[0]); }
  uint32_t U32At(const uint8_t* p) const {
    return big ? (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3])
               : (uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
  }
  int64_t Size() const { return r.End(); }

  // The bytes of an entry's values (at most maxBytes of them), from the
  // field or from the file. False when they lie beyond the file.
  bool Bytes(const Entry& e, std::vector<uint8_t>& out, uint64_t maxBytes) {
    out.clear();
    if (e.type == 0 || e.type > 12) return false;
    const uint64_t total = uint64_t(e.count) * kTypeSize[e.type];
    const uint64_t n = std::min(total, maxBytes);
    if (total <= 4) {
      out.assign(e.raw, e.raw + n);
      return true;
    }
    const int64_t at = base + e.field;
    if (at > Size() || static_cast<uint64_t>(Size() - at) < n || !r.Seek(at)) return false;
    out.resize(static_cast<size_t>(n));
    return r.Read(out.data(), static_cast<int64_t>(n));
  }

  // Up to maxCount numbers of an entry of an integer type.
  bool Numbers(const Entry& e, std::vector<uint32_t>& out, uint32_t maxCount) {
    out.clear();
    const int size = e.type <= 12 ? kTypeSize[e.type] : 0;
    if (size == 0 || e.type == tyRational || e.type == 10 || e.type == 11 || e.type == 12 ||
        e.type == tyAscii)
      return false;
    std::vector<uint8_t> bytes;
    const uint32_t n = std::min(e.count, maxCount);
    if (!Bytes(e, bytes, uint64_t(n) * size)) return false;
    out.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t* p = bytes.data() + size_t(i) * size;
      out[i] = size == 1 ? p[0] : size == 2 ? U16At(p) : U32At(p);
    }
    return true;
  }

  double Rational(const Entry& e) {
    std::vector<uint8_t> b;
    if (e.type != tyRational || e.count < 1 || !Bytes(e, b, 8) || b.size() < 8) {
      std::vector<uint32_t> v;
      return Numbers(e, v, 1) && !v.empty() ? v[0] : 0;
    }
    const uint32_t num = U32At(b.data()), den = U32At(b.data() + 4);
    return double(num) / (den ? den : 1);
  }

  // A text; values of up to 4 bytes stand in the field like any others.
  std::string Ascii(const Entry& e) {
    std::vector<uint8_t> b;
    if (e.count == 0 || e.count > kMaxAsciiCount || !Bytes(e, b, e.count)) return {};
    std::string s(b.begin(), b.end());
    const size_t zero = s.find('\0');
    if (zero != std::string::npos) s.resize(zero);
    return s;
  }
};

struct Page {
  uint32_t offset = 0;  // of the directory, from the header
  std::vector<Entry> entries;
  const Entry* Find(uint16_t tag) const {
    for (const Entry& e : entries)
      if (e.tag == tag) return &e;
    return nullptr;
  }
};

// The file as the EXIF reader reaches it: offsets from the header, each read
// checked against the stream's size first.
class TiffFileBytes : public TPxTiffBytes {
 public:
  explicit TiffFileBytes(TiffIn& in) : TPxTiffBytes(in.big), in_(in) {}
  uint64_t Size() const override { return static_cast<uint64_t>(in_.Size() - in_.base); }
  bool Read(uint64_t offset, size_t n, uint8_t* out) override {
    if (offset > Size() || n > Size() - offset) return false;
    return in_.r.Seek(in_.base + static_cast<int64_t>(offset)) && in_.r.Read(out, static_cast<int64_t>(n));
  }

 private:
  TiffIn& in_;
};

uint32_t Number(TiffIn& in, const Page& page, uint16_t tag, uint32_t missing) {
  const Entry* e = page.Find(tag);
  std::vector<uint32_t> v;
  if (!e || !in.Numbers(*e, v, 1) || v.empty()) return missing;
  return v[0];
}

// Walks the chain of directories, reading the entries of the wanted one.
// Returns the number of directories; wantedFound tells whether it was reached.
int WalkChain(TiffIn& in, uint32_t first, int wanted, Page& page, bool& wantedFound) {
  wantedFound = false;
  std::set<int64_t> seen;
  int count = 0;
  int64_t ifd = in.base + first;
  while (count < kMaxPages) {
    if (ifd < in.base + 8 || ifd >= in.Size() || !seen.insert(ifd).second) break;
    in.r.Seek(ifd);
    const uint32_t n = in.U16();
    const int64_t after = ifd + 2 + int64_t(n) * 12;
    if (in.r.Failed() || after >= in.Size()) break;
    if (count == wanted) {
      page.offset = static_cast<uint32_t>(ifd - in.base);
      page.entries.resize(n);
      for (Entry& e : page.entries) {
        e.tag = in.U16();
        e.type = in.U16();
        e.count = in.U32();
        in.r.Read(e.raw, 4);
        if (e.type == tyShort && e.count <= 2) e.field = in.U16At(e.raw);
        else if (e.type <= 12 && kTypeSize[e.type] == 1 && e.count <= 4) e.field = e.raw[0];
        else e.field = in.U32At(e.raw);
      }
      wantedFound = !in.r.Failed();
    }
    ++count;
    in.r.Seek(after);
    const uint32_t next = in.U32();
    if (in.r.Failed() || next == 0) break;
    ifd = in.base + next;
  }
  return count;
}

// ---------------------------------------------------------------------------
// Row coders of the reader: each gives the stored bytes of the next row.

class RowSource {
 public:
  virtual ~RowSource() = default;
  // The next row: in buffer (a row long) or in the source's own memory until
  // the next call. ok becomes false when the data are damaged or end before
  // the row does; the row is then filled as far as it could be.
  virtual const uint8_t* Next(uint8_t* buffer, bool& ok) = 0;
};

class RawSource : public RowSource {
 public:
  RawSource(const std::vector<uint8_t>& d, int rowBytes) : data_(d), rowBytes_(rowBytes) {}
  const uint8_t* Next(uint8_t* row, bool& ok) override {
    const size_t n = std::min(size_t(rowBytes_), data_.size() - std::min(pos_, data_.size()));
    const size_t at = pos_;
    pos_ += rowBytes_;
    if (n == size_t(rowBytes_)) return data_.data() + at;
    if (n) std::memcpy(row, data_.data() + at, n);
    std::memset(row + n, 0, size_t(rowBytes_) - n);
    ok = false;
    return row;
  }

 private:
  const std::vector<uint8_t>& data_;
  int rowBytes_;
  size_t pos_ = 0;
};

class PackBitsSource : public RowSource {
 public:
  PackBitsSource(const std::vector<uint8_t>& d, int rowBytes) : data_(d), rowBytes_(rowBytes) {}
  const uint8_t* Next(uint8_t* row, bool& ok) override {
    int done = 0;
    const size_t size = data_.size();
    while (done < rowBytes_) {
      if (pos_ >= size) {
        std::memset(row + done, 0, size_t(rowBytes_ - done));
        ok = false;
        return row;
      }
      const int n = data_[pos_++];
      if (n < 128) {
        // A literal run; bytes beyond the row are dropped.
        const size_t count = std::min<size_t>(size_t(n) + 1, size - pos_);
        const size_t take = std::min<size_t>(count, size_t(rowBytes_ - done));
        std::memcpy(row + done, data_.data() + pos_, take);
        done += static_cast<int>(take);
        pos_ += count;
      } else if (n > 128) {
        if (pos_ >= size) continue;
        const int take = std::min(257 - n, rowBytes_ - done);
        std::memset(row + done, data_[pos_++], size_t(take));
        done += take;
      }
    }
    return row;
  }

 private:
  const std::vector<uint8_t>& data_;
  int rowBytes_;
  size_t pos_ = 0;
};

class LzwSource : public RowSource {
 public:
  LzwSource(TPxTiffLzwDecompress fn, const std::vector<uint8_t>& d, int rowBytes)
      : fn_(fn), data_(d), rowBytes_(rowBytes) {}
  ~LzwSource() override { fn_(nullptr, 0, 0, state_); }
  const uint8_t* Next(uint8_t* row, bool& ok) override {
    const uint8_t* p = fn_(data_.data(), data_.size(), rowBytes_, state_);
    if (p) return p;
    std::memset(row, 0, size_t(rowBytes_));
    ok = false;
    return row;
  }

 private:
  TPxTiffLzwDecompress fn_;
  const std::vector<uint8_t>& data_;
  int rowBytes_;
  void* state_ = nullptr;
};

class DeflateSource : public RowSource {
 public:
  DeflateSource(const std::vector<uint8_t>& d, int rowBytes) : rowBytes_(rowBytes) {
    z_ = {};
    ok_ = open_ = inflateInit(&z_) == Z_OK;
    z_.next_in = const_cast<Bytef*>(d.data());
    z_.avail_in = static_cast<uInt>(std::min<size_t>(d.size(), UINT32_MAX));
  }
  ~DeflateSource() override {
    if (open_) inflateEnd(&z_);
  }
  const uint8_t* Next(uint8_t* row, bool& ok) override {
    z_.next_out = row;
    z_.avail_out = static_cast<uInt>(rowBytes_);
    while (ok_ && !ended_ && z_.avail_out > 0) {
      const int r = inflate(&z_, Z_NO_FLUSH);
      if (r == Z_STREAM_END) ended_ = true;
      else if (r != Z_OK) ok_ = false;
    }
    if (z_.avail_out > 0) {
      std::memset(z_.next_out, 0, z_.avail_out);
      ok = false;
    }
    return row;
  }

 private:
  z_stream z_;
  int rowBytes_;
  bool open_ = false;
  bool ok_ = false;
  bool ended_ = false;
};

class FaxSource : public RowSource {
 public:
  FaxSource(const TFaxOptions& o, const std::vector<uint8_t>& d) : decoder_(o) {
    decoder_.BeginStrip(d.data(), d.size());
  }
  const uint8_t* Next(uint8_t* row, bool& ok) override {
    if (!decoder_.DecodeRow(row)) ok = false;
    return row;
  }

 private:
  TFaxDecoder decoder_;
};

// ---------------------------------------------------------------------------
// The page being read.

enum Kind : uint8_t { kBilevel, kGray, kPalette, kRgb, kCmyk, kJpeg };

struct Layout {
  int width = 0, height = 0, spp = 1, bps = 1;
  uint32_t photometric = 2, compression = cNone, planar = 1, predictor = 1, fillOrder = 1;
  uint32_t t4 = 0, t6 = 0;
  uint32_t chunkWidth = 0, chunkHeight = 0;  // a strip: the page's width and RowsPerStrip
  bool tiled = false;
  std::vector<uint32_t> offsets, counts;
  Kind kind = kRgb;
  int alphaSample = -1;  // sample index of the alpha value
  bool associatedAlpha = false;
  bool invertBilevel = false;
  int grayShift = 8;  // 16-bit gray to 8 bits
  uint8_t fillByte = 0;  // the padding of a row, as Fill leaves a bilevel one
  std::vector<TBGR> palette;
  TPxPixelFormat pf = pxRGB24;
};

int SampleTo8(uint32_t v, int bps) {
  if (bps == 8) return static_cast<int>(v);
  if (bps == 16) return static_cast<int>(v >> 8);
  if (bps > 8) return static_cast<int>(v >> (bps - 8));
  return static_cast<int>(v * 255 / ((1u << bps) - 1));
}

// Stored bytes of a row of `width` pixels of one plane (planar) or of all samples.
int64_t StoredRowBytes(const Layout& l, int64_t width) {
  const int samples = l.planar == 2 ? 1 : l.spp;
  return (width * l.bps * samples + 7) / 8;
}

// Samples of a stored row (planar: the row of sample `plane`) into samples[x * spp + plane].
void ExtractSamples(const Layout& l, const uint8_t* src, uint16_t* samples, int width, int plane, bool big) {
  const int stride = l.spp;
  const int count = l.planar == 2 ? 1 : l.spp;
  const int n = width * count;
  uint16_t* out = samples + (l.planar == 2 ? plane : 0);
  const int step = l.planar == 2 ? stride : 1;
  if (l.bps == 8) {
    for (int i = 0; i < n; ++i) out[i * step] = src[i];
  } else if (l.bps == 16) {
    for (int i = 0; i < n; ++i)
      out[i * step] = big ? uint16_t(src[2 * i] << 8 | src[2 * i + 1]) : uint16_t(src[2 * i + 1] << 8 | src[2 * i]);
  } else {
    uint64_t bit = 0;
    for (int i = 0; i < n; ++i) {
      uint32_t v = 0;
      for (int b = 0; b < l.bps; ++b, ++bit) v = (v << 1) | ((src[bit >> 3] >> (7 - (bit & 7))) & 1);
      out[i * step] = static_cast<uint16_t>(v);
    }
  }
}

void UndoPredictor(const Layout& l, uint16_t* samples, int width) {
  const int s = l.spp;
  const uint32_t mask = l.bps >= 16 ? 0xFFFF : (1u << l.bps) - 1;
  for (int i = s; i < width * s; ++i) samples[i] = static_cast<uint16_t>((samples[i] + samples[i - s]) & mask);
}

// Converts `width` pixels of samples into the bitmap row (and the alpha mask row).
void ConvertRow(const Layout& l, const uint16_t* smp, int width, uint8_t* dst, uint8_t* alpha) {
  const int s = l.spp, b = l.bps;
  auto alphaOf = [&](int x) { return l.alphaSample >= 0 ? SampleTo8(smp[x * s + l.alphaSample], b) : 255; };
  // Associated alpha: the colours were multiplied by it.
  auto unmultiply = [&](int c, int a) {
    return (!l.associatedAlpha || a == 0 || a == 255) ? c : std::min(255, c * 255 / a);
  };
  switch (l.kind) {
    case kGray:
      for (int x = 0; x < width; ++x) {
        uint32_t v = smp[x * s];
        if (l.pf == px16g) {
          if (l.photometric == 0) v = 65535 - v;
          const uint16_t w = static_cast<uint16_t>(v);
          std::memcpy(dst + 2 * x, &w, 2);
          continue;
        }
        int g = b == 16 ? static_cast<int>(std::min<uint32_t>(v >> l.grayShift, 255)) : SampleTo8(v, b);
        if (l.photometric == 0) g = 255 - g;
        const int a = alphaOf(x);
        g = unmultiply(g, a);
        if (l.pf == px8g) dst[x] = static_cast<uint8_t>(g);
        else dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = static_cast<uint8_t>(g);
        if (alpha) alpha[x] = static_cast<uint8_t>(a);
      }
      break;
    case kPalette:
      for (int x = 0; x < width; ++x) {
        const uint32_t i = smp[x * s];
        if (l.pf == px8p) {
          dst[x] = static_cast<uint8_t>(i);
        } else {
          const TBGR c = i < l.palette.size() ? l.palette[i] : TBGR{};
          std::memcpy(dst + 3 * x, &c, 3);
        }
        if (alpha) alpha[x] = static_cast<uint8_t>(alphaOf(x));
      }
      break;
    case kRgb:
      if (l.pf == pxRGB48) {
        for (int x = 0; x < width; ++x) std::memcpy(dst + 6 * x, smp + x * s, 6);
        if (alpha)
          for (int x = 0; x < width; ++x) alpha[x] = static_cast<uint8_t>(alphaOf(x));
        break;
      }
      for (int x = 0; x < width; ++x) {
        const int a = alphaOf(x);
        dst[3 * x + 2] = static_cast<uint8_t>(unmultiply(SampleTo8(smp[x * s], b), a));
        dst[3 * x + 1] = static_cast<uint8_t>(unmultiply(SampleTo8(smp[x * s + 1], b), a));
        dst[3 * x] = static_cast<uint8_t>(unmultiply(SampleTo8(smp[x * s + 2], b), a));
        if (alpha) alpha[x] = static_cast<uint8_t>(a);
      }
      break;
    case kCmyk:
      for (int x = 0; x < width; ++x) {
        uint8_t ink[4];
        for (int c = 0; c < 4; ++c) ink[c] = static_cast<uint8_t>(SampleTo8(smp[x * s + c], b));
        if (l.pf == pxCMYK) {
          std::memcpy(dst + 4 * x, ink, 4);
        } else {
          const TBGR c = PxCMYKToBGR(ink);
          std::memcpy(dst + 3 * x, &c, 3);
        }
        if (alpha) alpha[x] = static_cast<uint8_t>(alphaOf(x));
      }
      break;
    default:
      break;
  }
}

// The common case of 8-bit chunky samples, straight from the stored bytes to
// the row without widening.
bool FastRow8(const Layout& l) {
  return l.bps == 8 && l.planar == 1 && !l.associatedAlpha &&
         ((l.kind == kRgb && l.pf == pxRGB24) || (l.kind == kGray && l.pf != px16g) ||
          (l.kind == kPalette && l.spp == 1));
}

// The stored bytes stay as they are (they may be the decoder's own): the
// predictor is undone on the way into the row, or in scratch.
void ConvertRow8(const Layout& l, const uint8_t* raw, int width, uint8_t* dst, uint8_t* alpha,
                 uint8_t* scratch) {
  const int s = l.spp;
  if (l.kind == kRgb && s == 3) {
    if (l.predictor == 2) {
      uint8_t r = 0, g = 0, b = 0;
      for (int x = 0; x < width; ++x, raw += 3, dst += 3) {
        r = static_cast<uint8_t>(r + raw[0]);
        g = static_cast<uint8_t>(g + raw[1]);
        b = static_cast<uint8_t>(b + raw[2]);
        dst[0] = b;
        dst[1] = g;
        dst[2] = r;
      }
    } else {
      PxSwapRedBlue(raw, dst, width);
    }
    return;
  }
  if (l.predictor == 2) {
    std::memcpy(scratch, raw, size_t(width) * s);
    for (int i = s; i < width * s; ++i) scratch[i] = static_cast<uint8_t>(scratch[i] + scratch[i - s]);
    raw = scratch;
  }
  switch (l.kind) {
    case kRgb:
      for (int x = 0; x < width; ++x) {
        dst[3 * x] = raw[x * s + 2];
        dst[3 * x + 1] = raw[x * s + 1];
        dst[3 * x + 2] = raw[x * s];
      }
      break;
    case kGray: {
      const uint8_t flip = l.photometric == 0 ? 0xFF : 0x00;
      if (l.pf == px8g) {
        for (int x = 0; x < width; ++x) dst[x] = raw[x * s] ^ flip;
      } else {
        for (int x = 0; x < width; ++x) dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = raw[x * s] ^ flip;
      }
      break;
    }
    default:
      if (l.pf == px8p) {
        std::memcpy(dst, raw, size_t(width));
      } else {
        for (int x = 0; x < width; ++x) {
          const TBGR c = raw[x] < l.palette.size() ? l.palette[raw[x]] : TBGR{};
          std::memcpy(dst + 3 * x, &c, 3);
        }
      }
      break;
  }
  if (alpha && l.alphaSample >= 0)
    for (int x = 0; x < width; ++x) alpha[x] = raw[x * s + l.alphaSample];
}

// Decides the kind of page and the bitmap's pixel format; false for sample
// layouts the library does not read.
bool Classify(Layout& l, bool native, bool noAlpha, const std::vector<uint32_t>& extra) {
  const int s = l.spp, b = l.bps;
  // Colour and alpha and a few spare samples: more is no picture this reads.
  if (b < 1 || b > 16 || s < 1 || s > 16) return false;
  if (l.compression == cJpeg) {
    if (b != 8 || (s != 1 && s != 3)) return false;
    l.kind = kJpeg;
    l.pf = pxRGB24;
    return true;
  }
  int colours = 0;
  switch (l.photometric) {
    case 0:
    case 1:
      colours = 1;
      if (s == 1 && b == 1) {
        l.kind = kBilevel;
        l.pf = px1g;
        return true;
      }
      if (b != 2 && b != 4 && b != 8 && b != 16) return false;
      l.kind = kGray;
      l.pf = native && s == 1 && b == 8 && l.photometric == 1 ? px8g
             : native && s == 1 && b == 16 && l.photometric == 1 ? px16g
                                                                 : pxRGB24;
      break;
    case 3:
      colours = 1;
      if (b > 8 || l.palette.empty()) return false;
      l.kind = kPalette;
      l.pf = native && s == 1 && b == 8 ? px8p : pxRGB24;
      break;
    case 2:
      colours = 3;
      if (s < 3 || (b != 8 && b != 16)) return false;
      l.kind = kRgb;
      l.pf = native && b == 16 && s == 3 ? pxRGB48 : pxRGB24;
      break;
    case 5:
      colours = 4;
      if (s < 4 || (b != 8 && b != 16)) return false;
      l.kind = kCmyk;
      l.pf = native && s == 4 ? pxCMYK : pxRGB24;
      break;
    default:
      return false;
  }
  if (!noAlpha && s > colours) {
    // The first extra sample is alpha when it says so, or when a writer left
    // ExtraSamples out of a gray-alpha or RGBA page.
    const uint32_t kindOfExtra = extra.empty() ? 2 : extra[0];
    if (kindOfExtra == 1 || kindOfExtra == 2) {
      l.alphaSample = colours;
      l.associatedAlpha = kindOfExtra == 1;
    }
  }
  return true;
}

// Reads the chunk's stored bytes: a missing or zero count runs to the end of
// the stream, a count beyond it is cut there.
bool ChunkBytes(TiffIn& in, const Layout& l, size_t index, std::vector<uint8_t>& out) {
  out.clear();
  if (index >= l.offsets.size()) return false;
  const int64_t at = in.base + l.offsets[index];
  if (at >= in.Size()) return false;
  int64_t n = index < l.counts.size() && l.counts[index] ? int64_t(l.counts[index]) : in.Size() - at;
  const bool cut = n > in.Size() - at;
  n = std::min(n, in.Size() - at);
  out.resize(static_cast<size_t>(n));
  return in.r.Seek(at) && in.r.Read(out.data(), n) && !cut;
}

std::unique_ptr<RowSource> MakeSource(const Layout& l, const std::vector<uint8_t>& data, int rowBytes,
                                      const TIOParamsVals& params) {
  switch (l.compression) {
    case cNone:
      return std::make_unique<RawSource>(data, rowBytes);
    case cPackBits:
      return std::make_unique<PackBitsSource>(data, rowBytes);
    case cLzw: {
      TPxTiffLzwDecompress fn = params.TiffLzwDecompress ? params.TiffLzwDecompress : TiffLzwDecompressDefault;
      return std::make_unique<LzwSource>(fn, data, rowBytes);
    }
    case cDeflate:
    case cDeflateOld:
      return std::make_unique<DeflateSource>(data, rowBytes);
    case cHuffman:
    case cFax3:
    case cFax4: {
      TFaxOptions o;
      o.Width = static_cast<int>(l.chunkWidth);
      o.LsbFirst = l.fillOrder == 2;
      o.Coding = l.compression == cHuffman ? fcModifiedHuffman
                 : l.compression == cFax4  ? fcGroup4
                 : (l.t4 & 1)              ? fcGroup3_2D
                                           : fcGroup3_1D;
      return std::make_unique<FaxSource>(o, data);
    }
    default:
      return nullptr;
  }
}

bool IsCcitt(uint32_t compression) {
  return compression == cHuffman || compression == cFax3 || compression == cFax4;
}

// Decodes one JPEG chunk into the page at (x0, y0).
bool ReadJpegChunk(const std::vector<uint8_t>& data, const std::vector<uint8_t>& tables,
                   TPxBitmap& bitmap, int x0, int y0) {
  TPxMemoryStream chunk(data.data(), data.size());
  TPxMemoryStream tableStream(tables.data(), tables.size());
  TPxBitmap part;
  TIOParamsVals p;
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  // The codec tells RGB from YCbCr data by the markers libjpeg writes (an
  // RGB stream carries an Adobe marker), so the pixels come out as colours.
  ReadJpegStream(chunk, tables.empty() ? nullptr : &tableStream, &part, false, false, false, false, false,
                 progress, p);
  if (part.IsEmpty()) return false;
  if (part.PixelFormat() != pxRGB24 && !part.ConvertTo(pxRGB24)) return false;
  const int w = std::min(part.Width(), bitmap.Width() - x0);
  const int h = std::min(part.Height(), bitmap.Height() - y0);
  for (int y = 0; y < h; ++y) std::memcpy(bitmap.Scanline(y0 + y) + 3 * x0, part.Scanline(y), size_t(w) * 3);
  return !aborted;
}

// Decodes every chunk of the page into the bitmap. Strips are written whole
// rows at a time, from the top: rowsDone tells how far, and the caller fills
// the rest.
bool ReadPixels(TiffIn& in, Layout& l, TPxBitmap& bitmap, TPxMask* mask, const std::vector<uint8_t>& tables,
                TPxProgress& progress, const TIOParamsVals& params, int& rowsDone) {
  const int64_t across = (l.width + int64_t(l.chunkWidth) - 1) / l.chunkWidth;
  const int64_t down = (l.height + int64_t(l.chunkHeight) - 1) / l.chunkHeight;
  const int planes = l.planar == 2 ? l.spp : 1;
  if (across * down * planes > int64_t(l.offsets.size())) return false;
  const int64_t rowBytes64 = StoredRowBytes(l, l.chunkWidth);
  // The row buffers (stored bytes of every plane, 16-bit samples) stay
  // within the pixel memory limit, like the bitmap itself.
  const int64_t scratch = rowBytes64 * planes + int64_t(l.chunkWidth) * l.spp * 2;
  if (rowBytes64 <= 0 || rowBytes64 > kPxMaxRowBytes / 4 || scratch > PxImageBytesLimit()) return false;
  const int rowBytes = static_cast<int>(rowBytes64);
  std::vector<std::vector<uint8_t>> data(planes), rows(planes, std::vector<uint8_t>(rowBytes));
  std::vector<const uint8_t*> stored(planes);
  std::vector<uint8_t> undone(FastRow8(l) && l.predictor == 2 ? rowBytes : 0);
  std::vector<uint16_t> samples(size_t(l.chunkWidth) * l.spp);
  const int pixelBytes = PxBitsPerPixel(l.pf) / 8;
  // The row's bytes past its pixels, which strips leave alone.
  const size_t used = size_t((int64_t(l.width) * PxBitsPerPixel(l.pf) + 7) / 8);
  const size_t padding = l.tiled ? 0 : size_t(bitmap.RowBytes()) - std::min(used, size_t(bitmap.RowBytes()));
  progress.Begin(across * down * std::min<int64_t>(l.chunkHeight, l.height));
  const bool fast = FastRow8(l);
  for (int64_t cy = 0; cy < down; ++cy) {
    for (int64_t cx = 0; cx < across; ++cx) {
      const int x0 = static_cast<int>(cx * l.chunkWidth), y0 = static_cast<int>(cy * l.chunkHeight);
      const int visibleW = std::min<int>(static_cast<int>(l.chunkWidth), l.width - x0);
      const int visibleH = std::min<int>(static_cast<int>(l.chunkHeight), l.height - y0);
      const size_t chunk = static_cast<size_t>(cy * across + cx);
      if (l.kind == kJpeg) {
        if (!ChunkBytes(in, l, chunk, data[0]) || !ReadJpegChunk(data[0], tables, bitmap, x0, y0))
          return false;
        progress.Advance(visibleH);
        if (progress.Aborted()) return false;
        continue;
      }
      std::vector<std::unique_ptr<RowSource>> sources;
      bool complete = true;
      for (int p = 0; p < planes; ++p) {
        const size_t index = chunk + size_t(p) * size_t(across * down);
        complete &= ChunkBytes(in, l, index, data[p]);
        if (data[p].empty()) return false;
        sources.push_back(MakeSource(l, data[p], rowBytes, params));
        if (!sources.back()) return false;
      }
      // A tile's rows below the page are never needed: each tile has its own data.
      for (int y = 0; y < visibleH; ++y) {
        bool ok = true;
        for (int p = 0; p < planes; ++p) stored[p] = sources[p]->Next(rows[p].data(), ok);
        uint8_t* dst = bitmap.Scanline(y0 + y);
        if (!dst) return false;
        if (l.kind == kBilevel) {
          const size_t bytes = size_t(visibleW + 7) / 8;
          std::memcpy(dst + x0 / 8, stored[0], bytes);
          if (l.invertBilevel) PxInvertBits(dst + x0 / 8, bytes);
        } else if (fast) {
          uint8_t* alpha = mask ? mask->Scanline(y0 + y) + x0 : nullptr;
          ConvertRow8(l, stored[0], visibleW, dst + size_t(x0) * pixelBytes, alpha, undone.data());
        } else {
          for (int p = 0; p < planes; ++p)
            ExtractSamples(l, stored[p], samples.data(), static_cast<int>(l.chunkWidth), p, in.big);
          if (l.predictor == 2) UndoPredictor(l, samples.data(), static_cast<int>(l.chunkWidth));
          uint8_t* alpha = mask ? mask->Scanline(y0 + y) + x0 : nullptr;
          ConvertRow(l, samples.data(), visibleW, dst + size_t(x0) * pixelBytes, alpha);
        }
        if (padding) std::memset(dst + used, l.fillByte, padding);
        rowsDone = y0 + y + 1;
        // Damaged data keep the rows before, and this one as far as it got.
        if (!ok) return false;
        progress.Advance();
        if (progress.Aborted()) return false;
      }
      if (!complete) return false;
    }
  }
  return true;
}

// The camera's values of the page and of its EXIF directory; the page's own
// resolution tags then decide DpiX and DpiY and the EXIF resolution with them.
void ReadPageExif(TiffIn& in, const Page& page, TIOParamsVals& params) {
  TiffFileBytes bytes(in);
  ReadExifValues(bytes, page.offset, params);
}

// The annotations' bytes, whatever type the writer gave the tag.
void ReadAnnotations(TiffIn& in, const Page& page, TIOParamsVals& params) {
  const Entry* e = page.Find(tAnnotations);
  if (!e || e->type == 0 || e->type > 12 || uint64_t(e->count) * kTypeSize[e->type] > kMaxAnnotationBytes) return;
  std::vector<uint8_t> bytes;
  if (in.Bytes(*e, bytes, kMaxAnnotationBytes)) params.ImagingAnnot.Data = std::move(bytes);
}

void FillParams(TiffIn& in, const Page& page, const Layout& l, TIOParamsVals& params) {
  ReadPageExif(in, page, params);
  params.Width = l.width;
  params.Height = l.height;
  params.BitsPerSample = l.bps;
  params.SamplesPerPixel = l.spp;
  switch (l.compression) {
    case cNone: params.TiffCompression = 0; break;
    case cHuffman: params.TiffCompression = 1; break;
    case cFax3: params.TiffCompression = (l.t4 & 1) ? 3 : 2; break;
    case cFax4: params.TiffCompression = 4; break;
    case cLzw: params.TiffCompression = 5; break;
    case cOldJpeg: params.TiffCompression = 6; break;
    case cJpeg: params.TiffCompression = 7; break;
    case cPackBits: params.TiffCompression = 8; break;
    case cDeflate:
    case cDeflateOld: params.TiffCompression = 10; break;
    default: params.TiffCompression = 9; break;
  }
  params.TiffPhotometric = l.photometric == 8 ? 7 : static_cast<int32_t>(std::min<uint32_t>(l.photometric, 9));
  params.TiffPlanarConfig = static_cast<int32_t>(l.planar);
  auto text = [&](uint16_t tag) {
    const Entry* e = page.Find(tag);
    return e ? in.Ascii(*e) : std::string();
  };
  auto rational = [&](uint16_t tag) {
    const Entry* e = page.Find(tag);
    return e ? in.Rational(*e) : 0.0;
  };
  params.TiffDocumentName = text(tDocumentName);
  params.TiffImageDescription = text(tImageDescription);
  params.TiffPageName = text(tPageName);
  if (const Entry* e = page.Find(tPageNumber)) {
    std::vector<uint32_t> v;
    if (in.Numbers(*e, v, 2) && v.size() == 2) {
      params.TiffPageNumber = static_cast<int32_t>(v[0]);
      params.TiffPageCount = static_cast<int32_t>(v[1]);
    }
  }
  const uint32_t unit = Number(in, page, tResolutionUnit, 2);
  const double factor = unit == 3 ? 2.54 : 1.0;
  auto dpi = [&](double v) {
    const double d = std::round(v * factor);
    return d >= 1 && d < 1e7 ? static_cast<int32_t>(d) : kDefaultDpi;
  };
  const int32_t dx = dpi(rational(tXResolution)), dy = dpi(rational(tYResolution));
  params.DpiFromFile = page.Find(tXResolution) != nullptr;
  params.SetDpi(dx, dy);
  auto position = [&](double v) {
    const double p = std::round(v / factor);
    return std::fabs(p) < 1e7 ? static_cast<int32_t>(p) : 0;
  };
  params.TiffXPos = position(rational(tXPosition));
  params.TiffYPos = position(rational(tYPosition));
  params.ExifOrientation = static_cast<int32_t>(Number(in, page, tOrientation, 1));
  params.ColorMap = l.palette;
  params.ColorMapCount = static_cast<int32_t>(l.palette.size());
  if (const Entry* e = page.Find(tIcc)) {
    std::vector<uint8_t> icc;
    if (in.Bytes(*e, icc, e->count)) params.ColorProfile = std::move(icc);
  }
  // The records are a byte stream whatever type the writer gave the tag.
  if (const Entry* e = page.Find(tIptc)) {
    std::vector<uint8_t> iptc;
    if (in.Bytes(*e, iptc, UINT64_MAX)) params.IPTCInfoList.DecodeRecords(iptc.data(), iptc.size());
  }
  ReadAnnotations(in, page, params);
}

bool ReadPalette(TiffIn& in, const Page& page, Layout& l) {
  const Entry* e = page.Find(tColorMap);
  if (!e || l.bps > 8) return false;
  const uint32_t n = 1u << l.bps;
  std::vector<uint32_t> v;
  if (!in.Numbers(*e, v, 3 * n) || v.size() < 3 * n) return false;
  l.palette.resize(n);
  // 16-bit entries as writers make them from 8 bits (c * 257) give c back.
  auto to8 = [](uint32_t x) { return static_cast<uint8_t>(std::min<uint32_t>(x, 65535) / 257); };
  for (uint32_t i = 0; i < n; ++i) l.palette[i] = MakeBGR(to8(v[i]), to8(v[n + i]), to8(v[2 * n + i]));
  return true;
}

// The old JPEG form: one JPEG stream for the whole page.
bool ReadOldJpeg(TiffIn& in, const Page& page, const Layout& l, TPxBitmap& bitmap, TPxProgress& progress) {
  const Entry* at = page.Find(tJpegIF);
  int64_t start = -1;
  if (at) start = in.base + at->field;
  else if (!l.offsets.empty()) start = in.base + l.offsets[0];
  if (start < 0 || start >= in.Size()) return false;
  std::vector<uint8_t> data(static_cast<size_t>(in.Size() - start));
  if (!in.r.Seek(start) || !in.r.Read(data.data(), static_cast<int64_t>(data.size()))) return false;
  TPxMemoryStream s(std::move(data));
  TIOParamsVals p;
  bool aborted = false;
  TPxProgress inner;
  inner.Aborting = &aborted;
  ReadJpegStream(s, nullptr, &bitmap, false, false, false, false, false, inner, p);
  progress.Advance(l.height);
  return !aborted && !bitmap.IsEmpty();
}

void ReadPage(TPxBitmap* bitmap, TPxStream& stream, int& pageCount, bool thumbnailMode,
              bool noAlpha, std::unique_ptr<TPxMask>& alphaMask, bool paramsOnly,
              TPxProgress& progress, TIOParamsVals& params) {
  pageCount = 0;
  TiffIn in(stream);
  in.base = stream.Position();
  uint8_t head[2];
  in.r.Read(head, 2);
  if (in.r.Failed() || !((head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M'))) {
    progress.Abort();
    return;
  }
  in.big = head[0] == 'M';
  in.U16();
  const uint32_t first = in.U32();
  Page page;
  bool found = false;
  pageCount = in.r.Failed() ? 0 : WalkChain(in, first, params.TiffImageIndex, page, found);
  params.TiffImageCount = pageCount;
  if (!found) {
    progress.Abort();
    return;
  }

  Layout l;
  const uint32_t width = Number(in, page, tImageWidth, 0), height = Number(in, page, tImageLength, 0);
  l.spp = static_cast<int>(std::min<uint32_t>(Number(in, page, tSamplesPerPixel, 1), 64));
  std::vector<uint32_t> bps;
  if (const Entry* e = page.Find(tBitsPerSample)) in.Numbers(*e, bps, static_cast<uint32_t>(l.spp));
  l.bps = bps.empty() ? 1 : static_cast<int>(std::min<uint32_t>(bps[0], 64));
  bool sameBits = true;
  for (uint32_t b : bps) sameBits &= b == bps[0];
  l.photometric = Number(in, page, tPhotometric, 2);
  l.compression = Number(in, page, tCompression, cNone);
  l.planar = Number(in, page, tPlanarConfig, 1);
  l.predictor = Number(in, page, tPredictor, 1);
  l.fillOrder = Number(in, page, tFillOrder, 1);
  l.t4 = Number(in, page, tT4Options, 0);
  l.t6 = Number(in, page, tT6Options, 0);
  // Some writers leave bilevel fax pages marked RGB.
  if (l.spp == 1 && l.bps == 1 && l.compression >= 1 && l.compression <= 4 && l.photometric == 2) l.photometric = 0;
  if (l.photometric == 3) ReadPalette(in, page, l);
  l.width = static_cast<int>(std::min<uint32_t>(width, INT32_MAX));
  l.height = static_cast<int>(std::min<uint32_t>(height, INT32_MAX));
  FillParams(in, page, l, params);
  const std::string software = [&] {
    const Entry* e = page.Find(tSoftware);
    return e ? in.Ascii(*e) : std::string();
  }();
  if (software.compare(0, 15, "Look@Molli v1.1") == 0) l.grayShift = 4;
  if (!sameBits || width == 0 || height == 0) {
    progress.Abort();
    return;
  }
  if (paramsOnly) return;
  if (!bitmap || (thumbnailMode && (l.width > kThumbnailLimit || l.height > kThumbnailLimit))) {
    progress.Abort();
    return;
  }

  const bool tiled = page.Find(tTileWidth) || page.Find(tTileLength);
  l.tiled = tiled;
  if (tiled) {
    l.chunkWidth = Number(in, page, tTileWidth, 0);
    l.chunkHeight = Number(in, page, tTileLength, 0);
    // Tile sides are multiples of 16; that also keeps bilevel tiles on whole bytes.
    if (l.chunkWidth == 0 || l.chunkHeight == 0 || l.chunkWidth % 16 || l.chunkWidth > 65536 ||
        l.chunkHeight > 65536) {
      progress.Abort();
      return;
    }
  } else {
    l.chunkWidth = static_cast<uint32_t>(l.width);
    const uint32_t rps = Number(in, page, tRowsPerStrip, 0xFFFFFFFF);
    l.chunkHeight = rps == 0 || rps > uint32_t(l.height) ? uint32_t(l.height) : rps;
  }
  const int64_t across = (l.width + int64_t(l.chunkWidth) - 1) / l.chunkWidth;
  const int64_t down = (l.height + int64_t(l.chunkHeight) - 1) / l.chunkHeight;
  const int64_t chunks = across * down * (l.planar == 2 ? l.spp : 1);
  // Each chunk needs a 4-byte offset in the file: more than it can hold is no picture.
  if (chunks > in.Size() / 4 + 1) {
    progress.Abort();
    return;
  }
  const Entry* offsets = page.Find(tiled && page.Find(tTileOffsets) ? tTileOffsets : tStripOffsets);
  const Entry* counts = page.Find(tiled && page.Find(tTileByteCounts) ? tTileByteCounts : tStripByteCounts);
  if (offsets) in.Numbers(*offsets, l.offsets, static_cast<uint32_t>(chunks));
  if (counts) in.Numbers(*counts, l.counts, static_cast<uint32_t>(chunks));
  std::vector<uint32_t> extra;
  if (const Entry* e = page.Find(tExtraSamples)) in.Numbers(*e, extra, 1);

  const bool oldJpeg = l.compression == cOldJpeg || (page.Find(tJpegIF) && l.compression != cJpeg);
  if (oldJpeg) {
    progress.Begin(l.height);
    if (Number(in, page, tJpegProc, 1) > 1 || !ReadOldJpeg(in, page, l, *bitmap, progress)) progress.Abort();
    return;
  }
  if (l.planar == 2 && (tiled || (l.bps != 8 && l.bps != 16))) {
    progress.Abort();
    return;
  }
  if (!Classify(l, params.NativePixelFormat, noAlpha, extra) || (IsCcitt(l.compression) && l.kind != kBilevel) ||
      (l.kind == kBilevel && l.planar == 2)) {
    progress.Abort();
    return;
  }
  if (l.kind == kBilevel) {
    // px1g is 1 = white: uncompressed WhiteIsZero data and BlackIsZero fax
    // data (whose white code is a 0 sample) are the other way round.
    l.invertBilevel = IsCcitt(l.compression) ? l.photometric == 1 : l.photometric == 0;
  }
  if (!PxAllocateChecked(*bitmap, l.width, l.height, l.pf)) {
    progress.Abort();
    return;
  }
  if (l.pf == px8p) PxSetPalette(*bitmap, l.palette.data(), static_cast<int>(l.palette.size()));
  // White bilevel pages, black others (and thumbnails). Strips write each
  // row whole, so only what a damaged page leaves is filled afterwards: a
  // photo is not written twice.
  const int fill = thumbnailMode ? 0 : (l.pf == px1g ? 1 : 0);
  l.fillByte = fill ? 0xFF : 0x00;
  const bool fillAfter = !tiled && l.kind != kJpeg;
  if (fillAfter) bitmap->SetFullAlpha(l.pf == px1g && fill);
  else bitmap->Fill(fill);
  TPxMask* mask = nullptr;
  if (l.alphaSample >= 0) {
    if (!alphaMask) alphaMask = std::make_unique<TPxMask>();
    if (!alphaMask->Allocate(l.width, l.height, 8)) {
      progress.Abort();
      return;
    }
    alphaMask->Fill(255);
    mask = alphaMask.get();
  }
  std::vector<uint8_t> tables;
  if (const Entry* e = page.Find(tJpegTables)) in.Bytes(*e, tables, e->count);
  int rowsDone = 0;
  if (!ReadPixels(in, l, *bitmap, mask, tables, progress, params, rowsDone)) progress.Abort();
  if (fillAfter && rowsDone < l.height) {
    // As Fill leaves them: whole bilevel rows, the pixels of the others.
    if (l.pf == px1g)
      for (int y = rowsDone; y < l.height; ++y)
        std::memset(bitmap->Scanline(y), l.fillByte, size_t(bitmap->RowBytes()));
    else
      bitmap->FillRect(0, rowsDone, l.width - 1, l.height - 1, fill);
  }
  if (mask) mask->RecomputeBox();
}

}  // namespace

void ReadTiffStream(TPxBitmap* bitmap, TPxStream& stream, int& pageCount, bool thumbnailMode,
                    bool noAlpha, std::unique_ptr<TPxMask>& alphaMask, bool paramsOnly,
                    TPxProgress& progress, TIOParamsVals& params) {
  ReadPage(bitmap, stream, pageCount, thumbnailMode, noAlpha, alphaMask, paramsOnly, progress,
           params);
  if (!params.TiffAutoOrient || progress.Aborted()) return;
  if (paramsOnly) {
    OrientUprightValues(params);
  } else if (bitmap && !bitmap->IsEmpty() && !OrientUpright(*bitmap, alphaMask.get(), params)) {
    progress.Abort();
  }
}

// ---------------------------------------------------------------------------
// LZW, codes of 9 to 12 bits, most significant bit first. 256 clears the
// table, 257 ends the strip; the code width grows one code early, as TIFF's
// LZW does.

namespace {

constexpr int kLzwClear = 256, kLzwEnd = 257, kLzwFirst = 258, kLzwCodes = 4096;

// Decodes untrusted data: codes are read only inside the strip, strings only
// from entries that exist, and the output stays inside its buffer.
//
// Every string of the table lies in the output already: an entry is the
// previous code's string and the byte after it, which stand side by side
// there. So the table keeps where each string starts and its length, and a
// code is one copy from earlier output. The buffer begins with the bytes
// 0..255, which makes a literal a string like the others. It is a window:
// rows are handed out from it, and what lies before both the row and the
// strings since the last clear code is dropped when it runs full. A table
// that fills up (4,096 codes) without a clear code is damage, as for libtiff.
class LzwDecoder {
 public:
  LzwDecoder() {
    for (uint32_t i = 0; i < 256; ++i) table_[i] = Entry(i, 1);
  }

  // rowLength decoded bytes, or null when the code is damaged or the strip
  // ends before the row does (and for every row after).
  const uint8_t* Row(const uint8_t* data, size_t size, size_t rowLength) {
    row_ += rowLength_;
    rowLength_ = rowLength;
    if (failed_) return nullptr;
    Reserve();
    const size_t want = row_ + rowLength;
    if (!ended_ && have_ < want) Fill(data, size, want);
    if (have_ < want) failed_ = true;
    return failed_ ? nullptr : out_.data() + row_;
  }

 private:
  static constexpr size_t kLiterals = 256;
  // Copies move 16 bytes at a time and may run that far past a string.
  static constexpr size_t kSlack = 16;
  // No string is longer: an entry is one byte longer than an earlier one.
  static constexpr size_t kLongest = kLzwCodes;

  // A table entry: where its string starts in the output, and its length.
  static uint64_t Entry(uint64_t pos, uint64_t length) { return pos | length << 32; }
  // Copies a string of earlier output (src + n <= dst): the bytes a block
  // reads beyond the string may be ones just written, but are never needed.
  static void Copy(uint8_t* dst, const uint8_t* src, size_t n) {
    uint8_t t[16];
    std::memcpy(t, src, 16);
    std::memcpy(dst, t, 16);
    for (size_t i = 16; i < n; i += 16) {
      std::memcpy(t, src + i, 16);
      std::memcpy(dst + i, t, 16);
    }
  }

  void Reserve();
  void Fill(const uint8_t* data, size_t size, size_t want);

  // Bits not yet read, the first in the top bit, and where the next byte comes from.
  uint64_t bits_ = 0;
  int nbits_ = 0;
  size_t at_ = 0;
  int width_ = 9;
  // The next free code; 0 until the first code of the strip or after a clear
  // code, which adds no entry.
  int next_ = 0;
  int limit_ = (1 << 9) - 1;  // the next free code at which codes grow a bit wider
  bool ended_ = false;
  bool failed_ = false;
  uint64_t table_[kLzwCodes];
  uint64_t pending_ = 0;  // the entry the next code adds: the last string and one byte more
  size_t clearAt_ = kLiterals;  // output position of the last clear code
  std::vector<uint8_t> out_;
  size_t have_ = kLiterals;                 // the end of the output
  size_t row_ = kLiterals, rowLength_ = 0;  // the row handed out last
};

// Makes room for the next row and the longest string behind it, keeping the
// table's strings (all decoded since the last clear code) and what was
// decoded beyond the previous row.
void LzwDecoder::Reserve() {
  const size_t room = rowLength_ + kLongest + kSlack;
  if (row_ + room <= out_.size()) return;
  const size_t keepFrom = std::min(clearAt_, row_), kept = have_ - keepFrom;
  // Twice what is kept and a few rows: moving what is kept costs less than
  // decoding what fits behind it.
  const size_t size = 2 * (kLiterals + kept) + 4 * room;
  if (out_.size() < size) {
    const bool fresh = out_.empty();
    out_.resize(size);
    if (fresh)
      for (size_t i = 0; i < kLiterals; ++i) out_[i] = static_cast<uint8_t>(i);
  }
  std::memmove(out_.data() + kLiterals, out_.data() + keepFrom, kept);
  const size_t shift = keepFrom - kLiterals;
  for (int c = kLzwFirst; c < next_; ++c) table_[c] -= shift;
  // After a clear code the last string makes no entry.
  if (next_ != 0) pending_ -= shift;
  clearAt_ -= shift;
  row_ -= shift;
  have_ -= shift;
}

void LzwDecoder::Fill(const uint8_t* data, size_t size, size_t want) {
  // The state lives in locals meanwhile: the bytes written could otherwise
  // alias it, and it would be reloaded for every code.
  uint64_t bits = bits_, pending = pending_;
  int nbits = nbits_, w = width_, next = next_, limit = limit_, shift = 64 - width_;
  size_t at = at_, n = have_;
  uint8_t* o = out_.data();
  uint64_t* table = table_;
  // Codes grow a bit wider one code early, as TIFF's LZW has it; false when
  // the table is full.
  auto grow = [&] {
    if (next >= kLzwCodes) return false;
    ++w;
    shift = 64 - w;
    limit = w < 12 ? (1 << w) - 1 : kLzwCodes;
    return true;
  };
  // A string of `length` bytes is out: the table takes the entry pending, and
  // the string begins the next. False when the table is full.
  auto emitted = [&](uint32_t length) {
    table[next] = pending;
    pending = Entry(n, length + 1);
    n += length;
    return ++next < limit || grow();
  };
  while (n < want) {
    if (nbits < w) {
      if (at + 8 <= size) {
        // Whole bytes up to 56 bits or more: four codes at least. The bits
        // loaded beyond those are the stream's own, loaded again next time.
        bits |= PxGetU64BE(data + at) >> nbits;
        at += static_cast<size_t>((63 - nbits) >> 3);
        nbits |= 56;
      } else {
        while (nbits <= 56 && at < size) {
          bits |= static_cast<uint64_t>(data[at++]) << (56 - nbits);
          nbits += 8;
        }
        if (nbits < w) {
          ended_ = true;
          break;
        }
      }
    }
    const int code = static_cast<int>(bits >> shift);
    bits <<= w;
    nbits -= w;
    if (code < next && static_cast<unsigned>(code - kLzwClear) > 1u) [[likely]] {
      const uint64_t e = table[code];
      const uint32_t length = static_cast<uint32_t>(e >> 32);
      Copy(o + n, o + static_cast<uint32_t>(e), length);
      if (emitted(length)) continue;
      failed_ = true;
      break;
    }
    if (code == kLzwClear) {
      next = 0;
      w = 9;
      shift = 64 - 9;
      limit = (1 << 9) - 1;
      clearAt_ = n;
      continue;
    }
    if (code == kLzwEnd) {
      ended_ = true;
      break;
    }
    if (next == 0 && code < 256) {
      o[n] = static_cast<uint8_t>(code);
      pending = Entry(n, 2);
      n += 1;
      next = kLzwFirst;
      continue;
    }
    if (code != next) {
      failed_ = true;
      break;
    }
    // The code being defined: the last string and its own first byte.
    const uint32_t from = static_cast<uint32_t>(pending), length = static_cast<uint32_t>(pending >> 32);
    Copy(o + n, o + from, length - 1);
    o[n + length - 1] = o[from];
    if (!emitted(length)) {
      failed_ = true;
      break;
    }
  }
  bits_ = bits;
  nbits_ = nbits;
  width_ = w;
  next_ = next;
  limit_ = limit;
  at_ = at;
  have_ = n;
  pending_ = pending;
}

struct LzwEncoder {
  static constexpr int kHashSize = 8192;  // a power of two above twice the codes
  int32_t keys[kHashSize];
  uint16_t codes[kHashSize];
  int next = kLzwFirst;
  int width = 9;
  int prefix = -1;
  uint64_t acc = 0;
  int accBits = 0;
  std::vector<uint8_t> out;

  LzwEncoder() { ClearTable(); }
  void ClearTable() {
    std::memset(keys, 0xFF, sizeof keys);
    next = kLzwFirst;
  }
  void Put(int code) {
    acc = (acc << width) | static_cast<uint32_t>(code);
    accBits += width;
    while (accBits >= 8) {
      accBits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> accBits));
    }
    acc &= (uint64_t(1) << accBits) - 1;
  }
  // After a code is emitted the table (the decoder's, one code later) grows.
  void Grown() {
    if (next == kLzwCodes - 2) {
      Put(kLzwClear);
      ClearTable();
      width = 9;
    } else if (next > (1 << width) - 1) {
      ++width;
    }
  }
  void Byte(uint8_t c) {
    if (prefix < 0) {
      prefix = c;
      return;
    }
    const int32_t key = (prefix << 8) | c;
    uint32_t h = (static_cast<uint32_t>(key) * 2654435761u) >> 19;
    while (keys[h] >= 0) {
      if (keys[h] == key) {
        prefix = codes[h];
        return;
      }
      h = (h + 1) & (kHashSize - 1);
    }
    Put(prefix);
    keys[h] = key;
    codes[h] = static_cast<uint16_t>(next++);
    Grown();
    prefix = c;
  }
  void End() {
    if (prefix >= 0) {
      Put(prefix);
      ++next;
      Grown();
    }
    Put(kLzwEnd);
    if (accBits) out.push_back(static_cast<uint8_t>(acc << (8 - accBits)));
    accBits = 0;
  }
};

}  // namespace

const uint8_t* TiffLzwDecompressDefault(const uint8_t* data, size_t size, int rowLength, void*& state) {
  if (!data) {
    delete static_cast<LzwDecoder*>(state);
    state = nullptr;
    return nullptr;
  }
  if (!state) state = new LzwDecoder();
  return static_cast<LzwDecoder*>(state)->Row(data, size, static_cast<size_t>(std::max(rowLength, 0)));
}

bool TiffLzwCompressDefault(const uint8_t* row, int length, TPxStream& stream, void*& state) {
  if (!state) {
    LzwEncoder* e = new LzwEncoder();
    e->Put(kLzwClear);
    state = e;
  }
  LzwEncoder& e = *static_cast<LzwEncoder*>(state);
  if (row) {
    for (int i = 0; i < length; ++i) e.Byte(row[i]);
  } else {
    e.End();
  }
  const bool ok = e.out.empty() || stream.WriteExact(e.out.data(), static_cast<int64_t>(e.out.size()));
  e.out.clear();
  if (!row) {
    delete &e;
    state = nullptr;
  }
  return ok;
}

// ---------------------------------------------------------------------------
// Writing

namespace {

enum OutKind : uint8_t { oBilevel, oGray8, oGray16, oPalette, oRgb, oRgb48, oCmyk, oCmykFromRgb };

// The entries of a directory to write; an entry replaces one of its tag.
class TagList {
 public:
  void Numbers(uint16_t tag, uint16_t type, const std::vector<uint32_t>& v) {
    TPxTiffEntry e{tag, type, static_cast<uint32_t>(v.size()), {}};
    for (uint32_t x : v) {
      e.Value.push_back(static_cast<uint8_t>(x));
      e.Value.push_back(static_cast<uint8_t>(x >> 8));
      if (type == tyLong) {
        e.Value.push_back(static_cast<uint8_t>(x >> 16));
        e.Value.push_back(static_cast<uint8_t>(x >> 24));
      }
    }
    Put(std::move(e));
  }
  void Short(uint16_t tag, uint32_t v) { Numbers(tag, tyShort, {v}); }
  void Long(uint16_t tag, uint32_t v) { Numbers(tag, tyLong, {v}); }
  void Ascii(uint16_t tag, const std::string& s) {
    if (s.empty()) return;
    TPxTiffEntry e{tag, tyAscii, static_cast<uint32_t>(s.size() + 1), std::vector<uint8_t>(s.begin(), s.end())};
    e.Value.push_back(0);
    Put(std::move(e));
  }
  void Rational(uint16_t tag, double v) {
    uint32_t den = 1000000;
    while (v * den > 2147483640.0 && den > 1) den /= 10;
    const uint32_t num = static_cast<uint32_t>(std::lround(std::max(v, 0.0) * den));
    TPxTiffEntry e{tag, tyRational, 1, {}};
    for (uint32_t x : {num, den})
      for (int b = 0; b < 4; ++b) e.Value.push_back(static_cast<uint8_t>(x >> (8 * b)));
    Put(std::move(e));
  }
  void Bytes(uint16_t tag, uint16_t type, const std::vector<uint8_t>& data) {
    if (data.empty()) return;
    Put(TPxTiffEntry{tag, type, static_cast<uint32_t>(data.size()), data});
  }
  // A byte block declared as LONG values: the count is rounded up, and the
  // block padded with zero bytes to it, so that the tag's values end where
  // its bytes do.
  void LongBlock(uint16_t tag, std::vector<uint8_t> data) {
    if (data.empty()) return;
    data.resize((data.size() + 3) / 4 * 4, 0);
    const uint32_t count = static_cast<uint32_t>(data.size() / 4);
    Put(TPxTiffEntry{tag, tyLong, count, std::move(data)});
  }
  void Put(TPxTiffEntry e) {
    for (TPxTiffEntry& x : entries_)
      if (x.Tag == e.Tag) {
        x = std::move(e);
        return;
      }
    entries_.push_back(std::move(e));
  }
  const std::vector<TPxTiffEntry>& Entries() const { return entries_; }

 private:
  std::vector<TPxTiffEntry> entries_;
};

void PackBitsRow(const uint8_t* row, int n, std::vector<uint8_t>& out) {
  int literalStart = 0, i = 0;
  auto flushLiterals = [&](int end) {
    while (literalStart < end) {
      const int count = std::min(128, end - literalStart);
      out.push_back(static_cast<uint8_t>(count - 1));
      out.insert(out.end(), row + literalStart, row + literalStart + count);
      literalStart += count;
    }
  };
  while (i < n) {
    int run = 1;
    while (i + run < n && run < 128 && row[i + run] == row[i]) ++run;
    if (run >= 3) {
      flushLiterals(i);
      out.push_back(static_cast<uint8_t>(257 - run));
      out.push_back(row[i]);
      i += run;
      literalStart = i;
    } else {
      i += run;
    }
  }
  flushLiterals(n);
}

// A px1g copy of a picture: a picture of exactly two colours keeps them, the
// darker black (equal grays: the colour met first is black); others go
// through the buffer's conversion.
bool MakeBilevel(const TPxBitmap& source, TPxBitmap& out) {
  TPxBitmap rgb;
  if (!rgb.Assign(source) || (rgb.PixelFormat() != pxRGB24 && !rgb.ConvertTo(pxRGB24))) return false;
  TBGR colours[2];
  int found = 0;
  for (int y = 0; y < rgb.Height() && found < 3; ++y) {
    const TBGR* row = reinterpret_cast<const TBGR*>(rgb.Scanline(y));
    for (int x = 0; x < rgb.Width(); ++x) {
      if ((found > 0 && row[x] == colours[0]) || (found > 1 && row[x] == colours[1])) continue;
      if (found == 2) {
        found = 3;
        break;
      }
      colours[found++] = row[x];
    }
  }
  if (found != 2) return out.Assign(rgb) && out.ConvertTo(px1g);
  const TBGR white = PxGray(colours[1]) >= PxGray(colours[0]) ? colours[1] : colours[0];
  if (!out.Allocate(rgb.Width(), rgb.Height(), px1g)) return false;
  for (int y = 0; y < rgb.Height(); ++y) {
    const TBGR* src = reinterpret_cast<const TBGR*>(rgb.Scanline(y));
    uint8_t* dst = out.Scanline(y);
    std::memset(dst, 0, static_cast<size_t>(out.RowBytes()));
    for (int x = 0; x < rgb.Width(); ++x)
      if (src[x] == white) dst[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
  }
  return true;
}

bool IsGrayPicture(TPxBitmap& rgb) {
  for (int y = 0; y < rgb.Height(); ++y) {
    const TBGR* row = reinterpret_cast<const TBGR*>(rgb.Scanline(y));
    for (int x = 0; x < rgb.Width(); ++x)
      if (row[x].r != row[x].g || row[x].g != row[x].b) return false;
  }
  return true;
}

struct OutPlan {
  OutKind kind = oRgb;
  uint32_t compression = cNone;
  uint32_t photometric = 2;
  int bps = 8, spp = 3;
  bool alpha = false;
  bool predictor = false;
  TFaxCoding fax = fcGroup4;
  std::vector<TBGR> palette;
  std::unique_ptr<TPxQuantizer> quantizer;  // pxRGB24 written as palette indexes
};

// Builds the stored bytes of row y.
void BuildRow(const OutPlan& plan, TPxBitmap& img, const TPxMask* mask, int y, std::vector<uint8_t>& out,
              std::vector<uint8_t>& scratch) {
  const int w = img.Width();
  const uint8_t* src = img.Scanline(y);
  switch (plan.kind) {
    case oBilevel:
      std::memcpy(out.data(), src, out.size());
      break;
    case oGray8:
      if (img.PixelFormat() == px8g) {
        std::memcpy(out.data(), src, size_t(w));
      } else {
        for (int x = 0; x < w; ++x) out[x] = src[3 * x];
      }
      break;
    case oGray16:
      std::memcpy(out.data(), src, size_t(w) * 2);
      break;
    case oPalette: {
      const uint8_t* idx = src;
      if (plan.quantizer) {
        scratch.resize(size_t(w));
        plan.quantizer->MapRow(reinterpret_cast<const TBGR*>(src), scratch.data(), w);
        idx = scratch.data();
      }
      if (plan.bps == 8) std::memcpy(out.data(), idx, size_t(w));
      else PxPackRow(idx, out.data(), w, plan.bps);
      break;
    }
    case oRgb: {
      const uint8_t* a = mask && plan.alpha ? mask->Scanline(y) : nullptr;
      const int s = plan.spp;
      for (int x = 0; x < w; ++x) {
        out[s * x] = src[3 * x + 2];
        out[s * x + 1] = src[3 * x + 1];
        out[s * x + 2] = src[3 * x];
        if (s == 4) out[s * x + 3] = a ? a[x] : 255;
      }
      if (plan.predictor)
        for (int i = s * w - 1; i >= s; --i) out[i] = static_cast<uint8_t>(out[i] - out[i - s]);
      break;
    }
    case oRgb48:
      std::memcpy(out.data(), src, size_t(w) * 6);
      break;
    case oCmyk:
      std::memcpy(out.data(), src, size_t(w) * 4);
      break;
    case oCmykFromRgb:
      PxBGRRowToCMYK(reinterpret_cast<const TBGR*>(src), out.data(), w);
      break;
  }
}

// Codes the rows of one strip into bytes.
class StripWriter {
 public:
  StripWriter(const OutPlan& plan, int width, const TIOParamsVals& params) : plan_(plan) {
    if (IsCcitt(plan.compression)) {
      TFaxOptions o;
      o.Coding = plan.fax;
      o.Width = width;
      fax_ = std::make_unique<TFaxEncoder>(o);
    }
    lzw_ = params.TiffLzwCompress ? params.TiffLzwCompress : TiffLzwCompressDefault;
  }
  ~StripWriter() {
    if (lzwState_) lzw_(nullptr, 0, lzwOut_, lzwState_);
    if (zOpen_) deflateEnd(&z_);
  }
  bool Row(const uint8_t* row, size_t n) {
    switch (plan_.compression) {
      case cLzw:
        return lzw_(row, static_cast<int>(n), lzwOut_, lzwState_);
      case cPackBits:
        PackBitsRow(row, static_cast<int>(n), out_);
        return true;
      case cDeflate:
        return Deflate(row, n, Z_NO_FLUSH);
      case cHuffman:
      case cFax3:
      case cFax4:
        fax_->EncodeRow(row);
        return true;
      default:
        out_.insert(out_.end(), row, row + n);
        return true;
    }
  }
  // The strip's bytes; the writer is ready for the next strip.
  bool End(std::vector<uint8_t>& bytes) {
    bool ok = true;
    switch (plan_.compression) {
      case cLzw:
        ok = lzw_(nullptr, 0, lzwOut_, lzwState_);
        out_.swap(lzwOut_.Data());
        lzwOut_.SetSize(0);
        lzwOut_.SetPosition(0);
        break;
      case cDeflate:
        ok = Deflate(nullptr, 0, Z_FINISH);
        deflateEnd(&z_);
        zOpen_ = false;
        break;
      case cHuffman:
      case cFax3:
      case cFax4:
        fax_->EndStrip();
        out_.swap(fax_->Output());
        fax_->Output().clear();
        break;
      default:
        break;
    }
    bytes.swap(out_);
    out_.clear();
    return ok;
  }

 private:
  bool Deflate(const uint8_t* data, size_t n, int flush) {
    if (!zOpen_) {
      z_ = {};
      if (deflateInit(&z_, Z_DEFAULT_COMPRESSION) != Z_OK) return false;
      zOpen_ = true;
    }
    z_.next_in = const_cast<Bytef*>(data);
    z_.avail_in = static_cast<uInt>(n);
    uint8_t buf[16384];
    for (;;) {
      z_.next_out = buf;
      z_.avail_out = sizeof buf;
      const int r = deflate(&z_, flush);
      if (r == Z_STREAM_ERROR) return false;
      out_.insert(out_.end(), buf, buf + (sizeof buf - z_.avail_out));
      if (flush == Z_FINISH ? r == Z_STREAM_END : (z_.avail_in == 0 && z_.avail_out != 0)) return true;
    }
  }

  const OutPlan& plan_;
  std::vector<uint8_t> out_;
  std::unique_ptr<TFaxEncoder> fax_;
  TPxTiffLzwCompress lzw_;
  void* lzwState_ = nullptr;
  TPxMemoryStream lzwOut_;
  z_stream z_{};
  bool zOpen_ = false;
};

// Decides the layout of the file from the picture and the wishes of params;
// the working image becomes a converted copy where the pixels must change.
bool Plan(TPxBitmap*& img, std::unique_ptr<TPxBitmap>& copy, const TPxMask* mask, TIOParamsVals& params,
          OutPlan& plan) {
  auto own = [&](TPxPixelFormat pf) {
    copy = std::make_unique<TPxBitmap>();
    return copy->Assign(*img) && (copy->PixelFormat() == pf || copy->ConvertTo(pf)) && (img = copy.get());
  };
  const bool bilevelWish = params.BitsPerSample == 1 && params.SamplesPerPixel == 1;
  if (bilevelWish && img->PixelFormat() != px1g) {
    copy = std::make_unique<TPxBitmap>();
    if (!MakeBilevel(*img, *copy)) return false;
    img = copy.get();
  }
  switch (img->PixelFormat()) {
    case px1g:
      plan.kind = oBilevel;
      break;
    case px8p:
      plan.kind = oPalette;
      plan.palette = PxPaletteList(*img, 256);
      break;
    case px8g:
      plan.kind = oGray8;
      break;
    case px16g:
      plan.kind = oGray16;
      break;
    case px32f:
      if (!own(px16g)) return false;
      plan.kind = oGray16;
      break;
    case pxRGB48:
      plan.kind = oRgb48;
      break;
    case pxCMYK:
      plan.kind = oCmyk;
      break;
    default:
      if (img->PixelFormat() != pxRGB24 && !own(pxRGB24)) return false;
      plan.kind = oRgb;
      if (params.SamplesPerPixel == 1 && params.BitsPerSample >= 2 && params.BitsPerSample <= 16) {
        const int bits = std::min(params.BitsPerSample, 8);
        if (IsGrayPicture(*img)) {
          plan.kind = oGray8;
        } else {
          plan.kind = oPalette;
          plan.quantizer = std::make_unique<TPxQuantizer>(*img, 1 << bits);
          plan.palette = plan.quantizer->Palette();
          plan.bps = bits;
        }
      } else if (params.TiffPhotometric == 5) {
        plan.kind = oCmykFromRgb;
      }
      break;
  }
  switch (plan.kind) {
    case oBilevel: plan.photometric = 1, plan.bps = 1, plan.spp = 1; break;
    case oGray8: plan.photometric = 1, plan.bps = 8, plan.spp = 1; break;
    case oGray16: plan.photometric = 1, plan.bps = 16, plan.spp = 1; break;
    case oPalette:
      plan.photometric = 3, plan.spp = 1;
      if (plan.palette.empty() || plan.palette.size() > 256) return false;
      if (!plan.quantizer) plan.bps = 8;
      plan.palette.resize(size_t(1) << plan.bps);
      break;
    case oRgb:
      plan.photometric = 2, plan.bps = 8;
      plan.alpha = mask != nullptr && !mask->Full;
      plan.spp = plan.alpha ? 4 : 3;
      break;
    case oRgb48: plan.photometric = 2, plan.bps = 16, plan.spp = 3; break;
    case oCmyk:
    case oCmykFromRgb: plan.photometric = 5, plan.bps = 8, plan.spp = 4; break;
  }
  switch (params.TiffCompression) {
    case 1: plan.compression = cHuffman, plan.fax = fcModifiedHuffman; break;
    case 2: plan.compression = cFax3, plan.fax = fcGroup3_1D; break;
    case 3: plan.compression = cFax3, plan.fax = fcGroup3_2D; break;
    case 4: plan.compression = cFax4, plan.fax = fcGroup4; break;
    case 5: plan.compression = cLzw; break;
    case 7: plan.compression = cJpeg; break;
    case 8: plan.compression = cPackBits; break;
    case 10: plan.compression = cDeflate; break;
    default: plan.compression = cNone; break;
  }
  // The fax codings are for bilevel pictures, JPEG for 8-bit colour and gray.
  if (IsCcitt(plan.compression)) {
    if (plan.kind == oBilevel) plan.photometric = 0;
    else plan.compression = cNone;
  }
  if (plan.compression == cJpeg) {
    if (plan.kind == oGray8 || (plan.kind == oRgb && !plan.alpha)) {
      if (img->PixelFormat() != pxRGB24 && !own(pxRGB24)) return false;
      const int space = params.TiffJpegColorSpace;
      if (space == 1 || plan.kind == oGray8) plan.photometric = 1, plan.spp = 1;
      else if (space == 2 || space == 3) plan.photometric = 6, plan.spp = 3;
      else plan.photometric = 2, plan.spp = 3;
      plan.bps = 8;
      plan.kind = oRgb;
    } else {
      plan.compression = cNone;
    }
  }
  plan.predictor = (plan.compression == cLzw || plan.compression == cDeflate) && plan.kind == oRgb;
  return true;
}

// The picture as one JPEG stream, the page's only strip.
bool JpegStrip(TPxBitmap& img, const OutPlan& plan, const TIOParamsVals& params, std::vector<uint8_t>& out) {
  TIOParamsVals p;
  p.JpegQuality = params.TiffJpegQuality;
  p.JpegColorSpace = plan.photometric == 1 ? 1 : plan.photometric == 6 ? 2 : 0;
  p.SetDpi(params.DpiX, params.DpiY);
  TPxMemoryStream s;
  bool aborted = false;
  TPxProgress progress;
  progress.Aborting = &aborted;
  WriteJpegStream(s, &img, p, progress);
  out = std::move(s.Data());
  return !aborted && !out.empty();
}

bool WriteAll(TPxStream& stream, const void* data, size_t n) {
  return n == 0 || stream.WriteExact(data, static_cast<int64_t>(n));
}

// With HasExif the camera's values join the page's tags (the EXIF table's
// description and orientation over the page's own) and the EXIF directory is
// written at the stream's position, the page's tag 34665 pointing at it.
bool WriteExifDirectory(TPxStream& stream, int64_t start, TagList& tags, const TIOParamsVals& params) {
  if (!params.HasExif) return true;
  std::vector<TPxTiffEntry> first, exif;
  ExifEntries(params, SIZE_MAX, first, exif);
  for (TPxTiffEntry& e : first) tags.Put(std::move(e));
  uint32_t exifAt = 0;
  const std::vector<uint8_t> bytes =
      LayOutDirectory(std::move(exif), static_cast<uint32_t>(stream.Position() - start), exifAt);
  tags.Long(tExifIfd, exifAt);
  return WriteAll(stream, bytes.data(), bytes.size());
}

// Writes the page's directory (and the EXIF one) at the stream's position and
// points the header at it.
bool WriteDirectories(TPxStream& stream, int64_t start, TagList& tags, const TIOParamsVals& params) {
  if (!WriteExifDirectory(stream, start, tags, params)) return false;
  uint32_t ifd = 0;
  const std::vector<uint8_t> dir =
      LayOutDirectory(tags.Entries(), static_cast<uint32_t>(stream.Position() - start), ifd);
  uint8_t first[4];
  PxPutU32LE(first, ifd);
  if (!WriteAll(stream, dir.data(), dir.size())) return false;
  const int64_t end = stream.Position();
  return stream.Seek(start + 4, soBeginning) >= 0 && WriteAll(stream, first, 4) &&
         stream.Seek(end, soBeginning) >= 0;
}

}  // namespace

void WriteTiffStream(TPxStream& stream, TPxBitmap* bitmap, const TPxMask* alphaMask, TPxProgress& progress,
                     TIOParamsVals& params) {
  if (!bitmap || bitmap->IsEmpty()) {
    progress.Abort();
    return;
  }
  TPxBitmap* img = bitmap;
  std::unique_ptr<TPxBitmap> copy;
  OutPlan plan;
  if (!Plan(img, copy, alphaMask, params, plan)) {
    progress.Abort();
    return;
  }
  const int w = img->Width(), h = img->Height();
  const int64_t start = stream.Position();
  // Offsets count from the header, which is filled in at the end.
  const uint8_t header[8] = {'I', 'I', 42, 0, 0, 0, 0, 0};
  if (!WriteAll(stream, header, 8)) {
    progress.Abort();
    return;
  }
  auto at = [&]() { return static_cast<uint32_t>(stream.Position() - start); };
  const size_t rowBytes = static_cast<size_t>((int64_t(w) * plan.bps * plan.spp + 7) / 8);
  const int strips = plan.compression == cJpeg
                         ? 1
                         : static_cast<int>(std::max<int64_t>(1, int64_t(h) * img->RowBytes() / kStripBytes));
  const int rowsPerStrip = std::max(1, (h + strips - 1) / strips);
  std::vector<uint32_t> offsets, counts;
  progress.Begin(h);
  bool ok = true;
  std::vector<uint8_t> bytes;
  if (plan.compression == cJpeg) {
    ok = JpegStrip(*img, plan, params, bytes);
    offsets.push_back(at());
    counts.push_back(static_cast<uint32_t>(bytes.size()));
    ok = ok && WriteAll(stream, bytes.data(), bytes.size());
    progress.Advance(h);
  } else {
    StripWriter writer(plan, w, params);
    std::vector<uint8_t> row(rowBytes), scratch;
    for (int y0 = 0; ok && y0 < h; y0 += rowsPerStrip) {
      // Every strip but the last has RowsPerStrip rows, as readers count them.
      const int y1 = std::min(h, y0 + rowsPerStrip);
      for (int y = y0; ok && y < y1; ++y) {
        BuildRow(plan, *img, alphaMask, y, row, scratch);
        ok = writer.Row(row.data(), rowBytes);
        progress.Advance();
        if (progress.Aborted()) ok = false;
      }
      ok = writer.End(bytes) && ok;
      offsets.push_back(at());
      counts.push_back(static_cast<uint32_t>(bytes.size()));
      ok = ok && WriteAll(stream, bytes.data(), bytes.size());
      if (y1 == h) break;
    }
  }
  if (!ok) {
    progress.Abort();
    return;
  }
  const uint32_t rowsInStrip = offsets.size() == 1 ? uint32_t(h) : uint32_t(rowsPerStrip);

  TagList tags;
  tags.Long(tNewSubfileType, 0);
  tags.Long(tImageWidth, static_cast<uint32_t>(w));
  tags.Long(tImageLength, static_cast<uint32_t>(h));
  tags.Numbers(tBitsPerSample, tyShort, std::vector<uint32_t>(size_t(plan.spp), uint32_t(plan.bps)));
  tags.Short(tCompression, plan.compression);
  tags.Short(tPhotometric, plan.photometric);
  if (IsCcitt(plan.compression)) tags.Short(tFillOrder, 1);
  tags.Ascii(tDocumentName, params.TiffDocumentName);
  tags.Ascii(tImageDescription, params.TiffImageDescription);
  tags.Numbers(tStripOffsets, tyLong, offsets);
  tags.Short(tSamplesPerPixel, static_cast<uint32_t>(plan.spp));
  tags.Long(tRowsPerStrip, rowsInStrip);
  tags.Numbers(tStripByteCounts, tyLong, counts);
  tags.Rational(tXResolution, params.DpiX > 0 ? params.DpiX : kDefaultDpi);
  tags.Rational(tYResolution, params.DpiY > 0 ? params.DpiY : kDefaultDpi);
  tags.Short(tPlanarConfig, 1);
  tags.Ascii(tPageName, params.TiffPageName);
  if (params.TiffXPos) tags.Rational(tXPosition, params.TiffXPos);
  if (params.TiffYPos) tags.Rational(tYPosition, params.TiffYPos);
  if (plan.compression == cFax3) tags.Long(tT4Options, plan.fax == fcGroup3_2D ? 1 : 0);
  if (plan.compression == cFax4) tags.Long(tT6Options, 0);
  tags.Short(tResolutionUnit, 2);
  tags.Numbers(tPageNumber, tyShort,
               {static_cast<uint32_t>(std::clamp(params.TiffPageNumber, 0, 65535)),
                static_cast<uint32_t>(std::clamp(params.TiffPageCount, 0, 65535))});
  if (plan.predictor) tags.Short(tPredictor, 2);
  if (plan.kind == oPalette) {
    std::vector<uint32_t> map;
    for (int c = 0; c < 3; ++c)
      for (const TBGR& e : plan.palette) map.push_back((c == 0 ? e.r : c == 1 ? e.g : e.b) * 257u);
    tags.Numbers(tColorMap, tyShort, map);
  }
  if (plan.spp == 4 && plan.photometric == 2) tags.Short(tExtraSamples, 2);  // unassociated alpha
  if (plan.photometric == 6) tags.Numbers(tYCbCrSubsampling, tyShort, {2, 2});
  // A picture kept as stored keeps the orientation that shows it upright.
  if (params.ExifOrientation >= 2 && params.ExifOrientation <= 8)
    tags.Short(tOrientation, static_cast<uint32_t>(params.ExifOrientation));
  tags.LongBlock(tIptc, params.IPTCInfoList.EncodeTIFF());
  tags.Bytes(tIcc, tyUndefined, params.ColorProfile);

  tags.Bytes(tAnnotations, tyByte, params.ImagingAnnot.Data);
  if (!WriteDirectories(stream, start, tags, params)) progress.Abort();
  progress.Report(100);
}

// ---------------------------------------------------------------------------
// The format table's row

namespace {
[[maybe_unused]] const bool kLzwInstalled =
    (PxSetDefaultTiffLzw(TiffLzwDecompressDefault, TiffLzwCompressDefault), true);
}  // namespace

void ReadTiffRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                 TPxProgress& progress) {
  std::unique_ptr<TPxMask> mask;
  int pages = 0;
  ReadTiffStream(bitmap, stream, pages, false, false, mask, paramsOnly, progress, params);
  if (!paramsOnly && mask && bitmap && !bitmap->IsEmpty() && mask->Width() == bitmap->Width() &&
      mask->Height() == bitmap->Height())
    bitmap->AlphaFromMask(mask.get());
}

void WriteTiffRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, TPxProgress& progress) {
  std::unique_ptr<TPxMask> mask;
  if (bitmap && !bitmap->AlphaIsFull()) {
    mask = std::make_unique<TPxMask>();
    if (!bitmap->AlphaToMask(*mask)) {
      progress.Abort();
      return;
    }
  }
  WriteTiffStream(stream, bitmap, mask.get(), progress, params);
}

bool TiffContentTest(TPxStream& s) {
  const int64_t n = s.Size() - s.Position();
  uint8_t h[9];
  if (n <= 8 || !s.ReadExact(h, 9)) return false;
  auto u32 = [&](bool big) {
    return big ? (uint32_t(h[4]) << 24 | uint32_t(h[5]) << 16 | uint32_t(h[6]) << 8 | h[7])
               : (uint32_t(h[7]) << 24 | uint32_t(h[6]) << 16 | uint32_t(h[5]) << 8 | h[4]);
  };
  if (h[0] == 'I' && h[1] == 'I') return u32(false) < n;
  return h[0] == 'M' && h[1] == 'M' && u32(true) < n && h[8] != 0xBA;
}

std::string DescribeTiff(const TIOParamsVals& params) {
  static const char* const kCompressions[] = {"uncompressed", "CCITT modified Huffman", "Group 3 1-D",
                                              "Group 3 2-D",  "Group 4",                "LZW",
                                              "old JPEG",     "JPEG",                   "PackBits",
                                              "other",        "deflate"};
  const int c = params.TiffCompression;
  std::string text = c >= 0 && c <= 10 ? kCompressions[c] : "other";
  text += ", page " + std::to_string(params.TiffImageIndex + 1) + " of " + std::to_string(params.TiffImageCount);
  if (params.HasExif) text += ", EXIF";
  return text;
}
