// The thumbnail grid hosted by the Qt view widget: it paints its cells, a
// click selects, a key moves the selection, the wheel and the scroll bar scroll.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QWheelEvent>
#include <vector>

#include "browse/imagingmview.h"
#include "imaging/core/pxutils.h"
#include "platform/pxviewwidget.h"
#include "util/qtapp.h"

namespace {

struct HostedGrid {
  explicit HostedGrid(int entries) {
    testutil::QtApp();
    auto g = std::make_unique<TImagingMView>();
    grid = g.get();
    grid->SetBackground(clWhite);
    grid->SetGridWidth(-1);  // as many columns as the client holds
    TPxBitmap red;
    red.Allocate(96, 96, pxRGB24);
    for (int y = 0; y < 96; ++y) {
      uint8_t* row = red.Scanline(y);
      for (int x = 0; x < 96; ++x) row[x * 3] = 0, row[x * 3 + 1] = 0, row[x * 3 + 2] = 255;
    }
    grid->LockUpdate();
    for (int i = 0; i < entries; ++i) {
      grid->InsertImageNoSelect(i);
      grid->SetImage(i, &red);
    }
    grid->UnlockUpdate();
    grid->OnImageSelect = [this](TImagingMView*, int i) { selected.push_back(i); };
    widget = std::make_unique<TPxViewWidget>(std::move(g));
    widget->resize(420, 320);
    widget->show();
    QCoreApplication::processEvents();
  }
  QPoint CellCentre(int i) const {
    return QPoint(grid->ImageX(i) + grid->ThumbWidth() / 2 - grid->ViewX(),
                  grid->ImageY(i) + grid->ThumbHeight() / 2 - grid->ViewY());
  }
  void Send(QEvent::Type type, QPoint p, Qt::MouseButton b, Qt::MouseButtons held) {
    QMouseEvent e(type, p, widget->viewport()->mapToGlobal(p), b, held, Qt::NoModifier);
    QApplication::sendEvent(widget->viewport(), &e);
  }
  void Key(int key) {
    QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(widget.get(), &e);
  }
  QImage Shot() { return widget->viewport()->grab().toImage(); }
  TImagingMView* grid;
  std::unique_ptr<TPxViewWidget> widget;
  std::vector<int> selected;
};

int CountRed(const QImage& image) {
  int n = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.red() > 240 && c.green() < 15 && c.blue() < 15) ++n;
    }
  return n;
}

TEST(GridWidget, PaintsTheStoredThumbnails) {
  HostedGrid empty(0);
  EXPECT_EQ(CountRed(empty.Shot()), 0);
  HostedGrid h(30);
  const QImage shot = h.Shot();
  EXPECT_GT(h.widget->PaintCount(), 0);
  // The first cell's picture shows where the grid put it.
  const QColor c = shot.pixelColor(h.CellCentre(0));
  EXPECT_GT(c.red(), 240);
  EXPECT_LT(c.green(), 15);
  EXPECT_GT(CountRed(shot), 4 * 80 * 80);
}

TEST(GridWidget, ClickSelectsTheCellUnderThePointer) {
  HostedGrid h(30);
  h.Send(QEvent::MouseButtonPress, h.CellCentre(1), Qt::LeftButton, Qt::LeftButton);
  h.Send(QEvent::MouseButtonRelease, h.CellCentre(1), Qt::LeftButton, Qt::NoButton);
  EXPECT_EQ(h.grid->SelectedImage(), 1);
  EXPECT_EQ(h.selected, std::vector<int>{1});
}

TEST(GridWidget, ArrowKeyMovesTheSelection) {
  HostedGrid h(30);
  h.grid->SetSelectedImage(0);
  h.selected.clear();
  h.Key(Qt::Key_Right);
  EXPECT_EQ(h.grid->SelectedImage(), 1);
  EXPECT_EQ(h.selected, std::vector<int>{1});
  h.Key(Qt::Key_Down);
  EXPECT_EQ(h.grid->ImageRow(h.grid->SelectedImage()), 1);
  EXPECT_EQ(h.grid->ImageCol(h.grid->SelectedImage()), 1);
}

TEST(GridWidget, WheelAndScrollBarScroll) {
  HostedGrid h(60);
  ASSERT_EQ(h.grid->ViewY(), 0);
  ASSERT_GT(h.grid->MaxViewY(), 0);
  const QPoint p(20, 20);
  QWheelEvent down(p, h.widget->viewport()->mapToGlobal(p), QPoint(), QPoint(0, -120),
                   Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(h.widget->viewport(), &down);
  const int32_t step = h.grid->ThumbHeight() + h.grid->VertBorder();
  EXPECT_EQ(h.grid->ViewY(), step);
  // The bar follows the view, and moving the bar moves the view.
  EXPECT_EQ(h.widget->verticalScrollBar()->value(),
            int(h.grid->ViewY() / h.grid->VertScrollFactor() + 0.5));
  const QImage before = h.Shot();
  h.widget->verticalScrollBar()->setValue(h.widget->verticalScrollBar()->maximum());
  QCoreApplication::processEvents();
  EXPECT_EQ(h.grid->ViewY(), h.grid->MaxViewY());
  EXPECT_NE(h.Shot(), before);
}

}  // namespace
