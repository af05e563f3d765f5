// The temporary file behind file-backed buffers: naming, windows, sizes.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "imaging/core/pxutils.h"
#include "util/testutil.h"

namespace {

class FileBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = TempDir;
    TempDir = dir_.Path().string();
  }
  void TearDown() override { TempDir = old_; }
  // Names left in the folder: none, temporary files are unlinked at creation.
  int NameCount() const {
    int n = 0;
    for (auto& e : std::filesystem::directory_iterator(dir_.Path())) n += e.is_regular_file();
    return n;
  }
  // The temporary file opened under `name`, by its descriptor; size -1 when
  // no such file is open.
  int64_t OpenSize(const std::string& name) const {
    for (const auto& f : testutil::OpenFilesIn(dir_.Path()))
      if (f.path.filename() == std::filesystem::path(name).filename()) return f.size;
    return -1;
  }
  size_t OpenCount() const { return testutil::OpenFilesIn(dir_.Path()).size(); }
  testutil::TempDir dir_;
  std::string old_;
};

}  // namespace

TEST_F(FileBufferTest, CreatesSizedNamedFilesAndDeletesThem) {
  TPxFileBuffer a, b;
  ASSERT_TRUE(a.CreateTempFile("ILIST", 262144));
  ASSERT_TRUE(b.CreateTempFile("ILIST", 10));
  EXPECT_NE(a.FileName(), b.FileName());
  EXPECT_EQ(std::filesystem::path(a.FileName()).parent_path(), dir_.Path());
  const std::string name = std::filesystem::path(a.FileName()).filename().string();
  EXPECT_EQ(name.rfind("ILIST-", 0), 0u) << name;
  EXPECT_EQ(name.size(), std::string("ILIST-").size() + 8 + 4) << name;
  EXPECT_EQ(OpenSize(a.FileName()), 262144);
  EXPECT_EQ(a.Size(), 262144);
  // Both files exist only through their descriptors, so nothing can be left
  // behind however the process ends.
  EXPECT_EQ(OpenCount(), 2u);
  for (const auto& f : testutil::OpenFilesIn(dir_.Path())) EXPECT_TRUE(f.deleted) << f.path;
  EXPECT_EQ(NameCount(), 0);
  const std::string aName = a.FileName();
  a.Release();
  EXPECT_FALSE(a.IsOpen());
  EXPECT_EQ(OpenSize(aName), -1);
  EXPECT_EQ(OpenCount(), 1u);
}

TEST_F(FileBufferTest, NoFileInAMissingFolder) {
  TempDir = (dir_.Path() / "not" / "there").string();
  TPxFileBuffer f;
  EXPECT_FALSE(f.CreateTempFile("IMG", 100));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(f.MapRow(kPxAccessRead, 10, 0), nullptr);
  uint8_t byte = 0;
  EXPECT_FALSE(f.WriteAt(&byte, 1, 0));
}

TEST_F(FileBufferTest, WindowsReadAndWriteByTheirAccess) {
  TPxFileBuffer f;
  ASSERT_TRUE(f.CreateTempFile("IMG", 64));
  struct Case {
    uint8_t access;
    bool readsFile, writesBack;
  };
  for (const Case& c : {Case{kPxAccessRead | kPxAccessWrite, true, true}, Case{kPxAccessRead, true, false},
                        Case{kPxAccessWrite, false, true}}) {
    uint8_t init[16];
    std::memset(init, 0x11, sizeof init);
    ASSERT_TRUE(f.WriteAt(init, 16, 8));
    uint8_t* w = f.MapRow(c.access, 16, 8);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(f.WindowCount(), 1);
    EXPECT_EQ(w[0], c.readsFile ? 0x11 : 0x00);
    std::memset(w, 0x22, 16);
    f.UnmapRow(w);
    EXPECT_EQ(f.WindowCount(), 0);
    uint8_t back[16];
    ASSERT_TRUE(f.ReadAt(back, 16, 8));
    EXPECT_EQ(back[15], c.writesBack ? 0x22 : 0x11) << "access " << (int)c.access;
  }
  // Several windows at once; UnmapAll writes every one back.
  uint8_t* w1 = f.MapRow(kPxAccessRead | kPxAccessWrite, 8, 0);
  uint8_t* w2 = f.MapRow(kPxAccessRead | kPxAccessWrite, 8, 56);
  ASSERT_TRUE(w1 && w2);
  w1[0] = 1;
  w2[7] = 2;
  f.UnmapAll();
  uint8_t v = 0;
  f.ReadAt(&v, 1, 0);
  EXPECT_EQ(v, 1);
  f.ReadAt(&v, 1, 63);
  EXPECT_EQ(v, 2);
  EXPECT_EQ(f.MapRow(kPxAccessRead, 0, 0), nullptr);
  EXPECT_EQ(f.MapRow(kPxAccessRead, 8, -1), nullptr);
  EXPECT_EQ(f.MapRow(kPxAccessRead, INT64_MAX, 8), nullptr);
  EXPECT_FALSE(f.Failed());
}

TEST_F(FileBufferTest, SizesAndOffsetsAreSixtyFourBit) {
  TPxFileBuffer f;
  ASSERT_TRUE(f.CreateTempFile("IMG", 16));
  // Past 4 GiB: the write extends the file sparsely, the read finds it.
  const int64_t far = (int64_t(5) << 30) + 3;
  const uint8_t data[4] = {9, 8, 7, 6};
  ASSERT_TRUE(f.WriteAt(data, 4, far));
  uint8_t back[4] = {};
  ASSERT_TRUE(f.ReadAt(back, 4, far));
  EXPECT_EQ(std::memcmp(back, data, 4), 0);
  // Reading past the end gives zeros.
  uint8_t tail[8];
  std::memset(tail, 0xEE, sizeof tail);
  EXPECT_TRUE(f.ReadAt(tail, 8, far + 2));
  EXPECT_EQ(tail[0], 7);
  EXPECT_EQ(tail[2], 0);
  EXPECT_EQ(tail[7], 0);
}

TEST_F(FileBufferTest, GrowShrinkAndCopy) {
  TPxFileBuffer a, b;
  ASSERT_TRUE(a.CreateTempFile("IMG", 100));
  ASSERT_TRUE(a.SetSize(3 * 1048576 + 5));
  EXPECT_EQ(OpenSize(a.FileName()), 3 * 1048576 + 5);
  std::vector<uint8_t> pattern(a.Size());
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = (uint8_t)(i * 13 + i / 4096);
  ASSERT_TRUE(a.WriteAt(pattern.data(), a.Size(), 0));
  ASSERT_TRUE(b.CreateTempFile("IMG", 10));
  ASSERT_TRUE(b.CopyFrom(a));  // grows b, copies in chunks
  EXPECT_EQ(b.Size(), a.Size());
  std::vector<uint8_t> back(pattern.size());
  ASSERT_TRUE(b.ReadAt(back.data(), b.Size(), 0));
  EXPECT_EQ(back, pattern);
  ASSERT_TRUE(a.SetSize(10));
  EXPECT_EQ(OpenSize(a.FileName()), 10);
}
