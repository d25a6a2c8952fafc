#include "recorder/videocapture/windowcapturerinterface.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include <algorithm>

void WindowCapturerInterface::AddObserver(WindowCapturerObserver* observer) {
  if (std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end())
    m_observers.push_back(observer);
}

void WindowCapturerInterface::AddPreProcesser(std::shared_ptr<PreProcesser> preProcesser) {
  m_preProcessers.push_back(std::move(preProcesser));
}

void WindowCapturerInterface::SetCallbacks(FrameCallback frameCallback,
                                           ErrorCallback errorCallback) {
  m_frameCallback = std::move(frameCallback);
  m_errorCallback = std::move(errorCallback);
}

void WindowCapturerInterface::PreProcess(uint8_t* bgra, int width, int height,
                                         MouseContext* context) {
  for (auto& p : m_preProcessers) p->Process(bgra, width, height, context);
}

uint32_t BlendPremultiplied(uint32_t src, uint32_t dst) {
  const uint32_t a = src >> 24;
  if (a == 0xFF) return src;
  if (a == 0 && (src & 0xFFFFFF) == 0) return dst;
  uint32_t out = 0xFF000000u;
  for (int shift = 0; shift < 24; shift += 8) {
    const uint32_t s = (src >> shift) & 0xFF;
    const uint32_t d = (dst >> shift) & 0xFF;
    const uint32_t c = std::min<uint32_t>(255, s + (d * (255 - a) + 127) / 255);
    out |= c << shift;
  }
  return out;
}

void SetBgraPicture(AVFrame* frame, const uint8_t* data, int width, int height) {
  frame->width = width;
  frame->height = height;
  frame->format = AV_PIX_FMT_BGRA;
  frame->pkt_size = width * height * 4;
  av_image_fill_arrays(frame->data, frame->linesize, data, AV_PIX_FMT_BGRA, width, height, 1);
}
