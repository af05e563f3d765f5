#include "platform/pxprinter.h"

#include <cups/cups.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "util/qtapp.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QPrinter>
#include <QImage>
#include <filesystem>
#include <functional>

#include "imaging/core/pxbitmapprint.h"
#include "util/cupsserver.h"
#include "util/testutil.h"

namespace {

QApplication& App() { return testutil::QtApp(); }

TPxPackedDib SolidDib(int32_t w, int32_t h, int32_t bits, uint8_t value) {
  TPxPackedDib dib;
  dib.Width = w;
  dib.Height = h;
  dib.BitCount = bits;
  if (bits == 8)
    for (int i = 0; i < 256; ++i) dib.ColorTable.push_back({uint8_t(i), uint8_t(i), uint8_t(i), 0});
  if (bits == 1) dib.ColorTable = {{0, 0, 0, 0}, {255, 255, 255, 255}};
  dib.Bits.assign(size_t(dib.RowBytes() * h), value);
  return dib;
}

// Bounding box of the pixels for which `match` holds, at the rasterised page.
QRect FindBox(const QImage& page, const std::function<bool(QRgb)>& match) {
  QRect box;
  for (int y = 0; y < page.height(); ++y)
    for (int x = 0; x < page.width(); ++x)
      if (match(page.pixel(x, y))) box |= QRect(x, y, 1, 1);
  return box;
}

QImage Rasterise(const std::string& pdf, const testutil::TempDir& dir) {
  auto r = testutil::RunCommand("pdftoppm -r 100 -png -singlefile '" + pdf + "' '" +
                                dir.File("page") + "'");
  EXPECT_EQ(r.status, 0) << r.output;
  return QImage(QString::fromStdString(dir.File("page.png"))).convertToFormat(QImage::Format_RGB32);
}

TEST(PxPrinter, PdfPagePlacesBitmapsFromThePapersCorner) {
  App();
  testutil::TempDir dir;
  const std::string pdf = dir.File("out.pdf");
  auto job = PxNewPdfPrintJob(pdf);
  job->BeginDoc();
  TPxPrinterCanvas& canvas = job->Canvas();
  const int dpi = canvas.DpiX();
  ASSERT_EQ(canvas.DpiY(), dpi);
  // Red (blue, green, red byte order) stretched from 20 x 10 into 2 x 1 inches at (1, 0.5).
  TPxPackedDib red = SolidDib(20, 10, 24, 0);
  for (int32_t y = 0; y < red.Height; ++y)
    for (int32_t x = 0; x < red.Width; ++x) red.Bits[size_t(y * red.RowBytes() + x * 3 + 2)] = 255;
  canvas.StretchDib(red, dpi, dpi / 2, 2 * dpi, dpi, 0, 0, 20, 10);
  // Middle gray through the colour table, 1 inch square at (4, 4).
  canvas.StretchDib(SolidDib(8, 8, 8, 128), 4 * dpi, 4 * dpi, dpi, dpi, 0, 0, 8, 8);
  // 1-bit black (index 0) at (1, 8), 3 x 0.5 inches, unstretched source rectangle.
  canvas.StretchDib(SolidDib(64, 16, 1, 0x00), dpi, 8 * dpi, 3 * dpi, dpi / 2, 0, 0, 64, 16);
  job->EndDoc();

  QImage page = Rasterise(pdf, dir);
  ASSERT_EQ(page.size(), QSize(850, 1100));
  QRect r = FindBox(page, [](QRgb c) { return qRed(c) > 200 && qGreen(c) < 60 && qBlue(c) < 60; });
  EXPECT_NEAR(r.left(), 100, 1);
  EXPECT_NEAR(r.top(), 50, 1);
  EXPECT_NEAR(r.width(), 200, 1);
  EXPECT_NEAR(r.height(), 100, 1);
  QRect g = FindBox(page, [](QRgb c) {
    return std::abs(qRed(c) - 128) < 12 && std::abs(qGreen(c) - 128) < 12 && std::abs(qBlue(c) - 128) < 12;
  });
  EXPECT_NEAR(g.left(), 400, 1);
  EXPECT_NEAR(g.top(), 400, 1);
  EXPECT_NEAR(g.width(), 100, 1);
  QRect k = FindBox(page, [](QRgb c) { return qRed(c) < 40 && qGreen(c) < 40 && qBlue(c) < 40; });
  EXPECT_NEAR(k.left(), 100, 1);
  EXPECT_NEAR(k.top(), 800, 1);
  EXPECT_NEAR(k.width(), 300, 1);
  EXPECT_NEAR(k.height(), 50, 1);
}

TEST(PxPrinter, AbortedJobLeavesNoFile) {
  App();
  testutil::TempDir dir;
  const std::string pdf = dir.File("aborted.pdf");
  auto job = PxNewPdfPrintJob(pdf);
  job->BeginDoc();
  job->Canvas().StretchDib(SolidDib(4, 4, 24, 0), 0, 0, 100, 100, 0, 0, 4, 4);
  job->Abort();
  EXPECT_FALSE(std::filesystem::exists(pdf));
}

TEST(PxPrinter, EmptyJobStillMakesAPage) {
  App();
  testutil::TempDir dir;
  const std::string pdf = dir.File("empty.pdf");
  auto job = PxNewPdfPrintJob(pdf);
  job->BeginDoc();
  job->EndDoc();
  QImage page = Rasterise(pdf, dir);
  EXPECT_EQ(page.size(), QSize(850, 1100));
  EXPECT_TRUE(FindBox(page, [](QRgb c) { return qGray(c) < 250; }).isEmpty());
}

// Points this process's print client at a server; libcups reads
// CUPS_SERVER once per thread, and is made to read it again.
class UsePrintServer {
 public:
  explicit UsePrintServer(const std::string& address) {
    setenv("CUPS_SERVER", address.c_str(), 1);
    cupsSetServer(nullptr);
  }
  ~UsePrintServer() {
    unsetenv("CUPS_SERVER");
    cupsSetServer(nullptr);
  }
};

TEST(PxPrinter, QueueThatRefusesTheSubmittedJobIsAnErrorWithItsReason) {
  App();
  testutil::CupsServer server;
  const std::string out = server.AddQueue("photos");
  UsePrintServer use(server.Address());
  auto job = PxNewQueuePrintJob("photos");
  job->BeginDoc();
  job->Canvas().StretchDib(SolidDib(4, 4, 24, 0), 0, 0, 100, 100, 0, 0, 4, 4);
  // Refused after the job began: only the submission meets the refusal.
  auto reject = server.Run("cupsreject -r 'Cover open' photos");
  ASSERT_EQ(reject.status, 0) << reject.output;
  try {
    job->EndDoc();
    ADD_FAILURE() << "a refused job was taken as printed";
  } catch (const TPxPrintError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("not accepting jobs")) << e.what();
    EXPECT_THAT(e.what(), ::testing::HasSubstr("Cover open")) << e.what();
  }
  EXPECT_EQ(server.Run("lpstat -W all -o").output, "");

  // Accepting again, the queue takes the next job and prints it.
  ASSERT_EQ(server.Run("cupsaccept photos").status, 0);
  auto next = PxNewQueuePrintJob("photos");
  next->BeginDoc();
  next->EndDoc();
  EXPECT_EQ(next->Warning(), "");
  EXPECT_TRUE(testutil::WaitForFile(out, 20)) << server.Log();
}

TEST(PxPrinter, SetupChoosesThePrinterAndPaperOfTheNextPrint) {
  App();
  testutil::CupsServer server;
  server.AddQueue("photos");
  const std::string office = server.AddQueue("office");
  server.AddQueue("margins", testutil::MarginsPpd(18, 36, 18, 36));
  UsePrintServer use(server.Address());
  QPrinter& printer = PxCurrentPrinter();
  // What an earlier dialog may have left: the layouts print portrait.
  printer.setPageOrientation(QPageLayout::Landscape);
  printer.setPageSize(QPageSize(QPageSize::Letter));
  std::unique_ptr<QDialog> dialog = PxNewPrinterSetupDialog(nullptr);
  auto* names = dialog->findChild<QComboBox*>("PrinterName");
  auto* paper = dialog->findChild<QComboBox*>("PaperSize");
  auto* colour = dialog->findChild<QComboBox*>("ColorMode");
  ASSERT_NE(names, nullptr);
  ASSERT_NE(paper, nullptr);
  ASSERT_NE(colour, nullptr);
  // Only what the print honours is offered.
  EXPECT_EQ(dialog->findChildren<QComboBox*>().size(), 3);
  // A printer that describes its papers offers those, the chosen one kept.
  names->setCurrentIndex(names->findText("margins"));
  EXPECT_EQ(paper->count(), 2);
  EXPECT_EQ(paper->currentData().toString(), "letter");
  EXPECT_GE(paper->findData("a4"), 0);
  const int at = names->findText("office");
  ASSERT_GE(at, 0) << "the server's queues are listed";
  EXPECT_GE(names->findText("photos"), 0);
  names->setCurrentIndex(at);
  // A raw queue names no papers: the common ones are offered.
  EXPECT_GE(paper->count(), 5);
  EXPECT_EQ(paper->currentData().toString(), "letter");
  paper->setCurrentIndex(paper->findData("a4"));
  colour->setCurrentIndex(1);
  PxApplyPrinterSetup(*dialog);
  EXPECT_EQ(printer.printerName().toStdString(), "office");
  EXPECT_EQ(printer.colorMode(), QPrinter::GrayScale);
  EXPECT_EQ(printer.pageLayout().orientation(), QPageLayout::Portrait);
  EXPECT_EQ(printer.pageLayout().pageSize().id(), QPageSize::A4);
  EXPECT_EQ(PxPaperName(PxCurrentPaper()), "a4");
  EXPECT_EQ(PxCurrentPrinterName(), "office");
  // The next print goes to the chosen queue, on its paper.
  auto job = PxNewPrintJob();
  EXPECT_EQ(PxPaperName(job->Paper()), "a4");
  job->BeginDoc();
  job->Canvas().StretchDib(SolidDib(4, 4, 24, 0), 0, 0, 100, 100, 0, 0, 4, 4);
  job->EndDoc();
  ASSERT_TRUE(testutil::WaitForFile(office, 20)) << server.Log();
  testutil::TempDir dir;
  const QSize a4Page = Rasterise(office, dir).size();
  EXPECT_EQ(a4Page.width(), 827);
  EXPECT_NEAR(a4Page.height(), 1169, 1);
  printer.setColorMode(QPrinter::Color);
  PxSetCurrentPaper(TPxPaper{});
  EXPECT_EQ(printer.pageLayout().pageSize().id(), QPageSize::Letter);
}

TEST(PxPrinter, JobsTellTheirPaperAndThePrintersMargins) {
  App();
  testutil::CupsServer server;
  server.AddQueue("margins", testutil::MarginsPpd(18, 36, 9, 72));
  server.AddQueue("raw");
  UsePrintServer use(server.Address());
  const TPxPaper a4 = *PxPaperFromName("a4");
  const struct {
    const char* what;
    std::function<std::unique_ptr<TPxPrintJob>()> make;
    const char* paper;
    double left, top, right, bottom;
  } cases[] = {
      {"PDF, letter", [] { return PxNewPdfPrintJob("/tmp/unused.pdf"); }, "letter", 0, 0, 0, 0},
      {"PDF, 4x6in", [] { return PxNewPdfPrintJob("/tmp/unused.pdf", *PxPaperFromName("4x6in")); }, "4x6in", 0, 0, 0, 0},
      {"raw queue, A4", [&] { return PxNewQueuePrintJob("raw", a4); }, "a4", 0, 0, 0, 0},
      {"described queue, letter", [] { return PxNewQueuePrintJob("margins"); }, "letter", 0.25, 0.5, 0.125, 1},
      {"described queue, A4", [&] { return PxNewQueuePrintJob("margins", a4); }, "a4", 0.25, 0.5, 0.125, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const TPxPaper paper = c.make()->Paper();
    EXPECT_EQ(PxPaperName(paper), c.paper);
    EXPECT_NEAR(paper.MarginLeft, c.left, 1e-6);
    EXPECT_NEAR(paper.MarginTop, c.top, 1e-6);
    EXPECT_NEAR(paper.MarginRight, c.right, 1e-6);
    EXPECT_NEAR(paper.MarginBottom, c.bottom, 1e-6);
  }
  // The PDF page has the paper's size.
  testutil::TempDir dir;
  auto job = PxNewPdfPrintJob(dir.File("a4.pdf"), a4);
  job->BeginDoc();
  job->EndDoc();
  const QSize page = Rasterise(dir.File("a4.pdf"), dir).size();
  EXPECT_EQ(page.width(), 827);
  EXPECT_NEAR(page.height(), 1169, 1);
}

// A page printed onto a picture and the same transfers printed to PDF look alike.
TEST(PxPrinter, PictureOfThePageMatchesThePdfPage) {
  App();
  testutil::TempDir dir;
  const TPxPaper paper = *PxPaperFromName("5x7in");
  TPxBitmapPrintJob picture(paper, 100);
  auto pdf = PxNewPdfPrintJob(dir.File("page.pdf"), paper);
  TPxPackedDib red = SolidDib(20, 10, 24, 0);
  for (int32_t y = 0; y < red.Height; ++y)
    for (int32_t x = 0; x < red.Width; ++x) red.Bits[size_t(y * red.RowBytes() + x * 3 + 2)] = 255;
  TPxPackedDib ramp = SolidDib(4, 1, 8, 0);
  ramp.Bits = {0, 90, 180, 250};
  for (TPxPrintJob* job : {static_cast<TPxPrintJob*>(&picture), pdf.get()}) {
    job->BeginDoc();
    TPxPrinterCanvas& canvas = job->Canvas();
    const int dpi = canvas.DpiX();
    canvas.StretchDib(red, dpi / 2, dpi / 2, 2 * dpi, dpi, 0, 0, 20, 10);
    canvas.StretchDib(ramp, dpi, 2 * dpi, 2 * dpi, dpi / 2, 0, 0, 4, 1);
    canvas.StretchDib(SolidDib(64, 16, 1, 0x00), dpi, 4 * dpi, 3 * dpi, dpi / 2, 0, 0, 64, 16);
    // Half off the paper's right edge.
    canvas.StretchDib(red, 4 * dpi, 6 * dpi, 2 * dpi, dpi / 2, 0, 0, 20, 10);
    job->EndDoc();
  }
  const QImage printed = Rasterise(dir.File("page.pdf"), dir);
  TPxBitmap& shown = picture.Page();
  ASSERT_EQ(printed.size(), QSize(shown.Width(), shown.Height()));
  auto near = [&](QRgb p, int x, int y) {
    if (x < 0 || y < 0) return false;
    const uint8_t* q = shown.Scanline(y) + x * 3;
    return std::abs(qRed(p) - q[2]) <= 8 && std::abs(qGreen(p) - q[1]) <= 8 && std::abs(qBlue(p) - q[0]) <= 8;
  };
  // pdftoppm draws every image a pixel wider and taller than its place: such
  // a pixel repeats the picture's left or upper neighbour.
  int differing = 0;
  for (int y = 0; y < shown.Height(); ++y)
    for (int x = 0; x < shown.Width(); ++x) {
      const QRgb p = printed.pixel(x, y);
      differing += !near(p, x, y) && !near(p, x - 1, y) && !near(p, x, y - 1) && !near(p, x - 1, y - 1);
    }
  EXPECT_EQ(differing, 0);
}

TEST(PxPrinter, UnknownQueueAndUnstartableJobAreErrors) {
  App();
  EXPECT_THROW(PxNewQueuePrintJob("no-such-printer-queue"), TPxPrintError);
  auto job = PxNewPdfPrintJob("/nonexistent-folder/out.pdf");
  EXPECT_THROW(job->BeginDoc(), TPxPrintError);
  EXPECT_THROW(job->Canvas(), TPxPrintError);
}

}  // namespace
