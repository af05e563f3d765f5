// The process-wide limit of pixel buffers: lowered, it refuses what it used to
// allow, and it never rises above the library's own ceiling.
#include <gtest/gtest.h>

#include "imaging/core/pxconfig.h"
#include "imaging/core/pxutils.h"

namespace {

TEST(PxImageBytesLimit, ALoweredLimitRefusesLargerBuffersAndIsClamped) {
  const int64_t before = PxImageBytesLimit();
  EXPECT_EQ(before, kPxMaxImageBytes);
  PxSetImageBytesLimit(int64_t(1) << 20);  // 1 MiB: 512 x 512 gray fits, 1024 x 1024 does not
  int64_t rowBytes = 0, total = 0;
  EXPECT_TRUE(PxCheckedImageBytes(512, 512, 8, rowBytes, total));
  EXPECT_FALSE(PxCheckedImageBytes(1024, 1025, 8, rowBytes, total));
  TPxBitmap big;
  EXPECT_FALSE(big.Allocate(1024, 1025, px8g));
  TPxMask mask;
  EXPECT_FALSE(mask.Allocate(1024, 1025, 8));
  EXPECT_EQ(PxAllocPixels(int64_t(2) << 20), nullptr);
  PxSetImageBytesLimit(kPxMaxImageBytes * 2);
  EXPECT_EQ(PxImageBytesLimit(), kPxMaxImageBytes);
  PxSetImageBytesLimit(before);
  EXPECT_TRUE(big.Allocate(1024, 1025, px8g));
}

}  // namespace
