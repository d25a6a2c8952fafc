#pragma once

#include <QPoint>
#include <QRect>
#include <QWidget>

#include <memory>
#include <string>

class CameraPreviewer;

// A frameless black window moved by dragging and resized by its border.
class ResizeWidget : public QWidget {
  Q_OBJECT
 public:
  // Where a press lands: a border zone (resize) or the inside (move).
  enum class Zone { None, TopLeft, TopRight, BottomLeft, BottomRight, Left, Right, Top, Bottom };

  explicit ResizeWidget(QWidget* parent = nullptr);
  // The zone of a point in widget coordinates.
  Zone HitTest(const QPoint& pos) const;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  // The geometry after dragging the pressed border to a global position.
  QRect ResizedGeometry(const QPoint& global) const;

  int m_borderWidth = 5;
  QPoint m_pressPosition;
  // A border resized by hand, where the window manager cannot do it.
  Zone m_resizeZone = Zone::None;
  QPoint m_pressGlobal;
  QRect m_pressGeometry;
};

// The floating camera window shown while recording.
class VideoPreviewerWidget : public ResizeWidget {
  Q_OBJECT
 public:
  explicit VideoPreviewerWidget(QWidget* parent = nullptr);
  ~VideoPreviewerWidget() override;

  bool StartPreview(const std::string& name, const std::string& id);
  void StopPreview();
  std::string DeviceId() const;

 private:
  std::unique_ptr<CameraPreviewer> m_previewer;
};
