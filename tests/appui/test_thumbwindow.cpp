// The upper band and the left column of the main window: a folder's
// thumbnails, a click showing the picture and its information, a drag from
// the grid onto an area, and the target area outlined during a drag.
#include <gtest/gtest.h>

#include <QLabel>
#include <QMouseEvent>
#include <QSplitter>
#include <QThread>
#include <filesystem>
#include <string>
#include <vector>

#include "app/AboutDlg.h"
#include "app/PicPrintDlg.h"
#include "app/layout.h"
#include "app/thumbdisplay.h"
#include "browse/imagingmview.h"
#include "imaging/io/imagingio.h"
#include "imaging/view/imagingview.h"
#include "platform/pxguard.h"
#include "platform/pxshelltreewidget.h"
#include "platform/pxviewwidget.h"
#include "util/qtapp.h"
#include "util/testutil.h"

namespace {

namespace fs = std::filesystem;

class ThumbWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::QtApp();
    main = std::make_unique<TDPicPrint>();
    about = std::make_unique<TDAbout>(main.get());
    main->show();
    testutil::Settle();
    about->hide();
    PxSetErrorHandler([this](const char* message) { reports.emplace_back(message); });
    testutil::WriteSolidPicture(dir.File("a.png"), 300, 200, 0x0000FF);  // red
    testutil::WriteSolidPicture(dir.File("b.jpg"), 640, 480, 0xFF0000);  // blue
    main->CtrlThumbs->SetThreadPoolSize(0);  // loads in the paint: no waiting here
  }
  void TearDown() override {
    PxSetErrorHandler({});
    about.reset();
    main.reset();
    for (const char* f : {"app.inf", "layer0.jpg", "layer0s.jpg", "layer1.jpg", "layer1s.jpg", "t.png"})
      fs::remove(ProgramFolder() + f);
  }

  void Click(TPxViewWidget* host, QPoint p) {
    QMouseEvent press(QEvent::MouseButtonPress, p, host->viewport()->mapToGlobal(p), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(host->viewport(), &press);
    QMouseEvent release(QEvent::MouseButtonRelease, p, host->viewport()->mapToGlobal(p),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(host->viewport(), &release);
  }

  QPoint ThumbCentre(int i) {
    TImagingMView* g = main->CtrlThumbs;
    return QPoint(g->ImageX(i) - g->ViewX() + g->ThumbWidth() / 2,
                  g->ImageY(i) - g->ViewY() + g->ThumbHeight() / 2);
  }

  QPoint AreaCentre(int layer) {
    const TRect r = main->CtrlVect->Layer(layer)->ScreenRect;
    return QPoint((r.Left + r.Right) / 2, (r.Top + r.Bottom) / 2);
  }

  testutil::TempDir dir;
  std::unique_ptr<TDPicPrint> main;
  std::unique_ptr<TDAbout> about;
  std::vector<std::string> reports;
};

TEST_F(ThumbWindowTest, ControlsOfTheUpperBandAndTheLeftColumn) {
  EXPECT_EQ(main->PnlThumbs->height(), 156);
  EXPECT_EQ(main->CtrlDir->width(), 200);
  EXPECT_EQ(main->Splitter1->handleWidth(), 4);
  EXPECT_EQ(main->Splitter2->handleWidth(), 4);
  EXPECT_EQ(main->CtrlImageHost->geometry(), QRect(8, 4, 193, 142));
  EXPECT_EQ(main->PnlFileInfo->geometry(), QRect(6, 8, 209, 217));
  EXPECT_EQ(main->Label1->text(), "Name:");
  EXPECT_EQ(main->Label3->pos(), QPoint(8, 192));
  EXPECT_TRUE(main->Label2->font().bold());
  EXPECT_EQ(main->LFileDims->pos(), QPoint(56, 192));
  TImagingMView* g = main->CtrlThumbs;
  EXPECT_EQ(g->StoreType(), pxtThumb);
  EXPECT_EQ(g->ImageCacheSize(), 100);
  EXPECT_EQ(g->ThumbWidth(), 128);
  EXPECT_EQ(g->GridWidth(), -1);
  EXPECT_EQ(g->SelectionColor(), clNavy);
  EXPECT_EQ(g->Style(), pxmsFlat);
  EXPECT_EQ(main->CtrlImage->Background(), clBlack);
  // Splitter2 gives the upper band more room.
  main->Splitter2->setSizes({300, 400});
  testutil::Settle();
  EXPECT_EQ(main->PnlThumbs->height(), 300);
}

TEST_F(ThumbWindowTest, FolderThenClickShowsThePictureAndItsInformation) {
  main->CtrlDirChange(dir.Path().string());
  ASSERT_EQ(main->CtrlThumbs->ImageCount(), 2);
  // A node that is no folder keeps the thumbnails.
  main->CtrlDirChange("");
  EXPECT_EQ(main->CtrlThumbs->ImageCount(), 2);
  // The first picture is in the preview; the labels wait for a selection.
  EXPECT_EQ(main->CtrlImage->Bitmap()->Width(), 300);
  EXPECT_TRUE(main->LFileName->text().isEmpty());
  main->CtrlThumbsHost->viewport()->repaint();
  Click(main->CtrlThumbsHost, ThumbCentre(1));
  EXPECT_EQ(main->CtrlThumbs->SelectedImage(), 1);
  EXPECT_EQ(main->LFileName->text(), "b.jpg");
  EXPECT_EQ(main->LFileSize->text().toStdString(),
            std::to_string(fs::file_size(dir.File("b.jpg")) / 1024) + " kbytes");
  EXPECT_EQ(main->LFileDims->text(), "640 x 480");
  EXPECT_EQ(main->ThumbDisplay()->SelectedPath, dir.File("b.jpg"));
  // The preview shows the blue picture.
  main->CtrlImageHost->viewport()->repaint();
  const QImage preview = main->CtrlImageHost->viewport()->grab().toImage();
  const QColor c = preview.pixelColor(preview.width() / 2, preview.height() / 2);
  EXPECT_GT(c.blue(), 200);
  EXPECT_LT(c.red(), 60);
  EXPECT_TRUE(reports.empty());
}

TEST_F(ThumbWindowTest, DragFromTheGridFillsTheAreaUnderThePointer) {
  main->CtrlDirChange(dir.Path().string());
  main->CtrlThumbsHost->viewport()->repaint();
  Click(main->CtrlThumbsHost, ThumbCentre(0));
  // The drag carries what the grid's press selected.
  EXPECT_EQ(main->CtrlThumbsMouseDown(), std::vector<std::string>{dir.File("a.png")});
  // Before a layout is chosen only the locked sheet is there: refused.
  const QPoint sheet = AreaCentre(0);
  EXPECT_FALSE(main->CtrlVectDragOver(sheet.x(), sheet.y()));
  EXPECT_EQ(main->CtrlVect->DropTargetLayer(), -1);
  main->Layout()->LoadLayout("2 4x6");
  testutil::Settle();
  const QPoint area = AreaCentre(2);
  // Over an area: taken, and that area is outlined until the drag leaves.
  EXPECT_TRUE(main->CtrlVectDragOver(area.x(), area.y()));
  EXPECT_EQ(main->CtrlVect->DropTargetLayer(), 2);
  main->CtrlVectHost->viewport()->repaint();
  const QImage shot = main->CtrlVectHost->viewport()->grab().toImage();
  const TRect r = main->CtrlVect->Layer(2)->ScreenRect;
  const QColor ring = shot.pixelColor(r.Left - 2, (r.Top + r.Bottom) / 2);
  EXPECT_EQ(ring, QColor(0xFF, 0xC0, 0x00));
  EXPECT_FALSE(main->CtrlVectDragOver(2, 2));  // off the page: refused, no outline
  EXPECT_EQ(main->CtrlVect->DropTargetLayer(), -1);
  EXPECT_TRUE(main->CtrlVectDragOver(area.x(), area.y()));
  main->CtrlVectHost->OnDragLeave();
  EXPECT_EQ(main->CtrlVect->DropTargetLayer(), -1);
  // The drop from the grid (no files) brings the selected picture.
  main->CtrlVectDragDrop(area.x(), area.y(), {});
  EXPECT_EQ(main->Layout()->Areas[1]->FileName, dir.File("a.png"));
  EXPECT_TRUE(reports.empty());
  // A picture renamed away between the selection and the drop: reported,
  // the area keeps what it had.
  Click(main->CtrlThumbsHost, ThumbCentre(1));
  fs::rename(dir.File("b.jpg"), dir.File("c.jpg"));
  main->CtrlVectDragDrop(area.x(), area.y(), {});
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(main->Layout()->Areas[1]->FileName, dir.File("a.png"));
}

TEST_F(ThumbWindowTest, SavedPageOpensWithOneMessageForItsMissingPictures) {
  main->Layout()->LoadLayout("2 4x6");
  testutil::Settle();
  const QPoint top = AreaCentre(1), bottom = AreaCentre(2);
  main->CtrlVectDragDrop(top.x(), top.y(), {dir.File("a.png")});
  main->CtrlVectDragDrop(bottom.x(), bottom.y(), {dir.File("b.jpg")});
  main->CtrlVect->Layer(1)->Left += 30;
  main->SavePageFile(dir.File("p.pictrova"));
  ASSERT_TRUE(reports.empty()) << reports.front();
  fs::remove(dir.File("b.jpg"));
  const int32_t left = main->CtrlVect->Layer(1)->Left;
  main->Layout()->LoadLayout("2 4x6");
  main->OpenPageFile(dir.File("p.pictrova"));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("b.jpg"), std::string::npos) << reports[0];
  EXPECT_EQ(main->Layout()->Areas[0]->FileName, dir.File("a.png"));
  EXPECT_TRUE(main->Layout()->Areas[1]->FileName.empty());
  EXPECT_EQ(main->CtrlVect->Layer(1)->Left, left);
  EXPECT_FALSE(main->PnlWarning->isVisible());
  // A damaged page is one message naming the file and the line.
  testutil::WriteFileBytes(dir.File("bad.pictrova"), "layout=2 4x6\nx=1\n");
  main->OpenPageFile(dir.File("bad.pictrova"));
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[1].find("bad.pictrova:2:"), std::string::npos) << reports[1];
  EXPECT_EQ(main->Layout()->Areas[0]->FileName, dir.File("a.png"));  // the page is unchanged
}

}  // namespace
