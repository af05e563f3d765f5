#include "imaging/core/ioparams.h"

#include "imaging/core/imagingio.h"

#include <algorithm>

TIOParamsVals::TIOParamsVals(TImagingIO* owner) : Owner(owner) {}

void TIOParamsVals::ResetAll() {
  TIOParamsVals fresh(Owner);
  // A property of the owning component that only lives here: not a file's value.
  fresh.NativePixelFormat = NativePixelFormat;
  *this = std::move(fresh);
  if (Owner) {
    TPxBitmap* bitmap = Owner->Bitmap();
    if (bitmap && !bitmap->IsEmpty()) {
      Width = bitmap->Width();
      Height = bitmap->Height();
    }
  }
}

void TIOParamsVals::ClearMetadata() {
  IPTCInfoList.Clear();
  MarkerList.clear();
  HasExif = false;
  ExifXResolution = DpiX;
  ExifYResolution = DpiY;
  ExifResolutionUnit = 2;
  ExifOrientation = 1;
  ExifTags.clear();
  ExifThumbnail.reset();
  PngTextKeys.clear();
  PngTextValues.clear();
  ColorProfile.clear();
}

void TIOParamsVals::SetDpiX(int32_t dpi) { SetDpi(dpi, DpiY); }

void TIOParamsVals::SetDpiY(int32_t dpi) { SetDpi(DpiX, dpi); }

void TIOParamsVals::SetDpi(int32_t dpiX, int32_t dpiY) {
  DpiX = dpiX;
  DpiY = dpiY;
  ExifXResolution = dpiX;
  ExifYResolution = dpiY;
  ExifResolutionUnit = 2;  // the values above are per inch
  if (Owner) Owner->ParamsDpiChanged();
}

std::vector<uint8_t> TPxIPTCInfoList::EncodeAPP13() const {
  std::vector<uint8_t> iptc;
  for (const TPxIPTCInfo& item : Items) {
    // A data set longer than 32767 bytes needs the extended length form, which
    // no reader of these markers expects: such values are cut.
    const size_t len = std::min<size_t>(item.Value.size(), 32767);
    iptc.insert(iptc.end(), {0x1C, item.Record, item.DataSet, static_cast<uint8_t>(len >> 8),
                             static_cast<uint8_t>(len & 0xFF)});
    iptc.insert(iptc.end(), item.Value.begin(), item.Value.begin() + static_cast<long>(len));
  }
  if (iptc.empty()) return {};
  static const char kSignature[] = "Photoshop 3.0";  // with its zero byte
  std::vector<uint8_t> out(kSignature, kSignature + sizeof kSignature);
  const uint32_t size = static_cast<uint32_t>(iptc.size());
  // Resource 0x0404 (IPTC), an empty name padded to even length, the size.
  out.insert(out.end(), {'8', 'B', 'I', 'M', 0x04, 0x04, 0, 0, static_cast<uint8_t>(size >> 24),
                         static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 8),
                         static_cast<uint8_t>(size)});
  out.insert(out.end(), iptc.begin(), iptc.end());
  if (size % 2) out.push_back(0);  // resource data is padded to even length
  return out;
}

void TIOParamsVals::UpdateIPTCMarker() {
  const bool wanted = IPTCInfoList.UserChanged || (!IPTCInfoList.Items.empty() && MarkerList.empty());
  if (!wanted) return;
  constexpr uint8_t kAPP13 = 237;
  std::vector<uint8_t> data = IPTCInfoList.EncodeAPP13();
  auto at = std::find_if(MarkerList.begin(), MarkerList.end(),
                         [](const TPxMarker& m) { return m.Type == kAPP13; });
  if (data.empty()) {
    if (at != MarkerList.end()) MarkerList.erase(at);
  } else if (at != MarkerList.end()) {
    at->Data = std::move(data);
  } else {
    MarkerList.push_back({kAPP13, std::move(data)});
  }
}
