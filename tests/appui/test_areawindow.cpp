// Filling and emptying areas from the main window: the context menu of an
// area (opened by a right click on the page view), the Page menu's Fill All
// Areas, several files dropped at once, and the question asked before a new
// layout empties a page that holds pictures.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMenuBar>
#include <QThread>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/AboutDlg.h"
#include "app/HelpDlg.h"
#include "app/ImageMapDlg.h"
#include "app/PicPrintDlg.h"
#include "app/layout.h"
#include "app/thumbdisplay.h"
#include "imaging/io/imagingio.h"
#include "imaging/core/pxutils.h"
#include "imaging/view/imagingview.h"
#include "platform/pxguard.h"
#include "platform/pxviewwidget.h"
#include "util/qtapp.h"
#include "util/testutil.h"

namespace {

namespace fs = std::filesystem;

void Settle() {
  for (int i = 0; i < 5; ++i) {
    QCoreApplication::processEvents();
    QThread::msleep(2);
  }
}

void WritePicture(const std::string& file, int w, int h, uint32_t color) {
  TImagingIO io;
  ASSERT_TRUE(io.Bitmap()->Allocate(w, h, pxRGB24));
  io.Bitmap()->Fill(color);
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting) << file;
}

QStringList Texts(const QMenu& menu) {
  QStringList texts;
  for (const QAction* a : menu.actions()) texts << a->text();
  return texts;
}

class AreaWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::QtApp();
    main = std::make_unique<TDPicPrint>();
    imageMap = std::make_unique<TDImageMap>(main.get());
    help = std::make_unique<TDHelp>(main.get());
    about = std::make_unique<TDAbout>(main.get());
    main->show();
    Settle();
    about->hide();
    PxSetErrorHandler([this](const char* message) { reports.emplace_back(message); });
    PxSetQuestionHandler([this](const char* question) {
      questions.emplace_back(question);
      return answer;
    });
    WritePicture(dir.File("red.png"), 600, 400, 0x0000FF);
    WritePicture(dir.File("blue.png"), 600, 400, 0xFF0000);
    WritePicture(dir.File("green.png"), 600, 400, 0x00FF00);
  }
  void TearDown() override {
    PxSetErrorHandler({});
    PxSetQuestionHandler({});
    about.reset();
    help.reset();
    imageMap.reset();
    main.reset();
    fs::remove(ProgramFolder() + "app.inf");
    fs::remove(ProgramFolder() + "t.png");
    for (int i = 0; i < 9; ++i)
      for (const char* suffix : {".jpg", "s.jpg"})
        fs::remove(ProgramFolder() + "layer" + std::to_string(i) + suffix);
  }

  QPoint CentreOf(int layer) {
    main->CtrlVect->UpdateLayerScreenRects();
    const TRect r = main->CtrlVect->Layer(layer)->ScreenRect;
    return QPoint((r.Left + r.Right) / 2, (r.Top + r.Bottom) / 2);
  }

  // A right click on the page view at a point: the menu it opens is handed
  // to `act` while it is up, then closed.
  bool RightClick(QPoint at, const std::function<void(QMenu&)>& act) {
    bool opened = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (!menu) return;
      poll.stop();
      opened = true;
      act(*menu);
      menu->close();
    });
    poll.start(10);
    QWidget* vp = main->CtrlVectHost->viewport();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, vp->mapToGlobal(at));
    QCoreApplication::sendEvent(vp, &event);
    poll.stop();
    Settle();
    return opened;
  }

  QAction* ActionOf(QMenu& menu, const QString& text) {
    for (QAction* a : menu.actions())
      if (a->text() == text) return a;
    ADD_FAILURE() << "no item " << text.toStdString();
    return nullptr;
  }

  // Presses "Choose a Layout" and clicks "8x10" in the chooser once it is up.
  void ChooseEightByTen() {
    QTimer click;
    QObject::connect(&click, &QTimer::timeout, [&] {
      if (!imageMap->isVisible()) return;
      click.stop();
      imageMap->CtrlVectMouseUp(174, 179);
    });
    click.start(20);
    main->BChooseLayoutClick();
    click.stop();
  }

  std::vector<std::string> FileNames() const {
    std::vector<std::string> names;
    for (const auto& a : main->Layout()->Areas) names.push_back(a->FileName);
    return names;
  }

  testutil::TempDir dir;
  std::unique_ptr<TDPicPrint> main;
  std::unique_ptr<TDImageMap> imageMap;
  std::unique_ptr<TDHelp> help;
  std::unique_ptr<TDAbout> about;
  std::vector<std::string> reports;
  std::vector<std::string> questions;
  bool answer = false;
};

TEST_F(AreaWindowTest, ContextMenuOfAnAreaActsOnThatArea) {
  main->Layout()->LoadLayout("4 3.5x5");
  Settle();
  WritePicture(dir.File("tall.png"), 450, 500, 0x0000FF);
  const QPoint second = CentreOf(2);
  main->CtrlVectDragDrop(second.x(), second.y(), {dir.File("tall.png")});
  ASSERT_EQ(main->Layout()->Areas[1]->FileName, dir.File("tall.png"));
  {
    TImagingIO io;
    io.ReadParamsFromFile(main->Layout()->PrintFile(1));
    ASSERT_EQ((XaSize{io.Params.Width, io.Params.Height}), (XaSize{450, 643}));
  }
  const QStringList items = {"&Fill All Areas", "&Remove Picture", "", "Don't Crop", "Crop", "Stretch"};

  // On the filled area: every item there, its fit checked; Crop fits it again.
  ASSERT_TRUE(RightClick(second, [&](QMenu& menu) {
    EXPECT_EQ(Texts(menu), items);
    for (QAction* a : menu.actions()) EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
    EXPECT_TRUE(ActionOf(menu, "Don't Crop")->isChecked());
    EXPECT_FALSE(ActionOf(menu, "Crop")->isChecked());
    ActionOf(menu, "Crop")->trigger();
  }));
  const XaLayout& layout = *main->Layout();
  EXPECT_EQ(layout.Areas[1]->Fit, xfCrop);
  EXPECT_FALSE(layout.Crop);  // the fit chosen for drops is left alone
  // 450 x 500 on the 350 x 500 area: padded to 450 x 643 before, cut to 350 x 500 now.
  TImagingIO io;
  io.ReadParamsFromFile(layout.PrintFile(1));
  EXPECT_EQ((XaSize{io.Params.Width, io.Params.Height}), (XaSize{350, 500}));
  EXPECT_FALSE(main->PnlWarning->isVisible());

  // On an empty area: only Fill All, and only with a picture selected.
  const QPoint first = CentreOf(1);
  main->ThumbDisplay()->SelectedPath.clear();
  ASSERT_TRUE(RightClick(first, [&](QMenu& menu) {
    EXPECT_EQ(Texts(menu), items);
    for (QAction* a : menu.actions()) {
      if (!a->isSeparator()) {
        EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
      }
    }
    EXPECT_FALSE(ActionOf(menu, "Don't Crop")->isChecked());
  }));

  // Remove Picture empties the area it was opened on.
  ASSERT_TRUE(RightClick(second, [&](QMenu& menu) { ActionOf(menu, "&Remove Picture")->trigger(); }));
  EXPECT_EQ(layout.Areas[1]->FileName, "");
  EXPECT_FALSE(fs::exists(layout.PrintFile(1)));
  EXPECT_NE(main->CtrlVect->Layer(2)->Bitmap->Width(), layout.Areas[1]->Width);  // the blank picture
  EXPECT_TRUE(reports.empty()) << reports.front();

  // Over the sheet there is no area and no menu.
  const TRect sheet = main->CtrlVect->Layer(0)->ScreenRect;
  EXPECT_FALSE(main->CtrlVectContextPopup(sheet.Left + 2, sheet.Top + 2));
  EXPECT_FALSE(RightClick(QPoint(sheet.Left + 2, sheet.Top + 2), [](QMenu&) {}));
}

// From an area's menu, Fill All spreads that area's picture; from an empty
// one, the picture selected in the thumbnails.
TEST_F(AreaWindowTest, FillAllFromTheContextMenu) {
  main->Layout()->LoadLayout("4 3.5x5");
  Settle();
  main->ThumbDisplay()->SelectedPath = dir.File("blue.png");
  const QPoint third = CentreOf(3);
  main->CtrlVectDragDrop(third.x(), third.y(), {dir.File("red.png")});
  ASSERT_TRUE(RightClick(third, [&](QMenu& menu) { ActionOf(menu, "&Fill All Areas")->trigger(); }));
  EXPECT_EQ(FileNames(), std::vector<std::string>(4, dir.File("red.png")));
  main->Layout()->RemovePicture(0);
  ASSERT_TRUE(RightClick(CentreOf(1), [&](QMenu& menu) { ActionOf(menu, "&Fill All Areas")->trigger(); }));
  EXPECT_EQ(FileNames(), std::vector<std::string>(4, dir.File("blue.png")));
  EXPECT_TRUE(reports.empty());
  EXPECT_FALSE(main->PnlWarning->isVisible());
}

TEST_F(AreaWindowTest, PageMenuFillsEveryAreaWithTheSelectedPicture) {
  QStringList titles;
  for (QAction* a : main->menuBar()->actions()) titles << a->text();
  ASSERT_EQ(titles, QStringList({"&File", "&Page", "&Help"}));
  QMenu* page = main->menuBar()->actions()[1]->menu();
  ASSERT_TRUE(page);
  EXPECT_EQ(Texts(*page), QStringList({"&Fill All Areas"}));
  EXPECT_EQ(page->actions()[0], main->MnuFillAll);
  // Nothing to fill before a layout is chosen and a picture selected.
  emit page->aboutToShow();
  EXPECT_FALSE(main->MnuFillAll->isEnabled());
  main->Layout()->LoadLayout("9 wallets");
  main->ThumbDisplay()->SelectedPath = dir.File("green.png");
  emit page->aboutToShow();
  EXPECT_TRUE(main->MnuFillAll->isEnabled());
  main->MnuFillAll->trigger();
  EXPECT_EQ(FileNames(), std::vector<std::string>(9, dir.File("green.png")));
  for (int i = 1; i <= 9; ++i) EXPECT_EQ(main->CtrlVect->Layer(i)->Bitmap->Width(), 250) << i;
  EXPECT_TRUE(reports.empty());
  // A picture that cannot be read: one message naming it, the page as it was.
  testutil::WriteFileBytes(dir.File("broken.jpg"), "not a picture");
  main->ThumbDisplay()->SelectedPath = dir.File("broken.jpg");
  main->MnuFillAll->trigger();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find(dir.File("broken.jpg")), std::string::npos) << reports[0];
  EXPECT_EQ(FileNames(), std::vector<std::string>(9, dir.File("green.png")));
}

TEST_F(AreaWindowTest, SeveralDroppedFilesFillTheNextAreasAndSayWhatDidNotFit) {
  main->Layout()->LoadLayout("2 4x6");
  Settle();
  const QPoint bottom = CentreOf(2);
  main->CtrlVectDragDrop(bottom.x(), bottom.y(),
                         {dir.File("red.png"), dir.File("blue.png"), dir.File("green.png")});
  EXPECT_EQ(FileNames(), (std::vector<std::string>{dir.File("blue.png"), dir.File("red.png")}));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "1 picture does not fit: no empty area is left on the page.");
  EXPECT_FALSE(main->PnlWarning->isVisible());
}

TEST_F(AreaWindowTest, NewLayoutAsksOnlyWhenPicturesArePlaced) {
  // An empty page: no question.
  main->Layout()->LoadLayout("2 4x6");
  ChooseEightByTen();
  EXPECT_TRUE(questions.empty());
  EXPECT_EQ(main->Layout()->LayoutName, "8x10");

  const QPoint c = CentreOf(1);
  main->CtrlVectDragDrop(c.x(), c.y(), {dir.File("red.png")});
  ASSERT_TRUE(main->Layout()->HasPictures());
  // Answered No: the page stays as it is.
  answer = false;
  ChooseEightByTen();
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_NE(questions[0].find("\"8x10\""), std::string::npos) << questions[0];
  EXPECT_EQ(main->Layout()->Areas[0]->FileName, dir.File("red.png"));
  EXPECT_EQ(main->CtrlVect->LayerCount(), 2);
  // Answered Yes: the layout comes, empty.
  answer = true;
  ChooseEightByTen();
  EXPECT_EQ(questions.size(), 2u);
  ASSERT_EQ(main->Layout()->Areas.size(), 1u);
  EXPECT_EQ(main->Layout()->Areas[0]->FileName, "");
  EXPECT_FALSE(main->Layout()->HasPictures());
  EXPECT_TRUE(reports.empty());
}

}  // namespace
