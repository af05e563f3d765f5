// The print preview window, the paper of the current printer and the cut
// guides, through the main window; printing goes to a print server of the
// test's own.
#include <cups/cups.h>
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QThread>
#include <QToolTip>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/PicPrintDlg.h"
#include "app/PreviewDlg.h"
#include "app/layout.h"
#include "app/resolution.h"
#include "imaging/io/imagingio.h"
#include "imaging/view/imagingview.h"
#include "imaging/view/render.h"
#include "platform/pxguard.h"
#include "platform/pxprinter.h"
#include "platform/pxviewwidget.h"
#include "util/cupsserver.h"
#include "util/qtapp.h"
#include "util/testutil.h"

namespace {

namespace fs = std::filesystem;

TBGR At(TPxBitmap& bmp, int x, int y) { return reinterpret_cast<TBGR*>(bmp.Scanline(y))[x]; }

// Within what the JPEG working files change of a plain colour.
bool Near(TBGR a, TBGR b) { return std::abs(a.r - b.r) <= 6 && std::abs(a.g - b.g) <= 6 && std::abs(a.b - b.b) <= 6; }

class PrintPreviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every print goes to this server: libcups reads the variable at its first use.
    setenv("CUPS_SERVER", server.Address().c_str(), 1);
    cupsSetServer(nullptr);
    marginsOut = server.AddQueue("margins", testutil::MarginsPpd(18, 36, 18, 36));
    testutil::QtApp();
    fs::remove(ProgramFolder() + "app.inf");
    PxSetErrorHandler([this](const char* message) { reports.emplace_back(message); });
    // The current printer: the queue with margins, on letter paper.
    std::unique_ptr<QDialog> setup = PxNewPrinterSetupDialog(nullptr);
    auto* names = setup->findChild<QComboBox*>("PrinterName");
    auto* paper = setup->findChild<QComboBox*>("PaperSize");
    names->setCurrentIndex(names->findText("margins"));
    paper->setCurrentIndex(paper->findData("letter"));
    PxApplyPrinterSetup(*setup);
    ASSERT_EQ(PxCurrentPrinterName(), "margins");
    main = std::make_unique<TDPicPrint>();
    main->show();
    testutil::Settle();
    main->AskPrintAnyway = [this](const std::string& message) {
      asked.push_back(message);
      return answer;
    };
    testutil::WriteSolidPicture(dir.File("red.png"), 600, 400, 0x2020E0);
    testutil::WriteSolidPicture(dir.File("blue.png"), 600, 400, 0xE02020);
    main->Layout()->LoadLayout("2 4x6");
    main->Layout()->DropPicture(0, dir.File("red.png"));
    main->Layout()->DropPicture(1, dir.File("blue.png"));
  }
  void TearDown() override {
    main.reset();
    PxSetErrorHandler({});
    PxSetCurrentPaper(TPxPaper{});
    unsetenv("CUPS_SERVER");
    cupsSetServer(nullptr);
    for (const char* f : {"app.inf", "layer0.jpg", "layer0s.jpg", "layer1.jpg", "layer1s.jpg", "t.png"})
      fs::remove(ProgramFolder() + f);
  }

  testutil::CupsServer server;
  std::string marginsOut;
  testutil::TempDir dir;
  std::unique_ptr<TDPicPrint> main;
  std::vector<std::string> reports;
  std::vector<std::string> asked;
  bool answer = false;
};

TEST_F(PrintPreviewTest, MenuAndButtonsOfPrinting) {
  QStringList items;
  for (QAction* a : main->menuBar()->actions().front()->menu()->actions())
    if (!a->isSeparator()) items << a->text();
  const int setup = int(items.indexOf("Printer &Setup ..."));
  ASSERT_GE(setup, 0) << items.join(", ").toStdString();
  EXPECT_EQ(items.mid(setup, 4),
            QStringList({"Printer &Setup ...", "Cut &Guides", "Print Pre&view ...", "&Print ..."}));
  EXPECT_TRUE(main->MnuCutGuides->isCheckable());
  EXPECT_FALSE(main->MnuCutGuides->isChecked());
  // The preview button lies beside Print, on its row.
  EXPECT_EQ(main->BPrintPreview->geometry().top(), main->BPrint->geometry().top());
  EXPECT_GT(main->BPrintPreview->geometry().left(), main->BPrint->geometry().right());
  EXPECT_EQ(main->BPrintPreview->parentWidget(), main->BPrint->parentWidget());
}

TEST_F(PrintPreviewTest, CutGuidesAreRememberedInTheSettings) {
  main->MnuCutGuides->trigger();
  EXPECT_TRUE(main->MnuCutGuides->isChecked());
  main->close();
  EXPECT_NE(testutil::ReadFileBytes(ProgramFolder() + "app.inf").find("CutGuides=1\r\n"), std::string::npos);
  main.reset();
  main = std::make_unique<TDPicPrint>();
  EXPECT_TRUE(main->MnuCutGuides->isChecked());
  main->MnuCutGuides->trigger();
  main->close();
  EXPECT_NE(testutil::ReadFileBytes(ProgramFolder() + "app.inf").find("CutGuides=0\r\n"), std::string::npos);
}

TEST_F(PrintPreviewTest, PreviewShowsThePageOnThePrintersPaperWithItsMargins) {
  main->MnuCutGuides->setChecked(true);
  main->BPrintPreview->click();
  testutil::Settle();
  ASSERT_TRUE(reports.empty()) << reports.front();
  TDPrintPreview* preview = main->Preview();
  ASSERT_NE(preview, nullptr);
  EXPECT_TRUE(preview->isVisible());
  const int dpi = preview->Dpi;
  ASSERT_GT(dpi, 0);
  TPxBitmap& page = *preview->CtrlPage->Bitmap();
  EXPECT_EQ(page.Width(), int(std::lround(8.5 * dpi)));
  EXPECT_EQ(page.Height(), 11 * dpi);
  EXPECT_NE(preview->LPaper->text().toStdString().find("letter"), std::string::npos);
  EXPECT_NE(preview->LPaper->text().toStdString().find("margins"), std::string::npos);
  EXPECT_FALSE(preview->LCutAreas->isVisible());
  auto px = [dpi](double inches) { return int(std::lround(inches * dpi)); };
  // The areas of "2 4x6" at (1.25, 1) and (1.25, 6) inches, 6 x 4 each.
  EXPECT_TRUE(Near(At(page, px(4.25), px(3)), MakeBGR(224, 32, 32)));
  EXPECT_TRUE(Near(At(page, px(4.25), px(8)), MakeBGR(32, 32, 224)));
  EXPECT_EQ(At(page, px(4.25), px(5.5)), MakeBGR(255, 255, 255));
  // The printer's margins (a quarter inch at the sides, half an inch at top
  // and bottom) are shaded.
  for (const auto& [x, y] : {std::pair{0.1, 5.0}, {8.4, 5.0}, {4.0, 0.4}, {4.0, 10.6}})
    EXPECT_EQ(At(page, px(x), px(y)), MakeBGR(191, 191, 191)) << x << "," << y;
  // The cut guides show: a stroke left of the first area's top-left corner.
  EXPECT_EQ(At(page, px(1.25) - 3, px(1)), MakeBGR(0, 0, 0));
  EXPECT_EQ(At(page, px(1.25) - 3, px(1) - 3), MakeBGR(255, 255, 255));

  // Print from the preview sends that page to the printer, asking nothing.
  preview->BPrint->click();
  testutil::Settle();
  EXPECT_FALSE(preview->isVisible());
  EXPECT_TRUE(asked.empty());
  ASSERT_TRUE(testutil::WaitForFile(marginsOut, 20)) << server.Log();
  EXPECT_TRUE(reports.empty()) << reports.front();
}

TEST_F(PrintPreviewTest, PageFileKeepsThePaperOfTheCurrentPrinter) {
  PxSetCurrentPaper(*PxPaperFromName("a4"));
  main->SavePageFile(dir.File("a4.pictrova"));
  EXPECT_NE(testutil::ReadFileBytes(dir.File("a4.pictrova")).find("\npaper=a4\n"), std::string::npos);
  PxSetCurrentPaper(TPxPaper{});
  main->OpenPageFile(dir.File("a4.pictrova"));
  EXPECT_EQ(PxPaperName(PxCurrentPaper()), "a4");
  // A damaged page changes nothing, the paper included.
  testutil::WriteFileBytes(dir.File("bad.pictrova"), "layout=no such layout\npaper=4x6in\n");
  main->OpenPageFile(dir.File("bad.pictrova"));
  EXPECT_EQ(PxPaperName(PxCurrentPaper()), "a4");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("no such layout"), std::string::npos) << reports[0];
}

TEST_F(PrintPreviewTest, PictureOffTheSheetIsNamedAndPrintsOnlyWithConsent) {
  // A4 on the same printer; the top picture moved to the page's left edge
  // lies past the narrower sheet's edge.
  PxSetCurrentPaper(*PxPaperFromName("a4"));
  main->CtrlVect->Layer(1)->Left = 0;
  main->MnuPrintPreview->trigger();
  testutil::Settle();
  TDPrintPreview* preview = main->Preview();
  ASSERT_NE(preview, nullptr);
  EXPECT_TRUE(preview->LCutAreas->isVisible());
  const std::string named = preview->LCutAreas->text().toStdString();
  EXPECT_NE(named.find("\"4x6 top\" reaches past the paper's edge"), std::string::npos) << named;
  EXPECT_EQ(named.find("4x6 bottom"), std::string::npos) << named;
  EXPECT_EQ(preview->CtrlPage->Bitmap()->Width(), int(std::lround(210 / 25.4 * preview->Dpi)));

  // Refused: nothing reaches the server.
  preview->BPrint->click();
  testutil::Settle();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], named);
  EXPECT_EQ(server.Run("lpstat -W all -o").output, "");
  EXPECT_FALSE(fs::exists(marginsOut));

  // Consent: the page prints on A4 as it stands.
  answer = true;
  main->PrintOnCurrentPrinter();
  EXPECT_EQ(asked.size(), 2u);
  ASSERT_TRUE(testutil::WaitForFile(marginsOut, 20)) << server.Log();
  auto r = testutil::RunCommand("pdftoppm -r 100 -png -singlefile '" + marginsOut + "' '" + dir.File("p") + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  const QImage printed(QString::fromStdString(dir.File("p.png")));
  EXPECT_EQ(printed.width(), 827);
  EXPECT_NEAR(printed.height(), 1169, 1);
  EXPECT_TRUE(reports.empty()) << reports.front();
}

// Soft pictures carry the page view's warning mark in the preview too, with
// its tooltip; the printed page under it holds no mark.
TEST_F(PrintPreviewTest, SoftPicturesAreMarkedOverThePrintedPage) {
  // 600 x 400 pixels over 6 x 4 inches: 100 pixels per inch, both areas.
  ASSERT_TRUE(XaLowResolution(*main->Layout(), 0));
  main->BPrintPreview->click();
  testutil::Settle();
  TDPrintPreview* preview = main->Preview();
  ASSERT_NE(preview, nullptr);
  TImagingView& view = *preview->CtrlPage;
  ASSERT_EQ(view.LayerCount(), 3);
  EXPECT_EQ(view.CurrentLayer(), 0);
  QWidget* vp = preview->CtrlPageHost->viewport();
  vp->repaint();
  const QImage shot = vp->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const int dpi = preview->Dpi;
  for (int i = 1; i <= 2; ++i) {
    const TPxLayer& mark = *view.Layer(i);
    EXPECT_EQ(mark.Badge, pxlbWarning);
    EXPECT_EQ(mark.BadgeText, XaLowResolutionWarning(*main->Layout(), i - 1));
    // Over the picture on the paper.
    EXPECT_EQ(mark.Left, int(std::lround(1.25 * dpi)));
    EXPECT_EQ(mark.Width, 6 * dpi);
    const TRect r = PxBadgeRect(mark.ScreenRect);
    int amber = 0;
    for (int y = r.Top; y < r.Bottom; ++y)
      for (int x = r.Left; x < r.Right; ++x) amber += QColor(shot.pixel(x, y)) == QColor(255, 192, 0);
    EXPECT_GT(amber, 30) << i;
    const QPoint onMark((r.Left + r.Right) / 2, r.Top + kPxBadgeSize * 3 / 4);
    QHelpEvent help(QEvent::ToolTip, onMark, vp->mapToGlobal(onMark));
    QCoreApplication::sendEvent(vp, &help);
    EXPECT_EQ(QToolTip::text().toStdString(), mark.BadgeText);
    QToolTip::hideText();
  }
  // The page itself, as it prints: the pictures' colours in their corners.
  TPxBitmap& page = *view.Layer(0)->Bitmap;
  EXPECT_TRUE(Near(At(page, int(std::lround(7.2 * dpi)), int(std::lround(1.05 * dpi))), MakeBGR(224, 32, 32)));
  preview->reject();
}

}  // namespace
