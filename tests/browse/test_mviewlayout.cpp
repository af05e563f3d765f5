// Thumbnail grid: defaults and the application's settings, cell layout and
// columns, hit testing, visibility, scrolling, captions and the drawing of a
// cell, the release of far images.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "browse/imagingmview.h"
#include "imaging/proc/imagingproc.h"
#include "mviewtest.h"

using mviewtest::FakeHost;
using mviewtest::HostedGrid;
using mviewtest::PixelAt;

namespace {

void AddEntries(TImagingMView& g, int n) {
  g.LockUpdate();
  for (int i = 0; i < n; ++i) g.InsertImageNoSelect(g.ImageCount());
  g.UnlockUpdate();
}

// The settings the program gives its grid.
void ApplicationSettings(TImagingMView& g) {
  g.SetStoreType(pxtThumb);
  g.SetImageCacheSize(100);
  g.SetThumbWidth(128);
  g.SetThumbHeight(128);
  g.SetGridWidth(-1);
  g.SetSelectionWidth(3);
  g.SetSelectionColor(clNavy);
  g.SetStyle(pxmsFlat);
  g.SetThumbnailsBorderColor(clBlack);
}

TEST(MViewDefaults, AreTheControlsOwn) {
  TImagingMView g;
  EXPECT_EQ(g.ScrollBars(), ssBoth);
  EXPECT_EQ(g.StoreType(), pxtNormal);
  EXPECT_EQ(g.ThumbWidth(), 100);
  EXPECT_EQ(g.ThumbHeight(), 100);
  EXPECT_EQ(g.HorizBorder(), 4);
  EXPECT_EQ(g.VertBorder(), 4);
  EXPECT_EQ(g.UpperGap(), 0);
  EXPECT_EQ(g.BottomGap(), 0);
  EXPECT_EQ(g.DisplayMode(), mdGrid);
  EXPECT_EQ(g.GridWidth(), 0);
  EXPECT_TRUE(g.VisibleSelection());
  EXPECT_EQ(g.SelectionWidth(), 3);
  EXPECT_EQ(g.SelectionColor(), clRed);
  EXPECT_EQ(g.SelectionStyle(), pxssAround);
  EXPECT_EQ(g.Style(), pxmsACD);
  EXPECT_EQ(g.ThumbnailsBackground, clBtnFace);
  EXPECT_EQ(g.ThumbnailsBorderWidth(), 0);
  EXPECT_EQ(g.MouseInteract, mmiSelect);
  EXPECT_EQ(g.KeyInteract, mkiMoveSelected);
  EXPECT_FALSE(g.EnableMultiSelect());
  EXPECT_EQ(g.ImageCacheSize(), 10);
  EXPECT_EQ(g.ThreadPoolSize(), 5);
  EXPECT_TRUE(g.EnableAlphaChannel());
  EXPECT_EQ(g.Background(), clBtnFace);
  EXPECT_EQ(g.ControlWidth(), 180);
  EXPECT_EQ(g.ControlHeight(), 90);
  EXPECT_EQ(g.SelectedImage(), -1);
  EXPECT_EQ(g.ImageCount(), 0);
  EXPECT_EQ(g.ImageAtPos(10, 10), -1);
}

// --- layout -----------------------------------------------------------------------

struct TLayoutCase {
  const char* Name;
  int GridWidth;
  TPxDisplayMode Mode;
  int Thumb;  // width and height
  int ClientWidth;
  int Index;
  int X, Y, Row, Col;
  int ContentWidth, ContentHeight;  // for 10 entries
};

class MViewLayout : public ::testing::TestWithParam<TLayoutCase> {};

TEST_P(MViewLayout, PlacesCells) {
  const TLayoutCase& c = GetParam();
  HostedGrid h(c.ClientWidth, 300);
  h.grid->SetThumbWidth(c.Thumb);
  h.grid->SetThumbHeight(c.Thumb);
  h.grid->SetDisplayMode(c.Mode);
  h.grid->SetGridWidth(c.GridWidth);
  AddEntries(*h.grid, 10);
  EXPECT_EQ(h.grid->ImageX(c.Index), c.X);
  EXPECT_EQ(h.grid->ImageY(c.Index), c.Y);
  EXPECT_EQ(h.grid->ImageRow(c.Index), c.Row);
  EXPECT_EQ(h.grid->ImageCol(c.Index), c.Col);
  EXPECT_EQ(h.grid->ContentWidth(), c.ContentWidth);
  EXPECT_EQ(h.grid->ContentHeight(), c.ContentHeight);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MViewLayout,
    ::testing::Values(
        TLayoutCase{"ThreeColumnsFirst", 3, mdGrid, 100, 400, 0, 4, 4, 0, 0, 316, 420},
        TLayoutCase{"ThreeColumnsThird", 3, mdGrid, 100, 400, 2, 212, 4, 0, 2, 316, 420},
        TLayoutCase{"ThreeColumnsWraps", 3, mdGrid, 100, 400, 3, 4, 108, 1, 0, 316, 420},
        TLayoutCase{"ThreeColumnsLast", 3, mdGrid, 100, 400, 9, 4, 316, 3, 0, 316, 420},
        TLayoutCase{"ZeroIsOneRow", 0, mdGrid, 100, 400, 9, 940, 4, 0, 9, 1044, 108},
        TLayoutCase{"FitClient", -1, mdGrid, 100, 400, 3, 4, 108, 1, 0, 316, 420},
        TLayoutCase{"NarrowClientOneRow", -1, mdGrid, 100, 107, 5, 524, 4, 0, 5, 1044, 108},
        TLayoutCase{"SingleAtOrigin", 3, mdSingle, 100, 400, 7, 0, 0, 0, 0, 104, 104},
        TLayoutCase{"ApplicationCells", -1, mdGrid, 128, 400, 4, 136, 136, 1, 1, 400, 532}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(MViewLayoutResize, FitColumnsFollowTheClientWidth) {
  HostedGrid h(400, 300);
  h.grid->SetGridWidth(-1);
  AddEntries(*h.grid, 12);
  EXPECT_EQ(h.grid->Columns(), 3);
  EXPECT_EQ(h.grid->ImageRow(3), 1);
  h.Resize(600, 300);  // (600 - 4) div 104 = 5
  EXPECT_EQ(h.grid->Columns(), 5);
  EXPECT_EQ(h.grid->ImageRow(3), 0);
  EXPECT_EQ(h.grid->ImageCol(3), 3);
  EXPECT_EQ(h.grid->ImageRow(5), 1);
  EXPECT_EQ(h.grid->ImageX(4), 4 + 4 * 104);
  h.Resize(211, 300);  // just one column short of two
  EXPECT_EQ(h.grid->Columns(), 1);
  EXPECT_EQ(h.grid->ImageY(2), 4 + 2 * 104);
  h.Resize(212, 300);
  EXPECT_EQ(h.grid->Columns(), 2);
}

TEST(MViewLayoutResize, ApplicationGridFillsTheWidth) {
  HostedGrid h(400, 300);
  ApplicationSettings(*h.grid);
  AddEntries(*h.grid, 8);
  EXPECT_EQ(h.grid->Columns(), 3);  // (400 - 4) div 132
  h.Resize(532, 300);
  EXPECT_EQ(h.grid->Columns(), 4);
  EXPECT_EQ(h.grid->ImageX(3), 4 + 3 * 132);
}

// --- hit testing ------------------------------------------------------------------

struct THitCase {
  int X, Y, ViewY, Index;
};
class MViewHit : public ::testing::TestWithParam<THitCase> {};

TEST_P(MViewHit, FindsTheCellUnderAPoint) {
  const THitCase& c = GetParam();
  HostedGrid h(400, 300);
  h.grid->SetGridWidth(-1);
  AddEntries(*h.grid, 10);  // 3 columns, 4 rows: content 420 high
  h.grid->SetViewY(c.ViewY);
  EXPECT_EQ(h.grid->ImageAtPos(c.X, c.Y), c.Index) << c.X << "," << c.Y;
}

INSTANTIATE_TEST_SUITE_P(
    Borders, MViewHit,
    ::testing::Values(THitCase{4, 4, 0, 0}, THitCase{103, 103, 0, 0}, THitCase{3, 50, 0, -1},
                      THitCase{104, 50, 0, -1}, THitCase{107, 50, 0, -1}, THitCase{108, 50, 0, 1},
                      THitCase{50, 104, 0, -1}, THitCase{50, 108, 0, 3}, THitCase{311, 10, 0, 2},
                      THitCase{312, 10, 0, -1}, THitCase{390, 10, 0, -1},
                      THitCase{110, 320, 0, -1},  // row 3 has only entry 9
                      THitCase{10, 320, 0, 9}, THitCase{10, 58, 50, 3}, THitCase{10, 57, 50, -1},
                      THitCase{-1, 10, 0, -1}));

TEST(MViewHit, GridPositionAndVisibility) {
  HostedGrid h(400, 300);
  h.grid->SetGridWidth(-1);
  AddEntries(*h.grid, 10);
  EXPECT_EQ(h.grid->ImageAtGridPos(2, 1), 7);
  EXPECT_EQ(h.grid->IsImageVisible(0), 2);
  EXPECT_EQ(h.grid->IsImageVisible(6), 1);  // rows 212 .. 311 of a 300-row client
  EXPECT_EQ(h.grid->IsImageVisible(9), 0);
  h.grid->SetViewY(100);
  EXPECT_EQ(h.grid->IsImageVisible(0), 1);
  EXPECT_EQ(h.grid->IsImageVisible(6), 2);
  // A client lower than a cell: the cell spans it and is still partly visible.
  h.Resize(400, 50);
  h.grid->SetViewY(120);
  EXPECT_EQ(h.grid->IsImageVisible(3), 1);
}

// --- scrolling ----------------------------------------------------------------------

TEST(MViewScroll, ViewStaysWithinTheContent) {
  HostedGrid h(400, 300);
  h.grid->SetGridWidth(-1);
  AddEntries(*h.grid, 10);
  EXPECT_EQ(h.grid->MaxViewY(), 120);  // 420 - 300
  EXPECT_EQ(h.grid->MaxViewX(), 0);
  h.grid->SetViewY(500);
  EXPECT_EQ(h.grid->ViewY(), 120);
  h.grid->SetViewY(-3);
  EXPECT_EQ(h.grid->ViewY(), 0);
  h.grid->SetViewXY(50, 60);
  EXPECT_EQ(h.grid->ViewX(), 0);
  EXPECT_EQ(h.grid->ViewY(), 60);
  // The bar: 65536 units over client + maximum - 1 pixels.
  const double factor = (300.0 + 120 - 1) / 65536;
  EXPECT_DOUBLE_EQ(h.grid->VertScrollFactor(), factor);
  EXPECT_TRUE(h.host.VBar.Visible);
  EXPECT_FALSE(h.host.HBar.Visible);
  EXPECT_EQ(h.host.VBar.Pos, std::lrint(60 / factor));
  EXPECT_EQ(h.host.VBar.Page, std::lrint(300 / factor));
  // A bar moved by the user to its end shows the last row.
  h.grid->HostScrolled(false, h.host.VBar.Max);
  EXPECT_EQ(h.grid->ViewY(), 120);
  // Fewer entries: the refresh pulls the view back.
  for (int i = 9; i >= 3; --i) h.grid->DeleteImage(i);
  h.grid->Update();
  EXPECT_EQ(h.grid->ViewY(), 0);
  EXPECT_FALSE(h.host.VBar.Visible);
}

// --- captions ---------------------------------------------------------------------

TEST(MViewCaptions, GapsGrowForTheMeasuredText) {
  struct Case {
    TPxMStyle Style;
    int Position;
    int Upper, Bottom;
  };
  for (const Case& c : {Case{pxmsFlat, 1, 0, 15}, Case{pxmsACD, 1, 0, 17}, Case{pxmsFlat, 0, 15, 0},
                        Case{pxmsFlat, 2, 0, 0}}) {
    HostedGrid h;
    h.grid->SetStyle(c.Style);
    h.grid->InsertImageNoSelect(0);
    TPxMText* t = c.Position == 0   ? h.grid->ImageTopText(0)
                  : c.Position == 1 ? h.grid->ImageBottomText(0)
                                    : h.grid->ImageInfoText(0);
    t->SetCaption(std::string("photo.jpg"));
    EXPECT_EQ(h.grid->UpperGap(), c.Upper);
    EXPECT_EQ(h.grid->BottomGap(), c.Bottom);
  }
  // Gaps only grow.
  HostedGrid h;
  h.grid->SetBottomGap(30);
  h.grid->InsertImageNoSelect(0);
  h.grid->ImageBottomText(0)->SetCaption(std::string("a"));
  EXPECT_EQ(h.grid->BottomGap(), 30);
  EXPECT_EQ(h.grid->ImageTopText(5), nullptr);
}

TEST(MViewCaptions, LongNameKeepsItsEndShortNameIsCentred) {
  HostedGrid h(400, 300);
  ApplicationSettings(*h.grid);
  h.grid->SetGridWidth(-1);
  const std::string longName = "abcdefghijklmnopqrstuvwxyz0123456789";  // 252 pixels
  h.grid->InsertImageNoSelect(0);
  h.grid->InsertImageNoSelect(1);
  h.grid->ImageBottomText(0)->SetCaption(longName);
  h.grid->ImageBottomText(1)->SetCaption(std::string("ab.png"));
  h.Paint();
  std::vector<FakeHost::DrawCall> calls = h.host.DrawnCalls();
  ASSERT_EQ(calls.size(), 2u);
  // "..." and the last 15 characters: (3 + 15) x 7 = 126 <= 128.
  EXPECT_EQ(PxUtf8FromWide(calls[0].Text), "...vwxyz0123456789");
  EXPECT_EQ(calls[0].X, 4 + 1);
  EXPECT_EQ(calls[0].Y, 4 + 128 - 13 - 1);
  EXPECT_EQ(PxUtf8FromWide(calls[1].Text), "ab.png");
  EXPECT_EQ(calls[1].X, 136 + 1 + (128 - 42 - 2) / 2);
  // Clipped to its cell.
  EXPECT_EQ(calls[1].ClipLeft, 136);
  EXPECT_EQ(calls[1].ClipRight, 136 + 128);
  EXPECT_EQ(calls[1].Color, clWindowText);
}

// --- drawing ------------------------------------------------------------------------

TEST(MViewDraw, SmallImageIsEnlargedAndCentred) {
  HostedGrid h(400, 300);
  h.grid->SetThumbWidth(128);
  h.grid->SetThumbHeight(128);
  h.grid->SetStyle(pxmsFlat);
  h.grid->InsertImageNoSelect(0);
  TPxBitmap small(64, 48, pxRGB24);
  small.Fill(0x0000FF);  // red
  h.grid->SetImage(0, &small);
  TPxBitmap& b = h.Paint();
  TPxBitmap cell;
  ASSERT_TRUE(h.grid->CopyCellPicture(0, cell));
  EXPECT_EQ(cell.Width(), 128);
  EXPECT_EQ(cell.Height(), 96);
  EXPECT_EQ(h.grid->ImageThumbRect(0), (TRect{0, 0, 128, 96}));
  const TBGR red{0, 0, 255}, face = PxColorRefToBGR(clBtnFace);
  EXPECT_EQ(PixelAt(b, 4 + 64, 4 + 15), face);
  EXPECT_EQ(PixelAt(b, 4 + 64, 4 + 16), red);
  EXPECT_EQ(PixelAt(b, 4, 4 + 16), red);
  EXPECT_EQ(PixelAt(b, 4 + 127, 4 + 111), red);
  EXPECT_EQ(PixelAt(b, 4 + 64, 4 + 112), face);
  EXPECT_EQ(PixelAt(b, 2, 2), PxColorRefToBGR(h.grid->Background()));
  EXPECT_EQ(h.grid->ImageSourceWidth(0), 64);
}

TEST(MViewDraw, ImageFitsAboveTheCaptionBand) {
  HostedGrid h(400, 300);
  ApplicationSettings(*h.grid);
  h.grid->InsertImageNoSelect(0);
  h.grid->ImageBottomText(0)->SetCaption(std::string("x.png"));
  EXPECT_EQ(h.grid->BottomGap(), 15);
  TPxBitmap square(300, 300, pxRGB24);
  square.Fill(0xFF0000);
  h.grid->SetImage(0, &square);
  // Stored reduced to the cell under pxtThumb.
  TPxBitmap stored;
  ASSERT_TRUE(h.grid->CopyStoredImage(0, stored));
  EXPECT_EQ(stored.Width(), 128);
  EXPECT_EQ(h.grid->ImageSourceWidth(0), 300);
  h.Paint();
  TPxBitmap cell;
  ASSERT_TRUE(h.grid->CopyCellPicture(0, cell));
  EXPECT_EQ(cell.Width(), 113);
  EXPECT_EQ(cell.Height(), 113);
}

TEST(MViewDraw, SelectionFrameIsWiderWithFocus) {
  HostedGrid h(400, 300);
  h.grid->SetGridWidth(-1);
  AddEntries(*h.grid, 3);
  h.grid->SetSelectedImage(1);  // cell at x 108
  const TBGR red{0, 0, 255};
  TPxBitmap& b = h.Paint();
  EXPECT_EQ(PixelAt(b, 107, 50), red);
  EXPECT_NE(PixelAt(b, 106, 50), red);
  EXPECT_NE(PixelAt(b, 3, 50), red);  // entry 0 is not selected
  h.grid->HostFocusChanged(true);
  TPxBitmap& f = h.Paint();
  EXPECT_EQ(PixelAt(f, 105, 50), red);
  EXPECT_NE(PixelAt(f, 104, 50), red);
  EXPECT_EQ(PixelAt(f, 108 + 100 + 2, 50), red);
  h.grid->SetVisibleSelection(false);
  EXPECT_NE(PixelAt(h.Paint(), 107, 50), red);
}

TEST(MViewDraw, BorderRingsAndNoEntriesOnlyBackground) {
  HostedGrid h(400, 300);
  TPxBitmap& empty = h.Paint();
  for (int y : {0, 150, 299})
    for (int x : {0, 200, 399}) EXPECT_EQ(PixelAt(empty, x, y), PxColorRefToBGR(clBtnFace));
  h.grid->SetThumbnailsBorderWidth(2);
  h.grid->SetThumbnailsBorderColor(0x00FF00);
  h.grid->InsertImageNoSelect(0);
  TPxBitmap& b = h.Paint();
  EXPECT_EQ(PixelAt(b, 3, 50), (TBGR{0, 255, 0}));
  EXPECT_EQ(PixelAt(b, 2, 50), (TBGR{0, 255, 0}));
  EXPECT_NE(PixelAt(b, 1, 50), (TBGR{0, 255, 0}));
}

TEST(MViewDraw, PatternedCellsAreLaidFromTheirOwnCorner) {
  HostedGrid h(400, 300);
  h.grid->SetGridWidth(-1);
  h.grid->SetStyle(pxmsFlat);
  h.grid->ThumbnailsBackground = 0x0000FF;  // red hatch lines over white
  h.grid->SetThumbnailsBackgroundStyle(pxbsVertical);
  AddEntries(*h.grid, 2);
  TPxBitmap square(50, 50, pxRGB24);
  square.Fill(0x00FF00);
  h.grid->SetImage(1, &square);  // enlarged to 100 x 100: no band shows
  TPxBitmap wide(100, 50, pxRGB24);
  wide.Fill(0x00FF00);
  h.grid->SetImage(0, &wide);  // 100 x 50, bands above and below
  TPxBitmap& b = h.Paint();
  const TBGR red{0, 0, 255}, white{255, 255, 255}, green{0, 255, 0};
  // Cell 0 at (4, 4): every eighth column of the cell is a line, counted
  // from the cell's left edge; the image covers rows 25 .. 74.
  EXPECT_EQ(PixelAt(b, 4 + 7, 4 + 3), red);
  EXPECT_EQ(PixelAt(b, 4 + 15, 4 + 95), red);
  EXPECT_EQ(PixelAt(b, 4 + 6, 4 + 3), white);
  EXPECT_EQ(PixelAt(b, 4 + 7, 4 + 50), green);
  // Cell 1 at (108, 4): its own pattern, not the one of the client.
  EXPECT_EQ(PixelAt(b, 108 + 7, 4 + 50), green);
  // A selected cell in the highlight colours is solid.
  h.grid->SetSelectionStyle(pxssACD);
  h.grid->SetSelectedImage(0);
  TPxBitmap& s = h.Paint();
  EXPECT_EQ(PixelAt(s, 4 + 7, 4 + 3), PxColorRefToBGR(clHighlight));
  EXPECT_EQ(PixelAt(s, 4 + 6, 4 + 3), PxColorRefToBGR(clHighlight));
  // Back to solid: the plain cell colour.
  h.grid->SetThumbnailsBackgroundStyle(pxbsSolid);
  h.grid->Deselect();
  EXPECT_EQ(PixelAt(h.Paint(), 4 + 6, 4 + 3), red);
}

struct WallPaperCase {
  TPxWallPaperStyle style;
  int x, y;
  TBGR expected;
};

class MViewWallPaper : public ::testing::TestWithParam<WallPaperCase> {};

TEST_P(MViewWallPaper, IsDrawnOverTheBackground) {
  const WallPaperCase& c = GetParam();
  HostedGrid h(100, 80);
  // 10 x 10: the left half blue, the right half yellow.
  TPxBitmap paper(10, 10, pxRGB24);
  paper.Fill(0xFF0000);
  for (int y = 0; y < 10; ++y)
    for (int x = 5; x < 10; ++x) {
      uint8_t* p = paper.Scanline(y) + 3 * x;
      p[0] = 0;
      p[1] = p[2] = 255;
    }
  h.grid->SetWallPaper(&paper);
  h.grid->SetWallPaperStyle(c.style);
  EXPECT_EQ(PixelAt(h.Paint(), c.x, c.y), c.expected);
}

const TBGR kBlue{255, 0, 0}, kYellow{0, 255, 255}, kFace{0xF0, 0xF0, 0xF0};
INSTANTIATE_TEST_SUITE_P(
    Styles, MViewWallPaper,
    ::testing::Values(WallPaperCase{pxwoNormal, 2, 2, kBlue}, WallPaperCase{pxwoNormal, 7, 2, kYellow},
                      WallPaperCase{pxwoNormal, 12, 2, kFace}, WallPaperCase{pxwoNormal, 2, 12, kFace},
                      WallPaperCase{pxwoTile, 12, 12, kBlue}, WallPaperCase{pxwoTile, 97, 77, kYellow},
                      WallPaperCase{pxwoStretch, 40, 70, kBlue}, WallPaperCase{pxwoStretch, 60, 5, kYellow}));

TEST(MViewEvents, DrawProgressAndAllDisplayed) {
  HostedGrid h(400, 300);
  h.grid->SetGridWidth(-1);
  h.grid->SetThreadPoolSize(0);
  std::vector<std::pair<int, int>> progress;
  int allDisplayed = 0;
  h.grid->OnDrawProgress = [&](TImagingMView*, int per, int idx) { progress.emplace_back(per, idx); };
  h.grid->OnAllDisplayed = [&](TImagingMView*) { ++allDisplayed; };
  AddEntries(*h.grid, 4);
  for (int i = 0; i < 4; ++i) {
    TPxBitmap b(10, 10, pxRGB24);
    b.Fill(0);
    h.grid->SetImage(i, &b);
  }
  h.Paint();
  // One step per entry, rising, then 100.
  ASSERT_EQ(progress.size(), 5u);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(progress[size_t(k)], (std::pair<int, int>{k * 25, k}));
  EXPECT_EQ(progress.back().first, 100);
  EXPECT_EQ(allDisplayed, 1);
  // Nothing new to display: told once only.
  h.grid->Invalidate();
  h.Paint();
  EXPECT_EQ(allDisplayed, 1);
  // A picture loaded during the paint is news again.
  testutil::TempDir dir;
  mviewtest::WritePicture(dir.File("a.png"), 8, 8, 0x00FF00);
  const int added = h.grid->AppendImage();
  h.grid->SetImageFileName(added, dir.File("a.png"));
  h.Paint();
  EXPECT_TRUE(h.grid->HasImage(added));
  EXPECT_EQ(allDisplayed, 2);
  // A visible entry whose load is still queued: not everything is displayed.
  h.grid->SetThreadPoolSize(1);
  h.grid->SetSelectedImage(0);
  mviewtest::WritePicture(dir.File("b.png"), 8, 8, 0x00FF00);
  const int queued = h.grid->AppendImage();
  h.grid->SetSelectedImage(0);  // the selected entry loads at once, this one does not
  h.grid->SetImageFileName(queued, dir.File("b.png"));
  h.grid->OnAllDisplayed = [&](TImagingMView* g) {
    EXPECT_TRUE(g->HasImage(queued) || g->HasCellPicture(queued));
    ++allDisplayed;
  };
  ASSERT_TRUE(mviewtest::PaintUntilLoaded(h, 0, queued));
  h.grid->Invalidate();
  h.Paint();
  EXPECT_EQ(allDisplayed, 3);
}

TEST(MViewSelectedBitmap, ProcessingChangesTheStoredImage) {
  HostedGrid h(400, 300);
  EXPECT_EQ(h.grid->GetSelectedBitmap(), nullptr);  // nothing selected
  AddEntries(*h.grid, 2);
  TPxBitmap img(40, 20, pxRGB24);
  img.Fill(0x0000FF);
  h.grid->SetImage(0, &img);
  h.grid->SetSelectedImage(1);
  EXPECT_EQ(h.grid->GetSelectedBitmap(), nullptr);  // the selected entry has no image
  h.grid->SetSelectedImage(0);
  TPxBitmap* selected = h.grid->GetSelectedBitmap();
  ASSERT_NE(selected, nullptr);
  EXPECT_EQ(selected->Width(), 40);
  EXPECT_EQ(h.grid->GetSelectedBitmap(), selected);  // handed out once
  TImagingProc& proc = h.grid->GetProc();
  EXPECT_EQ(&h.grid->GetProc(), &proc);  // made on first use only
  proc.Resample(20, 10, rfNone);
  // Moving the selection gives the changed image back to the store.
  h.grid->SetSelectedImage(1);
  TPxBitmap stored;
  ASSERT_TRUE(h.grid->CopyStoredImage(0, stored));
  EXPECT_EQ(stored.Width(), 20);
  EXPECT_EQ(stored.Height(), 10);
}

TEST(MViewSetImage, FromAPlatformBitmap) {
  HostedGrid h(400, 300);
  AddEntries(*h.grid, 1);
  // 3 x 2, 24 bits, bottom-up rows padded to 12 bytes: bottom row green, top row blue.
  std::vector<uint8_t> bits(24, 0);
  for (int x = 0; x < 3; ++x) {
    bits[size_t(3 * x + 1)] = 255;       // bottom row: green
    bits[size_t(12 + 3 * x + 0)] = 255;  // top row: blue
  }
  TPxPlatformBitmap platform;
  platform.Bits = bits.data();
  platform.Width = 3;
  platform.Height = 2;
  platform.BitDepth = 24;
  h.grid->SetImageFromTBitmap(0, platform);
  TPxBitmap stored;
  ASSERT_TRUE(h.grid->CopyStoredImage(0, stored));
  ASSERT_EQ(stored.Width(), 3);
  EXPECT_EQ(PixelAt(stored, 1, 0), (TBGR{255, 0, 0}));
  EXPECT_EQ(PixelAt(stored, 1, 1), (TBGR{0, 255, 0}));
  EXPECT_EQ(h.grid->ImageSourceWidth(0), 3);
  // A platform bitmap without bits stores nothing.
  h.grid->SetImageFromTBitmap(0, TPxPlatformBitmap{});
  EXPECT_TRUE(h.grid->CopyStoredImage(0, stored));
}

// --- far images ------------------------------------------------------------------------

TEST(MViewFarImages, ReleasedBeyondFifteenDrawnFromTheirCellPicture) {
  testutil::TempDir dir;
  HostedGrid h(400, 300);
  h.grid->SetGridWidth(-1);
  h.grid->SetThreadPoolSize(0);
  h.grid->LockUpdate();
  for (int i = 0; i < 60; ++i) {
    const std::string name = dir.File("p" + std::to_string(i) + ".png");
    mviewtest::WritePicture(name, 20, 20, i < 9 ? 0x00FF00 : 0x0000FF);
    h.grid->InsertImageNoSelect(i);
    h.grid->SetImageFileName(i, name);
  }
  h.grid->UnlockUpdate();
  h.Paint();  // entries 0 .. 8 visible (rows at 4, 108, 212)
  for (int i = 0; i < 9; ++i) EXPECT_TRUE(h.grid->HasImage(i)) << i;
  EXPECT_FALSE(h.grid->HasImage(9));
  // Rows 13 .. 15 visible: entries 39 .. 47; 0 .. 8 are more than 15
  // places before 39.
  h.grid->SetViewY(13 * 104);
  h.Paint();
  for (int i = 0; i < 9; ++i) {
    EXPECT_FALSE(h.grid->HasImage(i)) << i;
    EXPECT_TRUE(h.grid->HasCellPicture(i)) << i;
  }
  EXPECT_TRUE(h.grid->HasImage(39));
  // Back in view: drawn from the cell picture, the file is not needed.
  for (int i = 0; i < 9; ++i) std::filesystem::remove(dir.File("p" + std::to_string(i) + ".png"));
  h.grid->SetViewY(0);
  TPxBitmap& b = h.Paint();
  EXPECT_EQ(PixelAt(b, 50, 50), (TBGR{0, 255, 0}));
  EXPECT_FALSE(h.grid->HasImage(0));
  // Entries that cannot be loaded again keep their images.
  HostedGrid k(400, 300);
  k.grid->SetGridWidth(-1);
  AddEntries(*k.grid, 60);
  TPxBitmap px(4, 4, pxRGB24);
  px.Fill(0);
  k.grid->SetImage(59, &px);
  k.Paint();
  EXPECT_TRUE(k.grid->HasImage(59));
}

}  // namespace
