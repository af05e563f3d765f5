// libFuzzer target of the BMP reader.
#include "fuzz_read.h"
#include "imaging/core/pxprogress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return PxFuzzRead(data, size, ioBMP);
}
