// The main window: every user action starts here.
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/gen.h"

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QMenu;
class QPushButton;
class QSplitter;
class TImagingMView;
class TImagingVect;
class TImagingView;
class TPxShellTreeWidget;
class TPxViewWidget;
class XaLayout;
class XaThumbDisplay;
struct XaFillResult;

class TDPrintPreview;

class TDPicPrint : public QMainWindow, public XaMainWindowPlace {
  Q_OBJECT

 public:
  explicit TDPicPrint(QWidget* parent = nullptr);
  ~TDPicPrint() override;

  // XaMainWindowPlace
  XaRect WindowBounds() const override;
  bool WindowStateNormal() const override;
  void SetWindowLeft(int32_t v) override;
  void SetWindowTop(int32_t v) override;
  void SetWindowWidth(int32_t v) override;
  void SetWindowHeight(int32_t v) override;
  void KeepWindowOnScreen() override;

  // Drag and drop on the page view, in its client pixels. A drop carries the
  // dropped files, or none for a drag of our own thumbnails. Several files
  // fill the area and the empty areas after it.
  bool CtrlVectDragOver(int32_t x, int32_t y);
  void CtrlVectDragDrop(int32_t x, int32_t y, const std::vector<std::string>& files);
  // The context menu of the area at a point of the page view: prepares
  // MnuArea for it. False, with no menu to show, over no area.
  bool CtrlVectContextPopup(int32_t x, int32_t y);
  void DImageFitChange(int index);
  void BChooseLayoutClick();
  void BPrintClick();
  // The preview of the page on the current printer's paper; its Print
  // prints it there.
  void MnuPrintPreviewClick();
  // Prints the page on the current printer, first asking AskPrintAnyway
  // when a picture would not print whole on its paper.
  void PrintOnCurrentPrinter();
  // The question before a page that would be cut: true prints it anyway.
  // Asks the user unless replaced (tests answer it themselves).
  std::function<bool(const std::string& message)> AskPrintAnyway;
  // Keeps the page in a page file, or brings one back (its missing pictures
  // named in one message).
  void SavePageFile(const std::string& fileName);
  void OpenPageFile(const std::string& fileName);

  XaLayout* Layout() const { return layout_.get(); }
  XaThumbDisplay* ThumbDisplay() const { return thumbDisplay_.get(); }
  // The preview window once it has been shown.
  TDPrintPreview* Preview() const { return preview_.get(); }

  // The tree's selected folder changed; an empty folder (a node that is no
  // folder) keeps the thumbnails shown.
  void CtrlDirChange(const std::string& selectedFolder);
  // The information labels for the picture the thumbnail display recorded.
  void ShowPictureInfo(TImagingMView* grid);
  // A drag starts from the thumbnails: the files it carries.
  std::vector<std::string> CtrlThumbsMouseDown();
  // Selects a folder in the tree, as "pictrova FOLDER" starts; a tree not yet
  // shown is filled first. False when the tree has no way to the folder.
  bool SelectStartFolder(const std::string& folder);

  QFrame* PnlThumbs;
  QSplitter* Splitter1;  // between the folder tree and the thumbnails
  TPxShellTreeWidget* CtrlDir;  // the folder tree
  QSplitter* Splitter2;  // between the upper band and the rest
  TPxViewWidget* CtrlThumbsHost;
  TImagingMView* CtrlThumbs;  // the folder's thumbnails, owned by its host widget
  QFrame* PnlFileInfo;
  TPxViewWidget* CtrlImageHost;
  TImagingView* CtrlImage;  // the preview, owned by its host widget
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QLabel* LFileName;
  QLabel* LFileSize;
  QLabel* LFileDims;
  QFrame* PnlMain;
  QFrame* PnlInfo;
  QFrame* PnlDisplay;
  QLabel* Label4;
  QComboBox* DImageFit;
  QPushButton* BChooseLayout;
  QPushButton* BPrint;
  QPushButton* BPrintPreview;
  QFrame* PnlWarning;
  QLabel* LWarning;
  QLabel* LResolution;  // the current area's pixels per inch as it prints
  TPxViewWidget* CtrlVectHost;
  TImagingVect* CtrlVect;  // the page view, owned by its host widget
  QAction* MnuOpenPage;
  QAction* MnuSavePage;
  QAction* MnuPrinterSetup;
  QAction* MnuFillAll;
  QMenu* MnuArea;  // the context menu of an area
  QAction* MnuAreaFillAll;
  QAction* MnuAreaRemove;
  QAction* MnuAreaDontCrop;
  QAction* MnuAreaCrop;
  QAction* MnuAreaStretch;
  QAction* MnuCutGuides;  // checked: cut guides print with the page (kept in app.inf)
  QAction* MnuPrintPreview;
  QAction* MnuPrint;
  QAction* MnuExit;
  QAction* MContents;
  QAction* About1;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormCreate();
  void FormShow();
  void FormClose();
  void MnuPrinterSetupClick();
  void MContentsClick();
  void About1Click();
  void ShowNotice(const char* text, int points);
  void AddPageMenus(QMenu* before);
  // Fills every area with the picture; the one message afterwards says what did not go in.
  void FillAllAreas(const std::string& fileName);
  // Runs a placing step under the wait notice, its errors reported after the notice is down.
  void RunPlacing(const std::function<void()>& work);
  void ReportFill(const XaFillResult& result);
  // The current area's figure, and the page's low-resolution marks.
  void ShowAreaResolution();

  std::unique_ptr<XaApplication> application_;
  std::unique_ptr<TImagingView> workView_;  // CtrlImage2: prepares pictures out of sight
  std::unique_ptr<XaLayout> layout_;
  std::unique_ptr<XaThumbDisplay> thumbDisplay_;
  std::unique_ptr<TDPrintPreview> preview_;
  bool shown_ = false;
  int32_t menuArea_ = -1;  // the area MnuArea was opened on
};
