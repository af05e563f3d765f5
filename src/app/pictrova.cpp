// Start-up: the application title, the windows in their order, the message loop.
#include <QApplication>

#include "app/AboutDlg.h"
#include "app/HelpDlg.h"
#include "app/ImageMapDlg.h"
#include "app/PicPrintDlg.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Pictrova");
  // The first window created is the main window; the others live as long.
  TDPicPrint mainWindow;
  TDImageMap imageMap(&mainWindow);
  TDHelp help(&mainWindow);
  TDAbout about(&mainWindow);
  mainWindow.show();
  return app.exec();
}
