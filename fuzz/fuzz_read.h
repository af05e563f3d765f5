// The entries of the fuzz targets and of the replay of their finds: every
// reader's (bytes through the format table's stream read and the
// parameters-only read, as the program reads a file), the fax decoder's and
// the EXIF parser's.
#pragma once

#include <cstddef>
#include <cstdint>

// How the two reads of one input ended.
struct TPxFuzzOutcome {
  bool LoadAborted = false;    // LoadFromStreamAsType set Aborting
  bool ParamsAborted = false;  // ReadParamsFromStream set Aborting
  int32_t DetectedType = 0;    // what the content test took the bytes for
};

// The largest pixel buffer a fuzzed read may allocate: far below the
// fuzzer's own limits (scripts/fuzz.sh: -malloc_limit_mb=1024,
// -rss_limit_mb=2048), so that a picture the library accepts is never
// reported as running out of memory. Set by PxFuzzRead on every call.
inline constexpr int64_t kPxFuzzImageBytes = int64_t(256) << 20;

// Reads data as fileType (ioJPEG, ioPNG, ...) from a memory stream, then
// reads its parameters only. Always returns 0 (libFuzzer's "keep going");
// an exception that escapes a reader escapes this too.
int PxFuzzRead(const uint8_t* data, size_t size, int32_t fileType,
               TPxFuzzOutcome* outcome = nullptr);

// The fax target's input: byte 0 the coding (bits 0-1: modified Huffman,
// Group 3 one-dimensional, Group 3 two-dimensional, Group 4), the bit
// order (bit 2: least significant bit first) and whether the coding again
// ends each end-of-line code on a byte (bit 3), bytes 1-2 the width - 1
// (big-endian, taken modulo kPxFuzzFaxMaxWidth), byte 3 the rows - 1; the
// rest is the code of one strip.
inline constexpr size_t kPxFuzzFaxHeader = 4;
inline constexpr int kPxFuzzFaxMaxWidth = 8192;

// Decodes a fax strip as the TIFF reader does, row by row until the first
// damage (outcome->LoadAborted), and once more going on past damage; the
// rows decoded whole are coded again and must decode to themselves (abort
// otherwise, which libFuzzer keeps as a find). Always returns 0.
int PxFuzzFax(const uint8_t* data, size_t size, TPxFuzzOutcome* outcome = nullptr);

// Parses data as the EXIF block of a JPEG file (the APP1 data, "Exif\0\0"
// and a TIFF structure); outcome->LoadAborted when it is not EXIF. What was
// read is written and read back twice; the second block read back must be
// written as it was (abort otherwise). Always returns 0.
int PxFuzzExif(const uint8_t* data, size_t size, TPxFuzzOutcome* outcome = nullptr);

// The entry of a target that is not a format's reader (ccitt, exif), by
// the target's name; none for the readers, which go through PxFuzzRead.
using TPxFuzzEntry = int (*)(const uint8_t* data, size_t size, TPxFuzzOutcome* outcome);
TPxFuzzEntry PxFuzzEntryOf(const char* target);
