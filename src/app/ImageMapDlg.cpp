#include "app/ImageMapDlg.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QShowEvent>

#include "imaging/view/imagingview.h"
#include "platform/pxguard.h"
#include "platform/pxviewwidget.h"

TDImageMap* DImageMap = nullptr;

TDImageMap::TDImageMap(QWidget* parent) : QDialog(parent) {
  DImageMap = this;
  resize(524, 505);
  auto view = std::make_unique<TImagingVect>();
  CtrlVect = view.get();
  CtrlVect->SetCtl3D(false);  // a thin border, one pixel on each side
  CtrlVectHost = new TPxViewWidget(std::move(view), this);
  CtrlVectHost->setObjectName("CtrlVect");
  // A one-pixel border: the picture, shown at its own size, starts at client (0, 0).
  CtrlVectHost->setFrameStyle(QFrame::Box | QFrame::Plain);
  CtrlVectHost->setLineWidth(1);
  CtrlVectHost->OnMouseUp = [this](TPxMouseButton, TPxShiftState, int32_t x, int32_t y) {
    CtrlVectMouseUp(x, y);
  };
  // The view keeps every key it is given, Escape included.
  CtrlVectHost->installEventFilter(this);
}

// Escape closes the chooser as its close button does: nothing is chosen.
bool TDImageMap::eventFilter(QObject* watched, QEvent* event) {
  if (watched == CtrlVectHost && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    close();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void TDImageMap::AddRegion(const std::string& name, int32_t left, int32_t top, int32_t right,
                           int32_t bottom) {
  Regions.push_back(std::make_unique<XaImageArea>(left, top, right, bottom, name));
}

void TDImageMap::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TDImageMap::FormShow() {
  ClickX = ClickY = -1;
  ChosenName.clear();
  ChosenIndex = -1;
  PxRunGuarded(this, [this] { CtrlVect->GetIO().LoadFromFile(PictureFile); });
  const int w = CtrlVect->GetIO().Params.Width, h = CtrlVect->GetIO().Params.Height;
  // Room for the view's border around the picture shown at its own size.
  setFixedSize(w + 2, h + 2);
  CtrlVectHost->setGeometry(0, 0, w + 2, h + 2);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

void TDImageMap::CtrlVectMouseUp(int32_t x, int32_t y) {
  ClickX = x;
  ClickY = y;
  ChosenIndex = HitImageArea(Regions, x, y);
  ChosenName = ChosenIndex < 0 ? std::string() : Regions[ChosenIndex]->Name;
  accept();
}

XaChosenLayout ChooseLayout(const std::string& caption, const std::string& pictureFile) {
  DImageMap->setWindowTitle(QString::fromStdString(caption));
  DImageMap->PictureFile = pictureFile;
  DImageMap->exec();
  return {DImageMap->ChosenName, DImageMap->ChosenIndex, DImageMap->ClickX, DImageMap->ClickY};
}

void ClearRegions() { DImageMap->Regions.clear(); }

void AddRegion(const std::string& name, int32_t left, int32_t top, int32_t right, int32_t bottom) {
  DImageMap->AddRegion(name, left, top, right, bottom);
}
