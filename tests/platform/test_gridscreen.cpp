// The thumbnail grid in a real window on an X server of the test's own:
// 2000 picture files, filled as the program fills a folder, scrolled with
// real keys and wheel turns (xdotool, through the X server) while the
// background loaders fill it in. What is checked is what the screen shows,
// grabbed from the X server; the grabs are kept in the build folder
// (tests/gridscreen-*.png) for a person to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QScreen>
#include <QWindow>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "browse/imagingmview.h"
#include "imaging/io/imagingio.h"
#include "platform/pxviewwidget.h"
#include "util/qtapp.h"
#include "util/testutil.h"
#include "util/xserver.h"

namespace {

constexpr int kEntries = 2000;

// The colour reference of picture i: every picture differs from its neighbours.
uint32_t ColorOf(int i) {
  const uint32_t r = uint32_t(i * 37 + 40) % 200 + 30, g = uint32_t(i * 91 + 10) % 200 + 30,
                 b = uint32_t(i * 53 + 100) % 200 + 30;
  return r | g << 8 | b << 16;
}

bool Near(const QColor& c, uint32_t ref) {
  const int r = int(ref & 255), g = int(ref >> 8 & 255), b = int(ref >> 16 & 255);
  return std::abs(c.red() - r) <= 12 && std::abs(c.green() - g) <= 12 &&
         std::abs(c.blue() - b) <= 12;
}

void Pump(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Keeps the event loop turning until the condition holds; false after a
// generous time (nothing here measures speed).
bool PumpUntil(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Runs xdotool against the test's display; the event loop keeps turning meanwhile.
void XdoTool(const QStringList& args) {
  QProcess p;
  p.start("xdotool", args);
  ASSERT_TRUE(p.waitForStarted(10000)) << "xdotool is missing";
  ASSERT_TRUE(PumpUntil([&] { return p.state() == QProcess::NotRunning; }));
  ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
}

class GridScreen : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new testutil::XServer(1024, 768);
    setenv("DISPLAY", server_->Display().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    testutil::QtApp();
  }
  static void TearDownTestSuite() {
    // The QApplication lives on (see qtapp.h) but handles no more events.
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    for (int i = 0; i < kEntries; ++i) {
      TPxBitmap b(64, 48, pxRGB24);
      b.Fill(double(ColorOf(i)));
      TImagingIO io;
      io.SetTargetBitmap(&b);
      io.Params.JpegQuality = 95;
      io.SaveToFile(dir_.File("IMG_" + std::to_string(i) + ".jpg"));
      ASSERT_FALSE(io.Aborting);
    }
    auto g = std::make_unique<TImagingMView>();
    grid_ = g.get();
    // The program's settings for the folder thumbnails.
    grid_->SetStoreType(pxtThumb);
    grid_->SetThumbWidth(128);
    grid_->SetThumbHeight(128);
    grid_->SetGridWidth(-1);
    grid_->SetStyle(pxmsFlat);
    grid_->SetSelectionColor(clNavy);
    grid_->SetImageCacheSize(100);
    grid_->SetThumbnailsBorderColor(clBlack);
    widget_ = std::make_unique<TPxViewWidget>(std::move(g));
    widget_->move(0, 0);
    widget_->resize(800, 420);
    widget_->show();
    ASSERT_TRUE(PumpUntil([&] {
      return widget_->windowHandle() && widget_->windowHandle()->isExposed();
    }));
    // As the program fills a folder.
    grid_->Clear();
    grid_->LockUpdate();
    for (int i = 0; i < kEntries; ++i) {
      const int k = grid_->AppendImage();
      grid_->SetImageFileName(k, dir_.File("IMG_" + std::to_string(i) + ".jpg"));
      grid_->ImageBottomText(k)->SetCaption("IMG_" + std::to_string(i) + ".jpg");
    }
    grid_->UnlockUpdate();
    grid_->SetSelectedImage(0);
    widget_->activateWindow();
    widget_->setFocus();
  }

  void TearDown() override { widget_.reset(); }

  // The window's client area as the X server shows it.
  QImage Grab(const std::string& name) {
    QWidget* vp = widget_->viewport();
    const QPoint at = vp->mapToGlobal(QPoint(0, 0));
    const QImage shot =
        QGuiApplication::primaryScreen()->grabWindow(0, at.x(), at.y(), vp->width(), vp->height()).toImage();
    shot.save(QString::fromStdString(std::string(PICTROVA_BIN_DIR) + "/../tests/gridscreen-" +
                                     name + ".png"));
    return shot;
  }

  bool VisibleLoaded() {
    for (int i = 0; i < grid_->ImageCount(); ++i)
      if (grid_->IsImageVisible(i) && !grid_->HasImage(i) && !grid_->HasCellPicture(i)) return false;
    return true;
  }

  // Every cell entirely on screen shows its own picture; returns how many.
  int CheckCells(const QImage& shot) {
    int checked = 0;
    for (int i = 0; i < grid_->ImageCount(); ++i) {
      if (grid_->IsImageVisible(i) != 2) continue;
      // A 64 x 48 picture is enlarged to 128 x 96 above the caption band.
      const int x = grid_->ImageX(i) - grid_->ViewX() + 64;
      const int y = grid_->ImageY(i) - grid_->ViewY() + 56;
      const QColor c = shot.pixelColor(x, y);
      EXPECT_TRUE(Near(c, ColorOf(i))) << "entry " << i << " at " << x << "," << y << " shows "
                                       << c.name().toStdString();
      ++checked;
    }
    return checked;
  }

  // Loads visible entries, then compares the screen with the pictures.
  void ExpectFilledScreen(const std::string& name) {
    ASSERT_TRUE(PumpUntil([&] { return VisibleLoaded(); }));
    Pump(150);  // the repaint that the last load asked for
    EXPECT_GE(CheckCells(Grab(name)), 6);
  }

  std::string WindowId() const { return std::to_string(widget_->window()->winId()); }

  static testutil::XServer* server_;
  testutil::TempDir dir_;
  TImagingMView* grid_ = nullptr;
  std::unique_ptr<TPxViewWidget> widget_;
};

testutil::XServer* GridScreen::server_ = nullptr;

TEST_F(GridScreen, ScrollsWithKeysAndWheelWhileItFillsIn) {
  ExpectFilledScreen("first");
  // Far fewer than all: only visible entries were loaded.
  int stored = 0;
  for (int i = 0; i < kEntries; ++i) stored += grid_->HasImage(i);
  EXPECT_LT(stored, 60);

  XdoTool({"windowfocus", "--sync", QString::fromStdString(WindowId())});
  // Three pages down at once: the grid moves on at each key, without
  // waiting for the loads the last one started.
  XdoTool({"key", "--delay", "30", "Next", "Next", "Next"});
  Pump(100);
  const int32_t afterPages = grid_->ViewY();
  EXPECT_GT(afterPages, 2 * 128);
  EXPECT_GE(grid_->SelectedImage(), 3 * 6);
  EXPECT_NE(grid_->IsImageVisible(grid_->SelectedImage()), 0);
  ExpectFilledScreen("pages");

  // To the end of the folder and its last pictures.
  XdoTool({"key", "End"});
  ASSERT_TRUE(PumpUntil([&] { return grid_->SelectedImage() == kEntries - 1; }));
  EXPECT_EQ(grid_->ViewY(), grid_->MaxViewY());
  ExpectFilledScreen("end");

  // Five wheel notches up over the window.
  const QPoint centre = widget_->viewport()->mapToGlobal(QPoint(400, 200));
  XdoTool({"mousemove", QString::number(centre.x()), QString::number(centre.y())});
  const int32_t before = grid_->ViewY();
  XdoTool({"click", "--repeat", "5", "--delay", "30", "4"});
  ASSERT_TRUE(PumpUntil([&] { return grid_->ViewY() < before; }));
  Pump(100);
  EXPECT_EQ(before - grid_->ViewY(), 5 * (128 + grid_->VertBorder()));
  ExpectFilledScreen("wheel");

  // And home again; the memory of the store stayed bounded on the way.
  XdoTool({"key", "Home"});
  ASSERT_TRUE(PumpUntil([&] { return grid_->ViewY() == 0; }));
  EXPECT_EQ(grid_->SelectedImage(), 0);
  ExpectFilledScreen("home");
}

}  // namespace
