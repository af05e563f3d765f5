#include "imaging/formats/exif.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/formats/jpeg.h"
#include "imaging/proc/orient.h"

namespace {

constexpr char kExifSignature[] = "Exif\0";  // and one more zero byte
constexpr size_t kHeaderBytes = 6;
constexpr int kMaxThumbnailSide = 400;
constexpr size_t kMaxMakerNoteBytes = 60000;
constexpr uint16_t kTagExifIfd = 34665;
constexpr uint16_t kTagXResolution = 282, kTagYResolution = 283, kTagResolutionUnit = 296;
constexpr uint16_t kTagCompression = 259, kTagThumbOffset = 513, kTagThumbLength = 514;
constexpr uint16_t kTagMakerNote = 37500, kTagUserComment = 37510;

enum TTiffType : uint16_t {
  ttByte = 1, ttAscii = 2, ttShort = 3, ttLong = 4, ttRational = 5, ttSByte = 6, ttUndefined = 7,
  ttSShort = 8, ttSLong = 9, ttSRational = 10, ttFloat = 11, ttDouble = 12
};

size_t TypeSize(uint16_t type) {
  static const uint8_t kSizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type < 13 ? kSizes[type] : 0;
}

// How a value is kept in TPxExifValues and written back.
enum TKind : uint8_t { kText, kInts, kReals, kVersion };

struct TTagInfo {
  uint8_t Ifd;  // 0 the first directory, 1 the EXIF directory
  uint16_t Tag;
  TKind Kind;
  uint8_t Count;  // values of kInts and kReals
  void* (*Field)(TPxExifValues&);
};

#define PX_FIELD(name) [](TPxExifValues& v) -> void* { return &v.name; }

const TTagInfo kTags[] = {
    {0, 270, kText, 1, PX_FIELD(ExifImageDescription)},
    {0, 271, kText, 1, PX_FIELD(ExifMake)},
    {0, 272, kText, 1, PX_FIELD(ExifModel)},
    {0, 274, kInts, 1, PX_FIELD(ExifOrientation)},
    {0, 305, kText, 1, PX_FIELD(ExifSoftware)},
    {0, 306, kText, 1, PX_FIELD(ExifDateTime)},
    {0, 318, kReals, 2, PX_FIELD(ExifWhitePoint)},
    {0, 319, kReals, 6, PX_FIELD(ExifPrimaryChromaticities)},
    {0, 529, kReals, 3, PX_FIELD(ExifYCbCrCoefficients)},
    {0, 531, kInts, 1, PX_FIELD(ExifYCbCrPositioning)},
    {0, 532, kReals, 6, PX_FIELD(ExifReferenceBlackWhite)},
    {0, 33432, kText, 1, PX_FIELD(ExifCopyright)},
    {1, 33434, kReals, 1, PX_FIELD(ExifExposureTime)},
    {1, 33437, kReals, 1, PX_FIELD(ExifFNumber)},
    {1, 34850, kInts, 1, PX_FIELD(ExifExposureProgram)},
    {1, 34855, kInts, 2, PX_FIELD(ExifISOSpeedRatings)},
    {1, 36864, kVersion, 1, PX_FIELD(ExifExifVersion)},
    {1, 36867, kText, 1, PX_FIELD(ExifDateTimeOriginal)},
    {1, 36868, kText, 1, PX_FIELD(ExifDateTimeDigitized)},
    {1, 37122, kReals, 1, PX_FIELD(ExifCompressedBitsPerPixel)},
    {1, 37377, kReals, 1, PX_FIELD(ExifShutterSpeedValue)},
    {1, 37378, kReals, 1, PX_FIELD(ExifApertureValue)},
    {1, 37379, kReals, 1, PX_FIELD(ExifBrightnessValue)},
    {1, 37380, kReals, 1, PX_FIELD(ExifExposureBiasValue)},
    {1, 37381, kReals, 1, PX_FIELD(ExifMaxApertureValue)},
    {1, 37382, kReals, 1, PX_FIELD(ExifSubjectDistance)},
    {1, 37383, kInts, 1, PX_FIELD(ExifMeteringMode)},
    {1, 37384, kInts, 1, PX_FIELD(ExifLightSource)},
    {1, 37385, kInts, 1, PX_FIELD(ExifFlash)},
    {1, 37386, kReals, 1, PX_FIELD(ExifFocalLength)},
    {1, 37520, kText, 1, PX_FIELD(ExifSubsecTime)},
    {1, 37521, kText, 1, PX_FIELD(ExifSubsecTimeOriginal)},
    {1, 37522, kText, 1, PX_FIELD(ExifSubsecTimeDigitized)},
    {1, 40960, kVersion, 1, PX_FIELD(ExifFlashPixVersion)},
    {1, 40961, kInts, 1, PX_FIELD(ExifColorSpace)},
    {1, 40962, kInts, 1, PX_FIELD(ExifPixelXDimension)},
    {1, 40963, kInts, 1, PX_FIELD(ExifPixelYDimension)},
    {1, 40964, kText, 1, PX_FIELD(ExifRelatedSoundFile)},
    {1, 41486, kReals, 1, PX_FIELD(ExifFocalPlaneXResolution)},
    {1, 41487, kReals, 1, PX_FIELD(ExifFocalPlaneYResolution)},
    {1, 41488, kInts, 1, PX_FIELD(ExifFocalPlaneResolutionUnit)},
    {1, 41493, kReals, 1, PX_FIELD(ExifExposureIndex)},
    {1, 41495, kInts, 1, PX_FIELD(ExifSensingMethod)},
    {1, 41728, kInts, 1, PX_FIELD(ExifFileSource)},
    {1, 41729, kInts, 1, PX_FIELD(ExifSceneType)},
};

#undef PX_FIELD

// --- reading -----------------------------------------------------------------

// The TIFF inside the block. Every access is checked against its length.
class TTiffView {
 public:
  TTiffView(const uint8_t* data, size_t size, bool bigEndian)
      : data_(data), size_(size), big_(bigEndian) {}

  size_t Size() const { return size_; }
  bool BigEndian() const { return big_; }
  const uint8_t* At(size_t offset) const { return data_ + offset; }
  bool Inside(uint64_t offset, uint64_t bytes) const {
    return offset <= size_ && bytes <= size_ - offset;
  }
  uint16_t U16(size_t at) const {
    return big_ ? uint16_t((data_[at] << 8) | data_[at + 1]) : uint16_t(data_[at] | (data_[at + 1] << 8));
  }
  uint32_t U32(size_t at) const {
    return big_ ? (uint32_t(U16(at)) << 16) | U16(at + 2) : U16(at) | (uint32_t(U16(at + 2)) << 16);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  bool big_;
};

// One directory entry with its value located inside the TIFF.
struct TEntry {
  uint16_t Tag = 0;
  uint16_t Type = 0;
  uint32_t Count = 0;
  size_t ValueAt = 0;  // offset of the value bytes
  size_t ValueBytes = 0;
};

// The entries of the directory at `offset` whose values lie inside; entries
// pointing outside are left out. False when the directory itself does not fit.
bool ReadIfd(const TTiffView& t, uint32_t offset, std::vector<TEntry>& entries, uint32_t& next) {
  entries.clear();
  next = 0;
  if (!t.Inside(offset, 2)) return false;
  const size_t count = t.U16(offset);
  // Entries beyond the block are not there, whatever the count says.
  const size_t fit = (t.Size() - offset - 2) / 12;
  const size_t n = std::min(count, fit);
  for (size_t i = 0; i < n; ++i) {
    const size_t at = offset + 2 + 12 * i;
    TEntry e;
    e.Tag = t.U16(at);
    e.Type = t.U16(at + 2);
    e.Count = t.U32(at + 4);
    const uint64_t bytes = uint64_t(TypeSize(e.Type)) * e.Count;
    if (bytes == 0) continue;  // unknown type or no values
    const uint64_t valueAt = bytes <= 4 ? at + 8 : t.U32(at + 8);
    if (!t.Inside(valueAt, bytes)) continue;
    e.ValueAt = size_t(valueAt);
    e.ValueBytes = size_t(bytes);
    entries.push_back(e);
  }
  if (n == count && t.Inside(offset + 2 + 12 * n, 4)) next = t.U32(offset + 2 + 12 * n);
  return true;
}

double NumberAt(const TTiffView& t, const TEntry& e, uint32_t index) {
  const size_t at = e.ValueAt + TypeSize(e.Type) * index;
  switch (e.Type) {
    case ttByte: case ttUndefined: return *t.At(at);
    case ttSByte: return int8_t(*t.At(at));
    case ttShort: return t.U16(at);
    case ttSShort: return int16_t(t.U16(at));
    case ttLong: return t.U32(at);
    case ttSLong: return int32_t(t.U32(at));
    case ttRational: {
      const uint32_t d = t.U32(at + 4);
      return d == 0 ? 0.0 : double(t.U32(at)) / d;
    }
    case ttSRational: {
      const int32_t d = int32_t(t.U32(at + 4));
      return d == 0 ? 0.0 : double(int32_t(t.U32(at))) / d;
    }
    case ttFloat: {
      const uint32_t bits = t.U32(at);
      float f;
      std::memcpy(&f, &bits, 4);
      return std::isfinite(f) ? f : 0.0;
    }
    case ttDouble: {
      const uint64_t first = t.U32(at), second = t.U32(at + 4);
      const uint64_t bits = t.BigEndian() ? (first << 32) | second : (second << 32) | first;
      double d;
      std::memcpy(&d, &bits, 8);
      return std::isfinite(d) ? d : 0.0;
    }
    default: return 0;
  }
}

// The characters of an ASCII value up to its first zero byte.
std::string TextOf(const TTiffView& t, const TEntry& e) {
  const char* p = reinterpret_cast<const char*>(t.At(e.ValueAt));
  return std::string(p, strnlen(p, e.ValueBytes));
}

// An offset or length from a value of any type: negative or huge ones give 0,
// which no check lets through.
uint32_t OffsetOf(double v) { return v >= 0 && v < 4294967296.0 ? static_cast<uint32_t>(v) : 0; }

int32_t ClampToInt(double v) {
  if (!(v > -2147483648.0)) return v != v ? 0 : INT32_MIN;
  if (v > 2147483647.0) return INT32_MAX;
  return static_cast<int32_t>(v);
}

void TakeValue(const TTiffView& t, const TEntry& e, const TTagInfo& info, TPxExifValues& v) {
  void* field = info.Field(v);
  switch (info.Kind) {
    case kText: *static_cast<std::string*>(field) = TextOf(t, e); break;
    case kVersion: {
      // The four bytes of the entry's value, in file order.
      const size_t n = std::min<size_t>(e.ValueBytes, 4);
      std::string s(reinterpret_cast<const char*>(t.At(e.ValueAt)), n);
      s.erase(std::find(s.begin(), s.end(), '\0'), s.end());
      *static_cast<std::string*>(field) = s;
      break;
    }
    case kInts: {
      auto* out = static_cast<int32_t*>(field);
      for (uint32_t i = 0; i < info.Count; ++i) out[i] = i < e.Count ? ClampToInt(NumberAt(t, e, i)) : 0;
      break;
    }
    case kReals: {
      auto* out = static_cast<double*>(field);
      for (uint32_t i = 0; i < info.Count; ++i) out[i] = i < e.Count ? NumberAt(t, e, i) : 0.0;
      break;
    }
  }
}

void TakeEntries(const TTiffView& t, const std::vector<TEntry>& entries, uint8_t ifd,
                 TIOParamsVals& params, uint32_t& exifIfd) {
  for (const TEntry& e : entries) {
    if (ifd == 0 && e.Tag == kTagExifIfd) {
      exifIfd = OffsetOf(NumberAt(t, e, 0));
      continue;
    }
    if (ifd == 0 && (e.Tag == kTagXResolution || e.Tag == kTagYResolution || e.Tag == kTagResolutionUnit)) {
      const double v = NumberAt(t, e, 0);
      if (e.Tag == kTagXResolution) params.ExifXResolution = v;
      else if (e.Tag == kTagYResolution) params.ExifYResolution = v;
      else params.ExifResolutionUnit = ClampToInt(v);
      continue;
    }
    if (ifd == 1 && e.Tag == kTagMakerNote) {
      params.ExifMakerNote.assign(t.At(e.ValueAt), t.At(e.ValueAt) + e.ValueBytes);
      continue;
    }
    if (ifd == 1 && e.Tag == kTagUserComment) {
      // Eight characters of character code, then the comment.
      std::string all(reinterpret_cast<const char*>(t.At(e.ValueAt)), e.ValueBytes);
      while (!all.empty() && (all.back() == '\0' || all.back() == ' ')) all.pop_back();
      if (all.size() <= 8 && all.find_first_not_of('\0') == std::string::npos) all.clear();
      params.ExifUserCommentCode = all.substr(0, std::min<size_t>(8, all.size()));
      params.ExifUserComment = all.size() > 8 ? all.substr(8) : std::string();
      continue;
    }
    for (const TTagInfo& info : kTags)
      if (info.Ifd == ifd && info.Tag == e.Tag) {
        TakeValue(t, e, info, params);
        break;
      }
  }
}

// A JPEG thumbnail of the second directory, when it is small and whole.
void ReadThumbnail(const TTiffView& t, const std::vector<TEntry>& entries, TIOParamsVals& params) {
  uint64_t offset = 0, length = 0;
  bool haveOffset = false;
  for (const TEntry& e : entries) {
    if (e.Tag == kTagThumbOffset) {
      offset = OffsetOf(NumberAt(t, e, 0));
      haveOffset = true;
    } else if (e.Tag == kTagThumbLength) {
      length = OffsetOf(NumberAt(t, e, 0));
    } else if (e.Tag == kTagCompression && NumberAt(t, e, 0) != 6) {
      return;  // uncompressed thumbnails are not read
    }
  }
  if (!haveOffset || length == 0) return;
  length = std::min<uint64_t>(length, t.Size() - std::min<uint64_t>(offset, t.Size()));
  if (length < 4 || !t.Inside(offset, length)) return;
  TPxMemoryStream stream(t.At(size_t(offset)), size_t(length));
  TIOParamsVals probe;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  ReadJpegStream(stream, nullptr, nullptr, false, false, false, false, true, progress, probe);
  if (aborting || probe.Width <= 0 || probe.Height <= 0 || probe.Width > kMaxThumbnailSide ||
      probe.Height > kMaxThumbnailSide)
    return;
  auto thumb = std::make_shared<TPxBitmap>();
  TIOParamsVals thumbParams;
  stream.SetPosition(0);
  ReadJpegStream(stream, nullptr, thumb.get(), false, false, false, false, false, progress, thumbParams);
  if (aborting || thumb->IsEmpty()) return;  // a damaged thumbnail is no thumbnail
  if (thumb->PixelFormat() != pxRGB24) thumb->ConvertTo(pxRGB24);
  if (!PxApplyOrientation(*thumb, params.ExifOrientation)) return;
  params.ExifThumbnail = std::move(thumb);
}

// --- writing -----------------------------------------------------------------

struct TOutEntry {
  uint16_t Tag;
  uint16_t Type;
  uint32_t Count;
  std::vector<uint8_t> Value;
};

void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// A rational near v: whole numbers over 1, else over a power of ten that keeps
// both parts within 32 bits.
void PutRational(std::vector<uint8_t>& out, double v, bool isSigned) {
  if (!std::isfinite(v)) v = 0;
  if (!isSigned && v < 0) v = 0;
  uint32_t den = 1;
  const double limit = isSigned ? 2147483647.0 : 4294967295.0;
  while (den < 1000000 && std::fabs(v * den * 10) <= limit && std::fabs(v * den - std::round(v * den)) > 1e-9)
    den *= 10;
  const double num = std::clamp(std::round(v * den), isSigned ? -limit : 0.0, limit);
  if (isSigned) Put32(out, static_cast<uint32_t>(static_cast<int32_t>(num)));
  else Put32(out, static_cast<uint32_t>(num));
  Put32(out, den);
}

TOutEntry AsciiEntry(uint16_t tag, const std::string& text) {
  TOutEntry e{tag, ttAscii, 0, {}};
  e.Value.assign(text.begin(), text.end());
  e.Value.push_back(0);
  e.Count = uint32_t(e.Value.size());
  return e;
}

TOutEntry ShortEntry(uint16_t tag, const int32_t* values, uint32_t count) {
  TOutEntry e{tag, ttShort, count, {}};
  for (uint32_t i = 0; i < count; ++i) Put16(e.Value, uint32_t(std::clamp<int32_t>(values[i], 0, 65535)));
  return e;
}

// Values that may be negative are written signed, as their tags are defined.
bool SignedTag(uint16_t tag) { return tag == 37377 || tag == 37379 || tag == 37380; }

void AddValue(const TTagInfo& info, const TPxExifValues& v, std::vector<TOutEntry>& out) {
  void* field = info.Field(const_cast<TPxExifValues&>(v));
  switch (info.Kind) {
    case kText: {
      const auto& s = *static_cast<const std::string*>(field);
      if (!s.empty()) out.push_back(AsciiEntry(info.Tag, s));
      break;
    }
    case kVersion: {
      std::string s = *static_cast<const std::string*>(field);
      if (s.empty()) {
        if (info.Tag != 36864) break;  // only the EXIF version is always written
        s = "0220";
      }
      s.resize(4, '\0');
      TOutEntry e{info.Tag, ttUndefined, 4, std::vector<uint8_t>(s.begin(), s.end())};
      out.push_back(std::move(e));
      break;
    }
    case kInts: {
      const auto* values = static_cast<const int32_t*>(field);
      uint32_t count = info.Count;
      while (count > 0 && values[count - 1] == 0) --count;  // unset trailing values
      if (info.Tag == 274) {
        // The orientation is always written, and only as one of its eight values.
        const int32_t o = values[0] >= 1 && values[0] <= 8 ? values[0] : 1;
        out.push_back(ShortEntry(info.Tag, &o, 1));
        break;
      }
      if (count > 0) out.push_back(ShortEntry(info.Tag, values, count));
      break;
    }
    case kReals: {
      const auto* values = static_cast<const double*>(field);
      bool any = false;
      for (int i = 0; i < info.Count; ++i) any = any || values[i] != 0;
      if (!any) break;
      const bool isSigned = SignedTag(info.Tag);
      TOutEntry e{info.Tag, uint16_t(isSigned ? ttSRational : ttRational), info.Count, {}};
      for (int i = 0; i < info.Count; ++i) PutRational(e.Value, values[i], isSigned);
      out.push_back(std::move(e));
      break;
    }
  }
}

// Writes a directory at the end of out (an even offset), entries in tag
// order, with the values longer than four bytes right behind it.
void WriteIfd(std::vector<uint8_t>& out, std::vector<TOutEntry>& entries, size_t tiffStart) {
  std::sort(entries.begin(), entries.end(), [](const TOutEntry& a, const TOutEntry& b) { return a.Tag < b.Tag; });
  const size_t ifdAt = out.size();
  size_t dataAt = ifdAt + 2 + 12 * entries.size() + 4;
  Put16(out, uint32_t(entries.size()));
  std::vector<uint8_t> data;
  for (const TOutEntry& e : entries) {
    Put16(out, e.Tag);
    Put16(out, e.Type);
    Put32(out, e.Count);
    if (e.Value.size() <= 4) {
      std::vector<uint8_t> v = e.Value;
      v.resize(4, 0);
      out.insert(out.end(), v.begin(), v.end());
    } else {
      Put32(out, uint32_t(dataAt + data.size() - tiffStart));
      data.insert(data.end(), e.Value.begin(), e.Value.end());
      if (data.size() % 2) data.push_back(0);
    }
  }
  Put32(out, 0);  // no further directory
  out.insert(out.end(), data.begin(), data.end());
}

size_t IfdBytes(const std::vector<TOutEntry>& entries) {
  size_t n = 2 + 12 * entries.size() + 4;
  for (const TOutEntry& e : entries)
    if (e.Value.size() > 4) n += (e.Value.size() + 1) & ~size_t(1);
  return n;
}

}  // namespace

void OrientUprightValues(TIOParamsVals& params) {
  if (params.ExifOrientation < 5 || params.ExifOrientation > 8) return;
  std::swap(params.Width, params.Height);
  std::swap(params.JpegOriginalWidth, params.JpegOriginalHeight);
  std::swap(params.ExifPixelXDimension, params.ExifPixelYDimension);
  params.SetDpi(params.DpiY, params.DpiX);
}

bool OrientUpright(TPxBitmap& bitmap, TPxMask* mask, TIOParamsVals& params) {
  const int o = params.ExifOrientation;
  if (o < 2 || o > 8) return true;
  if (mask && !mask->IsEmpty() && !PxApplyOrientation(*mask, o)) return false;
  if (!PxApplyOrientation(bitmap, o)) return false;
  OrientUprightValues(params);
  params.ExifOrientation = 1;
  return true;
}

bool ParseExifBlock(const uint8_t* data, size_t length, TIOParamsVals& params) {
  if (data == nullptr || length < 5 || std::memcmp(data, kExifSignature, 5) != 0) return false;
  params.HasExif = true;
  if (length < kHeaderBytes + 8) return true;
  const uint8_t* tiff = data + kHeaderBytes;
  const size_t size = length - kHeaderBytes;
  const bool big = tiff[0] == 'M' && tiff[1] == 'M';
  if (!big && !(tiff[0] == 'I' && tiff[1] == 'I')) return true;
  const TTiffView t(tiff, size, big);
  if (t.U16(2) != 42) return true;
  const uint32_t ifd0 = t.U32(4);
  std::vector<TEntry> entries;
  uint32_t next = 0, exifIfd = 0;
  if (ifd0 < 8 || !ReadIfd(t, ifd0, entries, next)) return true;
  TakeEntries(t, entries, 0, params, exifIfd);
  // Each directory is read once: a pointer back to one already read is a loop.
  if (exifIfd >= 8 && exifIfd != ifd0) {
    std::vector<TEntry> exifEntries;
    uint32_t unused = 0;
    if (ReadIfd(t, exifIfd, exifEntries, unused)) {
      uint32_t nested = 0;
      TakeEntries(t, exifEntries, 1, params, nested);
    }
  }
  if (next >= 8 && next != ifd0 && next != exifIfd && ReadIfd(t, next, entries, next))
    ReadThumbnail(t, entries, params);
  return true;
}

std::vector<uint8_t> BuildExifBlock(const TIOParamsVals& params) {
  std::vector<TOutEntry> ifd0, exif;
  for (const TTagInfo& info : kTags) AddValue(info, params, info.Ifd == 0 ? ifd0 : exif);
  auto resolution = [&](uint16_t tag, double v) {
    const double r = std::round(v);
    if (!std::isfinite(r) || r < 1) return;
    TOutEntry e{tag, ttRational, 1, {}};
    Put32(e.Value, r > 4294967295.0 ? 0xFFFFFFFFu : uint32_t(r));
    Put32(e.Value, 1);
    ifd0.push_back(std::move(e));
  };
  resolution(kTagXResolution, params.ExifXResolution);
  resolution(kTagYResolution, params.ExifYResolution);
  const int32_t inches = 2;
  ifd0.push_back(ShortEntry(kTagResolutionUnit, &inches, 1));
  // A comment already written with its code keeps it; a bare one is ASCII.
  if (!params.ExifUserComment.empty() || !params.ExifUserCommentCode.empty()) {
    std::string code = params.ExifUserCommentCode.empty() ? std::string("ASCII\0\0\0", 8) : params.ExifUserCommentCode;
    code.resize(8, '\0');
    const std::string all = code + params.ExifUserComment;
    exif.push_back({kTagUserComment, ttUndefined, uint32_t(all.size()), std::vector<uint8_t>(all.begin(), all.end())});
  }
  // The block must fit one marker segment with the rest of the values.
  if (!params.ExifMakerNote.empty() && params.ExifMakerNote.size() < kMaxMakerNoteBytes)
    exif.push_back({kTagMakerNote, ttUndefined, uint32_t(params.ExifMakerNote.size()), params.ExifMakerNote});
  ifd0.push_back({kTagExifIfd, ttLong, 1, {0, 0, 0, 0}});

  std::vector<uint8_t> out(kExifSignature, kExifSignature + 5);
  out.push_back(0);
  const size_t tiffStart = out.size();
  out.insert(out.end(), {'I', 'I', 42, 0, 8, 0, 0, 0});
  const uint32_t exifAt = uint32_t(8 + IfdBytes(ifd0));
  for (TOutEntry& e : ifd0)
    if (e.Tag == kTagExifIfd) e.Value = {uint8_t(exifAt), uint8_t(exifAt >> 8), uint8_t(exifAt >> 16), uint8_t(exifAt >> 24)};
  WriteIfd(out, ifd0, tiffStart);
  WriteIfd(out, exif, tiffStart);
  return out;
}
