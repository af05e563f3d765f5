#include "app/cli/common.h"

#include <cstdio>
#include <cstdlib>

int CliFail(const std::string& message) {
  std::fprintf(stderr, "pictrova-cli: %s\n", message.c_str());
  return 1;
}

bool CliParseInt(const std::string& text, long lo, long hi, int& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}
