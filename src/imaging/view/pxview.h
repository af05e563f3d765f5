// TPxView: what every view control of the imaging layer shares (the image
// view, the thumbnail grid): background colour, border, control size and the
// listeners attached to its content. Plain C++: the platform layer gives a
// view its window and forwards size changes and paint requests to it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

// A colour reference: red in the low byte (0x00BBGGRR).
using TColor = uint32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clNavy = 0x800000;
// The usual button-face colour of desktop themes (there is no system palette here).
inline constexpr TColor clBtnFace = 0xF0F0F0;

enum TBorderStyle : uint8_t { bsNone, bsSingle };

// Integer rectangle, right and bottom included where the users say so.
struct TRect {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Right = 0;
  int32_t Bottom = 0;
  int32_t Width() const { return Right - Left; }
  int32_t Height() const { return Bottom - Top; }
  friend bool operator==(const TRect&, const TRect&) = default;
};

// Width of the 3-D edge the platform draws around a sunken control.
inline constexpr int kPxEdgeSize = 2;

class TPxView {
 public:
  // Called with detach = false when the view's working bitmap changed, and
  // once with detach = true when the view goes away.
  using TBitmapChangeEvent = std::function<void(bool detach)>;

  TPxView();
  virtual ~TPxView();
  TPxView(const TPxView&) = delete;
  TPxView& operator=(const TPxView&) = delete;

  TColor Background() const { return background_; }
  virtual void SetBackground(TColor color);

  TBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle style);
  bool Ctl3D() const { return ctl3D_; }
  void SetCtl3D(bool on);
  // Thickness of the border on each side: the edge size with Ctl3D, a thin
  // line without, 0 without border.
  int BorderWidth() const;

  // Outer size of the control and the client area inside the border.
  int ControlWidth() const { return width_; }
  int ControlHeight() const { return height_; }
  int ClientWidth() const;
  int ClientHeight() const;
  // A size change of the control updates the view.
  void SetBounds(int width, int height);

  // Listeners of the working bitmap; the id removes one again.
  int AddBitmapChangeEvent(TBitmapChangeEvent event);
  void RemoveBitmapChangeEvent(int id);
  // Tells every listener that the working bitmap changed.
  void CallBitmapChangeEvents();

  // Recomputes and redraws after any change.
  virtual void Update() {}

 protected:
  // Tells every listener the view goes away; descendants call it first in
  // their destructors, while the view is still whole.
  void DetachListeners();

 private:
  struct Listener {
    int Id;
    TBitmapChangeEvent Event;
  };
  TColor background_ = clBtnFace;
  TBorderStyle borderStyle_ = bsSingle;
  bool ctl3D_ = true;
  int width_ = 105;
  int height_ = 105;
  std::vector<Listener> listeners_;
  int nextListenerId_ = 1;
};
