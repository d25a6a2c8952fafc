#pragma once

#include <QPoint>
#include <QString>
#include <QWidget>

class MainWindow;
class Ui_RecordStatusBar;

// Small dark bar that floats above all windows while recording, with
// pause/resume, stop and the elapsed time. It is left out of screen captures
// where the window system allows it.
class RecordStatusBar : public QWidget {
  Q_OBJECT

 public:
  RecordStatusBar(MainWindow* window, QWidget* parent = nullptr);
  ~RecordStatusBar() override;

  void SetTimeText(const QString& text);
  // 0 recording (pause icon), 2 paused (play icon); other values change nothing.
  void SetRecordState(int state);

 private slots:
  void onPlayPause();
  void onStop();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  Ui_RecordStatusBar* m_ui = nullptr;
  MainWindow* m_window = nullptr;
  bool m_pressed = false;
  QPoint m_dragOffset;
};
