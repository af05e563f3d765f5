// TPxVirtualImageList: images in one temporary file, the most recently used
// of them also in memory.
//
// Memory copies are plain pixel blocks read and written with one positioned
// call each. The store does this itself rather than through row windows
// because it must know whether a write-back reached the file: a copy whose
// write-back failed stays in memory (over the limit) instead of being lost.
// The same rule keeps every image in memory when there is no file at all.
#include "browse/pxvirtualimagelist.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr uint8_t kReadWrite = kPxAccessRead | kPxAccessWrite;

// One row between layouts of different row lengths: the bytes both have,
// then zeros for the rest of the destination (all zeros without a source).
inline void CopyRow(uint8_t* dst, int64_t dstLength, const uint8_t* src, int64_t srcLength) {
  const int64_t n = std::min(dstLength, srcLength);
  if (src && n > 0) std::memcpy(dst, src, (size_t)n);
  if (!src)
    std::memset(dst, 0, (size_t)dstLength);
  else if (n < dstLength)
    std::memset(dst + n, 0, (size_t)(dstLength - n));
}

// True when rows 0 .. height-1 of the bitmap lie bottom-up one after the
// other with `rowLength` bytes each, so that the block is one copy.
bool IsOneBlock(const TPxBitmap& bitmap, int64_t rowLength) {
  if (bitmap.Location() == pxFile || bitmap.RowBytes() != rowLength || bitmap.Height() <= 0)
    return false;
  const uint8_t* bottom = bitmap.Scanline(bitmap.Height() - 1);
  const uint8_t* top = bitmap.Scanline(0);
  return bottom && top && top - bottom == (ptrdiff_t)(rowLength * (bitmap.Height() - 1));
}

// Bitmap rows, top row first in the bitmap, into a bottom-up block.
void RowsToBlock(const TPxBitmap& bitmap, uint8_t* block, int64_t rowLength, int height) {
  if (IsOneBlock(bitmap, rowLength)) {
    std::memcpy(block, bitmap.Scanline(height - 1), (size_t)(rowLength * height));
    return;
  }
  for (int i = 0; i < height; ++i)
    CopyRow(block + rowLength * i, rowLength, bitmap.Scanline(height - 1 - i), bitmap.RowBytes());
}

// A bottom-up block into the bitmap's rows.
void BlockToRows(const uint8_t* block, TPxBitmap& bitmap, int64_t rowLength, int height) {
  if (IsOneBlock(bitmap, rowLength)) {
    std::memcpy(bitmap.Scanline(height - 1), block, (size_t)(rowLength * height));
    return;
  }
  for (int i = 0; i < height; ++i) {
    uint8_t* row = bitmap.Scanline(height - 1 - i);
    if (row) CopyRow(row, bitmap.RowBytes(), block + rowLength * i, rowLength);
  }
  bitmap.ReleaseWindows();
}

// Every one of the first `width` values of every row is 255.
bool AllOpaque(const uint8_t* block, int64_t rowLength, int width, int height) {
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = block + rowLength * y;
    for (int x = 0; x < width; ++x)
      if (row[x] != 255) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Sizes

int64_t TPxVirtualImageList::RowLength(int64_t width, int bitsPerPixel) {
  int64_t bits;
  if (width < 0 || bitsPerPixel < 0 || !PxCheckedMul(width, bitsPerPixel, bits) ||
      bits > INT64_MAX - 31)
    return -1;
  return (bits + 31) / 32 * 4;
}

int64_t TPxVirtualImageList::BlockSize(int64_t width, int64_t height, int bitsPerPixel,
                                       bool hasAlpha) {
  const int64_t rowLength = RowLength(width, bitsPerPixel);
  int64_t size;
  if (rowLength < 0 || height < 0 || !PxCheckedMul(rowLength, height, size)) return -1;
  if (!hasAlpha) return size;
  const int64_t alphaRow = RowLength(width, 8);
  int64_t alpha;
  if (alphaRow < 0 || !PxCheckedMul(alphaRow, height, alpha) || alpha > INT64_MAX - 1 - size)
    return -1;
  return size + 1 + alpha;
}

// ---------------------------------------------------------------------------
// Life

TPxVirtualImageList::TPxVirtualImageList(const std::string& prefix) : prefix_(prefix) {
  ForgetAll();
  // Without a file the store keeps every image in memory (see ReleaseCopy).
  file_.CreateTempFile(prefix_, fileSize_);
}

TPxVirtualImageList::~TPxVirtualImageList() {
  ForgetAll();
}

void TPxVirtualImageList::ForgetAll() {
  handedOut_.clear();
  for (auto& record : records_)
    if (record->memory_) PxFreePixels(record->memory_);
  records_.clear();
  recentlyUsed_.clear();
  holes_.clear();
  imagesInMemory_ = 0;
  file_.Release();
  endOfUsedSpace_ = 0;
}

void TPxVirtualImageList::Reset() {
  ForgetAll();
  fileSize_ = kPxStoreInitialFileSize;
  growthStep_ = kPxStoreInitialFileSize;
  lastAllocationSize_ = 0;
  file_.CreateTempFile(prefix_, fileSize_);
}

bool TPxVirtualImageList::Owns(const TPxImageRecord* record) const {
  return record && record->index_ < records_.size() && records_[record->index_].get() == record;
}

// ---------------------------------------------------------------------------
// Memory copies

void TPxVirtualImageList::Touch(TPxImageRecord& record) {
  recentlyUsed_.splice(recentlyUsed_.end(), recentlyUsed_, record.recent_);
}

void TPxVirtualImageList::DropCopy(TPxImageRecord& record) {
  if (!record.memory_) return;
  PxFreePixels(record.memory_);
  record.memory_ = nullptr;
  record.access_ = 0;
  recentlyUsed_.erase(record.recent_);
  --imagesInMemory_;
}

bool TPxVirtualImageList::ReleaseCopy(TPxImageRecord& record) {
  if (!record.memory_) return true;
  if ((record.access_ & kPxAccessWrite) &&
      !file_.WriteAt(record.memory_, record.usedSize_, record.position_))
    return false;
  DropCopy(record);
  return true;
}

void TPxVirtualImageList::ReleaseAllCopies() {
  for (auto it = recentlyUsed_.begin(); it != recentlyUsed_.end();) {
    TPxImageRecord* record = *it++;
    ReleaseCopy(*record);
  }
}

bool TPxVirtualImageList::Access(TPxImageRecord* record, uint8_t mode) {
  if (!Owns(record)) return false;
  TPxImageRecord& r = *record;
  if (r.usedSize_ == 0) return true;  // an empty image has nothing to hold
  mode &= kReadWrite;
  if (mode == 0) mode = kPxAccessRead;
  if (r.memory_ && r.access_ != mode && !ReleaseCopy(r)) {
    // The file did not take the copy: it stays the only one, still to be written.
    r.access_ = mode | kPxAccessWrite;
    Touch(r);
    return true;
  }
  if (r.memory_) {
    Touch(r);
    return true;
  }
  // The copy to be made counts too; copies that cannot be written back stay.
  const int32_t limit = std::max<int32_t>(1, maxImagesInMemory_);
  for (auto it = recentlyUsed_.begin(); imagesInMemory_ + 1 > limit && it != recentlyUsed_.end();) {
    TPxImageRecord* oldest = *it++;
    ReleaseCopy(*oldest);
  }
  uint8_t* block = PxAllocPixels(r.usedSize_);
  if (!block) return false;
  if (mode & kPxAccessRead) {
    if (!file_.ReadAt(block, r.usedSize_, r.position_)) {
      PxFreePixels(block);
      return false;
    }
  } else {
    std::memset(block, 0, (size_t)r.usedSize_);
  }
  try {
    r.recent_ = recentlyUsed_.insert(recentlyUsed_.end(), &r);
  } catch (const std::bad_alloc&) {
    PxFreePixels(block);
    return false;
  }
  r.memory_ = block;
  r.access_ = mode;
  ++imagesInMemory_;
  return true;
}

// ---------------------------------------------------------------------------
// Placing blocks

bool TPxVirtualImageList::ShapeOf(const TPxBitmap& bitmap, Shape& shape) {
  shape = Shape{};
  if (bitmap.IsEmpty()) return true;
  shape.width = bitmap.Width();
  shape.height = bitmap.Height();
  shape.bitCount = bitmap.BitCount();
  shape.pixelFormat = bitmap.PixelFormat();
  shape.hasAlpha = bitmap.HasAlphaChannel() && !bitmap.IsAlphaPlane();
  shape.size = BlockSize(shape.width, shape.height, shape.bitCount, shape.hasAlpha);
  return shape.size >= 0;
}

bool TPxVirtualImageList::Place(TPxImageRecord& record, const Shape& shape) {
  const int64_t size = shape.size;
  int64_t position = 0;
  bool fromHole = false;
  size_t holeIndex = 0;
  Hole hole{};
  if (size > 0) {
    auto it = std::find_if(holes_.begin(), holes_.end(),
                           [size](const Hole& h) { return h.size >= size; });
    if (it != holes_.end()) {
      // First fit; what the block leaves of the hole is not kept.
      fromHole = true;
      holeIndex = (size_t)(it - holes_.begin());
      hole = *it;
      position = hole.position;
      holes_.erase(it);
    } else {
      // The step follows the image sizes, so equal images grow the file in
      // large steps rather than once each.
      if (growthStep_ < size) growthStep_ = lastAllocationSize_ + size;
      lastAllocationSize_ = size;
      if (endOfUsedSpace_ + size > fileSize_) {
        int64_t newSize = fileSize_;
        while (endOfUsedSpace_ + size > newSize) newSize += growthStep_;
        ReleaseAllCopies();
        holes_.clear();
        if (file_.IsOpen() && !file_.SetSize(newSize)) return false;
        fileSize_ = newSize;
      }
      position = endOfUsedSpace_;
    }
  }

  TPxImageRecord before;  // the fields to restore when no copy can be had
  before.position_ = record.position_;
  before.allocatedSize_ = record.allocatedSize_;
  before.usedSize_ = record.usedSize_;
  before.width_ = record.width_;
  before.height_ = record.height_;
  before.bitCount_ = record.bitCount_;
  before.pixelFormat_ = record.pixelFormat_;
  before.hasAlpha_ = record.hasAlpha_;
  before.sourceWidth_ = record.sourceWidth_;
  before.sourceHeight_ = record.sourceHeight_;

  record.position_ = position;
  record.allocatedSize_ = size;
  record.usedSize_ = size;
  record.width_ = shape.width;
  record.height_ = shape.height;
  record.bitCount_ = shape.bitCount;
  record.pixelFormat_ = shape.pixelFormat;
  record.hasAlpha_ = shape.hasAlpha;
  record.sourceWidth_ = shape.width;
  record.sourceHeight_ = shape.height;
  if (!Access(&record, kPxAccessWrite)) {
    record.position_ = before.position_;
    record.allocatedSize_ = before.allocatedSize_;
    record.usedSize_ = before.usedSize_;
    record.width_ = before.width_;
    record.height_ = before.height_;
    record.bitCount_ = before.bitCount_;
    record.pixelFormat_ = before.pixelFormat_;
    record.hasAlpha_ = before.hasAlpha_;
    record.sourceWidth_ = before.sourceWidth_;
    record.sourceHeight_ = before.sourceHeight_;
    if (fromHole) holes_.insert(holes_.begin() + (ptrdiff_t)holeIndex, hole);
    return false;
  }
  if (size > 0 && !fromHole) endOfUsedSpace_ += size;
  return true;
}

void TPxVirtualImageList::WriteBlock(TPxImageRecord& record, const TPxBitmap& bitmap) {
  if (record.pixelFormat_ == px8p) {
    if (!record.palette_) record.palette_.reset(new (std::nothrow) TBGR[256]);
    if (record.palette_) {
      if (bitmap.Palette())
        std::memcpy(record.palette_.get(), bitmap.Palette(), 256 * sizeof(TBGR));
      else
        std::fill_n(record.palette_.get(), 256, TBGR{});
    }
  } else {
    record.palette_.reset();
  }
  if (!record.memory_) return;
  const int h = record.height_;
  const int64_t rowLength = RowLength(record.width_, record.bitCount_);
  RowsToBlock(bitmap, record.memory_, rowLength, h);
  if (!record.hasAlpha_) return;
  const TPxBitmap& alpha = *bitmap.AlphaChannelIfAny();
  const int64_t alphaRow = RowLength(record.width_, 8);
  uint8_t* flag = record.memory_ + rowLength * h;
  uint8_t* alphaRows = flag + 1;
  if (alpha.Width() == record.width_ && alpha.Height() == h) {
    RowsToBlock(alpha, alphaRows, alphaRow, h);
  } else {
    std::memset(alphaRows, 255, (size_t)(alphaRow * h));
  }
  // The flag is known for an opaque plane even when its owner did not mark it.
  *flag = alpha.FullAlpha() || AllOpaque(alphaRows, alphaRow, record.width_, h) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Storing and reading images

TPxImageRecord* TPxVirtualImageList::AddBitmap(const TPxBitmap& bitmap) {
  Shape shape;
  if (!ShapeOf(bitmap, shape)) return nullptr;
  std::unique_ptr<TPxImageRecord> created(new (std::nothrow) TPxImageRecord);
  if (!created) return nullptr;
  created->index_ = records_.size();
  try {
    records_.push_back(std::move(created));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  TPxImageRecord& record = *records_.back();
  // A record the store cannot hold is not kept: the caller sees the failure
  // rather than an image whose pixels were never stored.
  if (!Place(record, shape)) {
    records_.pop_back();
    return nullptr;
  }
  WriteBlock(record, bitmap);
  return &record;
}

bool TPxVirtualImageList::StoreBitmap(TPxImageRecord* record, const TPxBitmap& bitmap) {
  if (!Owns(record)) return false;
  TPxImageRecord& r = *record;
  Shape shape;
  if (!ShapeOf(bitmap, shape)) return false;
  if (shape.width == r.width_ && shape.height == r.height_ && shape.bitCount == r.bitCount_ &&
      shape.hasAlpha == r.hasAlpha_) {
    if (!Access(record, kReadWrite)) return false;
    // Formats of one bit count (px8p and px8g, px32f and pxCMYK) share the
    // block size, so the block stays but the format must follow.
    r.pixelFormat_ = shape.pixelFormat;
    WriteBlock(r, bitmap);
    return true;
  }
  // A new block elsewhere in the file. The old copy is held aside, not
  // written back, so that a failed placement leaves the record as it was.
  uint8_t* oldBlock = r.memory_;
  const uint8_t oldAccess = r.access_;
  if (oldBlock) {
    recentlyUsed_.erase(r.recent_);
    r.memory_ = nullptr;
    r.access_ = 0;
    --imagesInMemory_;
  }
  if (!Place(r, shape)) {
    if (oldBlock) {
      r.recent_ = recentlyUsed_.insert(recentlyUsed_.end(), &r);
      r.memory_ = oldBlock;
      r.access_ = oldAccess;
      ++imagesInMemory_;
    }
    return false;
  }
  if (oldBlock) PxFreePixels(oldBlock);
  WriteBlock(r, bitmap);
  return true;
}

bool TPxVirtualImageList::CopyToBitmap(TPxImageRecord* record, TPxBitmap& bitmap) {
  if (!Access(record, kPxAccessRead)) return false;
  const TPxImageRecord& r = *record;
  if (bitmap.PixelFormat() != r.pixelFormat_ || bitmap.Width() != r.width_ ||
      bitmap.Height() != r.height_) {
    if (!bitmap.Allocate(r.width_, r.height_, r.pixelFormat_)) return false;
  }
  if (r.pixelFormat_ == px8p && bitmap.Palette()) {
    if (r.palette_)
      std::memcpy(bitmap.Palette(), r.palette_.get(), 256 * sizeof(TBGR));
    else
      std::fill_n(bitmap.Palette(), 256, TBGR{});
  }
  const int h = r.height_;
  const int64_t rowLength = RowLength(r.width_, r.bitCount_);
  if (r.memory_) BlockToRows(r.memory_, bitmap, rowLength, h);
  const uint8_t* flag = r.memory_ ? r.memory_ + rowLength * h : nullptr;
  if (!r.hasAlpha_ || !flag || *flag != 0) {
    if (!bitmap.IsAlphaPlane()) bitmap.RemoveAlphaChannel();
    return true;
  }
  TPxBitmap* alpha = bitmap.AlphaChannel();
  if (!alpha || alpha->IsEmpty()) return false;
  BlockToRows(flag + 1, *alpha, RowLength(r.width_, 8), h);
  alpha->SetFullAlpha(false);
  return true;
}

// ---------------------------------------------------------------------------
// Handed-out buffers

TPxVirtualImageList::HandedOutBuffer* TPxVirtualImageList::HandedOutFor(
    const TPxImageRecord* record) {
  for (HandedOutBuffer& e : handedOut_)
    if (e.record == record) return &e;
  return nullptr;
}

const TPxVirtualImageList::HandedOutBuffer* TPxVirtualImageList::HandedOutFor(
    const TPxImageRecord* record) const {
  for (const HandedOutBuffer& e : handedOut_)
    if (e.record == record) return &e;
  return nullptr;
}

TPxBitmap* TPxVirtualImageList::HandOut(TPxImageRecord* record) {
  if (!Access(record, kPxAccessRead)) return nullptr;
  if (record->handedOut_) {
    if (HandedOutBuffer* e = HandedOutFor(record)) {
      ++e->count;
      return e->bitmap.get();
    }
  }
  std::unique_ptr<TPxBitmap> bitmap(new (std::nothrow) TPxBitmap);
  if (!bitmap) return nullptr;
  // Kept in one memory block: PixelData hands out its rows as one block.
  bitmap->FileThreshold = INT64_MAX;
  if (!CopyToBitmap(record, *bitmap)) return nullptr;
  TPxBitmap* result = bitmap.get();
  try {
    handedOut_.push_back(HandedOutBuffer{record, std::move(bitmap), 1});
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  record->handedOut_ = true;
  return result;
}

bool TPxVirtualImageList::GiveBackAt(size_t entry, bool writeBack) {
  TPxImageRecord* record = handedOut_[entry].record;
  --handedOut_[entry].count;
  bool ok = true;
  if (writeBack) ok = StoreBitmap(record, *handedOut_[entry].bitmap);
  if (handedOut_[entry].count <= 0) {
    record->handedOut_ = false;
    handedOut_.erase(handedOut_.begin() + (ptrdiff_t)entry);
  }
  return ok;
}

bool TPxVirtualImageList::GiveBack(TPxBitmap* bitmap, bool writeBack) {
  if (!bitmap) return false;
  for (size_t i = 0; i < handedOut_.size(); ++i)
    if (handedOut_[i].bitmap.get() == bitmap) return GiveBackAt(i, writeBack);
  return false;
}

bool TPxVirtualImageList::GiveBackRecord(TPxImageRecord* record, bool writeBack) {
  if (!Owns(record)) return false;
  for (size_t i = 0; i < handedOut_.size(); ++i)
    if (handedOut_[i].record == record) return GiveBackAt(i, writeBack);
  return false;
}

// ---------------------------------------------------------------------------
// Queries

int32_t TPxVirtualImageList::ImageWidth(const TPxImageRecord* record) const {
  if (!Owns(record)) return 0;
  const HandedOutBuffer* e = record->handedOut_ ? HandedOutFor(record) : nullptr;
  return e ? e->bitmap->Width() : record->width_;
}

int32_t TPxVirtualImageList::ImageHeight(const TPxImageRecord* record) const {
  if (!Owns(record)) return 0;
  const HandedOutBuffer* e = record->handedOut_ ? HandedOutFor(record) : nullptr;
  return e ? e->bitmap->Height() : record->height_;
}

int32_t TPxVirtualImageList::ImageBitCount(const TPxImageRecord* record) const {
  if (!Owns(record)) return 0;
  const HandedOutBuffer* e = record->handedOut_ ? HandedOutFor(record) : nullptr;
  return e ? e->bitmap->BitCount() : record->bitCount_;
}

TPxPixelFormat TPxVirtualImageList::ImagePixelFormat(const TPxImageRecord* record) const {
  if (!Owns(record)) return pxNone;
  const HandedOutBuffer* e = record->handedOut_ ? HandedOutFor(record) : nullptr;
  return e ? e->bitmap->PixelFormat() : record->pixelFormat_;
}

uint8_t* TPxVirtualImageList::PixelData(TPxImageRecord* record) {
  if (!Owns(record)) return nullptr;
  if (HandedOutBuffer* e = record->handedOut_ ? HandedOutFor(record) : nullptr)
    return e->bitmap->PlatformBitmap().Bits;  // none when the rows are not one block
  if (!Access(record, kPxAccessRead)) return nullptr;
  return record->memory_;
}

uint8_t* TPxVirtualImageList::AlphaData(TPxImageRecord* record) {
  if (!Owns(record) || !record->hasAlpha_) return nullptr;
  if (HandedOutBuffer* e = record->handedOut_ ? HandedOutFor(record) : nullptr)
    return e->bitmap->HasAlphaChannel() ? e->bitmap->AlphaChannel()->PlatformBitmap().Bits
                                        : nullptr;
  if (!Access(record, kPxAccessRead) || !record->memory_) return nullptr;
  uint8_t* flag = record->memory_ + RowLength(record->width_, record->bitCount_) * record->height_;
  return *flag == 0 ? flag + 1 : nullptr;
}

const TBGR* TPxVirtualImageList::Palette(TPxImageRecord* record) {
  if (!Owns(record)) return nullptr;
  if (HandedOutBuffer* e = record->handedOut_ ? HandedOutFor(record) : nullptr)
    return e->bitmap->Palette();
  return record->pixelFormat_ == px8p ? record->palette_.get() : nullptr;
}

void TPxVirtualImageList::SetSourceWidth(TPxImageRecord* record, int32_t width) {
  if (Owns(record)) record->sourceWidth_ = width;
}

void TPxVirtualImageList::SetSourceHeight(TPxImageRecord* record, int32_t height) {
  if (Owns(record)) record->sourceHeight_ = height;
}

// ---------------------------------------------------------------------------
// Deleting

void TPxVirtualImageList::Delete(TPxImageRecord* record) {
  if (!Owns(record)) return;
  if (record->usedSize_ > 0) holes_.push_back(Hole{record->position_, record->usedSize_});
  for (size_t i = 0; i < handedOut_.size(); ++i)
    if (handedOut_[i].record == record) {
      handedOut_.erase(handedOut_.begin() + (ptrdiff_t)i);
      break;
    }
  DropCopy(*record);  // the image is gone: nothing to write back
  const size_t index = record->index_;
  if (index + 1 != records_.size()) {
    std::swap(records_[index], records_.back());
    records_[index]->index_ = index;
  }
  records_.pop_back();
  if (records_.empty()) {
    fileSize_ = growthStep_;
    endOfUsedSpace_ = 0;
    holes_.clear();
    if (file_.IsOpen()) file_.SetSize(fileSize_);
  }
}
