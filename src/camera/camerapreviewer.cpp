#include "camera/camerapreviewer.h"

#include <glog/logging.h>
#include <libyuv.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "camera/dsvideocapturer.h"
#include "platform/thread_name.h"

namespace {
// Raw pictures waiting beyond this are dropped, oldest first, so that a slow
// window cannot make the queue grow without end.
constexpr size_t kMaxQueuedPictures = 8;
// H.264 waiting beyond this (a second at 30 fps) is dropped up to the next
// instantaneous refresh: later pictures depend on the ones before.
constexpr size_t kMaxQueuedPackets = 30;
// A camera may send an instantaneous refresh only when its stream starts:
// after waiting this long for one, the stream is started again.
constexpr std::chrono::seconds kStartPointWait{2};

// Bytes a sample of this type and size must hold; 0 for compressed types,
// whose decoder checks them.
uint64_t MinSampleLength(int type, int width, int height) {
  const uint64_t w = uint64_t(width), h = uint64_t(height);
  const uint64_t chroma = ((w + 1) / 2) * ((h + 1) / 2);
  switch (type) {
    case kVideoI420: return w * h * 3 / 2;
    case kVideoNV12: return w * h + 2 * chroma;
    case kVideoRGB24: return w * h * 3;
    case kVideoYUY2:
    case kVideoUYVY: return (w + 1) / 2 * 4 * h;
    default: return 0;
  }
}

// Whether an Annex B access unit holds an IDR slice or a sequence parameter
// set, where decoding can begin.
bool IsH264StartPoint(const uint8_t* data, uint64_t size) {
  for (uint64_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const int type = data[i + 3] & 0x1f;
    if (type == 5 || type == 7) return true;
    i += 2;
  }
  return false;
}
}  // namespace

CameraPreviewer::CameraPreviewer() = default;

CameraPreviewer::~CameraPreviewer() {
  Stop();
  // The play thread releases everything when it ends; without one, do it here.
  if (m_capturer || !m_graphs.empty() || !m_queue.empty()) ReleaseAll();
}

bool CameraPreviewer::Init(const std::string& id, const std::string& name, QWidget* window,
                           const VideoCaptureCapability& capability) {
  m_deviceId = id;
  m_deviceName = name;
  m_firstWindow = window;
  m_capability = capability;
  if (!m_decoder && capability.videoType == kVideoH264) {
    m_decoder = std::make_unique<H264HwDecoder>();
    if (!m_decoder->Init()) {
      LOG(ERROR) << "init h264 decoder failed";
      m_decoder.reset();
      return false;
    }
  }
  return Preview(true, window);
}

bool CameraPreviewer::Preview(bool enable, QWidget* window) {
  if (!enable) {
    bool empty;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      for (auto it = m_graphs.begin(); it != m_graphs.end();) {
        if ((*it)->Params().window == window) {
          LOG(INFO) << "HWND " << window << " is erased";
          it = m_graphs.erase(it);
        } else {
          ++it;
        }
      }
      empty = m_graphs.empty();
    }
    if (empty && m_playThread.joinable()) m_playThread.join();
    return true;
  }

  if (!FindGraph(window)) {
    auto graph = std::make_unique<VideoGraph>();
    if (!graph->SetParams({window, m_capability})) return false;
    std::lock_guard<std::mutex> lock(m_lock);
    m_graphs.push_back(std::move(graph));
  }
  if (!m_running.exchange(true)) {
    if (m_playThread.joinable()) m_playThread.join();
    m_capturer = std::make_unique<DsVideoCapturer>();
    if (!m_capturer->Init(m_deviceId, m_deviceName)) {
      LOG(ERROR) << "inits capturer failed";
      AbandonStart();
      return false;
    }
    if (!StartCapture()) {
      LOG(ERROR) << "start capturer inits failed";
      AbandonStart();
      return false;
    }
    m_playThread = std::thread(&CameraPreviewer::PlayThread, this);
  }
  LOG(INFO) << "start to preview";
  return true;
}

bool CameraPreviewer::StartCapture() {
  m_capturer->SetFrameCallback([this](const uint8_t* data, uint64_t length,
                                      const VideoCaptureCapability& capability, int64_t timestamp) {
    OnCapturedFrame(data, length, capability, timestamp);
  });
  return m_capturer->Start(m_capability) == 0;
}

void CameraPreviewer::RestartCapture() {
  if (!m_capturer) return;
  LOG(WARNING) << "no IDR from the camera " << kStartPointWait.count()
               << " s after H.264 was dropped, restarting its stream";
  m_capturer->Stop();
  if (!StartCapture()) LOG(ERROR) << "the camera stream did not start again";
}

void CameraPreviewer::AbandonStart() {
  // No picture will come: no window may keep an empty surface.
  m_capturer.reset();
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_graphs.clear();
  }
  m_running = false;
}

void CameraPreviewer::OnCapturedFrame(const uint8_t* data, uint64_t length,
                                      const VideoCaptureCapability& capability, int64_t) {
  if (capability.videoType == kVideoH264) {
    auto* buffer = new uint8_t[length];
    memcpy(buffer, data, length);
    QueueH264({kVideoH264, buffer, int32_t(length), IsH264StartPoint(data, length)});
    return;
  }
  const int width = capability.width;
  const int height = std::abs(capability.height);
  AVFrame* frame = nullptr;
  const uint64_t need = MinSampleLength(capability.videoType, width, height);
  if (length < need) {
    LOG(ERROR) << "Convert pixmap format failed: short sample of " << length << " bytes, " << need
               << " needed, type is " << capability.videoType << ",width is " << width << ",height is "
               << height;
  } else {
    frame = av_frame_alloc();
    if (frame) {
      frame->width = width;
      frame->height = height;
      frame->format = AV_PIX_FMT_YUV420P;
    }
    if (!frame || av_frame_get_buffer(frame, 0) < 0) {
      av_frame_free(&frame);
    } else if (capability.videoType == kVideoI420) {
      libyuv::I420Copy(data, width, data + width * height, width / 2,
                       data + width * height + (width / 2) * (height / 2), width / 2, frame->data[0],
                       frame->linesize[0], frame->data[1], frame->linesize[1], frame->data[2],
                       frame->linesize[2], width, height);
    } else {
      const uint8_t* source = data;
      std::vector<uint8_t> flipped;
      if (capability.videoType == kVideoRGB24 && capability.height < 0) {
        flipped.resize(length);
        const size_t row = size_t(width) * 3;
        for (int i = 0; i < height; ++i) memcpy(&flipped[i * row], data + (height - 1 - i) * row, row);
        source = flipped.data();
      }
      const int fourcc = VideoTypeToFourcc(capability.videoType);
      const int r = fourcc < 0 ? -1
                               : libyuv::ConvertToI420(source, length, frame->data[0], frame->linesize[0],
                                                       frame->data[1], frame->linesize[1], frame->data[2],
                                                       frame->linesize[2], 0, 0, width, height, width, height,
                                                       libyuv::kRotate0, uint32_t(fourcc));
      if (r != 0) {
        LOG(ERROR) << "Convert pixmap format failed:" << r << "type is " << capability.videoType
                   << ",width is " << width << ",height is " << height;
        av_frame_free(&frame);
      }
    }
  }
  // Nothing to show: a good picture already queued must not make room for it.
  if (!frame) return;
  std::lock_guard<std::mutex> lock(m_lock);
  m_queue.push_back({kVideoI420, frame, 0});
  if (m_queue.size() > kMaxQueuedPictures) {
    FreeItem(m_queue.front());
    m_queue.pop_front();
  }
  m_queued.notify_one();
}

void CameraPreviewer::QueueH264(Item item) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_skipToStartPoint && !item.startPoint) {
    FreeItem(item);
    return;
  }
  m_skipToStartPoint = false;
  m_queue.push_back(item);
  // Too far behind: skip whole groups of pictures, so that decoding resumes
  // at a picture that needs none before it.
  while (m_queue.size() > kMaxQueuedPackets) {
    FreeItem(m_queue.front());
    m_queue.pop_front();
    while (!m_queue.empty() && !m_queue.front().startPoint) {
      FreeItem(m_queue.front());
      m_queue.pop_front();
    }
    if (m_queue.empty()) {
      m_skipToStartPoint = true;
      m_skipSince = std::chrono::steady_clock::now();
    }
  }
  m_queued.notify_one();
}

bool CameraPreviewer::RenderToAll(const AVFrame* frame) {
  std::lock_guard<std::mutex> lock(m_lock);
  for (auto& graph : m_graphs) graph->ProcessFrame(frame);
  return !m_graphs.empty();
}

VideoGraph* CameraPreviewer::FindGraph(QWidget* window) {
  std::lock_guard<std::mutex> lock(m_lock);
  for (auto& graph : m_graphs)
    if (graph->Params().window == window) return graph.get();
  return nullptr;
}

void CameraPreviewer::Stop() {
  m_running = false;
  if (m_playThread.joinable()) m_playThread.join();
}

void CameraPreviewer::FreeItem(Item& item) {
  if (item.type == kVideoH264) {
    delete[] static_cast<uint8_t*>(item.data);
  } else {
    AVFrame* frame = static_cast<AVFrame*>(item.data);
    av_frame_free(&frame);
  }
  item = Item{};
}

size_t CameraPreviewer::QueuedItems() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_queue.size();
}

void CameraPreviewer::ReleaseAll() {
  // The capture callback queues into this object: stop it first.
  std::unique_ptr<DsVideoCapturer> capturer = std::move(m_capturer);
  if (capturer) capturer->Stop();
  capturer.reset();
  {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& item : m_queue) FreeItem(item);
    m_queue.clear();
    m_skipToStartPoint = false;  // a new stream begins with a start point
  }
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_graphs.clear();
  }
  m_running = false;
  LOG(INFO) << "All resource is destroyed";
}

void CameraPreviewer::PlayThread() {
  platform::SetCurrentThreadName("camera-preview");
  while (m_running) {
    Item item;
    bool haveGraphs;
    bool restart = false;
    {
      std::unique_lock<std::mutex> lock(m_lock);
      if (m_skipToStartPoint && std::chrono::steady_clock::now() - m_skipSince >= kStartPointWait) {
        restart = true;
        m_skipSince = std::chrono::steady_clock::now();
      }
      if (m_queue.empty() && !m_graphs.empty())
        m_queued.wait_for(lock, std::chrono::milliseconds(10));
      if (!m_queue.empty()) {
        item = m_queue.front();
        m_queue.pop_front();
      }
      haveGraphs = !m_graphs.empty();
    }
    // Outside the lock: stopping waits for a sample being queued.
    if (restart) RestartCapture();
    if (item.type == 0) {
      // Nothing to show and nobody to show it to: a silent camera must not
      // keep the thread alive.
      if (!haveGraphs) break;
      continue;
    }
    const AVFrame* frame = nullptr;
    if (item.type == kVideoH264) {
      if (m_decoder) frame = m_decoder->Decode(static_cast<const uint8_t*>(item.data), item.size);
    } else {
      frame = static_cast<const AVFrame*>(item.data);
    }
    const bool rendered = !frame || RenderToAll(frame);
    FreeItem(item);
    if (!rendered) break;
  }
  LOG(INFO) << "CameraPreviewer's play thread is over";
  ReleaseAll();
}
