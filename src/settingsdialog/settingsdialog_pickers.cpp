#include "settingsdialog/settingsdialog_pickers.h"

#include <QColorDialog>
#include <QFontDialog>

QColor PickColor(const QColor& stored, bool* accepted) {
  QColorDialog dialog(nullptr);
  if (stored.isValid()) dialog.setCurrentColor(stored);
  *accepted = dialog.exec() == QDialog::Accepted;
  return dialog.selectedColor();
}

QFont PickFont(const QFont& stored, bool* accepted) {
  QFontDialog dialog(nullptr);
  if (!stored.family().isEmpty()) dialog.setCurrentFont(stored);
  *accepted = dialog.exec() == QDialog::Accepted;
  return dialog.currentFont();
}
