// A CUPS print server of a test's own: cupsd in the foreground on a free
// loopback port, with its configuration, spool, logs and printed output in
// a temporary folder. Stopped when destroyed.
#pragma once

#include <sys/types.h>

#include <string>

#include "util/testutil.h"

namespace testutil {

// A loopback port that nothing listens on at the moment.
int FreeLoopbackPort();

class CupsServer {
 public:
  // Starts cupsd and waits until it answers; throws std::runtime_error,
  // with its log, when it cannot.
  CupsServer();
  ~CupsServer();
  CupsServer(const CupsServer&) = delete;
  CupsServer& operator=(const CupsServer&) = delete;

  // "127.0.0.1:port", as CUPS_SERVER takes it.
  const std::string& Address() const { return address_; }

  // Adds an enabled queue that accepts jobs; returns the file that receives
  // each job it prints, byte for byte. Throws when lpadmin fails. Without a
  // printer description (PPD text) the queue is raw: it names no papers and
  // no margins.
  std::string AddQueue(const std::string& name, const std::string& ppd = {});

  // Runs a shell command (lpstat, cupsreject, ...) with CUPS_SERVER set to this server.
  CommandResult Run(const std::string& command) const;

  // What cupsd logged, for failure messages.
  std::string Log() const;

 private:
  bool Start();
  void Stop();

  TempDir dir_;
  std::string address_;
  pid_t pid_ = -1;
};

// A printer description for a colour printer of letter and A4 paper (A4
// its default) that cannot print the given margins, in points, on either;
// it takes the PDF of a job as it is.
std::string MarginsPpd(int left, int top, int right, int bottom);

// Waits until the file exists, for at most the given seconds.
bool WaitForFile(const std::string& path, int seconds);

}  // namespace testutil
