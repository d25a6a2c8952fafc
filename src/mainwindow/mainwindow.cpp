#include "mainwindow/mainwindow.h"

#include "constants.h"
#include "platform/windows.h"
#include "utils.h"

namespace {
constexpr uint32_t kActivateMessage = 2025;
}

MainWindow::MainWindow(QWidget* parent) : QWidget(parent) {
  setWindowTitle(QString::fromUtf8(kAppName));
  resize(755, 595);
  platform::Windows().InstallMessageHandler(
      [this](platform::WindowId, uint32_t message, intptr_t, intptr_t) {
        if (message == kActivateMessage) BringWindowToFront(this);
      });
}

MainWindow::~MainWindow() = default;

void MainWindow::HideToTray() { hide(); }
