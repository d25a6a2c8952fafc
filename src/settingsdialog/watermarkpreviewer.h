#pragma once

#include <QPixmap>
#include <QPoint>
#include <QPointF>
#include <QSize>
#include <QWidget>

class QLabel;

// A picture of the desktop with the watermark text on it as a label the user
// drags. Embedded in the settings page at a small scale, or full screen at
// the screen's own size, where a double-click stores the position and goes
// back to the settings. Positions are fractions of the previewer's size; the
// label goes where the recording puts the text, which keeps it whole.
class WatermarkPreviewer : public QWidget {
 public:
  explicit WatermarkPreviewer(QWidget* parent);
  ~WatermarkPreviewer() override;

  void SetText(const QString& text);
  void SetTextFont(const QFont& font);
  void SetTextColor(const QColor& color);
  // Scales the picture (and the widget) to this height, keeping its aspect.
  void SetPreviewHeight(int h);
  void GetRelativePos(double& fx, double& fy);
  void SetRelativePos(double fx, double fy);
  // Becomes a parentless top-level window over the whole screen; it deletes
  // itself when closed.
  void ShowFullScreen();

  QLabel* TextLabel() const { return m_textLabel; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void UpdateLabelSize();
  void MoveLabel(const QPoint& pos);
  void PlaceLabel(const QPointF& fractions);
  // The recording the picture stands for: the screen's size.
  QSize PictureSize() const;
  // The font the recording draws the text with, and its height in the
  // recording's pixels.
  QFont RecordingFont() const;
  int RecordingPixels() const;

  QPixmap m_preview;
  QPixmap m_screenshot;
  bool m_dragging = false;
  QLabel* m_textLabel = nullptr;
  QPoint m_dragOffset;
  QFont m_font;  // as chosen; no family: the fallback
  QLabel* m_hintLabel = nullptr;
};
