#include <gtest/gtest.h>

#include "imaging/io/imagingio.h"
#include "util/testutil.h"

namespace {

TEST(GenSamples, WritesALandscapeAndAPortraitPhoto) {
  testutil::TempDir dir;
  auto r = testutil::RunCommand(testutil::BinDir() + "/../tools/gen-samples " + dir.Path().string());
  ASSERT_EQ(r.status, 0) << r.output;
  const struct {
    const char* name;
    int w, h;
  } files[] = {{"sample-landscape.jpg", 2400, 1600}, {"sample-portrait.jpg", 1600, 2400}};
  for (const auto& f : files) {
    TImagingIO io;
    io.ReadParamsFromFile(dir.File(f.name));
    EXPECT_EQ(io.Params.FileType, 3) << f.name;  // JPEG
    EXPECT_EQ(io.Params.Width, f.w) << f.name;
    EXPECT_EQ(io.Params.Height, f.h) << f.name;
  }
  EXPECT_EQ(testutil::RunCommand(testutil::BinDir() + "/../tools/gen-samples /nonexistent/x").status, 1);
}

}  // namespace
