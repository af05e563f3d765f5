// TPxFileBuffer: the temporary file behind file-backed pixel buffers and the
// thumbnail image store.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>

#include "imaging/core/pxutils.h"

std::string TempDir;

std::string PxTempFolder() {
  if (!TempDir.empty()) return TempDir;
  const char* env = std::getenv("TMPDIR");
  if (env && *env) return env;
  return "/tmp";
}

TPxFileBuffer::TPxFileBuffer() = default;

TPxFileBuffer::~TPxFileBuffer() { Release(); }

namespace {

// Reserves the space now, so that a full disk shows here and not as a lost
// row later; file systems without preallocation just get the length.
bool SizeFile(int fd, int64_t oldSize, int64_t size) {
  if (size > oldSize) {
    int rc = posix_fallocate(fd, oldSize, size - oldSize);
    if (rc == 0) return true;
    if (rc != EOPNOTSUPP && rc != EINVAL) return false;
  }
  return ftruncate(fd, size) == 0;
}

}  // namespace

bool TPxFileBuffer::CreateTempFile(const std::string& prefix, int64_t size) {
  Release();
  if (size < 0) return false;
  std::string folder = PxTempFolder();
  if (!folder.empty() && folder.back() != '/') folder += '/';
  std::random_device seed;
  std::mt19937 gen(seed());
  std::uniform_int_distribution<uint32_t> draw(0, 2147483646);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08X", draw(gen));
    std::string name = folder + prefix + "-" + digits + ".tmp";
    int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    // The name goes at once and only the descriptor keeps the file: the
    // system frees it however the process ends (abort, uncaught exception,
    // a fatal signal), so no temporary files are left behind.
    unlink(name.c_str());
    if (!SizeFile(fd, 0, size)) {
      close(fd);
      return false;
    }
    fd_ = fd;
    fileName_ = name;
    size_ = size;
    failed_ = false;
    return true;
  }
  return false;
}

bool TPxFileBuffer::SetSize(int64_t size) {
  if (fd_ < 0 || size < 0) return false;
  if (!SizeFile(fd_, size_, size)) return false;
  size_ = size;
  return true;
}

bool TPxFileBuffer::ReadAt(void* dst, int64_t length, int64_t offset) {
  auto* p = static_cast<uint8_t*>(dst);
  if (length <= 0) return length == 0;
  if (fd_ < 0 || offset < 0) {
    std::memset(p, 0, (size_t)length);
    return false;
  }
  while (length > 0) {
    ssize_t n = pread(fd_, p, (size_t)std::min<int64_t>(length, 1 << 30), (off_t)offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Past the end the file holds nothing: zeros, as a fresh buffer would.
      std::memset(p, 0, (size_t)length);
      if (n < 0) failed_ = true;
      return n == 0;
    }
    p += n;
    offset += n;
    length -= n;
  }
  return true;
}

bool TPxFileBuffer::WriteAt(const void* src, int64_t length, int64_t offset) {
  auto* p = static_cast<const uint8_t*>(src);
  if (length <= 0) return length == 0;
  if (fd_ < 0 || offset < 0) return false;
  while (length > 0) {
    ssize_t n = pwrite(fd_, p, (size_t)std::min<int64_t>(length, 1 << 30), (off_t)offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      return false;
    }
    p += n;
    offset += n;
    length -= n;
  }
  return true;
}

uint8_t* TPxFileBuffer::MapRow(uint8_t access, int64_t length, int64_t offset) {
  int64_t end;
  if (fd_ < 0 || length <= 0 || offset < 0 || __builtin_add_overflow(offset, length, &end)) return nullptr;
  uint8_t* block = PxAllocPixels(length);
  if (!block) return nullptr;
  if (access & kPxAccessRead)
    ReadAt(block, length, offset);
  else
    std::memset(block, 0, (size_t)length);
  try {
    windows_.push_back(Window{offset, length, block, access});
  } catch (const std::bad_alloc&) {
    PxFreePixels(block);
    return nullptr;
  }
  return block;
}

void TPxFileBuffer::UnmapRow(void* block) {
  for (size_t i = windows_.size(); i-- > 0;) {
    Window& w = windows_[i];
    if (w.block != block) continue;
    if (w.access & kPxAccessWrite) WriteAt(w.block, w.length, w.offset);
    PxFreePixels(w.block);
    windows_.erase(windows_.begin() + (ptrdiff_t)i);
    return;
  }
}

void TPxFileBuffer::UnmapAll() {
  for (Window& w : windows_) {
    if (w.access & kPxAccessWrite) WriteAt(w.block, w.length, w.offset);
    PxFreePixels(w.block);
  }
  windows_.clear();
}

bool TPxFileBuffer::CopyFrom(TPxFileBuffer& source, int64_t length) {
  if (fd_ < 0 || source.fd_ < 0) return false;
  if (length < 0) length = source.size_;
  if (length > size_ && !SetSize(length)) return false;
  constexpr int64_t kChunk = 1048576;
  uint8_t* buffer = PxAllocPixels(kChunk);
  if (!buffer) return false;
  bool ok = true;
  for (int64_t pos = 0; ok && pos < length; pos += kChunk) {
    int64_t n = std::min(kChunk, length - pos);
    ok = source.ReadAt(buffer, n, pos) && WriteAt(buffer, n, pos);
  }
  PxFreePixels(buffer);
  return ok;
}

void TPxFileBuffer::Release() {
  // The file is going away: windows are dropped without writing them back.
  for (Window& w : windows_) PxFreePixels(w.block);
  windows_.clear();
  // Closing the last descriptor deletes the file; its name was removed at
  // creation and may belong to another file by now, so it is not unlinked.
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  fileName_.clear();
  size_ = 0;
}
