#include "platform/fake/fake_cameras.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace platform::fake {

class FakeCameraStream : public CameraStream {
 public:
  FakeCameraStream(FakeCameras* owner, std::vector<std::vector<uint8_t>> samples, size_t loopFrom,
                   Result startResult, int periodMs)
      : m_owner(owner),
        m_samples(std::move(samples)),
        m_loopFrom(loopFrom < m_samples.size() ? loopFrom : 0),
        m_startResult(startResult),
        m_periodMs(periodMs) {}
  ~FakeCameraStream() override { Stop(); }

  Result Start(CameraSampleCallback callback) override {
    if (m_startResult != Result::Ok) return m_startResult;
    if (m_thread.joinable()) return Result::Failed;
    m_running = true;
    {
      std::lock_guard<std::mutex> lock(m_owner->m_mutex);
      ++m_owner->m_running;
      ++m_owner->m_started;
    }
    m_thread = std::thread([this, callback] {
      size_t next = 0;
      while (m_running) {
        if (!m_samples.empty()) {
          const size_t loop = m_samples.size() - m_loopFrom;
          const auto& s = m_samples[next < m_loopFrom ? next : m_loopFrom + (next - m_loopFrom) % loop];
          ++next;
          callback(s.data(), s.size());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(m_periodMs));
      }
    });
    return Result::Ok;
  }

  void Stop() override {
    m_running = false;
    if (m_thread.joinable()) {
      m_thread.join();
      std::lock_guard<std::mutex> lock(m_owner->m_mutex);
      --m_owner->m_running;
    }
  }

 private:
  FakeCameras* m_owner;
  std::vector<std::vector<uint8_t>> m_samples;
  size_t m_loopFrom;
  Result m_startResult;
  int m_periodMs;
  std::atomic<bool> m_running{false};
  std::thread m_thread;
};

FakeCameras& FakeCameras::Instance() {
  static FakeCameras instance;
  return instance;
}

std::vector<CameraDevice> FakeCameras::List() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<CameraDevice> list;
  for (const auto& c : m_cameras) list.push_back(c.device);
  return list;
}

Result FakeCameras::Formats(const std::string& id, std::vector<CameraFormat>* formats) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& c : m_cameras) {
    if (c.device.id != id) continue;
    if (c.formatsResult != Result::Ok) return c.formatsResult;
    *formats = c.formats;
    return Result::Ok;
  }
  return Result::Failed;
}

std::unique_ptr<CameraStream> FakeCameras::Open(const std::string& id, const CameraFormat& format,
                                                Result* result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& c : m_cameras) {
    if (c.device.id != id) continue;
    if (c.openResult != Result::Ok) {
      *result = c.openResult;
      return nullptr;
    }
    for (size_t i = 0; i < c.formats.size(); ++i) {
      const auto& f = c.formats[i];
      if (f.pixelFormat != format.pixelFormat || f.width != format.width || f.height != format.height)
        continue;
      m_lastOpened = f;
      m_lastOpened.requestedInterval = format.requestedInterval;
      auto it = c.samples.find(i);
      *result = Result::Ok;
      return std::make_unique<FakeCameraStream>(
          this, it == c.samples.end() ? std::vector<std::vector<uint8_t>>{} : it->second, c.loopFrom,
          c.startResult, m_periodMs);
    }
    *result = Result::Unsupported;
    return nullptr;
  }
  *result = Result::Failed;
  return nullptr;
}

void FakeCameras::SetCameras(std::vector<FakeCamera> cameras) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_cameras = std::move(cameras);
}

void FakeCameras::SetFramePeriodMs(int ms) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_periodMs = ms;
}

CameraFormat FakeCameras::LastOpenedFormat() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lastOpened;
}

int FakeCameras::RunningStreams() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_running;
}

int FakeCameras::StartedStreams() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_started;
}

void FakeCameras::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_cameras.clear();
  m_periodMs = 5;
  m_lastOpened = CameraFormat{};
  m_started = 0;
}

}  // namespace platform::fake
