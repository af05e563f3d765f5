// Input of the thumbnail grid: scroll bars, wheel, drag scrolling, the mouse
// buttons that select entries and the keys that move the selection. The
// selection and view events are raised only while such an action is handled.
#include <algorithm>
#include <cmath>

#include "browse/imagingmview.h"

void TImagingMView::VertScroll(TPxScrollCode code, int32_t pos) {
  UserAction action(*this);
  const int32_t line = VertLineStep == -1 ? thumbHeight_ + vertBorder_ : VertLineStep;
  const int32_t page = VertPageStep == -1 ? ClientHeight() : VertPageStep;
  switch (code) {
    case scLineUp: SetViewY(viewY_ - line); break;
    case scLineDown: SetViewY(viewY_ + line); break;
    case scPageUp: SetViewY(viewY_ - page); break;
    case scPageDown: SetViewY(viewY_ + page); break;
    case scTop: SetViewY(0); break;
    case scBottom: SetViewY(MaxViewY()); break;
    case scPosition: SetViewY(int32_t(std::lrint(pos * vFactor_))); break;
    case scTrack:
      if (VertThumbTracking) SetViewY(int32_t(std::lrint(pos * vFactor_)));
      break;
    default: break;
  }
  DoViewChange(0);
}

void TImagingMView::HorizScroll(TPxScrollCode code, int32_t pos) {
  UserAction action(*this);
  const int32_t line = HorizLineStep == -1 ? thumbWidth_ + horizBorder_ : HorizLineStep;
  const int32_t page = HorizPageStep == -1 ? ClientWidth() : HorizPageStep;
  switch (code) {
    case scLineUp: SetViewX(viewX_ - line); break;
    case scLineDown: SetViewX(viewX_ + line); break;
    case scPageUp: SetViewX(viewX_ - page); break;
    case scPageDown: SetViewX(viewX_ + page); break;
    case scTop: SetViewX(0); break;
    case scBottom: SetViewX(MaxViewX()); break;
    case scPosition: SetViewX(int32_t(std::lrint(pos * hFactor_))); break;
    case scTrack:
      if (HorizThumbTracking) SetViewX(int32_t(std::lrint(pos * hFactor_)));
      break;
    default: break;
  }
  DoViewChange(0);
}

void TImagingMView::HostScrolled(bool horizontal, int32_t pos) {
  // The host reports both bars; the one that shows the view where it is
  // already must not move it by the bar's rounding.
  const double factor = horizontal ? hFactor_ : vFactor_;
  const int32_t view = horizontal ? viewX_ : viewY_;
  if (pos == int32_t(std::lrint(view / factor))) return;
  // The bar at its end shows the end (the bar's unit may round it short).
  const int32_t barMax = horizontal ? hBarMax_ : vBarMax_;
  if (barMax > 0 && pos >= barMax) {
    if (horizontal)
      HorizScroll(scBottom, pos);
    else
      VertScroll(scBottom, pos);
    return;
  }
  if (horizontal)
    HorizScroll(scPosition, pos);
  else
    VertScroll(scPosition, pos);
}

void TImagingMView::HostWheel(TPxShiftState shift, int32_t delta, int32_t, int32_t) {
  UserAction action(*this);
  currentShift_ = shift;
  const int32_t step = thumbHeight_ + vertBorder_;
  SetViewY(delta > 0 ? viewY_ - step : viewY_ + step);
  DoViewChange(0);
}

void TImagingMView::HostFocusChanged(bool focused) {
  focused_ = focused;
  Invalidate();  // the selection frame is wider while focused
}

void TImagingMView::SelectAt(int32_t x, int32_t y, TPxShiftState shift) {
  const TPxShiftState saved = currentShift_;
  currentShift_ = shift;
  const int i = ImageAtPos(x, y);
  if (i >= 0) {
    const bool extending = (shift & (ssShift | ssCtrl)) != 0;
    if ((shift & ssShift) && (i != selectedImage_ || (extending && enableMultiSelect_))) {
      const int s = selectedImage_;
      if ((MultiSelectionOptions & pxmoRegion) && s >= 0) {
        const TPxMViewEntry* a = EntryAt(s);
        const TPxMViewEntry* b = EntryAt(i);
        for (int32_t r = std::min(a->Row, b->Row); r <= std::max(a->Row, b->Row); ++r)
          for (int32_t c = std::min(a->Column, b->Column); c <= std::max(a->Column, b->Column);
               ++c) {
            const int k = ImageAtGridPos(r, c);
            if (k != s && k != i && k >= 0 && k < ImageCount() &&
                std::find(multiSelected_.begin(), multiSelected_.end(), k) == multiSelected_.end())
              SelectInternal(k);
          }
      } else {
        const int step = i > s ? 1 : -1;
        for (int k = s + step; k != i; k += step)
          if (k >= 0 &&
              std::find(multiSelected_.begin(), multiSelected_.end(), k) == multiSelected_.end())
            SelectInternal(k);
      }
    }
    SelectInternal(i);
    if (visibleSelection_) RefreshView(false);
    NotifyListeners();
  }
  currentShift_ = saved;
}

void TImagingMView::HostMouseDown(TPxMouseButton button, TPxShiftState shift, int32_t x,
                                  int32_t y) {
  UserAction action(*this);
  currentShift_ = shift;
  if (OnMouseDown) OnMouseDown(this, button, shift, x, y);
  // The second press of a double click selects nothing.
  if (shift & ssDouble) return;
  if (Host()) Host()->HostSetFocus();
  pressX_ = x;
  pressY_ = y;
  pressViewX_ = viewX_;
  pressViewY_ = viewY_;
  pressIndex_ = lastUnderPointer_ = ImageAtPos(x, y);
  pressed_ = true;
  shiftRange_ = false;
  selectionChanged_ = false;
  if ((MultiSelectionOptions & pxmoSelectOnMouseUp) || button != mbLeft ||
      !(MouseInteract & mmiSelect))
    return;
  if (shift & ssShift) {
    const int anchor = anchor_ < 0 ? 0 : anchor_;
    ClearSelection(false);
    currentShift_ = 0;  // the anchor alone
    SelectInternal(anchor);
    currentShift_ = shift;
    SelectAt(x, y, ssShift);
    shiftRange_ = true;
  } else if (!(enableMultiSelect_ && pressIndex_ >= 0 &&
               std::find(multiSelected_.begin(), multiSelected_.end(), pressIndex_) !=
                   multiSelected_.end())) {
    anchor_ = pressIndex_;
    SelectAt(x, y, shift);
  }
}

void TImagingMView::HostMouseMove(TPxShiftState shift, int32_t x, int32_t y) {
  if (!pressed_) return;
  UserAction action(*this);
  currentShift_ = shift;
  if ((MouseInteract & mmiSelect) && enableMultiSelect_) {
    const int i = ImageAtPos(x, y);
    if (i >= 0 && i != lastUnderPointer_) {
      lastUnderPointer_ = i;
      ClearSelection(false);
      currentShift_ = 0;
      SelectInternal(pressIndex_ < 0 ? 0 : pressIndex_);
      SelectAt(x, y, ssShift);
      currentShift_ = shift;
    }
  }
  if (MouseInteract & mmiScroll) {
    SetViewXY(pressViewX_ + pressX_ - x, pressViewY_ + pressY_ - y);
    DoViewChange(0);
  }
}

void TImagingMView::HostMouseUp(TPxMouseButton button, TPxShiftState shift, int32_t x,
                                int32_t y) {
  if (!pressed_) return;
  pressed_ = false;
  if (button != mbLeft) return;
  UserAction action(*this);
  currentShift_ = shift;
  if (MultiSelectionOptions & pxmoSelectOnMouseUp) {
    if ((MouseInteract & mmiSelect) && !shiftRange_) SelectAt(x, y, shift);
  } else if ((MouseInteract & mmiSelect) && !selectionChanged_) {
    // A click on an entry already in a multi-selection selects it alone now.
    SelectAt(x, y, shift);
  }
  if (MouseInteract & mmiScroll) SetViewXY(pressViewX_ + pressX_ - x, pressViewY_ + pressY_ - y);
}

void TImagingMView::HostKeyDown(int32_t key, TPxShiftState shift) {
  if (!(KeyInteract & mkiMoveSelected) || key < vkPrior || key > vkDown) return;
  if (ImageCount() == 0) return;
  UserAction action(*this);
  currentShift_ = shift;
  keyboardExtend_ = enableMultiSelect_ && (shift & (ssShift | ssCtrl));
  MoveSelection(key);
  keyboardExtend_ = false;
  DoViewChange(0);
  RefreshView(false);
}

void TImagingMView::MoveSelection(int32_t key) {
  const int n = ImageCount();
  if (n == 0) return;
  const int sel = selectedImage_;
  const int32_t cols = Columns();
  const int32_t cw = ClientWidth(), ch = ClientHeight();
  const int32_t tw = thumbWidth_, th = thumbHeight_, hb = horizBorder_, vb = vertBorder_;
  // At least one entry a page, also for one row or a client lower than a cell.
  const int32_t rows = std::max(1, (ch - vb) / (vb + th));
  const int perPage =
      cols > 0 ? cols * rows : std::max(1, (cw - hb) / std::max(1, hb + tw));
  auto shown = [&](int i) { return IsImageVisible(i) == 2; };
  auto scrollUp = [&](int i) {
    const TPxMViewEntry* e = EntryAt(i);
    if (!e || shown(i)) return;
    SetViewY(e->Y - vb);
    if (!shown(i)) SetViewX(e->X - hb);
  };
  auto scrollDown = [&](int i) {
    const TPxMViewEntry* e = EntryAt(i);
    if (!e || shown(i)) return;
    SetViewY(e->Y + th + vb - ch);
    if (!shown(i)) SetViewX(e->X + tw + hb - cw);
  };
  auto select = [&](int t) {
    if (t < 0 || t >= n) return false;
    SetSelectedImage(t);
    return true;
  };
  const bool oneRow = gridWidth_ == 0 || cols <= 0;
  switch (key) {
    case vkLeft: {
      if (sel < 0 || !select(sel - 1)) return;
      const TPxMViewEntry* e = EntryAt(sel - 1);
      if (!shown(sel - 1)) SetViewXY(e->X - hb, e->Y - vb);
      break;
    }
    case vkRight: {
      const int t = sel < 0 ? 0 : sel + 1;
      if (!select(t)) return;
      const TPxMViewEntry* e = EntryAt(t);
      if (!shown(t)) SetViewXY(e->X + tw + hb - cw, e->Y + th + vb - ch);
      break;
    }
    case vkUp: {
      if (sel < 0) return;
      const int t = oneRow ? sel - 1 : std::max(sel - cols, 0);
      if (select(t)) scrollUp(t);
      break;
    }
    case vkDown: {
      // Without a selection the first entry, as for the next one.
      const int t = sel < 0 ? 0 : oneRow ? sel + 1 : std::min(sel + cols, n - 1);
      if (select(t)) scrollDown(t);
      break;
    }
    case vkHome:
      if (select(0) && !shown(0)) SetViewXY(0, 0);
      break;
    case vkEnd:
      if (select(n - 1)) scrollDown(n - 1);
      break;
    case vkNext: {
      const int t = std::min(std::max(sel, 0) + (sel < 0 ? 0 : perPage), n - 1);
      if (select(t)) scrollDown(t);
      break;
    }
    case vkPrior: {
      if (sel < 0) return;
      const int t = std::max(sel - perPage, 0);
      if (select(t)) scrollUp(t);
      break;
    }
    default: break;
  }
}

TPxBitmap* TImagingMView::HostPaint(int32_t x, int32_t y, int32_t width, int32_t height) {
  // A background load finished: compose anew.
  if (pendingRepaint_.exchange(false)) MarkBackBufferDirty();
  return TPxView::HostPaint(x, y, width, height);
}
