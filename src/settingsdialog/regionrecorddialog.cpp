#include "settingsdialog/regionrecorddialog.h"

#include <QApplication>
#include <QBoxLayout>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QToolTip>

#include <glog/logging.h>

#include <cmath>
#include <memory>

#include "platform/screen_copy.h"
#include "settingsdialog/monitorlist.h"
#include "ui_regionrecorddialog.h"
#include "utils.h"

namespace {

constexpr int kMinimumSide = 310;
// Long enough for a window hidden just before to be gone from the screen,
// the compositor's repaint included.
constexpr int kSettleMs = 250;

std::string Utf8(const std::wstring& text) { return QString::fromStdWString(text).toStdString(); }

// The toolkit's screen of a monitor: by name, else by its corner.
QScreen* ScreenOf(const std::string& name, const platform::Rect& rect) {
  for (QScreen* screen : QGuiApplication::screens())
    if (screen->name().toStdString() == name) return screen;
  for (QScreen* screen : QGuiApplication::screens())
    if (screen->geometry().topLeft() == QPoint(rect.left, rect.top)) return screen;
  return nullptr;
}

// Lets what was hidden just before leave the screen.
void Settle() {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < kSettleMs) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    QThread::msleep(10);
  }
}

}  // namespace

RegionRecordDialog::RegionRecordDialog(QWidget* parent)
    : QDialog(parent), ui(new Ui_RegionRecordDialog) {
  ui->setupUi(this);
  m_handleSize = 5;
  m_maskAlpha = 1;
  for (QRect* handle : {&m_topLeft, &m_topRight, &m_bottomLeft, &m_bottomRight, &m_middleLeft,
                        &m_topMiddle, &m_middleRight, &m_bottomMiddle}) {
    *handle = QRect(0, 0, m_handleSize, m_handleSize);
    m_handles.append(handle);
  }

  setAttribute(Qt::WA_TranslucentBackground);
  setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);

  for (const MonitorItem& monitor : GetMonitors())
    if (monitor.isPrimary) SetMonitor(monitor.monitor);

  m_toolBar = new QWidget(this);
  m_toolBar->resize(ToolBarSize());
  m_toolBar->setStyleSheet(
      "QWidget { background: #F3F3F3; border-radius:5px; padding: 0; }QPushButton "
      "{color:black; background: transparent; border: 1px solid #C9C9C9; "
      "border-radius:5px; }QPushButton:hover { background:#F6F6F6 }QPushButton:pressed "
      "{background:#004C87;color:white }");
  auto* layout = new QHBoxLayout();
  AddButton(QStringLiteral("取消"), SLOT(onCancel()), layout);
  AddButton(QStringLiteral("确定"), SLOT(onOK()), layout);
  layout->setMargin(0);
  layout->setSpacing(0);
  m_toolBar->setLayout(layout);

  m_selection = QRect(QPoint(300, 200), QPoint(700, 600));
  PlaceToolBar();
  m_toolBar->show();
}

RegionRecordDialog::~RegionRecordDialog() { delete ui; }

void RegionRecordDialog::SetMonitor(platform::MonitorId monitor) {
  for (const MonitorItem& item : GetMonitors()) {
    if (item.monitor != monitor) continue;
    if (Utf8(item.deviceName) == m_monitorName && item.rect == m_monitorRect) return;
    m_monitorName = Utf8(item.deviceName);
    m_monitorRect = item.rect;
    m_screen = ScreenOf(m_monitorName, m_monitorRect);
    m_scale = m_screen ? m_screen->devicePixelRatio() : devicePixelRatioF();
    GrabScreen();
    if (!m_background.isNull()) setFixedSize(BackgroundSize());
    setGeometry(LogicalGeometry());
    PlaceToolBar();
    return;
  }
  LOG(ERROR) << "region picker: no monitor " << monitor;
}

platform::MonitorId RegionRecordDialog::GetMonitor() const {
  for (const MonitorItem& item : GetMonitors())
    if (Utf8(item.deviceName) == m_monitorName) return item.monitor;
  LOG(ERROR) << "the monitor " << m_monitorName << " is gone";
  return 0;
}

// The toolkit keeps a screen's corner in device pixels and scales what lies
// beyond it.
QRect RegionRecordDialog::LogicalGeometry() const {
  if (m_screen) return m_screen->geometry();
  return QRect(m_monitorRect.left, m_monitorRect.top,
               static_cast<int>(m_monitorRect.Width() / m_scale),
               static_cast<int>(m_monitorRect.Height() / m_scale));
}

void RegionRecordDialog::SetRegion(QRect rect) {
  m_selection = rect;
  PlaceToolBar();
}

QRect RegionRecordDialog::GetRegion() {
  if ((m_selection.right() - m_selection.left()) % 2 != 0)
    m_selection.setRight(m_selection.right() - 1);
  if ((m_selection.bottom() - m_selection.top()) % 2 != 0)
    m_selection.setBottom(m_selection.bottom() - 1);
  return m_selection;
}

platform::Rect RegionRecordDialog::GetDeviceRegion() const {
  const QRect d = DeviceSelection();
  return platform::Rect{m_monitorRect.left + d.left(), m_monitorRect.top + d.top(),
                        m_monitorRect.left + d.left() + d.width(),
                        m_monitorRect.top + d.top() + d.height()};
}

// The outline runs from the left edge up to the right one (right - left
// pixels), evened as GetRegion evens it; scaled to device pixels it is
// evened again, for the encoder.
QRect RegionRecordDialog::DeviceSelection() const {
  if (m_selection.isNull()) return QRect();
  const QRect q = m_selection.normalized();
  int right = q.right(), bottom = q.bottom();
  if ((right - q.left()) % 2 != 0) --right;
  if ((bottom - q.top()) % 2 != 0) --bottom;
  const auto device = [this](int v) { return static_cast<int>(std::lround(v * m_scale)); };
  const int left = device(q.left()), top = device(q.top());
  int width = device(right) - left, height = device(bottom) - top;
  width -= width % 2;
  height -= height % 2;
  return QRect(left, top, std::max(width, 0), std::max(height, 0));
}

QSize RegionRecordDialog::BackgroundSize() const {
  return m_background.size() / m_background.devicePixelRatio();
}

// The monitor's picture in its own device pixels, taken once the windows
// hidden for the pick are gone from the screen.
void RegionRecordDialog::GrabScreen() {
  m_background = QPixmap();
  if (m_monitorRect.IsEmpty()) return;
  Settle();
  std::unique_ptr<platform::ScreenCopy> copy;
  QImage image(m_monitorRect.Width(), m_monitorRect.Height(), QImage::Format_RGB32);
  if (platform::OpenScreenCopy(&copy) != platform::Result::Ok ||
      copy->CopyRect(m_monitorRect, image.bits()) != platform::Result::Ok) {
    LOG(ERROR) << "region picker: the screen cannot be read";
    return;
  }
  m_background = QPixmap::fromImage(image);
  m_background.setDevicePixelRatio(m_scale);
}

QSize RegionRecordDialog::ToolBarSize() const {
  return GetScreenGeometry().width() > 1920 ? QSize(440, 100) : QSize(220, 50);
}

QSize RegionRecordDialog::ToolButtonSize() const {
  return GetScreenGeometry().width() > 1920 ? QSize(140, 60) : QSize(70, 30);
}

void RegionRecordDialog::AddButton(const QString& text, const char* slot, QBoxLayout* layout) {
  auto* button = new QPushButton(text, this);
  button->setFixedSize(ToolButtonSize());
  connect(button, SIGNAL(clicked()), this, slot);
  button->setCursor(Qt::ArrowCursor);
  layout->addWidget(button);
}

void RegionRecordDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  const QRect monitor = LogicalGeometry();
  resize(monitor.size());
  move(monitor.topLeft());
  setMouseTracking(true);
}

void RegionRecordDialog::mousePressEvent(QMouseEvent* event) {
  const QPoint point = event->pos();
  if (event->button() == Qt::LeftButton) {
    if (!m_selection.isNull() && !m_selection.contains(point)) return;
    m_pressing = true;
    m_currentPos = m_pressPos = point;
    m_pressSelection = m_selection;
    if (!m_selection.contains(point)) {
      m_creating = true;
      m_selection = QRect();
      update();
    } else if (HitHandle(point)) {
      // Resizing with m_activeHandle.
    } else {
      setCursor(Qt::ArrowCursor);
    }
  } else if (event->button() == Qt::RightButton || event->button() == Qt::MiddleButton) {
    reject();
  }
}

void RegionRecordDialog::mouseMoveEvent(QMouseEvent* event) {
  const QPoint point = event->pos();
  if (m_pressing) {
    m_currentPos = point;
    if (m_creating) {
      m_selection = QRect(m_pressPos, ClampPoint(m_currentPos, rect())).normalized();
    } else if (m_activeHandle) {
      QRect q = m_pressSelection;
      const QPoint d = m_currentPos - m_pressPos;
      QRect* h = m_activeHandle;
      if (h == &m_topLeft || h == &m_topMiddle || h == &m_topRight) q.setTop(q.top() + d.y());
      if (h == &m_topLeft || h == &m_middleLeft || h == &m_bottomLeft)
        q.setLeft(q.left() + d.x());
      if (h == &m_bottomLeft || h == &m_bottomMiddle || h == &m_bottomRight)
        q.setBottom(q.bottom() + d.y());
      if (h == &m_topRight || h == &m_middleRight || h == &m_bottomRight)
        q.setRight(q.right() + d.x());
      if (!IsSizeAllowed(q)) return;
      q = q.normalized();
      q.setTopLeft(ClampPoint(q.topLeft(), rect()));
      q.setBottomRight(ClampPoint(q.bottomRight(), rect()));
      m_selection = q;
    } else {
      const QRect h = m_pressSelection.normalized();
      QRect area = rect();
      area.setBottomRight(area.bottomRight() - QPoint(h.width(), h.height()));
      if (area.isValid() && !area.isNull())
        m_selection.moveTopLeft(ClampPoint(h.topLeft() + m_currentPos - m_pressPos, area));
    }
    PlaceToolBar();
    update();
    return;
  }

  if (m_selection.isNull()) {
    update();
    return;
  }
  if (!m_selection.contains(point)) setCursor(Qt::ArrowCursor);
  if (HitHandle(point)) {
    QRect* h = m_activeHandle;
    if (h == &m_topLeft || h == &m_bottomRight)
      setCursor(Qt::SizeFDiagCursor);
    else if (h == &m_topRight || h == &m_bottomLeft)
      setCursor(Qt::SizeBDiagCursor);
    else if (h == &m_middleLeft || h == &m_middleRight)
      setCursor(Qt::SizeHorCursor);
    else
      setCursor(Qt::SizeVerCursor);
  } else {
    m_activeHandle = nullptr;
    setCursor(m_selection.contains(point) ? Qt::SizeAllCursor : Qt::ArrowCursor);
  }
}

void RegionRecordDialog::mouseReleaseEvent(QMouseEvent*) {
  if (!m_selection.isNull() && m_toolBar) m_toolBar->show();
  m_pressing = false;
  m_creating = false;
}

bool RegionRecordDialog::HitHandle(const QPoint& point) {
  for (QRect* handle : m_handles) {
    if (handle->contains(point)) {
      m_activeHandle = handle;
      return true;
    }
  }
  return false;
}

QPoint RegionRecordDialog::ClampPoint(const QPoint& p, const QRect& r) const {
  const int x = p.x() < r.left() ? r.left() : (p.x() < r.right() ? p.x() : r.right());
  const int y = p.y() < r.top() ? r.top() : (p.y() < r.bottom() ? p.y() : r.bottom());
  return QPoint(x, y);
}

bool RegionRecordDialog::IsSizeAllowed(const QRect& r) const {
  return !(r.width() < kMinimumSide || r.height() < kMinimumSide);
}

void RegionRecordDialog::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (m_selection.isNull()) return;
  QRect r = m_selection;
  r.setTopLeft(ClampPoint(r.topLeft(), rect()));
  r.setBottomRight(ClampPoint(r.bottomRight(), rect()));
  m_selection = (r.width() < 2 || r.height() < 2) ? QRect() : r;
}

void RegionRecordDialog::LayoutHandles() {
  QRect r = m_selection.normalized().adjusted(0, 0, -1, -1);
  const int half = m_handleSize / 2;
  m_topLeft.moveTopLeft(r.topLeft());
  m_topRight.moveTopRight(r.topRight());
  m_bottomLeft.moveBottomLeft(r.bottomLeft());
  m_bottomRight.moveBottomRight(r.bottomRight());
  m_middleLeft.moveTopLeft(QPoint(r.x(), r.y() + r.height() / 2 - half));
  m_topMiddle.moveTopLeft(QPoint(r.x() + r.width() / 2 - half, r.y()));
  m_middleRight.moveTopRight(QPoint(r.right(), r.y() + r.height() / 2 - half));
  m_bottomMiddle.moveBottomLeft(QPoint(r.x() + r.width() / 2 - half, r.bottom()));
}

QRegion RegionRecordDialog::HandlesRegion() const {
  QRegion region;
  for (const QRect* handle : m_handles) region += *handle;
  return region;
}

void RegionRecordDialog::PlaceToolBar() {
  if (!m_toolBar) return;
  const QSize s = ToolBarSize();
  const int right = m_selection.x() + m_selection.width();
  const int below = m_selection.y() + m_selection.height();
  const int x = right - s.width();
  int y;
  if (below + 2 * s.height() < BackgroundSize().height())
    y = below;
  else if (m_selection.y() - 2 * s.height() >= 0)
    y = m_selection.y() - s.height();
  else
    y = below - 2 * s.height();
  m_toolBar->move(x, y);
}

void RegionRecordDialog::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
  painter.setFont(QToolTip::font());
  painter.drawPixmap(0, 0, m_background);

  const QRect r = m_selection.normalized().adjusted(0, 0, -1, -1);
  const QPen red(QColor(255, 0, 0));
  painter.setClipRegion(QRegion(rect()).subtracted(QRegion(r)));
  painter.setPen(red);
  painter.setBrush(QColor(0, 0, 0, m_maskAlpha));
  painter.drawRect(-1, -1, width() + 1, height() + 1);
  painter.setClipRect(rect());

  if (m_selection.isNull()) return;
  // The outline on the border pixels of what is recorded, pixel for pixel.
  const QRect d = DeviceSelection();
  if (!d.isEmpty()) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.scale(1.0 / m_scale, 1.0 / m_scale);
    for (const QRect& edge : {QRect(d.left(), d.top(), d.width(), 1),
                              QRect(d.left(), d.bottom(), d.width(), 1),
                              QRect(d.left(), d.top(), 1, d.height()),
                              QRect(d.right(), d.top(), 1, d.height())})
      painter.fillRect(edge, QColor(255, 0, 0));
    painter.restore();
  }

  const QString text = QString("%1 x %2").arg(d.width()).arg(d.height());
  QRect box = painter.boundingRect(rect(), Qt::AlignLeft, text);
  if (m_selection.y() > 5)
    box.moveBottomLeft(m_selection.topLeft());
  else
    box.moveTopLeft(m_selection.topLeft());
  painter.setPen(red);
  painter.drawText(box, text);

  if ((r.width() > 2 * m_handleSize && r.height() > 2 * m_handleSize) || !m_pressing) {
    LayoutHandles();
    painter.setBrush(QColor(255, 0, 0));
    painter.setPen(red);
    for (const QRect& handle : HandlesRegion()) painter.drawRect(handle);
  }
}

void RegionRecordDialog::onCancel() { reject(); }

void RegionRecordDialog::onOK() { accept(); }
