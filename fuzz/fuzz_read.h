// The one entry of every reader's fuzz target and of the replay of their
// finds: bytes through the format table's stream read and the
// parameters-only read, as the program reads a file.
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
