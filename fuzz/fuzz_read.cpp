#include "fuzz_read.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxconfig.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/ccitt.h"
#include "imaging/formats/exif.h"
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

namespace {

bool RowsEqual(const uint8_t* a, const uint8_t* b, int width) {
  const int whole = width / 8, rest = width % 8;
  if (std::memcmp(a, b, static_cast<size_t>(whole)) != 0) return false;
  const uint8_t mask = static_cast<uint8_t>(0xFF00 >> rest);
  return rest == 0 || ((a[whole] ^ b[whole]) & mask) == 0;
}

// A broken promise of the coder: libFuzzer keeps the input as a crash.
void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz: %s\n", what);
  std::abort();
}

}  // namespace

// Parses untrusted data: the fuzzer's bytes are the header and the fax code.
int PxFuzzFax(const uint8_t* data, size_t size, TPxFuzzOutcome* outcome) {
  TPxFuzzOutcome local;
  TPxFuzzOutcome& out = outcome ? *outcome : local;
  if (size < kPxFuzzFaxHeader) return 0;
  TFaxOptions options;
  options.Coding = static_cast<TFaxCoding>(data[0] & 3);
  options.LsbFirst = (data[0] & 4) != 0;
  options.AlignEol = (data[0] & 8) != 0;  // the coder's only: decoders take either
  options.Width = 1 + (data[1] << 8 | data[2]) % kPxFuzzFaxMaxWidth;
  const int rows = 1 + data[3];
  const uint8_t* code = data + kPxFuzzFaxHeader;
  const size_t codeSize = size - kPxFuzzFaxHeader;

  // As the TIFF reader decodes a strip: row by row, until the first damage.
  TPxBitmap strip;
  if (!strip.Allocate(options.Width, rows, px1g)) return 0;
  int whole = 0;
  {
    TFaxDecoder decoder(options);
    decoder.BeginStrip(code, codeSize);
    while (whole < rows && decoder.DecodeRow(strip.Scanline(whole))) ++whole;
  }
  out.LoadAborted = whole < rows;

  // A caller that goes on past damage: every row stays within its bytes.
  const size_t rowBytes = (static_cast<size_t>(options.Width) + 7) / 8;
  {
    TFaxDecoder decoder(options);
    decoder.BeginStrip(code, codeSize);
    for (int y = 0; y < rows; ++y) {
      std::vector<uint8_t> row(rowBytes);
      decoder.DecodeRow(row.data());
    }
  }

  // The rows decoded whole, coded again, decode to themselves.
  if (whole == 0) return 0;
  TFaxEncoder encoder(options);
  for (int y = 0; y < whole; ++y) encoder.EncodeRow(strip.Scanline(y));
  encoder.EndStrip();
  const std::vector<uint8_t> recoded = encoder.Output();
  TFaxDecoder decoder(options);
  decoder.BeginStrip(recoded.data(), recoded.size());
  std::vector<uint8_t> row(rowBytes);
  for (int y = 0; y < whole; ++y) {
    Check(decoder.DecodeRow(row.data()), "a row the library coded is damaged");
    Check(RowsEqual(row.data(), strip.Scanline(y), options.Width), "a row coded again differs");
  }
  return 0;
}

// Parses untrusted data as an EXIF block.
int PxFuzzExif(const uint8_t* data, size_t size, TPxFuzzOutcome* outcome) {
  TPxFuzzOutcome local;
  TPxFuzzOutcome& out = outcome ? *outcome : local;
  TIOParamsVals read;
  out.LoadAborted = !ParseExifBlock(data, size, read);
  if (out.LoadAborted) return 0;
  // Written and read back, the values settle: the first writing may still
  // change them (a resolution of 0 is left out and reads back as the
  // default, a time too short for its fraction is written as 0 and then not
  // at all), but what the library wrote, it writes again the same way.
  TIOParamsVals once;
  const std::vector<uint8_t> first = BuildExifBlock(read);
  Check(ParseExifBlock(first.data(), first.size(), once), "a block the library wrote is not EXIF");
  const std::vector<uint8_t> second = BuildExifBlock(once);
  TIOParamsVals twice;
  Check(ParseExifBlock(second.data(), second.size(), twice), "a block the library wrote is not EXIF");
  Check(BuildExifBlock(twice) == second, "values read back are written differently");
  return 0;
}

TPxFuzzEntry PxFuzzEntryOf(const char* target) {
  const std::string name = target;
  if (name == "ccitt") return PxFuzzFax;
  if (name == "exif") return PxFuzzExif;
  return nullptr;
}
