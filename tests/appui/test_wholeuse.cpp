// The whole use of the main window on an X server of the test's own, with
// real clicks and a real drag (xdotool through the server): the tree shows
// the desktop's folders, a click on a folder fills the thumbnails, a click on
// a thumbnail shows the picture and its information, dragging the thumbnail
// onto an area of "2 4x6" places it there, and the printed PDF has it at the
// area's inches.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QProcess>
#include <QTreeWidget>
#include <QWindow>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "app/AboutDlg.h"
#include "app/PicPrintDlg.h"
#include "app/layout.h"
#include "app/thumbdisplay.h"
#include "browse/imagingmview.h"
#include "browse/pxshelltree.h"
#include "imaging/io/imagingio.h"
#include "imaging/view/imagingview.h"
#include "platform/pxguard.h"
#include "platform/pxprinter.h"
#include "platform/pxshelltreewidget.h"
#include "platform/pxviewwidget.h"
#include "util/qtapp.h"
#include "util/testutil.h"
#include "util/xserver.h"

namespace {

namespace fs = std::filesystem;

bool PumpUntil(const std::function<bool()>& condition, int seconds = 60) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void Pump(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  PumpUntil([&] { return std::chrono::steady_clock::now() >= end; });
}

// xdotool against the test's display while the event loop keeps turning
// (a drag runs its own loop inside ours).
void XdoTool(const QStringList& args) {
  QProcess p;
  p.start("xdotool", args);
  ASSERT_TRUE(p.waitForStarted(10000)) << "xdotool is missing";
  ASSERT_TRUE(PumpUntil([&] { return p.state() == QProcess::NotRunning; }));
  ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
}

void MoveTo(QPoint global) {
  XdoTool({"mousemove", QString::number(global.x()), QString::number(global.y())});
}

void ClickAt(QPoint global) {
  MoveTo(global);
  XdoTool({"click", "1"});
}

TEST(WholeUse, FolderThumbnailDragAndPrint) {
  testutil::XServer server(1280, 1024);
  setenv("DISPLAY", server.Display().c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  testutil::QtApp();
  ASSERT_EQ(QGuiApplication::platformName(), "xcb");
  std::vector<std::string> reports;
  PxSetErrorHandler([&](const char* m) { reports.emplace_back(m); });

  testutil::TempDir dir;
  const std::string folder = dir.File("Holiday 2026");
  fs::create_directory(folder);
  {
    TPxBitmap red(600, 900, pxRGB24);
    red.Fill(0x2020E0);  // a portrait red picture, as a 4 x 6 area is
    TImagingIO io;
    io.SetTargetBitmap(&red);
    io.Params.JpegQuality = 95;
    io.SaveToFile(folder + "/IMG_1.jpg");
    TPxBitmap blue(300, 200, pxRGB24);
    blue.Fill(0xE02020);
    io.SetTargetBitmap(&blue);
    io.SaveToFile(folder + "/IMG_2.png");
  }
  const std::string picture = folder + "/IMG_1.jpg";

  auto main = std::make_unique<TDPicPrint>();
  auto about = std::make_unique<TDAbout>(main.get());
  main->move(0, 0);
  main->show();
  ASSERT_TRUE(PumpUntil([&] { return main->windowHandle() && main->windowHandle()->isExposed(); }));
  about->hide();
  Pump(200);

  // The tree shows the desktop with its places.
  QTreeWidget* tree = main->CtrlDir;
  ASSERT_GE(tree->topLevelItemCount(), 1);
  QTreeWidgetItem* root = tree->topLevelItem(0);
  EXPECT_EQ(root->text(0), "Desktop");
  bool computer = false;
  for (int i = 0; i < root->childCount(); ++i) computer |= root->child(i)->text(0) == "Computer";
  EXPECT_TRUE(computer);

  // Down to the folder's parent from code; the folder itself is clicked.
  ASSERT_TRUE(main->CtrlDir->Tree().SelectPath(dir.Path().string()));
  main->CtrlDir->Tree().Expand(main->CtrlDir->Tree().Selected());
  Pump(100);
  TPxShellTreeNode* node = main->CtrlDir->Tree().FindNode(folder);
  ASSERT_NE(node, nullptr);
  QTreeWidgetItem* item = main->CtrlDir->ItemOf(node);
  ASSERT_NE(item, nullptr);
  tree->scrollToItem(item);
  Pump(100);
  const QRect itemRect = tree->visualItemRect(item);
  ClickAt(tree->viewport()->mapToGlobal(itemRect.center()));
  ASSERT_TRUE(PumpUntil([&] { return main->CtrlThumbs->ImageCount() == 2; }))
      << main->CtrlDir->SelectedFolder();
  EXPECT_EQ(main->ThumbDisplay()->Folder, folder);

  // A click on the first thumbnail: preview and information.
  TImagingMView* grid = main->CtrlThumbs;
  ASSERT_TRUE(PumpUntil([&] { return grid->HasCellPicture(0) || grid->HasImage(0); }));
  const QPoint thumb = main->CtrlThumbsHost->viewport()->mapToGlobal(
      QPoint(grid->ImageX(0) - grid->ViewX() + 64, grid->ImageY(0) - grid->ViewY() + 50));
  ClickAt(thumb);
  ASSERT_TRUE(PumpUntil([&] { return main->LFileName->text() == "IMG_1.jpg"; }));
  EXPECT_EQ(main->LFileSize->text().toStdString(), std::to_string(fs::file_size(picture) / 1024) + " kbytes");
  EXPECT_EQ(main->LFileDims->text(), "600 x 900");

  // The layout, then the drag from the thumbnail onto the lower area.
  main->Layout()->LoadLayout("2 4x6");
  Pump(200);
  const TRect area = main->CtrlVect->Layer(2)->ScreenRect;
  const QPoint target = main->CtrlVectHost->viewport()->mapToGlobal(
      QPoint((area.Left + area.Right) / 2, (area.Top + area.Bottom) / 2));
  // While over the area, that area is outlined.
  bool outlined = false;
  auto over = main->CtrlVectHost->OnDragOver;
  main->CtrlVectHost->OnDragOver = [&](int32_t x, int32_t y) {
    const bool taken = over(x, y);
    outlined = outlined || main->CtrlVect->DropTargetLayer() == 2;
    return taken;
  };
  // One xdotool run for the whole gesture: once the drag has begun, our
  // event loop turns inside it and starts no further commands.
  QStringList gesture = {"mousemove", QString::number(thumb.x()), QString::number(thumb.y()),
                         "mousedown", "1"};
  auto moveTo = [&](QPoint p) {
    gesture << "sleep" << "0.05" << "mousemove" << QString::number(p.x()) << QString::number(p.y());
  };
  for (int step = 1; step <= 4; ++step) moveTo(thumb + QPoint(6 * step, 6 * step));
  for (int step = 1; step <= 8; ++step) moveTo(thumb + (target - thumb) * step / 8);
  gesture << "sleep" << "0.3" << "mouseup" << "1";
  QProcess drag;
  drag.start("xdotool", gesture);
  ASSERT_TRUE(drag.waitForStarted(10000));
  ASSERT_TRUE(PumpUntil([&] { return main->Layout()->Areas[1]->FileName == picture; }))
      << "the drop did not place the picture";
  ASSERT_TRUE(PumpUntil([&] { return drag.state() == QProcess::NotRunning; }));
  EXPECT_TRUE(outlined);
  EXPECT_TRUE(main->Layout()->Areas[0]->FileName.empty());
  EXPECT_EQ(main->CtrlVect->DropTargetLayer(), -1);
  EXPECT_TRUE(reports.empty()) << (reports.empty() ? "" : reports.front());

  // Printed to a PDF: the picture at the area's inches.
  const TPxLayer& layer = *main->CtrlVect->Layer(2);
  {
    std::unique_ptr<TPxPrintJob> job = PxNewPdfPrintJob(dir.File("page.pdf"));
    main->Layout()->PrintPage(*job);
  }
  auto r = testutil::RunCommand("pdftoppm -r 100 -png -singlefile '" + dir.File("page.pdf") + "' '" +
                                dir.File("page") + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  const QImage page = QImage(QString::fromStdString(dir.File("page.png"))).convertToFormat(QImage::Format_RGB32);
  QRect box;
  for (int y = 0; y < page.height(); ++y)
    for (int x = 0; x < page.width(); ++x) {
      const QRgb p = page.pixel(x, y);
      if (qRed(p) > 180 && qGreen(p) < 80 && qBlue(p) < 80) box |= QRect(x, y, 1, 1);
    }
  EXPECT_NEAR(box.left(), layer.Left, 2);
  EXPECT_NEAR(box.top(), layer.Top, 2);
  EXPECT_NEAR(box.width(), layer.Width, 2);
  EXPECT_NEAR(box.height(), layer.Height, 2);

  PxSetErrorHandler({});
  about.reset();
  main.reset();
  for (const char* f : {"app.inf", "layer0.jpg", "layer0s.jpg", "layer1.jpg", "layer1s.jpg", "t.png"})
    fs::remove(ProgramFolder() + f);
}

}  // namespace
