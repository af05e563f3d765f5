// Thumbnail image store: block layout in memory and in the file, eviction by
// least recent use, holes, file growth, alpha planes, handed-out buffers,
// failures of the file, and the temporary file's removal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "browse/pxvirtualimagelist.h"
#include "util/testutil.h"

namespace {

// Points TempDir at a fresh folder for the stores of one test.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    oldTempDir_ = TempDir;
    TempDir = dir_.Path().string();
  }
  void TearDown() override { TempDir = oldTempDir_; }

  // The store's temporary file, reached through its descriptor.
  std::vector<testutil::OpenFile> OpenFiles() const { return testutil::OpenFilesIn(dir_.Path()); }
  // Bytes of the one open temporary file at `offset`.
  std::vector<uint8_t> FileBytes(int64_t offset, int64_t length) const {
    auto files = OpenFiles();
    EXPECT_EQ(files.size(), 1u);
    std::vector<uint8_t> bytes((size_t)length, 0xEE);
    if (files.size() != 1) return bytes;
    int fd = open(files[0].link.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    if (fd < 0) return bytes;
    EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), (off_t)offset), (ssize_t)length);
    close(fd);
    return bytes;
  }
  bool FolderIsEmpty() const { return std::filesystem::is_empty(dir_.Path()); }

  testutil::TempDir dir_;
  std::string oldTempDir_;
};

uint8_t PatternByte(int seed, int x, int y) {
  return (uint8_t)(seed * 53 + x * 7 + y * 31 + 3);
}

// An image whose meaningful bytes differ per row, column and seed.
std::unique_ptr<TPxBitmap> MakeImage(int w, int h, TPxPixelFormat pf, int seed) {
  auto b = std::make_unique<TPxBitmap>();
  b->FileThreshold = INT64_MAX;
  EXPECT_TRUE(b->Allocate(w, h, pf));
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int i = 0; i < b->RowBytes(); ++i) row[i] = PatternByte(seed, i, y);
  }
  if (pf == px8p)
    for (int i = 0; i < 256; ++i)
      b->PaletteColor(i, MakeBGR((uint8_t)(i + seed), (uint8_t)(2 * i), (uint8_t)(255 - i)));
  return b;
}

// Gives the image an alpha plane with a gradient (not opaque).
void AddGradientAlpha(TPxBitmap& b) {
  TPxBitmap* a = b.AlphaChannel();
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) b.Alpha(x, y, (uint8_t)(x * 11 + y * 5));
  ASSERT_FALSE(a->FullAlpha());
}

int UsedRowBytes(const TPxBitmap& b) {
  return (b.Width() * b.BitCount() + 7) / 8;
}

// Same format, size, meaningful row bytes, palette and alpha plane.
void ExpectSameImage(const TPxBitmap& got, const TPxBitmap& want) {
  ASSERT_EQ(got.PixelFormat(), want.PixelFormat());
  ASSERT_EQ(got.Width(), want.Width());
  ASSERT_EQ(got.Height(), want.Height());
  for (int y = 0; y < want.Height(); ++y)
    ASSERT_EQ(std::memcmp(got.Scanline(y), want.Scanline(y), (size_t)UsedRowBytes(want)), 0)
        << "row " << y;
  if (want.PixelFormat() == px8p) {
    for (int i = 0; i < 256; ++i)
      ASSERT_EQ(got.PaletteColor(i), want.PaletteColor(i)) << "entry " << i;
  }
  ASSERT_EQ(got.HasAlphaChannel(), want.HasAlphaChannel());
  if (want.HasAlphaChannel()) {
    for (int y = 0; y < want.Height(); ++y)
      for (int x = 0; x < want.Width(); ++x)
        ASSERT_EQ(got.Alpha(x, y), want.Alpha(x, y)) << x << "," << y;
  }
}

// A px8g image of exactly `bytes` bytes (a multiple of 4): one row.
std::unique_ptr<TPxBitmap> ImageOfBytes(int bytes, int seed) {
  return MakeImage(bytes, 1, px8g, seed);
}

}  // namespace

// ---------------------------------------------------------------------------
// Block layout

TEST(PxVirtualImageListSizes, RowLengthsAndBlockSizes) {
  struct Case {
    int w, h, bits;
    bool alpha;
    int64_t row, block;
  };
  const Case cases[] = {
      {128, 96, 24, false, 384, 36864}, {128, 96, 24, true, 384, 49153},
      {100, 1, 1, false, 16, 16},       {100, 3, 1, true, 16, 48 + 1 + 300},
      {1, 1, 1, false, 4, 4},           {3, 2, 24, false, 12, 24},
      {5, 2, 48, false, 32, 64},        {0, 5, 24, false, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TPxVirtualImageList::RowLength(c.w, c.bits), c.row) << c.w << "x" << c.bits;
    EXPECT_EQ(TPxVirtualImageList::BlockSize(c.w, c.h, c.bits, c.alpha), c.block)
        << c.w << "x" << c.h;
  }
  EXPECT_EQ(TPxVirtualImageList::BlockSize(INT32_MAX, INT32_MAX, 48, true), -1);
}

TEST_F(StoreTest, BlocksFollowOneAnotherInTheFile) {
  TPxVirtualImageList store("ILIST");
  auto rgb = MakeImage(128, 96, pxRGB24, 1);
  auto rgba = MakeImage(128, 96, pxRGB24, 2);
  AddGradientAlpha(*rgba);
  auto bw = MakeImage(100, 5, px1g, 3);
  TPxBitmap empty;
  struct Case {
    const TPxBitmap* image;
    int64_t position, size;
  };
  const Case cases[] = {{rgb.get(), 0, 36864},
                        {rgba.get(), 36864, 49153},
                        {bw.get(), 36864 + 49153, 16 * 5},
                        {&empty, 0, 0},
                        {rgb.get(), 36864 + 49153 + 80, 36864}};
  int64_t end = 0;
  for (const Case& c : cases) {
    TPxImageRecord* r = store.AddBitmap(*c.image);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->UsedSize(), c.size);
    EXPECT_EQ(r->AllocatedSize(), c.size);
    if (c.size > 0) {
      EXPECT_EQ(r->Position(), c.position);
    }
    EXPECT_EQ(r->Width(), c.image->Width());
    EXPECT_EQ(r->SourceWidth(), c.image->Width());
    EXPECT_EQ(r->SourceHeight(), c.image->Height());
    EXPECT_EQ(r->PixelFormat(), c.image->PixelFormat());
    EXPECT_EQ(r->HasAlpha(), c.image->HasAlphaChannel());
    EXPECT_FALSE(r->HandedOut());
    // New records wait in memory with write access.
    EXPECT_EQ(r->InMemory(), c.size > 0);
    if (c.size > 0) {
      EXPECT_EQ(r->Access(), kPxAccessWrite);
    }
    end += c.size;
  }
  EXPECT_EQ(store.EndOfUsedSpace(), end);
  EXPECT_EQ(store.RecordCount(), 5);
}

TEST_F(StoreTest, BlockLayoutIsTheSameInMemoryAndInTheFile) {
  TPxVirtualImageList store("ILIST");
  auto image = MakeImage(5, 3, pxRGB24, 4);
  AddGradientAlpha(*image);
  TPxImageRecord* r = store.AddBitmap(*image);
  ASSERT_NE(r, nullptr);
  // Expected block: bottom row first, rows of 16 bytes (15 used); then the
  // flag byte 0 and the alpha rows of 8 bytes (5 used), bottom first.
  const int64_t rowLen = 16, alphaLen = 8;
  ASSERT_EQ(r->UsedSize(), rowLen * 3 + 1 + alphaLen * 3);
  const uint8_t* pixels = store.PixelData(r);
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(r->Access(), kPxAccessRead);  // drawing reads it back
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(std::memcmp(pixels + rowLen * i, image->Scanline(2 - i), 15), 0) << "block row " << i;
  EXPECT_EQ(pixels[rowLen * 3], 0);
  const uint8_t* alpha = store.AlphaData(r);
  ASSERT_EQ(alpha, pixels + rowLen * 3 + 1);
  for (int i = 0; i < 3; ++i)
    for (int x = 0; x < 5; ++x)
      EXPECT_EQ(alpha[alphaLen * i + x], image->Alpha(x, 2 - i)) << i << "," << x;
  const std::vector<uint8_t> inMemory(pixels, pixels + r->UsedSize());

  // Another record pushes this one out: its block reaches the file unchanged.
  store.SetMaxImagesInMemory(1);
  auto other = MakeImage(7, 7, px8g, 5);
  ASSERT_NE(store.AddBitmap(*other), nullptr);
  EXPECT_FALSE(r->InMemory());
  EXPECT_EQ(FileBytes(r->Position(), r->UsedSize()), inMemory);
}

// ---------------------------------------------------------------------------
// Memory copies

TEST_F(StoreTest, EleventhImageLeavesTheFirstOnlyInTheFile) {
  TPxVirtualImageList store("ILIST");
  ASSERT_EQ(store.MaxImagesInMemory(), 10);
  std::vector<std::unique_ptr<TPxBitmap>> images;
  std::vector<TPxImageRecord*> records;
  // 11 gray thumbnails fit the first 262,144 bytes, so no growth of the file
  // releases copies and only the limit decides.
  for (int i = 0; i < 11; ++i) {
    images.push_back(MakeImage(128, 96, px8g, i));
    records.push_back(store.AddBitmap(*images.back()));
    ASSERT_NE(records.back(), nullptr);
  }
  ASSERT_EQ(store.FileSize(), 262144);
  EXPECT_FALSE(records[0]->InMemory());
  for (int i = 1; i < 11; ++i) EXPECT_TRUE(records[i]->InMemory()) << i;
  EXPECT_EQ(store.ImagesInMemory(), 10);
  // The first comes back from the file; the least recently used goes instead.
  TPxBitmap back;
  ASSERT_TRUE(store.CopyToBitmap(records[0], back));
  ExpectSameImage(back, *images[0]);
  EXPECT_TRUE(records[0]->InMemory());
  EXPECT_FALSE(records[1]->InMemory());
  EXPECT_EQ(store.ImagesInMemory(), 10);
  for (int i = 1; i < 11; ++i) {
    ASSERT_TRUE(store.CopyToBitmap(records[i], back));
    ExpectSameImage(back, *images[i]);
  }
}

TEST_F(StoreTest, UseDecidesWhichCopyLeaves) {
  TPxVirtualImageList store("ICACHE");
  store.SetMaxImagesInMemory(3);
  std::vector<std::unique_ptr<TPxBitmap>> images;
  std::vector<TPxImageRecord*> records;
  auto add = [&](int seed) {
    images.push_back(MakeImage(16, 16, px8g, seed));
    records.push_back(store.AddBitmap(*images.back()));
    ASSERT_NE(records.back(), nullptr);
  };
  for (int i = 0; i < 3; ++i) add(i);
  ASSERT_NE(store.PixelData(records[0]), nullptr);  // 0 is now the most recent
  add(3);
  EXPECT_TRUE(records[0]->InMemory());
  EXPECT_FALSE(records[1]->InMemory());

  // A lower limit waits for the next record brought in; below 1 it acts as 1.
  store.SetMaxImagesInMemory(0);
  EXPECT_EQ(store.ImagesInMemory(), 3);
  ASSERT_NE(store.PixelData(records[1]), nullptr);
  EXPECT_EQ(store.ImagesInMemory(), 1);
  EXPECT_TRUE(records[1]->InMemory());
  for (int i = 0; i < 4; ++i) {
    TPxBitmap back;
    ASSERT_TRUE(store.CopyToBitmap(records[i], back));
    ExpectSameImage(back, *images[i]);
    EXPECT_EQ(store.ImagesInMemory(), 1);
  }
}

// ---------------------------------------------------------------------------
// Holes and the file's size

TEST_F(StoreTest, FreedSpaceIsReusedFirstFit) {
  struct Case {
    int newBytes;
    bool reused;
  };
  for (const Case& c : {Case{4000, true}, Case{1000, true}, Case{4004, false}}) {
    TPxVirtualImageList store("ILIST");
    auto a = ImageOfBytes(4000, 1), b = ImageOfBytes(4000, 2), d = ImageOfBytes(4000, 3);
    TPxImageRecord* ra = store.AddBitmap(*a);
    TPxImageRecord* rb = store.AddBitmap(*b);
    TPxImageRecord* rd = store.AddBitmap(*d);
    ASSERT_TRUE(ra && rb && rd);
    const int64_t freed = rb->Position(), end = store.EndOfUsedSpace();
    store.Delete(rb);
    EXPECT_EQ(store.HoleCount(), 1);
    auto n = ImageOfBytes(c.newBytes, 4);
    TPxImageRecord* rn = store.AddBitmap(*n);
    ASSERT_NE(rn, nullptr);
    if (c.reused) {
      EXPECT_EQ(rn->Position(), freed) << c.newBytes;
      EXPECT_EQ(store.EndOfUsedSpace(), end);
      EXPECT_EQ(store.HoleCount(), 0);
    } else {
      EXPECT_EQ(rn->Position(), end) << c.newBytes;
      EXPECT_EQ(store.HoleCount(), 1);
    }
    // Neighbours of the reused space keep their pixels once all are in the file.
    store.SetMaxImagesInMemory(1);
    for (auto [record, image] :
         {std::pair{ra, a.get()}, std::pair{rd, d.get()}, std::pair{rn, n.get()}}) {
      TPxBitmap back;
      ASSERT_TRUE(store.CopyToBitmap(record, back));
      ExpectSameImage(back, *image);
    }
  }
}

TEST_F(StoreTest, FileGrowsByTheGrowthStepRule) {
  struct Step {
    int bytes;
    int64_t growthStep, fileSize;
  };
  struct Case {
    std::vector<Step> steps;
    int64_t sizeAfterDeletingAll;
  };
  const Case cases[] = {
      // Blocks below the step: the file grows by the step.
      {{{200000, 262144, 262144}, {200000, 262144, 524288}, {200000, 262144, 786432}}, 262144},
      // A larger block makes the step the sum of the last two block sizes.
      {{{300000, 300000, 562144}, {300000, 300000, 862144}, {700000, 1000000, 1862144}}, 1000000},
  };
  for (const Case& c : cases) {
    TPxVirtualImageList store("ILIST");
    ASSERT_EQ(store.FileSize(), 262144);
    std::vector<std::unique_ptr<TPxBitmap>> images;
    std::vector<TPxImageRecord*> records;
    for (const Step& s : c.steps) {
      images.push_back(ImageOfBytes(s.bytes, (int)images.size()));
      records.push_back(store.AddBitmap(*images.back()));
      ASSERT_NE(records.back(), nullptr);
      EXPECT_EQ(store.GrowthStep(), s.growthStep) << s.bytes;
      EXPECT_EQ(store.FileSize(), s.fileSize) << s.bytes;
      EXPECT_EQ(store.LastAllocationSize(), s.bytes);
      ASSERT_EQ(OpenFiles().size(), 1u);
      EXPECT_EQ(OpenFiles()[0].size, s.fileSize);
    }
    // Growing wrote every copy back first: nothing was lost.
    for (size_t i = 0; i < records.size(); ++i) {
      TPxBitmap back;
      ASSERT_TRUE(store.CopyToBitmap(records[i], back));
      ExpectSameImage(back, *images[i]);
    }
    for (TPxImageRecord* r : records) store.Delete(r);
    EXPECT_EQ(store.RecordCount(), 0);
    EXPECT_EQ(store.FileSize(), c.sizeAfterDeletingAll);
    EXPECT_EQ(OpenFiles()[0].size, c.sizeAfterDeletingAll);
    EXPECT_EQ(store.EndOfUsedSpace(), 0);
    EXPECT_EQ(store.HoleCount(), 0);
  }
}

TEST_F(StoreTest, GrowingReleasesEveryCopy) {
  TPxVirtualImageList store("ILIST");
  auto small = ImageOfBytes(1000, 1);
  for (int i = 0; i < 5; ++i) ASSERT_NE(store.AddBitmap(*small), nullptr);
  EXPECT_EQ(store.ImagesInMemory(), 5);
  store.Delete(store.AddBitmap(*small));
  EXPECT_EQ(store.HoleCount(), 1);
  auto big = ImageOfBytes(262144, 2);
  TPxImageRecord* r = store.AddBitmap(*big);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(store.ImagesInMemory(), 1);
  EXPECT_TRUE(r->InMemory());
  EXPECT_EQ(store.HoleCount(), 0);
}

// ---------------------------------------------------------------------------
// Alpha planes

TEST_F(StoreTest, OpaqueAlphaComesBackWithoutAPlane) {
  struct Case {
    const char* name;
    int setX;  // pixel given setValue, -1 for none
    uint8_t setValue;
    bool marked;  // leave the plane's FullAlpha flag as computed by the writes
    bool comesBack;
  };
  const Case cases[] = {
      {"marked opaque", -1, 255, true, false},
      {"opaque but not marked", 2, 255, false, false},
      {"one translucent value", 2, 128, false, true},
  };
  for (const Case& c : cases) {
    TPxVirtualImageList store("ILIST");
    auto image = MakeImage(6, 4, pxRGB24, 7);
    image->AlphaChannel();
    ASSERT_TRUE(image->AlphaChannel()->FullAlpha());
    if (c.setX >= 0) {
      image->Alpha(c.setX, 1, 1);  // clears the flag
      image->Alpha(c.setX, 1, c.setValue);
    }
    EXPECT_EQ(image->AlphaChannel()->FullAlpha(), c.marked) << c.name;
    TPxImageRecord* r = store.AddBitmap(*image);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(r->HasAlpha());
    EXPECT_EQ(r->UsedSize(), 4 * 20 + 1 + 4 * 8);
    EXPECT_EQ(store.AlphaData(r) != nullptr, c.comesBack) << c.name;
    // Into a bitmap that has a plane already: it is dropped when opaque.
    auto back = MakeImage(6, 4, pxRGB24, 8);
    AddGradientAlpha(*back);
    ASSERT_TRUE(store.CopyToBitmap(r, *back));
    EXPECT_EQ(back->HasAlphaChannel(), c.comesBack) << c.name;
    if (c.comesBack) {
      EXPECT_FALSE(back->AlphaChannel()->FullAlpha());
      ExpectSameImage(*back, *image);
    }
  }
}

// ---------------------------------------------------------------------------
// Handed-out buffers

TEST_F(StoreTest, BufferHandedOutTwiceIsOneObjectUntilGivenBackTwice) {
  TPxVirtualImageList store("ILIST");
  auto image = MakeImage(20, 10, pxRGB24, 9);
  TPxImageRecord* r = store.AddBitmap(*image);
  ASSERT_NE(r, nullptr);
  TPxBitmap* first = store.HandOut(r);
  ASSERT_NE(first, nullptr);
  ExpectSameImage(*first, *image);
  TPxBitmap* second = store.HandOut(r);
  EXPECT_EQ(second, first);
  EXPECT_TRUE(r->HandedOut());
  EXPECT_EQ(store.HandedOutCount(), 1);
  // The queries follow the buffer while it is handed out.
  EXPECT_EQ(store.PixelData(r), first->Scanline(first->Height() - 1));
  ASSERT_TRUE(first->Allocate(8, 3, px8g));
  for (int y = 0; y < 3; ++y) std::memset(first->Scanline(y), 40 + y, (size_t)first->RowBytes());
  EXPECT_EQ(store.ImageWidth(r), 8);
  EXPECT_EQ(store.ImageHeight(r), 3);
  EXPECT_EQ(store.ImageBitCount(r), 8);
  EXPECT_EQ(store.ImagePixelFormat(r), px8g);
  EXPECT_EQ(r->Width(), 20);

  EXPECT_TRUE(store.GiveBack(first, false));
  EXPECT_TRUE(r->HandedOut());
  first->Scanline(0)[0] = 99;  // still valid after the first give-back
  EXPECT_TRUE(store.GiveBackRecord(r, true));
  EXPECT_FALSE(r->HandedOut());
  EXPECT_EQ(store.HandedOutCount(), 0);
  EXPECT_FALSE(store.GiveBack(first, false));
  EXPECT_FALSE(store.GiveBackRecord(r, false));
  EXPECT_FALSE(store.GiveBack(nullptr, false));
  // The write-back stored the changed buffer.
  EXPECT_EQ(store.ImageWidth(r), 8);
  TPxBitmap back;
  ASSERT_TRUE(store.CopyToBitmap(r, back));
  ASSERT_EQ(back.PixelFormat(), px8g);
  EXPECT_EQ(back.Scanline(0)[0], 99);
  EXPECT_EQ(back.Scanline(2)[7], 42);
}

TEST_F(StoreTest, GiveBackWithoutWriteBackKeepsTheStoredImage) {
  TPxVirtualImageList store("ILIST");
  auto image = MakeImage(9, 9, px8g, 10);
  TPxImageRecord* r = store.AddBitmap(*image);
  TPxBitmap* b = store.HandOut(r);
  ASSERT_NE(b, nullptr);
  b->Fill(0);
  EXPECT_TRUE(store.GiveBack(b, false));
  TPxBitmap back;
  ASSERT_TRUE(store.CopyToBitmap(r, back));
  ExpectSameImage(back, *image);
  // Deleting a record frees its handed-out buffer with it.
  ASSERT_NE(store.HandOut(r), nullptr);
  store.Delete(r);
  EXPECT_EQ(store.HandedOutCount(), 0);
}

// ---------------------------------------------------------------------------
// Writing images back

TEST_F(StoreTest, StoreBitmapOfAnotherShapePlacesTheRecordAnew) {
  TPxVirtualImageList store("ILIST");
  auto image = MakeImage(10, 10, pxRGB24, 11);
  TPxImageRecord* r = store.AddBitmap(*image);
  auto neighbour = MakeImage(10, 10, pxRGB24, 12);
  TPxImageRecord* n = store.AddBitmap(*neighbour);
  ASSERT_TRUE(r && n);
  store.SetSourceWidth(r, 4000);
  store.SetSourceHeight(r, 3000);
  EXPECT_EQ(r->SourceWidth(), 4000);
  EXPECT_EQ(r->SourceHeight(), 3000);
  const int64_t end = store.EndOfUsedSpace();

  auto wider = MakeImage(20, 5, px8g, 13);
  AddGradientAlpha(*wider);
  ASSERT_TRUE(store.StoreBitmap(r, *wider));
  EXPECT_EQ(r->Position(), end);
  EXPECT_EQ(r->UsedSize(), TPxVirtualImageList::BlockSize(20, 5, 8, true));
  EXPECT_EQ(r->Width(), 20);
  EXPECT_EQ(r->PixelFormat(), px8g);
  EXPECT_TRUE(r->HasAlpha());
  EXPECT_EQ(r->SourceWidth(), 20);
  store.SetMaxImagesInMemory(1);
  for (auto [record, want] : {std::pair{r, wider.get()}, std::pair{n, neighbour.get()}}) {
    TPxBitmap back;
    ASSERT_TRUE(store.CopyToBitmap(record, back));
    ExpectSameImage(back, *want);
  }

  // The same shape in another format of the same bit count stays in place,
  // and the format and palette follow.
  auto paletted = MakeImage(20, 5, px8p, 14);
  AddGradientAlpha(*paletted);
  const int64_t position = r->Position();
  ASSERT_TRUE(store.StoreBitmap(r, *paletted));
  EXPECT_EQ(r->Position(), position);
  EXPECT_EQ(r->PixelFormat(), px8p);
  ASSERT_NE(store.PixelData(n), nullptr);  // r leaves memory
  EXPECT_FALSE(r->InMemory());
  TPxBitmap back;
  ASSERT_TRUE(store.CopyToBitmap(r, back));
  ExpectSameImage(back, *paletted);
  ASSERT_NE(store.Palette(r), nullptr);
  EXPECT_EQ(store.Palette(r)[5], paletted->PaletteColor(5));
  EXPECT_EQ(store.Palette(n), nullptr);
}

// ---------------------------------------------------------------------------
// Failures of the file

namespace {

// Limits the size of files this process may write; restores on destruction.
// SIGXFSZ is ignored meanwhile, so that the writes just fail.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, oldHandler_);
  }
  bool ok() const { return ok_; }

 private:
  rlimit old_{};
  sighandler_t oldHandler_;
  bool ok_ = false;
};

}  // namespace

TEST_F(StoreTest, FileThatCannotGrowRefusesTheImageAndKeepsTheOthers) {
  TPxVirtualImageList store("ILIST");
  auto a = ImageOfBytes(200000, 1), b = ImageOfBytes(200000, 2);
  TPxImageRecord* ra = store.AddBitmap(*a);
  ASSERT_NE(ra, nullptr);
  {
    FileSizeLimit limit(300000);
    ASSERT_TRUE(limit.ok());
    EXPECT_EQ(store.AddBitmap(*b), nullptr);
  }
  EXPECT_EQ(store.RecordCount(), 1);
  EXPECT_EQ(store.FileSize(), 262144);
  TPxBitmap back;
  ASSERT_TRUE(store.CopyToBitmap(ra, back));
  ExpectSameImage(back, *a);
  TPxImageRecord* rb = store.AddBitmap(*b);
  ASSERT_NE(rb, nullptr);
  EXPECT_EQ(rb->Position(), 200000);
}

TEST_F(StoreTest, CopyThatCannotBeWrittenBackStaysInMemory) {
  TPxVirtualImageList store("ILIST");
  store.SetMaxImagesInMemory(1);
  auto a = ImageOfBytes(200000, 1), b = ImageOfBytes(200000, 2);
  TPxImageRecord* ra = store.AddBitmap(*a);
  TPxImageRecord* rb = store.AddBitmap(*b);  // at 200,000, not yet written
  ASSERT_TRUE(ra && rb);
  ASSERT_FALSE(ra->InMemory());
  {
    FileSizeLimit limit(300000);
    ASSERT_TRUE(limit.ok());
    TPxBitmap back;
    ASSERT_TRUE(store.CopyToBitmap(ra, back));
    ExpectSameImage(back, *a);
    EXPECT_TRUE(rb->InMemory()) << "a copy the file refused was freed";
    EXPECT_EQ(store.ImagesInMemory(), 2);
  }
  // Once the file takes writes again the copy leaves memory normally.
  TPxBitmap back;
  ASSERT_TRUE(store.CopyToBitmap(rb, back));
  ExpectSameImage(back, *b);
  ASSERT_TRUE(store.CopyToBitmap(ra, back));
  EXPECT_FALSE(rb->InMemory());
  ASSERT_TRUE(store.CopyToBitmap(rb, back));
  ExpectSameImage(back, *b);
}

TEST_F(StoreTest, WithoutATemporaryFileEveryImageStaysInMemory) {
  TempDir = (dir_.Path() / "missing").string();
  TPxVirtualImageList store("ILIST");
  EXPECT_FALSE(store.HasFile());
  std::vector<std::unique_ptr<TPxBitmap>> images;
  std::vector<TPxImageRecord*> records;
  for (int i = 0; i < 12; ++i) {
    images.push_back(MakeImage(128, 96, pxRGB24, i));
    records.push_back(store.AddBitmap(*images.back()));
    ASSERT_NE(records.back(), nullptr);
  }
  EXPECT_EQ(store.ImagesInMemory(), 12);
  for (int i = 0; i < 12; ++i) {
    TPxBitmap back;
    ASSERT_TRUE(store.CopyToBitmap(records[i], back));
    ExpectSameImage(back, *images[i]);
  }
}

// ---------------------------------------------------------------------------
// The temporary file

TEST_F(StoreTest, TemporaryFileLivesOnlyAsLongAsTheStore) {
  {
    TPxVirtualImageList store("ICACHE");
    EXPECT_TRUE(store.HasFile());
    auto files = OpenFiles();
    ASSERT_EQ(files.size(), 1u);
    const std::string name = files[0].path.filename().string();
    EXPECT_EQ(name.rfind("ICACHE-", 0), 0u) << name;
    EXPECT_EQ(name.size(), std::string("ICACHE-00000000.tmp").size()) << name;
    EXPECT_EQ(files[0].size, 262144);
    // Only the descriptor keeps it: nothing to leave behind.
    EXPECT_TRUE(files[0].deleted);
    EXPECT_TRUE(FolderIsEmpty());
    auto image = MakeImage(30, 30, pxRGB24, 1);
    TPxImageRecord* r = store.AddBitmap(*image);
    ASSERT_NE(r, nullptr);
    store.Reset();
    EXPECT_EQ(store.RecordCount(), 0);
    files = OpenFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(files[0].path.filename().string(), name);
    ASSERT_NE(store.AddBitmap(*image), nullptr);
  }
  EXPECT_TRUE(OpenFiles().empty());
  EXPECT_TRUE(FolderIsEmpty());
}

TEST_F(StoreTest, TemporaryFileGoesWhenTheProgramEndsOnAnError) {
  struct Case {
    const char* name;
    void (*die)();
    int signal;
  };
  const Case cases[] = {
      {"abort", [] { std::abort(); }, SIGABRT},
      {"uncaught exception", [] { std::thread([] { throw std::runtime_error("lost"); }).join(); },
       SIGABRT},
      {"killed", [] { kill(getpid(), SIGKILL); }, SIGKILL},
  };
  for (const Case& c : cases) {
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // The child fills a store beyond memory, so its file holds images, and
      // dies with the store alive. It never returns into the test runner.
      TPxVirtualImageList store("ILIST");
      store.SetMaxImagesInMemory(2);
      auto image = MakeImage(128, 96, pxRGB24, 1);
      for (int i = 0; i < 8; ++i)
        if (!store.AddBitmap(*image)) _exit(2);
      if (testutil::OpenFilesIn(dir_.Path()).size() != 1) _exit(3);
      c.die();
      _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status))
        << c.name << ": exit " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    EXPECT_EQ(WTERMSIG(status), c.signal) << c.name;
    EXPECT_TRUE(FolderIsEmpty()) << c.name;
  }
}
