// The program installed into a prefix: where its files land, where it looks
// for its data, and where it keeps its settings and working files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "app/gen.h"
#include "util/testutil.h"

namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// Every file under a folder, relative to it.
std::set<std::string> FilesUnder(const fs::path& folder) {
  std::set<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    files.insert(fs::relative(e.path(), folder).string());
  return files;
}

// Red pixels of the one-page PDF, rasterised at 100 dpi (one page pixel each).
int RedPixels(const std::string& pdf, const testutil::TempDir& dir, int& width, int& height) {
  auto raster = testutil::RunCommand("pdftoppm -r 100 -singlefile " + Quoted(pdf) + " " +
                                     Quoted(dir.File("page")));
  EXPECT_EQ(raster.status, 0) << raster.output;
  const std::string data = testutil::ReadFileBytes(dir.File("page.ppm"));
  int maxval = 0, consumed = 0;
  width = height = 0;
  if (std::sscanf(data.c_str(), "P6 %d %d %d%n", &width, &height, &maxval, &consumed) != 3) return -1;
  const auto* p = reinterpret_cast<const unsigned char*>(data.data()) + consumed + 1;
  int red = 0;
  for (long i = 0; i < static_cast<long>(width) * height; ++i, p += 3)
    if (p[0] > 200 && p[1] < 60 && p[2] < 60) ++red;
  return red;
}

// One installation of the current build for all tests here.
class InstallTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testutil::TempDir;
    const fs::path build = fs::path(testutil::BinDir()).parent_path();
    result_ = new testutil::CommandResult(testutil::RunCommand(
        "cmake --install " + Quoted(build.string()) + " --prefix " + Quoted(Prefix().string())));
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::permissions(Prefix() / "bin", fs::perms::owner_all, ec);
    delete result_;
    delete dir_;
  }
  void SetUp() override { ASSERT_EQ(result_->status, 0) << result_->output; }

  static fs::path Prefix() { return dir_->Path() / "prefix with space"; }

  static testutil::TempDir* dir_;
  static testutil::CommandResult* result_;
};
testutil::TempDir* InstallTest::dir_ = nullptr;
testutil::CommandResult* InstallTest::result_ = nullptr;

TEST_F(InstallTest, PutsEachFileInItsPlace) {
  const fs::path p = Prefix();
  for (const char* f : {"bin/pictrova", "bin/pictrova-cli"}) {
    EXPECT_TRUE(fs::is_regular_file(p / f)) << f;
    EXPECT_EQ(::access((p / f).c_str(), X_OK), 0) << f;
  }
  // Every data file of the source tree, byte for byte.
  int data = 0;
  for (const auto& e : fs::directory_iterator(fs::path(testutil::SourceDir()) / "data")) {
    const fs::path installed = p / "share/pictrova" / e.path().filename();
    ASSERT_TRUE(fs::is_regular_file(installed)) << installed;
    EXPECT_EQ(testutil::ReadFileBytes(installed), testutil::ReadFileBytes(e.path()));
    ++data;
  }
  EXPECT_GE(data, 5);
  EXPECT_TRUE(fs::is_regular_file(p / "share/icons/hicolor/scalable/apps/pictrova.svg"));
  // No data beside the installed programs: they find them in share/pictrova.
  EXPECT_FALSE(fs::exists(p / "bin/printouts.txt"));
}

TEST_F(InstallTest, MenuEntryIsValidAndStartsTheInstalledProgram) {
  const fs::path entry = Prefix() / "share/applications/pictrova.desktop";
  ASSERT_TRUE(fs::is_regular_file(entry));
  ASSERT_TRUE(testutil::HaveTool("/usr/bin/desktop-file-validate"));
  auto check = testutil::RunCommand("/usr/bin/desktop-file-validate " + Quoted(entry.string()));
  EXPECT_EQ(check.status, 0) << check.output;
  EXPECT_EQ(check.output, "");
  const std::string text = testutil::ReadFileBytes(entry);
  EXPECT_NE(text.find("\nExec=\"" + (Prefix() / "bin/pictrova").string() + "\" %f\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("\nIcon=pictrova\n"), std::string::npos);
  EXPECT_NE(text.find("inode/directory;"), std::string::npos);
}

// The installed tool prints a page from a read-only program folder with a
// fresh home, its layouts and sheet read from share/pictrova; nothing lands
// in the prefix, nor where it was started.
TEST_F(InstallTest, PrintsAPageFromAReadOnlyPrefix) {
  ASSERT_TRUE(testutil::HaveTool("/usr/bin/convert"));
  testutil::TempDir run;
  const fs::path home = run.Path() / "home";
  fs::create_directories(home);
  const std::string picture = run.File("red.jpg");
  auto made = testutil::RunCommand("/usr/bin/convert -size 600x400 xc:'#ff0000' " + Quoted(picture));
  ASSERT_EQ(made.status, 0) << made.output;

  fs::permissions(Prefix() / "bin", fs::perms::owner_read | fs::perms::owner_exec |
                                        fs::perms::group_read | fs::perms::group_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
  const std::set<std::string> before = FilesUnder(Prefix());
  const std::string pdf = run.File("page.pdf");
  auto printed = testutil::RunCommand(
      "cd " + Quoted(run.Path().string()) + " && env -i PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen HOME=" +
      Quoted(home.string()) + " " + Quoted((Prefix() / "bin/pictrova-cli").string()) +
      " print --layout 8x10 --pdf " + Quoted(pdf) + " " + Quoted(picture));
  fs::permissions(Prefix() / "bin", fs::perms::owner_all);
  ASSERT_EQ(printed.status, 0) << printed.output;
  EXPECT_EQ(FilesUnder(Prefix()), before);
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(run.Path())) left.insert(e.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"home", "red.jpg", "page.pdf"}));

  // The 8 x 10 inch area, red, on the letter-size sheet.
  int w = 0, h = 0;
  EXPECT_GT(RedPixels(pdf, run, w, h), 700 * 500);
  EXPECT_EQ(w, 850);
  EXPECT_EQ(h, 1100);
}

// The program's own folders when it runs from the installed prefix: the data
// from share/pictrova, app.inf in the XDG config folder, the working files in
// the XDG cache folder, whatever the superuser could write.
TEST_F(InstallTest, SettingsAndWorkingFilesGoToTheXdgFolders) {
  ASSERT_TRUE(testutil::HaveTool("/usr/bin/convert"));
  const fs::path probe = Prefix() / "bin/installprobe";
  fs::permissions(Prefix() / "bin", fs::perms::owner_all);
  fs::copy_file(fs::path(testutil::BinDir()).parent_path() / "tests/installprobe", probe,
                fs::copy_options::overwrite_existing);
  struct Case {
    const char* name;
    bool variables;  // XDG_CONFIG_HOME and XDG_CACHE_HOME set, or their defaults under HOME
  };
  for (const Case c : {Case{"defaults", false}, Case{"variables", true}}) {
    SCOPED_TRACE(c.name);
    testutil::TempDir run;
    const fs::path home = run.Path() / "home";
    fs::create_directories(home);
    const fs::path config = c.variables ? run.Path() / "conf" : home / ".config";
    const fs::path cache = c.variables ? run.Path() / "cache" : home / ".cache";
    const std::string picture = run.File("red.jpg");
    auto made = testutil::RunCommand("/usr/bin/convert -size 600x400 xc:'#ff0000' " + Quoted(picture));
    ASSERT_EQ(made.status, 0) << made.output;

    fs::permissions(Prefix() / "bin", fs::perms::owner_read | fs::perms::owner_exec |
                                          fs::perms::group_read | fs::perms::group_exec |
                                          fs::perms::others_read | fs::perms::others_exec);
    const std::set<std::string> before = FilesUnder(Prefix());
    std::string env = "env -i PATH=/usr/bin:/bin HOME=" + Quoted(home.string());
    if (c.variables)
      env += " XDG_CONFIG_HOME=" + Quoted(config.string()) + " XDG_CACHE_HOME=" + Quoted(cache.string());
    auto ran = testutil::RunCommand("cd " + Quoted(run.Path().string()) + " && " + env + " " +
                                    Quoted(probe.string()) + " " + Quoted(picture));
    fs::permissions(Prefix() / "bin", fs::perms::owner_all);
    ASSERT_EQ(ran.status, 0) << ran.output;

    EXPECT_NE(ran.output.find("data=" + (Prefix() / "share/pictrova/").string() + "\n"),
              std::string::npos) << ran.output;
    EXPECT_EQ(testutil::ReadFileBytes((config / "pictrova/app.inf").string()), "WindowWidth=640\r\n");
    EXPECT_NE(ran.output.find("work=" + (cache / "pictrova/").string() + "\n"), std::string::npos)
        << ran.output;
    const size_t at = ran.output.find("print=");
    ASSERT_NE(at, std::string::npos);
    const fs::path printFile = ran.output.substr(at + 6, ran.output.find('\n', at) - at - 6);
    EXPECT_EQ(printFile.parent_path(), cache / "pictrova");
    EXPECT_TRUE(fs::is_regular_file(printFile)) << printFile;
    EXPECT_GT(fs::file_size(printFile), 1000u);
    EXPECT_EQ(fs::status(config / "pictrova").permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(FilesUnder(Prefix()), before);
    EXPECT_FALSE(fs::exists(run.Path() / "app.inf"));
  }
  fs::remove(probe);
}

// ---- the folders themselves ----

struct XdgCase {
  const char* value;  // nullptr: unset
  const char* expected;
};

TEST(XdgFolder, FollowsTheVariableOrFallsBackUnderHome) {
  const char* oldHome = std::getenv("HOME");
  const std::string savedHome = oldHome ? oldHome : "";
  ::setenv("HOME", "/home/someone", 1);
  for (const XdgCase c : {XdgCase{"/var/conf", "/var/conf/"}, XdgCase{"/var/conf/", "/var/conf/"},
                          XdgCase{nullptr, "/home/someone/.config/"},
                          XdgCase{"", "/home/someone/.config/"},
                          XdgCase{"relative/conf", "/home/someone/.config/"}}) {
    if (c.value)
      ::setenv("PICTROVA_TEST_XDG", c.value, 1);
    else
      ::unsetenv("PICTROVA_TEST_XDG");
    EXPECT_EQ(XdgFolder("PICTROVA_TEST_XDG", ".config"), c.expected) << (c.value ? c.value : "unset");
  }
  ::unsetenv("PICTROVA_TEST_XDG");
  if (oldHome)
    ::setenv("HOME", savedHome.c_str(), 1);
  else
    ::unsetenv("HOME");
}

// What a user who cannot write to the program folder gets; 0 when all holds.
int CheckReadOnlyFolders(const fs::path& config, const fs::path& cache) {
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
  if (::access(ProgramFolder().c_str(), W_OK) == 0) return 101;  // the folder is open to all
  if (!ProgramFolderReadOnly()) return 1;
  if (SettingsFolder() != (config / "pictrova/").string()) return 2;
  if (WorkFolder() != (cache / "pictrova/").string()) return 3;
  try {
    XaApplication app(nullptr);
    app.SetInt("WindowWidth", 640);
    app.SaveWindowSettings();
  } catch (const std::exception&) {
    return 4;
  }
  if (testutil::ReadFileBytes((config / "pictrova/app.inf").string()) != "WindowWidth=640\r\n") return 5;
  if (fs::exists(ProgramFolder() + "app.inf.new")) return 6;
  return 0;
}

TEST(ProgramFolders, AWritableFolderKeepsEverything) {
  if (::access(ProgramFolder().c_str(), W_OK) != 0) GTEST_SKIP() << "program folder is read-only";
  EXPECT_FALSE(ProgramFolderReadOnly());
  EXPECT_EQ(SettingsFolder(), ProgramFolder());
  EXPECT_EQ(WorkFolder(), ProgramFolder());
}

TEST(ProgramFolders, AReadOnlyFolderSendsSettingsAndWorkToTheXdgFolders) {
  testutil::TempDir t;
  const fs::path config = t.Path() / "config", cache = t.Path() / "cache";
  // The ordinary user may make its folders under the scratch folder.
  fs::permissions(t.Path(), fs::perms::all);
  int result = -1;
  if (geteuid() != 0) {
    if (::access(ProgramFolder().c_str(), W_OK) == 0) GTEST_SKIP() << "program folder is writable";
    result = CheckReadOnlyFolders(config, cache);
  } else {
    // The superuser may write anywhere: check as an ordinary user, in a
    // child process that gives up its rights.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
      _exit(CheckReadOnlyFolders(config, cache));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    result = WEXITSTATUS(status);
  }
  if (result == 100) GTEST_SKIP() << "cannot run as an ordinary user";
  if (result == 101) GTEST_SKIP() << "program folder is writable by everyone";
  EXPECT_EQ(result, 0);
  // The folders made are the user's alone.
  EXPECT_EQ(fs::status(config / "pictrova").permissions() & fs::perms::all, fs::perms::owner_all);
}

}  // namespace
