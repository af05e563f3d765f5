#include "app/PicPrintDlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>

#include "app/AboutDlg.h"
#include "app/HelpDlg.h"
#include "platform/pxguard.h"
#include "platform/pxprinter.h"

namespace {

QFrame* AddPanel(QWidget* parent, const char* name) {
  auto* panel = new QFrame(parent);
  panel->setObjectName(name);
  return panel;
}

XaRect ToRect(const QRect& r) { return {r.x(), r.y(), r.width(), r.height()}; }

}  // namespace

TDPicPrint::TDPicPrint(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle("Pictrova 1.0 - Brindlemoor");
  resize(800, 700);

  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(4);
  PnlThumbs = AddPanel(central, "PnlThumbs");
  PnlThumbs->setFixedHeight(156);
  column->addWidget(PnlThumbs);
  PnlMain = AddPanel(central, "PnlMain");
  column->addWidget(PnlMain, 1);
  auto* row = new QHBoxLayout(PnlMain);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  PnlInfo = AddPanel(PnlMain, "PnlInfo");
  PnlInfo->setFixedWidth(220);
  row->addWidget(PnlInfo);
  PnlDisplay = AddPanel(PnlMain, "PnlDisplay");
  row->addWidget(PnlDisplay, 1);
  setCentralWidget(central);

  QMenu* file = menuBar()->addMenu("&File");
  MnuPrinterSetup = file->addAction("Printer &Setup ...", this, &TDPicPrint::MnuPrinterSetupClick);
  file->addSeparator();
  // Exit closes the window as its close button does, so the settings are kept.
  MnuExit = file->addAction("E&xit", this, &QWidget::close);
  QMenu* help = menuBar()->addMenu("&Help");
  MContents = help->addAction("&Contents ...", this, &TDPicPrint::MContentsClick);
  About1 = help->addAction("&About ...", this, &TDPicPrint::About1Click);

  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  FormCreate();
}

TDPicPrint::~TDPicPrint() {
  Application = nullptr;
  application_.reset();
}

void TDPicPrint::FormCreate() {
  PxRunGuarded(this, [this] { application_ = std::make_unique<XaApplication>(this); });
  // An unreadable "app.inf" has been reported; the program goes on without its settings.
  if (!application_) application_ = std::make_unique<XaApplication>(this, std::string(), false);
  Application = application_.get();
}

void TDPicPrint::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!shown_) {
    shown_ = true;
    FormShow();
  }
}

void TDPicPrint::FormShow() {
  if (DAbout) DAbout->show();  // the start-up splash
}

void TDPicPrint::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
  // The main window's close ends the program, whatever other windows are open.
  QCoreApplication::quit();
}

void TDPicPrint::FormClose() {
  PxRunGuarded(this, [] {
    if (Application) Application->SaveWindowSettings();
  });
}

void TDPicPrint::MnuPrinterSetupClick() { PxShowPrinterSetup(this); }

void TDPicPrint::MContentsClick() {
  if (DHelp) DHelp->exec();
}

void TDPicPrint::About1Click() {
  if (DAbout) DAbout->show();
}

XaRect TDPicPrint::WindowBounds() const { return ToRect(frameGeometry()); }

bool TDPicPrint::WindowStateNormal() const {
  return !(windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen));
}

void TDPicPrint::SetWindowLeft(int32_t v) { move(v, frameGeometry().y()); }

void TDPicPrint::SetWindowTop(int32_t v) { move(frameGeometry().x(), v); }

// Stored sizes are outer sizes: take the frame off before sizing the client.
void TDPicPrint::SetWindowWidth(int32_t v) {
  resize(std::max(0, v - (frameGeometry().width() - width())), height());
}

void TDPicPrint::SetWindowHeight(int32_t v) {
  resize(width(), std::max(0, v - (frameGeometry().height() - height())));
}

void TDPicPrint::KeepWindowOnScreen() {
  std::vector<XaRect> screens;
  for (QScreen* s : QGuiApplication::screens()) screens.push_back(ToRect(s->availableGeometry()));
  QScreen* primary = QGuiApplication::primaryScreen();
  if (!primary) return;
  const XaRect now = WindowBounds();
  const XaRect fixed = KeepOnScreen(now, screens, ToRect(primary->availableGeometry()));
  if (fixed == now) return;
  SetWindowWidth(fixed.Width);
  SetWindowHeight(fixed.Height);
  move(fixed.Left, fixed.Top);
}
