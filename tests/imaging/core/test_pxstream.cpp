// The stream abstraction: files and memory behave alike for readers and writers.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "imaging/core/pxstream.h"
#include "util/testutil.h"

namespace {

struct StreamKind {
  const char* name;
  // A fresh, empty, writable stream; dir keeps any file.
  std::function<std::unique_ptr<TPxStream>(const testutil::TempDir& dir)> make;
};

const StreamKind kKinds[] = {
    {"memory", [](const testutil::TempDir&) { return std::make_unique<TPxMemoryStream>(); }},
    {"file",
     [](const testutil::TempDir& dir) {
       return std::make_unique<TPxFileStream>(dir.File("s.bin"), TPxFileStream::fmCreate);
     }},
};

class StreamContract : public ::testing::TestWithParam<StreamKind> {};

TEST_P(StreamContract, WriteSeekReadAndShortReadsAtTheEnd) {
  testutil::TempDir dir;
  auto s = GetParam().make(dir);
  EXPECT_EQ(s->Size(), 0);
  EXPECT_EQ(s->Write("hello world", 11), 11);
  EXPECT_EQ(s->Position(), 11);
  EXPECT_EQ(s->Size(), 11);

  EXPECT_EQ(s->Seek(6, soBeginning), 6);
  char buf[16] = {};
  EXPECT_EQ(s->Read(buf, 16), 5);  // only what is there
  EXPECT_STREQ(buf, "world");
  EXPECT_EQ(s->Read(buf, 4), 0);  // at the end
  EXPECT_EQ(s->Seek(-5, soEnd), 6);
  EXPECT_EQ(s->Seek(-2, soCurrent), 4);
  EXPECT_TRUE(s->ReadExact(buf, 2));
  EXPECT_EQ(std::string(buf, 2), "o ");
  EXPECT_FALSE(s->ReadExact(buf, 100));

  // Overwrite in the middle, then append after a read.
  s->SetPosition(0);
  EXPECT_TRUE(s->WriteExact("J", 1));
  EXPECT_TRUE(s->ReadExact(buf, 4));
  EXPECT_EQ(std::string(buf, 4), "ello");
  s->Seek(0, soEnd);
  EXPECT_TRUE(s->WriteExact("!", 1));
  EXPECT_EQ(s->Size(), 12);
  s->SetPosition(0);
  char all[12];
  ASSERT_TRUE(s->ReadExact(all, 12));
  EXPECT_EQ(std::string(all, 12), "Jello world!");
}

TEST_P(StreamContract, WritingPastTheEndFillsTheGapWithZeros) {
  testutil::TempDir dir;
  auto s = GetParam().make(dir);
  s->WriteExact("ab", 2);
  s->Seek(5, soBeginning);
  s->WriteExact("z", 1);
  EXPECT_EQ(s->Size(), 6);
  s->SetPosition(0);
  char buf[6];
  ASSERT_TRUE(s->ReadExact(buf, 6));
  EXPECT_EQ(std::string(buf, 6), std::string("ab\0\0\0z", 6));
}

TEST_P(StreamContract, SeekBeforeTheStartFails) {
  testutil::TempDir dir;
  auto s = GetParam().make(dir);
  s->WriteExact("abc", 3);
  EXPECT_EQ(s->Seek(-1, soBeginning), -1);
  EXPECT_EQ(s->Seek(-10, soCurrent), -1);
  EXPECT_EQ(s->Position(), 3);  // unchanged
}

INSTANTIATE_TEST_SUITE_P(Kinds, StreamContract, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FileStream, OpenErrorsNameTheFileAndTheReason) {
  testutil::TempDir dir;
  struct Case {
    std::string name;
    TPxFileStream::TMode mode;
    int error;
  } cases[] = {
      {dir.File("missing.png"), TPxFileStream::fmOpenRead, ENOENT},
      {dir.File("no/such/folder/out.png"), TPxFileStream::fmCreate, ENOENT},
      {dir.Path().string(), TPxFileStream::fmOpenRead, EISDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      TPxFileStream s(c.name, c.mode);
      ADD_FAILURE() << "opened";
    } catch (const TPxFileError& e) {
      EXPECT_EQ(e.ErrorCode(), c.error);
      EXPECT_EQ(e.FileName(), c.name);
      std::string what = e.what();
      EXPECT_NE(what.find(c.name), std::string::npos) << what;
      EXPECT_NE(what.find(std::strerror(c.error)), std::string::npos) << what;
    }
  }
}

TEST(FileStream, ReadsWhatAnotherStreamWrote) {
  testutil::TempDir dir;
  const std::string name = dir.File("data.bin");
  {
    TPxFileStream w(name, TPxFileStream::fmCreate);
    std::string big(200000, 'x');  // more than one buffer
    big[199999] = 'y';
    ASSERT_TRUE(w.WriteExact(big.data(), static_cast<int64_t>(big.size())));
    EXPECT_TRUE(w.Close());
  }
  TPxFileStream r(name, TPxFileStream::fmOpenRead);
  EXPECT_EQ(r.Size(), 200000);
  r.Seek(-1, soEnd);
  char c = 0;
  EXPECT_TRUE(r.ReadExact(&c, 1));
  EXPECT_EQ(c, 'y');
  // A read-only stream takes no writes.
  EXPECT_LT(r.Write("q", 1), 1);
}

TEST(MemoryStream, StartsWithGivenDataAndCanBeCut) {
  const char data[] = "0123456789";
  TPxMemoryStream s(data, 10);
  EXPECT_EQ(s.Size(), 10);
  EXPECT_EQ(s.Position(), 0);
  s.Seek(8, soBeginning);
  s.SetSize(4);
  EXPECT_EQ(s.Size(), 4);
  EXPECT_EQ(s.Position(), 4);
  char buf[4];
  s.SetPosition(0);
  ASSERT_TRUE(s.ReadExact(buf, 4));
  EXPECT_EQ(std::string(buf, 4), "0123");
}

}  // namespace
