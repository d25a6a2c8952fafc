// The pictures the test source shows, one per number, and reading the
// number back from a recorded picture. The source paints picture N on the
// screen; the analysis paints the same picture N to compare with what a
// recorder stored.
//
// The number is a row of black and white blocks for its bits (lowest
// first), with a second row of the same blocks inverted below it: a picture
// caught half drawn has no valid number.
#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QRect>
#include <QString>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace bench {

enum class Content {
  kFlash,     // black screen that flashes white with the beep (no numbers)
  kMotion,    // the whole screen moves; flashes with the beep
  kTerminal,  // a still desktop with one terminal printing text
  kVideo,     // a still desktop with one small video window
};

inline const char* ContentName(Content c) {
  switch (c) {
    case Content::kFlash: return "flash";
    case Content::kMotion: return "motion";
    case Content::kTerminal: return "terminal";
    case Content::kVideo: return "video";
  }
  return "?";
}

inline Content ContentByName(const std::string& name) {
  if (name == "motion") return Content::kMotion;
  if (name == "terminal") return Content::kTerminal;
  if (name == "video") return Content::kVideo;
  return Content::kFlash;
}

constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;
constexpr int kBits = 20;
constexpr int kBlock = 24;  // pixels; survives H.264 at the recorders' settings

class Scene {
 public:
  // fps: the pictures per second the source presents.
  Scene(Content content, int fps) : m_content(content), m_fps(fps) {
    m_wallpaper = QImage(kScreenWidth, kScreenHeight, QImage::Format_RGB32);
    {
      QPainter p(&m_wallpaper);
      QLinearGradient g(0, 0, kScreenWidth, kScreenHeight);
      g.setColorAt(0, QColor(30, 60, 90));
      g.setColorAt(1, QColor(80, 40, 70));
      p.fillRect(m_wallpaper.rect(), g);
      p.setRenderHint(QPainter::Antialiasing);
      uint32_t seed = 7;
      for (int i = 0; i < 40; ++i) {
        const int x = Next(&seed) % kScreenWidth, y = Next(&seed) % kScreenHeight;
        const int r = 20 + Next(&seed) % 160;
        p.setBrush(QColor(Next(&seed) % 120, Next(&seed) % 120, Next(&seed) % 120, 160));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPoint(x, y), r, r);
      }
    }
    // Moving content: twice as wide as it is shown, scrolled sideways.
    m_texture = QImage(kScreenWidth * 2, kScreenHeight, QImage::Format_RGB32);
    {
      QPainter p(&m_texture);
      for (int x = 0; x < m_texture.width(); x += 4)
        p.fillRect(x, 0, 4, kScreenHeight,
                   QColor::fromHsv((x / 4) % 360, 160, 60 + (x / 16) % 60));
      p.setRenderHint(QPainter::Antialiasing);
      uint32_t seed = 11;
      for (int i = 0; i < 160; ++i) {
        const int x = Next(&seed) % m_texture.width(), y = Next(&seed) % kScreenHeight;
        p.setBrush(QColor(Next(&seed) % 200, Next(&seed) % 200, Next(&seed) % 200));
        p.setPen(QColor(230, 230, 230));
        p.drawRoundedRect(x, y, 40 + Next(&seed) % 200, 30 + Next(&seed) % 150, 12, 12);
      }
      QFont font("DejaVu Sans", 28);
      font.setStyleStrategy(QFont::NoSubpixelAntialias);
      p.setFont(font);
      p.setPen(QColor(240, 240, 200));
      for (int i = 0; i < 60; ++i)
        p.drawText(Next(&seed) % m_texture.width(), Next(&seed) % kScreenHeight,
                   QString("moving text %1").arg(i));
    }
    m_mono = QFont("DejaVu Sans Mono", 11);
    m_mono.setStyleStrategy(QFont::NoSubpixelAntialias);
  }

  Content content() const { return m_content; }
  int fps() const { return m_fps; }

  // Whether picture N is a flash (the first tenth of each second).
  bool Flash(int64_t n) const {
    return m_content == Content::kMotion && n % m_fps < std::max(1, m_fps / 10);
  }

  // What changes from one picture to the next.
  QRect Changing() const {
    switch (m_content) {
      case Content::kTerminal: return QRect(240, 140, 980, 620);
      case Content::kVideo: return QRect(1060, 420, 640, 360);
      default: return QRect(0, 0, kScreenWidth, kScreenHeight);
    }
  }

  // Where the number's blocks start.
  QPoint NumberAt() const {
    const QRect c = Changing();
    if (m_content == Content::kTerminal)
      return QPoint(c.right() - kBits * kBlock - 12, c.top() + 4);
    return QPoint(c.left() + 24, c.top() + 24);
  }

  // Paints picture N (the whole screen, or the part in the painter's clip).
  void Paint(QPainter& p, int64_t n) const {
    const QRect c = Changing();
    if (m_content != Content::kMotion) p.drawImage(0, 0, m_wallpaper);
    if (m_content == Content::kMotion) {
      if (Flash(n)) {
        p.fillRect(c, Qt::white);
      } else {
        const int shift = static_cast<int>((n * 24) % kScreenWidth);
        p.drawImage(c.topLeft(), m_texture, QRect(shift, 0, c.width(), c.height()));
      }
    } else if (m_content == Content::kVideo) {
      const int shift = static_cast<int>((n * 12) % kScreenWidth);
      p.drawImage(c.topLeft(), m_texture, QRect(shift, (n * 3) % 600, c.width(), c.height()));
    } else if (m_content == Content::kTerminal) {
      PaintTerminal(p, c, n);
    }
    PaintNumber(p, n);
  }

  QImage Picture(int64_t n) const {
    QImage image(kScreenWidth, kScreenHeight, QImage::Format_RGB32);
    QPainter p(&image);
    Paint(p, n);
    return image;
  }

 private:
  static uint32_t Next(uint32_t* seed) {
    *seed = *seed * 1664525u + 1013904223u;
    return *seed >> 8;
  }

  void PaintNumber(QPainter& p, int64_t n) const {
    const QPoint at = NumberAt();
    for (int i = 0; i < kBits; ++i) {
      const bool one = (n >> i) & 1;
      p.fillRect(at.x() + i * kBlock, at.y(), kBlock, kBlock, one ? Qt::white : Qt::black);
      p.fillRect(at.x() + i * kBlock, at.y() + kBlock, kBlock, kBlock,
                 one ? Qt::black : Qt::white);
    }
  }

  // A build log: two lines more per picture.
  void PaintTerminal(QPainter& p, const QRect& c, int64_t n) const {
    p.fillRect(c, QColor(20, 22, 26));
    p.fillRect(c.left(), c.top(), c.width(), 56, QColor(52, 56, 62));
    p.setFont(m_mono);
    const int lineHeight = 18;
    const int rows = (c.height() - 64) / lineHeight;
    const int64_t last = 2 * n + 1;
    for (int r = 0; r < rows; ++r) {
      const int64_t line = last - (rows - 1 - r);
      if (line < 0) continue;
      const int percent = static_cast<int>(line % 101);
      const QString text =
          (line % 7 == 3)
              ? QString("[%1%] Linking CXX static library libpart_%2.a").arg(percent, 3).arg(line % 37)
              : QString("[%1%] Building CXX object src/CMakeFiles/core.dir/module_%2/file_%3.cpp.o")
                    .arg(percent, 3)
                    .arg(line % 23)
                    .arg(line, 6, 10, QChar('0'));
      p.setPen(line % 7 == 3 ? QColor(120, 220, 120) : QColor(200, 200, 200));
      p.drawText(c.left() + 10, c.top() + 64 + (r + 1) * lineHeight - 4, text);
    }
  }

  Content m_content;
  int m_fps;
  QImage m_wallpaper;
  QImage m_texture;
  QFont m_mono;
};

// The number in a decoded picture (its luma plane), or -1 when the blocks
// do not read as a number.
inline int64_t ReadNumber(const AVFrame* frame, const Scene& scene) {
  const QPoint at = scene.NumberAt();
  if (at.x() + kBits * kBlock > frame->width || at.y() + 2 * kBlock > frame->height) return -1;
  auto mean = [&](int x0, int y0) {
    int sum = 0, count = 0;
    for (int y = y0 + kBlock / 4; y < y0 + kBlock * 3 / 4; ++y)
      for (int x = x0 + kBlock / 4; x < x0 + kBlock * 3 / 4; ++x, ++count)
        sum += frame->data[0][y * frame->linesize[0] + x];
    return sum / count;
  };
  int64_t n = 0;
  for (int i = 0; i < kBits; ++i) {
    const int top = mean(at.x() + i * kBlock, at.y());
    const int bottom = mean(at.x() + i * kBlock, at.y() + kBlock);
    if (std::abs(top - bottom) < 80) return -1;
    if (top > bottom) n |= int64_t(1) << i;
  }
  return n;
}

// Mean squared error per luma sample of picture a against b, over `area`
// (all of the picture when empty).
inline double LumaMse(const AVFrame* a, const AVFrame* b, QRect area = {}) {
  if (a->width != b->width || a->height != b->height) return -1;
  if (area.isEmpty()) area = QRect(0, 0, a->width, a->height);
  area &= QRect(0, 0, a->width, a->height);
  double sum = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    const uint8_t* pa = a->data[0] + y * a->linesize[0];
    const uint8_t* pb = b->data[0] + y * b->linesize[0];
    int64_t row = 0;
    for (int x = area.left(); x <= area.right(); ++x) {
      const int d = pa[x] - pb[x];
      row += d * d;
    }
    sum += double(row);
  }
  return sum / (double(area.width()) * area.height());
}

// A source picture converted to 4:2:0 as a recorder says it converted its
// own (the colour matrix and range of one of its decoded pictures).
class SourceConverter {
 public:
  ~SourceConverter() { sws_freeContext(m_sws); }

  // A new picture, or nullptr when it cannot convert.
  AVFrame* Convert(const AVFrame* like, const QImage& source) {
    m_sws = sws_getCachedContext(m_sws, source.width(), source.height(), AV_PIX_FMT_BGRA,
                                 like->width, like->height, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                                 nullptr, nullptr, nullptr);
    if (!m_sws) return nullptr;
    const int space = like->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    const int full = like->color_range == AVCOL_RANGE_JPEG || like->format == AV_PIX_FMT_YUVJ420P;
    sws_setColorspaceDetails(m_sws, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                             sws_getCoefficients(space), full, 0, 1 << 16, 1 << 16);
    AVFrame* out = av_frame_alloc();
    out->width = like->width;
    out->height = like->height;
    out->format = AV_PIX_FMT_YUV420P;
    out->colorspace = like->colorspace;
    out->color_range = full ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    if (av_frame_get_buffer(out, 0) < 0) {
      av_frame_free(&out);
      return nullptr;
    }
    const uint8_t* in[1] = {source.constBits()};
    const int inStride[1] = {static_cast<int>(source.bytesPerLine())};
    sws_scale(m_sws, in, inStride, 0, source.height(), out->data, out->linesize);
    return out;
  }

 private:
  SwsContext* m_sws = nullptr;
};

inline double Psnr(double mse) { return mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99; }

}  // namespace bench
