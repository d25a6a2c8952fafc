#include "mainwindow/recordstatusbar.h"

#include <QCursor>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>

#include <glog/logging.h>

#include "mainwindow/mainwindow.h"
#include "platform/windows.h"
#include "ui_recordstatusbar.h"

RecordStatusBar::RecordStatusBar(MainWindow* window, QWidget* parent)
    : QWidget(parent), m_ui(new Ui_RecordStatusBar), m_window(window) {
  m_ui->setupUi(this);
  setWindowFlags(Qt::FramelessWindowHint | Qt::SubWindow | Qt::WindowStaysOnTopHint);
  connect(m_ui->pushButton_2, &QPushButton::clicked, this, &RecordStatusBar::onPlayPause);
  connect(m_ui->pushButton_3, &QPushButton::clicked, this, &RecordStatusBar::onStop);
  platform::Result result =
      platform::Windows().SetExcludedFromCapture(static_cast<platform::WindowId>(winId()), true);
  static bool logged = false;
  if (result != platform::Result::Ok && !logged) {
    logged = true;
    LOG(INFO) << "status bar stays visible to screen captures: " << platform::ResultName(result);
  }
  setAttribute(Qt::WA_TranslucentBackground);
}

RecordStatusBar::~RecordStatusBar() { delete m_ui; }

void RecordStatusBar::SetTimeText(const QString& text) { m_ui->label_2->setText(text); }

void RecordStatusBar::SetRecordState(int state) {
  if (state == 0)
    m_ui->pushButton_2->setIcon(QIcon(":/pause-noborder.png"));
  else if (state == 2)
    m_ui->pushButton_2->setIcon(QIcon(":/play-noborder.png"));
}

void RecordStatusBar::onPlayPause() {
  if (m_window) m_window->on_pushButton_clicked();
}

void RecordStatusBar::onStop() {
  if (m_window) m_window->on_pushButton_stop_clicked();
  close();
}

void RecordStatusBar::mousePressEvent(QMouseEvent*) {
  m_pressed = true;
  m_dragOffset = QCursor::pos() - pos();
}

void RecordStatusBar::mouseMoveEvent(QMouseEvent*) {
  if (!m_pressed) return;
  move(QCursor::pos() - m_dragOffset);
  m_dragOffset = QCursor::pos() - pos();
}

void RecordStatusBar::mouseReleaseEvent(QMouseEvent*) { m_pressed = false; }

// A floating tool, not a window of its own: kept out of the taskbar and
// the window switcher each time it is shown.
void RecordStatusBar::showEvent(QShowEvent* event) {
  const platform::Result result =
      platform::Windows().SetSkipTaskbar(static_cast<platform::WindowId>(winId()), true);
  if (result != platform::Result::Ok)
    LOG(WARNING) << "status bar stays in the taskbar: " << platform::ResultName(result);
  QWidget::showEvent(event);
}

void RecordStatusBar::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QBrush(QColor(62, 62, 62, 255)));
  painter.setPen(Qt::transparent);
  QRect r = rect();
  r.setWidth(r.width() - 1);
  r.setHeight(r.height() - 1);
  painter.drawRoundedRect(r, 10, 10);
  QPainterPath path;
  path.addRoundedRect(r, 15, 15);
  painter.drawPath(path);
  QWidget::paintEvent(event);
}
