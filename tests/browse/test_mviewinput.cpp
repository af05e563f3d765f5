// Thumbnail grid input: selection by click, keys and paging, the selection
// event, the wheel and drag scrolling, and selections made by the owner.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "browse/imagingmview.h"
#include "mviewtest.h"

using mviewtest::HostedGrid;

namespace {

// Ten entries in three columns on a 400 x 300 client, events recorded.
struct InputGrid : HostedGrid {
  explicit InputGrid(int entries = 10) : HostedGrid(400, 300) {
    grid->SetGridWidth(-1);
    grid->LockUpdate();
    for (int i = 0; i < entries; ++i) grid->InsertImageNoSelect(i);
    grid->UnlockUpdate();
    grid->OnImageSelect = [this](TImagingMView*, int i) { events.push_back("select " + std::to_string(i)); };
    grid->OnImageDeselect = [this](TImagingMView*, int i) { events.push_back("deselect " + std::to_string(i)); };
    grid->OnMouseDown = [this](TImagingMView*, TPxMouseButton b, TPxShiftState, int32_t, int32_t) {
      events.push_back("down " + std::to_string(b));
    };
    grid->OnViewChange = [this](TImagingMView*, int) { ++viewChanges; };
  }
  void Click(int x, int y, TPxShiftState shift = 0, TPxMouseButton b = mbLeft) {
    grid->HostMouseDown(b, shift | (b == mbLeft ? ssLeft : ssRight), x, y);
    grid->HostMouseUp(b, shift, x, y);
  }
  std::vector<std::string> events;
  int viewChanges = 0;
};

TEST(MViewClick, SelectsOnceAfterTheOwnersHandler) {
  InputGrid g;
  g.Click(150, 50);  // entry 1
  EXPECT_EQ(g.grid->SelectedImage(), 1);
  EXPECT_EQ(g.events, (std::vector<std::string>{"down 0", "select 1"}));
  EXPECT_EQ(g.host.FocusRequests, 1);
  // The same cell again: selected once more, one event.
  g.events.clear();
  g.Click(150, 50);
  EXPECT_EQ(g.events, (std::vector<std::string>{"down 0", "select 1"}));
  // Between cells: nothing.
  g.events.clear();
  g.Click(105, 50);
  EXPECT_EQ(g.grid->SelectedImage(), 1);
  EXPECT_EQ(g.events, (std::vector<std::string>{"down 0"}));
  // The second press of a double click selects nothing.
  g.events.clear();
  g.grid->HostMouseDown(mbLeft, ssLeft | ssDouble, 50, 50);
  g.grid->HostMouseUp(mbLeft, 0, 50, 50);
  EXPECT_EQ(g.grid->SelectedImage(), 1);
  EXPECT_EQ(g.events, (std::vector<std::string>{"down 0"}));
  // The right button takes the focus and changes no selection.
  g.events.clear();
  g.Click(50, 50, 0, mbRight);
  EXPECT_EQ(g.grid->SelectedImage(), 1);
  EXPECT_EQ(g.events, (std::vector<std::string>{"down 1"}));
  EXPECT_EQ(g.host.FocusRequests, 4);  // not the double click's second press
  // Without mmiSelect a click only presses.
  g.grid->MouseInteract = 0;
  g.events.clear();
  g.Click(50, 50);
  EXPECT_EQ(g.grid->SelectedImage(), 1);
}

TEST(MViewClick, ShiftClickSelectsTheEntriesBetweenInTurn) {
  InputGrid g;
  g.Click(50, 50);  // entry 0 becomes the anchor
  g.events.clear();
  g.Click(50, 150, ssShift);  // entry 3
  EXPECT_EQ(g.grid->SelectedImage(), 3);
  EXPECT_EQ(g.events, (std::vector<std::string>{"down 0", "deselect 0", "select 0", "select 1",
                                                "select 2", "select 3"}));
}

TEST(MViewClick, MultiSelectionWithCtrlAndShift) {
  InputGrid g;
  g.grid->SetEnableMultiSelect(true);
  g.Click(50, 50);             // 0
  g.Click(150, 50, ssCtrl);    // 0, 1
  g.Click(50, 150, ssCtrl);    // 0, 1, 3
  EXPECT_EQ(g.grid->MultiSelectedImages(), (std::vector<int>{0, 1, 3}));
  g.Click(150, 50, ssCtrl);  // toggles 1 off
  EXPECT_EQ(g.grid->MultiSelectedImages(), (std::vector<int>{0, 3}));
  g.Click(250, 50);  // a plain click selects alone
  EXPECT_EQ(g.grid->MultiSelectedImages(), (std::vector<int>{2}));
  EXPECT_EQ(g.grid->SelectedImage(), 2);
}

struct TKeyCase {
  const char* Name;
  int GridWidth;
  int Start;  // -1: no selection
  int32_t Key;
  int Selected;
  int Events;
};
class MViewKeys : public ::testing::TestWithParam<TKeyCase> {};

TEST_P(MViewKeys, MoveTheSelection) {
  const TKeyCase& c = GetParam();
  InputGrid g;
  g.grid->SetGridWidth(c.GridWidth);
  if (c.Start >= 0) g.grid->SetSelectedImage(c.Start);
  g.events.clear();
  g.grid->HostKeyDown(c.Key, 0);
  EXPECT_EQ(g.grid->SelectedImage(), c.Selected);
  EXPECT_EQ((int)g.events.size(), c.Events);
  // A move shows the new selection whole.
  if (c.Events > 0) {
    EXPECT_EQ(g.grid->IsImageVisible(c.Selected), 2);
  }
}

// Three columns, two whole rows a page: six entries.
INSTANTIATE_TEST_SUITE_P(
    Cases, MViewKeys,
    ::testing::Values(TKeyCase{"RightWithoutSelectionSelectsFirst", -1, -1, vkRight, 0, 1},
                      TKeyCase{"LeftOnFirstDoesNothing", -1, 0, vkLeft, 0, 0},
                      TKeyCase{"LeftWithoutSelectionDoesNothing", -1, -1, vkLeft, -1, 0},
                      TKeyCase{"Right", -1, 1, vkRight, 2, 1},
                      TKeyCase{"RightOnLastDoesNothing", -1, 9, vkRight, 9, 0},
                      TKeyCase{"Left", -1, 4, vkLeft, 3, 1},
                      TKeyCase{"Up", -1, 4, vkUp, 1, 1},
                      TKeyCase{"UpInFirstRow", -1, 2, vkUp, 0, 1},
                      TKeyCase{"Down", -1, 4, vkDown, 7, 1},
                      TKeyCase{"DownToLast", -1, 8, vkDown, 9, 1},
                      TKeyCase{"Home", -1, 5, vkHome, 0, 1},
                      TKeyCase{"End", -1, 1, vkEnd, 9, 1},
                      TKeyCase{"PageDown", -1, 1, vkNext, 7, 1},
                      TKeyCase{"PageDownStopsAtLast", -1, 6, vkNext, 9, 1},
                      TKeyCase{"PageUp", -1, 7, vkPrior, 1, 1},
                      TKeyCase{"PageUpStopsAtFirst", -1, 2, vkPrior, 0, 1},
                      TKeyCase{"OneRowDownIsNext", 0, 1, vkDown, 2, 1},
                      TKeyCase{"OneRowUpIsPrevious", 0, 3, vkUp, 2, 1}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(MViewKeysScroll, SelectionIsScrolledIntoView) {
  InputGrid g;
  g.grid->SetSelectedImage(0);
  g.grid->HostKeyDown(vkEnd, 0);
  EXPECT_EQ(g.grid->ViewY(), g.grid->MaxViewY());
  EXPECT_GT(g.viewChanges, 0);
  g.grid->HostKeyDown(vkHome, 0);
  EXPECT_EQ(g.grid->ViewY(), 0);
  // Keys do nothing without mkiMoveSelected, or without entries.
  g.grid->KeyInteract = 0;
  g.grid->HostKeyDown(vkRight, 0);
  EXPECT_EQ(g.grid->SelectedImage(), 0);
  InputGrid empty(0);
  empty.grid->HostKeyDown(vkRight, 0);
  EXPECT_EQ(empty.grid->SelectedImage(), -1);
  EXPECT_TRUE(empty.events.empty());
}

TEST(MViewWheel, MovesOneRowAndStopsAtTheContent) {
  InputGrid g(30);  // 10 rows: content 1044 high, at most 744
  g.grid->HostWheel(0, -120, 10, 10);
  EXPECT_EQ(g.grid->ViewY(), 104);
  EXPECT_EQ(g.viewChanges, 1);
  for (int i = 0; i < 20; ++i) g.grid->HostWheel(0, -120, 10, 10);
  EXPECT_EQ(g.grid->ViewY(), 744);
  EXPECT_EQ(g.grid->ViewY(), g.grid->ContentHeight() - g.grid->ClientHeight());
  g.grid->HostWheel(0, 120, 10, 10);
  EXPECT_EQ(g.grid->ViewY(), 640);
  // Scrolling raises no selection event.
  EXPECT_TRUE(g.events.empty());
}

TEST(MViewDrag, ScrollsByTheDistanceMoved) {
  InputGrid g(30);
  g.grid->MouseInteract = mmiScroll;
  g.grid->HostMouseDown(mbLeft, ssLeft, 100, 200);
  g.grid->HostMouseMove(ssLeft, 100, 150);
  EXPECT_EQ(g.grid->ViewY(), 50);
  g.grid->HostMouseMove(ssLeft, 100, 120);
  EXPECT_EQ(g.grid->ViewY(), 80);
  g.grid->HostMouseUp(mbLeft, 0, 100, 110);
  EXPECT_EQ(g.grid->ViewY(), 90);
  EXPECT_EQ(g.grid->SelectedImage(), -1);  // no mmiSelect
  g.grid->HostMouseMove(0, 100, 0);          // released: no more scrolling
  EXPECT_EQ(g.grid->ViewY(), 90);
}

TEST(MViewOwner, SelectionsOfTheOwnerRaiseNothing) {
  HostedGrid h(400, 300);
  std::vector<int> selected;
  h.grid->OnImageSelect = [&](TImagingMView*, int i) { selected.push_back(i); };
  h.Paint();
  const int64_t composed = h.grid->ComposeCount();
  h.grid->LockUpdate();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(h.grid->AppendImage(), i);
    EXPECT_EQ(h.grid->SelectedImage(), i);  // the new entry
  }
  h.Paint();
  EXPECT_EQ(h.grid->ComposeCount(), composed);  // nothing drawn while locked
  h.grid->UnlockUpdate();
  h.grid->SetSelectedImage(0);
  EXPECT_EQ(h.grid->SelectedImage(), 0);
  h.grid->SetSelectedImage(7);  // out of range
  EXPECT_EQ(h.grid->SelectedImage(), 0);
  h.Paint();
  EXPECT_GT(h.grid->ComposeCount(), composed);
  EXPECT_TRUE(selected.empty());
  // Deleting the selected entry selects the one that took its place, or
  // the new last one.
  h.grid->SetSelectedImage(2);
  EXPECT_TRUE(h.grid->DeleteImage(2));
  EXPECT_EQ(h.grid->SelectedImage(), 2);
  h.grid->SetSelectedImage(3);
  EXPECT_TRUE(h.grid->DeleteImage(3));
  EXPECT_EQ(h.grid->SelectedImage(), 2);
  h.grid->SetSelectedImage(2);
  EXPECT_TRUE(h.grid->DeleteImage(0));  // before the selection: it moves down
  EXPECT_EQ(h.grid->SelectedImage(), 1);
  EXPECT_FALSE(h.grid->DeleteImage(9));
  EXPECT_THROW(h.grid->DeleteImage(-1), std::out_of_range);
  EXPECT_TRUE(selected.empty());
  h.grid->Clear();
  EXPECT_EQ(h.grid->ImageCount(), 0);
  EXPECT_EQ(h.grid->SelectedImage(), -1);
}

}  // namespace
