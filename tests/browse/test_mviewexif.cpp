// The thumbnail grid takes a camera picture's embedded EXIF thumbnail for
// small cells instead of decoding the picture, and decodes the picture when
// the thumbnail is missing or damaged or the cell is large.
#include <gtest/gtest.h>

#include <string>

#include "browse/imagingmview.h"
#include "mviewtest.h"

using mviewtest::HostedGrid;
using mviewtest::PixelAt;

namespace {

const char* const kConvert = "/usr/bin/convert";
const char* const kExiftool = "/usr/bin/exiftool";

void Shell(const std::string& command) {
  testutil::CommandResult r = testutil::RunCommand(command);
  ASSERT_EQ(r.status, 0) << command << "\n" << r.output;
}

}  // namespace

TEST(MViewExif, SmallCellsShowTheEmbeddedThumbnail) {
  if (!testutil::HaveTool(kConvert) || !testutil::HaveTool(kExiftool)) GTEST_SKIP() << "tools missing";
  testutil::TempDir dir;
  const std::string thumb = dir.File("thumb.jpg"), camera = dir.File("camera.jpg"),
                    plain = dir.File("plain.jpg"), damaged = dir.File("damaged.jpg");
  // The picture is blue and its thumbnail red, so the cell tells which was shown.
  mviewtest::WritePicture(camera, 1600, 1200, 0xC04020);
  mviewtest::WritePicture(plain, 1600, 1200, 0xC04020);
  Shell(std::string(kConvert) + " -size 160x120 xc:'#e01010' '" + thumb + "'");
  Shell(std::string(kExiftool) + " -q -overwrite_original '-ThumbnailImage<=" + thumb + "' '" + camera + "'");
  // The same with the thumbnail's data broken after its first bytes.
  std::string bytes = testutil::ReadFileBytes(camera);
  const size_t at = bytes.find("\xFF\xD8\xFF", 4);
  ASSERT_NE(at, std::string::npos);
  for (size_t i = at + 2; i < at + 40; ++i) bytes[i] = '\x11';
  testutil::WriteFileBytes(damaged, bytes);

  struct Case {
    const char* name;
    std::string file;
    int cell;
    bool red;
  } cases[] = {
      {"thumbnail", camera, 128, true},
      {"no_thumbnail", plain, 128, false},
      {"damaged_thumbnail", damaged, 128, false},
      {"large_cell", camera, 256, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostedGrid h;
    h.grid->SetStoreType(pxtThumb);
    h.grid->SetThumbWidth(c.cell);
    h.grid->SetThumbHeight(c.cell);
    h.grid->InsertImageNoSelect(0);
    h.grid->SetImageFileName(0, c.file);
    ASSERT_TRUE(mviewtest::PaintUntilLoaded(h, 0, 0));
    EXPECT_EQ(h.grid->ImageSourceWidth(0), 1600);
    EXPECT_EQ(h.grid->ImageSourceHeight(0), 1200);
    TPxBitmap stored;
    ASSERT_TRUE(h.grid->CopyStoredImage(0, stored));
    EXPECT_EQ(stored.Width(), c.cell);
    EXPECT_EQ(stored.Height(), c.cell * 3 / 4);
    const TBGR p = PixelAt(stored, stored.Width() / 2, stored.Height() / 2);
    EXPECT_EQ(p.r > 180 && p.b < 60, c.red) << int(p.r) << " " << int(p.g) << " " << int(p.b);
  }
}
