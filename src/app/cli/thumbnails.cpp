// pictrova-cli thumbnails: fills a thumbnail grid without a window, lets its
// background loaders load every entry as the program's window would, and
// writes each stored thumbnail as a PNG file.
#include "app/cli/thumbnails.h"

#include "app/cli/common.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "browse/imagingmview.h"
#include "imaging/io/imagingio.h"

const char* const kThumbsUsage =
    "       pictrova-cli thumbnails [--size W H] --out DIR PICTURE...\n"
    "                          thumbnails fitting W x H (128 x 128 by default) as\n"
    "                          DIR/NAME.png, NAME being the picture's file name with its\n"
    "                          extension (a.jpg gives a.jpg.png)\n";

namespace {

// A host without a screen: it only wakes the waiting thread when a loader
// asks for a repaint. It has no text service, and the grid shows no captions.
class ScreenlessHost : public TPxNoScreenHost {
 public:
  void HostPostInvalidate() override {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_ = true;
    wake_.notify_one();
  }
  // Waits for a loader's repaint request, or a short while (a failed load
  // asks for none: its placeholder is made at the next paint).
  void WaitForPost() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(20), [this] { return posted_; });
    posted_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool posted_ = false;
};

int Usage(const std::string& problem) {
  CliFail(problem);
  std::fputs("usage:\n", stderr);
  std::fputs(kThumbsUsage, stderr);
  return 2;
}

}  // namespace

int CliThumbnails(const std::vector<std::string>& args) {
  int width = 128, height = 128;
  std::string out;
  std::vector<std::string> files;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--size") {
      if (i + 2 >= args.size() || !CliParseInt(args[i + 1], 1, 4096, width) ||
          !CliParseInt(args[i + 2], 1, 4096, height))
        return Usage("--size needs a width and a height of 1 to 4096");
      i += 2;
    } else if (args[i] == "--out") {
      if (i + 1 >= args.size()) return Usage("--out needs a folder");
      out = args[++i];
    } else {
      files.push_back(args[i]);
    }
  }
  if (out.empty()) return Usage("thumbnails needs --out DIR");
  if (files.empty()) return Usage("thumbnails needs at least one picture");
  std::error_code ec;
  std::filesystem::create_directories(out, ec);
  if (!std::filesystem::is_directory(out)) {
    CliFail(out + ": cannot make the folder");
    return 1;
  }

  ScreenlessHost host;
  std::set<int> failed;
  int status = 0;
  {
    // The application's settings of its grid.
    TImagingMView grid;
    grid.AttachHost(&host);
    grid.SetStoreType(pxtThumb);
    grid.SetThumbWidth(width);
    grid.SetThumbHeight(height);
    grid.SetImageCacheSize(100);
    grid.SetGridWidth(-1);
    grid.OnWrongImage = [&](TImagingMView*, TPxBitmap&, int idx, bool&) { failed.insert(idx); };
    const int count = int(files.size());
    grid.LockUpdate();
    for (int i = 0; i < count; ++i) {
      grid.InsertImageNoSelect(i);
      grid.SetImageFileName(i, files[size_t(i)]);
    }
    // A client of eight by six cells: the window shows a page of this kind,
    // and the grid loads what it shows.
    const int32_t stepX = width + grid.HorizBorder(), stepY = height + grid.VertBorder();
    const int32_t cw = 8 * stepX + grid.HorizBorder(), ch = 6 * stepY + grid.VertBorder();
    grid.HostResized(cw, ch, cw + 4, ch + 4);
    grid.UnlockUpdate();

    std::vector<bool> done(size_t(count), false);
    for (int first = 0; first < count; ++first) {
      if (done[size_t(first)]) continue;
      grid.SetViewY(grid.ImageY(first));
      const int32_t top = grid.ViewY(), bottom = top + grid.ClientHeight();
      std::vector<int> page;
      for (int i = first; i < count; ++i)
        if (!done[size_t(i)] && grid.ImageY(i) >= top && grid.ImageY(i) + height <= bottom)
          page.push_back(i);
      // Paints as the window does when its loaders ask, until the page is loaded.
      for (;;) {
        grid.Invalidate();
        grid.HostPaint(0, 0, grid.ClientWidth(), grid.ClientHeight());
        bool all = true;
        for (int i : page)
          if (!grid.HasImage(i)) all = false;
        if (all) break;
        host.WaitForPost();
      }
      for (int i : page) {
        done[size_t(i)] = true;
        const std::string& file = files[size_t(i)];
        if (failed.count(i)) {
          CliFail(file + ": cannot read the picture");
          status = 1;
          continue;
        }
        TPxBitmap thumb;
        const std::string name =
            (std::filesystem::path(out) / (std::filesystem::path(file).filename().string() + ".png")).string();
        if (!grid.CopyStoredImage(i, thumb)) {
          CliFail(file + ": no thumbnail");
          status = 1;
          continue;
        }
        TImagingIO io;
        io.SetTargetBitmap(&thumb);
        try {
          io.SaveToFile(name);
        } catch (...) {
          io.Aborting = true;
        }
        if (io.Aborting) {
          CliFail(name + ": writing failed");
          status = 1;
        }
      }
    }
  }
  return status;
}
