#include "util/cupsserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testutil {

namespace fs = std::filesystem;

namespace {

constexpr const char* kCupsd = "/usr/sbin/cupsd";

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

bool Answers(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return false;
  sockaddr_in a = Loopback(port);
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

}  // namespace

int FreeLoopbackPort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) throw std::runtime_error("no socket for a free port");
  sockaddr_in a = Loopback(0);
  socklen_t size = sizeof a;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
    close(s);
    throw std::runtime_error("no free loopback port");
  }
  close(s);
  return ntohs(a.sin_port);
}

CupsServer::CupsServer() {
  if (!HaveTool(kCupsd))
    throw std::runtime_error(std::string(kCupsd) + " is missing (cups-daemon)");
  const fs::path root = dir_.Path();
  for (const char* d : {"spool", "cache", "state", "log", "tmp", "bin/backend", "out"})
    fs::create_directories(root / d);
  // Backends run through the scheduler's helper in its own program folder.
  fs::create_directory_symlink("/usr/lib/cups/daemon", root / "bin/daemon");
  // A raw queue with a file: device prints nothing here: the scheduler runs
  // no backend for file: and has no filter for a raw job. This backend
  // writes each job as it comes, which for Qt's jobs is the PDF, and renames
  // it into place when whole, so that a present file is a finished job.
  // Owned by root and private, it runs as root like the server.
  const std::string backend = (root / "bin/backend/capture").string();
  WriteFileBytes(backend,
                 "#!/bin/sh\n"
                 "[ $# -eq 0 ] && exit 0\n"
                 "out=\"${DEVICE_URI#capture:}\"\n"
                 "if [ -n \"$6\" ]; then cat \"$6\"; else cat; fi > \"$out.part\" && mv "
                 "\"$out.part\" \"$out\"\n");
  chmod(backend.c_str(), 0700);
  WriteFileBytes(
      (root / "cups-files.conf").string(),
      "ServerRoot " + root.string() + "\nServerBin " + (root / "bin").string() + "\nRequestRoot " +
          (root / "spool").string() + "\nCacheDir " + (root / "cache").string() + "\nStateDir " +
          (root / "state").string() + "\nTempDir " + (root / "tmp").string() + "\nErrorLog " +
          (root / "log/error_log").string() + "\nAccessLog " + (root / "log/access_log").string() +
          "\nPageLog " + (root / "log/page_log").string() + "\n");
  // A free port can be taken between the look and cupsd's bind: try again then.
  for (int attempt = 0; attempt < 3; ++attempt)
    if (Start()) return;
  const std::string log = Log();
  Stop();
  throw std::runtime_error("cupsd did not start:\n" + log);
}

bool CupsServer::Start() {
  const int port = FreeLoopbackPort();
  address_ = "127.0.0.1:" + std::to_string(port);
  const fs::path root = dir_.Path();
  // Every operation without authentication, from this machine only.
  WriteFileBytes(
      (root / "cupsd.conf").string(),
      "Listen " + address_ +
          "\nLogLevel warn\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
          "<Location />\n  Order allow,deny\n  Allow from 127.0.0.1\n</Location>\n"
          "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");
  const std::string conf = (root / "cupsd.conf").string();
  const std::string files = (root / "cups-files.conf").string();
  const std::string out = (root / "log/cupsd.out").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const char* argv[] = {kCupsd, "-f", "-c", conf.c_str(), "-s", files.c_str(), nullptr};
  const int spawned =
      posix_spawn(&pid_, kCupsd, &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Answers(port)) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Stop();
  return false;
}

void CupsServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid_ = -1;
}

CupsServer::~CupsServer() {
  Stop();
}

std::string CupsServer::AddQueue(const std::string& name, const std::string& ppd) {
  const std::string out = dir_.File("out/" + name + ".pdf");
  std::string driver;
  if (!ppd.empty()) {
    WriteFileBytes(dir_.File(name + ".ppd"), ppd);
    driver = " -P '" + dir_.File(name + ".ppd") + "'";
  }
  // No driver: a raw queue passes the job on untouched.
  CommandResult r = Run("lpadmin -p '" + name + "' -v 'capture:" + out + "'" + driver + " -E");
  if (r.status != 0) throw std::runtime_error("lpadmin failed: " + r.output + "\n" + Log());
  return out;
}

CommandResult CupsServer::Run(const std::string& command) const {
  return RunCommand("CUPS_SERVER='" + address_ + "' " + command);
}

std::string CupsServer::Log() const {
  std::string log;
  for (const char* f : {"log/cupsd.out", "log/error_log"})
    if (fs::exists(dir_.File(f))) log += ReadFileBytes(dir_.File(f));
  return log;
}

std::string MarginsPpd(int left, int top, int right, int bottom) {
  // The imageable area is given as its lower-left and upper-right corners,
  // in points from the lower-left corner of the sheet.
  auto area = [&](int width, int height) {
    return "\"" + std::to_string(left) + " " + std::to_string(bottom) + " " + std::to_string(width - right) +
           " " + std::to_string(height - top) + "\"";
  };
  return "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
         "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"MARGINS.PPD\"\n"
         "*Manufacturer: \"Test\"\n*Product: \"(Margins)\"\n*ModelName: \"Margins\"\n"
         "*ShortNickName: \"Margins\"\n*NickName: \"Margins\"\n*PSVersion: \"(3010.000) 0\"\n"
         "*LanguageLevel: \"3\"\n*ColorDevice: True\n*DefaultColorSpace: RGB\n*FileSystem: False\n"
         "*Throughput: \"1\"\n*LandscapeOrientation: Plus90\n*TTRasterizer: Type42\n"
         "*cupsFilter: \"application/pdf 0 -\"\n"
         "*OpenUI *PageSize/Media Size: PickOne\n*OrderDependency: 10 AnySetup *PageSize\n"
         "*DefaultPageSize: A4\n"
         "*PageSize Letter/US Letter: \"<</PageSize[612 792]>>setpagedevice\"\n"
         "*PageSize A4/A4: \"<</PageSize[595 842]>>setpagedevice\"\n*CloseUI: *PageSize\n"
         "*OpenUI *PageRegion: PickOne\n*OrderDependency: 10 AnySetup *PageRegion\n"
         "*DefaultPageRegion: A4\n"
         "*PageRegion Letter/US Letter: \"<</PageSize[612 792]>>setpagedevice\"\n"
         "*PageRegion A4/A4: \"<</PageSize[595 842]>>setpagedevice\"\n*CloseUI: *PageRegion\n"
         "*DefaultImageableArea: A4\n*ImageableArea Letter/US Letter: " + area(612, 792) +
         "\n*ImageableArea A4/A4: " + area(595, 842) +
         "\n*DefaultPaperDimension: A4\n*PaperDimension Letter/US Letter: \"612 792\"\n"
         "*PaperDimension A4/A4: \"595 842\"\n";
}

bool WaitForFile(const std::string& path, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

}  // namespace testutil
