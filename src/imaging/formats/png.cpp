// Interim: reading and writing fail cleanly until the libpng binding lands.
#include "imaging/formats/png.h"

void ReadPngStream(TPxStream&, TPxBitmap*, TIOParamsVals&, bool, std::unique_ptr<TPxMask>&, bool,
                   TPxProgress& progress) {
  progress.Abort();
}

void WritePngStream(TPxStream&, TPxBitmap*, TIOParamsVals&, const TPxMask*, TPxProgress& progress) {
  progress.Abort();
}

bool IsPngStream(TPxStream& stream) {
  uint8_t head[8] = {};
  int64_t n = stream.Read(head, 8);
  if (n > 0) stream.Seek(-n, soCurrent);
  return n == 8 && head[0] == 137 && head[1] == 'P' && head[2] == 'N' && head[3] == 'G';
}
