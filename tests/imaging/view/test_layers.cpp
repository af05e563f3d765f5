// Layers of a view: adding, removing, choosing, merging and finding them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/proc/imagingproc.h"
#include "imaging/view/imagingview.h"

namespace {

TBGR PixelAt(TPxBitmap& bmp, int x, int y) {
  const uint8_t* p = bmp.Scanline(y) + 3 * x;
  return TBGR{p[0], p[1], p[2]};
}

// A picture whose every pixel tells where it came from.
void Pattern(TPxBitmap& bmp, int width, int height, uint8_t tag) {
  ASSERT_TRUE(bmp.Allocate(width, height, pxRGB24));
  for (int y = 0; y < height; ++y) {
    uint8_t* row = bmp.Scanline(y);
    for (int x = 0; x < width; ++x) {
      row[3 * x] = uint8_t(x);
      row[3 * x + 1] = uint8_t(y);
      row[3 * x + 2] = tag;
    }
  }
}

// A view whose client area is exactly width x height (border 2 all round).
void SetClient(TImagingView& view, int width, int height) { view.SetBounds(width + 4, height + 4); }

// Layer 0 of w0 x h0 tagged 10, then one layer per size given, tagged 11, 12...
void BuildView(TImagingView& view, int w0, int h0, const std::vector<std::pair<int, int>>& sizes) {
  view.SetLayersSync(false);
  Pattern(*view.Bitmap(), w0, h0, 10);
  uint8_t tag = 11;
  for (auto [w, h] : sizes) {
    view.AddLayer();
    Pattern(*view.Bitmap(), w, h, tag++);
  }
  view.Update();
}

uint8_t Tag(TPxLayer* layer) { return layer->Bitmap->Scanline(0)[2]; }

TEST(Layers, NewViewHasOneLockedLayer) {
  TImagingView view;
  ASSERT_EQ(view.LayerCount(), 1);
  EXPECT_EQ(view.CurrentLayer(), 0);
  TPxLayer* layer = view.Layer(0);
  EXPECT_EQ(layer->Bitmap, view.Bitmap());
  EXPECT_FALSE(layer->ShowBox);
  EXPECT_TRUE(layer->Locked);
  EXPECT_TRUE(layer->Visible);
  EXPECT_TRUE(view.LayersSync());
  EXPECT_THROW(view.Layer(1), std::out_of_range);
  EXPECT_THROW(view.Layer(-1), std::out_of_range);
}

TEST(Layers, AddLayerCopiesSizeAndFillsWithBackground) {
  TImagingView view;
  view.SetBackground(0x336699);  // red 0x99, green 0x66, blue 0x33
  Pattern(*view.Bitmap(), 850, 1100, 10);
  std::vector<std::pair<int, TPxLayerEvent>> events;
  view.OnLayerNotify = [&](TImagingView* sender, int layer, TPxLayerEvent e) {
    EXPECT_EQ(sender, &view);
    events.push_back({layer, e});
  };
  const int index = view.AddLayer();
  EXPECT_EQ(index, 1);
  EXPECT_EQ(index, view.LayerCount() - 1);
  EXPECT_EQ(view.CurrentLayer(), 1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], std::make_pair(1, pxlSelected));
  TPxLayer* layer = view.Layer(1);
  EXPECT_EQ(layer->Bitmap, view.Bitmap());
  EXPECT_NE(layer->Bitmap, view.Layer(0)->Bitmap);
  EXPECT_EQ(layer->Bitmap->Width(), 850);
  EXPECT_EQ(layer->Bitmap->Height(), 1100);
  EXPECT_EQ(layer->Bitmap->PixelFormat(), pxRGB24);
  EXPECT_FALSE(layer->Bitmap->HasAlphaChannel());
  for (auto [x, y] : {std::pair{0, 0}, std::pair{849, 1099}, std::pair{400, 555}})
    EXPECT_EQ(PixelAt(*layer->Bitmap, x, y), MakeBGR(0x99, 0x66, 0x33));
  EXPECT_EQ(layer->Left, 0);
  EXPECT_EQ(layer->Top, 0);
  EXPECT_EQ(layer->Width, 0);
  EXPECT_EQ(layer->GetWidth(), 850);
  EXPECT_TRUE(layer->Visible);
  EXPECT_TRUE(layer->ShowBox);
  EXPECT_EQ(layer->Opacity, 255);
  EXPECT_FALSE(layer->Locked);
  EXPECT_FALSE(layer->ClipToBackground);
  // Layer 0 kept its picture.
  EXPECT_EQ(PixelAt(*view.Layer(0)->Bitmap, 7, 9), MakeBGR(10, 9, 7));
}

struct TRemoveCase {
  const char* Name;
  int Layers;   // layers in the view
  int Current;  // current before
  int Remove;
  int Count;    // layers after
  std::vector<uint8_t> Tags;  // remaining layers, bottom up
  uint8_t CurrentTag;         // tag of the current layer after
  bool Notified;              // a layer was selected again
};

class LayersRemove : public ::testing::TestWithParam<TRemoveCase> {};

TEST_P(LayersRemove, FollowsTheCurrentLayer) {
  const TRemoveCase& c = GetParam();
  TImagingView view;
  std::vector<std::pair<int, int>> sizes;
  for (int i = 1; i < c.Layers; ++i) sizes.push_back({20 + i, 10});
  BuildView(view, 20, 10, sizes);
  view.SetCurrentLayer(c.Current);
  ASSERT_EQ(view.CurrentLayer(), c.Current);
  int notified = 0;
  view.OnLayerNotify = [&](TImagingView*, int, TPxLayerEvent) { ++notified; };
  view.RemoveLayer(c.Remove);
  ASSERT_EQ(view.LayerCount(), c.Count);
  std::vector<uint8_t> tags;
  for (int i = 0; i < view.LayerCount(); ++i) tags.push_back(Tag(view.Layer(i)));
  EXPECT_EQ(tags, c.Tags);
  EXPECT_EQ(Tag(view.Layer(view.CurrentLayer())), c.CurrentTag);
  EXPECT_EQ(view.Bitmap(), view.Layer(view.CurrentLayer())->Bitmap);
  EXPECT_EQ(notified > 0, c.Notified);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LayersRemove,
    ::testing::Values(
        TRemoveCase{"CurrentTop", 3, 2, 2, 2, {10, 11}, 11, true},
        TRemoveCase{"CurrentMiddle", 4, 1, 1, 3, {10, 12, 13}, 12, true},
        TRemoveCase{"BelowCurrent", 3, 2, 0, 2, {11, 12}, 12, true},
        TRemoveCase{"AboveCurrent", 3, 0, 2, 2, {10, 11}, 10, false},
        TRemoveCase{"OnlyLayer", 1, 0, 0, 1, {10}, 10, false},
        TRemoveCase{"OutOfRange", 2, 1, 2, 2, {10, 11}, 11, false},
        TRemoveCase{"Negative", 2, 1, -1, 2, {10, 11}, 11, false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(Layers, SetCurrentLayerIgnoresBadAndSameIndex) {
  TImagingView view;
  BuildView(view, 20, 10, {{30, 10}});
  int notified = 0;
  view.OnLayerNotify = [&](TImagingView*, int, TPxLayerEvent) { ++notified; };
  for (int index : {1, 2, -1, 5}) view.SetCurrentLayer(index);
  EXPECT_EQ(view.CurrentLayer(), 1);
  EXPECT_EQ(notified, 0);
  view.SetCurrentLayer(0);
  EXPECT_EQ(view.CurrentLayer(), 0);
  EXPECT_EQ(view.Bitmap(), view.Layer(0)->Bitmap);
  EXPECT_EQ(notified, 1);
}

// ---------------------------------------------------------------------------
// Merging

TEST(LayersMerge, PastesAnOpaqueLayer) {
  TImagingView view;
  BuildView(view, 600, 400, {{300, 200}});
  view.Layer(1)->Left = 150;
  view.Layer(1)->Top = 100;
  view.Layer(0)->ShowBox = true;  // both flags come from the lower layer
  view.MergeLayers(0, 1, true);
  ASSERT_EQ(view.LayerCount(), 1);
  EXPECT_EQ(view.CurrentLayer(), 0);
  TPxLayer* merged = view.Layer(0);
  EXPECT_EQ(merged->Bitmap, view.Bitmap());
  TPxBitmap& bmp = *merged->Bitmap;
  ASSERT_EQ(bmp.Width(), 600);
  ASSERT_EQ(bmp.Height(), 400);
  EXPECT_FALSE(bmp.HasAlphaChannel());
  EXPECT_TRUE(merged->Locked);
  EXPECT_TRUE(merged->ShowBox);
  EXPECT_EQ(merged->Left, 0);
  EXPECT_EQ(merged->Width, 0);
  for (int y = 0; y < 400; y += 7)
    for (int x = 0; x < 600; x += 5) {
      const bool pasted = x >= 150 && x < 450 && y >= 100 && y < 300;
      const TBGR want = pasted ? MakeBGR(11, uint8_t(y - 100), uint8_t(x - 150))
                               : MakeBGR(10, uint8_t(y), uint8_t(x));
      ASSERT_EQ(PixelAt(bmp, x, y), want) << x << "," << y;
    }
}

TEST(LayersMerge, FileBackedLayersMergeAlike) {
  auto merge = [](TPxBitmap& out, TPxLocation& where) {
    TImagingView view;
    BuildView(view, 300, 200, {{120, 90}});
    view.Layer(1)->Left = -20;
    view.Layer(1)->Top = 150;
    view.Layer(1)->Opacity = 100;
    view.MergeLayers(0, 1, true);
    where = view.Bitmap()->Location();
    ASSERT_TRUE(out.Assign(*view.Bitmap()));
  };
  TPxBitmap inMemory, inFile;
  TPxLocation memoryWhere, fileWhere;
  merge(inMemory, memoryWhere);
  const int64_t saved = DefaultFileThreshold;
  DefaultFileThreshold = 4096;
  merge(inFile, fileWhere);
  DefaultFileThreshold = saved;
  EXPECT_EQ(memoryWhere, pxMemory);
  EXPECT_EQ(fileWhere, pxFile);
  ASSERT_EQ(inFile.Width(), 320);
  ASSERT_EQ(inFile.Height(), 240);
  ASSERT_TRUE(inFile.HasAlphaChannel());
  for (int y = 0; y < 240; ++y) {
    ASSERT_EQ(std::memcmp(inFile.Scanline(y), inMemory.Scanline(y), 320 * 3), 0) << y;
    for (int x = 0; x < 320; x += 13) ASSERT_EQ(inFile.Alpha(x, y), inMemory.Alpha(x, y));
  }
}

TEST(LayersMerge, NegativePositionShiftsTheLowerLayer) {
  TImagingView view;
  view.SetBackground(0x0000FF);
  BuildView(view, 600, 400, {{300, 200}});
  view.Layer(1)->Left = -50;
  view.MergeLayers(0, 1, true);
  ASSERT_EQ(view.LayerCount(), 1);
  TPxBitmap& bmp = *view.Bitmap();
  ASSERT_EQ(bmp.Width(), 650);
  ASSERT_EQ(bmp.Height(), 400);
  EXPECT_EQ(view.Layer(0)->Left, 0);
  EXPECT_EQ(PixelAt(bmp, 300, 0), MakeBGR(10, 0, 250));  // layer 0 moved right by 50
  // Under layer 1's columns but below it, left of layer 0: uncovered, black.
  ASSERT_TRUE(bmp.HasAlphaChannel());
  EXPECT_EQ(bmp.Alpha(20, 300), 0);
  EXPECT_EQ(PixelAt(bmp, 20, 300), MakeBGR(0, 0, 0));
  EXPECT_EQ(bmp.Alpha(60, 300), 255);
}

struct TPlaceCase {
  const char* Name;
  int ALeft, ATop, BLeft, BTop;  // layer 0 (600 x 400) and layer 1 (300 x 200)
  int Width, Height;             // merged size
  int AX, AY, BX, BY;            // where their top-left pixels land
};

class LayersMergePlace : public ::testing::TestWithParam<TPlaceCase> {};

TEST_P(LayersMergePlace, PositionsAreMadeNonNegative) {
  const TPlaceCase& c = GetParam();
  TImagingView view;
  BuildView(view, 600, 400, {{300, 200}});
  view.Layer(0)->Left = c.ALeft;
  view.Layer(0)->Top = c.ATop;
  view.Layer(1)->Left = c.BLeft;
  view.Layer(1)->Top = c.BTop;
  view.MergeLayers(0, 1, true);
  TPxBitmap& bmp = *view.Bitmap();
  ASSERT_EQ(bmp.Width(), c.Width);
  ASSERT_EQ(bmp.Height(), c.Height);
  EXPECT_EQ(view.Layer(0)->Left, 0);
  EXPECT_EQ(view.Layer(0)->Top, 0);
  // Corners of layer 0 that layer 1 does not cover, and both corners of layer 1.
  auto underB = [&](int x, int y) {
    return x >= c.BX && x < c.BX + 300 && y >= c.BY && y < c.BY + 200;
  };
  if (!underB(c.AX, c.AY)) {
    EXPECT_EQ(PixelAt(bmp, c.AX, c.AY), MakeBGR(10, 0, 0));
  }
  if (!underB(c.AX + 599, c.AY + 399)) {
    EXPECT_EQ(PixelAt(bmp, c.AX + 599, c.AY + 399), MakeBGR(10, 143, 87));
  }
  EXPECT_EQ(PixelAt(bmp, c.BX, c.BY), MakeBGR(11, 0, 0));
  EXPECT_EQ(PixelAt(bmp, c.BX + 299, c.BY + 199), MakeBGR(11, 199, 43));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LayersMergePlace,
    ::testing::Values(TPlaceCase{"UpperLeftOfCanvas", 0, 0, -50, 0, 650, 400, 50, 0, 0, 0},
                      TPlaceCase{"UpperAboveAndLeft", 0, 0, -50, -60, 650, 460, 50, 60, 0, 0},
                      TPlaceCase{"LowerNegative", -30, -20, 150, 100, 600, 400, 0, 0, 180, 120},
                      TPlaceCase{"UpperPastTheEdge", 0, 0, 500, 300, 800, 500, 0, 0, 500, 300},
                      TPlaceCase{"BothNegative", -10, -10, -40, 0, 630, 400, 30, 0, 0, 10}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(LayersMerge, GapBesideBothLayersShowsTheBackground) {
  TImagingView view;
  view.SetBackground(0x204080);
  BuildView(view, 10, 10, {{10, 10}});
  view.Layer(1)->Left = 15;
  view.Layer(1)->Top = 5;
  view.MergeLayers(1, 0, true);
  TPxBitmap& bmp = *view.Bitmap();
  ASSERT_EQ(bmp.Width(), 25);
  ASSERT_EQ(bmp.Height(), 15);
  // x 12 lies beside both layers; (3, 12) only under layer 0's columns.
  EXPECT_EQ(PixelAt(bmp, 12, 2), MakeBGR(0x80, 0x40, 0x20));
  EXPECT_EQ(bmp.Alpha(12, 2), 0);
  EXPECT_EQ(PixelAt(bmp, 3, 12), MakeBGR(0, 0, 0));
  EXPECT_EQ(bmp.Alpha(3, 12), 0);
  EXPECT_EQ(PixelAt(bmp, 16, 6), MakeBGR(11, 1, 1));
}

TEST(LayersMerge, ResizedLayerIsResampledAndKept) {
  TImagingView view;
  view.ZoomFilter = rfTriangle;
  BuildView(view, 600, 400, {{300, 200}});
  view.Layer(1)->Width = 600;
  view.Layer(1)->Height = 400;
  TPxBitmap original;
  ASSERT_TRUE(original.Assign(*view.Layer(1)->Bitmap));
  TPxBitmap expected;
  ASSERT_TRUE(expected.Allocate(600, 400, pxRGB24));
  ResampleBitmap(original, expected, rfTriangle);
  view.MergeLayers(0, 1, false);
  ASSERT_EQ(view.LayerCount(), 2);
  TPxBitmap& bmp = *view.Layer(0)->Bitmap;
  ASSERT_EQ(bmp.Width(), 600);
  for (int y = 0; y < 400; ++y) ASSERT_EQ(std::memcmp(bmp.Scanline(y), expected.Scanline(y), 1800), 0) << y;
  // Without removeUpper the upper layer stays as it was.
  TPxLayer* upper = view.Layer(1);
  EXPECT_EQ(upper->Width, 600);
  ASSERT_EQ(upper->Bitmap->Width(), 300);
  for (int y = 0; y < 200; ++y)
    ASSERT_EQ(std::memcmp(upper->Bitmap->Scanline(y), original.Scanline(y), 900), 0);
  EXPECT_EQ(view.CurrentLayer(), 0);
}

struct TBlendCase {
  const char* Name;
  int AlphaA, AlphaB;  // pixel alpha (-1: no alpha plane)
  int OpacityA, OpacityB;
  uint8_t BlendMode;
};

class LayersMergeBlend : public ::testing::TestWithParam<TBlendCase> {};

TEST_P(LayersMergeBlend, CombinesByAlphaAndOpacity) {
  const TBlendCase& c = GetParam();
  TImagingView view;
  view.SetLayersSync(false);
  const TBGR colourA = MakeBGR(200, 100, 30), colourB = MakeBGR(90, 180, 250);
  auto fill = [](TPxBitmap& bmp, TBGR colour, int alpha) {
    ASSERT_TRUE(bmp.Allocate(4, 4, pxRGB24));
    bmp.Fill(PxBGRToColorRef(colour));
    if (alpha >= 0) bmp.AlphaChannel()->Fill(alpha);
  };
  fill(*view.Bitmap(), colourA, c.AlphaA);
  view.AddLayer();
  fill(*view.Bitmap(), colourB, c.AlphaB);
  view.Layer(0)->Opacity = c.OpacityA;
  view.Layer(1)->Opacity = c.OpacityB;
  view.Layer(1)->BlendMode = c.BlendMode;
  view.MergeLayers(0, 1, true);
  TPxBitmap& bmp = *view.Bitmap();
  // The rule: alpha a = min(pixel alpha, opacity), B over A.
  const double aA = std::min(c.AlphaA < 0 ? 255 : c.AlphaA, c.OpacityA);
  const double aB = std::min(c.AlphaB < 0 ? 255 : c.AlphaB, c.OpacityB);
  const double lb = aB / 255, m = (1 - lb) * aA / 255, n = lb + m;
  const uint8_t a[3] = {colourA.b, colourA.g, colourA.r}, b[3] = {colourB.b, colourB.g, colourB.r};
  uint8_t want[3];
  for (int i = 0; i < 3; ++i) {
    if (aB == 255)
      want[i] = c.BlendMode == 1 ? uint8_t(std::min(255, a[i] + b[i])) : b[i];
    else
      want[i] = uint8_t(std::lround((lb * b[i] + m * a[i]) / n));
  }
  const long alpha = std::lround(n * 255);
  const uint8_t* p = bmp.Scanline(2) + 6;
  EXPECT_EQ(p[0], want[0]);
  EXPECT_EQ(p[1], want[1]);
  EXPECT_EQ(p[2], want[2]);
  EXPECT_EQ(bmp.Alpha(2, 2), alpha);
  EXPECT_EQ(bmp.HasAlphaChannel(), alpha != 255);
}

INSTANTIATE_TEST_SUITE_P(Cases, LayersMergeBlend,
                         ::testing::Values(TBlendCase{"HalfOverOpaque", -1, 128, 255, 255, 0},
                                           TBlendCase{"BothPartial", 100, 50, 255, 255, 0},
                                           TBlendCase{"OpacityLimitsAlpha", 255, 255, 255, 64, 0},
                                           TBlendCase{"OpaqueAdd", -1, -1, 255, 255, 1},
                                           TBlendCase{"AddIgnoredWhenTranslucent", -1, 200, 255, 255, 1},
                                           TBlendCase{"LowerTranslucent", 40, -1, 90, 255, 0}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(LayersMerge, OneBitLayerIsExpanded) {
  TImagingView view;
  view.SetLayersSync(false);
  Pattern(*view.Bitmap(), 16, 8, 10);
  view.AddLayer();
  ASSERT_TRUE(view.Bitmap()->Allocate(16, 8, px1g));
  for (int y = 0; y < 8; ++y) {
    view.Bitmap()->Scanline(y)[0] = 0xF0;  // four white, four black pixels
    view.Bitmap()->Scanline(y)[1] = 0x0F;
  }
  view.MergeLayers(0, 1, true);
  TPxBitmap& bmp = *view.Bitmap();
  EXPECT_EQ(PixelAt(bmp, 0, 3), MakeBGR(255, 255, 255));
  EXPECT_EQ(PixelAt(bmp, 5, 3), MakeBGR(0, 0, 0));
  EXPECT_EQ(PixelAt(bmp, 15, 3), MakeBGR(255, 255, 255));
  EXPECT_FALSE(bmp.HasAlphaChannel());
}

TEST(LayersMerge, BadIndicesDoNothing) {
  TImagingView view;
  BuildView(view, 20, 10, {{30, 10}});
  TPxBitmap* before = view.Layer(0)->Bitmap;
  for (auto [i, j] : {std::pair{0, 0}, std::pair{0, 2}, std::pair{-1, 1}}) view.MergeLayers(i, j, true);
  EXPECT_EQ(view.LayerCount(), 2);
  EXPECT_EQ(view.Layer(0)->Bitmap, before);
}

// ---------------------------------------------------------------------------
// Finding a layer under the mouse

TEST(LayersFind, ThroughBoxesAndAlpha) {
  TImagingView view;
  SetClient(view, 100, 80);
  BuildView(view, 100, 80, {{40, 30}, {20, 20}});
  TPxLayer* l1 = view.Layer(1);
  l1->Left = 10;
  l1->Top = 10;
  // The left half of layer 1 is transparent.
  TPxBitmap* alpha = l1->Bitmap->AlphaChannel();
  alpha->FillRect(0, 0, 19, 29, 0);
  TPxLayer* l2 = view.Layer(2);
  l2->Left = 70;
  l2->Top = 50;
  l2->Visible = false;  // hidden layers are still found where they were drawn
  view.Update();
  ASSERT_EQ(view.OffsetX(), 0);
  ASSERT_EQ(view.OffsetY(), 0);
  EXPECT_EQ(l1->ScreenRect, (TRect{10, 10, 50, 40}));
  struct {
    int X, Y, Layer;
  } cases[] = {
      {5, 5, 0},    {40, 20, 1},  {50, 40, 1},  {15, 20, 0},  {29, 39, 0},
      {30, 39, 1},  {75, 55, 2},  {90, 70, 2},  {99, 79, 0},  {100, 80, 0},
      {101, 20, -1}, {-1, 5, -1}, {20, 200, -1},
  };
  for (const auto& c : cases) EXPECT_EQ(view.FindLayerAt(c.X, c.Y), c.Layer) << c.X << "," << c.Y;
}

TEST(LayersFind, ScaledLayerAndZoom) {
  TImagingView view;
  SetClient(view, 200, 200);
  view.SetCenter(false);
  BuildView(view, 400, 400, {{20, 10}});
  TPxLayer* l1 = view.Layer(1);
  l1->Left = 100;
  l1->Top = 40;
  l1->Width = 80;  // shown four times as wide: bitmap column = canvas offset / 4
  l1->Height = 10;
  l1->Bitmap->AlphaChannel()->FillRect(10, 0, 19, 9, 0);  // right half transparent
  view.SetZoom(50);
  view.Update();
  EXPECT_EQ(l1->ScreenRect, (TRect{50, 20, 90, 25}));
  EXPECT_EQ(view.FindLayerAt(60, 22), 1);  // canvas x 120: bitmap column 20 / 4 = 5
  EXPECT_EQ(l1->ScreenToLayerX(75), 12);   // canvas x 150
  EXPECT_EQ(view.FindLayerAt(75, 22), 0);
  EXPECT_EQ(view.FindLayerAt(69, 22), 1);  // column 9, the last opaque one
  EXPECT_EQ(view.FindLayerAt(71, 22), 0);  // column 10, transparent
  EXPECT_EQ(view.FindLayerAt(60, 26), 0);  // below the box
}

// ---------------------------------------------------------------------------
// Layer sizes

TEST(LayersSync, LayersTakeTheLargestSize) {
  TImagingView view;
  view.SetBackground(0x0000FF);
  Pattern(*view.Bitmap(), 100, 80, 10);
  view.AddLayer();
  Pattern(*view.Bitmap(), 150, 50, 11);
  view.SyncLayerSizes();
  EXPECT_EQ(view.CanvasWidth(), 150);
  EXPECT_EQ(view.CanvasHeight(), 80);
  for (int i = 0; i < 2; ++i) {
    TPxBitmap& bmp = *view.Layer(i)->Bitmap;
    ASSERT_EQ(bmp.Width(), 150);
    ASSERT_EQ(bmp.Height(), 80);
    ASSERT_TRUE(bmp.HasAlphaChannel());
  }
  TPxBitmap& b0 = *view.Layer(0)->Bitmap;
  EXPECT_EQ(PixelAt(b0, 99, 79), MakeBGR(10, 79, 99));  // picture at the top-left
  EXPECT_EQ(PixelAt(b0, 120, 10), MakeBGR(255, 0, 0));  // added: background, transparent
  EXPECT_EQ(b0.Alpha(120, 10), 0);
  EXPECT_EQ(b0.Alpha(99, 79), 255);
  TPxBitmap& b1 = *view.Layer(1)->Bitmap;
  EXPECT_EQ(b1.Alpha(10, 60), 0);
  EXPECT_EQ(b1.Alpha(149, 49), 255);
}

TEST(LayersSync, OffKeepsOwnSizes) {
  TImagingView view;
  BuildView(view, 100, 80, {{150, 50}});
  view.SyncLayerSizes();
  EXPECT_EQ(view.CanvasWidth(), 100);
  EXPECT_EQ(view.CanvasHeight(), 80);
  EXPECT_EQ(view.Layer(1)->Bitmap->Width(), 150);
  EXPECT_FALSE(view.Layer(1)->Bitmap->HasAlphaChannel());
  // Turning it on brings the sizes together at once.
  view.SetLayersSync(true);
  EXPECT_EQ(view.Layer(0)->Bitmap->Width(), 150);
  EXPECT_EQ(view.CanvasHeight(), 80);
}

TEST(Layers, ClearToBackgroundAndIsEmpty) {
  TImagingView view;
  EXPECT_TRUE(view.IsEmpty());
  struct {
    int W, H;
    bool Empty;
  } sizes[] = {{1, 1, true}, {1, 5, false}, {2, 1, false}, {5, 5, false}};
  for (const auto& s : sizes) {
    ASSERT_TRUE(view.Bitmap()->Allocate(s.W, s.H, pxRGB24));
    EXPECT_EQ(view.IsEmpty(), s.Empty) << s.W << "x" << s.H;
  }
  view.SetBackground(0x010203);
  view.Bitmap()->AlphaChannel()->Fill(7);
  view.ClearToBackground();
  EXPECT_FALSE(view.Bitmap()->HasAlphaChannel());
  EXPECT_EQ(PixelAt(*view.Bitmap(), 4, 4), MakeBGR(3, 2, 1));
}

}  // namespace
