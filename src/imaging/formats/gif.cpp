#include "imaging/formats/gif.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/formats/codecio.h"
#include "imaging/proc/mergerows.h"

namespace {

constexpr int kMaxCodes = 4096;
constexpr int kMaxCodeBits = 12;
// A code stands for at most kMaxCodes indices (each entry is one longer than
// an older one) and takes at least 3 bits: no byte of image data yields more
// pixels than this, so a larger image in fewer bytes is not a GIF's doing.
constexpr int64_t kMaxPixelsPerByte = int64_t(kMaxCodes) * 8 / 3;
constexpr int kMaxDimension = 65535;
// Most of an animation's canvas is background, which costs the file nothing:
// a canvas may have about the pixels LZW gets out of a byte of a flat picture
// for each byte of the file, or be a screen of 2048 x 2048 whatever the file.
constexpr int64_t kCanvasPixelsPerByte = 2048;
constexpr int64_t kCanvasPixelsAnyFile = int64_t(2048) * 2048;

using Palette = std::array<TBGR, 256>;

struct PixelsDeleter {
  void operator()(uint8_t* p) const { PxFreePixels(p); }
};
using PixelBlock = std::unique_ptr<uint8_t[], PixelsDeleter>;

// Index memory, through the library's one allocation function; zeroed when asked.
PixelBlock AllocIndices(int64_t bytes, bool zeroed = true) {
  PixelBlock block(PxAllocPixels(bytes));
  if (block && zeroed) std::memset(block.get(), 0, static_cast<size_t>(bytes));
  return block;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// The image rows in the order the file stores them: top-down, or the four
// interlace passes (every 8th row from 0, every 8th from 4, every 4th from 2,
// every 2nd from 1).
std::vector<int> FileRowOrder(int height, bool interlaced) {
  std::vector<int> rows;
  rows.reserve(static_cast<size_t>(height));
  if (!interlaced) {
    for (int y = 0; y < height; ++y) rows.push_back(y);
    return rows;
  }
  static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass)
    for (int y = kStart[pass]; y < height; y += kStep[pass]) rows.push_back(y);
  return rows;
}

// --- Decoding ----------------------------------------------------------------

struct LzwOutcome {
  int64_t produced = 0;  // indices written
  bool failed = false;   // a code the table cannot have yet
};

// Copies a string of earlier output. Most strings are short: when 16 bytes
// fit before the end they are moved as two words (both read before either is
// written, so a source that runs into the destination does no harm; the bytes
// past the string are overwritten by the strings that follow).
inline void CopyString(uint8_t* out, int64_t from, int64_t to, int len, int64_t total) {
  if (len <= 16 && total - to >= 16) {
    uint64_t a, b;
    std::memcpy(&a, out + from, 8);
    std::memcpy(&b, out + from + 8, 8);
    std::memcpy(out + to, &a, 8);
    std::memcpy(out + to + 8, &b, 8);
    return;
  }
  std::memcpy(out + to, out + from, static_cast<size_t>(std::min<int64_t>(len, total - to)));
}

// Decodes LZW codes (least significant bit first) into at most `total`
// indices. `data` holds `bytes` bytes followed by 4 readable zero bytes.
// Every code's string is kept as the place in `out` where it was first
// written, so that a string is one copy of earlier output rather than a walk
// along its prefixes. Decoding ends at the end code, at the end of the data,
// or when the picture is full; a full table (12-bit codes) is kept until a
// clear code, as a deferred clear allows.
LzwOutcome DecodeCodes(const uint8_t* data, int64_t bytes, int minCodeSize, uint8_t* out,
                       int64_t total) {
  const int clear = 1 << minCodeSize, end = clear + 1;
  int codeBits = minCodeSize + 1, next = end + 1;
  int limit = 1 << codeBits;
  uint32_t mask = static_cast<uint32_t>(limit - 1);
  std::vector<int64_t> start(kMaxCodes);
  std::vector<uint16_t> length(kMaxCodes);
  const uint64_t bitsAvailable = static_cast<uint64_t>(bytes) * 8;
  uint64_t bitPos = 0;
  int64_t cur = 0, prevStart = 0;
  int prevLength = 0;  // 0: no string before this code (the start, or a clear code)
  while (cur < total) {
    if (bitPos + static_cast<uint64_t>(codeBits) > bitsAvailable) break;
    uint32_t word;
    std::memcpy(&word, data + (bitPos >> 3), 4);
    const int code = static_cast<int>((word >> (bitPos & 7)) & mask);
    bitPos += static_cast<uint64_t>(codeBits);
    int len;
    if (code < clear) {
      out[cur] = static_cast<uint8_t>(code);
      len = 1;
    } else if (code > end && code < next) {
      len = length[code];
      CopyString(out, start[code], cur, len, total);
    } else if (code == clear) {
      codeBits = minCodeSize + 1;
      limit = 1 << codeBits;
      mask = static_cast<uint32_t>(limit - 1);
      next = end + 1;
      prevLength = 0;
      continue;
    } else if (code == end) {
      break;
    } else if (prevLength == 0) {
      // No string is defined yet: a code beyond the literals stands for 0.
      out[cur] = 0;
      len = 1;
    } else if (code == next) {
      // The string being defined: the previous one and its own first index.
      // The copy overlaps its source, so it goes forwards byte by byte.
      len = prevLength + 1;
      const int64_t n = std::min<int64_t>(len, total - cur);
      const uint8_t* from = out + prevStart;
      uint8_t* to = out + cur;
      for (int64_t i = 0; i < n; ++i) to[i] = from[i];
    } else {
      return {cur, true};
    }
    if (prevLength > 0 && next < kMaxCodes) {
      start[next] = prevStart;
      length[next] = static_cast<uint16_t>(prevLength + 1);
      ++next;
      if (next >= limit && codeBits < kMaxCodeBits) {
        ++codeBits;
        limit <<= 1;
        mask = static_cast<uint32_t>(limit - 1);
      }
    }
    prevStart = cur;
    prevLength = len;
    cur = std::min<int64_t>(cur + len, total);
  }
  return {std::min(cur, total), false};
}

// Parses untrusted data: the sub-blocks of image data up to a zero length or
// the end of the data, in one array with 4 zero bytes after it.
std::vector<uint8_t> GatherSubBlocks(TPxByteReader& r) {
  std::vector<uint8_t> data;
  for (int length; (length = r.Byte()) > 0;) {
    const size_t at = data.size();
    const int64_t n = std::min<int64_t>(length, r.Left());
    data.resize(at + static_cast<size_t>(n));
    r.Read(data.data() + at, n);
    if (n < length) break;
  }
  data.resize(data.size() + 4, 0);
  return data;
}

// --- Reading the blocks ----------------------------------------------------

struct GifScreen {
  int width = 0, height = 0;
  int tableBits = 1;  // size field + 1
  Palette table{};    // the global table, or a gray ramp when there is none
};

struct GifControl {
  int flags = 0;
  int delay = 0;
  int transparent = 0;
};

struct GifImage {
  int x = 0, y = 0, width = 0, height = 0;
  bool interlaced = false;
  int bits = 1;      // palette bits of the table in use
  Palette palette{};  // the table in use, black past its entries
  GifControl control;
  int Count() const { return 1 << bits; }
  bool Transparent() const { return (control.flags & 1) != 0; }
  int Disposal() const { return (control.flags >> 2) & 7; }
};

// Sub-blocks up to a zero length or the end of the data.
void SkipSubBlocks(TPxByteReader& r) {
  for (int n; (n = r.Byte()) > 0;) r.Skip(n);
}

// A colour table of 2^bits entries in the file's red, green, blue order;
// entries cut off by the end of the file stay black.
void ReadTable(TPxByteReader& r, int bits, Palette& table) {
  table.fill(TBGR{});
  const int count = 1 << bits;
  r.Read(table.data(), 3 * count);
  PxSwapRedBlue(reinterpret_cast<uint8_t*>(table.data()), reinterpret_cast<uint8_t*>(table.data()), count);
}

// The header and logical screen. False when the stream does not begin with "GIF" or ends within them.
bool ReadScreen(TPxByteReader& r, TIOParamsVals& params, GifScreen& screen) {
  uint8_t h[13];
  if (!r.Read(h, 13) || std::memcmp(h, "GIF", 3) != 0) return false;
  params.GifVersion.assign(reinterpret_cast<const char*>(h), 6);
  screen.width = Le16(h + 6);
  screen.height = Le16(h + 8);
  params.GifWinWidth = screen.width;
  params.GifWinHeight = screen.height;
  params.GifRatio = h[12];
  params.DpiX = kDefaultDpi;
  params.DpiY = kDefaultDpi;
  params.DpiFromFile = false;
  params.SamplesPerPixel = 1;
  screen.tableBits = (h[10] & 7) + 1;
  if (h[10] & 0x80) {
    ReadTable(r, screen.tableBits, screen.table);
    params.GifBackground = screen.table[h[11]];
  } else {
    // No colours at all: the indices are shown as grays.
    const int n = 1 << screen.tableBits;
    screen.table.fill(TBGR{});
    for (int i = 0; i < n; ++i) {
      const uint8_t v = static_cast<uint8_t>(i * 255 / (n - 1));
      screen.table[i] = TBGR{v, v, v};
    }
    params.GifBackground = TBGR{};
  }
  return true;
}

// A graphic control extension after its label: the first sub-block holds the
// flags, delay and transparent index (missing bytes read as 0); any further
// sub-blocks are passed over.
void ReadControl(TPxByteReader& r, GifControl& control) {
  uint8_t v[255] = {};
  const int n = r.Byte();
  if (n <= 0) return;
  r.Read(v, n);
  control.flags = v[0];
  control.delay = Le16(v + 1);
  control.transparent = v[3];
  SkipSubBlocks(r);
}

// A comment extension after its label: each non-empty sub-block is one text.
void ReadComments(TPxByteReader& r, std::vector<std::string>& comments) {
  char text[255];
  for (int n; (n = r.Byte()) > 0;) {
    const int64_t got = std::min<int64_t>(n, r.Left());
    r.Read(text, got);
    if (got > 0) comments.emplace_back(text, static_cast<size_t>(got));
    if (got < n) return;
  }
}

// An image descriptor after its 0x2C, with its local table. False when the
// file ends within the descriptor.
bool ReadDescriptor(TPxByteReader& r, const GifScreen& screen, GifImage& image) {
  uint8_t d[9];
  if (!r.Read(d, 9)) return false;
  image.x = Le16(d);
  image.y = Le16(d + 2);
  image.width = Le16(d + 4);
  image.height = Le16(d + 6);
  image.interlaced = (d[8] & 0x40) != 0;
  if (d[8] & 0x80) {
    image.bits = (d[8] & 7) + 1;
    ReadTable(r, image.bits, image.palette);
  } else {
    image.bits = screen.tableBits;
    image.palette = screen.table;
  }
  return true;
}

// The code size byte and the sub-blocks of an image not read.
void SkipImageData(TPxByteReader& r) {
  if (r.Byte() >= 0) SkipSubBlocks(r);
}

// Walks the blocks after the screen up to the trailer or the end of the
// data; a byte that starts no block is passed over. Each image descriptor
// goes to onImage(k, image) with the stream at its image data, which
// onImage reads or skips; it returns false to stop the walk. A graphic
// control extension belongs to the next image. Returns the images seen.
template <class OnImage>
int WalkImages(TPxByteReader& r, const GifScreen& screen, std::vector<std::string>* comments,
               OnImage onImage) {
  int k = 0;
  GifControl control;
  for (;;) {
    const int b = r.Byte();
    if (b < 0 || b == 0x3B) break;
    if (b == 0x21) {
      const int label = r.Byte();
      if (label == 0xF9) ReadControl(r, control);
      else if (label == 0xFE && comments) ReadComments(r, *comments);
      else SkipSubBlocks(r);
    } else if (b == 0x2C) {
      GifImage image;
      if (!ReadDescriptor(r, screen, image)) break;
      image.control = control;
      control = GifControl{};
      const bool more = onImage(k, image);
      ++k;
      if (!more) break;
    }
  }
  return k;
}

void SetImageParams(TIOParamsVals& params, const GifImage& image) {
  params.GifTranspColor = image.palette[image.control.transparent];
  params.GifXPos = image.x;
  params.GifYPos = image.y;
  params.Width = image.width;
  params.Height = image.height;
  params.GifDelayTime = image.control.delay;
  params.GifFlagTranspColor = image.Transparent();
  params.GifInterlaced = image.interlaced;
  params.GifAction = image.Disposal();
  params.ColorMap.assign(image.palette.begin(), image.palette.begin() + image.Count());
  params.BitsPerSample = image.bits;
  params.ColorMapCount = image.Count();
}

enum class Decoded { Whole, Damaged, Empty, Refused };

// The bytes of the sub-blocks of the image data at the reader's position,
// which stays where it is.
int64_t ImageDataBytes(TPxByteReader& r) {
  const int64_t at = r.Position();
  int64_t bytes = 0;
  if (r.Byte() >= 0) {
    for (int n; (n = r.Byte()) > 0;) {
      bytes += std::min<int64_t>(n, r.Left());
      r.Skip(n);
    }
  }
  r.Seek(at);
  return bytes;
}

// The indices of an image, rows top-down, from the image data at the stream's position.
Decoded DecodeIndices(TPxStream& stream, TPxByteReader& r, const GifImage& image,
                      const TIOParamsVals& params, PixelBlock& indices) {
  const int64_t count = int64_t(image.width) * image.height;
  if (count == 0) {
    SkipImageData(r);
    return Decoded::Empty;
  }
  if (count > (ImageDataBytes(r) + 1) * kMaxPixelsPerByte) return Decoded::Refused;
  int64_t rowBytes = 0, total = 0;
  if (!PxCheckedImageBytes(image.width, image.height, 8, rowBytes, total, 8)) return Decoded::Refused;
  // The library's decoder writes every index (0 where the data ends); another
  // one finds zeros where it writes none.
  indices = AllocIndices(count, params.GifLzwDecompress != nullptr);
  if (!indices) return Decoded::Refused;
  // The decoder reads the stream itself, from where the walk got to.
  const int64_t before = r.Position();
  r.Release();
  if (params.GifLzwDecompress)
    params.GifLzwDecompress(stream, image.height, image.width, image.interlaced, indices.get());
  else
    GifLzwDecompressDefault(stream, image.height, image.width, image.interlaced, indices.get());
  const int64_t after = stream.Position();
  r.Seek(after);
  // A decoder that fails leaves the stream where it began; what it wrote stays.
  return after == before ? Decoded::Damaged : Decoded::Whole;
}

bool IsBilevel(const GifImage& image) {
  return image.bits == 1 && PxBlackWhitePalette(image.palette.data(), 2) == 1;
}

TPxPixelFormat FrameFormat(const GifImage& image, bool native) {
  return IsBilevel(image) ? px1g : native ? px8p : pxRGB24;
}

// Palette colours as 4-byte words, so that a row is written one word per
// pixel (each overwriting the byte after the pixel before).
struct WordPalette {
  uint32_t word[256];
  explicit WordPalette(const Palette& p) {
    for (int i = 0; i < 256; ++i)
      word[i] = uint32_t(p[i].b) | (uint32_t(p[i].g) << 8) | (uint32_t(p[i].r) << 16);
  }
};

void IndicesToBGR(const uint8_t* src, uint8_t* dst, int width, const WordPalette& pal) {
  int x = 0;
  for (; x + 1 < width; ++x) std::memcpy(dst + 3 * x, &pal.word[src[x]], 4);
  for (; x < width; ++x) std::memcpy(dst + 3 * x, &pal.word[src[x]], 3);
}

// The bitmap of an image's indices: px1g for a black and white palette
// (index 1 = set bit), px8p with the palette when native, else pxRGB24.
bool MakeFrameBitmap(const uint8_t* indices, const GifImage& image, bool native, TPxBitmap& bitmap) {
  const int w = image.width, h = image.height;
  const TPxPixelFormat pf = FrameFormat(image, native);
  if (!PxAllocateChecked(bitmap, w, h, pf)) return false;
  const WordPalette pal(image.palette);
  if (pf == px8p) PxSetPalette(bitmap, image.palette.data(), image.Count());
  for (int y = 0; y < h; ++y) {
    const uint8_t* src = indices + int64_t(y) * w;
    uint8_t* dst = bitmap.Scanline(y);
    if (!dst) return false;
    if (pf == px1g) {
      // Only index 1 is white: an index beyond the two entries shows black.
      std::memset(dst, 0, static_cast<size_t>(bitmap.RowBytes()));
      for (int x = 0; x < w; ++x)
        if (src[x] == 1) dst[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    } else if (pf == px8p) {
      std::memcpy(dst, src, static_cast<size_t>(w));
    } else {
      IndicesToBGR(src, dst, w, pal);
    }
  }
  return true;
}

// The 8-bit mask of the transparent pixels (0) when the image has any, else none.
void MakeMask(const uint8_t* indices, const GifImage& image, std::unique_ptr<TPxMask>& mask) {
  mask.reset();
  const int64_t count = int64_t(image.width) * image.height;
  const uint8_t ti = static_cast<uint8_t>(image.control.transparent);
  if (!image.Transparent() || !std::memchr(indices, ti, static_cast<size_t>(count))) return;
  mask = std::make_unique<TPxMask>();
  if (!mask->Allocate(image.width, image.height, 8)) {
    mask.reset();
    return;
  }
  for (int y = 0; y < image.height; ++y) {
    const uint8_t* src = indices + int64_t(y) * image.width;
    uint8_t* m = mask->Scanline(y);
    for (int x = 0; x < image.width; ++x) m[x] = src[x] == ti ? 0 : 255;
  }
  mask->RecomputeBox();
}

// Image params.GifImageIndex, found by the walk with the stream at its data.
bool ReadWantedImage(TPxStream& stream, TPxByteReader& r, const GifImage& image, TPxBitmap* bitmap,
                     bool ignoreTransparency, std::unique_ptr<TPxMask>& mask, bool paramsOnly,
                     TPxProgress& progress, TIOParamsVals& params) {
  progress.Report(30);
  if (progress.Aborted()) return false;
  SetImageParams(params, image);
  if (paramsOnly) {
    SkipImageData(r);
    return true;
  }
  PixelBlock indices;
  const Decoded decoded = DecodeIndices(stream, r, image, params, indices);
  // Nothing to show: a refused size or an image without pixels.
  if (decoded == Decoded::Refused || decoded == Decoded::Empty || !bitmap) {
    progress.Abort();
    return false;
  }
  if (decoded == Decoded::Whole) {
    progress.Report(70);
    if (progress.Aborted()) return false;
  }
  if (!MakeFrameBitmap(indices.get(), image, params.NativePixelFormat, *bitmap)) {
    progress.Abort();
    return false;
  }
  if (!ignoreTransparency) MakeMask(indices.get(), image, mask);
  // Damaged data keeps the pixels decoded before the damage.
  if (decoded == Decoded::Damaged) progress.Abort();
  return decoded == Decoded::Whole;
}

// --- Composing an animation's frames ----------------------------------------

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
};

// The canvas frames are drawn on: 24-bit colour and an alpha plane.
class Composer {
 public:
  Composer(TPxBitmap& canvas, TBGR background) : canvas_(canvas), background_(background) {}

  // Prepares the canvas of width x height for the next image: restores the
  // area of the image before when its disposal asks for the background, or
  // creates the canvas. False when it cannot be had.
  bool Prepare(int width, int height, int64_t maxPixels) {
    if (previousDisposal_ == 2 && !canvas_.IsEmpty() && previous_.width > 0 && previous_.height > 0) {
      const Rect& p = previous_;
      const int x2 = p.x + p.width - 1, y2 = p.y + p.height - 1;
      canvas_.FillRect(p.x, p.y, x2, y2, PxBGRToColorRef(background_));
      canvas_.AlphaChannel()->FillRect(p.x, p.y, x2, y2, 0);
    }
    if (canvas_.IsEmpty()) {
      if (int64_t(width) * height > maxPixels) return false;
      if (!canvas_.Allocate(width, height, pxRGB24)) return false;
      canvas_.Fill(PxBGRToColorRef(background_));
      TPxBitmap* alpha = canvas_.AlphaChannel();
      if (!alpha) return false;
      alpha->Fill(0);
    }
    return true;
  }

  // Draws an image's opaque pixels at its place, clipped to the canvas (none
  // for an image without pixels); the canvas becomes opaque where it drew.
  void Draw(const uint8_t* indices, const GifImage& image) {
    previous_ = Rect{image.x, image.y, image.width, image.height};
    previousDisposal_ = image.Disposal();
    const int x0 = image.x, y0 = image.y;
    const int w = std::min(image.width, canvas_.Width() - x0);
    const int h = std::min(image.height, canvas_.Height() - y0);
    if (!indices || w <= 0 || h <= 0) return;  // no pixels, or wholly outside the screen
    const bool transparent = image.Transparent();
    const uint8_t ti = static_cast<uint8_t>(image.control.transparent);
    TPxBitmap* alphaPlane = canvas_.AlphaChannel();
    for (int y = 0; y < h; ++y) {
      const uint8_t* src = indices + int64_t(y) * image.width;
      uint8_t* dst = canvas_.Scanline(y0 + y) + 3 * int64_t(x0);
      uint8_t* alpha = alphaPlane->Scanline(y0 + y) + x0;
      for (int x = 0; x < w; ++x) {
        const uint8_t v = src[x];
        if (transparent && v == ti) continue;
        std::memcpy(dst + 3 * x, &image.palette[v], 3);
        alpha[x] = 255;
      }
    }
    alphaPlane->SetFullAlpha(false);
  }

 private:
  TPxBitmap& canvas_;
  TBGR background_;
  Rect previous_;
  int previousDisposal_ = 0;
};

// Frames 0 .. last of a file of `count` images drawn over each other into
// bitmap. The stream is at the start of the file.
void ComposeFrames(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                   TPxProgress& progress, int count, int last) {
  TPxByteReader r(stream);
  GifScreen screen;
  if (!ReadScreen(r, params, screen)) {
    progress.Abort();
    return;
  }
  const int64_t maxPixels = std::max(kCanvasPixelsAnyFile, r.Left() * kCanvasPixelsPerByte);
  // The canvas takes the screen and every image to be drawn, once: grown
  // image by image it would be copied again for each larger one.
  const int64_t imagesAt = r.Position();
  int cw = screen.width, ch = screen.height;
  WalkImages(r, screen, nullptr, [&](int k, const GifImage& image) {
    cw = std::max(cw, image.width);
    ch = std::max(ch, image.height);
    SkipImageData(r);
    return k < last;
  });
  r.Seek(imagesAt);
  TPxBitmap canvas;
  Composer composer(canvas, params.GifBackground);
  TPxPixelFormat lastFormat = pxRGB24;
  bool damaged = false;
  WalkImages(r, screen, nullptr, [&](int k, const GifImage& image) {
    if (progress.Aborted()) return false;
    SetImageParams(params, image);
    PixelBlock indices;
    const Decoded decoded = DecodeIndices(stream, r, image, params, indices);
    if (decoded == Decoded::Refused) {
      damaged = true;
      return false;
    }
    if (progress.Aborted()) return false;
    if (cw > 0 && ch > 0) {
      if (!composer.Prepare(cw, ch, maxPixels)) {
        damaged = true;
        return false;
      }
      composer.Draw(indices.get(), image);
    }
    lastFormat = FrameFormat(image, params.NativePixelFormat);
    progress.Report(static_cast<int>(std::lround(k * 100.0 / count)));
    if (decoded == Decoded::Damaged) {
      damaged = true;
      return false;
    }
    return k < last;
  });
  r.Release();
  // A stop asked for by the caller discards the work; damage keeps what was drawn.
  if (progress.Aborted()) return;
  if (!canvas.IsEmpty()) {
    bitmap->TakeOver(canvas);
    if (lastFormat != pxRGB24 && !bitmap->ConvertTo(lastFormat)) damaged = true;
  }
  if (damaged || bitmap->IsEmpty()) progress.Abort();
}

// --- Encoding -----------------------------------------------------------------

// Sub-blocks of at most 255 bytes.
class SubBlockWriter {
 public:
  explicit SubBlockWriter(TPxByteWriter& out) : out_(out) {}
  void Put(uint8_t b) {
    packet_[length_++] = b;
    if (length_ == 255) EndPacket();
  }
  // The last packet and the zero length that ends the data.
  void Finish() {
    EndPacket();
    out_.U8(0);
  }

 private:
  void EndPacket() {
    if (length_ == 0) return;
    out_.U8(static_cast<uint8_t>(length_));
    out_.Write(packet_, static_cast<size_t>(length_));
    length_ = 0;
  }
  TPxByteWriter& out_;
  uint8_t packet_[255];
  int length_ = 0;
};

// Codes of growing width, least significant bit first.
class CodeWriter {
 public:
  CodeWriter(SubBlockWriter& out, int minCodeSize)
      : out_(out), minCodeSize_(minCodeSize), codeBits_(minCodeSize + 1) {}
  // Writes a code; the width grows once the next free code no longer fits.
  void Code(int code, int nextFree) {
    Bits(code);
    if (nextFree > (1 << codeBits_) - 1 && codeBits_ < kMaxCodeBits) ++codeBits_;
  }
  void Clear(int clearCode) {
    Bits(clearCode);
    codeBits_ = minCodeSize_ + 1;
  }
  void Flush() {
    while (count_ > 0) {
      out_.Put(static_cast<uint8_t>(bits_));
      bits_ >>= 8;
      count_ = std::max(0, count_ - 8);
    }
  }

 private:
  void Bits(int code) {
    bits_ |= uint64_t(code) << count_;
    count_ += codeBits_;
    while (count_ >= 8) {
      out_.Put(static_cast<uint8_t>(bits_));
      bits_ >>= 8;
      count_ -= 8;
    }
  }
  SubBlockWriter& out_;
  int minCodeSize_;
  int codeBits_;
  uint64_t bits_ = 0;
  int count_ = 0;
};

// The string table of the encoder: (prefix code, next index) -> code, open
// addressing with linear probing, at most half full.
class StringTable {
 public:
  StringTable() : keys_(kSlots), codes_(kSlots) {}
  void Clear() { std::fill(keys_.begin(), keys_.end(), 0u); }
  // The slot of the string: its code when keys_ holds it, else a free slot.
  size_t Find(uint32_t key, bool& found) const {
    size_t slot = (key * 2654435761u) >> (32 - kSlotBits);
    for (;; slot = (slot + 1) & (kSlots - 1)) {
      if (keys_[slot] == key + 1) {
        found = true;
        return slot;
      }
      if (keys_[slot] == 0) {
        found = false;
        return slot;
      }
    }
  }
  int Code(size_t slot) const { return codes_[slot]; }
  void Add(size_t slot, uint32_t key, int code) {
    keys_[slot] = key + 1;
    codes_[slot] = static_cast<uint16_t>(code);
  }

 private:
  static constexpr int kSlotBits = 13;
  static constexpr size_t kSlots = size_t(1) << kSlotBits;
  std::vector<uint32_t> keys_;
  std::vector<uint16_t> codes_;
};

// --- Writing ------------------------------------------------------------------

// A picture as palette indices, rows top-down.
struct IndexedPicture {
  PixelBlock indices;
  Palette palette{};
  int paletteCount = 0;                     // entries taken from the picture
  std::unique_ptr<TPxQuantizer> quantizer;  // when the palette was made for it
};

// The nearest palette entry by the sum of channel differences, the first of equal ones.
int NearestEntry(const IndexedPicture& pic, const TBGR& c) {
  if (pic.quantizer) return pic.quantizer->Index(c);
  int best = 0, bestDistance = INT32_MAX;
  for (int i = 0; i < std::max(pic.paletteCount, 1); ++i) {
    const TBGR& p = pic.palette[i];
    const int d = std::abs(p.r - c.r) + std::abs(p.g - c.g) + std::abs(p.b - c.b);
    if (d < bestDistance) {
      bestDistance = d;
      best = i;
    }
  }
  return best;
}

bool UnpackBits(const TPxBitmap& bitmap, IndexedPicture& pic) {
  const int w = bitmap.Width();
  for (int y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* src = bitmap.Scanline(y);
    if (!src) return false;
    PxUnpackRow(src, pic.indices.get() + int64_t(y) * w, w, 1);
  }
  pic.palette[0] = TBGR{0, 0, 0};
  pic.palette[1] = TBGR{255, 255, 255};
  pic.paletteCount = 2;
  return true;
}

// The picture in 24-bit colour: itself, or a copy in `copy`.
const TPxBitmap* AsBGR(const TPxBitmap& bitmap, TPxBitmap& copy) {
  if (bitmap.PixelFormat() == pxRGB24) return &bitmap;
  if (!copy.Assign(bitmap)) return nullptr;
  copy.RemoveAlphaChannel();
  return copy.ConvertTo(pxRGB24) ? &copy : nullptr;
}

// One bit per pixel: a picture of at most two colours keeps them (the first
// met is index 0); any other becomes black and white.
bool IndexTwoColours(const TPxBitmap& bitmap, IndexedPicture& pic) {
  if (bitmap.PixelFormat() == px1g) return UnpackBits(bitmap, pic);
  TPxBitmap copy;
  const TPxBitmap* bgr = AsBGR(bitmap, copy);
  if (!bgr) return false;
  const int w = bgr->Width();
  TBGR seen[2];
  int n = 0;
  for (int y = 0; y < bgr->Height() && n <= 2; ++y) {
    const TBGR* row = reinterpret_cast<const TBGR*>(bgr->Scanline(y));
    uint8_t* dst = pic.indices.get() + int64_t(y) * w;
    for (int x = 0; x < w; ++x) {
      const TBGR c = row[x];
      if (n > 0 && c == seen[0]) {
        dst[x] = 0;
      } else if (n > 1 && c == seen[1]) {
        dst[x] = 1;
      } else if (n < 2) {
        seen[n] = c;
        dst[x] = static_cast<uint8_t>(n++);
      } else {
        n = 3;
        break;
      }
    }
  }
  if (n <= 2) {
    pic.palette[0] = seen[0];
    pic.palette[1] = n == 2 ? seen[1] : TBGR{0, 0, 0};
    pic.paletteCount = 2;
    return true;
  }
  TPxBitmap bw;
  if (!bw.Assign(*bgr) || !bw.ConvertTo(px1g)) return false;
  return UnpackBits(bw, pic);
}

// More bits: a palette picture whose indices fit keeps them; any other is
// given a palette of at most `colours` colours.
bool IndexColours(const TPxBitmap& bitmap, int colours, IndexedPicture& pic) {
  const int w = bitmap.Width(), h = bitmap.Height();
  if (bitmap.PixelFormat() == px8p) {
    bool fit = true;
    for (int y = 0; y < h && fit; ++y) {
      const uint8_t* src = bitmap.Scanline(y);
      fit = PxIndexesBelow(src, w, colours);
      std::memcpy(pic.indices.get() + int64_t(y) * w, src, static_cast<size_t>(w));
    }
    if (fit) {
      for (int i = 0; i < 256; ++i) pic.palette[i] = bitmap.PaletteColor(i);
      pic.paletteCount = colours;
      return true;
    }
  }
  TPxBitmap copy;
  const TPxBitmap* bgr = AsBGR(bitmap, copy);
  if (!bgr) return false;
  pic.quantizer = std::make_unique<TPxQuantizer>(*bgr, colours);
  pic.paletteCount = pic.quantizer->ColorCount();
  for (int i = 0; i < pic.paletteCount; ++i) pic.palette[i] = pic.quantizer->Color(i);
  for (int y = 0; y < h; ++y)
    pic.quantizer->MapRow(reinterpret_cast<const TBGR*>(bgr->Scanline(y)),
                          pic.indices.get() + int64_t(y) * w, w);
  return true;
}

// Pixels not fully opaque take the reserved index.
void MarkTransparent(TPxBitmap& bitmap, int reserved, IndexedPicture& pic) {
  TPxBitmap* alpha = bitmap.AlphaChannel();
  const int w = bitmap.Width();
  for (int y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* a = alpha->Scanline(y);
    uint8_t* dst = pic.indices.get() + int64_t(y) * w;
    for (int x = 0; x < w; ++x)
      if (a[x] < 255) dst[x] = static_cast<uint8_t>(reserved);
  }
  pic.palette[reserved] = TBGR{0, 0, 0};
}

// Header, screen, global table, graphic control extension and image descriptor.
void WriteHead(TPxByteWriter& out, const TPxBitmap& bitmap, const TIOParamsVals& params, int bits,
               const IndexedPicture& pic, int background, int transparent, int x, int y) {
  const std::string& v = params.GifVersion;
  const bool versionOk = v.size() == 6 && v.compare(0, 3, "GIF") == 0;
  out.Write(versionOk ? v.data() : "GIF89a", 6);
  // The screen holds the image at its place.
  out.U16LE(static_cast<uint16_t>(x + bitmap.Width()));
  out.U16LE(static_cast<uint16_t>(y + bitmap.Height()));
  out.U8(static_cast<uint8_t>(0x80 | (bits - 1) << 4 | (bits - 1)));
  out.U8(static_cast<uint8_t>(background));
  out.U8(0);
  uint8_t table[256 * 3];
  PxSwapRedBlue(reinterpret_cast<const uint8_t*>(pic.palette.data()), table, 1 << bits);
  out.Write(table, size_t(3) << bits);
  const uint8_t control[] = {0x21, 0xF9, 4, static_cast<uint8_t>((params.GifFlagTranspColor ? 1 : 0) | 8)};
  out.Write(control, sizeof control);
  out.U16LE(static_cast<uint16_t>(params.GifDelayTime));
  out.U8(static_cast<uint8_t>(transparent));
  out.U8(0);
  out.U8(0x2C);
  out.U16LE(static_cast<uint16_t>(x));
  out.U16LE(static_cast<uint16_t>(y));
  out.U16LE(static_cast<uint16_t>(bitmap.Width()));
  out.U16LE(static_cast<uint16_t>(bitmap.Height()));
  out.U8(params.GifInterlaced ? 0x40 : 0);
}

// The comment extension (also without comments) and the trailer. A line
// longer than a sub-block takes several; an empty one has none, as a zero
// length would end the extension.
void WriteTail(TPxByteWriter& out, const TIOParamsVals& params) {
  out.U8(0x21);
  out.U8(0xFE);
  for (const std::string& line : params.GifComments) {
    for (size_t at = 0; at < line.size(); at += 255) {
      const size_t n = std::min<size_t>(255, line.size() - at);
      out.U8(static_cast<uint8_t>(n));
      out.Write(line.data() + at, n);
    }
  }
  out.U8(0);
  out.U8(0x3B);
}

}  // namespace

// --- The library's LZW coder ------------------------------------------------

// Parses untrusted data.
void GifLzwDecompressDefault(TPxStream& stream, int height, int width, bool interlaced,
                             uint8_t* pixels) {
  const int64_t start = stream.Position();
  const int64_t total = width > 0 && height > 0 && pixels ? int64_t(width) * height : 0;
  TPxByteReader r(stream);
  const int minCodeSize = r.Byte();
  if (minCodeSize < 2 || minCodeSize > 9) {
    if (total > 0) std::memset(pixels, 0, static_cast<size_t>(total));
    stream.SetPosition(start);
    return;
  }
  std::vector<uint8_t> data = GatherSubBlocks(r);
  r.Release();
  const int64_t bytes = static_cast<int64_t>(data.size()) - 4;
  if (total == 0) return;
  // Decoded in file order: into the pixels, or for interlaced rows into a
  // scratch block from which each row goes to its place. Where the data ends
  // the indices are 0.
  PixelBlock scratch;
  uint8_t* out = pixels;
  if (interlaced) {
    scratch = AllocIndices(total, false);
    if (!scratch) {
      std::memset(pixels, 0, static_cast<size_t>(total));
      stream.SetPosition(start);
      return;
    }
    out = scratch.get();
  }
  const LzwOutcome outcome = DecodeCodes(data.data(), bytes, minCodeSize, out, total);
  std::memset(out + outcome.produced, 0, static_cast<size_t>(total - outcome.produced));
  if (interlaced) {
    const std::vector<int> rows = FileRowOrder(height, true);
    for (int r = 0; r < height; ++r)
      std::memcpy(pixels + int64_t(rows[r]) * width, out + int64_t(r) * width, static_cast<size_t>(width));
  }
  if (outcome.failed) stream.SetPosition(start);
}

void GifLzwCompressDefault(TPxStream& stream, int height, int width, bool interlaced,
                           const uint8_t* pixels, int bitsPerPixel) {
  const int minCodeSize = std::clamp(bitsPerPixel, 2, 8);
  const int clear = 1 << minCodeSize, end = clear + 1;
  const uint8_t literalMask = static_cast<uint8_t>(clear - 1);
  TPxByteWriter out(stream);
  out.U8(static_cast<uint8_t>(minCodeSize));
  SubBlockWriter blocks(out);
  CodeWriter codes(blocks, minCodeSize);
  StringTable table;
  table.Clear();
  int nextFree = end + 1;
  codes.Clear(clear);
  const std::vector<int> rows = FileRowOrder(std::max(height, 0), interlaced);
  int prefix = -1;
  for (int y : rows) {
    const uint8_t* row = pixels + int64_t(y) * width;
    for (int x = 0; x < width; ++x) {
      const int k = row[x] & literalMask;
      if (prefix < 0) {
        prefix = k;
        continue;
      }
      const uint32_t key = (uint32_t(prefix) << 8) | uint32_t(k);
      bool found = false;
      const size_t slot = table.Find(key, found);
      if (found) {
        prefix = table.Code(slot);
        continue;
      }
      codes.Code(prefix, nextFree);
      if (nextFree < kMaxCodes) {
        table.Add(slot, key, nextFree++);
      } else {
        codes.Clear(clear);
        table.Clear();
        nextFree = end + 1;
      }
      prefix = k;
    }
  }
  if (prefix >= 0) codes.Code(prefix, nextFree);
  codes.Code(end, nextFree);
  codes.Flush();
  blocks.Finish();
  out.Flush();
}

// --- Reading and writing ------------------------------------------------------

int ReadGifStream(TPxStream& stream, TPxBitmap* bitmap, bool ignoreTransparency,
                  std::unique_ptr<TPxMask>& mask, bool paramsOnly, TPxProgress& progress,
                  TIOParamsVals& params) {
  progress.Report(0);
  if (progress.Aborted()) return 0;
  TPxByteReader r(stream);
  GifScreen screen;
  if (!ReadScreen(r, params, screen) || r.Left() == 0) {
    progress.Abort();
    return 0;
  }
  const int wanted = params.GifImageIndex;
  const int count = WalkImages(r, screen, &params.GifComments, [&](int k, const GifImage& image) {
    if (k != wanted) {
      SkipImageData(r);
      return true;
    }
    return ReadWantedImage(stream, r, image, bitmap, ignoreTransparency, mask, paramsOnly, progress,
                           params);
  });
  r.Release();
  params.GifImageCount = count;
  if (!progress.Aborted()) progress.Report(100);
  return count;
}

int LoadGifStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                  TPxProgress& progress) {
  const int64_t start = stream.Position();
  const int wanted = std::max(params.GifImageIndex, 0);
  // A first walk counts the images and takes the comments, once.
  TPxProgress quiet = progress;
  quiet.Event = nullptr;
  std::unique_ptr<TPxMask> mask;
  const int count = ReadGifStream(stream, bitmap, true, mask, true, quiet, params);
  if (progress.Aborted()) return count;
  if (count == 0 || !bitmap) {
    progress.Abort();
    return count;
  }
  stream.SetPosition(start);
  std::vector<std::string> comments = std::move(params.GifComments);
  const int requested = params.GifImageIndex;
  if (count == 1) {
    params.GifImageIndex = 0;
    ReadGifStream(stream, bitmap, false, mask, false, progress, params);
    if (mask && !bitmap->IsEmpty()) bitmap->AlphaFromMask(mask.get());
  } else {
    ComposeFrames(stream, bitmap, params, progress, count, std::min(wanted, count - 1));
  }
  params.GifImageIndex = requested;
  params.GifImageCount = count;
  params.GifComments = std::move(comments);
  return count;
}

void WriteGifStream(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                    TPxProgress& progress) {
  progress.Report(0);
  if (progress.Aborted()) return;
  if (!bitmap || bitmap->IsEmpty()) {
    progress.Abort();
    return;
  }
  const int w = bitmap->Width(), h = bitmap->Height();
  const int x = std::clamp(params.GifXPos, 0, std::max(0, kMaxDimension - w));
  const int y = std::clamp(params.GifYPos, 0, std::max(0, kMaxDimension - h));
  if (w > kMaxDimension || h > kMaxDimension) {
    progress.Abort();
    return;
  }
  int bits = std::clamp(params.BitsPerSample, 1, 8);
  const bool transparent =
      bitmap->HasAlphaChannel() && !PxAlphaAllOpaque(*bitmap->AlphaChannel());
  // Two colours and a transparent index need two bits.
  if (transparent && bits == 1) bits = 2;
  int colours = 1 << bits;
  if (transparent) {
    --colours;
    params.GifFlagTranspColor = true;
  }
  IndexedPicture pic;
  pic.indices = AllocIndices(int64_t(w) * h);
  const bool indexed = pic.indices && (bits == 1 ? IndexTwoColours(*bitmap, pic)
                                                 : IndexColours(*bitmap, colours, pic));
  if (!indexed) {
    progress.Abort();
    return;
  }
  if (transparent) MarkTransparent(*bitmap, colours, pic);
  progress.Report(30);
  if (progress.Aborted()) return;

  const int background = NearestEntry(pic, params.GifBackground);
  const int transparentIndex = transparent ? colours : NearestEntry(pic, params.GifTranspColor);
  {
    TPxByteWriter out(stream);
    WriteHead(out, *bitmap, params, bits, pic, background, transparentIndex, x, y);
    if (!out.Flush()) {
      progress.Abort();
      return;
    }
  }
  progress.Report(70);
  if (progress.Aborted()) return;
  const int64_t before = stream.Position();
  if (params.GifLzwCompress)
    params.GifLzwCompress(stream, h, w, params.GifInterlaced, pic.indices.get(), bits);
  else
    GifLzwCompressDefault(stream, h, w, params.GifInterlaced, pic.indices.get(), bits);
  // An encoder that wrote nothing is taken for none at all.
  TPxByteWriter out(stream);
  if (stream.Position() == before) {
    progress.Abort();
    return;
  }
  WriteTail(out, params);
  if (!out.Flush()) {
    progress.Abort();
    return;
  }
  progress.Report(100);
}

// --- The format table's row -----------------------------------------------------

void ReadGifRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                TPxProgress& progress) {
  if (paramsOnly) {
    std::unique_ptr<TPxMask> none;
    ReadGifStream(stream, bitmap, true, none, true, progress, params);
    return;
  }
  LoadGifStream(stream, bitmap, params, progress);
}

void WriteGifRow(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params,
                 TPxProgress& progress) {
  WriteGifStream(stream, bitmap, params, progress);
}

bool GifContentTest(TPxStream& stream) {
  char head[3];
  return stream.Size() - stream.Position() > 13 && stream.ReadExact(head, 3) &&
         std::memcmp(head, "GIF", 3) == 0;
}

std::string DescribeGif(const TIOParamsVals& params) {
  std::string text = params.GifVersion + ", image " + std::to_string(int64_t(params.GifImageIndex) + 1) +
                     " of " + std::to_string(params.GifImageCount) + " at " +
                     std::to_string(params.GifXPos) + "," + std::to_string(params.GifYPos) +
                     " on a " + std::to_string(params.GifWinWidth) + " x " +
                     std::to_string(params.GifWinHeight) + " screen";
  text += params.GifInterlaced ? ", interlaced" : ", not interlaced";
  text += ", palette of " + std::to_string(params.ColorMapCount) + " colours";
  if (params.GifFlagTranspColor) text += ", a transparent colour";
  text += ", delay " + std::to_string(params.GifDelayTime) + "/100 s, disposal " +
          std::to_string(params.GifAction);
  const size_t comments = params.GifComments.size();
  if (comments > 0) text += ", " + std::to_string(comments) + " comment" + (comments == 1 ? "" : "s");
  return text;
}

uint32_t TakeGifBackground(const TIOParamsVals& params) {
  return PxBGRToColorRef(params.GifFlagTranspColor ? params.GifTranspColor : params.GifBackground);
}
