#pragma once

#include <QMenu>

// The program's popup menu: white, rounded, tall items, light grey highlight,
// on a translucent frameless popup without the system's drop shadow.
class ShadowMenu : public QMenu {
  Q_OBJECT

 public:
  explicit ShadowMenu(QWidget* parent = nullptr);
  ~ShadowMenu() override;

 private:
  void InitStyle();
};
