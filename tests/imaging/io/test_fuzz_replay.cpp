// Replays every input that ever crashed, hung or ran out of memory in a fuzz
// target (tests/data/fuzz/TARGET/, kept there by scripts/fuzz.sh) and the
// hostile files made for the readers' limits (named hostile-*), through the
// targets' own entry. Each must end, refused or read, without a sanitizer
// report (the sanitizer build stops the test at the first one) or an escaping
// exception; a hostile file must be refused (a fax strip: reported damaged).
// The folders are listed when the test runs, so that a new find needs no
// rebuild.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_read.h"
#include "imaging/core/pxprogress.h"
#include "imaging/io/imagingio.h"
#include "util/testutil.h"

namespace {

namespace fs = std::filesystem;

// The file type a fuzz target (fuzz/fuzz_NAME.cpp) reads as: the format
// table's row with the extension NAME, so that a new reader's target needs
// no edit here. 0 when no row has it.
int32_t TargetType(const std::string& target) {
  const TPxFileFormat* row = PxFindFileFormatByExtension(target);
  return row ? row->FileType : 0;
}

fs::path FindsFolder() {
  return fs::path(testutil::SourceDir()) / "tests" / "data" / "fuzz";
}

std::vector<fs::path> FilesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

TEST(FuzzReplay, EveryTargetKeepsItsFinds) {
  for (const auto& entry : fs::directory_iterator(fs::path(testutil::SourceDir()) / "fuzz")) {
    const std::string name = entry.path().stem().string();
    if (name.rfind("fuzz_", 0) != 0 || name == "fuzz_read" || entry.path().extension() != ".cpp")
      continue;
    const std::string target = name.substr(5);
    SCOPED_TRACE(target);
    EXPECT_TRUE(TargetType(target) != 0 || PxFuzzEntryOf(target.c_str()))
        << "name the target after its format's extension";
    ASSERT_TRUE(fs::is_directory(FindsFolder() / target));
    EXPECT_FALSE(FilesIn(FindsFolder() / target).empty());
  }
}

TEST(FuzzReplay, EveryFindEndsAndEveryHostileFileIsRefused) {
  int replayed = 0;
  for (const auto& folder : fs::directory_iterator(FindsFolder())) {
    if (!folder.is_directory()) continue;
    const std::string target = folder.path().filename().string();
    const int32_t type = TargetType(target);
    const TPxFuzzEntry entry = PxFuzzEntryOf(target.c_str());
    ASSERT_TRUE(type != 0 || entry) << "tests/data/fuzz/" << target << " has no fuzz target";
    for (const fs::path& file : FilesIn(folder.path())) {
      const std::string name = target + "/" + file.filename().string();
      SCOPED_TRACE(name);
      // A sanitizer report ends the process: the last line printed names the file.
      std::fprintf(stderr, "replaying %s\n", name.c_str());
      const std::string bytes = testutil::ReadFileBytes(file.string());
      TPxFuzzOutcome outcome;
      const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
      EXPECT_NO_THROW(entry ? entry(data, bytes.size(), &outcome)
                            : PxFuzzRead(data, bytes.size(), type, &outcome));
      if (file.filename().string().rfind("hostile-", 0) == 0) {
        EXPECT_TRUE(outcome.LoadAborted);
      }
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0);
}

}  // namespace
