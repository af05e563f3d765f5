#include "app/gen.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "util/testutil.h"

namespace {

struct SplitCase {
  std::string text, delimiters;
  TStringList expected;
};

class SplitAtTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitAtTest, Tokens) {
  TStringList list{"kept"};
  SplitAt(GetParam().text, GetParam().delimiters, list);
  TStringList expected{"kept"};
  expected.insert(expected.end(), GetParam().expected.begin(), GetParam().expected.end());
  EXPECT_EQ(list, expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitAtTest,
                         ::testing::Values(SplitCase{"a b", " ", {"a", "b"}},
                                           SplitCase{"a  b", " ", {"a", "", "b"}},
                                           SplitCase{" a", " ", {"", "a"}},
                                           SplitCase{"a ", " ", {"a"}},
                                           SplitCase{"", " ", {}},
                                           SplitCase{"x|1 2", "| ", {"x", "1", "2"}},
                                           SplitCase{"abc", "", {"abc"}}));

struct TrimCase {
  TStringList lines;
  bool removeEmpty;
  TStringList expected;
};

class TrimLinesTest : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimLinesTest, Lines) {
  TStringList list = GetParam().lines;
  TrimLines(list, GetParam().removeEmpty);
  EXPECT_EQ(list, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrimLinesTest,
    ::testing::Values(TrimCase{{" a ", "\tb\x01", "c"}, false, {"a", "b", "c"}},
                      TrimCase{{"  ", "\t", ""}, true, {}},
                      TrimCase{{"  ", "x", " "}, false, {"", "x", ""}},
                      TrimCase{{"", "", "y", "", "z"}, true, {"y", "z"}},
                      TrimCase{{"a b"}, true, {"a b"}}));

TEST(ReadTextLines, AcceptsEveryLineEnd) {
  testutil::TempDir dir;
  testutil::WriteFileBytes(dir.File("t.txt"), "a\rb\nc\r\nd\r\n\r\ne");
  EXPECT_EQ(ReadTextLines(dir.File("t.txt")), (TStringList{"a", "b", "c", "d", "", "e"}));
}

TEST(ReadTextLines, MissingFileNamesIt) {
  try {
    ReadTextLines("/nonexistent/app.inf");
    FAIL() << "no error";
  } catch (const XaFileError& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/app.inf"), std::string::npos);
  }
}

// A main window that only records what it is told.
struct FakeWindow : XaMainWindowPlace {
  XaRect bounds{10, 20, 800, 700};
  bool normal = true;
  std::vector<std::string> calls;
  XaRect WindowBounds() const override { return bounds; }
  bool WindowStateNormal() const override { return normal; }
  void SetWindowLeft(int32_t v) override { calls.push_back("L"), bounds.Left = v; }
  void SetWindowTop(int32_t v) override { calls.push_back("T"), bounds.Top = v; }
  void SetWindowWidth(int32_t v) override { calls.push_back("W"), bounds.Width = v; }
  void SetWindowHeight(int32_t v) override { calls.push_back("H"), bounds.Height = v; }
};

class SettingsTest : public ::testing::Test {
 protected:
  std::string Inf() const { return dir.File("app.inf"); }
  testutil::TempDir dir;
  FakeWindow window;
};

TEST_F(SettingsTest, StoreRules) {
  testutil::WriteFileBytes(Inf(), "windowleft=5\r\nnote without equals\nWindowTop =7\r\n=x\n");
  XaApplication app(&window, dir.Path().string());
  // The name's letter case does not matter; a blank before "=" makes another name.
  EXPECT_EQ(app.GetString("WindowLeft"), "5");
  EXPECT_FALSE(app.HasKey("WindowTop"));
  EXPECT_EQ(app.GetString("WindowTop "), "7");
  EXPECT_FALSE(app.HasKey("note without equals"));
  EXPECT_EQ(app.GetString("missing"), "");
  app.SetInt("WINDOWLEFT", 42);
  EXPECT_EQ(app.Settings[0], "windowleft=42");  // the line keeps its own spelling
  app.SetString("New", "v");
  EXPECT_EQ(app.Settings.back(), "New=v");
  app.SetString("new", "");
  EXPECT_FALSE(app.HasKey("New"));
  app.SetString("absent", "");
  EXPECT_EQ(app.Settings.size(), 4u);
  app.Settings.push_back("windowleft=99");  // a later line never counts
  EXPECT_EQ(app.GetInt("WindowLeft"), 42);
}

TEST_F(SettingsTest, GetIntReadsDecimalOrZero) {
  XaApplication app(&window, dir.Path().string());
  const std::pair<std::string, int32_t> cases[] = {
      {"12", 12}, {"-3", -3}, {"+4", 4}, {"", 0}, {"1x", 0}, {" 1", 0}, {"99999999999", 0}, {"+-2", 0}};
  for (const auto& [text, value] : cases) {
    app.Settings = {"K=" + text};
    EXPECT_EQ(app.GetInt("K"), value) << text;
  }
}

TEST_F(SettingsTest, SaveAppendsAfterUnknownLinesWithCrLf) {
  testutil::WriteFileBytes(Inf(), "Zoom=3\nplain line\n");
  XaApplication app(&window, dir.Path().string());
  app.SaveWindowSettings();
  EXPECT_EQ(testutil::ReadFileBytes(Inf()),
            "Zoom=3\r\nplain line\r\nWindowLeft=10\r\nWindowTop=20\r\nWindowWidth=800\r\n"
            "WindowHeight=700\r\n");
}

TEST_F(SettingsTest, MaximisedWindowKeepsStoredValues) {
  const std::string before = "WindowLeft=1\r\nWindowTop=2\r\nother\r\nWindowWidth=3\r\nWindowHeight=4\r\n";
  testutil::WriteFileBytes(Inf(), before);
  XaApplication app(&window, dir.Path().string());
  window.normal = false;
  app.SaveWindowSettings();
  EXPECT_EQ(testutil::ReadFileBytes(Inf()), before);
}

TEST_F(SettingsTest, LoadAppliesInOrderOnlyWithWidth) {
  testutil::WriteFileBytes(Inf(), "WindowLeft=5\nWindowTop=6\nWindowHeight=8\n");
  XaApplication app(&window, dir.Path().string());
  app.LoadWindowSettings();
  EXPECT_TRUE(window.calls.empty());
  testutil::WriteFileBytes(Inf(), "WindowLeft=5\nWindowTop=junk\nWindowWidth=7\n");
  app.LoadWindowSettings();  // reads the file again
  EXPECT_EQ(window.calls, (std::vector<std::string>{"L", "T", "W", "H"}));
  EXPECT_EQ(window.bounds, (XaRect{5, 0, 7, 0}));
}

TEST_F(SettingsTest, NoFileLeavesSettingsEmpty) {
  XaApplication app(&window, dir.Path().string());
  EXPECT_TRUE(app.Settings.empty());
  app.LoadWindowSettings();
  EXPECT_TRUE(window.calls.empty());
}

// A write that fails part-way (the file-size limit stops it) must leave the
// old settings file whole and report the failure.
TEST_F(SettingsTest, FailedWriteKeepsOldFile) {
  const std::string before = "WindowLeft=1\r\nWindowWidth=3\r\n";
  testutil::WriteFileBytes(Inf(), before);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    XaApplication app(&window, dir.Path().string());
    app.SetString("Big", std::string(4096, 'x'));
    rlimit limit{1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    try {
      app.SaveWindowSettings();
    } catch (const XaFileError&) {
      _exit(7);
    }
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7) << "the failure was not reported";
  EXPECT_EQ(testutil::ReadFileBytes(Inf()), before);
  EXPECT_FALSE(std::filesystem::exists(Inf() + ".new"));
}

TEST_F(SettingsTest, UnwritableFolderReportsError) {
  XaApplication app(&window, dir.File("gone"));
  EXPECT_THROW(app.SaveWindowSettings(), XaFileError);
}

TEST(KeepOnScreen, MovesLostWindowsOntoPrimary) {
  const XaRect primary{0, 0, 1920, 1080};
  const std::vector<XaRect> screens{primary, {1920, 0, 1280, 1024}};
  EXPECT_EQ(KeepOnScreen({100, 100, 800, 700}, screens, primary), (XaRect{100, 100, 800, 700}));
  EXPECT_EQ(KeepOnScreen({2000, 50, 800, 700}, screens, primary), (XaRect{2000, 50, 800, 700}));
  EXPECT_EQ(KeepOnScreen({-900, 0, 800, 700}, screens, primary), (XaRect{560, 190, 800, 700}));
  EXPECT_EQ(KeepOnScreen({5000, 5000, 4000, 3000}, screens, primary), (XaRect{0, 0, 1920, 1080}));
}

TEST(ProgramFolder, IsThisProgramsFolder) {
  std::string folder = ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  EXPECT_TRUE(std::filesystem::exists(folder + "test_gen"));
}

}  // namespace
