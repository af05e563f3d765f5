// libFuzzer target of the EXIF parser: the data of a JPEG file's APP1 marker.
#include "fuzz_read.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return PxFuzzExif(data, size);
}
