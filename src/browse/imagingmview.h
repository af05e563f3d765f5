// TImagingMView: the thumbnail grid. Many images as a grid of equal cells,
// each with up to three captions; the user scrolls it and selects cells with
// the mouse or the keyboard. The grid loads each picture when its cell first
// becomes visible (on background loaders, TPxStarter), reduces it to cell
// size and keeps it in a two-level store (TPxVirtualImageList), so that
// folders of thousands of pictures stay within a fixed amount of memory.
//
// Plain C++: the grid draws every cell into the back buffer of TPxView and
// talks to the screen only through its host (TPxViewHost), which also
// measures and draws the captions' text.
//
// Threads: every public operation, input and painting run on the thread that
// owns the grid (the user-interface thread). Background loads run on the
// loaders' threads; they meet the grid under one process-wide recursive lock
// (PxThumbnailLock), which guards the entries, both stores and the loader
// state. Every thread the grid starts is joined before it is gone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "browse/pxvirtualimagelist.h"
#include "imaging/core/ioparams.h"
#include "imaging/core/pxutils.h"
#include "imaging/io/imagingio.h"
#include "imaging/proc/imagingproc.h"
#include "imaging/view/imagingview.h"
#include "imaging/view/pxview.h"
#include "imaging/view/render.h"

class TImagingMView;

inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clGray = 0x808080;
// The usual selection colours of desktop themes.
inline constexpr TColor clHighlight = 0xD77800;
inline constexpr TColor clHighlightText = clWhite;
inline constexpr TColor clWindowText = clBlack;

enum TPxStoreType : uint8_t { pxtNormal = 0, pxtThumb = 1 };
enum TPxDisplayMode : uint8_t { mdGrid = 0, mdSingle = 1 };
enum TPxSelectionStyle : uint8_t { pxssAround = 0, pxssACD = 1 };
enum TPxMStyle : uint8_t { pxmsFlat = 0, pxmsACD = 1 };
enum TPxWallPaperStyle : uint8_t { pxwoNormal = 0, pxwoStretch = 1, pxwoTile = 2 };
// Stored only: the grid shows no transitions.
enum TPxTransitionEffect : uint8_t { pxttNone = 0, pxttCrossDissolve = 1, pxttFadeOut = 2, pxttFadeIn = 3 };

// Sets of flags.
using TPxMMouseInteract = uint8_t;
inline constexpr TPxMMouseInteract mmiScroll = 1;  // drag to scroll
inline constexpr TPxMMouseInteract mmiSelect = 2;  // click to select
using TPxMKeyInteract = uint8_t;
inline constexpr TPxMKeyInteract mkiMoveSelected = 1;  // arrow and paging keys move the selection
using TPxMultiSelectionOptions = uint8_t;
inline constexpr TPxMultiSelectionOptions pxmoRegion = 1;           // Shift selects a row/column box
inline constexpr TPxMultiSelectionOptions pxmoSelectOnMouseUp = 2;  // select on button release

// What a scroll-bar notification asks.
enum TPxScrollCode : uint8_t {
  scLineUp, scLineDown, scPageUp, scPageDown, scPosition, scTrack, scTop, scBottom, scEndScroll,
};

using TPxImageSelectEvent = std::function<void(TImagingMView* sender, int idx)>;
using TPxViewChangeEvent = std::function<void(TImagingMView* sender, int change)>;
// The owner supplies the picture of an image ID (it keeps ownership);
// none leaves the entry without an image.
using TPxImageIDRequestEvent =
    std::function<void(TImagingMView* sender, int32_t id, TPxPlatformBitmap& bitmap)>;
using TPxImageIDRequestExEvent =
    std::function<void(TImagingMView* sender, int32_t id, TPxBitmap*& bitmap)>;
using TPxImageDrawEvent =
    std::function<void(TImagingMView* sender, int idx, int32_t left, int32_t top, TPxBitmap& canvas)>;
using TPxImageDrawEventEx = std::function<void(TImagingMView* sender, int idx, int32_t left,
                                               int32_t top, TPxBitmap& dest, TRect& thumbRect)>;
using TPxWrongImageEvent =
    std::function<void(TImagingMView* sender, TPxBitmap& outBitmap, int idx, bool& handled)>;
using TPxMProgressEvent = std::function<void(TImagingMView* sender, int per, int idx)>;
using TPxMNotifyEvent = std::function<void(TImagingMView* sender)>;
using TPxMMouseEvent = std::function<void(TImagingMView* sender, TPxMouseButton button,
                                          TPxShiftState shift, int32_t x, int32_t y)>;

// Entries more than this many places before the first or after the last
// visible one lose their stored image at each paint (they can be loaded again).
inline constexpr int kPxMViewKeepAround = 15;
// In-memory limit of the cell store.
inline constexpr int32_t kPxCellStoreInMemory = 10;
// A picture that would decode to more pixels than this is not loaded: its
// cell shows the placeholder, so that a huge or hostile file cannot take
// unbounded memory (JPEGs count at the reduced scale they are read at).
inline constexpr int64_t kPxMViewMaxLoadPixels = int64_t(64) << 20;
// Sleep of the starter between passes, while loads are queued or running.
inline constexpr int kPxStarterSleepMs = 50;
// AbortLoads waits up to this many times this long for running loads.
inline constexpr int kPxAbortWaitSteps = 10;
inline constexpr int kPxAbortWaitStepMs = 100;

// The one lock that background loads share with the grids' drawing and
// loading, for every grid of the process. Recursive.
std::recursive_mutex& PxThumbnailLock();

// UTF-8 to wide text and back, for captions made of file names.
std::u16string PxWideFromUtf8(const std::string& text);
std::string PxUtf8FromWide(const std::u16string& text);

// One caption of an entry.
class TPxMText {
 public:
  // position: 0 top, 1 bottom, 2 info.
  TPxMText(TImagingMView* owner, int position);

  const std::u16string& Caption() const { return caption_; }
  // Stores the text and, measured in the caption's font, widens the grid's
  // gap for it: a top caption raises UpperGap to h + 2, a bottom caption
  // BottomGap to h + 2 (pxmsFlat) or h + 4 (pxmsACD); gaps only grow.
  void SetCaption(const std::u16string& text);
  void SetCaption(const std::string& utf8) { SetCaption(PxWideFromUtf8(utf8)); }

  TPxFont Font;        // the grid's font when the caption was made
  TColor Background;   // the grid's Background when the caption was made
  int Position() const { return position_; }
  TImagingMView* Owner() const { return owner_; }

 private:
  TImagingMView* owner_;
  int position_;
  std::u16string caption_;
};

// The grid's multi-image input/output object: one parameters record per
// entry, kept in step with the entries (a new record copies its neighbour).
// Read it on the grid's thread while no background load runs.
class TImagingMIO {
 public:
  int ParamsCount() const { return (int)params_.size(); }
  TIOParamsVals& Params(int index) { return *params_.at(size_t(index)); }
  TPxProgressEvent OnProgress;

 private:
  friend class TImagingMView;
  std::vector<std::unique_ptr<TIOParamsVals>> params_;
};

// One image of the grid.
struct TPxMViewEntry {
  explicit TPxMViewEntry(TImagingMView* owner);

  TImagingMView* Owner;
  TPxImageRecord* Image = nullptr;        // in the image store; none until loaded
  TPxImageRecord* CellPicture = nullptr;  // in the cell store: the image as last drawn
  int32_t X = 0, Y = 0;                   // cell origin in content coordinates
  int32_t Row = 0, Column = 0;
  TColor BackgroundColor;
  std::string FileName;  // empty: none
  int32_t ImageID = -1;
  int32_t Delay = 0;
  std::unique_ptr<TPxMText> TopText, BottomText, InfoText;
  TRect ThumbRect;
  // Identity that outlives index shifts: background loads deliver by it, so
  // a load never writes into another or a deleted entry.
  uint64_t Id = 0;
  // A background load of it failed: the placeholder is drawn on the grid's
  // own thread at the next paint.
  bool LoadFailed = false;
};

// A load running in background: a TImagingIO on a thread of its own.
struct TPxLoader {
  std::unique_ptr<TImagingIO> IO;
  std::unique_ptr<TPxBitmap> Target;
  // The entry's Id while loading; kPxLoadFinished, kPxLoadAbandoned.
  int64_t Tag = 0;
  int IndexHint = 0;
  // Read by the loader's own progress handler, which stops the reader.
  std::atomic<bool> Abandon{false};
  // The thread of the load is joined before its target goes.
  ~TPxLoader() { IO.reset(); }
};
inline constexpr int64_t kPxLoadFinished = -1;
inline constexpr int64_t kPxLoadAbandoned = -2;

// The starter thread of a grid: hands queued loads to loaders. It waits on a
// condition (with an explicit stop flag) instead of suspending itself.
class TPxStarter {
 public:
  explicit TPxStarter(TImagingMView* grid);
  ~TPxStarter();
  TPxStarter(const TPxStarter&) = delete;
  TPxStarter& operator=(const TPxStarter&) = delete;

  // Wakes the thread for a pass (starting it the first time).
  void Wake();
  // Asks the thread to end, wakes it and joins it.
  void Stop();

 private:
  void Execute();

  TImagingMView* grid_;
  std::condition_variable_any cv_;
  bool wake_ = false;     // guarded by the thumbnail lock
  bool stopped_ = false;  // guarded by the thumbnail lock
  std::thread thread_;
};

class TImagingMView : public TPxView {
 public:
  TImagingMView();
  ~TImagingMView() override;

  // --- published properties
  TScrollStyle ScrollBars() const { return scrollBars_; }
  void SetScrollBars(TScrollStyle value);
  TPxStoreType StoreType() const { return storeType_; }
  void SetStoreType(TPxStoreType value);
  int32_t ThumbWidth() const { return thumbWidth_; }
  void SetThumbWidth(int32_t value);
  int32_t ThumbHeight() const { return thumbHeight_; }
  void SetThumbHeight(int32_t value);
  int32_t HorizBorder() const { return horizBorder_; }
  void SetHorizBorder(int32_t value);
  int32_t VertBorder() const { return vertBorder_; }
  void SetVertBorder(int32_t value);
  int32_t UpperGap() const { return upperGap_; }
  void SetUpperGap(int32_t value);
  int32_t BottomGap() const { return bottomGap_; }
  void SetBottomGap(int32_t value);
  TPxDisplayMode DisplayMode() const { return displayMode_; }
  void SetDisplayMode(TPxDisplayMode value);
  int32_t GridWidth() const { return gridWidth_; }
  void SetGridWidth(int32_t value);
  bool VisibleSelection() const { return visibleSelection_; }
  void SetVisibleSelection(bool value);
  int32_t SelectionWidth() const { return selectionWidth_; }
  void SetSelectionWidth(int32_t value);
  TColor SelectionColor() const { return selectionColor_; }
  void SetSelectionColor(TColor value);
  TPxSelectionStyle SelectionStyle() const { return selectionStyle_; }
  void SetSelectionStyle(TPxSelectionStyle value);
  TPxMStyle Style() const { return style_; }
  void SetStyle(TPxMStyle value);
  TColor ThumbnailsBackground = clBtnFace;  // only stored
  TPxBackgroundStyle ThumbnailsBackgroundStyle() const { return thumbsBackgroundStyle_; }
  void SetThumbnailsBackgroundStyle(TPxBackgroundStyle value);
  int32_t ThumbnailsBorderWidth() const { return thumbsBorderWidth_; }
  void SetThumbnailsBorderWidth(int32_t value);
  TColor ThumbnailsBorderColor() const { return thumbsBorderColor_; }
  void SetThumbnailsBorderColor(TColor value);
  bool ThumbnailsInternalBorder() const { return thumbsInternalBorder_; }
  void SetThumbnailsInternalBorder(bool value);
  TColor ThumbnailsInternalBorderColor() const { return thumbsInternalBorderColor_; }
  void SetThumbnailsInternalBorderColor(TColor value);
  TPxMMouseInteract MouseInteract = mmiSelect;   // only stored
  TPxMKeyInteract KeyInteract = mkiMoveSelected;  // only stored
  bool EnableMultiSelect() const { return enableMultiSelect_; }
  void SetEnableMultiSelect(bool value);
  TPxMultiSelectionOptions MultiSelectionOptions = 0;
  bool RemoveCorrupted() const { return removeCorrupted_; }
  void SetRemoveCorrupted(bool value);
  bool DrawImageBackground() const { return drawImageBackground_; }
  void SetDrawImageBackground(bool value);
  int32_t ImageCacheSize() const { return imageCacheSize_; }
  void SetImageCacheSize(int32_t value);
  int32_t ThreadPoolSize() const { return threadPoolSize_; }
  void SetThreadPoolSize(int32_t value);
  bool EnableAlphaChannel() const { return enableAlphaChannel_; }
  void SetEnableAlphaChannel(bool value);
  // A picture drawn over the background (none when empty).
  const TPxBitmap& WallPaper() const { return wallPaper_; }
  void SetWallPaper(const TPxBitmap* picture);
  TPxWallPaperStyle WallPaperStyle() const { return wallPaperStyle_; }
  void SetWallPaperStyle(TPxWallPaperStyle value);
  bool FlatScrollBars = false;
  TPxTransitionEffect TransitionEffect = pxttNone;
  int32_t TransitionDuration = 1000;
  // The control's font: captions copy it when their entry is created.
  TPxFont Font;

  // --- events
  TPxImageSelectEvent OnImageSelect, OnImageDeselect;
  TPxViewChangeEvent OnViewChange;
  TPxImageIDRequestEvent OnImageIDRequest;
  TPxImageIDRequestExEvent OnImageIDRequestEx;
  TPxImageDrawEvent OnBeforeImageDraw, OnImageDraw;
  TPxImageDrawEventEx OnBeforeImageDrawEx;
  TPxWrongImageEvent OnWrongImage;
  TPxMProgressEvent OnDrawProgress;
  // Handed to the loaders and called on their threads; set it before loads start.
  TPxProgressEvent OnIOProgress;
  TPxProgressEvent OnProgress;
  TPxMNotifyEvent OnAllDisplayed;
  // The owner's handler of a button press, run before the grid's own.
  TPxMMouseEvent OnMouseDown;

  // --- entries
  int ImageCount() const;
  int AppendImage();
  void InsertImage(int index);
  void InsertImageNoSelect(int index);
  // False when index >= ImageCount; throws std::out_of_range below 0.
  bool DeleteImage(int index);
  void Clear();
  void SetImageFileName(int index, const std::string& fileName);
  std::string ImageFileName(int index) const;
  TPxMText* ImageTopText(int index);
  TPxMText* ImageBottomText(int index);
  TPxMText* ImageInfoText(int index);
  void SetImageDelay(int index, int32_t ms);
  int32_t ImageDelay(int index) const;
  void SetImageID(int index, int32_t id);
  int32_t ImageRow(int index) const;
  int32_t ImageCol(int index) const;
  // Stores a copy (reduced to cell size under pxtThumb); none does nothing.
  void SetImage(int index, const TPxBitmap* bitmap);
  void SetImageFromTBitmap(int index, const TPxPlatformBitmap& bitmap);
  // The entry's image, loaded first when it has none, as a buffer handed out
  // by the image store (give it back with ReleaseBitmap); nullptr when it
  // cannot be had. Throws std::out_of_range out of range. The buffer goes
  // with the entry's image: use it before the next paint (which releases far
  // images) or the next change of that entry.
  TPxBitmap* GetBitmap(int index);
  void ReleaseBitmap(TPxBitmap* bitmap);
  void SetImageSourceWidth(int index, int32_t width);
  void SetImageSourceHeight(int index, int32_t height);
  int32_t ImageSourceWidth(int index) const;
  int32_t ImageSourceHeight(int index) const;
  // The entry's state, for the owner and for tests.
  bool HasImage(int index) const;
  bool HasCellPicture(int index) const;
  int32_t ImageX(int index) const;
  int32_t ImageY(int index) const;
  TRect ImageThumbRect(int index) const;
  // A copy of the stored image (false when there is none).
  bool CopyStoredImage(int index, TPxBitmap& out) const;
  bool CopyCellPicture(int index, TPxBitmap& out) const;

  // --- selection
  int SelectedImage() const { return selectedImage_; }
  void SetSelectedImage(int index);
  void Deselect();
  const std::vector<int>& MultiSelectedImages() const { return multiSelected_; }
  bool IsSelected(int index) const;
  // The selected image handed out by the image store (given back with
  // write-back when the selection changes); none when nothing is selected.
  TPxBitmap* GetSelectedBitmap();
  TPxBitmap* GetSelectedTBitmap() { return GetSelectedBitmap(); }

  // --- geometry
  // Columns of the layout: GridWidth, or as many as fit the client width
  // for -1; a value <= 0 means one row.
  int32_t Columns() const;
  int ImageAtPos(int32_t x, int32_t y) const;
  int ImageAtGridPos(int32_t row, int32_t col) const;
  // 0 not, 1 partly, 2 entirely inside the client area.
  int IsImageVisible(int index) const;
  int32_t ViewX() const { return viewX_; }
  int32_t ViewY() const { return viewY_; }
  void SetViewX(int32_t x);
  void SetViewY(int32_t y);
  void SetViewXY(int32_t x, int32_t y);
  int32_t ContentWidth() const { return contentWidth_; }
  int32_t ContentHeight() const { return contentHeight_; }
  int32_t MaxViewX() const;
  int32_t MaxViewY() const;
  // Scroll-bar steps: -1 = a cell (line) or the client extent (page).
  int32_t VertLineStep = -1, VertPageStep = -1, HorizLineStep = -1, HorizPageStep = -1;
  bool VertThumbTracking = true, HorizThumbTracking = true;
  bool Focused() const { return focused_; }

  // --- updating
  void LockUpdate() { ++lockCount_; }
  int UnlockUpdate();
  int UnlockUpdateNoRefresh();
  void Update() override;
  void RefreshView(bool dropCellPictures);
  // Tells every change listener (AddBitmapChangeEvent) that the content
  // changed, then forgets the last change.
  void NotifyListeners();
  // The last change: kind (1 insert, 2 delete, 3 move, 4 swap) and indices.
  int LastChangeKind() const { return changeKind_; }
  int LastChangeIndex() const { return changeIndex1_; }

  // --- input and output
  TImagingMIO& GetMIO();
  TImagingProc& GetProc();
  // Loads an entry's image on the calling thread; false when it failed.
  bool LoadImageNow(int index);
  // True when the entry will be loaded in background.
  bool QueueImageLoad(int index);
  // Empties the load queue and abandons the running background loads.
  void AbortLoads();
  // Background loads queued or running, for the owner and for tests.
  int QueuedLoadCount() const;
  int RunningLoadCount() const;
  // Abandoned loads whose threads have not ended yet.
  int AbandonedLoadCount() const;
  // The placeholder of a picture that cannot be read.
  virtual void DrawWrongImage(TPxBitmap& bitmap, int index);
  void PaintTo(TPxBitmap& bitmap);

  // --- input, as the host calls it
  void HostMouseDown(TPxMouseButton button, TPxShiftState shift, int32_t x, int32_t y) override;
  void HostMouseMove(TPxShiftState shift, int32_t x, int32_t y) override;
  void HostMouseUp(TPxMouseButton button, TPxShiftState shift, int32_t x, int32_t y) override;
  void HostWheel(TPxShiftState shift, int32_t delta, int32_t x, int32_t y) override;
  void HostKeyDown(int32_t key, TPxShiftState shift) override;
  void HostFocusChanged(bool focused) override;
  void HostScrolled(bool horizontal, int32_t pos) override;
  TPxBitmap* HostPaint(int32_t x, int32_t y, int32_t width, int32_t height) override;
  // Scroll-bar notifications.
  void VertScroll(TPxScrollCode code, int32_t pos);
  void HorizScroll(TPxScrollCode code, int32_t pos);
  // The scroll-bar unit in content pixels.
  double VertScrollFactor() const { return vFactor_; }
  double HorizScrollFactor() const { return hFactor_; }

 protected:
  void ComposeBackBuffer(TPxBitmap& buffer) override { PaintTo(buffer); }
  bool PaintLocked() const override { return lockCount_ > 0; }
  void DoViewChange(int change);
  void DoImageSelect(int index);
  void DoImageDeselect(int index);

 private:
  friend class TPxMText;
  friend class TPxStarter;
  // Marks a user action being handled: the selection and view events are
  // raised only then.
  struct UserAction {
    explicit UserAction(TImagingMView& g) : grid(g) { ++grid.userAction_; }
    ~UserAction() { --grid.userAction_; }
    TImagingMView& grid;
  };
  // What the background side reads, published under the lock by the grid's
  // thread, so that the starter never reads the grid's own fields.
  struct LoadState {
    int32_t viewX = 0, viewY = 0, width = 0, height = 0;
    int32_t thumbWidth = 100, thumbHeight = 100;
    TPxStoreType storeType = pxtNormal;
    int32_t threadPoolSize = 5;
    bool haveIDHandler = false;
  };

  TPxMViewEntry* EntryAt(int index) const;
  void InsertEntry(int index, bool select);
  void RecordChange(int kind, int index1, int index2 = -1);
  void UpdateLayout();
  void PublishLoadState();
  bool EntryVisibleLocked(const TPxMViewEntry& e) const;
  bool EntryVisible(const TPxMViewEntry& e) const;
  int IndexOfId(uint64_t id, int hint) const;
  bool CanReload(const TPxMViewEntry& e) const;
  void DropCellPicture(TPxMViewEntry& e);
  void DropImage(TPxMViewEntry& e);
  void SetScrollBarsFor(int32_t maxX, int32_t maxY);
  void SetViewXYInternal(int32_t x, int32_t y, bool setX, bool setY);
  void UpdateIfChanged(bool changed) {
    if (changed) Update();
  }

  // Selection.
  bool Extending() const;
  void SelectInternal(int index);
  void ClearSelection(bool refresh);
  void SelectAt(int32_t x, int32_t y, TPxShiftState shift);
  void SelectRange(int from, int to);
  void GiveBackSelectedBitmap(bool writeBack);
  void MoveSelection(int32_t key);

  // Storing images.
  // The fitted size of an image in an area, enlarged or reduced, at least 1 x 1.
  static void FitSize(int32_t iw, int32_t ih, int32_t w, int32_t h, int32_t& fw, int32_t& fh);
  // The thumbnail of a bitmap under pxtThumb; nullptr when the bitmap itself is stored.
  std::unique_ptr<TPxBitmap> MakeThumbnail(TPxBitmap& bitmap, bool greyTransparent,
                                           bool all24, int32_t tw, int32_t th) const;
  void StoreImage(int index, TPxBitmap& bitmap, bool notify, bool thumbAlreadyMade);

  // Drawing (mviewdraw.cpp).
  void DrawCell(TPxBitmap& bitmap, TPxMViewEntry& entry, int index, bool selected);
  void DrawWallPaper(TPxBitmap& bitmap);
  // Fills part of the cell rectangle cell in the cells' background style:
  // solid, or the style's pattern laid from the cell's own corner.
  void FillCellPart(TPxBitmap& bitmap, const TRect& cell, TRect part, TColor color, bool solid);
  int32_t TextHeight(const TPxMText& text) const;
  void MeasureText(const TPxMText& text, const std::u16string& s, int32_t& tw, int32_t& th) const;
  std::u16string FitCaption(const TPxMText& text, int32_t w, int32_t& tw, int32_t& th) const;

  // Loading (mviewload.cpp).
  bool LoadFile(TImagingIO& io, TPxBitmap& target, const std::string& name, int32_t tw,
                int32_t th, TPxStoreType storeType);
  static void ApplyThumbOptions(TImagingIO& io, TPxStoreType storeType, int32_t tw, int32_t th);
  static bool LoadableSize(TImagingIO& io, const std::string& name, TPxStoreType storeType,
                           int32_t tw, int32_t th);
  void PurgeQueueLocked();
  void PurgeRunningLocked(std::vector<std::unique_ptr<TPxLoader>>& finished);
  struct LoadStart {
    TPxLoader* Loader;
    std::string FileName;
    LoadState Settings;
  };
  void StarterPass(std::vector<std::unique_ptr<TPxLoader>>& finished,
                   std::vector<LoadStart>& toStart);
  void StartLoader(const LoadStart& start);
  bool InKeepLocked(uint64_t id, int hint) const;
  void LoaderFinished(TPxLoader* loader);
  void PlaceholderFor(int index);

  // Properties.
  TScrollStyle scrollBars_ = ssBoth;
  TPxStoreType storeType_ = pxtNormal;
  int32_t thumbWidth_ = 100, thumbHeight_ = 100;
  int32_t horizBorder_ = 4, vertBorder_ = 4;
  int32_t upperGap_ = 0, bottomGap_ = 0;
  TPxDisplayMode displayMode_ = mdGrid;
  int32_t gridWidth_ = 0;
  bool visibleSelection_ = true;
  int32_t selectionWidth_ = 3;
  TColor selectionColor_ = clRed;
  TPxSelectionStyle selectionStyle_ = pxssAround;
  TPxMStyle style_ = pxmsACD;
  TPxBackgroundStyle thumbsBackgroundStyle_ = pxbsSolid;
  int32_t thumbsBorderWidth_ = 0;
  TColor thumbsBorderColor_ = clBlack;
  bool thumbsInternalBorder_ = false;
  TColor thumbsInternalBorderColor_ = clBlack;
  bool enableMultiSelect_ = false;
  bool removeCorrupted_ = false;
  bool drawImageBackground_ = false;
  int32_t imageCacheSize_ = 10;
  int32_t threadPoolSize_ = 5;
  bool enableAlphaChannel_ = true;
  TPxBitmap wallPaper_;
  TPxWallPaperStyle wallPaperStyle_ = pxwoNormal;
  // A cell's background pattern, made again when the style, colour or size changes.
  TPxBitmap cellPattern_;
  TPxBackgroundStyle cellPatternStyle_ = pxbsSolid;
  TColor cellPatternColor_ = 0xFFFFFFFFu;  // no colour: not made yet

  // Entries and stores (guarded by the thumbnail lock).
  std::vector<std::unique_ptr<TPxMViewEntry>> entries_;
  uint64_t nextEntryId_ = 1;
  std::unique_ptr<TPxVirtualImageList> imageStore_;
  std::unique_ptr<TPxVirtualImageList> cellStore_;
  std::unique_ptr<TImagingIO> io_;
  // Per-file input/output objects of "file::n" names.
  std::vector<std::pair<std::string, std::unique_ptr<TImagingIO>>> fileIOs_;
  std::unique_ptr<TImagingMIO> mio_;
  std::unique_ptr<TImagingProc> proc_;

  // View state.
  int selectedImage_ = -1;
  std::vector<int> multiSelected_;
  int anchor_ = -1;
  TPxBitmap* selectedBitmap_ = nullptr;  // handed out by the image store
  int32_t viewX_ = 0, viewY_ = 0;
  int32_t contentWidth_ = 0, contentHeight_ = 0;
  int lockCount_ = 0;
  double vFactor_ = 1, hFactor_ = 1;
  int32_t vBarMax_ = 0, hBarMax_ = 0;  // the bars' last positions as given to the host
  int userAction_ = 0;
  bool refreshing_ = false;
  bool destroying_ = false;
  bool focused_ = false;
  bool pressed_ = false;
  int32_t pressX_ = 0, pressY_ = 0, pressViewX_ = 0, pressViewY_ = 0;
  int pressIndex_ = -1, lastUnderPointer_ = -1;
  bool selectionChanged_ = false;
  bool shiftRange_ = false;
  TPxShiftState currentShift_ = 0;  // keys held during the action being handled
  bool keyboardExtend_ = false;
  bool allDisplayed_ = false;
  // Change record: kind (1 insert, 2 delete, 3 move, 4 swap) and indices.
  int changeKind_ = 0, changeIndex1_ = -1, changeIndex2_ = -1;

  // Loader state (guarded by the thumbnail lock).
  LoadState loadState_;
  // Queued and kept entries by identity, with the index they had as a hint.
  struct QueuedLoad {
    uint64_t Id;
    int IndexHint;
  };
  std::vector<QueuedLoad> queue_;
  std::vector<QueuedLoad> keep_;  // not abandoned although not visible (none in this program)
  std::condition_variable_any loadsChanged_;  // a loader was freed
  std::vector<std::unique_ptr<TPxLoader>> running_;
  // Set by a finished background load; the next paint composes anew.
  std::atomic<bool> pendingRepaint_{false};
  // Set by a background store of the selected entry: listeners are told on
  // the grid's own thread at the next paint.
  std::atomic<bool> pendingNotify_{false};
  std::unique_ptr<TPxStarter> starter_;
};
