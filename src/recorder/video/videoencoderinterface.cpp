#include "recorder/video/videoencoderinterface.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

#include <glog/logging.h>

#include <chrono>

void VideoEncoderInterface::SetCallbacks(PacketCallback packetCallback,
                                         ErrorCallback errorCallback) {
  m_packetCallback = std::move(packetCallback);
  m_errorCallback = std::move(errorCallback);
}

void VideoEncoderInterface::AllocateQueue(int frameBytes) {
  m_queue = std::make_unique<FrameRingBuffer>(static_cast<size_t>(frameBytes) * kQueuedFrames);
}

int VideoEncoderInterface::Start() {
  if (m_running) return 0;
  if (!m_initialised) return -1;
  m_running = true;
  m_encodeThread = std::thread([this] { EncodeLoop(); });
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
  if (!m_queue || !data || size <= 0) return 0;
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    AVFrame copy = header;
    const bool key = m_keyFrameRequested.load();
    if (key) copy.pict_type = AV_PICTURE_TYPE_I;
    if (!m_queue->Write(data, static_cast<size_t>(size), &copy)) {
      // The encoder lags: drop this picture, keep the queued ones and any
      // pending key-frame request.
      const uint64_t dropped = ++m_droppedFrames;
      if (dropped == 1 || dropped % 100 == 0)
        LOG(WARNING) << "video encoder lags, frames dropped: " << dropped;
      return 0;
    }
    if (key) m_keyFrameRequested = false;
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
    uint8_t* buffer, int bufferSize, AVFrame* frame,
    const std::function<int(AVFrame*, AVPacket*)>& encode) {
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(), [](AVPacket* p) {
    av_packet_free(&p);
  });
  if (!packet) {
    LOG(ERROR) << "av packet alloc failed";
    return;
  }
  // Takes the oldest queued picture into frame; false when none is left.
  auto takeNext = [&] {
    AVFrame header;
    if (m_queue->Read(buffer, static_cast<size_t>(bufferSize), &header) == 0) return false;
    frame->pts = header.pts;
    frame->pkt_dts = header.pkt_dts;
    frame->pict_type = header.pict_type;
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
      const int ret = encode(frame, packet.get());
      if (ret != 0) {
        if (m_errorCallback) m_errorCallback(static_cast<RecordError>(ret));
        break;
      }
    }
  }
  if (m_drainOnStop) {
    // Pictures still queued, then the packets the codec holds.
    while (takeNext())
      if (encode(frame, packet.get()) != 0) break;
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
