#include "imaging/core/ioparams.h"

#include <algorithm>
#include <cstring>

TIOParamsVals::TIOParamsVals(TPxParamsOwner* owner) : Owner(owner) {}

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
  GifComments.clear();
  ColorProfile.clear();
}

void TIOParamsVals::ResetPictureDescription() { CopyPictureDescription(TIOParamsVals()); }

void TIOParamsVals::CopyPictureDescription(const TIOParamsVals& from) {
  BitsPerSample = from.BitsPerSample;
  DpiFromFile = from.DpiFromFile;
  SamplesPerPixel = from.SamplesPerPixel;
  JpegColorSpace = from.JpegColorSpace;
  JpegProgressive = from.JpegProgressive;
  JpegScaleUsed = from.JpegScaleUsed;
  JpegWarnings = from.JpegWarnings;
  JpegLastWarning = from.JpegLastWarning;
  JpegOriginalWidth = from.JpegOriginalWidth;
  JpegOriginalHeight = from.JpegOriginalHeight;
  PngInterlaced = from.PngInterlaced;
  BmpVersion = from.BmpVersion;
  BmpCompression = from.BmpCompression;
  IcoSizes = from.IcoSizes;
  IcoBitCounts = from.IcoBitCounts;
  CurXHotSpot = from.CurXHotSpot;
  CurYHotSpot = from.CurYHotSpot;
  GifXPos = from.GifXPos;
  GifYPos = from.GifYPos;
  GifFlagTranspColor = from.GifFlagTranspColor;
  GifTranspColor = from.GifTranspColor;
  GifInterlaced = from.GifInterlaced;
  GifWinWidth = from.GifWinWidth;
  GifWinHeight = from.GifWinHeight;
  GifBackground = from.GifBackground;
  GifRatio = from.GifRatio;
  GifAction = from.GifAction;
  GifImageCount = from.GifImageCount;
  ColorMap = from.ColorMap;
  ColorMapCount = from.ColorMapCount;
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

// Parses untrusted data: every length is checked against what is left.
bool TPxIPTCInfoList::DecodeAPP13(const std::vector<uint8_t>& data) {
  static const char kSignature[] = "Photoshop 3.0";
  const size_t n = data.size();
  if (n < sizeof kSignature || std::memcmp(data.data(), kSignature, sizeof kSignature) != 0) return false;
  auto be = [&](size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | data[at + i];
    return v;
  };
  size_t p = sizeof kSignature;
  while (p + 12 <= n && std::memcmp(&data[p], "8BIM", 4) == 0) {
    const uint32_t id = be(p + 4, 2);
    size_t q = p + 6;
    const size_t nameField = (1 + static_cast<size_t>(data[q]) + 1) & ~size_t(1);  // padded to even
    if (q + nameField + 4 > n) return false;
    q += nameField;
    q += 4;
    // A resource cut short keeps what it has: the records before the cut.
    const size_t size = std::min<size_t>(be(q - 4, 4), n - q);
    if (id == 0x0404) {
      Items.clear();
      size_t r = q;
      const size_t end = q + size;
      while (r + 5 <= end && data[r] == 0x1C) {
        const size_t len = be(r + 3, 2);
        if ((len & 0x8000) || len > end - (r + 5)) break;  // extended or cut: stop here
        Items.push_back({data[r + 1], data[r + 2],
                         std::string(reinterpret_cast<const char*>(&data[r + 5]), len)});
        r += 5 + len;
      }
      UserChanged = false;
      return true;
    }
    p = q + size + (size & 1);
  }
  return false;
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
