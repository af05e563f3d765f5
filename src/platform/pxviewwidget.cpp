#include "platform/pxviewwidget.h"

#include <QCursor>
#include <QDragEnterEvent>
#include <QImage>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>

#include "imaging/core/pxutils.h"

TPxShiftState PxShiftState(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons) {
  TPxShiftState s = 0;
  if (modifiers & Qt::ShiftModifier) s |= ssShift;
  if (modifiers & Qt::AltModifier) s |= ssAlt;
  if (modifiers & Qt::ControlModifier) s |= ssCtrl;
  if (buttons & Qt::LeftButton) s |= ssLeft;
  if (buttons & Qt::RightButton) s |= ssRight;
  if (buttons & Qt::MiddleButton) s |= ssMiddle;
  return s;
}

namespace {

bool ToButton(Qt::MouseButton b, TPxMouseButton& out) {
  switch (b) {
    case Qt::LeftButton: out = mbLeft; return true;
    case Qt::RightButton: out = mbRight; return true;
    case Qt::MiddleButton: out = mbMiddle; return true;
    default: return false;
  }
}

Qt::CursorShape ToShape(int32_t cursor) {
  switch (cursor) {
    case crHand: return Qt::OpenHandCursor;
    case crCross: return Qt::CrossCursor;
    case crSizeNWSE: return Qt::SizeFDiagCursor;
    case crSizeNS: return Qt::SizeVerCursor;
    case crSizeNESW: return Qt::SizeBDiagCursor;
    case crSizeWE: return Qt::SizeHorCursor;
    case crMoveLayer: return Qt::SizeAllCursor;
    default: return Qt::ArrowCursor;
  }
}

std::vector<std::string> LocalFiles(const QMimeData* mime) {
  std::vector<std::string> files;
  if (!mime || !mime->hasUrls()) return files;
  for (const QUrl& url : mime->urls())
    if (url.isLocalFile()) files.push_back(url.toLocalFile().toStdString());
  return files;
}

}  // namespace

TPxViewWidget::TPxViewWidget(std::unique_ptr<TPxHostedView> view, QWidget* parent)
    : QAbstractScrollArea(parent), view_(std::move(view)) {
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setFocusPolicy(Qt::StrongFocus);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  viewport()->setMouseTracking(true);
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  viewport()->setAcceptDrops(true);
  setAcceptDrops(true);
  view_->AttachHost(this);
}

TPxViewWidget::~TPxViewWidget() {
  for (auto& [id, timer] : timers_) timer->stop();
  // The view may still ask things of its host while it goes.
  view_.reset();
}

void TPxViewWidget::NotifySize() {
  view_->HostResized(viewport()->width(), viewport()->height(), width(), height());
}

void TPxViewWidget::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  NotifySize();
}

void TPxViewWidget::paintEvent(QPaintEvent* event) {
  const QRect r = event->rect();
  TPxBitmap* buffer = view_->HostPaint(r.x(), r.y(), r.width(), r.height());
  ++paints_;
  QPainter painter(viewport());
  if (!buffer || buffer->IsEmpty() || buffer->PixelFormat() != pxRGB24) {
    painter.fillRect(r, palette().window());
    return;
  }
  TPxPlatformBitmap pb = buffer->PlatformBitmap();
  if (pb.Bits && pb.BottomUp) {
    // The buffer's rows run bottom-up: show it through a vertical flip, without a copy.
    QImage image(pb.Bits, pb.Width, pb.Height, qsizetype(pb.Stride), QImage::Format_BGR888);
    painter.setClipRect(r);
    painter.setTransform(QTransform(1, 0, 0, -1, 0, pb.Height));
    painter.drawImage(0, 0, image);
    return;
  }
  QImage image(buffer->Width(), buffer->Height(), QImage::Format_BGR888);
  for (int y = 0; y < buffer->Height(); ++y)
    std::memcpy(image.scanLine(y), buffer->Scanline(y), size_t(buffer->Width()) * 3);
  painter.drawImage(r.topLeft(), image, r);
}

void TPxViewWidget::mousePressEvent(QMouseEvent* event) {
  TPxMouseButton b;
  if (!ToButton(event->button(), b)) return;
  const QPoint p = event->position().toPoint();
  view_->HostMouseDown(b, PxShiftState(event->modifiers(), event->buttons()), p.x(), p.y());
}

void TPxViewWidget::mouseDoubleClickEvent(QMouseEvent* event) {
  TPxMouseButton b;
  if (!ToButton(event->button(), b)) return;
  const QPoint p = event->position().toPoint();
  view_->HostMouseDown(b, PxShiftState(event->modifiers(), event->buttons()) | ssDouble, p.x(), p.y());
}

void TPxViewWidget::mouseMoveEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  view_->HostMouseMove(PxShiftState(event->modifiers(), event->buttons()), p.x(), p.y());
}

void TPxViewWidget::mouseReleaseEvent(QMouseEvent* event) {
  TPxMouseButton b;
  if (!ToButton(event->button(), b)) return;
  const QPoint p = event->position().toPoint();
  const TPxShiftState shift = PxShiftState(event->modifiers(), event->buttons());
  view_->HostMouseUp(b, shift, p.x(), p.y());
  if (OnMouseUp) OnMouseUp(b, shift, p.x(), p.y());
}

void TPxViewWidget::wheelEvent(QWheelEvent* event) {
  const QPoint p = event->position().toPoint();
  view_->HostWheel(PxShiftState(event->modifiers(), event->buttons()), event->angleDelta().y(),
                   p.x(), p.y());
}

void TPxViewWidget::keyPressEvent(QKeyEvent* event) {
  view_->HostKeyDown(event->key(), PxShiftState(event->modifiers(), Qt::NoButton));
}

void TPxViewWidget::keyReleaseEvent(QKeyEvent* event) {
  view_->HostKeyUp(event->key(), PxShiftState(event->modifiers(), Qt::NoButton));
}

void TPxViewWidget::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  view_->HostFocusChanged(true);
}

void TPxViewWidget::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  view_->HostFocusChanged(false);
}

void TPxViewWidget::dragEnterEvent(QDragEnterEvent* event) {
  // Whether the drop is taken depends on the point: decided as the drag moves.
  event->acceptProposedAction();
}

void TPxViewWidget::dragMoveEvent(QDragMoveEvent* event) {
  const QPoint p = event->position().toPoint();
  if (OnDragOver && OnDragOver(p.x(), p.y()))
    event->acceptProposedAction();
  else
    event->ignore();
}

void TPxViewWidget::dropEvent(QDropEvent* event) {
  const QPoint p = event->position().toPoint();
  if (!OnDragDrop || !OnDragOver || !OnDragOver(p.x(), p.y())) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  OnDragDrop(p.x(), p.y(), LocalFiles(event->mimeData()));
}

void TPxViewWidget::scrollContentsBy(int, int) {
  if (settingBars_) return;
  view_->HostScrolled(true, horizontalScrollBar()->value());
  view_->HostScrolled(false, verticalScrollBar()->value());
}

void TPxViewWidget::HostInvalidate() { viewport()->update(); }

void TPxViewWidget::HostRepaintNow() { viewport()->repaint(); }

void TPxViewWidget::HostSetCursor(int32_t cursor) { viewport()->setCursor(ToShape(cursor)); }

void TPxViewWidget::HostSetScrollBar(bool horizontal, bool visible, int32_t max, int32_t page,
                                     int32_t pos) {
  settingBars_ = true;
  QScrollBar* bar = horizontal ? horizontalScrollBar() : verticalScrollBar();
  bar->setRange(0, std::max(0, max));
  bar->setPageStep(std::max(1, page));
  bar->setValue(pos);
  const Qt::ScrollBarPolicy policy = visible ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff;
  if (horizontal)
    setHorizontalScrollBarPolicy(policy);
  else
    setVerticalScrollBarPolicy(policy);
  settingBars_ = false;
}

void TPxViewWidget::HostSetTimer(int32_t id, int32_t intervalMs) {
  QTimer*& timer = timers_[id];
  if (!timer) {
    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, id] { view_->HostTimer(id); });
  }
  if (intervalMs > 0)
    timer->start(intervalMs);
  else
    timer->stop();
}

void TPxViewWidget::HostPointerPos(int32_t& x, int32_t& y) const {
  const QPoint p = viewport()->mapFromGlobal(QCursor::pos());
  x = p.x();
  y = p.y();
}

void TPxViewWidget::HostSetFocus() { setFocus(Qt::MouseFocusReason); }
