// What the thumbnail grid tests share: a host that records the text it is
// asked to measure and draw, picture files, and waiting for a condition.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "browse/imagingmview.h"
#include "imaging/io/imagingio.h"
#include "util/testutil.h"

namespace mviewtest {

// Text is measured as 7 pixels a character and 13 rows (the control's
// font); a font of its own size N as N / 2 wide and N high.
class FakeHost : public TPxViewHost {
 public:
  struct DrawCall {
    std::u16string Text;
    TPxFont Font;
    uint32_t Color;
    int32_t X, Y, ClipLeft, ClipTop, ClipRight, ClipBottom;
  };

  void HostInvalidate() override { ++Invalidates; }
  void HostRepaintNow() override {}
  void HostSetCursor(int32_t) override {}
  void HostSetScrollBar(bool horizontal, bool visible, int32_t max, int32_t page,
                        int32_t pos) override {
    Bar& b = horizontal ? HBar : VBar;
    b = Bar{visible, max, page, pos};
  }
  void HostSetTimer(int32_t, int32_t) override {}
  void HostPointerPos(int32_t& x, int32_t& y) const override { x = y = 0; }
  void HostSetFocus() override { ++FocusRequests; }
  bool HostMeasureText(const std::u16string& text, const TPxFont& font, int32_t& width,
                       int32_t& height) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Measured.push_back(text);
    if (font.Size > 0) {
      width = int32_t(text.size()) * font.Size / 2;
      height = font.Size;
    } else {
      width = int32_t(text.size()) * 7;
      height = 13;
    }
    return true;
  }
  void HostDrawText(TPxBitmap& target, const std::u16string& text, const TPxFont& font,
                    uint32_t color, int32_t x, int32_t y, int32_t cl, int32_t ct, int32_t cr,
                    int32_t cb) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Drawn.push_back(DrawCall{text, font, color, x, y, cl, ct, cr, cb});
    // One pixel of ink where the text starts, so that a test can see it.
    if (x >= cl && x < cr && y >= ct && y < cb && x >= 0 && y >= 0 && x < target.Width() &&
        y < target.Height() && target.PixelFormat() == pxRGB24) {
      uint8_t* p = target.Scanline(y) + size_t(x) * 3;
      p[0] = uint8_t(color >> 16);
      p[1] = uint8_t(color >> 8);
      p[2] = uint8_t(color);
    }
  }
  void HostPostInvalidate() override { ++Posted; }

  std::vector<DrawCall> DrawnCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return Drawn;
  }
  void ClearDrawn() {
    std::lock_guard<std::mutex> lock(mutex_);
    Drawn.clear();
  }

  struct Bar {
    bool Visible = false;
    int32_t Max = 0, Page = 0, Pos = 0;
  };
  Bar HBar, VBar;
  int Invalidates = 0;
  int FocusRequests = 0;
  std::atomic<int> Posted{0};
  std::vector<std::u16string> Measured;
  std::vector<DrawCall> Drawn;

 private:
  std::mutex mutex_;
};

// A grid on a fake host with a client area of the given size.
struct HostedGrid {
  explicit HostedGrid(int clientWidth = 400, int clientHeight = 300) {
    grid = std::make_unique<TImagingMView>();
    grid->AttachHost(&host);
    Resize(clientWidth, clientHeight);
  }
  ~HostedGrid() { grid.reset(); }
  void Resize(int w, int h) { grid->HostResized(w, h, w + 4, h + 4); }
  // Paints as the host does, composing when out of date.
  TPxBitmap& Paint() {
    TPxBitmap* b = grid->HostPaint(0, 0, grid->ClientWidth(), grid->ClientHeight());
    EXPECT_NE(b, nullptr);
    return *b;
  }
  FakeHost host;
  std::unique_ptr<TImagingMView> grid;
};

inline TBGR PixelAt(const TPxBitmap& b, int x, int y) {
  const uint8_t* p = b.Scanline(y) + size_t(x) * 3;
  return TBGR{p[0], p[1], p[2]};
}

// A picture file of one colour (colour reference, red in the low byte).
inline void WritePicture(const std::string& name, int width, int height, uint32_t color,
                         TPxPixelFormat pf = pxRGB24) {
  TPxBitmap b;
  ASSERT_TRUE(b.Allocate(width, height, pf));
  b.Fill(pf == pxRGB24 ? double(color) : 255.0);
  TImagingIO io;
  io.SetTargetBitmap(&b);
  io.Params.JpegQuality = 95;
  io.SaveToFile(name);  // the type by the name's extension
  ASSERT_FALSE(io.Aborting) << name;
}

// Waits for a condition that another thread brings about; false when it
// has not come after a generous time (nothing here measures speed).
inline bool WaitFor(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Paints until every visible entry has its image (background loads deliver
// between paints); false when that does not happen.
inline bool PaintUntilLoaded(HostedGrid& g, int first, int last) {
  return WaitFor([&] {
    g.Paint();
    for (int i = first; i <= last; ++i)
      if (!g.grid->HasImage(i) && !g.grid->HasCellPicture(i)) {
        g.grid->Invalidate();
        return false;
      }
    return true;
  });
}

}  // namespace mviewtest
