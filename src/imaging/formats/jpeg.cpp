// Stand-in until the JPEG codec lands: every read and write fails cleanly.
#include "imaging/formats/jpeg.h"

void ReadJpegStream(TPxStream&, TPxStream*, TPxBitmap*, bool, bool, bool, bool, bool,
                    TPxProgress& progress, TIOParamsVals&) {
  progress.Abort();
}

void WriteJpegStream(TPxStream&, TPxBitmap*, TIOParamsVals&, TPxProgress& progress) {
  progress.Abort();
}

int64_t JpegPosition(TPxStream& stream) {
  int64_t start = stream.Position();
  uint8_t buffer[102];
  int64_t n = stream.Read(buffer, sizeof buffer);
  stream.SetPosition(start);
  for (int64_t i = 0; i + 2 < n && i < 100; ++i) {
    if (buffer[i] == 0xFF && buffer[i + 1] == 0xD8 && buffer[i + 2] == 0xFF) return start + i;
  }
  return -1;
}

bool IsJpegStream(TPxStream& stream) { return JpegPosition(stream) >= 0; }
