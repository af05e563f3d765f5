// The one QApplication of a window test program. It is never destroyed:
// taking it down at exit, after Qt's own statics, crashes inside Qt.
#pragma once

#include <QApplication>

namespace testutil {

inline QApplication& QtApp() {
  static int argc = 1;
  static char name[] = "pictrova-test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

}  // namespace testutil
