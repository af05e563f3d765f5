// Library-wide constants of the imaging layer.
#pragma once

#include <cstdint>

// Resolution assumed when a file states none, dots per inch.
inline constexpr int32_t kDefaultDpi = 300;

// Size limits of a pixel buffer. Row lengths are kept in 32-bit fields, so a
// row longer than this cannot be addressed; the total bounds what memory plus a
// temporary file can sensibly hold, and stops a file that claims a huge size
// from asking for it.
inline constexpr int64_t kPxMaxRowBytes = INT32_MAX;
inline constexpr int64_t kPxMaxImageBytes = int64_t(16) << 30;  // 16 GiB

// The largest pixel buffer this process allocates now: kPxMaxImageBytes
// unless lowered, e.g. by a fuzzing run, so that its own allocation limit
// is never reached by a picture the library would accept.
int64_t PxImageBytesLimit();
// Sets it, within 1 .. kPxMaxImageBytes.
void PxSetImageBytesLimit(int64_t bytes);

// Used as file threshold when the platform reports no free memory.
inline constexpr int64_t kPxFallbackFileThreshold = 33554432;  // 32 MiB

// Gray from colour, in percent: gray = (21 R + 71 G + 8 B) div 100.
inline constexpr int kGrayWeightRed = 21;
inline constexpr int kGrayWeightGreen = 71;
inline constexpr int kGrayWeightBlue = 8;

// Prefix of the temporary files behind file-backed pixel buffers.
inline constexpr const char* kPxBitmapTempPrefix = "IMG";
