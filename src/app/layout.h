// Page layouts: the areas of a layout read from the layout definitions file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// How a picture is brought to its area's proportions.
enum XaFit : uint8_t { xfDontCrop = 0, xfCrop = 1, xfStretch = 2 };

// One picture slot of the current layout, in page pixels (100 to the inch).
class XaLayoutArea {
 public:
  XaLayoutArea(std::string name, int32_t left, int32_t top, int32_t width, int32_t height)
      : Name(std::move(name)), Left(left), Top(top), Width(width), Height(height) {}

  std::string Name;
  std::string FileName;  // picture placed in the area; empty until one is dropped
  bool Rotated = false;  // the placement turned the picture a quarter turn
  XaFit Fit = xfDontCrop;  // how the picture was placed
  // Size of the placed picture's print file ("layer" N ".jpg"); 0 without one.
  int32_t PixelWidth = 0, PixelHeight = 0;
  int32_t Left, Top, Width, Height;
};

// A malformed area line: the message names the file, the line number and the text.
class XaLayoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Page pixels (pixels of the 850 x 1100 sheet) per inch on paper.
inline constexpr double kPagePixelsPerInch = 100.0;

// Page pixels per file unit: file coordinates run from 0 to about 100,000 across the sheet.
inline constexpr int32_t kLayoutUnitsX = 118;
inline constexpr int32_t kLayoutUnitsY = 91;

// Reads the layout `name` from layoutFile and hands each of its areas, in file
// order, to addArea. Areas delivered before a malformed line stay delivered.
void ReadLayoutAreas(const std::string& layoutFile, const std::string& name,
                     const std::function<void(std::unique_ptr<XaLayoutArea>)>& addArea);

// The names of the layouts in layoutFile that have areas, in file order.
std::vector<std::string> ReadLayoutNames(const std::string& layoutFile);

class TImagingView;
class TPxLayer;
class TPxPrintJob;
struct TPxPaper;

// A place on the paper, in inches from its top-left corner.
struct XaPaperBox {
  double X = 0, Y = 0, Width = 0, Height = 0;
};

// An area whose picture would not print whole: it reaches past the paper's
// edge, or only into the margin the printer cannot print on.
struct XaCutArea {
  std::string Name;
  bool OffPaper = false;
};

// One message naming every such area, for the question before printing.
std::string CutAreasMessage(const std::vector<XaCutArea>& areas, const TPxPaper& paper);

// A placement that cannot go on: the picture cannot be read or the area
// takes no picture. The message says which.
class XaPlaceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The largest size with the source's proportions that fits the box.
struct XaSize {
  int32_t Width = 0, Height = 0;
  bool operator==(const XaSize&) const = default;
};
XaSize FitInside(int32_t sourceWidth, int32_t sourceHeight, int32_t boxWidth, int32_t boxHeight);

// What placing several pictures came to.
struct XaFillResult {
  int32_t Placed = 0;                 // pictures now in areas
  std::vector<std::string> Failures;  // one message for each picture that could not be placed
  int32_t Unplaced = 0;               // pictures for which no empty area was left
  // The one message the user gets: the failures and how many did not fit;
  // empty when every picture went in.
  std::string Message() const;
};

// Manages the area layers of one view: layer 0 is the sheet.
class XaLayerMgr {
 public:
  explicit XaLayerMgr(TImagingView* view);
  virtual ~XaLayerMgr() = default;

  // Removes the layers from the top down until only layer 0 is left.
  virtual void Clear();
  // Loads a picture into a new layer (or into the current one of an empty
  // view) shown stretched over the rectangle; attributes "L", "B" and "C"
  // (any case) set Locked, ShowBox and ClipToBackground. Returns its index.
  int32_t AddFileLayer(const std::string& fileName, int32_t left, int32_t top, int32_t width,
                       int32_t height, const std::string& attributes);

  TImagingView* View;  // not owned
};

// The current layout with its areas, and the placing and printing of pictures.
class XaLayout : public XaLayerMgr {
 public:
  // dataFolder holds "bkpage.png" and "blankpage.png"; the working files go
  // to WorkFolder. Both default to the program folder.
  XaLayout(TImagingView* view, std::string layoutFile, std::string dataFolder = {});

  void Clear() override;
  // Makes layer 0 the sheet: "bkpage.png" at exactly 850 x 1100, locked.
  void SetUpPage();
  // Replaces the current layout with the named one, one blank layer per area.
  void LoadLayout(const std::string& name);
  // Prepares the picture named by the area's FileName for the area and shows
  // it in the area's layer. Throws XaPlaceError when the picture cannot be
  // read or the area has no height; the area then shows what it showed before.
  void PlacePicture(int32_t areaIndex);
  // Gives the area the picture and places it. A placement that fails leaves
  // the area exactly as it was, its FileName included, and throws.
  void DropPicture(int32_t areaIndex, const std::string& fileName);
  // The same, in the given fit whatever the current fit mode.
  void DropPicture(int32_t areaIndex, const std::string& fileName, XaFit fit);
  // Several pictures dropped on one area: the first that can be placed goes
  // there, the next into the empty areas after it in order, then into those
  // before it. A picture that cannot be placed leaves its area to the next.
  XaFillResult DropPictures(int32_t areaIndex, const std::vector<std::string>& fileNames);
  // Places the picture in every area in the current fit mode. An area that
  // cannot take it keeps what it had.
  XaFillResult FillAllAreas(const std::string& fileName);
  // Places the area's picture again in the given fit; its layer keeps the
  // place and size the user gave it. A failure leaves the area as it was.
  void RefitPicture(int32_t areaIndex, XaFit fit);
  // Empties the area: no picture to print, its working files deleted, its
  // layer showing "blankpage.png" at the area's own place and size.
  void RemovePicture(int32_t areaIndex);
  // Some area holds a picture.
  bool HasPictures() const;
  // The fit mode that Crop and Stretch choose.
  XaFit CurrentFit() const { return Crop ? xfCrop : Stretch ? xfStretch : xfDontCrop; }
  // Prints every area holding a picture at its layer's place and size, as
  // one job, on the job's paper (see AreaOnPaper); with CutGuides, the cut
  // guides of the printed pictures as well.
  void PrintPage(TPxPrintJob& job);
  // Where the area's picture prints: its layer's place and size in inches on
  // the letter page, which lies centred on the paper.
  XaPaperBox AreaOnPaper(int32_t areaIndex, const TPxPaper& paper) const;
  // The areas holding a picture that would reach past the paper's edge or
  // into its unprintable margin, in area order.
  std::vector<XaCutArea> AreasCut(const TPxPaper& paper) const;

  // "layer" N ".jpg" and "layer" N "s.jpg" in the working folder.
  std::string PrintFile(int32_t areaIndex) const;
  std::string ScreenFile(int32_t areaIndex) const;

  std::vector<std::unique_ptr<XaLayoutArea>> Areas;
  std::string LayoutName;  // the layout loaded last
  std::string LayoutFile;
  std::string DataFolder;
  std::string WorkFolder;
  TImagingView* WorkView = nullptr;  // not owned
  bool Crop = false;
  bool Stretch = false;
  bool CutGuides = false;

 private:
  // Gives area `to` the placement that area `from` has just been given.
  void CopyPlacement(int32_t from, int32_t to);
};
