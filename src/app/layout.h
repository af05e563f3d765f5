// Page layouts: the areas of a layout read from the layout definitions file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// One picture slot of the current layout, in page pixels (100 to the inch).
class XaLayoutArea {
 public:
  XaLayoutArea(std::string name, int32_t left, int32_t top, int32_t width, int32_t height)
      : Name(std::move(name)), Left(left), Top(top), Width(width), Height(height) {}

  std::string Name;
  std::string FileName;  // picture placed in the area; empty until one is dropped
  bool Rotated = false;  // the placement turned the picture a quarter turn
  uint8_t Fit = 0;       // how the picture was placed: 0 Don't Crop, 1 Crop, 2 Stretch
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
  // Prints every area holding a picture at its layer's place and size, as one job.
  void PrintPage(TPxPrintJob& job);

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
};
