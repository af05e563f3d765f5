#include "imaging/formats/codecinput.h"

#include "imaging/core/pxconfig.h"

bool PxReadRemaining(TPxStream& stream, std::vector<uint8_t>& data) {
  const int64_t position = stream.Position();
  const int64_t size = stream.Size();
  if (position < 0 || size <= position) return false;
  const int64_t count = size - position;
  if (count > PxImageBytesLimit()) return false;
  data.resize(static_cast<size_t>(count));
  return stream.ReadExact(data.data(), count);
}

bool PxRowsContiguousBottomUp(TPxBitmap& bitmap) {
  if (bitmap.IsEmpty() || bitmap.Location() == pxFile) return false;
  const int h = bitmap.Height();
  if (h == 1) return true;
  return bitmap.Scanline(0) - bitmap.Scanline(1) == bitmap.RowBytes() &&
         bitmap.Scanline(0) - bitmap.Scanline(h - 1) == int64_t(h - 1) * bitmap.RowBytes();
}
