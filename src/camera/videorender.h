#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>

#include <atomic>
#include <memory>
#include <mutex>

extern "C" {
#include <libavutil/frame.h>
}

struct SwsContext;

// The latest picture of a renderer, shared between the drawing thread and
// the widget that shows it.
struct FrameSlot {
  std::mutex mutex;
  QImage image;
  bool dirty = false;
  bool closed = false;
};

// Fills its parent and paints the latest picture of its slot, stretched.
// Lives on the GUI thread; removes itself once the slot is closed.
class VideoSurface : public QWidget {
  Q_OBJECT
 public:
  VideoSurface(QWidget* parent, std::shared_ptr<FrameSlot> slot);

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Poll();
  std::shared_ptr<FrameSlot> m_slot;
  QImage m_image;
};

// Draws camera frames into one window. Made on the GUI thread; Render is
// called from one drawing thread.
class VideoRender {
 public:
  explicit VideoRender(QWidget* window);
  ~VideoRender();
  VideoRender(const VideoRender&) = delete;
  VideoRender& operator=(const VideoRender&) = delete;

  void Render(const AVFrame* frame);
  bool Init(const AVFrame* frame);
  void CreateTexture(int width, int height);
  // A new BGRA frame with the picture, or null.
  AVFrame* ConvertToBgra(const AVFrame* frame);
  void ReleaseDevice();

  // The last picture drawn (for tests and snapshots).
  QImage LastImage();
  int TextureWidth() const { return m_textureWidth; }
  int TextureHeight() const { return m_textureHeight; }

 private:
  std::atomic<bool> m_initialised{false};
  std::shared_ptr<FrameSlot> m_slot;
  int m_textureWidth = 0;
  int m_textureHeight = 0;
  int m_targetFormat;
  SwsContext* m_sws = nullptr;
};
