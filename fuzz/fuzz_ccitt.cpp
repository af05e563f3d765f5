// libFuzzer target of the CCITT fax decoder (modified Huffman, Group 3 one-
// and two-dimensional, Group 4), mode, bit order, width and rows taken from
// the first bytes of the input.
#include "fuzz_read.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return PxFuzzFax(data, size);
}
