#include "imaging/core/pxconfig.h"

#include <algorithm>
#include <atomic>

namespace {
std::atomic<int64_t> imageBytesLimit{kPxMaxImageBytes};
}  // namespace

int64_t PxImageBytesLimit() { return imageBytesLimit.load(std::memory_order_relaxed); }

void PxSetImageBytesLimit(int64_t bytes) {
  imageBytesLimit.store(std::clamp<int64_t>(bytes, 1, kPxMaxImageBytes), std::memory_order_relaxed);
}
