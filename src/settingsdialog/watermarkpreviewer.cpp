#include "settingsdialog/watermarkpreviewer.h"

#include <algorithm>

#include <QCursor>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include "settings.h"
#include "settingsdialog/settingsdialog.h"
#include "utils.h"

namespace {
// The settings row the full-screen preview returns to.
constexpr int kWatermarkPage = 5;

// The desktop as the first of a run of previewers grabbed it, before the
// settings dialog showed. Previewers made while one is alive (the full-screen
// one over the dialog, the dialog reopened from it) show it too rather than
// our own windows.
QPixmap* g_desktop = nullptr;
int g_previewers = 0;
}  // namespace

WatermarkPreviewer::WatermarkPreviewer(QWidget* parent) : QWidget(parent) {
  setAutoFillBackground(true);

  m_textLabel = new QLabel(this);
  m_textLabel->installEventFilter(this);
  m_textLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_textLabel->show();

  m_hintLabel = new QLabel(QStringLiteral("双击左键退出全屏"), this);
  m_hintLabel->setStyleSheet("color:red");
  QFont hintFont("Microsoft YaHei", 20, QFont::Bold);
  hintFont.setBold(true);
  m_hintLabel->setFont(hintFont);
  const QFontMetrics metrics(hintFont);
  m_hintLabel->setFixedWidth(metrics.horizontalAdvance(m_hintLabel->text()) + 6);
  m_hintLabel->setFixedHeight(metrics.height());
  m_hintLabel->hide();

  if (g_previewers++ == 0) {
    QScreen* screen = QGuiApplication::primaryScreen();
    g_desktop = new QPixmap(screen ? screen->grabWindow(0) : QPixmap());
  }
  m_screenshot = *g_desktop;
  m_preview = m_screenshot;
}

WatermarkPreviewer::~WatermarkPreviewer() {
  if (--g_previewers > 0) return;
  delete g_desktop;
  g_desktop = nullptr;
}

void WatermarkPreviewer::SetText(const QString& text) {
  m_textLabel->setText(text);
  UpdateLabelSize();
  MoveLabel(m_textLabel->pos());
}

void WatermarkPreviewer::SetTextFont(const QFont& font) {
  m_font = font;
  // The text as the recording's pixels show it: on a scaled screen a
  // logical pixel of this widget covers more than one of them.
  QFont shown = RecordingFont();
  const double ratio = devicePixelRatioF() > 0 ? devicePixelRatioF() : 1.0;
  const QSize picture = PictureSize();
  const double scale = picture.width() > 0 ? static_cast<double>(width()) / picture.width() : 1.0;
  shown.setPixelSize(std::max(1, qRound(RecordingPixels() * std::max(scale, 1.0 / ratio))));
  m_textLabel->setFont(shown);
  UpdateLabelSize();
  MoveLabel(m_textLabel->pos());
}

QFont WatermarkPreviewer::RecordingFont() const {
  return WatermarkFont(m_font, PictureSize().height() / 8);
}

int WatermarkPreviewer::RecordingPixels() const {
  // The recording draws on an image of 96 dots per inch.
  const QFont font = RecordingFont();
  return font.pixelSize() > 0 ? font.pixelSize() : qRound(font.pointSizeF() * 96.0 / 72.0);
}

void WatermarkPreviewer::SetTextColor(const QColor& color) {
  m_textLabel->setStyleSheet(
      QString("color:rgb(%1,%2,%3)").arg(color.red()).arg(color.green()).arg(color.blue()));
  m_textLabel->update();
}

void WatermarkPreviewer::UpdateLabelSize() {
  const QFontMetrics metrics(m_textLabel->font());
  m_textLabel->setFixedWidth(metrics.horizontalAdvance(m_textLabel->text()) + 6);
  m_textLabel->setFixedHeight(metrics.height());
  m_textLabel->update();
}

void WatermarkPreviewer::SetPreviewHeight(int h) {
  if (h <= 0) return;
  int w;
  if (m_preview.height() > 0) {
    w = static_cast<int>(static_cast<long long>(h) * m_preview.width() / m_preview.height());
  } else {
    // Nothing was grabbed: keep the screen's shape, or 16:9 without a screen.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize size = screen ? screen->size() : QSize(16, 9);
    w = size.height() > 0 ? h * size.width() / size.height() : h * 16 / 9;
  }
  setFixedWidth(w);
  setFixedHeight(h);
  if (!m_preview.isNull()) m_preview = m_preview.scaledToHeight(h, Qt::SmoothTransformation);
  MoveLabel(QPoint(width() / 2, height() / 2));
  update();
}

void WatermarkPreviewer::GetRelativePos(double& fx, double& fy) {
  fx = width() > 0 ? static_cast<double>(m_textLabel->x()) / width() : 0.0;
  fy = height() > 0 ? static_cast<double>(m_textLabel->y()) / height() : 0.0;
}

void WatermarkPreviewer::SetRelativePos(double fx, double fy) { PlaceLabel(QPointF(fx, fy)); }

void WatermarkPreviewer::MoveLabel(const QPoint& pos) {
  PlaceLabel(QPointF(width() > 0 ? static_cast<double>(pos.x()) / width() : 0.0,
                     height() > 0 ? static_cast<double>(pos.y()) / height() : 0.0));
}

void WatermarkPreviewer::PlaceLabel(const QPointF& fractions) {
  // Where the recording puts the text: the label shows the text at the
  // recording's size on a picture that may be smaller.
  const QSize picture = PictureSize();
  const double scale = picture.width() > 0 ? static_cast<double>(width()) / picture.width() : 1.0;
  m_textLabel->move(WatermarkTextPos(size(), WatermarkTextSize(m_textLabel->text(), RecordingFont()),
                                     &fractions, scale));
}

QSize WatermarkPreviewer::PictureSize() const {
  if (!m_screenshot.isNull()) return m_screenshot.size();
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->size() : size();
}

void WatermarkPreviewer::ShowFullScreen() {
  setParent(nullptr);
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
  // Without a window manager full-screen is only a state: size it too.
  if (QScreen* screen = QGuiApplication::primaryScreen()) setGeometry(screen->geometry());
  showFullScreen();
  m_hintLabel->move(width() / 2 - m_hintLabel->width() / 2, height() / 6);
  m_hintLabel->show();
}

bool WatermarkPreviewer::eventFilter(QObject* watched, QEvent* event) {
  if (watched != m_textLabel) return false;
  switch (event->type()) {
    case QEvent::MouseButtonPress:
      m_dragging = true;
      m_dragOffset = QCursor::pos() - m_textLabel->pos();
      break;
    case QEvent::MouseMove:
      if (m_dragging) {
        MoveLabel(QCursor::pos() - m_dragOffset);
        m_dragOffset = QCursor::pos() - m_textLabel->pos();
      }
      break;
    case QEvent::MouseButtonRelease:
      m_dragging = false;
      break;
    default:
      break;
  }
  return false;
}

void WatermarkPreviewer::mouseDoubleClickEvent(QMouseEvent* event) {
  QWidget::mouseDoubleClickEvent(event);
  if (windowState() != Qt::WindowFullScreen) return;
  double fx = 0, fy = 0;
  GetRelativePos(fx, fy);
  Settings::Instance()->SetWatermarkPos(fx, fy);
  close();  // deleted once control is back in the loop that delivered this event
  SettingsDialog dialog(nullptr);
  dialog.ShowPage(kWatermarkPage);
}

void WatermarkPreviewer::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect target(0, 0, width(), height());
  if (windowState() == Qt::WindowFullScreen)
    painter.drawPixmap(target, m_screenshot);
  else
    painter.drawPixmap(target, m_preview);
}
