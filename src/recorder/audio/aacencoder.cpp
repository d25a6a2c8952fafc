#include "recorder/audio/aacencoder.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
}

#include <chrono>

#include <glog/logging.h>

#include "platform/thread_name.h"

namespace {
constexpr size_t kQueueBytes = 0xA00000;
}

AacEncoder::AacEncoder() : m_queue(std::make_unique<FrameRingBuffer>(kQueueBytes)) {}

AacEncoder::~AacEncoder() {
  Stop();
  Release();
}

int AacEncoder::Init(int channels, int sampleRate, int sampleFormat, int bitRate) {
  if (m_initialised) return 0;
  m_codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!m_codec) {
    LOG(ERROR) << "find aac encoder failed";
    return -1;
  }
  m_context = avcodec_alloc_context3(m_codec);
  if (!m_context) {
    LOG(ERROR) << "alloc codec context failed";
    Release();
    return -1;
  }
  av_channel_layout_default(&m_context->ch_layout, channels);
  m_context->sample_rate = sampleRate;
  m_context->sample_fmt = static_cast<AVSampleFormat>(sampleFormat);
  m_context->bit_rate = bitRate;
  m_context->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
  m_context->time_base = AVRational{1, sampleRate};
  m_context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(m_context, m_codec, nullptr) < 0) {
    LOG(ERROR) << "open encoder failed";
    Release();
    return -1;
  }
  m_bufferSize = av_samples_get_buffer_size(nullptr, channels, m_context->frame_size,
                                            m_context->sample_fmt, 1);
  m_buffer = m_bufferSize > 0 ? static_cast<uint8_t*>(av_malloc(m_bufferSize)) : nullptr;
  m_frame = av_frame_alloc();
  if (!m_buffer || !m_frame) {
    LOG(ERROR) << "alloc frame failed";
    Release();
    return -1;
  }
  m_frame->nb_samples = m_context->frame_size;
  av_channel_layout_copy(&m_frame->ch_layout, &m_context->ch_layout);
  m_frame->format = m_context->sample_fmt;
  m_frame->sample_rate = sampleRate;
  if (avcodec_fill_audio_frame(m_frame, channels, m_context->sample_fmt, m_buffer, m_bufferSize, 0) < 0) {
    LOG(ERROR) << "alloc frame failed";
    Release();
    return -1;
  }
  m_initialised = true;
  return 0;
}

int AacEncoder::GetFrameSize() { return m_context ? m_context->frame_size : 0; }

int AacEncoder::GetExtradataSize() { return m_context ? m_context->extradata_size : 0; }

const uint8_t* AacEncoder::GetExtradata() { return m_context ? m_context->extradata : nullptr; }

void AacEncoder::SetCallbacks(PacketCallback packetCallback, ErrorCallback errorCallback) {
  m_packetCallback = std::move(packetCallback);
  m_errorCallback = std::move(errorCallback);
}

int AacEncoder::Start() {
  if (m_running) return 0;
  if (!m_initialised) return -1;
  m_running = true;
  m_thread = std::thread(&AacEncoder::EncodeLoop, this);
  return 0;
}

void AacEncoder::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running = false;
    m_hasData = true;
  }
  m_cond.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

int AacEncoder::PushPcm(const uint8_t* data, int size, const AVFrame* header) {
  if (!data || !header || size <= 0 || (m_initialised && size != m_bufferSize)) {
    LOG(ERROR) << "pcm block of " << size << " bytes refused";
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_queue->Write(data, static_cast<size_t>(size), header)) {
    LOG_EVERY_N(ERROR, 100) << "aac queue is full, pcm block dropped";
    return -1;
  }
  m_hasData = true;
  m_cond.notify_all();
  return 0;
}

void AacEncoder::Release() {
  avcodec_free_context(&m_context);
  av_frame_free(&m_frame);
  av_freep(&m_buffer);
  m_bufferSize = 0;
  m_codec = nullptr;
  m_initialised = false;
}

// Queue lock held.
int AacEncoder::DrainQueue(AVPacket* packet) {
  AVFrame header;
  for (;;) {
    size_t got = m_queue->Read(m_buffer, static_cast<size_t>(m_bufferSize), &header);
    if (got == 0) return 0;
    m_frame->pts = header.pts;
    m_frame->pkt_dts = header.pkt_dts;
    int ret = Encode(m_frame, packet);
    if (ret != 0) {
      if (m_errorCallback) m_errorCallback(static_cast<RecordError>(ret));
      return ret;
    }
  }
}

void AacEncoder::EncodeLoop() {
  platform::SetCurrentThreadName("encode-audio");
  AVPacket* packet = av_packet_alloc();
  if (!packet) return;
  while (m_running) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_hasData && m_running) m_cond.wait_for(lock, std::chrono::milliseconds(300));
    DrainQueue(packet);
    m_hasData = false;
  }
  {
    // Blocks queued while stopping still reach the codec before it drains.
    std::lock_guard<std::mutex> lock(m_mutex);
    DrainQueue(packet);
    Encode(nullptr, packet);
  }
  av_packet_free(&packet);
}

int AacEncoder::Encode(AVFrame* frame, AVPacket* packet) {
  int ret = avcodec_send_frame(m_context, frame);
  if (ret < 0) return -1;
  while (ret == 0) {
    ret = avcodec_receive_packet(m_context, packet);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return 0;
    if (ret < 0) return -1;
    if (m_packetCallback) m_packetCallback(packet);
    av_packet_unref(packet);
  }
  return 0;
}
