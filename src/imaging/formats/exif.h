// The EXIF block of a JPEG file (the APP1 marker "Exif\0\0"): a small TIFF
// structure without an image, holding the camera's values and a thumbnail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxutils.h"

// Reads the EXIF values of a block that starts with "Exif\0" into params and
// sets HasExif; the resolution goes to ExifXResolution, ExifYResolution and
// ExifResolutionUnit as stored (DpiX and DpiY are the caller's to decide). A
// JPEG thumbnail of at most 400 x 400 pixels lands, turned upright, in
// params.ExifThumbnail. False when the block is not EXIF. Damaged data keep
// the values read before the damage; nothing outside the block is read.
bool ParseExifBlock(const uint8_t* data, size_t length, TIOParamsVals& params);

// Turns a read picture upright as params.ExifOrientation says (the alpha
// mask beside it too, when given). The values that describe the picture
// follow a quarter turn (width and height, the JPEG's size before reduction,
// the pixel dimensions, the resolution), and the orientation becomes 1, so
// that a save does not turn the picture twice. False when the memory for the
// turn could not be had: the read has then failed.
bool OrientUpright(TPxBitmap& bitmap, TPxMask* mask, TIOParamsVals& params);
// What a parameters-only read reports when a full read would turn the
// picture: the same values as OrientUpright leaves, the orientation kept.
void OrientUprightValues(TIOParamsVals& params);

// The data of an APP1 marker holding the EXIF values of params (little-endian,
// no thumbnail). The resolution is written per inch from ExifXResolution and
// ExifYResolution.
std::vector<uint8_t> BuildExifBlock(const TIOParamsVals& params);

// --- The EXIF values of any TIFF structure -----------------------------------

// The bytes of a TIFF structure reached by their offset from its header: an
// EXIF block in memory, or a TIFF file read through a stream, whose size
// forbids holding it whole.
class TPxTiffBytes {
 public:
  explicit TPxTiffBytes(bool bigEndian) : BigEndian(bigEndian) {}
  virtual ~TPxTiffBytes() = default;
  // Bytes from the header to the end of the structure.
  virtual uint64_t Size() const = 0;
  // Copies the n bytes at offset; false when they do not all lie inside.
  virtual bool Read(uint64_t offset, size_t n, uint8_t* out) = 0;
  const bool BigEndian;
};

// Reads the EXIF values of the directory at offset `ifd` (the tags of a
// TIFF's first directory: descriptions, camera, software, dates, colorimetry)
// and of the EXIF directory that its tag 34665 points at, with the maker note,
// into params. The resolution goes to ExifXResolution, ExifYResolution and
// ExifResolutionUnit as stored. HasExif is set when the EXIF directory was
// read, or when the directory names the camera, the software, a date or the
// copyright, so that a write keeps them. Damaged structures keep the values
// read before the damage; nothing outside the structure is read.
void ReadExifValues(TPxTiffBytes& tiff, uint32_t ifd, TIOParamsVals& params);

// One directory entry to write, its values little-endian.
struct TPxTiffEntry {
  uint16_t Tag = 0;
  uint16_t Type = 0;
  uint32_t Count = 0;
  std::vector<uint8_t> Value;
  // Value is a directory image whose offsets count from its own start (a
  // maker note): they are moved to where the value is written.
  bool DirectoryImage = false;
};

// The entries of the EXIF values of params, besides the resolution: those of
// the first directory and those of the EXIF directory, with the maker note
// when it is at most maxMakerNote bytes long.
void ExifEntries(const TIOParamsVals& params, size_t maxMakerNote, std::vector<TPxTiffEntry>& first,
                 std::vector<TPxTiffEntry>& exif);

// A directory of a little-endian TIFF laid out to be written at offset `at`
// (from the header): a zero byte when `at` is odd, the directory (entries in
// tag order, no next directory), then the values longer than four bytes, each
// on an even offset. dirAt receives the directory's offset.
std::vector<uint8_t> LayOutDirectory(std::vector<TPxTiffEntry> entries, uint32_t at, uint32_t& dirAt);
