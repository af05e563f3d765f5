// The format table's built-in rows. Adding a format: its file pair in
// imaging/formats/ (content test, read, write, description), its functions and
// writer data filled into its row in PxBuiltInFormats below, and its content
// test placed in PxDetectionOrder. The input/output core needs no change.
#include "imaging/io/formattable.h"

#include <cstring>

#include "imaging/formats/bmp.h"
#include "imaging/formats/gif.h"
#include "imaging/formats/heif.h"
#include "imaging/formats/ico.h"
#include "imaging/formats/jpeg.h"
#include "imaging/formats/jpeg2000.h"
#include "imaging/formats/pcx.h"
#include "imaging/formats/png.h"
#include "imaging/formats/pnm.h"
#include "imaging/formats/raw.h"
#include "imaging/formats/tga.h"
#include "imaging/formats/tiff.h"
#include "imaging/formats/wbmp.h"
#include "imaging/formats/webp.h"

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

// Parses untrusted data. A video file: recognised, though the table has no
// row for it (every format with a row has its content test in its file pair).
bool AviSignature(TPxStream& s) {
  char h[12];
  return s.Size() - s.Position() >= 12 && s.ReadExact(h, 12) && std::memcmp(h, "RIFF", 4) == 0 &&
         std::memcmp(h + 8, "AVI ", 4) == 0;
}

}  // namespace

std::vector<TPxFileFormat> PxBuiltInFormats() {
  std::vector<TPxFileFormat> t;
  {
    TPxFileFormat& f = AddRow(t, ioTIFF, "TIFF Bitmap", "TIF;TIFF;FAX;G3N;G3F", 8, true, true);
    f.ReadFunction = ReadTiffRow;
    f.WriteFunction = WriteTiffRow;
    f.TestFunction = TiffContentTest;
    f.Describe = DescribeTiff;
    f.StreamTag = "TIFF";
    f.WriteKeepsAlpha = true;
    f.WritePixelFormats.clear();
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
    f.ReadFunction = ReadPcxRow;
    f.WriteFunction = WritePcxRow;
    f.TestFunction = PcxContentTest;
    f.Describe = DescribePcx;
    f.StreamTag = "PCX2";
    f.WritePixelFormats = {px1g, pxRGB24};
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
    TPxFileFormat& f = AddRow(t, ioTGA, "Targa Bitmap", "TGA;TARGA;VDA;ICB;VST;PIX", 256, true, true);
    f.ReadFunction = ReadTgaRow;
    f.WriteFunction = WriteTgaRow;
    f.TestFunction = IsTgaStream;
    f.Describe = DescribeTga;
    f.WriteKeepsAlpha = true;  // 32-bit pixels
    f.WritePixelFormats = {px1g, pxRGB24};
  }

  {
    TPxFileFormat& f =
        AddRow(t, ioPXM, "Portable Pixmap, GrayMap, BitMap", "PXM;PPM;PGM;PBM", 0, true, true);
    f.ReadFunction = ReadPnmStream;
    f.WriteFunction = WritePnmStream;
    f.TestFunction = IsPnmStream;
    f.Describe = DescribePnm;
    // 48-bit colour is written with its 16-bit samples.
    f.WritePixelFormats = {px1g, pxRGB24, pxRGB48};
  }

  {
    TPxFileFormat& f = AddRow(t, ioWBMP, "Wireless Bitmap", "WBMP", 0, true, true);
    f.ReadFunction = ReadWbmpStream;
    f.TestFunction = IsWbmpStream;
    f.WriteFunction = WriteWbmpRow;
    f.Describe = DescribeWbmp;
    f.WritePixelFormats = {px1g, pxRGB24};
  }

  {
    TPxFileFormat& f = AddRow(t, ioJP2, "JPEG2000", "JP2", 512, true, true);
    f.ReadFunction = ReadJp2Stream;
    f.WriteFunction = WriteJp2Stream;
    f.TestFunction = IsJp2Stream;
    f.Describe = DescribeJpeg2000;
    f.WriteKeepsAlpha = true;
    f.WritePixelFormats = {px1g, px8g, pxRGB24};
  }

  {
    TPxFileFormat& f = AddRow(t, ioJ2K, "JPEG2000 Code Stream", "J2K;JPC;J2C", 512, true, true);
    f.ReadFunction = ReadJ2kStream;
    f.WriteFunction = WriteJ2kStream;
    f.TestFunction = IsJ2kStream;
    f.Describe = DescribeJpeg2000;
    f.WriteKeepsAlpha = true;
    f.WritePixelFormats = {px1g, px8g, pxRGB24};
  }

  AddRow(t, ioPS, "PostScript Level 2", "PS;EPS", 0, false, true);
  AddRow(t, ioPDF, "Adobe PDF", "PDF", 0, false, true);

  {
    TPxFileFormat& f = AddRow(t, ioDCX, "Multipage PCX", "DCX", 0, true, true);
    f.ReadFunction = ReadDcxStream;
    f.WriteFunction = WriteDcxStream;
    f.TestFunction = IsDcxStream;
    f.Describe = DescribeDcx;
    f.WritePixelFormats = {px1g, pxRGB24};
  }

  {
    // DNG and the newer cameras' formats after the table's own extensions.
    TPxFileFormat& f = AddRow(t, ioRAW, "Camera RAW",
                              "CRW;CR2;NEF;RAW;PEF;RAF;X3F;BAY;ORF;SRF;MRW;DCR;DNG;ARW;RW2", 0,
                              true, false);
    f.ReadFunction = ReadRawStream;
    f.TestFunction = IsRawStream;
    f.Describe = DescribeRaw;
  }

  {
    TPxFileFormat& f = AddRow(t, ioHEIF, "High Efficiency Image File", "HEIC;HEIF", 0, true, false);
    f.ReadFunction = ReadHeifStream;
    f.TestFunction = IsHeifStream;
    f.Describe = DescribeHeif;
  }

  {
    TPxFileFormat& f = AddRow(t, ioWEBP, "WebP", "WEBP", 0, true, true);
    f.ReadFunction = ReadWebpStream;
    f.WriteFunction = WriteWebpStream;
    f.TestFunction = IsWebpStream;
    f.Describe = DescribeWebp;
    f.WriteKeepsAlpha = true;
    f.WritePixelFormats = {px1g, pxRGB24};
  }
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
      // Signatures at the start, stronger than the tests that follow.
      {ioHEIF, dbContent},
      {ioWEBP, dbContent},
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
      // No signature at all: only a header whose raster fills the rest exactly.
      {ioWBMP, dbContent},
  };
  return order;
}
