#include "settingsdialog/regiondisplaydlg.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPen>
#include <QRegion>
#include <QScreen>

#include <cmath>

#include "ui_regiondisplaydlg.h"

namespace {

// The outline's width in device pixels.
int LineWidth(double scale) { return static_cast<int>(std::lround(2 * scale)) + 1; }

// The toolkit's screen holding a desktop point given in device pixels; it
// keeps each screen's corner in device pixels and scales what lies beyond.
QScreen* ScreenAt(const QPoint& device) {
  for (QScreen* screen : QGuiApplication::screens()) {
    const QRect g = screen->geometry();
    if (QRect(g.topLeft(), g.size() * screen->devicePixelRatio()).contains(device)) return screen;
  }
  return QGuiApplication::primaryScreen();
}

}  // namespace

RegionDisplayDlg::RegionDisplayDlg(QWidget* parent)
    : QDialog(parent), ui(new Ui_RegionDisplayDlg) {
  ui->setupUi(this);
  setFixedSize(500, 400);
  setAttribute(Qt::WA_TranslucentBackground);
  setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::SubWindow);
  UpdateMask();
  hide();
}

// Only the outline belongs to the window: without a compositing manager a
// transparent pixel would otherwise hide, and be recorded over, the content.
void RegionDisplayDlg::UpdateMask() {
  if (m_device.isNull()) {
    setMask(QRegion(rect()).subtracted(QRegion(rect().adjusted(1, 1, -1, -1))));
    return;
  }
  // The hole in logical pixels, rounded outwards: the toolkit scales each
  // rectangle of the mask and rounds, so its edges stay off the framed pixels.
  const QPoint from = m_device.topLeft() - m_nativeOrigin;
  const QPoint to = m_device.bottomRight() + QPoint(1, 1) - m_nativeOrigin;
  const QRect hole(QPoint(static_cast<int>(std::floor(from.x() / m_scale)),
                          static_cast<int>(std::floor(from.y() / m_scale))),
                   QPoint(static_cast<int>(std::ceil(to.x() / m_scale)) - 1,
                          static_cast<int>(std::ceil(to.y() / m_scale)) - 1));
  setMask(QRegion(rect()).subtracted(QRegion(hole)));
}

RegionDisplayDlg::~RegionDisplayDlg() { delete ui; }

void RegionDisplayDlg::SetRegion(QRect rect) {
  m_region = rect;
  m_device = QRect();
  setFixedSize(rect.width(), rect.height());
  UpdateMask();
}

void RegionDisplayDlg::FrameAround(const QRect& device) {
  const QScreen* screen = ScreenAt(device.center());
  const QPoint o = screen ? screen->geometry().topLeft() : QPoint();
  m_scale = screen ? screen->devicePixelRatio() : 1.0;
  m_device = device;
  // Logical edges outside the outline; the toolkit puts the window's corner
  // at o + (p - o) * scale, rounded.
  const int line = LineWidth(m_scale);
  const QRect outer = device.adjusted(-line, -line, line, line);
  const auto down = [&](int v, int origin) {
    return origin + static_cast<int>(std::floor((v - origin) / m_scale));
  };
  const auto up = [&](int v, int origin) {
    return origin + static_cast<int>(std::ceil((v - origin) / m_scale));
  };
  const QPoint topLeft(down(outer.left(), o.x()), down(outer.top(), o.y()));
  const QPoint bottomRight(up(outer.right() + 1, o.x()), up(outer.bottom() + 1, o.y()));
  m_nativeOrigin = o + (topLeft - o) * m_scale;  // rounded, as the toolkit does
  m_region = QRect(topLeft, bottomRight - QPoint(1, 1));
  setFixedSize(m_region.size());
  move(topLeft);
  UpdateMask();
  update();
}

void RegionDisplayDlg::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  if (m_device.isNull()) {
    painter.setPen(QPen(QBrush(QColor(255, 0, 0)), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(0, 0, width(), height());
  } else {
    // In device pixels: the band of the line's width around the rectangle.
    painter.scale(1.0 / m_scale, 1.0 / m_scale);
    painter.translate(-m_nativeOrigin);
    const QRect d = m_device;
    const int w = LineWidth(m_scale);
    for (const QRect& band : {QRect(d.left() - w, d.top() - w, d.width() + 2 * w, w),
                              QRect(d.left() - w, d.bottom() + 1, d.width() + 2 * w, w),
                              QRect(d.left() - w, d.top(), w, d.height()),
                              QRect(d.right() + 1, d.top(), w, d.height())})
      painter.fillRect(band, QColor(255, 0, 0));
  }
  painter.end();
  QDialog::paintEvent(event);
}
