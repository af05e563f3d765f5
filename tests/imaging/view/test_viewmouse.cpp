// Moving and resizing layers with the mouse, driven through the host calls.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/view/imagingview.h"

namespace {

class FakeHost : public TPxViewHost {
 public:
  void HostInvalidate() override {}
  void HostRepaintNow() override { ++Repaints; }
  void HostSetCursor(int32_t c) override { Cursor = c; }
  void HostSetScrollBar(bool, bool, int32_t, int32_t, int32_t) override {}
  void HostSetTimer(int32_t, int32_t) override {}
  void HostPointerPos(int32_t& x, int32_t& y) const override {
    x = PointerX;
    y = PointerY;
  }
  void HostSetFocus() override { ++Focus; }

  int32_t Cursor = -1;
  int32_t PointerX = 0, PointerY = 0;
  int Repaints = 0, Focus = 0;
};

using Event = std::pair<int, TPxLayerEvent>;

// Client 400 x 300 showing an 800 x 600 sheet at 50 %: client pixel p is
// canvas pixel 2p. Layer 1 is 100 x 50 at (100, 100): client rect (50, 50, 100, 75).
struct Page {
  TImagingView view;
  FakeHost host;
  std::vector<Event> events;
  std::vector<TPxSelectionBase> basesSeen;

  explicit Page(double zoom = 50) {
    view.AttachHost(&host);
    view.SetLayersSync(false);
    view.HostResized(400, 300, 404, 304);
    EXPECT_TRUE(view.Bitmap()->Allocate(800, 600, pxRGB24));
    view.Bitmap()->Fill(0xFFFFFF);
    view.SetZoom(zoom);
    view.SetMouseInteract(miMoveLayers | miResizeLayers);
    AddArea(100, 50, 100, 100);
    view.SelectionBase = pxsbBitmap;
    view.OnLayerNotify = [this](TImagingView* sender, int layer, TPxLayerEvent e) {
      EXPECT_EQ(sender, &view);
      events.emplace_back(layer, e);
      basesSeen.push_back(view.SelectionBase);
    };
  }
  int AddArea(int w, int h, int left, int top) {
    const int index = view.AddLayer();
    EXPECT_TRUE(view.Bitmap()->Allocate(w, h, pxRGB24));
    view.Bitmap()->Fill(0x0000FF);
    view.Layer(index)->Left = left;
    view.Layer(index)->Top = top;
    view.Update();
    return index;
  }
  TPxLayer& L(int i) { return *view.Layer(i); }
  void Down(int x, int y) {
    host.PointerX = x, host.PointerY = y;
    view.HostMouseDown(mbLeft, ssLeft, x, y);
  }
  void Move(int x, int y, TPxShiftState extra = 0) {
    host.PointerX = x, host.PointerY = y;
    view.HostMouseMove(ssLeft | extra, x, y);
  }
  void Up(int x, int y) { view.HostMouseUp(mbLeft, 0, x, y); }
  void Hover(int x, int y) { view.HostMouseMove(0, x, y); }
};

TEST(ViewMouse, GripRectangles) {
  Page page;
  const TRect r = page.L(1).ScreenRect;
  ASSERT_EQ(r, (TRect{50, 50, 100, 75}));
  struct Case {
    int X, Y;
    TPxGrip Grip;
  };
  const Case cases[] = {
      {50, 50, pxTopLeft},      {46, 46, pxTopLeft},     {54, 54, pxTopLeft},   {45, 50, TPxGrip::pxNone},
      {100, 50, pxTopRight},    {104, 46, pxTopRight},   {100, 75, pxBottomRight}, {96, 79, pxBottomRight},
      {50, 75, pxBottomLeft},   {50, 62, pxLeftSide},    {54, 66, pxLeftSide},  {100, 62, pxRightSide},
      {75, 50, pxTopSide},      {71, 46, pxTopSide},     {75, 75, pxBottomSide}, {79, 79, pxBottomSide},
      {75, 62, TPxGrip::pxNone}, {75, 55, TPxGrip::pxNone}, {105, 62, TPxGrip::pxNone},
  };
  for (const Case& c : cases) EXPECT_EQ(page.view.GripAt(c.X, c.Y), c.Grip) << c.X << "," << c.Y;
  // Grips belong to the current layer only.
  page.view.SetCurrentLayer(0);
  EXPECT_EQ(page.view.GripAt(50, 50), TPxGrip::pxNone);
  EXPECT_EQ(page.view.GripAt(0, 0), pxTopLeft);
}

struct TResizeCase {
  const char* Name;
  int DownX, DownY, MoveX, MoveY;
  bool Alt;
  TPxGrip Grip;
  int Left, Top, Width, Height;
};

class ViewResize : public ::testing::TestWithParam<TResizeCase> {};

TEST_P(ViewResize, GripDragStep) {
  const TResizeCase& c = GetParam();
  Page page;
  page.Down(c.DownX, c.DownY);
  EXPECT_EQ(page.view.DraggedGrip(), c.Grip);
  EXPECT_EQ(page.view.MovingLayer(), -1);
  page.Move(c.MoveX, c.MoveY, c.Alt ? ssAlt : 0);
  TPxLayer& layer = page.L(1);
  EXPECT_EQ(layer.Left, c.Left) << c.Name;
  EXPECT_EQ(layer.Top, c.Top) << c.Name;
  EXPECT_EQ(layer.GetWidth(), c.Width) << c.Name;
  EXPECT_EQ(layer.GetHeight(), c.Height) << c.Name;
  // The bitmap keeps its size: drawing scales it.
  EXPECT_EQ(layer.Bitmap->Width(), 100);
  page.Up(c.MoveX, c.MoveY);
  EXPECT_EQ(page.view.DraggedGrip(), TPxGrip::pxNone);
  ASSERT_EQ(page.events.size(), 2u);
  EXPECT_EQ(page.events[0], (Event{1, pxlResizing}));
  EXPECT_EQ(page.events[1], (Event{1, pxlResized}));
  // Handlers see the application's selection base, not the handlers' own.
  for (TPxSelectionBase b : page.basesSeen) EXPECT_EQ(b, pxsbBitmap);
  EXPECT_EQ(page.view.SelectionBase, pxsbBitmap);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ViewResize,
    ::testing::Values(
        // 30 canvas pixels right and 60 down: the height reaches its minimum and Top stays.
        TResizeCase{"top_left_minimum", 50, 50, 65, 80, false, pxTopLeft, 130, 100, 70, 1},
        TResizeCase{"top_left", 50, 50, 55, 55, false, pxTopLeft, 110, 110, 90, 40},
        TResizeCase{"top_right", 100, 50, 110, 45, false, pxTopRight, 100, 90, 120, 60},
        TResizeCase{"bottom_right", 100, 75, 120, 90, false, pxBottomRight, 100, 100, 140, 80},
        // Pressed beside the corner: the size still follows the pointer's absolute position.
        TResizeCase{"bottom_right_absolute", 97, 72, 120, 90, false, pxBottomRight, 100, 100, 140, 80},
        TResizeCase{"bottom_left", 50, 75, 40, 85, false, pxBottomLeft, 80, 100, 120, 70},
        TResizeCase{"left_side", 50, 62, 60, 70, false, pxLeftSide, 120, 100, 80, 50},
        TResizeCase{"right_side", 100, 62, 110, 10, false, pxRightSide, 100, 100, 120, 50},
        TResizeCase{"top_side", 75, 50, 80, 40, false, pxTopSide, 100, 80, 100, 70},
        TResizeCase{"bottom_side", 75, 75, 0, 85, false, pxBottomSide, 100, 100, 100, 70},
        TResizeCase{"left_side_past_right", 50, 62, 110, 62, false, pxLeftSide, 100, 100, 1, 50},
        // With Alt the anchored grips do nothing...
        TResizeCase{"alt_top_left", 50, 50, 65, 80, true, pxTopLeft, 100, 100, 100, 50},
        TResizeCase{"alt_top_right", 100, 50, 110, 45, true, pxTopRight, 100, 100, 100, 50},
        TResizeCase{"alt_bottom_left", 50, 75, 40, 85, true, pxBottomLeft, 100, 100, 100, 50},
        TResizeCase{"alt_left_side", 50, 62, 60, 70, true, pxLeftSide, 100, 100, 100, 50},
        TResizeCase{"alt_top_side", 75, 50, 80, 40, true, pxTopSide, 100, 100, 100, 50},
        // ... and the others keep the bitmap's proportion (2 : 1).
        TResizeCase{"alt_bottom_right", 100, 75, 120, 200, true, pxBottomRight, 100, 100, 140, 70},
        TResizeCase{"alt_right_side", 100, 62, 130, 62, true, pxRightSide, 100, 100, 160, 80},
        TResizeCase{"alt_bottom_side", 75, 75, 75, 100, true, pxBottomSide, 100, 100, 200, 100}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(ViewMouse, MovingTenClientPixelsAtHalfZoomMovesTwenty) {
  Page page;
  page.view.SetCurrentLayer(0);
  page.events.clear();
  page.Down(70, 60);
  EXPECT_EQ(page.view.CurrentLayer(), 1);
  EXPECT_EQ(page.view.MovingLayer(), 1);
  EXPECT_EQ(page.host.Cursor, crMoveLayer);
  EXPECT_GE(page.host.Focus, 1);
  page.Move(80, 60);
  EXPECT_EQ(page.L(1).Left, 120);
  EXPECT_EQ(page.L(1).Top, 100);
  page.Move(80, 65);
  EXPECT_EQ(page.L(1).Top, 110);
  EXPECT_EQ(page.L(1).ScreenRect, (TRect{60, 55, 110, 80}));
  page.Up(80, 65);
  EXPECT_EQ(page.host.Cursor, crCross);
  EXPECT_EQ(page.view.MovingLayer(), -1);
  const std::vector<Event> want{{1, pxlSelected}, {1, pxlMoving}, {1, pxlMoving}, {1, pxlMoved}};
  EXPECT_EQ(page.events, want);
  // Size untouched by a move.
  EXPECT_EQ(page.L(1).Width, 0);
}

TEST(ViewMouse, CurrentLayersGripWinsOverALayerAbove) {
  Page page;
  const int above = page.AddArea(60, 60, 180, 130);  // covers layer 1's bottom-right corner
  page.view.SetCurrentLayer(1);
  ASSERT_EQ(page.view.FindLayerAt(100, 75), above);
  page.events.clear();
  page.Down(100, 75);
  EXPECT_EQ(page.view.DraggedGrip(), pxBottomRight);
  EXPECT_EQ(page.view.CurrentLayer(), 1);
  page.Move(110, 80);
  page.Up(110, 80);
  EXPECT_EQ(page.L(1).GetWidth(), 120);
  EXPECT_EQ(page.L(1).GetHeight(), 60);
  EXPECT_EQ(page.L(above).Left, 180);
  EXPECT_EQ(page.L(above).Width, 0);
  // Away from the grips the layer above is picked.
  page.Down(112, 90);
  EXPECT_EQ(page.view.CurrentLayer(), above);
  page.Up(112, 90);
}

TEST(ViewMouse, LockedLayersStayAndStillReportTheEnd) {
  Page page;
  // The sheet: locked, no box; a click beside every area makes it current.
  page.events.clear();
  page.Down(300, 250);
  EXPECT_EQ(page.view.CurrentLayer(), 0);
  EXPECT_NE(page.host.Cursor, crMoveLayer);
  page.Move(320, 260);
  page.Up(320, 260);
  EXPECT_EQ(page.L(0).Left, 0);
  EXPECT_EQ(page.L(0).Top, 0);
  EXPECT_EQ(page.events, (std::vector<Event>{{0, pxlSelected}, {0, pxlMoved}}));

  // A locked area: neither its body nor its former grips change it.
  page.L(1).Locked = true;
  page.view.SetCurrentLayer(1);
  for (auto [dx, dy] : {std::pair{70, 60}, {100, 75}, {50, 50}}) {
    page.events.clear();
    page.Down(dx, dy);
    page.Move(dx + 15, dy + 12);
    page.Move(dx + 25, dy + 20, ssAlt);
    page.Up(dx + 25, dy + 20);
    EXPECT_EQ(page.L(1).Left, 100);
    EXPECT_EQ(page.L(1).Top, 100);
    EXPECT_EQ(page.L(1).GetWidth(), 100);
    EXPECT_EQ(page.L(1).GetHeight(), 50);
    ASSERT_EQ(page.events.size(), 1u) << dx;
    EXPECT_EQ(page.events[0].second, (dx == 70 ? pxlMoved : pxlResized)) << dx;
  }
}

TEST(ViewMouse, CursorFeedback) {
  Page page;
  struct Case {
    int X, Y;
    int32_t Cursor;
  };
  const Case cases[] = {
      {50, 50, crSizeNWSE},   {100, 75, crSizeNWSE}, {100, 50, crSizeNESW}, {50, 75, crSizeNESW},
      {50, 62, crSizeWE},     {100, 62, crSizeWE},   {75, 50, crSizeNS},    {75, 75, crSizeNS},
      {70, 60, crMoveLayer},  {300, 250, crCross},
  };
  for (const Case& c : cases) {
    page.host.Cursor = -1;
    page.Hover(c.X, c.Y);
    EXPECT_EQ(page.host.Cursor, c.Cursor) << c.X << "," << c.Y;
  }
  // A locked current layer: no grips, and its body is not movable.
  page.L(1).Locked = true;
  for (auto [x, y] : {std::pair{50, 50}, {70, 60}}) {
    page.Hover(x, y);
    EXPECT_EQ(page.host.Cursor, crCross) << x;
  }
  page.view.SetCursor(crDefault);
  page.Hover(70, 60);
  EXPECT_EQ(page.host.Cursor, crDefault);
  // Resizing only: the body is not for moving.
  page.L(1).Locked = false;
  page.view.SetMouseInteract(TPxMouseInteract{miResizeLayers});
  page.Hover(70, 60);
  EXPECT_EQ(page.host.Cursor, crDefault);
  page.Hover(50, 50);
  EXPECT_EQ(page.host.Cursor, crSizeNWSE);
  // Resizing only: a press on the body does not pick or move a layer.
  page.view.SetCurrentLayer(0);
  page.Down(70, 60);
  EXPECT_EQ(page.view.CurrentLayer(), 0);
  page.Up(70, 60);
}

TEST(ViewMouse, OnlyTheLeftButtonDrags) {
  Page page;
  page.view.HostMouseDown(mbRight, ssRight, 70, 60);
  EXPECT_EQ(page.view.MovingLayer(), -1);
  page.Down(70, 60);
  page.view.HostMouseDown(mbRight, ssLeft | ssRight, 200, 200);  // ignored while the left is held
  EXPECT_EQ(page.view.MovingLayer(), 1);
  page.Move(75, 60);
  page.view.HostMouseUp(mbRight, ssLeft, 75, 60);
  EXPECT_EQ(page.view.MovingLayer(), 1);
  page.Up(75, 60);
  EXPECT_EQ(page.L(1).Left, 110);
  EXPECT_EQ(page.view.MovingLayer(), -1);
}

TEST(ViewMouse, ALostReleaseEndsTheDrag) {
  Page page;
  page.events.clear();
  page.Down(70, 60);
  page.Move(80, 60);
  page.Hover(90, 60);  // no button held any more
  EXPECT_EQ(page.view.MovingLayer(), -1);
  EXPECT_EQ(page.L(1).Left, 120);
  EXPECT_EQ(page.events.back(), (Event{1, pxlMoved}));
  // A second press while one is thought held starts afresh.
  page.Down(110, 75);  // the bottom-right grip, moved with the layer
  EXPECT_EQ(page.view.DraggedGrip(), pxBottomRight);
  page.Down(70, 60);
  EXPECT_EQ(page.events.back(), (Event{1, pxlResized}));
  EXPECT_EQ(page.view.DraggedGrip(), TPxGrip::pxNone);
  EXPECT_EQ(page.view.MovingLayer(), 1);
  page.Up(70, 60);
}

TEST(ViewMouse, AutoScrollWhileDraggingOutside) {
  Page page(100);  // 800 x 600 at 100 % in 400 x 300: scrolls 400 x 300
  ASSERT_EQ(page.view.MaxScrollX(), 400);
  page.Down(120, 110);
  ASSERT_EQ(page.view.MovingLayer(), 1);
  page.Move(150, 120);  // inside: no scrolling
  EXPECT_EQ(page.view.ScrollX(), 0);
  EXPECT_EQ(page.L(1).Left, 130);
  page.Move(410, 120);  // 11 pixels right of the picture, pointer stays there
  EXPECT_EQ(page.view.ScrollX(), 400);
  EXPECT_EQ(page.view.ScrollY(), 0);
  EXPECT_GT(page.host.Repaints, 0);
  // The layer follows the canvas point under the pointer: 410 + 400.
  EXPECT_EQ(page.L(1).Left, 130 + (410 + 400) - 150);
  page.Up(410, 120);
}

TEST(ViewMouse, MouseInteractExclusivity) {
  struct Case {
    TPxMouseInteract Before, Set, After;
  };
  const Case cases[] = {
      {{}, miMoveLayers | miResizeLayers, miMoveLayers | miResizeLayers},
      {{}, miMoveLayers | miResizeLayers | miZoom, TPxMouseInteract{miZoom}},
      {miMoveLayers | miResizeLayers, miMoveLayers | miResizeLayers | miSelect, TPxMouseInteract{miSelect}},
      {TPxMouseInteract{miScroll}, miScroll | miMoveLayers, TPxMouseInteract{miMoveLayers}},
      {{}, miScroll | miZoom, miScroll | miZoom},
      {{}, miSelect | miSelectPolygon, TPxMouseInteract{miSelect}},
      {TPxMouseInteract{miSelect}, miSelect | miSelectLasso, TPxMouseInteract{miSelectLasso}},
      {{}, TPxMouseInteract{miResizeLayers}, TPxMouseInteract{miResizeLayers}},
      {miMoveLayers | miResizeLayers, TPxMouseInteract{}, TPxMouseInteract{}},
  };
  for (const Case& c : cases) {
    TImagingView view;
    view.SetMouseInteract(c.Before);
    view.SetMouseInteract(c.Set);
    EXPECT_EQ(view.MouseInteract().Bits, c.After.Bits) << c.Before.Bits << " + " << c.Set.Bits;
  }
}

TEST(ViewMouse, DelayedFilterIsOffWhileTheButtonIsDown) {
  Page page;
  page.view.ZoomFilter = rfLanczos3;
  page.view.SetDelayZoomFilter(true);
  page.Down(70, 60);
  EXPECT_EQ(page.view.ZoomFilter, rfNone);
  page.Up(70, 60);
  EXPECT_EQ(page.view.ZoomFilter, rfLanczos3);
}

}  // namespace
