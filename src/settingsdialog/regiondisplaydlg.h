#pragma once

#include <QDialog>
#include <QRect>

class Ui_RegionDisplayDlg;

// Transparent, always-on-top window that outlines the region being recorded
// in red: FrameAround places it just outside the recorded pixels, so that
// the outline is never in the recording.
class RegionDisplayDlg : public QDialog {
  Q_OBJECT

 public:
  explicit RegionDisplayDlg(QWidget* parent = nullptr);
  ~RegionDisplayDlg() override;

  // Keeps the rectangle and takes its size; does not move the window.
  void SetRegion(QRect rect);
  // Places the window around this rectangle of the desktop (device pixels)
  // with the outline on the pixels just outside it.
  void FrameAround(const QRect& device);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void UpdateMask();

  Ui_RegionDisplayDlg* ui = nullptr;
  QRect m_region;
  QRect m_device;        // the framed rectangle, device pixels; null with SetRegion
  QPoint m_nativeOrigin;  // where the toolkit puts the window, device pixels
  double m_scale = 1.0;
};
