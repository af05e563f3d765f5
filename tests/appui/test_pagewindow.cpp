// The page in the main window: layouts chosen, pictures dropped on areas,
// the fit selector, the notice panel and the layout chooser; filling and
// emptying areas.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScreen>
#include <QThread>
#include <QToolTip>
#include <QTimer>
#include <cmath>
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
#include "imaging/view/render.h"
#include "platform/pxguard.h"
#include "platform/pxviewwidget.h"
#include "util/qtapp.h"
#include "util/testutil.h"

namespace {

namespace fs = std::filesystem;

using testutil::Settle;

// The notice's wrapped text lies wholly inside the label, at the largest
// size up to the named one that allows it.
void ExpectNoticeFits(const QLabel& label, int namedPoints) {
  const QRect room = label.contentsRect();
  auto fits = [&](int points) {
    QFont font = label.font();
    font.setPointSize(points);
    const QRect text =
        QFontMetrics(font, &label).boundingRect(room, Qt::TextWordWrap | Qt::AlignCenter, label.text());
    return room.contains(text);
  };
  const int points = label.font().pointSize();
  EXPECT_TRUE(label.font().bold());
  EXPECT_GE(points, 1);
  EXPECT_LE(points, namedPoints);
  EXPECT_TRUE(fits(points)) << points << " pt";
  if (points < namedPoints) {
    EXPECT_FALSE(fits(points + 1)) << points + 1 << " pt";
  }
}

// What the window has painted so far, as its screen shows it.
QImage Painted(QWidget& window) {
  return QGuiApplication::primaryScreen()
      ->grabWindow(window.winId())
      .toImage()
      .convertToFormat(QImage::Format_RGB32);
}

struct NoticePixels {
  int pale = 0;  // the notice's pale yellow
  int red = 0;   // its text
};

NoticePixels CountNoticePixels(const QImage& shot, const QRect& where) {
  NoticePixels n;
  for (int y = where.top(); y <= where.bottom(); ++y)
    for (int x = where.left(); x <= where.right(); ++x) {
      const QRgb p = shot.pixel(x, y);
      if (p == qRgb(255, 255, 128)) ++n.pale;
      if (qRed(p) > 200 && qGreen(p) < 80 && qBlue(p) < 80) ++n.red;
    }
  return n;
}

// A picture of one colour (a colour reference: red in the low byte).
void SolidPicture(const std::string& file, int w, int h, uint32_t colour) {
  TImagingIO io;
  ASSERT_TRUE(io.Bitmap()->Allocate(w, h, pxRGB24));
  io.Bitmap()->Fill(colour);
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting) << file;
}

class PageWindowTest : public ::testing::Test {
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
    // A message box would wait for a click: the tests read the reports instead.
    PxSetErrorHandler([this](const char* message) { reports.emplace_back(message); });
  }
  void TearDown() override {
    PxSetErrorHandler({});
    about.reset();
    help.reset();
    imageMap.reset();
    main.reset();
    for (const char* f : {"app.inf", "t.png"}) fs::remove(ProgramFolder() + f);
    for (int i = 0; i < 9; ++i)
      for (const char* suffix : {".jpg", "s.jpg"}) fs::remove(ProgramFolder() + "layer" + std::to_string(i) + suffix);
  }

  // The page view's picture as the user sees it.
  QImage Screen() {
    main->CtrlVectHost->viewport()->repaint();
    return main->CtrlVectHost->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  }

  QPoint CentreOf(int layer) {
    const TRect r = main->CtrlVect->Layer(layer)->ScreenRect;
    return QPoint((r.Left + r.Right) / 2, (r.Top + r.Bottom) / 2);
  }

  std::unique_ptr<TDPicPrint> main;
  std::unique_ptr<TDImageMap> imageMap;
  std::unique_ptr<TDHelp> help;
  std::unique_ptr<TDAbout> about;
  std::vector<std::string> reports;
};

TEST_F(PageWindowTest, StartsWithTheSheetAndTheInstruction) {
  EXPECT_TRUE(main->PnlWarning->isVisible());
  EXPECT_EQ(main->LWarning->text(),
            "Click on [Choose a layout] to pick your layout before dragging your images onto the printout.");
  ExpectNoticeFits(*main->LWarning, 12);
  EXPECT_EQ(main->PnlWarning->geometry(), QRect(8, 352, 201, 105));
  // The label takes the panel inside its frame, less a small margin.
  EXPECT_TRUE(main->PnlWarning->contentsRect().contains(main->LWarning->geometry()));
  EXPECT_GE(main->LWarning->width(), 180);
  EXPECT_GE(main->LWarning->height(), 90);
  ASSERT_EQ(main->CtrlVect->LayerCount(), 1);
  EXPECT_TRUE(main->CtrlVect->Layer(0)->Locked);
  EXPECT_EQ(main->CtrlVect->Layer(0)->Bitmap->Width(), 850);
  EXPECT_EQ(main->DImageFit->currentText(), "Don't Crop");
  EXPECT_EQ(imageMap->Regions.size(), 13u);
  // Before a layout is chosen nothing accepts a drop.
  EXPECT_FALSE(main->CtrlVectDragOver(CentreOf(0).x(), CentreOf(0).y()));
}

// Each area's blank picture lies where its layer is, on the white sheet, on navy.
TEST_F(PageWindowTest, ScreenShowsEachAreaWhereItsLayerIs) {
  main->Layout()->LoadLayout("4 3.5x5");
  Settle();
  QImage shot = Screen();
  ASSERT_EQ(main->CtrlVect->LayerCount(), 5);
  const TRect sheet = main->CtrlVect->Layer(0)->ScreenRect;
  EXPECT_EQ(QColor(shot.pixel(2, 2)), QColor(0, 0, 128));  // navy around the page
  EXPECT_EQ(QColor(shot.pixel(sheet.Left + 3, sheet.Top + 3)), QColor(255, 255, 255));
  for (int i = 1; i <= 4; ++i) {
    const QPoint c = CentreOf(i);
    // The empty-slot picture is pale blue.
    const QColor at(shot.pixel(c));
    EXPECT_GT(at.blue(), 200) << i;
    EXPECT_GT(at.blue(), at.red()) << i;
    EXPECT_TRUE(main->CtrlVectDragOver(c.x(), c.y())) << i;
  }
  EXPECT_FALSE(main->CtrlVectDragOver(sheet.Left + 3, sheet.Top + 3));
}

TEST_F(PageWindowTest, DroppedFileFillsTheAreaInTheChosenFit) {
  main->Layout()->LoadLayout("2 4x6");
  testutil::TempDir dir;
  SolidPicture(dir.File("tall.png"), 300, 600, 0x0000FF);  // red
  Settle();
  main->DImageFitChange(2);
  EXPECT_TRUE(main->Layout()->Stretch);
  const QPoint c = CentreOf(2);
  main->CtrlVectDragDrop(c.x(), c.y(), {dir.File("tall.png")});
  EXPECT_FALSE(main->PnlWarning->isVisible());
  EXPECT_EQ(main->Layout()->Areas[1]->FileName, dir.File("tall.png"));
  EXPECT_TRUE(main->Layout()->Areas[1]->Rotated);
  EXPECT_EQ(main->CtrlVect->Layer(2)->Bitmap->Width(), 600);
  Settle();
  QImage shot = Screen();
  EXPECT_GT(qRed(shot.pixel(c)), 200);
  EXPECT_LT(qBlue(shot.pixel(c)), 60);
  // The other area still shows its blank picture; a drop on the sheet does nothing.
  EXPECT_TRUE(main->Layout()->Areas[0]->FileName.empty());
  const TRect sheet = main->CtrlVect->Layer(0)->ScreenRect;
  main->CtrlVectDragDrop(sheet.Left + 2, sheet.Top + 2, {dir.File("tall.png")});
  EXPECT_TRUE(main->Layout()->Areas[0]->FileName.empty());
}

// A picture too small for its area is marked on the page, its figure in the
// label and the mark's tooltip; the figure follows the area while the mouse
// resizes it, and the mark goes once the picture is sharp enough.
TEST_F(PageWindowTest, SoftPictureIsMarkedAndItsFigureFollowsTheResize) {
  main->Layout()->LoadLayout("8x10");
  testutil::TempDir dir;
  SolidPicture(dir.File("small.png"), 600, 400, 0x00FF00);
  Settle();
  main->DImageFitChange(2);
  main->CtrlVectDragDrop(CentreOf(1).x(), CentreOf(1).y(), {dir.File("small.png")});
  ASSERT_TRUE(reports.empty()) << reports[0];
  const std::string warning = "\"8x10\" prints at 50 pixels per inch, fewer than 150: it may look blurred.";
  EXPECT_EQ(main->LResolution->text(), "8x10: 50 pixels per inch, too few for a sharp print");
  TPxLayer& layer = *main->CtrlVect->Layer(1);
  EXPECT_EQ(layer.Badge, pxlbWarning);
  Settle();
  auto amberIn = [](const QImage& shot, const TRect& r) {
    int n = 0;
    for (int y = r.Top; y < r.Bottom; ++y)
      for (int x = r.Left; x < r.Right; ++x) n += QColor(shot.pixel(x, y)) == QColor(255, 192, 0);
    return n;
  };
  const TRect mark = PxBadgeRect(layer.ScreenRect);
  EXPECT_GT(amberIn(Screen(), mark), 30);
  QWidget* vp = main->CtrlVectHost->viewport();
  const QPoint onMark((mark.Left + mark.Right) / 2, mark.Top + kPxBadgeSize * 3 / 4);
  QHelpEvent help(QEvent::ToolTip, onMark, vp->mapToGlobal(onMark));
  QCoreApplication::sendEvent(vp, &help);
  EXPECT_EQ(QToolTip::text().toStdString(), warning);
  QToolTip::hideText();

  // Drag the bottom-right grip up and to the left, to a quarter of the size.
  const double zoom = main->CtrlVect->Zoom() / 100;
  const QPoint grip(layer.ScreenRect.Right, layer.ScreenRect.Bottom);
  const QPoint end = grip - QPoint(int(600 * zoom), int(750 * zoom));
  auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
    QMouseEvent e(type, QPointF(at), vp->mapToGlobal(QPointF(at)), Qt::LeftButton, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(vp, &e);
  };
  // The figure as the layer's size gives it: 400 x 500 pixels over its inches.
  auto expected = [&] {
    return int(std::lround(std::min(40000.0 / layer.GetWidth(), 50000.0 / layer.GetHeight())));
  };
  send(QEvent::MouseButtonPress, grip, Qt::LeftButton);
  send(QEvent::MouseMove, (grip + end) / 2, Qt::LeftButton);
  ASSERT_LT(layer.GetWidth(), 800);
  const int halfway = expected();
  EXPECT_GT(halfway, 50);
  EXPECT_EQ(main->LResolution->text().toStdString(),
            "8x10: " + std::to_string(halfway) + " pixels per inch" + (halfway < 150 ? ", too few for a sharp print" : ""));
  send(QEvent::MouseMove, end, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, end, Qt::NoButton);
  Settle();
  const int done = expected();
  EXPECT_GE(done, 150);
  EXPECT_EQ(main->LResolution->text().toStdString(), "8x10: " + std::to_string(done) + " pixels per inch");
  EXPECT_EQ(layer.Badge, pxlbNone);
  const TRect corner = PxBadgeRect(layer.ScreenRect);
  EXPECT_EQ(amberIn(Screen(), corner), 0);
  const QPoint onCorner((corner.Left + corner.Right) / 2, corner.Top + kPxBadgeSize * 3 / 4);
  QHelpEvent after(QEvent::ToolTip, onCorner, vp->mapToGlobal(onCorner));
  QCoreApplication::sendEvent(vp, &after);
  EXPECT_FALSE(QToolTip::isVisible());
}

// The wait notice is on screen, fitted, from before the placement's first step.
TEST_F(PageWindowTest, PleaseWaitIsPaintedBeforeThePlacementStarts) {
  main->Layout()->LoadLayout("2 4x6");
  testutil::TempDir dir;
  SolidPicture(dir.File("wide.png"), 1200, 800, 0x00FF00);
  main->PnlWarning->hide();  // as choosing a layout does
  main->repaint();
  const QRect panel(main->PnlWarning->mapTo(main.get(), QPoint(0, 0)), main->PnlWarning->size());
  ASSERT_EQ(CountNoticePixels(Painted(*main), panel).pale, 0);

  bool checked = false;
  NoticePixels during;
  QString text;
  main->Layout()->WorkView->OnProgress = [&](void*, int) {
    if (checked || QThread::currentThread() != main->thread()) return;
    checked = true;
    during = CountNoticePixels(Painted(*main), panel);
    text = main->LWarning->text();
    ExpectNoticeFits(*main->LWarning, 14);
  };
  const QPoint c = CentreOf(1);
  main->CtrlVectDragDrop(c.x(), c.y(), {dir.File("wide.png")});
  main->Layout()->WorkView->OnProgress = nullptr;
  ASSERT_TRUE(checked);
  EXPECT_EQ(text, "Please wait while the image is loaded and processed for printing.");
  EXPECT_GT(during.pale, panel.width() * panel.height() / 2);
  EXPECT_GT(during.red, 40);
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(main->Layout()->Areas[0]->FileName, dir.File("wide.png"));
  EXPECT_FALSE(main->PnlWarning->isVisible());
}

// A picture that cannot be placed is reported, and the wait notice is gone
// before the report; the instruction does not come back either.
TEST_F(PageWindowTest, FailedDropTakesTheNoticeDown) {
  main->Layout()->LoadLayout("2 4x6");
  testutil::TempDir dir;
  testutil::WriteFileBytes(dir.File("broken.jpg"), "not a picture at all");
  const QPoint c = CentreOf(1);
  for (const std::string& file : {dir.File("broken.jpg"), dir.File("missing.png")}) {
    reports.clear();
    bool noticeAtReport = true;
    PxSetErrorHandler([&](const char* message) {
      reports.emplace_back(message);
      noticeAtReport = main->PnlWarning->isVisible();
    });
    main->CtrlVectDragDrop(c.x(), c.y(), {file});
    ASSERT_EQ(reports.size(), 1u) << file;
    EXPECT_NE(reports[0].find(file), std::string::npos) << reports[0];
    EXPECT_FALSE(noticeAtReport) << file;
    EXPECT_FALSE(main->PnlWarning->isVisible()) << file;
    EXPECT_TRUE(main->Layout()->Areas[0]->FileName.empty()) << file;
  }
}

// Escape on the chooser's view closes it as its close button does: nothing chosen.
TEST_F(PageWindowTest, EscapeClosesTheChooserWithoutAChoice) {
  QTimer escape, fallback;
  escape.setSingleShot(true);
  fallback.setSingleShot(true);
  bool escaped = false;
  QObject::connect(&escape, &QTimer::timeout, [&] {
    escaped = imageMap->isVisible();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(imageMap->CtrlVectHost, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(imageMap->CtrlVectHost, &release);
  });
  // Should Escape not close the chooser, a click does, so that the test ends.
  QObject::connect(&fallback, &QTimer::timeout, [&] {
    if (imageMap->isVisible()) imageMap->CtrlVectMouseUp(174, 179);
  });
  escape.start(50);
  fallback.start(3000);
  const XaChosenLayout chosen = ChooseLayout("Printed Image Layouts", ProgramFolder() + "printouts.png");
  EXPECT_TRUE(escaped);
  EXPECT_FALSE(imageMap->isVisible());
  EXPECT_EQ(chosen.Name, "");
  EXPECT_EQ(chosen.Index, -1);
  EXPECT_EQ(chosen.X, -1);
  EXPECT_EQ(chosen.Y, -1);
}

TEST_F(PageWindowTest, ChooserHitsOnReleaseOfAnyButton) {
  imageMap->PictureFile = ProgramFolder() + "printouts.png";
  imageMap->show();
  Settle();
  EXPECT_EQ(imageMap->size(), QSize(702, 623));
  QWidget* vp = imageMap->CtrlVectHost->viewport();
  EXPECT_EQ(vp->size(), QSize(700, 621));
  const struct {
    int x, y;
    Qt::MouseButton button;
    const char* name;
  } clicks[] = {{174, 179, Qt::LeftButton, "8x10"},
                {175, 179, Qt::RightButton, "2 5x7"},
                {100, 30, Qt::LeftButton, ""},
                {300, 500, Qt::LeftButton, ""}};
  for (const auto& c : clicks) {
    imageMap->show();
    Settle();
    EXPECT_EQ(imageMap->ChosenIndex, -1);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(c.x, c.y), vp->mapToGlobal(QPointF(c.x, c.y)),
                      c.button, c.button, Qt::NoModifier);
    QCoreApplication::sendEvent(vp, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(c.x, c.y),
                        vp->mapToGlobal(QPointF(c.x, c.y)), c.button, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(vp, &release);
    EXPECT_EQ(imageMap->ChosenName, c.name) << c.x << "," << c.y;
    EXPECT_EQ(imageMap->ClickX, c.x);
    EXPECT_FALSE(imageMap->isVisible());
  }
  // Closed without a click: no name, no index, no point.
  imageMap->show();
  Settle();
  imageMap->close();
  EXPECT_EQ(imageMap->ChosenName, "");
  EXPECT_EQ(imageMap->ChosenIndex, -1);
  EXPECT_EQ(imageMap->ClickX, -1);
  EXPECT_EQ(imageMap->ClickY, -1);
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

// Filling and emptying areas from the window: the context menu of an area
// (opened by a right click on the page view), the Page menu's Fill All
// Areas, several files dropped at once, and the question asked before a new
// layout empties a page that holds pictures.
class AreaWindowTest : public PageWindowTest {
 protected:
  void SetUp() override {
    PageWindowTest::SetUp();
    PxSetQuestionHandler([this](const char* question) {
      questions.emplace_back(question);
      return answer;
    });
    WritePicture(dir.File("red.png"), 600, 400, 0x0000FF);
    WritePicture(dir.File("blue.png"), 600, 400, 0xFF0000);
    WritePicture(dir.File("green.png"), 600, 400, 0x00FF00);
  }
  void TearDown() override {
    PxSetQuestionHandler({});
    PageWindowTest::TearDown();
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
  Settle();

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
