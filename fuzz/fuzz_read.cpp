#include "fuzz_read.h"

#include "imaging/core/pxconfig.h"
#include "imaging/core/pxstream.h"
#include "imaging/io/imagingio.h"

// Parses untrusted data: the fuzzer's bytes go through the readers unchecked.
int PxFuzzRead(const uint8_t* data, size_t size, int32_t fileType, TPxFuzzOutcome* outcome) {
  PxSetImageBytesLimit(kPxFuzzImageBytes);
  TPxFuzzOutcome local;
  TPxFuzzOutcome& out = outcome ? *outcome : local;
  {
    TPxMemoryStream stream(data, size);
    TImagingIO io;
    io.LoadFromStreamAsType(stream, fileType);
    out.LoadAborted = io.Aborting;
  }
  if (fileType == ioJPEG) {
    // The camera paths: the embedded thumbnail, and turning the picture upright.
    for (bool thumbnail : {true, false}) {
      TPxMemoryStream stream(data, size);
      TImagingIO io;
      io.Params.GetExifThumbnail = thumbnail;
      io.Params.AutoOrient = !thumbnail;
      io.LoadFromStreamAsType(stream, fileType);
    }
  }
  {
    TPxMemoryStream stream(data, size);
    out.DetectedType = TImagingIO::DetectStreamType(stream);
    TImagingIO io;
    io.ReadParamsFromStream(stream);
    out.ParamsAborted = io.Aborting;
  }
  return 0;
}
