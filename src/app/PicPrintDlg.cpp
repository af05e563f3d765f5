#include "app/PicPrintDlg.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>

#include "app/AboutDlg.h"
#include "app/HelpDlg.h"
#include "app/ImageMapDlg.h"
#include "app/layout.h"
#include "app/layoutchoice.h"
#include "imaging/view/imagingview.h"
#include "platform/pxguard.h"
#include "platform/pxprinter.h"
#include "platform/pxviewwidget.h"

namespace {

const char* const kInstruction =
    "Click on [Choose a layout] to pick your layout before dragging your images onto the printout.";
const char* const kPleaseWait = "Please wait while the image is loaded and processed for printing.";
// How the notice label lays out its text.
constexpr int kNoticeFlags = Qt::TextWordWrap | Qt::AlignCenter;

QFrame* AddPanel(QWidget* parent, const char* name) {
  auto* panel = new QFrame(parent);
  panel->setObjectName(name);
  return panel;
}

QPushButton* AddButton(QWidget* parent, const char* name, const char* text, int x, int y) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setGeometry(x, y, 161, 33);
  QFont font = button->font();
  font.setBold(true);
  button->setFont(font);
  return button;
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
  PnlThumbs->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
  auto* hint = new QLabel("Drag pictures from your file manager onto the areas of the page.", PnlThumbs);
  hint->setGeometry(12, 8, 600, 20);
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

  // The left column keeps its design positions.
  Label4 = new QLabel("Image Fit", PnlInfo);
  Label4->setObjectName("Label4");
  Label4->move(8, 244);
  DImageFit = new QComboBox(PnlInfo);
  DImageFit->setObjectName("DImageFit");
  DImageFit->setGeometry(72, 242, 129, 22);
  DImageFit->addItems({"Don't Crop", "Crop", "Stretch"});
  connect(DImageFit, &QComboBox::activated, this, &TDPicPrint::DImageFitChange);
  BChooseLayout = AddButton(PnlInfo, "BChooseLayout", "Choose a Layout", 32, 276);
  connect(BChooseLayout, &QPushButton::clicked, this, &TDPicPrint::BChooseLayoutClick);
  BPrint = AddButton(PnlInfo, "BPrint", "Print", 32, 314);
  connect(BPrint, &QPushButton::clicked, this, &TDPicPrint::BPrintClick);

  PnlWarning = AddPanel(PnlInfo, "PnlWarning");
  PnlWarning->setGeometry(8, 352, 201, 105);
  PnlWarning->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  PnlWarning->setAutoFillBackground(true);
  QPalette pale = PnlWarning->palette();
  pale.setColor(QPalette::Window, QColor(255, 255, 128));
  PnlWarning->setPalette(pale);
  LWarning = new QLabel(PnlWarning);
  LWarning->setObjectName("LWarning");
  LWarning->setTextFormat(Qt::PlainText);
  LWarning->setAlignment(Qt::AlignCenter);
  LWarning->setWordWrap(true);
  QPalette red = LWarning->palette();
  red.setColor(QPalette::WindowText, Qt::red);
  LWarning->setPalette(red);
  // A fixed place inside the frame, known before the panel first shows, so
  // that each notice is sized for it (see ShowNotice).
  LWarning->setGeometry(PnlWarning->contentsRect().adjusted(4, 4, -4, -4));
  PnlWarning->hide();

  auto page = std::make_unique<TImagingVect>();
  CtrlVect = page.get();
  CtrlVect->SetBackground(clNavy);
  CtrlVect->SetAutoFit(true);
  CtrlVect->SetMouseInteract({miMoveLayers, miResizeLayers});
  CtrlVectHost = new TPxViewWidget(std::move(page), PnlDisplay);
  CtrlVectHost->setObjectName("CtrlVect");
  CtrlVectHost->OnDragOver = [this](int32_t x, int32_t y) { return CtrlVectDragOver(x, y); };
  CtrlVectHost->OnDragDrop = [this](int32_t x, int32_t y, const std::vector<std::string>& files) {
    CtrlVectDragDrop(x, y, files);
  };
  auto* display = new QVBoxLayout(PnlDisplay);
  display->setContentsMargins(0, 0, 0, 0);
  display->addWidget(CtrlVectHost);

  workView_ = std::make_unique<TImagingView>();
  workView_->SetAutoFit(true);

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
  layout_.reset();
  Application = nullptr;
  application_.reset();
}

void TDPicPrint::FormCreate() {
  PxRunGuarded(this, [this] { application_ = std::make_unique<XaApplication>(this); });
  // An unreadable "app.inf" has been reported; the program goes on without its settings.
  if (!application_) application_ = std::make_unique<XaApplication>(this, std::string(), false);
  Application = application_.get();
  layout_ = std::make_unique<XaLayout>(CtrlVect, ProgramFolder() + "printouts.txt");
}

void TDPicPrint::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!shown_) {
    shown_ = true;
    FormShow();
  }
}

// The notice is shown at the largest size up to `points` at which its wrapped
// text fits the label whole: fonts differ from one system to the next, and a
// taller one would have its first and last lines cut off.
void TDPicPrint::ShowNotice(const char* text, int points) {
  const QString notice = QString::fromUtf8(text);
  const QRect room = LWarning->contentsRect();
  QFont font = LWarning->font();
  font.setBold(true);
  for (; points > 1; --points) {
    font.setPointSize(points);
    if (room.contains(QFontMetrics(font, LWarning).boundingRect(room, kNoticeFlags, notice))) break;
  }
  font.setPointSize(points);
  LWarning->setFont(font);
  LWarning->setText(notice);
  PnlWarning->show();
}

void TDPicPrint::FormShow() {
  ShowNotice(kInstruction, 12);
  if (DAbout) DAbout->show();  // the start-up splash
  DImageFit->setCurrentIndex(0);
  layout_->WorkView = workView_.get();
  PxRunGuarded(this, [this] { layout_->SetUpPage(); });
  if (DImageMap) {
    ClearRegions();
    for (const XaLayoutRegion& r : kLayoutRegions) AddRegion(r.Name, r.Left, r.Top, r.Right, r.Bottom);
  }
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

bool TDPicPrint::CtrlVectDragOver(int32_t x, int32_t y) { return CtrlVect->FindLayerAt(x, y) >= 1; }

void TDPicPrint::CtrlVectDragDrop(int32_t x, int32_t y, const std::vector<std::string>& files) {
  const int k = CtrlVect->FindLayerAt(x, y);
  if (k < 1 || files.empty()) return;
  ShowNotice(kPleaseWait, 14);
  // Painted now, not when the event loop next runs: the placement keeps the
  // loop waiting for as long as it takes.
  PnlWarning->repaint();
  const std::string file = files.front();
  PxRunGuarded(this, [this, k, &file] {
    // The wait is over either way, before a failure is reported; a layout is
    // chosen, so the instruction does not come back.
    struct NoticeDown {
      QWidget* Panel;
      ~NoticeDown() { Panel->hide(); }
    } noticeDown{PnlWarning};
    layout_->DropPicture(k - 1, file);
  });
}

void TDPicPrint::DImageFitChange(int index) {
  layout_->Crop = index == 1;
  layout_->Stretch = index == 2;
}

void TDPicPrint::BChooseLayoutClick() {
  PnlWarning->hide();
  if (!DImageMap) return;
  const XaChosenLayout chosen =
      ChooseLayout("Printed Image Layouts", ProgramFolder() + "printouts.png");
  if (!chosen.Name.empty()) PxRunGuarded(this, [&] { layout_->LoadLayout(chosen.Name); });
}

void TDPicPrint::BPrintClick() {
  if (!PxShowPrintDialog(this)) return;
  PxRunGuarded(this, [this] {
    std::unique_ptr<TPxPrintJob> job = PxNewPrintJob();
    layout_->PrintPage(*job);
    if (const std::string warning = job->Warning(); !warning.empty())
      PxShowWarning(this, warning.c_str());
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
