#pragma once

#include <QWidget>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "camera/h264hwdecoder.h"
#include "camera/videodevices.h"
#include "camera/videograph.h"

class DsVideoCapturer;

// Shows one camera in one or more windows: the capture callback queues the
// samples, the play thread decodes and draws them.
class CameraPreviewer {
 public:
  CameraPreviewer();
  ~CameraPreviewer();
  CameraPreviewer(const CameraPreviewer&) = delete;
  CameraPreviewer& operator=(const CameraPreviewer&) = delete;

  bool Init(const std::string& id, const std::string& name, QWidget* window,
            const VideoCaptureCapability& capability);
  bool Preview(bool enable, QWidget* window);
  void OnCapturedFrame(const uint8_t* data, uint64_t length, const VideoCaptureCapability& capability,
                       int64_t timestamp);
  bool RenderToAll(const AVFrame* frame);
  VideoGraph* FindGraph(QWidget* window);
  void Stop();
  void ReleaseAll();

  const std::string& DeviceId() const { return m_deviceId; }
  bool IsRunning() const { return m_running; }
  size_t QueuedItems();

 private:
  struct Item {
    int32_t type = 0;
    void* data = nullptr;
    int32_t size = 0;
    bool startPoint = false;  // H.264 that decoding can begin with
  };
  static void FreeItem(Item& item);
  void AbandonStart();
  bool StartCapture();
  void RestartCapture();
  void QueueH264(Item item);
  void PlayThread();

  std::unique_ptr<H264HwDecoder> m_decoder;
  std::unique_ptr<DsVideoCapturer> m_capturer;
  std::mutex m_lock;
  std::deque<Item> m_queue;
  std::condition_variable m_queued;
  bool m_skipToStartPoint = false;  // H.264 was dropped: wait for a start point
  std::chrono::steady_clock::time_point m_skipSince;
  std::list<std::unique_ptr<VideoGraph>> m_graphs;
  QWidget* m_firstWindow = nullptr;
  std::atomic<bool> m_running{false};
  VideoCaptureCapability m_capability;
  std::string m_deviceId;
  std::string m_deviceName;
  std::thread m_playThread;
};
