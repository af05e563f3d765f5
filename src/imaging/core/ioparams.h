// The image parameters record: what the last read found in a file and the
// options of the next write, for every format.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/core/pxconfig.h"
#include "imaging/core/pxstream.h"
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

// The maker note of the last read, kept so that a write can place it
// anywhere. A note that is a bare directory, as most cameras write it, is kept
// as a little-endian directory image (entry count, 12-byte entries, a zero
// next-directory offset, then every value longer than four bytes) whose value
// offsets count from the image's start, and a writer moves them by the place
// it gives the note; a note that starts with the maker's own header (whose
// offsets are the maker's business) is kept byte for byte.
struct TPxTagsHandler {
  std::vector<uint8_t> Data;
  bool Directory = false;  // Data is a directory image
  bool Empty() const { return Data.empty(); }
};

// The imaging annotations of a TIFF page (tag 32932). The library draws no
// annotations: their bytes are kept as the file holds them and written back.
struct TPxImagingAnnot {
  std::vector<uint8_t> Data;
  bool Empty() const { return Data.empty(); }
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
  TPxTagsHandler ExifMakerNote;
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

class TPxStream;

// TIFF's LZW coder, replaceable by a program; formats/tiff.h describes the calls.
using TPxTiffLzwDecompress = const uint8_t* (*)(const uint8_t* data, size_t size, int rowLength,
                                                void*& state);
using TPxTiffLzwCompress = bool (*)(const uint8_t* row, int length, TPxStream& stream, void*& state);
// The coder every record starts with, installed once by the library.
void PxSetDefaultTiffLzw(TPxTiffLzwDecompress decompress, TPxTiffLzwCompress compress);

// Size of one image of an icon.
struct TPxIcoSize {
  int32_t Width = 0;
  int32_t Height = 0;
  friend bool operator==(const TPxIcoSize&, const TPxIcoSize&) = default;
};

// A calendar date and time of day, as files store them.
struct TPxDateTime {
  int32_t Year = 0;
  int32_t Month = 0;  // 1..12
  int32_t Day = 0;    // 1..31
  int32_t Hour = 0;
  int32_t Minute = 0;
  int32_t Second = 0;
  // The local time now.
  static TPxDateTime Now();
  friend bool operator==(const TPxDateTime&, const TPxDateTime&) = default;
};

// The two slots of the GIF coder. The decoder writes width x height palette
// indices, rows top-down, from the image data at the stream's position, and
// signals failure by leaving the stream where it started; the encoder writes
// the image data of such indices. An empty slot is the library's own coder.
using TGifLzwDecompress =
    std::function<void(TPxStream& stream, int height, int width, bool interlaced, uint8_t* pixels)>;
using TGifLzwCompress = std::function<void(TPxStream& stream, int height, int width,
                                           bool interlaced, const uint8_t* pixels, int bitsPerPixel)>;

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
  // Reads turn each picture upright as its file's orientation says, in JPEG
  // (AutoOrient) and TIFF (TiffAutoOrient) alike: as the camera was held.
  void ReadUpright() { AutoOrient = TiffAutoOrient = true; }

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
  int32_t JpegOriginalWidth = 0;  // before a reduced decode; turned with the picture by AutoOrient
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
  uint8_t BmpVersion = 1;      // 1 Windows 40-byte header, 2 OS/2 1.x 12-byte, 3 OS/2 2.x 64-byte, 0 other
  uint8_t BmpCompression = 0;  // 1 run-length coding (4- and 8-bit files)

  // ICO and CUR.
  int32_t IcoImageIndex = 0;             // image of an icon to read
  TBGR IcoBackground{255, 255, 255};     // colour of the transparent pixels of palette icons
  // Width and height of each image of an icon to write, the list ending at
  // the first width of 0; filled from the directory by a read (256 for a 0 byte).
  std::array<TPxIcoSize, 16> IcoSizes{{{64, 64}}};
  std::array<int32_t, 16> IcoBitCounts{{8}};  // bit count of each image; filled by a read
  int32_t CurImageIndex = 0;             // image of a cursor to read
  int32_t CurXHotSpot = 0;               // hot spot of the cursor image read
  int32_t CurYHotSpot = 0;
  TBGR CurBackground{255, 255, 255};     // colour of the transparent pixels of palette cursors

  // GIF.
  std::string GifVersion = "GIF89a";  // the six characters of the signature
  int32_t GifImageIndex = 0;           // the image (frame) to read
  int32_t GifXPos = 0;                 // the image's place on the logical screen
  int32_t GifYPos = 0;
  int32_t GifDelayTime = 0;  // hundredths of a second (16 bits used)
  bool GifFlagTranspColor = false;
  TBGR GifTranspColor{0, 0, 0};  // palette colour of the transparent index
  bool GifInterlaced = false;
  int32_t GifWinWidth = 0;  // logical screen
  int32_t GifWinHeight = 0;
  TBGR GifBackground{0, 0, 0};  // palette colour of the screen's background index
  int32_t GifRatio = 0;         // pixel aspect byte of the screen
  std::vector<std::string> GifComments;
  int32_t GifAction = 0;      // disposal method, 0 .. 7
  int32_t GifImageCount = 0;  // image descriptors in the file
  TGifLzwDecompress GifLzwDecompress;
  TGifLzwCompress GifLzwCompress;

  // PCX and DCX.
  uint8_t PcxVersion = 5;  // header version byte: set by reading, written as it is
  bool PcxCompression = true;
  int32_t DcxImageIndex = 0;  // page to read; place where a write inserts its page

  // TGA.
  int32_t TgaXPos = 0;  // image origin fields of the header
  int32_t TgaYPos = 0;
  bool TgaCompression = true;  // run-length coding; set by reading
  std::string TgaImageName;    // the image identification field
  // The extension area.
  std::string TgaAuthor;  // at most 40 characters are written
  TPxDateTime TgaDate = TPxDateTime::Now();
  std::string TgaJobName;  // at most 40 characters are written
  TBGR TgaKeyColor{0, 0, 0};
  double TgaAspectRatio = 1.0;
  double TgaGamma = 2.2;
  bool TgaGrayLevel = false;  // 8 bits are gray rather than colour-mapped

  // PNM.
  // Comment lines of the header, without the "#", trimmed; read from the file
  // and written into the next PNM header.
  std::vector<std::string> PnmComments;

  // WBMP.

  // TIFF and fax coding.
  // Compression of the page read and of the next write: 0 none, 1 CCITT
  // modified Huffman, 2 Group 3 1-D, 3 Group 3 2-D, 4 Group 4, 5 LZW, 6 old
  // JPEG (read only), 7 JPEG, 8 PackBits, 9 another, 10 deflate.
  int32_t TiffCompression = 0;
  int32_t TiffImageIndex = 0;  // page to read, from 0
  int32_t TiffImageCount = 0;  // pages of the last file read
  // 0 WhiteIsZero, 1 BlackIsZero, 2 RGB, 3 palette, 4 transparency mask,
  // 5 separated (CMYK), 6 YCbCr, 7 CIELab.
  int32_t TiffPhotometric = 2;
  int32_t TiffPlanarConfig = 1;  // 1 chunky, 2 planar
  int32_t TiffXPos = 0;          // XPosition and YPosition, inches
  int32_t TiffYPos = 0;
  std::string TiffDocumentName;
  std::string TiffImageDescription;
  std::string TiffPageName;
  int32_t TiffPageNumber = 0;
  int32_t TiffPageCount = 0;
  bool TiffAutoOrient = false;
  int32_t TiffJpegQuality = 80;
  int32_t TiffJpegColorSpace = 2;  // 0 RGB, 1 gray, 2 YCbCr, 3 CMYK, 4 taken as RGB
  TPxTiffLzwDecompress TiffLzwDecompress;
  TPxTiffLzwCompress TiffLzwCompress;

  // Camera raw, JPEG 2000, HEIF and WebP.
  // Camera raw: give the preview the camera embedded in the file instead of
  // developing the sensor data (when the file has one; else the half-size
  // decode below); and develop at half size, one pixel per 2 x 2 sensor block.
  bool RawEmbeddedPreview = false;
  bool RawHalfSize = false;
  // The camera's maker and model as the file names them; what the read gave
  // (developed, half size, or the embedded preview).
  std::string RawCamera;
  uint8_t RawPictureRead = 0;  // 0 developed, 1 half size, 2 the camera's preview
  // JPEG 2000: resolution levels left out of a decode (each halves both
  // sides); -1 picks the most that still cover Width x Height.
  int32_t Jp2Reduce = 0;
  int32_t Jp2ReduceUsed = 0;
  // JPEG 2000 writing: compression ratio; 0 or 1 keeps every pixel (the
  // reversible transform).
  float Jp2Ratio = 0;
  // WebP writing: quality 0..100 of the lossy coding, or lossless.
  int32_t WebpQuality = 80;
  bool WebpLossless = false;
  // The size of the whole picture when a read gave a smaller one (JPEG 2000
  // without some levels, camera raw at half size or its preview); 0 otherwise.
  int32_t FullWidth = 0;
  int32_t FullHeight = 0;
  // The decoding library's own words for why the last read failed; empty
  // when it did not fail or did not say.
  std::string CodecError;

  // Palette of the last palette image read.
  std::vector<TBGR> ColorMap;
  int32_t ColorMapCount = 0;

  // Metadata carried between a read and the next write.
  TPxMarkerList MarkerList;
  TPxIPTCInfoList IPTCInfoList;
  std::vector<uint8_t> ColorProfile;  // embedded ICC profile, empty when none
  TPxImagingAnnot ImagingAnnot;
  bool ColorProfileEnabled = true;

  // EXIF values.
  bool HasExif = false;
  double ExifXResolution = kDefaultDpi;
  double ExifYResolution = kDefaultDpi;
  int32_t ExifResolutionUnit = 2;  // 2 inches, 3 centimetres
  // The other EXIF values are those of TPxExifValues.
  std::shared_ptr<TPxBitmap> ExifThumbnail;
};
