#include "imaging/formats/pcx.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "imaging/formats/pxbilevel.h"
#include "imaging/formats/codecio.h"

namespace {

constexpr int kHeaderSize = 128;
constexpr int kPaletteBytes = 768;
constexpr uint8_t kPaletteMarker = 12;
// Two bytes of run-length code give at most 63 bytes, so pixel data needing
// more than 32 times the bytes the file holds after its header cannot be there.
constexpr int64_t kRleMaxRatio = 32;
constexpr uint32_t kDcxIdentifier = 0x3ADE68B1;
// Entries of a DCX page table, its ending 0 included.
constexpr int kDcxMaxEntries = 1024;


// How the plane lines of a row make pixels.
enum class Layout : uint8_t {
  Bilevel,    // 1 plane of 1 bit: px1g
  Indexed,    // 1 plane of 2, 4 or 8 bits: palette indexes
  BitPlanes,  // 2 to 4 planes of 1 bit: the bits of a header palette index
  Rgb,        // 3 planes of 8 bits (a fourth, alpha, is passed over)
};

struct PcxHeader {
  uint8_t version = 0, encoding = 0, bits = 0, planes = 0;
  int width = 0, height = 0, dpiX = 0, dpiY = 0, bytesPerLine = 0;
  TBGR palette16[16];
  Layout layout = Layout::Rgb;
};

// Parses untrusted data: every field is checked before it sizes anything.
bool ParseHeader(const uint8_t* h, PcxHeader& out) {
  if (h[0] != 10 || h[2] > 1 || h[3] == 0 || h[3] > 8) return false;
  out.version = h[1];
  out.encoding = h[2];
  out.bits = h[3];
  const int xmin = PxGetU16LE(h + 4), ymin = PxGetU16LE(h + 6), xmax = PxGetU16LE(h + 8), ymax = PxGetU16LE(h + 10);
  out.width = xmax - xmin + 1;
  out.height = ymax - ymin + 1;
  out.dpiX = PxGetU16LE(h + 12);
  out.dpiY = PxGetU16LE(h + 14);
  for (int i = 0; i < 16; ++i) out.palette16[i] = MakeBGR(h[16 + 3 * i], h[17 + 3 * i], h[18 + 3 * i]);
  out.planes = h[65];
  out.bytesPerLine = PxGetU16LE(h + 66);
  if (out.width <= 0 || out.height <= 0 || out.bytesPerLine == 0) return false;
  if (out.planes == 1 && out.bits == 1) out.layout = Layout::Bilevel;
  else if (out.planes == 1 && (out.bits == 2 || out.bits == 4 || out.bits == 8)) out.layout = Layout::Indexed;
  else if (out.planes >= 2 && out.planes <= 4 && out.bits == 1) out.layout = Layout::BitPlanes;
  else if ((out.planes == 3 || out.planes == 4) && out.bits == 8) out.layout = Layout::Rgb;
  else return false;  // no known way to make pixels of these planes
  return true;
}

// The coded bytes, taken from the reader a block at a time, so that the
// decoding loop keeps its place in locals.
class CodedBytes {
 public:
  explicit CodedBytes(TPxByteReader& in) : in_(in) {}
  // The next block into [p, e); false at the end.
  bool Refill(const uint8_t*& p, const uint8_t*& e) {
    const int64_t n = std::min<int64_t>(in_.Left(), kBlock);
    if (n <= 0 || !in_.Read(block_.data(), n)) return false;
    p = block_.data();
    e = p + n;
    return true;
  }
  const uint8_t* p = nullptr;
  const uint8_t* e = nullptr;

 private:
  static constexpr int64_t kBlock = int64_t(1) << 18;
  TPxByteReader& in_;
  std::vector<uint8_t> block_ = std::vector<uint8_t>(static_cast<size_t>(kBlock));
};

// A run that a line ended inside of goes on in the next line.
struct Run {
  size_t left = 0;
  uint8_t value = 0;
};

// Bytes a decoded line may be written past its end (see DecodeLine).
constexpr size_t kLineSlack = 64;

// Decodes one run-length coded plane line of `count` bytes; false when the
// data ends first. Photos give short runs between literal bytes in no order
// a branch could guess, so each is handled alike: its value is stored over
// 16 bytes and the line advances by its length. dst has kLineSlack bytes to
// spare.
bool DecodeLine(CodedBytes& in, uint8_t* dst, size_t count, Run& run) {
  size_t n = std::min(run.left, count);
  std::memset(dst, run.value, n);
  run.left -= n;
  const uint8_t* p = in.p;
  const uint8_t* e = in.e;
  while (n < count) {
    uint8_t c, v;
    if (e - p >= 2) {
      c = p[0];
      const uint8_t next = p[1];
      const bool counted = c >= 192;
      v = counted ? next : c;
      p += counted ? 2 : 1;
    } else {
      // The block ends here; a count's value may lie in the next one.
      if (p == e && !in.Refill(p, e)) return false;
      c = *p++;
      v = c;
      if (c >= 192) {
        if (p == e && !in.Refill(p, e)) return false;
        v = *p++;
      }
    }
    const size_t length = c >= 192 ? c & 63u : 1;
    std::memset(dst + n, v, 16);
    if (length > 16) std::memset(dst + n + 16, v, length - 16);
    const size_t k = std::min(length, count - n);
    n += k;
    if (length > k) run = {length - k, v};
  }
  in.p = p;
  in.e = e;
  return true;
}

// One row of pixels from its plane lines (`stride` bytes apart).
// indexes has room for a row of unpacked samples.
void MakeRow(const PcxHeader& h, const uint8_t* lines, size_t stride, const TBGR* palette,
             uint8_t* indexes, uint8_t* row, int rowBytes) {
  const int w = h.width;
  switch (h.layout) {
    case Layout::Bilevel:
      std::memcpy(row, lines, std::min<size_t>(static_cast<size_t>(rowBytes), stride));
      break;
    case Layout::Indexed: {
      TBGR* out = reinterpret_cast<TBGR*>(row);
      if (h.bits == 8) {
        for (int x = 0; x < w; ++x) out[x] = palette[lines[x]];
      } else {
        PxUnpackRow(lines, indexes, w, h.bits);
        for (int x = 0; x < w; ++x) out[x] = palette[indexes[x]];
      }
      break;
    }
    case Layout::BitPlanes: {
      TBGR* out = reinterpret_cast<TBGR*>(row);
      for (int x = 0; x < w; ++x) {
        const int byte = x >> 3, bit = 7 - (x & 7);
        int index = 0;
        for (int p = 0; p < h.planes; ++p) index |= ((lines[p * stride + byte] >> bit) & 1) << p;
        out[x] = palette[index];
      }
      break;
    }
    case Layout::Rgb: {
      const uint8_t* r = lines;
      const uint8_t* g = lines + stride;
      const uint8_t* b = lines + 2 * stride;
      uint8_t* out = row;
      for (int x = 0; x < w; ++x, out += 3) {
        out[0] = b[x];
        out[1] = g[x];
        out[2] = r[x];
      }
      break;
    }
  }
}

// The palette of the file: the 768 bytes that end the data for 8 bits in one
// plane (a gray ramp when the data is too short to hold them), else the
// header's 16 entries.
void ReadPalette(TPxStream& stream, int64_t start, int64_t dataSize, const PcxHeader& h,
                 std::vector<TBGR>& palette) {
  palette.assign(256, TBGR{});
  if (h.layout == Layout::Indexed && h.bits == 8) {
    uint8_t raw[kPaletteBytes];
    const bool have = dataSize >= kHeaderSize + kPaletteBytes &&
                      stream.Seek(start + dataSize - kPaletteBytes, soBeginning) >= 0 &&
                      stream.ReadExact(raw, kPaletteBytes);
    for (int i = 0; i < 256; ++i)
      palette[i] = have ? MakeBGR(raw[3 * i], raw[3 * i + 1], raw[3 * i + 2])
                        : MakeBGR(static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i));
  } else {
    std::copy(h.palette16, h.palette16 + 16, palette.begin());
  }
}

int PaletteEntries(const PcxHeader& h) {
  switch (h.layout) {
    case Layout::Indexed: return 1 << h.bits;
    case Layout::BitPlanes: return 1 << h.planes;
    default: return 0;
  }
}

void FillParams(const PcxHeader& h, TIOParamsVals& params) {
  params.Width = h.width;
  params.Height = h.height;
  params.PcxVersion = h.version;
  params.DpiFromFile = h.dpiX != 0 && h.dpiY != 0;
  if (params.DpiFromFile) params.SetDpi(h.dpiX, h.dpiY);
  else params.SetDpi(kDefaultDpi, kDefaultDpi);
  if (h.layout == Layout::BitPlanes) {
    params.BitsPerSample = h.planes;
    params.SamplesPerPixel = 1;
  } else {
    params.BitsPerSample = h.bits;
    params.SamplesPerPixel = h.planes;
  }
}

}  // namespace

// Parses untrusted data.
void ReadPcxStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                   TPxProgress& progress, int64_t dataSize) {
  const int64_t start = stream.Position();
  const int64_t available = stream.Size() - start;
  if (dataSize < 0 || dataSize > available) dataSize = available;
  uint8_t raw[kHeaderSize];
  PcxHeader h;
  if (dataSize < kHeaderSize || !stream.ReadExact(raw, kHeaderSize) || !ParseHeader(raw, h)) {
    progress.Abort();
    return;
  }
  FillParams(h, params);
  std::vector<TBGR> palette;
  ReadPalette(stream, start, dataSize, h, palette);
  const int entries = PaletteEntries(h);
  params.ColorMap.assign(palette.begin(), palette.begin() + entries);
  params.ColorMapCount = entries;
  if (paramsOnly || !bitmap) return;

  const TPxPixelFormat pf = h.layout == Layout::Bilevel ? px1g : pxRGB24;
  // A line shorter than its pixels need is read as it is and the rest left 0.
  const size_t needed = (static_cast<size_t>(h.width) * h.bits + 7) / 8;
  const size_t stride = std::max<size_t>(static_cast<size_t>(h.bytesPerLine), needed);
  const int64_t codedBytes = int64_t(h.planes) * h.bytesPerLine * h.height;
  if (codedBytes > std::max<int64_t>(dataSize - kHeaderSize, 1) * kRleMaxRatio ||
      !PxAllocateChecked(*bitmap, h.width, h.height, pf)) {
    progress.Abort();
    return;
  }
  stream.SetPosition(start + kHeaderSize);
  TPxByteReader in(stream, start + dataSize);
  CodedBytes coded(in);
  std::vector<uint8_t> lines(stride * h.planes + kLineSlack, 0);
  std::vector<uint8_t> indexes(static_cast<size_t>(h.width));
  Run run;
  progress.Begin(h.height);
  for (int y = 0; y < h.height; ++y) {
    bool complete = true;
    for (int p = 0; p < h.planes && complete; ++p)
      complete = h.encoding == 1
                     ? DecodeLine(coded, lines.data() + p * stride, static_cast<size_t>(h.bytesPerLine), run)
                     : in.Read(lines.data() + p * stride, h.bytesPerLine);
    uint8_t* row = bitmap->Scanline(y);
    if (!complete) {
      // The data ends inside this row: the rows before it are kept, the rest is black.
      for (int r = y; r < h.height; ++r) std::memset(bitmap->Scanline(r), 0, static_cast<size_t>(bitmap->RowBytes()));
      progress.Abort();
      return;
    }
    MakeRow(h, lines.data(), stride, palette.data(), indexes.data(), row, bitmap->RowBytes());
    progress.Advance();
    if (progress.Aborted()) return;
  }
}

// --- Writing ---------------------------------------------------------------------

namespace {

// Runs of up to 63 equal bytes; a run of two or more, or a byte that would
// read as a count, goes out as a count and the byte.
void EncodeLine(const uint8_t* data, size_t count, std::vector<uint8_t>& out) {
  size_t i = 0;
  while (i < count) {
    const uint8_t v = data[i];
    size_t n = 1;
    while (i + n < count && n < 63 && data[i + n] == v) ++n;
    if (n >= 2 || v >= 192) out.push_back(static_cast<uint8_t>(192 + n));
    out.push_back(v);
    i += n;
  }
}

// The output depth a wish of bits per sample and samples per pixel makes.
int OutputBits(const TIOParamsVals& params) {
  if (params.BitsPerSample == 1) return 1;
  const int b = params.BitsPerSample * params.SamplesPerPixel;
  if (b <= 4) return 4;
  if (b <= 8) return 8;
  return 24;
}

void WritePalette256(TPxByteWriter& out, const std::vector<TBGR>& palette) {
  uint8_t bytes[1 + kPaletteBytes] = {kPaletteMarker};
  for (size_t i = 0; i < palette.size() && i < 256; ++i) {
    bytes[1 + 3 * i] = palette[i].r;
    bytes[2 + 3 * i] = palette[i].g;
    bytes[3 + 3 * i] = palette[i].b;
  }
  out.Write(bytes, sizeof bytes);
}

}  // namespace

void WritePcxStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress) {
  if (!bitmap || bitmap->IsEmpty()) {
    progress.Abort();
    return;
  }
  const int bits = OutputBits(params);
  TPxBitmap work;
  TBGR dark, light;
  const TPxBitmap* src = PxWriterSource(*bitmap, bits == 1, work, dark, light);
  if (!src) {
    progress.Abort();
    return;
  }
  const int w = src->Width(), height = src->Height();
  const int planes = bits == 24 ? 3 : 1;
  const size_t dataBytes = bits == 1 ? (static_cast<size_t>(w) + 7) / 8
                           : bits == 4 ? (static_cast<size_t>(w) + 1) / 2
                                       : static_cast<size_t>(w);
  const size_t bytesPerLine = (dataBytes + 1) & ~size_t(1);
  if (bytesPerLine > 65535 || w > 65536 || height > 65536) {
    progress.Abort();  // beyond what the header's fields hold
    return;
  }

  std::vector<TBGR> palette;
  std::unique_ptr<TPxQuantizer> quantizer;
  if (bits == 4 || bits == 8) {
    quantizer = std::make_unique<TPxQuantizer>(*src, bits == 4 ? 16 : 256);
    palette = quantizer->Palette();
  } else if (bits == 1) {
    palette = {dark, light};
  }

  uint8_t header[kHeaderSize] = {};
  header[0] = 10;
  header[1] = params.PcxVersion;
  header[2] = params.PcxCompression ? 1 : 0;
  header[3] = static_cast<uint8_t>(bits == 24 ? 8 : bits);
  PxPutU16LE(header + 8, w - 1);
  PxPutU16LE(header + 10, height - 1);
  PxPutU16LE(header + 12, params.DpiX);
  PxPutU16LE(header + 14, params.DpiY);
  for (size_t i = 0; i < palette.size() && i < 16; ++i) {
    header[16 + 3 * i] = palette[i].r;
    header[17 + 3 * i] = palette[i].g;
    header[18 + 3 * i] = palette[i].b;
  }
  header[65] = static_cast<uint8_t>(planes);
  PxPutU16LE(header + 66, static_cast<int>(bytesPerLine));
  header[68] = bits == 24 ? 0 : 1;
  TPxByteWriter out(stream);
  out.Write(header, kHeaderSize);

  std::vector<uint8_t> lines(bytesPerLine * planes, 0);
  std::vector<uint8_t> indexes(bits == 4 ? static_cast<size_t>(w) : 0);
  std::vector<uint8_t> coded;
  coded.reserve(lines.size() * 2 + 8);
  progress.Begin(height);
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = src->Scanline(y);
    const TBGR* pixels = reinterpret_cast<const TBGR*>(row);
    switch (bits) {
      case 1:
        std::memcpy(lines.data(), row, dataBytes);
        if (w % 8) lines[dataBytes - 1] &= static_cast<uint8_t>(0xFF00 >> (w % 8));
        break;
      case 4:
        quantizer->MapRow(pixels, indexes.data(), w);
        PxPackRow(indexes.data(), lines.data(), w, 4);
        break;
      case 8:
        quantizer->MapRow(pixels, lines.data(), w);
        break;
      default:
        for (int x = 0; x < w; ++x) {
          lines[x] = pixels[x].r;
          lines[bytesPerLine + x] = pixels[x].g;
          lines[2 * bytesPerLine + x] = pixels[x].b;
        }
        break;
    }
    for (int p = 0; p < planes; ++p) {
      const uint8_t* line = lines.data() + p * bytesPerLine;
      if (params.PcxCompression) {
        coded.clear();
        EncodeLine(line, dataBytes, coded);
        if (dataBytes % 2) coded.push_back(0);  // decodes to the even bytes per line
        out.Write(coded.data(), coded.size());
      } else {
        out.Write(line, bytesPerLine);
      }
    }
    if (out.Failed()) {
      progress.Abort();
      return;
    }
    progress.Advance();
    if (progress.Aborted()) return;
  }
  if (bits == 8) WritePalette256(out, palette);
  if (!out.Flush()) progress.Abort();
}

// --- DCX ---------------------------------------------------------------------------

namespace {

// The page offsets of a DCX starting at `start`; false when the identifier is
// missing or an offset lies at or beyond the stream's end. At most
// kDcxMaxEntries entries are read, however long the table claims to be.
// Parses untrusted data.
bool ReadDcxTable(TPxStream& stream, int64_t start, std::vector<int64_t>& offsets) {
  offsets.clear();
  const int64_t size = stream.Size() - start;
  uint8_t head[4 + 4 * kDcxMaxEntries];
  stream.SetPosition(start);
  const int64_t got = stream.Read(head, sizeof head);
  if (got < 4 || PxGetU32LE(head) != kDcxIdentifier) return false;
  for (int i = 0; i < kDcxMaxEntries && 8 + 4 * int64_t(i) <= got; ++i) {
    const uint32_t offset = PxGetU32LE(head + 4 + 4 * i);
    if (offset == 0) break;
    if (offset >= size) return false;
    offsets.push_back(offset);
  }
  return true;
}

// The bytes of page i: up to the nearest larger page offset, or the end.
int64_t PageSize(const std::vector<int64_t>& offsets, size_t i, int64_t end) {
  int64_t next = end;
  for (int64_t o : offsets)
    if (o > offsets[i] && o < next) next = o;
  return next - offsets[i];
}

}  // namespace

bool IsDcxStream(TPxStream& stream) {
  const int64_t start = stream.Position();
  std::vector<int64_t> offsets;
  const bool ok = ReadDcxTable(stream, start, offsets);
  stream.SetPosition(start);
  return ok;
}

void ReadDcxStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                   TPxProgress& progress) {
  const int64_t start = stream.Position();
  std::vector<int64_t> offsets;
  if (!ReadDcxTable(stream, start, offsets) || offsets.empty()) {
    progress.Abort();
    return;
  }
  const int pages = static_cast<int>(offsets.size());
  params.DcxImageIndex = std::clamp(params.DcxImageIndex, 0, pages - 1);
  const size_t i = static_cast<size_t>(params.DcxImageIndex);
  const int64_t size = PageSize(offsets, i, stream.Size() - start);
  stream.SetPosition(start + offsets[i]);
  ReadPcxStream(stream, bitmap, params, paramsOnly, progress, size);
}

void WriteDcxStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress) {
  const int64_t oldSize = stream.Size();
  std::vector<uint8_t> old;
  std::vector<int64_t> offsets;
  if (oldSize > 0) {
    old.resize(static_cast<size_t>(oldSize));
    stream.SetPosition(0);
    if (!stream.ReadExact(old.data(), oldSize)) {
      progress.Abort();
      return;
    }
    TPxMemoryStream oldStream(old.data(), old.size());
    if (!ReadDcxTable(oldStream, 0, offsets)) {
      progress.Abort();  // something else than a DCX is not written over
      return;
    }
  }
  if (static_cast<int>(offsets.size()) + 2 > kDcxMaxEntries) {
    progress.Abort();
    return;
  }
  TPxMemoryStream page;
  WritePcxStream(page, bitmap, params, progress);
  if (progress.Aborted()) return;

  const size_t pages = offsets.size() + 1;
  const size_t insertAt = static_cast<size_t>(std::clamp<int64_t>(params.DcxImageIndex, 0, int64_t(offsets.size())));
  std::vector<uint8_t> out(4 + 4 * (pages + 1), 0);
  PxPutU32LE(out.data(), kDcxIdentifier);
  for (size_t p = 0, oldPage = 0; p < pages; ++p) {
    if (out.size() > UINT32_MAX) {
      progress.Abort();
      return;
    }
    PxPutU32LE(out.data() + 4 + 4 * p, static_cast<uint32_t>(out.size()));
    if (p == insertAt) {
      out.insert(out.end(), page.Data().begin(), page.Data().end());
    } else {
      const int64_t size = PageSize(offsets, oldPage, oldSize);
      const uint8_t* from = old.data() + offsets[oldPage];
      out.insert(out.end(), from, from + size);
      ++oldPage;
    }
  }
  if (auto* memory = dynamic_cast<TPxMemoryStream*>(&stream)) memory->SetSize(0);
  stream.SetPosition(0);
  if (!stream.WriteExact(out.data(), static_cast<int64_t>(out.size()))) progress.Abort();
}

// --- Format table row ------------------------------------------------------------------

void ReadPcxRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                TPxProgress& progress) {
  ReadPcxStream(stream, bitmap, params, paramsOnly, progress);
}

void WritePcxRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                 TPxProgress& progress) {
  WritePcxStream(stream, bitmap, params, progress);
}

// Parses untrusted data.
bool PcxContentTest(TPxStream& stream) {
  const int64_t n = stream.Size() - stream.Position();
  uint8_t h[4];
  if (n <= 4 || !stream.ReadExact(h, 4)) return false;
  if (std::memcmp(h, "PCX", 4) == 0) return true;  // "PCX" as text, ended by its zero byte
  return n > kHeaderSize && h[0] == 10 && h[1] <= 5;
}

std::string DescribePcx(const TIOParamsVals& params) {
  std::string text = "version " + std::to_string(params.PcxVersion);
  if (params.ColorMapCount > 0)
    text += ", palette of " + std::to_string(params.ColorMapCount) + " colours";
  return text;
}

std::string DescribeDcx(const TIOParamsVals& params) {
  return "page " + std::to_string(params.DcxImageIndex) + ", " + DescribePcx(params);
}
