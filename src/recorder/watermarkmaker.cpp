#include "recorder/watermarkmaker.h"

#include <QFileInfo>

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/avstring.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <glog/logging.h>

#include <QDir>
#include <QFont>

#include <algorithm>

#include "settings.h"
#include "utils.h"

namespace {

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof(text));
  return text;
}

std::string Escape(const std::string& in, const char* special) {
  char* out = nullptr;
  if (av_escape(&out, in.c_str(), special, AV_ESCAPE_MODE_BACKSLASH, 0) < 0 || !out) return in;
  std::string result(out);
  av_free(out);
  return result;
}

}  // namespace

WatermarkMaker::~WatermarkMaker() { FreeGraph(); }

void WatermarkMaker::FreeGraph() {
  avfilter_graph_free(&m_graph);
  m_sourceCtx = nullptr;
  m_sinkCtx = nullptr;
  m_initialised = false;
}

std::string WatermarkMaker::EscapeFilterPath(const std::string& path) {
  // First the option value (':' separates options, '=' keys), then the
  // graph description ('[', ']', ',' and ';' are its syntax).
  return Escape(Escape(path, ":="), "[],;");
}

bool WatermarkMaker::MakeTextImage(const std::string& text, int width, int height) {
  m_text = QString::fromUtf8(text.c_str());
  const QString path =
      QDir::fromNativeSeparators(QString::fromLocal8Bit(Settings::TempFolder().c_str()) +
                                 "textwater" + ".png");
  QDir().mkpath(QFileInfo(path).absolutePath());
  // Everything the capture thread needs is read here, on the GUI thread.
  const QFont font = WatermarkFont(Settings::Instance()->GetWatermarkFont(), height);
  m_textSize = WatermarkTextSize(m_text, font);
  const QSize picture(2 * width, 8 * height);
  if (m_textSize.width() > picture.width() || m_textSize.height() > picture.height())
    LOG(ERROR) << "watermark text " << m_textSize.width() << "x" << m_textSize.height()
               << " is larger than the picture " << picture.width() << "x" << picture.height()
               << ", check the watermark font";
  // Room around the box for glyphs that reach out of it; the image starts
  // the text 10 px in, and holds no more of it than the picture can show.
  const int margin = m_textSize.height() / 4 + 1;
  m_textOffset = QPoint(10, margin);
  SaveWatermarkImage(QString(), m_text, font, Settings::Instance()->GetWatermarkColor(),
                     m_textOffset.x() + std::min(m_textSize.width(), picture.width()) + margin,
                     m_textSize.height() + 2 * margin, path);
  m_imagePath = QString::fromStdString(EscapeFilterPath(path.toStdString()));

  double fx = 0.0;
  double fy = 0.0;
  m_havePosition = Settings::Instance()->GetWatermarkPos(fx, fy);
  m_position = QPointF(fx, fy);
  return true;
}

bool WatermarkMaker::Process(AVFrame* in, AVFrame** out) {
  if (!in || !out) return false;
  *out = nullptr;
  if (m_buildFailed) return false;
  if (!m_initialised) {
    // The text, not the image, goes where the settings put it.
    const QPoint at = WatermarkTextPos(QSize(in->width, in->height), m_textSize,
                                       m_havePosition ? &m_position : nullptr) -
                      m_textOffset;
    const QString description = QString("movie=%1[watermark];[in][watermark]overlay=%2:%3 [out]")
                                    .arg(m_imagePath)
                                    .arg(at.x())
                                    .arg(at.y());
    if (!Init(description.toUtf8().toStdString(), in)) {
      // Retrying every frame would cost the capture thread the same failure
      // each time; the video goes on unmarked.
      LOG(ERROR) << "watermark filter cannot be built, recording without watermark";
      m_buildFailed = true;
      return false;
    }
  }
  int ret = av_buffersrc_add_frame_flags(m_sourceCtx, in, AV_BUFFERSRC_FLAG_KEEP_REF);
  if (ret < 0) {
    LOG(ERROR) << "add frame flags failed," << ",error is " << ErrorText(ret);
    return false;
  }
  AVFrame* frame = av_frame_alloc();
  if (!frame) return false;
  ret = av_buffersink_get_frame(m_sinkCtx, frame);
  if (ret < 0) {
    av_frame_free(&frame);
    LOG(ERROR) << "get frame failed," << ",error is " << ErrorText(ret);
    return false;
  }
  *out = frame;
  return true;
}

bool WatermarkMaker::Init(const std::string& description, const AVFrame* frame) {
  FreeGraph();
  if (!frame) return false;
  m_graph = avfilter_graph_alloc();
  AVFilterInOut* outputs = avfilter_inout_alloc();
  AVFilterInOut* inputs = avfilter_inout_alloc();
  bool ok = false;
  do {
    if (!m_graph || !outputs || !inputs) {
      LOG(ERROR) << "filter graph alloc failed";
      break;
    }
    const char* formatName = av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format));
    if (!formatName) {
      LOG(ERROR) << "Cannot create buffer source";
      break;
    }
    char args[256];
    snprintf(args, sizeof(args), "video_size=%dx%d:pix_fmt=%s:time_base=%d/%d", frame->width,
             frame->height, formatName, 1, 1000000);
    int ret = avfilter_graph_create_filter(&m_sourceCtx, avfilter_get_by_name("buffer"), "in",
                                           args, nullptr, m_graph);
    if (ret < 0) {
      LOG(ERROR) << "Cannot create buffer source";
      break;
    }
    ret = avfilter_graph_create_filter(&m_sinkCtx, avfilter_get_by_name("buffersink"), "out",
                                       nullptr, nullptr, m_graph);
    if (ret < 0) {
      LOG(ERROR) << "Cannot create buffer sink";
      break;
    }
    const AVPixelFormat formats[] = {static_cast<AVPixelFormat>(frame->format), AV_PIX_FMT_NONE};
    ret = av_opt_set_int_list(m_sinkCtx, "pix_fmts", formats, AV_PIX_FMT_NONE,
                              AV_OPT_SEARCH_CHILDREN);
    if (ret < 0) {
      LOG(ERROR) << "Cannot create buffer sink";
      break;
    }
    outputs->name = av_strdup("in");
    outputs->filter_ctx = m_sourceCtx;
    outputs->pad_idx = 0;
    outputs->next = nullptr;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = m_sinkCtx;
    inputs->pad_idx = 0;
    inputs->next = nullptr;
    ret = avfilter_graph_parse_ptr(m_graph, description.c_str(), &inputs, &outputs, nullptr);
    if (ret < 0) {
      LOG(ERROR) << "graph parse " << ",error is " << ErrorText(ret);
      break;
    }
    ret = avfilter_graph_config(m_graph, nullptr);
    if (ret < 0) {
      LOG(ERROR) << "graph config failed," << ",error is " << ErrorText(ret);
      break;
    }
    ok = true;
  } while (false);
  avfilter_inout_free(&inputs);
  avfilter_inout_free(&outputs);
  if (!ok) {
    FreeGraph();
    return false;
  }
  m_initialised = true;
  LOG(INFO) << "filter inits successfully";
  return true;
}
