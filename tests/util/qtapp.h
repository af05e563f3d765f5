// The one QApplication of a window test program. It is never destroyed:
// taking it down at exit, after Qt's own statics, crashes inside Qt.
#pragma once

#include <QApplication>
#include <QThread>

namespace testutil {

inline QApplication& QtApp() {
  static int argc = 1;
  static char name[] = "pictrova-test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Lets the window system's pending events run a few times.
inline void Settle() {
  for (int i = 0; i < 5; ++i) {
    QCoreApplication::processEvents();
    QThread::msleep(2);
  }
}

}  // namespace testutil
