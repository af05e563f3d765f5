// The format table's built-in rows. Adding a format: its file pair in
// imaging/formats/ (content test, read, write, description), its functions and
// writer data filled into its row in PxBuiltInFormats below, and its content
// test placed in PxDetectionOrder. The input/output core needs no change.
#include "imaging/io/formattable.h"

#include <cstring>

#include "imaging/formats/bmp.h"
#include "imaging/formats/gif.h"
#include "imaging/formats/ico.h"
#include "imaging/formats/jpeg.h"
#include "imaging/formats/png.h"

namespace {

// Stand-ins for the rows whose codec is not part of this program: they mark
// the row readable or writable in the table, and fail cleanly when called.
void PlaceholderRead(TPxStream&, TPxBitmap*, TIOParamsVals&, bool, TPxProgress& progress) {
  progress.Abort();
}
void PlaceholderWrite(TPxStream&, TPxBitmap*, TIOParamsVals&, TPxProgress& progress) {
  progress.Abort();
}

TPxFileFormat& AddRow(std::vector<TPxFileFormat>& table, int32_t type, const char* name,
                      const char* extensions, uint16_t page, bool read, bool write) {
  TPxFileFormat& f = table.emplace_back();
  f.FileType = type;
  f.FullName = name;
  f.Extensions = extensions;
  f.DialogPage = page;
  if (read) f.ReadFunction = PlaceholderRead;
  if (write) f.WriteFunction = PlaceholderWrite;
  // A placeholder writer converts nothing before it fails.
  f.WritePixelFormats.clear();
  return f;
}

// Parses untrusted data. Content tests of formats whose codec is still to
// come; each moves into its codec's file pair with the codec.
int64_t Left(TPxStream& s) { return s.Size() - s.Position(); }

// "PCX" as text (up to a zero byte), or a PCX header: byte 10, version <= 5.
bool PcxSignature(TPxStream& s) {
  const int64_t n = Left(s);
  uint8_t h[4];
  if (n <= 4 || !s.ReadExact(h, 4)) return false;
  if (std::memcmp(h, "PCX", 4) == 0) return true;
  return n > 128 && h[0] == 10 && h[1] <= 5;
}

uint32_t U32(const uint8_t* p, bool bigEndian) {
  if (bigEndian) return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
  return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

// A byte order mark and a first directory inside the stream; "MM" followed by
// 0xBA at offset 8 is left to other readers.
bool TiffSignature(TPxStream& s) {
  const int64_t n = Left(s);
  uint8_t h[9];
  if (n <= 8 || !s.ReadExact(h, 9)) return false;
  if (h[0] == 'I' && h[1] == 'I') return U32(h + 4, false) < n;
  return h[0] == 'M' && h[1] == 'M' && U32(h + 4, true) < n && h[8] != 0xBA;
}

// A video file: recognised, though the table has no row for it.
bool AviSignature(TPxStream& s) {
  char h[12];
  return Left(s) >= 12 && s.ReadExact(h, 12) && std::memcmp(h, "RIFF", 4) == 0 &&
         std::memcmp(h + 8, "AVI ", 4) == 0;
}

}  // namespace

std::vector<TPxFileFormat> PxBuiltInFormats() {
  std::vector<TPxFileFormat> t;
  {
    TPxFileFormat& f = AddRow(t, ioTIFF, "TIFF Bitmap", "TIF;TIFF;FAX;G3N;G3F", 8, true, true);
    f.TestFunction = TiffSignature;
    f.StreamTag = "TIFF";
  }

  {
    TPxFileFormat& f = AddRow(t, ioGIF, "CompuServe Bitmap", "GIF", 16, true, true);
    f.ReadFunction = ReadGifRow;
    f.WriteFunction = WriteGifRow;
    f.TestFunction = GifContentTest;
    f.Describe = DescribeGif;
    f.WriteKeepsAlpha = true;
    // Palette pictures keep their indices; the writer converts other formats itself.
    f.WritePixelFormats.clear();
    f.TakeBackground = TakeGifBackground;
  }

  {
    TPxFileFormat& f = AddRow(t, ioJPEG, "JPEG Bitmap", "JPG;JPEG;JPE", 4, true, true);
    f.ReadFunction = ReadJpegRow;
    f.WriteFunction = WriteJpegRow;
    f.TestFunction = IsJpegStream;
    f.Describe = DescribeJpeg;
    f.StreamTag = "JFIF";
    f.WritePixelFormats = {px1g, pxRGB24};
  }

  {
    TPxFileFormat& f = AddRow(t, ioPCX, "PaintBrush", "PCX", 64, true, true);
    f.TestFunction = PcxSignature;
    f.StreamTag = "PCX2";
  }

  {
    TPxFileFormat& f = AddRow(t, ioBMP, "Windows Bitmap", "BMP;DIB;RLE", 32, true, true);
    f.ReadFunction = ReadBmpRow;
    f.WriteFunction = WriteBmpStream;
    f.TestFunction = BmpContentTest;
    f.Describe = DescribeBmp;
    f.WriteKeepsAlpha = true;  // 32-bit files
    f.WritePixelFormats = {px1g, px8p, pxRGB24};
  }

  {
    TPxFileFormat& f = AddRow(t, ioICO, "Windows Icon", "ICO", 0, true, true);
    f.ReadFunction = ReadIcoRow;
    f.WriteFunction = WriteIcoStream;
    f.TestFunction = IsIcoStream;
    f.Describe = DescribeIco;
    f.WriteKeepsAlpha = true;
    f.WritePixelFormats = {px1g, pxRGB24};
  }

  {
    TPxFileFormat& f = AddRow(t, ioCUR, "Windows Cursor", "CUR", 0, true, false);
    f.ReadFunction = ReadCurRow;
    f.TestFunction = IsCurStream;
    f.Describe = DescribeCur;
  }

  {
    TPxFileFormat& f = AddRow(t, ioPNG, "Portable Network Graphics", "PNG", 128, true, true);
    f.ReadFunction = ReadPngRow;
    f.WriteFunction = WritePngRow;
    f.TestFunction = PngContentTest;
    f.Describe = DescribePng;
    f.WriteKeepsAlpha = true;
    f.GiveBackground = GivePngBackground;
    f.TakeBackground = TakePngBackground;
  }

  AddRow(t, ioWMF, "Windows Metafile", "WMF", 0, true, false);
  AddRow(t, ioEMF, "Enhanced Windows Metafile", "EMF", 0, true, false);

  {
    AddRow(t, ioTGA, "Targa Bitmap", "TGA;TARGA;VDA;ICB;VST;PIX", 256, true, true);
  }

  {
    AddRow(t, ioPXM, "Portable Pixmap, GrayMap, BitMap", "PXM;PPM;PGM;PBM", 0, true, true);
  }

  {
    AddRow(t, ioWBMP, "Wireless Bitmap", "WBMP", 0, true, true);
  }

  AddRow(t, ioJP2, "JPEG2000", "JP2", 512, true, true);
  AddRow(t, ioJ2K, "JPEG2000 Code Stream", "J2K;JPC;J2C", 512, true, true);
  AddRow(t, ioPS, "PostScript Level 2", "PS;EPS", 0, false, true);
  AddRow(t, ioPDF, "Adobe PDF", "PDF", 0, false, true);

  {
    AddRow(t, ioDCX, "Multipage PCX", "DCX", 0, true, true);
  }

  AddRow(t, ioRAW, "Camera RAW", "CRW;CR2;NEF;RAW;PEF;RAF;X3F;BAY;ORF;SRF;MRW;DCR", 0, true, false);
  return t;
}

const std::vector<TPxDetectStep>& PxDetectionOrder() {
  static const std::vector<TPxDetectStep> order = {
      {ioJPEG, dbStreamTag},
      {ioGIF, dbContent},
      {ioPCX, dbStreamTag},
      {ioPCX, dbContent},
      {ioBMP, dbContent},
      {ioTIFF, dbStreamTag},
      {ioTIFF, dbContent},
      {ioPNG, dbContent},
      {ioICO, dbContent},
      {ioCUR, dbContent},
      {ioTGA, dbContent},
      {ioPXM, dbContent},
      // A start of image anywhere in the first 100 bytes: after every format
      // with a signature at its start.
      {ioJPEG, dbContent},
      {ioJP2, dbContent},
      {ioJ2K, dbContent},
      {ioAVI, dbContent, AviSignature},
      {ioDCX, dbContent},
      {ioWMF, dbContent},
      {ioEMF, dbContent},
      {ioRAW, dbContent},
  };
  return order;
}
