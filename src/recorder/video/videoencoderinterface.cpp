#include "recorder/video/videoencoderinterface.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
}

#include <glog/logging.h>

#include <chrono>
#include <cstring>

#include "platform/thread_name.h"

void VideoEncoderInterface::SetCallbacks(PacketCallback packetCallback,
                                         ErrorCallback errorCallback) {
  m_packetCallback = std::move(packetCallback);
  m_errorCallback = std::move(errorCallback);
}

bool VideoEncoderInterface::AllocateQueue(AVPixelFormat format, int width, int height) {
  m_frameBytes = av_image_get_buffer_size(format, width, height, 1);
  if (m_frameBytes <= 0) return false;
  m_pool.reset(av_buffer_pool_init(static_cast<size_t>(m_frameBytes), nullptr));
  m_format = format;
  m_width = width;
  m_height = height;
  if (!m_pool) return false;
  // The pictures in flight while the encoder keeps up, touched now: a fresh
  // buffer's first writes fault its pages in, which on a loaded machine takes
  // tens of milliseconds and would space out the first frames of a file.
  AVFramePtr warm[kWarmFrames];
  for (auto& frame : warm) {
    frame = NewFrame();
    if (frame) std::memset(frame->buf[0]->data, 0, frame->buf[0]->size);
  }
  return true;
}

int VideoEncoderInterface::OpenCodec(
    LibavH264* codec, int width, int height,
    const std::function<void(AVCodecContext*, AVDictionary**)>& setUp,
    const OpenFailures& failures) {
  codec->context = avcodec_alloc_context3(codec->codec);
  if (!codec->context) {
    LOG(ERROR) << failures.noContext;
    return failures.noContextCode;
  }
  AVDictionary* options = nullptr;
  setUp(codec->context, &options);
  const int ret = avcodec_open2(codec->context, codec->codec, &options);
  av_dict_free(&options);
  if (ret != 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    if (failures.withReason)
      LOG(ERROR) << failures.openFailed << AvErrorText(ret, text, sizeof(text));
    else
      LOG(ERROR) << failures.openFailed;
    return failures.openFailedCode;
  }
  if (!AllocateQueue(codec->context->pix_fmt, width, height)) {
    LOG(ERROR) << "av malloc failed";
    return failures.noPoolCode;
  }
  return 0;
}

AVFramePtr VideoEncoderInterface::NewFrame() {
  if (!m_pool) return nullptr;
  AVFramePtr frame(av_frame_alloc());
  if (!frame) return nullptr;
  frame->buf[0] = av_buffer_pool_get(m_pool.get());
  if (!frame->buf[0]) return nullptr;
  frame->format = m_format;
  frame->width = m_width;
  frame->height = m_height;
  av_image_fill_arrays(frame->data, frame->linesize, frame->buf[0]->data, m_format, m_width,
                       m_height, 1);
  return frame;
}

int VideoEncoderInterface::Start() {
  if (m_running) return 0;
  if (!m_initialised) return -1;
  m_running = true;
  m_encodeThread = std::thread([this] {
    platform::SetCurrentThreadName("encode-video");
    EncodeLoop();
  });
  return 0;
}

void VideoEncoderInterface::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_running = false;
    m_hasData = false;
  }
  m_queueCond.notify_all();
  if (m_encodeThread.joinable()) m_encodeThread.join();
}

void VideoEncoderInterface::StopAfterDrain() {
  m_drainOnStop = true;
  Stop();
}

int VideoEncoderInterface::PushFrame(const uint8_t* data, int size, const AVFrame& header) {
  if (!m_pool || !data || size <= 0) return 0;
  if (size > m_frameBytes) {
    LOG_FIRST_N(ERROR, 1) << "picture of " << size << " bytes is larger than the encoder's";
    return 0;
  }
  AVFramePtr frame = NewFrame();
  if (!frame) return 0;
  std::memcpy(frame->data[0], data, static_cast<size_t>(size));
  frame->pts = header.pts;
  frame->pkt_dts = header.pkt_dts;
  frame->pict_type = header.pict_type;
  return PushFrame(std::move(frame));
}

int VideoEncoderInterface::PushFrame(AVFramePtr frame) {
  if (!frame) return 0;
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    if (m_queue.size() >= static_cast<size_t>(kQueuedFrames)) {
      // The encoder lags: drop this picture, keep the queued ones and any
      // pending key-frame request.
      const uint64_t dropped = ++m_droppedFrames;
      if (dropped == 1 || dropped % 100 == 0)
        LOG(WARNING) << "video encoder lags, frames dropped: " << dropped;
      return 0;
    }
    if (m_keyFrameRequested.exchange(false)) frame->pict_type = AV_PICTURE_TYPE_I;
    m_queue.push_back(std::move(frame));
    m_hasData = true;
  }
  m_queueCond.notify_all();
  return 0;
}

void VideoEncoderInterface::RequestKeyFrame() {
  m_keyFrameRequested = true;
  ++m_keyFramesRequested;
}

void VideoEncoderInterface::RunEncodeLoop(
    const std::function<int(AVFrame*, AVPacket*)>& encode) {
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(), [](AVPacket* p) {
    av_packet_free(&p);
  });
  if (!packet) {
    LOG(ERROR) << "av packet alloc failed";
    return;
  }
  AVFramePtr frame;
  // Takes the oldest queued picture into frame; false when none is left.
  auto takeNext = [&] {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    if (m_queue.empty()) return false;
    frame = std::move(m_queue.front());
    m_queue.pop_front();
    ++m_encodedFrames;
    return true;
  };
  while (m_running) {
    {
      std::unique_lock<std::mutex> lock(m_queueMutex);
      while (!m_hasData && m_running) m_queueCond.wait_for(lock, std::chrono::milliseconds(300));
      if (!m_running) break;
      m_hasData = false;
    }
    // Pictures are taken one at a time; the codec runs without the queue
    // lock so that the capture thread never waits for it.
    while (m_running && takeNext()) {
      const int ret = encode(frame.get(), packet.get());
      frame.reset();
      if (ret != 0) {
        if (m_errorCallback) m_errorCallback(static_cast<RecordError>(ret));
        break;
      }
    }
  }
  if (m_drainOnStop) {
    // Pictures still queued, then the packets the codec holds.
    while (takeNext())
      if (encode(frame.get(), packet.get()) != 0) break;
    encode(nullptr, packet.get());
  }
}

int VideoEncoderInterface::EncodeWith(AVCodecContext* context, AVFrame* frame, AVPacket* packet,
                                      const char* sendError, const char* receiveError) {
  int ret = avcodec_send_frame(context, frame);
  if (ret < 0) {
    if (sendError) {
      char text[AV_ERROR_MAX_STRING_SIZE] = {0};
      av_strerror(ret, text, sizeof(text));
      LOG(ERROR) << sendError << ": " << text;
    }
    return -1;
  }
  for (;;) {
    ret = avcodec_receive_packet(context, packet);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return 0;
    if (ret < 0) {
      LOG(ERROR) << receiveError;
      return -1;
    }
    if (m_packetCallback) m_packetCallback(packet);
    av_packet_unref(packet);
  }
}
