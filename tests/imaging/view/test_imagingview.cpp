// The view's geometry, its input/output and processing objects, and the
// listeners of its working bitmap.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "imaging/io/imagingio.h"
#include "imaging/core/pxutils.h"
#include "imaging/proc/imagingproc.h"
#include "imaging/view/imagingview.h"
#include "util/testutil.h"

namespace {

void SetClient(TImagingView& view, int width, int height) { view.SetBounds(width + 4, height + 4); }

void Solid(TPxBitmap& bmp, int width, int height, uint32_t colour) {
  ASSERT_TRUE(bmp.Allocate(width, height, pxRGB24));
  bmp.Fill(colour);
}

TEST(ImagingViewGeometry, CentredAtFullSize) {
  TImagingView view;
  SetClient(view, 100, 80);
  EXPECT_EQ(view.ClientWidth(), 100);
  Solid(*view.Bitmap(), 50, 40, 0);
  view.Update();
  EXPECT_EQ(view.CanvasWidth(), 50);
  EXPECT_EQ(view.OffsetX(), 25);
  EXPECT_EQ(view.OffsetY(), 20);
  for (int c : {0, 1, 25, 49}) {
    EXPECT_EQ(view.CanvasToScreenX(c), 25 + c);
    EXPECT_EQ(view.ScreenToCanvasX(25 + c), c);
    EXPECT_EQ(view.ScreenToCanvasY(20 + c % 40), c % 40);
  }
  // Outside the picture the mapping goes on linearly.
  EXPECT_EQ(view.ScreenToCanvasX(80), 55);
  EXPECT_EQ(view.ScreenToCanvasX(10), -15);
  EXPECT_EQ(view.CanvasToScreenX(60), 85);
  view.SetCenter(false);
  EXPECT_EQ(view.OffsetX(), 0);
  EXPECT_EQ(view.CanvasToScreenX(10), 10);
}

struct TZoomCase {
  double Zoom;
  int CanvasW, CanvasH, ClientW, ClientH;
  int ExtentX, ExtentY;
};

class ImagingViewZoom : public ::testing::TestWithParam<TZoomCase> {};

TEST_P(ImagingViewZoom, MappingsAgree) {
  const TZoomCase& c = GetParam();
  TImagingView view;
  SetClient(view, c.ClientW, c.ClientH);
  Solid(*view.Bitmap(), c.CanvasW, c.CanvasH, 0);
  view.SetZoom(c.Zoom);
  view.Update();
  EXPECT_EQ(view.ExtentX(), c.ExtentX);
  EXPECT_EQ(view.ExtentY(), c.ExtentY);
  const double f = c.Zoom / 100;
  const int ox = view.OffsetX();
  EXPECT_EQ(ox, view.DisplayWidth() < c.ClientW ? (c.ClientW - view.DisplayWidth()) >> 1 : 0);
  for (int k = 0; k < c.CanvasW; ++k) {
    const int x = view.CanvasToScreenX(k);
    if (c.Zoom <= 100) {
      // Without scrolling: the offset plus the truncated zoomed column.
      ASSERT_EQ(x, ox + int(std::trunc(k * f))) << k;
    } else {
      // The first client column that shows canvas column k.
      ASSERT_EQ(int(std::trunc((x - ox) / f)), k) << k;
      ASSERT_LT(int(std::floor((x - 1 - ox) / f)), k) << k;
    }
    if (x - ox < view.DisplayWidth()) {
      const int back = view.ScreenToCanvasX(x);
      // The first canvas column shown at that client column.
      ASSERT_LE(back, k);
      ASSERT_EQ(view.CanvasToScreenX(back), x) << k;
    }
  }
  for (int x = ox; x < ox + view.DisplayWidth(); ++x) {
    const int k = view.ScreenToCanvasX(x);
    ASSERT_GE(k, 0);
    ASSERT_LT(k, c.CanvasW);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ImagingViewZoom,
                         ::testing::Values(TZoomCase{100, 120, 90, 200, 200, 120, 90},
                                           // The letter page fitted into the main window's view.
                                           TZoomCase{478.0 / 11.0, 850, 1100, 564, 478, 369, 478},
                                           TZoomCase{25, 1000, 400, 300, 300, 250, 100},
                                           TZoomCase{200, 60, 40, 300, 300, 120, 80},
                                           TZoomCase{333, 31, 17, 200, 100, 103, 57}));

TEST(ImagingViewGeometry, ScreenRectsFollowLayersAndZoom) {
  TImagingView view;
  SetClient(view, 400, 300);
  view.SetLayersSync(false);
  view.SetCenter(false);
  Solid(*view.Bitmap(), 400, 300, 0);
  view.AddLayer();
  Solid(*view.Bitmap(), 50, 20, 0xFF);
  TPxLayer* layer = view.Layer(1);
  layer->Left = -20;
  layer->Top = 30;
  layer->Width = 100;  // display size differs from the bitmap's
  view.Update();
  EXPECT_EQ(layer->ScreenRect, (TRect{-20, 30, 80, 50}));
  view.SetZoom(50);
  EXPECT_EQ(layer->ScreenRect, (TRect{-10, 15, 40, 25}));
  EXPECT_EQ(view.Layer(0)->ScreenRect, (TRect{0, 0, 200, 150}));
}

// ---------------------------------------------------------------------------
// Input/output and processing objects

TEST(ImagingViewObjects, LoadsGoIntoTheCurrentLayer) {
  testutil::TempDir dir;
  const std::string small = dir.File("small.jpg"), large = dir.File("large.jpg");
  {
    TImagingIO io;
    Solid(*io.Bitmap(), 64, 48, 0x00FF00);
    io.SaveToFile(small);
    ASSERT_FALSE(io.Aborting);
    Solid(*io.Bitmap(), 200, 100, 0x0000FF);
    io.Params.DpiX = io.Params.DpiY = 150;
    io.SaveToFile(large);
    ASSERT_FALSE(io.Aborting);
  }
  TImagingView view;
  view.SetLayersSync(false);
  int changes = 0;
  std::vector<int> progress;
  view.OnImageChange = [&](TImagingView* sender) {
    EXPECT_EQ(sender, &view);
    ++changes;
  };
  view.OnProgress = [&](void*, int per) { progress.push_back(per); };
  TImagingIO& io = view.GetIO();
  EXPECT_EQ(&io, &view.GetIO());
  EXPECT_EQ(io.Bitmap(), view.Bitmap());
  io.LoadFromFile(small);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(view.Layer(0)->Bitmap->Width(), 64);
  EXPECT_EQ(view.CanvasWidth(), 64);
  EXPECT_GE(changes, 1);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 100);

  view.AddLayer();
  EXPECT_EQ(io.Bitmap(), view.Layer(1)->Bitmap);
  io.LoadFromFile(large);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(view.Layer(1)->Bitmap->Width(), 200);
  EXPECT_EQ(view.Layer(0)->Bitmap->Width(), 64);
  EXPECT_EQ(view.DpiX, 150);
  const uint8_t* red = view.Layer(1)->Bitmap->Scanline(50) + 300;
  EXPECT_GT(red[2], 240);
  EXPECT_LT(red[1], 16);
}

TEST(ImagingViewObjects, ProcessingWorksOnTheCurrentLayer) {
  TImagingView view;
  view.SetLayersSync(false);
  Solid(*view.Bitmap(), 100, 60, 0x808080);
  view.AddLayer();
  int changes = 0;
  view.OnImageChange = [&](TImagingView*) { ++changes; };
  TImagingProc& proc = view.GetProc();
  EXPECT_EQ(&proc, &view.GetProc());
  EXPECT_EQ(proc.Bitmap(), view.Layer(1)->Bitmap);
  proc.Resample(50, 30, rfFastLinear);
  EXPECT_EQ(view.Layer(1)->Bitmap->Width(), 50);
  EXPECT_EQ(view.Layer(0)->Bitmap->Width(), 100);
  EXPECT_GE(changes, 1);
  view.SetCurrentLayer(0);
  EXPECT_EQ(proc.Bitmap(), view.Layer(0)->Bitmap);
  proc.Resample(20, 12, rfNone);
  EXPECT_EQ(view.CanvasWidth(), 20);
  EXPECT_EQ(view.Layer(1)->Bitmap->Width(), 50);
  // The processing object fills with the view's background.
  view.SetBackground(0x123456);
  EXPECT_EQ(proc.Background(), 0x123456);
}

TEST(ImagingViewObjects, ListenersHearChangesAndTheEnd) {
  std::vector<bool> heard;
  int removed = 0;
  {
    TImagingView view;
    view.SetLayersSync(false);
    Solid(*view.Bitmap(), 10, 10, 0);
    view.AddBitmapChangeEvent([&](bool detach) { heard.push_back(detach); });
    const int id = view.AddBitmapChangeEvent([&](bool) { ++removed; });
    view.RemoveBitmapChangeEvent(id);
    view.AddLayer();         // a new current bitmap
    view.SetCurrentLayer(0);
    view.SetCurrentLayer(0);  // unchanged: nobody is told
    view.GetIO();
    view.GetProc();
  }
  EXPECT_EQ(heard, (std::vector<bool>{false, false, true}));
  EXPECT_EQ(removed, 0);
}

TEST(ImagingViewObjects, WorkerRefreshIsHandedOver) {
  TImagingView view;
  int posted = 0, changes = 0;
  view.OnImageChange = [&](TImagingView*) { ++changes; };
  view.IOImageChanged(true);  // without a hand-over the view refreshes at once
  EXPECT_EQ(changes, 1);
  view.OnPostRefresh = [&] { ++posted; };
  view.IOImageChanged(true);
  EXPECT_EQ(posted, 1);
  EXPECT_EQ(changes, 1);
  view.IOImageChanged(false);
  EXPECT_EQ(changes, 2);
}

TEST(ImagingViewObjects, UpdateLockDefersUpdates) {
  TImagingView view;
  Solid(*view.Bitmap(), 30, 20, 0);
  view.LockUpdate();
  view.LockUpdate();
  view.Update();
  EXPECT_EQ(view.CanvasWidth(), 0);
  view.UnlockUpdate();
  EXPECT_EQ(view.CanvasWidth(), 0);
  view.UnlockUpdate();
  EXPECT_EQ(view.CanvasWidth(), 30);
}

TEST(ImagingVect, IsAViewWithLayers) {
  auto vect = std::make_unique<TImagingVect>();
  TImagingView* view = vect.get();
  view->SetLayersSync(false);
  Solid(*view->Bitmap(), 850, 1100, 0xFFFFFF);
  EXPECT_EQ(view->AddLayer(), 1);
  vect.reset();
}

// ---------------------------------------------------------------------------
// Selecting through the view

TEST(ImagingViewSelect, CornersReadBySelectionBase) {
  struct Case {
    TPxSelectionBase Base;
    int X1, Y1, X2, Y2;
    int Left, Top, Width, Height;  // of the cropped result, in bitmap pixels
  };
  // The view shows the 1000 x 700 picture at 50 % from client (0, 0).
  const Case cases[] = {
      {pxsbBitmap, 100, 50, 900, 650, 100, 50, 800, 600},
      {pxsbClientArea, 10, 10, 60, 40, 20, 20, 100, 60},
      {pxsbClientArea, 60, 40, 10, 10, 20, 20, 100, 60},  // corners in any order
  };
  for (const Case& c : cases) {
    TImagingView view;
    view.SetBounds(504, 354);
    TPxBitmap& bmp = *view.Bitmap();
    ASSERT_TRUE(bmp.Allocate(1000, 700, pxRGB24));
    for (int y = 0; y < 700; ++y)
      for (int x = 0; x < 1000; ++x) {
        uint8_t* p = bmp.Scanline(y) + 3 * x;
        p[0] = uint8_t(x), p[1] = uint8_t(y), p[2] = uint8_t((x >> 8) | ((y >> 8) << 4));
      }
    view.SetZoom(50);
    ASSERT_EQ(view.OffsetX(), 0);
    view.SelectionBase = c.Base;
    ASSERT_TRUE(view.Select(c.X1, c.Y1, c.X2, c.Y2));
    EXPECT_TRUE(view.Selection().Selected());
    view.GetProc().CropSel();
    ASSERT_EQ(view.Bitmap()->Width(), c.Width) << c.Base;
    ASSERT_EQ(view.Bitmap()->Height(), c.Height) << c.Base;
    const uint8_t* p = view.Bitmap()->Scanline(0);
    EXPECT_EQ(p[0], uint8_t(c.Left));
    EXPECT_EQ(p[1], uint8_t(c.Top));
    EXPECT_EQ(p[2], uint8_t((c.Left >> 8) | ((c.Top >> 8) << 4)));
  }
  TImagingView view;
  ASSERT_TRUE(view.Bitmap()->Allocate(10, 10, pxRGB24));
  EXPECT_FALSE(view.Select(3, 3, 3, 8)) << "an empty rectangle selects nothing";
  EXPECT_TRUE(view.Select(1, 1, 4, 4));
  view.Deselect();
  EXPECT_FALSE(view.Selection().Selected());
}

}  // namespace
