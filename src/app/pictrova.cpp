// Start-up: the application title, the windows in their order, the message loop.
//   pictrova [FOLDER]   FOLDER (or the folder of a picture, or a file:// URL,
//                       as file managers pass them) starts selected in the tree
#include <QApplication>
#include <QStringList>
#include <QUrl>
#include <filesystem>
#include <string>

#include "app/AboutDlg.h"
#include "app/HelpDlg.h"
#include "app/ImageMapDlg.h"
#include "app/PicPrintDlg.h"

namespace {

// The folder a command-line argument names, absolute; empty when it names
// nothing that exists.
std::string StartFolder(const QString& argument) {
  const QUrl url(argument);
  const QString local = url.isLocalFile() ? url.toLocalFile() : argument;
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(local.toStdString(), ec);
  if (ec) return {};
  if (!std::filesystem::is_directory(path, ec)) {
    if (!std::filesystem::exists(path, ec)) return {};
    path = path.parent_path();
  }
  path = std::filesystem::weakly_canonical(path, ec);
  return ec ? std::string() : path.string();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Pictrova");
  // Qt has taken its own options out of the arguments by now.
  const QStringList arguments = QApplication::arguments();
  const std::string startFolder = arguments.size() > 1 ? StartFolder(arguments[1]) : std::string();
  // The first window created is the main window; the others live as long.
  TDPicPrint mainWindow;
  TDImageMap imageMap(&mainWindow);
  TDHelp help(&mainWindow);
  TDAbout about(&mainWindow);
  mainWindow.show();
  if (!startFolder.empty()) mainWindow.SelectStartFolder(startFolder);
  return app.exec();
}
