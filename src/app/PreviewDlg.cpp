#include "app/PreviewDlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/layout.h"
#include "app/preview.h"
#include "imaging/view/imagingview.h"
#include "platform/pxviewwidget.h"

namespace {

// The ground around the paper: dark, so that the sheet's edge shows.
constexpr TColor kGround = 0x505050;

}  // namespace

TDPrintPreview::TDPrintPreview(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Print Preview");
  resize(640, 760);
  auto view = std::make_unique<TImagingView>();
  CtrlPage = view.get();
  CtrlPage->SetBackground(kGround);
  CtrlPage->SetAutoFit(true);
  CtrlPage->ZoomFilter = rfTriangle;
  CtrlPageHost = new TPxViewWidget(std::move(view), this);
  CtrlPageHost->setObjectName("CtrlPage");
  LPaper = new QLabel(this);
  LPaper->setObjectName("LPaper");
  LPaper->setTextFormat(Qt::PlainText);
  LCutAreas = new QLabel(this);
  LCutAreas->setObjectName("LCutAreas");
  LCutAreas->setTextFormat(Qt::PlainText);
  LCutAreas->setWordWrap(true);
  QPalette red = LCutAreas->palette();
  red.setColor(QPalette::WindowText, Qt::red);
  LCutAreas->setPalette(red);
  LCutAreas->hide();
  BPrint = new QPushButton("&Print", this);
  BPrint->setObjectName("BPrint");
  BClose = new QPushButton("&Close", this);
  BClose->setObjectName("BClose");
  connect(BPrint, &QPushButton::clicked, this, &TDPrintPreview::BPrintClick);
  connect(BClose, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(LPaper, 1);
  buttons->addWidget(BPrint);
  buttons->addWidget(BClose);
  auto* column = new QVBoxLayout(this);
  column->addWidget(CtrlPageHost, 1);
  column->addWidget(LCutAreas);
  column->addLayout(buttons);
}

TDPrintPreview::~TDPrintPreview() = default;

void TDPrintPreview::ShowPage(XaLayout& layout, const TPxPaper& paper, const std::string& printerName,
                              int32_t dpi) {
  TPxBitmap page;
  XaRenderPreview(layout, paper, dpi, page);
  XaShadeMargins(page, paper, dpi);
  Dpi = dpi;
  CtrlPage->Bitmap()->TakeOver(page);
  CtrlPage->ImageChanged();
  CtrlPage->Update();
  LPaper->setText(QString::fromStdString(
      "Paper: " + PxPaperName(paper) + (printerName.empty() ? "" : ", printer: " + printerName)));
  const std::vector<XaCutArea> cut = layout.AreasCut(paper);
  LCutAreas->setText(QString::fromStdString(cut.empty() ? "" : CutAreasMessage(cut, paper)));
  LCutAreas->setVisible(!cut.empty());
}

void TDPrintPreview::BPrintClick() {
  accept();
  if (OnPrint) OnPrint();
}
