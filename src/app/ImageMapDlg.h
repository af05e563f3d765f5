// The layout chooser: shows "printouts.png"; a click on release closes the
// window and names the region under the pointer.
#pragma once

#include <QDialog>
#include <string>

#include "app/imagearea.h"

class TImagingVect;
class TPxViewWidget;

class TDImageMap : public QDialog {
  Q_OBJECT

 public:
  explicit TDImageMap(QWidget* parent = nullptr);

  void AddRegion(const std::string& name, int32_t left, int32_t top, int32_t right, int32_t bottom);
  // A button released at a point of the picture (any button).
  void CtrlVectMouseUp(int32_t x, int32_t y);

  std::string PictureFile;
  XaImageAreas Regions;
  std::string ChosenName;
  int32_t ChosenIndex = -1;
  int32_t ClickX = -1, ClickY = -1;
  TPxViewWidget* CtrlVectHost;
  TImagingVect* CtrlVect;  // owned by its host widget

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FormShow();
};

extern TDImageMap* DImageMap;

struct XaChosenLayout {
  std::string Name;  // empty when the window closed without a hit
  int32_t Index = -1;
  int32_t X = -1, Y = -1;
};

// Shows the chooser modally and returns what the closing click chose.
XaChosenLayout ChooseLayout(const std::string& caption, const std::string& pictureFile);
void ClearRegions();
void AddRegion(const std::string& name, int32_t left, int32_t top, int32_t right, int32_t bottom);
