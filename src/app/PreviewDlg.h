// The print preview window: the page as Print sends it to the current
// printer, printed onto a picture of its paper.
#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <string>

#include "imaging/core/pxprint.h"

class QLabel;
class QPushButton;
class TImagingView;
class TPxViewWidget;
class XaLayout;

class TDPrintPreview : public QDialog {
  Q_OBJECT

 public:
  explicit TDPrintPreview(QWidget* parent = nullptr);
  ~TDPrintPreview() override;

  // Prints the layout's page onto the paper at dpi and shows it on a dark
  // ground that marks the paper's edge, the printer's unprintable margins
  // shaded; names the paper and the printer, and every picture that would
  // not print whole. Fails as printing does.
  void ShowPage(XaLayout& layout, const TPxPaper& paper, const std::string& printerName, int32_t dpi);

  // "Print": the window closes and this prints the page.
  std::function<void()> OnPrint;

  TPxViewWidget* CtrlPageHost;
  TImagingView* CtrlPage;  // the printed paper, owned by its host widget
  QLabel* LPaper;          // paper and printer
  QLabel* LCutAreas;       // the pictures that would be cut; hidden when none
  QPushButton* BPrint;
  QPushButton* BClose;
  int32_t Dpi = 0;  // of the page shown

 private:
  void BPrintClick();
};
