#include "mainwindow/shadowmenu.h"

ShadowMenu::ShadowMenu(QWidget* parent) : QMenu(parent) { InitStyle(); }

ShadowMenu::~ShadowMenu() = default;

void ShadowMenu::InitStyle() {
  QFont menuFont = font();
  menuFont.setPointSize(15);
  setFont(menuFont);
  setStyleSheet(
      "QMenu{ background-color: rgb(255, 255, 255); border: 1px solid rgb(239, 239, 239);"
      "                   border-radius: 5px; }"
      "QMenu::item { background-color: transparent;"
      "                          padding:3px 20px;"
      "                        height:40px}"
      "QMenu::item:selected { background-color: #E7E7E7;}");
  // No drop shadow: asked per window, as X11 has no window-class style
  // shared by all menus.
  setWindowFlags(Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint);
  setAttribute(Qt::WA_TranslucentBackground);
  setObjectName("CustomMenu");
}
