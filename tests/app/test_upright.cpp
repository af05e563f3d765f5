// Pictures stored turned, with an orientation tag that says how the camera
// was held, are shown, placed and printed upright: the preview and its size
// label, the grid's thumbnails (the embedded EXIF thumbnail and the reduced
// decode), the placed working file and the printed page. One portrait
// picture with a mark in its top-left corner is stored in each of the eight
// orientations, as JPEG and as TIFF; ImageMagick's -auto-orient checks that
// each stored file indeed shows that picture.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

#include "app/layout.h"
#include "app/thumbdisplay.h"
#include "browse/imagingmview.h"
#include "imaging/core/pxutils.h"
#include "imaging/io/imagingio.h"
#include "imaging/view/imagingview.h"
#include "util/testutil.h"

namespace {

using testutil::Shell;
using testutil::Quote;

namespace fs = std::filesystem;

const std::string kConvert = "/usr/bin/convert";
const std::string kExiftool = "/usr/bin/exiftool";
const std::string kTiffset = "/usr/bin/tiffset";
const std::string kPdftoppm = "/usr/bin/pdftoppm";

// The upright picture: 400 x 600, its body green (blue in the embedded
// thumbnail, to tell the two apart), a red 80 x 80 mark at the top left.
constexpr int kWidth = 400, kHeight = 600;

// ImageMagick operations that store the upright picture so that orientation
// o shows it upright again (the inverse of the turn the tag asks for).
const char* StoreOperation(int o) {
  static const char* const kOps[] = {"",          "",           "-flop",       "-rotate 180",
                                     "-flip",     "-transpose", "-rotate 270", "-transverse",
                                     "-rotate 90"};
  return kOps[o];
}

using PixelFn = std::function<TBGR(int x, int y)>;

// Where the mark lies in a picture: the bounding boxes of the red mark and
// of the picture (mark and body), and the body's colour.
struct Seen {
  int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;  // the picture
  int markLeft = 1 << 30, markTop = 1 << 30, markRight = -1, markBottom = -1;
  int green = 0, blue = 0;
  bool Portrait() const { return bottom - top > right - left; }
  // The mark's centre in the picture's top-left quarter.
  bool MarkTopLeft() const {
    return markRight >= 0 && markLeft + markRight < left + right &&
           markTop + markBottom < top + bottom;
  }
  bool Upright() const { return right >= 0 && Portrait() && MarkTopLeft(); }
  std::string Text() const {
    return "picture " + std::to_string(left) + "," + std::to_string(top) + " to " +
           std::to_string(right) + "," + std::to_string(bottom) + ", mark " +
           std::to_string(markLeft) + "," + std::to_string(markTop) + " to " +
           std::to_string(markRight) + "," + std::to_string(markBottom);
  }
};

Seen Look(int width, int height, const PixelFn& pixel) {
  Seen s;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const TBGR p = pixel(x, y);
      const bool red = p.r > 170 && p.g < 100 && p.b < 100;
      const bool green = p.g > 120 && p.r < 110 && p.b < 110;
      const bool blue = p.b > 150 && p.r < 110 && p.g < 110;
      if (!red && !green && !blue) continue;
      s.left = std::min(s.left, x), s.top = std::min(s.top, y);
      s.right = std::max(s.right, x), s.bottom = std::max(s.bottom, y);
      s.green += green;
      s.blue += blue;
      if (red) {
        s.markLeft = std::min(s.markLeft, x), s.markTop = std::min(s.markTop, y);
        s.markRight = std::max(s.markRight, x), s.markBottom = std::max(s.markBottom, y);
      }
    }
  return s;
}

Seen LookAt(const TPxBitmap& bitmap) {
  TPxBitmap rgb;
  EXPECT_TRUE(rgb.Assign(bitmap));
  if (rgb.PixelFormat() != pxRGB24) {
    EXPECT_TRUE(rgb.ConvertTo(pxRGB24));
  }
  return Look(rgb.Width(), rgb.Height(),
              [&](int x, int y) { return reinterpret_cast<const TBGR*>(rgb.Scanline(y))[x]; });
}

Seen LookAtFile(const std::string& file) {
  TImagingIO io;
  io.LoadFromFile(file);
  EXPECT_FALSE(io.Aborting) << file;
  return LookAt(*io.Bitmap());
}

// A binary PPM as pdftoppm writes it.
Seen LookAtPpm(const std::string& file) {
  const std::string data = testutil::ReadFileBytes(file);
  int w = 0, h = 0, maxval = 0, consumed = 0;
  EXPECT_EQ(std::sscanf(data.c_str(), "P6 %d %d %d%n", &w, &h, &maxval, &consumed), 3) << file;
  const auto* p = reinterpret_cast<const unsigned char*>(data.data()) + consumed + 1;
  return Look(w, h, [&](int x, int y) {
    const unsigned char* q = p + (size_t(y) * size_t(w) + size_t(x)) * 3;
    return MakeBGR(q[0], q[1], q[2]);
  });
}

bool HaveTools() {
  for (const std::string& t : {kConvert, kExiftool, kTiffset, kPdftoppm})
    if (!testutil::HaveTool(t)) return false;
  return true;
}

struct Stored {
  const char* format;  // "jpg" or "tif"
  int orientation;
};

void PrintTo(const Stored& s, std::ostream* out) {
  *out << s.format << " orientation " << s.orientation;
}

class Upright : public ::testing::TestWithParam<Stored> {
 protected:
  void SetUp() override {
    if (!HaveTools()) GTEST_SKIP() << "ImageMagick, exiftool, libtiff's tools or pdftoppm missing";
    const Stored c = GetParam();
    picture = pictures.File(std::string("photo.") + c.format);
    if (Jpeg()) {
      Shell(kConvert + Drawn("#1eaa3c") + " -quality 95 " + Quote(picture));
      Shell(kExiftool + " -q -overwrite_original -Orientation#=" + std::to_string(c.orientation) +
            " " + Quote(picture));
    } else {
      Shell(kConvert + Drawn("#1eaa3c") + " -compress lzw " + Quote(picture));
      Shell(kTiffset + " -s 274 " + std::to_string(c.orientation) + " " + Quote(picture));
    }
  }

  // ImageMagick's arguments that draw the upright picture with the given
  // body colour and store it as the orientation asks.
  static std::string Drawn(const std::string& body) {
    return " -size " + std::to_string(kWidth) + "x" + std::to_string(kHeight) + " xc:'" + body +
           "' -fill '#dc1e1e' -draw 'rectangle 0,0 79,79' " +
           StoreOperation(GetParam().orientation);
  }

  static bool Jpeg() { return std::string(GetParam().format) == "jpg"; }

  testutil::TempDir dir, pictures;
  std::string picture;
};

TEST_P(Upright, ImageMagickShowsTheStoredFileUpright) {
  Shell(kConvert + " " + Quote(picture + "[0]") + " -auto-orient " + Quote(dir.File("im.png")));
  const Seen im = LookAtFile(dir.File("im.png"));
  EXPECT_TRUE(im.Upright()) << im.Text();
  // Stored turned: a file of orientation 5 to 8 holds a landscape.
  TImagingIO io;
  io.ReadParamsFromFile(picture);
  EXPECT_EQ(io.Params.Width > io.Params.Height, GetParam().orientation >= 5);
}

TEST_P(Upright, PreviewAndSizeLabelShowThePictureUpright) {
  TImagingMView grid;
  TImagingView preview;
  XaThumbDisplay display(grid, &preview, nullptr);
  preview.SetBounds(193, 142);
  grid.SetStoreType(pxtThumb);
  grid.SetThreadPoolSize(0);
  display.ShowFolder(pictures.Path().string());
  ASSERT_EQ(grid.ImageCount(), 1);
  display.GridImageSelect(&grid, 0);
  const Seen s = LookAt(*preview.Bitmap());
  EXPECT_TRUE(s.Upright()) << s.Text();
  EXPECT_EQ(XaFileDimsText(display.ImageWidth, display.ImageHeight), "400 x 600");
}

TEST_P(Upright, GridThumbnailsAreUpright) {
  if (Jpeg()) {
    // A camera's thumbnail is stored as its picture is.
    Shell(kConvert + Drawn("#1e3cdc") + " -resize 160x160 -quality 90 " + Quote(dir.File("thumb.jpg")));
    Shell(kExiftool + " -q -overwrite_original '-ThumbnailImage<=" + dir.File("thumb.jpg") + "' " +
          Quote(picture));
  }
  // A small cell takes a JPEG's embedded thumbnail (blue); a larger one the
  // reduced decode of the picture (green, at half size).
  for (int cell : {128, 160}) {
    SCOPED_TRACE(cell);
    TImagingMView grid;
    grid.SetStoreType(pxtThumb);
    grid.SetThreadPoolSize(0);
    grid.SetThumbWidth(cell);
    grid.SetThumbHeight(cell);
    grid.SetImageFileName(grid.AppendImage(), picture);
    ASSERT_TRUE(grid.LoadImageNow(0));
    TPxBitmap thumb;
    ASSERT_TRUE(grid.CopyStoredImage(0, thumb));
    const Seen s = LookAt(thumb);
    EXPECT_TRUE(s.Upright()) << s.Text();
    const bool embedded = Jpeg() && cell == 128;
    EXPECT_EQ(s.blue > s.green, embedded) << s.blue << " blue, " << s.green << " green";
    EXPECT_EQ(grid.ImageSourceWidth(0), kWidth);
    EXPECT_EQ(grid.ImageSourceHeight(0), kHeight);
  }
}

TEST_P(Upright, PlacedWorkingFileIsUpright) {
  for (const char* f : {"bkpage.png", "blankpage.png"})
    fs::copy_file(testutil::SourceDir() + "/data/" + f, dir.File(f));
  // A portrait area (500 x 700) takes the upright portrait without a turn; a
  // landscape one (700 x 500) turns it a quarter turn counter-clockwise.
  testutil::WriteFileBytes(
      dir.File("layouts.txt"),
      ":Portrait\r\nslot|0 0 59000 63700\r\n:Wide\r\nwide|0 0 82600 45500\r\n:end\r\n");
  TImagingVect page;
  TImagingView work;
  XaLayout layout(&page, dir.File("layouts.txt"), dir.Path().string());
  layout.WorkView = &work;
  layout.SetUpPage();
  for (const char* name : {"Portrait", "Wide"}) {
    SCOPED_TRACE(name);
    const bool wide = std::string(name) == "Wide";
    layout.LoadLayout(name);
    layout.DropPicture(0, picture);
    EXPECT_EQ(layout.Areas[0]->Rotated, wide);
    Seen s = LookAtFile(layout.PrintFile(0));
    if (wide) {
      // Turned counter-clockwise: the mark at the bottom left of a landscape.
      EXPECT_FALSE(s.Portrait()) << s.Text();
      EXPECT_TRUE(s.markLeft + s.markRight < s.left + s.right &&
                  s.markTop + s.markBottom > s.top + s.bottom)
          << s.Text();
    } else {
      EXPECT_TRUE(s.Upright()) << s.Text();
    }
  }
  // The working file carries no orientation that would turn it again.
  TImagingIO io;
  io.ReadParamsFromFile(layout.PrintFile(0));
  EXPECT_EQ(io.Params.ExifOrientation, 1);
}

TEST_P(Upright, PrintedPageIsUpright) {
  const testutil::CommandResult r = testutil::RunCommand(
      "cd " + Quote(dir.Path().string()) + " && " + Quote(testutil::BinDir() + "/pictrova-cli") +
      " print --layout 8x10 --pdf page.pdf " + Quote(picture));
  ASSERT_EQ(r.status, 0) << r.output;
  Shell(kPdftoppm + " -r 50 -singlefile " + Quote(dir.File("page.pdf")) + " " + Quote(dir.File("page")));
  const Seen s = LookAtPpm(dir.File("page.ppm"));
  EXPECT_TRUE(s.Upright()) << s.Text();
  // The picture fills the 8 x 10 inch area's height (Don't Crop pads its sides).
  EXPECT_NEAR(s.bottom - s.top + 1, 500, 6) << s.Text();
}

std::vector<Stored> AllStored() {
  std::vector<Stored> out;
  for (const char* f : {"jpg", "tif"})
    for (int o = 1; o <= 8; ++o) out.push_back({f, o});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Orientations, Upright, ::testing::ValuesIn(AllStored()),
                         [](const auto& info) {
                           return std::string(info.param.format) + "_" +
                                  std::to_string(info.param.orientation);
                         });

}  // namespace
