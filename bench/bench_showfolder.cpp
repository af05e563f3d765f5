// Selecting a folder of 2000 pictures: the listing and the grid's filling,
// as the main window does it, before any thumbnail is loaded (aim: under
// 50 ms), and the first paint of the grid that follows, whose visible
// thumbnails go to the background loaders.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/thumbdisplay.h"
#include "browse/imagingmview.h"
#include "imaging/io/imagingio.h"
#include "imaging/view/imagingview.h"
#include "imaging/view/pxhost.h"

namespace {

namespace fs = std::filesystem;

// 2000 picture files; only their names matter until they are loaded, and the
// first (which the preview shows) is a real small picture.
const std::string& Folder() {
  static const std::string folder = [] {
    const fs::path dir = fs::temp_directory_path() / "pictrova-bench-showfolder";
    fs::remove_all(dir);
    fs::create_directories(dir);
    TPxBitmap b(160, 120, pxRGB24);
    b.Fill(0x3060C0);
    TImagingIO io;
    io.SetTargetBitmap(&b);
    io.SaveToFile((dir / "IMG_0000.jpg").string());
    for (int i = 1; i < 2000; ++i) {
      const std::string name = "IMG_" + std::to_string(i) + (i % 10 == 0 ? ".png" : ".jpg");
      std::ofstream(dir / name) << "x";
    }
    std::ofstream(dir / "notes.txt") << "not a picture";
    return dir.string();
  }();
  return folder;
}

struct Window {
  Window() : display(grid, &preview, nullptr) {
    grid.AttachHost(&host);
    grid.SetStoreType(pxtThumb);
    grid.SetThumbWidth(128);
    grid.SetThumbHeight(128);
    grid.SetGridWidth(-1);
    grid.SetImageCacheSize(100);
    grid.HostResized(596, 152, 600, 156);
    preview.SetBounds(193, 142);
  }
  TPxNoScreenHost host;
  TImagingMView grid;
  TImagingView preview;
  XaThumbDisplay display;
};

void BM_ShowFolder(benchmark::State& state) {
  const std::string& folder = Folder();
  Window w;
  for (auto _ : state) {
    w.display.ShowFolder(folder);
    benchmark::DoNotOptimize(w.grid.ImageCount());
  }
  state.counters["entries"] = w.grid.ImageCount();
}
BENCHMARK(BM_ShowFolder)->Unit(benchmark::kMillisecond)->UseRealTime();

// The first paint after the folder is shown: visible cells are queued for the
// background loaders, so this is the user-interface thread's share.
void BM_ShowFolderThenFirstPaint(benchmark::State& state) {
  const std::string& folder = Folder();
  Window w;
  for (auto _ : state) {
    w.display.ShowFolder(folder);
    w.grid.Invalidate();
    benchmark::DoNotOptimize(w.grid.HostPaint(0, 0, w.grid.ClientWidth(), w.grid.ClientHeight()));
    state.PauseTiming();
    w.grid.AbortLoads();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ShowFolderThenFirstPaint)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
