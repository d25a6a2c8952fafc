#include "settingsdialog/monitorpreviewdialog.h"

#include <glog/logging.h>

#include <QIcon>
#include <QImage>
#include <QListWidgetItem>
#include <QMetaType>
#include <QPixmap>
#include <QVariant>

#include <memory>

#include "recorder/videocapture/windowcapturerinterface.h"
#include "ui_monitorpreviewdialog.h"
#include "utils.h"
#include "widgets/customtitlebar.h"

namespace {

MonitorPreviewDialog::CapturerFactory& Factory() {
  static MonitorPreviewDialog::CapturerFactory factory;
  return factory;
}

WindowCapturerInterface* MakeCapturer(int type) {
  if (Factory()) return Factory()(type);
  return CreateCapturer(type);
}

int MonitorHandleType() {
  static const int id = qRegisterMetaType<platform::MonitorId>("HMONITOR");
  return id;
}

}  // namespace

void MonitorPreviewDialog::SetCapturerFactory(CapturerFactory factory) {
  Factory() = std::move(factory);
}

MonitorPreviewDialog::MonitorPreviewDialog(QWidget* parent)
    : FramelessDialog(parent), ui(new Ui_MonitorPreviewDialog), m_monitors(GetMonitors()) {
  MonitorHandleType();
  ui->setupUi(this);

  m_titleBar = new CustomTitleBar(this);
  m_titleBar->move(0, 0);
  m_titleBar->SetButtonType(4);
  connect(m_titleBar, &CustomTitleBar::signalButtonCloseClicked, this,
          &MonitorPreviewDialog::onButtonCloseClicked);
  m_titleBar->SetTitleWidth(width());
  m_titleBar->SetTitleHeight(50);
  m_titleBar->SetTitleContent(QStringLiteral("选择显示器"), 9);

  setStyleSheet(
      "QPushButton#pushButton,#pushButton_2 {color:black; border: 1px solid #C9C9C9; "
      "border-radius:5px; }QPushButton:hover { background:#F6F6F6 }QPushButton:pressed "
      "{background:#46D4A6;color:white }");
  ui->pushButton->setFixedWidth(120);
  ui->pushButton_2->setFixedWidth(120);

  ui->listWidget->setStyleSheet("background:#F6F6F6");
  ui->listWidget->setSpacing(10);
  ui->listWidget->setViewMode(QListView::IconMode);
  ui->listWidget->setIconSize(QSize(160, 90));
  ui->listWidget->setMovement(QListView::Static);
  ui->listWidget->setSelectionMode(QAbstractItemView::SingleSelection);

  // OK only with a monitor chosen.
  connect(ui->listWidget, &QListWidget::itemSelectionChanged, this, [this] {
    ui->pushButton->setEnabled(!ui->listWidget->selectedItems().isEmpty());
  });
  ui->pushButton->setEnabled(false);
  for (const MonitorItem& monitor : m_monitors) AddMonitorItem(monitor);
  ui->listWidget->setCurrentRow(0);
}

MonitorPreviewDialog::~MonitorPreviewDialog() { delete ui; }

platform::MonitorId MonitorPreviewDialog::SelectedMonitor() {
  const QList<QListWidgetItem*> selected = ui->listWidget->selectedItems();
  if (selected.isEmpty()) return 0;
  const QVariant value = selected.first()->data(kMonitorRole);
  if (value.userType() != MonitorHandleType()) return 0;
  const std::wstring name = selected.first()->data(kMonitorNameRole).toString().toStdWString();
  for (const MonitorItem& monitor : GetMonitors())
    if (monitor.deviceName == name) return monitor.monitor;
  LOG(ERROR) << "the chosen monitor " << QString::fromStdWString(name).toStdString()
             << " is gone";
  return 0;
}

void MonitorPreviewDialog::AddMonitorItem(const MonitorItem& item) {
  const QString text = QString::fromUtf8(WideToMultiByte(item.deviceName).c_str());

  QPixmap pixmap;
  std::unique_ptr<WindowCapturerInterface> capturer(MakeCapturer(2));
  if (capturer) {
    uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    if (!capturer->Snapshot(item.monitor, &data, &width, &height)) return;
    {
      QImage image(data, width, height, QImage::Format_ARGB32);
      pixmap.convertFromImage(image, Qt::AutoColor);
    }
    delete[] data;
  }

  const QPixmap scaled =
      pixmap.isNull() ? pixmap : pixmap.scaledToHeight(90, Qt::SmoothTransformation);
  QIcon icon;
  icon.addPixmap(scaled, QIcon::Normal, QIcon::Off);
  ui->listWidget->setIconSize(scaled.size());

  auto* listItem = new QListWidgetItem();
  listItem->setIcon(icon);
  listItem->setText(text);
  listItem->setSizeHint(QSize(160, 135));
  listItem->setData(kMonitorRole, QVariant::fromValue<platform::MonitorId>(item.monitor));
  listItem->setData(kMonitorNameRole, QString::fromStdWString(item.deviceName));
  ui->listWidget->addItem(listItem);
}

void MonitorPreviewDialog::on_pushButton_clicked() { accept(); }

void MonitorPreviewDialog::on_pushButton_2_clicked() { reject(); }

void MonitorPreviewDialog::onButtonCloseClicked() { reject(); }
