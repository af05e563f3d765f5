#include "app/PicPrintDlg.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QFileDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QSplitter>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>

#include "app/AboutDlg.h"
#include "app/HelpDlg.h"
#include "app/ImageMapDlg.h"
#include "app/PreviewDlg.h"
#include "app/layout.h"
#include "app/layoutchoice.h"
#include "app/resolution.h"
#include "app/savedpage.h"
#include "app/thumbdisplay.h"
#include "browse/imagingmview.h"
#include "imaging/view/imagingview.h"
#include "platform/pxguard.h"
#include "platform/pxprinter.h"
#include "platform/pxshelltreewidget.h"
#include "platform/pxviewwidget.h"

namespace {

const char* const kInstruction =
    "Click on [Choose a layout] to pick your layout before dragging your images onto the printout.";
const char* const kPageFilter = "Pictrova pages (*.pictrova)";
// The setting that keeps the Cut Guides item's check in app.inf.
const char* const kCutGuidesKey = "CutGuides";
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

QLabel* AddLabel(QWidget* parent, const char* name, const char* text, int x, int y, bool bold) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setObjectName(name);
  label->setTextFormat(Qt::PlainText);
  // The name label runs to the panel's edge; a long name is cut there.
  label->setGeometry(x, y, bold ? 46 : 209 - 4 - x, 18);
  if (bold) {
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
  }
  return label;
}

XaRect ToRect(const QRect& r) { return {r.x(), r.y(), r.width(), r.height()}; }

// Hides a panel when the scope ends, whichever way it ends.
struct HideOnExit {
  QWidget* Panel;
  ~HideOnExit() { Panel->hide(); }
};

}  // namespace

TDPicPrint::TDPicPrint(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle("Pictrova 1.0 - Brindlemoor");
  resize(800, 700);

  // Upper band (tree and thumbnails) over the rest, sized by Splitter2.
  Splitter2 = new QSplitter(Qt::Vertical, this);
  Splitter2->setObjectName("Splitter2");
  Splitter2->setHandleWidth(4);
  Splitter2->setChildrenCollapsible(false);
  PnlThumbs = AddPanel(Splitter2, "PnlThumbs");
  auto* band = new QHBoxLayout(PnlThumbs);
  band->setContentsMargins(0, 0, 0, 0);
  Splitter1 = new QSplitter(Qt::Horizontal, PnlThumbs);
  Splitter1->setObjectName("Splitter1");
  Splitter1->setHandleWidth(4);
  Splitter1->setChildrenCollapsible(false);
  band->addWidget(Splitter1);
  // Rooted at the desktop, folders only, no hidden items.
  CtrlDir = new TPxShellTreeWidget(Splitter1);
  CtrlDir->setObjectName("CtrlDir");
  CtrlDir->Tree().SetShowFiles(false);
  CtrlDir->Tree().SetShowHidden(false);
  CtrlDir->Tree().OnChange = [this](TPxShellTree*, TPxShellTreeNode*) {
    CtrlDirChange(CtrlDir->SelectedFolder());
  };
  auto thumbs = std::make_unique<TImagingMView>();
  CtrlThumbs = thumbs.get();
  CtrlThumbs->SetThumbWidth(128);
  CtrlThumbs->SetThumbHeight(128);
  CtrlThumbs->SetGridWidth(-1);
  CtrlThumbs->SetSelectionWidth(3);
  CtrlThumbs->SetSelectionColor(clNavy);
  CtrlThumbs->SetStyle(pxmsFlat);
  CtrlThumbs->SetThumbnailsBorderColor(clBlack);
  CtrlThumbsHost = new TPxViewWidget(std::move(thumbs), Splitter1);
  CtrlThumbsHost->setObjectName("CtrlThumbs");
  // A thumbnail is dragged once the pointer has moved 12 pixels.
  CtrlThumbsHost->DragThreshold = 12;
  CtrlThumbsHost->OnStartDrag = [this] { return CtrlThumbsMouseDown(); };
  Splitter1->addWidget(CtrlDir);
  Splitter1->addWidget(CtrlThumbsHost);
  Splitter1->setStretchFactor(1, 1);
  Splitter1->setSizes({200, 596});
  PnlMain = AddPanel(Splitter2, "PnlMain");
  Splitter2->addWidget(PnlThumbs);
  Splitter2->addWidget(PnlMain);
  Splitter2->setStretchFactor(1, 1);
  Splitter2->setSizes({156, 500});
  auto* row = new QHBoxLayout(PnlMain);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  PnlInfo = AddPanel(PnlMain, "PnlInfo");
  PnlInfo->setFixedWidth(220);
  row->addWidget(PnlInfo);
  PnlDisplay = AddPanel(PnlMain, "PnlDisplay");
  row->addWidget(PnlDisplay, 1);
  setCentralWidget(Splitter2);

  // The preview and the selected picture's information.
  PnlFileInfo = AddPanel(PnlInfo, "PnlFileInfo");
  PnlFileInfo->setGeometry(6, 8, 209, 217);
  PnlFileInfo->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  auto preview = std::make_unique<TImagingView>();
  CtrlImage = preview.get();
  CtrlImage->SetBackground(clBlack);
  CtrlImage->SetAutoFit(true);
  CtrlImageHost = new TPxViewWidget(std::move(preview), PnlFileInfo);
  CtrlImageHost->setObjectName("CtrlImage");
  CtrlImageHost->setGeometry(8, 4, 193, 142);
  CtrlImageHost->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  CtrlImageHost->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Label1 = AddLabel(PnlFileInfo, "Label1", "Name:", 8, 152, true);
  Label2 = AddLabel(PnlFileInfo, "Label2", "Size:", 8, 172, true);
  Label3 = AddLabel(PnlFileInfo, "Label3", "Dims:", 8, 192, true);
  LFileName = AddLabel(PnlFileInfo, "LFileName", "", 56, 152, false);
  LFileSize = AddLabel(PnlFileInfo, "LFileSize", "", 56, 172, false);
  LFileDims = AddLabel(PnlFileInfo, "LFileDims", "", 56, 192, false);

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
  // Print and its preview share the row.
  BPrint = AddButton(PnlInfo, "BPrint", "Print", 14, 314);
  BPrint->resize(95, 33);
  connect(BPrint, &QPushButton::clicked, this, &TDPicPrint::BPrintClick);
  BPrintPreview = AddButton(PnlInfo, "BPrintPreview", "Preview", 111, 314);
  BPrintPreview->resize(95, 33);
  connect(BPrintPreview, &QPushButton::clicked, this, &TDPicPrint::MnuPrintPreviewClick);

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
  LResolution = new QLabel(PnlInfo);
  LResolution->setObjectName("LResolution");
  LResolution->setTextFormat(Qt::PlainText);
  LResolution->setWordWrap(true);
  LResolution->setGeometry(8, 461, 201, 34);

  auto page = std::make_unique<TImagingVect>();
  CtrlVect = page.get();
  CtrlVect->SetBackground(clNavy);
  CtrlVect->SetAutoFit(true);
  CtrlVect->SetMouseInteract({miMoveLayers, miResizeLayers});
  // The figure follows the area chosen, moved and resized, while the mouse moves.
  CtrlVect->OnLayerNotify = [this](TImagingView*, int, TPxLayerEvent) { ShowAreaResolution(); };
  CtrlVectHost = new TPxViewWidget(std::move(page), PnlDisplay);
  CtrlVectHost->setObjectName("CtrlVect");
  CtrlVectHost->OnDragOver = [this](int32_t x, int32_t y) { return CtrlVectDragOver(x, y); };
  CtrlVectHost->OnDragLeave = [this] { CtrlVect->SetDropTargetLayer(-1); };
  CtrlVectHost->OnDragDrop = [this](int32_t x, int32_t y, const std::vector<std::string>& files) {
    CtrlVectDragDrop(x, y, files);
  };
  auto* display = new QVBoxLayout(PnlDisplay);
  display->setContentsMargins(0, 0, 0, 0);
  display->addWidget(CtrlVectHost);

  workView_ = std::make_unique<TImagingView>();
  workView_->SetAutoFit(true);

  QMenu* file = menuBar()->addMenu("&File");
  MnuOpenPage = file->addAction("&Open Page ...", this, [this] {
    const QString name = QFileDialog::getOpenFileName(this, "Open Page", QString(), kPageFilter);
    if (!name.isEmpty()) OpenPageFile(name.toStdString());
  });
  MnuSavePage = file->addAction("&Save Page As ...", this, [this] {
    QString name = QFileDialog::getSaveFileName(this, "Save Page As", QString(), kPageFilter);
    if (name.isEmpty()) return;
    if (!name.endsWith(".pictrova")) name += ".pictrova";
    SavePageFile(name.toStdString());
  });
  file->addSeparator();
  MnuPrinterSetup = file->addAction("Printer &Setup ...", this, &TDPicPrint::MnuPrinterSetupClick);
  MnuCutGuides = file->addAction("Cut &Guides");
  MnuCutGuides->setCheckable(true);
  MnuPrintPreview = file->addAction("Print Pre&view ...", this, &TDPicPrint::MnuPrintPreviewClick);
  MnuPrint = file->addAction("&Print ...", this, &TDPicPrint::BPrintClick);
  file->addSeparator();
  // Exit closes the window as its close button does, so the settings are kept.
  MnuExit = file->addAction("E&xit", this, &QWidget::close);
  QMenu* help = menuBar()->addMenu("&Help");
  MContents = help->addAction("&Contents ...", this, &TDPicPrint::MContentsClick);
  About1 = help->addAction("&About ...", this, &TDPicPrint::About1Click);
  AddPageMenus(help);

  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  AskPrintAnyway = [this](const std::string& message) {
    return PxAskYesNo(this, (message + "\n\nPrint anyway?").c_str());
  };

  FormCreate();
}

TDPicPrint::~TDPicPrint() {
  preview_.reset();
  // The page view outlives the layout object: it must not call back.
  CtrlVect->OnLayerNotify = nullptr;
  thumbDisplay_.reset();
  layout_.reset();
  Application = nullptr;
  application_.reset();
}

void TDPicPrint::FormCreate() {
  PxRunGuarded(this, [this] { application_ = std::make_unique<XaApplication>(this); });
  // An unreadable "app.inf" has been reported; the program goes on without its settings.
  if (!application_) application_ = std::make_unique<XaApplication>(this, std::string(), false);
  Application = application_.get();
  MnuCutGuides->setChecked(application_->GetInt(kCutGuidesKey) != 0);
  thumbDisplay_ = std::make_unique<XaThumbDisplay>(
      *CtrlThumbs, CtrlImage, [this](TImagingMView* grid) { ShowPictureInfo(grid); });
  thumbDisplay_->OnError = [this](const std::string& message) { PxShowError(this, message.c_str()); };
  layout_ = std::make_unique<XaLayout>(CtrlVect, ProgramFolder() + "printouts.txt");
}

void TDPicPrint::CtrlDirChange(const std::string& selectedFolder) {
  if (!thumbDisplay_ || selectedFolder.empty()) return;
  thumbDisplay_->ShowFolder(selectedFolder);
}

void TDPicPrint::ShowPictureInfo(TImagingMView*) {
  LFileName->setText(QString::fromStdString(thumbDisplay_->SelectedName));
  LFileSize->setText(QString::fromStdString(XaFileSizeText(thumbDisplay_->FileSize)));
  LFileDims->setText(
      QString::fromStdString(XaFileDimsText(thumbDisplay_->ImageWidth, thumbDisplay_->ImageHeight)));
}

std::vector<std::string> TDPicPrint::CtrlThumbsMouseDown() {
  // The grid's own press handling has selected the thumbnail under the
  // pointer (left button): the drag carries the picture it recorded.
  if (!thumbDisplay_ || thumbDisplay_->SelectedPath.empty()) return {};
  return {thumbDisplay_->SelectedPath};
}

bool TDPicPrint::SelectStartFolder(const std::string& folder) {
  if (!CtrlDir->Tree().Root()) {
    CtrlDir->setIndentation(CtrlDir->Tree().Indent());
    CtrlDir->Tree().FillRoot();
  }
  return CtrlDir->Tree().SelectPath(folder);
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
  CtrlThumbs->SetStoreType(pxtThumb);
  CtrlThumbs->SetImageCacheSize(100);
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
  PxRunGuarded(this, [this] {
    if (!Application) return;
    Application->SetInt(kCutGuidesKey, MnuCutGuides->isChecked() ? 1 : 0);
    Application->SaveWindowSettings();
  });
}

bool TDPicPrint::CtrlVectDragOver(int32_t x, int32_t y) {
  const int k = CtrlVect->FindLayerAt(x, y);
  // The area the picture would land in is outlined while the drag is over it.
  CtrlVect->SetDropTargetLayer(k >= 1 ? k : -1);
  return k >= 1;
}

void TDPicPrint::CtrlVectDragDrop(int32_t x, int32_t y, const std::vector<std::string>& files) {
  const int k = CtrlVect->FindLayerAt(x, y);
  // A drag from the grid carries no files: it brings the picture selected there.
  std::vector<std::string> pictures = files;
  if (pictures.empty() && thumbDisplay_ && !thumbDisplay_->SelectedPath.empty())
    pictures.push_back(thumbDisplay_->SelectedPath);
  if (k < 1 || pictures.empty()) return;
  XaFillResult result;
  RunPlacing([&] { result = layout_->DropPictures(k - 1, pictures); });
  ReportFill(result);
}

void TDPicPrint::RunPlacing(const std::function<void()>& work) {
  ShowNotice(kPleaseWait, 14);
  // Painted now, not when the event loop next runs: the placement keeps the
  // loop waiting for as long as it takes.
  PnlWarning->repaint();
  PxRunGuarded(this, [&] {
    // The wait is over either way, before a failure is reported; a layout is
    // chosen, so the instruction does not come back.
    HideOnExit noticeDown{PnlWarning};
    work();
  });
  ShowAreaResolution();
}

void TDPicPrint::ShowAreaResolution() {
  if (!layout_) return;
  XaMarkLowResolution(*layout_);
  LResolution->setText(
      QString::fromStdString(XaAreaResolutionText(*layout_, CtrlVect->CurrentLayer() - 1)));
}

// A picture that could not be placed is an error; pictures that found no
// empty area are only told.
void TDPicPrint::ReportFill(const XaFillResult& result) {
  const std::string message = result.Message();
  if (message.empty()) return;
  if (!result.Failures.empty())
    PxShowError(this, message.c_str());
  else
    PxShowWarning(this, message.c_str());
}

void TDPicPrint::FillAllAreas(const std::string& fileName) {
  if (fileName.empty() || layout_->Areas.empty()) return;
  XaFillResult result;
  RunPlacing([&] { result = layout_->FillAllAreas(fileName); });
  ReportFill(result);
}

void TDPicPrint::AddPageMenus(QMenu* before) {
  QMenu* page = new QMenu("&Page", this);
  menuBar()->insertMenu(before->menuAction(), page);
  MnuFillAll = page->addAction("&Fill All Areas", this, [this] {
    FillAllAreas(thumbDisplay_ ? thumbDisplay_->SelectedPath : std::string());
  });
  connect(page, &QMenu::aboutToShow, this, [this] {
    MnuFillAll->setEnabled(!layout_->Areas.empty() && thumbDisplay_ && !thumbDisplay_->SelectedPath.empty());
  });

  MnuArea = new QMenu(this);
  MnuArea->setObjectName("MnuArea");
  MnuAreaFillAll = MnuArea->addAction("&Fill All Areas", this, [this] {
    if (menuArea_ < 0 || menuArea_ >= int32_t(layout_->Areas.size())) return;
    // An area that holds a picture spreads its own; an empty one the selected.
    const std::string own = layout_->Areas[menuArea_]->FileName;
    FillAllAreas(!own.empty() ? own : thumbDisplay_ ? thumbDisplay_->SelectedPath : std::string());
  });
  MnuAreaRemove = MnuArea->addAction("&Remove Picture", this, [this] {
    PxRunGuarded(this, [this] { layout_->RemovePicture(menuArea_); });
    ShowAreaResolution();
  });
  MnuArea->addSeparator();
  auto* fits = new QActionGroup(MnuArea);
  const std::pair<QAction**, XaFit> items[] = {
      {&MnuAreaDontCrop, xfDontCrop}, {&MnuAreaCrop, xfCrop}, {&MnuAreaStretch, xfStretch}};
  for (const auto& [action, fit] : items) {
    *action = MnuArea->addAction(DImageFit->itemText(fit), this, [this, fit = fit] {
      RunPlacing([&] { layout_->RefitPicture(menuArea_, fit); });
    });
    (*action)->setCheckable(true);
    fits->addAction(*action);
  }
  CtrlVectHost->OnContextMenu = [this](int32_t x, int32_t y) {
    if (CtrlVectContextPopup(x, y)) MnuArea->exec(CtrlVectHost->viewport()->mapToGlobal(QPoint(x, y)));
  };
}

bool TDPicPrint::CtrlVectContextPopup(int32_t x, int32_t y) {
  const int k = CtrlVect->FindLayerAt(x, y);
  if (k < 1 || k > int(layout_->Areas.size())) return false;
  menuArea_ = k - 1;
  const XaLayoutArea& area = *layout_->Areas[menuArea_];
  const bool filled = !area.FileName.empty();
  MnuAreaFillAll->setEnabled(filled || (thumbDisplay_ && !thumbDisplay_->SelectedPath.empty()));
  MnuAreaRemove->setEnabled(filled);
  for (QAction* a : {MnuAreaDontCrop, MnuAreaCrop, MnuAreaStretch}) a->setEnabled(filled);
  // The area's own fit is checked; an empty area has none.
  MnuAreaDontCrop->setChecked(filled && area.Fit == xfDontCrop);
  MnuAreaCrop->setChecked(filled && area.Fit == xfCrop);
  MnuAreaStretch->setChecked(filled && area.Fit == xfStretch);
  return true;
}

void TDPicPrint::SavePageFile(const std::string& fileName) {
  PxRunGuarded(this, [&] { WritePageFile(fileName, SavePage(*layout_, PxCurrentPaper())); });
}

void TDPicPrint::OpenPageFile(const std::string& fileName) {
  PxRunGuarded(this, [&] {
    const XaSavedPage page = ReadPageFile(fileName);
    PnlWarning->hide();  // a layout is chosen: the instruction has served
    ShowNotice(kPleaseWait, 14);
    PnlWarning->repaint();
    HideOnExit noticeDown{PnlWarning};
    const std::vector<std::string> missing = OpenPage(*layout_, page, fileName);
    // The page prints on the paper it was kept with.
    if (const std::optional<TPxPaper> paper = PxPaperFromName(page.Paper)) PxSetCurrentPaper(*paper);
    ShowAreaResolution();
    if (missing.empty()) return;
    // One message for every area left empty; the others are on the page.
    std::string text = "These pictures of the page could not be placed again:";
    for (const std::string& m : missing) text += "\n" + m;
    throw std::runtime_error(text);
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
  if (chosen.Name.empty()) return;
  // A layout comes with empty areas: placed pictures go only if the user agrees.
  const std::string question = "Choosing the layout \"" + chosen.Name +
                               "\" empties the page: the pictures placed on it are removed. Go on?";
  if (layout_->HasPictures() && !PxAskYesNo(this, question.c_str())) return;
  PxRunGuarded(this, [&] { layout_->LoadLayout(chosen.Name); });
  ShowAreaResolution();
}

void TDPicPrint::BPrintClick() {
  if (!PxShowPrintDialog(this)) return;
  PrintOnCurrentPrinter();
}

void TDPicPrint::PrintOnCurrentPrinter() {
  PxRunGuarded(this, [this] {
    std::unique_ptr<TPxPrintJob> job = PxNewPrintJob();
    const TPxPaper paper = job->Paper();
    // Never cut silently: the user is told which pictures and decides.
    const std::vector<XaCutArea> cut = layout_->AreasCut(paper);
    if (!cut.empty() && !AskPrintAnyway(CutAreasMessage(cut, paper))) return;
    layout_->CutGuides = MnuCutGuides->isChecked();
    layout_->PrintPage(*job);
    if (const std::string warning = job->Warning(); !warning.empty())
      PxShowWarning(this, warning.c_str());
  });
}

void TDPicPrint::MnuPrintPreviewClick() {
  if (!preview_) {
    preview_ = std::make_unique<TDPrintPreview>(this);
    preview_->OnPrint = [this] { PrintOnCurrentPrinter(); };
  }
  // At the screen's resolution, so that the paper shows at its own size where it fits.
  const QScreen* shown = screen() ? screen() : QGuiApplication::primaryScreen();
  const int32_t dpi = shown ? std::clamp(int32_t(std::lround(shown->logicalDotsPerInch())), 50, 200) : 96;
  const bool made = PxRunGuarded(this, [&] {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    struct CursorBack {
      ~CursorBack() { QApplication::restoreOverrideCursor(); }
    } cursorBack;
    layout_->CutGuides = MnuCutGuides->isChecked();
    preview_->ShowPage(*layout_, PxCurrentPaper(), PxCurrentPrinterName(), dpi);
  });
  if (made) preview_->open();
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
