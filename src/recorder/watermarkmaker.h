#pragma once

#include <cstdint>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavutil/frame.h>
}

#include <QPoint>
#include <QPointF>
#include <QSize>
#include <QString>

#include <string>

// Lays the watermark text, rendered once into an image, over video frames
// with an overlay filter graph.
class WatermarkMaker {
 public:
  WatermarkMaker() = default;
  ~WatermarkMaker();
  WatermarkMaker(const WatermarkMaker&) = delete;
  WatermarkMaker& operator=(const WatermarkMaker&) = delete;

  // Renders the text into the temporary folder's image and reads the font
  // and position settings; called on the GUI thread. width and height are
  // half and an eighth of the picture's: the image holds the text up to the
  // picture's width, and the eighth sizes the font when none is chosen.
  // Always true.
  bool MakeTextImage(const std::string& text, int width, int height);
  // Builds the graph at the first frame, then filters one frame; reads no
  // settings. On true
  // *out is a new frame the caller frees. False when the frame could not be
  // marked; the caller then keeps the unmarked frame.
  bool Process(AVFrame* in, AVFrame** out);
  // Builds the graph for frames shaped like frame.
  bool Init(const std::string& description, const AVFrame* frame);

  // The path made safe for a filter description (option and graph levels).
  static std::string EscapeFilterPath(const std::string& path);
  const QString& ImagePath() const { return m_imagePath; }

 private:
  void FreeGraph();

  AVFilterContext* m_sinkCtx = nullptr;
  AVFilterContext* m_sourceCtx = nullptr;
  AVFilterGraph* m_graph = nullptr;
  bool m_initialised = false;
  bool m_buildFailed = false;  // the graph cannot be built: frames pass unmarked
  QString m_text;
  QString m_imagePath;  // escaped for the filter description
  // The text's box, where it lies in the image, and the stored position,
  // taken where the image is made.
  QSize m_textSize;
  QPoint m_textOffset;
  bool m_havePosition = false;  // else the default corner
  QPointF m_position;
};
