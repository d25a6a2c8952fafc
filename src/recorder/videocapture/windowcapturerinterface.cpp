#include "recorder/videocapture/windowcapturerinterface.h"

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
