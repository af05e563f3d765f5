#include "imaging/core/pxprint.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr double kA4Width = 210 / 25.4, kA4Height = 297 / 25.4;

bool Near(double a, double b) { return std::fabs(a - b) < 0.005; }

// A positive number of inches with nothing after it.
bool ParseInches(const std::string& text, double& value) {
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
    return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return *end == '\0' && value >= 1 && value <= 100;
}

// Inches to a hundredth, without trailing zeros: "8.5", "4", "8.27".
std::string InchesText(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", v);
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

}  // namespace

std::optional<TPxPaper> PxPaperFromName(const std::string& name) {
  TPxPaper paper;
  if (name == "letter") return paper;
  if (name == "a4") {
    paper.Width = kA4Width, paper.Height = kA4Height;
    return paper;
  }
  const size_t x = name.find('x');
  if (x == std::string::npos || name.size() < 2 || name.compare(name.size() - 2, 2, "in") != 0)
    return std::nullopt;
  double w = 0, h = 0;
  if (!ParseInches(name.substr(0, x), w) || !ParseInches(name.substr(x + 1, name.size() - 3 - x), h))
    return std::nullopt;
  paper.Width = std::min(w, h), paper.Height = std::max(w, h);
  return paper;
}

std::string PxPaperName(const TPxPaper& paper) {
  if (Near(paper.Width, 8.5) && Near(paper.Height, 11)) return "letter";
  if (Near(paper.Width, kA4Width) && Near(paper.Height, kA4Height)) return "a4";
  return InchesText(paper.Width) + "x" + InchesText(paper.Height) + "in";
}
