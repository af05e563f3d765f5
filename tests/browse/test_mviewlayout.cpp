// Thumbnail grid: defaults and the application's settings, cell layout and
// columns, hit testing, visibility, scrolling, captions and the drawing of a
// cell, the release of far images.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "browse/imagingmview.h"
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
