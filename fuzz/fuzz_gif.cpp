// libFuzzer target of the GIF reader: the format table's read, then the same
// bytes with every frame of an animation drawn over the ones before.
#include "fuzz_read.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/formats/gif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PxFuzzRead(data, size, ioGIF);
  TPxMemoryStream stream(data, size);
  TPxBitmap bitmap;
  TIOParamsVals params;
  params.GifImageIndex = INT32_MAX;  // beyond the last frame: all of them
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  ReadGifRow(stream, &bitmap, params, false, progress);
  return 0;
}
