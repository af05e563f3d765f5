#include "app/layout.h"

#include <gtest/gtest.h>

#include <map>

#include "app/layoutchoice.h"
#include "util/testutil.h"

namespace {

struct Got {
  std::string name;
  int32_t left, top, width, height;
  bool operator==(const Got&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Got& g) {
  return os << g.name << "@" << g.left << "," << g.top << " " << g.width << "x" << g.height;
}

std::vector<Got> Read(const std::string& file, const std::string& name) {
  std::vector<Got> got;
  ReadLayoutAreas(file, name, [&](std::unique_ptr<XaLayoutArea> a) {
    EXPECT_TRUE(a->FileName.empty());
    EXPECT_FALSE(a->Rotated);
    got.push_back({a->Name, a->Left, a->Top, a->Width, a->Height});
  });
  return got;
}

class LayoutFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& text) {
    testutil::WriteFileBytes(dir.File("printouts.txt"), text);
    return dir.File("printouts.txt");
  }
  testutil::TempDir dir;
};

TEST_F(LayoutFileTest, ReadsSectionConvertingUnits) {
  auto f = Write("first|0 0 118 91\n:One\nA |117 0 118 182\r\n  \n\t\nB|0 0 100299 100099 extra\r:TWO\nC|1 1 2 2\n:end");
  EXPECT_EQ(Read(f, "one"), (std::vector<Got>{{"A ", 0, 0, 1, 2}, {"B", 0, 0, 849, 1099}}));
  EXPECT_EQ(Read(f, "two"), (std::vector<Got>{{"C", 0, 0, 0, 0}}));
  // No such section: the lines before the first section line.
  EXPECT_EQ(Read(f, "none"), (std::vector<Got>{{"first", 0, 0, 1, 1}}));
}

TEST_F(LayoutFileTest, LastLineIsNeverAnArea) {
  auto f = Write(":Only\nA|0 0 118 91\nB|0 0 236 182\n");
  EXPECT_EQ(Read(f, "Only"), (std::vector<Got>{{"A", 0, 0, 1, 1}}));
}

TEST_F(LayoutFileTest, FileStartingWithSectionHasNoAreasForUnknownName) {
  auto f = Write(":A\nx|0 0 118 91\n:end\n");
  EXPECT_TRUE(Read(f, "B").empty());
}

TEST_F(LayoutFileTest, MalformedLineStopsAfterEarlierAreas) {
  const char* bad[] = {"no bar here", "X|1 2 3", "X|1  2 3 4", "X|1 2 3 four", "X|"};
  for (const char* line : bad) {
    auto f = Write(std::string(":L\nok|0 0 118 91\n\n") + line + "\nnext|0 0 118 91\n:end\n");
    std::vector<std::string> names;
    try {
      ReadLayoutAreas(f, "L", [&](std::unique_ptr<XaLayoutArea> a) { names.push_back(a->Name); });
      ADD_FAILURE() << "no error for " << line;
    } catch (const XaLayoutError& e) {
      const std::string msg = e.what();
      EXPECT_NE(msg.find(f), std::string::npos) << msg;
      EXPECT_NE(msg.find("line 4"), std::string::npos) << msg;
      EXPECT_NE(msg.find(line), std::string::npos) << msg;
    }
    EXPECT_EQ(names, std::vector<std::string>{"ok"}) << line;
  }
}

TEST_F(LayoutFileTest, MissingFileIsAnError) {
  EXPECT_ANY_THROW(Read(dir.File("absent.txt"), "8x10"));
}

// The shipped definitions: every chooser name has a section whose areas have
// the print sizes the name promises, lie inside the sheet and do not overlap.
TEST(ShippedLayouts, SizesMatchNamesInsideSheetNoOverlap) {
  const std::string file = testutil::SourceDir() + "/data/printouts.txt";
  const std::map<std::string, std::pair<int, int>> sizes = {
      {"8x10", {800, 1000}}, {"5x7", {500, 700}}, {"4x6", {400, 600}},
      {"3.5x5", {350, 500}}, {"2.5x3.25", {250, 325}}, {"wallet", {250, 350}}};
  for (const auto& region : kLayoutRegions) {
    SCOPED_TRACE(region.Name);
    // The name lists its prints: "2 4x6,3.5x5" is two 4x6 and one 3.5x5.
    std::map<std::string, int> wanted;
    std::string name = region.Name;
    size_t pos = 0;
    while (pos <= name.size()) {
      size_t comma = std::min(name.find(',', pos), name.size());
      std::string part = name.substr(pos, comma - pos);
      int count = 1;
      if (size_t sp = part.find(' '); sp != std::string::npos) {
        count = std::stoi(part.substr(0, sp));
        part = part.substr(sp + 1);
      }
      if (part == "wallets") part = "wallet";
      wanted[part] += count;
      pos = comma + 1;
    }
    std::vector<Got> areas = Read(file, region.Name);
    std::map<std::string, int> found;
    for (const auto& a : areas) {
      EXPECT_GE(a.left, 25) << a;
      EXPECT_GE(a.top, 25) << a;
      EXPECT_LE(a.left + a.width, 850 - 25) << a;
      EXPECT_LE(a.top + a.height, 1100 - 25) << a;
      std::string kind;
      for (const auto& [k, wh] : sizes) {
        auto [w, h] = wh;
        if ((a.width == w && a.height == h) || (a.width == h && a.height == w)) kind = k;
      }
      EXPECT_FALSE(kind.empty()) << "size of " << a;
      found[kind]++;
    }
    EXPECT_EQ(found, wanted);
    for (size_t i = 0; i < areas.size(); ++i)
      for (size_t j = i + 1; j < areas.size(); ++j) {
        const Got &a = areas[i], &b = areas[j];
        bool overlap = a.left < b.left + b.width && b.left < a.left + a.width &&
                       a.top < b.top + b.height && b.top < a.top + a.height;
        EXPECT_FALSE(overlap) << a << " and " << b;
      }
  }
}

}  // namespace
