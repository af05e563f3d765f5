// What the print server (CUPS) says of one of its queues. Qt's print
// support hands a job to the server without telling whether it was taken,
// so a print asks the server itself, before and after submission.
#pragma once

#include <string>

struct TPxQueueState {
  bool Exists = false;
  bool Accepting = false;
  bool Paused = false;  // stopped: jobs wait in the queue
  // The server's word on the queue's state: its state message, else its
  // state reasons; empty when it says nothing.
  std::string Reason;
  // The highest job number of this user on the queue, held or done; 0 when none.
  int NewestJob = 0;
};

// The print server as the user would name it: host:port or its local socket.
std::string PxPrintServerName();

// Asks the server (CUPS_SERVER, else the local one) about queue. Throws
// TPxPrintError when the server cannot be reached or does not answer.
TPxQueueState PxAskQueue(const std::string& queue);

// What the server said to the last request of this thread when it refused
// it, else empty. Qt submits a job in the thread that ends the page, so
// right after that this is the server's reason for refusing the job.
std::string PxLastServerRefusal();
