#include "imaging/io/imagingio.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

#include "imaging/formats/codecio.h"
#include "imaging/io/formattable.h"
#include "imaging/proc/imagingproc.h"
#include "imaging/proc/mergerows.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The built-in rows are filled in formattable.cpp; extensions append theirs.
std::vector<TPxFileFormat>& FormatTable() {
  static std::vector<TPxFileFormat> table = PxBuiltInFormats();
  return table;
}

std::vector<std::string> SplitExtensions(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) out.push_back(Lower(list.substr(start, end - start)));
    start = end + 1;
  }
  return out;
}

struct ExtensionType {
  const char* extension;
  int32_t type;
};

// Extensions that load with a reader of their own, and the reader's FileType.
constexpr ExtensionType kLoadExtensions[] = {
    {".jpg", ioJPEG},  {".jpeg", ioJPEG}, {".jpe", ioJPEG},  {".jp2", ioJP2},   {".j2k", ioJ2K},
    {".jpc", ioJ2K},   {".j2c", ioJ2K},   {".png", ioPNG},   {".tif", ioTIFF},  {".tiff", ioTIFF},
    {".fax", ioTIFF},  {".g3n", ioTIFF},  {".g3f", ioTIFF},  {".pcx", ioPCX},   {".dcx", ioDCX},
    {".gif", ioGIF},   {".wmf", ioWMF},   {".emf", ioEMF},   {".bmp", ioBMP},   {".dib", ioBMP},
    {".rle", ioBMP},   {".cur", ioCUR},   {".ico", ioICO},   {".tga", ioTGA},   {".targa", ioTGA},
    {".vda", ioTGA},   {".icb", ioTGA},   {".vst", ioTGA},   {".win", ioTGA},   {".pxm", ioPXM},
    {".ppm", ioPXM},   {".pgm", ioPXM},   {".pbm", ioPXM},   {".wbmp", ioWBMP}, {".avi", ioAVI},
    {".crw", ioRAW},   {".cr2", ioRAW},   {".nef", ioRAW},   {".pef", ioRAW},   {".raf", ioRAW},
    {".x3f", ioRAW},   {".raw", ioRAW},   {".bay", ioRAW},   {".orf", ioRAW},   {".mrw", ioRAW},
    {".srf", ioRAW},   {".dcr", ioRAW},
};

// Extensions that save with a writer of their own.
constexpr ExtensionType kSaveExtensions[] = {
    {".jpg", ioJPEG}, {".jpeg", ioJPEG}, {".jpe", ioJPEG}, {".jp2", ioJP2},   {".j2k", ioJ2K},
    {".jpc", ioJ2K},  {".j2c", ioJ2K},   {".pcx", ioPCX},  {".dcx", ioDCX},   {".gif", ioGIF},
    {".tif", ioTIFF}, {".tiff", ioTIFF}, {".fax", ioTIFF}, {".g3f", ioTIFF},  {".g3n", ioTIFF},
    {".png", ioPNG},  {".bmp", ioBMP},   {".dib", ioBMP},  {".rle", ioBMP},   {".tga", ioTGA},
    {".targa", ioTGA}, {".vda", ioTGA},  {".icb", ioTGA},  {".vst", ioTGA},   {".win", ioTGA},
    {".pxm", ioPXM},  {".pbm", ioPXM},   {".pgm", ioPXM},  {".ppm", ioPXM},   {".ico", ioICO},
    {".wbmp", ioWBMP}, {".ps", ioPS},    {".eps", ioPS},   {".pdf", ioPDF},
};

template <size_t N>
int32_t TypeForExtension(const ExtensionType (&list)[N], const std::string& lowerExt) {
  for (const ExtensionType& e : list)
    if (lowerExt == e.extension) return e.type;
  return 0;
}

bool HasOwnReader(int32_t fileType) {
  for (const ExtensionType& e : kLoadExtensions)
    if (e.type == fileType) return true;
  return false;
}

bool HasOwnWriter(int32_t fileType) {
  for (const ExtensionType& e : kSaveExtensions)
    if (e.type == fileType) return true;
  return false;
}

bool IsWebAddress(const std::string& name) {
  std::string head = Lower(name.substr(0, 8));
  return head.rfind("http://", 0) == 0 || head.rfind("https://", 0) == 0;
}

// Tag of the 12-byte stream header of a format; nullptr when its streams have none.
const char* StreamHeaderTag(int32_t fileType) {
  const TPxFileFormat* row = PxFindFileFormat(fileType);
  return row && !row->StreamTag.empty() ? row->StreamTag.c_str() : nullptr;
}

// The first `count` bytes read as text up to the first zero byte.
std::string HeadText(TPxStream& stream, int64_t start, int count) {
  char buffer[16] = {};
  stream.SetPosition(start);
  int64_t n = stream.Read(buffer, count);
  if (n < 0) n = 0;
  return std::string(buffer, strnlen(buffer, static_cast<size_t>(n)));
}

uint32_t ReadU32(const uint8_t* p, bool bigEndian) {
  if (bigEndian) return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
  return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

// Resizes without a filter, in the bitmap's own format; the alpha plane likewise.
bool ResizeNearestPlane(TPxBitmap& bitmap, int width, int height) {
  const int sw = bitmap.Width(), sh = bitmap.Height();
  const TPxPixelFormat pf = bitmap.PixelFormat();
  TPxBitmap resized;
  if (!resized.Allocate(width, height, pf)) return false;
  if (pf == px8p)
    for (int i = 0; i < 256; ++i) resized.PaletteColor(i, bitmap.PaletteColor(i));
  const int bytes = bitmap.BitCount() / 8;
  std::vector<int> columns(static_cast<size_t>(width));
  for (int x = 0; x < width; ++x)
    columns[x] = static_cast<int>(static_cast<int64_t>(x) * sw / width);
  std::vector<uint8_t> source(static_cast<size_t>(bitmap.RowBytes()));
  for (int y = 0; y < height; ++y) {
    const int sy = static_cast<int>(static_cast<int64_t>(y) * sh / height);
    std::memcpy(source.data(), bitmap.Scanline(sy), source.size());
    uint8_t* dst = resized.Scanline(y);
    if (bytes == 0) {  // px1g
      std::memset(dst, 0, static_cast<size_t>(resized.RowBytes()));
      for (int x = 0; x < width; ++x)
        if (source[columns[x] >> 3] & (0x80 >> (columns[x] & 7))) dst[x >> 3] |= 0x80 >> (x & 7);
    } else {
      for (int x = 0; x < width; ++x)
        std::memcpy(dst + static_cast<size_t>(x) * bytes, source.data() + static_cast<size_t>(columns[x]) * bytes, bytes);
    }
  }
  std::unique_ptr<TPxBitmap> alpha;
  if (bitmap.HasAlphaChannel()) {
    alpha = std::make_unique<TPxBitmap>();
    if (!alpha->Assign(*bitmap.AlphaChannel())) return false;
    const bool full = alpha->FullAlpha();
    if (!ResizeNearestPlane(*alpha, width, height)) return false;
    alpha->SetFullAlpha(full);
  }
  if (!bitmap.Assign(resized)) return false;
  if (alpha) {
    TPxBitmap* plane = bitmap.AlphaChannel();
    if (!plane) return false;
    for (int y = 0; y < height; ++y) std::memcpy(plane->Scanline(y), alpha->Scanline(y), static_cast<size_t>(width));
    plane->SetFullAlpha(alpha->FullAlpha());
  }
  return true;
}

bool ResizeNearest(TPxBitmap& bitmap, int width, int height) {
  return ResizeNearestPlane(bitmap, width, height);
}

}  // namespace

// --- Format table -----------------------------------------------------------

const std::vector<TPxFileFormat>& PxFileFormats() { return FormatTable(); }

void PxRegisterFileFormat(TPxFileFormat format) { FormatTable().push_back(std::move(format)); }

const TPxFileFormat* PxFindFileFormat(int32_t fileType) {
  for (const TPxFileFormat& f : FormatTable())
    if (f.FileType == fileType) return &f;
  return nullptr;
}

const TPxFileFormat* PxFindFileFormatByExtension(const std::string& extension) {
  std::string ext = Lower(extension);
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  if (ext.empty()) return nullptr;
  for (const TPxFileFormat& f : FormatTable()) {
    for (const std::string& e : SplitExtensions(f.Extensions))
      if (e == ext) return &f;
  }
  return nullptr;
}

std::string PxGetFileExtension(int32_t fileType, int n) {
  const TPxFileFormat* f = PxFindFileFormat(fileType);
  if (!f || n < 0) return {};
  std::vector<std::string> list = SplitExtensions(f->Extensions);
  return n < static_cast<int>(list.size()) ? list[n] : std::string();
}

int PxGetFileExtensionCount(int32_t fileType) {
  const TPxFileFormat* f = PxFindFileFormat(fileType);
  return f ? static_cast<int>(SplitExtensions(f->Extensions).size()) : 0;
}

std::string PxExtractFileExt(const std::string& fileName) {
  size_t dot = fileName.find_last_of('.');
  size_t slash = fileName.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return fileName.substr(dot);
}

bool IsKnownFormat(const std::string& fileName) {
  const TPxFileFormat* f = PxFindFileFormatByExtension(PxExtractFileExt(fileName));
  return f && f->ReadFunction;
}

// --- Format recognition -----------------------------------------------------

namespace {

bool InDetectionOrder(int32_t fileType) {
  for (const TPxDetectStep& step : PxDetectionOrder())
    if (step.FileType == fileType) return true;
  return false;
}

// Parses untrusted data, from the stream's position.
bool StepMatches(const TPxDetectStep& step, TPxStream& s, int64_t size) {
  if (step.OutsideTable) return step.OutsideTable(s);
  const TPxFileFormat* row = PxFindFileFormat(step.FileType);
  if (!row) return false;
  if (step.By == dbStreamTag)
    return !row->StreamTag.empty() && size > 12 && HeadText(s, s.Position(), 5) == row->StreamTag;
  return row->TestFunction && row->TestFunction(s);
}

}  // namespace

// Runs on untrusted data: each test reads from the remembered start, which is
// restored after every test and at the end.
int32_t TImagingIO::DetectStreamType(TPxStream& stream) {
  const int64_t start = stream.Position();
  int32_t result = 0;
  try {
    const int64_t size = stream.Size() - start;
    // The rows added by extensions first, in table order: such a format can
    // win over a built-in one.
    for (const TPxFileFormat& f : FormatTable()) {
      if (!f.TestFunction || InDetectionOrder(f.FileType)) continue;
      stream.SetPosition(start);
      bool hit = f.TestFunction(stream);
      stream.SetPosition(start);
      if (hit) {
        result = f.FileType;
        break;
      }
    }
    for (const TPxDetectStep& step : PxDetectionOrder()) {
      if (result) break;
      stream.SetPosition(start);
      if (StepMatches(step, stream, size)) result = step.FileType;
    }
  } catch (...) {
    // A stream that fails while probing: what was found so far stands (nothing).
  }
  stream.SetPosition(start);
  return result;
}

int32_t TImagingIO::DetectFileType(const std::string& fileName, bool verifyExtension) {
  if (fileName.empty()) return 0;
  int32_t content = 0;
  try {
    TPxFileStream stream(fileName, TPxFileStream::fmOpenRead);
    content = DetectStreamType(stream);
  } catch (...) {
    return 0;
  }
  const TPxFileFormat* row = PxFindFileFormatByExtension(PxExtractFileExt(fileName));
  if (row && row->FileType == ioRAW && content == ioTIFF) content = ioRAW;
  if (!verifyExtension || content == 0) return content;
  if (!row) return 0;
  // Icons and cursors share one header layout: the extension decides between them.
  if ((content == ioICO || content == ioCUR) && (row->FileType == ioICO || row->FileType == ioCUR))
    return row->FileType;
  return content == row->FileType ? content : 0;
}

// --- Background workers -----------------------------------------------------

// One load or save run for a TImagingIO on a thread of its own. It is listed
// in the component's worker list while it runs and frees itself at the end.
class TPxIOThread {
 public:
  TPxIOThread(TImagingIO* io, std::function<void()> operation)
      : io_(io), operation_(std::move(operation)) {}

  void Start() {
    // Under the lock, so that the thread is known before anyone can join it.
    std::lock_guard<std::mutex> lock(io_->workersLock_);
    io_->workers_.push_back(this);
    thread_ = std::thread([this] { Execute(); });
  }

  std::thread::id Id() const { return id_; }
  // Waits for the thread's last steps after it left the running list.
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Execute() {
    {
      std::lock_guard<std::mutex> lock(io_->workersLock_);
      id_ = std::this_thread::get_id();
    }
    try {
      operation_();
    } catch (...) {
      // Nobody waits for a result here; the end was already reported by the
      // operation's end-of-work events.
    }
    {
      std::lock_guard<std::mutex> lock(io_->workersLock_);
      auto& list = io_->workers_;
      list.erase(std::remove(list.begin(), list.end(), this), list.end());
      // Joined and freed by the component (WaitForWorkers, the next hand-off
      // or its destruction), never left running on its own.
      io_->finished_.push_back(this);
      // Notified under the lock: once it is released the component may be gone.
      io_->workersDone_.notify_all();
    }
  }

  TImagingIO* io_;
  std::function<void()> operation_;
  std::thread::id id_;
  std::thread thread_;
};

// --- TImagingIO ---------------------------------------------------------------

TImagingIO::TImagingIO() : Params(this), ownBitmap_(std::make_unique<TPxBitmap>()) {
  target_ = ownBitmap_.get();
  Params.ResetAll();
}

TImagingIO::~TImagingIO() {
  WaitForWorkers(false);
  ReapFinished();
}

void TImagingIO::ReapFinished() {
  std::vector<TPxIOThread*> done;
  {
    std::lock_guard<std::mutex> lock(workersLock_);
    done.swap(finished_);
  }
  for (TPxIOThread* t : done) {
    t->Join();
    delete t;
  }
}

void TImagingIO::SetAttachedView(TPxIOViewLink* view) {
  if (view == view_ && (view || ownBitmap_)) return;
  view_ = view;
  if (view) {
    ownBitmap_.reset();
    target_ = nullptr;
  } else {
    ownBitmap_ = std::make_unique<TPxBitmap>();
    target_ = ownBitmap_.get();
  }
}

void TImagingIO::SetTargetBitmap(TPxBitmap* bitmap) {
  view_ = nullptr;
  if (!bitmap) {
    if (!ownBitmap_) ownBitmap_ = std::make_unique<TPxBitmap>();
    target_ = ownBitmap_.get();
    return;
  }
  if (bitmap != ownBitmap_.get()) ownBitmap_.reset();
  target_ = bitmap;
}

TPxBitmap* TImagingIO::Bitmap() const { return view_ ? view_->IOBitmap() : target_; }

uint32_t TImagingIO::Background() const { return view_ ? view_->IOBackground() : background_; }

void TImagingIO::SetBackground(uint32_t color) {
  if (view_) view_->IOSetBackground(color);
  else background_ = color;
}

void TImagingIO::ParamsDpiChanged() {
  if (view_) view_->IOSetDpi(Params.DpiX, Params.DpiY);
}

bool TImagingIO::IsWorkerThread() const {
  std::lock_guard<std::mutex> lock(workersLock_);
  const std::thread::id me = std::this_thread::get_id();
  for (const TPxIOThread* t : workers_)
    if (t->Id() == me) return true;
  return false;
}

int TImagingIO::WorkerCount() const {
  std::lock_guard<std::mutex> lock(workersLock_);
  return static_cast<int>(workers_.size());
}

void TImagingIO::WaitForWorkers(bool abort) {
  // A worker waiting for itself would never end.
  if (IsWorkerThread()) return;
  {
    std::unique_lock<std::mutex> lock(workersLock_);
    while (!workers_.empty()) {
      if (abort) Aborting = true;
      workersDone_.wait_for(lock, std::chrono::milliseconds(10));
    }
  }
  ReapFinished();
}

bool TImagingIO::HandOff(std::function<void()> operation) {
  if (!RunInBackground) return false;
  TPxBitmap* bitmap = Bitmap();
  if (!bitmap || (ownBitmap_ && bitmap == ownBitmap_.get())) return false;
  if (IsWorkerThread()) return false;
  ReapFinished();
  (new TPxIOThread(this, std::move(operation)))->Start();
  return true;
}

TPxProgress TImagingIO::MakeProgress() {
  TPxProgress progress;
  progress.Event = OnProgress;
  progress.Sender = this;
  progress.Aborting = &Aborting;
  return progress;
}

void TImagingIO::FinishWork(TPxProgress&) {
  if (OnProgress) OnProgress(this, 100);
  if (OnFinishWork) OnFinishWork(this);
}

void TImagingIO::AbortWork() {
  Aborting = true;
  TPxProgress progress = MakeProgress();
  FinishWork(progress);
}

// --- Loading ----------------------------------------------------------------

void TImagingIO::LoadFromFile(const std::string& fileName) {
  if (!Bitmap()) return;
  if (fileName.empty() || IsWebAddress(fileName)) {
    // No name, or a web address: this program reads no network.
    AbortWork();
    return;
  }
  const std::string ext = Lower(PxExtractFileExt(fileName));
  if (int32_t type = TypeForExtension(kLoadExtensions, ext)) {
    LoadFileAs(fileName, type, false);
    return;
  }
  Params.FileName.clear();
  Params.FileType = 0;
  Params.ClearMetadata();
  const TPxFileFormat* row = PxFindFileFormatByExtension(ext);
  if (row && row->ReadFunction) {
    LoadFileAs(fileName, row->FileType, true);
    return;
  }
  AbortWork();
}

void TImagingIO::LoadFromFileAuto(const std::string& fileName) {
  int32_t type = DetectFileType(fileName, false);
  if (type) LoadFromFileAsType(fileName, type);
  else LoadFromFile(fileName);
}

void TImagingIO::LoadFromFileAsType(const std::string& fileName, int32_t fileType) {
  if (!Bitmap()) return;
  if (fileName.empty() || IsWebAddress(fileName)) {
    AbortWork();
    return;
  }
  if (HasOwnReader(fileType)) {
    LoadFileAs(fileName, fileType, false);
    return;
  }
  const TPxFileFormat* row = PxFindFileFormat(fileType);
  if (row && row->ReadFunction) {
    LoadFileAs(fileName, fileType, true);
    return;
  }
  AbortWork();
}

void TImagingIO::LoadFileAs(const std::string& fileName, int32_t fileType, bool byTable) {
  if (HandOff([this, fileName, fileType, byTable] { LoadFileAs(fileName, fileType, byTable); }))
    return;
  Aborting = true;
  TPxProgress progress = MakeProgress();
  TPxBitmap* bitmap = Bitmap();
  if (!bitmap) {
    FinishWork(progress);
    return;
  }
  Params.ClearMetadata();
  Params.ResetPictureDescription();
  try {
    TPxFileStream stream(fileName, TPxFileStream::fmOpenRead);
    Aborting = false;
    bitmap->RemoveAlphaChannel();
    ReadFormat(stream, fileType, byTable, progress, false);
    Params.FileName = fileName;
    AfterLoad(fileType);
  } catch (...) {
    Aborting = true;
    FinishWork(progress);
    throw;
  }
  FinishWork(progress);
}

void TImagingIO::LoadFromStream(TPxStream& stream) {
  LoadFromStreamAsType(stream, DetectStreamType(stream));
}

void TImagingIO::LoadFromStreamAsType(TPxStream& stream, int32_t fileType) {
  if (!Bitmap()) return;
  TPxStream* s = &stream;
  if (HandOff([this, s, fileType] { LoadFromStreamAsType(*s, fileType); })) return;
  Aborting = true;
  TPxProgress progress = MakeProgress();
  TPxBitmap* bitmap = Bitmap();
  const bool own = HasOwnReader(fileType);
  const TPxFileFormat* row = PxFindFileFormat(fileType);
  if (!bitmap || (!own && !(row && row->ReadFunction))) {
    FinishWork(progress);
    return;
  }
  Params.ClearMetadata();
  Params.ResetPictureDescription();
  try {
    Aborting = false;
    bitmap->RemoveAlphaChannel();
    int64_t end = -1;
    const char* tag = StreamHeaders ? StreamHeaderTag(fileType) : nullptr;
    if (tag) {
      // Parses untrusted data: the header's count only moves the position.
      const int64_t start = stream.Position();
      uint8_t header[12];
      if (stream.ReadExact(header, 12) && std::memcmp(header, tag, 4) == 0)
        end = start + 12 + ReadU32(header + 8, false);
      else
        stream.SetPosition(start);
    }
    ReadFormat(stream, fileType, !own, progress, false);
    if (end >= 0) stream.SetPosition(end);
    AfterLoad(fileType);
  } catch (...) {
    Aborting = true;
    FinishWork(progress);
    throw;
  }
  FinishWork(progress);
}

void TImagingIO::ReadFormat(TPxStream& stream, int32_t fileType, bool byTable,
                            TPxProgress& progress, bool paramsOnly) {
  TPxBitmap* bitmap = Bitmap();
  const TPxFileFormat* row = PxFindFileFormat(fileType);
  if (!row || !row->ReadFunction) {
    progress.Abort();
    return;
  }
  if (!paramsOnly && row->GiveBackground) row->GiveBackground(Params, Background());
  if (!byTable) {
    row->ReadFunction(stream, bitmap, Params, paramsOnly, progress);
    return;
  }
  // Rows added by extensions report failures by exception as well.
  try {
    row->ReadFunction(stream, bitmap, Params, paramsOnly, progress);
  } catch (...) {
    progress.Abort();
  }
}

void TImagingIO::AfterLoad(int32_t fileType) {
  // Below 2 is no resolution (a JFIF aspect ratio): the default, also in the
  // EXIF values that follow DpiX and DpiY, which a save writes.
  if (Params.DpiX < 2 || Params.DpiY < 2)
    Params.SetDpi(Params.DpiX < 2 ? kDefaultDpi : Params.DpiX, Params.DpiY < 2 ? kDefaultDpi : Params.DpiY);
  if (AutoAdjustDPI) AdjustDpi();
  Params.FileType = fileType;
  if (view_) view_->IOSetDpi(Params.DpiX, Params.DpiY);
  const TPxFileFormat* row = PxFindFileFormat(fileType);
  if (row && row->TakeBackground) SetBackground(row->TakeBackground(Params));
  if (view_) view_->IOImageChanged(IsWorkerThread());
}

// --- Parameters only ----------------------------------------------------------

void TImagingIO::ReadParamsFromFile(const std::string& fileName) {
  ReadParamsFromFileAsType(fileName, DetectFileType(fileName, true));
}

void TImagingIO::ReadParamsFromFileAsType(const std::string& fileName, int32_t fileType) {
  Params.FileType = 0;
  if (fileType == 0 || fileName.empty()) {
    Aborting = true;
    return;
  }
  Params.ClearMetadata();
  Params.ResetPictureDescription();
  TPxProgress progress = MakeProgress();
  progress.Event = nullptr;  // a header read reports no progress
  try {
    TPxFileStream stream(fileName, TPxFileStream::fmOpenRead);
    Aborting = false;
    ReadFormat(stream, fileType, !HasOwnReader(fileType), progress, true);
  } catch (...) {
    Aborting = true;
  }
  if (Aborting) return;
  Params.FileName = fileName;
  Params.FileType = fileType;
}

void TImagingIO::ReadParamsFromStream(TPxStream& stream) {
  Params.FileType = 0;
  const int32_t fileType = DetectStreamType(stream);
  if (fileType == 0) {
    Aborting = true;
    return;
  }
  Params.ClearMetadata();
  Params.ResetPictureDescription();
  TPxProgress progress = MakeProgress();
  progress.Event = nullptr;
  const int64_t start = stream.Position();
  try {
    Aborting = false;
    ReadFormat(stream, fileType, !HasOwnReader(fileType), progress, true);
  } catch (...) {
    Aborting = true;
  }
  stream.SetPosition(start);
  if (!Aborting) Params.FileType = fileType;
}

// --- Saving -------------------------------------------------------------------

void TImagingIO::SaveToFile(const std::string& fileName) {
  if (fileName.empty()) return;
  const std::string ext = Lower(PxExtractFileExt(fileName));
  if (int32_t type = TypeForExtension(kSaveExtensions, ext)) {
    SaveFileAs(fileName, type, false);
    return;
  }
  const TPxFileFormat* row = PxFindFileFormatByExtension(ext);
  if (row && row->WriteFunction) {
    SaveFileAs(fileName, row->FileType, true);
    return;
  }
  AbortWork();
}

void TImagingIO::SaveFileAs(const std::string& fileName, int32_t fileType, bool byTable) {
  if (HandOff([this, fileName, fileType, byTable] { SaveFileAs(fileName, fileType, byTable); }))
    return;
  Aborting = true;
  TPxProgress progress = MakeProgress();
  TPxBitmap* bitmap = Bitmap();
  if (!bitmap) {
    FinishWork(progress);
    return;
  }
  try {
    TPxBitmap flattened;
    TPxBitmap* source = PrepareForWrite(fileType, flattened);
    if (!source) {
      FinishWork(progress);
      return;
    }
    TPxFileStream stream(fileName, TPxFileStream::fmCreate);
    Aborting = false;
    WriteFormat(stream, source, fileType, byTable, progress);
    if (!stream.Close()) Aborting = true;
  } catch (...) {
    Aborting = true;
    FinishWork(progress);
    throw;
  }
  FinishWork(progress);
}

void TImagingIO::SaveToStream(TPxStream& stream, int32_t fileType) {
  TPxStream* s = &stream;
  if (HandOff([this, s, fileType] { SaveToStream(*s, fileType); })) return;
  Aborting = true;
  TPxProgress progress = MakeProgress();
  TPxBitmap* bitmap = Bitmap();
  const bool own = HasOwnWriter(fileType);
  const TPxFileFormat* row = PxFindFileFormat(fileType);
  if (!bitmap || (!own && !(row && row->WriteFunction))) {
    FinishWork(progress);
    return;
  }
  try {
    TPxBitmap flattened;
    TPxBitmap* source = PrepareForWrite(fileType, flattened);
    if (!source) {
      FinishWork(progress);
      return;
    }
    Aborting = false;
    const char* tag = StreamHeaders ? StreamHeaderTag(fileType) : nullptr;
    const int64_t headerAt = stream.Position();
    if (tag) {
      const uint8_t reserve[12] = {};
      if (!stream.WriteExact(reserve, 12)) Aborting = true;
    }
    if (!Aborting) WriteFormat(stream, source, fileType, !own, progress);
    if (tag && !Aborting) {
      const int64_t end = stream.Position();
      const uint32_t count = static_cast<uint32_t>(end - headerAt - 12);
      uint8_t header[12] = {};
      std::memcpy(header, tag, 4);
      for (int i = 0; i < 4; ++i) header[8 + i] = static_cast<uint8_t>(count >> (8 * i));
      stream.SetPosition(headerAt);
      if (!stream.WriteExact(header, 12)) Aborting = true;
      stream.SetPosition(end);
    }
  } catch (...) {
    Aborting = true;
    FinishWork(progress);
    throw;
  }
  FinishWork(progress);
}

TPxBitmap* TImagingIO::PrepareForWrite(int32_t fileType, TPxBitmap& flattened) {
  TPxBitmap* bitmap = Bitmap();
  const TPxFileFormat* row = PxFindFileFormat(fileType);
  if (!bitmap || bitmap->IsEmpty() || !row) return bitmap;
  if (!row->WriteKeepsAlpha && bitmap->HasAlphaChannel() &&
      !PxAlphaAllOpaque(*bitmap->AlphaChannel())) {
    return PxFlattenOnWhite(*bitmap, flattened) ? &flattened : nullptr;
  }
  const std::vector<TPxPixelFormat>& takes = row->WritePixelFormats;
  if (!takes.empty() && std::find(takes.begin(), takes.end(), bitmap->PixelFormat()) == takes.end())
    bitmap->ConvertTo(pxRGB24);
  return bitmap;
}

void TImagingIO::WriteFormat(TPxStream& stream, TPxBitmap* bitmap, int32_t fileType, bool byTable,
                             TPxProgress& progress) {
  const TPxFileFormat* row = PxFindFileFormat(fileType);
  if (!row || !row->WriteFunction) {
    progress.Abort();
    return;
  }
  if (!byTable) {
    row->WriteFunction(stream, bitmap, Params, progress);
    return;
  }
  try {
    row->WriteFunction(stream, bitmap, Params, progress);
  } catch (...) {
    progress.Abort();
  }
}

// --- Square pixels -----------------------------------------------------------

void TImagingIO::AdjustDpi() {
  TPxBitmap* bitmap = Bitmap();
  const int32_t dx = Params.DpiX, dy = Params.DpiY;
  if (!bitmap || bitmap->IsEmpty() || dx == dy || dx <= 0 || dy <= 0) return;
  int w = bitmap->Width(), h = bitmap->Height();
  if (h < w) {
    h = static_cast<int>(std::lround(static_cast<double>(h) / dy * dx));
    Params.DpiY = dx;
  } else {
    w = static_cast<int>(std::lround(static_cast<double>(w) / dx * dy));
    Params.DpiX = dy;
  }
  w = std::max(w, 1);
  h = std::max(h, 1);
  Params.Width = w;
  Params.Height = h;
  if (!FilteredAdjustDPI) {
    if (!ResizeNearest(*bitmap, w, h)) Aborting = true;
    return;
  }
  try {
    if (bitmap->PixelFormat() != pxRGB24 && !bitmap->ConvertTo(pxRGB24)) {
      Aborting = true;
      return;
    }
    // The colour is filtered; the alpha plane goes along without a filter.
    std::unique_ptr<TPxBitmap> alpha;
    if (bitmap->HasAlphaChannel()) {
      alpha = std::make_unique<TPxBitmap>();
      const bool full = bitmap->AlphaChannel()->FullAlpha();
      if (!alpha->Assign(*bitmap->AlphaChannel()) || !ResizeNearest(*alpha, w, h)) {
        Aborting = true;
        return;
      }
      alpha->SetFullAlpha(full);
      bitmap->RemoveAlphaChannel();
    }
    TImagingProc proc(bitmap);
    proc.AutoUndo = false;
    proc.Resample(w, h, rfFastLinear);
    if (alpha) {
      TPxBitmap* plane = bitmap->AlphaChannel();
      if (!plane || plane->Width() != w || plane->Height() != h) {
        Aborting = true;
        return;
      }
      for (int y = 0; y < h; ++y) std::memcpy(plane->Scanline(y), alpha->Scanline(y), static_cast<size_t>(w));
      plane->SetFullAlpha(alpha->FullAlpha());
    }
  } catch (const std::bad_alloc&) {
    Aborting = true;
  }
}
