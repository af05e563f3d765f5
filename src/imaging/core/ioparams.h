// The image parameters record: what the last read found in a file and the
// options of the next write, for every format.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/core/pxconfig.h"
#include "imaging/core/pxutils.h"

// The component whose record this is: the record reports a resolution change
// to it and takes a picture's size from it on a reset.
class TPxParamsOwner {
 public:
  virtual TPxBitmap* Bitmap() const = 0;
  virtual void ParamsDpiChanged() = 0;

 protected:
  ~TPxParamsOwner() = default;
};

// One JPEG marker kept from a read and written again: type 224..239 (APP0..APP15)
// or 254 (COM), and its data without the length word.
struct TPxMarker {
  uint8_t Type = 0;
  std::vector<uint8_t> Data;
};
using TPxMarkerList = std::vector<TPxMarker>;

// One IPTC record (record number, data set number, value), as kept in APP13.
struct TPxIPTCInfo {
  uint8_t Record = 2;
  uint8_t DataSet = 0;
  std::string Value;
};
struct TPxIPTCInfoList {
  std::vector<TPxIPTCInfo> Items;
  // Set when the user edited the list, so the next JPEG write re-encodes APP13.
  bool UserChanged = false;
  void Clear() {
    Items.clear();
    UserChanged = false;
  }
  // The data of an APP13 marker holding the records (a Photoshop image
  // resource block with one IPTC resource); empty when there are none.
  std::vector<uint8_t> EncodeAPP13() const;
  // The records as a TIFF IPTC tag holds them, after a record-version record.
  std::vector<uint8_t> EncodeTIFF() const;
  // The bare records (0x1C, record, data set, length, data); the record
  // version 2:0 and empty values are left out.
  std::vector<uint8_t> EncodeRecords() const;
  // Replaces the records by those found from the first 0x1C byte on.
  void DecodeRecords(const uint8_t* data, size_t size);
  // Replaces the records by those of an APP13 marker's data; false when it
  // holds no IPTC resource. Damaged data gives the records before the damage.
  bool DecodeAPP13(const std::vector<uint8_t>& data);
};

// The EXIF values of a picture besides its resolution, each named after its
// tag. Rational values are doubles; 0 and empty texts mean "not given".
struct TPxExifValues {
  // First image directory.
  std::string ExifImageDescription;
  std::string ExifMake;
  std::string ExifModel;
  int32_t ExifOrientation = 1;
  std::string ExifSoftware;
  std::string ExifDateTime;
  double ExifWhitePoint[2] = {0, 0};
  double ExifPrimaryChromaticities[6] = {0, 0, 0, 0, 0, 0};
  double ExifYCbCrCoefficients[3] = {0, 0, 0};
  int32_t ExifYCbCrPositioning = 0;
  double ExifReferenceBlackWhite[6] = {0, 0, 0, 0, 0, 0};
  std::string ExifCopyright;
  // EXIF directory.
  double ExifExposureTime = 0;
  double ExifFNumber = 0;
  int32_t ExifExposureProgram = 0;
  int32_t ExifISOSpeedRatings[2] = {0, 0};
  std::string ExifExifVersion;  // four characters, for example "0230"
  std::string ExifDateTimeOriginal;
  std::string ExifDateTimeDigitized;
  double ExifCompressedBitsPerPixel = 0;
  double ExifShutterSpeedValue = 0;
  double ExifApertureValue = 0;
  double ExifBrightnessValue = 0;
  double ExifExposureBiasValue = 0;
  double ExifMaxApertureValue = 0;
  double ExifSubjectDistance = 0;
  int32_t ExifMeteringMode = 0;
  int32_t ExifLightSource = 0;
  int32_t ExifFlash = 0;
  double ExifFocalLength = 0;
  // The maker's own block, as stored; its inner offsets count from the
  // directory it came from, so it is kept whole.
  std::vector<uint8_t> ExifMakerNote;
  std::string ExifUserCommentCode;  // eight characters, for example "ASCII\0\0\0"
  std::string ExifUserComment;
  std::string ExifSubsecTime;
  std::string ExifSubsecTimeOriginal;
  std::string ExifSubsecTimeDigitized;
  std::string ExifFlashPixVersion;
  int32_t ExifColorSpace = 0;
  int32_t ExifPixelXDimension = 0;
  int32_t ExifPixelYDimension = 0;
  std::string ExifRelatedSoundFile;
  double ExifFocalPlaneXResolution = 0;
  double ExifFocalPlaneYResolution = 0;
  int32_t ExifFocalPlaneResolutionUnit = 0;
  double ExifExposureIndex = 0;
  int32_t ExifSensingMethod = 0;
  int32_t ExifFileSource = 0;
  int32_t ExifSceneType = 0;
};

class TIOParamsVals : public TPxExifValues {
 public:
  explicit TIOParamsVals(TPxParamsOwner* owner = nullptr);

  // Sets every field to its default.
  void ResetAll();
  // Empties what a file brings along besides its pixels; run before every read.
  void ClearMetadata();
  // Sets the fields that describe a read picture (colour kind, samples, bits
  // per sample, palette, scan form) to their defaults; run before every read,
  // so that nothing of one picture decides how the next one is written. The
  // options a program chose (qualities, compression levels) stay.
  void ResetPictureDescription();
  // Takes those fields from another record.
  void CopyPictureDescription(const TIOParamsVals& from);

  // Set the resolution and keep the EXIF resolution and the owner's view in step.
  void SetDpiX(int32_t dpi);
  void SetDpiY(int32_t dpi);
  void SetDpi(int32_t dpiX, int32_t dpiY);
  // Before a JPEG write: the IPTC list goes into the APP13 marker when the
  // user changed it, or when it has records and no markers were kept.
  void UpdateIPTCMarker();

  TPxParamsOwner* Owner = nullptr;

  // Common fields.
  int32_t BitsPerSample = 8;
  std::string FileName;
  int32_t SamplesPerPixel = 3;
  int32_t Width = 0;   // also the wished size of a reduced JPEG decode
  int32_t Height = 0;
  int32_t DpiX = kDefaultDpi;
  int32_t DpiY = kDefaultDpi;
  int32_t FileType = 0;
  // The file stores a resolution; without one DpiX and DpiY are the defaults
  // (or, for a JPEG, its aspect ratio).
  bool DpiFromFile = false;
  // Keep a file's own pixel format (for example CMYK, or an 8-bit palette).
  bool NativePixelFormat = false;

  // JPEG.
  uint8_t JpegColorSpace = 2;  // 0 RGB, 1 gray, 2 YCbCr, 3 CMYK, 4 YCCK
  int32_t JpegQuality = 80;
  uint8_t JpegDctMethod = 0;  // 0 accurate integer, 1 fast integer, 2 floating point
  bool JpegOptimalHuffman = false;
  int32_t JpegSmoothing = 0;
  bool JpegProgressive = false;
  uint8_t JpegScale = 1;  // 0 automatic, 1 full, 2 half, 3 quarter, 4 eighth
  int32_t JpegScaleUsed = 1;
  int32_t JpegWarnings = 0;
  int32_t JpegLastWarning = 0;
  int32_t JpegOriginalWidth = 0;
  int32_t JpegOriginalHeight = 0;
  bool AutoOrient = false;
  bool GetExifThumbnail = false;

  // PNG.
  bool PngInterlaced = false;
  TBGR PngBackground{0, 0, 0};
  uint8_t PngFilter = 0;  // 0 none, 1 sub, 2 Paeth, other: the library's choice
  int32_t PngCompression = 5;
  std::vector<std::string> PngTextKeys;
  std::vector<std::string> PngTextValues;

  // BMP.

  // ICO and CUR.

  // GIF.

  // PCX and DCX.

  // TGA.

  // PNM.

  // WBMP.

  // TIFF and fax coding.

  // Camera raw, JPEG 2000, HEIF and WebP.

  // Palette of the last palette image read.
  std::vector<TBGR> ColorMap;
  int32_t ColorMapCount = 0;

  // Metadata carried between a read and the next write.
  TPxMarkerList MarkerList;
  TPxIPTCInfoList IPTCInfoList;
  std::vector<uint8_t> ColorProfile;  // embedded ICC profile, empty when none
  bool ColorProfileEnabled = true;

  // EXIF values.
  bool HasExif = false;
  double ExifXResolution = kDefaultDpi;
  double ExifYResolution = kDefaultDpi;
  int32_t ExifResolutionUnit = 2;  // 2 inches, 3 centimetres
  // The other EXIF values are those of TPxExifValues.
  std::shared_ptr<TPxBitmap> ExifThumbnail;
};
