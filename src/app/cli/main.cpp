// pictrova-cli: the imaging library from the command line.
//   pictrova-cli info FILE...            what each file holds
//   pictrova-cli convert IN OUT [OPS]    load, apply operations in order, save
//   pictrova-cli print / place           fill a layout's areas, print or keep the files
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "app/cli/common.h"
#include "app/cli/print.h"
#include "app/cli/thumbnails.h"
#include "app/gen.h"
#include "app/layout.h"
#include "imaging/io/imagingio.h"
#include "imaging/proc/imagingproc.h"

namespace {

const char* const kUsage =
    "usage: pictrova-cli info FILE...\n"
    "       pictrova-cli convert IN OUT [OPERATION...]\n"
    "operations, applied in the order given:\n"
    "  --scale-to W H          decode a JPEG at a reduced size of at least W x H\n"
    "  --resample W H FILTER   resample to W x H (-1 keeps the aspect ratio);\n"
    "                          FILTER: none, triangle, hermite, bell, bspline, lanczos3,\n"
    "                          mitchell, nearest, linear, fastlinear, bilinear, bicubic,\n"
    "                          projectbw, projectwb\n"
    "  --rotate ANGLE          turn counter-clockwise by ANGLE degrees\n"
    "  --crop X1 Y1 X2 Y2      keep the rectangle X1 <= x < X2, Y1 <= y < Y2\n"
    "  --quality Q             JPEG quality 1..100 of the output\n";

int Usage(const std::string& problem) {
  if (!problem.empty()) std::fprintf(stderr, "pictrova-cli: %s\n", problem.c_str());
  std::fputs(kUsage, stderr);
  std::fputs(kPageUsage, stderr);
  std::fputs(kThumbsUsage, stderr);
  return 2;
}

bool ParseDouble(const std::string& text, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return *end == '\0';
}

struct FilterName {
  const char* name;
  TResampleFilter filter;
};
const FilterName kFilters[] = {
    {"none", rfNone},         {"triangle", rfTriangle}, {"hermite", rfHermite},
    {"bell", rfBell},         {"bspline", rfBSpline},   {"lanczos3", rfLanczos3},
    {"mitchell", rfMitchell}, {"nearest", rfNearest},   {"linear", rfLinear},
    {"fastlinear", rfFastLinear}, {"bilinear", rfBilinear}, {"bicubic", rfBicubic},
    {"projectbw", rfProjectBW}, {"projectwb", rfProjectWB},
};

bool ParseFilter(const std::string& text, TResampleFilter& out) {
  for (const FilterName& f : kFilters)
    if (text == f.name) {
      out = f.filter;
      return true;
    }
  return false;
}

// --- info ----------------------------------------------------------------------

// One line per file, and a second with the format's own fields when it has
// any; false when the file is unknown or unreadable.
bool InfoLine(const std::string& file) {
  try {
    TPxFileStream probe(file, TPxFileStream::fmOpenRead);
  } catch (const std::exception& e) {
    CliFail(e.what());
    return false;
  }
  TImagingIO io;
  io.ReadParamsFromFile(file);
  const TIOParamsVals& p = io.Params;
  const TPxFileFormat* format = p.FileType ? PxFindFileFormat(p.FileType) : nullptr;
  if (!format) {
    const TPxFileFormat* content = PxFindFileFormat(TImagingIO::DetectFileType(file, false));
    if (content)
      CliFail(file + ": holds a " + content->FullName + " image that its name does not match, or it is damaged");
    else
      CliFail(file + ": not an image of a known format, or damaged");
    return false;
  }
  // The resolution the program prints with: a value below 2 (a JPEG's 1:1
  // aspect ratio) gives way to the default, as when the picture is loaded.
  const int dpiX = p.DpiX < 2 ? kDefaultDpi : p.DpiX, dpiY = p.DpiY < 2 ? kDefaultDpi : p.DpiY;
  std::printf("%s: %s, %d x %d pixels, %d x %d dpi%s, %d bits per sample, %d sample%s per pixel\n",
              file.c_str(), format->FullName.c_str(), p.Width, p.Height, dpiX, dpiY,
              p.DpiFromFile ? "" : " (the file stores no resolution)", p.BitsPerSample,
              p.SamplesPerPixel, p.SamplesPerPixel == 1 ? "" : "s");
  // The format's own fields, on a line of their own below.
  const std::string own = format->Describe ? format->Describe(p) : std::string();
  if (!own.empty()) std::printf("  %s\n", own.c_str());
  return true;
}

int Info(const std::vector<std::string>& files) {
  if (files.empty()) return Usage("info needs at least one file");
  bool allGood = true;
  for (const std::string& f : files) allGood = InfoLine(f) && allGood;
  std::fflush(stdout);
  return allGood ? 0 : 1;
}

// --- convert ---------------------------------------------------------------------

// What a conversion does besides loading and saving, in the order given.
struct Conversion {
  std::string in, out;
  // Applied to the component before the load (reduced JPEG decoding).
  std::vector<std::function<void(TImagingIO&)>> beforeLoad;
  // Applied to the loaded image; each returns an error text, empty on success.
  std::vector<std::function<std::string(TImagingIO&, TImagingProc&)>> operations;
};

// Fills the conversion from the arguments after IN OUT; an error text on misuse.
std::string ParseOperations(const std::vector<std::string>& args, size_t at, Conversion& c) {
  auto need = [&](size_t n) { return at + n <= args.size(); };
  while (at < args.size()) {
    const std::string op = args[at++];
    if (op == "--resample") {
      int w, h;
      TResampleFilter filter;
      if (!need(3) || !CliParseInt(args[at], -1, 1000000, w) ||
          !CliParseInt(args[at + 1], -1, 1000000, h) ||
          !ParseFilter(args[at + 2], filter) || (w == -1 && h == -1) || w == 0 || h == 0)
        return "--resample needs W H FILTER (sizes 1..1000000 or -1 for one of them, a filter name)";
      at += 3;
      c.operations.push_back([w, h, filter](TImagingIO&, TImagingProc& proc) {
        proc.Resample(w, h, filter);
        return std::string();
      });
    } else if (op == "--rotate") {
      double angle;
      if (!need(1) || !ParseDouble(args[at], angle) || !std::isfinite(angle))
        return "--rotate needs an angle in degrees";
      ++at;
      c.operations.push_back([angle](TImagingIO&, TImagingProc& proc) {
        proc.Rotate(angle);
        return std::string();
      });
    } else if (op == "--crop") {
      int r[4];
      bool ok = need(4);
      for (int i = 0; ok && i < 4; ++i) ok = CliParseInt(args[at + i], 0, 1000000000, r[i]);
      if (!ok) return "--crop needs X1 Y1 X2 Y2 (whole numbers from 0)";
      at += 4;
      c.operations.push_back([r](TImagingIO& io, TImagingProc& proc) {
        TPxBitmap* b = io.Bitmap();
        const int x1 = std::min(r[0], r[2]), x2 = std::max(r[0], r[2]);
        const int y1 = std::min(r[1], r[3]), y2 = std::max(r[1], r[3]);
        if (x1 >= b->Width() || y1 >= b->Height() || x1 == x2 || y1 == y2)
          return std::string("the crop rectangle lies outside the image or is empty");
        TPxSelection selection;
        selection.Select(x1, y1, x2, y2, 0, b->Width(), b->Height());
        TImagingProcHost host;
        host.CurrentBitmap = [b] { return b; };
        host.Selection = [&selection] { return &selection; };
        proc.AttachView(host);
        proc.CropSel();
        proc.AttachBitmap(b);
        return std::string();
      });
    } else if (op == "--quality") {
      int q;
      if (!need(1) || !CliParseInt(args[at], 1, 100, q)) return "--quality needs a number from 1 to 100";
      ++at;
      c.operations.push_back([q](TImagingIO& io, TImagingProc&) {
        io.Params.JpegQuality = q;
        return std::string();
      });
    } else if (op == "--scale-to") {
      int w, h;
      if (!need(2) || !CliParseInt(args[at], 1, 1000000, w) || !CliParseInt(args[at + 1], 1, 1000000, h))
        return "--scale-to needs W H (1..1000000)";
      at += 2;
      c.beforeLoad.push_back([w, h](TImagingIO& io) {
        io.Params.JpegScale = 0;  // automatic: the smallest decode at least this large
        io.Params.Width = w;
        io.Params.Height = h;
      });
    } else {
      return "unknown operation " + op;
    }
  }
  return {};
}

int Convert(const std::vector<std::string>& args) {
  if (args.size() < 2) return Usage("convert needs IN and OUT");
  Conversion c;
  c.in = args[0];
  c.out = args[1];
  std::string problem = ParseOperations(args, 2, c);
  if (!problem.empty()) return Usage(problem);

  const std::string outExt = PxExtractFileExt(c.out);
  // A failed save leaves no half-written file behind, unless one was there before.
  bool outExisted = false;
  if (FILE* f = std::fopen(c.out.c_str(), "rb")) {
    outExisted = true;
    std::fclose(f);
  }
  TImagingIO io;
  try {
    for (auto& before : c.beforeLoad) before(io);
    io.LoadFromFileAuto(c.in);
    if (io.Aborting || io.Bitmap()->IsEmpty()) {
      CliFail(c.in + ": cannot read the image (unknown format or damaged file)");
      return 1;
    }
    TImagingProc proc(io.Bitmap());
    proc.AutoUndo = false;
    for (auto& op : c.operations) {
      std::string error = op(io, proc);
      if (!error.empty()) {
        CliFail(c.in + ": " + error);
        return 1;
      }
    }
    io.SaveToFile(c.out);
    if (io.Aborting) {
      const TPxFileFormat* f = PxFindFileFormatByExtension(outExt);
      if (!f || !f->WriteFunction)
        CliFail(c.out + ": cannot write images with the extension \"" + outExt + "\"");
      else
        CliFail(c.out + ": writing the " + f->FullName + " file failed");
      if (!outExisted) std::remove(c.out.c_str());
      return 1;
    }
  } catch (const std::bad_alloc&) {
    CliFail(c.in + ": not enough memory");
    return 1;
  } catch (const std::exception& e) {
    CliFail(e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("");
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "info") return Info(args);
  if (command == "convert") return Convert(args);
  if (command == "print") return CliPrint(args);
  if (command == "place") return CliPlace(args);
  if (command == "thumbnails") return CliThumbnails(args);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    std::fputs(kPageUsage, stdout);
    std::fputs(kThumbsUsage, stdout);
    try {
      std::string names;
      for (const std::string& n : ReadLayoutNames(ProgramFolder() + "printouts.txt"))
        names += (names.empty() ? "  \"" : ", \"") + n + "\"";
      std::printf("layouts (from printouts.txt):\n%s\n", names.c_str());
    } catch (const std::exception& e) {
      CliFail(e.what());
    }
    return 0;
  }
  return Usage("unknown command " + command);
}
