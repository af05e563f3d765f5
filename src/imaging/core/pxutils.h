// The pixel buffer of the imaging layer (TPxBitmap), its temporary-file
// storage (TPxFileBuffer) and the selection mask (TPxMask).
//
// Rows are reached by index with row 0 at the top, whatever the storage:
//   pxMemory  one 32-byte aligned block, rows bottom-up;
//   pxFile    a temporary file, rows top-down, reached through row windows;
//   pxTBitmap plain memory laid out as a platform bitmap (rows bottom-up, each
//             row padded to 4 bytes, bit depths 1, 8 and 24) with a row pointer
//             array, so that the platform layer can wrap it without a copy.
//
// A TPxBitmap has no lock: one thread uses it at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/core/pxconfig.h"

// ---------------------------------------------------------------------------
// Pixel formats, colours, locations

#pragma pack(push, 1)
// Three bytes in the order blue, green, red: a pxRGB24 pixel and a palette entry.
struct TBGR {
  uint8_t b = 0;
  uint8_t g = 0;
  uint8_t r = 0;
  friend bool operator==(const TBGR&, const TBGR&) = default;
};
#pragma pack(pop)
static_assert(sizeof(TBGR) == 3, "TBGR must be packed");

inline constexpr TBGR MakeBGR(uint8_t r, uint8_t g, uint8_t b) { return TBGR{b, g, r}; }

enum TPxPixelFormat : uint8_t {
  pxNone = 0,   // no image
  px1g = 1,     // 1 bit, most significant bit leftmost, 1 = white
  px8p = 2,     // palette index
  px8g = 3,     // gray 0..255
  px16g = 4,    // gray 0..65535, little-endian word
  pxRGB24 = 5,  // TBGR
  px32f = 6,    // gray float 0.0..1.0
  pxCMYK = 7,   // cyan, magenta, yellow, black bytes
  pxRGB48 = 8,  // red, green, blue 16-bit words
};
inline constexpr int kPxPixelFormatCount = 9;

// Bits per pixel of each format, indexed by TPxPixelFormat.
inline constexpr int kPxBitsPerPixel[kPxPixelFormatCount] = {0, 1, 8, 8, 16, 24, 32, 32, 48};

inline constexpr int PxBitsPerPixel(TPxPixelFormat pf) {
  return (int)pf < kPxPixelFormatCount ? kPxBitsPerPixel[pf] : 0;
}
// Name of a format as used in messages ("pxRGB24").
const char* PxPixelFormatName(TPxPixelFormat pf);

enum TPxLocation : uint8_t { pxMemory = 0, pxFile = 1, pxTBitmap = 2 };

// Row window access bits (TPxBitmap::Access, TPxFileBuffer::MapRow).
inline constexpr uint8_t kPxAccessRead = 1;   // read the row from the file when mapped
inline constexpr uint8_t kPxAccessWrite = 2;  // write it back when released

// ---------------------------------------------------------------------------
// Overflow-checked sizes. Every byte size of a pixel buffer goes through these.

// a * b into out when it neither overflows nor is negative.
bool PxCheckedMul(int64_t a, int64_t b, int64_t& out);

// Row length of `width` pixels of `bitsPerPixel` bits, padded to `rowAlign`
// bits: ((width * bits + rowAlign - 1) div rowAlign) * (rowAlign div 8).
// False when width < 0, the alignment is not a positive multiple of 8, or the
// row would exceed kPxMaxRowBytes.
bool PxCheckedRowBytes(int64_t width, int bitsPerPixel, int64_t& rowBytes, int rowAlign = 32);

// Row length and total bytes (rowBytes * height) of an image. False when a
// dimension is <= 0 or above INT32_MAX, bitsPerPixel <= 0, the row exceeds
// kPxMaxRowBytes or the total exceeds PxImageBytesLimit(). Readers call it
// before allocating for a size read from a file.
bool PxCheckedImageBytes(int64_t width, int64_t height, int bitsPerPixel, int64_t& rowBytes,
                         int64_t& totalBytes, int rowAlign = 32);

// The one allocation function of pixel memory: nullptr (never an exception)
// when the request is above PxImageBytesLimit() or cannot be had.
uint8_t* PxAllocPixels(int64_t bytes);
void PxFreePixels(uint8_t* block);

// ---------------------------------------------------------------------------
// Colour helpers shared by the conversions and the readers

// Gray by the gray weights: (21 R + 71 G + 8 B) div 100.
inline uint8_t PxGray(uint8_t r, uint8_t g, uint8_t b) {
  return (uint8_t)((kGrayWeightRed * r + kGrayWeightGreen * g + kGrayWeightBlue * b) / 100);
}
inline uint8_t PxGray(const TBGR& c) { return PxGray(c.r, c.g, c.b); }

// A platform colour reference has red in the low byte: 0x00BBGGRR.
inline TBGR PxColorRefToBGR(uint32_t ref) {
  return TBGR{(uint8_t)(ref >> 16), (uint8_t)(ref >> 8), (uint8_t)ref};
}
inline uint32_t PxBGRToColorRef(const TBGR& c) { return (uint32_t)c.r | ((uint32_t)c.g << 8) | ((uint32_t)c.b << 16); }

// RGB <-> CMYK (cmyk: cyan, magenta, yellow, black bytes). Black is the
// complement of the largest channel; the others are scaled to what is left, so
// a round trip is exact within one unit.
void PxBGRToCMYK(const TBGR& c, uint8_t* cmyk);
TBGR PxCMYKToBGR(const uint8_t* cmyk);

// Row converters used by the conversions, exposed for readers and writers.
void PxCMYKRowToBGR(const uint8_t* cmyk, TBGR* dst, int width);
void PxBGRRowToCMYK(const TBGR* src, uint8_t* cmyk, int width);

// ---------------------------------------------------------------------------
// Globals

// Folder of temporary files; empty = the system's temporary folder.
extern std::string TempDir;
// File threshold of new bitmaps in bytes; -1 = half the free physical memory.
extern int64_t DefaultFileThreshold;

// The folder temporary files go to: TempDir, else $TMPDIR, else /tmp.
std::string PxTempFolder();
// Half of the physical memory available now (MemAvailable), or
// kPxFallbackFileThreshold when the system reports none.
int64_t PxDefaultFileThresholdBytes();

// ---------------------------------------------------------------------------
// TPxFileBuffer: a temporary file reached through row windows

class TPxFileBuffer {
 public:
  TPxFileBuffer();
  ~TPxFileBuffer();
  TPxFileBuffer(const TPxFileBuffer&) = delete;
  TPxFileBuffer& operator=(const TPxFileBuffer&) = delete;

  // Creates folder/prefix-XXXXXXXX.tmp exclusively (8 upper-case hex digits,
  // drawn again while the name exists) and gives it `size` bytes at once.
  // The name is removed right away: only the open descriptor keeps the file,
  // so the system deletes it however the process ends. Releases a previous
  // file first. False (and no file) on any error.
  bool CreateTempFile(const std::string& prefix, int64_t size);
  // Grows or shrinks the file. False on error.
  bool SetSize(int64_t size);
  int64_t Size() const { return size_; }
  bool IsOpen() const { return fd_ >= 0; }
  // The name the file was created under (no longer in the folder).
  const std::string& FileName() const { return fileName_; }
  // True once a read or write of the file failed (data may be lost).
  bool Failed() const { return failed_; }

  // A window of `length` bytes at `offset`: read from the file when access has
  // kPxAccessRead (zeros where the file has no data), kept until UnmapRow.
  // nullptr when no file is open, the memory cannot be had or the range is
  // invalid.
  uint8_t* MapRow(uint8_t access, int64_t length, int64_t offset);
  // Writes the window back when its access has kPxAccessWrite, frees it.
  void UnmapRow(void* block);
  // Releases every window (written back as above).
  void UnmapAll();
  int WindowCount() const { return (int)windows_.size(); }

  // Direct positioned reads and writes (64-bit offsets). Reads past the end
  // of the file fill with zeros.
  bool ReadAt(void* dst, int64_t length, int64_t offset);
  bool WriteAt(const void* src, int64_t length, int64_t offset);
  // Replaces this file's content by the first `length` bytes of source's
  // (whole file when length < 0); this file must be open and large enough.
  bool CopyFrom(TPxFileBuffer& source, int64_t length = -1);

  // Releases every window, closes and deletes the file.
  void Release();

 private:
  struct Window {
    int64_t offset;
    int64_t length;
    uint8_t* block;
    uint8_t access;
  };
  std::string fileName_;
  int fd_ = -1;
  int64_t size_ = 0;
  bool failed_ = false;
  std::vector<Window> windows_;
};

// ---------------------------------------------------------------------------
// TPxMask: a selection mask of 1 or 8 bits per pixel

class TPxMask {
 public:
  TPxMask() = default;
  ~TPxMask();
  TPxMask(const TPxMask&) = delete;
  TPxMask& operator=(const TPxMask&) = delete;

  // New zeroed mask (1 or 8 bits); the bounding box becomes empty. False (and
  // an empty mask) when the size overflows or the memory cannot be had.
  bool Allocate(int width, int height, int bitsPerPixel);
  void Free();
  bool Assign(const TPxMask& source);

  int Width() const { return width_; }
  int Height() const { return height_; }
  int BitsPerPixel() const { return bitsPerPixel_; }
  int RowLen() const { return rowLen_; }
  bool IsEmpty() const { return bits_ == nullptr; }

  // Row 0 is the top; rows are stored bottom-up, 1-bit rows MSB first.
  uint8_t* Scanline(int row) { return bits_ + (int64_t)(height_ - 1 - row) * rowLen_; }
  const uint8_t* Scanline(int row) const { return bits_ + (int64_t)(height_ - 1 - row) * rowLen_; }
  // The block as stored, bottom row first.
  uint8_t* Bits() { return bits_; }

  // 0 outside the mask; a 1-bit mask gives 0 or 1, an 8-bit one 0..255.
  int GetPixel(int x, int y) const;
  // Ignored outside; a non-zero value extends the bounding box.
  void SetPixel(int x, int y, int value);
  // Every pixel (1-bit: value != 0 sets all bits). Sets the box and Full.
  void Fill(int value);
  void Clear() { Fill(0); }

  // Bounding box of the set pixels, inclusive; empty when X1 > X2.
  int X1 = INT32_MAX, Y1 = INT32_MAX, X2 = -1, Y2 = -1;
  bool IsBoxEmpty() const { return X1 > X2 || Y1 > Y2; }
  void ResetBox() { X1 = Y1 = INT32_MAX; X2 = Y2 = -1; }
  // Recomputes the box and Full from the pixels (after direct row writes).
  void RecomputeBox();

  // Colour the mask is drawn with.
  TBGR Color = TBGR{255, 255, 255};
  // Every value is known to be the maximum (255, or 1 for 1 bit).
  bool Full = false;

 private:
  int width_ = 0, height_ = 0, bitsPerPixel_ = 0, rowLen_ = 0;
  uint8_t* bits_ = nullptr;
};

// ---------------------------------------------------------------------------
// Platform bitmap description: plain memory as a platform bitmap lays it out.

struct TPxPlatformBitmap {
  uint8_t* Bits = nullptr;  // first byte of the block (the bottom row when BottomUp)
  int Width = 0;
  int Height = 0;
  int BitDepth = 0;        // 1, 4, 8, 15 (5-5-5), 16 (5-6-5), 24 or 32
  int64_t Stride = 0;      // bytes per row; 0 = padded to 4 bytes
  bool BottomUp = true;
  const TBGR* Palette = nullptr;  // for 1, 4 and 8 bits
  int PaletteCount = 0;
};

// ---------------------------------------------------------------------------
// TPxBaseBitmap: the row-access contract

class TPxBitmap;

class TPxBaseBitmap {
 public:
  virtual ~TPxBaseBitmap() = default;
  virtual uint8_t* Scanline(int row) = 0;
  virtual int BitCount() const = 0;
  virtual int Height() const = 0;
  virtual int Width() const = 0;
  virtual TPxPixelFormat PixelFormat() const = 0;
  virtual int RowBytes() const = 0;
  virtual TBGR PaletteColor(int index) const = 0;
  virtual void PaletteColor(int index, const TBGR& color) = 0;
  virtual int PaletteCount() const = 0;
  // False when the size cannot be held; the bitmap is then empty.
  virtual bool Allocate(int width, int height, TPxPixelFormat pixelFormat) = 0;
  virtual bool Assign(const TPxBitmap& source) = 0;
};

// ---------------------------------------------------------------------------
// TPxBitmap

class TPxBitmap : public TPxBaseBitmap {
 public:
  TPxBitmap();
  TPxBitmap(int width, int height, TPxPixelFormat pixelFormat);
  ~TPxBitmap() override;
  TPxBitmap(const TPxBitmap&) = delete;
  TPxBitmap& operator=(const TPxBitmap&) = delete;

  // --- row access
  // Pointer to row `row` (0 = top), nullptr when out of range. In pxFile the
  // pointer is valid until the next Scanline call on this bitmap.
  uint8_t* Scanline(int row) override;
  const uint8_t* Scanline(int row) const { return const_cast<TPxBitmap*>(this)->Scanline(row); }
  // Multi-row accessor: in pxFile every row handed out stays valid until it
  // is released by its index (*windowIndex) or all are released; in the
  // other locations it is the row pointer and nothing needs releasing.
  uint8_t* ExtraScanline(int row, int* windowIndex = nullptr);
  void ReleaseExtraScanline(int windowIndex);
  void ReleaseExtraScanlines();
  // Writes back and releases every row window (pxFile).
  void ReleaseWindows();
  // Access of row windows in pxFile, kPxAccessRead | kPxAccessWrite by default.
  uint8_t Access = kPxAccessRead | kPxAccessWrite;

  // --- shape
  int BitCount() const override { return bitCount_; }
  int Height() const override { return height_; }
  int Width() const override { return width_; }
  TPxPixelFormat PixelFormat() const override { return pixelFormat_; }
  int RowBytes() const override { return rowBytes_; }
  int BytesPerPixel() const { return bitCount_ / 8; }  // 0 for px1g
  bool IsEmpty() const { return width_ == 0 || height_ == 0 || rowBytes_ == 0 || bitCount_ == 0; }
  // Bytes of the pixel rows (RowBytes * Height).
  int64_t ImageBytes() const { return (int64_t)rowBytes_ * height_; }
  TPxLocation Location() const { return location_; }

  // --- palette (px8p only: 256 entries)
  TBGR PaletteColor(int index) const override;
  void PaletteColor(int index, const TBGR& color) override;
  void SetPaletteColor(int index, const TBGR& color) { PaletteColor(index, color); }
  int PaletteCount() const override { return palette_ ? 256 : 0; }
  TBGR* Palette() { return palette_.get(); }
  const TBGR* Palette() const { return palette_.get(); }

  // --- storage
  // Discards the pixels and creates a buffer (contents undefined, palette not
  // initialised). Width or height <= 0 or pxNone: empty, true. False when the
  // size overflows or no storage can hold it: the bitmap is then empty.
  // Throws std::runtime_error for px32f, pxCMYK, pxRGB48 in pxTBitmap.
  bool Allocate(int width, int height, TPxPixelFormat pixelFormat) override;
  // Releases every storage; with freeAlpha the alpha plane too.
  void FreeImage(bool freeAlpha = true);
  // Copies size, format, pixels, palette, FullAlpha, RowAlign,
  // BlackWhiteMethod and the alpha plane. False when allocation failed.
  bool Assign(const TPxBitmap& source) override;
  // Takes over source's pixels, palette and alpha plane without copying;
  // source is left empty. For results computed into a scratch bitmap.
  void TakeOver(TPxBitmap& source);
  // Moves pixels, palette and alpha plane to another location. pxTBitmap:
  // px16g becomes px8g; px32f, pxCMYK, pxRGB48 throw std::runtime_error.
  bool SetLocation(TPxLocation location);
  // Uses an existing bottom-up block (rows of RowBytes for RowAlign) as
  // pxMemory storage, not freed by the bitmap. freeFirst also drops the alpha plane.
  bool EncapsulateMemory(uint8_t* block, int width, int height, TPxPixelFormat pixelFormat,
                         bool freeFirst = true);
  // Uses a platform bitmap (1, 8 or 24 bits, bottom-up, rows padded to 4
  // bytes) as pxTBitmap storage without copying, not freed by the bitmap.
  // 1 bit -> px1g, 24 -> pxRGB24, 8 -> the current format when 8-bit, else
  // px8p (px8g for an alpha plane). False for other layouts.
  bool EncapsulateTBitmap(const TPxPlatformBitmap& bitmap, bool freeFirst = true);
  // Copies any platform bitmap: monochrome 1 bit -> px1g, other 1/4/8 bit ->
  // px8p with its palette, 15/16 bit -> pxRGB24 (channels scaled to 8 bits),
  // 24/32 bit -> pxRGB24.
  bool CopyFromTBitmap(const TPxPlatformBitmap& bitmap);
  // Description of the storage for the platform layer: valid in pxMemory and
  // pxTBitmap (Bits = bottom row, Stride = RowBytes), empty otherwise.
  TPxPlatformBitmap PlatformBitmap();
  // Bytes at least this large go to a temporary file (see Allocate).
  int64_t FileThreshold;

  // --- size changes
  // Change one dimension keeping the content (alpha plane too).
  bool SetWidth(int width);
  bool SetHeight(int height);
  // Canvas size change keeping the picture; new area filled with fillColor
  // (see Fill for its meaning), alpha plane with alphaFill. Alignments:
  // 0 left/top, 1 centre, 2 right/bottom.
  bool Resize(int newWidth, int newHeight, double fillColor, double alphaFill, int horizontalAlign,
              int verticalAlign);

  // --- filling and copying
  // px1g: 0 -> 0 bits else 1; px8p/px8g byte; px16g word; pxRGB24 colour
  // reference (red in the low byte); px32f the value; pxCMYK the colour
  // reference as CMYK; pxRGB48 each channel * 257. Integer values rounded and
  // clamped. FullAlpha becomes true exactly when the value is the maximum/white.
  void Fill(double value);
  // The same on the inclusive rectangle, clipped to the image; clears
  // FullAlpha unless the value is the maximum.
  void FillRect(int x1, int y1, int x2, int y2, double value);
  // Copies a rectangle into dest: same formats, px1g -> px1g, px1g -> pxRGB24
  // (1 white, 0 black); other pairs copy nothing. Negative corners shift the
  // rectangle; it is clipped to both bitmaps. dest may be this bitmap.
  void CopyRectTo(TPxBitmap& dest, int srcX, int srcY, int destX, int destY, int width, int height) const;
  // Moves a rectangle within the bitmap, filling the place it leaves with
  // fillValue first (the destination is drawn over it).
  void MoveRect(int srcX, int srcY, int destX, int destY, int width, int height, double fillValue);

  // --- alpha plane (px8g, 255 = opaque)
  // Gets or creates (filled with 255, FullAlpha) the alpha plane; nullptr for
  // an alpha plane itself.
  TPxBitmap* AlphaChannel();
  const TPxBitmap* AlphaChannelIfAny() const { return alpha_.get(); }
  bool HasAlphaChannel() const { return alpha_ != nullptr; }
  void RemoveAlphaChannel();
  // 255 without an alpha plane, 0 outside the image.
  uint8_t Alpha(int x, int y) const;
  // Creates the plane; clears its FullAlpha unless value is 255.
  void Alpha(int x, int y, uint8_t value);
  void SetAlpha(int x, int y, uint8_t value) { Alpha(x, y, value); }
  // For alpha planes: every value is known to be 255.
  bool FullAlpha() const { return fullAlpha_; }
  void SetFullAlpha(bool full) { fullAlpha_ = full; }
  // True without an alpha plane or when it is marked full.
  bool AlphaIsFull() const { return !alpha_ || alpha_->fullAlpha_; }
  bool IsAlphaPlane() const { return isAlphaPlane_; }
  // Alpha plane from a mask: 1 bit -> 0/255, 8 bits -> the value, outside the
  // mask 0; no mask -> all 255. FullAlpha from the mask's Full flag.
  void AlphaFromMask(const TPxMask* mask);
  // The alpha plane into an 8-bit mask of the image size (255 without a
  // plane), with its full flag and bounding box.
  bool AlphaToMask(TPxMask& mask) const;

  // --- pixel format conversion
  bool ConvertTo(TPxPixelFormat pixelFormat);
  void SetPixelFormat(TPxPixelFormat pixelFormat) { ConvertTo(pixelFormat); }
  // Conversion to px1g: 0 ordered dither, 1 threshold (automatic level).
  uint8_t BlackWhiteMethod = 1;
  // Colours when converting to px8p.
  int32_t PaletteColorLimit = 256;

  // --- display (used by the view's row renderers)
  double DisplayRangeLow = 0;   // px16g/px32f value shown as black
  double DisplayRangeHigh = 0;  // ... and as white; both 0 = full range
  int32_t DisplayRedOffset = 0;
  int32_t DisplayGreenOffset = 0;
  int32_t DisplayBlueOffset = 0;
  int32_t DisplayAdjust = 0;    // non-zero: the adjustments are applied
  int32_t DisplayContrast = 0;

  // Row alignment in bits for new buffers (multiple of 8); default 32.
  int32_t RowAlign = 32;

 private:
  bool AllocateIn(int width, int height, TPxPixelFormat pf, TPxLocation wanted, bool force);
  void ReleaseStorage();
  void BuildRowPointers();
  void TakeStorageFrom(TPxBitmap& other);
  bool SizeFits(int width, int height) const;
  bool SetSizeKeep(int width, int height, bool withAlpha);
  bool ResizePlane(int newWidth, int newHeight, double fill, int ha, int va);
  bool ConvertPlane(TPxPixelFormat pf);
  void ConvertPixelsFrom(const TPxBitmap& source);

  // Storage.
  std::unique_ptr<TPxFileBuffer> fileBuffer_;
  std::vector<uint8_t> fileRow_;  // the window of Scanline in pxFile
  int fileRowIndex_ = -1;
  std::vector<uint8_t*> extraWindows_;
  std::unique_ptr<TBGR[]> palette_;
  std::unique_ptr<TPxBitmap> alpha_;
  uint8_t* memory_ = nullptr;       // 32-byte aligned base (bottom row)
  uint8_t* memoryBlock_ = nullptr;  // as allocated
  std::vector<uint8_t*> rowPointers_;
  bool ownsNotMemory_ = false;
  bool ownsNotBitmap_ = false;

  int width_ = 0, height_ = 0, bitCount_ = 0, rowBytes_ = 0;
  TPxPixelFormat pixelFormat_ = pxNone;
  bool isAlphaPlane_ = false;
  TPxLocation location_ = pxMemory;
  bool fullAlpha_ = false;
};

// ---------------------------------------------------------------------------
// TPxQuantizer: a palette of at most `colorCount` colours for a picture

class TPxQuantizer {
 public:
  // Builds the palette from a pxRGB24 bitmap (other formats are read through
  // their colour). When the picture has no more colours than asked for, the
  // palette holds exactly them (sorted) and the mapping is exact.
  TPxQuantizer(const TPxBitmap& source, int colorCount);
  int ColorCount() const { return (int)palette_.size(); }
  const TBGR& Color(int index) const { return palette_[index]; }
  const std::vector<TBGR>& Palette() const { return palette_; }
  // Palette index of a colour.
  int Index(const TBGR& c) const;
  void MapRow(const TBGR* src, uint8_t* dst, int width) const;

 private:
  std::vector<TBGR> palette_;
  bool exact_ = false;
  std::vector<uint32_t> exactKeys_;   // open addressing, key + 1 (0 = free)
  std::vector<uint8_t> exactIndex_;
  std::vector<uint16_t> cubeIndex_;   // 5-5-5 cube -> index, 0xFFFF unused
};
