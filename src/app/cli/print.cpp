#include "app/cli/print.h"

#include "app/cli/common.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "app/gen.h"
#include "app/layout.h"
#include "app/preview.h"
#include "app/resolution.h"
#include "app/savedpage.h"
#include "imaging/io/imagingio.h"
#include "imaging/view/imagingview.h"
#include "platform/pxprinter.h"

const char* const kPageUsage =
    "       pictrova-cli print --layout NAME [--fit MODE] OUTPUT... [PRINTING...]\n"
    "                          [--save-page PAGE] PICTURE...\n"
    "       pictrova-cli print --layout NAME --fill-all [--fit MODE] OUTPUT... [PRINTING...]\n"
    "                          [--save-page PAGE] PICTURE\n"
    "       pictrova-cli print --page PAGE OUTPUT... [PRINTING...]\n"
    "       pictrova-cli place --layout NAME [--fit MODE] --out DIR PICTURE...\n"
    "  NAME is a layout such as \"8x10\", \"2 5x7\" or \"9 wallets\"; the pictures fill its\n"
    "  areas in order. MODE: dont-crop (the default), crop or stretch. PAGE is a saved\n"
    "  page (.pictrova): --save-page writes one, --page prints one.\n"
    "  --fill-all places the one picture in every area of the layout.\n"
    "  OUTPUT, one or more of:\n"
    "    --pdf FILE        a PDF file of the page (or --printer QUEUE, not both)\n"
    "    --printer QUEUE   the print server's queue\n"
    "    --png FILE.png    the page as it prints, a picture of the paper with the\n"
    "                      printer's unprintable margins shaded (--dpi N, 10 to 600,\n"
    "                      100 unless given)\n"
    "  PRINTING:\n"
    "    --paper P         letter (the default, or a saved page's), a4 or WxHin such as\n"
    "                      4x6in; the letter page is centred on it, each picture keeps\n"
    "                      its size in inches\n"
    "    --cut-guides      thin black marks at each picture's corners to cut along\n"
    "    --force           print even when a picture would reach past the paper's edge\n"
    "                      or into the printer's unprintable margin; without it such\n"
    "                      pictures are named, no PDF, PNG or job is made and the\n"
    "                      status is 1\n"
    "  place prepares files for a photo lab: DIR gets one full-resolution JPEG per\n"
    "  picture, named by its position and area (\"01-5x7 top.jpg\") and tagged with the\n"
    "  resolution at which it prints at its area's size in inches; nothing else (the\n"
    "  reduced copies for the screen and the working files stay out of DIR).\n"
    "  print and place warn of each picture that prints at fewer than 150 pixels per inch.\n";

namespace {

namespace fs = std::filesystem;

struct PageRequest {
  std::string Layout, Fit = "dont-crop", Pdf, Printer, Out, Page, SavePage, Paper, Png, Dpi;
  bool CutGuides = false, Force = false;
  std::vector<std::string> Pictures;
  bool FillAll = false;
};

// The print-only options' checks; empty when they are sound.
std::string CheckPrinting(const PageRequest& r) {
  if (r.Pdf.empty() && r.Printer.empty() && r.Png.empty())
    return "give --pdf FILE, --printer QUEUE or --png FILE";
  if (!r.Pdf.empty() && !r.Printer.empty()) return "give either --pdf FILE or --printer QUEUE";
  if (!r.Paper.empty() && !PxPaperFromName(r.Paper))
    return "--paper takes letter, a4 or WxHin (such as 4x6in), not " + r.Paper;
  if (!r.Png.empty() && (r.Png.size() < 5 || !SameText(r.Png.substr(r.Png.size() - 4), ".png")))
    return "--png needs a file name ending in .png";
  int dpi = 0;
  if (!r.Dpi.empty() && (r.Png.empty() || !CliParseInt(r.Dpi, 10, 600, dpi)))
    return "--dpi takes a resolution from 10 to 600 for --png";
  return {};
}

int PageUsage(const std::string& problem) {
  std::fprintf(stderr, "pictrova-cli: %s\nusage:\n%s", problem.c_str(), kPageUsage);
  return 2;
}

// Reads the options; an empty result with a message means a usage error.
std::optional<PageRequest> ParsePage(const std::vector<std::string>& args, bool printing,
                                     std::string& problem) {
  PageRequest r;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string* value = a == "--layout"    ? &r.Layout
                         : a == "--fit"     ? &r.Fit
                         : a == "--pdf"     ? (printing ? &r.Pdf : nullptr)
                         : a == "--printer" ? (printing ? &r.Printer : nullptr)
                         : a == "--out"     ? (printing ? nullptr : &r.Out)
                         : a == "--page"    ? (printing ? &r.Page : nullptr)
                         : a == "--save-page" ? (printing ? &r.SavePage : nullptr)
                         : a == "--paper"   ? (printing ? &r.Paper : nullptr)
                         : a == "--png"     ? (printing ? &r.Png : nullptr)
                         : a == "--dpi"     ? (printing ? &r.Dpi : nullptr)
                                            : nullptr;
    bool* flag = !printing            ? nullptr
                 : a == "--cut-guides" ? &r.CutGuides
                 : a == "--force"      ? &r.Force
                 : a == "--fill-all"   ? &r.FillAll
                                       : nullptr;
    if (flag) {
      *flag = true;
    } else if (value) {
      if (i + 1 >= args.size()) return problem = a + " needs a value", std::nullopt;
      *value = args[++i];
    } else if (a.size() > 1 && a[0] == '-') {
      return problem = "unknown option " + a, std::nullopt;
    } else {
      r.Pictures.push_back(a);
    }
  }
  if (!r.Page.empty()) {
    if (!r.Layout.empty() || !r.Pictures.empty() || !r.SavePage.empty())
      problem = "--page takes neither --layout, --save-page nor pictures";
    else
      problem = CheckPrinting(r);
    if (!problem.empty()) return std::nullopt;
    return r;
  }
  if (r.Layout.empty()) problem = "--layout is missing";
  else if (r.Fit != "dont-crop" && r.Fit != "crop" && r.Fit != "stretch")
    problem = "--fit takes dont-crop, crop or stretch, not " + r.Fit;
  else if (printing) problem = CheckPrinting(r);
  else if (r.Out.empty()) problem = "--out is missing";
  if (problem.empty() && r.Pictures.empty()) problem = "no pictures given";
  if (problem.empty() && r.FillAll && r.Pictures.size() != 1) problem = "--fill-all takes one picture";
  if (!problem.empty()) return std::nullopt;
  return r;
}

// The program's page, without a window: the sheet and its areas in a page
// view, pictures prepared in a work view, working files in workFolder.
class HeadlessPage {
 public:
  HeadlessPage(const std::string& workFolder)
      : layout_(&page_, ProgramFolder() + "printouts.txt") {
    layout_.WorkView = &work_;
    layout_.WorkFolder = workFolder;
    layout_.SetUpPage();
  }

  // Empty when the layout and pictures fit; else the usage problem.
  std::string Load(const PageRequest& r) {
    layout_.LoadLayout(r.Layout);
    if (layout_.Areas.empty()) throw std::runtime_error("there is no layout named \"" + r.Layout + "\"");
    if (r.Pictures.size() > layout_.Areas.size())
      return "layout \"" + r.Layout + "\" has " + std::to_string(layout_.Areas.size()) +
             " areas, but " + std::to_string(r.Pictures.size()) + " pictures were given";
    layout_.Crop = r.Fit == "crop";
    layout_.Stretch = r.Fit == "stretch";
    return {};
  }

  void Place(const PageRequest& r) {
    if (r.FillAll) {
      const XaFillResult filled = layout_.FillAllAreas(Absolute(r.Pictures.front()));
      if (!filled.Failures.empty()) throw std::runtime_error(filled.Message());
      return;
    }
    for (size_t i = 0; i < r.Pictures.size(); ++i)
      layout_.DropPicture(static_cast<int32_t>(i), Absolute(r.Pictures[i]));
  }

  static std::string Absolute(const std::string& picture) {
    std::error_code ec;
    const fs::path path = fs::absolute(picture, ec);
    return ec ? picture : path.string();
  }

  // The saved page's layout and pictures; the messages of areas left empty.
  std::vector<std::string> Open(const XaSavedPage& saved, const std::string& pageFile) {
    return OpenPage(layout_, saved, pageFile);
  }

  XaLayout& Layout() { return layout_; }

 private:
  TImagingVect page_;
  TImagingView work_;
  XaLayout layout_;
};

// A private folder for the working files of one print, removed afterwards.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "pictrova-print-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a working folder");
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Writes the page as it prints on paper to a PNG file of that resolution.
void WritePreview(XaLayout& layout, const TPxPaper& paper, int32_t dpi, const std::string& fileName) {
  TPxBitmap page;
  XaRenderPreview(layout, paper, dpi, page);
  XaShadeMargins(page, paper, dpi);
  TImagingIO io;
  io.SetTargetBitmap(&page);
  io.Params.SetDpi(dpi, dpi);
  io.SaveToFile(fileName);
  if (io.Aborting) throw std::runtime_error("cannot write \"" + fileName + "\"");
}

// One line on the error stream for each picture that prints below the
// resolution a sharp print needs; the command's outcome stays as it is.
void WarnOfLowResolution(const XaLayout& layout) {
  for (const std::string& w : XaLowResolutionWarnings(layout))
    std::fprintf(stderr, "pictrova-cli: warning: %s\n", w.c_str());
}

// "01-5x7 top.jpg": the area's position in the layout from 01, then its name
// (a slash, which no file name may hold, becomes a dash).
std::string LabFileName(size_t areaIndex, std::string areaName) {
  std::replace(areaName.begin(), areaName.end(), '/', '-');
  char position[24];
  std::snprintf(position, sizeof position, "%02zu-", areaIndex + 1);
  return position + areaName + ".jpg";
}

// Copies the area's print file (tagged with its print resolution by the
// placement) into the lab's folder; a copy that fails leaves no part of
// itself there. Returns the file's path as the user named the folder.
std::string WriteLabFile(const XaLayout& layout, size_t areaIndex, const std::string& folder) {
  const fs::path target = fs::path(folder) / LabFileName(areaIndex, layout.Areas[areaIndex]->Name);
  fs::path part = target;
  part += ".part";
  std::error_code ec;
  fs::copy_file(layout.PrintFile(int32_t(areaIndex)), part, fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::rename(part, target, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(part, ignored);
    throw std::runtime_error("cannot write \"" + target.string() + "\": " + ec.message());
  }
  return target.string();
}

}  // namespace

int CliPrint(const std::vector<std::string>& args) {
  std::string problem;
  std::optional<PageRequest> r = ParsePage(args, true, problem);
  if (!r) return PageUsage(problem);
  try {
    std::shared_ptr<void> platform = PxStartHeadlessPrinting();
    std::optional<XaSavedPage> saved;
    if (!r->Page.empty()) saved = ReadPageFile(r->Page);
    // The paper asked for, else the saved page's.
    const TPxPaper paper = *PxPaperFromName(!r->Paper.empty() ? r->Paper : saved ? saved->Paper : "letter");
    std::unique_ptr<TPxPrintJob> job = !r->Printer.empty() ? PxNewQueuePrintJob(r->Printer, paper)
                                       : !r->Pdf.empty()   ? PxNewPdfPrintJob(r->Pdf, paper)
                                                           : nullptr;
    // A queue's paper brings the printer's margins.
    const TPxPaper sheet = job ? job->Paper() : paper;
    ScratchFolder scratch;
    HeadlessPage page(scratch.Path());
    std::vector<std::string> missing;
    if (saved) {
      missing = page.Open(*saved, r->Page);
    } else {
      if (std::string tooMany = page.Load(*r); !tooMany.empty()) return PageUsage(tooMany);
      page.Place(*r);
      if (!r->SavePage.empty()) WritePageFile(r->SavePage, SavePage(page.Layout(), paper));
    }
    XaLayout& layout = page.Layout();
    // Nothing is cut silently: such a page is refused, or printed and named.
    if (const std::vector<XaCutArea> cut = layout.AreasCut(sheet); !cut.empty()) {
      if (!r->Force) return CliFail(CutAreasMessage(cut, sheet) + " Nothing was printed; --force prints it anyway.");
      CliFail(CutAreasMessage(cut, sheet));
    }
    layout.CutGuides = r->CutGuides;
    size_t placed = 0;
    for (const auto& area : layout.Areas) placed += !area->FileName.empty();
    if (!r->Png.empty()) {
      WritePreview(layout, sheet, r->Dpi.empty() ? 100 : std::stoi(r->Dpi), r->Png);
      std::printf("wrote the page of %zu picture(s) on layout \"%s\" to %s\n", placed,
                  layout.LayoutName.c_str(), r->Png.c_str());
    }
    if (job) {
      layout.PrintPage(*job);
      const std::string warning = job->Warning();
      job.reset();
      std::printf("printed %zu picture(s) on layout \"%s\" to %s\n", placed, layout.LayoutName.c_str(),
                  r->Pdf.empty() ? r->Printer.c_str() : r->Pdf.c_str());
      if (!warning.empty()) std::fprintf(stderr, "pictrova-cli: %s\n", warning.c_str());
    }
    WarnOfLowResolution(layout);
    // The other areas printed; each that could not be filled is named.
    for (const std::string& m : missing) CliFail(m);
    if (!missing.empty()) return 1;
  } catch (const std::exception& e) {
    return CliFail(e.what());
  }
  return 0;
}

int CliPlace(const std::vector<std::string>& args) {
  std::string problem;
  std::optional<PageRequest> r = ParsePage(args, false, problem);
  if (!r) return PageUsage(problem);
  try {
    std::error_code ec;
    fs::create_directories(r->Out, ec);
    if (!fs::is_directory(r->Out)) return CliFail("cannot use \"" + r->Out + "\" as the output folder");
    // The lab gets the full-resolution files only: the placement works apart.
    ScratchFolder scratch;
    HeadlessPage page(scratch.Path());
    if (std::string tooMany = page.Load(*r); !tooMany.empty()) return PageUsage(tooMany);
    page.Place(*r);
    const XaLayout& layout = page.Layout();
    for (size_t i = 0; i < r->Pictures.size(); ++i) {
      const XaLayoutArea& area = *layout.Areas[i];
      const std::string file = WriteLabFile(layout, i, r->Out);
      std::printf("%s -> %s: %d x %d pixels, %g x %g inches at %d pixels per inch\n",
                  r->Pictures[i].c_str(), file.c_str(), area.PixelWidth, area.PixelHeight,
                  area.Width / kPagePixelsPerInch, area.Height / kPagePixelsPerInch,
                  XaAreaResolution(layout, int32_t(i)));
    }
    WarnOfLowResolution(layout);
  } catch (const std::exception& e) {
    return CliFail(e.what());
  }
  return 0;
}
