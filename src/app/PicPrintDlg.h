// The main window: every user action starts here.
#pragma once

#include <QMainWindow>
#include <memory>
#include <string>
#include <vector>

#include "app/gen.h"

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class TImagingVect;
class TImagingView;
class TPxViewWidget;
class XaLayout;

class TDPicPrint : public QMainWindow, public XaMainWindowPlace {
  Q_OBJECT

 public:
  explicit TDPicPrint(QWidget* parent = nullptr);
  ~TDPicPrint() override;

  // XaMainWindowPlace
  XaRect WindowBounds() const override;
  bool WindowStateNormal() const override;
  void SetWindowLeft(int32_t v) override;
  void SetWindowTop(int32_t v) override;
  void SetWindowWidth(int32_t v) override;
  void SetWindowHeight(int32_t v) override;
  void KeepWindowOnScreen() override;

  // Drag and drop on the page view, in its client pixels. A drop carries the
  // dropped files, or none for a drag of our own thumbnails.
  bool CtrlVectDragOver(int32_t x, int32_t y);
  void CtrlVectDragDrop(int32_t x, int32_t y, const std::vector<std::string>& files);
  void DImageFitChange(int index);
  void BChooseLayoutClick();
  void BPrintClick();

  XaLayout* Layout() const { return layout_.get(); }

  QFrame* PnlThumbs;
  QFrame* PnlMain;
  QFrame* PnlInfo;
  QFrame* PnlDisplay;
  QLabel* Label4;
  QComboBox* DImageFit;
  QPushButton* BChooseLayout;
  QPushButton* BPrint;
  QFrame* PnlWarning;
  QLabel* LWarning;
  TPxViewWidget* CtrlVectHost;
  TImagingVect* CtrlVect;  // the page view, owned by its host widget
  QAction* MnuPrinterSetup;
  QAction* MnuExit;
  QAction* MContents;
  QAction* About1;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormCreate();
  void FormShow();
  void FormClose();
  void MnuPrinterSetupClick();
  void MContentsClick();
  void About1Click();
  void ShowNotice(const char* text, int points);

  std::unique_ptr<XaApplication> application_;
  std::unique_ptr<TImagingView> workView_;  // CtrlImage2: prepares pictures out of sight
  std::unique_ptr<XaLayout> layout_;
  bool shown_ = false;
};
