#include "platform/pxviewwidget.h"

#include <QContextMenuEvent>
#include <QCursor>
#include <QDrag>
#include <algorithm>
#include <QDragEnterEvent>
#include <QFontMetrics>
#include <QImage>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>
#include <QToolTip>
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

// The view's key codes for the navigation keys; other keys keep Qt's code,
// except those that would read as a navigation key.
int32_t ToKey(int key) {
  switch (key) {
    case Qt::Key_PageUp: return vkPrior;
    case Qt::Key_PageDown: return vkNext;
    case Qt::Key_End: return vkEnd;
    case Qt::Key_Home: return vkHome;
    case Qt::Key_Left: return vkLeft;
    case Qt::Key_Up: return vkUp;
    case Qt::Key_Right: return vkRight;
    case Qt::Key_Down: return vkDown;
    default: return key >= vkPrior && key <= vkDown ? 0 : key;
  }
}

// Marks a drag that started in one of our own views.
const char* const kOwnDrag = "application/x-pictrova-own-drag";

std::vector<std::string> LocalFiles(const QMimeData* mime) {
  std::vector<std::string> files;
  if (!mime || !mime->hasUrls() || mime->hasFormat(kOwnDrag)) return files;
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
  postTarget_ = viewport();
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

bool TPxViewWidget::viewportEvent(QEvent* event) {
  if (event->type() != QEvent::ToolTip) return QAbstractScrollArea::viewportEvent(event);
  auto* help = static_cast<QHelpEvent*>(event);
  const std::string text = view_->HostToolTip(help->pos().x(), help->pos().y());
  if (text.empty()) {
    QToolTip::hideText();
    event->ignore();
  } else {
    QToolTip::showText(help->globalPos(), QString::fromStdString(text), viewport());
  }
  return true;
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
  dragArmed_ = DragThreshold > 0 && bool(OnStartDrag);
  pressAt_ = p;
  pressButton_ = b;
  view_->HostMouseDown(b, PxShiftState(event->modifiers(), event->buttons()), p.x(), p.y());
}

void TPxViewWidget::mouseDoubleClickEvent(QMouseEvent* event) {
  TPxMouseButton b;
  if (!ToButton(event->button(), b)) return;
  const QPoint p = event->position().toPoint();
  // The second press of a double click may start a drag as well: a user who
  // clicks a thumbnail and at once drags it.
  dragArmed_ = DragThreshold > 0 && bool(OnStartDrag);
  pressAt_ = p;
  pressButton_ = b;
  view_->HostMouseDown(b, PxShiftState(event->modifiers(), event->buttons()) | ssDouble, p.x(), p.y());
}

void TPxViewWidget::mouseMoveEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  const TPxShiftState shift = PxShiftState(event->modifiers(), event->buttons());
  if (dragArmed_ && event->buttons() != Qt::NoButton &&
      std::max(std::abs(p.x() - pressAt_.x()), std::abs(p.y() - pressAt_.y())) >= DragThreshold) {
    dragArmed_ = false;
    const std::vector<std::string> files = OnStartDrag();
    if (!files.empty()) {
      // The drag takes the pointer: the view's press ends here.
      view_->HostMouseUp(pressButton_, shift, p.x(), p.y());
      auto* mime = new QMimeData;
      QList<QUrl> urls;
      for (const std::string& f : files) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(f)));
      mime->setUrls(urls);
      mime->setData(kOwnDrag, QByteArray());
      QDrag* drag = new QDrag(this);
      drag->setMimeData(mime);
      drag->exec(Qt::CopyAction);
      return;
    }
  }
  view_->HostMouseMove(shift, p.x(), p.y());
}

void TPxViewWidget::mouseReleaseEvent(QMouseEvent* event) {
  TPxMouseButton b;
  if (!ToButton(event->button(), b)) return;
  const QPoint p = event->position().toPoint();
  const TPxShiftState shift = PxShiftState(event->modifiers(), event->buttons());
  dragArmed_ = false;
  view_->HostMouseUp(b, shift, p.x(), p.y());
  if (OnMouseUp) OnMouseUp(b, shift, p.x(), p.y());
}

void TPxViewWidget::wheelEvent(QWheelEvent* event) {
  const QPoint p = event->position().toPoint();
  view_->HostWheel(PxShiftState(event->modifiers(), event->buttons()), event->angleDelta().y(),
                   p.x(), p.y());
}

void TPxViewWidget::keyPressEvent(QKeyEvent* event) {
  view_->HostKeyDown(ToKey(event->key()), PxShiftState(event->modifiers(), Qt::NoButton));
}

void TPxViewWidget::keyReleaseEvent(QKeyEvent* event) {
  view_->HostKeyUp(ToKey(event->key()), PxShiftState(event->modifiers(), Qt::NoButton));
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
    if (OnDragLeave) OnDragLeave();
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  if (OnDragLeave) OnDragLeave();
  OnDragDrop(p.x(), p.y(), LocalFiles(event->mimeData()));
}

void TPxViewWidget::dragLeaveEvent(QDragLeaveEvent* event) {
  QAbstractScrollArea::dragLeaveEvent(event);
  if (OnDragLeave) OnDragLeave();
}

void TPxViewWidget::contextMenuEvent(QContextMenuEvent* event) {
  if (!OnContextMenu) return event->ignore();
  // A scroll area's viewport events come with viewport positions: client pixels.
  event->accept();
  OnContextMenu(event->pos().x(), event->pos().y());
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

QFont TPxViewWidget::FontFor(const TPxFont& f) const {
  QFont qf = font();
  if (!f.Name.empty()) qf.setFamily(QString::fromStdString(f.Name));
  if (f.Size > 0) qf.setPointSize(f.Size);
  if (f.Bold) qf.setBold(true);
  return qf;
}

bool TPxViewWidget::HostMeasureText(const std::u16string& text, const TPxFont& font,
                                    int32_t& width, int32_t& height) {
  const QFontMetrics m(FontFor(font));
  width = m.horizontalAdvance(QString::fromStdU16String(text));
  height = m.height();
  return true;
}

void TPxViewWidget::HostDrawText(TPxBitmap& target, const std::u16string& text,
                                 const TPxFont& font, uint32_t color, int32_t x, int32_t y,
                                 int32_t clipLeft, int32_t clipTop, int32_t clipRight,
                                 int32_t clipBottom) {
  if (text.empty() || target.PixelFormat() != pxRGB24) return;
  const int32_t left = std::max(clipLeft, 0);
  const int32_t top = std::max(clipTop, 0);
  const int32_t right = std::min(clipRight, target.Width());
  const int32_t bottom = std::min(clipBottom, target.Height());
  if (right <= left || bottom <= top) return;
  // The text is drawn into a transparent image of the clip's size, then laid
  // over the bitmap's rows by its coverage, whatever the bitmap's storage.
  QImage layer(right - left, bottom - top, QImage::Format_ARGB32_Premultiplied);
  layer.fill(Qt::transparent);
  {
    QPainter p(&layer);
    const QFont qf = FontFor(font);
    p.setFont(qf);
    p.setPen(QColor(int(color & 0xFF), int((color >> 8) & 0xFF), int((color >> 16) & 0xFF)));
    const QFontMetrics m(qf);
    p.drawText(x - left, y - top + m.ascent(), QString::fromStdU16String(text));
  }
  for (int32_t row = top; row < bottom; ++row) {
    uint8_t* d = target.Scanline(row);
    if (!d) continue;
    d += size_t(left) * 3;
    const QRgb* s = reinterpret_cast<const QRgb*>(layer.constScanLine(row - top));
    for (int32_t col = left; col < right; ++col, ++s, d += 3) {
      const int a = qAlpha(*s);
      if (a == 0) continue;
      // Premultiplied: source + destination * (1 - alpha).
      d[0] = uint8_t(qBlue(*s) + d[0] * (255 - a) / 255);
      d[1] = uint8_t(qGreen(*s) + d[1] * (255 - a) / 255);
      d[2] = uint8_t(qRed(*s) + d[2] * (255 - a) / 255);
    }
  }
}

void TPxViewWidget::HostPostInvalidate() {
  // Queued to the widget's thread; dropped by Qt when the widget is gone first.
  QWidget* w = postTarget_;
  QMetaObject::invokeMethod(w, [w] { w->update(); }, Qt::QueuedConnection);
}
