#include "platform/pxprinter.h"

#include <QPageSetupDialog>
#include <QPrinter>

QPrinter& PxCurrentPrinter() {
  static QPrinter printer(QPrinter::HighResolution);
  return printer;
}

void PxShowPrinterSetup(QWidget* parent) {
  QPageSetupDialog dialog(&PxCurrentPrinter(), parent);
  dialog.exec();
}
