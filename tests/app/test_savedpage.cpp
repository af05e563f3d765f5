// Saved pages: written and read back, opened into a layout with its
// pictures placed anew at their saved places and sizes, printed where they
// were; a missing picture among several, and damaged page files.
#include <gtest/gtest.h>

#include <QImage>
#include <filesystem>
#include <memory>
#include <string>

#include "app/layout.h"
#include "app/savedpage.h"
#include "imaging/io/imagingio.h"
#include "imaging/view/imagingview.h"
#include "platform/pxprinter.h"
#include "util/testutil.h"

namespace {

namespace fs = std::filesystem;

class SavedPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* f : {"bkpage.png", "blankpage.png"})
      fs::copy_file(testutil::SourceDir() + "/data/" + f, dir.File(f));
    testutil::WriteFileBytes(dir.File("layouts.txt"),
                             ":Two\r\nleft|2950 2275 61950 65975\r\n"  // 25,25 500 x 700
                             "right|64900 2275 100300 34125\r\n"       // 550,25 300 x 350
                             ":Three\r\na|0 0 20000 20000\r\nb|30000 0 50000 20000\r\n"
                             "c|60000 0 80000 20000\r\n:end\r\n");
    layout = MakeLayout(page, work);
  }

  std::unique_ptr<XaLayout> MakeLayout(TImagingVect& view, TImagingView& workView) {
    auto l = std::make_unique<XaLayout>(&view, dir.File("layouts.txt"), dir.Path().string());
    l->WorkView = &workView;
    l->SetUpPage();
    return l;
  }

  testutil::TempDir dir;
  TImagingVect page;
  TImagingView work;
  std::unique_ptr<XaLayout> layout;
};

// The bounding box of the red pixels of a PDF's page rasterised at 100 dpi.
QRect RedBox(const std::string& pdf, const testutil::TempDir& dir) {
  auto r = testutil::RunCommand("pdftoppm -r 100 -png -singlefile '" + pdf + "' '" + dir.File("ras") + "'");
  EXPECT_EQ(r.status, 0) << r.output;
  const QImage image = QImage(QString::fromStdString(dir.File("ras.png"))).convertToFormat(QImage::Format_RGB32);
  QRect box;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QRgb p = image.pixel(x, y);
      if (qRed(p) > 180 && qGreen(p) < 80 && qBlue(p) < 80) box |= QRect(x, y, 1, 1);
    }
  return box;
}

TEST_F(SavedPageTest, SaveOpenAndPrintKeepMovedAndResizedAreas) {
  std::shared_ptr<void> platform = PxStartHeadlessPrinting();
  testutil::WriteSolidPicture(dir.File("red pic|1.png"), 500, 700, 0x2020E0);
  testutil::WriteSolidPicture(dir.File("blue.png"), 300, 350, 0xE02020);
  layout->LoadLayout("Two");
  layout->Crop = true;
  layout->DropPicture(0, dir.File("red pic|1.png"));
  layout->Crop = false;
  layout->Stretch = true;
  layout->DropPicture(1, dir.File("blue.png"));
  TPxLayer& moved = *page.Layer(1);
  moved.Left += 40;
  moved.Top += 30;
  moved.Width = 400;
  moved.Height = 560;
  {
    auto job = PxNewPdfPrintJob(dir.File("before.pdf"));
    layout->PrintPage(*job);
  }
  const XaSavedPage saved = SavePage(*layout);
  EXPECT_EQ(saved.Layout, "Two");
  ASSERT_EQ(saved.Areas.size(), 2u);
  EXPECT_EQ(saved.Areas[0].Fit, xfCrop);
  EXPECT_EQ(saved.Areas[1].Fit, xfStretch);
  WritePageFile(dir.File("page.pictrova"), saved);
  EXPECT_FALSE(fs::exists(dir.File("page.pictrova.new")));

  // Read back as written, then opened in a fresh page.
  const XaSavedPage read = ReadPageFile(dir.File("page.pictrova"));
  EXPECT_EQ(read.Layout, "Two");
  EXPECT_EQ(read.Paper, "letter");
  ASSERT_EQ(read.Areas.size(), 2u);
  EXPECT_EQ(read.Areas[0].Source, dir.File("red pic|1.png"));
  EXPECT_EQ((std::vector<int>{read.Areas[0].Left, read.Areas[0].Top, read.Areas[0].Width, read.Areas[0].Height}),
            (std::vector<int>{moved.Left, moved.Top, 400, 560}));
  TImagingVect page2;
  TImagingView work2;
  testutil::TempDir other;
  auto reopened = MakeLayout(page2, work2);
  reopened->WorkFolder = other.Path().string();  // its working files are made anew
  EXPECT_TRUE(OpenPage(*reopened, read, dir.File("page.pictrova")).empty());
  EXPECT_EQ(reopened->Areas[0]->FileName, dir.File("red pic|1.png"));
  EXPECT_EQ(reopened->Areas[0]->Fit, 1);
  EXPECT_EQ(reopened->Areas[1]->Fit, 2);
  EXPECT_TRUE(fs::exists(reopened->PrintFile(0)));
  EXPECT_EQ(page2.Layer(1)->Width, 400);
  EXPECT_FALSE(reopened->Crop);  // the window's own fit choice is left alone
  {
    auto job = PxNewPdfPrintJob(dir.File("after.pdf"));
    reopened->PrintPage(*job);
  }
  const QRect before = RedBox(dir.File("before.pdf"), dir), after = RedBox(dir.File("after.pdf"), dir);
  EXPECT_EQ(before, after);
  EXPECT_NEAR(after.left(), moved.Left, 2);
  EXPECT_NEAR(after.width(), 400, 2);
}

TEST_F(SavedPageTest, MissingPictureAmongThreeLeavesOnlyItsAreaEmpty) {
  for (const char* n : {"a.png", "b.png", "c.png"}) testutil::WriteSolidPicture(dir.File(n), 200, 200, 0x2020E0);
  layout->LoadLayout("Three");
  for (int i = 0; i < 3; ++i) layout->DropPicture(i, dir.File(std::string(1, char('a' + i)) + ".png"));
  WritePageFile(dir.File("p.pictrova"), SavePage(*layout));
  const std::string text = testutil::ReadFileBytes(dir.File("p.pictrova"));
  fs::rename(dir.File("b.png"), dir.File("moved.png"));
  const std::vector<std::string> failed = OpenPage(*layout, ReadPageFile(dir.File("p.pictrova")), dir.File("p.pictrova"));
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_NE(failed[0].find("b.png"), std::string::npos) << failed[0];
  EXPECT_EQ(layout->Areas[0]->FileName, dir.File("a.png"));
  EXPECT_TRUE(layout->Areas[1]->FileName.empty());
  EXPECT_EQ(layout->Areas[2]->FileName, dir.File("c.png"));
  // Nothing of the file is lost or rewritten.
  EXPECT_EQ(testutil::ReadFileBytes(dir.File("p.pictrova")), text);
}

TEST_F(SavedPageTest, PageKeepsItsPaper) {
  testutil::WriteSolidPicture(dir.File("a.png"), 200, 200, 0x2020E0);
  layout->LoadLayout("Three");
  layout->DropPicture(0, dir.File("a.png"));
  const struct {
    const char* paper;    // as given
    const char* written;  // as the file keeps it
  } cases[] = {{"letter", "letter"}, {"a4", "a4"}, {"4x6in", "4x6in"}, {"14x8.5in", "8.5x14in"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.paper);
    WritePageFile(dir.File("p.pictrova"), SavePage(*layout, *PxPaperFromName(c.paper)));
    const std::string text = testutil::ReadFileBytes(dir.File("p.pictrova"));
    EXPECT_NE(text.find(std::string("\npaper=") + c.written + "\n"), std::string::npos) << text;
    EXPECT_EQ(ReadPageFile(dir.File("p.pictrova")).Paper, c.written);
  }
  // A hand-written size is read as the sheet it names.
  testutil::WriteFileBytes(dir.File("q.pictrova"), "layout=Three\npaper= 6x4in \n");
  EXPECT_EQ(ReadPageFile(dir.File("q.pictrova")).Paper, "4x6in");
}

TEST_F(SavedPageTest, DamagedFilesNameTheFileAndTheLine) {
  struct Case {
    const char* text;
    const char* message;  // after "FILE:"
  };
  const Case cases[] = {
      {"layout=Two\ncolour=red\n", "2: unknown key \"colour\""},
      {"layout=Two\narea=1|crop|1 2 3|/x.png\n", "2: bad place and size \"1 2 3\""},
      {"layout=Two\narea=1|crop|1 2 x 4|/x.png\n", "2: bad place and size"},
      {"layout=Two\narea=1|crop|1 2 0 4|/x.png\n", "2: bad place and size"},
      {"layout=Two\narea=0|crop|1 2 3 4|/x.png\n", "2: bad area number \"0\""},
      {"layout=Two\narea=1|squash|1 2 3 4|/x.png\n", "2: unknown fit \"squash\""},
      {"layout=Two\narea=1|crop|1 2 3 4\n", "2: an area needs"},
      {"layout=Two\narea=1|crop|1 2 3 4|\n", "2: the area names no picture"},
      {"layout=Two\narea=1|crop|1 2 3 4|/a.png\narea=1|crop|1 2 3 4|/b.png\n", "3: area 1 is given twice"},
      {"# only a comment\n", "1: the page names no layout"},
      {"layout=Two\npaper=tabloid\n", "2: unknown paper \"tabloid\""},
      {"layout=Two\npaper=4x6cm\n", "2: unknown paper \"4x6cm\""},
      {"layout=Two\npaper=0.5x6in\n", "2: unknown paper \"0.5x6in\""},
      {"layout=Two\njust words\n", "2: a line needs KEY=VALUE"},
  };
  for (const Case& c : cases) {
    testutil::WriteFileBytes(dir.File("bad.pictrova"), c.text);
    try {
      ReadPageFile(dir.File("bad.pictrova"));
      ADD_FAILURE() << "taken: " << c.text;
    } catch (const XaPageError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(dir.File("bad.pictrova") + ":" + c.message, 0), 0u)
          << e.what() << " for " << c.text;
    }
  }
  // Layouts are checked when the page is opened: the file and its line again.
  for (const char* text : {"\nlayout=Nine\n", "layout=Two\n\narea=3|crop|1 2 3 4|/x.png\n"}) {
    testutil::WriteFileBytes(dir.File("bad.pictrova"), text);
    const XaSavedPage p = ReadPageFile(dir.File("bad.pictrova"));
    try {
      OpenPage(*layout, p, dir.File("bad.pictrova"));
      ADD_FAILURE() << "opened: " << text;
    } catch (const XaPageError& e) {
      const std::string expected = dir.File("bad.pictrova") + (text[0] == '\n' ? ":2: there is no layout" : ":3: layout");
      EXPECT_EQ(std::string(e.what()).rfind(expected, 0), 0u) << e.what();
    }
  }
  EXPECT_THROW(ReadPageFile(dir.File("none.pictrova")), XaPageError);
}

}  // namespace
