#include <gtest/gtest.h>

#include "util/qtapp.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTextBrowser>
#include <QTimer>
#include <QThread>
#include <QWindow>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/AboutDlg.h"
#include "app/HelpDlg.h"
#include "app/ImageMapDlg.h"
#include "app/PicPrintDlg.h"
#include "util/testutil.h"

namespace {

QApplication& App() { return testutil::QtApp(); }

// Runs the event loop until `ms` milliseconds after `since`.
void RunUntil(const QElapsedTimer& since, int ms) {
  while (since.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(2);
  }
}

// Runs the event loop until done() holds; a loaded machine may deliver
// timers late, so the deadline is generous.
bool RunUntilDone(const std::function<bool()>& done, int deadlineMs = 10000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > deadlineMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(2);
  }
  return true;
}

// The windows as start-up makes them, in its order.
struct Windows {
  Windows()
      : started(Started()),
        main(std::make_unique<TDPicPrint>()),
        imageMap(std::make_unique<TDImageMap>(main.get())),
        help(std::make_unique<TDHelp>(main.get())),
        about(std::make_unique<TDAbout>(main.get())) {
    main->show();
  }
  ~Windows() {
    about.reset();
    help.reset();
    imageMap.reset();
    main.reset();
  }
  static QElapsedTimer Started() {
    QElapsedTimer t;
    t.start();
    return t;
  }
  QElapsedTimer started;  // before the windows, so it never runs ahead of their timers
  std::unique_ptr<TDPicPrint> main;
  std::unique_ptr<TDImageMap> imageMap;
  std::unique_ptr<TDHelp> help;
  std::unique_ptr<TDAbout> about;
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    QApplication::setApplicationName("Pictrova");
    std::filesystem::remove(inf);
  }
  void TearDown() override { std::filesystem::remove(inf); }
  const std::string inf = ProgramFolder() + "app.inf";
};

TEST_F(MainWindowTest, StartsCentredWithSplashThenRestoresPlace) {
  testutil::WriteFileBytes(inf, "WindowLeft=100\r\nWindowTop=120\r\nWindowWidth=700\r\nWindowHeight=600\r\n");
  Windows w;
  EXPECT_EQ(w.main->windowTitle(), "Pictrova 1.0 - Brindlemoor");
  EXPECT_EQ(QApplication::applicationName(), "Pictrova");
  RunUntil(w.started, 150);
  EXPECT_EQ(w.main->size(), QSize(800, 700));
  QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  // Centred up to the window frame's width.
  EXPECT_LE(std::abs(w.main->frameGeometry().center().x() - screen.center().x()), 8);
  EXPECT_LE(std::abs(w.main->frameGeometry().center().y() - screen.center().y()), 8);
  EXPECT_TRUE(w.about->isVisible());
  EXPECT_FALSE(w.about->OKButton->isVisible());

  EXPECT_EQ(w.about->CtrlSettings->interval(), 400);
  EXPECT_EQ(w.about->CtrlSplash->interval(), 1800);
  ASSERT_TRUE(RunUntilDone([&] { return !w.about->CtrlSettings->isActive(); }));
  EXPECT_EQ(w.main->frameGeometry(), QRect(100, 120, 700, 600));
  EXPECT_TRUE(w.about->isVisible());
  EXPECT_GE(w.started.elapsed(), 400);

  ASSERT_TRUE(RunUntilDone([&] { return !w.about->CtrlSplash->isActive(); }));
  EXPECT_GE(w.started.elapsed(), 1800);
  EXPECT_FALSE(w.about->isVisible());
  w.about->show();
  EXPECT_TRUE(w.about->OKButton->isVisible());
  w.about->OKButton->click();
  EXPECT_FALSE(w.about->isVisible());
}

TEST_F(MainWindowTest, CloseWritesPlaceAndExitClosesTheSameWay) {
  QRect outer;
  {
    Windows w;
    ASSERT_TRUE(RunUntilDone([&] { return !w.about->CtrlSettings->isActive(); }));
    w.main->move(40, 50);
    w.main->resize(820, 640);
    outer = w.main->frameGeometry();
    w.main->close();
  }
  XaApplication reader(nullptr);
  EXPECT_EQ(reader.GetInt("WindowLeft"), 40);
  EXPECT_EQ(reader.GetInt("WindowTop"), 50);
  EXPECT_EQ(reader.GetInt("WindowWidth"), outer.width());
  EXPECT_EQ(reader.GetInt("WindowHeight"), outer.height());
  EXPECT_GE(outer.width(), 820);

  std::filesystem::remove(inf);
  {
    Windows w;
    ASSERT_TRUE(RunUntilDone([&] { return !w.about->CtrlSettings->isActive(); }));
    w.main->MnuExit->trigger();
    EXPECT_FALSE(w.main->isVisible());
  }
  EXPECT_TRUE(std::filesystem::exists(inf));
}

TEST_F(MainWindowTest, PlaceOffEveryScreenComesBack) {
  testutil::WriteFileBytes(inf, "WindowLeft=-9000\r\nWindowTop=-9000\r\nWindowWidth=700\r\nWindowHeight=600\r\n");
  Windows w;
  ASSERT_TRUE(RunUntilDone([&] { return !w.about->CtrlSettings->isActive(); }));
  QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_TRUE(screen.intersects(w.main->frameGeometry())) << w.main->frameGeometry().x();
  EXPECT_EQ(w.main->frameGeometry().size(), QSize(700, 600));
}

// The About window has a dialog border with a title and a close button only
// (Qt pairs the close button with the window menu), and its platform window
// is told the same.
TEST_F(MainWindowTest, AboutHasACloseButtonOnly) {
  Windows w;
  ASSERT_TRUE(w.about->windowHandle());
  const Qt::WindowFlags buttons = Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint |
                                  Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint |
                                  Qt::WindowFullscreenButtonHint | Qt::WindowContextHelpButtonHint;
  for (const Qt::WindowFlags flags : {w.about->windowFlags(), w.about->windowHandle()->flags()}) {
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Dialog) << std::hex << flags.toInt();
    EXPECT_EQ(flags & buttons, Qt::WindowTitleHint | Qt::WindowCloseButtonHint) << std::hex << flags.toInt();
  }
}

TEST_F(MainWindowTest, MenuAndHelpPage) {
  Windows w;
  QStringList titles;
  for (QAction* a : w.main->menuBar()->actions()) titles << a->text();
  EXPECT_EQ(titles, QStringList({"&File", "&Page", "&Help"}));
  EXPECT_EQ(w.main->MnuPrinterSetup->text(), "Printer &Setup ...");
  EXPECT_EQ(w.main->MContents->text(), "&Contents ...");
  EXPECT_EQ(w.main->About1->text(), "&About ...");
  w.help->show();
  EXPECT_EQ(w.help->windowTitle(), "Help");
  EXPECT_EQ(w.help->size(), QSize(632, 452));
  EXPECT_TRUE(w.help->CtrlWeb->toPlainText().contains("Don't Crop"));
  w.help->hide();
}

}  // namespace
