// libFuzzer target of the TIFF reader (and through it of the fax and LZW decoders).
#include "fuzz_read.h"
#include "imaging/core/pxprogress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return PxFuzzRead(data, size, ioTIFF);
}
