#include "app/layout.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "app/cutguides.h"
#include "app/gen.h"
#include "imaging/io/imagingio.h"
#include "imaging/core/pxblocks.h"
#include "imaging/core/pxprint.h"
#include "imaging/core/pxutils.h"
#include "imaging/proc/imagingproc.h"
#include "imaging/io/printimage.h"
#include "imaging/view/imagingview.h"
#include "imaging/proc/mergerows.h"
#include "imaging/proc/pxparallel.h"

namespace {

struct NumberedLine {
  size_t Number;  // 1-based line number in the file
  std::string Text;
};

// The file's lines, trimmed, without empty ones; each keeps its line number
// so that an error can point at it.
std::vector<NumberedLine> ReadTrimmedLines(const std::string& fileName) {
  TStringList raw = ReadTextLines(fileName);
  std::vector<NumberedLine> lines;
  for (size_t i = 0; i < raw.size(); ++i) {
    TStringList one{raw[i]};
    TrimLines(one, true);
    if (!one.empty()) lines.push_back({i + 1, one[0]});
  }
  return lines;
}

std::unique_ptr<XaLayoutArea> ParseAreaLine(const std::string& fileName, const NumberedLine& line) {
  auto fail = [&](const std::string& why) -> std::unique_ptr<XaLayoutArea> {
    throw XaLayoutError("Layout file \"" + fileName + "\", line " + std::to_string(line.Number) +
                        ": " + why + ": \"" + line.Text + "\"");
  };
  TStringList pieces;
  SplitAt(line.Text, "|", pieces);
  if (pieces.size() < 2) return fail("no \"|\" before the coordinates");
  TStringList tokens;
  SplitAt(pieces[1], " ", tokens);
  if (tokens.size() < 4) return fail("fewer than four coordinates");
  int32_t c[4];
  for (int i = 0; i < 4; ++i)
    if (!ParseInt32(tokens[i], c[i])) return fail("coordinate \"" + tokens[i] + "\" is not an integer");
  const int32_t left = c[0] / kLayoutUnitsX, top = c[1] / kLayoutUnitsY;
  return std::make_unique<XaLayoutArea>(pieces[0], left, top, c[2] / kLayoutUnitsX - left,
                                        c[3] / kLayoutUnitsY - top);
}

}  // namespace

void ReadLayoutAreas(const std::string& layoutFile, const std::string& name,
                     const std::function<void(std::unique_ptr<XaLayoutArea>)>& addArea) {
  const std::vector<NumberedLine> lines = ReadTrimmedLines(layoutFile);
  const std::string section = ":" + name;
  size_t i = 0;
  for (size_t k = 0; k < lines.size(); ++k) {
    if (SameText(lines[k].Text, section)) {
      i = k + 1;
      break;
    }
  }
  // The last line is never an area line: the file closes with a line of its own.
  for (; i + 1 < lines.size(); ++i) {
    if (lines[i].Text[0] == ':') break;
    addArea(ParseAreaLine(layoutFile, lines[i]));
  }
}

std::vector<std::string> ReadLayoutNames(const std::string& layoutFile) {
  const std::vector<NumberedLine> lines = ReadTrimmedLines(layoutFile);
  std::vector<std::string> names;
  // As ReadLayoutAreas reads them: the last line holds no area.
  for (size_t k = 0; k + 2 < lines.size(); ++k)
    if (lines[k].Text[0] == ':' && lines[k + 1].Text[0] != ':') names.push_back(lines[k].Text.substr(1));
  return names;
}

// ---------------------------------------------------------------------------
// The page and its areas.

namespace {

constexpr int32_t kSheetWidth = 850;
constexpr int32_t kSheetHeight = 1100;

// Round half to even, as the placement's sizes are defined.
int32_t RoundEven(double v) { return static_cast<int32_t>(std::nearbyint(v)); }

void LoadInto(TImagingView& view, const std::string& fileName) {
  TImagingIO& io = view.GetIO();
  io.LoadFromFile(fileName);
  if (io.Aborting) throw XaPlaceError("The picture \"" + fileName + "\" cannot be read.");
}

// Writes the view's picture to `target` (in the format of its extension); a
// failure names `fileName`.
void SaveFrom(TImagingView& view, const std::string& fileName, const std::string& target = {}) {
  TImagingIO& io = view.GetIO();
  io.SaveToFile(target.empty() ? fileName : target);
  if (io.Aborting) throw XaPlaceError("The working file \"" + fileName + "\" could not be written.");
}

// A working file written under a name of its own and put in place only when
// every step of the placement has succeeded, so that a placement that stops
// leaves the area's earlier files as they were.
class PendingFile {
 public:
  // The temporary name keeps the extension, which chooses the format.
  explicit PendingFile(std::string fileName)
      : final_(std::move(fileName)),
        temp_(final_.substr(0, final_.size() - PxExtractFileExt(final_).size()) + ".new" +
              PxExtractFileExt(final_)) {}
  ~PendingFile() {
    if (!temp_.empty()) std::remove(temp_.c_str());
  }
  void Save(TImagingView& view) { SaveFrom(view, final_, temp_); }
  void CopyFrom(const std::string& source) {
    std::error_code ec;
    std::filesystem::copy_file(source, temp_, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) throw XaPlaceError("The working file \"" + final_ + "\" could not be written.");
  }
  void Commit() {
    if (std::rename(temp_.c_str(), final_.c_str()) != 0)
      throw XaPlaceError("The working file \"" + final_ + "\" could not be written.");
    temp_.clear();
  }

 private:
  std::string final_, temp_;
};

// A read PNG carries an alpha plane even when it is opaque. Where it is 255
// everywhere it changes none of the placement's colours (and the JPEG files
// keep no alpha), but every resampling would scale it along: it is dropped.
void DropOpaqueAlpha(TImagingView& view) {
  TPxBitmap* bmp = view.Bitmap();
  if (bmp && bmp->HasAlphaChannel() && PxAlphaAllOpaque(*bmp->AlphaChannel())) bmp->RemoveAlphaChannel();
}

// Formats that a PNG file holds and gives back unchanged.
bool PngKeepsFormat(TPxPixelFormat pf) {
  return pf == px1g || pf == px8p || pf == px8g || pf == px16g || pf == pxRGB24;
}

// Writes the turn file on a thread of its own while the placement goes on;
// the placement waits for it before it shows its result.
class TurnFileWriter {
 public:
  ~TurnFileWriter() {
    if (thread_.joinable()) thread_.join();
  }
  // picture must stay unchanged until Finish.
  void Start(TPxBitmap& picture, const TIOParamsVals& params, std::string fileName) {
    // The picture's own description (gray, palette, depth) decides the file's form.
    auto described = std::make_shared<TIOParamsVals>();
    described->CopyPictureDescription(params);
    const int32_t dpiX = params.DpiX, dpiY = params.DpiY;
    thread_ = std::thread([this, &picture, described, dpiX, dpiY, fileName = std::move(fileName)] {
      try {
        TImagingIO io;
        io.SetTargetBitmap(&picture);
        io.Params.CopyPictureDescription(*described);
        io.Params.SetDpi(dpiX, dpiY);
        // As the placement writes it itself (see there).
        io.Params.PngCompression = 1;
        io.Params.PngFilter = 1;
        io.SaveToFile(fileName);
        if (io.Aborting) error_ = "The working file \"" + fileName + "\" could not be written.";
      } catch (const std::exception& e) {
        error_ = e.what();
      }
    });
  }
  // Waits for the file; throws XaPlaceError when it could not be written.
  void Finish() {
    if (thread_.joinable()) thread_.join();
    if (!error_.empty()) throw XaPlaceError(error_);
  }

 private:
  std::thread thread_;
  std::string error_;
};

// Don't Crop's merge of the picture layer `top` onto layer 0, for a sheet of
// one colour: the same pixels as MergeLayers(0, top, true) gives, in one pass
// over the padded size. False, with both layers as they were (the picture
// perhaps in 24 bits, which the merge reads it as anyway), where the picture
// has transparent parts or one bit per pixel: the merge handles those.
bool PadOntoSheet(TImagingView& work, int32_t top, XaSize fit, int32_t x0, int32_t y0, int32_t padW,
                  int32_t padH, TBGR sheet) {
  DropOpaqueAlpha(work);
  TPxBitmap* picture = work.Bitmap();
  if (!picture || picture->HasAlphaChannel() || picture->PixelFormat() == px1g) return false;
  if (picture->PixelFormat() != pxRGB24 && !picture->ConvertTo(pxRGB24)) return false;
  if (!PxPadOpaque(*picture, fit.Width, fit.Height, x0, y0, padW, padH, sheet,
                   *work.Layer(0)->Bitmap))
    return false;
  work.RemoveLayer(top);  // layer 0, now the padded picture, becomes the current one
  work.ImageChanged();
  return true;
}

// Allocates bmp as a 24-bit width x height picture in memory (not in a
// temporary file, which rows cannot be copied into from several threads).
bool InMemory(TPxBitmap& bmp, int32_t width, int32_t height) {
  return bmp.Allocate(width, height, pxRGB24) && bmp.Location() == pxMemory;
}

// Width and height of a picture from its file, upright, without loading its pixels.
XaSize PictureSize(TImagingIO& io, const std::string& fileName) {
  io.Params.ReadUpright();
  io.ReadParamsFromFile(fileName);
  if (io.Params.FileType == 0 || io.Params.Width <= 0 || io.Params.Height <= 0)
    throw XaPlaceError("The picture \"" + fileName + "\" cannot be read.");
  return {io.Params.Width, io.Params.Height};
}

// Each working file says the size it stands for: the print file its area's
// inches (its pixels over the area's size, so that a copy handed to a photo
// lab prints at that size), the screen file its page pixels.
void SetPrintDpi(TIOParamsVals& params, XaSize pixels, const XaLayoutArea& area) {
  auto dpi = [](int32_t pixels, int32_t pagePixels) {
    return int32_t(std::clamp(std::lround(pixels * kPagePixelsPerInch / pagePixels), 1L, 65535L));
  };
  params.SetDpi(dpi(pixels.Width, area.Width), dpi(pixels.Height, area.Height));
}

}  // namespace

XaSize FitInside(int32_t sourceWidth, int32_t sourceHeight, int32_t boxWidth, int32_t boxHeight) {
  if (sourceWidth <= 0 || sourceHeight <= 0) return {0, 0};
  double sx = 1, sy = 1;
  if (boxWidth > 0) {
    sx = double(boxWidth) / sourceWidth;
    sy = double(boxHeight) / sourceHeight;
  }
  const double s = sx < sy ? sx : sy;
  return {RoundEven(s * sourceWidth), RoundEven(s * sourceHeight)};
}

XaLayerMgr::XaLayerMgr(TImagingView* view) : View(view) { View->SetLayersSync(false); }

void XaLayerMgr::Clear() {
  while (View->LayerCount() > 1) View->RemoveLayer(View->LayerCount() - 1);
}

int32_t XaLayerMgr::AddFileLayer(const std::string& fileName, int32_t left, int32_t top,
                                 int32_t width, int32_t height, const std::string& attributes) {
  if (!View->IsEmpty()) View->AddLayer();
  const int32_t index = View->CurrentLayer();
  View->GetIO().LoadFromFile(fileName);
  TPxLayer* layer = View->Layer(index);
  layer->Left = left;
  layer->Top = top;
  layer->Width = width;
  layer->Height = height;
  auto has = [&](char letter) {
    return std::any_of(attributes.begin(), attributes.end(), [&](char c) {
      return std::toupper(static_cast<unsigned char>(c)) == letter;
    });
  };
  layer->Locked = has('L');
  layer->ShowBox = has('B');
  layer->ClipToBackground = has('C');
  View->Update();
  return index;
}

XaLayout::XaLayout(TImagingView* view, std::string layoutFile, std::string dataFolder)
    : XaLayerMgr(view),
      LayoutFile(std::move(layoutFile)),
      DataFolder(FolderWithSlash(std::move(dataFolder))),
      WorkFolder(DataFolder == ProgramFolder() ? ::WorkFolder() : DataFolder) {}

void XaLayout::Clear() {
  XaLayerMgr::Clear();
  Areas.clear();
}

void XaLayout::SetUpPage() {
  View->SetCurrentLayer(0);
  View->GetIO().LoadFromFile(DataFolder + "bkpage.png");
  View->GetProc().Resample(kSheetWidth, kSheetHeight, rfNone);
  View->Layer(0)->Locked = true;
  View->Update();
}

void XaLayout::LoadLayout(const std::string& name) {
  Clear();
  LayoutName = name;
  ReadLayoutAreas(LayoutFile, name, [this](std::unique_ptr<XaLayoutArea> area) {
    const XaLayoutArea& a = *area;
    Areas.push_back(std::move(area));
    AddFileLayer(DataFolder + "blankpage.png", a.Left, a.Top, a.Width, a.Height, "BC");
  });
}

std::string XaLayout::PrintFile(int32_t areaIndex) const {
  return FolderWithSlash(WorkFolder) + "layer" + std::to_string(areaIndex) + ".jpg";
}

std::string XaLayout::ScreenFile(int32_t areaIndex) const {
  return FolderWithSlash(WorkFolder) + "layer" + std::to_string(areaIndex) + "s.jpg";
}

void XaLayout::PlacePicture(int32_t areaIndex) {
  if (areaIndex < 0 || areaIndex >= static_cast<int32_t>(Areas.size()) || !WorkView) return;
  XaLayoutArea& area = *Areas[areaIndex];
  if (area.Width <= 0 || area.Height <= 0)
    throw XaPlaceError("The area \"" + area.Name + "\" has no size and takes no picture.");
  TImagingView& work = *WorkView;
  work.ClearToBackground();
  work.SetLayersSync(false);
  // Read as the camera was held, so the placement decides on the shape the person sees.
  work.GetIO().Params.ReadUpright();
  // Nobody undoes the work view's steps: keeping an undo copy would copy the
  // full-size picture at every turn, crop and resample.
  struct UndoOff {
    TImagingProc& Proc;
    bool Was;
    ~UndoOff() { Proc.AutoUndo = Was; }
  } undoOff{work.GetProc(), work.GetProc().AutoUndo};
  undoOff.Proc.AutoUndo = false;
  // The picture's steps free and take blocks of about the same size (the
  // read picture, then the padded one): fresh ones would each be zeroed first.
  TPxBlockReuse reuse;
  const double A = double(area.Width) / area.Height;
  std::string source = area.FileName;
  bool rotated = false;
  TPxBitmap turned;  // the turned picture, as written to the turn file
  TIOParamsVals turnedParams;  // and its description, as a read of that file gives it
  TurnFileWriter turnFile;  // after `turned`: it is finished before the picture goes
  XaSize size = PictureSize(View->GetIO(), source);
  int32_t W = size.Width, H = size.Height;
  const double R = double(W) / H;

  if (std::fabs(R - A) < 0.02) {
    LoadInto(work, source);
    DropOpaqueAlpha(work);
  } else {
    if ((R > 1 && A < 1) || (R < 1 && A > 1)) {
      LoadInto(work, source);
      work.GetProc().Rotate(90, true, 0, -1);
      // Read back by the next step only: the lightest lossless compression.
      // The sub filter turns photo rows into small differences that the
      // fast compression packs well (unfiltered, level 1 barely shrinks a
      // photo and takes three times as long).
      work.GetIO().Params.PngCompression = 1;
      work.GetIO().Params.PngFilter = 1;
      source = FolderWithSlash(WorkFolder) + "t.png";
      if (PngKeepsFormat(work.Bitmap()->PixelFormat())) {
        // The file would give back exactly these pixels: the fit step takes
        // them from memory while the file is written beside it.
        turned.TakeOver(*work.Bitmap());
        turnedParams.CopyPictureDescription(work.GetIO().Params);
        W = turned.Width(), H = turned.Height();
        turnFile.Start(turned, work.GetIO().Params, source);
      } else {
        SaveFrom(work, source);
        size = PictureSize(View->GetIO(), source);
        W = size.Width, H = size.Height;
      }
      rotated = true;
    }
    // The source picture into the work view's current layer.
    auto loadSource = [&] {
      if (turned.IsEmpty()) return LoadInto(work, source);
      work.Bitmap()->Assign(turned);
      // As a fresh read of the file would: the picture's description, nothing else.
      work.GetIO().Params.ClearMetadata();
      work.GetIO().Params.CopyPictureDescription(turnedParams);
      work.ImageChanged();
    };
    // A turned photo (24-bit colour, no alpha plane) is read where it is,
    // beside the turn file's writer, which only reads it too: each fit makes
    // its result from it directly instead of from a copy in the work view.
    const bool direct = !turned.IsEmpty() && turned.PixelFormat() == pxRGB24 &&
                        !turned.HasAlphaChannel() && turned.Location() == pxMemory;
    // The fit's result becomes the work view's picture, described as loadSource describes it.
    auto takeResult = [&](TPxBitmap& result) {
      work.Bitmap()->TakeOver(result);
      work.GetIO().Params.ClearMetadata();
      work.GetIO().Params.CopyPictureDescription(turnedParams);
      work.ImageChanged();
    };
    if (Crop) {
      const int32_t cropW = A >= 1 ? W : RoundEven(H * A);
      const int32_t cropH = A >= 1 ? RoundEven(W / A) : H;
      const int32_t x0 = (W - cropW) / 2, y0 = (H - cropH) / 2;
      // The rectangle as the selection takes it: columns x1 .. x2 - 1 and
      // rows y1 .. y2 - 1, within the picture.
      const int32_t x1 = std::clamp(x0, 0, W - 1), x2 = std::clamp(x0 + cropW, 0, W);
      const int32_t y1 = std::clamp(y0, 0, H - 1), y2 = std::clamp(y0 + cropH, 0, H);
      TPxBitmap out;
      if (direct && x1 < x2 && y1 < y2 && InMemory(out, x2 - x1, y2 - y1)) {
        PxParallelFor(y2 - y1, 64, [&](int begin, int end) {
          for (int y = begin; y < end; ++y)
            std::memcpy(out.Scanline(y), turned.Scanline(y1 + y) + size_t(x1) * 3,
                        size_t(x2 - x1) * 3);
        });
        takeResult(out);
      } else {
        loadSource();
        DropOpaqueAlpha(work);
        TPxBitmap* bmp = work.Bitmap();
        work.Selection().Select(x0, y0, x0 + cropW, y0 + cropH, 0, bmp->Width(), bmp->Height());
        work.GetProc().CropSel();
      }
    } else if (Stretch) {
      const int32_t newW = A >= 1 ? RoundEven(H * A) : W;
      const int32_t newH = A >= 1 ? H : RoundEven(W / A);
      TPxBitmap out;
      if (direct && InMemory(out, newW, newH)) {
        ResampleBitmap(turned, out, rfLanczos3);  // only reads a picture without an alpha plane
        takeResult(out);
      } else {
        loadSource();
        DropOpaqueAlpha(work);
        work.GetProc().Resample(newW, newH, rfLanczos3);
      }
    } else {
      const int32_t padW = A >= 1 ? RoundEven(H * A) : W;
      const int32_t padH = A >= 1 ? H : RoundEven(W / A);
      const XaSize fit = FitInside(W, H, padW, padH);
      const int32_t x0 = (padW - fit.Width) / 2, y0 = (padH - fit.Height) / 2;
      LoadInto(work, DataFolder + "bkpage.png");
      // A sheet of one colour (as shipped) needs no canvas of its own: the
      // padding is that colour, written once around the picture.
      TBGR sheet{};
      const bool oneColour = PxUniformColour(*work.Bitmap(), sheet);
      if (!oneColour) work.GetProc().Resample(padW, padH, rfNone);
      TPxBitmap out;
      if (oneColour && direct &&
          PxPadOpaque(turned, fit.Width, fit.Height, x0, y0, padW, padH, sheet, out)) {
        takeResult(out);
      } else {
        const int32_t top = work.AddLayer();
        TPxLayer* layer = work.Layer(top);
        layer->ClipToBackground = true;
        layer->Width = fit.Width;
        layer->Height = fit.Height;
        layer->Left = x0;
        layer->Top = y0;
        loadSource();
        if (!oneColour || !PadOntoSheet(work, top, fit, x0, y0, padW, padH, sheet)) {
          if (oneColour) {
            work.SetCurrentLayer(0);
            work.GetProc().Resample(padW, padH, rfNone);
            work.SetCurrentLayer(top);
          }
          work.MergeLayers(0, top, true);
        }
      }
    }
  }

  TImagingIO& io = work.GetIO();
  PendingFile printFile(PrintFile(areaIndex)), screenFile(ScreenFile(areaIndex));
  const XaSize pixels{work.Bitmap()->Width(), work.Bitmap()->Height()};
  io.Params.JpegQuality = 96;
  io.Params.JpegSmoothing = 0;
  SetPrintDpi(io.Params, pixels, area);
  printFile.Save(work);
  work.GetProc().Resample(area.Width, area.Height, rfLanczos3);
  io.Params.JpegQuality = 93;
  io.Params.JpegSmoothing = 0;
  io.Params.SetDpi(int32_t(kPagePixelsPerInch), int32_t(kPagePixelsPerInch));
  screenFile.Save(work);
  work.ClearToBackground();
  turnFile.Finish();
  printFile.Commit();
  screenFile.Commit();
  View->SetCurrentLayer(areaIndex + 1);
  LoadInto(*View, ScreenFile(areaIndex));
  area.Rotated = rotated;
  area.Fit = CurrentFit();
  area.PixelWidth = pixels.Width;
  area.PixelHeight = pixels.Height;
}

void XaLayout::DropPicture(int32_t areaIndex, const std::string& fileName) {
  if (areaIndex < 0 || areaIndex >= static_cast<int32_t>(Areas.size())) return;
  XaLayoutArea& area = *Areas[areaIndex];
  const std::string previous = area.FileName;
  area.FileName = fileName;
  try {
    PlacePicture(areaIndex);
  } catch (...) {
    // Printing reads FileName: a refused picture must not stand in the area.
    area.FileName = previous;
    throw;
  }
}

void XaLayout::DropPicture(int32_t areaIndex, const std::string& fileName, XaFit fit) {
  struct FitBack {
    XaLayout& Layout;
    bool Crop, Stretch;
    ~FitBack() { Layout.Crop = Crop, Layout.Stretch = Stretch; }
  } fitBack{*this, Crop, Stretch};
  Crop = fit == xfCrop;
  Stretch = fit == xfStretch;
  DropPicture(areaIndex, fileName);
}

XaFillResult XaLayout::DropPictures(int32_t areaIndex, const std::vector<std::string>& fileNames) {
  XaFillResult result;
  const int32_t count = static_cast<int32_t>(Areas.size());
  if (areaIndex < 0 || areaIndex >= count) {
    result.Unplaced = static_cast<int32_t>(fileNames.size());
    return result;
  }
  std::vector<int32_t> targets{areaIndex};
  for (int32_t k = 1; k < count; ++k) {
    const XaLayoutArea& a = *Areas[(areaIndex + k) % count];
    // An area without size takes no picture: it would refuse every one in turn.
    if (a.FileName.empty() && a.Width > 0 && a.Height > 0) targets.push_back((areaIndex + k) % count);
  }
  size_t next = 0;
  for (const std::string& file : fileNames) {
    if (next == targets.size()) {
      ++result.Unplaced;
      continue;
    }
    try {
      DropPicture(targets[next], file);
      ++next;
      ++result.Placed;
    } catch (const std::exception& e) {
      result.Failures.push_back(e.what());
    }
  }
  return result;
}

XaFillResult XaLayout::FillAllAreas(const std::string& fileName) {
  XaFillResult result;
  std::vector<int32_t> placed;
  for (int32_t i = 0; i < static_cast<int32_t>(Areas.size()); ++i) {
    try {
      // Areas of one size get the same working files byte for byte: the
      // picture is prepared once per size (nine wallets, one placement).
      const auto same = std::find_if(placed.begin(), placed.end(), [&](int32_t p) {
        return Areas[p]->Width == Areas[i]->Width && Areas[p]->Height == Areas[i]->Height;
      });
      if (same != placed.end())
        CopyPlacement(*same, i);
      else
        DropPicture(i, fileName);
      placed.push_back(i);
      ++result.Placed;
    } catch (const std::exception& e) {
      // A picture that cannot be read fails alike in every area: said once.
      if (std::find(result.Failures.begin(), result.Failures.end(), e.what()) == result.Failures.end())
        result.Failures.push_back(e.what());
    }
  }
  return result;
}

void XaLayout::CopyPlacement(int32_t from, int32_t to) {
  PendingFile printFile(PrintFile(to)), screenFile(ScreenFile(to));
  printFile.CopyFrom(PrintFile(from));
  screenFile.CopyFrom(ScreenFile(from));
  printFile.Commit();
  screenFile.Commit();
  XaLayoutArea& source = *Areas[from];
  XaLayoutArea& area = *Areas[to];
  area.FileName = source.FileName;
  area.Rotated = source.Rotated;
  area.Fit = source.Fit;
  area.PixelWidth = source.PixelWidth;
  area.PixelHeight = source.PixelHeight;
  View->SetCurrentLayer(to + 1);
  LoadInto(*View, ScreenFile(to));
}

void XaLayout::RefitPicture(int32_t areaIndex, XaFit fit) {
  if (areaIndex < 0 || areaIndex >= static_cast<int32_t>(Areas.size())) return;
  // A copy: the placement writes the area's FileName.
  const std::string picture = Areas[areaIndex]->FileName;
  if (!picture.empty()) DropPicture(areaIndex, picture, fit);
}

void XaLayout::RemovePicture(int32_t areaIndex) {
  if (areaIndex < 0 || areaIndex >= static_cast<int32_t>(Areas.size())) return;
  XaLayoutArea& area = *Areas[areaIndex];
  // Printing and saving read FileName: once it is empty the area is empty,
  // whatever befalls the files below.
  area.FileName.clear();
  area.Rotated = false;
  area.Fit = xfDontCrop;
  // A file that cannot be deleted is never read again: the next placement
  // in this area writes it anew.
  std::error_code ec;
  std::filesystem::remove(PrintFile(areaIndex), ec);
  std::filesystem::remove(ScreenFile(areaIndex), ec);
  View->SetCurrentLayer(areaIndex + 1);
  LoadInto(*View, DataFolder + "blankpage.png");
  TPxLayer* layer = View->Layer(areaIndex + 1);
  layer->Left = area.Left;
  layer->Top = area.Top;
  layer->Width = area.Width;
  layer->Height = area.Height;
  View->Update();
}

bool XaLayout::HasPictures() const {
  return std::any_of(Areas.begin(), Areas.end(), [](const auto& a) { return !a->FileName.empty(); });
}

std::string XaFillResult::Message() const {
  std::string text;
  if (Failures.size() == 1) {
    text = Failures.front();
  } else if (!Failures.empty()) {
    text = "These pictures could not be placed:";
    for (const std::string& f : Failures) text += "\n" + f;
  }
  if (Unplaced > 0) {
    if (!text.empty()) text += "\n\n";
    text += std::to_string(Unplaced) + (Unplaced == 1 ? " picture does" : " pictures do") +
            " not fit: no empty area is left on the page.";
  }
  return text;
}

void XaLayout::PrintPage(TPxPrintJob& job) {
  job.BeginDoc();
  try {
    const TPxPaper paper = job.Paper();
    std::vector<TPxDeviceRect> printed;
    for (size_t n = 0; n < Areas.size(); ++n) {
      const XaPaperBox box = AreaOnPaper(static_cast<int32_t>(n), paper);
      if (Areas[n]->FileName.empty()) continue;
      WorkView->ClearToBackground();
      LoadInto(*WorkView, PrintFile(static_cast<int32_t>(n)));
      WorkView->GetIO().PrintImageAt(job.Canvas(), box.X, box.Y, box.Width, box.Height, 1.0);
      printed.push_back(PxDeviceRect(job.Canvas(), box.X, box.Y, box.Width, box.Height));
    }
    if (CutGuides) PrintCutGuides(job.Canvas(), printed);
  } catch (...) {
    // A failed page is abandoned whole: the printer gets no half page.
    job.Abort();
    throw;
  }
  job.EndDoc();
}

XaPaperBox XaLayout::AreaOnPaper(int32_t areaIndex, const TPxPaper& paper) const {
  const TPxLayer* layer = View->Layer(areaIndex + 1);
  // On letter paper the page is the sheet: the offsets are 0.
  const double left = (paper.Width - kSheetWidth / kPagePixelsPerInch) / 2;
  const double top = (paper.Height - kSheetHeight / kPagePixelsPerInch) / 2;
  return {left + layer->Left / kPagePixelsPerInch, top + layer->Top / kPagePixelsPerInch,
          layer->GetWidth() / kPagePixelsPerInch, layer->GetHeight() / kPagePixelsPerInch};
}

std::vector<XaCutArea> XaLayout::AreasCut(const TPxPaper& paper) const {
  // Page pixels are hundredths of an inch: a box that meets an edge exactly
  // must not count as past it through rounding.
  constexpr double kSlack = 1e-6;
  std::vector<XaCutArea> cut;
  for (size_t n = 0; n < Areas.size(); ++n) {
    if (Areas[n]->FileName.empty()) continue;
    const XaPaperBox b = AreaOnPaper(static_cast<int32_t>(n), paper);
    auto past = [&](double left, double top, double right, double bottom) {
      return b.X < left - kSlack || b.Y < top - kSlack || b.X + b.Width > right + kSlack ||
             b.Y + b.Height > bottom + kSlack;
    };
    if (past(0, 0, paper.Width, paper.Height))
      cut.push_back({Areas[n]->Name, true});
    else if (past(paper.MarginLeft, paper.MarginTop, paper.Width - paper.MarginRight,
                  paper.Height - paper.MarginBottom))
      cut.push_back({Areas[n]->Name, false});
  }
  return cut;
}

std::string CutAreasMessage(const std::vector<XaCutArea>& areas, const TPxPaper& paper) {
  std::string text = "These pictures would not print whole on the paper (" + PxPaperName(paper) + "):";
  for (size_t i = 0; i < areas.size(); ++i)
    text += std::string(i ? ";" : "") + " \"" + areas[i].Name + "\" " +
            (areas[i].OffPaper ? "reaches past the paper's edge"
                               : "reaches into the margin the printer cannot print on");
  return text + ".";
}
