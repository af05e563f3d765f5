#include "app/thumbdisplay.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "app/gen.h"
#include "browse/imagingmview.h"
#include "browse/pxnames.h"
#include "imaging/core/pxstream.h"
#include "imaging/io/imagingio.h"
#include "imaging/view/imagingview.h"

namespace fs = std::filesystem;

XaThumbDisplay::XaThumbDisplay(TImagingMView& grid, TImagingView* preview, TSelectEvent onSelect)
    : Grid(grid), Preview(preview), OnSelect(std::move(onSelect)) {
  Grid.OnImageSelect = [this](TImagingMView* sender, int index) { GridImageSelect(sender, index); };
}

namespace {

std::string NameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void XaThumbDisplay::ShowFolder(const std::string& folder) {
  Folder = folder;
  Grid.Clear();
  Grid.LockUpdate();
  std::vector<std::string> names;
  std::error_code ec;
  // A folder that cannot be listed (gone, no permission) gives an empty grid.
  for (fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.') continue;  // hidden
    std::error_code typeError;
    if (!it->is_regular_file(typeError) || typeError) continue;
    if (IsKnownFormat(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return PxNameLess(a, b); });
  for (const std::string& name : names) {
    const int index = Grid.AppendImage();
    // One separator, also after a root such as "/".
    Grid.SetImageFileName(index, FolderWithSlash(folder) + name);
    Grid.ImageBottomText(index)->SetCaption(name);
  }
  Grid.UnlockUpdate();
  Grid.SetSelectedImage(0);
  if (Grid.SelectedImage() >= 0) LoadPreview(Grid.ImageFileName(0));
}

void XaThumbDisplay::LoadPreview(const std::string& path) {
  if (!Preview) return;
  TImagingIO& io = Preview->GetIO();
  // The preview is a small view: a JPEG is decoded at the smallest scale
  // that still fills it, as the grid's thumbnails are.
  io.Params.JpegScale = 0;
  io.Params.Width = std::max(1, Preview->ClientWidth());
  io.Params.Height = std::max(1, Preview->ClientHeight());
  // Shown as the camera was held, as the page prints it.
  io.Params.ReadUpright();
  io.LoadFromFile(path);
}

void XaThumbDisplay::GridImageSelect(TImagingMView* sender, int index) {
  if (index < 0) {
    if (Preview) Preview->ClearToBackground();
    SelectedName.clear();
    FileSize = 0;
    return;
  }
  const std::string path = Grid.ImageFileName(index);
  // Recorded first: a drag carries the thumbnail the user picked, also
  // when its picture cannot be shown (the drop then says why).
  SelectedPath = path;
  SelectedName = NameOf(path);
  if (Preview) {
    try {
      LoadPreview(path);
    } catch (const std::exception& e) {
      ImageWidth = ImageHeight = 0;
      if (OnError) OnError(e.what());
      return;
    }
    const TIOParamsVals& p = Preview->GetIO().Params;
    // The picture's own size, not that of its reduced decoding; upright, as shown.
    const bool reduced = p.FileType == ioJPEG && p.JpegOriginalWidth > 0;
    ImageWidth = reduced ? p.JpegOriginalWidth : p.Width;
    ImageHeight = reduced ? p.JpegOriginalHeight : p.Height;
  }
  int64_t size = 0;
  try {
    TPxFileStream file(path, TPxFileStream::fmOpenRead);
    size = file.Size();
  } catch (const std::exception& e) {
    if (OnError) OnError(e.what());
    return;
  }
  FileSize = static_cast<int32_t>(static_cast<uint32_t>(size));  // the low 32 bits
  if (OnSelect) OnSelect(sender);
}

std::string XaFileSizeText(int32_t fileSize) { return std::to_string(fileSize / 1024) + " kbytes"; }

std::string XaFileDimsText(int32_t width, int32_t height) {
  char text[32];
  std::snprintf(text, sizeof text, "%d x %d", width, height);
  return text;
}
