// A Qt widget that hosts any of our views: it shows the view's back buffer
// and passes paint, mouse, wheel, key, focus, scroll-bar and timer events on
// in client pixels, sets the cursors the view asks for, and reports drags.
#pragma once

#include <QAbstractScrollArea>
#include <QFont>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "imaging/view/pxhost.h"

class QTimer;

class TPxViewWidget : public QAbstractScrollArea, public TPxViewHost {
  Q_OBJECT

 public:
  // The widget owns the view.
  TPxViewWidget(std::unique_ptr<TPxHostedView> view, QWidget* parent = nullptr);
  ~TPxViewWidget() override;

  TPxHostedView* View() const { return view_.get(); }

  // Drag and drop over the view, in client pixels. OnDragOver answers whether
  // a drop would be taken there; OnDragDrop gets the local files dropped
  // (empty for drags that carry none, such as thumbnails of our own grid).
  std::function<bool(int32_t x, int32_t y)> OnDragOver;
  std::function<void(int32_t x, int32_t y, const std::vector<std::string>& files)> OnDragDrop;
  // The drag left the view, or ended over it.
  std::function<void()> OnDragLeave;
  // Drags out of the view: once a button is held and the pointer has moved
  // DragThreshold pixels (0: never), OnStartDrag names the files to carry;
  // none starts no drag. Such a drag arrives at OnDragDrop without files
  // (the receiver knows what our own drags bring), at other programs with them.
  int DragThreshold = 0;
  std::function<std::vector<std::string>()> OnStartDrag;
  // A context menu asked for over the view (right button or menu key), in
  // client pixels; unset, the request goes on to the parent.
  std::function<void(int32_t x, int32_t y)> OnContextMenu;
  // A button released over the view, after the view has handled it.
  std::function<void(TPxMouseButton button, TPxShiftState shift, int32_t x, int32_t y)> OnMouseUp;

  // TPxViewHost
  void HostInvalidate() override;
  void HostRepaintNow() override;
  void HostSetCursor(int32_t cursor) override;
  void HostSetScrollBar(bool horizontal, bool visible, int32_t max, int32_t page,
                        int32_t pos) override;
  void HostSetTimer(int32_t id, int32_t intervalMs) override;
  void HostPointerPos(int32_t& x, int32_t& y) const override;
  void HostSetFocus() override;
  bool HostMeasureText(const std::u16string& text, const TPxFont& font, int32_t& width,
                       int32_t& height) override;
  void HostDrawText(TPxBitmap& target, const std::u16string& text, const TPxFont& font,
                    uint32_t color, int32_t x, int32_t y, int32_t clipLeft, int32_t clipTop,
                    int32_t clipRight, int32_t clipBottom) override;
  void HostPostInvalidate() override;

  // Times the back buffer was composed or shown, for tests.
  int PaintCount() const { return paints_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  // Tooltips come from the view (the text of a badge under the pointer).
  bool viewportEvent(QEvent* event) override;

 private:
  void NotifySize();
  QFont FontFor(const TPxFont& font) const;

  std::unique_ptr<TPxHostedView> view_;
  // Set once: HostPostInvalidate reads it from worker threads.
  QWidget* postTarget_ = nullptr;
  std::map<int32_t, QTimer*> timers_;
  bool settingBars_ = false;
  // A press that may become a drag out of the view.
  bool dragArmed_ = false;
  QPoint pressAt_;
  TPxMouseButton pressButton_ = mbLeft;
  int paints_ = 0;
};

// The shift state of a Qt input event as our views see it.
TPxShiftState PxShiftState(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons);
