#include "imaging/formats/exif.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/formats/codecio.h"
#include "imaging/formats/jpeg.h"
#include "imaging/proc/orient.h"

namespace {

constexpr char kExifSignature[] = "Exif\0";  // and one more zero byte
constexpr size_t kHeaderBytes = 6;
constexpr int kMaxThumbnailSide = 400;
constexpr size_t kMaxMakerNoteBytes = 60000;
constexpr uint16_t kTagExifIfd = 34665;
constexpr uint16_t kTagImageDescription = 270;
constexpr uint16_t kTagXResolution = 282, kTagYResolution = 283, kTagResolutionUnit = 296;
constexpr uint16_t kTagCompression = 259, kTagThumbOffset = 513, kTagThumbLength = 514;
constexpr uint16_t kTagMakerNote = 37500, kTagUserComment = 37510;

enum TTiffType : uint16_t {
  ttByte = 1, ttAscii = 2, ttShort = 3, ttLong = 4, ttRational = 5, ttSByte = 6, ttUndefined = 7,
  ttSShort = 8, ttSLong = 9, ttSRational = 10, ttFloat = 11, ttDouble = 12,
  ttIfd = 13  // an offset of a directory, as some writers type the EXIF pointer
};

size_t TypeSize(uint16_t type) {
  static const uint8_t kSizes[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
  return type < 14 ? kSizes[type] : 0;
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

// Texts and comments longer than this are left out: no camera writes them.
constexpr uint64_t kMaxTextBytes = 1048575;
// A maker note longer than this is not kept; camera notes stay far below.
constexpr uint64_t kMaxMakerNoteRead = 4 << 20;
// A maker note read as a directory has at most this many entries.
constexpr uint16_t kMaxMakerNoteEntries = 256;

// Reads a TIFF structure through TPxTiffBytes. Parses untrusted data: every
// access is checked against the structure's size before it is made.
class TTiffView {
 public:
  explicit TTiffView(TPxTiffBytes& bytes) : bytes_(bytes), big_(bytes.BigEndian) {}
  // The same bytes in the other byte order.
  TTiffView Swapped() const {
    TTiffView other(bytes_);
    other.big_ = !big_;
    return other;
  }

  uint64_t Size() const { return bytes_.Size(); }
  bool BigEndian() const { return big_; }
  bool Inside(uint64_t offset, uint64_t bytes) const {
    return offset <= Size() && bytes <= Size() - offset;
  }
  bool Read(uint64_t offset, size_t n, uint8_t* out) const {
    return Inside(offset, n) && bytes_.Read(offset, n, out);
  }
  uint16_t U16(const uint8_t* p) const {
    return BigEndian() ? uint16_t((p[0] << 8) | p[1]) : uint16_t(p[0] | (p[1] << 8));
  }
  uint32_t U32(const uint8_t* p) const {
    return BigEndian() ? (uint32_t(U16(p)) << 16) | U16(p + 2) : U16(p) | (uint32_t(U16(p + 2)) << 16);
  }

 private:
  TPxTiffBytes& bytes_;
  bool big_;
};

// A block in memory.
class TMemoryBytes : public TPxTiffBytes {
 public:
  TMemoryBytes(const uint8_t* data, size_t size, bool bigEndian)
      : TPxTiffBytes(bigEndian), data_(data), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool Read(uint64_t offset, size_t n, uint8_t* out) override {
    if (offset > size_ || n > size_ - offset) return false;
    std::memcpy(out, data_ + offset, n);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

// One directory entry with its value located inside the TIFF.
struct TEntry {
  uint16_t Tag = 0;
  uint16_t Type = 0;
  uint32_t Count = 0;
  uint64_t ValueAt = 0;  // offset of the value bytes
  uint64_t ValueBytes = 0;
};

// The entries of the directory at `offset` whose values lie inside; entries
// pointing outside are left out. False when the directory itself does not fit.
bool ReadIfd(const TTiffView& t, uint32_t offset, std::vector<TEntry>& entries, uint32_t& next) {
  entries.clear();
  next = 0;
  uint8_t head[2];
  if (!t.Read(offset, 2, head)) return false;
  const size_t count = t.U16(head);
  // Entries beyond the structure are not there, whatever the count says.
  const size_t fit = size_t((t.Size() - offset - 2) / 12);
  const size_t n = std::min(count, fit);
  std::vector<uint8_t> table(12 * n + 4);
  const bool withNext = n == count && t.Read(offset + 2, table.size(), table.data());
  if (!withNext && !t.Read(offset + 2, 12 * n, table.data())) return false;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = table.data() + 12 * i;
    TEntry e;
    e.Tag = t.U16(p);
    e.Type = t.U16(p + 2);
    e.Count = t.U32(p + 4);
    const uint64_t bytes = uint64_t(TypeSize(e.Type)) * e.Count;
    if (bytes == 0) continue;  // unknown type or no values
    const uint64_t valueAt = bytes <= 4 ? offset + 2 + 12 * i + 8 : t.U32(p + 8);
    if (!t.Inside(valueAt, bytes)) continue;
    e.ValueAt = valueAt;
    e.ValueBytes = bytes;
    entries.push_back(e);
  }
  if (withNext) next = t.U32(table.data() + 12 * n);
  return true;
}

double NumberAt(const TTiffView& t, const TEntry& e, uint32_t index) {
  uint8_t b[8];
  const size_t size = TypeSize(e.Type);
  if (!t.Read(e.ValueAt + uint64_t(size) * index, size, b)) return 0;
  switch (e.Type) {
    case ttByte: case ttUndefined: return b[0];
    case ttSByte: return int8_t(b[0]);
    case ttShort: return t.U16(b);
    case ttSShort: return int16_t(t.U16(b));
    case ttLong: case ttIfd: return t.U32(b);
    case ttSLong: return int32_t(t.U32(b));
    case ttRational: {
      const uint32_t d = t.U32(b + 4);
      return d == 0 ? 0.0 : double(t.U32(b)) / d;
    }
    case ttSRational: {
      const int32_t d = int32_t(t.U32(b + 4));
      return d == 0 ? 0.0 : double(int32_t(t.U32(b))) / d;
    }
    case ttFloat: {
      const uint32_t bits = t.U32(b);
      float f;
      std::memcpy(&f, &bits, 4);
      return std::isfinite(f) ? f : 0.0;
    }
    case ttDouble: {
      const uint64_t first = t.U32(b), second = t.U32(b + 4);
      const uint64_t bits = t.BigEndian() ? (first << 32) | second : (second << 32) | first;
      double d;
      std::memcpy(&d, &bits, 8);
      return std::isfinite(d) ? d : 0.0;
    }
    default: return 0;
  }
}

// The bytes of a value that is not too long to be a text; false otherwise.
bool ValueBytes(const TTiffView& t, const TEntry& e, std::string& out) {
  if (e.ValueBytes > kMaxTextBytes) return false;
  out.resize(size_t(e.ValueBytes));
  return t.Read(e.ValueAt, out.size(), reinterpret_cast<uint8_t*>(out.data()));
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
    case kText: {
      // The characters up to the first zero byte.
      std::string s;
      if (!ValueBytes(t, e, s)) break;
      s.erase(std::find(s.begin(), s.end(), '\0'), s.end());
      *static_cast<std::string*>(field) = s;
      break;
    }
    case kVersion: {
      // The four bytes of the entry's value, in file order.
      uint8_t b[4];
      const size_t n = size_t(std::min<uint64_t>(e.ValueBytes, 4));
      if (!t.Read(e.ValueAt, n, b)) break;
      std::string s(reinterpret_cast<const char*>(b), n);
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

// Bytes of one number of a type, for the change of byte order.
size_t PartSize(uint16_t type) {
  switch (type) {
    case ttShort: case ttSShort: return 2;
    case ttLong: case ttSLong: case ttFloat: case ttRational: case ttSRational: return 4;
    case ttDouble: return 8;
    default: return 1;
  }
}

// Puts the numbers of a value into little-endian order.
void ToLittleEndian(const TTiffView& t, uint16_t type, uint8_t* p, size_t bytes) {
  const size_t part = PartSize(type);
  if (!t.BigEndian() || part == 1) return;
  for (size_t at = 0; at + part <= bytes; at += part) std::reverse(p + at, p + at + part);
}

// A maker note that is a bare directory, as the directory image of
// TPxTagsHandler; false when the note is not one (it starts with the maker's
// own header, or an entry has no TIFF type). Values beyond the structure, or
// beyond what a maker note may hold, leave their entries out.
bool MakerNoteDirectory(const TTiffView& t, const std::vector<uint8_t>& note, std::vector<uint8_t>& image) {
  if (note.size() < 2) return false;
  const size_t count = t.U16(note.data());
  if (count == 0 || count > kMaxMakerNoteEntries || 2 + 12 * count > note.size()) return false;
  struct TKept {
    uint8_t Entry[12];
    int64_t ValueAt;  // in values, or -1 for a value in the entry
  };
  std::vector<TKept> kept;
  std::vector<uint8_t> values;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = note.data() + 2 + 12 * i;
    const uint16_t type = t.U16(p + 2);
    if (type == 0 || type > ttDouble) return false;
    const uint32_t n = t.U32(p + 4);
    const uint64_t bytes = uint64_t(TypeSize(type)) * n;
    TKept k{};
    PxPutU16LE(k.Entry, t.U16(p));
    PxPutU16LE(k.Entry + 2, type);
    PxPutU32LE(k.Entry + 4, n);
    k.ValueAt = -1;
    if (bytes <= 4) {
      std::memcpy(k.Entry + 8, p + 8, 4);
      ToLittleEndian(t, type, k.Entry + 8, size_t(bytes));
    } else {
      const uint32_t at = t.U32(p + 8);
      if (values.size() + bytes > kMaxMakerNoteRead || !t.Inside(at, bytes)) continue;
      k.ValueAt = int64_t(values.size());
      values.resize(values.size() + size_t(bytes));
      uint8_t* value = values.data() + k.ValueAt;
      if (!t.Read(at, size_t(bytes), value)) return false;
      ToLittleEndian(t, type, value, size_t(bytes));
      if (values.size() % 2) values.push_back(0);
    }
    kept.push_back(k);
  }
  if (kept.empty()) return false;
  const size_t valuesAt = 2 + 12 * kept.size() + 4;
  image.assign(valuesAt, 0);
  PxPutU16LE(image.data(), uint32_t(kept.size()));
  for (size_t i = 0; i < kept.size(); ++i) {
    if (kept[i].ValueAt >= 0) PxPutU32LE(kept[i].Entry + 8, uint32_t(valuesAt + size_t(kept[i].ValueAt)));
    std::memcpy(image.data() + 2 + 12 * i, kept[i].Entry, 12);
  }
  image.insert(image.end(), values.begin(), values.end());
  return true;
}

void TakeMakerNote(const TTiffView& t, const TEntry& e, TPxTagsHandler& store) {
  store = TPxTagsHandler();
  if (e.ValueBytes > kMaxMakerNoteRead) return;
  std::vector<uint8_t> note(static_cast<size_t>(e.ValueBytes));
  if (!t.Read(e.ValueAt, note.size(), note.data())) return;
  // A note keeps the byte order of the camera that wrote it when a program
  // later changed the file's.
  store.Directory = MakerNoteDirectory(t, note, store.Data) || MakerNoteDirectory(t.Swapped(), note, store.Data);
  if (!store.Directory) store.Data = std::move(note);
}

// What TakeEntries found besides the values.
struct TFound {
  uint32_t ExifIfd = 0;
  bool CameraText = false;  // the camera, software, a date or the copyright
};

void TakeEntries(const TTiffView& t, const std::vector<TEntry>& entries, uint8_t ifd,
                 TIOParamsVals& params, TFound& found) {
  for (const TEntry& e : entries) {
    if (ifd == 0 && e.Tag == kTagExifIfd) {
      found.ExifIfd = OffsetOf(NumberAt(t, e, 0));
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
      TakeMakerNote(t, e, params.ExifMakerNote);
      continue;
    }
    if (ifd == 1 && e.Tag == kTagUserComment) {
      // Eight characters of character code, then the comment.
      std::string all;
      if (!ValueBytes(t, e, all)) continue;
      while (!all.empty() && (all.back() == '\0' || all.back() == ' ')) all.pop_back();
      if (all.size() <= 8 && all.find_first_not_of('\0') == std::string::npos) all.clear();
      params.ExifUserCommentCode = all.substr(0, std::min<size_t>(8, all.size()));
      params.ExifUserComment = all.size() > 8 ? all.substr(8) : std::string();
      continue;
    }
    for (const TTagInfo& info : kTags)
      if (info.Ifd == ifd && info.Tag == e.Tag) {
        TakeValue(t, e, info, params);
        found.CameraText = found.CameraText || (info.Kind == kText && info.Tag != kTagImageDescription);
        break;
      }
  }
}

// Reads the directory at `ifd` and the EXIF directory it points at. Each
// directory is read once: a pointer back to the first one is a loop.
// exifRead tells whether the EXIF directory was there.
void ReadDirectories(const TTiffView& t, uint32_t ifd, TIOParamsVals& params, std::vector<TEntry>& entries,
                     uint32_t& next, TFound& found, bool& exifRead) {
  exifRead = false;
  if (!ReadIfd(t, ifd, entries, next)) return;
  TakeEntries(t, entries, 0, params, found);
  if (found.ExifIfd < 8 || found.ExifIfd == ifd) return;
  std::vector<TEntry> exifEntries;
  uint32_t unused = 0;
  if (!ReadIfd(t, found.ExifIfd, exifEntries, unused)) return;
  exifRead = true;
  TFound nested;
  TakeEntries(t, exifEntries, 1, params, nested);
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
  std::vector<uint8_t> jpeg(static_cast<size_t>(length));
  if (length < 4 || !t.Read(offset, jpeg.size(), jpeg.data())) return;
  TPxMemoryStream stream(jpeg.data(), jpeg.size());
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

TPxTiffEntry AsciiEntry(uint16_t tag, const std::string& text) {
  TPxTiffEntry e{tag, ttAscii, 0, {}};
  e.Value.assign(text.begin(), text.end());
  e.Value.push_back(0);
  e.Count = uint32_t(e.Value.size());
  return e;
}

TPxTiffEntry ShortEntry(uint16_t tag, const int32_t* values, uint32_t count) {
  TPxTiffEntry e{tag, ttShort, count, {}};
  for (uint32_t i = 0; i < count; ++i) Put16(e.Value, uint32_t(std::clamp<int32_t>(values[i], 0, 65535)));
  return e;
}

// Values that may be negative are written signed, as their tags are defined.
bool SignedTag(uint16_t tag) { return tag == 37377 || tag == 37379 || tag == 37380; }

// The type a whole number is written with: the pixel dimensions as LONG (which
// EXIF allows beside SHORT, and libtiff requires), the file source and scene
// type as the one UNDEFINED byte EXIF defines them as (libtiff drops them
// otherwise); the others as SHORT.
TPxTiffEntry IntEntry(uint16_t tag, const int32_t* values, uint32_t count) {
  if (tag == 40962 || tag == 40963) {
    TPxTiffEntry e{tag, ttLong, 1, {}};
    Put32(e.Value, uint32_t(std::max<int32_t>(values[0], 0)));
    return e;
  }
  if (tag == 41728 || tag == 41729)
    return TPxTiffEntry{tag, ttUndefined, 1, {uint8_t(std::clamp<int32_t>(values[0], 0, 255))}};
  return ShortEntry(tag, values, count);
}

void AddValue(const TTagInfo& info, const TPxExifValues& v, std::vector<TPxTiffEntry>& out) {
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
      out.push_back(TPxTiffEntry{info.Tag, ttUndefined, 4, std::vector<uint8_t>(s.begin(), s.end())});
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
      if (count > 0) out.push_back(IntEntry(info.Tag, values, count));
      break;
    }
    case kReals: {
      const auto* values = static_cast<const double*>(field);
      bool any = false;
      for (int i = 0; i < info.Count; ++i) any = any || values[i] != 0;
      if (!any) break;
      const bool isSigned = SignedTag(info.Tag);
      TPxTiffEntry e{info.Tag, uint16_t(isSigned ? ttSRational : ttRational), info.Count, {}};
      for (int i = 0; i < info.Count; ++i) PutRational(e.Value, values[i], isSigned);
      out.push_back(std::move(e));
      break;
    }
  }
}

// A directory image whose value offsets count from its start, with those
// offsets moved to `at`. The image was made by MakerNoteDirectory, or given
// by a program: what does not hold together is left as it is.
std::vector<uint8_t> DirectoryImageAt(std::vector<uint8_t> image, uint32_t at) {
  if (image.size() < 2) return image;
  const size_t count = PxGetU16LE(image.data());
  for (size_t i = 0; i < count && 2 + 12 * (i + 1) <= image.size(); ++i) {
    uint8_t* p = image.data() + 2 + 12 * i;
    if (uint64_t(TypeSize(PxGetU16LE(p + 2))) * PxGetU32LE(p + 4) <= 4) continue;
    PxPutU32LE(p + 8, PxGetU32LE(p + 8) + at);
  }
  return image;
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
  const bool big = tiff[0] == 'M' && tiff[1] == 'M';
  if (!big && !(tiff[0] == 'I' && tiff[1] == 'I')) return true;
  TMemoryBytes bytes(tiff, length - kHeaderBytes, big);
  const TTiffView t(bytes);
  if (t.U16(tiff + 2) != 42) return true;
  const uint32_t ifd0 = t.U32(tiff + 4);
  if (ifd0 < 8) return true;
  std::vector<TEntry> entries;
  uint32_t next = 0;
  TFound found;
  bool exifRead = false;
  ReadDirectories(t, ifd0, params, entries, next, found, exifRead);
  // Each directory is read once: a pointer back to one already read is a loop.
  if (next >= 8 && next != ifd0 && next != found.ExifIfd && ReadIfd(t, next, entries, next))
    ReadThumbnail(t, entries, params);
  return true;
}

void ReadExifValues(TPxTiffBytes& tiff, uint32_t ifd, TIOParamsVals& params) {
  const TTiffView t(tiff);
  std::vector<TEntry> entries;
  uint32_t next = 0;
  TFound found;
  bool exifRead = false;
  ReadDirectories(t, ifd, params, entries, next, found, exifRead);
  if (exifRead || found.CameraText) params.HasExif = true;
}

void ExifEntries(const TIOParamsVals& params, size_t maxMakerNote, std::vector<TPxTiffEntry>& first,
                 std::vector<TPxTiffEntry>& exif) {
  for (const TTagInfo& info : kTags) AddValue(info, params, info.Ifd == 0 ? first : exif);
  // A comment already written with its code keeps it; a bare one is ASCII.
  if (!params.ExifUserComment.empty() || !params.ExifUserCommentCode.empty()) {
    std::string code = params.ExifUserCommentCode.empty() ? std::string("ASCII\0\0\0", 8) : params.ExifUserCommentCode;
    code.resize(8, '\0');
    const std::string all = code + params.ExifUserComment;
    exif.push_back({kTagUserComment, ttUndefined, uint32_t(all.size()), std::vector<uint8_t>(all.begin(), all.end())});
  }
  const TPxTagsHandler& note = params.ExifMakerNote;
  if (!note.Empty() && note.Data.size() <= maxMakerNote && note.Data.size() <= UINT32_MAX)
    exif.push_back({kTagMakerNote, ttUndefined, uint32_t(note.Data.size()), note.Data, note.Directory});
}

std::vector<uint8_t> LayOutDirectory(std::vector<TPxTiffEntry> entries, uint32_t at, uint32_t& dirAt) {
  std::sort(entries.begin(), entries.end(),
            [](const TPxTiffEntry& a, const TPxTiffEntry& b) { return a.Tag < b.Tag; });
  std::vector<uint8_t> out;
  if (at % 2) out.push_back(0);
  dirAt = at + uint32_t(out.size());
  const uint32_t dataAt = dirAt + uint32_t(2 + 12 * entries.size() + 4);
  Put16(out, uint32_t(entries.size()));
  std::vector<uint8_t> data;
  for (const TPxTiffEntry& e : entries) {
    Put16(out, e.Tag);
    Put16(out, e.Type);
    Put32(out, e.Count);
    if (e.Value.size() <= 4) {
      uint8_t field[4] = {};
      std::copy(e.Value.begin(), e.Value.end(), field);
      out.insert(out.end(), field, field + 4);
      continue;
    }
    const uint32_t valueAt = dataAt + uint32_t(data.size());
    Put32(out, valueAt);
    if (e.DirectoryImage) {
      const std::vector<uint8_t> moved = DirectoryImageAt(e.Value, valueAt);
      data.insert(data.end(), moved.begin(), moved.end());
    } else {
      data.insert(data.end(), e.Value.begin(), e.Value.end());
    }
    if (data.size() % 2) data.push_back(0);
  }
  Put32(out, 0);  // no further directory
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

std::vector<uint8_t> BuildExifBlock(const TIOParamsVals& params) {
  std::vector<TPxTiffEntry> ifd0, exif;
  // The block must fit one marker segment with the rest of the values.
  ExifEntries(params, kMaxMakerNoteBytes - 1, ifd0, exif);
  auto resolution = [&](uint16_t tag, double v) {
    const double r = std::round(v);
    if (!std::isfinite(r) || r < 1) return;
    TPxTiffEntry e{tag, ttRational, 1, {}};
    Put32(e.Value, r > 4294967295.0 ? 0xFFFFFFFFu : uint32_t(r));
    Put32(e.Value, 1);
    ifd0.push_back(std::move(e));
  };
  resolution(kTagXResolution, params.ExifXResolution);
  resolution(kTagYResolution, params.ExifYResolution);
  const int32_t inches = 2;
  ifd0.push_back(ShortEntry(kTagResolutionUnit, &inches, 1));

  // The EXIF directory follows the first one, whose size its pointer does not change.
  ifd0.push_back({kTagExifIfd, ttLong, 1, {0, 0, 0, 0}});
  uint32_t ifd0At = 0, exifAt = 0;
  const uint32_t exifPlace = 8 + uint32_t(LayOutDirectory(ifd0, 8, ifd0At).size());
  PxPutU32LE(ifd0.back().Value.data(), exifPlace);
  const std::vector<uint8_t> first = LayOutDirectory(ifd0, 8, ifd0At);
  const std::vector<uint8_t> second = LayOutDirectory(exif, exifPlace, exifAt);

  std::vector<uint8_t> out(kExifSignature, kExifSignature + 5);
  out.push_back(0);
  out.insert(out.end(), {'I', 'I', 42, 0, 8, 0, 0, 0});
  out.insert(out.end(), first.begin(), first.end());
  out.insert(out.end(), second.begin(), second.end());
  return out;
}
