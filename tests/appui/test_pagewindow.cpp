// The page in the main window: layouts chosen, pictures dropped on areas,
// the fit selector, the notice panel and the layout chooser.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMouseEvent>
#include <QThread>
#include <filesystem>

#include "app/AboutDlg.h"
#include "app/HelpDlg.h"
#include "app/ImageMapDlg.h"
#include "app/PicPrintDlg.h"
#include "app/layout.h"
#include "imaging/io/imagingio.h"
#include "imaging/core/pxutils.h"
#include "imaging/view/imagingview.h"
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
  }
  void TearDown() override {
    about.reset();
    help.reset();
    imageMap.reset();
    main.reset();
    for (const char* f : {"app.inf", "layer0.jpg", "layer0s.jpg", "layer1.jpg", "layer1s.jpg", "t.png"})
      fs::remove(ProgramFolder() + f);
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
};

TEST_F(PageWindowTest, StartsWithTheSheetAndTheInstruction) {
  EXPECT_TRUE(main->PnlWarning->isVisible());
  EXPECT_EQ(main->LWarning->text(),
            "Click on [Choose a layout] to pick your layout before dragging your images onto the printout.");
  EXPECT_EQ(main->LWarning->font().pointSize(), 12);
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
  TImagingIO io;
  ASSERT_TRUE(io.Bitmap()->Allocate(300, 600, pxRGB24));
  io.Bitmap()->Fill(0x0000FF);  // red
  io.SaveToFile(dir.File("tall.png"));
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

}  // namespace
