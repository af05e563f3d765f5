#include "util/xserver.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace testutil {

XServer::XServer(int width, int height) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("XServer: no pipe");
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  const std::string fd = std::to_string(fds[1]);
  pid_ = fork();
  if (pid_ < 0) {
    close(fds[0]);
    close(fds[1]);
    throw std::runtime_error("XServer: cannot fork");
  }
  if (pid_ == 0) {
    close(fds[0]);
    // The server must not hold the test's output open after the test ends.
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    // -displayfd: the server picks a free display and writes its number
    // once it takes connections.
    execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
          "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  // Generous: the server starts in well under a second.
  while (poll(&p, 1, 20000) > 0) {
    char c;
    if (read(fds[0], &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  close(fds[0]);
  if (number.empty()) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    throw std::runtime_error("XServer: Xvfb did not start (is the package xvfb installed?)");
  }
  display_ = ":" + number;
}

XServer::~XServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

}  // namespace testutil
