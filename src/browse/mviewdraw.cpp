// Drawing of the thumbnail grid: the whole client area into the back buffer,
// one cell at a time, and the placeholder of a picture that cannot be read.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "browse/imagingmview.h"
#include "imaging/proc/imagingproc.h"
#include "imaging/view/render.h"

using TLock = std::lock_guard<std::recursive_mutex>;

namespace {

// Rectangle outline of one pixel, right and bottom exclusive.
void FrameRect(TPxBitmap& b, int32_t l, int32_t t, int32_t r, int32_t bo, TColor c) {
  if (r <= l || bo <= t) return;
  PxFillRect(b, TRect{l, t, r, t + 1}, c);
  PxFillRect(b, TRect{l, bo - 1, r, bo}, c);
  PxFillRect(b, TRect{l, t, l + 1, bo}, c);
  PxFillRect(b, TRect{r - 1, t, r, bo}, c);
}

// Two-colour edges on the inclusive rectangle: left and top in the first
// colour, right and bottom in the second.
void Frame3D(TPxBitmap& b, int32_t l, int32_t t, int32_t r, int32_t bo, TColor first,
             TColor second) {
  if (r < l || bo < t) return;
  PxFillRect(b, TRect{l, t, r + 1, t + 1}, first);
  PxFillRect(b, TRect{l, t, l + 1, bo + 1}, first);
  PxFillRect(b, TRect{l, bo, r + 1, bo + 1}, second);
  PxFillRect(b, TRect{r, t, r + 1, bo + 1}, second);
}

void DrawUnscaled(TPxBitmap& dest, TPxBitmap& picture, int32_t x, int32_t y, bool useAlpha) {
  TPxRenderParams p;
  p.Filter = rfNone;
  p.UseAlpha = useAlpha && picture.HasAlphaChannel() && !picture.AlphaIsFull();
  p.SourceWidth = picture.Width();
  p.SourceHeight = picture.Height();
  p.DestLeft = x;
  p.DestTop = y;
  p.DestWidth = picture.Width();
  p.DestHeight = picture.Height();
  RenderTo(picture, dest, p);
}

bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c < 0xE000; }

}  // namespace

void TImagingMView::MeasureText(const TPxMText& text, const std::u16string& s, int32_t& tw,
                                int32_t& th) const {
  tw = th = 0;
  if (TPxViewHost* host = Host()) host->HostMeasureText(s, text.Font, tw, th);
}

int32_t TImagingMView::TextHeight(const TPxMText& text) const {
  int32_t tw = 0, th = 0;
  MeasureText(text, text.Caption(), tw, th);
  return th;
}

std::u16string TImagingMView::FitCaption(const TPxMText& text, int32_t w, int32_t& tw,
                                         int32_t& th) const {
  const std::u16string& caption = text.Caption();
  MeasureText(text, caption, tw, th);
  if (tw <= w) return caption;
  // Shortened from the front, so that the end of a long file name stays readable.
  std::u16string s;
  for (size_t k = 1; k < caption.size(); ++k) {
    if (IsLowSurrogate(caption[k])) continue;  // never half a character
    s = u"..." + caption.substr(k);
    MeasureText(text, s, tw, th);
    if (tw <= w) return s;
  }
  s = u"...";
  MeasureText(text, s, tw, th);
  return s;
}

void TImagingMView::DrawWallPaper(TPxBitmap& bitmap) {
  if (wallPaper_.IsEmpty()) return;
  const int32_t cw = bitmap.Width(), ch = bitmap.Height();
  TPxRenderParams p;
  p.SourceWidth = wallPaper_.Width();
  p.SourceHeight = wallPaper_.Height();
  p.UseAlpha = enableAlphaChannel_ && !wallPaper_.AlphaIsFull();
  switch (wallPaperStyle_) {
    case pxwoStretch:
      p.DestWidth = cw;
      p.DestHeight = ch;
      RenderTo(wallPaper_, bitmap, p);
      break;
    case pxwoTile:
      for (int32_t y = 0; y < ch; y += wallPaper_.Height())
        for (int32_t x = 0; x < cw; x += wallPaper_.Width()) {
          p.DestLeft = x;
          p.DestTop = y;
          p.DestWidth = wallPaper_.Width();
          p.DestHeight = wallPaper_.Height();
          RenderTo(wallPaper_, bitmap, p);
        }
      break;
    default:
      p.DestWidth = wallPaper_.Width();
      p.DestHeight = wallPaper_.Height();
      RenderTo(wallPaper_, bitmap, p);
      break;
  }
}

void TImagingMView::FillCellPart(TPxBitmap& bitmap, const TRect& cell, TRect part, TColor color,
                                 bool solid) {
  if (solid || thumbsBackgroundStyle_ == pxbsSolid) {
    PxFillRect(bitmap, part, color);
    return;
  }
  const int32_t w = cell.Width(), h = cell.Height();
  if (w <= 0 || h <= 0) return;
  if (cellPattern_.Width() != w || cellPattern_.Height() != h ||
      cellPatternStyle_ != thumbsBackgroundStyle_ || cellPatternColor_ != color) {
    if (!cellPattern_.Allocate(w, h, pxRGB24)) return;
    PxDrawBackground(cellPattern_, thumbsBackgroundStyle_, color, GradientEndColor, ChessboardSize,
                     TRect{0, 0, w, h});
    cellPatternStyle_ = thumbsBackgroundStyle_;
    cellPatternColor_ = color;
  }
  part.Left = std::max({part.Left, cell.Left, 0});
  part.Top = std::max({part.Top, cell.Top, 0});
  part.Right = std::min({part.Right, cell.Right, bitmap.Width()});
  part.Bottom = std::min({part.Bottom, cell.Bottom, bitmap.Height()});
  if (part.IsEmpty() || bitmap.PixelFormat() != pxRGB24) return;
  const size_t bytes = size_t(part.Width()) * 3;
  for (int32_t y = part.Top; y < part.Bottom; ++y)
    std::memcpy(bitmap.Scanline(y) + size_t(part.Left) * 3,
                cellPattern_.Scanline(y - cell.Top) + size_t(part.Left - cell.Left) * 3, bytes);
}

void TImagingMView::DrawWrongImage(TPxBitmap& bitmap, int index) {
  if (OnWrongImage) {
    bitmap.Allocate(thumbWidth_, thumbHeight_, pxRGB24);
    bool handled = false;
    OnWrongImage(this, bitmap, index, handled);
    if (handled) return;
  }
  if (!bitmap.Allocate(thumbWidth_, thumbHeight_, pxRGB24)) return;
  bitmap.Fill(clWhite);
  TPxViewHost* host = Host();
  if (!host) return;
  const TPxFont font{"Arial", thumbHeight_, true};
  int32_t tw = 0, th = 0;
  host->HostMeasureText(u"?", font, tw, th);
  const int32_t x = (bitmap.Width() - tw) / 2, y = (bitmap.Height() - th) / 2;
  host->HostDrawText(bitmap, u"?", font, clGray, x + 3, y + 3, 0, 0, bitmap.Width(),
                     bitmap.Height());
  // Blue in the platform's blue-green-red order.
  host->HostDrawText(bitmap, u"?", font, 0xFF0000, x, y, 0, 0, bitmap.Width(), bitmap.Height());
}

void TImagingMView::PaintTo(TPxBitmap& bitmap) {
  if (pendingNotify_.exchange(false)) NotifyListeners();
  PublishLoadState();
  DrawBackground(bitmap, TRect{});
  DrawWallPaper(bitmap);

  bool restart = true;
  int firstVisible = -1, lastVisible = -1;
  bool allDisplayed = true, loaded = false;
  while (restart) {
    restart = false;
    firstVisible = lastVisible = -1;
    allDisplayed = true;
    const int count = ImageCount();
    const int n = displayMode_ == mdSingle ? std::min(count, 1) : count;
    for (int k = 0; k < n; ++k) {
      if (OnDrawProgress && n > 1) OnDrawProgress(this, int(std::lrint(double(k) / n * 100)), k);
      TPxMViewEntry* e = EntryAt(k);
      if (!e || !EntryVisible(*e)) continue;
      if (firstVisible < 0) firstVisible = k;
      // The largest visible index: with columns scrolled sideways the
      // visible entries need not follow one another.
      lastVisible = k;
      bool has = false, failed = false;
      {
        TLock lock(PxThumbnailLock());
        has = e->Image || e->CellPicture;
        failed = e->LoadFailed;
      }
      if (!has) {
        if (failed) {
          // A background load failed: its placeholder is drawn here, on
          // the grid's own thread.
          PlaceholderFor(k);
          loaded = true;
        } else if (k == selectedImage_ || threadPoolSize_ == 0 || !QueueImageLoad(k)) {
          const bool ok = LoadImageNow(k);
          loaded = true;
          if (!ok && removeCorrupted_) {
            DeleteImage(k);
            UpdateLayout();
            DrawBackground(bitmap, TRect{});
            DrawWallPaper(bitmap);
            restart = true;
            break;
          }
        }
      }
      e = EntryAt(k);
      if (!e) continue;
      if (!has) {
        // Loaded in this pass (here or by a loader that was quick), it is
        // displayed and news; still queued, it is not displayed yet.
        TLock lock(PxThumbnailLock());
        if (!e->Image && !e->CellPicture)
          allDisplayed = false;
        else
          loaded = true;
      }
      const bool selected = IsSelected(k) && visibleSelection_ && displayMode_ == mdGrid;
      DrawCell(bitmap, *e, k, selected);
    }
  }

  // Far images go; their cell pictures stay and are what is drawn.
  if (firstVisible >= 0) {
    TLock lock(PxThumbnailLock());
    for (int i = 0; i < (int)entries_.size(); ++i) {
      if (i >= firstVisible - kPxMViewKeepAround && i <= lastVisible + kPxMViewKeepAround) continue;
      TPxMViewEntry& e = *entries_[size_t(i)];
      if (e.Image && CanReload(e)) DropImage(e);
    }
  }
  if (OnDrawProgress && ImageCount() > 1) OnDrawProgress(this, 100, 0);
  if (OnAllDisplayed && allDisplayed && (!allDisplayed_ || loaded)) OnAllDisplayed(this);
  allDisplayed_ = allDisplayed;
}

void TImagingMView::DrawCell(TPxBitmap& bitmap, TPxMViewEntry& entry, int index, bool selected) {
  TLock lock(PxThumbnailLock());
  int32_t x = entry.X - viewX_, y = entry.Y - viewY_;
  int32_t w = thumbWidth_, h = thumbHeight_;
  if (OnBeforeImageDraw) OnBeforeImageDraw(this, index, x, y, bitmap);
  const bool exHandler = bool(OnBeforeImageDrawEx);
  if (exHandler) {
    TRect r{0, 0, w, h};
    OnBeforeImageDrawEx(this, index, x, y, bitmap, r);
    w = r.Width();
    h = r.Height();
    x += r.Left;
    y += r.Top;
  }
  const TPxMText& top = *entry.TopText;
  const TPxMText& bottom = *entry.BottomText;
  const TPxMText& info = *entry.InfoText;
  const int32_t hi = info.Caption().empty() ? 0 : TextHeight(info);
  const int32_t ah = h - bottomGap_ - upperGap_ - hi;
  const bool acdSelected = selected && selectionStyle_ == pxssACD;
  const TColor cellColor = acdSelected          ? clHighlight
                           : drawImageBackground_ ? entry.BackgroundColor
                                                  : ThumbnailsBackground;
  // The highlight of a selected cell is always solid.
  const TRect cellRect{x, y, x + w, y + h};
  FillCellPart(bitmap, cellRect, cellRect, cellColor, acdSelected);

  int32_t fw = 0, fh = 0, ix = x, iy = y;
  auto place = [&] {
    ix = x + (w - fw) / 2;
    iy = y + (ah - fh) / 2 + upperGap_;
  };
  if (!entry.CellPicture && entry.Image) {
    const int32_t iw = imageStore_->ImageWidth(entry.Image);
    const int32_t ih = imageStore_->ImageHeight(entry.Image);
    FitSize(iw, ih, w, ah, fw, fh);
    place();
    TPxBitmap source;
    if (iw >= 1 && ih > 0 && imageStore_->CopyToBitmap(entry.Image, source)) {
      // Resampled once, into the cell picture; later paints draw that as it is.
      TPxBitmap cell;
      bool made = false;
      if (fw == iw && fh == ih) {
        cell.TakeOver(source);
        made = true;
      } else if (source.PixelFormat() == px1g && (fw < iw || fh < ih)) {
        made = cell.Allocate(fw, fh, pxRGB24);
        if (made) ResampleBitmap(source, cell, rfFastLinear);
      } else {
        made = cell.Allocate(fw, fh, source.PixelFormat());
        if (made) ResampleBitmap(source, cell, rfNone);
      }
      if (made) {
        entry.ThumbRect = TRect{0, 0, fw, fh};
        DrawUnscaled(bitmap, cell, ix, iy, enableAlphaChannel_);
        entry.CellPicture = cellStore_->AddBitmap(cell);
      }
    }
  } else if (entry.CellPicture) {
    fw = cellStore_->ImageWidth(entry.CellPicture);
    fh = cellStore_->ImageHeight(entry.CellPicture);
    place();
    TPxBitmap cell;
    if (cellStore_->CopyToBitmap(entry.CellPicture, cell))
      DrawUnscaled(bitmap, cell, ix, iy, enableAlphaChannel_);
  }
  const bool hasPicture = entry.Image || entry.CellPicture;
  if (hasPicture) {
    if (thumbsInternalBorder_) {
      const TRect& t = entry.ThumbRect;
      FrameRect(bitmap, ix + t.Left, iy + t.Top, ix + t.Right, iy + t.Bottom,
                thumbsInternalBorderColor_);
    }
    FillCellPart(bitmap, cellRect, TRect{x, y, ix, y + h}, cellColor, acdSelected);
    FillCellPart(bitmap, cellRect, TRect{ix + fw, y, x + w, y + h}, cellColor, acdSelected);
    FillCellPart(bitmap, cellRect, TRect{ix, y, ix + fw, iy}, cellColor, acdSelected);
    FillCellPart(bitmap, cellRect, TRect{ix, iy + fh, ix + fw, y + h}, cellColor, acdSelected);
  }

  // Captions.
  TPxViewHost* host = Host();
  const TColor textColor = acdSelected ? clHighlightText : clWindowText;
  int32_t bottomTh = 0;
  auto drawText = [&](const TPxMText& t, const std::u16string& s, int32_t tx, int32_t ty) {
    if (host)
      host->HostDrawText(bitmap, s, t.Font, textColor, tx, ty, cellRect.Left, cellRect.Top,
                         cellRect.Right, cellRect.Bottom);
  };
  if (!top.Caption().empty()) {
    int32_t tw = 0, th = 0;
    const std::u16string s = FitCaption(top, w, tw, th);
    const int32_t tx = x + (w - tw) / 2;
    PxFillRect(bitmap, TRect{tx, y, tx + tw, y + th}, acdSelected ? clHighlight : top.Background);
    drawText(top, s, tx, y);
  }
  if (!info.Caption().empty()) {
    int32_t tw = 0, th = 0;
    const std::u16string s = FitCaption(info, w, tw, th);
    const int32_t tx = x + (w - tw) / 2, ty = y + h - bottomGap_ - hi;
    PxFillRect(bitmap, TRect{tx, ty, tx + tw, ty + th}, acdSelected ? clHighlight : info.Background);
    drawText(info, s, tx, ty);
  }
  if (!bottom.Caption().empty()) {
    int32_t tw = 0, th = 0;
    const std::u16string s = FitCaption(bottom, w, tw, th);
    bottomTh = th;
    PxFillRect(bitmap, TRect{x, y + h - th - 1, x + w, y + h},
               acdSelected ? clHighlight : bottom.Background);
    drawText(bottom, s, x + 1 + (w - tw - 2) / 2, y + h - th - 1);
  }

  if (style_ == pxmsACD) {
    if (hasPicture) Frame3D(bitmap, ix, iy, ix + fw - 1, iy + fh - 1, clGray, clWhite);
    if (upperGap_ > 0 || bottomGap_ > 0 || !info.Caption().empty()) {
      const int32_t tb = bottom.Caption().empty() ? 0 : bottomTh + 3;
      Frame3D(bitmap, x, y, x + w - 1, y + h - 1 - tb, clWhite, clBlack);
    }
    if (!bottom.Caption().empty())
      Frame3D(bitmap, x, y + h - bottomTh - 1, x + w - 1, y + h - 1, clGray, clWhite);
  }

  if (OnImageDraw) OnImageDraw(this, index, x, y, bitmap);
  for (int32_t i = 1; i <= thumbsBorderWidth_; ++i)
    FrameRect(bitmap, x - i, y - i, x + w + i, y + h + i, thumbsBorderColor_);
  if (selected && selectionStyle_ == pxssAround && !exHandler) {
    const int32_t rings = focused_ ? selectionWidth_ : 1;
    for (int32_t i = 1; i <= rings; ++i)
      FrameRect(bitmap, x - i, y - i, x + w + i, y + h + i, selectionColor_);
  }
}
