// Folder thumbnails and the selected picture's information: what a folder
// puts into the grid, what a selection records and shows in the preview,
// and the information labels' texts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/thumbdisplay.h"
#include "browse/imagingmview.h"
#include "imaging/io/imagingio.h"
#include "imaging/view/imagingview.h"
#include "util/testutil.h"

namespace {

namespace fs = std::filesystem;

void WritePicture(const std::string& file, int w, int h) {
  TPxBitmap b(w, h, pxRGB24);
  b.Fill(0x3060C0);
  TImagingIO io;
  io.SetTargetBitmap(&b);
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting) << file;
}

void WriteText(const std::string& file, const std::string& text) { std::ofstream(file) << text; }

struct Display {
  Display() : display(grid, &preview, [this](TImagingMView*) { ++selects; }) {
    preview.SetBounds(193, 142);
    grid.SetStoreType(pxtThumb);
    grid.SetThreadPoolSize(0);
    display.OnError = [this](const std::string& m) { errors.push_back(m); };
  }
  std::vector<std::string> Captions() {
    std::vector<std::string> out;
    for (int i = 0; i < grid.ImageCount(); ++i) {
      const std::u16string c = grid.ImageBottomText(i)->Caption();
      out.emplace_back(c.begin(), c.end());
    }
    return out;
  }
  TImagingMView grid;
  TImagingView preview;
  XaThumbDisplay display;
  int selects = 0;
  std::vector<std::string> errors;
};

TEST(ThumbDisplay, FolderGivesItsPictureFilesInNameOrder) {
  testutil::TempDir dir;
  for (const char* n : {"IMG_10.jpg", "IMG_2.png", "b.JPG", "A.png"}) WritePicture(dir.File(n), 8, 6);
  WritePicture(dir.File(".hidden.jpg"), 8, 6);
  WriteText(dir.File("notes.txt"), "not a picture");
  WriteText(dir.File("broken.jpg"), "a known extension, but no picture");
  fs::create_directory(dir.File("sub.jpg"));  // a folder, whatever its name
  Display d;
  d.display.ShowFolder(dir.Path().string());
  EXPECT_EQ(d.Captions(),
            (std::vector<std::string>{"A.png", "b.JPG", "broken.jpg", "IMG_2.png", "IMG_10.jpg"}));
  EXPECT_EQ(d.grid.ImageFileName(0), dir.File("A.png"));
  // The first picture is selected without the selection event and shown.
  EXPECT_EQ(d.grid.SelectedImage(), 0);
  EXPECT_EQ(d.selects, 0);
  EXPECT_TRUE(d.display.SelectedPath.empty());
  EXPECT_EQ(d.preview.Bitmap()->Width(), 8);
  // A folder given with its separator gives the same paths.
  d.display.ShowFolder(dir.Path().string() + "/");
  EXPECT_EQ(d.grid.ImageFileName(0), dir.File("A.png"));
}

TEST(ThumbDisplay, SelectingRecordsThePictureAndItsSizes) {
  testutil::TempDir dir;
  WritePicture(dir.File("a.png"), 8, 6);
  WritePicture(dir.File("big.jpg"), 3000, 2000);
  Display d;
  d.display.ShowFolder(dir.Path().string());
  d.grid.SetSelectedImage(1);
  d.display.GridImageSelect(&d.grid, 1);
  EXPECT_EQ(d.selects, 1);
  EXPECT_EQ(d.display.SelectedPath, dir.File("big.jpg"));
  EXPECT_EQ(d.display.SelectedName, "big.jpg");
  // The picture's own size, although the preview decoded it reduced.
  EXPECT_EQ(d.display.ImageWidth, 3000);
  EXPECT_EQ(d.display.ImageHeight, 2000);
  EXPECT_LT(d.preview.Bitmap()->Width(), 3000);
  EXPECT_EQ(d.display.FileSize, int32_t(fs::file_size(dir.File("big.jpg"))));
  EXPECT_EQ(XaFileDimsText(d.display.ImageWidth, d.display.ImageHeight), "3000 x 2000");
  // Switching folders shows the new first picture; the record stays.
  testutil::TempDir other;
  WritePicture(other.File("c.png"), 20, 10);
  d.display.ShowFolder(other.Path().string());
  EXPECT_EQ(d.preview.Bitmap()->Width(), 20);
  EXPECT_EQ(d.display.SelectedName, "big.jpg");
  // The selection removed: the preview is cleared, name and size go.
  d.display.GridImageSelect(&d.grid, -1);
  EXPECT_TRUE(d.display.SelectedName.empty());
  EXPECT_EQ(d.display.FileSize, 0);
  EXPECT_EQ(d.selects, 1);
}

TEST(ThumbDisplay, EmptyUnreadableAndVanishingFolders) {
  testutil::TempDir dir;
  WritePicture(dir.File("a.png"), 8, 6);
  Display d;
  d.display.ShowFolder(dir.Path().string());
  d.display.GridImageSelect(&d.grid, 0);
  ASSERT_EQ(d.display.SelectedName, "a.png");
  // Only unknown files: an empty grid, preview and record unchanged.
  testutil::TempDir unknown;
  WriteText(unknown.File("x.txt"), "text");
  d.display.ShowFolder(unknown.Path().string());
  EXPECT_EQ(d.grid.ImageCount(), 0);
  EXPECT_EQ(d.preview.Bitmap()->Width(), 8);
  EXPECT_EQ(d.display.SelectedName, "a.png");
  // A folder that is not there any more.
  d.display.ShowFolder(dir.File("gone"));
  EXPECT_EQ(d.grid.ImageCount(), 0);
  EXPECT_TRUE(d.errors.empty());
}

TEST(ThumbDisplay, PictureRenamedAwayBeforeItsSelection) {
  testutil::TempDir dir;
  WritePicture(dir.File("a.png"), 8, 6);
  WritePicture(dir.File("b.png"), 8, 6);
  Display d;
  d.display.ShowFolder(dir.Path().string());
  d.display.GridImageSelect(&d.grid, 0);
  const int32_t size = d.display.FileSize;
  fs::rename(dir.File("b.png"), dir.File("c.png"));
  d.grid.SetSelectedImage(1);
  d.display.GridImageSelect(&d.grid, 1);
  // Reported; the size kept and no selection callback, as for any file
  // that cannot be opened. A drag now carries the picked name, so that the
  // drop names the missing file rather than placing the earlier picture.
  ASSERT_EQ(d.errors.size(), 1u);
  EXPECT_NE(d.errors[0].find("b.png"), std::string::npos) << d.errors[0];
  EXPECT_EQ(d.display.FileSize, size);
  EXPECT_EQ(d.selects, 1);
  EXPECT_EQ(d.display.SelectedPath, dir.File("b.png"));
}

TEST(ThumbDisplay, InformationTexts) {
  struct Case {
    int32_t bytes;
    const char* text;
  };
  for (const Case& c : {Case{1536000, "1500 kbytes"}, Case{1023, "0 kbytes"}, Case{1024, "1 kbytes"},
                        Case{0, "0 kbytes"}})
    EXPECT_EQ(XaFileSizeText(c.bytes), c.text) << c.bytes;
  EXPECT_EQ(XaFileDimsText(3000, 2000), "3000 x 2000");
}

}  // namespace
