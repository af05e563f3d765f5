#include "app/AboutDlg.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "app/gen.h"
#include "platform/pxguard.h"

TDAbout* DAbout = nullptr;

namespace {

// The program's emblem: two prints on a sheet, the upper one a landscape.
QPixmap ProgramEmblem() {
  QPixmap pixmap(100, 100);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x2e, 0x5a, 0x8c), 2));
  p.setBrush(QColor(0xee, 0xf3, 0xfa));
  p.drawRect(QRectF(14, 22, 62, 70));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(26, 8, 62, 70));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x9d, 0xc3, 0xe8));
  p.drawRect(QRectF(32, 14, 50, 40));
  p.setBrush(QColor(0xf2, 0xb5, 0x3a));
  p.drawEllipse(QPointF(70, 24), 5, 5);
  QPainterPath hills;
  hills.moveTo(32, 54);
  hills.lineTo(46, 34);
  hills.lineTo(56, 46);
  hills.lineTo(64, 38);
  hills.lineTo(82, 54);
  hills.closeSubpath();
  p.setBrush(QColor(0x3f, 0x7d, 0x4e));
  p.drawPath(hills);
  return pixmap;
}

QLabel* AddLabel(QWidget* parent, const QString& text, int x, int y, int points, bool bold) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setPointSize(points);
  font.setBold(bold);
  label->setFont(font);
  label->move(x, y);
  label->adjustSize();
  return label;
}

}  // namespace

TDAbout::TDAbout(QWidget* parent) : QDialog(parent) {
  DAbout = this;
  setWindowTitle("About");
  setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint |
                 Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setFixedSize(366, 315);

  auto* panel = new QFrame(this);
  panel->setObjectName("Panel1");
  panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel->setLineWidth(2);
  panel->setGeometry(8, 8, 353, 241);

  auto* icon = new QLabel(panel);
  icon->setObjectName("ProgramIcon");
  icon->setGeometry(8, 8, 100, 100);
  icon->setPixmap(ProgramEmblem());
  icon->setAttribute(Qt::WA_TranslucentBackground);

  AddLabel(panel, "Pictrova", 136, 32, 12, true)->setObjectName("ProductName");
  AddLabel(panel, "Version 1.01", 136, 56, 10, false)->setObjectName("Version");
  AddLabel(panel, "Brindlemoor", 8, 184, 10, true)->setObjectName("Label1");

  OKButton = new QPushButton("OK", this);
  OKButton->setObjectName("OKButton");
  OKButton->setGeometry(126, 268, 114, 25);
  OKButton->setDefault(true);
  OKButton->hide();  // shown once the splash phase is over
  connect(OKButton, &QPushButton::clicked, this, &TDAbout::OKButtonClick);

  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  // Both timers count from creation at start-up, shown or not.
  CtrlSplash = new QTimer(this);
  CtrlSplash->setInterval(1800);
  CtrlSplash->setTimerType(Qt::PreciseTimer);
  connect(CtrlSplash, &QTimer::timeout, this, &TDAbout::CtrlSplashTimer);
  CtrlSplash->start();
  CtrlSettings = new QTimer(this);
  CtrlSettings->setInterval(400);
  CtrlSettings->setTimerType(Qt::PreciseTimer);
  connect(CtrlSettings, &QTimer::timeout, this, &TDAbout::CtrlSettingsTimer);
  CtrlSettings->start();
}

void TDAbout::CtrlSplashTimer() {
  CtrlSplash->stop();
  OKButton->show();
  hide();
}

void TDAbout::CtrlSettingsTimer() {
  CtrlSettings->stop();
  if (Application) PxRunGuarded(parentWidget(), [] { Application->LoadWindowSettings(); });
}

void TDAbout::OKButtonClick() { hide(); }
