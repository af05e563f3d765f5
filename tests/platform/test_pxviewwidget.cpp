#include "platform/pxviewwidget.h"

#include <gtest/gtest.h>

#include "util/qtapp.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMimeData>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QThread>
#include <QUrl>
#include <thread>

#include "imaging/core/pxutils.h"

namespace {

QApplication& App() { return testutil::QtApp(); }

// A view whose buffer is red at the top half and blue below, recording input.
class FakeView : public TPxHostedView {
 public:
  void HostResized(int32_t cw, int32_t ch, int32_t w, int32_t h) override {
    client = {cw, ch}, control = {w, h};
    buffer.Allocate(cw, ch, pxRGB24);
    for (int y = 0; y < ch; ++y) {
      uint8_t* row = buffer.Scanline(y);
      for (int x = 0; x < cw; ++x) {
        row[x * 3] = y < ch / 2 ? 0 : 255;
        row[x * 3 + 1] = 0;
        row[x * 3 + 2] = y < ch / 2 ? 255 : 0;
      }
    }
  }
  TPxBitmap* HostPaint(int32_t, int32_t, int32_t, int32_t) override {
    ++composed;
    return &buffer;
  }
  void HostMouseDown(TPxMouseButton b, TPxShiftState s, int32_t x, int32_t y) override {
    events.push_back("down " + std::to_string(b) + " " + std::to_string(s) + " " + std::to_string(x) + "," + std::to_string(y));
  }
  void HostMouseMove(TPxShiftState s, int32_t x, int32_t y) override {
    events.push_back("move " + std::to_string(s) + " " + std::to_string(x) + "," + std::to_string(y));
  }
  void HostMouseUp(TPxMouseButton b, TPxShiftState, int32_t x, int32_t y) override {
    events.push_back("up " + std::to_string(b) + " " + std::to_string(x) + "," + std::to_string(y));
  }
  void HostScrolled(bool horizontal, int32_t pos) override {
    if (horizontal) hscroll = pos;
  }
  void HostTimer(int32_t id) override { ticks[id]++; }
  void HostKeyDown(int32_t key, TPxShiftState) override { keys.push_back(key); }

  QSize client, control;
  TPxBitmap buffer;
  int composed = 0;
  int hscroll = -1;
  std::map<int32_t, int> ticks;
  std::vector<std::string> events;
  std::vector<int32_t> keys;
};

struct Hosted {
  Hosted() {
    App();
    auto v = std::make_unique<FakeView>();
    view = v.get();
    widget = std::make_unique<TPxViewWidget>(std::move(v));
    widget->resize(200, 100);
    widget->show();
    QCoreApplication::processEvents();
  }
  FakeView* view;
  std::unique_ptr<TPxViewWidget> widget;
};

TEST(PxViewWidget, ShowsTheBottomUpBufferUpright) {
  Hosted h;
  EXPECT_EQ(h.view->control, QSize(200, 100));
  EXPECT_EQ(h.view->client, h.widget->viewport()->size());
  QImage shot = h.widget->viewport()->grab().toImage();
  const int w = shot.width(), hh = shot.height();
  EXPECT_EQ(QColor(shot.pixel(w / 2, 2)), QColor(255, 0, 0));
  EXPECT_EQ(QColor(shot.pixel(w / 2, hh - 3)), QColor(0, 0, 255));
  EXPECT_GE(h.view->composed, 1);
}

TEST(PxViewWidget, PassesMouseInClientPixels) {
  Hosted h;
  QWidget* vp = h.widget->viewport();
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 20), vp->mapToGlobal(QPointF(10, 20)),
                    Qt::LeftButton, Qt::LeftButton, Qt::AltModifier);
  QCoreApplication::sendEvent(vp, &press);
  QMouseEvent move(QEvent::MouseMove, QPointF(15, 25), vp->mapToGlobal(QPointF(15, 25)), Qt::NoButton,
                   Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(vp, &move);
  std::string seen;
  h.widget->OnMouseUp = [&](TPxMouseButton b, TPxShiftState, int32_t x, int32_t y) {
    seen = "after " + h.view->events.back() + ": " + std::to_string(b) + " " + std::to_string(x) + "," + std::to_string(y);
  };
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(16, 26), vp->mapToGlobal(QPointF(16, 26)),
                      Qt::RightButton, Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(vp, &release);
  EXPECT_EQ(h.view->events,
            (std::vector<std::string>{"down 0 " + std::to_string(ssAlt | ssLeft) + " 10,20",
                                      "move " + std::to_string(ssLeft) + " 15,25", "up 1 16,26"}));
  EXPECT_EQ(seen, "after up 1 16,26: 1 16,26");
}

TEST(PxViewWidget, ScrollBarsAndTimers) {
  Hosted h;
  h.widget->HostSetScrollBar(true, true, 500, 100, 40);
  QCoreApplication::processEvents();
  EXPECT_TRUE(h.widget->horizontalScrollBar()->isVisible());
  EXPECT_EQ(h.widget->horizontalScrollBar()->value(), 40);
  EXPECT_EQ(h.view->hscroll, -1);  // setting the bar is not the user scrolling
  h.widget->horizontalScrollBar()->setValue(123);
  EXPECT_EQ(h.view->hscroll, 123);
  h.widget->HostSetScrollBar(true, false, 0, 1, 0);
  QCoreApplication::processEvents();
  EXPECT_FALSE(h.widget->horizontalScrollBar()->isVisible());

  h.widget->HostSetTimer(7, 5);
  QElapsedTimer t;
  t.start();
  while (h.view->ticks[7] < 2 && t.elapsed() < 2000) {
    QCoreApplication::processEvents();
    QThread::msleep(1);
  }
  EXPECT_GE(h.view->ticks[7], 2);
  h.widget->HostSetTimer(7, 0);
  const int ticks = h.view->ticks[7];
  QThread::msleep(30);
  QCoreApplication::processEvents();
  EXPECT_EQ(h.view->ticks[7], ticks);
}

TEST(PxViewWidget, DropsOnlyWhereTheViewAccepts) {
  Hosted h;
  std::vector<std::string> dropped;
  h.widget->OnDragOver = [](int32_t x, int32_t) { return x < 50; };
  h.widget->OnDragDrop = [&](int32_t, int32_t, const std::vector<std::string>& files) { dropped = files; };
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile("/tmp/a.jpg"), QUrl("http://example.invalid/b.jpg")});
  // A drop reaches the widget that took the drag as it entered.
  auto drop = [&](int x) {
    QDragEnterEvent enter(QPoint(x, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(h.widget->viewport(), &enter);
    QDragMoveEvent over(QPoint(x, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(h.widget->viewport(), &over);
    const bool accepted = over.isAccepted();
    QDropEvent done(QPointF(x, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(h.widget->viewport(), &done);
    return accepted;
  };
  EXPECT_FALSE(drop(80));
  EXPECT_TRUE(dropped.empty());
  EXPECT_TRUE(drop(20));
  EXPECT_EQ(dropped, std::vector<std::string>{"/tmp/a.jpg"});
}

// Pixels of a 24-bit bitmap that are not white, and whether all lie inside a rectangle.
int InkInside(TPxBitmap& b, int left, int top, int right, int bottom, int& outside) {
  int inside = 0;
  outside = 0;
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* row = b.Scanline(y);
    for (int x = 0; x < b.Width(); ++x) {
      if (row[x * 3] == 255 && row[x * 3 + 1] == 255 && row[x * 3 + 2] == 255) continue;
      if (x >= left && x < right && y >= top && y < bottom) ++inside;
      else ++outside;
    }
  }
  return inside;
}

TEST(PxViewWidget, MeasuresAndDrawsTextClipped) {
  Hosted h;
  int32_t w1 = 0, h1 = 0, w2 = 0, h2 = 0;
  ASSERT_TRUE(h.widget->HostMeasureText(u"W", TPxFont{}, w1, h1));
  ASSERT_TRUE(h.widget->HostMeasureText(u"WWWW", TPxFont{}, w2, h2));
  EXPECT_GT(w1, 0);
  EXPECT_GT(h1, 0);
  EXPECT_GT(w2, 3 * w1);
  EXPECT_EQ(h1, h2);
  int32_t bw = 0, bh = 0;
  h.widget->HostMeasureText(u"W", TPxFont{"Arial", 60, true}, bw, bh);
  EXPECT_GT(bh, 2 * h1);  // a font of its own size

  TPxBitmap b(80, 40, pxRGB24);
  b.Fill(0xFFFFFF);
  // Clipped to the left half: ink only there, and only in the text colour's hue.
  h.widget->HostDrawText(b, u"WWWWWWWWWW", TPxFont{}, 0x0000FF, 0, 5, 0, 0, 40, 40);
  int outside = 0;
  EXPECT_GT(InkInside(b, 0, 5, 40, 5 + h1, outside), 0);
  EXPECT_EQ(outside, 0);
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) EXPECT_EQ(b.Scanline(y)[x * 3 + 2], 255);  // red stays full
}

TEST(PxViewWidget, NavigationKeysReachTheViewAsVirtualKeys) {
  Hosted h;
  for (int key : {int(Qt::Key_PageUp), int(Qt::Key_PageDown), int(Qt::Key_End), int(Qt::Key_Home),
                  int(Qt::Key_Left), int(Qt::Key_Up), int(Qt::Key_Right), int(Qt::Key_Down),
                  int(Qt::Key_Exclam), int(Qt::Key_A)}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(h.widget.get(), &press);
  }
  EXPECT_EQ(h.view->keys, (std::vector<int32_t>{vkPrior, vkNext, vkEnd, vkHome, vkLeft, vkUp,
                                                vkRight, vkDown, 0, int32_t(Qt::Key_A)}));
}

TEST(PxViewWidget, RepaintAskedFromAnotherThreadArrives) {
  Hosted h;
  QCoreApplication::processEvents();
  const int before = h.widget->PaintCount();
  std::thread worker([&] { h.widget->HostPostInvalidate(); });
  worker.join();
  QElapsedTimer t;
  t.start();
  while (h.widget->PaintCount() == before && t.elapsed() < 5000) {
    QCoreApplication::processEvents();
    QThread::msleep(1);
  }
  EXPECT_GT(h.widget->PaintCount(), before);
}

}  // namespace
