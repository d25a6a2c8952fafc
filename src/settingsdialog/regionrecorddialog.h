#pragma once

#include <QDialog>
#include <QList>
#include <QPixmap>
#include <QPointer>
#include <QRect>
#include <QRegion>

#include "platform/backend.h"

class QBoxLayout;
class Ui_RegionRecordDialog;

// Full-screen dialog over a still screenshot of the desktop in which the
// user drags, moves and resizes the rectangle to record.
class RegionRecordDialog : public QDialog {
  Q_OBJECT

 public:
  explicit RegionRecordDialog(QWidget* parent = nullptr);
  ~RegionRecordDialog() override;

  // Pre-selects a rectangle (dialog coordinates).
  void SetRegion(QRect rect);
  // The chosen rectangle with (right - left) and (bottom - top) made even.
  QRect GetRegion();
  // What to record of the chosen rectangle: inside the region frame's line,
  // in device pixels of the desktop, with even width and height.
  platform::Rect GetDeviceRegion();

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
