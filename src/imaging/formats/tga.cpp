#include "imaging/formats/tga.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/formats/pxbilevel.h"
#include "imaging/formats/codecio.h"

namespace {

constexpr int kHeaderSize = 18;
constexpr int kFooterSize = 26;
constexpr int kExtensionSize = 495;
constexpr char kSignature[] = "TRUEVISION-XFILE.";  // 17 characters and the zero
// A run packet of one header byte and one pixel gives 128 pixels, so a file
// cannot hold more than 128 times its bytes in pixel bytes.
constexpr int64_t kRleMaxRatio = 128;
// The longest text of the extension area's name fields, without their zero.
constexpr size_t kNameField = 40;


// Five bits to eight, truncated, so that 31 is full intensity.
inline uint8_t Expand5(unsigned v) { return static_cast<uint8_t>(v * 255 / 31); }
inline TBGR Colour555(unsigned word) {
  return MakeBGR(Expand5((word >> 10) & 31), Expand5((word >> 5) & 31), Expand5(word & 31));
}

struct TgaHeader {
  uint8_t idLength = 0, mapType = 0, imageType = 0, mapEntryBits = 0, depth = 0, descriptor = 0;
  int mapFirst = 0, mapLength = 0, xOrigin = 0, yOrigin = 0, width = 0, height = 0;
};

TgaHeader ParseHeader(const uint8_t* h) {
  TgaHeader t;
  t.idLength = h[0];
  t.mapType = h[1];
  t.imageType = h[2];
  t.mapFirst = PxGetU16LE(h + 3);
  t.mapLength = PxGetU16LE(h + 5);
  t.mapEntryBits = h[7];
  t.xOrigin = PxGetU16LE(h + 8);
  t.yOrigin = PxGetU16LE(h + 10);
  t.width = PxGetU16LE(h + 12);
  t.height = PxGetU16LE(h + 14);
  t.depth = h[16];
  t.descriptor = h[17];
  return t;
}

bool HeaderKnown(const TgaHeader& t) {
  const uint8_t type = t.imageType;
  const bool typeKnown = type == 1 || type == 2 || type == 3 || type == 9 || type == 10 || type == 11;
  const uint8_t d = t.depth;
  const bool depthKnown = d == 1 || d == 4 || d == 8 || d == 16 || d == 24 || d == 32;
  return t.mapType <= 1 && typeKnown && depthKnown;
}

std::string Text(const uint8_t* p, size_t max) {
  return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), max));
}

// The extension area's values, their defaults first.
// Parses untrusted data: the area is taken only when it lies inside the file.
void ReadExtension(TPxStream& stream, int64_t start, int64_t size, TIOParamsVals& params) {
  params.TgaAuthor.clear();
  params.TgaDate = TPxDateTime::Now();
  params.TgaJobName.clear();
  params.TgaKeyColor = TBGR{0, 0, 0};
  params.TgaAspectRatio = 1.0;
  params.TgaGamma = 2.2;
  if (size < kHeaderSize + kFooterSize) return;
  uint8_t footer[kFooterSize];
  stream.SetPosition(start + size - kFooterSize);
  if (!stream.ReadExact(footer, kFooterSize) || std::memcmp(footer + 8, kSignature, 17) != 0) return;
  const int64_t at = PxGetU32LE(footer);
  if (at < kHeaderSize || at + kExtensionSize > size - kFooterSize) return;
  uint8_t e[kExtensionSize];
  stream.SetPosition(start + at);
  if (!stream.ReadExact(e, kExtensionSize)) return;
  params.TgaAuthor = Text(e + 2, 41);
  const int month = PxGetU16LE(e + 367), day = PxGetU16LE(e + 369), year = PxGetU16LE(e + 371);
  const int hour = PxGetU16LE(e + 373), minute = PxGetU16LE(e + 375), second = PxGetU16LE(e + 377);
  if (month && day && year && year < 2500 && month <= 12 && day <= 31 && hour < 24 && minute < 60 &&
      second < 60)
    params.TgaDate = {year, month, day, hour, minute, second};
  params.TgaJobName = Text(e + 379, 41);
  params.TgaKeyColor = MakeBGR(e[471], e[472], e[473]);
  if (PxGetU16LE(e + 474) && PxGetU16LE(e + 476)) params.TgaAspectRatio = double(PxGetU16LE(e + 474)) / PxGetU16LE(e + 476);
  if (PxGetU16LE(e + 478) && PxGetU16LE(e + 480)) params.TgaGamma = double(PxGetU16LE(e + 478)) / PxGetU16LE(e + 480);
}

// The palette of 8-bit (and 4-bit) pixels, its alpha, and whether the map gave one.
struct TgaPalette {
  TBGR colour[256];
  uint8_t alpha[256];
  bool mapAlpha = false;
};

// Colour map entries land at their index from the first entry on; indexes the
// map does not reach keep the 3-3-2 colour cube. Parses untrusted data.
bool ReadColourMap(TPxByteReader& in, const TgaHeader& t, TgaPalette& pal, TIOParamsVals& params) {
  for (int i = 0; i < 256; ++i) {
    pal.colour[i] = MakeBGR(static_cast<uint8_t>((i >> 5) * 32 + 28),
                            static_cast<uint8_t>(((i >> 2) & 7) * 32 + 28),
                            static_cast<uint8_t>((i & 3) * 64 + 60));
    pal.alpha[i] = 255;
  }
  params.TgaGrayLevel = false;
  params.ColorMap.clear();
  params.ColorMapCount = 0;
  if (t.mapType == 1) {
    const int entryBytes = (t.mapEntryBits + 7) / 8;
    pal.mapAlpha = t.mapEntryBits == 32;
    uint8_t entry[32];
    for (int k = 0; k < t.mapLength; ++k) {
      if (!in.Read(entry, entryBytes)) return false;
      const int index = t.mapFirst + k;
      if (index > 255) continue;  // beyond what an 8-bit pixel can name
      if (t.mapEntryBits == 15 || t.mapEntryBits == 16) {
        pal.colour[index] = Colour555(PxGetU16LE(entry));
      } else if (t.mapEntryBits == 24 || t.mapEntryBits == 32) {
        pal.colour[index] = TBGR{entry[0], entry[1], entry[2]};
        if (pal.mapAlpha) pal.alpha[index] = entry[3];
      }
    }
    const int count = std::min(256, t.mapFirst + t.mapLength);
    params.ColorMap.assign(pal.colour, pal.colour + std::max(count, 0));
    params.ColorMapCount = static_cast<int32_t>(params.ColorMap.size());
  } else if (t.depth == 8) {
    for (int i = 0; i < 256; ++i) pal.colour[i] = MakeBGR(uint8_t(i), uint8_t(i), uint8_t(i));
    params.TgaGrayLevel = true;
  } else if (t.depth == 1 || t.depth == 4) {
    pal.colour[0] = TBGR{0, 0, 0};
    pal.colour[1] = TBGR{255, 255, 255};
  }
  return true;
}

void FillParams(const TgaHeader& t, TIOParamsVals& params) {
  params.Width = t.width;
  params.Height = t.height;
  params.TgaXPos = t.xOrigin;
  params.TgaYPos = t.yOrigin;
  params.TgaCompression = t.imageType >= 9;
  params.DpiFromFile = false;
  params.SetDpi(kDefaultDpi, kDefaultDpi);
  switch (t.depth) {
    case 1: params.BitsPerSample = 1, params.SamplesPerPixel = 1; break;
    case 4: params.BitsPerSample = 4, params.SamplesPerPixel = 1; break;
    case 8: params.BitsPerSample = 8, params.SamplesPerPixel = 1; break;
    case 16: params.BitsPerSample = 5, params.SamplesPerPixel = 3; break;
    case 24: params.BitsPerSample = 8, params.SamplesPerPixel = 3; break;
    default: params.BitsPerSample = 8, params.SamplesPerPixel = 4; break;
  }
}

// A run-length packet that a row ended inside of goes on in the next row, as
// older files have them.
struct Packet {
  int left = 0;
  bool run = false;
  uint8_t value[4] = {};
};

// Decodes `count` elements of `size` bytes (a pixel; a byte of packed pixels
// for 1 and 4 bits) into dst; false when the data ends first.
bool DecodeRle(TPxByteReader& in, uint8_t* dst, int count, int size, Packet& packet) {
  int n = 0;
  while (n < count) {
    if (packet.left == 0) {
      const int h = in.Byte();
      if (h < 0) return false;
      packet.left = (h & 0x7F) + 1;
      packet.run = (h & 0x80) != 0;
      if (packet.run && !in.Read(packet.value, size)) return false;
    }
    const int k = std::min(packet.left, count - n);
    uint8_t* out = dst + static_cast<size_t>(n) * size;
    if (!packet.run) {
      if (!in.Read(out, int64_t(k) * size)) return false;
    } else if (size == 1) {
      std::memset(out, packet.value[0], static_cast<size_t>(k));
    } else {
      for (int i = 0; i < k; ++i, out += size) std::memcpy(out, packet.value, static_cast<size_t>(size));
    }
    n += k;
    packet.left -= k;
  }
  return true;
}

// Pixels of one row from the file's elements; alpha gets the row's alpha when given.
void MakeRow(const TgaHeader& t, const uint8_t* src, const TgaPalette& pal, uint8_t* row,
             uint8_t* alpha) {
  const int w = t.width;
  TBGR* out = reinterpret_cast<TBGR*>(row);
  switch (t.depth) {
    case 1:
      std::memcpy(row, src, (static_cast<size_t>(w) + 7) / 8);
      break;
    case 4:
      for (int x = 0; x < w; ++x) out[x] = pal.colour[(src[x >> 1] >> ((x & 1) ? 0 : 4)) & 15];
      break;
    case 8:
      for (int x = 0; x < w; ++x) out[x] = pal.colour[src[x]];
      if (alpha && pal.mapAlpha)
        for (int x = 0; x < w; ++x) alpha[x] = pal.alpha[src[x]];
      break;
    case 16:
      for (int x = 0; x < w; ++x) out[x] = Colour555(PxGetU16LE(src + 2 * x));
      break;
    case 24:
      if (src != row) std::memcpy(row, src, static_cast<size_t>(w) * 3);
      break;
    default:
      for (int x = 0; x < w; ++x, src += 4) {
        out[x] = TBGR{src[0], src[1], src[2]};
        if (alpha) alpha[x] = src[3];
      }
      break;
  }
}

// Rows marked right to left: pixel order reversed, bits too for 1 bit.
void Mirror(uint8_t* row, int width, bool bilevel, uint8_t* alpha) {
  if (bilevel) {
    std::vector<uint8_t> copy(row, row + (width + 7) / 8);
    std::memset(row, 0, copy.size());
    for (int x = 0; x < width; ++x) {
      const int from = width - 1 - x;
      if (copy[from >> 3] & (0x80 >> (from & 7))) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    }
    return;
  }
  TBGR* p = reinterpret_cast<TBGR*>(row);
  std::reverse(p, p + width);
  if (alpha) std::reverse(alpha, alpha + width);
}

constexpr int kRowsPerBlock = 64;

// True when the bitmap's rows are one block in memory, bottom row first, with
// no padding: the order of a bottom-up 24-bit file.
bool StoredInFileOrder(TPxBitmap& b) {
  if (b.Location() != pxMemory || b.PixelFormat() != pxRGB24 || b.RowBytes() != b.Width() * 3) return false;
  return b.Height() < 2 || b.Scanline(b.Height() - 2) == b.Scanline(b.Height() - 1) + b.RowBytes();
}

}  // namespace

bool IsTgaStream(TPxStream& stream) {
  const int64_t start = stream.Position();
  uint8_t h[kHeaderSize];
  const bool ok = stream.ReadExact(h, kHeaderSize) && HeaderKnown(ParseHeader(h));
  stream.SetPosition(start);
  return ok;
}

// Parses untrusted data.
void ReadTgaStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool noAlpha,
                   std::unique_ptr<TPxMask>& alphaMask, bool paramsOnly, TPxProgress& progress) {
  const int64_t start = stream.Position();
  const int64_t size = stream.Size() - start;
  ReadExtension(stream, start, size, params);
  stream.SetPosition(start);
  uint8_t raw[kHeaderSize];
  if (!stream.ReadExact(raw, kHeaderSize)) {
    progress.Abort();
    return;
  }
  const TgaHeader t = ParseHeader(raw);
  if (!HeaderKnown(t) || t.width == 0 || t.height == 0) {
    progress.Abort();
    return;
  }
  TPxByteReader in(stream, start + size);
  uint8_t id[256];
  if (!in.Read(id, t.idLength)) {
    progress.Abort();
    return;
  }
  params.TgaImageName = Text(id, t.idLength);
  TgaPalette pal;
  if (!ReadColourMap(in, t, pal, params)) {
    progress.Abort();
    return;
  }
  FillParams(t, params);
  if (paramsOnly || !bitmap) return;

  const bool bilevel = t.depth == 1;
  const TPxPixelFormat pf = bilevel ? px1g : pxRGB24;
  const bool rle = t.imageType >= 9;
  // Elements: pixels, or bytes of packed pixels below 8 bits.
  const int elementSize = t.depth < 8 ? 1 : t.depth / 8;
  const int elements = t.depth == 1 ? (t.width + 7) / 8 : t.depth == 4 ? (t.width + 1) / 2 : t.width;
  const int64_t codedBytes = int64_t(elements) * elementSize * t.height;
  if (codedBytes > std::max<int64_t>(size - kHeaderSize, 1) * kRleMaxRatio ||
      !PxAllocateChecked(*bitmap, t.width, t.height, pf)) {
    progress.Abort();
    return;
  }
  const bool wantAlpha = !noAlpha && !bilevel &&
                         ((t.depth == 32 && (t.descriptor & 0x08)) || (t.depth == 8 && pal.mapAlpha));
  alphaMask.reset();
  if (wantAlpha) {
    alphaMask = std::make_unique<TPxMask>();
    if (!alphaMask->Allocate(t.width, t.height, 8)) {
      alphaMask.reset();
      progress.Abort();
      return;
    }
    alphaMask->Fill(255);
  }
  const bool topDown = (t.descriptor & 0x20) != 0;
  const bool rightToLeft = (t.descriptor & 0x10) != 0;
  // 24-bit rows are stored as the bitmap keeps them: read straight into the row.
  const bool direct = t.depth == 24;
  std::vector<uint8_t> elementRow(direct ? 0 : static_cast<size_t>(elements) * elementSize);
  Packet packet;
  progress.Begin(t.height);
  int i = 0;
  if (direct && !rle && !topDown && !rightToLeft && StoredInFileOrder(*bitmap)) {
    // Bottom-up rows lie in memory as in the file: whole blocks of rows are
    // read straight into place.
    const int64_t rowLength = bitmap->RowBytes();
    for (; i < t.height; i += kRowsPerBlock) {
      const int rows = std::min(kRowsPerBlock, t.height - i);
      const int64_t before = in.Position();
      if (!in.Read(bitmap->Scanline(t.height - 1 - i), rowLength * rows)) {
        // The rows wholly read stay; the rest are black.
        const int64_t got = in.Position() - before;
        for (int k = i + static_cast<int>(got / rowLength); k < t.height; ++k)
          std::memset(bitmap->Scanline(t.height - 1 - k), 0, static_cast<size_t>(rowLength));
        progress.Abort();
        return;
      }
      progress.Advance(rows);
      if (progress.Aborted()) return;
    }
  }
  for (; i < t.height; ++i) {
    const int y = topDown ? i : t.height - 1 - i;
    uint8_t* row = bitmap->Scanline(y);
    uint8_t* src = direct ? row : elementRow.data();
    const size_t bytes = static_cast<size_t>(elements) * elementSize;
    const bool complete =
        rle ? DecodeRle(in, src, elements, elementSize, packet) : in.Read(src, static_cast<int64_t>(bytes));
    if (!complete) {
      // The data ends inside this row: the rows decoded are kept, the others are black.
      for (int k = i; k < t.height; ++k)
        std::memset(bitmap->Scanline(topDown ? k : t.height - 1 - k), 0, static_cast<size_t>(bitmap->RowBytes()));
      if (alphaMask) alphaMask->RecomputeBox();
      progress.Abort();
      return;
    }
    uint8_t* alpha = alphaMask ? alphaMask->Scanline(y) : nullptr;
    MakeRow(t, src, pal, row, alpha);
    if (rightToLeft) Mirror(row, t.width, bilevel, alpha);
    progress.Advance();
    if (progress.Aborted()) break;
  }
  if (alphaMask) alphaMask->RecomputeBox();
}

// --- Writing ---------------------------------------------------------------------

namespace {

// Runs of 2..128 equal elements as one run packet, other elements gathered
// into raw packets of up to 128.
void EncodeRle(const uint8_t* data, int count, int size, std::vector<uint8_t>& out) {
  auto same = [&](int a, int b) { return std::memcmp(data + a * size, data + b * size, size) == 0; };
  int i = 0;
  while (i < count) {
    int n = 1;
    while (i + n < count && n < 128 && same(i, i + n)) ++n;
    if (n >= 2) {
      out.push_back(static_cast<uint8_t>((n - 1) | 0x80));
      out.insert(out.end(), data + i * size, data + (i + 1) * size);
      i += n;
      continue;
    }
    // A raw packet ends where a run of two begins.
    int raw = 1;
    while (i + raw < count && raw < 128 && !(i + raw + 1 < count && same(i + raw, i + raw + 1))) ++raw;
    out.push_back(static_cast<uint8_t>(raw - 1));
    out.insert(out.end(), data + i * size, data + (i + raw) * size);
    i += raw;
  }
}

// A ratio as a pair of 16-bit words, value * 10000 over 10000 where that fits.
void PutRatio(uint8_t* p, double value) {
  const double v = std::isfinite(value) ? std::max(value, 0.0) : 0.0;
  int denominator = 10000;
  if (v * denominator > 65535) denominator = std::max(1, static_cast<int>(65535 / v));
  PxPutU16LE(p, static_cast<int>(std::lround(std::min(v * denominator, 65535.0))));
  PxPutU16LE(p + 2, denominator);
}

void PutText(uint8_t* p, const std::string& text, size_t max) {
  std::memcpy(p, text.data(), std::min(text.size(), max));
}

std::vector<uint8_t> ExtensionArea(const TIOParamsVals& params) {
  std::vector<uint8_t> e(kExtensionSize, 0);
  PxPutU16LE(e.data(), kExtensionSize);
  PutText(e.data() + 2, params.TgaAuthor, kNameField);
  const TPxDateTime& d = params.TgaDate;
  PxPutU16LE(e.data() + 367, d.Month);
  PxPutU16LE(e.data() + 369, d.Day);
  PxPutU16LE(e.data() + 371, d.Year);
  PxPutU16LE(e.data() + 373, d.Hour);
  PxPutU16LE(e.data() + 375, d.Minute);
  PxPutU16LE(e.data() + 377, d.Second);
  PutText(e.data() + 379, params.TgaJobName, kNameField);
  e[470] = 0;
  e[471] = params.TgaKeyColor.r;
  e[472] = params.TgaKeyColor.g;
  e[473] = params.TgaKeyColor.b;
  PutRatio(e.data() + 474, params.TgaAspectRatio);
  PutRatio(e.data() + 478, params.TgaGamma);
  return e;
}

bool AllOpaque(const TPxMask& mask) {
  for (int y = 0; y < mask.Height(); ++y) {
    const uint8_t* a = mask.Scanline(y);
    if (mask.BitsPerPixel() == 8) {
      for (int x = 0; x < mask.Width(); ++x)
        if (a[x] != 255) return false;
    } else {
      for (int x = 0; x < mask.Width(); ++x)
        if (!(a[x >> 3] & (0x80 >> (x & 7)))) return false;
    }
  }
  return true;
}

}  // namespace

void WriteTgaStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    const TPxMask* alphaMask, TPxProgress& progress) {
  if (!bitmap || bitmap->IsEmpty()) {
    progress.Abort();
    return;
  }
  const int64_t start = stream.Position();
  const bool one = params.SamplesPerPixel == 1;
  int depth = 24;
  if (one && params.BitsPerSample == 1) depth = 1;
  else if (one && params.BitsPerSample == 4) depth = 4;
  else if (one && params.BitsPerSample == 8) depth = 8;
  else if (alphaMask && alphaMask->Width() == bitmap->Width() && alphaMask->Height() == bitmap->Height() &&
           !AllOpaque(*alphaMask))
    depth = 32;
  if (depth == 1 || depth == 4 || depth == 32) params.TgaCompression = false;
  const bool gray = depth == 8 && params.TgaGrayLevel;
  const bool mapped = depth == 4 || (depth == 8 && !gray);

  TPxBitmap work;
  TBGR dark, light;
  const TPxBitmap* src = PxWriterSource(*bitmap, depth == 1, work, dark, light);
  if (!src) {
    progress.Abort();
    return;
  }
  const int w = src->Width(), height = src->Height();
  if (w > 65535 || height > 65535) {
    progress.Abort();  // beyond what the header's fields hold
    return;
  }
  std::unique_ptr<TPxQuantizer> quantizer;
  if (mapped) quantizer = std::make_unique<TPxQuantizer>(*src, depth == 4 ? 16 : 256);

  const bool rle = params.TgaCompression;
  const std::string name = params.TgaImageName.substr(0, 254);
  std::vector<uint8_t> head(kHeaderSize, 0);
  head[0] = static_cast<uint8_t>(name.size() + 1);
  head[1] = mapped ? 1 : 0;
  head[2] = static_cast<uint8_t>(depth == 1 || gray ? (rle ? 11 : 3) : mapped ? (rle ? 9 : 1) : (rle ? 10 : 2));
  if (mapped) {
    PxPutU16LE(head.data() + 5, 1 << depth);
    head[7] = 24;
  }
  PxPutU16LE(head.data() + 8, params.TgaXPos);
  PxPutU16LE(head.data() + 10, params.TgaYPos);
  PxPutU16LE(head.data() + 12, w);
  PxPutU16LE(head.data() + 14, height);
  head[16] = static_cast<uint8_t>(depth);
  head[17] = static_cast<uint8_t>(0x20 | (depth == 32 ? 8 : 0));
  head.insert(head.end(), name.begin(), name.end());
  head.push_back(0);
  if (mapped) {
    for (int i = 0; i < (1 << depth); ++i) {
      const TBGR c = i < quantizer->ColorCount() ? quantizer->Color(i) : TBGR{};
      head.insert(head.end(), {c.b, c.g, c.r});
    }
  }
  TPxByteWriter out(stream);
  out.Write(head.data(), head.size());

  const int elementSize = depth <= 8 ? 1 : depth / 8;
  const int elements = depth == 1 ? (w + 7) / 8 : depth == 4 ? (w + 1) / 2 : w;
  std::vector<uint8_t> line(static_cast<size_t>(elements) * elementSize);
  std::vector<uint8_t> indexes(depth == 4 ? static_cast<size_t>(w) : 0);
  std::vector<uint8_t> coded;
  progress.Begin(height);
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = src->Scanline(y);
    const TBGR* pixels = reinterpret_cast<const TBGR*>(row);
    switch (depth) {
      case 1:
        std::memcpy(line.data(), row, line.size());
        if (w % 8) line.back() &= static_cast<uint8_t>(0xFF00 >> (w % 8));
        break;
      case 4:
        quantizer->MapRow(pixels, indexes.data(), w);
        PxPackRow(indexes.data(), line.data(), w, 4);
        break;
      case 8:
        if (gray) {
          for (int x = 0; x < w; ++x) line[x] = PxGray(pixels[x]);
        } else {
          quantizer->MapRow(pixels, line.data(), w);
        }
        break;
      case 24:
        std::memcpy(line.data(), row, line.size());
        break;
      default: {
        const uint8_t* a = alphaMask->Scanline(y);
        const bool bits = alphaMask->BitsPerPixel() == 1;
        for (int x = 0; x < w; ++x) {
          uint8_t* p = line.data() + 4 * static_cast<size_t>(x);
          p[0] = pixels[x].b;
          p[1] = pixels[x].g;
          p[2] = pixels[x].r;
          p[3] = bits ? ((a[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0) : a[x];
        }
        break;
      }
    }
    if (rle) {
      coded.clear();
      EncodeRle(line.data(), elements, elementSize, coded);
      out.Write(coded.data(), coded.size());
    } else {
      out.Write(line.data(), line.size());
    }
    if (out.Failed()) {
      progress.Abort();
      return;
    }
    progress.Advance();
    if (progress.Aborted()) return;
  }

  const int64_t extensionAt = out.Position() - start;
  std::vector<uint8_t> tail = ExtensionArea(params);
  uint8_t footer[kFooterSize] = {};
  PxPutU32LE(footer, static_cast<uint32_t>(extensionAt));
  std::memcpy(footer + 8, kSignature, sizeof kSignature);
  tail.insert(tail.end(), footer, footer + kFooterSize);
  out.Write(tail.data(), tail.size());
  if (extensionAt > UINT32_MAX || !out.Flush()) progress.Abort();
}

void ReadTgaRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                  TPxProgress& progress) {
  std::unique_ptr<TPxMask> mask;
  ReadTgaStream(stream, bitmap, params, false, mask, paramsOnly, progress);
  if (mask && bitmap && !bitmap->IsEmpty()) bitmap->AlphaFromMask(mask.get());
}

void WriteTgaRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                   TPxProgress& progress) {
  std::unique_ptr<TPxMask> mask;
  if (bitmap && bitmap->HasAlphaChannel()) {
    mask = std::make_unique<TPxMask>();
    if (!bitmap->AlphaToMask(*mask)) {
      progress.Abort();
      return;
    }
  }
  WriteTgaStream(stream, bitmap, params, mask.get(), progress);
}

std::string DescribeTga(const TIOParamsVals& params) {
  std::string text = params.TgaCompression ? "RLE" : "uncompressed";
  if (params.TgaGrayLevel) text += ", gray";
  else if (params.ColorMapCount > 0) text += ", colour map of " + std::to_string(params.ColorMapCount);
  if (params.TgaXPos || params.TgaYPos)
    text += ", origin " + std::to_string(params.TgaXPos) + "," + std::to_string(params.TgaYPos);
  if (!params.TgaImageName.empty()) text += ", name \"" + params.TgaImageName + "\"";
  if (!params.TgaAuthor.empty()) text += ", author \"" + params.TgaAuthor + "\"";
  if (!params.TgaJobName.empty()) text += ", job \"" + params.TgaJobName + "\"";
  return text;
}
