// Saved pages: a layout with its pictures, their fits and the places and
// sizes of their layers, kept in a ".pictrova" file to be opened and printed
// again later. The file is UTF-8 text, one "key=value" a line:
//
//   # Pictrova page
//   layout=2 4x6
//   paper=letter
//   area=2|crop|147 546 400 600|/home/ann/Pictures/IMG_2031.jpg
//
// The paper is "letter", "a4" or its size in inches, such as "4x6in". An
// area line gives the area's number in the layout (from 1), its fit
// (dont-crop, crop or stretch), its layer's left, top, width and height on
// the page (100 to the inch) and the source picture, last, so that a path
// may hold any character but a line break. Blank lines and lines starting
// with "#" are comments.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/layout.h"
#include "imaging/core/pxprint.h"

// A page file that cannot be read: the message names the file and the line.
class XaPageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct XaSavedArea {
  int32_t Area = 0;  // index into the layout's areas, from 0
  XaFit Fit = xfDontCrop;
  int32_t Left = 0, Top = 0, Width = 0, Height = 0;
  std::string Source;
  int Line = 0;  // where a read file gave it, for messages
};

struct XaSavedPage {
  std::string Layout;
  std::string Paper = "letter";  // as PxPaperName gives it
  std::vector<XaSavedArea> Areas;
  int LayoutLine = 0;  // where a read file named the layout, for messages
};

// Reads a page file; throws XaPageError (file and line named) when it is
// damaged: an unknown key, a bad number or fit, an area given twice, no layout.
XaSavedPage ReadPageFile(const std::string& fileName);
// Writes it whole or not at all (a new file renamed over the old one).
void WritePageFile(const std::string& fileName, const XaSavedPage& page);

// The page as the layout holds it now: every area with a picture, and the
// paper it prints on.
XaSavedPage SavePage(const XaLayout& layout, const TPxPaper& paper = {});
// Chooses the page's layout (XaPageError naming the file when it has none
// of that name or an area it does not have), places each picture again from
// its source in its fit, then puts each layer back at its place and size.
// The areas whose pictures cannot be placed stay empty; their messages are
// returned, one per area.
std::vector<std::string> OpenPage(XaLayout& layout, const XaSavedPage& page,
                                  const std::string& fileName);

const char* XaFitName(XaFit fit);  // "dont-crop", "crop", "stretch"
