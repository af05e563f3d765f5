// The meeting point of a view and the window that hosts it. A view keeps its
// logic and drawing in plain C++ and paints into a back buffer; the host (a
// platform widget) shows that buffer and passes input on in client pixels.
#pragma once

#include <cstdint>
#include <string>

class TPxBitmap;

// A font of the text service. An empty name and size 0 mean the control's
// own font (the platform's user-interface font unless the owner changed it).
struct TPxFont {
  std::string Name;  // family, e.g. "Arial"
  int32_t Size = 0;  // points
  bool Bold = false;
  friend bool operator==(const TPxFont&, const TPxFont&) = default;
};

enum TPxMouseButton : uint8_t { mbLeft = 0, mbRight = 1, mbMiddle = 2 };

// Keys and buttons held during an input event.
using TPxShiftState = uint16_t;
inline constexpr TPxShiftState ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16,
                               ssMiddle = 32, ssDouble = 64;

// Key codes of HostKeyDown and HostKeyUp for the keys views act on: the
// platform's virtual-key numbers. Hosts translate their own codes to these.
inline constexpr int32_t vkPrior = 33, vkNext = 34, vkEnd = 35, vkHome = 36, vkLeft = 37,
                         vkUp = 38, vkRight = 39, vkDown = 40;

// Cursor numbers understood by hosts. 0 is the platform's arrow; the view's
// own cursors are numbered 1778 to 1810.
inline constexpr int32_t crDefault = 0;
inline constexpr int32_t crHand = 1782;      // "MANO": scrolling by dragging
inline constexpr int32_t crCross = 1785;     // "CROCE3": a view's default cursor
inline constexpr int32_t crSizeNWSE = 1786;  // "MOVE2": top-left and bottom-right grips
inline constexpr int32_t crSizeNS = 1787;    // "MOVEY": top and bottom grips
inline constexpr int32_t crSizeNESW = 1788;  // "MOVE1": top-right and bottom-left grips
inline constexpr int32_t crSizeWE = 1789;    // "MOVEX": left and right grips
inline constexpr int32_t crMoveLayer = 1790; // "MOVE": over a movable layer

// What a view asks of its host.
class TPxViewHost {
 public:
  virtual ~TPxViewHost() = default;
  // The back buffer changed: show it at the next paint.
  virtual void HostInvalidate() = 0;
  // Show the back buffer now (during a drag the event loop does not run).
  virtual void HostRepaintNow() = 0;
  virtual void HostSetCursor(int32_t cursor) = 0;
  // max 0 with visible false hides the bar.
  virtual void HostSetScrollBar(bool horizontal, bool visible, int32_t max, int32_t page,
                                int32_t pos) = 0;
  // A repeating timer delivering HostTimer(id); an interval of 0 stops it.
  virtual void HostSetTimer(int32_t id, int32_t intervalMs) = 0;
  // Where the pointer is now, in client pixels.
  virtual void HostPointerPos(int32_t& x, int32_t& y) const = 0;
  virtual void HostSetFocus() = 0;

  // Text service, for views that write captions. The defaults suit hosts
  // that show no text: nothing is measured (0 x 0, false) or drawn.
  // The size of one line of text in the font.
  virtual bool HostMeasureText(const std::u16string& /*text*/, const TPxFont& /*font*/,
                               int32_t& width, int32_t& height) {
    width = height = 0;
    return false;
  }
  // Draws one line with its top-left corner at (x, y) into a 24-bit bitmap
  // (the back buffer or a picture of the view) in a colour reference (red in
  // the low byte), over what is there, clipped to the bitmap and to the
  // columns clipLeft .. clipRight - 1 and rows clipTop .. clipBottom - 1.
  virtual void HostDrawText(TPxBitmap& /*target*/, const std::u16string& /*text*/,
                            const TPxFont& /*font*/, uint32_t /*color*/, int32_t /*x*/,
                            int32_t /*y*/, int32_t /*clipLeft*/, int32_t /*clipTop*/,
                            int32_t /*clipRight*/, int32_t /*clipBottom*/) {}
  // Safe from any thread: asks for a repaint on the host's own thread (a
  // worker finished something the view shows). The default does nothing; such
  // a host shows the change at its next paint.
  virtual void HostPostInvalidate() {}
};

// A host without a screen (a command-line tool, a benchmark): the view's
// requests go nowhere and no pointer is over it.
class TPxNoScreenHost : public TPxViewHost {
 public:
  void HostInvalidate() override {}
  void HostRepaintNow() override {}
  void HostSetCursor(int32_t) override {}
  void HostSetScrollBar(bool, bool, int32_t, int32_t, int32_t) override {}
  void HostSetTimer(int32_t, int32_t) override {}
  void HostPointerPos(int32_t& x, int32_t& y) const override { x = y = -1; }
  void HostSetFocus() override {}
};

// What a host calls on its view. Every view type derives from it.
class TPxHostedView {
 public:
  virtual ~TPxHostedView() = default;

  void AttachHost(TPxViewHost* host) { host_ = host; }
  TPxViewHost* Host() const { return host_; }

  // The client area (inside the border) and the whole control changed size.
  virtual void HostResized(int32_t clientWidth, int32_t clientHeight, int32_t controlWidth,
                           int32_t controlHeight) = 0;
  // The up-to-date back buffer (24 bits, client size), composed first when
  // out of date. The rectangle is the part about to be shown.
  virtual TPxBitmap* HostPaint(int32_t x, int32_t y, int32_t width, int32_t height) = 0;
  virtual void HostMouseDown(TPxMouseButton button, TPxShiftState shift, int32_t x, int32_t y) = 0;
  virtual void HostMouseMove(TPxShiftState shift, int32_t x, int32_t y) = 0;
  virtual void HostMouseUp(TPxMouseButton button, TPxShiftState shift, int32_t x, int32_t y) = 0;
  virtual void HostWheel(TPxShiftState, int32_t /*delta*/, int32_t /*x*/, int32_t /*y*/) {}
  virtual void HostKeyDown(int32_t /*key*/, TPxShiftState) {}
  virtual void HostKeyUp(int32_t /*key*/, TPxShiftState) {}
  virtual void HostFocusChanged(bool /*focused*/) {}
  // The user moved a scroll bar to pos (in the units last given to HostSetScrollBar).
  virtual void HostScrolled(bool /*horizontal*/, int32_t /*pos*/) {}
  virtual void HostTimer(int32_t /*id*/) {}
  // The tooltip for client point (x, y); empty for none.
  virtual std::string HostToolTip(int32_t /*x*/, int32_t /*y*/) { return {}; }

 private:
  TPxViewHost* host_ = nullptr;  // not owned
};
