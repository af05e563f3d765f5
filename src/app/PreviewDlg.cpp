#include "app/PreviewDlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/layout.h"
#include "app/preview.h"
#include "app/resolution.h"
#include "imaging/view/imagingview.h"
#include "platform/pxviewwidget.h"

namespace {

// The ground around the paper: dark, so that the sheet's edge shows.
constexpr TColor kGround = 0x505050;

// The page view's warning marks, over the pictures that print soft: each
// rides on a layer that shows nothing, placed over the picture on the
// paper, so the view draws the mark and gives its tooltip; the printed
// page underneath never holds it.
void MarkLowResolution(TImagingView& view, const XaLayout& layout, const TPxPaper& paper,
                       int32_t dpi) {
  while (view.LayerCount() > 1) view.RemoveLayer(view.LayerCount() - 1);
  for (size_t i = 0; i < layout.Areas.size(); ++i) {
    std::string warning = XaLowResolutionWarning(layout, int32_t(i));
    if (warning.empty()) continue;
    const XaPaperBox box = layout.AreaOnPaper(int32_t(i), paper);
    TPxLayer& mark = *view.Layer(view.AddLayer());
    // Two pixels: a single one would not count as a picture to place.
    if (!mark.Bitmap->Allocate(2, 2, pxRGB24)) continue;
    mark.Bitmap->Fill(0);
    mark.Bitmap->AlphaChannel()->Fill(0);
    mark.Opacity = 0;
    mark.ShowBox = false;
    mark.Locked = true;
    mark.Left = int32_t(std::lround(box.X * dpi));
    mark.Top = int32_t(std::lround(box.Y * dpi));
    mark.Width = std::max<int32_t>(1, int32_t(std::lround(box.Width * dpi)));
    mark.Height = std::max<int32_t>(1, int32_t(std::lround(box.Height * dpi)));
    mark.Badge = pxlbWarning;
    mark.BadgeText = std::move(warning);
  }
  view.SetCurrentLayer(0);
}

}  // namespace

TDPrintPreview::TDPrintPreview(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Print Preview");
  resize(640, 760);
  auto view = std::make_unique<TImagingView>();
  CtrlPage = view.get();
  CtrlPage->SetBackground(kGround);
  CtrlPage->SetAutoFit(true);
  CtrlPage->ZoomFilter = rfTriangle;
  // The warning marks' layers lie over their pictures, not over the whole page.
  CtrlPage->SetLayersSync(false);
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
  CtrlPage->SetCurrentLayer(0);
  CtrlPage->Bitmap()->TakeOver(page);
  MarkLowResolution(*CtrlPage, layout, paper, dpi);
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
