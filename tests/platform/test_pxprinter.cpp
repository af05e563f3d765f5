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

TEST(PxPrinter, SetupChoosesThePrinterOfTheNextPrintAndKeepsTheLetterPage) {
  App();
  testutil::CupsServer server;
  server.AddQueue("photos");
  const std::string office = server.AddQueue("office");
  UsePrintServer use(server.Address());
  QPrinter& printer = PxCurrentPrinter();
  // What an earlier dialog may have left: the layouts print portrait on letter.
  printer.setPageOrientation(QPageLayout::Landscape);
  printer.setPageSize(QPageSize(QPageSize::A4));
  std::unique_ptr<QDialog> dialog = PxNewPrinterSetupDialog(nullptr);
  auto* names = dialog->findChild<QComboBox*>("PrinterName");
  auto* colour = dialog->findChild<QComboBox*>("ColorMode");
  ASSERT_NE(names, nullptr);
  ASSERT_NE(colour, nullptr);
  // Only what the print honours is offered.
  EXPECT_EQ(dialog->findChildren<QComboBox*>().size(), 2);
  const int at = names->findText("office");
  ASSERT_GE(at, 0) << "the server's queues are listed";
  EXPECT_GE(names->findText("photos"), 0);
  names->setCurrentIndex(at);
  colour->setCurrentIndex(1);
  PxApplyPrinterSetup(*dialog);
  EXPECT_EQ(printer.printerName().toStdString(), "office");
  EXPECT_EQ(printer.colorMode(), QPrinter::GrayScale);
  EXPECT_EQ(printer.pageLayout().orientation(), QPageLayout::Portrait);
  EXPECT_EQ(printer.pageLayout().pageSize().id(), QPageSize::Letter);
  // The next print goes to the chosen queue.
  auto job = PxNewPrintJob();
  job->BeginDoc();
  job->Canvas().StretchDib(SolidDib(4, 4, 24, 0), 0, 0, 100, 100, 0, 0, 4, 4);
  job->EndDoc();
  EXPECT_TRUE(testutil::WaitForFile(office, 20)) << server.Log();
  printer.setColorMode(QPrinter::Color);
}

TEST(PxPrinter, UnknownQueueAndUnstartableJobAreErrors) {
  App();
  EXPECT_THROW(PxNewQueuePrintJob("no-such-printer-queue"), TPxPrintError);
  auto job = PxNewPdfPrintJob("/nonexistent-folder/out.pdf");
  EXPECT_THROW(job->BeginDoc(), TPxPrintError);
  EXPECT_THROW(job->Canvas(), TPxPrintError);
}

}  // namespace
