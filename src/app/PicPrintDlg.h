// The main window: every user action starts here.
#pragma once

#include <QMainWindow>
#include <memory>
#include <string>
#include <vector>

#include "app/gen.h"

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QSplitter;
class TImagingMView;
class TImagingVect;
class TImagingView;
class TPxShellTreeWidget;
class TPxViewWidget;
class XaLayout;
class XaThumbDisplay;

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
  // dropped files, or none for a drag of our own thumbnails.
  bool CtrlVectDragOver(int32_t x, int32_t y);
  void CtrlVectDragDrop(int32_t x, int32_t y, const std::vector<std::string>& files);
  void DImageFitChange(int index);
  void BChooseLayoutClick();
  void BPrintClick();
  // Keeps the page in a page file, or brings one back (its missing pictures
  // named in one message).
  void SavePageFile(const std::string& fileName);
  void OpenPageFile(const std::string& fileName);

  XaLayout* Layout() const { return layout_.get(); }
  XaThumbDisplay* ThumbDisplay() const { return thumbDisplay_.get(); }

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
  QFrame* PnlWarning;
  QLabel* LWarning;
  QLabel* LResolution;  // the current area's pixels per inch as it prints
  TPxViewWidget* CtrlVectHost;
  TImagingVect* CtrlVect;  // the page view, owned by its host widget
  QAction* MnuOpenPage;
  QAction* MnuSavePage;
  QAction* MnuPrinterSetup;
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
  // The current area's figure, and the page's low-resolution marks.
  void ShowAreaResolution();

  std::unique_ptr<XaApplication> application_;
  std::unique_ptr<TImagingView> workView_;  // CtrlImage2: prepares pictures out of sight
  std::unique_ptr<XaLayout> layout_;
  std::unique_ptr<XaThumbDisplay> thumbDisplay_;
  bool shown_ = false;
};
