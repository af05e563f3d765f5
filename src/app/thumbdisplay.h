// The folder thumbnails of the main window and the picture selected among
// them: fills the grid from a folder, loads the selected picture into the
// preview, and records what a drag from the grid carries to the page.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TImagingMView;
class TImagingView;

class XaThumbDisplay {
 public:
  using TSelectEvent = std::function<void(TImagingMView* grid)>;
  using TErrorEvent = std::function<void(const std::string& message)>;

  // Takes over the grid's selection event; preview may be null.
  XaThumbDisplay(TImagingMView& grid, TImagingView* preview, TSelectEvent onSelect);

  // Fills the grid with one entry per picture file of the folder (ordinary
  // files whose extension is a readable format, hidden ones left out), in
  // the order a person reads names, and shows the first in the preview.
  // The recorded picture stays until the user selects another.
  void ShowFolder(const std::string& folder);

  // The grid's selection event: index < 0 when the selection is removed.
  void GridImageSelect(TImagingMView* sender, int index);

  TImagingMView& Grid;
  TImagingView* Preview;
  std::string Folder;
  std::string SelectedPath;
  std::string SelectedName;
  int32_t FileSize = 0;
  int32_t ImageWidth = 0;
  int32_t ImageHeight = 0;
  TSelectEvent OnSelect;
  // A selected file whose size cannot be read; the handler stops there.
  TErrorEvent OnError;

 private:
  void LoadPreview(const std::string& path);
};

// The information labels' texts: "1500 kbytes" and "3000 x 2000".
std::string XaFileSizeText(int32_t fileSize);
std::string XaFileDimsText(int32_t width, int32_t height);
