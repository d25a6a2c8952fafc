#include "camera/videorender.h"

#include <glog/logging.h>

#include <QEvent>
#include <QPainter>
#include <QTimer>

#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

#include "recorder/swshelper.h"

VideoSurface::VideoSurface(QWidget* parent, std::shared_ptr<FrameSlot> slot)
    : QWidget(parent), m_slot(std::move(slot)) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setGeometry(parent->rect());
  parent->installEventFilter(this);
  auto* timer = new QTimer(this);
  connect(timer, &QTimer::timeout, this, &VideoSurface::Poll);
  timer->start(15);
  show();
}

void VideoSurface::Poll() {
  std::lock_guard<std::mutex> lock(m_slot->mutex);
  if (m_slot->closed) {
    deleteLater();
    return;
  }
  if (!m_slot->dirty) return;
  m_image = m_slot->image;
  m_slot->dirty = false;
  update();
}

void VideoSurface::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (m_image.isNull()) {
    painter.fillRect(rect(), Qt::black);
    return;
  }
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(rect(), m_image);
}

bool VideoSurface::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parent() && event->type() == QEvent::Resize) setGeometry(parentWidget()->rect());
  return false;
}

VideoRender::VideoRender(QWidget* window)
    : m_slot(std::make_shared<FrameSlot>()), m_targetFormat(AV_PIX_FMT_BGRA) {
  if (window) new VideoSurface(window, m_slot);
}

VideoRender::~VideoRender() {
  ReleaseDevice();
  std::lock_guard<std::mutex> lock(m_slot->mutex);
  m_slot->closed = true;
}

bool VideoRender::Init(const AVFrame* frame) {
  if (m_initialised) return true;
  CreateTexture(frame->width, frame->height);
  m_initialised = true;
  return true;
}

void VideoRender::CreateTexture(int width, int height) {
  m_textureWidth = width;
  m_textureHeight = height;
}

void VideoRender::ReleaseDevice() {
  sws_freeContext(m_sws);
  m_sws = nullptr;
  m_initialised = false;
}

AVFrame* VideoRender::ConvertToBgra(const AVFrame* frame) {
  AVFrame* out = av_frame_alloc();
  if (!out) return nullptr;
  out->width = frame->width;
  out->height = frame->height;
  out->format = AV_PIX_FMT_BGRA;
  if (av_frame_get_buffer(out, 0) < 0) {
    av_frame_free(&out);
    return nullptr;
  }
  m_sws = sws_getCachedContext(m_sws, frame->width, frame->height,
                               AVPixelFormat(NormalizeJpegPixelFormat(frame->format)), frame->width,
                               frame->height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!m_sws || sws_scale(m_sws, frame->data, frame->linesize, 0, frame->height, out->data, out->linesize) <= 0) {
    av_frame_free(&out);
    return nullptr;
  }
  return out;
}

void VideoRender::Render(const AVFrame* frame) {
  if (!frame) return;
  if (!m_initialised && !Init(frame)) return;
  if (frame->width != m_textureWidth || frame->height != m_textureHeight)
    CreateTexture(frame->width, frame->height);
  AVFrame* converted = nullptr;
  const AVFrame* bgra = frame;
  if (frame->format != AV_PIX_FMT_BGRA) {
    converted = ConvertToBgra(frame);
    bgra = converted;
  }
  if (bgra) {
    QImage image(m_textureWidth, m_textureHeight, QImage::Format_RGB32);
    for (int y = 0; y < m_textureHeight; ++y)
      memcpy(image.scanLine(y), bgra->data[0] + y * bgra->linesize[0], size_t(m_textureWidth) * 4);
    std::lock_guard<std::mutex> lock(m_slot->mutex);
    m_slot->image = image;
    m_slot->dirty = true;
  }
  av_frame_free(&converted);
}

QImage VideoRender::LastImage() {
  std::lock_guard<std::mutex> lock(m_slot->mutex);
  return m_slot->image;
}
