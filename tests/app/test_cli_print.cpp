// pictrova-cli print and place: the program's page code without a window.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <vector>

#include "app/layout.h"
#include "imaging/io/imagingio.h"
#include "imaging/core/pxutils.h"
#include "util/cupsserver.h"
#include "util/testutil.h"

namespace {

namespace fs = std::filesystem;

std::string Cli() { return testutil::BinDir() + "/pictrova-cli"; }

void SolidPicture(const std::string& file, int w, int h, TBGR color) {
  TImagingIO io;
  ASSERT_TRUE(io.Bitmap()->Allocate(w, h, pxRGB24));
  for (int y = 0; y < h; ++y) {
    TBGR* row = reinterpret_cast<TBGR*>(io.Bitmap()->Scanline(y));
    for (int x = 0; x < w; ++x) row[x] = color;
  }
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting);
}

class CliPrintTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SolidPicture(dir.File("red.jpg"), 1500, 1000, MakeBGR(255, 0, 0));
    SolidPicture(dir.File("blue.png"), 900, 600, MakeBGR(0, 0, 255));
  }
  // Runs the tool in the folder; with a print server, CUPS_SERVER names it.
  testutil::CommandResult Run(const std::string& args, const std::string& server = "") {
    const std::string env = server.empty() ? "" : "CUPS_SERVER='" + server + "' ";
    return testutil::RunCommand("cd '" + dir.Path().string() + "' && (" + env + "'" + Cli() + "' " +
                                args + ")");
  }
  testutil::TempDir dir;
};

struct Box {
  int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
};

// Bounding boxes of the strongly red and strongly blue pixels of a PPM page.
void FindBoxes(const std::string& ppm, Box& red, Box& blue, int& width, int& height) {
  const std::string data = testutil::ReadFileBytes(ppm);
  int maxval = 0, consumed = 0;
  ASSERT_EQ(std::sscanf(data.c_str(), "P6 %d %d %d%n", &width, &height, &maxval, &consumed), 3);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data()) + consumed + 1;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x, p += 3) {
      Box* b = (p[0] > 200 && p[1] < 60 && p[2] < 60) ? &red
               : (p[2] > 200 && p[0] < 60 && p[1] < 60) ? &blue : nullptr;
      if (!b) continue;
      b->left = std::min(b->left, x), b->top = std::min(b->top, y);
      b->right = std::max(b->right, x), b->bottom = std::max(b->bottom, y);
    }
}

// The page of "2 4x6" with red.jpg and blue.png, as pdf holds it.
void ExpectTwoPicturesAtTheirAreas(const std::string& pdf, const testutil::TempDir& dir) {
  auto raster = testutil::RunCommand("pdftoppm -r 100 -singlefile '" + pdf + "' '" +
                                     dir.File("page") + "'");
  ASSERT_EQ(raster.status, 0) << raster.output;
  Box red, blue;
  int w = 0, h = 0;
  FindBoxes(dir.File("page.ppm"), red, blue, w, h);
  EXPECT_EQ(w, 850);
  EXPECT_EQ(h, 1100);
  // The layout's areas: 6 x 4 inches at (1.25, 1) and at (1.25, 6); at 100 dpi a
  // page pixel is a raster pixel.
  EXPECT_NEAR(red.left, 125, 1);
  EXPECT_NEAR(red.top, 100, 1);
  EXPECT_NEAR(red.right, 724, 1);
  EXPECT_NEAR(red.bottom, 499, 1);
  EXPECT_NEAR(blue.left, 125, 1);
  EXPECT_NEAR(blue.top, 600, 1);
  EXPECT_NEAR(blue.right, 724, 1);
  EXPECT_NEAR(blue.bottom, 999, 1);
}

TEST_F(CliPrintTest, PrintsEachPictureAtItsAreasInches) {
  auto r = Run("print --layout '2 4x6' --pdf page.pdf red.jpg blue.png");
  ASSERT_EQ(r.status, 0) << r.output;
  ExpectTwoPicturesAtTheirAreas(dir.File("page.pdf"), dir);
  // The working files went to a folder of their own, not beside the pictures.
  EXPECT_FALSE(fs::exists(dir.File("layer0.jpg")));
}

TEST_F(CliPrintTest, SavedPagePrintsAgainAndNamesAMissingPicture) {
  auto saved = Run("print --layout '2 4x6' --fit crop --pdf first.pdf --save-page kept.pictrova red.jpg blue.png");
  ASSERT_EQ(saved.status, 0) << saved.output;
  const std::string page = testutil::ReadFileBytes(dir.File("kept.pictrova"));
  EXPECT_NE(page.find("layout=2 4x6\n"), std::string::npos) << page;
  EXPECT_NE(page.find("|crop|"), std::string::npos) << page;
  auto again = Run("print --page kept.pictrova --pdf again.pdf");
  ASSERT_EQ(again.status, 0) << again.output;
  ExpectTwoPicturesAtTheirAreas(dir.File("again.pdf"), dir);
  // The blue picture gone: named, the red one still printed, status 1.
  fs::remove(dir.File("blue.png"));
  auto missing = Run("print --page kept.pictrova --pdf missing.pdf");
  EXPECT_EQ(missing.status, 1) << missing.output;
  EXPECT_NE(missing.output.find("blue.png"), std::string::npos) << missing.output;
  EXPECT_NE(missing.output.find("printed 1 picture(s)"), std::string::npos) << missing.output;
  EXPECT_TRUE(fs::exists(dir.File("missing.pdf")));
  EXPECT_EQ(testutil::ReadFileBytes(dir.File("kept.pictrova")), page);
  // A damaged page names its file and line; misuse is a usage error.
  testutil::WriteFileBytes(dir.File("bad.pictrova"), "layout=2 4x6\nsize=9\n");
  auto bad = Run("print --page bad.pictrova --pdf bad.pdf");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.output.find("bad.pictrova:2: unknown key \"size\""), std::string::npos) << bad.output;
  EXPECT_EQ(Run("print --page kept.pictrova --layout '2 4x6' --pdf x.pdf").status, 2);
}

TEST_F(CliPrintTest, PrintsThroughAPrintServerQueue) {
  testutil::CupsServer server;
  const std::string out = server.AddQueue("photos");
  auto r = Run("print --layout '2 4x6' --printer photos red.jpg blue.png", server.Address());
  ASSERT_EQ(r.status, 0) << r.output << server.Log();
  EXPECT_NE(r.output.find("printed 2 picture(s)"), std::string::npos) << r.output;
  ASSERT_TRUE(testutil::WaitForFile(out, 20)) << server.Log();
  ExpectTwoPicturesAtTheirAreas(out, dir);
}

TEST_F(CliPrintTest, PrintThatNoQueueTakesFailsWithTheServersWord) {
  testutil::CupsServer server;
  server.AddQueue("photos");
  auto reject = server.Run("cupsreject -r 'Tray 2 is out of paper' photos");
  ASSERT_EQ(reject.status, 0) << reject.output;
  const std::string closed = "127.0.0.1:" + std::to_string(testutil::FreeLoopbackPort());
  const struct {
    std::string server, queue, says;
  } cases[] = {
      {server.Address(), "photos", "Tray 2 is out of paper"},
      {server.Address(), "no-such-queue", "There is no printer named \"no-such-queue\""},
      {closed, "photos", "The print server " + closed + " cannot be reached"},
  };
  for (const auto& c : cases) {
    auto r = Run("print --layout '8x10' --printer " + c.queue + " red.jpg", c.server);
    EXPECT_EQ(r.status, 1) << c.says << "\n" << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("printed"), std::string::npos) << r.output;
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
  }
  auto jobs = server.Run("lpstat -W all -o");
  EXPECT_EQ(jobs.output, "") << "the server holds a job";
}

TEST_F(CliPrintTest, PausedQueueKeepsTheJobAndSaysSo) {
  testutil::CupsServer server;
  const std::string out = server.AddQueue("photos");
  auto pause = server.Run("cupsdisable photos");
  ASSERT_EQ(pause.status, 0) << pause.output;
  auto r = Run("print --layout '2 4x6' --printer photos red.jpg blue.png 2>warning.txt",
               server.Address());
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("printed 2 picture(s)"), std::string::npos) << r.output;
  // The warning is for the user, on the error stream, beside the line that says what was sent.
  const std::string warning = testutil::ReadFileBytes(dir.File("warning.txt"));
  EXPECT_NE(warning.find("\"photos\" is paused"), std::string::npos) << warning;
  EXPECT_NE(warning.find("until the queue is resumed"), std::string::npos) << warning;
  EXPECT_NE(server.Run("lpstat -o photos").output.find("photos-"), std::string::npos);
  EXPECT_FALSE(fs::exists(out));
  // The waiting job is the page: resumed, the queue prints it.
  ASSERT_EQ(server.Run("cupsenable photos").status, 0);
  ASSERT_TRUE(testutil::WaitForFile(out, 20)) << server.Log();
  ExpectTwoPicturesAtTheirAreas(out, dir);
}

// A page as 8-bit RGB, top row first.
struct Raster {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  const uint8_t* At(int x, int y) const { return rgb.data() + (size_t(y) * width + x) * 3; }
  bool Dark(int x, int y) const {
    const uint8_t* p = At(x, y);
    return p[0] < 90 && p[1] < 90 && p[2] < 90;
  }
};

Raster ReadPpm(const std::string& ppm) {
  Raster r;
  const std::string data = testutil::ReadFileBytes(ppm);
  int maxval = 0, consumed = 0;
  if (std::sscanf(data.c_str(), "P6 %d %d %d%n", &r.width, &r.height, &maxval, &consumed) != 3) {
    ADD_FAILURE() << ppm << " is no PPM";
    return {};
  }
  const size_t bytes = size_t(r.width) * r.height * 3;
  EXPECT_EQ(data.size(), consumed + 1 + bytes) << ppm;
  r.rgb.assign(data.begin() + consumed + 1, data.begin() + consumed + 1 + std::min(bytes, data.size() - consumed - 1));
  r.rgb.resize(bytes);
  return r;
}

// A PDF's first page rasterised by pdftoppm at 100 dpi.
Raster RasterisePdf(const std::string& pdf, const testutil::TempDir& dir) {
  auto r = testutil::RunCommand("pdftoppm -r 100 -singlefile '" + pdf + "' '" + dir.File("raster") + "'");
  EXPECT_EQ(r.status, 0) << r.output;
  return ReadPpm(dir.File("raster.ppm"));
}

// A picture file as ImageMagick decodes it.
Raster DecodePicture(const std::string& file, const testutil::TempDir& dir) {
  auto r = testutil::RunCommand("/usr/bin/convert '" + file + "' '" + dir.File("decoded.ppm") + "'");
  EXPECT_EQ(r.status, 0) << r.output;
  return ReadPpm(dir.File("decoded.ppm"));
}

// A photo-like picture: smooth colour ramps each way.
void RampPicture(const std::string& file, int w, int h) {
  TImagingIO io;
  ASSERT_TRUE(io.Bitmap()->Allocate(w, h, pxRGB24));
  for (int y = 0; y < h; ++y) {
    TBGR* row = reinterpret_cast<TBGR*>(io.Bitmap()->Scanline(y));
    for (int x = 0; x < w; ++x)
      row[x] = MakeBGR(uint8_t(40 + 180 * x / w), uint8_t(200 - 150 * y / h), uint8_t(90 + 100 * (x + y) / (w + h)));
  }
  io.Params.JpegQuality = 92;
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting);
}

TEST_F(CliPrintTest, PreviewPictureIsThePdfPagePixelForPixel) {
  RampPicture(dir.File("ramp.jpg"), 1800, 1200);
  RampPicture(dir.File("tall.jpg"), 900, 1300);
  auto r = Run("print --layout '2 4x6,3.5x5' --fit crop --cut-guides --pdf page.pdf --png page.png "
               "ramp.jpg tall.jpg red.jpg");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("to page.png"), std::string::npos) << r.output;
  const Raster pdf = RasterisePdf(dir.File("page.pdf"), dir);
  const Raster png = DecodePicture(dir.File("page.png"), dir);
  ASSERT_EQ(pdf.width, 850);
  ASSERT_EQ(pdf.height, 1100);
  ASSERT_EQ(png.width, pdf.width);
  ASSERT_EQ(png.height, pdf.height);
  // The PDF keeps the pictures at printer resolution (perhaps JPEG-compressed)
  // and pdftoppm reduces them its own way: a photo's pixels differ by a few
  // levels, while a picture or a mark one pixel off would differ by hundreds.
  // pdftoppm draws every image one pixel wider and taller than its place (it
  // rounds an image's far edges up): such a pixel repeats its left or upper
  // neighbour of the preview.
  auto differ = [&](int x, int y, int px, int py) {
    int d = 0;
    for (int c = 0; c < 3; ++c) d = std::max(d, std::abs(int(pdf.At(x, y)[c]) - int(png.At(px, py)[c])));
    return d;
  };
  int worst = 0, far = 0, marks = 0;
  for (int y = 0; y < pdf.height; ++y)
    for (int x = 0; x < pdf.width; ++x) {
      const int d = differ(x, y, x, y);
      worst = std::max(worst, d);
      const bool grown = (x > 0 && differ(x, y, x - 1, y) <= 24) || (y > 0 && differ(x, y, x, y - 1) <= 24) ||
                         (x > 0 && y > 0 && differ(x, y, x - 1, y - 1) <= 24);
      far += d > 24 && !grown;
      marks += png.Dark(x, y);
    }
  EXPECT_EQ(far, 0) << "worst difference " << worst;
  EXPECT_GT(marks, 12 * 20) << "the cut guides are in the preview";
  // The preview says its resolution.
  TImagingIO io;
  io.ReadParamsFromFile(dir.File("page.png"));
  EXPECT_EQ(io.Params.DpiX, 100);

  auto small = Run("print --layout '2 4x6' --png small.png --dpi 50 ramp.jpg");
  ASSERT_EQ(small.status, 0) << small.output;
  EXPECT_EQ(small.output.find("printed"), std::string::npos) << small.output;
  const Raster half = DecodePicture(dir.File("small.png"), dir);
  EXPECT_EQ(half.width, 425);
  EXPECT_EQ(half.height, 550);
}

TEST_F(CliPrintTest, OnA4TheLetterPageIsCentredAndTheSavedPageKeepsIt) {
  auto r = Run("print --layout '2 4x6' --paper a4 --pdf a4.pdf --save-page kept.pictrova red.jpg blue.png");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(testutil::ReadFileBytes(dir.File("kept.pictrova")).find("\npaper=a4\n"), std::string::npos);
  auto again = Run("print --page kept.pictrova --pdf again.pdf");
  ASSERT_EQ(again.status, 0) << again.output;
  for (const char* pdf : {"a4.pdf", "again.pdf"}) {
    SCOPED_TRACE(pdf);
    auto raster = testutil::RunCommand("pdftoppm -r 100 -singlefile '" + dir.File(pdf) + "' '" + dir.File("page") + "'");
    ASSERT_EQ(raster.status, 0) << raster.output;
    Box red, blue;
    int w = 0, h = 0;
    FindBoxes(dir.File("page.ppm"), red, blue, w, h);
    EXPECT_EQ(w, 827);
    EXPECT_NEAR(h, 1169, 1);  // 1169.3 pixels, rounded up or not
    // The letter page centred: (8.27 - 8.5) / 2 = -0.116 and (11.69 - 11) / 2 =
    // 0.346 inches; the areas keep their 6 x 4 inches.
    EXPECT_NEAR(red.left, 125 - 11.6, 1);
    EXPECT_NEAR(red.top, 100 + 34.6, 1);
    EXPECT_NEAR(red.right, 724 - 11.6, 1);
    EXPECT_NEAR(red.bottom, 499 + 34.6, 1);
    EXPECT_NEAR(blue.left, 125 - 11.6, 1);
    EXPECT_NEAR(blue.top, 600 + 34.6, 1);
    EXPECT_NEAR(blue.bottom, 999 + 34.6, 1);
  }
  // An explicit paper wins over the page's.
  auto letter = Run("print --page kept.pictrova --paper letter --pdf letter.pdf");
  ASSERT_EQ(letter.status, 0) << letter.output;
  ExpectTwoPicturesAtTheirAreas(dir.File("letter.pdf"), dir);
}

TEST_F(CliPrintTest, PictureOffThePaperIsNamedAndPrintsOnlyWhenForced) {
  // The top area moved to the sheet's left edge: on letter it fits, on A4
  // (narrower) it reaches past the edge.
  testutil::WriteFileBytes(dir.File("moved.pictrova"),
                           "layout=2 4x6\npaper=a4\narea=1|dont-crop|0 100 600 400|" + dir.File("red.jpg") +
                               "\narea=2|dont-crop|125 600 600 400|" + dir.File("blue.png") + "\n");
  auto refused = Run("print --page moved.pictrova --pdf cut.pdf --png cut.png");
  EXPECT_EQ(refused.status, 1) << refused.output;
  EXPECT_NE(refused.output.find("\"4x6 top\" reaches past the paper's edge"), std::string::npos) << refused.output;
  EXPECT_EQ(refused.output.find("4x6 bottom"), std::string::npos) << refused.output;
  EXPECT_NE(refused.output.find("--force"), std::string::npos) << refused.output;
  EXPECT_EQ(std::count(refused.output.begin(), refused.output.end(), '\n'), 1) << refused.output;
  EXPECT_FALSE(fs::exists(dir.File("cut.pdf")));
  EXPECT_FALSE(fs::exists(dir.File("cut.png")));

  auto letter = Run("print --page moved.pictrova --paper letter --pdf letter.pdf");
  EXPECT_EQ(letter.status, 0) << letter.output;
  EXPECT_EQ(letter.output.find("reaches"), std::string::npos) << letter.output;

  auto forced = Run("print --page moved.pictrova --pdf forced.pdf --force 2>forced.txt");
  ASSERT_EQ(forced.status, 0) << forced.output;
  EXPECT_NE(testutil::ReadFileBytes(dir.File("forced.txt")).find("\"4x6 top\""), std::string::npos);
  Box red, blue;
  int w = 0, h = 0;
  auto raster = testutil::RunCommand("pdftoppm -r 100 -singlefile '" + dir.File("forced.pdf") + "' '" + dir.File("f") + "'");
  ASSERT_EQ(raster.status, 0) << raster.output;
  FindBoxes(dir.File("f.ppm"), red, blue, w, h);
  EXPECT_EQ(red.left, 0);  // cut at the paper's edge
  EXPECT_NEAR(red.right, 599 - 11.6, 1);
}

TEST_F(CliPrintTest, QueueMarginsForThePaperDecide) {
  testutil::CupsServer server;
  // A quarter inch at the sides, half an inch at top and bottom.
  const std::string out = server.AddQueue("margins", testutil::MarginsPpd(18, 36, 18, 36));
  // On A4 the 8x10 print lies 0.13 inches from the side, in the margin.
  auto a4 = Run("print --layout 8x10 --fit stretch --printer margins --paper a4 red.jpg", server.Address());
  EXPECT_EQ(a4.status, 1) << a4.output;
  EXPECT_NE(a4.output.find("\"8x10\" reaches into the margin the printer cannot print on"), std::string::npos)
      << a4.output;
  EXPECT_EQ(server.Run("lpstat -W all -o").output, "") << "the server holds a job";
  // On letter it meets the margins exactly, and prints.
  auto letter = Run("print --layout 8x10 --fit stretch --printer margins --png shown.png red.jpg",
                    server.Address());
  ASSERT_EQ(letter.status, 0) << letter.output << server.Log();
  ASSERT_TRUE(testutil::WaitForFile(out, 20)) << server.Log();
  Box red, blue;
  int w = 0, h = 0;
  auto raster = testutil::RunCommand("pdftoppm -r 100 -singlefile '" + out + "' '" + dir.File("q") + "'");
  ASSERT_EQ(raster.status, 0) << raster.output;
  FindBoxes(dir.File("q.ppm"), red, blue, w, h);
  EXPECT_EQ(w, 850);
  EXPECT_NEAR(red.left, 25, 1);
  EXPECT_NEAR(red.top, 50, 1);
  // The preview shades the queue's margins: white paper turns gray there.
  const Raster shown = DecodePicture(dir.File("shown.png"), dir);
  ASSERT_EQ(shown.width, 850);
  const struct {
    int x, y;
  } margin[] = {{10, 500}, {840, 500}, {400, 20}, {400, 1080}, {10, 10}, {24, 500}, {24, 1049}, {400, 1050}};
  for (const auto& p : margin) EXPECT_NEAR(shown.At(p.x, p.y)[1], 191, 2) << p.x << "," << p.y;
  // The picture within them is as it prints.
  EXPECT_GT(shown.At(400, 500)[0], 200);
  EXPECT_LT(shown.At(400, 500)[1], 60);
  EXPECT_LT(shown.At(25, 50)[1], 60);
}

TEST_F(CliPrintTest, CutGuidesLieAtTheCornersAndNeverOnAPicture) {
  SolidPicture(dir.File("green.png"), 600, 800, MakeBGR(60, 200, 90));
  const struct {
    const char* layout;
    int pictures;
  } layouts[] = {{"9 wallets", 9}, {"5x7,4x6", 2}};
  for (const auto& l : layouts) {
    SCOPED_TRACE(l.layout);
    std::string args =
        std::string("print --layout '") + l.layout + "' --fit stretch --cut-guides --pdf guides.pdf --png guides.png";
    for (int i = 0; i < l.pictures; ++i) args += i % 2 ? " blue.png" : " green.png";
    auto r = Run(args);
    ASSERT_EQ(r.status, 0) << r.output;
    std::vector<Box> areas;
    ReadLayoutAreas(testutil::BinDir() + "/printouts.txt", l.layout, [&](std::unique_ptr<XaLayoutArea> a) {
      areas.push_back({a->Left, a->Top, a->Left + a->Width - 1, a->Top + a->Height - 1});
    });
    ASSERT_EQ(int(areas.size()), l.pictures);
    const Raster page = RasterisePdf(dir.File("guides.pdf"), dir);
    ASSERT_EQ(page.width, 850);
    auto inside = [&](int x, int y) {
      for (const Box& a : areas)
        if (x >= a.left && x <= a.right && y >= a.top && y <= a.bottom) return true;
      return false;
    };
    // Every mark pixel lies outside the pictures, within a quarter inch of a
    // corner. pdftoppm draws each image a pixel wider and taller (see above):
    // a mark that ends at a picture's top or left edge reaches one pixel into
    // it on the page, and is known by the mark pixel beside it outside.
    auto grownMark = [&](int x, int y) {
      for (const auto& [px, py] : {std::pair{x - 1, y}, {x, y - 1}, {x - 1, y - 1}})
        if (px >= 0 && py >= 0 && page.Dark(px, py) && !inside(px, py)) return true;
      return false;
    };
    int dark = 0;
    for (int y = 0; y < page.height; ++y)
      for (int x = 0; x < page.width; ++x) {
        if (!page.Dark(x, y)) continue;
        ++dark;
        EXPECT_FALSE(inside(x, y) && !grownMark(x, y)) << "mark pixel in a picture at " << x << "," << y;
        bool nearCorner = false;
        for (const Box& a : areas)
          for (int cx : {a.left, a.right + 1})
            for (int cy : {a.top, a.bottom + 1})
              nearCorner = nearCorner || (std::abs(x - cx) <= 26 && std::abs(y - cy) <= 26);
        EXPECT_TRUE(nearCorner) << "mark pixel away from every corner at " << x << "," << y;
      }
    // Each corner's strokes continue its edges outward, a quarter inch each,
    // wherever no picture is in the way.
    auto stroke = [&](int x0, int y0, int dx, int dy) {
      int free = 0, marked = 0;
      for (int i = 0; i < 25; ++i) {
        const int x = x0 + dx * i, y = y0 + dy * i;
        if (x < 0 || y < 0 || x >= page.width || y >= page.height || inside(x, y)) return -1;
        ++free;
        marked += page.Dark(x, y);
      }
      return free == 25 ? marked : -1;
    };
    for (const Box& a : areas) {
      const struct {
        int x, y, dx, dy;
      } strokes[] = {{a.left - 1, a.top, -1, 0},     {a.right + 1, a.top, 1, 0},
                     {a.left - 1, a.bottom, -1, 0},  {a.right + 1, a.bottom, 1, 0},
                     {a.left, a.top - 1, 0, -1},     {a.right, a.top - 1, 0, -1},
                     {a.left, a.bottom + 1, 0, 1},   {a.right, a.bottom + 1, 0, 1}};
      for (const auto& s : strokes) {
        const int marked = stroke(s.x, s.y, s.dx, s.dy);
        if (marked >= 0) {
          EXPECT_GE(marked, 24) << "stroke from " << s.x << "," << s.y;
        }
      }
      // The horizontal strokes always have room in these layouts.
      EXPECT_GE(stroke(a.left - 1, a.top, -1, 0), 24);
      EXPECT_GE(stroke(a.right + 1, a.bottom, 1, 0), 24);
    }
    EXPECT_GE(dark, l.pictures * 2 * 25);
    // The preview of the same page has its marks exactly: none in a picture.
    const Raster shown = DecodePicture(dir.File("guides.png"), dir);
    int shownDark = 0;
    for (int y = 0; y < shown.height; ++y)
      for (int x = 0; x < shown.width; ++x)
        if (shown.Dark(x, y)) {
          ++shownDark;
          EXPECT_FALSE(inside(x, y)) << "preview mark pixel in a picture at " << x << "," << y;
        }
    EXPECT_GE(shownDark, l.pictures * 2 * 25);
    // Without the option, no marks at all.
    auto plain = Run(std::string("print --layout '") + l.layout + "' --fit stretch --pdf plain.pdf green.png");
    ASSERT_EQ(plain.status, 0) << plain.output;
    const Raster none = RasterisePdf(dir.File("plain.pdf"), dir);
    int darkWithout = 0;
    for (int y = 0; y < none.height; ++y)
      for (int x = 0; x < none.width; ++x) darkWithout += none.Dark(x, y);
    EXPECT_EQ(darkWithout, 0);
  }
}

TEST_F(CliPrintTest, FewerPicturesLeaveAreasEmpty) {
  auto r = Run("print --layout '4 3.5x5' --fit crop --pdf one.pdf red.jpg");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(fs::exists(dir.File("one.pdf")));
}

TEST_F(CliPrintTest, FillAllPrintsThePictureInEveryArea) {
  auto r = Run("print --layout '9 wallets' --fill-all --fit crop --pdf wallets.pdf red.jpg");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("printed 9 picture(s)"), std::string::npos) << r.output;
  auto raster = testutil::RunCommand("pdftoppm -r 100 -singlefile '" + dir.File("wallets.pdf") + "' '" +
                                     dir.File("wallets") + "'");
  ASSERT_EQ(raster.status, 0) << raster.output;
  const std::string data = testutil::ReadFileBytes(dir.File("wallets.ppm"));
  int w = 0, h = 0, maxval = 0, consumed = 0;
  ASSERT_EQ(std::sscanf(data.c_str(), "P6 %d %d %d%n", &w, &h, &maxval, &consumed), 3);
  ASSERT_EQ(w, 850);
  auto red = [&](int x, int y) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data()) + consumed + 1 +
                             (size_t(y) * w + x) * 3;
    return p[0] > 200 && p[1] < 60 && p[2] < 60;
  };
  // Three columns of wallets, 2.5 inches wide with a quarter inch between,
  // in three rows of 3.5 inches: red at each wallet, white between the columns.
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 3; ++col) {
      const int left = 25 + 275 * col, top = 25 + 350 * row;
      EXPECT_TRUE(red(left + 125, top + 175)) << row << "," << col;
      EXPECT_TRUE(red(left + 5, top + 5)) << row << "," << col;
      EXPECT_TRUE(red(left + 244, top + 344)) << row << "," << col;
      if (col > 0) {
        EXPECT_FALSE(red(left - 12, top + 175)) << row << "," << col;
      }
    }
}

TEST_F(CliPrintTest, ErrorsSayOneLineAndExitNonZero) {
  testutil::WriteFileBytes(dir.File("broken.jpg"), "no picture");
  const struct {
    const char* args;
    int status;
    const char* says;
  } cases[] = {
      {"print --layout 'no such layout' --pdf x.pdf red.jpg", 1, "no such layout"},
      {"print --layout '8x10' --pdf x.pdf broken.jpg", 1, "broken.jpg"},
      {"print --layout '8x10' --pdf x.pdf missing.jpg", 1, "missing.jpg"},
      {"print --layout '8x10' --printer no-such-queue red.jpg", 1, "no-such-queue"},
      {"print --layout '8x10' --pdf /nonexistent/x.pdf red.jpg", 1, "/nonexistent/x.pdf"},
      {"print --layout '8x10' --pdf x.pdf red.jpg blue.png", 2, "2 pictures"},
      {"print --layout '8x10' red.jpg", 2, "--pdf"},
      {"print --layout '8x10' --pdf a.pdf --printer q red.jpg", 2, "--pdf"},
      {"print --pdf x.pdf red.jpg", 2, "--layout"},
      {"print --layout 8x10 --fit squash --pdf x.pdf red.jpg", 2, "squash"},
      {"place --layout 8x10 red.jpg", 2, "--out"},
      {"print --layout '9 wallets' --fill-all --pdf x.pdf broken.jpg", 1, "broken.jpg"},
      {"print --layout '9 wallets' --fill-all --pdf x.pdf red.jpg blue.png", 2, "--fill-all takes one picture"},
      {"place --layout '9 wallets' --fill-all --out lab red.jpg", 2, "unknown option --fill-all"},
      {"print --layout 8x10 --paper tabloid --pdf x.pdf red.jpg", 2, "tabloid"},
      {"print --layout 8x10 --png x.jpg red.jpg", 2, ".png"},
      {"print --layout 8x10 --pdf x.pdf --dpi 100 red.jpg", 2, "--dpi"},
      {"print --layout 8x10 --png x.png --dpi 5 red.jpg", 2, "--dpi"},
      {"place --layout 8x10 --paper a4 --out lab red.jpg", 2, "--paper"},
      {"place --layout 8x10 --cut-guides --out lab red.jpg", 2, "--cut-guides"},
  };
  for (const auto& c : cases) {
    auto r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << c.args << "\n" << r.output;
    if (c.status == 1) {
      EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
    }
  }
  EXPECT_FALSE(fs::exists(dir.File("x.pdf")));
}

// One row of "pdfimages -list": an image drawn on the page.
struct PdfImage {
  int width = 0, height = 0, object = 0, xppi = 0, yppi = 0;
};

std::vector<PdfImage> PdfImages(const std::string& pdf) {
  auto r = testutil::RunCommand("pdfimages -list '" + pdf + "'");
  EXPECT_EQ(r.status, 0) << r.output;
  std::vector<PdfImage> images;
  std::istringstream lines(r.output);
  std::string line;
  std::getline(lines, line);  // the column names
  std::getline(lines, line);  // a rule
  while (std::getline(lines, line)) {
    // page num type width height color comp bpc enc interp object ID x-ppi y-ppi size ratio
    std::istringstream f(line);
    std::string page, num, type, color, comp, bpc, enc, interp, generation;
    PdfImage i;
    f >> page >> num >> type >> i.width >> i.height >> color >> comp >> bpc >> enc >> interp >> i.object >>
        generation >> i.xppi >> i.yppi;
    if (f) images.push_back(i);
  }
  return images;
}

// A PDF holds each picture at no more than its own resolution at the printed
// size nor more than 600 pixels per inch, in each direction, and a picture
// drawn again with the same pixels once; each still lands at its inches.
TEST_F(CliPrintTest, PdfHoldsEachPictureAtItsOwnResolutionAndOnce) {
  SolidPicture(dir.File("big.jpg"), 2400, 1600, MakeBGR(255, 0, 0));
  // Turned and stretched to 1600 x 2240 over a 2.5 x 3.5 inch wallet: 640 per
  // inch. The first row of wallets is filled.
  auto r = Run("print --layout '9 wallets' --fit stretch --pdf wallets.pdf big.jpg big.jpg big.jpg");
  ASSERT_EQ(r.status, 0) << r.output;
  std::vector<PdfImage> images = PdfImages(dir.File("wallets.pdf"));
  ASSERT_EQ(images.size(), 3u);
  for (const PdfImage& i : images) {
    EXPECT_EQ(i.width, 1500);
    EXPECT_EQ(i.height, 2100);
    EXPECT_EQ(i.xppi, 600);
    EXPECT_EQ(i.yppi, 600);
    EXPECT_EQ(i.object, images[0].object) << "the same picture is held once";
  }
  // Each wallet is red to its edges, 250 x 350 page pixels from its corner,
  // with the sheet around it and the empty wallets below.
  auto raster = testutil::RunCommand("pdftoppm -r 100 -singlefile '" + dir.File("wallets.pdf") + "' '" +
                                     dir.File("wallets") + "'");
  ASSERT_EQ(raster.status, 0) << raster.output;
  const std::string ppm = testutil::ReadFileBytes(dir.File("wallets.ppm"));
  int w = 0, h = 0, maxval = 0, consumed = 0;
  ASSERT_EQ(std::sscanf(ppm.c_str(), "P6 %d %d %d%n", &w, &h, &maxval, &consumed), 3);
  ASSERT_EQ(w, 850);
  auto red = [&](int x, int y) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(ppm.data()) + consumed + 1 + 3 * (size_t(y) * w + x);
    return p[0] > 200 && p[1] < 60 && p[2] < 60;
  };
  for (int top : {25})
    for (int left : {25, 300, 575}) {
      for (int x = left + 1; x < left + 249; x += 31) {
        EXPECT_TRUE(red(x, top + 1)) << left << "," << top;
        EXPECT_TRUE(red(x, top + 348)) << left << "," << top;
        EXPECT_FALSE(red(x, top - 2)) << left << "," << top;
        EXPECT_FALSE(red(x, top + 351)) << left << "," << top;
      }
      for (int y = top + 1; y < top + 349; y += 29) {
        EXPECT_TRUE(red(left + 1, y)) << left << "," << top;
        EXPECT_TRUE(red(left + 248, y)) << left << "," << top;
        EXPECT_FALSE(red(left - 2, y)) << left << "," << top;
        EXPECT_FALSE(red(left + 251, y)) << left << "," << top;
      }
    }

  // Two pictures below 600 per inch go as they are, each its own image: red
  // (1500 x 1000 over 6 x 4 inches) and blue (900 x 600).
  ASSERT_EQ(Run("print --layout '2 4x6' --pdf two.pdf red.jpg blue.png").status, 0);
  images = PdfImages(dir.File("two.pdf"));
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ((std::vector<int>{images[0].width, images[0].height, images[0].xppi, images[0].yppi}),
            (std::vector<int>{1500, 1000, 250, 250}));
  EXPECT_EQ((std::vector<int>{images[1].width, images[1].height, images[1].xppi, images[1].yppi}),
            (std::vector<int>{900, 600, 150, 150}));
  EXPECT_NE(images[0].object, images[1].object);

  // The 8x10 area squashed to 8 x 1 inches: red, turned and padded to
  // 1000 x 1250, keeps its 1000 columns (125 per inch) and loses rows down to
  // 600 per inch.
  testutil::WriteFileBytes(dir.File("flat.pictrova"),
                           "layout=8x10\narea=1|dont-crop|25 50 800 100|" + dir.File("red.jpg") + "\n");
  ASSERT_EQ(Run("print --page flat.pictrova --pdf flat.pdf").status, 0);
  images = PdfImages(dir.File("flat.pdf"));
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ((std::vector<int>{images[0].width, images[0].height, images[0].xppi, images[0].yppi}),
            (std::vector<int>{1000, 600, 125, 600}));
}

// The lab's folder gets one full-resolution file per picture, named by its
// position and area and tagged so that it measures the area's inches, and
// nothing else; ImageMagick and exiftool read the tags.
TEST_F(CliPrintTest, PlaceWritesOneFilePerPictureForALab) {
  auto r = Run("place --layout '2 5x7' --fit stretch --out lab red.jpg blue.png");
  ASSERT_EQ(r.status, 0) << r.output;
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.File("lab"))) names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"01-5x7 top.jpg", "02-5x7 bottom.jpg"}));
  const struct {
    const char* file;
    int w, h, ppi;
  } files[] = {{"lab/01-5x7 top.jpg", 1400, 1000, 200}, {"lab/02-5x7 bottom.jpg", 840, 600, 120}};
  for (const auto& f : files) {
    auto id = testutil::RunCommand("/usr/bin/identify -format '%w %h %x %y %U' '" + dir.File(f.file) + "'");
    ASSERT_EQ(id.status, 0) << id.output;
    int w = 0, h = 0;
    double x = 0, y = 0;
    char unit[32] = {};
    ASSERT_EQ(std::sscanf(id.output.c_str(), "%d %d %lf %lf %31s", &w, &h, &x, &y, unit), 5) << id.output;
    EXPECT_EQ(w, f.w) << f.file;
    EXPECT_EQ(h, f.h) << f.file;
    EXPECT_EQ(std::string(unit), "PixelsPerInch") << f.file;
    // The areas lie across the page: 7 inches wide, 5 high.
    EXPECT_DOUBLE_EQ(w / x, 7.0) << f.file;
    EXPECT_DOUBLE_EQ(h / y, 5.0) << f.file;
    auto exif = testutil::RunCommand("/usr/bin/exiftool -s -s -s -JFIF:XResolution -JFIF:YResolution '" +
                                     dir.File(f.file) + "'");
    EXPECT_EQ(exif.output, std::to_string(f.ppi) + "\n" + std::to_string(f.ppi) + "\n") << f.file;
  }
  EXPECT_NE(r.output.find("red.jpg -> lab/01-5x7 top.jpg: 1400 x 1000 pixels, 7 x 5 inches at 200 pixels per inch\n"),
            std::string::npos) << r.output;
  // The second picture prints soft: one warning line, for it alone.
  EXPECT_NE(r.output.find("pictrova-cli: warning: \"5x7 bottom\" prints at 120 pixels per inch, fewer than 150"),
            std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("warning", r.output.find("warning") + 1), std::string::npos) << r.output;

  // A picture that cannot be placed: no file at all for the lab.
  testutil::WriteFileBytes(dir.File("broken.jpg"), "no picture");
  auto broken = Run("place --layout '2 5x7' --out lab2 red.jpg broken.jpg");
  EXPECT_EQ(broken.status, 1) << broken.output;
  EXPECT_TRUE(fs::is_empty(dir.File("lab2")));
}

// One warning line per area printed below 150 pixels per inch, beside the
// line that says what was printed; the status stays that of the print.
TEST_F(CliPrintTest, PrintWarnsOfEachSoftPicture) {
  testutil::WriteFileBytes(dir.File("small.pictrova"),
                           "layout=8x10\narea=1|dont-crop|25 50 400 500|" + dir.File("red.jpg") + "\n");
  testutil::WriteFileBytes(dir.File("large.pictrova"),
                           "layout=8x10\narea=1|dont-crop|25 50 800 1000|" + dir.File("red.jpg") + "\n");
  const struct {
    const char* args;
    const char* warning;  // empty: none
  } cases[] = {
      // 1500 x 1000 turned and padded to 1000 x 1250 over 8 x 10 inches.
      {"print --layout 8x10 --pdf a.pdf red.jpg", "\"8x10\" prints at 125 pixels per inch"},
      {"print --layout '2 4x6' --pdf b.pdf red.jpg blue.png", ""},  // 250 and 150
      // A saved page with the area at half the size, and at its own.
      {"print --page small.pictrova --pdf c.pdf", ""},
      {"print --page large.pictrova --pdf d.pdf", "\"8x10\" prints at 125 pixels per inch"},
  };
  for (const auto& c : cases) {
    auto r = Run(c.args);
    EXPECT_EQ(r.status, 0) << c.args << "\n" << r.output;
    EXPECT_NE(r.output.find("printed "), std::string::npos) << r.output;
    const size_t warning = r.output.find("pictrova-cli: warning: ");
    if (*c.warning) {
      ASSERT_NE(warning, std::string::npos) << c.args << "\n" << r.output;
      EXPECT_EQ(r.output.find(c.warning), warning + 23) << r.output;
      EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 2) << r.output;
    } else {
      EXPECT_EQ(warning, std::string::npos) << c.args << "\n" << r.output;
    }
  }
}

}  // namespace
