// Fitting the canvas into a view and composing the view's back buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/view/imagingview.h"
#include "imaging/view/render.h"

namespace {

// A host that only records what the view asks of it.
class RecordingHost : public TPxViewHost {
 public:
  void HostInvalidate() override { ++Invalidations; }
  void HostRepaintNow() override {}
  void HostSetCursor(int32_t c) override { Cursor = c; }
  void HostSetScrollBar(bool horizontal, bool visible, int32_t max, int32_t page, int32_t pos) override {
    Bar& b = horizontal ? H : V;
    b = Bar{visible, max, page, pos};
  }
  void HostSetTimer(int32_t id, int32_t ms) override {
    TimerId = id;
    TimerMs = ms;
  }
  void HostPointerPos(int32_t& x, int32_t& y) const override { x = y = 0; }
  void HostSetFocus() override {}

  struct Bar {
    bool Visible = false;
    int32_t Max = -1, Page = -1, Pos = -1;
  };
  Bar H, V;
  int Invalidations = 0;
  int32_t Cursor = -1, TimerId = -1, TimerMs = -1;
};

TBGR At(TPxBitmap& b, int x, int y) {
  const uint8_t* p = b.Scanline(y) + 3 * x;
  return TBGR{p[0], p[1], p[2]};
}

// A 24-bit picture whose pixels differ everywhere.
void Pattern(TPxBitmap& bmp, int w, int h, uint8_t tag) {
  ASSERT_TRUE(bmp.Allocate(w, h, pxRGB24));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = bmp.Scanline(y) + 3 * x;
      p[0] = uint8_t(x * 7 + 3);
      p[1] = uint8_t(y * 11 + 5);
      p[2] = uint8_t(tag + x + y);
    }
}

TBGR Blend(TBGR d, TBGR c, int t) {
  auto ch = [t](int dv, int cv) {
    const int prod = t * (cv - dv);
    // Floor division by 256, written without a shift.
    const int q = prod >= 0 ? prod / 256 : -((-prod + 255) / 256);
    return uint8_t(dv + q);
  };
  return TBGR{ch(d.b, c.b), ch(d.g, c.g), ch(d.r, c.r)};
}

// ---------------------------------------------------------------------------
// Fitting

TEST(ViewFit, LetterPageInTheMainWindowView) {
  for (bool hosted : {false, true}) {
    TImagingView view;
    RecordingHost host;
    view.AttachHost(&host);
    if (hosted)
      view.HostResized(564, 478, 568, 482);
    else
      view.SetBounds(568, 482);
    ASSERT_TRUE(view.Bitmap()->Allocate(850, 1100, pxRGB24));
    int zooms = 0;
    view.OnViewChange = [&](TImagingView* sender, int change) {
      EXPECT_EQ(sender, &view);
      zooms += change == 1;
    };
    view.SetAutoFit(true);
    EXPECT_EQ(zooms, 1);
    const double expected = std::min(478.0 / 11.0, 564.0 / 8.5);
    EXPECT_NEAR(view.Zoom(), 43.4545454545, 1e-9);
    EXPECT_DOUBLE_EQ(view.Zoom(), expected);
    EXPECT_EQ(view.ExtentX(), 369);
    EXPECT_EQ(view.ExtentY(), 478);
    EXPECT_EQ(view.OffsetX(), (564 - 369) >> 1);
    EXPECT_EQ(view.OffsetY(), 0);
    EXPECT_EQ(view.MaxScrollX(), 0);
    EXPECT_EQ(view.MaxScrollY(), 0);
    EXPECT_FALSE(host.H.Visible);
    EXPECT_FALSE(host.V.Visible);
    // Below 100 % without scrolling the mapping is the offset plus the truncated product.
    for (int c : {0, 1, 100, 425, 849})
      EXPECT_EQ(view.CanvasToScreenX(c), view.OffsetX() + int(std::trunc(c * view.Zoom() / 100))) << c;
    for (int x : {view.OffsetX(), view.OffsetX() + 1, view.OffsetX() + 368}) {
      const int c = view.ScreenToCanvasX(x);
      EXPECT_EQ(view.CanvasToScreenX(c), x) << x;
    }
  }
}

struct TAutoCase {
  const char* Name;
  bool Fit, Shrink, Stretch;
  int CanvasW, CanvasH;
  bool ExpectFit;  // else 100 %
};

class ViewAutoZoom : public ::testing::TestWithParam<TAutoCase> {};

TEST_P(ViewAutoZoom, ZoomFollowsTheMode) {
  const TAutoCase& c = GetParam();
  TImagingView view;
  view.SetBounds(204, 154);  // client 200 x 150
  ASSERT_TRUE(view.Bitmap()->Allocate(c.CanvasW, c.CanvasH, pxRGB24));
  view.SetAutoFit(c.Fit);
  view.SetAutoShrink(c.Shrink);
  view.SetAutoStretch(c.Stretch);
  view.Update();
  const double fit = std::min(150.0 / (c.CanvasH / 100.0), 200.0 / (c.CanvasW / 100.0));
  EXPECT_DOUBLE_EQ(view.FitValue(), fit);
  EXPECT_DOUBLE_EQ(view.Zoom(), c.ExpectFit ? fit : 100.0) << c.Name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ViewAutoZoom,
    ::testing::Values(TAutoCase{"fit_large", true, false, false, 800, 300, true},
                      TAutoCase{"fit_small", true, false, false, 40, 30, true},
                      TAutoCase{"shrink_small", false, true, false, 40, 30, false},
                      TAutoCase{"shrink_large", false, true, false, 800, 300, true},
                      TAutoCase{"stretch_large", false, false, true, 800, 300, false},
                      TAutoCase{"stretch_small", false, false, true, 40, 30, true},
                      TAutoCase{"single_pixel", true, false, false, 1, 1, false},
                      TAutoCase{"none", false, false, false, 800, 300, false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(ViewFit, ZoomNeverBelowOnePercent) {
  TImagingView view;
  view.SetBounds(14, 14);  // client 10 x 10
  ASSERT_TRUE(view.Bitmap()->Allocate(5000, 5000, pxRGB24));
  view.SetAutoFit(true);
  EXPECT_DOUBLE_EQ(view.Zoom(), 1.0);
}

TEST(ViewFit, ScrollBarsWhenTheCanvasIsLarger) {
  TImagingView view;
  RecordingHost host;
  view.AttachHost(&host);
  view.HostResized(200, 100, 204, 104);
  ASSERT_TRUE(view.Bitmap()->Allocate(500, 80, pxRGB24));
  view.Update();
  EXPECT_EQ(view.MaxScrollX(), 300);
  EXPECT_EQ(view.MaxScrollY(), 0);
  EXPECT_TRUE(host.H.Visible);
  EXPECT_EQ(host.H.Max, 300);
  EXPECT_FALSE(host.V.Visible);
  int changes = 0;
  view.OnViewChange = [&](TImagingView*, int change) { changes += change == 0; };
  view.HostScrolled(true, 1000);  // clamped
  EXPECT_EQ(view.ScrollX(), 300);
  EXPECT_EQ(host.H.Pos, 300);
  EXPECT_EQ(changes, 1);
  view.SetScrollX(300);  // unchanged: nothing
  EXPECT_EQ(changes, 1);
  // The canvas column at the left edge follows the scroll position.
  EXPECT_EQ(view.ScreenToCanvasX(0), 300);
  EXPECT_EQ(view.CanvasToScreenX(310), 10);
  view.Fit();
  EXPECT_DOUBLE_EQ(view.Zoom(), std::min(100.0 / 0.8, 200.0 / 5.0));
  EXPECT_EQ(view.ScrollX(), 0);
  EXPECT_FALSE(host.H.Visible);
}

// A host whose scroll bars take room from the client area, as a real one does.
class BarHost : public RecordingHost {
 public:
  TImagingView* View = nullptr;
  int Resizes = 0;
  void HostSetScrollBar(bool horizontal, bool visible, int32_t max, int32_t page, int32_t pos) override {
    RecordingHost::HostSetScrollBar(horizontal, visible, max, page, pos);
    ++Resizes;
    View->HostResized(200 - (V.Visible ? 16 : 0), 100 - (H.Visible ? 16 : 0), 204, 104);
  }
};

TEST(ViewFit, ScrollBarsThatShrinkTheClientUpdateAgain) {
  TImagingView view;
  BarHost host;
  host.View = &view;
  view.AttachHost(&host);
  view.HostResized(200, 100, 204, 104);
  // Fits the height exactly, but the width needs a bar, and that bar takes
  // 16 rows away: then the height needs one too.
  ASSERT_TRUE(view.Bitmap()->Allocate(300, 100, pxRGB24));
  view.Update();
  EXPECT_TRUE(host.H.Visible);
  EXPECT_TRUE(host.V.Visible);
  EXPECT_EQ(view.ClientWidth(), 184);
  EXPECT_EQ(view.ClientHeight(), 84);
  EXPECT_EQ(view.MaxScrollX(), 300 - 184);
  EXPECT_EQ(view.MaxScrollY(), 100 - 84);
  EXPECT_EQ(host.H.Max, 300 - 184);
  EXPECT_EQ(host.V.Max, 100 - 84);
  TPxBitmap* b = view.Paint();
  EXPECT_EQ(b->Width(), 184);
  EXPECT_EQ(b->Height(), 84);
  // A picture the whole control holds gets no bars, even from a client that
  // bars had made smaller: they would only keep themselves.
  ASSERT_TRUE(view.Bitmap()->Allocate(202, 102, pxRGB24));
  view.Update();
  EXPECT_FALSE(host.H.Visible);
  EXPECT_FALSE(host.V.Visible);
  EXPECT_EQ(view.ClientWidth(), 200);
  EXPECT_EQ(view.ClientHeight(), 100);
  EXPECT_EQ(view.MaxScrollX(), 0);
}

TEST(ViewDraw, BackBufferIsAPlatformBitmap) {
  TImagingView view;
  view.SetBounds(15, 11);  // odd width: rows are padded
  Pattern(*view.Bitmap(), 11, 7, 3);
  view.Update();
  TPxBitmap* b = view.Paint();
  ASSERT_EQ(b->Width(), 11);
  TPxPlatformBitmap pb = b->PlatformBitmap();
  ASSERT_NE(pb.Bits, nullptr);
  EXPECT_TRUE(pb.BottomUp);
  EXPECT_EQ(pb.BitDepth, 24);
  EXPECT_EQ(pb.Stride % 4, 0);
  EXPECT_GE(pb.Stride, 33);
  // The block's first row is the bottom row of the picture.
  EXPECT_EQ(std::memcmp(pb.Bits, b->Scanline(6), 33), 0);
  EXPECT_EQ(std::memcmp(pb.Bits + pb.Stride * 6, b->Scanline(0), 33), 0);
}

TEST(ViewFit, ZoomKeepsTheCentrePoint) {
  TImagingView view;
  view.SetBounds(104, 104);
  ASSERT_TRUE(view.Bitmap()->Allocate(1000, 1000, pxRGB24));
  view.Update();
  view.SetScroll(400, 200);
  const int cx = view.ScreenToCanvasX(50), cy = view.ScreenToCanvasY(50);
  view.SetZoom(200);
  EXPECT_NEAR(view.ScreenToCanvasX(50), cx, 1);
  EXPECT_NEAR(view.ScreenToCanvasY(50), cy, 1);
  EXPECT_EQ(view.ScrollX(), int(std::trunc(450 * 2.0 - 50)));
}

// ---------------------------------------------------------------------------
// Composing the back buffer

// Client 40 x 30, layer 0 20 x 12 centred at 100 %.
struct SmallPage {
  TImagingView view;
  RecordingHost host;
  SmallPage() {
    view.AttachHost(&host);
    view.SetLayersSync(false);
    view.SetBackground(0x102030);
    view.HostResized(40, 30, 44, 34);
    Pattern(*view.Bitmap(), 20, 12, 0);
    view.Update();
  }
};

TEST(ViewDraw, TwoLayersWithAlphaAndOpacity) {
  SmallPage page;
  TImagingView& view = page.view;
  view.SetEnableAlphaChannel(true);
  // Layer 1: 8 x 6 with a varying alpha plane, partly beside layer 0.
  view.AddLayer();
  Pattern(*view.Bitmap(), 8, 6, 100);
  TPxBitmap* alpha = view.Bitmap()->AlphaChannel();
  ASSERT_NE(alpha, nullptr);
  alpha->SetFullAlpha(false);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) view.Bitmap()->SetAlpha(x, y, uint8_t((x * 37 + y * 53) % 256));
  view.Layer(1)->Left = -3;
  view.Layer(1)->Top = 2;
  // Layer 2: 5 x 5 at opacity 100.
  view.AddLayer();
  Pattern(*view.Bitmap(), 5, 5, 200);
  view.Layer(2)->Left = 14;
  view.Layer(2)->Top = 9;
  view.Layer(2)->Opacity = 100;
  view.Update();
  const int ox = view.OffsetX(), oy = view.OffsetY();
  ASSERT_EQ(ox, 10);
  ASSERT_EQ(oy, 9);

  TPxBitmap* buffer = view.Paint();
  ASSERT_NE(buffer, nullptr);
  ASSERT_EQ(buffer->Width(), 40);
  ASSERT_EQ(buffer->Height(), 30);
  EXPECT_EQ(buffer->PixelFormat(), pxRGB24);
  EXPECT_EQ(buffer->Location(), pxTBitmap);

  // The expected picture, pixel by pixel.
  std::vector<TBGR> expected(40 * 30, PxColorRefToBGR(0x102030));
  auto put = [&](int x, int y, auto f) {
    if (x >= 0 && y >= 0 && x < 40 && y < 30) expected[y * 40 + x] = f(expected[y * 40 + x]);
  };
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 20; ++x) put(ox + x, oy + y, [&](TBGR) { return At(*view.Layer(0)->Bitmap, x, y); });
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) {
      const int t = view.Layer(1)->Bitmap->Alpha(x, y);
      const TBGR c = At(*view.Layer(1)->Bitmap, x, y);
      put(ox - 3 + x, oy + 2 + y, [&](TBGR d) { return Blend(d, c, t); });
    }
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 5; ++x) {
      const TBGR c = At(*view.Layer(2)->Bitmap, x, y);
      put(ox + 14 + x, oy + 9 + y, [&](TBGR d) { return Blend(d, c, 100); });
    }
  int wrong = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x)
      if (!(At(*buffer, x, y) == expected[y * 40 + x]) && wrong++ < 5)
        ADD_FAILURE() << "pixel " << x << "," << y;
  EXPECT_EQ(wrong, 0);
  // The rounding is toward minus infinity: an opaque alpha pixel over black is not exact.
  EXPECT_EQ(Blend(TBGR{0, 0, 0}, TBGR{255, 255, 255}, 255).b, 254);
  EXPECT_EQ(Blend(TBGR{200, 200, 200}, TBGR{0, 0, 0}, 1).b, 199);
}

TEST(ViewDraw, AlphaIgnoredUnlessEnabled) {
  for (bool enabled : {false, true}) {
    SmallPage page;
    TImagingView& view = page.view;
    view.SetEnableAlphaChannel(enabled);
    view.AddLayer();
    Pattern(*view.Bitmap(), 6, 4, 50);
    TPxBitmap* alpha = view.Bitmap()->AlphaChannel();
    alpha->Fill(0);
    alpha->SetFullAlpha(false);
    view.Layer(1)->Left = 2;
    view.Layer(1)->Top = 3;
    view.Update();
    TPxBitmap* buffer = view.Paint();
    const int ox = view.OffsetX(), oy = view.OffsetY();
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 6; ++x) {
        const TBGR want = enabled ? At(*view.Layer(0)->Bitmap, 2 + x, 3 + y) : At(*view.Layer(1)->Bitmap, x, y);
        ASSERT_EQ(At(*buffer, ox + 2 + x, oy + 3 + y), want) << enabled << " " << x << "," << y;
      }
  }
}

TEST(ViewDraw, SinglePixelLayerIsNotDrawn) {
  SmallPage page;
  TImagingView& view = page.view;
  view.AddLayer();
  ASSERT_TRUE(view.Bitmap()->Allocate(1, 1, pxRGB24));
  view.Bitmap()->Fill(0x0000FF);
  view.Layer(1)->Left = 5;
  view.Layer(1)->Top = 5;
  view.Layer(1)->Width = 4;  // even shown larger
  view.Layer(1)->Height = 4;
  view.Update();
  TPxBitmap* buffer = view.Paint();
  for (int d = 0; d < 4; ++d)
    EXPECT_EQ(At(*buffer, view.OffsetX() + 5 + d, view.OffsetY() + 5 + d), At(*view.Layer(0)->Bitmap, 5 + d, 5 + d));
  // A two-pixel picture shown the same way is drawn.
  ASSERT_TRUE(view.Bitmap()->Allocate(2, 1, pxRGB24));
  view.Bitmap()->Fill(0x0000FF);
  view.Update();
  buffer = view.Paint();
  EXPECT_EQ(At(*buffer, view.OffsetX() + 6, view.OffsetY() + 6), MakeBGR(255, 0, 0));
}

TEST(ViewDraw, ClipToBackgroundCutsTheDrawingNotTheRect) {
  for (bool clip : {false, true}) {
    SmallPage page;
    TImagingView& view = page.view;
    view.SetMouseInteract(TPxMouseInteract{miMoveLayers});
    view.AddLayer();
    Pattern(*view.Bitmap(), 30, 4, 77);
    TPxLayer* layer = view.Layer(1);
    layer->Left = -20;
    layer->Top = 4;
    layer->ClipToBackground = clip;
    view.Update();
    const int ox = view.OffsetX(), oy = view.OffsetY();
    TPxBitmap* buffer = view.Paint();
    EXPECT_EQ(layer->ScreenRect, (TRect{view.CanvasToScreenX(-20), oy + 4, view.CanvasToScreenX(10), oy + 8}));
    EXPECT_EQ(layer->ScreenRect.Left, ox - 20);
    // Canvas x 0 shows the layer's column 20 either way.
    EXPECT_EQ(At(*buffer, ox, oy + 5), At(*layer->Bitmap, 20, 1));
    EXPECT_EQ(At(*buffer, ox + 8, oy + 5), At(*layer->Bitmap, 28, 1));  // x + 9 is the box
    // Left of the canvas: background with the clip, the layer without.
    const TBGR left = At(*buffer, ox - 5, oy + 5);
    if (clip)
      EXPECT_EQ(left, PxColorRefToBGR(0x102030));
    else
      EXPECT_EQ(left, At(*layer->Bitmap, 15, 1));
    // The box runs along the whole ScreenRect: its bottom edge from x = ox - 20
    // on (off the buffer) inverts every other pixel, beside the canvas too.
    const int bottom = oy + 7;
    int inverted = 0;
    for (int x = 0; x < 4; ++x) {
      const TBGR under = clip ? PxColorRefToBGR(0x102030) : At(*layer->Bitmap, x + 20 - ox, 3);
      const TBGR got = At(*buffer, x, bottom);
      const TBGR inv{uint8_t(~under.b), uint8_t(~under.g), uint8_t(~under.r)};
      ASSERT_TRUE(got == under || got == inv) << x;
      inverted += got == inv;
    }
    EXPECT_EQ(inverted, 2);
  }
}

// A view of 104 x 104 client pixels over a gray canvas of 100 x 100, on black,
// its layers placed where they are put.
void GrayCanvas(TImagingView& view) {
  view.SetLayersSync(false);
  view.SetBackground(0x000000);
  view.SetBounds(104, 104);
  ASSERT_TRUE(view.Bitmap()->Allocate(100, 100, pxRGB24));
  view.Bitmap()->Fill(0x808080);
}

// A new current layer of one colour at (left, top) on the canvas.
void AddFilledLayer(TImagingView& view, int w, int h, TColor colour, int left, int top) {
  const int i = view.AddLayer();
  ASSERT_TRUE(view.Bitmap()->Allocate(w, h, pxRGB24));
  view.Bitmap()->Fill(colour);
  view.Layer(i)->Left = left;
  view.Layer(i)->Top = top;
}

TEST(ViewDraw, BoxAndGripsOfTheCurrentLayer) {
  struct Case {
    TPxMouseInteract Interact;
    bool Locked;
    bool Box, Grips;
  };
  const Case cases[] = {
      {TPxMouseInteract{miMoveLayers, miResizeLayers}, false, true, true},
      {TPxMouseInteract{miMoveLayers}, false, true, false},
      {TPxMouseInteract{miResizeLayers}, true, true, false},
      {TPxMouseInteract{}, false, false, false},
  };
  for (const Case& c : cases) {
    TImagingView view;
    GrayCanvas(view);
    view.SetMouseInteract(c.Interact);
    AddFilledLayer(view, 40, 30, 0x404040, 20, 30);
    view.Layer(1)->Locked = c.Locked;
    view.Update();
    TPxBitmap* b = view.Paint();
    const TRect r = view.Layer(1)->ScreenRect;
    ASSERT_EQ(r, (TRect{20, 30, 60, 60}));
    const TBGR gray{0x40, 0x40, 0x40}, inv{0xBF, 0xBF, 0xBF}, white{255, 255, 255}, black{0, 0, 0};
    // Grip squares: black border at centre - 4 and centre + 3, white inside.
    const int mx = (r.Left + r.Right) / 2, my = (r.Top + r.Bottom) / 2;
    for (auto [gx, gy] : {std::pair{r.Left, r.Top}, {r.Right, r.Bottom}, {mx, r.Top}, {r.Left, my}}) {
      if (c.Grips) {
        EXPECT_EQ(At(*b, gx - 4, gy - 4), black);
        EXPECT_EQ(At(*b, gx + 3, gy + 3), black);
        EXPECT_EQ(At(*b, gx - 3, gy + 2), white);
        EXPECT_EQ(At(*b, gx + 4, gy + 4), At(*b, gx + 5, gy + 5 < 100 ? gy + 5 : gy + 4)) << "outside the grip";
      } else {
        EXPECT_NE(At(*b, gx - 3, gy + 2), white);
      }
    }
    // The dotted box along the top edge, between the grips.
    const TBGR a = At(*b, r.Left + 10, r.Top), n = At(*b, r.Left + 11, r.Top);
    if (c.Box) {
      EXPECT_EQ(a, inv);
      EXPECT_EQ(n, gray);
    } else {
      EXPECT_EQ(a, gray);
      EXPECT_EQ(n, gray);
    }
    // A layer that is not current has no box.
    view.SetCurrentLayer(0);
    b = view.Paint();
    EXPECT_EQ(At(*b, r.Left + 10, r.Top), gray);
  }
}

// The warning badge: drawn by the view in its layer's top-right corner over
// every layer, following the layer; its text is the view's tooltip there.
TEST(ViewDraw, WarningBadgeOverItsLayerAndItsTooltip) {
  TImagingView view;
  GrayCanvas(view);
  AddFilledLayer(view, 40, 30, 0x404040, 20, 30);
  // A later layer over the first one's top-right corner.
  AddFilledLayer(view, 20, 20, 0x00FF00, 45, 25);
  view.SetCurrentLayer(0);
  const TBGR amber = PxColorRefToBGR(0x00C0FF), black{0, 0, 0};
  struct Count {
    int amber = 0, black = 0;
  };
  auto count = [&](TPxBitmap& b, const TRect& r) {
    Count n;
    for (int y = std::max(0, r.Top); y < std::min(b.Height(), r.Bottom); ++y)
      for (int x = std::max(0, r.Left); x < std::min(b.Width(), r.Right); ++x) {
        n.amber += At(b, x, y) == amber;
        n.black += At(b, x, y) == black;
      }
    return n;
  };
  struct Case {
    TPxLayerBadge Badge;
    bool Visible;
    int32_t Left;
  };
  for (const Case c : {Case{pxlbNone, true, 20}, Case{pxlbWarning, true, 20},
                       Case{pxlbWarning, false, 20}, Case{pxlbWarning, true, 10}}) {
    TPxLayer& layer = *view.Layer(1);
    layer.Badge = c.Badge;
    layer.BadgeText = "low resolution";
    layer.Visible = c.Visible;
    layer.Left = c.Left;
    view.Update();
    TPxBitmap& b = *view.Paint();
    const TRect r = layer.ScreenRect;
    ASSERT_EQ(r, (TRect{c.Left, 30, c.Left + 40, 60}));
    const TRect mark = PxBadgeRect(r);
    EXPECT_EQ(mark, (TRect{r.Right - 3 - kPxBadgeSize, 33, r.Right - 3, 33 + kPxBadgeSize}));
    const bool shown = c.Badge == pxlbWarning && c.Visible;
    const Count in = count(b, mark);
    const int cx = mark.Left + kPxBadgeSize / 2;
    if (shown) {
      // A triangle: about half the square, mostly amber, with black edges and mark.
      EXPECT_GT(in.amber, kPxBadgeSize * kPxBadgeSize / 8) << c.Left;
      EXPECT_GT(in.black, kPxBadgeSize * 2) << c.Left;
      EXPECT_EQ(At(b, cx, mark.Top + kPxBadgeSize / 2), black) << "the bar of the \"!\"";
      EXPECT_EQ(At(b, cx + 2, mark.Top + kPxBadgeSize / 2), amber);
      EXPECT_EQ(At(b, mark.Left, mark.Top + 1), At(b, mark.Left - 1, mark.Top + 1)) << "beside the apex";
      EXPECT_EQ(view.BadgeAt(cx, mark.Top + 10), 1);
      EXPECT_EQ(view.HostToolTip(cx, mark.Top + 10), "low resolution");
    } else {
      EXPECT_EQ(in.amber, 0) << c.Left;
      EXPECT_EQ(view.BadgeAt(cx, mark.Top + 10), -1);
      EXPECT_EQ(view.HostToolTip(cx, mark.Top + 10), "");
    }
    // Nothing of it outside its square, nor a tooltip.
    EXPECT_EQ(count(b, TRect{0, 0, 104, mark.Top}).amber, 0);
    EXPECT_EQ(count(b, TRect{0, mark.Bottom, 104, 104}).amber, 0);
    EXPECT_EQ(view.HostToolTip(r.Left + 2, r.Bottom - 2), "");
  }
}

TEST(ViewDraw, WarningBadgeIsClippedToTheBuffer) {
  TPxBitmap b;
  ASSERT_TRUE(b.Allocate(12, 12, pxRGB24));
  b.Fill(0xFFFFFF);
  PxDrawWarningBadge(b, TRect{-6, -6, -6 + kPxBadgeSize, -6 + kPxBadgeSize});
  int amber = 0;
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 12; ++x) amber += At(b, x, y) == PxColorRefToBGR(0x00C0FF);
  EXPECT_GT(amber, 15);
  // Only 24-bit buffers (the views' back buffers) are drawn on.
  TPxBitmap gray;
  ASSERT_TRUE(gray.Allocate(30, 30, px8g));
  for (int y = 0; y < 30; ++y) std::memset(gray.Scanline(y), 200, 30);
  PxDrawWarningBadge(gray, TRect{0, 0, kPxBadgeSize, kPxBadgeSize});
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 30; ++x) ASSERT_EQ(gray.Scanline(y)[x], 200);
}

TEST(ViewDraw, RepaintFromAnUpToDateBufferDoesNotCompose) {
  SmallPage page;
  TImagingView& view = page.view;
  view.Paint();
  const int64_t composed = view.ComposeCount();
  EXPECT_FALSE(view.BackBufferOutOfDate());
  TPxBitmap* again = page.view.HostPaint(0, 0, 10, 10);
  EXPECT_EQ(view.ComposeCount(), composed);
  ASSERT_NE(again, nullptr);
  const int invalidations = page.host.Invalidations;
  view.Layer(0)->Bitmap->Fill(0xFFFFFF);
  view.Update();
  EXPECT_GT(page.host.Invalidations, invalidations);
  EXPECT_TRUE(view.BackBufferOutOfDate());
  TPxBitmap* b = view.Paint();
  EXPECT_EQ(view.ComposeCount(), composed + 1);
  EXPECT_EQ(At(*b, view.OffsetX(), view.OffsetY()), (TBGR{255, 255, 255}));
  // While the paint lock is up nothing is composed.
  view.BeginUpdate();
  view.Layer(0)->Bitmap->Fill(0);
  view.Update();
  view.Paint();
  EXPECT_EQ(view.ComposeCount(), composed + 1);
  view.EndUpdate();
  b = view.Paint();
  EXPECT_EQ(view.ComposeCount(), composed + 2);
  EXPECT_EQ(At(*b, view.OffsetX(), view.OffsetY()), (TBGR{0, 0, 0}));
  // A size change makes a new buffer of the client size.
  view.HostResized(50, 20, 54, 24);
  b = view.Paint();
  EXPECT_EQ(b->Width(), 50);
  EXPECT_EQ(b->Height(), 20);
  EXPECT_EQ(view.ComposeCount(), composed + 3);
}

TEST(ViewDraw, UpdateLockDefersUpdate) {
  SmallPage page;
  TImagingView& view = page.view;
  view.LockUpdate();
  view.LockUpdate();
  ASSERT_TRUE(view.Bitmap()->Allocate(30, 20, pxRGB24));
  view.Update();
  EXPECT_EQ(view.CanvasWidth(), 20);
  view.UnlockUpdate();
  EXPECT_EQ(view.CanvasWidth(), 20);
  view.UnlockUpdate();
  EXPECT_EQ(view.CanvasWidth(), 30);
}

TEST(ViewDraw, ZoomedLayerUsesNearestPixelsAndRepeatsRows) {
  for (double zoom : {50.0, 100.0, 300.0}) {
    TImagingView view;
    view.SetLayersSync(false);
    view.SetCenter(false);
    view.SetBounds(124, 124);
    Pattern(*view.Bitmap(), 40, 40, 9);
    view.SetZoom(zoom);
    TPxBitmap* b = view.Paint();
    for (int y = 0; y < view.DisplayHeight(); y += 3)
      for (int x = 0; x < view.DisplayWidth(); x += 5) {
        const int sx = int(std::trunc(x * 100.0 / zoom)), sy = int(std::trunc(y * 100.0 / zoom));
        ASSERT_EQ(At(*b, x, y), At(*view.Bitmap(), sx, sy)) << zoom << " " << x << "," << y;
      }
  }
}

TEST(ViewDraw, DelayedFilterWaitsForTheTimer) {
  TImagingView view;
  RecordingHost host;
  view.AttachHost(&host);
  view.HostResized(100, 100, 104, 104);
  Pattern(*view.Bitmap(), 60, 60, 0);
  view.Update();
  view.ZoomFilter = rfTriangle;
  view.SetDelayZoomFilter(true);
  view.SetZoom(150);
  EXPECT_EQ(view.FilterDelay(), 0) << "the zoom was 100: nothing to delay";
  view.SetZoom(120);
  EXPECT_EQ(view.FilterDelay(), kPxFilterDelayTicks);
  EXPECT_EQ(host.TimerId, kPxDelayTimerId);
  EXPECT_EQ(host.TimerMs, 210);
  // Without the filter the picture is nearest-pixel: a plain source pixel.
  TPxBitmap* b = view.Paint();
  EXPECT_EQ(At(*b, 50, 50), At(*view.Bitmap(), int(std::trunc((50 + view.ScrollX() - view.OffsetX()) / 1.2)),
                              int(std::trunc((50 + view.ScrollY() - view.OffsetY()) / 1.2))));
  const int64_t composed = view.ComposeCount();
  for (int tick = 0; tick < kPxFilterDelayTicks - 1; ++tick) view.HostTimer(kPxDelayTimerId);
  EXPECT_EQ(view.FilterDelay(), 1);
  view.Paint();
  EXPECT_EQ(view.ComposeCount(), composed);
  view.HostTimer(kPxDelayTimerId);
  EXPECT_EQ(view.FilterDelay(), 0);
  EXPECT_EQ(host.TimerMs, 0) << "timer stopped";
  EXPECT_TRUE(view.BackBufferOutOfDate());
  view.Paint();
  EXPECT_EQ(view.ComposeCount(), composed + 1);
}


TEST(ViewDraw, LayersInSyncIgnoreTheirPosition) {
  TImagingView view;
  view.SetBounds(54, 44);  // client 50 x 40
  Pattern(*view.Bitmap(), 30, 20, 1);
  view.AddLayer();
  Pattern(*view.Bitmap(), 30, 20, 150);
  TPxBitmap* top = view.Bitmap();
  view.Layer(1)->Left = 7;
  view.Layer(1)->Top = 5;
  view.Update();
  TPxBitmap* b = view.Paint();
  const int ox = view.OffsetX(), oy = view.OffsetY();
  ASSERT_EQ(ox, 10);
  ASSERT_EQ(oy, 10);
  for (int y = 0; y < 20; y += 3)
    for (int x = 0; x < 30; x += 4) ASSERT_EQ(At(*b, ox + x, oy + y), At(*top, x, y)) << x << "," << y;
  EXPECT_EQ(view.Layer(1)->ScreenRect, (TRect{10, 10, 40, 30}));
}

TEST(ViewDraw, BackgroundHandlerCanTakeOver) {
  for (bool handled : {false, true}) {
    SmallPage page;
    TImagingView& view = page.view;
    int calls = 0;
    view.OnDrawBackground = [&](TImagingView* sender, TPxBitmap& buffer, const TRect& rect, bool& done) {
      EXPECT_EQ(sender, &view);
      EXPECT_EQ(rect, (TRect{0, 0, 40, 30}));
      ++calls;
      if (!handled) return;
      PxFillRect(buffer, rect, 0x00FF00);
      done = true;
    };
    int backBuffers = 0;
    view.OnDrawBackBuffer = [&](TImagingView*) { ++backBuffers; };
    view.Invalidate();
    TPxBitmap* b = view.Paint();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(backBuffers, 1);
    EXPECT_EQ(At(*b, 0, 0), handled ? MakeBGR(0, 255, 0) : PxColorRefToBGR(0x102030));
    EXPECT_EQ(At(*b, view.OffsetX(), view.OffsetY()), At(*view.Bitmap(), 0, 0));
  }
}

TEST(ViewDraw, ZoomFilterSmoothsAZoomedLayer) {
  for (TResampleFilter filter : {rfNone, rfTriangle}) {
    TImagingView view;
    view.SetLayersSync(false);
    view.SetCenter(false);
    view.SetBounds(84, 84);
    ASSERT_TRUE(view.Bitmap()->Allocate(20, 20, pxRGB24));
    view.Bitmap()->Fill(0x0000FF);
    for (int y = 0; y < 20; ++y)
      for (int x = 10; x < 20; ++x) std::memset(view.Bitmap()->Scanline(y) + 3 * x, 0, 3);
    view.ZoomFilter = filter;
    view.SetZoom(400);
    TPxBitmap* b = view.Paint();
    // Left of the seam (client 40) red, right black; the filter ramps between.
    const TBGR nearSeam = At(*b, 38, 20);
    if (filter == rfNone) {
      EXPECT_EQ(nearSeam, MakeBGR(255, 0, 0));
      EXPECT_EQ(At(*b, 41, 20), MakeBGR(0, 0, 0));
    } else {
      EXPECT_GT(nearSeam.r, 0);
      EXPECT_LT(nearSeam.r, 255);
    }
    EXPECT_EQ(At(*b, 2, 20), MakeBGR(255, 0, 0));
  }
}

TEST(ViewDraw, LayersFarOffTheCanvasAreHarmless) {
  struct Case {
    int32_t Left, Top, Width, Height;
    bool Clip;
  };
  const Case cases[] = {
      {INT32_MIN, INT32_MIN, 0, 0, true},      {INT32_MAX - 5, 3, 0, 0, true},
      {-2000000000, 0, 1, 1, true},            {2000000000, 2000000000, INT32_MAX, INT32_MAX, false},
      {-5, -5, INT32_MAX, 3, true},            {INT32_MIN + 1, 0, INT32_MAX, INT32_MAX, true},
  };
  for (const Case& c : cases) {
    SmallPage page;
    TImagingView& view = page.view;
    view.SetMouseInteract(miMoveLayers | miResizeLayers);
    view.AddLayer();
    Pattern(*view.Bitmap(), 9, 9, 40);
    TPxLayer* layer = view.Layer(1);
    layer->Left = c.Left;
    layer->Top = c.Top;
    layer->Width = c.Width;
    layer->Height = c.Height;
    layer->ClipToBackground = c.Clip;
    view.Update();
    TPxBitmap* b = view.Paint();
    ASSERT_NE(b, nullptr);
    EXPECT_LE(layer->ScreenRect.Left, layer->ScreenRect.Right) << c.Left;
    EXPECT_LE(layer->ScreenRect.Top, layer->ScreenRect.Bottom) << c.Top;
    // Clipped to the sheet: beside it the background stays, however large the layer.
    if (c.Clip) {
      EXPECT_EQ(At(*b, 0, 0), PxColorRefToBGR(0x102030)) << c.Left;
      EXPECT_EQ(At(*b, 39, 29), PxColorRefToBGR(0x102030)) << c.Left;
    }
    // Dragging such a layer does not overflow either.
    view.HostMouseDown(mbLeft, ssLeft, 1, 1);
    view.HostMouseMove(ssLeft, 39, 29);
    view.HostMouseUp(mbLeft, 0, 39, 29);
  }
}

TEST(ViewDraw, MagnifierEnlargesWhatLiesBelow) {
  for (uint8_t shape : {uint8_t(0), uint8_t(1)}) {
    SmallPage page;
    TImagingView& view = page.view;
    view.AddLayer();
    Pattern(*view.Bitmap(), 8, 8, 0);
    TPxLayer* lens = view.Layer(1);
    lens->Magnifier = true;
    lens->MagnifyRate = 2;
    lens->MagnifierShape = shape;
    lens->Left = 4;
    lens->Top = 2;
    view.Update();
    const TRect r = lens->ScreenRect;
    ASSERT_EQ(r.Width(), 8);
    TPxBitmap* b = view.Paint();
    TPxBitmap& sheet = *view.Layer(0)->Bitmap;
    // About the centre (canvas 8, 6): client pixel centre + d shows canvas centre + d / 2.
    for (auto [dx, dy] : {std::pair{0, 0}, {-1, -1}, {2, 1}, {-2, 0}}) {
      const int sx = int(std::floor(8 + (dx + 0.5) / 2)), sy = int(std::floor(6 + (dy + 0.5) / 2));
      EXPECT_EQ(At(*b, r.Left + 4 + dx, r.Top + 4 + dy), At(sheet, sx, sy)) << dx << "," << dy;
    }
    // The corner: magnified in the rectangle, untouched outside the ellipse.
    const TBGR corner = At(*b, r.Left, r.Top);
    if (shape == 0)
      EXPECT_EQ(corner, At(sheet, 6, 4));
    else
      EXPECT_EQ(corner, At(sheet, 4, 2));
  }
}

TEST(ViewDraw, SelectionOutlineIsDottedAndInverted) {
  for (bool inSync : {true, false}) {
    TImagingView view;
    view.SetLayersSync(inSync);
    view.SetCenter(false);
    view.SetBounds(64, 54);  // client 60 x 50
    ASSERT_TRUE(view.Bitmap()->Allocate(60, 50, pxRGB24));
    view.Bitmap()->Fill(0x404040);
    view.Update();
    view.SelectionBase = pxsbBitmap;
    ASSERT_TRUE(view.Select(10, 5, 30, 25));
    TPxBitmap* b = view.Paint();
    const TBGR gray{0x40, 0x40, 0x40}, inv{0xBF, 0xBF, 0xBF};
    // Along the top edge from (10, 5): every other pixel inverted.
    for (int x = 10; x < 30; ++x) EXPECT_EQ(At(*b, x, 5), (x - 10) % 2 == 0 ? inv : gray) << x;
    int dots = 0;
    for (int y = 5; y < 25; ++y) dots += At(*b, 10, y) == inv;
    EXPECT_EQ(dots, 10);
    // Inside and outside the outline nothing changes.
    EXPECT_EQ(At(*b, 20, 15), gray);
    EXPECT_EQ(At(*b, 40, 15), gray);
    view.Deselect();
    b = view.Paint();
    EXPECT_EQ(At(*b, 10, 5), gray);
  }
}

TEST(ViewDraw, EmptyViewShowsTheBackground) {
  TImagingView view;
  view.SetBackground(0x00FFFF);
  view.SetBounds(24, 14);
  TPxBitmap* b = view.Paint();
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(b->Width(), 20);
  for (int x = 0; x < 20; x += 3) EXPECT_EQ(At(*b, x, 5), MakeBGR(255, 255, 0));
  // No client area: nothing to compose.
  view.SetBounds(4, 4);
  const int64_t n = view.ComposeCount();
  view.Paint();
  EXPECT_EQ(view.ComposeCount(), n);
}

// ---------------------------------------------------------------------------
// Background styles

TEST(ViewDraw, BackgroundStyles) {
  const TColor bg = 0x3366CC;
  const TBGR c = PxColorRefToBGR(bg), comp = PxColorRefToBGR(~bg & 0xFFFFFF);
  TPxBitmap buffer(64, 48, pxRGB24);
  struct Probe {
    TPxBackgroundStyle Style;
    int X, Y;
    TBGR Want;
  };
  const TBGR white{255, 255, 255};
  const Probe probes[] = {
      {pxbsSolid, 5, 5, c},
      {pxbsSolid, 63, 47, c},
      {pxbsChessboard, 0, 0, c},
      {pxbsChessboard, 16, 0, comp},
      {pxbsChessboard, 0, 16, comp},
      {pxbsChessboard, 17, 17, c},
      {pxbsDiagonals, 0, 0, comp},
      {pxbsDiagonals, 63, 47, comp},
      {pxbsDiagonals, 63, 0, comp},
      {pxbsDiagonals, 0, 47, comp},
      {pxbsDiagonals, 10, 30, c},
      {pxbsGradient, 0, 0, c},
      {pxbsGradient, 0, 47, TBGR{255, 0, 0}},
      {pxbsHorizontal, 3, 7, c},
      {pxbsHorizontal, 3, 6, white},
      {pxbsVertical, 7, 3, c},
      {pxbsVertical, 6, 3, white},
      {pxbsCross, 7, 2, c},
      {pxbsCross, 2, 7, c},
      {pxbsCross, 2, 2, white},
      {pxbsFDiagonal, 3, 3, c},
      {pxbsFDiagonal, 3, 4, white},
      {pxbsBDiagonal, 3, 4, c},
      {pxbsDiagCross, 5, 5, c},
      {pxbsDiagCross, 5, 2, c},
      {pxbsCropped, 0, 0, PxColorRefToBGR(clBtnFace)},
      {pxbsCropped, 8, 8, PxColorRefToBGR(clBtnShadow)},  // the edge around the image at (10,10)
      {pxbsCropShadow, 0, 0, PxColorRefToBGR(clBtnFace)},
  };
  for (const Probe& p : probes) {
    PxDrawBackground(buffer, p.Style, bg, clBlue, 16, TRect{10, 10, 30, 30});
    EXPECT_EQ(At(buffer, p.X, p.Y), p.Want) << int(p.Style) << " at " << p.X << "," << p.Y;
  }
  // The shadow is darker than the face colour right of the image.
  PxDrawBackground(buffer, pxbsCropShadow, bg, clBlue, 16, TRect{10, 10, 30, 30});
  EXPECT_LT(At(buffer, 30, 20).g, PxColorRefToBGR(clBtnFace).g);
  EXPECT_EQ(At(buffer, 36, 20), PxColorRefToBGR(clBtnFace));
}

// ---------------------------------------------------------------------------
// Row renderers of each pixel format

struct TFormatCase {
  const char* Name;
  TPxPixelFormat Format;
};

class RenderFormats : public ::testing::TestWithParam<TFormatCase> {};

// Writes pixel x of a 6 x 2 picture and returns the colour it should show.
TBGR WritePixel(TPxBitmap& b, int x, int y) {
  uint8_t* row = b.Scanline(y);
  const int v = (x * 50 + y * 20) % 256;  // 0..250
  switch (b.PixelFormat()) {
    case px1g: {
      const bool on = (x + y) % 2 == 0;
      if (on)
        row[x >> 3] |= uint8_t(0x80 >> (x & 7));
      else
        row[x >> 3] &= uint8_t(~(0x80 >> (x & 7)));
      const uint8_t g = on ? 255 : 0;
      return TBGR{g, g, g};
    }
    case px8p:
      row[x] = uint8_t(v);
      return b.PaletteColor(v);
    case px8g:
      row[x] = uint8_t(v);
      return TBGR{uint8_t(v), uint8_t(v), uint8_t(v)};
    case px16g: {
      const uint16_t w = uint16_t(v * 257 + 100);
      std::memcpy(row + 2 * x, &w, 2);
      // Full range: value / 257, truncated.
      const uint8_t g = uint8_t(w / 257);
      return TBGR{g, g, g};
    }
    case px32f: {
      const float f = v / 250.0f;
      std::memcpy(row + 4 * x, &f, 4);
      const uint8_t g = uint8_t(std::min(255.0, std::trunc(double(f) * 255.0)));
      return TBGR{g, g, g};
    }
    case pxCMYK: {
      // Pure inks: each pixel one of C, M, Y, K or paper.
      uint8_t* p = row + 4 * x;
      std::memset(p, 0, 4);
      const int ink = (x + y) % 5;
      if (ink < 4) p[ink] = 255;
      static const TBGR shows[5] = {{255, 255, 0}, {255, 0, 255}, {0, 255, 255}, {0, 0, 0}, {255, 255, 255}};
      return shows[ink];
    }
    case pxRGB48: {
      const uint16_t w[3] = {uint16_t(v * 256 + 255), uint16_t((255 - v) * 256), uint16_t(x * 256 + 7)};
      std::memcpy(row + 6 * x, w, 6);
      return TBGR{uint8_t(x), uint8_t(255 - v), uint8_t(v)};
    }
    case pxRGB24:
    default: {
      uint8_t* p = row + 3 * x;
      p[0] = uint8_t(v), p[1] = uint8_t(255 - v), p[2] = uint8_t(x);
      return TBGR{uint8_t(v), uint8_t(255 - v), uint8_t(x)};
    }
  }
}

TEST_P(RenderFormats, ConvertedAtOneToOneAndScaled) {
  const TFormatCase& c = GetParam();
  TPxBitmap src;
  ASSERT_TRUE(src.Allocate(6, 2, c.Format));
  if (c.Format == px8p)
    for (int i = 0; i < 256; ++i) src.SetPaletteColor(i, TBGR{uint8_t(255 - i), uint8_t(i / 2), uint8_t(i)});
  TBGR want[2][6];
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 6; ++x) want[y][x] = WritePixel(src, x, y);
  for (int scale : {1, 3}) {
    TPxBitmap dst(20, 8, pxRGB24);
    dst.Fill(0x00FF00);
    TPxRenderParams p;
    p.SourceWidth = 6;
    p.SourceHeight = 2;
    p.DestLeft = 1;
    p.DestTop = 1;
    p.DestWidth = 6 * scale;
    p.DestHeight = 2 * scale;
    RenderTo(src, dst, p);
    for (int y = 0; y < 2 * scale; ++y)
      for (int x = 0; x < 6 * scale; ++x)
        ASSERT_EQ(At(dst, 1 + x, 1 + y), want[y / scale][x / scale]) << c.Name << " " << x << "," << y;
    EXPECT_EQ(At(dst, 0, 0), MakeBGR(0, 255, 0));
    EXPECT_EQ(At(dst, 1 + 6 * scale, 1), MakeBGR(0, 255, 0));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RenderFormats,
                         ::testing::Values(TFormatCase{"px1g", px1g}, TFormatCase{"px8p", px8p},
                                           TFormatCase{"px8g", px8g}, TFormatCase{"px16g", px16g},
                                           TFormatCase{"px32f", px32f}, TFormatCase{"pxCMYK", pxCMYK},
                                           TFormatCase{"pxRGB48", pxRGB48}, TFormatCase{"pxRGB24", pxRGB24}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(RenderTo, DisplayRangeOfGrayWords) {
  TPxBitmap src(3, 1, px16g);
  const uint16_t w[3] = {1000, 1500, 3000};
  std::memcpy(src.Scanline(0), w, 6);
  src.DisplayRangeLow = 1000;
  src.DisplayRangeHigh = 2000;
  TPxBitmap dst(3, 1, pxRGB24);
  TPxRenderParams p;
  p.SourceWidth = p.DestWidth = 3;
  p.SourceHeight = p.DestHeight = 1;
  RenderTo(src, dst, p);
  EXPECT_EQ(At(dst, 0, 0).g, 0);
  EXPECT_EQ(At(dst, 1, 0).g, 127);  // (1500 - 1000) * 255 / 1000, truncated
  EXPECT_EQ(At(dst, 2, 0).g, 255);  // above the range: white
}

TEST(RenderTo, ClippedAtTheBufferEdgesAndTheClipRect) {
  TPxBitmap src;
  Pattern(src, 10, 10, 1);
  TPxBitmap dst(8, 8, pxRGB24);
  dst.Fill(0);
  TPxRenderParams p;
  p.SourceWidth = p.SourceHeight = 10;
  p.DestLeft = -4;
  p.DestTop = -2;
  p.DestWidth = p.DestHeight = 10;
  p.Clip = TRect{0, 0, 6, 8};
  RenderTo(src, dst, p);
  EXPECT_EQ(At(dst, 0, 0), At(src, 4, 2));
  EXPECT_EQ(At(dst, 5, 7), At(src, 9, 9));
  EXPECT_EQ(At(dst, 6, 0), (TBGR{0, 0, 0}));
  // Starting beyond the buffer draws nothing.
  dst.Fill(0);
  p.DestLeft = 8;
  p.Clip = {};
  RenderTo(src, dst, p);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) ASSERT_EQ(At(dst, x, y), (TBGR{0, 0, 0}));
}

TEST(RenderTo, ReducedBlackAndWhiteIsAveragedIntoGray) {
  // An 8 x 8 picture: the top half a checkerboard, the bottom half white on the left.
  TPxBitmap src(8, 8, px1g);
  for (int y = 0; y < 8; ++y) {
    uint8_t bits = 0;
    for (int x = 0; x < 8; ++x) {
      const bool white = y < 4 ? (x + y) % 2 == 0 : x < 4;
      if (white) bits |= uint8_t(0x80 >> x);
    }
    src.Scanline(y)[0] = bits;
  }
  TPxBitmap dst(4, 4, pxRGB24);
  TPxRenderParams p;
  p.SourceWidth = p.SourceHeight = 8;
  p.DestWidth = p.DestHeight = 4;
  struct Case {
    TResampleFilter Filter;
    int X, Y;
    uint8_t Gray;
  };
  // Each destination pixel covers a 2 x 2 box: half white is (255 * 2 + 2) / 4.
  const Case cases[] = {{rfTriangle, 0, 0, 128}, {rfTriangle, 3, 1, 128}, {rfLanczos3, 1, 1, 128},
                        {rfTriangle, 0, 2, 255}, {rfTriangle, 1, 3, 255}, {rfTriangle, 2, 2, 0},
                        {rfTriangle, 3, 3, 0},   {rfNone, 0, 0, 255},     {rfNone, 0, 1, 255},
                        {rfNone, 2, 2, 0}};
  for (const Case& c : cases) {
    dst.Fill(0x0000FF);
    p.Filter = c.Filter;
    RenderTo(src, dst, p);
    EXPECT_EQ(At(dst, c.X, c.Y), (TBGR{c.Gray, c.Gray, c.Gray})) << int(c.Filter) << " " << c.X << "," << c.Y;
  }
  // Half opacity over blue: the blend of the averaged gray.
  dst.Fill(0xFF0000);
  p.Filter = rfTriangle;
  p.Opacity = 128;
  RenderTo(src, dst, p);
  EXPECT_EQ(At(dst, 0, 0), Blend(TBGR{255, 0, 0}, TBGR{128, 128, 128}, 128));
}

TEST(RenderTo, FilteredScalingOfTwentyFourBits) {
  TPxBitmap src(4, 4, pxRGB24);
  src.Fill(0x0000FF);
  // Left half red, right half blue: a filter blends the seam, nearest does not.
  for (int y = 0; y < 4; ++y)
    for (int x = 2; x < 4; ++x) {
      uint8_t* p = src.Scanline(y) + 3 * x;
      p[0] = 255, p[1] = 0, p[2] = 0;
    }
  TPxBitmap dst(16, 16, pxRGB24);
  TPxRenderParams p;
  p.SourceWidth = p.SourceHeight = 4;
  p.DestWidth = p.DestHeight = 16;
  p.Filter = rfTriangle;
  RenderTo(src, dst, p);
  const TBGR seam = At(dst, 7, 8);
  EXPECT_GT(seam.r, 0);
  EXPECT_GT(seam.b, 0);
  EXPECT_EQ(At(dst, 0, 0), MakeBGR(255, 0, 0));
  p.Filter = rfNone;
  RenderTo(src, dst, p);
  EXPECT_EQ(At(dst, 7, 8), MakeBGR(255, 0, 0));
  EXPECT_EQ(At(dst, 8, 8), MakeBGR(0, 0, 255));
}

}  // namespace
