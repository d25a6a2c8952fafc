#pragma once

#include <QDialog>
#include <QRect>

class Ui_RegionDisplayDlg;

// Transparent, always-on-top window that outlines the region being recorded
// in red. The owner moves it onto the region, then calls SetRegion and show.
class RegionDisplayDlg : public QDialog {
  Q_OBJECT

 public:
  explicit RegionDisplayDlg(QWidget* parent = nullptr);
  ~RegionDisplayDlg() override;

  // Keeps the rectangle and takes its size; does not move the window.
  void SetRegion(QRect rect);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void UpdateMask();

  Ui_RegionDisplayDlg* ui = nullptr;
  QRect m_region;
};
