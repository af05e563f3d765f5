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
  // Replaces the records by those of an APP13 marker's data; false when it
  // holds no IPTC resource. Damaged data gives the records before the damage.
  bool DecodeAPP13(const std::vector<uint8_t>& data);
};

// One EXIF tag kept as it was found (type and count as in the TIFF tag layout,
// values in host byte order).
struct TPxExifTag {
  uint16_t Tag = 0;
  uint16_t Type = 0;
  uint32_t Count = 0;
  std::vector<uint8_t> Value;
};

// Size of one image of an icon.
struct TPxIcoSize {
  int32_t Width = 0;
  int32_t Height = 0;
  friend bool operator==(const TPxIcoSize&, const TPxIcoSize&) = default;
};

// The two slots of the GIF coder. The decoder writes width x height palette
// indices, rows top-down, from the image data at the stream's position, and
// signals failure by leaving the stream where it started; the encoder writes
// the image data of such indices. An empty slot is the library's own coder.
using TGifLzwDecompress =
    std::function<void(TPxStream& stream, int height, int width, bool interlaced, uint8_t* pixels)>;
using TGifLzwCompress = std::function<void(TPxStream& stream, int height, int width,
                                           bool interlaced, const uint8_t* pixels, int bitsPerPixel)>;

class TIOParamsVals {
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
  int32_t ExifOrientation = 1;
  std::vector<TPxExifTag> ExifTags;  // the other tags, in file order
  std::shared_ptr<TPxBitmap> ExifThumbnail;
};
