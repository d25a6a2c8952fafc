#pragma once

#include <QDialog>
#include <QList>
#include <QPixmap>
#include <QPointer>
#include <QRect>
#include <QRegion>

#include <string>

#include "platform/backend.h"

class QBoxLayout;
class QScreen;
class Ui_RegionRecordDialog;

// Dialog over a still screenshot of one monitor (the primary one unless
// another is set) in which the user drags, moves and resizes the rectangle
// to record.
class RegionRecordDialog : public QDialog {
  Q_OBJECT

 public:
  explicit RegionRecordDialog(QWidget* parent = nullptr);
  ~RegionRecordDialog() override;

  // Covers this monitor instead; an unknown one leaves the dialog where it is.
  void SetMonitor(platform::MonitorId monitor);
  // The handle the monitor has now (looked up by its name); 0 when it is gone.
  platform::MonitorId GetMonitor() const;
  // Pre-selects a rectangle (dialog coordinates).
  void SetRegion(QRect rect);
  // The chosen rectangle with (right - left) and (bottom - top) made even.
  QRect GetRegion();
  // What is recorded: the pixels the red outline encloses, in device pixels
  // of the desktop, with even width and height.
  platform::Rect GetDeviceRegion() const;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private slots:
  void onCancel();
  void onOK();

 private:
  void GrabScreen();
  // The screenshot's size in the dialog's own (logical) pixels.
  QSize BackgroundSize() const;
  // The outlined rectangle in device pixels from the monitor's corner; the
  // label shows its size.
  QRect DeviceSelection() const;
  QRect LogicalGeometry() const;
  bool HitHandle(const QPoint& point);
  QPoint ClampPoint(const QPoint& p, const QRect& r) const;
  bool IsSizeAllowed(const QRect& r) const;
  void LayoutHandles();
  QRegion HandlesRegion() const;
  void PlaceToolBar();
  void AddButton(const QString& text, const char* slot, QBoxLayout* layout);
  QSize ToolBarSize() const;
  QSize ToolButtonSize() const;

  Ui_RegionRecordDialog* ui = nullptr;
  std::string m_monitorName;
  platform::Rect m_monitorRect;  // device pixels of the desktop
  QScreen* m_screen = nullptr;   // the toolkit's screen of the monitor
  double m_scale = 1.0;          // device pixels per logical one
  QPixmap m_background;
  QPointer<QWidget> m_toolBar;
  QRect m_selection;
  bool m_pressing = false;
  bool m_creating = false;
  int m_handleSize = 5;
  QRect* m_activeHandle = nullptr;
  QPoint m_currentPos;
  int m_maskAlpha = 1;
  QRect m_topLeft;
  QRect m_topRight;
  QRect m_bottomLeft;
  QRect m_bottomRight;
  QRect m_middleLeft;
  QRect m_topMiddle;
  QRect m_middleRight;
  QRect m_bottomMiddle;
  QList<QRect*> m_handles;
  QPoint m_pressPos;
  QRect m_pressSelection;
};
