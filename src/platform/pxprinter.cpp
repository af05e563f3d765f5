#include "platform/pxprinter.h"

#include <QFile>
#include <QImage>
#include <QPageSetupDialog>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <cstring>

QPrinter& PxCurrentPrinter() {
  static QPrinter printer(QPrinter::HighResolution);
  static bool prepared = false;
  if (!prepared) {
    prepared = true;
    printer.setPageSize(QPageSize(QPageSize::Letter));
    printer.setFullPage(true);
  }
  return printer;
}

void PxShowPrinterSetup(QWidget* parent) {
  QPageSetupDialog dialog(&PxCurrentPrinter(), parent);
  dialog.exec();
}

bool PxShowPrintDialog(QWidget* parent) {
  QPrinter& printer = PxCurrentPrinter();
  printer.setCopyCount(1);
  printer.setFromTo(1, 1);
  QPrintDialog dialog(&printer, parent);
  dialog.setMinMax(1, 1);
  return dialog.exec() == QDialog::Accepted;
}

void PxPrintToPdf(const std::string& fileName) {
  QPrinter& printer = PxCurrentPrinter();
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(QString::fromStdString(fileName));
  // PDF output has no device resolution of its own; 600 dpi keeps photographs sharp.
  printer.setResolution(600);
}

void PxPrintToQueue(const std::string& queue) {
  QPrinterInfo info = QPrinterInfo::printerInfo(QString::fromStdString(queue));
  if (info.isNull()) throw TPxPrintError("There is no printer named \"" + queue + "\".");
  QPrinter& printer = PxCurrentPrinter();
  printer.setOutputFormat(QPrinter::NativeFormat);
  printer.setPrinterName(info.printerName());
}

namespace {

// The transfer's source as a QImage of the same pixels, rows top-down.
QImage DibToImage(const TPxPackedDib& dib) {
  QImage::Format format = dib.BitCount == 1   ? QImage::Format_Mono
                          : dib.BitCount == 8 ? QImage::Format_Indexed8
                                              : QImage::Format_BGR888;
  QImage image(dib.Width, dib.Height, format);
  if (image.isNull()) return image;
  if (dib.BitCount != 24) {
    QList<QRgb> table;
    for (const TPxRGBQuad& q : dib.ColorTable) table.push_back(qRgb(q.Red, q.Green, q.Blue));
    image.setColorTable(table);
  }
  const size_t copy = std::min<size_t>(size_t(image.bytesPerLine()), size_t(dib.RowBytes()));
  for (int32_t y = 0; y < dib.Height; ++y) std::memcpy(image.scanLine(y), dib.TopDownRow(y), copy);
  return image;
}

class TPxQtCanvas : public TPxPrinterCanvas {
 public:
  TPxQtCanvas(QPrinter& printer, QPainter& painter) : printer_(printer), painter_(painter) {}
  int32_t DpiX() const override { return printer_.logicalDpiX(); }
  int32_t DpiY() const override { return printer_.logicalDpiY(); }
  void StretchDib(const TPxPackedDib& dib, int32_t destX, int32_t destY, int32_t destW,
                  int32_t destH, int32_t srcX, int32_t srcY, int32_t srcW, int32_t srcH) override {
    if (dib.Width <= 0 || dib.Height <= 0 || destW <= 0 || destH <= 0) return;
    QImage image = DibToImage(dib);
    if (image.isNull()) return;  // a failed transfer is not reported
    painter_.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter_.setCompositionMode(QPainter::CompositionMode_Source);
    painter_.drawImage(QRect(destX, destY, destW, destH), image, QRect(srcX, srcY, srcW, srcH));
  }

 private:
  QPrinter& printer_;
  QPainter& painter_;
};

class TPxQtPrintJob : public TPxPrintJob {
 public:
  explicit TPxQtPrintJob(QPrinter& printer) : printer_(printer) {}
  ~TPxQtPrintJob() override {
    if (painter_.isActive()) Abort();
  }

  void BeginDoc() override {
    printer_.setFullPage(true);
    printer_.setCopyCount(std::max(1, printer_.copyCount()));
    if (!painter_.begin(&printer_))
      throw TPxPrintError("The print job could not be started on \"" + PrinterName() + "\".");
    canvas_ = std::make_unique<TPxQtCanvas>(printer_, painter_);
  }

  TPxPrinterCanvas& Canvas() override {
    if (!canvas_) throw TPxPrintError("No print job has been started.");
    return *canvas_;
  }

  void EndDoc() override {
    canvas_.reset();
    if (painter_.isActive() && !painter_.end())
      throw TPxPrintError("The print job could not be sent to \"" + PrinterName() + "\".");
  }

  void Abort() override {
    canvas_.reset();
    if (!painter_.isActive()) return;
    printer_.abort();
    painter_.end();
    // A PDF file holds nothing of an abandoned job.
    if (printer_.outputFormat() == QPrinter::PdfFormat && !printer_.outputFileName().isEmpty())
      QFile::remove(printer_.outputFileName());
  }

 private:
  std::string PrinterName() const {
    return printer_.outputFormat() == QPrinter::PdfFormat ? printer_.outputFileName().toStdString()
                                                           : printer_.printerName().toStdString();
  }

  QPrinter& printer_;
  QPainter painter_;
  std::unique_ptr<TPxQtCanvas> canvas_;
};

}  // namespace

std::unique_ptr<TPxPrintJob> PxNewPrintJob() {
  return std::make_unique<TPxQtPrintJob>(PxCurrentPrinter());
}
