#include "settingsdialog/windowsnapshotdialog.h"

#include <glog/logging.h>

#include <QBrush>
#include <QIcon>
#include <QImage>
#include <QListWidgetItem>

#include "platform/session_capabilities.h"
#include "ui_windowsnapshotdialog.h"
#include "widgets/customtitlebar.h"
#include "widgets/widgetstyle.h"

namespace {
constexpr int kWindowInfoRole = Qt::UserRole + 1;
}

WindowSnapshotDialog::WindowSnapshotDialog(QWidget* parent)
    : FramelessDialog(parent), ui(new Ui::WindowSnapshotDialog) {
  qRegisterMetaType<WindowInfo>("WindowInfo");
  ui->setupUi(this);

  m_titleBar = new CustomTitleBar(this);
  m_titleBar->move(0, 0);
  connect(m_titleBar, &CustomTitleBar::signalButtonCloseClicked, this,
          &WindowSnapshotDialog::onButtonCloseClicked);
  m_titleBar->SetButtonType(4);
  m_titleBar->SetTitleWidth(width());
  m_titleBar->SetTitleHeight(50);
  // Where the session lets us see only X11 programs' windows, the list says so.
  m_titleBar->SetTitleContent(platform::GetSessionCapabilities().windowCast
                                  ? QStringLiteral("请选择需要录制的应用窗口")
                                  : QStringLiteral("请选择需要录制的应用窗口（仅限 X11 程序）"),
                              9);

  m_style.reset(StyleFactory::Instance()->CreateStyle(1));
  if (m_style) {
    m_style->ApplyStyle(ui->pushButton);
    m_style->ApplyStyle(ui->pushButton_2);
  }
  // OK only with a window chosen: without one the whole desktop would be
  // recorded.
  connect(ui->listWidget, &QListWidget::itemSelectionChanged, this, [this] {
    ui->pushButton->setEnabled(!ui->listWidget->selectedItems().isEmpty());
  });
  ui->pushButton->setEnabled(false);
  LoadWindows();
}

WindowSnapshotDialog::~WindowSnapshotDialog() { delete ui; }

WindowInfo WindowSnapshotDialog::SelectedWindow() const {
  const auto selected = ui->listWidget->selectedItems();
  if (selected.isEmpty()) return WindowInfo();
  return selected.first()->data(kWindowInfoRole).value<WindowInfo>();
}

void WindowSnapshotDialog::onButtonCloseClicked() { close(); }

void WindowSnapshotDialog::on_pushButton_clicked() { accept(); }

void WindowSnapshotDialog::on_pushButton_2_clicked() { reject(); }

void WindowSnapshotDialog::LoadWindows() {
  QListWidget* list = ui->listWidget;
  list->setSpacing(20);
  list->setViewMode(QListView::IconMode);
  list->setIconSize(QSize(160, 90));
  list->setMovement(QListView::Static);
  list->setSelectionMode(QAbstractItemView::SingleSelection);

  const CapturedWindowList windows;
  const std::vector<WindowInfo> records = windows.Windows();
  int fromScreen = 0;
  for (const WindowInfo& record : records) {
    PrintCaptureHelper capture;
    capture.Init(record.window);
    if (!capture.Capture()) continue;
    // The copy is opaque: the alpha byte carries nothing.
    const QImage image(capture.Bits(), capture.Width(), capture.Height(), capture.Width() * 4,
                       QImage::Format_RGB32);
    const QPixmap pixmap = QPixmap::fromImage(image);
    AddWindowItem(record, QString::fromStdString(record.title), pixmap);
    if (capture.FromScreen()) {
      // The window keeps no picture of its own: what covers it shows too.
      list->item(list->count() - 1)
          ->setToolTip(QStringLiteral("缩略图取自屏幕，可能显示遮挡该窗口的内容"));
      ++fromScreen;
    }
  }
  if (fromScreen > 0)
    LOG(INFO) << fromScreen << " of " << list->count()
              << " window thumbnails are read from the screen and may show what covers them";
}

void WindowSnapshotDialog::AddWindowItem(const WindowInfo& window, const QString& title,
                                         const QPixmap& pixmap) {
  const QPixmap scaled = pixmap.scaledToHeight(90, Qt::SmoothTransformation);
  QIcon icon;
  icon.addPixmap(scaled, QIcon::Normal, QIcon::Off);
  ui->listWidget->setIconSize(scaled.size());
  auto* item = new QListWidgetItem();
  item->setIcon(icon);
  item->setSizeHint(QSize(160, 135));
  item->setText(title);
  item->setForeground(QBrush(Qt::black, Qt::SolidPattern));
  item->setData(kWindowInfoRole, QVariant::fromValue(window));
  ui->listWidget->addItem(item);
}
