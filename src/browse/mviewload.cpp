// Loading the images of the thumbnail grid: at once on the calling thread
// (LoadImageNow), or in background through the queue, the starter thread and
// the loaders (TImagingIO background loads), which meet the grid under the
// thumbnail lock.
#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "browse/imagingmview.h"

using TLock = std::lock_guard<std::recursive_mutex>;
using TUniqueLock = std::unique_lock<std::recursive_mutex>;

// --- settings of a load ----------------------------------------------------------

namespace {

// The size of the picture in the file, also when a reduced read gave less.
int32_t SourceWidthOf(const TIOParamsVals& p) {
  if (p.FileType == ioJPEG) return p.JpegOriginalWidth;
  return p.FullWidth > 0 ? p.FullWidth : p.Width;
}
int32_t SourceHeightOf(const TIOParamsVals& p) {
  if (p.FileType == ioJPEG) return p.JpegOriginalHeight;
  return p.FullHeight > 0 ? p.FullHeight : p.Height;
}

}  // namespace

void TImagingMView::ApplyThumbOptions(TImagingIO& io, TPxStoreType storeType, int32_t tw,
                                      int32_t th) {
  if (storeType == pxtThumb) {
    // The reader picks the largest reduction that still covers the cell.
    io.Params.JpegScale = 0;
    io.Params.Width = tw;
    io.Params.Height = th;
    io.Params.GetExifThumbnail = tw <= 200 && th <= 150;
    // Camera raw: the camera's preview for small cells, else a half-size
    // development; JPEG 2000: the fewest resolution levels that cover the cell.
    io.Params.RawEmbeddedPreview = io.Params.GetExifThumbnail;
    io.Params.RawHalfSize = true;
    io.Params.Jp2Reduce = -1;
  } else {
    io.Params.JpegScale = 1;
    io.Params.RawEmbeddedPreview = false;
    io.Params.RawHalfSize = false;
    io.Params.Jp2Reduce = 0;
  }
  // Every thumbnail shows its picture as the camera was held.
  io.Params.ReadUpright();
}

bool TImagingMView::LoadableSize(TImagingIO& io, const std::string& name, TPxStoreType storeType,
                                 int32_t tw, int32_t th) {
  // The header tells the size before any pixel memory is asked for.
  int32_t type = TImagingIO::DetectFileType(name, false);
  if (type == 0) {
    const TPxFileFormat* row = PxFindFileFormatByExtension(PxExtractFileExt(name));
    if (row && row->ReadFunction) type = row->FileType;
  }
  if (type == 0) return false;
  io.ReadParamsFromFileAsType(name, type);
  if (io.Aborting) return false;
  int64_t w = io.Params.Width, h = io.Params.Height;
  if (w <= 0 || h <= 0) return true;  // the reader decides
  if (type == ioRAW && storeType == pxtThumb) {
    w = (w + 1) / 2;
    h = (h + 1) / 2;
  }
  if (type == ioJPEG && storeType == pxtThumb) {
    int d = 1;
    for (int k : {8, 4, 2})
      if (w / k >= tw && h / k >= th) {
        d = k;
        break;
      }
    w = (w + d - 1) / d;
    h = (h + d - 1) / d;
  }
  return w * h <= kPxMViewMaxLoadPixels;
}

bool TImagingMView::LoadFile(TImagingIO& io, TPxBitmap& target, const std::string& name,
                             int32_t tw, int32_t th, TPxStoreType storeType) {
  const size_t sep = name.find("::");
  const std::string file = sep == std::string::npos ? name : name.substr(0, sep);
  int frame = 0;
  if (sep != std::string::npos) {
    // Not a number: frame 0.
    char* end = nullptr;
    const std::string n = name.substr(sep + 2);
    const long v = std::strtol(n.c_str(), &end, 10);
    frame = end && *end == '\0' && !n.empty() && v >= 0 ? int(v) : 0;
  }
  try {
    if (!LoadableSize(io, file, storeType, tw, th)) return false;
    ApplyThumbOptions(io, storeType, tw, th);
    io.SetTargetBitmap(&target);
    if (sep == std::string::npos) {
      io.LoadFromFileAuto(file);
    } else {
      // No reader of this library keeps more than one frame: frame 0 is the
      // file's picture, later frames cannot be had.
      if (frame != 0) return false;
      io.LoadFromFile(file);
    }
  } catch (...) {
    return false;
  }
  return !io.Aborting && !target.IsEmpty();
}

// --- loading now ---------------------------------------------------------------------

void TImagingMView::PlaceholderFor(int index) {
  TPxBitmap placeholder;
  DrawWrongImage(placeholder, index);
  StoreImage(index, placeholder, true, false);
}

bool TImagingMView::LoadImageNow(int index) {
  TLock lock(PxThumbnailLock());
  TPxMViewEntry* e = EntryAt(index);
  if (!e) return false;
  if (e->ImageID >= 0 && OnImageIDRequest) {
    TPxPlatformBitmap bitmap;
    OnImageIDRequest(this, e->ImageID, bitmap);
    if (bitmap.Bits) SetImageFromTBitmap(index, bitmap);
    return true;
  }
  if (e->ImageID >= 0 && OnImageIDRequestEx) {
    TPxBitmap* bitmap = nullptr;
    OnImageIDRequestEx(this, e->ImageID, bitmap);
    if (bitmap) SetImage(index, bitmap);
    return true;
  }
  if (e->FileName.empty()) return true;

  const std::string name = e->FileName;
  TImagingIO* loader = io_.get();
  const size_t sep = name.find("::");
  if (sep != std::string::npos) {
    const std::string file = name.substr(0, sep);
    auto it = std::find_if(fileIOs_.begin(), fileIOs_.end(),
                           [&](const auto& p) { return p.first == file; });
    if (it == fileIOs_.end()) {
      fileIOs_.emplace_back(file, std::make_unique<TImagingIO>());
      it = fileIOs_.end() - 1;
    }
    loader = it->second.get();
  }
  TPxBitmap target;
  loader->SetBackground(e->BackgroundColor);
  loader->OnProgress = OnIOProgress;
  const bool ok = LoadFile(*loader, target, name, thumbWidth_, thumbHeight_, storeType_);
  loader->SetTargetBitmap(nullptr);
  loader->OnProgress = nullptr;
  e = EntryAt(index);
  if (!e) return ok;
  if (mio_ && index < mio_->ParamsCount()) {
    mio_->Params(index) = loader->Params;
    mio_->Params(index).Owner = nullptr;
  }
  e->BackgroundColor = loader->Background();
  if (!ok) {
    PlaceholderFor(index);
    return false;
  }
  const int32_t sw = SourceWidthOf(loader->Params);
  const int32_t sh = SourceHeightOf(loader->Params);
  StoreImage(index, target, true, false);
  SetImageSourceWidth(index, sw);
  SetImageSourceHeight(index, sh);
  return true;
}

// --- the queue ------------------------------------------------------------------------

void TImagingMView::PublishLoadState() {
  TLock lock(PxThumbnailLock());
  loadState_.viewX = viewX_;
  loadState_.viewY = viewY_;
  loadState_.width = ClientWidth();
  loadState_.height = ClientHeight();
  loadState_.thumbWidth = thumbWidth_;
  loadState_.thumbHeight = thumbHeight_;
  loadState_.storeType = storeType_;
  loadState_.threadPoolSize = threadPoolSize_;
  loadState_.haveIDHandler = OnImageIDRequest || OnImageIDRequestEx;
}

bool TImagingMView::EntryVisibleLocked(const TPxMViewEntry& e) const {
  const LoadState& s = loadState_;
  const int32_t left = e.X - s.viewX, top = e.Y - s.viewY;
  return left <= s.width - 1 && left + s.thumbWidth - 1 >= 0 && top <= s.height - 1 &&
         top + s.thumbHeight - 1 >= 0;
}

int TImagingMView::IndexOfId(uint64_t id, int hint) const {
  if (hint >= 0 && hint < (int)entries_.size() && entries_[size_t(hint)]->Id == id) return hint;
  for (size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i]->Id == id) return (int)i;
  return -1;
}

bool TImagingMView::InKeepLocked(uint64_t id, int) const {
  return std::any_of(keep_.begin(), keep_.end(), [id](const QueuedLoad& k) { return k.Id == id; });
}

void TImagingMView::PurgeQueueLocked() {
  std::erase_if(queue_, [&](QueuedLoad& q) {
    const int i = IndexOfId(q.Id, q.IndexHint);
    if (i < 0) return true;
    q.IndexHint = i;
    return !EntryVisibleLocked(*entries_[size_t(i)]) && !InKeepLocked(q.Id, i);
  });
}

void TImagingMView::PurgeRunningLocked(std::vector<std::unique_ptr<TPxLoader>>& finished) {
  for (auto it = running_.begin(); it != running_.end();) {
    TPxLoader& l = **it;
    if (l.Tag == kPxLoadFinished) {
      finished.push_back(std::move(*it));
      it = running_.erase(it);
      continue;
    }
    if (l.Tag >= 0) {
      const int i = IndexOfId(uint64_t(l.Tag), l.IndexHint);
      if (i >= 0) l.IndexHint = i;
      if (i < 0 || (!EntryVisibleLocked(*entries_[size_t(i)]) && !InKeepLocked(uint64_t(l.Tag), i))) {
        l.Tag = kPxLoadAbandoned;
        l.Abandon = true;
      }
    }
    ++it;
  }
}

bool TImagingMView::QueueImageLoad(int index) {
  std::vector<std::unique_ptr<TPxLoader>> finished;
  bool result = true;
  {
    TLock lock(PxThumbnailLock());
    TPxMViewEntry* e = EntryAt(index);
    if (!e) return true;
    // Such names are always loaded on the calling thread.
    if (e->FileName.find("::") != std::string::npos) return false;
    if (!e->Image) {
      PurgeQueueLocked();
      const uint64_t id = e->Id;
      const bool queued =
          std::any_of(queue_.begin(), queue_.end(), [id](const QueuedLoad& q) { return q.Id == id; }) ||
          std::any_of(running_.begin(), running_.end(),
                      [id](const auto& l) { return l->Tag == int64_t(id); });
      if (!queued) {
        PurgeRunningLocked(finished);
        if ((e->ImageID >= 0 && (OnImageIDRequest || OnImageIDRequestEx)) || e->FileName.empty())
          result = false;
        else
          queue_.push_back(QueuedLoad{id, index});
      }
    }
  }
  starter_->Wake();
  // Finished loaders go outside the lock: freeing one joins its thread.
  finished.clear();
  return result;
}

void TImagingMView::AbortLoads() {
  {
    TLock lock(PxThumbnailLock());
    keep_.clear();
    queue_.clear();
    for (auto& l : running_)
      if (l->Tag >= 0) {
        l->Tag = kPxLoadAbandoned;
        l->Abandon = true;
      }
  }
  starter_->Wake();
  // The starter frees the loaders as they end; a loader may take longer
  // (its reader stops at its next progress report), the destruction joins it.
  TUniqueLock lock(PxThumbnailLock());
  loadsChanged_.wait_for(lock, std::chrono::milliseconds(kPxAbortWaitSteps * kPxAbortWaitStepMs),
                         [this] { return running_.empty(); });
}

int TImagingMView::QueuedLoadCount() const {
  TLock lock(PxThumbnailLock());
  return (int)queue_.size();
}

int TImagingMView::RunningLoadCount() const {
  TLock lock(PxThumbnailLock());
  return (int)std::count_if(running_.begin(), running_.end(),
                            [](const auto& l) { return l->Tag >= 0; });
}

int TImagingMView::AbandonedLoadCount() const {
  TLock lock(PxThumbnailLock());
  return (int)std::count_if(running_.begin(), running_.end(),
                            [](const auto& l) { return l->Tag == kPxLoadAbandoned; });
}

// --- the starter ------------------------------------------------------------------------

TPxStarter::TPxStarter(TImagingMView* grid) : grid_(grid) {}

TPxStarter::~TPxStarter() { Stop(); }

void TPxStarter::Wake() {
  TLock lock(PxThumbnailLock());
  if (stopped_) return;
  // Made at the first request: until then the grid needs no thread.
  if (!thread_.joinable()) thread_ = std::thread([this] { Execute(); });
  wake_ = true;
  cv_.notify_all();
}

void TPxStarter::Stop() {
  {
    TLock lock(PxThumbnailLock());
    stopped_ = true;
    cv_.notify_all();
  }
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TPxStarter::Execute() {
  TUniqueLock lock(PxThumbnailLock());
  while (!stopped_) {
    wake_ = false;
    std::vector<std::unique_ptr<TPxLoader>> finished;
    std::vector<TImagingMView::LoadStart> toStart;
    grid_->StarterPass(finished, toStart);
    lock.unlock();
    // Freeing a finished loader joins its thread; starting one reads the
    // file's header: neither under the lock.
    finished.clear();
    for (const auto& s : toStart) grid_->StartLoader(s);
    lock.lock();
    grid_->loadsChanged_.notify_all();
    if (stopped_) break;
    const auto woken = [this] { return wake_ || stopped_; };
    if (grid_->queue_.empty() && grid_->running_.empty())
      cv_.wait(lock, woken);
    else
      cv_.wait_for(lock, std::chrono::milliseconds(kPxStarterSleepMs), woken);
  }
}

void TImagingMView::StarterPass(std::vector<std::unique_ptr<TPxLoader>>& finished,
                                std::vector<LoadStart>& toStart) {
  PurgeRunningLocked(finished);
  PurgeQueueLocked();
  while (!queue_.empty() && (int)running_.size() < loadState_.threadPoolSize) {
    const QueuedLoad q = queue_.front();
    queue_.erase(queue_.begin());
    const int i = IndexOfId(q.Id, q.IndexHint);
    if (i < 0) continue;
    TPxMViewEntry& e = *entries_[size_t(i)];
    if (e.Image || e.FileName.empty()) continue;
    auto loader = std::make_unique<TPxLoader>();
    loader->IO = std::make_unique<TImagingIO>();
    loader->Target = std::make_unique<TPxBitmap>();
    loader->Tag = int64_t(q.Id);
    loader->IndexHint = i;
    loader->IO->SetTargetBitmap(loader->Target.get());
    loader->IO->SetBackground(e.BackgroundColor);
    toStart.push_back(LoadStart{loader.get(), e.FileName, loadState_});
    running_.push_back(std::move(loader));
  }
}

void TImagingMView::StartLoader(const LoadStart& start) {
  TPxLoader* loader = start.Loader;
  TImagingIO& io = *loader->IO;
  const LoadState& s = start.Settings;
  bool loadable = false;
  if (!loader->Abandon) {
    try {
      loadable = LoadableSize(io, start.FileName, s.storeType, s.thumbWidth, s.thumbHeight);
    } catch (...) {
    }
  }
  if (!loadable) {
    io.Aborting = true;
    LoaderFinished(loader);
    return;
  }
  ApplyThumbOptions(io, s.storeType, s.thumbWidth, s.thumbHeight);
  const TPxProgressEvent progress = OnIOProgress;
  io.OnProgress = [loader, progress](TImagingIO* sender, int per) {
    // On the loader's own thread: an abandoned load stops its reader.
    if (loader->Abandon) sender->Aborting = true;
    if (progress) progress(sender, per);
  };
  io.OnFinishWork = [this, loader](TImagingIO*) { LoaderFinished(loader); };
  io.RunInBackground = true;
  try {
    io.LoadFromFileAuto(start.FileName);
  } catch (...) {
    // Reported through the end-of-work event already.
  }
}

void TImagingMView::LoaderFinished(TPxLoader* loader) {
  TImagingIO& io = *loader->IO;
  bool failed = io.Aborting || loader->Target->IsEmpty();
  TUniqueLock lock(PxThumbnailLock());
  if (destroying_ || loader->Tag < 0) {
    // Abandoned: what it delivers is thrown away.
    loader->Tag = kPxLoadFinished;
    lock.unlock();
    starter_->Wake();
    return;
  }
  const uint64_t id = uint64_t(loader->Tag);
  const LoadState s = loadState_;
  lock.unlock();

  // The reduction runs outside the lock: only the storing takes it.
  std::unique_ptr<TPxBitmap> thumb;
  if (!failed && s.storeType == pxtThumb) {
    try {
      thumb = MakeThumbnail(*loader->Target, false, true, s.thumbWidth, s.thumbHeight);
    } catch (...) {
      failed = true;
    }
  }

  lock.lock();
  if (!destroying_ && loader->Tag >= 0) {
    const int i = IndexOfId(id, loader->IndexHint);
    TPxMViewEntry* e = i >= 0 ? entries_[size_t(i)].get() : nullptr;
    // An image stored meanwhile on the grid's thread stays.
    if (e && !e->Image) {
      if (mio_ && i < mio_->ParamsCount()) {
        mio_->Params(i) = io.Params;
        mio_->Params(i).Owner = nullptr;
      }
      e->BackgroundColor = io.Background();
      if (!failed) {
        if (e->CellPicture) {
          cellStore_->Delete(e->CellPicture);
          e->CellPicture = nullptr;
        }
        TPxBitmap& picture = thumb ? *thumb : *loader->Target;
        e->Image = imageStore_->AddBitmap(picture);
        failed = !e->Image;
      }
      if (e->Image) {
        imageStore_->SetSourceWidth(e->Image, SourceWidthOf(io.Params));
        imageStore_->SetSourceHeight(e->Image, SourceHeightOf(io.Params));
        // The listeners are told on the grid's thread at the next paint.
        pendingNotify_ = true;
      }
      // The placeholder is drawn on the grid's thread at the next paint.
      e->LoadFailed = failed;
    }
  }
  loader->Tag = kPxLoadFinished;
  lock.unlock();
  starter_->Wake();
  pendingRepaint_ = true;
  if (TPxViewHost* host = Host()) host->HostPostInvalidate();
}
