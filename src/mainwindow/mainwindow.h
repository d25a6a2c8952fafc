#pragma once

#include <QWidget>

// Stand-in main window until the full window lands: titled with the program's
// name, raised when a second start posts its message.
class MainWindow : public QWidget {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  void HideToTray();
};
