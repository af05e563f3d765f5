// The Help window: shows the help page "help.htm" from the program folder.
#pragma once

#include <QDialog>

class QFrame;
class QTextBrowser;

class TDHelp : public QDialog {
  Q_OBJECT

 public:
  explicit TDHelp(QWidget* parent = nullptr);

  QFrame* PnlContent;
  QTextBrowser* CtrlWeb;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void FormShow();
};

extern TDHelp* DHelp;
