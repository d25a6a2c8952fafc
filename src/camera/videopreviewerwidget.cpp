#include "camera/videopreviewerwidget.h"

#include <QMouseEvent>
#include <QWindow>

#include <algorithm>

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

namespace {

Qt::Edges EdgesOf(ResizeWidget::Zone zone) {
  using Zone = ResizeWidget::Zone;
  switch (zone) {
    case Zone::TopLeft: return Qt::TopEdge | Qt::LeftEdge;
    case Zone::TopRight: return Qt::TopEdge | Qt::RightEdge;
    case Zone::BottomLeft: return Qt::BottomEdge | Qt::LeftEdge;
    case Zone::BottomRight: return Qt::BottomEdge | Qt::RightEdge;
    case Zone::Left: return Qt::LeftEdge;
    case Zone::Right: return Qt::RightEdge;
    case Zone::Top: return Qt::TopEdge;
    case Zone::Bottom: return Qt::BottomEdge;
    case Zone::None: break;
  }
  return {};
}

Qt::CursorShape CursorOf(ResizeWidget::Zone zone) {
  const Qt::Edges edges = EdgesOf(zone);
  if (edges == (Qt::TopEdge | Qt::LeftEdge) || edges == (Qt::BottomEdge | Qt::RightEdge))
    return Qt::SizeFDiagCursor;
  if (edges == (Qt::TopEdge | Qt::RightEdge) || edges == (Qt::BottomEdge | Qt::LeftEdge))
    return Qt::SizeBDiagCursor;
  if (edges & (Qt::LeftEdge | Qt::RightEdge)) return Qt::SizeHorCursor;
  if (edges) return Qt::SizeVerCursor;
  return Qt::ArrowCursor;
}

}  // namespace

void ResizeWidget::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    m_pressPosition = event->pos();
    const Zone zone = HitTest(event->pos());
    if (zone != Zone::None) {
      // The window manager resizes where it can; else the drag does.
      if (!windowHandle() || !windowHandle()->startSystemResize(EdgesOf(zone))) {
        m_resizeZone = zone;
        m_pressGlobal = event->globalPos();
        m_pressGeometry = geometry();
      }
      event->accept();
      return;
    }
  }
  QWidget::mousePressEvent(event);
}

void ResizeWidget::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton)) {
    setCursor(CursorOf(HitTest(event->pos())));
  } else if (m_resizeZone != Zone::None) {
    setGeometry(ResizedGeometry(event->globalPos()));
  } else {
    move(pos() + event->pos() - m_pressPosition);
  }
  QWidget::mouseMoveEvent(event);
}

void ResizeWidget::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) m_resizeZone = Zone::None;
  QWidget::mouseReleaseEvent(event);
}

QRect ResizeWidget::ResizedGeometry(const QPoint& global) const {
  const QPoint d = global - m_pressGlobal;
  const Qt::Edges edges = EdgesOf(m_resizeZone);
  // Never smaller than the borders themselves.
  const int minWidth = std::max(minimumWidth(), 3 * m_borderWidth);
  const int minHeight = std::max(minimumHeight(), 3 * m_borderWidth);
  QRect r = m_pressGeometry;
  if (edges & Qt::LeftEdge) r.setLeft(std::min(r.left() + d.x(), r.right() + 1 - minWidth));
  if (edges & Qt::RightEdge) r.setRight(std::max(r.right() + d.x(), r.left() + minWidth - 1));
  if (edges & Qt::TopEdge) r.setTop(std::min(r.top() + d.y(), r.bottom() + 1 - minHeight));
  if (edges & Qt::BottomEdge) r.setBottom(std::max(r.bottom() + d.y(), r.top() + minHeight - 1));
  return r;
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
