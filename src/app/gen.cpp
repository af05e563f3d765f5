#include "app/gen.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

XaApplication* Application = nullptr;

namespace {

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

// The folder holding the program file itself.
std::filesystem::path ProgramFileFolder() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::current_path() : exe.parent_path();
}

// PREFIX/share/pictrova for a program in PREFIX/bin whose data lie there;
// empty otherwise, as for a build tree, where the data lie beside the program.
std::filesystem::path InstalledDataFolder(const std::filesystem::path& programFolder) {
  if (programFolder.filename() != "bin") return {};
  std::filesystem::path share = programFolder.parent_path() / "share" / "pictrova";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(share / "printouts.txt", ec)) return {};
  return share;
}

std::string MadeFolder(const std::string& folder) {
  std::error_code ec;
  // Per the XDG rules the folders we make are the user's alone; a failure
  // shows later, where the file in it cannot be written.
  if (std::filesystem::create_directories(folder, ec))
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ec);
  return folder;
}

}  // namespace

std::string ProgramFolder() {
  const std::filesystem::path folder = ProgramFileFolder();
  const std::filesystem::path data = InstalledDataFolder(folder);
  return WithSlash((data.empty() ? folder : data).string());
}

bool ProgramFolderReadOnly() {
  const std::filesystem::path folder = ProgramFileFolder();
  return !InstalledDataFolder(folder).empty() || ::access(folder.c_str(), W_OK) != 0;
}

std::string XdgFolder(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  // The XDG rules ignore relative paths here.
  if (value && value[0] == '/') return WithSlash(value);
  std::string home;
  if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
    home = h;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  }
  if (home.empty()) home = "/tmp";
  return WithSlash(home) + fallback + "/";
}

std::string SettingsFolder() {
  if (!ProgramFolderReadOnly()) return ProgramFolder();
  return MadeFolder(XdgFolder("XDG_CONFIG_HOME", ".config") + "pictrova/");
}

std::string WorkFolder() {
  if (!ProgramFolderReadOnly()) return ProgramFolder();
  return MadeFolder(XdgFolder("XDG_CACHE_HOME", ".cache") + "pictrova/");
}

std::string FolderWithSlash(std::string folder) {
  if (folder.empty()) return ProgramFolder();
  if (folder.back() != '/') folder += '/';
  return folder;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool ParseInt32(const std::string& text, int32_t& value) {
  const char* b = text.data();
  const char* e = b + text.size();
  if (b != e && *b == '+' && b + 1 != e && b[1] != '-') ++b;
  auto [p, ec] = std::from_chars(b, e, value);
  return b != e && ec == std::errc() && p == e;
}

void SplitAt(const std::string& text, const std::string& delimiters, TStringList& list) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t next = text.find_first_of(delimiters, pos);
    if (next == std::string::npos) next = text.size();
    list.push_back(text.substr(pos, next - pos));
    pos = next + 1;
  }
}

void TrimLines(TStringList& list, bool removeEmpty) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  for (size_t i = 0; i < list.size();) {
    std::string& s = list[i];
    size_t b = 0, e = s.size();
    while (b < e && blank(s[b])) ++b;
    while (e > b && blank(s[e - 1])) --e;
    s = s.substr(b, e - b);
    if (removeEmpty && s.empty()) {
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

TStringList ReadTextLines(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw XaFileError("Cannot open file \"" + fileName + "\". " + std::strerror(errno));
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) throw XaFileError("Cannot read file \"" + fileName + "\". " + std::strerror(errno));
  const std::string text = ss.str();
  TStringList lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

namespace {

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

void WriteTextLinesSafely(const std::string& fileName, const TStringList& lines) {
  std::string data;
  for (const auto& line : lines) {
    data += line;
    data += "\r\n";
  }
  const std::string temp = fileName + ".new";
  auto fail = [&](const char* what, int err) {
    ::unlink(temp.c_str());
    throw XaFileError(std::string(what) + " \"" + fileName + "\". " + std::strerror(err));
  };
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("Cannot create file", errno);
  if (!WriteAll(fd, data) || ::fsync(fd) != 0) {
    int err = errno ? errno : EIO;
    ::close(fd);
    fail("Cannot write file", err);
  }
  if (::close(fd) != 0) fail("Cannot write file", errno);
  if (::rename(temp.c_str(), fileName.c_str()) != 0) fail("Cannot replace file", errno);
}

XaRect KeepOnScreen(const XaRect& window, const std::vector<XaRect>& screens,
                    const XaRect& primary) {
  auto meets = [&](const XaRect& s) {
    return window.Left < s.Left + s.Width && s.Left < window.Left + window.Width &&
           window.Top < s.Top + s.Height && s.Top < window.Top + window.Height;
  };
  if (std::any_of(screens.begin(), screens.end(), meets)) return window;
  XaRect r = window;
  r.Width = std::min(r.Width, primary.Width);
  r.Height = std::min(r.Height, primary.Height);
  r.Left = primary.Left + (primary.Width - r.Width) / 2;
  r.Top = primary.Top + (primary.Height - r.Height) / 2;
  return r;
}

XaApplication::XaApplication(XaMainWindowPlace* mainWindow, std::string folder, bool readFile)
    : MainWindow(mainWindow),
      folder_(folder.empty() ? SettingsFolder() : FolderWithSlash(std::move(folder))) {
  if (readFile) LoadSettingsFile();
}

void XaApplication::LoadSettingsFile() {
  std::error_code ec;
  if (std::filesystem::exists(SettingsFile(), ec)) Settings = ReadTextLines(SettingsFile());
}

void XaApplication::LoadWindowSettings() {
  Settings.clear();
  LoadSettingsFile();
  if (!HasKey("WindowWidth") || !MainWindow) return;
  MainWindow->SetWindowLeft(GetInt("WindowLeft"));
  MainWindow->SetWindowTop(GetInt("WindowTop"));
  MainWindow->SetWindowWidth(GetInt("WindowWidth"));
  MainWindow->SetWindowHeight(GetInt("WindowHeight"));
  MainWindow->KeepWindowOnScreen();
}

void XaApplication::SaveWindowSettings() {
  if (MainWindow && MainWindow->WindowStateNormal()) {
    XaRect r = MainWindow->WindowBounds();
    SetInt("WindowLeft", r.Left);
    SetInt("WindowTop", r.Top);
    SetInt("WindowWidth", r.Width);
    SetInt("WindowHeight", r.Height);
  }
  WriteTextLinesSafely(SettingsFile(), Settings);
}

long XaApplication::FindLine(const std::string& name) const {
  auto sameName = [&](const std::string& line) {
    const size_t eq = line.find('=');
    return eq != std::string::npos && SameText(line.substr(0, eq), name);
  };
  for (size_t i = 0; i < Settings.size(); ++i)
    if (sameName(Settings[i])) return static_cast<long>(i);
  return -1;
}

std::string XaApplication::GetString(const std::string& name) const {
  long i = FindLine(name);
  return i < 0 ? std::string() : Settings[i].substr(Settings[i].find('=') + 1);
}

void XaApplication::SetString(const std::string& name, const std::string& value) {
  long i = FindLine(name);
  if (i < 0) {
    if (!value.empty()) Settings.push_back(name + "=" + value);
  } else if (value.empty()) {
    Settings.erase(Settings.begin() + i);
  } else {
    std::string& line = Settings[i];
    line = line.substr(0, line.find('=') + 1) + value;
  }
}

int32_t XaApplication::GetInt(const std::string& name) const {
  int32_t v = 0;
  return ParseInt32(GetString(name), v) ? v : 0;
}

void XaApplication::SetInt(const std::string& name, int32_t value) {
  SetString(name, std::to_string(value));
}

bool XaApplication::HasKey(const std::string& name) const { return FindLine(name) >= 0; }
