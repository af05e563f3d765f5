// The thumbnail grid's loads of camera raw and JPEG 2000 files: the
// camera's embedded preview for small cells, a half-size development for
// larger ones and the full one when whole pictures are kept; JPEG 2000 at the
// fewest resolution levels that cover the cell. Kept apart from the other
// load tests, which also run under ThreadSanitizer: LibRaw develops with
// OpenMP, whose runtime that sanitizer does not see.
#include <gtest/gtest.h>

#include <string>

#include "imaging/formats/jpeg2000.h"
#include "mviewtest.h"
#include "util/dngfile.h"

namespace {

using mviewtest::HostedGrid;

struct RawCase {
  const char* name;
  TPxStoreType store;
  int cell;
  bool preview;        // the file has one
  uint8_t read;        // RawPictureRead: 0 developed, 1 half size, 2 preview
  int storedWidth;     // of the picture kept (reduced to the cell under pxtThumb)
};

class GridRaw : public ::testing::TestWithParam<RawCase> {};

TEST_P(GridRaw, TheCellSizeChoosesWhatIsRead) {
  const RawCase& c = GetParam();
  testutil::TempDir dir;
  dngfile::DngSpec spec;
  spec.width = 96;
  spec.height = 64;
  if (c.preview) {
    spec.previewWidth = 48;
    spec.previewHeight = 32;
  }
  const std::string name = dir.File("camera.dng");
  testutil::WriteFileBytes(name, dngfile::MakeDng(spec));
  for (int pool : {0, 3}) {
    SCOPED_TRACE(pool);
    HostedGrid h;
    h.grid->SetStoreType(c.store);
    h.grid->SetThumbWidth(c.cell);
    h.grid->SetThumbHeight(c.cell);
    h.grid->SetThreadPoolSize(pool);
    h.grid->InsertImageNoSelect(0);
    h.grid->SetImageFileName(0, name);
    TImagingMIO& mio = h.grid->GetMIO();
    ASSERT_TRUE(mviewtest::PaintUntilLoaded(h, 0, 0));
    EXPECT_EQ(mio.Params(0).FileType, ioRAW);
    EXPECT_EQ(mio.Params(0).RawPictureRead, c.read);
    TPxBitmap stored;
    ASSERT_TRUE(h.grid->CopyStoredImage(0, stored));
    EXPECT_EQ(stored.Width(), c.storedWidth);
    // The picture's own size, whatever was read of it.
    EXPECT_EQ(h.grid->ImageSourceWidth(0), 96);
    EXPECT_EQ(h.grid->ImageSourceHeight(0), 64);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Raw, GridRaw,
    ::testing::Values(
        // Small cells take the preview (48 x 32, enlarged to the cell).
        RawCase{"small_cell_preview", pxtThumb, 128, true, 2, 128},
        RawCase{"small_cell_no_preview_half_size", pxtThumb, 128, false, 1, 128},
        // Cells over 200 x 150: the half-size development (48 x 32).
        RawCase{"large_cell_half_size", pxtThumb, 256, true, 1, 256},
        // Whole pictures: the full development.
        RawCase{"whole_picture", pxtNormal, 128, true, 0, 96}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GridJpeg2000, ReadAtTheFewestLevelsThatCoverTheCell) {
  testutil::TempDir dir;
  TPxBitmap picture(1024, 768, pxRGB24);
  picture.Fill(0x3080C0);
  TPxMemoryStream s;
  TIOParamsVals params;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  WriteJp2Stream(s, &picture, params, progress);
  ASSERT_FALSE(aborting);
  const std::string name = dir.File("picture.jp2");
  testutil::WriteFileBytes(name, std::string(s.Data().begin(), s.Data().end()));
  for (TPxStoreType store : {pxtThumb, pxtNormal}) {
    SCOPED_TRACE(int(store));
    HostedGrid h;
    h.grid->SetStoreType(store);
    h.grid->SetThumbWidth(128);
    h.grid->SetThumbHeight(128);
    h.grid->InsertImageNoSelect(0);
    h.grid->SetImageFileName(0, name);
    TImagingMIO& mio = h.grid->GetMIO();
    ASSERT_TRUE(mviewtest::PaintUntilLoaded(h, 0, 0));
    // 1024 x 768 halves to 512 x 384, 256 x 192, then 128 x 96, lower than
    // the cell: two levels are left out. Whole pictures keep all.
    EXPECT_EQ(mio.Params(0).Jp2ReduceUsed, store == pxtThumb ? 2 : 0);
    EXPECT_EQ(h.grid->ImageSourceWidth(0), 1024);
    EXPECT_EQ(h.grid->ImageSourceHeight(0), 768);
  }
}

}  // namespace
