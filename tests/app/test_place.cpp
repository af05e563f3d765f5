// The page model, the placing of pictures into areas and the printing loop;
// filling and emptying areas: one picture in every area, several dropped
// files spread over the empty areas, an area emptied, a picture fitted again.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/layout.h"
#include "app/savedpage.h"
#include "imaging/io/imagingio.h"
#include "imaging/core/pxprint.h"
#include "imaging/core/pxutils.h"
#include "imaging/view/imagingview.h"
#include "platform/pxprinter.h"
#include "util/testutil.h"

namespace {

namespace fs = std::filesystem;

// A picture of w x h: red, with a green 20 x 20 block at its top-left corner.
void WritePicture(const std::string& file, int w, int h, TBGR color = MakeBGR(220, 30, 30)) {
  TImagingIO io;
  TPxBitmap* bmp = io.Bitmap();
  ASSERT_TRUE(bmp->Allocate(w, h, pxRGB24));
  for (int y = 0; y < h; ++y) {
    TBGR* row = reinterpret_cast<TBGR*>(bmp->Scanline(y));
    for (int x = 0; x < w; ++x) row[x] = (x < 20 && y < 20) ? MakeBGR(20, 200, 40) : color;
  }
  io.Params.JpegQuality = 95;
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting) << file;
}

XaSize FileSize(const std::string& file) {
  TImagingIO io;
  io.ReadParamsFromFile(file);
  EXPECT_NE(io.Params.FileType, 0) << file;
  return {io.Params.Width, io.Params.Height};
}

TBGR PixelOf(const std::string& file, int x, int y) {
  TImagingIO io;
  io.LoadFromFile(file);
  EXPECT_FALSE(io.Aborting) << file;
  TPxBitmap* bmp = io.Bitmap();
  if (x < 0 || y < 0 || x >= bmp->Width() || y >= bmp->Height()) {
    ADD_FAILURE() << x << "," << y << " lies outside " << file;
    return TBGR{};
  }
  return reinterpret_cast<TBGR*>(bmp->Scanline(y))[x];
}

bool Near(TBGR a, TBGR b, int tolerance = 40) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
         std::abs(a.b - b.b) <= tolerance;
}

class PageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* f : {"bkpage.png", "blankpage.png"})
      fs::copy_file(testutil::SourceDir() + "/data/" + f, dir.File(f));
    testutil::WriteFileBytes(dir.File("layouts.txt"),
                             ":Portrait\r\nslot|0 0 59000 63700\r\n"      // 500 x 700
                             ":Two\r\nleft|2950 2275 61950 65975\r\n"     // 25,25 500 x 700
                             "right|64900 2275 100300 34125\r\n"          // 550,25 300 x 350
                             ":Wide\r\nwide|0 0 82600 45500\r\n"          // 700 x 500
                             ":Flat\r\nflat|0 0 59000 0\r\n:end\r\n");
    layout = std::make_unique<XaLayout>(&page, dir.File("layouts.txt"), dir.Path().string());
    layout->WorkView = &work;
    layout->SetUpPage();
  }

  std::string Place(const std::string& picture, int area = 0) {
    layout->Areas[area]->FileName = picture;
    layout->PlacePicture(area);
    return layout->PrintFile(area);
  }

  testutil::TempDir dir;
  TImagingVect page;
  TImagingView work;
  std::unique_ptr<XaLayout> layout;
};

TEST_F(PageTest, SheetIsLockedAndExactlyLetterSize) {
  EXPECT_EQ(page.LayerCount(), 1);
  EXPECT_EQ(page.Layer(0)->Bitmap->Width(), 850);
  EXPECT_EQ(page.Layer(0)->Bitmap->Height(), 1100);
  EXPECT_TRUE(page.Layer(0)->Locked);
}

TEST_F(PageTest, SheetOfAnySizeBecomesLetterSize) {
  WritePicture(dir.File("bkpage.png"), 100, 50);
  layout->SetUpPage();
  EXPECT_EQ(page.Layer(0)->Bitmap->Width(), 850);
  EXPECT_EQ(page.Layer(0)->Bitmap->Height(), 1100);
}

TEST_F(PageTest, LoadingLayoutsKeepsOneLayerPerArea) {
  layout->LoadLayout("two");
  layout->LoadLayout("Two");
  ASSERT_EQ(layout->Areas.size(), 2u);
  ASSERT_EQ(page.LayerCount(), 3);
  const TPxLayer* right = page.Layer(2);
  EXPECT_EQ((std::vector<int>{right->Left, right->Top, right->GetWidth(), right->GetHeight()}),
            (std::vector<int>{550, 25, 300, 350}));
  EXPECT_TRUE(right->ShowBox);
  EXPECT_TRUE(right->ClipToBackground);
  EXPECT_FALSE(right->Locked);
  layout->Clear();
  EXPECT_EQ(page.LayerCount(), 1);
  EXPECT_TRUE(layout->Areas.empty());
  EXPECT_TRUE(page.Layer(0)->Locked);
}

TEST_F(PageTest, AttributeLettersIgnoreCase) {
  for (const char* attributes : {"bc", "BC", "cB"}) {
    int i = layout->AddFileLayer(dir.File("blankpage.png"), 1, 2, 30, 40, attributes);
    EXPECT_TRUE(page.Layer(i)->ShowBox && page.Layer(i)->ClipToBackground) << attributes;
    EXPECT_FALSE(page.Layer(i)->Locked) << attributes;
  }
  int locked = layout->AddFileLayer(dir.File("blankpage.png"), 0, 0, 10, 10, "l");
  EXPECT_TRUE(page.Layer(locked)->Locked);
  EXPECT_FALSE(page.Layer(locked)->ShowBox);
}

TEST_F(PageTest, DontCropTurnsAndPadsTheSpecExample) {
  layout->LoadLayout("Portrait");
  WritePicture(dir.File("photo.jpg"), 4000, 3000);
  const std::string full = Place(dir.File("photo.jpg"));
  EXPECT_TRUE(layout->Areas[0]->Rotated);
  EXPECT_EQ(FileSize(dir.File("t.png")), (XaSize{3000, 4000}));
  EXPECT_EQ(FileSize(full), (XaSize{3000, 4200}));
  EXPECT_EQ(FileSize(layout->ScreenFile(0)), (XaSize{500, 700}));
  // Turned counter-clockwise: the top-left block is now at the bottom left,
  // and the picture sits 100 rows down the padding canvas of the sheet's colour.
  EXPECT_TRUE(Near(PixelOf(full, 10, 100 + 3990), MakeBGR(20, 200, 40)));
  EXPECT_TRUE(Near(PixelOf(full, 1500, 50), MakeBGR(255, 255, 255)));
  EXPECT_TRUE(Near(PixelOf(full, 1500, 2000), MakeBGR(220, 30, 30)));
  // The area's layer shows the reduced copy at its place.
  EXPECT_EQ(page.CurrentLayer(), 1);
  EXPECT_EQ(page.Layer(1)->Bitmap->Width(), 500);
}

// The padding is the sheet as the merge of the layers shows it: one colour
// throughout, or the sheet's own parts where it has several.
TEST_F(PageTest, DontCropPadsWithTheSheet) {
  layout->LoadLayout("Portrait");
  WritePicture(dir.File("photo.png"), 400, 300);  // turned to 300 x 400, padded to 300 x 420
  const TBGR blue = MakeBGR(40, 90, 200), green = MakeBGR(30, 160, 60);
  for (bool twoColours : {false, true}) {
    {
      TImagingIO io;
      TPxBitmap* bmp = io.Bitmap();
      ASSERT_TRUE(bmp->Allocate(850, 1100, pxRGB24));
      for (int y = 0; y < 1100; ++y) {
        TBGR* row = reinterpret_cast<TBGR*>(bmp->Scanline(y));
        for (int x = 0; x < 850; ++x) row[x] = twoColours && y >= 550 ? green : blue;
      }
      io.SaveToFile(dir.File("bkpage.png"));
      ASSERT_FALSE(io.Aborting);
    }
    const std::string full = Place(dir.File("photo.png"));
    ASSERT_EQ(FileSize(full), (XaSize{300, 420}));
    EXPECT_TRUE(Near(PixelOf(full, 150, 4), blue, 8)) << twoColours;
    EXPECT_TRUE(Near(PixelOf(full, 150, 200), MakeBGR(220, 30, 30), 8)) << twoColours;
    EXPECT_TRUE(Near(PixelOf(full, 150, 416), twoColours ? green : blue, 8)) << twoColours;
  }
}

struct FitCase {
  const char* name;
  bool crop, stretch;
  int w, h;
  const char* layout;
  XaSize full;
  bool rotated;
};

class FitModeTest : public PageTest, public ::testing::WithParamInterface<FitCase> {};

TEST_P(FitModeTest, SizesOfTheWorkingFiles) {
  const FitCase& c = GetParam();
  layout->LoadLayout(c.layout);
  layout->Crop = c.crop;
  layout->Stretch = c.stretch;
  WritePicture(dir.File("in.png"), c.w, c.h);
  const std::string full = Place(dir.File("in.png"));
  EXPECT_EQ(FileSize(full), c.full);
  EXPECT_EQ(layout->Areas[0]->Rotated, c.rotated);
  const XaLayoutArea& a = *layout->Areas[0];
  EXPECT_EQ(FileSize(layout->ScreenFile(0)), (XaSize{a.Width, a.Height}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FitModeTest,
    ::testing::Values(
        // 400 x 300 onto 500 x 700: turned to 300 x 400 first.
        FitCase{"DontCrop", false, false, 400, 300, "Portrait", {300, 420}, true},
        FitCase{"Stretch", false, true, 400, 300, "Portrait", {300, 420}, true},
        FitCase{"Crop", true, false, 400, 300, "Portrait", {286, 400}, true},
        // Within 0.02 of the area's proportions: neither turned nor fitted.
        FitCase{"CloseEnough", false, false, 700, 1000, "Portrait", {700, 1000}, false},
        FitCase{"JustTooFar", false, false, 690, 1000, "Portrait", {690, 966}, false},
        // Square pictures are never turned.
        FitCase{"Square", false, false, 500, 500, "Portrait", {500, 700}, false},
        FitCase{"SquareWide", true, false, 500, 500, "Wide", {500, 357}, false},
        // The crop rectangle is larger than the picture: nothing is cut away.
        FitCase{"CropBeyond", true, false, 1000, 400, "Wide", {1000, 400}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PageTest, TwoTurnedPicturesShareTheTurnFile) {
  layout->LoadLayout("Two");
  WritePicture(dir.File("a.png"), 400, 300, MakeBGR(220, 30, 30));
  WritePicture(dir.File("b.png"), 600, 200, MakeBGR(30, 30, 220));
  Place(dir.File("a.png"), 0);
  Place(dir.File("b.png"), 1);
  EXPECT_EQ(FileSize(dir.File("t.png")), (XaSize{200, 600}));
  EXPECT_TRUE(Near(PixelOf(layout->PrintFile(0), 150, 200), MakeBGR(220, 30, 30)));
  // 600 x 200 turned onto 300 x 350: padded to 200 x 233 around a 78 x 233 picture.
  EXPECT_EQ(FileSize(layout->PrintFile(1)), (XaSize{200, 233}));
  EXPECT_TRUE(Near(PixelOf(layout->PrintFile(1), 100, 116), MakeBGR(30, 30, 220)));
  EXPECT_TRUE(Near(PixelOf(layout->PrintFile(1), 10, 116), MakeBGR(255, 255, 255)));
  EXPECT_EQ(FileSize(layout->ScreenFile(1)), (XaSize{300, 350}));
}

TEST_F(PageTest, UnreadablePictureStopsAndAreaKeepsItsPicture) {
  layout->LoadLayout("Portrait");
  WritePicture(dir.File("good.png"), 500, 700);
  Place(dir.File("good.png"));
  testutil::WriteFileBytes(dir.File("broken.jpg"), "not a picture at all");
  for (const std::string& bad : {dir.File("broken.jpg"), dir.File("missing.png")}) {
    layout->Areas[0]->FileName = bad;
    try {
      layout->PlacePicture(0);
      ADD_FAILURE() << "no error for " << bad;
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
    }
    EXPECT_EQ(page.Layer(1)->Bitmap->Width(), 500) << bad;
  }
}

TEST_F(PageTest, TurnFileThatCannotBeWrittenStopsThePlacement) {
  layout->LoadLayout("Portrait");
  fs::create_directory(dir.File("t.png"));  // in the way of the turn file
  WritePicture(dir.File("wide.png"), 400, 300);
  layout->Areas[0]->FileName = dir.File("wide.png");
  try {
    layout->PlacePicture(0);
    ADD_FAILURE() << "no error";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("t.png"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(layout->Areas[0]->Rotated);
  EXPECT_NE(page.Layer(1)->Bitmap->Width(), 500);  // still the blank picture
}

TEST_F(PageTest, FailedTurnFileLeavesTheAreasWorkingFilesUntouched) {
  layout->LoadLayout("Portrait");
  WritePicture(dir.File("tall.png"), 500, 700);
  Place(dir.File("tall.png"));
  const std::string printBefore = testutil::ReadFileBytes(layout->PrintFile(0));
  const std::string screenBefore = testutil::ReadFileBytes(layout->ScreenFile(0));
  fs::create_directory(dir.File("t.png"));  // in the way of the turn file
  WritePicture(dir.File("wide.png"), 400, 300, MakeBGR(30, 30, 220));
  EXPECT_THROW(layout->DropPicture(0, dir.File("wide.png")), XaPlaceError);
  EXPECT_EQ(testutil::ReadFileBytes(layout->PrintFile(0)), printBefore);
  EXPECT_EQ(testutil::ReadFileBytes(layout->ScreenFile(0)), screenBefore);
  EXPECT_EQ(layout->Areas[0]->FileName, dir.File("tall.png"));
  for (const auto& entry : fs::directory_iterator(dir.Path()))  // no half-made files left
    EXPECT_EQ(entry.path().string().find(".new."), std::string::npos) << entry.path();
}

TEST_F(PageTest, RefusedDropKeepsTheAreasPictureOnThePrint) {
  layout->LoadLayout("Two");
  WritePicture(dir.File("good.png"), 500, 700, MakeBGR(230, 20, 20));
  layout->DropPicture(0, dir.File("good.png"));
  testutil::WriteFileBytes(dir.File("broken.jpg"), "not a picture at all");
  EXPECT_THROW(layout->DropPicture(0, dir.File("broken.jpg")), XaPlaceError);
  EXPECT_THROW(layout->DropPicture(1, dir.File("missing.png")), XaPlaceError);
  EXPECT_EQ(layout->Areas[0]->FileName, dir.File("good.png"));
  EXPECT_EQ(layout->Areas[1]->FileName, "");

  // The page prints: the earlier picture in the left area, the right one empty.
  std::shared_ptr<void> platform = PxStartHeadlessPrinting();
  {
    std::unique_ptr<TPxPrintJob> job = PxNewPdfPrintJob(dir.File("page.pdf"));
    layout->PrintPage(*job);
  }
  auto r = testutil::RunCommand("pdftoppm -r 100 -png -singlefile '" + dir.File("page.pdf") + "' '" +
                                dir.File("page") + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  const TBGR left = PixelOf(dir.File("page.png"), 275, 375);   // inside 25,25 500 x 700
  const TBGR right = PixelOf(dir.File("page.png"), 700, 200);  // inside 550,25 300 x 350
  EXPECT_TRUE(Near(left, MakeBGR(230, 20, 20))) << int(left.r) << "," << int(left.g) << "," << int(left.b);
  EXPECT_TRUE(Near(right, MakeBGR(255, 255, 255))) << int(right.r) << "," << int(right.g);
}

TEST_F(PageTest, TransparentPartsLandOnWhiteInEveryFitMode) {
  layout->LoadLayout("Portrait");
  {
    TImagingIO io;
    TPxBitmap* bmp = io.Bitmap();
    ASSERT_TRUE(bmp->Allocate(500, 700, pxRGB24));
    bmp->Fill(0);
    for (int y = 0; y < 700; ++y)
      for (int x = 0; x < 250; ++x) bmp->Alpha(x, y, 0);  // the left half is transparent
    io.SaveToFile(dir.File("half.png"));
    ASSERT_FALSE(io.Aborting);
  }
  for (int mode = 0; mode < 3; ++mode) {
    layout->Crop = mode == 1;
    layout->Stretch = mode == 2;
    const std::string file = Place(dir.File("half.png"));
    EXPECT_TRUE(Near(PixelOf(file, 100, 350), MakeBGR(255, 255, 255), 8)) << "mode " << mode;
    EXPECT_TRUE(Near(PixelOf(file, 400, 350), MakeBGR(0, 0, 0), 8)) << "mode " << mode;
    EXPECT_TRUE(Near(PixelOf(layout->ScreenFile(0), 100, 350), MakeBGR(255, 255, 255), 8));
  }
}

TEST_F(PageTest, AreaWithoutHeightRefusesPictures) {
  layout->LoadLayout("Flat");
  WritePicture(dir.File("p.png"), 50, 50);
  layout->Areas[0]->FileName = dir.File("p.png");
  EXPECT_THROW(layout->PlacePicture(0), XaPlaceError);
  EXPECT_FALSE(fs::exists(layout->PrintFile(0)));
  layout->PlacePicture(-1);  // no area: nothing happens
}

// Records the page that would reach the printer.
class RecordingJob : public TPxPrintJob, public TPxPrinterCanvas {
 public:
  void BeginDoc() override { log.push_back("begin"); }
  TPxPrinterCanvas& Canvas() override { return *this; }
  void EndDoc() override { log.push_back("end"); }
  void Abort() override { log.push_back("abort"); }
  int32_t DpiX() const override { return 300; }
  int32_t DpiY() const override { return 300; }
  TPxPaper Paper() const override { return paper; }
  void StretchDib(const TPxPackedDib&, int32_t dx, int32_t dy, int32_t dw, int32_t dh, int32_t,
                  int32_t, int32_t, int32_t) override {
    log.push_back("draw " + std::to_string(dx) + "," + std::to_string(dy) + " " +
                  std::to_string(dw) + "x" + std::to_string(dh));
  }
  std::vector<std::string> log;
  TPxPaper paper;
};

TEST_F(PageTest, PrintsEachPlacedPictureAtItsLayersPlaceInInches) {
  layout->LoadLayout("Two");
  {
    RecordingJob empty;
    layout->PrintPage(empty);
    EXPECT_EQ(empty.log, (std::vector<std::string>{"begin", "end"}));
  }
  WritePicture(dir.File("p.png"), 2000, 2800);
  Place(dir.File("p.png"), 0);
  page.Layer(1)->Left += 50;  // moved half an inch to the right
  RecordingJob moved;
  layout->PrintPage(moved);
  // 2000 px onto 5 inches at 300 dpi is a reduction, sent in bands from x = 0.75 in.
  ASSERT_GE(moved.log.size(), 3u);
  EXPECT_EQ(moved.log.front(), "begin");
  EXPECT_EQ(moved.log.back(), "end");
  EXPECT_EQ(moved.log[1].rfind("draw 225,75 1500x", 0), 0u) << moved.log[1];

  page.Layer(1)->Width = 400;
  page.Layer(1)->Height = 300;
  RecordingJob resized;
  layout->PrintPage(resized);
  EXPECT_EQ(resized.log[1].rfind("draw 225,75 1200x", 0), 0u) << resized.log[1];
}

TEST_F(PageTest, OnOtherPaperTheLetterPageIsCentredAndCutPicturesNamed) {
  layout->LoadLayout("Two");  // "left" at 25,25 500 x 700; "right" at 550,25 300 x 350, to the sheet's edge
  WritePicture(dir.File("p.png"), 500, 700);
  Place(dir.File("p.png"), 0);
  WritePicture(dir.File("q.png"), 300, 350);
  Place(dir.File("q.png"), 1);
  const TPxPaper a4 = *PxPaperFromName("a4");
  RecordingJob onA4;
  onA4.paper = a4;
  layout->PrintPage(onA4);
  // Centred: (8.2677 - 8.5) / 2 = -0.1161 and (11.6929 - 11) / 2 = 0.3465
  // inches; each picture keeps its size (5 x 7 and 3 x 3.5 inches).
  ASSERT_EQ(onA4.log.size(), 4u);
  EXPECT_EQ(onA4.log[1], "draw 40,179 1500x2100");
  EXPECT_EQ(onA4.log[2], "draw 1615,179 900x1050");
  const XaPaperBox right = layout->AreaOnPaper(1, a4);
  EXPECT_NEAR(right.X, 5.5 - 0.11614, 1e-4);
  EXPECT_NEAR(right.Y, 0.25 + 0.34646, 1e-4);
  EXPECT_DOUBLE_EQ(right.Width, 3);
  EXPECT_DOUBLE_EQ(right.Height, 3.5);

  struct Case {
    const char* what;
    TPxPaper paper;
    std::vector<std::string> cut;  // names, "!" after one that leaves the paper
  };
  TPxPaper margins;  // letter with a quarter inch the printer cannot reach
  margins.MarginLeft = margins.MarginTop = margins.MarginRight = margins.MarginBottom = 0.25;
  TPxPaper wideMargin = margins;
  wideMargin.MarginLeft = 0.26;
  const Case cases[] = {
      {"letter to the edges", TPxPaper{}, {}},
      {"A4: the right picture reaches past the edge", a4, {"right!"}},
      {"letter, quarter-inch margins: only the right one reaches into them", margins, {"right"}},
      {"a wider left margin takes the left one too", wideMargin, {"left", "right"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> names;
    for (const XaCutArea& a : layout->AreasCut(c.paper)) names.push_back(a.Name + (a.OffPaper ? "!" : ""));
    EXPECT_EQ(names, c.cut);
  }
  const std::string message = CutAreasMessage(layout->AreasCut(a4), a4);
  EXPECT_NE(message.find("\"right\" reaches past the paper's edge"), std::string::npos) << message;
  EXPECT_NE(message.find("(a4)"), std::string::npos) << message;
  EXPECT_EQ(message.find("left"), std::string::npos) << message;
  // An empty area prints nothing, so nothing of it is cut.
  layout->Areas[1]->FileName.clear();
  EXPECT_TRUE(layout->AreasCut(a4).empty());
}

TEST_F(PageTest, CutGuidesPrintAfterThePicturesWhenAsked) {
  layout->LoadLayout("Two");
  WritePicture(dir.File("p.png"), 500, 700);
  Place(dir.File("p.png"), 0);
  RecordingJob plain;
  layout->PrintPage(plain);
  ASSERT_EQ(plain.log.size(), 3u);
  layout->CutGuides = true;
  RecordingJob guided;
  layout->PrintPage(guided);
  // The picture, then its eight strokes (3 pixels thick at 300 dpi), then the end.
  ASSERT_EQ(guided.log.size(), 3u + 8u);
  EXPECT_EQ(guided.log[1], plain.log[1]);
  EXPECT_EQ(guided.log[2], "draw 0,75 75x3");  // the top edge's stroke to the left, a quarter inch
  for (size_t i = 2; i + 1 < guided.log.size(); ++i)
    EXPECT_TRUE(guided.log[i].find("x3") != std::string::npos || guided.log[i].find(" 3x") != std::string::npos)
        << guided.log[i];
}

TEST_F(PageTest, FailedPrintAbandonsTheJob) {
  layout->LoadLayout("Two");
  WritePicture(dir.File("p.png"), 500, 700);
  Place(dir.File("p.png"), 0);
  fs::remove(layout->PrintFile(0));
  RecordingJob job;
  EXPECT_ANY_THROW(layout->PrintPage(job));
  EXPECT_EQ(job.log, (std::vector<std::string>{"begin", "abort"}));
}

TEST(FitInside, LargestSizeWithTheSourcesProportions) {
  EXPECT_EQ(FitInside(3000, 4000, 3000, 4200), (XaSize{3000, 4000}));
  EXPECT_EQ(FitInside(690, 1000, 690, 966), (XaSize{667, 966}));
  EXPECT_EQ(FitInside(100, 50, 0, 10), (XaSize{100, 50}));  // no box: the source's own size
  EXPECT_EQ(FitInside(1, 1, 5, 3), (XaSize{3, 3}));
  EXPECT_EQ(FitInside(0, 0, 5, 3), (XaSize{0, 0}));
}

const TBGR kRed = MakeBGR(220, 30, 30);  // WritePicture's colour and corner block
const TBGR kGreen = MakeBGR(20, 200, 40);
const TBGR kBlue = MakeBGR(30, 40, 220);
const TBGR kWhite = MakeBGR(255, 255, 255);

// A page raster, read once.
class Raster {
 public:
  explicit Raster(const std::string& png) {
    io_.LoadFromFile(png);
    EXPECT_FALSE(io_.Aborting) << png;
  }
  TBGR At(int x, int y) {
    TPxBitmap* bmp = io_.Bitmap();
    if (x < 0 || y < 0 || x >= bmp->Width() || y >= bmp->Height()) {
      ADD_FAILURE() << x << "," << y << " lies outside the page";
      return TBGR{};
    }
    return reinterpret_cast<TBGR*>(bmp->Scanline(y))[x];
  }

 private:
  TImagingIO io_;
};

std::string Show(TBGR c) {
  return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b);
}

// Filling and emptying areas, on the program's own layouts besides the tests'.
class AreasTest : public PageTest {
 protected:
  void SetUp() override {
    PageTest::SetUp();
    testutil::WriteFileBytes(
        dir.File("layouts.txt"),
        testutil::ReadFileBytes(dir.File("layouts.txt")) +
            ":Flat among two\r\na|0 0 23600 27300\r\nflat|29500 0 59000 0\r\n"  // 200 x 300, 250 x 0
            "c|59000 0 82600 27300\r\n" +                                         // 200 x 300
            testutil::ReadFileBytes(testutil::SourceDir() + "/data/printouts.txt"));
  }

  // Prints the page to a PDF and rasterises it at 100 dpi: a page pixel is a raster pixel.
  std::unique_ptr<Raster> Print(const std::string& name) {
    std::shared_ptr<void> platform = PxStartHeadlessPrinting();
    {
      std::unique_ptr<TPxPrintJob> job = PxNewPdfPrintJob(dir.File(name + ".pdf"));
      layout->PrintPage(*job);
    }
    auto r = testutil::RunCommand("pdftoppm -r 100 -png -singlefile '" + dir.File(name + ".pdf") +
                                  "' '" + dir.File(name) + "'");
    EXPECT_EQ(r.status, 0) << r.output;
    return std::make_unique<Raster>(dir.File(name + ".png"));
  }

  std::vector<std::string> FileNames() const {
    std::vector<std::string> names;
    for (const auto& a : layout->Areas) names.push_back(a->FileName);
    return names;
  }

};

TEST_F(AreasTest, NineWalletsFilledFromOnePicturePrintNineCopies) {
  layout->LoadLayout("9 wallets");
  ASSERT_EQ(layout->Areas.size(), 9u);
  WritePicture(dir.File("face.jpg"), 700, 980);  // a wallet's proportions, 250 x 350
  const XaFillResult result = layout->FillAllAreas(dir.File("face.jpg"));
  EXPECT_EQ(result.Placed, 9);
  EXPECT_TRUE(result.Failures.empty());
  EXPECT_EQ(result.Message(), "");
  std::unique_ptr<Raster> printed = Print("wallets");
  for (size_t i = 0; i < 9; ++i) {
    const XaLayoutArea& a = *layout->Areas[i];
    EXPECT_EQ(a.FileName, dir.File("face.jpg")) << i;
    EXPECT_EQ(FileSize(layout->ScreenFile(int32_t(i))), (XaSize{250, 350})) << i;
    // Each copy whole at its area: the picture's colour in the middle, its
    // corner block (7 page pixels at this size) at the area's top-left corner,
    // and white paper just outside it.
    const TBGR middle = printed->At(a.Left + a.Width / 2, a.Top + a.Height / 2);
    const TBGR corner = printed->At(a.Left + 3, a.Top + 3);
    const TBGR beside = printed->At(a.Left - 5, a.Top + a.Height / 2);
    EXPECT_TRUE(Near(middle, kRed)) << i << ": " << Show(middle);
    EXPECT_TRUE(Near(corner, kGreen)) << i << ": " << Show(corner);
    EXPECT_TRUE(Near(beside, kWhite)) << i << ": " << Show(beside);
  }
}

// Areas of different sizes each get the picture as a placement of their own
// would prepare it; areas of one size share the preparation.
TEST_F(AreasTest, FillAllMatchesOnePlacementPerArea) {
  layout->LoadLayout("5x7,3.5x5,2 wallets");
  WritePicture(dir.File("wide.png"), 900, 600);
  layout->Crop = true;
  ASSERT_TRUE(layout->FillAllAreas(dir.File("wide.png")).Failures.empty());
  TImagingVect page2;
  TImagingView work2;
  testutil::TempDir other;
  XaLayout single(&page2, dir.File("layouts.txt"), dir.Path().string());
  single.WorkView = &work2;
  single.WorkFolder = other.Path().string();
  single.SetUpPage();
  single.LoadLayout("5x7,3.5x5,2 wallets");
  single.Crop = true;
  for (int32_t i = 0; i < int32_t(layout->Areas.size()); ++i) {
    single.DropPicture(i, dir.File("wide.png"));
    EXPECT_EQ(FileSize(layout->PrintFile(i)), FileSize(single.PrintFile(i))) << i;
    EXPECT_EQ(FileSize(layout->ScreenFile(i)), FileSize(single.ScreenFile(i))) << i;
    EXPECT_EQ(layout->Areas[i]->Rotated, single.Areas[i]->Rotated) << i;
    EXPECT_EQ(layout->Areas[i]->Fit, xfCrop) << i;
    // The print file's size, which the area's resolution is reckoned from.
    EXPECT_EQ(layout->Areas[i]->PixelWidth, single.Areas[i]->PixelWidth) << i;
    EXPECT_EQ(layout->Areas[i]->PixelHeight, single.Areas[i]->PixelHeight) << i;
    EXPECT_EQ(page.Layer(i + 1)->Bitmap->Width(), layout->Areas[i]->Width) << i;
  }
  // Only the portrait 3.5x5 turns the picture; the two wallets share one preparation.
  EXPECT_EQ((std::vector<bool>{layout->Areas[0]->Rotated, layout->Areas[1]->Rotated,
                               layout->Areas[2]->Rotated, layout->Areas[3]->Rotated}),
            (std::vector<bool>{false, true, false, false}));
  EXPECT_EQ(testutil::ReadFileBytes(layout->PrintFile(3)), testutil::ReadFileBytes(layout->PrintFile(2)));
}

TEST_F(AreasTest, FillAllKeepsWhatCannotTakeThePicture) {
  layout->LoadLayout("4 3.5x5");
  WritePicture(dir.File("before.png"), 500, 350, kBlue);
  layout->DropPicture(0, dir.File("before.png"));
  // An unreadable picture: said once, every area as it was.
  testutil::WriteFileBytes(dir.File("broken.jpg"), "not a picture at all");
  const XaFillResult broken = layout->FillAllAreas(dir.File("broken.jpg"));
  EXPECT_EQ(broken.Placed, 0);
  ASSERT_EQ(broken.Failures.size(), 1u);
  EXPECT_EQ(broken.Message(), broken.Failures[0]);
  EXPECT_NE(broken.Message().find(dir.File("broken.jpg")), std::string::npos) << broken.Message();
  EXPECT_EQ(FileNames(), (std::vector<std::string>{dir.File("before.png"), "", "", ""}));
  EXPECT_EQ(page.Layer(1)->Bitmap->Width(), layout->Areas[0]->Width);
  // An area without size refuses it; the others take it.
  layout->LoadLayout("Flat among two");
  WritePicture(dir.File("good.png"), 200, 300);
  const XaFillResult partly = layout->FillAllAreas(dir.File("good.png"));
  EXPECT_EQ(partly.Placed, 2);
  ASSERT_EQ(partly.Failures.size(), 1u);
  EXPECT_NE(partly.Message().find("\"flat\""), std::string::npos) << partly.Message();
  EXPECT_EQ(FileNames(), (std::vector<std::string>{dir.File("good.png"), "", dir.File("good.png")}));
}

TEST_F(AreasTest, RemovedAreaPrintsEmpty) {
  layout->LoadLayout("2 4x6");
  WritePicture(dir.File("top.png"), 600, 400, kRed);
  WritePicture(dir.File("bottom.png"), 600, 400, kBlue);
  layout->DropPicture(0, dir.File("top.png"));
  layout->DropPicture(1, dir.File("bottom.png"));
  TPxLayer& bottom = *page.Layer(2);
  bottom.Left += 30;  // moved and resized by the user
  bottom.Width = 300;
  const std::string print1 = layout->PrintFile(1), screen1 = layout->ScreenFile(1);
  ASSERT_TRUE(fs::exists(print1));

  layout->RemovePicture(1);
  const XaLayoutArea& area = *layout->Areas[1];
  EXPECT_EQ(area.FileName, "");
  EXPECT_FALSE(area.Rotated);
  EXPECT_FALSE(fs::exists(print1));
  EXPECT_FALSE(fs::exists(screen1));
  EXPECT_TRUE(fs::exists(layout->PrintFile(0)));  // the other area's files stay
  // The blank picture again, where the area is.
  EXPECT_EQ((XaSize{bottom.Bitmap->Width(), bottom.Bitmap->Height()}), FileSize(dir.File("blankpage.png")));
  EXPECT_EQ((std::vector<int>{bottom.Left, bottom.Top, bottom.GetWidth(), bottom.GetHeight()}),
            (std::vector<int>{area.Left, area.Top, area.Width, area.Height}));
  const XaSavedPage saved = SavePage(*layout);
  ASSERT_EQ(saved.Areas.size(), 1u);
  EXPECT_EQ(saved.Areas[0].Source, dir.File("top.png"));

  std::unique_ptr<Raster> printed = Print("emptied");
  const XaLayoutArea& top = *layout->Areas[0];
  const TBGR topMiddle = printed->At(top.Left + top.Width / 2, top.Top + top.Height / 2);
  EXPECT_TRUE(Near(topMiddle, kRed)) << Show(topMiddle);
  for (const int x : {area.Left + 10, area.Left + area.Width / 2, area.Left + area.Width - 10}) {
    const TBGR c = printed->At(x, area.Top + area.Height / 2);
    EXPECT_TRUE(Near(c, kWhite, 4)) << x << ": " << Show(c);
  }

  // Emptied, the area takes a picture again; nothing else is touched by
  // removing what is not there.
  layout->RemovePicture(1);
  layout->RemovePicture(7);
  layout->RemovePicture(-1);
  layout->DropPicture(1, dir.File("bottom.png"));
  EXPECT_TRUE(fs::exists(print1));
  EXPECT_EQ(FileNames(), (std::vector<std::string>{dir.File("top.png"), dir.File("bottom.png")}));
  EXPECT_TRUE(layout->HasPictures());
  layout->RemovePicture(0);
  layout->RemovePicture(1);
  EXPECT_FALSE(layout->HasPictures());
}

TEST_F(AreasTest, ThreeFilesDroppedOnTheFirstAreaFillThreeAreas) {
  layout->LoadLayout("4 3.5x5");
  const std::vector<std::string> files = {dir.File("a.jpg"), dir.File("b.png"), dir.File("c.jpg")};
  WritePicture(files[0], 500, 350, kRed);
  WritePicture(files[1], 500, 350, kBlue);
  WritePicture(files[2], 500, 350, kGreen);
  const XaFillResult result = layout->DropPictures(0, files);
  EXPECT_EQ(result.Placed, 3);
  EXPECT_EQ(result.Unplaced, 0);
  EXPECT_EQ(result.Message(), "");
  EXPECT_EQ(FileNames(), (std::vector<std::string>{files[0], files[1], files[2], ""}));
  std::unique_ptr<Raster> printed = Print("three");
  const TBGR expected[] = {kRed, kBlue, kGreen, kWhite};
  for (size_t i = 0; i < 4; ++i) {
    const XaLayoutArea& a = *layout->Areas[i];
    const TBGR c = printed->At(a.Left + a.Width / 2, a.Top + a.Height / 2);
    EXPECT_TRUE(Near(c, expected[i])) << i << ": " << Show(c);
  }
}

TEST_F(AreasTest, DroppedFilesGoToTheNextEmptyAreas) {
  for (const char* f : {"a.png", "b.png", "c.png", "d.png", "e.png", "x.png"})
    WritePicture(dir.File(f), 500, 350);
  testutil::WriteFileBytes(dir.File("broken.png"), "not a picture at all");
  struct Case {
    const char* name;
    int32_t dropOn;
    std::vector<std::string> filledBefore;  // area by area, "" for empty
    std::vector<std::string> dropped;
    std::vector<std::string> after;
    int32_t placed, failures, unplaced;
  };
  const Case cases[] = {
      {"from the last area round to the first", 3, {"", "", "", ""}, {"a", "b", "c"}, {"b", "c", "", "a"}, 3, 0, 0},
      {"filled areas are passed over, the dropped-on one replaced", 1, {"", "x", "x", ""},
       {"a", "b", "c"}, {"c", "a", "x", "b"}, 3, 0, 0},
      {"a broken picture leaves its area to the next", 0, {"", "", "", ""},
       {"broken", "a", "b", "broken", "c", "d", "e"}, {"a", "b", "c", "d"}, 4, 2, 1},
      {"a full page takes only the dropped-on area", 2, {"x", "x", "x", "x"}, {"a", "b"}, {"x", "x", "a", "x"}, 1, 0, 1},
  };
  auto path = [&](const std::string& n) {
    return n.empty() ? n : dir.File(n == "broken" ? "broken.png" : n + ".png");
  };
  for (const Case& c : cases) {
    layout->LoadLayout("4 3.5x5");
    for (size_t i = 0; i < c.filledBefore.size(); ++i)
      if (!c.filledBefore[i].empty()) layout->DropPicture(int32_t(i), path(c.filledBefore[i]));
    std::vector<std::string> dropped, after;
    for (const std::string& n : c.dropped) dropped.push_back(path(n));
    for (const std::string& n : c.after) after.push_back(path(n));
    const XaFillResult result = layout->DropPictures(c.dropOn, dropped);
    EXPECT_EQ(FileNames(), after) << c.name;
    EXPECT_EQ(result.Placed, c.placed) << c.name;
    EXPECT_EQ(int32_t(result.Failures.size()), c.failures) << c.name;
    EXPECT_EQ(result.Unplaced, c.unplaced) << c.name;
    const std::string message = result.Message();
    if (c.failures > 0) {
      EXPECT_NE(message.find("These pictures could not be placed:\n"), std::string::npos) << message;
      EXPECT_NE(message.find(dir.File("broken.png")), std::string::npos) << message;
    }
    if (c.unplaced == 1) {
      EXPECT_NE(message.find("1 picture does not fit"), std::string::npos) << message;
    }
  }
}

struct RefitCase {
  XaFit from, to;
  XaSize full;  // the print file after the re-fit
  bool padded;  // the sheet's white shows above and below the picture
};

class RefitTest : public AreasTest, public ::testing::WithParamInterface<RefitCase> {};

std::string RefitName(const ::testing::TestParamInfo<RefitCase>& info) {
  const char* const names[] = {"DontCrop", "Crop", "Stretch"};
  return std::string(names[info.param.from]) + "To" + names[info.param.to];
}

// A 400 x 300 picture on a 500 x 700 area is turned to 300 x 400 and then
// padded, cropped or stretched to the area's proportions.
TEST_P(RefitTest, RefitAreaHasTheNewModesSizes) {
  const RefitCase& c = GetParam();
  layout->LoadLayout("Portrait");
  WritePicture(dir.File("wide.png"), 400, 300);
  layout->DropPicture(0, dir.File("wide.png"), c.from);
  TPxLayer& layer = *page.Layer(1);
  layer.Left = 40;  // the user's place and size
  layer.Top = 60;
  layer.Width = 250;
  layer.Height = 350;
  layout->RefitPicture(0, c.to);
  const XaLayoutArea& area = *layout->Areas[0];
  EXPECT_EQ(area.Fit, c.to);
  EXPECT_TRUE(area.Rotated);
  EXPECT_EQ(area.FileName, dir.File("wide.png"));
  EXPECT_EQ(FileSize(layout->PrintFile(0)), c.full);
  EXPECT_EQ(FileSize(layout->ScreenFile(0)), (XaSize{500, 700}));
  EXPECT_EQ((std::vector<int>{layer.Left, layer.Top, layer.Width, layer.Height}),
            (std::vector<int>{40, 60, 250, 350}));
  EXPECT_EQ(layer.Bitmap->Width(), 500);
  EXPECT_EQ(layout->CurrentFit(), xfDontCrop);  // the fit chosen for new drops stays
  Raster full(layout->PrintFile(0));
  const TBGR top = full.At(c.full.Width / 2, 3);
  EXPECT_TRUE(Near(top, c.padded ? kWhite : kRed)) << Show(top);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RefitTest,
    ::testing::Values(RefitCase{xfDontCrop, xfCrop, {286, 400}, false},
                      RefitCase{xfDontCrop, xfStretch, {300, 420}, false},
                      RefitCase{xfCrop, xfDontCrop, {300, 420}, true},
                      RefitCase{xfStretch, xfStretch, {300, 420}, false}),
    RefitName);

TEST_F(AreasTest, RefitOfAMovedPictureKeepsTheAreaAsItWas) {
  layout->LoadLayout("Portrait");
  WritePicture(dir.File("wide.png"), 400, 300);
  layout->DropPicture(0, dir.File("wide.png"), xfCrop);
  const std::string before = testutil::ReadFileBytes(layout->PrintFile(0));
  fs::rename(dir.File("wide.png"), dir.File("gone.png"));
  try {
    layout->RefitPicture(0, xfStretch);
    ADD_FAILURE() << "no error";
  } catch (const XaPlaceError& e) {
    EXPECT_NE(std::string(e.what()).find(dir.File("wide.png")), std::string::npos) << e.what();
  }
  EXPECT_EQ(layout->Areas[0]->Fit, xfCrop);
  EXPECT_EQ(layout->Areas[0]->FileName, dir.File("wide.png"));
  EXPECT_EQ(testutil::ReadFileBytes(layout->PrintFile(0)), before);
  // An empty area has nothing to fit again.
  layout->RemovePicture(0);
  layout->RefitPicture(0, xfStretch);
  EXPECT_FALSE(fs::exists(layout->PrintFile(0)));
  EXPECT_EQ(layout->Areas[0]->FileName, "");
}

}  // namespace
