#include "app/layout.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "app/gen.h"

namespace {

struct NumberedLine {
  size_t Number;  // 1-based line number in the file
  std::string Text;
};

// The file's lines, trimmed, without empty ones; each keeps its line number
// so that an error can point at it.
std::vector<NumberedLine> ReadTrimmedLines(const std::string& fileName) {
  TStringList raw = ReadTextLines(fileName);
  std::vector<NumberedLine> lines;
  for (size_t i = 0; i < raw.size(); ++i) {
    TStringList one{raw[i]};
    TrimLines(one, true);
    if (!one.empty()) lines.push_back({i + 1, one[0]});
  }
  return lines;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool ParseInt(const std::string& s, int32_t& v) {
  const char* b = s.data();
  const char* e = b + s.size();
  if (b != e && *b == '+' && b + 1 != e && b[1] != '-') ++b;
  auto [p, ec] = std::from_chars(b, e, v);
  return b != e && ec == std::errc() && p == e;
}

std::unique_ptr<XaLayoutArea> ParseAreaLine(const std::string& fileName, const NumberedLine& line) {
  auto fail = [&](const std::string& why) -> std::unique_ptr<XaLayoutArea> {
    throw XaLayoutError("Layout file \"" + fileName + "\", line " + std::to_string(line.Number) +
                        ": " + why + ": \"" + line.Text + "\"");
  };
  TStringList pieces;
  SplitAt(line.Text, "|", pieces);
  if (pieces.size() < 2) return fail("no \"|\" before the coordinates");
  TStringList tokens;
  SplitAt(pieces[1], " ", tokens);
  if (tokens.size() < 4) return fail("fewer than four coordinates");
  int32_t c[4];
  for (int i = 0; i < 4; ++i)
    if (!ParseInt(tokens[i], c[i])) return fail("coordinate \"" + tokens[i] + "\" is not an integer");
  const int32_t left = c[0] / kLayoutUnitsX, top = c[1] / kLayoutUnitsY;
  return std::make_unique<XaLayoutArea>(pieces[0], left, top, c[2] / kLayoutUnitsX - left,
                                        c[3] / kLayoutUnitsY - top);
}

}  // namespace

void ReadLayoutAreas(const std::string& layoutFile, const std::string& name,
                     const std::function<void(std::unique_ptr<XaLayoutArea>)>& addArea) {
  const std::vector<NumberedLine> lines = ReadTrimmedLines(layoutFile);
  const std::string section = ":" + name;
  size_t i = 0;
  for (size_t k = 0; k < lines.size(); ++k) {
    if (SameText(lines[k].Text, section)) {
      i = k + 1;
      break;
    }
  }
  // The last line is never an area line: the file closes with a line of its own.
  for (; i + 1 < lines.size(); ++i) {
    if (lines[i].Text[0] == ':') break;
    addArea(ParseAreaLine(layoutFile, lines[i]));
  }
}
