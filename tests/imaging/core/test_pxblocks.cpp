// Pixel memory blocks, small (heap) and large (mapped): aligned, writable
// from the first to the last byte, independent of each other, and freed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "imaging/core/pxblocks.h"
#include "imaging/core/pxutils.h"

namespace {

class PxBlocks : public ::testing::TestWithParam<int64_t> {};

TEST_P(PxBlocks, AlignedWritableAndSeparate) {
  const int64_t bytes = GetParam();
  std::vector<uint8_t*> blocks;
  for (int i = 0; i < 3; ++i) {
    uint8_t* p = PxBlockAlloc(bytes);
    ASSERT_NE(p, nullptr) << bytes;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u) << bytes;
    // A fresh large block reads as zeros (mapped memory) or anything (heap):
    // only what is written counts.
    // The middle run stays clear of both ends.
    if (bytes > 2) std::memset(p + bytes / 2, i, size_t(std::min<int64_t>(bytes - 1 - bytes / 2, 4096)));
    p[0] = uint8_t(i + 1);
    p[bytes - 1] = uint8_t(i + 101);
    blocks.push_back(p);
  }
  for (int i = 0; i < 3; ++i) {
    if (bytes > 1) {
      EXPECT_EQ(blocks[i][0], i + 1);  // for one byte the last write below wins
    }
    EXPECT_EQ(blocks[i][bytes - 1], i + 101);
    if (bytes > 2) {
      EXPECT_EQ(blocks[i][bytes / 2], i);
    }
  }
  for (uint8_t* p : blocks) PxBlockFree(p);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PxBlocks,
                         ::testing::Values(int64_t(1), int64_t(63), int64_t(4096), kPxMappedBlockBytes - 1,
                                           kPxMappedBlockBytes, kPxMappedBlockBytes + 1,
                                           int64_t(3) * kPxMappedBlockBytes + 12345));

TEST(PxBlocksRefusal, NonPositiveAndImpossibleSizesGiveNull) {
  EXPECT_EQ(PxBlockAlloc(0), nullptr);
  EXPECT_EQ(PxBlockAlloc(-5), nullptr);
  EXPECT_EQ(PxBlockAlloc(INT64_MAX), nullptr);
  PxBlockFree(nullptr);  // does nothing
}

// A bitmap large enough for a mapped block behaves as any other.
TEST(PxBlocksBitmap, LargeBitmapKeepsItsRows) {
  TPxBitmap bmp;
  ASSERT_TRUE(bmp.Allocate(1500, 1200, pxRGB24));  // 5.4 MB: mapped
  ASSERT_EQ(bmp.Location(), pxMemory);
  for (int y = 0; y < bmp.Height(); ++y) std::memset(bmp.Scanline(y), y & 255, size_t(bmp.RowBytes()));
  TPxBitmap copy;
  ASSERT_TRUE(copy.Assign(bmp));
  for (int y = 0; y < bmp.Height(); y += 7) {
    EXPECT_EQ(copy.Scanline(y)[0], y & 255);
    EXPECT_EQ(copy.Scanline(y)[4499], y & 255);
  }
}

}  // namespace

namespace {

// Within a reuse scope a freed large block comes back for a request it holds
// without wasting more than half, not for a much smaller one; the live count
// follows what is handed out.
TEST(PxBlocksReuse, FreedLargeBlockComesBackForASimilarSize) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "every block is on the heap under AddressSanitizer";
#else
  const int64_t big = int64_t(24) << 20;
  const int64_t live = PxBlockLiveBytes();
  TPxBlockReuse reuse;
  uint8_t* a = PxBlockAlloc(big);
  ASSERT_NE(a, nullptr);
  a[big - 1] = 7;
  PxBlockFree(a);
  EXPECT_EQ(PxBlockLiveBytes(), live);
  uint8_t* small = PxBlockAlloc(big / 4);  // would waste three quarters: a block of its own
  ASSERT_NE(small, nullptr);
  EXPECT_NE(small, a);
  uint8_t* b = PxBlockAlloc(big - 4096);
  EXPECT_EQ(b, a);
  EXPECT_EQ(PxBlockLiveBytes(), live + big / 4 + big - 4096);
  b[big - 4097] = 1;  // writable to its end
  PxBlockFree(b);
  PxBlockFree(small);
  EXPECT_EQ(PxBlockLiveBytes(), live);
#endif
}

}  // namespace
