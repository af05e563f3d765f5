#include "imaging/core/pxstream.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

std::string FileErrorMessage(const std::string& fileName, const std::string& what, int errorCode) {
  return what + " \"" + fileName + "\": " + std::strerror(errorCode);
}

// Large enough that libpng's and libjpeg's small reads rarely reach the system.
constexpr size_t kFileBufferSize = 65536;

}  // namespace

TPxFileError::TPxFileError(const std::string& fileName, const std::string& what, int errorCode)
    : std::runtime_error(FileErrorMessage(fileName, what, errorCode)),
      fileName_(fileName),
      errorCode_(errorCode) {}

TPxFileStream::TPxFileStream(const std::string& fileName, TMode mode) : fileName_(fileName) {
  const char* fopenMode = "rb";
  const char* what = "Cannot open file";
  if (mode == fmCreate) {
    fopenMode = "w+b";
    what = "Cannot create file";
  } else if (mode == fmOpenReadWrite) {
    fopenMode = "r+b";
  }
  FILE* f = std::fopen(fileName.c_str(), fopenMode);
  if (!f) throw TPxFileError(fileName, what, errno);
  // A folder opens for reading on Linux but fails at the first read; refuse it here
  // so that the caller gets the same error as for any unopenable name.
  struct stat st {};
  if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    throw TPxFileError(fileName, what, EISDIR);
  }
  std::setvbuf(f, nullptr, _IOFBF, kFileBufferSize);
  file_ = f;
}

TPxFileStream::~TPxFileStream() { Close(); }

bool TPxFileStream::Close() {
  if (!file_) return true;
  bool ok = std::fclose(static_cast<FILE*>(file_)) == 0;
  file_ = nullptr;
  return ok;
}

int64_t TPxFileStream::Read(void* buffer, int64_t count) {
  if (!file_ || count <= 0) return 0;
  FILE* f = static_cast<FILE*>(file_);
  // C streams need a positioning call between a write and a read.
  if (writing_) {
    std::fseek(f, 0, SEEK_CUR);
    writing_ = false;
  }
  return static_cast<int64_t>(std::fread(buffer, 1, static_cast<size_t>(count), f));
}

int64_t TPxFileStream::Write(const void* buffer, int64_t count) {
  if (!file_ || count <= 0) return 0;
  FILE* f = static_cast<FILE*>(file_);
  if (!writing_) {
    std::fseek(f, 0, SEEK_CUR);
    writing_ = true;
  }
  return static_cast<int64_t>(std::fwrite(buffer, 1, static_cast<size_t>(count), f));
}

int64_t TPxFileStream::Seek(int64_t offset, TPxSeekOrigin origin) {
  if (!file_) return -1;
  int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  FILE* f = static_cast<FILE*>(file_);
  if (fseeko(f, static_cast<off_t>(offset), whence) != 0) return -1;
  writing_ = false;
  return static_cast<int64_t>(ftello(f));
}

int64_t TPxFileStream::Position() {
  if (!file_) return 0;
  return static_cast<int64_t>(ftello(static_cast<FILE*>(file_)));
}

int64_t TPxFileStream::Size() {
  if (!file_) return 0;
  FILE* f = static_cast<FILE*>(file_);
  if (writing_) std::fflush(f);
  struct stat st {};
  if (fstat(fileno(f), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_size);
}

TPxMemoryStream::TPxMemoryStream(const void* data, size_t size)
    : data_(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size) {}

int64_t TPxMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || position_ >= Size()) return 0;
  int64_t n = std::min(count, Size() - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TPxMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (count > std::numeric_limits<int64_t>::max() - position_) return 0;
  int64_t end = position_ + count;
  if (end > Size()) data_.resize(static_cast<size_t>(end));
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

int64_t TPxMemoryStream::Seek(int64_t offset, TPxSeekOrigin origin) {
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position_ : Size();
  int64_t target = base + offset;
  if (target < 0) return -1;
  position_ = target;
  return position_;
}

void TPxMemoryStream::SetSize(int64_t size) {
  data_.resize(static_cast<size_t>(std::max<int64_t>(0, size)));
  position_ = std::min(position_, Size());
}
