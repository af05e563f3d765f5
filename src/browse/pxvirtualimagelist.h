// TPxVirtualImageList: the thumbnail image store.
//
// Keeps many images without keeping them all in memory. Every image lives in
// one temporary file; at most MaxImagesInMemory of them also have a copy in
// memory, chosen by least recent use. The thumbnail grid owns two stores: the
// image store (prefix "ILIST", limit ImageCacheSize) and the cell store
// (prefix "ICACHE", limit 10).
//
// Block of one image, the same in memory and in the file:
//   pixel rows, bottom row first, each RowLength(width, bits) bytes
//   (width * bits rounded up to 32 bits); then, only with an alpha plane,
//   one byte (1 = every alpha value is 255) and the alpha rows, bottom row
//   first, each RowLength(width, 8) bytes.
// The palette of a px8p image is kept in its record, beside the block.
//
// Records are handles owned by the store: valid from AddBitmap until Delete,
// Reset or the store's destruction. Pointers returned by PixelData, AlphaData
// and Palette stay valid until the next call on the store.
//
// The store has no lock: its callers serialise every call (the thumbnail
// lock of the background loading).
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "imaging/core/pxutils.h"

// Size the temporary file starts with, and the first growth step.
inline constexpr int64_t kPxStoreInitialFileSize = 262144;
// In-memory limit of a new store.
inline constexpr int32_t kPxStoreDefaultMaxImagesInMemory = 10;

class TPxVirtualImageList;

// One stored image. Read-only to callers; the store changes it.
class TPxImageRecord {
 public:
  TPxImageRecord(const TPxImageRecord&) = delete;
  TPxImageRecord& operator=(const TPxImageRecord&) = delete;

  // Offset of the block in the temporary file, and its size in bytes.
  int64_t Position() const { return position_; }
  int64_t AllocatedSize() const { return allocatedSize_; }
  int64_t UsedSize() const { return usedSize_; }
  // The block has a copy in memory, and that copy's access bits
  // (kPxAccessRead, kPxAccessWrite; 0 without a copy).
  bool InMemory() const { return memory_ != nullptr; }
  uint8_t Access() const { return access_; }
  // A buffer built from this record is handed out (HandOut).
  bool HandedOut() const { return handedOut_; }
  // Size of the picture before it was reduced; initially the stored size.
  int32_t SourceWidth() const { return sourceWidth_; }
  int32_t SourceHeight() const { return sourceHeight_; }
  // The stored shape (not that of a handed-out buffer: see ImageWidth).
  bool HasAlpha() const { return hasAlpha_; }
  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  int32_t BitCount() const { return bitCount_; }
  TPxPixelFormat PixelFormat() const { return pixelFormat_; }

 private:
  friend class TPxVirtualImageList;
  TPxImageRecord() = default;

  int64_t position_ = 0;
  int64_t allocatedSize_ = 0;
  int64_t usedSize_ = 0;
  uint8_t* memory_ = nullptr;  // the block in memory, or none
  bool handedOut_ = false;
  int32_t sourceWidth_ = 0, sourceHeight_ = 0;
  bool hasAlpha_ = false;
  uint8_t access_ = 0;
  int32_t width_ = 0, height_ = 0, bitCount_ = 0;
  TPxPixelFormat pixelFormat_ = pxNone;
  std::unique_ptr<TBGR[]> palette_;              // 256 entries for px8p
  size_t index_ = 0;                             // place in the store's records
  std::list<TPxImageRecord*>::iterator recent_;  // place in the recently-used list
};

class TPxVirtualImageList {
 public:
  // Creates the temporary file (prefix + "-" + eight hex digits + ".tmp" in
  // TempDir or the system's temporary folder, 262,144 bytes). The file's name
  // is removed at once and only the open descriptor keeps it, so the system
  // deletes it however the program ends. When it cannot be created the store
  // still works, with every image kept in memory (HasFile() is false).
  explicit TPxVirtualImageList(const std::string& prefix);
  // Releases every record and handed-out buffer; the temporary file goes.
  ~TPxVirtualImageList();
  TPxVirtualImageList(const TPxVirtualImageList&) = delete;
  TPxVirtualImageList& operator=(const TPxVirtualImageList&) = delete;

  // The in-memory limit. A lower value takes effect when the next record is
  // brought into memory. The record being brought in always gets its copy,
  // so a limit below 1 acts as 1.
  int32_t MaxImagesInMemory() const { return maxImagesInMemory_; }
  void SetMaxImagesInMemory(int32_t limit) { maxImagesInMemory_ = limit; }

  // Stores a copy of the bitmap (pixels, palette, alpha plane) and returns its
  // record; the new record is in memory with write access and reaches the
  // file when its copy is released. An empty bitmap gives a record of size 0.
  // nullptr when the memory or the file space cannot be had.
  TPxImageRecord* AddBitmap(const TPxBitmap& bitmap);

  // Makes sure the record has a memory copy with access `mode`: a copy with
  // other access is released first (written back when it has the write bit),
  // the least recently used copies leave memory while the limit is reached,
  // and the block is read from the file when `mode` has the read bit. False
  // when the memory cannot be had (the record is then not in memory).
  bool Access(TPxImageRecord* record, uint8_t mode);

  // Fills a bitmap from the record (allocated anew when its format or size
  // differ). An alpha plane stored as entirely opaque comes back as none.
  bool CopyToBitmap(TPxImageRecord* record, TPxBitmap& bitmap);
  // Writes a bitmap back into the record. A different size, bit count or
  // alpha presence places the record anew in the file. False (the record
  // unchanged) when the memory or the file space cannot be had.
  bool StoreBitmap(TPxImageRecord* record, const TPxBitmap& bitmap);

  // A buffer for the record, owned by the store and counted: handing out a
  // record twice gives the same buffer, which stays valid until it has been
  // given back as often (or the record is deleted). Changes reach the store
  // only through a give-back with writeBack. nullptr when no memory copy can
  // be had.
  TPxBitmap* HandOut(TPxImageRecord* record);
  // Returns a handed-out buffer (GiveBack: by the buffer, GiveBackRecord: by
  // its record); with writeBack the buffer is stored into the record first.
  // False for a buffer or record not handed out, or when the write-back failed.
  bool GiveBack(TPxBitmap* bitmap, bool writeBack);
  bool GiveBackRecord(TPxImageRecord* record, bool writeBack);

  // Shape of the handed-out buffer when the record is handed out, else of the
  // stored image.
  int32_t ImageWidth(const TPxImageRecord* record) const;
  int32_t ImageHeight(const TPxImageRecord* record) const;
  int32_t ImageBitCount(const TPxImageRecord* record) const;
  TPxPixelFormat ImagePixelFormat(const TPxImageRecord* record) const;

  // Start of the bottom-up pixel rows: of the handed-out buffer when handed
  // out, else of the memory copy (brought in for reading). For wrapping with
  // TPxBitmap::EncapsulateMemory. nullptr for an empty image or when the rows
  // cannot be had.
  uint8_t* PixelData(TPxImageRecord* record);
  // Start of the bottom-up alpha rows, or nullptr when the record has no
  // alpha plane, the stored plane is entirely opaque, or (handed out) the
  // buffer has no alpha plane.
  uint8_t* AlphaData(TPxImageRecord* record);
  // The 256-entry palette of a px8p image (nullptr for other formats), which
  // a wrapped PixelData block needs to be drawn.
  const TBGR* Palette(TPxImageRecord* record);

  void SetSourceWidth(TPxImageRecord* record, int32_t width);
  void SetSourceHeight(TPxImageRecord* record, int32_t height);

  // Forgets a record: its space becomes a hole for later images, a buffer
  // handed out for it is freed. Deleting the last record shrinks the file to
  // the current growth step.
  void Delete(TPxImageRecord* record);

  // Forgets every record and handed-out buffer and starts again with a new
  // temporary file of the initial size.
  void Reset();

  // Row length in bytes of `width` pixels of `bitsPerPixel` bits (padded to 4
  // bytes), and the block size of an image; -1 when the size overflows.
  static int64_t RowLength(int64_t width, int bitsPerPixel);
  static int64_t BlockSize(int64_t width, int64_t height, int bitsPerPixel, bool hasAlpha);

  // State, for the grid and for tests.
  const std::string& Prefix() const { return prefix_; }
  bool HasFile() const { return file_.IsOpen(); }
  int64_t FileSize() const { return fileSize_; }
  int64_t GrowthStep() const { return growthStep_; }
  int64_t LastAllocationSize() const { return lastAllocationSize_; }
  int64_t EndOfUsedSpace() const { return endOfUsedSpace_; }
  int32_t ImagesInMemory() const { return imagesInMemory_; }
  int RecordCount() const { return (int)records_.size(); }
  int HoleCount() const { return (int)holes_.size(); }
  int HandedOutCount() const { return (int)handedOut_.size(); }

 private:
  struct Hole {
    int64_t position;
    int64_t size;
  };
  struct HandedOutBuffer {
    TPxImageRecord* record;
    std::unique_ptr<TPxBitmap> bitmap;
    int count;
  };
  struct Shape {
    int32_t width = 0, height = 0, bitCount = 0;
    TPxPixelFormat pixelFormat = pxNone;
    bool hasAlpha = false;
    int64_t size = 0;
  };

  bool Owns(const TPxImageRecord* record) const;
  static bool ShapeOf(const TPxBitmap& bitmap, Shape& shape);
  bool Place(TPxImageRecord& record, const Shape& shape);
  void WriteBlock(TPxImageRecord& record, const TPxBitmap& bitmap);
  // Writes a copy back when it has the write bit and frees it. False (the
  // copy kept, so nothing is lost) when the write-back failed.
  bool ReleaseCopy(TPxImageRecord& record);
  // Frees a copy without writing it back.
  void DropCopy(TPxImageRecord& record);
  void ReleaseAllCopies();
  void Touch(TPxImageRecord& record);
  HandedOutBuffer* HandedOutFor(const TPxImageRecord* record);
  const HandedOutBuffer* HandedOutFor(const TPxImageRecord* record) const;
  bool GiveBackAt(size_t entry, bool writeBack);
  void ForgetAll();

  TPxFileBuffer file_;
  std::string prefix_;
  int64_t fileSize_ = kPxStoreInitialFileSize;
  int64_t growthStep_ = kPxStoreInitialFileSize;
  int64_t lastAllocationSize_ = 0;
  int64_t endOfUsedSpace_ = 0;
  int32_t maxImagesInMemory_ = kPxStoreDefaultMaxImagesInMemory;
  int32_t imagesInMemory_ = 0;
  std::vector<std::unique_ptr<TPxImageRecord>> records_;
  std::list<TPxImageRecord*> recentlyUsed_;  // least recently used first
  std::vector<Hole> holes_;
  std::vector<HandedOutBuffer> handedOut_;
};
