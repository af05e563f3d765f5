// The thumbnail grid: entries, properties, layout, refresh, scrolling, hit
// testing, selection and the storing of images. Drawing is in mviewdraw.cpp,
// input in mviewinput.cpp, loading in mviewload.cpp.
#include "browse/imagingmview.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "imaging/proc/imagingproc.h"

using TLock = std::lock_guard<std::recursive_mutex>;

std::recursive_mutex& PxThumbnailLock() {
  // Created on first use and kept to the end of the program: loaders of any
  // grid may still reach it while their grid goes.
  static std::recursive_mutex* lock = new std::recursive_mutex;
  return *lock;
}

// --- wide text ---------------------------------------------------------------

std::u16string PxWideFromUtf8(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    uint32_t c = p[i];
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || (extra > 0 && i + size_t(extra) >= n)) {
      // A broken sequence stands as the replacement character.
      out.push_back(u'\xFFFD');
      ++i;
      continue;
    }
    if (extra > 0) {
      c &= 0x3Fu >> extra;
      bool ok = true;
      for (int k = 1; k <= extra; ++k) {
        if ((p[i + size_t(k)] & 0xC0) != 0x80) ok = false;
        c = (c << 6) | (p[i + size_t(k)] & 0x3F);
      }
      if (!ok) {
        out.push_back(u'\xFFFD');
        ++i;
        continue;
      }
    }
    i += size_t(extra) + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(char16_t(0xD800 + (c >> 10)));
      out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(char16_t(c));
    }
  }
  return out;
}

std::string PxUtf8FromWide(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out.push_back(char(c));
    } else if (c < 0x800) {
      out.push_back(char(0xC0 | (c >> 6)));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(char(0xE0 | (c >> 12)));
      out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else {
      out.push_back(char(0xF0 | (c >> 18)));
      out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// --- captions and entries --------------------------------------------------------

TPxMText::TPxMText(TImagingMView* owner, int position)
    : Font(owner->Font), Background(owner->Background()), owner_(owner), position_(position) {}

void TPxMText::SetCaption(const std::u16string& text) {
  caption_ = text;
  if (text.empty() || position_ == 2) return;
  int32_t tw = 0, th = 0;
  owner_->MeasureText(*this, text, tw, th);
  if (th <= 0) return;  // a host without text: nothing to make room for
  if (position_ == 0) {
    if (owner_->upperGap_ < th + 2) owner_->upperGap_ = th + 2;
  } else if (owner_->bottomGap_ < th + 2) {
    owner_->bottomGap_ = owner_->style_ == pxmsFlat ? th + 2 : th + 4;
  }
}

TPxMViewEntry::TPxMViewEntry(TImagingMView* owner)
    : Owner(owner),
      BackgroundColor(owner->Background()),
      TopText(std::make_unique<TPxMText>(owner, 0)),
      BottomText(std::make_unique<TPxMText>(owner, 1)),
      InfoText(std::make_unique<TPxMText>(owner, 2)) {}

// --- creation and destruction ------------------------------------------------------

TImagingMView::TImagingMView() {
  io_ = std::make_unique<TImagingIO>();
  imageStore_ = std::make_unique<TPxVirtualImageList>("ILIST");
  imageStore_->SetMaxImagesInMemory(imageCacheSize_);
  cellStore_ = std::make_unique<TPxVirtualImageList>("ICACHE");
  cellStore_->SetMaxImagesInMemory(kPxCellStoreInMemory);
  starter_ = std::make_unique<TPxStarter>(this);
  SetBounds(180, 90);
  PublishLoadState();
}

TImagingMView::~TImagingMView() {
  {
    TLock lock(PxThumbnailLock());
    destroying_ = true;  // loaders that finish now throw their result away
  }
  ClearSelection(false);
  AbortLoads();
  // The starter first, so that it starts no loader while the others go.
  starter_->Stop();
  std::vector<std::unique_ptr<TPxLoader>> left;
  {
    TLock lock(PxThumbnailLock());
    left.swap(running_);
    queue_.clear();
  }
  // Outside the lock: a loader still running takes it once more to finish.
  left.clear();
  fileIOs_.clear();
  mio_.reset();
  proc_.reset();
  {
    TLock lock(PxThumbnailLock());
    entries_.clear();
    imageStore_.reset();
    cellStore_.reset();
  }
  io_.reset();
  DetachListeners();
}

// --- properties ----------------------------------------------------------------------

void TImagingMView::SetScrollBars(TScrollStyle value) {
  scrollBars_ = value;
  Update();
}
void TImagingMView::SetStoreType(TPxStoreType value) {
  storeType_ = value;
  PublishLoadState();
}
void TImagingMView::SetThumbWidth(int32_t value) {
  thumbWidth_ = std::max(1, value);
  Update();  // drops every cell picture
}
void TImagingMView::SetThumbHeight(int32_t value) {
  thumbHeight_ = std::max(1, value);
  Update();
}
void TImagingMView::SetHorizBorder(int32_t value) {
  horizBorder_ = std::max(0, value);
  Update();
}
void TImagingMView::SetVertBorder(int32_t value) {
  vertBorder_ = std::max(0, value);
  Update();
}
void TImagingMView::SetUpperGap(int32_t value) {
  upperGap_ = std::max(0, value);
  Update();
}
void TImagingMView::SetBottomGap(int32_t value) {
  bottomGap_ = std::max(0, value);
  Update();
}
void TImagingMView::SetDisplayMode(TPxDisplayMode value) {
  displayMode_ = value;
  Update();
}
void TImagingMView::SetGridWidth(int32_t value) {
  gridWidth_ = value;
  Update();
}
void TImagingMView::SetVisibleSelection(bool value) {
  visibleSelection_ = value;
  Update();
}
void TImagingMView::SetSelectionWidth(int32_t value) {
  selectionWidth_ = std::max(0, value);
  Update();
}
void TImagingMView::SetSelectionColor(TColor value) {
  selectionColor_ = value;
  Update();
}
void TImagingMView::SetSelectionStyle(TPxSelectionStyle value) {
  const bool changed = value != selectionStyle_;
  selectionStyle_ = value;
  UpdateIfChanged(changed);
}
void TImagingMView::SetStyle(TPxMStyle value) {
  const bool changed = value != style_;
  style_ = value;
  UpdateIfChanged(changed);
}
void TImagingMView::SetThumbnailsBackgroundStyle(TPxBackgroundStyle value) {
  thumbsBackgroundStyle_ = value;
  Update();
}
void TImagingMView::SetThumbnailsBorderWidth(int32_t value) {
  value = std::max(0, value);
  const bool changed = value != thumbsBorderWidth_;
  thumbsBorderWidth_ = value;
  UpdateIfChanged(changed);
}
void TImagingMView::SetThumbnailsBorderColor(TColor value) {
  const bool changed = value != thumbsBorderColor_;
  thumbsBorderColor_ = value;
  UpdateIfChanged(changed);
}
void TImagingMView::SetThumbnailsInternalBorder(bool value) {
  const bool changed = value != thumbsInternalBorder_;
  thumbsInternalBorder_ = value;
  UpdateIfChanged(changed);
}
void TImagingMView::SetThumbnailsInternalBorderColor(TColor value) {
  const bool changed = value != thumbsInternalBorderColor_;
  thumbsInternalBorderColor_ = value;
  UpdateIfChanged(changed);
}
void TImagingMView::SetEnableMultiSelect(bool value) {
  const bool changed = value != enableMultiSelect_;
  enableMultiSelect_ = value;
  UpdateIfChanged(changed);
}
void TImagingMView::SetRemoveCorrupted(bool value) {
  removeCorrupted_ = value;
  Update();
}
void TImagingMView::SetDrawImageBackground(bool value) {
  drawImageBackground_ = value;
  Update();
}
void TImagingMView::SetImageCacheSize(int32_t value) {
  imageCacheSize_ = value;
  TLock lock(PxThumbnailLock());
  if (imageStore_) imageStore_->SetMaxImagesInMemory(value);
}
void TImagingMView::SetThreadPoolSize(int32_t value) {
  threadPoolSize_ = std::max(0, value);
  PublishLoadState();
  starter_->Wake();
}
void TImagingMView::SetEnableAlphaChannel(bool value) {
  enableAlphaChannel_ = value;
  Update();
}
void TImagingMView::SetWallPaper(const TPxBitmap* picture) {
  if (!picture || picture->IsEmpty())
    wallPaper_.FreeImage();
  else
    wallPaper_.Assign(*picture);
  Update();
}
void TImagingMView::SetWallPaperStyle(TPxWallPaperStyle value) {
  const bool changed = value != wallPaperStyle_;
  wallPaperStyle_ = value;
  UpdateIfChanged(changed);
}

// --- entries ---------------------------------------------------------------------------

TPxMViewEntry* TImagingMView::EntryAt(int index) const {
  if (index < 0 || index >= (int)entries_.size()) return nullptr;
  return entries_[size_t(index)].get();
}

int TImagingMView::ImageCount() const {
  TLock lock(PxThumbnailLock());
  return (int)entries_.size();
}

int TImagingMView::AppendImage() {
  const int index = ImageCount();
  InsertImage(index);
  return index;
}

void TImagingMView::InsertImage(int index) { InsertEntry(index, true); }
void TImagingMView::InsertImageNoSelect(int index) { InsertEntry(index, false); }

void TImagingMView::InsertEntry(int index, bool select) {
  {
    TLock lock(PxThumbnailLock());
    index = std::clamp(index, 0, (int)entries_.size());
    auto entry = std::make_unique<TPxMViewEntry>(this);
    entry->Id = nextEntryId_++;
    entries_.insert(entries_.begin() + index, std::move(entry));
  }
  // Indices at and after the new entry move one place on.
  if (selectedImage_ >= index) ++selectedImage_;
  if (anchor_ >= index) ++anchor_;
  for (int& i : multiSelected_)
    if (i >= index) ++i;
  if (select) SelectInternal(index);
  RecordChange(1, select ? selectedImage_ : index);
  NotifyListeners();
  RefreshView(false);
}

bool TImagingMView::DeleteImage(int index) {
  if (index < 0) throw std::out_of_range("TImagingMView::DeleteImage: index below 0");
  if (index >= ImageCount()) return false;
  const int s = selectedImage_;
  ClearSelection(false);
  {
    TLock lock(PxThumbnailLock());
    TPxMViewEntry& e = *entries_[size_t(index)];
    DropImage(e);
    DropCellPicture(e);
    entries_.erase(entries_.begin() + index);
  }
  if (anchor_ == index)
    anchor_ = -1;
  else if (anchor_ > index)
    --anchor_;
  const int n = ImageCount();
  int select;
  if (index != s || index < n)
    select = index < s ? s - 1 : s;
  else
    select = n - 1;
  if (select >= 0) SelectInternal(select);
  RecordChange(2, index);
  NotifyListeners();
  return true;
}

void TImagingMView::Clear() {
  ClearSelection(true);
  AbortLoads();
  for (int i = ImageCount() - 1; i >= 0; --i) DeleteImage(i);
  {
    TLock lock(PxThumbnailLock());
    queue_.clear();
    imageStore_ = std::make_unique<TPxVirtualImageList>("ILIST");
    imageStore_->SetMaxImagesInMemory(imageCacheSize_);
    cellStore_ = std::make_unique<TPxVirtualImageList>("ICACHE");
    cellStore_->SetMaxImagesInMemory(kPxCellStoreInMemory);
  }
  fileIOs_.clear();
  anchor_ = -1;
  Update();
}

void TImagingMView::SetImageFileName(int index, const std::string& fileName) {
  TLock lock(PxThumbnailLock());
  TPxMViewEntry* e = EntryAt(index);
  if (!e) return;
  e->FileName = fileName;
  e->ImageID = -1;
}

std::string TImagingMView::ImageFileName(int index) const {
  TLock lock(PxThumbnailLock());
  const TPxMViewEntry* e = EntryAt(index);
  return e ? e->FileName : std::string();
}

TPxMText* TImagingMView::ImageTopText(int index) {
  TPxMViewEntry* e = EntryAt(index);
  return e ? e->TopText.get() : nullptr;
}
TPxMText* TImagingMView::ImageBottomText(int index) {
  TPxMViewEntry* e = EntryAt(index);
  return e ? e->BottomText.get() : nullptr;
}
TPxMText* TImagingMView::ImageInfoText(int index) {
  TPxMViewEntry* e = EntryAt(index);
  return e ? e->InfoText.get() : nullptr;
}

void TImagingMView::SetImageDelay(int index, int32_t ms) {
  if (TPxMViewEntry* e = EntryAt(index)) e->Delay = ms;
}
int32_t TImagingMView::ImageDelay(int index) const {
  const TPxMViewEntry* e = EntryAt(index);
  return e ? e->Delay : 0;
}

void TImagingMView::SetImageID(int index, int32_t id) {
  TLock lock(PxThumbnailLock());
  if (TPxMViewEntry* e = EntryAt(index)) e->ImageID = id;
}

int32_t TImagingMView::ImageRow(int index) const {
  const TPxMViewEntry* e = EntryAt(index);
  return e ? e->Row : 0;
}
int32_t TImagingMView::ImageCol(int index) const {
  const TPxMViewEntry* e = EntryAt(index);
  return e ? e->Column : 0;
}
int32_t TImagingMView::ImageX(int index) const {
  const TPxMViewEntry* e = EntryAt(index);
  return e ? e->X : 0;
}
int32_t TImagingMView::ImageY(int index) const {
  const TPxMViewEntry* e = EntryAt(index);
  return e ? e->Y : 0;
}
TRect TImagingMView::ImageThumbRect(int index) const {
  TLock lock(PxThumbnailLock());
  const TPxMViewEntry* e = EntryAt(index);
  return e ? e->ThumbRect : TRect{};
}

bool TImagingMView::HasImage(int index) const {
  TLock lock(PxThumbnailLock());
  const TPxMViewEntry* e = EntryAt(index);
  return e && e->Image;
}
bool TImagingMView::HasCellPicture(int index) const {
  TLock lock(PxThumbnailLock());
  const TPxMViewEntry* e = EntryAt(index);
  return e && e->CellPicture;
}

bool TImagingMView::CopyStoredImage(int index, TPxBitmap& out) const {
  TLock lock(PxThumbnailLock());
  const TPxMViewEntry* e = EntryAt(index);
  return e && e->Image && imageStore_->CopyToBitmap(e->Image, out);
}
bool TImagingMView::CopyCellPicture(int index, TPxBitmap& out) const {
  TLock lock(PxThumbnailLock());
  const TPxMViewEntry* e = EntryAt(index);
  return e && e->CellPicture && cellStore_->CopyToBitmap(e->CellPicture, out);
}

void TImagingMView::DropCellPicture(TPxMViewEntry& e) {
  if (!e.CellPicture) return;
  cellStore_->Delete(e.CellPicture);
  e.CellPicture = nullptr;
}

void TImagingMView::DropImage(TPxMViewEntry& e) {
  if (!e.Image) return;
  // The store frees a buffer handed out for the record: forget it first.
  const TPxMViewEntry* selected = EntryAt(selectedImage_);
  if (selectedBitmap_ && selected == &e) selectedBitmap_ = nullptr;
  imageStore_->Delete(e.Image);
  e.Image = nullptr;
}

bool TImagingMView::CanReload(const TPxMViewEntry& e) const {
  return !e.FileName.empty() || (e.ImageID >= 0 && (OnImageIDRequest || OnImageIDRequestEx));
}

void TImagingMView::SetImageSourceWidth(int index, int32_t width) {
  TLock lock(PxThumbnailLock());
  TPxMViewEntry* e = EntryAt(index);
  if (e && e->Image) imageStore_->SetSourceWidth(e->Image, width);
}
void TImagingMView::SetImageSourceHeight(int index, int32_t height) {
  TLock lock(PxThumbnailLock());
  TPxMViewEntry* e = EntryAt(index);
  if (e && e->Image) imageStore_->SetSourceHeight(e->Image, height);
}
int32_t TImagingMView::ImageSourceWidth(int index) const {
  TLock lock(PxThumbnailLock());
  const TPxMViewEntry* e = EntryAt(index);
  return e && e->Image ? e->Image->SourceWidth() : 0;
}
int32_t TImagingMView::ImageSourceHeight(int index) const {
  TLock lock(PxThumbnailLock());
  const TPxMViewEntry* e = EntryAt(index);
  return e && e->Image ? e->Image->SourceHeight() : 0;
}

// --- storing images -----------------------------------------------------------------------

void TImagingMView::FitSize(int32_t iw, int32_t ih, int32_t w, int32_t h, int32_t& fw,
                            int32_t& fh) {
  w = std::max(1, w);
  h = std::max(1, h);
  if (iw <= 0 || ih <= 0) {
    fw = w;
    fh = h;
    return;
  }
  const double s = std::min(double(h) / ih, double(w) / iw);
  fw = std::max<int32_t>(1, int32_t(std::lrint(iw * s)));
  fh = std::max<int32_t>(1, int32_t(std::lrint(ih * s)));
}

std::unique_ptr<TPxBitmap> TImagingMView::MakeThumbnail(TPxBitmap& bitmap, bool greyTransparent,
                                                        bool all24, int32_t tw,
                                                        int32_t th) const {
  // An empty bitmap has nothing to reduce: it is stored as it is.
  if (bitmap.IsEmpty()) return nullptr;
  int32_t fw = 0, fh = 0;
  FitSize(bitmap.Width(), bitmap.Height(), tw, th, fw, fh);
  if (fw == bitmap.Width() && fh == bitmap.Height()) return nullptr;
  auto out = std::make_unique<TPxBitmap>();
  const TPxPixelFormat pf = bitmap.PixelFormat();
  const bool to24 = pf == px1g || pf == pxRGB24 || all24;
  if (!out->Allocate(fw, fh, to24 ? pxRGB24 : pf)) throw std::bad_alloc();
  // The resampling greys the fully transparent pixels of its 24-bit source;
  // where that is not wanted, or the source is the caller's, it works on a copy.
  TPxBitmap copy;
  TPxBitmap* source = &bitmap;
  if (bitmap.HasAlphaChannel() && (!greyTransparent || pf == pxRGB24)) {
    if (!copy.Assign(bitmap)) throw std::bad_alloc();
    source = &copy;
  }
  ResampleBitmap(*source, *out, to24 ? rfFastLinear : rfNone);
  if (bitmap.HasAlphaChannel() && out->HasAlphaChannel())
    out->AlphaChannel()->SetFullAlpha(bitmap.AlphaChannelIfAny()->FullAlpha());
  return out;
}

void TImagingMView::StoreImage(int index, TPxBitmap& bitmap, bool notify, bool thumbAlreadyMade) {
  TLock lock(PxThumbnailLock());
  TPxMViewEntry* e = EntryAt(index);
  if (!e) return;
  DropImage(*e);
  DropCellPicture(*e);
  std::unique_ptr<TPxBitmap> thumb;
  if (storeType_ == pxtThumb && !thumbAlreadyMade)
    thumb = MakeThumbnail(bitmap, true, false, thumbWidth_, thumbHeight_);
  e->Image = imageStore_->AddBitmap(thumb ? *thumb : bitmap);
  e->LoadFailed = false;
  if (e->Image) {
    imageStore_->SetSourceWidth(e->Image, bitmap.Width());
    imageStore_->SetSourceHeight(e->Image, bitmap.Height());
  }
  if (index == selectedImage_ && notify) NotifyListeners();
}

void TImagingMView::SetImage(int index, const TPxBitmap* bitmap) {
  if (!bitmap || !EntryAt(index)) return;
  // Only a copy with an alpha plane is changed (see MakeThumbnail).
  StoreImage(index, const_cast<TPxBitmap&>(*bitmap), true, false);
}

void TImagingMView::SetImageFromTBitmap(int index, const TPxPlatformBitmap& bitmap) {
  TPxBitmap copy;
  if (!copy.CopyFromTBitmap(bitmap)) return;
  SetImage(index, &copy);
}

TPxBitmap* TImagingMView::GetBitmap(int index) {
  TLock lock(PxThumbnailLock());
  TPxMViewEntry* e = EntryAt(index);
  if (!e) throw std::out_of_range("TImagingMView::GetBitmap: index out of range");
  if (!e->Image) LoadImageNow(index);
  e = EntryAt(index);
  if (!e || !e->Image) return nullptr;
  return imageStore_->HandOut(e->Image);
}

void TImagingMView::ReleaseBitmap(TPxBitmap* bitmap) {
  TLock lock(PxThumbnailLock());
  if (bitmap == selectedBitmap_) return;  // given back with the selection
  imageStore_->GiveBack(bitmap, false);
}

// --- multi-image input/output and processing -----------------------------------------------

TImagingMIO& TImagingMView::GetMIO() {
  TLock lock(PxThumbnailLock());
  if (!mio_) {
    mio_ = std::make_unique<TImagingMIO>();
    mio_->OnProgress = OnProgress;
    for (size_t i = 0; i < entries_.size(); ++i)
      mio_->params_.push_back(std::make_unique<TIOParamsVals>());
  }
  return *mio_;
}

TImagingProc& TImagingMView::GetProc() {
  if (!proc_) proc_ = std::make_unique<TImagingProc>();
  proc_->AttachBitmap(GetSelectedBitmap());
  return *proc_;
}

void TImagingMView::RecordChange(int kind, int index1, int index2) {
  changeKind_ = kind;
  changeIndex1_ = index1;
  changeIndex2_ = index2;
  TLock lock(PxThumbnailLock());
  if (!mio_) return;
  auto& list = mio_->params_;
  if (kind == 1 && index1 >= 0 && index1 <= (int)list.size()) {
    // A new record copies its neighbour: the one before when appended.
    auto record = std::make_unique<TIOParamsVals>();
    const int from = index1 == (int)list.size() ? index1 - 1 : index1;
    if (from >= 0) *record = *list[size_t(from)];
    record->Owner = nullptr;
    list.insert(list.begin() + index1, std::move(record));
  } else if (kind == 2 && index1 >= 0 && index1 < (int)list.size()) {
    list.erase(list.begin() + index1);
  }
}

void TImagingMView::NotifyListeners() {
  CallBitmapChangeEvents();
  changeKind_ = 0;
  changeIndex1_ = changeIndex2_ = -1;
}

// --- layout and refresh -------------------------------------------------------------------------

int32_t TImagingMView::Columns() const {
  if (gridWidth_ != -1) return gridWidth_;
  return (ClientWidth() - horizBorder_) / (horizBorder_ + thumbWidth_);
}

void TImagingMView::UpdateLayout() {
  TLock lock(PxThumbnailLock());
  const int32_t cols = Columns();
  int32_t c = 0, r = 0, maxX = -1, maxY = -1;
  for (auto& e : entries_) {
    e->X = c * (thumbWidth_ + horizBorder_);
    e->Y = r * (thumbHeight_ + vertBorder_);
    if (displayMode_ == mdGrid) {
      e->X += horizBorder_;
      e->Y += vertBorder_;
    }
    e->Row = r;
    e->Column = c;
    maxX = std::max(maxX, e->X);
    maxY = std::max(maxY, e->Y);
    ++c;
    if (displayMode_ == mdSingle) {
      c = r = 0;
    } else if (cols > 0 && c == cols) {
      c = 0;
      ++r;
    }
  }
  contentWidth_ = std::max(maxX, 0) + thumbWidth_ + horizBorder_;
  contentHeight_ = std::max(maxY, 0) + thumbHeight_ + vertBorder_;
}

int32_t TImagingMView::MaxViewX() const { return std::max(0, contentWidth_ - ClientWidth()); }
int32_t TImagingMView::MaxViewY() const { return std::max(0, contentHeight_ - ClientHeight()); }

int TImagingMView::UnlockUpdate() {
  if (lockCount_ > 0) --lockCount_;
  if (lockCount_ == 0) Update();
  return lockCount_;
}

int TImagingMView::UnlockUpdateNoRefresh() {
  if (lockCount_ > 0) --lockCount_;
  return lockCount_;
}

void TImagingMView::Update() { RefreshView(true); }

void TImagingMView::SetScrollBarsFor(int32_t maxX, int32_t maxY) {
  TPxViewHost* host = Host();
  auto bar = [&](bool horizontal, bool allowed, int32_t max, int32_t client, int32_t view,
                 double& factor, int32_t& barMax) {
    barMax = 0;
    if (!allowed || max <= 0) {
      factor = 1;
      if (host) host->HostSetScrollBar(horizontal, false, 0, 0, 0);
      return;
    }
    factor = (double(client) + max - 1) / 65536.0;
    const int32_t page = int32_t(std::lrint(client / factor));
    const int32_t pos = int32_t(std::lrint(view / factor));
    // Positions 0 .. 65536 - page reach every view position.
    barMax = std::max(0, 65536 - page);
    if (host) host->HostSetScrollBar(horizontal, true, barMax, page, pos);
  };
  bar(true, scrollBars_ == ssHorizontal || scrollBars_ == ssBoth, maxX, ClientWidth(), viewX_,
      hFactor_, hBarMax_);
  bar(false, scrollBars_ == ssVertical || scrollBars_ == ssBoth, maxY, ClientHeight(), viewY_,
      vFactor_, vBarMax_);
}

void TImagingMView::RefreshView(bool dropCellPictures) {
  if (lockCount_ > 0 || refreshing_ || destroying_ || !cellStore_) return;
  refreshing_ = true;
  if (dropCellPictures) {
    TLock lock(PxThumbnailLock());
    for (auto& e : entries_) DropCellPicture(*e);
  }
  for (int pass = 0; pass < 9; ++pass) {
    const int cw = ClientWidth(), ch = ClientHeight();
    // Showing a bar changes the client size and so, for GridWidth -1, the columns.
    UpdateLayout();
    const int32_t maxX = MaxViewX(), maxY = MaxViewY();
    if (viewX_ > maxX) {
      viewX_ = maxX;
      DoViewChange(0);
    }
    if (viewY_ > maxY) {
      viewY_ = maxY;
      DoViewChange(0);
    }
    SetScrollBarsFor(maxX, maxY);
    if (ClientWidth() == cw && ClientHeight() == ch) break;
  }
  NotifyListeners();
  refreshing_ = false;
  PublishLoadState();
  Invalidate();
}

// --- scrolling -----------------------------------------------------------------------------

void TImagingMView::SetViewXYInternal(int32_t x, int32_t y, bool setX, bool setY) {
  const int32_t nx = setX ? std::clamp(x, 0, MaxViewX()) : viewX_;
  const int32_t ny = setY ? std::clamp(y, 0, MaxViewY()) : viewY_;
  if (nx == viewX_ && ny == viewY_) return;
  viewX_ = nx;
  viewY_ = ny;
  Invalidate();
  SetScrollBarsFor(MaxViewX(), MaxViewY());
  PublishLoadState();
  // Loads of entries that left the view are abandoned at the starter's next pass.
  starter_->Wake();
}

void TImagingMView::SetViewX(int32_t x) { SetViewXYInternal(x, 0, true, false); }
void TImagingMView::SetViewY(int32_t y) { SetViewXYInternal(0, y, false, true); }
void TImagingMView::SetViewXY(int32_t x, int32_t y) { SetViewXYInternal(x, y, true, true); }

// --- hit testing and visibility ---------------------------------------------------------------

int TImagingMView::ImageAtGridPos(int32_t row, int32_t col) const {
  const int32_t cols = Columns();
  // Without columns every entry lies in row 0.
  if (cols <= 0 || displayMode_ == mdSingle) return row == 0 ? col : -1;
  return col + row * cols;
}

int TImagingMView::ImageAtPos(int32_t x, int32_t y) const {
  const int32_t cx = x + viewX_, cy = y + viewY_;
  if (cx < 0 || cy < 0) return -1;
  const int index = displayMode_ == mdSingle
                        ? 0
                        : ImageAtGridPos(cy / (vertBorder_ + thumbHeight_),
                                         cx / (horizBorder_ + thumbWidth_));
  const TPxMViewEntry* e = EntryAt(index);
  if (!e) return -1;
  const int32_t left = e->X - viewX_, top = e->Y - viewY_;
  if (x < left || x > left + thumbWidth_ - 1 || y < top || y > top + thumbHeight_ - 1) return -1;
  return index;
}

bool TImagingMView::EntryVisible(const TPxMViewEntry& e) const {
  const int32_t left = e.X - viewX_, top = e.Y - viewY_;
  return left <= ClientWidth() - 1 && left + thumbWidth_ - 1 >= 0 && top <= ClientHeight() - 1 &&
         top + thumbHeight_ - 1 >= 0;
}

int TImagingMView::IsImageVisible(int index) const {
  const TPxMViewEntry* e = EntryAt(index);
  if (!e) return 0;
  const int32_t cw = ClientWidth(), ch = ClientHeight();
  const int32_t l = e->X - viewX_, r = l + thumbWidth_ - 1;
  const int32_t t = e->Y - viewY_, b = t + thumbHeight_ - 1;
  auto inX = [cw](int32_t v) { return v >= 0 && v <= cw - 1; };
  auto inY = [ch](int32_t v) { return v >= 0 && v <= ch - 1; };
  if (inX(l) && inX(r) && inY(t) && inY(b)) return 2;
  // Any other overlap is partial, also a cell larger than the client area.
  return EntryVisible(*e) ? 1 : 0;
}

// --- selection ---------------------------------------------------------------------------------

bool TImagingMView::Extending() const { return (currentShift_ & (ssShift | ssCtrl)) != 0; }

bool TImagingMView::IsSelected(int index) const {
  if (index < 0) return false;
  if (index == selectedImage_) return true;
  return std::find(multiSelected_.begin(), multiSelected_.end(), index) != multiSelected_.end();
}

void TImagingMView::GiveBackSelectedBitmap(bool writeBack) {
  if (!selectedBitmap_) return;
  TLock lock(PxThumbnailLock());
  imageStore_->GiveBack(selectedBitmap_, writeBack);
  selectedBitmap_ = nullptr;
}

TPxBitmap* TImagingMView::GetSelectedBitmap() {
  if (selectedImage_ < 0) return nullptr;
  if (selectedBitmap_) return selectedBitmap_;
  TLock lock(PxThumbnailLock());
  TPxMViewEntry* e = EntryAt(selectedImage_);
  if (!e) return nullptr;
  if (!e->Image) LoadImageNow(selectedImage_);
  e = EntryAt(selectedImage_);
  if (!e || !e->Image) return nullptr;
  selectedBitmap_ = imageStore_->HandOut(e->Image);
  return selectedBitmap_;
}

void TImagingMView::SelectInternal(int index) {
  selectionChanged_ = false;
  if (index < 0 || index >= ImageCount()) return;
  GiveBackSelectedBitmap(true);
  if (enableMultiSelect_) {
    if (!Extending() && !keyboardExtend_) {
      const std::vector<int> old = std::move(multiSelected_);
      multiSelected_.clear();
      for (int i : old) DoImageDeselect(i);
      selectionChanged_ = true;
    } else {
      auto it = std::find(multiSelected_.begin(), multiSelected_.end(), index);
      if (it != multiSelected_.end()) {
        multiSelected_.erase(it);
        DoImageDeselect(index);
        selectionChanged_ = true;
        // A Ctrl click toggles the entry off; Shift ranges and keys keep it.
        const bool ctrlToggle =
            (currentShift_ & ssCtrl) && !(currentShift_ & ssShift) && !keyboardExtend_;
        if (ctrlToggle) {
          selectedImage_ = -1;
          return;
        }
      }
    }
    multiSelected_.push_back(index);
  }
  selectedImage_ = index;
  selectionChanged_ = true;
  selectedBitmap_ = nullptr;
  NotifyListeners();
  DoImageSelect(index);
}

void TImagingMView::SetSelectedImage(int index) {
  if (index < 0 || index >= ImageCount()) return;
  if (index == selectedImage_ && !(enableMultiSelect_ && (Extending() || keyboardExtend_))) return;
  SelectInternal(index);
  RefreshView(false);
}

void TImagingMView::ClearSelection(bool refresh) {
  GiveBackSelectedBitmap(true);
  std::vector<int> old = std::move(multiSelected_);
  multiSelected_.clear();
  if (old.empty() && selectedImage_ >= 0) old.push_back(selectedImage_);
  selectedImage_ = -1;
  for (int i : old) DoImageDeselect(i);
  if (refresh) RefreshView(false);
}

void TImagingMView::Deselect() { ClearSelection(true); }

void TImagingMView::DoViewChange(int change) {
  if (userAction_ > 0 && OnViewChange) OnViewChange(this, change);
}
void TImagingMView::DoImageSelect(int index) {
  if (userAction_ > 0 && OnImageSelect) OnImageSelect(this, index);
}
void TImagingMView::DoImageDeselect(int index) {
  if (userAction_ > 0 && !destroying_ && OnImageDeselect) OnImageDeselect(this, index);
}
