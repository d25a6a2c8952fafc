#include <glog/logging.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/pipewire_stream.h"
#include "platform/linux/portal_screencast.h"
#include "platform/screen_duplication.h"

namespace platform::native {

namespace {

using Clock = std::chrono::steady_clock;
// The desktop's own dialog picks what is shared; the user may take a while.
constexpr int kDialogTimeoutMs = 120000;
constexpr int kFormatTimeoutMs = 5000;
// A cast that the desktop ended (the user stopped sharing, the monitor
// went) is not asked for again at once: the capture that lost it ends.
constexpr auto kRecastPause = std::chrono::seconds(3);

struct Permission {
  std::mutex mutex;
  std::string token;
  std::function<void(const std::string&)> save;
  std::map<std::string, Clock::time_point> ended;  // by output name
};

Permission& Kept() {
  static Permission permission;
  return permission;
}

std::string Token() {
  std::lock_guard<std::mutex> lock(Kept().mutex);
  return Kept().token;
}

void KeepToken(const std::string& token) {
  std::function<void(const std::string&)> save;
  {
    std::lock_guard<std::mutex> lock(Kept().mutex);
    if (token.empty() || token == Kept().token) return;
    Kept().token = token;
    save = Kept().save;
  }
  if (save) save(token);
}

void MarkEnded(const std::string& output) {
  std::lock_guard<std::mutex> lock(Kept().mutex);
  Kept().ended[output] = Clock::now();
}

bool EndedLately(const std::string& output) {
  std::lock_guard<std::mutex> lock(Kept().mutex);
  auto it = Kept().ended.find(output);
  return it != Kept().ended.end() && Clock::now() - it->second < kRecastPause;
}

// The pointer as metadata where the portal offers it, else in the picture.
uint32_t CursorMode(const CastOffer& offer) {
  return (offer.cursorModes & kCursorMetadata)   ? kCursorMetadata
         : (offer.cursorModes & kCursorEmbedded) ? kCursorEmbedded
                                                 : kCursorHidden;
}

// One monitor, or one window, through the desktop's ScreenCast portal: its
// dialog picks the monitor (or restores the last choice) or the window,
// PipeWire brings the pictures as the desktop draws them, and the pointer
// comes as metadata where the portal offers it (else it is in the picture
// already).
class PortalDuplication : public ScreenDuplication {
 public:
  explicit PortalDuplication(const MonitorInfo& output)
      : m_output(output), m_name(output.deviceName) {}
  // A window that the desktop's dialog picks.
  PortalDuplication() : m_window(true), m_name("the window") {}

  Result Open() {
    if (m_window) return OpenWindow();
    if (EndedLately(m_output.deviceName)) {
      LOG(ERROR) << "the screen cast of " << m_output.deviceName << " ended just now";
      return Result::Failed;
    }
    const CastOffer offer = ScreenCastPortal::Query();
    if (offer.version == 0 || !(offer.sourceTypes & kCastMonitor)) {
      LOG(ERROR) << "the desktop offers no screen cast of monitors";
      return Result::Failed;
    }
    const uint32_t cursor = CursorMode(offer);
    std::string token = Token();
    m_portal = std::make_unique<ScreenCastPortal>();
    Result r = m_portal->Open(kCastMonitor, cursor, token, kDialogTimeoutMs);
    if (r != Result::Ok) return r;
    KeepToken(m_portal->RestoreToken());
    const CastStream* stream = &m_portal->Streams().front();
    if (!token.empty() && stream->hasPosition &&
        (stream->x != m_output.rect.left || stream->y != m_output.rect.top)) {
      // The restored choice is another monitor: the user is asked again.
      LOG(INFO) << "the kept screen cast shows another monitor; asking again";
      m_portal = std::make_unique<ScreenCastPortal>();
      r = m_portal->Open(kCastMonitor, cursor, std::string(), kDialogTimeoutMs);
      if (r != Result::Ok) return r;
      KeepToken(m_portal->RestoreToken());
      stream = &m_portal->Streams().front();
    }
    return Receive(*stream);
  }

  // The window is chosen anew for each recording: no token is given or kept,
  // and the monitors' token stays theirs.
  Result OpenWindow() {
    const CastOffer offer = ScreenCastPortal::Query();
    if (offer.version == 0 || !(offer.sourceTypes & kCastWindow)) {
      LOG(ERROR) << "the desktop offers no screen cast of windows";
      return Result::Unsupported;
    }
    m_portal = std::make_unique<ScreenCastPortal>();
    const Result r = m_portal->Open(kCastWindow, CursorMode(offer), std::string(),
                                    kDialogTimeoutMs, false);
    if (r != Result::Ok) return r;
    return Receive(m_portal->Streams().front());
  }

  Result Receive(const CastStream& stream) {
    const int fd = m_portal->OpenPipeWireRemote();
    if (fd < 0) return Result::Failed;
    if (!m_stream.Start(fd, stream.nodeId, kFormatTimeoutMs)) return Result::Failed;
    m_width = m_stream.Width();
    m_height = m_stream.Height();
    LOG(INFO) << "screen cast of " << m_name << ": node " << stream.nodeId << ", " << m_width
              << "x" << m_height;
    return Result::Ok;
  }

  int Width() const override { return m_width; }
  int Height() const override { return m_height; }

  Result AcquireNextFrame(int timeoutMs, DuplicationFrameInfo* info) override {
    // The image handed out before is no longer read.
    m_stream.EndLoan();
    if (Lost()) return Result::AccessLost;
    m_copied = false;
    PipeWireVideoStream::Update update;
    int64_t arrival = 0;
    if (!m_stream.Wait(timeoutMs, &m_pointer, &update, &arrival))
      return Lost() ? Result::AccessLost : Result::Timeout;
    if (update.picture) {
      if (update.width != m_width || update.height != m_height) {
        if (!m_window) {
          LOG(WARNING) << "the screen cast changed its size";
          return Result::AccessLost;
        }
        // A window's picture follows the window's size.
        LOG(INFO) << "the window's screen cast is now " << update.width << "x"
                  << update.height;
        m_width = update.width;
        m_height = update.height;
        m_changesKnown = false;
      }
      m_havePicture = true;
      m_arrival = arrival;
    }
    // The newest picture, also when only the pointer moved over it; when it
    // is gone (or of another size), wait for the next.
    int lentWidth = 0, lentHeight = 0;
    bool known = true;
    const bool lent = m_havePicture && m_stream.Lend(&m_lent, &m_lentStride, &m_lentBgrx,
                                                     &lentWidth, &lentHeight, &m_changes, &known);
    m_changesKnown = m_changesKnown && known;
    if (m_havePicture && (!lent || lentWidth != m_width || lentHeight != m_height))
      return Result::Timeout;
    m_pointerMoved = m_pointerMoved || update.pointer;
    m_shapeChanged = m_shapeChanged || update.shape;
    if (!m_havePicture) return Result::Timeout;
    *info = DuplicationFrameInfo{};
    info->presentTime = update.picture ? arrival : m_arrival;
    if (m_pointerMoved || m_first) {
      info->lastPointerUpdate = ++m_pointerUpdates;
      info->pointerX = m_pointer.x - m_pointer.hotX;
      info->pointerY = m_pointer.y - m_pointer.hotY;
      info->pointerVisible = m_pointer.visible && m_pointer.width > 0 && m_pointer.x >= 0 &&
                             m_pointer.y >= 0 && m_pointer.x < m_width && m_pointer.y < m_height;
      if (m_shapeChanged && m_pointer.width > 0)
        info->pointerShapeBufferSize = uint32_t(m_pointer.width) * m_pointer.height * 4;
    }
    m_first = m_pointerMoved = false;
    m_held = true;
    // The changes since the image handed out before go with this one.
    m_frameChanges.swap(m_changes);
    m_changes.clear();
    m_frameChangesKnown = m_changesKnown;
    m_changesKnown = true;
    return Result::Ok;
  }

  bool FrameChanges(std::vector<Rect>* rects) override {
    if (!m_held || !m_frameChangesKnown) return false;
    *rects = m_frameChanges;
    return true;
  }

  // A copy that the pointer may be drawn into.
  uint8_t* FrameData(int* pitch) override {
    if (!m_held) return nullptr;
    if (!m_copied && !m_stream.CopyLent(&m_image)) return nullptr;
    if (m_image.size() != size_t(m_width) * m_height * 4) return nullptr;
    m_copied = true;
    *pitch = m_width * 4;
    return m_image.data();
  }

  // The cast's own buffer, read in place.
  const uint8_t* FrameImage(int* pitch) override {
    if (!m_held || m_copied || !m_lentBgrx) return FrameData(pitch);
    *pitch = m_lentStride;
    return m_lent;
  }

  Result GetFramePointerShape(uint8_t* buffer, uint32_t size, uint32_t* required,
                              PointerShapeInfo* info) override {
    if (m_pointer.width <= 0) return Result::Failed;
    const uint32_t needed = uint32_t(m_pointer.width) * m_pointer.height * 4;
    *required = needed;
    if (size < needed) return Result::Failed;
    std::memcpy(buffer, m_pointer.pixels.data(), needed);
    info->type = PointerShapeType::Color;
    info->width = m_pointer.width;
    info->height = m_pointer.height;
    info->pitch = m_pointer.width * 4;
    info->hotX = m_pointer.hotX;
    info->hotY = m_pointer.hotY;
    m_shapeChanged = false;
    return Result::Ok;
  }

  Result ReleaseFrame() override {
    m_held = false;
    return Lost() ? Result::AccessLost : Result::Ok;
  }

 private:
  bool Lost() {
    if (m_lost) return true;
    if (m_portal->Closed() || m_stream.Ended()) {
      LOG(ERROR) << "the screen cast of " << m_name << " ended";
      if (!m_window) MarkEnded(m_output.deviceName);
      m_lost = true;
    }
    return m_lost;
  }

  MonitorInfo m_output;
  const bool m_window = false;
  const std::string m_name;  // for the log
  // The stream goes before the session that carries it.
  std::unique_ptr<ScreenCastPortal> m_portal;
  PipeWireVideoStream m_stream;
  int m_width = 0;
  int m_height = 0;
  // The held picture, lent by the stream until the next acquire; and a copy
  // of it, made when asked for, that the pointer may be drawn into.
  const uint8_t* m_lent = nullptr;
  int m_lentStride = 0;
  bool m_lentBgrx = false;
  std::vector<uint8_t> m_image;
  bool m_copied = false;
  bool m_havePicture = false;
  int64_t m_arrival = 0;
  // What the desktop marked changed since the image handed out before:
  // gathered, and that of the held image. Unknown before the first.
  std::vector<Rect> m_changes;
  bool m_changesKnown = false;
  std::vector<Rect> m_frameChanges;
  bool m_frameChangesKnown = false;
  CastPointer m_pointer;
  bool m_pointerMoved = false;
  bool m_shapeChanged = false;
  int64_t m_pointerUpdates = 0;
  bool m_first = true;
  bool m_held = false;
  bool m_lost = false;
};

}  // namespace

void KeepScreenCastPermission(const std::string& token,
                              std::function<void(const std::string&)> save) {
  std::lock_guard<std::mutex> lock(Kept().mutex);
  Kept().token = token;
  Kept().save = std::move(save);
}

Result DuplicateOutputThroughPortal(const MonitorInfo& output,
                                    std::unique_ptr<ScreenDuplication>* out) {
  auto duplication = std::make_unique<PortalDuplication>(output);
  const Result r = duplication->Open();
  if (r != Result::Ok) return r;
  *out = std::move(duplication);
  return Result::Ok;
}

Result DuplicatePickedWindowThroughPortal(std::unique_ptr<ScreenDuplication>* out) {
  auto duplication = std::make_unique<PortalDuplication>();
  const Result r = duplication->Open();
  if (r != Result::Ok) return r;
  *out = std::move(duplication);
  return Result::Ok;
}

}  // namespace platform::native
