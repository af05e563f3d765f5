#include "app/ImageMapDlg.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QScreen>
#include <QShowEvent>

TDImageMap* DImageMap = nullptr;

TDImageMap::TDImageMap(QWidget* parent) : QDialog(parent) {
  DImageMap = this;
  resize(524, 505);
  CtrlVect = new QLabel(this);
  CtrlVect->setObjectName("CtrlVect");
  CtrlVect->setFrameStyle(QFrame::Box | QFrame::Plain);
  CtrlVect->setLineWidth(1);
  CtrlVect->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  CtrlVect->installEventFilter(this);
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
  QPixmap picture(QString::fromStdString(PictureFile));
  CtrlVect->setPixmap(picture);
  // Room for the one-pixel border around the picture shown at its own size.
  setFixedSize(picture.width() + 2, picture.height() + 2);
  CtrlVect->setGeometry(0, 0, picture.width() + 2, picture.height() + 2);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

bool TDImageMap::eventFilter(QObject* watched, QEvent* event) {
  if (watched == CtrlVect && event->type() == QEvent::MouseButtonRelease) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    const QPoint p = mouse->position().toPoint();
    CtrlVectMouseUp(p.x() - 1, p.y() - 1);
    return true;
  }
  return QDialog::eventFilter(watched, event);
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
