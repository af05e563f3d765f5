#include "app/gen.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

std::string ProgramFolder() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  std::string folder = ec ? std::filesystem::current_path().string() : exe.parent_path().string();
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
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
