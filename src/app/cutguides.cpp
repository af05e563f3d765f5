#include "app/cutguides.h"

#include <algorithm>
#include <cmath>

namespace {

enum Direction { kLeft, kRight, kUp, kDown };

// Shortens a stroke that grows from the picture's corner in `way` until no
// picture lies in it; false when nothing of it is left.
bool KeepClear(TPxDeviceRect& s, Direction way, const std::vector<TPxDeviceRect>& pictures) {
  int64_t a = way == kLeft || way == kRight ? s.X : s.Y;
  int64_t b = a + (way == kLeft || way == kRight ? s.W : s.H);
  for (const TPxDeviceRect& p : pictures) {
    if (p.W <= 0 || p.H <= 0) continue;
    const bool horizontal = way == kLeft || way == kRight;
    // The picture must share the stroke's rows (columns) to be in its way.
    const int64_t across0 = horizontal ? s.Y : s.X, across1 = across0 + (horizontal ? s.H : s.W);
    const int64_t p0 = horizontal ? p.Y : p.X, p1 = p0 + (horizontal ? p.H : p.W);
    if (p1 <= across0 || p0 >= across1) continue;
    const int64_t q0 = horizontal ? p.X : p.Y, q1 = q0 + (horizontal ? p.W : p.H);
    if (q1 <= a || q0 >= b) continue;
    // The corner's end stays; the far end comes back to the picture's edge.
    if (way == kLeft || way == kUp) a = std::max(a, q1);
    else b = std::min(b, q0);
    if (a >= b) return false;
  }
  if (way == kLeft || way == kRight) s.X = int32_t(a), s.W = int32_t(b - a);
  else s.Y = int32_t(a), s.H = int32_t(b - a);
  return true;
}

}  // namespace

std::vector<TPxDeviceRect> CutGuideMarks(const std::vector<TPxDeviceRect>& pictures, int32_t dpiX,
                                         int32_t dpiY) {
  const int32_t thickX = std::max(1, int32_t(std::lround(dpiX / 100.0)));
  const int32_t thickY = std::max(1, int32_t(std::lround(dpiY / 100.0)));
  const int32_t longX = std::max(1, int32_t(std::lround(dpiX / 4.0)));
  const int32_t longY = std::max(1, int32_t(std::lround(dpiY / 4.0)));
  std::vector<TPxDeviceRect> marks;
  auto add = [&](TPxDeviceRect s, Direction way) {
    if (KeepClear(s, way, pictures)) marks.push_back(s);
  };
  for (const TPxDeviceRect& p : pictures) {
    if (p.W <= 0 || p.H <= 0) continue;
    const int32_t right = p.X + p.W, bottom = p.Y + p.H;
    for (const int32_t y : {p.Y, bottom - thickY}) {
      add({p.X - longX, y, longX, thickY}, kLeft);
      add({right, y, longX, thickY}, kRight);
    }
    for (const int32_t x : {p.X, right - thickX}) {
      add({x, p.Y - longY, thickX, longY}, kUp);
      add({x, bottom, thickX, longY}, kDown);
    }
  }
  return marks;
}

void PrintCutGuides(TPxPrinterCanvas& canvas, const std::vector<TPxDeviceRect>& pictures) {
  for (const TPxDeviceRect& m : CutGuideMarks(pictures, canvas.DpiX(), canvas.DpiY()))
    PxFillDeviceRect(canvas, m, TBGR{0, 0, 0});
}
