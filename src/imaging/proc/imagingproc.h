// TImagingProc: resampling, rotation and crop of the image it works on, with
// undo copies; and TPxSelection, the rectangular selection a view keeps.
//
// A TImagingProc works either on a bare bitmap (AttachBitmap) or on the
// current layer's bitmap of a view, which it reaches through a
// TImagingProcHost the view fills in (AttachView).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/proc/resample.h"

class TImagingProc;

// Sender and percentage.
using TPxProcProgressEvent = std::function<void(TImagingProc* sender, int per)>;

// ---------------------------------------------------------------------------
// Selection

enum TPxSelectionBase : uint8_t { pxsbClientArea = 0, pxsbBitmap = 1 };

enum TPxSelectionOption : uint8_t {
  pxsoAnimated = 1 << 0,
  pxsoSizeable = 1 << 1,
  pxsoMoveable = 1 << 2,
  pxsoFilled = 1 << 3,
  pxsoCutBorders = 1 << 4,
  pxsoMarkOuter = 1 << 5,
  pxsoCanScroll = 1 << 6,
};
using TPxSelectionOptions = uint8_t;  // a set of TPxSelectionOption bits
inline constexpr TPxSelectionOptions kPxDefaultSelectionOptions =
    pxsoAnimated | pxsoSizeable | pxsoMoveable | pxsoCanScroll;

struct TPxPolyPoint {
  int32_t X = 0;
  int32_t Y = 0;
  friend bool operator==(const TPxPolyPoint&, const TPxPolyPoint&) = default;
};

// The selection of a view, in bitmap pixels: outline polygon(s) and a 1-bit
// mask of the current bitmap's size.
class TPxSelection {
 public:
  // Separates the sub-polygons of the outline.
  static constexpr TPxPolyPoint kSeparator{1048575, 1048575};

  bool Selected() const { return selected_; }
  const std::vector<TPxPolyPoint>& Polygon() const { return polygon_; }
  const TPxMask& Mask() const { return mask_; }
  // Bounding box of the polygon's corners (inclusive of x2, y2 as given);
  // empty (x1 > x2) without a polygon.
  int PolyX1 = INT32_MAX, PolyY1 = INT32_MAX, PolyX2 = INT32_MIN, PolyY2 = INT32_MIN;

  // Converts view coordinates to bitmap pixels (the view's client-area
  // mapping); empty for coordinates already in bitmap pixels.
  using TToBitmap = std::function<void(int& x, int& y)>;

  // Rectangle x1 <= x < x2, y1 <= y < y2 of a bitmapWidth x bitmapHeight
  // bitmap, corners in any order; op 0 replaces the selection, op 1 adds to
  // it. Returns false when nothing was done (x1 = x2 or y1 = y2).
  bool Select(int x1, int y1, int x2, int y2, int op, int bitmapWidth, int bitmapHeight,
              const TToBitmap& toBitmap = {});
  // Removes the selection: flag, polygon and mask.
  void Deselect();
  // Whether pixel (x, y) is selected.
  bool IsSelected(int x, int y) const { return selected_ && mask_.GetPixel(x, y) != 0; }

 private:
  void FillPolygon();
  void AddPoint(TPxPolyPoint p);

  bool selected_ = false;
  std::vector<TPxPolyPoint> polygon_;
  TPxMask mask_;
};

// ---------------------------------------------------------------------------
// The link from a view to its processing object. The view fills in what it
// has; empty members fall back to the processing object's own values.
struct TImagingProcHost {
  // The view's current bitmap (the current layer's), or nullptr.
  std::function<TPxBitmap*()> CurrentBitmap;
  // Runs after each processing operation: the view's update and its
  // OnImageChange event.
  std::function<void()> OnBitmapChanged;
  // The view's Background colour (colour reference, red in the low byte).
  std::function<int32_t()> Background;
  // The view's selection, or nullptr.
  std::function<const TPxSelection*()> Selection;
};

// ---------------------------------------------------------------------------

// Fills an allocated destination from source with the method of `filter`.
// A 24-bit source with an alpha plane first gets its fully transparent pixels
// set to gray (128, 128, 128). A filtered resample of a px1g source makes the
// destination pxRGB24. px8g runs the kernel filters and fast linear on its
// one channel; the other formats are filtered through a 24-bit copy and
// converted back to the destination's format. progress gets percentages.
void ResampleBitmap(TPxBitmap& source, TPxBitmap& destination, TResampleFilter filter,
                    const TPxPercentFn& progress = {});

class TImagingProc {
 public:
  TImagingProc() = default;
  explicit TImagingProc(TPxBitmap* bitmap) { AttachBitmap(bitmap); }
  ~TImagingProc();
  TImagingProc(const TImagingProc&) = delete;
  TImagingProc& operator=(const TImagingProc&) = delete;

  // Works on a bare bitmap, owned by the caller (detaches from any view).
  void AttachBitmap(TPxBitmap* bitmap);
  // Works on the current bitmap of a view.
  void AttachView(TImagingProcHost host);
  // Forgets the view (the view is going away).
  void DetachView();
  bool AttachedToView() const { return viewAttached_; }

  // The image worked on: the view's current bitmap or the attached bitmap.
  TPxBitmap* Bitmap() const;

  // --- properties
  bool AutoUndo = true;
  int32_t UndoLimit = 1;
  TPxProcProgressEvent OnProgress;
  // The attached view's Background, else this object's own (default 0).
  int32_t Background() const;
  void SetBackground(int32_t color) { background_ = color; }

  // --- resampling
  // Changes the pixel size of the image. width/height: -1 keeps the aspect
  // ratio, 0 keeps the dimension, other values are taken by magnitude.
  void Resample(int width, int height, TResampleFilter filter);
  // Allocates and fills destination with the resampled image; the image
  // itself stays as it is. Throws std::bad_alloc when no memory.
  void ResampleTo(TPxBitmap& destination, int width, int height, TResampleFilter filter);

  // --- rotation and crop
  // Turns the image by angle degrees, positive counter-clockwise: whole
  // quarter turns exactly, the rest (within 45 degrees) by three shears with
  // weights in 1/4096 (blended when antiAlias). px1g images take the
  // nearest-pixel rotation; other formats keep their format. Every
  // antialiasMode uses the shear rotation. background -1 is this object's
  // Background.
  void Rotate(double angle, bool antiAlias = true, uint8_t antialiasMode = 0, int32_t background = -1);
  // The image becomes the bounding box of the view's selection.
  void CropSel();

  // --- undo
  // Keeps a copy of the image under a caption (the oldest dropped beyond
  // UndoLimit); images narrower or lower than 2 pixels are not copied.
  void SaveUndo(const std::string& caption);
  // Restores the latest copy into the image; false when there is none.
  bool Undo();
  void ClearUndo();
  int UndoCount() const { return static_cast<int>(undo_.size()); }
  // Caption of copy `index`, 0 the oldest.
  std::string UndoCaption(int index) const;

 private:
  void Changed();
  void Progress(int per);
  TPxPercentFn ProgressFn();

  TPxBitmap* bitmap_ = nullptr;
  bool viewAttached_ = false;
  TImagingProcHost host_;
  int32_t background_ = 0;
  struct UndoEntry {
    std::string Caption;
    std::unique_ptr<TPxBitmap> Image;
  };
  std::vector<UndoEntry> undo_;
};
