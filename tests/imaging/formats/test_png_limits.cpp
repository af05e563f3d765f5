// Hostile PNG data whose cost is out of proportion to its size: chunks that
// claim far more bytes than the file holds (libpng allocates the claimed length
// of text, palette and calibration chunks before reading them), and compressed
// text that inflates a thousand times. The reads are refused or bounded through
// the program's own entries, and honest chunks of the same kinds still read.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define PICTROVA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PICTROVA_ASAN 1
#endif
#endif
#ifdef PICTROVA_ASAN
// The sanitizers' public interface (sanitizer/allocator_interface.h, which
// gcc does not install).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include "imaging/core/pxstream.h"
#include "imaging/io/imagingio.h"

namespace {

// Bytes the process holds on the heap now. AddressSanitizer reserves terabytes
// of address space and keeps its own heap, so neither an address-space limit
// (setrlimit) nor the C library's figures mean anything under it: it reports
// its own count; without it, the C library's count (mmap'ed blocks included).
int64_t HeapBytesNow() {
#ifdef PICTROVA_ASAN
  return int64_t(__sanitizer_get_current_allocated_bytes());
#else
  const struct mallinfo2 m = mallinfo2();
  return int64_t(m.uordblks + m.hblkhd);
#endif
}

// A memory stream that notes the most heap held whenever the reader asks it
// for bytes. libpng allocates a chunk's claimed length and then reads into it,
// so such an allocation is seen at the read that follows it.
class TWatchedStream : public TPxMemoryStream {
 public:
  explicit TWatchedStream(const std::string& bytes)
      : TPxMemoryStream(bytes.data(), bytes.size()), base_(HeapBytesNow()) {}
  int64_t Read(void* buffer, int64_t count) override {
    peak_ = std::max(peak_, HeapBytesNow() - base_);
    return TPxMemoryStream::Read(buffer, count);
  }
  int64_t Peak() const { return peak_; }

 private:
  int64_t base_;
  int64_t peak_ = 0;
};

void PutBE32(std::string& s, uint32_t v) {
  for (int i = 3; i >= 0; --i) s += char(v >> (8 * i));
}

std::string Chunk(const std::string& type, const std::string& data) {
  std::string c;
  PutBE32(c, uint32_t(data.size()));
  c += type + data;
  const std::string crcOver = type + data;
  PutBE32(c,
          uint32_t(crc32(0, reinterpret_cast<const Bytef*>(crcOver.data()), uInt(crcOver.size()))));
  return c;
}

std::string Deflated(const std::string& raw) {
  uLongf size = compressBound(uLong(raw.size()));
  std::string out(size, '\0');
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                      reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()), 9),
            Z_OK);
  out.resize(size);
  return out;
}

const std::string kSignature("\x89PNG\r\n\x1a\n", 8);

// The signature and the header of a 2 x 2 RGB picture.
std::string Head() {
  return kSignature + Chunk("IHDR", std::string("\0\0\0\2\0\0\0\2\x08\x02\0\0\0", 13));
}

std::string ImageAndEnd() {
  return Chunk("IDAT", Deflated(std::string(2 * (1 + 2 * 3), '\0'))) + Chunk("IEND", "");
}

// A 44-byte file: header, then a chunk of `type` that claims 2 GB and holds 3 bytes.
std::string Claims2GB(const std::string& type) {
  std::string s = Head();
  PutBE32(s, 0x7FFFFFFF);
  return s + type + "abc";
}

// An honest chunk of each kind, as its data.
std::string HonestData(const std::string& type) {
  if (type == "tEXt") return std::string("Title\0a title", 13);
  if (type == "zTXt") return std::string("Comment\0\0", 9) + Deflated(std::string(5000, 'c'));
  if (type == "iTXt") return std::string("XML\0\0\0en\0\0", 10) + std::string(300, 'i');
  if (type == "sPLT") return std::string("colours\0\x08", 9) + std::string("\1\2\3\4\0\1", 6);
  if (type == "pCAL")  // x0 0, x1 100, linear: two parameters; unit "m"
    return std::string("depth\0", 6) + std::string("\0\0\0\0\0\0\0\x64\0\x02", 10) +
           std::string(
               "m\0"
               "1.5\0"
               "2",
               8);
  if (type == "sCAL")
    return std::string(
        "\x01"
        "2.5\0"
        "2.5",
        8);
  if (type == "eXIf") return std::string("MM\0\x2a\0\0\0\x08\0\0", 10);
  if (type == "iCCP") return std::string("profile\0\0", 9) + Deflated(std::string(400, 'p'));
  return "unknown ancillary data";
}

struct TReads {
  bool LoadAborted = false;
  bool ParamsAborted = false;
  int64_t Peak = 0;  // most heap held during either read, in bytes
  std::vector<std::string> TextKeys;
};

TReads ReadBoth(const std::string& bytes) {
  TReads r;
  TWatchedStream load(bytes);
  TImagingIO io;
  io.LoadFromStreamAsType(load, ioPNG);
  r.LoadAborted = io.Aborting;
  r.TextKeys = io.Params.PngTextKeys;
  TWatchedStream params(bytes);
  TImagingIO header;
  header.ReadParamsFromStream(params);
  r.ParamsAborted = header.Aborting;
  r.Peak = std::max(load.Peak(), params.Peak());
  return r;
}

// What a read of these tiny files may hold besides its (2 x 2) picture.
constexpr int64_t kSmallFileHeap = int64_t(4) << 20;

const char* const kChunkKinds[] = {"tEXt", "zTXt", "iTXt", "sPLT", "pCAL",
                                   "sCAL", "eXIf", "iCCP", "prVt"};

class PngChunkLimits : public ::testing::TestWithParam<const char*> {};

// Before the length check each of these took 2.3 GB and 4 to 7 s (a sanitizer
// build); now each read ends at the chunk's header, in well under 1 ms.
TEST_P(PngChunkLimits, AChunkClaimingTwoGigabytesIsATruncatedFile) {
  const std::string bytes = Claims2GB(GetParam());
  ASSERT_EQ(bytes.size(), 44u);
  const TReads r = ReadBoth(bytes);
  EXPECT_TRUE(r.LoadAborted);
  EXPECT_TRUE(r.ParamsAborted);
  EXPECT_LT(r.Peak, kSmallFileHeap);
}

TEST_P(PngChunkLimits, AnHonestChunkOfTheSameKindReads) {
  const std::string type = GetParam();
  const TReads r = ReadBoth(Head() + Chunk(type, HonestData(type)) + ImageAndEnd());
  EXPECT_FALSE(r.LoadAborted);
  EXPECT_FALSE(r.ParamsAborted);
  EXPECT_LT(r.Peak, kSmallFileHeap);
  if (type == "tEXt" || type == "zTXt" || type == "iTXt") {
    EXPECT_EQ(r.TextKeys.size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, PngChunkLimits, ::testing::ValuesIn(kChunkKinds),
                         [](const auto& info) { return std::string(info.param); });

// A hundred compressed comments of 8 MB each, 780 KB in all: they took 2.6 GB
// and 5 s a read. Now they share 16 MB plus 16 bytes a byte of the file
// (28 MB here) and the rest are dropped without inflating: about 0.2 s.
TEST(PngChunkLimits, CompressedTextInflatesOnlyInProportionToTheFile) {
  const std::string text = Deflated(std::string(7999000, 'a'));
  std::string bytes = Head();
  for (int i = 0; i < 100; ++i)
    bytes += Chunk("zTXt", "Comment" + std::to_string(i) + std::string(2, '\0') + text);
  bytes += ImageAndEnd();
  const TReads r = ReadBoth(bytes);
  EXPECT_FALSE(r.LoadAborted);
  EXPECT_FALSE(r.ParamsAborted);
  const int64_t budget = (int64_t(16) << 20) + 16 * int64_t(bytes.size());
  EXPECT_GE(r.TextKeys.size(), 1u);
  EXPECT_LE(int64_t(r.TextKeys.size()) * 7999000, budget);
  // The kept texts, once in libpng and once in the parameters, and one being read.
  EXPECT_LT(r.Peak, 3 * budget);
}

}  // namespace
