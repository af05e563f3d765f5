#include "app/HelpDlg.h"

#include <QFrame>
#include <QShowEvent>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "app/gen.h"

TDHelp* DHelp = nullptr;

TDHelp::TDHelp(QWidget* parent) : QDialog(parent) {
  DHelp = this;
  setWindowTitle("Help");
  resize(632, 452);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  PnlContent = new QFrame(this);
  PnlContent->setObjectName("PnlContent");
  outer->addWidget(PnlContent);
  auto* inner = new QVBoxLayout(PnlContent);
  inner->setContentsMargins(0, 0, 0, 0);
  CtrlWeb = new QTextBrowser(PnlContent);
  CtrlWeb->setObjectName("CtrlWeb");
  CtrlWeb->setOpenExternalLinks(false);
  inner->addWidget(CtrlWeb);
}

void TDHelp::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TDHelp::FormShow() {
  if (parentWidget()) move(parentWidget()->frameGeometry().center() - rect().center());
  // Loaded anew at every showing, so an edited page shows at once.
  CtrlWeb->clearHistory();
  CtrlWeb->setSource(QUrl());
  CtrlWeb->setSource(QUrl::fromLocalFile(QString::fromStdString(ProgramFolder() + "help.htm")));
}
