#include "platform/pxprinter.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFormLayout>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/pxprintqueue.h"

namespace {

// Pages print portrait, measured from the paper's corner.
void PreparePage(QPrinter& printer, const QPageSize& size) {
  printer.setPageSize(size);
  printer.setPageOrientation(QPageLayout::Portrait);
  printer.setFullPage(true);
}

QPageSize PageSizeOf(const TPxPaper& paper) {
  const std::string name = PxPaperName(paper);
  if (name == "letter") return QPageSize(QPageSize::Letter);
  if (name == "a4") return QPageSize(QPageSize::A4);
  return QPageSize(QSizeF(paper.Width, paper.Height), QPageSize::Inch, QString(),
                   QPageSize::FuzzyMatch);
}

double InchesPer(QPageLayout::Unit unit) {
  switch (unit) {
    case QPageLayout::Millimeter: return 1 / 25.4;
    case QPageLayout::Point: return 1 / 72.0;
    case QPageLayout::Inch: return 1;
    case QPageLayout::Pica: return 1 / 6.0;
    case QPageLayout::Didot: return 0.375 / 25.4;
    case QPageLayout::Cicero: return 4.5 / 25.4;
  }
  return 1 / 72.0;
}

// A page size as a portrait sheet without margins. Millimetres give letter
// and A4 exactly; Qt rounds inches to hundredths.
TPxPaper SheetOf(const QPageSize& size) {
  const QSizeF mm = size.size(QPageSize::Millimeter);
  TPxPaper paper;
  paper.Width = std::min(mm.width(), mm.height()) / 25.4;
  paper.Height = std::max(mm.width(), mm.height()) / 25.4;
  return paper;
}

// The printer's paper, portrait, with the margins it cannot print on.
TPxPaper PaperOf(const QPrinter& printer) {
  const QPageLayout layout = printer.pageLayout();
  TPxPaper paper = SheetOf(layout.pageSize());
  const QMarginsF m = layout.minimumMargins();
  const double k = InchesPer(layout.units());
  paper.MarginLeft = m.left() * k, paper.MarginTop = m.top() * k;
  paper.MarginRight = m.right() * k, paper.MarginBottom = m.bottom() * k;
  return paper;
}

// The papers offered for a printer that names none of its own.
QList<QPageSize> CommonPageSizes() {
  return {QPageSize(QPageSize::Letter), QPageSize(QPageSize::A4), QPageSize(QPageSize::Legal),
          QPageSize(QPageSize::A5), QPageSize(QSizeF(8, 10), QPageSize::Inch, "8 x 10 in"),
          QPageSize(QSizeF(5, 7), QPageSize::Inch, "5 x 7 in"),
          QPageSize(QSizeF(4, 6), QPageSize::Inch, "4 x 6 in")};
}

// Fills the paper list with the printer's papers, keeping the chosen one
// where the printer has it, else letter, else its first.
void FillPaperSizes(QComboBox& list, const QString& printerName, const std::string& wanted) {
  QList<QPageSize> sizes;
  if (!printerName.isEmpty()) sizes = QPrinterInfo::printerInfo(printerName).supportedPageSizes();
  if (sizes.isEmpty()) sizes = CommonPageSizes();
  list.clear();
  for (const QPageSize& size : sizes) {
    const QString name = QString::fromStdString(PxPaperName(SheetOf(size)));
    if (list.findData(name) < 0) list.addItem(size.name(), name);
  }
  int at = list.findData(QString::fromStdString(wanted));
  if (at < 0) at = list.findData("letter");
  list.setCurrentIndex(std::max(0, at));
}

}  // namespace

QPrinter& PxCurrentPrinter() {
  static QPrinter printer(QPrinter::HighResolution);
  static bool prepared = false;
  if (!prepared) {
    prepared = true;
    PreparePage(printer, QPageSize(QPageSize::Letter));
  }
  return printer;
}

TPxPaper PxCurrentPaper() { return PaperOf(PxCurrentPrinter()); }

std::string PxCurrentPrinterName() {
  const QPrinter& printer = PxCurrentPrinter();
  return (printer.outputFormat() == QPrinter::PdfFormat ? printer.outputFileName()
                                                          : printer.printerName())
      .toStdString();
}

void PxSetCurrentPaper(const TPxPaper& paper) { PreparePage(PxCurrentPrinter(), PageSizeOf(paper)); }

std::unique_ptr<QDialog> PxNewPrinterSetupDialog(QWidget* parent) {
  QPrinter& printer = PxCurrentPrinter();
  auto dialog = std::make_unique<QDialog>(parent);
  dialog->setWindowTitle("Printer Setup");
  auto* form = new QFormLayout;
  auto* names = new QComboBox(dialog.get());
  names->setObjectName("PrinterName");
  const QStringList available = QPrinterInfo::availablePrinterNames();
  names->addItems(available);
  QString current = printer.printerName();
  if (!available.contains(current)) current = QPrinterInfo::defaultPrinterName();
  names->setCurrentIndex(std::max(0, int(available.indexOf(current))));
  names->setEnabled(!available.isEmpty());
  form->addRow("&Printer:", names);
  auto* paper = new QComboBox(dialog.get());
  paper->setObjectName("PaperSize");
  FillPaperSizes(*paper, names->currentText(), PxPaperName(PaperOf(printer)));
  // Another printer offers its own papers; the one chosen stays where it can.
  QObject::connect(names, &QComboBox::currentTextChanged, paper, [paper](const QString& name) {
    FillPaperSizes(*paper, name, paper->currentData().toString().toStdString());
  });
  form->addRow("P&aper:", paper);
  auto* colour = new QComboBox(dialog.get());
  colour->setObjectName("ColorMode");
  colour->addItems({"Colour", "Grayscale"});
  colour->setCurrentIndex(printer.colorMode() == QPrinter::GrayScale ? 1 : 0);
  form->addRow("&Colour:", colour);
  auto* layout = new QVBoxLayout(dialog.get());
  layout->addLayout(form);
  if (available.isEmpty()) {
    auto* none = new QLabel("No printer is set up on this computer.", dialog.get());
    none->setObjectName("NoPrinter");
    layout->addWidget(none);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog.get());
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog.get(), &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog.get(), &QDialog::reject);
  layout->addWidget(buttons);
  return dialog;
}

void PxApplyPrinterSetup(QDialog& dialog) {
  QPrinter& printer = PxCurrentPrinter();
  auto* names = dialog.findChild<QComboBox*>("PrinterName");
  auto* paper = dialog.findChild<QComboBox*>("PaperSize");
  auto* colour = dialog.findChild<QComboBox*>("ColorMode");
  // Another printer brings its own default paper: the chosen one replaces it.
  TPxPaper chosen = PaperOf(printer);
  if (paper)
    if (auto p = PxPaperFromName(paper->currentData().toString().toStdString())) chosen = *p;
  if (names && names->isEnabled() && !names->currentText().isEmpty()) {
    printer.setOutputFormat(QPrinter::NativeFormat);
    printer.setPrinterName(names->currentText());
  }
  if (colour) printer.setColorMode(colour->currentIndex() == 1 ? QPrinter::GrayScale : QPrinter::Color);
  PreparePage(printer, PageSizeOf(chosen));
}

void PxShowPrinterSetup(QWidget* parent) {
  std::unique_ptr<QDialog> dialog = PxNewPrinterSetupDialog(parent);
  if (dialog->exec() == QDialog::Accepted) PxApplyPrinterSetup(*dialog);
}

bool PxShowPrintDialog(QWidget* parent) {
  QPrinter& printer = PxCurrentPrinter();
  printer.setCopyCount(1);
  printer.setFromTo(1, 1);
  QPrintDialog dialog(&printer, parent);
  dialog.setMinMax(1, 1);
  const bool confirmed = dialog.exec() == QDialog::Accepted;
  // The paper the dialog chose is used, portrait, whatever else it offered.
  PreparePage(printer, printer.pageLayout().pageSize());
  return confirmed;
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
  // A PDF file keeps the pictures as images; a print queue gets today's
  // device pixels, so that its driver sees what it always saw.
  bool KeepsPictures() const override { return printer_.outputFormat() == QPrinter::PdfFormat; }
  void StretchDib(const TPxPackedDib& dib, int32_t destX, int32_t destY, int32_t destW,
                  int32_t destH, int32_t srcX, int32_t srcY, int32_t srcW, int32_t srcH) override {
    if (dib.Width <= 0 || dib.Height <= 0 || destW <= 0 || destH <= 0) return;
    QImage image = DibToImage(dib);
    if (image.isNull()) return;  // a failed transfer is not reported
    if (KeepsPictures()) image = Kept(std::move(image));
    painter_.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter_.setCompositionMode(QPainter::CompositionMode_Source);
    painter_.drawImage(QRect(destX, destY, destW, destH), image, QRect(srcX, srcY, srcW, srcH));
  }

 private:
  // The same pixels as the picture drawn last are drawn as that very image,
  // which a PDF file then holds once (the nine wallets of one photo).
  QImage Kept(QImage image) {
    if (image == last_) return last_;
    last_ = image;
    return image;
  }

  QPrinter& printer_;
  QPainter& painter_;
  QImage last_;
};

// Text that ends as a sentence does.
std::string Sentence(std::string text) {
  if (!text.empty() && text.back() != '.' && text.back() != '!' && text.back() != '?') text += '.';
  return text;
}

// The queue's state when it takes jobs; else a TPxPrintError that says why not.
TPxQueueState QueueTakingJobs(const std::string& queue) {
  TPxQueueState state = PxAskQueue(queue);
  if (!state.Exists)
    throw TPxPrintError("There is no printer named \"" + queue + "\" on the print server " +
                        PxPrintServerName() + ".");
  if (!state.Accepting)
    throw TPxPrintError(
        "The printer \"" + queue + "\" does not accept jobs: " +
        Sentence(state.Reason.empty() ? "the print server refuses them" : state.Reason));
  return state;
}

// After submission: a warning when the job waits in a paused queue; a
// TPxPrintError when the server holds no new job of ours. refusal is what
// the server said to the submission, if it refused it.
std::string CheckSubmitted(const std::string& queue, int newestBefore, const std::string& refusal) {
  const TPxQueueState state = PxAskQueue(queue);
  if (state.Exists && state.NewestJob > newestBefore) {
    if (!state.Paused) return {};
    std::string reason = state.Reason;
    std::transform(reason.begin(), reason.end(), reason.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return "The printer \"" + queue + "\" is paused" +
           (reason.empty() || reason == "paused" ? "" : " (" + state.Reason + ")") +
           ": the job waits in its queue until the queue is resumed.";
  }
  std::string why = refusal.empty() ? "" : Sentence(refusal);
  if (!state.Exists)
    why += std::string(why.empty() ? "" : " ") + "The queue is gone from the print server.";
  else if (!state.Accepting && !state.Reason.empty())
    why += (why.empty() ? "" : " ") + Sentence(state.Reason);
  if (why.empty()) why = "The job is not in its queue.";
  throw TPxPrintError("The printer \"" + queue + "\" did not take the job: " + why);
}

// The print server's queue that a printer sends to; empty for a PDF file.
std::string QueueOf(const QPrinter& printer) {
  if (printer.outputFormat() != QPrinter::NativeFormat) return {};
  // Qt names an instance of a queue as queue/instance.
  const std::string name = printer.printerName().toStdString();
  return name.substr(0, name.find('/'));
}

class TPxQtPrintJob : public TPxPrintJob {
 public:
  explicit TPxQtPrintJob(QPrinter& printer) : printer_(printer) {}
  explicit TPxQtPrintJob(std::unique_ptr<QPrinter> own) : own_(std::move(own)), printer_(*own_) {}
  ~TPxQtPrintJob() override {
    if (painter_.isActive()) Abort();
  }

  void BeginDoc() override {
    warning_.clear();
    queue_ = QueueOf(printer_);
    // Qt's print support does not say whether the server took a job: the
    // queue's jobs before it tell which one is new afterwards.
    if (!queue_.empty()) newestBefore_ = QueueTakingJobs(queue_).NewestJob;
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
    if (!painter_.isActive()) return;
    const bool sent = painter_.end();
    const std::string refusal = queue_.empty() ? std::string() : PxLastServerRefusal();
    if (!sent)
      throw TPxPrintError("The print job could not be sent to \"" + PrinterName() + "\"." +
                          (refusal.empty() ? "" : " " + Sentence(refusal)));
    if (!queue_.empty()) warning_ = CheckSubmitted(queue_, newestBefore_, refusal);
  }

  std::string Warning() const override { return warning_; }

  TPxPaper Paper() const override { return PaperOf(printer_); }

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

  std::unique_ptr<QPrinter> own_;
  QPrinter& printer_;
  QPainter painter_;
  std::unique_ptr<TPxQtCanvas> canvas_;
  std::string queue_;  // the server's queue of the begun job; empty for a PDF file
  int newestBefore_ = 0;
  std::string warning_;
};

std::unique_ptr<QPrinter> PrinterWithPaper(std::unique_ptr<QPrinter> printer, const TPxPaper& paper) {
  PreparePage(*printer, PageSizeOf(paper));
  return printer;
}

}  // namespace

std::unique_ptr<TPxPrintJob> PxNewPrintJob() {
  return std::make_unique<TPxQtPrintJob>(PxCurrentPrinter());
}

std::unique_ptr<TPxPrintJob> PxNewPdfPrintJob(const std::string& fileName, const TPxPaper& paper) {
  auto printer = PrinterWithPaper(std::make_unique<QPrinter>(QPrinter::HighResolution), paper);
  printer->setOutputFormat(QPrinter::PdfFormat);
  printer->setOutputFileName(QString::fromStdString(fileName));
  // PDF has no device resolution of its own; 600 dpi keeps photographs sharp.
  printer->setResolution(600);
  return std::make_unique<TPxQtPrintJob>(std::move(printer));
}

std::unique_ptr<TPxPrintJob> PxNewQueuePrintJob(const std::string& queue, const TPxPaper& paper) {
  // The server first: Qt's list of printers is empty alike when the queue is
  // missing and when the server is down.
  QueueTakingJobs(queue);
  QPrinterInfo info = QPrinterInfo::printerInfo(QString::fromStdString(queue));
  if (info.isNull()) throw TPxPrintError("There is no printer named \"" + queue + "\".");
  auto printer = PrinterWithPaper(std::make_unique<QPrinter>(info, QPrinter::HighResolution), paper);
  // Pictures print in colour: Qt takes grayscale for a queue whose driver
  // does not say, and without a print dialog nobody can choose.
  printer->setColorMode(QPrinter::Color);
  return std::make_unique<TPxQtPrintJob>(std::move(printer));
}

std::shared_ptr<void> PxStartHeadlessPrinting() {
  if (QCoreApplication::instance()) return nullptr;
  // Printing draws no window: it must work without a display.
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // A command-line program says one line per failure: the platform's own
  // remarks about its session set-up are not for its users.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(text));
  });
  static int argc = 1;
  static char name[] = "pictrova";
  static char* argv[] = {name, nullptr};
  return std::make_shared<QGuiApplication>(argc, argv);
}
