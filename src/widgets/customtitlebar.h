#pragma once

#include <QPoint>
#include <QSize>
#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;

// The dark caption of a frameless window: title on the left, buttons on the
// right. Dragging it moves the parent window; the buttons only emit signals,
// the owner decides what they do.
class CustomTitleBar : public QWidget {
  Q_OBJECT

 public:
  explicit CustomTitleBar(QWidget* parent);

  // Hides the buttons a window does not offer (never shows one again):
  // 0 and 2 keep minimise and close, 1 minimise, maximise and close,
  // 3 settings, help, minimise and close, 4 close only, 5 none.
  void SetButtonType(int type);
  void SetTitleHeight(int height);
  void SetTitleWidth(int width);
  void SetTitleContent(const QString& text, int pointSize);
  // Normal-state geometry of the owner, kept here for the owner.
  void SaveRestoreInfo(QPoint pos, QSize size);
  void GetRestoreInfo(QPoint& pos, QSize& size);

 signals:
  void signalButtonHelpClicked();
  void signalButtonSettingsClicked();
  void signalButtonMinClicked();
  void signalButtonRestoreClicked();
  void signalButtonMaxClicked();
  void signalButtonCloseClicked();

 private slots:
  void onButtonHelpClicked();
  void onButtonSettingsClicked();
  void onButtonMinClicked();
  void onButtonRestoreClicked();
  void onButtonMaxClicked();
  void onButtonCloseClicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QLabel* m_titleLabel = nullptr;
  QPushButton* m_buttonSettings = nullptr;
  QPushButton* m_buttonMin = nullptr;
  QPushButton* m_buttonRestore = nullptr;
  QPushButton* m_buttonMax = nullptr;
  QPushButton* m_buttonClose = nullptr;
  QPushButton* m_buttonHelp = nullptr;
  QPoint m_restorePos;
  QSize m_restoreSize;
  bool m_isPressed = false;
  QPoint m_startMovePos;
  QString m_titleContent;
  int m_buttonType = 1;
};
