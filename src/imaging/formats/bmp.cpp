#include "imaging/formats/bmp.h"

#include <cstdint>

// Parses untrusted data.
bool BmpContentTest(TPxStream& stream) {
  uint8_t h[2];
  return stream.Size() - stream.Position() > 14 && stream.ReadExact(h, 2) && h[0] == 'B' &&
         h[1] == 'M';
}
