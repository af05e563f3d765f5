// The main window: every user action starts here.
#pragma once

#include <QMainWindow>
#include <memory>

#include "app/gen.h"

class QAction;
class QFrame;

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

  QFrame* PnlThumbs;
  QFrame* PnlMain;
  QFrame* PnlInfo;
  QFrame* PnlDisplay;
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

  std::unique_ptr<XaApplication> application_;
  bool shown_ = false;
};
