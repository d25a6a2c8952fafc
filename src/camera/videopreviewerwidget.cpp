#include "camera/videopreviewerwidget.h"

#include <QMouseEvent>
#include <QWindow>

#include "camera/camerapreviewer.h"
#include "camera/deviceinfods.h"

ResizeWidget::ResizeWidget(QWidget* parent) : QWidget(parent) {
  setMouseTracking(true);
  setWindowFlags(Qt::FramelessWindowHint | Qt::SubWindow);
  setStyleSheet("background:black");
  setAttribute(Qt::WA_StyledBackground);
}

ResizeWidget::Zone ResizeWidget::HitTest(const QPoint& pos) const {
  const int x = pos.x(), y = pos.y(), b = m_borderWidth;
  const bool right = x >= width() - b;
  const bool bottom = y >= height() - b;
  if (x < b && y < b) return Zone::TopLeft;
  if (right && y < b) return Zone::TopRight;
  if (x < b && bottom) return Zone::BottomLeft;
  if (right && bottom) return Zone::BottomRight;
  if (x < b) return Zone::Left;
  if (right) return Zone::Right;
  if (y < b) return Zone::Top;
  if (bottom) return Zone::Bottom;
  return Zone::None;
}

void ResizeWidget::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    m_pressPosition = event->pos();
    Qt::Edges edges;
    switch (HitTest(event->pos())) {
      case Zone::TopLeft: edges = Qt::TopEdge | Qt::LeftEdge; break;
      case Zone::TopRight: edges = Qt::TopEdge | Qt::RightEdge; break;
      case Zone::BottomLeft: edges = Qt::BottomEdge | Qt::LeftEdge; break;
      case Zone::BottomRight: edges = Qt::BottomEdge | Qt::RightEdge; break;
      case Zone::Left: edges = Qt::LeftEdge; break;
      case Zone::Right: edges = Qt::RightEdge; break;
      case Zone::Top: edges = Qt::TopEdge; break;
      case Zone::Bottom: edges = Qt::BottomEdge; break;
      case Zone::None: break;
    }
    // A border press hands the resize to the window manager.
    if (edges && windowHandle() && windowHandle()->startSystemResize(edges)) {
      event->accept();
      return;
    }
  }
  QWidget::mousePressEvent(event);
}

void ResizeWidget::mouseMoveEvent(QMouseEvent* event) {
  if (event->buttons() & Qt::LeftButton) move(pos() + event->pos() - m_pressPosition);
  QWidget::mouseMoveEvent(event);
}

VideoPreviewerWidget::VideoPreviewerWidget(QWidget* parent) : ResizeWidget(parent) {
  setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
}

VideoPreviewerWidget::~VideoPreviewerWidget() { m_previewer.reset(); }

bool VideoPreviewerWidget::StartPreview(const std::string& name, const std::string& id) {
  VideoCaptureCapability chosen;
  if (DeviceInfoDS* info = CreateDeviceInfoDS()) {
    chosen = ChoosePreviewCapability(info, id, name);
    delete info;
  }
  if (chosen.width <= 0) return false;
  if (!m_previewer) m_previewer = std::make_unique<CameraPreviewer>();
  const QSize before = size();
  resize(360, int(360.0 * std::abs(chosen.height) / chosen.width));
  if (m_previewer->Init(id, name, this, chosen)) return true;
  // A camera that cannot stream (busy, format refused) is not in use.
  m_previewer.reset();
  resize(before);
  return false;
}

void VideoPreviewerWidget::StopPreview() { m_previewer.reset(); }

std::string VideoPreviewerWidget::DeviceId() const {
  return m_previewer ? m_previewer->DeviceId() : std::string();
}
