// The About window: product name, version and maker. It doubles as the
// start-up splash, and its settings timer restores the main window's place.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class QTimer;

class TDAbout : public QDialog {
  Q_OBJECT

 public:
  explicit TDAbout(QWidget* parent = nullptr);

  QPushButton* OKButton;
  QTimer* CtrlSplash;
  QTimer* CtrlSettings;

 private:
  void CtrlSplashTimer();
  void CtrlSettingsTimer();
  void OKButtonClick();
};

// The one About window, created at start-up.
extern TDAbout* DAbout;
