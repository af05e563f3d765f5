// An X server of a test's own: Xvfb on a display number it picks itself,
// so that a window test sees real windows, real input and real screen
// pixels without a desktop. Stopped when destroyed.
#pragma once

#include <sys/types.h>

#include <string>

namespace testutil {

class XServer {
 public:
  // Starts Xvfb with one screen of the given size and 24-bit colour and
  // waits until it takes connections; throws std::runtime_error when it cannot.
  XServer(int width, int height);
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  // ":N", as DISPLAY takes it.
  const std::string& Display() const { return display_; }

 private:
  std::string display_;
  pid_t pid_ = -1;
};

}  // namespace testutil
