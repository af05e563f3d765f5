#include "imaging/core/ioparams.h"

#include <algorithm>
#include <cstring>
#include <ctime>

TPxDateTime TPxDateTime::Now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour,        local.tm_min,     local.tm_sec};
}

#include <atomic>

namespace {
// Written once when the library starts, before any record is made.
std::atomic<TPxTiffLzwDecompress> gLzwDecompress{nullptr};
std::atomic<TPxTiffLzwCompress> gLzwCompress{nullptr};
}  // namespace

void PxSetDefaultTiffLzw(TPxTiffLzwDecompress decompress, TPxTiffLzwCompress compress) {
  gLzwDecompress = decompress;
  gLzwCompress = compress;
}

TIOParamsVals::TIOParamsVals(TPxParamsOwner* owner)
    : Owner(owner), TiffLzwDecompress(gLzwDecompress.load()), TiffLzwCompress(gLzwCompress.load()) {}

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
  static_cast<TPxExifValues&>(*this) = TPxExifValues();
  ExifThumbnail.reset();
  PngTextKeys.clear();
  PngTextValues.clear();
  PnmComments.clear();
  GifComments.clear();
  ColorProfile.clear();
  ImagingAnnot.Data.clear();
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
  TiffImageCount = from.TiffImageCount;
  TiffPhotometric = from.TiffPhotometric;
  TiffPlanarConfig = from.TiffPlanarConfig;
  TiffXPos = from.TiffXPos;
  TiffYPos = from.TiffYPos;
  TiffDocumentName = from.TiffDocumentName;
  TiffImageDescription = from.TiffImageDescription;
  TiffPageName = from.TiffPageName;
  TiffPageNumber = from.TiffPageNumber;
  TiffPageCount = from.TiffPageCount;
  BmpVersion = from.BmpVersion;
  BmpCompression = from.BmpCompression;
  IcoSizes = from.IcoSizes;
  IcoBitCounts = from.IcoBitCounts;
  CurXHotSpot = from.CurXHotSpot;
  CurYHotSpot = from.CurYHotSpot;
  PcxVersion = from.PcxVersion;
  TgaXPos = from.TgaXPos;
  TgaYPos = from.TgaYPos;
  TgaCompression = from.TgaCompression;
  TgaImageName = from.TgaImageName;
  TgaAuthor = from.TgaAuthor;
  TgaDate = from.TgaDate;
  TgaJobName = from.TgaJobName;
  TgaKeyColor = from.TgaKeyColor;
  TgaAspectRatio = from.TgaAspectRatio;
  TgaGamma = from.TgaGamma;
  TgaGrayLevel = from.TgaGrayLevel;
  Jp2ReduceUsed = from.Jp2ReduceUsed;
  FullWidth = from.FullWidth;
  FullHeight = from.FullHeight;
  RawCamera = from.RawCamera;
  RawPictureRead = from.RawPictureRead;
  CodecError = from.CodecError;
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

std::vector<uint8_t> TPxIPTCInfoList::EncodeRecords() const {
  std::vector<uint8_t> out;
  for (const TPxIPTCInfo& item : Items) {
    // The record version is written by the container that needs it.
    if (item.Value.empty() || (item.Record == 2 && item.DataSet == 0)) continue;
    const uint32_t len = static_cast<uint32_t>(item.Value.size());
    out.insert(out.end(), {0x1C, item.Record, item.DataSet});
    if (len < 32768) {
      out.insert(out.end(), {static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)});
    } else {
      // Extended form: a flagged count of length bytes, then the length.
      out.insert(out.end(), {0x80, 0x04, static_cast<uint8_t>(len >> 24), static_cast<uint8_t>(len >> 16),
                             static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)});
    }
    out.insert(out.end(), item.Value.begin(), item.Value.end());
  }
  return out;
}

std::vector<uint8_t> TPxIPTCInfoList::EncodeAPP13() const {
  const std::vector<uint8_t> iptc = EncodeRecords();
  if (iptc.empty()) return {};
  static const char kSignature[] = "Photoshop 3.0";  // with its zero byte
  std::vector<uint8_t> out(kSignature, kSignature + sizeof kSignature);
  const uint32_t size = static_cast<uint32_t>(iptc.size());
  // Resource 0x0404 (IPTC), an empty name padded to even length, the size.
  out.insert(out.end(), {'8', 'B', 'I', 'M', 0x04, 0x04, 0, 0, static_cast<uint8_t>(size >> 24),
                         static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 8),
                         static_cast<uint8_t>(size)});
  out.insert(out.end(), iptc.begin(), iptc.end());
  if (out.size() % 2) out.push_back(0);
  return out;
}

std::vector<uint8_t> TPxIPTCInfoList::EncodeTIFF() const {
  const std::vector<uint8_t> iptc = EncodeRecords();
  if (iptc.empty()) return {};
  std::vector<uint8_t> out = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x02};  // record version 2
  out.insert(out.end(), iptc.begin(), iptc.end());
  if (out.size() % 2) out.push_back(0);
  return out;
}

// Untrusted data: a record is taken only when it and its data lie inside.
void TPxIPTCInfoList::DecodeRecords(const uint8_t* data, size_t n) {
  Items.clear();
  UserChanged = false;
  size_t r = 0;
  while (r < n && data[r] != 0x1C) ++r;
  while (r + 5 <= n && data[r] == 0x1C) {
    size_t head = 5;
    uint64_t len = (uint32_t(data[r + 3]) << 8) | data[r + 4];
    if (len & 0x8000) {
      if (r + 9 > n) break;
      const int32_t big = static_cast<int32_t>((uint32_t(data[r + 5]) << 24) | (uint32_t(data[r + 6]) << 16) |
                                               (uint32_t(data[r + 7]) << 8) | data[r + 8]);
      len = big < 0 ? -int64_t(big) : big;
      head = 9;
    }
    if (len > n - r - head) break;
    Items.push_back({data[r + 1], data[r + 2],
                     std::string(reinterpret_cast<const char*>(data + r + head), size_t(len))});
    r += head + size_t(len);
  }
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
      DecodeRecords(data.data() + q, size);
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
