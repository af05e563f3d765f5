// TPxBitmap: storage, row access, palette, alpha plane, fill, copy, resize.
#include "imaging/core/pxutils.h"

#include "imaging/core/pxblocks.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "16-bit pixels are stored as native little-endian words");

int64_t DefaultFileThreshold = -1;

const char* PxPixelFormatName(TPxPixelFormat pf) {
  static const char* const names[kPxPixelFormatCount] = {"pxNone", "px1g",  "px8p",  "px8g",   "px16g",
                                                         "pxRGB24", "px32f", "pxCMYK", "pxRGB48"};
  return (int)pf < kPxPixelFormatCount ? names[pf] : "pxNone";
}

// ---------------------------------------------------------------------------
// Sizes and allocation

bool PxCheckedMul(int64_t a, int64_t b, int64_t& out) {
  if (a < 0 || b < 0) return false;
  return !__builtin_mul_overflow(a, b, &out);
}

bool PxCheckedRowBytes(int64_t width, int bitsPerPixel, int64_t& rowBytes, int rowAlign) {
  if (width < 0 || bitsPerPixel <= 0 || rowAlign <= 0 || rowAlign % 8 != 0) return false;
  int64_t bits;
  if (!PxCheckedMul(width, bitsPerPixel, bits) || bits > INT64_MAX - rowAlign) return false;
  int64_t units = (bits + rowAlign - 1) / rowAlign;
  if (!PxCheckedMul(units, rowAlign / 8, rowBytes)) return false;
  return rowBytes <= kPxMaxRowBytes;
}

bool PxCheckedImageBytes(int64_t width, int64_t height, int bitsPerPixel, int64_t& rowBytes, int64_t& totalBytes,
                         int rowAlign) {
  rowBytes = totalBytes = 0;
  if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX) return false;
  int64_t rb, total;
  if (!PxCheckedRowBytes(width, bitsPerPixel, rb, rowAlign)) return false;
  if (!PxCheckedMul(rb, height, total) || total > PxImageBytesLimit()) return false;
  rowBytes = rb;
  totalBytes = total;
  return true;
}

uint8_t* PxAllocPixels(int64_t bytes) {
  // A little slack over the image limit covers alignment padding.
  if (bytes <= 0 || bytes > PxImageBytesLimit() + 4096) return nullptr;
  // Large blocks are mapped with huge pages: first touches of fresh memory
  // otherwise cost more than decoding a photo into it.
  return PxBlockAlloc(bytes);
}

void PxFreePixels(uint8_t* block) { PxBlockFree(block); }

namespace {

// Memory the system can hand out now. MemFree alone leaves out the page
// cache, which Linux gives back on demand, and on a busy machine is close to
// zero; MemAvailable counts it, as the free memory of other platforms does.
int64_t AvailablePhysicalMemory() {
  if (FILE* f = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    long long kb = -1;
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "MemAvailable: %lld kB", &kb) == 1) break;
    std::fclose(f);
    if (kb > 0) return (int64_t)kb * 1024;
  }
  long pages = sysconf(_SC_AVPHYS_PAGES);
  long pageSize = sysconf(_SC_PAGESIZE);
  return pages > 0 && pageSize > 0 ? (int64_t)pages * pageSize : 0;
}

}  // namespace

int64_t PxDefaultFileThresholdBytes() {
  // Every bitmap asks at construction, scratch ones included: read the
  // figure at most every half second.
  static std::atomic<int64_t> cached{0};
  static std::atomic<int64_t> cachedAtMs{INT64_MIN / 2};
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  if (now - cachedAtMs.load(std::memory_order_relaxed) < 500) return cached.load(std::memory_order_relaxed);
  const int64_t available = AvailablePhysicalMemory();
  const int64_t threshold = available > 0 ? available / 2 : kPxFallbackFileThreshold;
  cached.store(threshold, std::memory_order_relaxed);
  cachedAtMs.store(now, std::memory_order_relaxed);
  return threshold;
}

namespace {

// Memory blocks larger than the machine's physical memory would only be
// granted by overcommit and fail when touched; refuse them up front.
bool FitsPhysicalMemory(int64_t bytes) {
  long pages = sysconf(_SC_PHYS_PAGES);
  long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return true;
  return bytes <= (int64_t)pages * pageSize;
}

void CheckPlatformFormat(TPxPixelFormat pf) {
  if (pf == px32f || pf == pxCMYK || pf == pxRGB48)
    throw std::runtime_error(std::string(PxPixelFormatName(pf)) + " pixel format not allowed when Location=pxTBitmap");
}

int ValidRowAlign(int rowAlign) { return rowAlign > 0 && rowAlign % 8 == 0 ? rowAlign : 32; }

}  // namespace

// ---------------------------------------------------------------------------
// Construction and storage

TPxBitmap::TPxBitmap()
    : FileThreshold(DefaultFileThreshold != -1 ? DefaultFileThreshold : PxDefaultFileThresholdBytes()) {}

TPxBitmap::TPxBitmap(int width, int height, TPxPixelFormat pixelFormat) : TPxBitmap() {
  Allocate(width, height, pixelFormat);
}

TPxBitmap::~TPxBitmap() { ReleaseStorage(); }

void TPxBitmap::ReleaseStorage() {
  for (uint8_t* w : extraWindows_)
    if (w && fileBuffer_) fileBuffer_->UnmapRow(w);
  extraWindows_.clear();
  if (fileBuffer_) fileBuffer_->Release();
  std::vector<uint8_t>().swap(fileRow_);
  fileRowIndex_ = -1;
  if (memoryBlock_ && !ownsNotMemory_) PxFreePixels(memoryBlock_);
  memory_ = memoryBlock_ = nullptr;
  ownsNotMemory_ = ownsNotBitmap_ = false;
  rowPointers_.clear();
  palette_.reset();
  width_ = height_ = bitCount_ = rowBytes_ = 0;
}

void TPxBitmap::BuildRowPointers() {
  rowPointers_.resize((size_t)height_);
  for (int y = 0; y < height_; ++y) rowPointers_[(size_t)y] = memory_ + (int64_t)(height_ - 1 - y) * rowBytes_;
}

void TPxBitmap::TakeStorageFrom(TPxBitmap& other) {
  ReleaseStorage();
  fileBuffer_ = std::move(other.fileBuffer_);
  fileRow_ = std::move(other.fileRow_);
  fileRowIndex_ = other.fileRowIndex_;
  extraWindows_ = std::move(other.extraWindows_);
  palette_ = std::move(other.palette_);
  memory_ = other.memory_;
  memoryBlock_ = other.memoryBlock_;
  rowPointers_ = std::move(other.rowPointers_);
  ownsNotMemory_ = other.ownsNotMemory_;
  ownsNotBitmap_ = other.ownsNotBitmap_;
  width_ = other.width_;
  height_ = other.height_;
  bitCount_ = other.bitCount_;
  rowBytes_ = other.rowBytes_;
  pixelFormat_ = other.pixelFormat_;
  location_ = other.location_;
  fullAlpha_ = other.fullAlpha_;
  RowAlign = other.RowAlign;

  other.memory_ = other.memoryBlock_ = nullptr;
  other.ownsNotMemory_ = other.ownsNotBitmap_ = false;
  other.fileRow_.clear();
  other.fileRowIndex_ = -1;
  other.extraWindows_.clear();
  other.rowPointers_.clear();
  other.width_ = other.height_ = other.bitCount_ = other.rowBytes_ = 0;
  other.pixelFormat_ = pxNone;
}

void TPxBitmap::TakeOver(TPxBitmap& source) {
  if (&source == this) return;
  TakeStorageFrom(source);
  BlackWhiteMethod = source.BlackWhiteMethod;
  if (!isAlphaPlane_) alpha_ = std::move(source.alpha_);
}

bool TPxBitmap::AllocateIn(int width, int height, TPxPixelFormat pf, TPxLocation wanted, bool force) {
  if (wanted == pxTBitmap && width > 0 && height > 0) CheckPlatformFormat(pf);
  ReleaseStorage();
  fullAlpha_ = false;
  location_ = wanted;
  if ((int)pf >= kPxPixelFormatCount) pf = pxNone;
  if (width <= 0 || height <= 0 || pf == pxNone) {
    pixelFormat_ = pf;
    return true;
  }
  if (wanted == pxTBitmap && pf == px16g) pf = px8g;
  const int bits = PxBitsPerPixel(pf);
  const int align = wanted == pxTBitmap ? 32 : ValidRowAlign(RowAlign);
  int64_t rowBytes, total;
  bool ok = PxCheckedImageBytes(width, height, bits, rowBytes, total, align);
  if (ok && pf == px8p) {
    palette_.reset(new (std::nothrow) TBGR[256]);
    ok = palette_ != nullptr;
  }
  TPxLocation loc = wanted;
  if (ok && !force) {
    if (loc == pxFile && total < FileThreshold) loc = pxMemory;
    if (loc == pxMemory && total > FileThreshold) loc = pxFile;
  }
  bool triedFile = false;
  if (ok && loc == pxFile) {
    triedFile = true;
    ok = false;
    try {
      if (!fileBuffer_) fileBuffer_ = std::make_unique<TPxFileBuffer>();
      fileRow_.assign((size_t)rowBytes, 0);
      ok = fileBuffer_->CreateTempFile(kPxBitmapTempPrefix, total);
    } catch (const std::bad_alloc&) {
      ok = false;
    }
    if (!ok) {
      // No temporary file: the pixels go to memory instead, silently.
      std::vector<uint8_t>().swap(fileRow_);
      if (fileBuffer_) fileBuffer_->Release();
      loc = pxMemory;
      ok = palette_ != nullptr || pf != px8p;
    }
  }
  if (ok && loc != pxFile) {
    ok = false;
    if (FitsPhysicalMemory(total)) memoryBlock_ = PxAllocPixels(total + 32);
    if (memoryBlock_) {
      memory_ = memoryBlock_ + ((32 - ((uintptr_t)memoryBlock_ & 31)) & 31);
      ok = true;
    } else if (!triedFile && loc == pxMemory && total > 0) {
      // Memory refused: a temporary file may still hold it.
      try {
        if (!fileBuffer_) fileBuffer_ = std::make_unique<TPxFileBuffer>();
        fileRow_.assign((size_t)rowBytes, 0);
        ok = fileBuffer_->CreateTempFile(kPxBitmapTempPrefix, total);
      } catch (const std::bad_alloc&) {
        ok = false;
      }
      if (ok) loc = pxFile;
    }
  }
  if (!ok) {
    ReleaseStorage();
    pixelFormat_ = pxNone;
    location_ = wanted;
    return false;
  }
  width_ = width;
  height_ = height;
  bitCount_ = bits;
  rowBytes_ = (int)rowBytes;
  pixelFormat_ = pf;
  location_ = loc;
  if (loc == pxTBitmap) {
    try {
      BuildRowPointers();
    } catch (const std::bad_alloc&) {
      ReleaseStorage();
      pixelFormat_ = pxNone;
      return false;
    }
  }
  return true;
}

bool TPxBitmap::Allocate(int width, int height, TPxPixelFormat pixelFormat) {
  if (location_ == pxTBitmap) CheckPlatformFormat(pixelFormat);
  RemoveAlphaChannel();
  return AllocateIn(width, height, pixelFormat, location_, false);
}

void TPxBitmap::FreeImage(bool freeAlpha) {
  ReleaseStorage();
  pixelFormat_ = pxNone;
  fullAlpha_ = false;
  if (freeAlpha) RemoveAlphaChannel();
}

// ---------------------------------------------------------------------------
// Row access

uint8_t* TPxBitmap::Scanline(int row) {
  if (row < 0 || row >= height_ || rowBytes_ == 0) return nullptr;
  switch (location_) {
    case pxMemory:
      return memory_ ? memory_ + (int64_t)(height_ - 1 - row) * rowBytes_ : nullptr;
    case pxTBitmap:
      return rowPointers_.empty() ? nullptr : rowPointers_[(size_t)row];
    case pxFile:
      break;
  }
  if (!fileBuffer_ || fileRow_.empty()) return nullptr;
  if (fileRowIndex_ == row && Access == (kPxAccessRead | kPxAccessWrite)) return fileRow_.data();
  if (fileRowIndex_ >= 0 && (Access & kPxAccessWrite))
    fileBuffer_->WriteAt(fileRow_.data(), rowBytes_, (int64_t)fileRowIndex_ * rowBytes_);
  fileRowIndex_ = row;
  if (Access & kPxAccessRead) fileBuffer_->ReadAt(fileRow_.data(), rowBytes_, (int64_t)row * rowBytes_);
  return fileRow_.data();
}

uint8_t* TPxBitmap::ExtraScanline(int row, int* windowIndex) {
  if (windowIndex) *windowIndex = -1;
  if (location_ != pxFile) return Scanline(row);
  if (row < 0 || row >= height_ || !fileBuffer_) return nullptr;
  // The single-row window may hold newer data for this row: write it out and
  // let the next Scanline read it again.
  if (fileRowIndex_ >= 0 && (Access & kPxAccessWrite))
    fileBuffer_->WriteAt(fileRow_.data(), rowBytes_, (int64_t)fileRowIndex_ * rowBytes_);
  fileRowIndex_ = -1;
  uint8_t* block = fileBuffer_->MapRow(Access, rowBytes_, (int64_t)row * rowBytes_);
  if (!block) return nullptr;
  try {
    extraWindows_.push_back(block);
  } catch (const std::bad_alloc&) {
    fileBuffer_->UnmapRow(block);
    return nullptr;
  }
  if (windowIndex) *windowIndex = (int)extraWindows_.size() - 1;
  return block;
}

void TPxBitmap::ReleaseExtraScanline(int windowIndex) {
  if (windowIndex < 0 || windowIndex >= (int)extraWindows_.size()) return;
  uint8_t*& w = extraWindows_[(size_t)windowIndex];
  if (w && fileBuffer_) fileBuffer_->UnmapRow(w);
  w = nullptr;
  fileRowIndex_ = -1;
  while (!extraWindows_.empty() && !extraWindows_.back()) extraWindows_.pop_back();
}

void TPxBitmap::ReleaseExtraScanlines() {
  for (uint8_t* w : extraWindows_)
    if (w && fileBuffer_) fileBuffer_->UnmapRow(w);
  if (!extraWindows_.empty()) fileRowIndex_ = -1;
  extraWindows_.clear();
}

void TPxBitmap::ReleaseWindows() {
  if (location_ != pxFile || !fileBuffer_) return;
  ReleaseExtraScanlines();
  if (fileRowIndex_ >= 0 && (Access & kPxAccessWrite))
    fileBuffer_->WriteAt(fileRow_.data(), rowBytes_, (int64_t)fileRowIndex_ * rowBytes_);
  fileRowIndex_ = -1;
}

// ---------------------------------------------------------------------------
// Palette

TBGR TPxBitmap::PaletteColor(int index) const {
  if (!palette_ || index < 0 || index >= 256) return TBGR{};
  return palette_[(size_t)index];
}

void TPxBitmap::PaletteColor(int index, const TBGR& color) {
  if (!palette_ || index < 0 || index >= 256) return;
  palette_[(size_t)index] = color;
}

// ---------------------------------------------------------------------------
// Assign, location, encapsulation

bool TPxBitmap::Assign(const TPxBitmap& source) {
  if (&source == this) return true;
  if (location_ == pxTBitmap && source.IsEmpty()) return true;
  if (location_ == pxTBitmap) CheckPlatformFormat(source.pixelFormat_);
  TPxBitmap& src = const_cast<TPxBitmap&>(source);
  RowAlign = source.RowAlign;
  BlackWhiteMethod = source.BlackWhiteMethod;
  if (source.IsEmpty()) {
    ReleaseStorage();
    pixelFormat_ = source.pixelFormat_;
  } else {
    if (!AllocateIn(source.width_, source.height_, source.pixelFormat_, location_, false)) return false;
    if (location_ == pxFile && source.location_ == pxFile && rowBytes_ == source.rowBytes_ &&
        pixelFormat_ == source.pixelFormat_) {
      // Both in files: copy the file as a whole instead of row by row.
      src.ReleaseWindows();
      ReleaseWindows();
      fileBuffer_->CopyFrom(*src.fileBuffer_, ImageBytes());
    } else if (pixelFormat_ == source.pixelFormat_) {
      const size_t n = (size_t)std::min(rowBytes_, source.rowBytes_);
      for (int y = 0; y < height_; ++y) std::memcpy(Scanline(y), src.Scanline(y), n);
    } else {
      // A px16g source into a platform bitmap arrives as px8g.
      ConvertPixelsFrom(source);
    }
    if (palette_ && source.palette_) std::memcpy(palette_.get(), source.palette_.get(), 256 * sizeof(TBGR));
  }
  fullAlpha_ = source.fullAlpha_;
  if (!isAlphaPlane_) {
    if (source.alpha_) {
      TPxBitmap* a = AlphaChannel();
      if (!a || !a->Assign(*source.alpha_)) {
        RemoveAlphaChannel();
        return false;
      }
    } else {
      RemoveAlphaChannel();
    }
  }
  return true;
}

bool TPxBitmap::SetLocation(TPxLocation location) {
  if (location == location_) return true;
  if (location == pxTBitmap) CheckPlatformFormat(pixelFormat_);
  if (IsEmpty()) {
    location_ = location;
    return true;
  }
  if (location == pxTBitmap && pixelFormat_ == px16g && !ConvertTo(px8g)) return false;
  TPxBitmap old;
  old.TakeStorageFrom(*this);
  if (!AllocateIn(old.width_, old.height_, old.pixelFormat_, location, true)) {
    TakeStorageFrom(old);
    return false;
  }
  const size_t n = (size_t)std::min(rowBytes_, old.rowBytes_);
  for (int y = 0; y < height_; ++y) std::memcpy(Scanline(y), old.Scanline(y), n);
  if (palette_ && old.palette_) std::memcpy(palette_.get(), old.palette_.get(), 256 * sizeof(TBGR));
  fullAlpha_ = old.fullAlpha_;
  return true;
}

bool TPxBitmap::EncapsulateMemory(uint8_t* block, int width, int height, TPxPixelFormat pixelFormat,
                                  bool freeFirst) {
  FreeImage(freeFirst);
  int64_t rowBytes, total;
  if (!block || (int)pixelFormat <= pxNone || (int)pixelFormat >= kPxPixelFormatCount ||
      !PxCheckedImageBytes(width, height, PxBitsPerPixel(pixelFormat), rowBytes, total, ValidRowAlign(RowAlign)))
    return false;
  if (pixelFormat == px8p) {
    palette_.reset(new (std::nothrow) TBGR[256]());
    if (!palette_) return false;
  }
  memoryBlock_ = memory_ = block;
  ownsNotMemory_ = true;
  location_ = pxMemory;
  width_ = width;
  height_ = height;
  bitCount_ = PxBitsPerPixel(pixelFormat);
  rowBytes_ = (int)rowBytes;
  pixelFormat_ = pixelFormat;
  if (alpha_) alpha_->SetSizeKeep(width_, height_, false);
  return true;
}

bool TPxBitmap::EncapsulateTBitmap(const TPxPlatformBitmap& bitmap, bool freeFirst) {
  TPxPixelFormat pf;
  switch (bitmap.BitDepth) {
    case 1: pf = px1g; break;
    case 24: pf = pxRGB24; break;
    case 8:
      pf = (pixelFormat_ == px8p || pixelFormat_ == px8g) ? pixelFormat_ : (isAlphaPlane_ ? px8g : px8p);
      break;
    default: return false;
  }
  int64_t rowBytes, total;
  if (!bitmap.Bits || !bitmap.BottomUp ||
      !PxCheckedImageBytes(bitmap.Width, bitmap.Height, bitmap.BitDepth, rowBytes, total, 32) ||
      (bitmap.Stride != 0 && bitmap.Stride != rowBytes))
    return false;
  FreeImage(freeFirst);
  try {
    if (pf == px8p) {
      palette_.reset(new TBGR[256]());
      for (int i = 0; i < std::min(bitmap.PaletteCount, 256); ++i) palette_[(size_t)i] = bitmap.Palette[i];
    }
    memory_ = bitmap.Bits;
    memoryBlock_ = nullptr;
    ownsNotBitmap_ = true;
    location_ = pxTBitmap;
    width_ = bitmap.Width;
    height_ = bitmap.Height;
    bitCount_ = bitmap.BitDepth;
    rowBytes_ = (int)rowBytes;
    pixelFormat_ = pf;
    BuildRowPointers();
    if (alpha_) alpha_->SetSizeKeep(width_, height_, false);
  } catch (const std::bad_alloc&) {
    FreeImage(false);
    return false;
  }
  return true;
}

bool TPxBitmap::CopyFromTBitmap(const TPxPlatformBitmap& bitmap) {
  const int depth = bitmap.BitDepth;
  int64_t srcRow, total;
  if (!bitmap.Bits || !PxCheckedImageBytes(bitmap.Width, bitmap.Height, depth == 15 ? 16 : depth, srcRow, total, 32))
    return false;
  const int64_t stride = bitmap.Stride ? bitmap.Stride : srcRow;
  if (stride < srcRow) return false;
  bool mono = depth == 1 && (bitmap.PaletteCount < 2 || !bitmap.Palette ||
                             (bitmap.Palette[0] == TBGR{0, 0, 0} && bitmap.Palette[1] == TBGR{255, 255, 255}));
  TPxPixelFormat pf;
  if (mono)
    pf = px1g;
  else if (depth == 1 || depth == 4 || depth == 8)
    pf = px8p;
  else if (depth == 15 || depth == 16 || depth == 24 || depth == 32)
    pf = pxRGB24;
  else
    return false;
  if (!Allocate(bitmap.Width, bitmap.Height, pf)) return false;
  if (pf == px8p) {
    std::fill_n(palette_.get(), 256, TBGR{});
    int count = std::min(bitmap.PaletteCount, 1 << depth);
    for (int i = 0; i < count && bitmap.Palette; ++i) palette_[(size_t)i] = bitmap.Palette[i];
  }
  const int w = width_;
  for (int y = 0; y < height_; ++y) {
    const uint8_t* s = bitmap.Bits + (bitmap.BottomUp ? (int64_t)(height_ - 1 - y) : y) * stride;
    uint8_t* d = Scanline(y);
    if (pf == px1g) {
      std::memcpy(d, s, (size_t)std::min<int64_t>(rowBytes_, srcRow));
    } else if (depth == 1) {
      for (int x = 0; x < w; ++x) d[x] = (s[x >> 3] >> (7 - (x & 7))) & 1;
    } else if (depth == 4) {
      for (int x = 0; x < w; ++x) d[x] = (x & 1) ? (s[x >> 1] & 15) : (s[x >> 1] >> 4);
    } else if (depth == 8) {
      std::memcpy(d, s, (size_t)w);
    } else if (depth == 15 || depth == 16) {
      for (int x = 0; x < w; ++x) {
        unsigned v = s[2 * x] | (s[2 * x + 1] << 8);
        if (depth == 15) {
          d[3 * x] = (uint8_t)((v & 31) << 3);
          d[3 * x + 1] = (uint8_t)(((v >> 5) & 31) << 3);
          d[3 * x + 2] = (uint8_t)(((v >> 10) & 31) << 3);
        } else {
          d[3 * x] = (uint8_t)((v & 31) << 3);
          d[3 * x + 1] = (uint8_t)(((v >> 5) & 63) << 2);
          d[3 * x + 2] = (uint8_t)(((v >> 11) & 31) << 3);
        }
      }
    } else if (depth == 24) {
      std::memcpy(d, s, (size_t)w * 3);
    } else {
      for (int x = 0; x < w; ++x) std::memcpy(d + 3 * x, s + 4 * x, 3);
    }
  }
  return true;
}

TPxPlatformBitmap TPxBitmap::PlatformBitmap() {
  TPxPlatformBitmap b;
  if ((location_ != pxMemory && location_ != pxTBitmap) || !memory_ || IsEmpty()) return b;
  b.Bits = memory_;
  b.Width = width_;
  b.Height = height_;
  b.BitDepth = bitCount_;
  b.Stride = rowBytes_;
  b.BottomUp = true;
  b.Palette = palette_.get();
  b.PaletteCount = PaletteCount();
  return b;
}

// ---------------------------------------------------------------------------
// Size changes

// A size change is refused before anything moves when the new size cannot be
// held by this plane or its alpha plane, so a failure leaves both as they were.
bool TPxBitmap::SizeFits(int width, int height) const {
  if (width <= 0 || height <= 0) return true;
  int64_t rb, total;
  const int align = location_ == pxTBitmap ? 32 : ValidRowAlign(RowAlign);
  if (pixelFormat_ != pxNone && !PxCheckedImageBytes(width, height, PxBitsPerPixel(pixelFormat_), rb, total, align))
    return false;
  return !alpha_ || PxCheckedImageBytes(width, height, 8, rb, total, ValidRowAlign(alpha_->RowAlign));
}

bool TPxBitmap::SetSizeKeep(int width, int height, bool withAlpha) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (width == width_ && height == height_) return true;
  if (!SizeFits(width, height)) return false;
  if (withAlpha && alpha_ && !alpha_->SetSizeKeep(width, height, false)) return false;
  if (pixelFormat_ == pxNone || width == 0 || height == 0) {
    // Without a format or with a zero dimension only the numbers are kept.
    TPxPixelFormat pf = pixelFormat_;
    TPxLocation loc = location_;
    ReleaseStorage();
    pixelFormat_ = pf;
    location_ = loc;
    width_ = width;
    height_ = height;
    return true;
  }
  if (rowBytes_ == 0) return AllocateIn(width, height, pixelFormat_, location_, false);
  TPxBitmap old;
  old.TakeStorageFrom(*this);
  if (!AllocateIn(width, height, old.pixelFormat_, old.location_, false)) {
    TakeStorageFrom(old);
    return false;
  }
  const size_t n = (size_t)std::min(rowBytes_, old.rowBytes_);
  const int rows = std::min(height_, old.height_);
  for (int y = 0; y < rows; ++y) std::memcpy(Scanline(y), old.Scanline(y), n);
  if (palette_ && old.palette_) std::memcpy(palette_.get(), old.palette_.get(), 256 * sizeof(TBGR));
  fullAlpha_ = false;
  return true;
}

bool TPxBitmap::SetWidth(int width) { return width == width_ || SetSizeKeep(width, height_, true); }

bool TPxBitmap::SetHeight(int height) { return height == height_ || SetSizeKeep(width_, height, true); }

bool TPxBitmap::ResizePlane(int newWidth, int newHeight, double fill, int ha, int va) {
  newWidth = std::max(newWidth, 0);
  newHeight = std::max(newHeight, 0);
  if (rowBytes_ == 0 || newWidth == 0 || newHeight == 0) {
    // Nothing to keep: a plain canvas of the fill.
    if (!SetSizeKeep(newWidth, newHeight, false)) return false;
    if (!IsEmpty()) Fill(fill);
    return true;
  }
  // Per axis: a shrinking picture keeps the part from (old - new) div 2 for
  // centre or old - new for right/bottom; a growing one moves by (new - old)
  // div 2 or new - old, fill around it. One new buffer and one copy do both.
  auto place = [](int oldSize, int newSize, int align, int& from, int& to, int& count) {
    const int diff = newSize - oldSize;
    const int offset = align <= 0 ? 0 : align == 1 ? std::abs(diff) / 2 : std::abs(diff);
    from = diff >= 0 ? 0 : offset;
    to = diff >= 0 ? offset : 0;
    count = std::min(oldSize, newSize);
  };
  int sx, dx, w, sy, dy, h;
  place(width_, newWidth, ha, sx, dx, w);
  place(height_, newHeight, va, sy, dy, h);
  TPxBitmap old;
  old.TakeStorageFrom(*this);
  if (!AllocateIn(newWidth, newHeight, old.pixelFormat_, old.location_, false)) {
    TakeStorageFrom(old);
    return false;
  }
  if (palette_ && old.palette_) std::memcpy(palette_.get(), old.palette_.get(), 256 * sizeof(TBGR));
  if (newWidth > old.width_ || newHeight > old.height_) Fill(fill);
  old.CopyRectTo(*this, sx, sy, dx, dy, w, h);
  return true;
}

bool TPxBitmap::Resize(int newWidth, int newHeight, double fillColor, double alphaFill, int horizontalAlign,
                       int verticalAlign) {
  if (newWidth == width_ && newHeight == height_) return true;
  if (!SizeFits(newWidth, newHeight)) return false;
  if (!ResizePlane(newWidth, newHeight, fillColor, horizontalAlign, verticalAlign)) return false;
  if (alpha_) {
    const bool wasFull = alpha_->fullAlpha_;
    if (!alpha_->ResizePlane(newWidth, newHeight, alphaFill, horizontalAlign, verticalAlign)) return false;
    alpha_->fullAlpha_ = wasFull && std::lround(alphaFill) == 255;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Fill and copy

namespace {

// One pixel of a format for a fill value, and whether it is the maximum.
struct FillPixel {
  uint8_t bytes[8] = {};
  int size = 0;  // bytes per pixel; 0 for px1g
  bool full = false;
  bool uniform = false;  // every byte the same: a memset does
};

FillPixel MakeFillPixel(TPxPixelFormat pf, double value) {
  FillPixel p;
  auto clampRound = [](double v, double hi) { return v <= 0 ? 0.0 : v >= hi ? hi : std::nearbyint(v); };
  switch (pf) {
    case px1g:
      p.bytes[0] = value != 0 ? 0xFF : 0x00;
      p.full = value != 0;
      break;
    case px8p:
    case px8g:
      p.bytes[0] = (uint8_t)clampRound(value, 255);
      p.size = 1;
      p.full = p.bytes[0] == 255;
      break;
    case px16g: {
      uint16_t v = (uint16_t)clampRound(value, 65535);
      std::memcpy(p.bytes, &v, 2);
      p.size = 2;
      p.full = v == 65535;
      break;
    }
    case pxRGB24: {
      TBGR c = PxColorRefToBGR((uint32_t)clampRound(value, 16777215));
      std::memcpy(p.bytes, &c, 3);
      p.size = 3;
      p.full = c == TBGR{255, 255, 255};
      break;
    }
    case px32f: {
      float f = (float)value;
      std::memcpy(p.bytes, &f, 4);
      p.size = 4;
      p.full = value == 1.0;
      break;
    }
    case pxCMYK: {
      TBGR c = PxColorRefToBGR((uint32_t)clampRound(value, 16777215));
      PxBGRToCMYK(c, p.bytes);
      p.size = 4;
      p.full = c == TBGR{255, 255, 255};
      break;
    }
    case pxRGB48: {
      TBGR c = PxColorRefToBGR((uint32_t)clampRound(value, 16777215));
      uint16_t w[3] = {(uint16_t)(c.r * 257), (uint16_t)(c.g * 257), (uint16_t)(c.b * 257)};
      std::memcpy(p.bytes, w, 6);
      p.size = 6;
      p.full = c == TBGR{255, 255, 255};
      break;
    }
    default:
      break;
  }
  p.uniform = true;
  for (int i = 1; i < p.size; ++i) p.uniform = p.uniform && p.bytes[i] == p.bytes[0];
  return p;
}

// Writes `count` pixels from x on; px1g sets bits.
void FillRow(uint8_t* row, int x, int count, const FillPixel& p) {
  if (count <= 0) return;
  if (p.size == 0) {
    const bool set = p.bytes[0] != 0;
    int end = x + count;
    while (x < end && (x & 7)) {
      if (set) row[x >> 3] |= (uint8_t)(0x80 >> (x & 7)); else row[x >> 3] &= (uint8_t)~(0x80 >> (x & 7));
      ++x;
    }
    if (end - x >= 8) {
      std::memset(row + (x >> 3), p.bytes[0], (size_t)((end - x) >> 3));
      x += (end - x) & ~7;
    }
    for (; x < end; ++x) {
      if (set) row[x >> 3] |= (uint8_t)(0x80 >> (x & 7)); else row[x >> 3] &= (uint8_t)~(0x80 >> (x & 7));
    }
    return;
  }
  uint8_t* d = row + (int64_t)x * p.size;
  if (p.uniform) {
    std::memset(d, p.bytes[0], (size_t)count * (size_t)p.size);
    return;
  }
  std::memcpy(d, p.bytes, (size_t)p.size);
  // Doubling copies: the pattern spreads in log(count) memcpys.
  int64_t done = p.size, total = (int64_t)count * p.size;
  while (done < total) {
    int64_t n = std::min(done, total - done);
    std::memcpy(d + done, d, (size_t)n);
    done += n;
  }
}

inline int GetBit(const uint8_t* row, int x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }
inline void PutBit(uint8_t* row, int x, int bit) {
  if (bit) row[x >> 3] |= (uint8_t)(0x80 >> (x & 7)); else row[x >> 3] &= (uint8_t)~(0x80 >> (x & 7));
}

}  // namespace

void TPxBitmap::Fill(double value) {
  if (IsEmpty()) return;
  FillPixel p = MakeFillPixel(pixelFormat_, value);
  for (int y = 0; y < height_; ++y) {
    uint8_t* row = Scanline(y);
    if (p.size == 0)
      std::memset(row, p.bytes[0], (size_t)rowBytes_);
    else
      FillRow(row, 0, width_, p);
  }
  fullAlpha_ = p.full;
}

void TPxBitmap::FillRect(int x1, int y1, int x2, int y2, double value) {
  if (IsEmpty()) return;
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  x1 = std::max(x1, 0);
  y1 = std::max(y1, 0);
  x2 = std::min(x2, width_ - 1);
  y2 = std::min(y2, height_ - 1);
  if (x1 > x2 || y1 > y2) return;
  FillPixel p = MakeFillPixel(pixelFormat_, value);
  for (int y = y1; y <= y2; ++y) FillRow(Scanline(y), x1, x2 - x1 + 1, p);
  if (!p.full) fullAlpha_ = false;
}

void TPxBitmap::CopyRectTo(TPxBitmap& dest, int srcX, int srcY, int destX, int destY, int width, int height) const {
  const TPxPixelFormat sf = pixelFormat_, df = dest.pixelFormat_;
  const bool same = sf == df && sf != pxNone;
  const bool bitsToRGB = sf == px1g && df == pxRGB24;
  if ((!same && !bitsToRGB) || IsEmpty() || dest.IsEmpty()) return;
  int64_t sx = srcX, sy = srcY, dx = destX, dy = destY, w = width, h = height;
  if (sx < 0) { dx -= sx; w += sx; sx = 0; }
  if (sy < 0) { dy -= sy; h += sy; sy = 0; }
  if (dx < 0) { sx -= dx; w += dx; dx = 0; }
  if (dy < 0) { sy -= dy; h += dy; dy = 0; }
  w = std::min({w, (int64_t)width_ - sx, (int64_t)dest.width_ - dx});
  h = std::min({h, (int64_t)height_ - sy, (int64_t)dest.height_ - dy});
  if (w <= 0 || h <= 0) return;
  if (&dest == this) {
    // Overlapping rows of one bitmap (and one file window): go through a copy.
    TPxBitmap scratch;
    scratch.FileThreshold = FileThreshold;
    if (!scratch.AllocateIn((int)w, (int)h, sf, pxMemory, false)) return;
    CopyRectTo(scratch, (int)sx, (int)sy, 0, 0, (int)w, (int)h);
    scratch.CopyRectTo(dest, 0, 0, (int)dx, (int)dy, (int)w, (int)h);
    return;
  }
  const int bpp = bitCount_ / 8;
  for (int64_t y = 0; y < h; ++y) {
    const uint8_t* s = Scanline((int)(sy + y));
    uint8_t* d = dest.Scanline((int)(dy + y));
    if (!s || !d) return;
    if (bitsToRGB) {
      TBGR* out = reinterpret_cast<TBGR*>(d) + dx;
      for (int64_t x = 0; x < w; ++x) {
        uint8_t v = GetBit(s, (int)(sx + x)) ? 255 : 0;
        out[x] = TBGR{v, v, v};
      }
    } else if (sf == px1g) {
      if ((sx & 7) == 0 && (dx & 7) == 0) {
        std::memcpy(d + (dx >> 3), s + (sx >> 3), (size_t)(w >> 3));
        for (int64_t x = w & ~int64_t(7); x < w; ++x) PutBit(d, (int)(dx + x), GetBit(s, (int)(sx + x)));
      } else {
        for (int64_t x = 0; x < w; ++x) PutBit(d, (int)(dx + x), GetBit(s, (int)(sx + x)));
      }
    } else {
      std::memcpy(d + dx * bpp, s + sx * bpp, (size_t)(w * bpp));
    }
  }
}

void TPxBitmap::MoveRect(int srcX, int srcY, int destX, int destY, int width, int height, double fillValue) {
  if (IsEmpty()) return;
  // Clip the source first so the scratch copy is no larger than the picture.
  int64_t sx = srcX, sy = srcY, dx = destX, dy = destY, w = width, h = height;
  if (sx < 0) { dx -= sx; w += sx; sx = 0; }
  if (sy < 0) { dy -= sy; h += sy; sy = 0; }
  w = std::min(w, (int64_t)width_ - sx);
  h = std::min(h, (int64_t)height_ - sy);
  if (w <= 0 || h <= 0) return;
  TPxBitmap scratch;
  scratch.FileThreshold = FileThreshold;
  if (!scratch.AllocateIn((int)w, (int)h, pixelFormat_, pxMemory, false)) return;
  CopyRectTo(scratch, (int)sx, (int)sy, 0, 0, (int)w, (int)h);
  FillRect((int)sx, (int)sy, (int)(sx + w - 1), (int)(sy + h - 1), fillValue);
  scratch.CopyRectTo(*this, 0, 0, (int)dx, (int)dy, (int)w, (int)h);
}

// ---------------------------------------------------------------------------
// Alpha plane

TPxBitmap* TPxBitmap::AlphaChannel() {
  if (isAlphaPlane_) return nullptr;
  if (!alpha_) {
    auto a = std::make_unique<TPxBitmap>();
    a->isAlphaPlane_ = true;
    a->FileThreshold = FileThreshold;
    // A platform-bitmap parent keeps its alpha plane in memory.
    TPxLocation loc = location_ == pxTBitmap ? pxMemory : location_;
    if (width_ > 0 && height_ > 0 && a->AllocateIn(width_, height_, px8g, loc, false)) a->Fill(255);
    a->fullAlpha_ = true;
    alpha_ = std::move(a);
  }
  return alpha_.get();
}

void TPxBitmap::RemoveAlphaChannel() { alpha_.reset(); }

uint8_t TPxBitmap::Alpha(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  if (!alpha_) return 255;
  const uint8_t* row = alpha_->Scanline(y);
  return row && x < alpha_->width_ ? row[x] : 255;
}

void TPxBitmap::Alpha(int x, int y, uint8_t value) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  TPxBitmap* a = AlphaChannel();
  if (!a) return;
  uint8_t* row = a->Scanline(y);
  if (!row || x >= a->width_) return;
  row[x] = value;
  if (value != 255) a->fullAlpha_ = false;
}

void TPxBitmap::AlphaFromMask(const TPxMask* mask) {
  TPxBitmap* a = AlphaChannel();
  if (!a || a->IsEmpty()) return;
  if (!mask || mask->IsEmpty()) {
    a->Fill(255);
    return;
  }
  // The mask's full flag is not trusted: readers write rows directly, so the
  // flag comes from the values themselves.
  bool full = true;
  const int w = a->width_;
  const int mw = std::min(w, mask->Width());
  for (int y = 0; y < a->height_; ++y) {
    uint8_t* d = a->Scanline(y);
    if (y >= mask->Height()) {
      std::memset(d, 0, (size_t)w);
      full = false;
      continue;
    }
    const uint8_t* s = mask->Scanline(y);
    if (mask->BitsPerPixel() == 8) {
      std::memcpy(d, s, (size_t)mw);
    } else {
      for (int x = 0; x < mw; ++x) d[x] = GetBit(s, x) ? 255 : 0;
    }
    if (mw < w) {
      std::memset(d + mw, 0, (size_t)(w - mw));
      full = false;
    }
    for (int x = 0; full && x < mw; ++x) full = d[x] == 255;
  }
  a->fullAlpha_ = full;
}

bool TPxBitmap::AlphaToMask(TPxMask& mask) const {
  if (IsEmpty()) {
    mask.Free();
    return false;
  }
  if (!mask.Allocate(width_, height_, 8)) return false;
  for (int y = 0; y < height_; ++y) {
    uint8_t* d = mask.Scanline(y);
    const uint8_t* s = alpha_ ? alpha_->Scanline(y) : nullptr;
    if (s)
      std::memcpy(d, s, (size_t)width_);
    else
      std::memset(d, 255, (size_t)width_);
  }
  mask.RecomputeBox();
  return true;
}
