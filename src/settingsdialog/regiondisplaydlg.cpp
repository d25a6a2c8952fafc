#include "settingsdialog/regiondisplaydlg.h"

#include <QPainter>
#include <QPen>
#include <QRegion>

#include "ui_regiondisplaydlg.h"

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
  setMask(QRegion(rect()).subtracted(QRegion(rect().adjusted(1, 1, -1, -1))));
}

RegionDisplayDlg::~RegionDisplayDlg() { delete ui; }

void RegionDisplayDlg::SetRegion(QRect rect) {
  m_region = rect;
  setFixedSize(rect.width(), rect.height());
  UpdateMask();
}

void RegionDisplayDlg::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.setPen(QPen(QBrush(QColor(255, 0, 0)), 2));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(0, 0, width(), height());
  painter.end();
  QDialog::paintEvent(event);
}
