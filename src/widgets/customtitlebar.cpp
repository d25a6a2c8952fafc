#include "widgets/customtitlebar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>

namespace {

constexpr int kTitleHeight = 60;

// "border:none" keeps the toolkit's own button bevel from being drawn under
// the transparent background.

const char kImageButtonSheet[] =
    "QPushButton {padding:10px 10px 10px 10px;background:transparent;border:none;image:url(%1);}"
    "QPushButton:hover {padding:10px 10px 10px 10px;image:url(%2);}"
    "QPushButton:pressed {padding:12px 10px 8px 10px;image:url(%3); }";

QString ImageButtonSheet(const char* normal, const char* hover, const char* pressed) {
  return QString(kImageButtonSheet).arg(normal, hover, pressed);
}

}  // namespace

CustomTitleBar::CustomTitleBar(QWidget* parent) : QWidget(parent) {
  m_titleLabel = new QLabel(this);
  m_buttonSettings = new QPushButton(this);
  m_buttonMin = new QPushButton(this);
  m_buttonRestore = new QPushButton(this);
  m_buttonMax = new QPushButton(this);
  m_buttonClose = new QPushButton(this);
  m_buttonHelp = new QPushButton(this);

  m_buttonHelp->setFixedSize(QSize(40, 40));
  m_buttonHelp->setFocusPolicy(Qt::NoFocus);
  m_buttonSettings->setFixedSize(QSize(60, 40));
  m_buttonMin->setFixedSize(QSize(40, 40));
  m_buttonRestore->setFixedSize(QSize(40, 40));
  m_buttonMax->setFixedSize(QSize(40, 40));
  m_buttonClose->setFixedSize(QSize(40, 40));

  m_buttonSettings->setText(QStringLiteral("设置"));
  m_titleLabel->setObjectName("TitleContent");
  m_buttonSettings->setObjectName("Settings");
  m_buttonMin->setObjectName("ButtonMin");
  m_buttonRestore->setObjectName("ButtonRestore");
  m_buttonMax->setObjectName("ButtonMax");
  m_buttonClose->setObjectName("ButtonClose");
  m_buttonHelp->setObjectName("ButtonHelp");

  auto* layout = new QHBoxLayout(this);
  layout->addWidget(m_titleLabel);
  layout->addWidget(m_buttonSettings);
  layout->addWidget(m_buttonHelp);
  layout->addWidget(m_buttonMin);
  layout->addWidget(m_buttonRestore);
  layout->addWidget(m_buttonMax);
  layout->addWidget(m_buttonClose);
  layout->setContentsMargins(10, 0, 0, 0);
  layout->setSpacing(0);

  m_buttonSettings->setStyleSheet(
      "QPushButton {padding:10px 10px 10px 10px;background:transparent;border:none;color:white}"
      "QPushButton:hover {padding:10px 10px 10px 10px;color:#46D4A6;}"
      "QPushButton:pressed {padding:12px 10px 8px 10px;color:#46D4A6}");
  m_buttonRestore->setStyleSheet("background:transparent;border:none");
  m_buttonMax->setStyleSheet("background:transparent;border:none");
  m_buttonMin->setStyleSheet(ImageButtonSheet(":/min.png", ":/min-hover.png", ":/min-hover.png"));
  m_buttonClose->setStyleSheet(
      ImageButtonSheet(":/close.png", ":/close-hover.png", ":/close-hover.png"));
  m_buttonHelp->setStyleSheet(
      ImageButtonSheet(":/help.png", ":/help-hover.png", ":/help-hover.png"));
  m_titleLabel->setStyleSheet("QLabel{background:transparent;font-weight:bold;font-size:20px}");
  m_titleLabel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

  setFixedHeight(kTitleHeight);

  for (QObject* child : children()) {
    if (auto* button = qobject_cast<QPushButton*>(child)) {
      button->setFocusPolicy(Qt::NoFocus);
      // Inside a dialog a button would become the default one and get its frame.
      button->setAutoDefault(false);
    }
  }

  connect(m_buttonHelp, &QPushButton::clicked, this, &CustomTitleBar::onButtonHelpClicked);
  connect(m_buttonSettings, &QPushButton::clicked, this,
          &CustomTitleBar::onButtonSettingsClicked);
  connect(m_buttonMin, &QPushButton::clicked, this, &CustomTitleBar::onButtonMinClicked);
  connect(m_buttonRestore, &QPushButton::clicked, this, &CustomTitleBar::onButtonRestoreClicked);
  connect(m_buttonMax, &QPushButton::clicked, this, &CustomTitleBar::onButtonMaxClicked);
  connect(m_buttonClose, &QPushButton::clicked, this, &CustomTitleBar::onButtonCloseClicked);

  setStyleSheet("color:white");
}

void CustomTitleBar::SetButtonType(int type) {
  m_buttonType = type;
  switch (type) {
    case 0:
    case 2:
      m_buttonRestore->setVisible(false);
      m_buttonMax->setVisible(false);
      m_buttonSettings->setVisible(false);
      m_buttonHelp->setVisible(false);
      break;
    case 1:
      m_buttonRestore->setVisible(false);
      m_buttonSettings->setVisible(false);
      m_buttonHelp->setVisible(false);
      break;
    case 3:
      m_buttonMax->setVisible(false);
      m_buttonRestore->setVisible(false);
      break;
    case 4:
      m_buttonMin->setVisible(false);
      m_buttonRestore->setVisible(false);
      m_buttonMax->setVisible(false);
      m_buttonSettings->setVisible(false);
      m_buttonHelp->setVisible(false);
      break;
    case 5:
      m_buttonMin->setVisible(false);
      m_buttonRestore->setVisible(false);
      m_buttonMax->setVisible(false);
      m_buttonClose->setVisible(false);
      m_buttonSettings->setVisible(false);
      m_buttonHelp->setVisible(false);
      break;
    default:
      break;
  }
}

void CustomTitleBar::SetTitleHeight(int height) { setFixedHeight(height); }

void CustomTitleBar::SetTitleWidth(int width) { setFixedWidth(width); }

void CustomTitleBar::SetTitleContent(const QString& text, int pointSize) {
  QFont font = m_titleLabel->font();
  font.setPointSize(pointSize);
  m_titleLabel->setFont(font);
  m_titleLabel->setText(text);
  m_titleContent = text;
}

void CustomTitleBar::SaveRestoreInfo(QPoint pos, QSize size) {
  m_restorePos = pos;
  m_restoreSize = size;
}

void CustomTitleBar::GetRestoreInfo(QPoint& pos, QSize& size) {
  pos = m_restorePos;
  size = m_restoreSize;
}

void CustomTitleBar::onButtonHelpClicked() { emit signalButtonHelpClicked(); }

void CustomTitleBar::onButtonSettingsClicked() { emit signalButtonSettingsClicked(); }

void CustomTitleBar::onButtonMinClicked() { emit signalButtonMinClicked(); }

void CustomTitleBar::onButtonRestoreClicked() {
  m_buttonRestore->setVisible(false);
  m_buttonMax->setVisible(true);
  emit signalButtonRestoreClicked();
}

void CustomTitleBar::onButtonMaxClicked() {
  m_buttonMax->setVisible(false);
  m_buttonRestore->setVisible(true);
  emit signalButtonMaxClicked();
}

void CustomTitleBar::onButtonCloseClicked() { emit signalButtonCloseClicked(); }

void CustomTitleBar::mousePressEvent(QMouseEvent* event) {
  // A maximised window (type 1 with the maximise button hidden) is not dragged.
  if (m_buttonType != 1 || !m_buttonMax->isHidden()) {
    m_isPressed = true;
    m_startMovePos = event->globalPos();
  }
  QWidget::mousePressEvent(event);
}

void CustomTitleBar::mouseMoveEvent(QMouseEvent* event) {
  if (m_isPressed && parentWidget()) {
    QPoint delta = event->globalPos() - m_startMovePos;
    QPoint windowPos = parentWidget()->pos();
    m_startMovePos = event->globalPos();
    parentWidget()->move(windowPos + delta);
  }
  QWidget::mouseMoveEvent(event);
}

void CustomTitleBar::mouseReleaseEvent(QMouseEvent* event) {
  m_isPressed = false;
  QWidget::mouseReleaseEvent(event);
}

void CustomTitleBar::mouseDoubleClickEvent(QMouseEvent* event) {
  if (m_buttonType == 1) {
    if (!m_buttonMax->isHidden())
      onButtonMaxClicked();
    else
      onButtonRestoreClicked();
  }
  QWidget::mouseDoubleClickEvent(event);
}

void CustomTitleBar::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.fillRect(QRect(0, 0, width(), height()), QBrush(QColor(62, 62, 62, 255)));
  if (parentWidget() && width() != parentWidget()->width())
    setFixedWidth(parentWidget()->width());
  QWidget::paintEvent(event);
}
