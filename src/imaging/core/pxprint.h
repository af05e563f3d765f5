// What printing needs of the platform: a print job on the current printer,
// the page's drawing surface with its resolution, and the placing of a
// bottom-up device-independent bitmap into a device rectangle.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// One colour table entry: blue, green, red, reserved.
struct TPxRGBQuad {
  uint8_t Blue = 0, Green = 0, Red = 0, Reserved = 0;
  bool operator==(const TPxRGBQuad&) const = default;
};

// A packed device-independent bitmap: rows bottom-up, each padded to 4 bytes.
struct TPxPackedDib {
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BitCount = 24;                // 1, 8 or 24
  std::vector<TPxRGBQuad> ColorTable;   // 2 entries for 1 bit, 256 for 8 bits, none for 24
  std::vector<uint8_t> Bits;

  int64_t RowBytes() const { return ((int64_t(Width) * BitCount + 31) / 32) * 4; }
  // Row y counted from the top of the picture.
  const uint8_t* TopDownRow(int32_t y) const { return Bits.data() + RowBytes() * (Height - 1 - y); }
};

// The drawing surface of a printer page. Positions are device pixels from the
// paper's top-left corner.
class TPxPrinterCanvas {
 public:
  virtual ~TPxPrinterCanvas() = default;
  virtual int32_t DpiX() const = 0;
  virtual int32_t DpiY() const = 0;
  // The surface keeps each picture as an image that is scaled when it is
  // shown or printed (a PDF file), rather than device pixels: a picture
  // need not reach it with more pixels than it has.
  virtual bool KeepsPictures() const { return false; }
  // Draws the source rectangle of dib into the device rectangle, dropping or
  // repeating rows and columns when the sizes differ (no blending). Later
  // transfers draw over earlier ones.
  virtual void StretchDib(const TPxPackedDib& dib, int32_t destX, int32_t destY, int32_t destW,
                          int32_t destH, int32_t srcX, int32_t srcY, int32_t srcW, int32_t srcH) = 0;
};

// A sheet of paper, portrait, in inches, with the margins along its edges
// that the printer cannot print on. The default is a letter sheet that can
// be printed to its edges, as a PDF page is.
struct TPxPaper {
  double Width = 8.5, Height = 11;
  double MarginLeft = 0, MarginTop = 0, MarginRight = 0, MarginBottom = 0;
};

// Paper by name: "letter", "a4" or "WxHin" (inches, e.g. "4x6in"); a sheet
// given wider than tall is turned, since pages print portrait. Empty for
// any other text or a size outside 1 to 100 inches.
std::optional<TPxPaper> PxPaperFromName(const std::string& name);
// The name that PxPaperFromName reads back as the same sheet: "letter" and
// "a4" for those two, else "WxHin" to a hundredth of an inch.
std::string PxPaperName(const TPxPaper& paper);

// One print job of one page.
class TPxPrintJob {
 public:
  virtual ~TPxPrintJob() = default;
  // The sheet the page is printed on, with the printer's margins; the
  // canvas origin is its top-left corner.
  virtual TPxPaper Paper() const { return {}; }
  // Opens the job; throws TPxPrintError when it cannot start.
  virtual void BeginDoc() = 0;
  virtual TPxPrinterCanvas& Canvas() = 0;
  // Closes the page and sends the job to the printer.
  virtual void EndDoc() = 0;
  // Drops a begun job: the printer gets nothing of it.
  virtual void Abort() = 0;
  // After EndDoc: what the user should know of a job that was sent but will
  // not print at once (a paused queue); empty when there is nothing to say.
  virtual std::string Warning() const { return {}; }
};

class TPxPrintError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
