// The one stream abstraction of the imaging layer: every reader and writer
// works on a TPxStream, so that files, memory and test fakes are alike.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

enum TPxSeekOrigin : uint8_t { soBeginning, soCurrent, soEnd };

// Raised when a file cannot be opened or created; the message names the file
// and the system's reason.
class TPxFileError : public std::runtime_error {
 public:
  TPxFileError(const std::string& fileName, const std::string& what, int errorCode);
  const std::string& FileName() const { return fileName_; }
  int ErrorCode() const { return errorCode_; }

 private:
  std::string fileName_;
  int errorCode_;
};

class TPxStream {
 public:
  virtual ~TPxStream() = default;
  // Reads up to count bytes; returns the number read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes count bytes; returns the number written (less on failure).
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; returns the new position, or -1 when it cannot.
  virtual int64_t Seek(int64_t offset, TPxSeekOrigin origin) = 0;
  virtual int64_t Position() = 0;
  virtual int64_t Size() = 0;

  void SetPosition(int64_t position) { Seek(position, soBeginning); }
  // True when exactly count bytes were read.
  bool ReadExact(void* buffer, int64_t count) { return Read(buffer, count) == count; }
  bool WriteExact(const void* buffer, int64_t count) { return Write(buffer, count) == count; }
};

// A file on disk, buffered. Opening failures raise TPxFileError.
class TPxFileStream : public TPxStream {
 public:
  enum TMode : uint8_t {
    fmOpenRead,       // existing file, read only (others may read)
    fmCreate,         // new or truncated file, read and write
    fmOpenReadWrite,  // existing file, read and write
  };
  TPxFileStream(const std::string& fileName, TMode mode);
  ~TPxFileStream() override;
  TPxFileStream(const TPxFileStream&) = delete;
  TPxFileStream& operator=(const TPxFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TPxSeekOrigin origin) override;
  int64_t Position() override;
  int64_t Size() override;

  const std::string& FileName() const { return fileName_; }
  // Flushes and closes; false when buffered data could not be written.
  bool Close();

 private:
  std::string fileName_;
  void* file_ = nullptr;  // FILE*, kept out of the header
  bool writing_ = false;
};

// A growable block of memory. Reading past the end gives short reads;
// writing past the end grows the block (a gap is filled with zeros).
class TPxMemoryStream : public TPxStream {
 public:
  TPxMemoryStream() = default;
  explicit TPxMemoryStream(std::vector<uint8_t> data) : data_(std::move(data)) {}
  TPxMemoryStream(const void* data, size_t size);

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TPxSeekOrigin origin) override;
  int64_t Position() override { return position_; }
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }

  const std::vector<uint8_t>& Data() const { return data_; }
  std::vector<uint8_t>& Data() { return data_; }
  // Drops the content after size (or grows with zeros).
  void SetSize(int64_t size);

 private:
  std::vector<uint8_t> data_;
  int64_t position_ = 0;
};
