#include "platform/pxprintqueue.h"

#include <cups/cups.h>

#include <algorithm>
#include <iterator>
#include <memory>

#include "imaging/core/pxprint.h"

namespace {

struct HttpCloser {
  void operator()(http_t* http) const { httpClose(http); }
};
struct IppDeleter {
  void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using TIppResponse = std::unique_ptr<ipp_t, IppDeleter>;

[[noreturn]] void Unreachable(const std::string& queue) {
  throw TPxPrintError("The print server " + PxPrintServerName() +
                      " cannot be reached for the printer \"" + queue + "\".");
}

// A request about the queue, from this user.
ipp_t* NewRequest(ipp_op_t operation, const std::string& uri) {
  ipp_t* request = ippNewRequest(operation);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  return request;
}

// The answer to a request, which it frees; an answer with an error status
// is still returned, for the caller to read with cupsLastError.
TIppResponse Ask(http_t* http, ipp_t* request) {
  return TIppResponse(cupsDoRequest(http, request, "/"));
}

void CheckAnswered(const TIppResponse& response, const std::string& queue) {
  if (!response && cupsLastError() == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE) Unreachable(queue);
  if (!response || cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE)
    throw TPxPrintError("The print server " + PxPrintServerName() + " gave no state of \"" + queue +
                        "\": " + cupsLastErrorString());
}

// The highest job number of this user among the queue's jobs of one kind.
int NewestJob(http_t* http, const std::string& uri, const std::string& queue, const char* which) {
  ipp_t* request = NewRequest(IPP_OP_GET_JOBS, uri);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, which);
  ippAddBoolean(request, IPP_TAG_OPERATION, "my-jobs", 1);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
               "job-id");
  TIppResponse response = Ask(http, request);
  CheckAnswered(response, queue);
  int newest = 0;
  for (ipp_attribute_t* a = ippFindAttribute(response.get(), "job-id", IPP_TAG_INTEGER); a;
       a = ippFindNextAttribute(response.get(), "job-id", IPP_TAG_INTEGER))
    newest = std::max(newest, ippGetInteger(a, 0));
  return newest;
}

}  // namespace

std::string PxPrintServerName() {
  const std::string server = cupsServer();
  if (server.empty() || server[0] == '/') return server;
  return server + ":" + std::to_string(ippPort());
}

TPxQueueState PxAskQueue(const std::string& queue) {
  std::unique_ptr<http_t, HttpCloser> http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC,
                                                        cupsEncryption(), 1, 10000, nullptr));
  if (!http) Unreachable(queue);

  // The server reads only the path of the queue's address.
  char uri[HTTP_MAX_URI];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                   "/printers/%s", queue.c_str());
  ipp_t* request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, uri);
  static const char* const kAttributes[] = {"printer-is-accepting-jobs", "printer-state",
                                            "printer-state-message", "printer-state-reasons"};
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                int(std::size(kAttributes)), nullptr, kAttributes);
  TIppResponse printer = Ask(http.get(), request);
  TPxQueueState state;
  if (printer && cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND) return state;
  CheckAnswered(printer, queue);
  state.Exists = true;

  ipp_attribute_t* a =
      ippFindAttribute(printer.get(), "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
  state.Accepting = !a || ippGetBoolean(a, 0);
  a = ippFindAttribute(printer.get(), "printer-state", IPP_TAG_ENUM);
  state.Paused = a && ippGetInteger(a, 0) == IPP_PSTATE_STOPPED;
  a = ippFindAttribute(printer.get(), "printer-state-message", IPP_TAG_TEXT);
  if (a && ippGetString(a, 0, nullptr)) state.Reason = ippGetString(a, 0, nullptr);
  a = ippFindAttribute(printer.get(), "printer-state-reasons", IPP_TAG_KEYWORD);
  for (int i = 0; state.Reason.empty() && a && i < ippGetCount(a); ++i) {
    const char* reason = ippGetString(a, i, nullptr);
    if (reason && *reason && std::string(reason) != "none") state.Reason = reason;
  }

  // The list of all jobs holds a job through every state, where one that
  // is finishing can be missing from both the active and the done list for
  // a moment. But the server cuts a list at a few hundred jobs, oldest first
  // kept for all jobs and newest first for done ones: the active and the
  // done lists keep the newest when the list of all is cut.
  for (const char* which : {"all", "not-completed", "completed"})
    state.NewestJob = std::max(state.NewestJob, NewestJob(http.get(), uri, queue, which));
  return state;
}

std::string PxLastServerRefusal() {
  if (cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE) return {};
  const char* text = cupsLastErrorString();
  return text ? text : ippErrorString(cupsLastError());
}
