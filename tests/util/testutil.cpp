#include "testutil.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "imaging/io/imagingio.h"

namespace testutil {

void WriteSolidPicture(const std::string& file, int w, int h, uint32_t color) {
  TPxBitmap b(w, h, pxRGB24);
  b.Fill(color);
  TImagingIO io;
  io.SetTargetBitmap(&b);
  io.SaveToFile(file);
  EXPECT_FALSE(io.Aborting) << file;
}

TempDir::TempDir() {
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = base / ("pictrova-test-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::File(const std::string& name) const { return (path_ / name).string(); }

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  std::string full = command + " 2>&1";
  FILE* pipe = popen(full.c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.output.append(buffer.data(), n);
  int status = pclose(pipe);
  result.status = (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string Shell(const std::string& command) {
  CommandResult r = RunCommand(command);
  EXPECT_EQ(r.status, 0) << command << "\n" << r.output.substr(0, 2000);
  return std::move(r.output);
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

bool HaveTool(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

std::map<std::string, std::string> ExiftoolValues(const std::string& file, const std::string& args) {
  std::map<std::string, std::string> out;
  const CommandResult r = RunCommand("/usr/bin/exiftool -s " + args + " '" + file + "'");
  if (r.status != 0) return out;
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) {
    const size_t colon = line.find(" : ");
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    key.erase(key.find_last_not_of(' ') + 1);
    out[key] = line.substr(colon + 3);
  }
  return out;
}

std::vector<OpenFile> OpenFilesIn(const std::filesystem::path& folder) {
  std::vector<OpenFile> files;
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::weakly_canonical(folder, ec);
  const std::string prefix = (ec ? folder : dir).string() + "/";
  const std::string deletedMark = " (deleted)";
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code linkError;
    std::string target = std::filesystem::read_symlink(entry.path(), linkError).string();
    if (linkError || target.rfind(prefix, 0) != 0) continue;
    struct stat st {};
    if (stat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    OpenFile f;
    if (target.size() > deletedMark.size() &&
        target.compare(target.size() - deletedMark.size(), deletedMark.size(), deletedMark) == 0) {
      f.deleted = true;
      target.resize(target.size() - deletedMark.size());
    }
    f.path = target;
    f.size = (int64_t)st.st_size;
    f.link = entry.path();
    files.push_back(f);
  }
  return files;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string BinDir() { return PICTROVA_TESTUTIL_BIN_DIR; }
std::string SourceDir() { return PICTROVA_TESTUTIL_SOURCE_DIR; }

}  // namespace testutil
