// Placement speed: a 6000 x 4000 photo placed into a portrait 5 x 7 area
// (500 x 700 page pixels), so the picture is turned, in each fit mode.
//
// BM_Place runs XaLayout::PlacePicture whole. BM_PlaceSteps runs the same
// steps one by one on the same objects and reports, per step, its time in
// milliseconds ("<step>_ms"), its share of the whole ("<step>_%") and the
// processor time of all threads in it ("<step>_cpu_ms", above the wall time
// where the step runs on several cores), so that the step that dominates is
// plain to see.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/layout.h"
#include "imaging/io/imagingio.h"
#include "imaging/core/pxutils.h"
#include "imaging/proc/imagingproc.h"
#include "imaging/view/imagingview.h"
#include "imaging/proc/mergerows.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t kPhotoWidth = 6000, kPhotoHeight = 4000;
// A portrait 5 x 7 area: 500 x 700 page pixels in layout file units.
constexpr int32_t kAreaLeft = 150, kAreaTop = 200, kAreaWidth = 500, kAreaHeight = 700;

// The data files (bkpage.png) live in bin/ beside bench/.
fs::path DataFolder() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("cannot find the benchmark program");
  return exe.parent_path().parent_path() / "bin";
}

// One scratch folder per run: the photo, the layout file and the working files.
struct Fixture {
  fs::path Folder;
  std::string Photo, LayoutFile, Data;

  Fixture() {
    std::string pattern = (fs::temp_directory_path() / "bench-place-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a scratch folder");
    Folder = pattern;
    Data = DataFolder().string();
    if (!fs::exists(fs::path(Data) / "bkpage.png"))
      throw std::runtime_error("bkpage.png not found in " + Data);
    LayoutFile = (Folder / "printouts.txt").string();
    {
      std::ofstream f(LayoutFile);
      f << ":5x7 portrait\n5x7 portrait|" << kAreaLeft * kLayoutUnitsX << ' ' << kAreaTop * kLayoutUnitsY
        << ' ' << (kAreaLeft + kAreaWidth) * kLayoutUnitsX << ' '
        << (kAreaTop + kAreaHeight) * kLayoutUnitsY << "\n\n:end\n";
    }
    Photo = (Folder / "photo.jpg").string();
    WritePhoto();
  }
  ~Fixture() {
    std::error_code ec;
    fs::remove_all(Folder, ec);
  }

  // Photo-like content: smooth colour gradients, a few flat shapes with hard
  // edges, and fine noise, saved as JPEG quality 90.
  void WritePhoto() const {
    TPxBitmap pic(kPhotoWidth, kPhotoHeight, pxRGB24);
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 6.0);
    std::vector<double> n(1024);
    for (double& v : n) v = noise(rng);
    for (int32_t y = 0; y < kPhotoHeight; ++y) {
      uint8_t* p = pic.Scanline(y);
      const double fy = double(y) / kPhotoHeight;
      for (int32_t x = 0; x < kPhotoWidth; ++x, p += 3) {
        const double fx = double(x) / kPhotoWidth;
        double b = 60 + 120 * fy + 40 * std::sin(fx * 7.0);
        double g = 90 + 80 * std::sin(fx * 3.1 + fy * 2.3);
        double r = 200 - 150 * fx * fy;
        const double dx = x - 3000.0, dy = y - 2000.0;
        if (dx * dx + dy * dy < 900.0 * 900.0) b = 200, g = 120, r = 40;  // a disc
        if (x > 400 && x < 1800 && y > 400 && y < 1500) b = 30, g = 200, r = 230;  // a block
        const double e = n[(x * 7 + y * 13) & 1023];
        p[0] = static_cast<uint8_t>(std::clamp(b + e, 0.0, 255.0));
        p[1] = static_cast<uint8_t>(std::clamp(g + e, 0.0, 255.0));
        p[2] = static_cast<uint8_t>(std::clamp(r + e, 0.0, 255.0));
      }
    }
    TImagingIO io;
    io.SetTargetBitmap(&pic);
    io.Params.JpegQuality = 90;
    io.SaveToFile(Photo);
    if (io.Aborting) throw std::runtime_error("cannot write " + Photo);
  }
};

Fixture& TheFixture() {
  static Fixture f;
  return f;
}

enum Fit { fitDontCrop, fitCrop, fitStretch };

// The page view with the sheet and the one area, and the work view.
struct Page {
  TImagingVect PageView;
  TImagingView Work;
  XaLayout Layout;

  explicit Page(Fit fit) : Layout(&PageView, TheFixture().LayoutFile, TheFixture().Data) {
    Layout.WorkView = &Work;
    Layout.WorkFolder = TheFixture().Folder.string();
    Layout.SetUpPage();
    Layout.LoadLayout("5x7 portrait");
    if (Layout.Areas.size() != 1) throw std::runtime_error("the bench layout did not load");
    Layout.Crop = fit == fitCrop;
    Layout.Stretch = fit == fitStretch;
    Layout.Areas[0]->FileName = TheFixture().Photo;
  }
};

void BM_Place(benchmark::State& state, Fit fit) {
  Page page(fit);
  for (auto _ : state) {
    page.Layout.PlacePicture(0);
    benchmark::DoNotOptimize(page.PageView.Bitmap());
  }
  if (!page.Layout.Areas[0]->Rotated) state.SkipWithError("the picture was not turned");
}

// The placement's steps, in its order, each timed on its own, one after the
// other. The placement itself writes t.png on a thread beside the fit and
// takes the turned picture from memory, so there the t.png steps mostly
// overlap the rest; these cases show what each step costs.
enum Step { sParams, sLoad, sTurn, sTpngWrite, sTpngRead, sFit, sSave96, sReduce, sSave93, sShow, sCount };
const char* const kStepNames[sCount] = {"params", "load",  "turn",   "tpng_write", "tpng_read",
                                         "fit",    "save96", "reduce", "save93",     "show"};

int32_t RoundEven(double v) { return static_cast<int32_t>(std::nearbyint(v)); }

// As the placement does with a read t.png: an alpha plane of 255 everywhere goes.
void DropOpaqueAlpha(TImagingView& view) {
  TPxBitmap* bmp = view.Bitmap();
  if (bmp && bmp->HasAlphaChannel() && PxAlphaAllOpaque(*bmp->AlphaChannel())) bmp->RemoveAlphaChannel();
}

void Check(TImagingIO& io, const std::string& what) {
  if (io.Aborting) throw std::runtime_error(what + " failed");
}

void BM_PlaceSteps(benchmark::State& state, Fit fit) {
  Page page(fit);
  TImagingView& work = page.Work;
  const Fixture& fx = TheFixture();
  const std::string tpng = (fx.Folder / "t.png").string();
  const double A = double(kAreaWidth) / kAreaHeight;
  double total[sCount] = {}, cpu[sCount] = {};
  using Clock = std::chrono::steady_clock;
  // Processor time of all threads: on a shared machine the wall-clock shares
  // swing with the load, the processor time much less.
  auto cpuMs = [] {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
  };
  work.GetProc().AutoUndo = false;  // as the placement does

  for (auto _ : state) {
    Clock::time_point t = Clock::now();
    double c = cpuMs();
    auto lap = [&](Step s) {
      const Clock::time_point now = Clock::now();
      const double cnow = cpuMs();
      total[s] += std::chrono::duration<double, std::milli>(now - t).count();
      cpu[s] += cnow - c;
      t = now;
      c = cnow;
    };
    work.ClearToBackground();
    work.SetLayersSync(false);
    TImagingIO& pageIO = page.PageView.GetIO();
    pageIO.ReadParamsFromFile(fx.Photo);
    Check(pageIO, "reading the photo's size");
    lap(sParams);
    work.GetIO().LoadFromFile(fx.Photo);
    Check(work.GetIO(), "loading the photo");
    lap(sLoad);
    work.GetProc().Rotate(90, true, 0, -1);
    lap(sTurn);
    work.GetIO().Params.PngCompression = 1;
    work.GetIO().Params.PngFilter = 1;
    work.GetIO().SaveToFile(tpng);
    Check(work.GetIO(), "writing t.png");
    lap(sTpngWrite);
    pageIO.ReadParamsFromFile(tpng);
    const int32_t W = pageIO.Params.Width, H = pageIO.Params.Height;
    if (fit == fitCrop) {
      const int32_t cropW = A >= 1 ? W : RoundEven(H * A);
      const int32_t cropH = A >= 1 ? RoundEven(W / A) : H;
      const int32_t x0 = (W - cropW) / 2, y0 = (H - cropH) / 2;
      work.GetIO().LoadFromFile(tpng);
      Check(work.GetIO(), "reading t.png");
      lap(sTpngRead);
      DropOpaqueAlpha(work);
      TPxBitmap* bmp = work.Bitmap();
      work.Selection().Select(x0, y0, x0 + cropW, y0 + cropH, 0, bmp->Width(), bmp->Height());
      work.GetProc().CropSel();
      lap(sFit);
    } else if (fit == fitStretch) {
      const int32_t newW = A >= 1 ? RoundEven(H * A) : W;
      const int32_t newH = A >= 1 ? H : RoundEven(W / A);
      work.GetIO().LoadFromFile(tpng);
      Check(work.GetIO(), "reading t.png");
      lap(sTpngRead);
      DropOpaqueAlpha(work);
      work.GetProc().Resample(newW, newH, rfLanczos3);
      lap(sFit);
    } else {
      const int32_t padW = A >= 1 ? RoundEven(H * A) : W;
      const int32_t padH = A >= 1 ? H : RoundEven(W / A);
      const XaSize fitSize = FitInside(W, H, padW, padH);
      const int32_t x0 = (padW - fitSize.Width) / 2, y0 = (padH - fitSize.Height) / 2;
      // The sheet's colour (the shipped sheet has one), then the picture
      // shown at the fitted size on a canvas of that colour.
      work.GetIO().LoadFromFile(fx.Data + "/bkpage.png");
      TBGR sheet{};
      if (!PxUniformColour(*work.Bitmap(), sheet))
        throw std::runtime_error("bkpage.png has several colours");
      lap(sFit);
      work.GetIO().LoadFromFile(tpng);
      Check(work.GetIO(), "reading t.png");
      lap(sTpngRead);
      DropOpaqueAlpha(work);
      TPxBitmap* bmp = work.Bitmap();
      if (!PxPadOpaque(*bmp, fitSize.Width, fitSize.Height, x0, y0, padW, padH, sheet, *bmp))
        throw std::runtime_error("padding failed");
      work.ImageChanged();
      lap(sFit);
    }
    TImagingIO& io = work.GetIO();
    io.Params.JpegQuality = 96;
    io.Params.JpegSmoothing = 0;
    io.SaveToFile(page.Layout.PrintFile(0));
    Check(io, "saving the print file");
    lap(sSave96);
    work.GetProc().Resample(kAreaWidth, kAreaHeight, rfLanczos3);
    lap(sReduce);
    io.Params.JpegQuality = 93;
    io.SaveToFile(page.Layout.ScreenFile(0));
    Check(io, "saving the screen file");
    lap(sSave93);
    work.ClearToBackground();
    page.PageView.SetCurrentLayer(1);
    page.PageView.GetIO().LoadFromFile(page.Layout.ScreenFile(0));
    Check(page.PageView.GetIO(), "showing the screen file");
    lap(sShow);
  }
  double sum = 0;
  for (double v : total) sum += v;
  const double n = double(state.iterations());
  for (int s = 0; s < sCount; ++s) {
    if (total[s] == 0) continue;  // a step this mode does not have
    state.counters[std::string(kStepNames[s]) + "_ms"] = total[s] / n;
    state.counters[std::string(kStepNames[s]) + "_%"] = sum > 0 ? 100.0 * total[s] / sum : 0;
    state.counters[std::string(kStepNames[s]) + "_cpu_ms"] = cpu[s] / n;
  }
}

BENCHMARK_CAPTURE(BM_Place, DontCrop, fitDontCrop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Place, Crop, fitCrop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Place, Stretch, fitStretch)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PlaceSteps, DontCrop, fitDontCrop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PlaceSteps, Crop, fitCrop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PlaceSteps, Stretch, fitStretch)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
