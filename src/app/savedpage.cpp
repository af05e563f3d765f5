#include "app/savedpage.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "app/layout.h"
#include "imaging/view/imagingview.h"

namespace {

namespace fs = std::filesystem;

const char* const kFitNames[] = {"dont-crop", "crop", "stretch"};

[[noreturn]] void Fail(const std::string& file, int line, const std::string& what) {
  throw XaPageError(file + ":" + std::to_string(line) + ": " + what);
}

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return {};
  const size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

bool ParseInt(const std::string& text, int32_t& value) {
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && p == end && !text.empty();
}

// "N|fit|l t w h|path"
XaSavedArea ParseArea(const std::string& value, const std::string& file, int line) {
  const size_t a = value.find('|');
  const size_t b = a == std::string::npos ? a : value.find('|', a + 1);
  const size_t c = b == std::string::npos ? b : value.find('|', b + 1);
  if (c == std::string::npos) Fail(file, line, "an area needs NUMBER|FIT|LEFT TOP WIDTH HEIGHT|PICTURE");
  XaSavedArea area;
  int32_t number = 0;
  if (!ParseInt(Trim(value.substr(0, a)), number) || number < 1 || number > 1000)
    Fail(file, line, "bad area number \"" + Trim(value.substr(0, a)) + "\"");
  area.Area = number - 1;
  const std::string fit = Trim(value.substr(a + 1, b - a - 1));
  bool known = false;
  for (int k = 0; k < 3; ++k)
    if (fit == kFitNames[k]) area.Fit = XaFit(k), known = true;
  if (!known) Fail(file, line, "unknown fit \"" + fit + "\" (dont-crop, crop or stretch)");
  std::istringstream box(value.substr(b + 1, c - b - 1));
  std::string words[5];
  int n = 0;
  while (n < 5 && box >> words[n]) ++n;
  int32_t* fields[4] = {&area.Left, &area.Top, &area.Width, &area.Height};
  bool good = n == 4;
  for (int k = 0; good && k < 4; ++k) good = ParseInt(words[k], *fields[k]);
  // A layer may lie partly off the page, but not absurdly far, and has a size.
  good = good && area.Left > -100000 && area.Left < 100000 && area.Top > -100000 &&
         area.Top < 100000 && area.Width > 0 && area.Width <= 100000 && area.Height > 0 &&
         area.Height <= 100000;
  if (!good) Fail(file, line, "bad place and size \"" + Trim(value.substr(b + 1, c - b - 1)) + "\"");
  area.Source = value.substr(c + 1);
  if (area.Source.empty()) Fail(file, line, "the area names no picture");
  return area;
}

}  // namespace

const char* XaFitName(XaFit fit) { return kFitNames[fit < 3 ? fit : 0]; }

XaSavedPage ReadPageFile(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw XaPageError("Cannot open the page file \"" + fileName + "\"");
  XaSavedPage page;
  std::string text;
  int line = 0, layoutLine = 0;
  while (std::getline(in, text)) {
    ++line;
    if (line == 1 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);  // a byte-order mark
    if (text.size() > 8192) Fail(fileName, line, "the line is too long");
    const std::string trimmed = Trim(text);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    const size_t eq = text.find('=');
    if (eq == std::string::npos) Fail(fileName, line, "a line needs KEY=VALUE, not \"" + trimmed + "\"");
    const std::string key = Trim(text.substr(0, eq));
    std::string value = text.substr(eq + 1);
    if (!value.empty() && value.back() == '\r') value.pop_back();
    if (key == "layout") {
      page.Layout = Trim(value);
      page.LayoutLine = layoutLine = line;
    } else if (key == "paper") {
      const std::optional<TPxPaper> paper = PxPaperFromName(Trim(value));
      if (!paper)
        Fail(fileName, line, "unknown paper \"" + Trim(value) + "\" (letter, a4 or WxHin, such as 4x6in)");
      page.Paper = PxPaperName(*paper);
    } else if (key == "area") {
      XaSavedArea area = ParseArea(value, fileName, line);
      area.Line = line;
      for (const XaSavedArea& a : page.Areas)
        if (a.Area == area.Area) Fail(fileName, line, "area " + std::to_string(area.Area + 1) + " is given twice");
      page.Areas.push_back(std::move(area));
    } else {
      Fail(fileName, line, "unknown key \"" + key + "\"");
    }
  }
  if (page.Layout.empty()) Fail(fileName, layoutLine ? layoutLine : line, "the page names no layout");
  return page;
}

void WritePageFile(const std::string& fileName, const XaSavedPage& page) {
  std::ostringstream out;
  out << "# Pictrova page\n";
  out << "layout=" << page.Layout << "\n";
  out << "paper=" << page.Paper << "\n";
  for (const XaSavedArea& a : page.Areas) {
    if (a.Source.find_first_of("\r\n") != std::string::npos)
      throw XaPageError("A picture name with a line break cannot be saved: \"" + a.Source + "\"");
    out << "area=" << a.Area + 1 << "|" << XaFitName(a.Fit) << "|" << a.Left << " " << a.Top << " "
        << a.Width << " " << a.Height << "|" << a.Source << "\n";
  }
  const std::string temporary = fileName + ".new";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << out.str();
    file.flush();
    if (!file) {
      std::error_code ec;
      fs::remove(temporary, ec);
      throw XaPageError("Cannot write the page file \"" + fileName + "\"");
    }
  }
  std::error_code ec;
  fs::rename(temporary, fileName, ec);
  if (ec) {
    fs::remove(temporary, ec);
    throw XaPageError("Cannot write the page file \"" + fileName + "\"");
  }
}

XaSavedPage SavePage(const XaLayout& layout, const TPxPaper& paper) {
  XaSavedPage page;
  page.Layout = layout.LayoutName;
  page.Paper = PxPaperName(paper);
  for (size_t i = 0; i < layout.Areas.size(); ++i) {
    const XaLayoutArea& area = *layout.Areas[i];
    if (area.FileName.empty()) continue;
    const TPxLayer& layer = *layout.View->Layer(int(i) + 1);
    page.Areas.push_back(XaSavedArea{int32_t(i), area.Fit, layer.Left, layer.Top, layer.Width,
                                     layer.Height, area.FileName});
  }
  return page;
}

std::vector<std::string> OpenPage(XaLayout& layout, const XaSavedPage& page,
                                  const std::string& fileName) {
  const std::vector<std::string> names = ReadLayoutNames(layout.LayoutFile);
  if (std::find(names.begin(), names.end(), page.Layout) == names.end())
    throw XaPageError(fileName + ":" + std::to_string(page.LayoutLine) + ": there is no layout named \"" +
                      page.Layout + "\"");
  layout.LoadLayout(page.Layout);
  for (const XaSavedArea& a : page.Areas)
    if (a.Area >= int32_t(layout.Areas.size()))
      throw XaPageError(fileName + ":" + std::to_string(a.Line) + ": layout \"" + page.Layout +
                        "\" has no area " + std::to_string(a.Area + 1));
  std::vector<std::string> failures;
  for (const XaSavedArea& a : page.Areas) {
    try {
      layout.DropPicture(a.Area, a.Source, a.Fit);
    } catch (const std::exception& e) {
      failures.push_back(e.what());
      continue;
    }
    TPxLayer& layer = *layout.View->Layer(a.Area + 1);
    layer.Left = a.Left;
    layer.Top = a.Top;
    layer.Width = a.Width;
    layer.Height = a.Height;
  }
  layout.View->Update();
  return failures;
}
