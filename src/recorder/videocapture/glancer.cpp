#include "recorder/videocapture/glancer.h"

extern "C" {
#include <libavutil/time.h>
}

#include <glog/logging.h>

#include "loadedlibraries.h"
#include "platform/modules.h"
#include "platform/monitors.h"
#include "platform/windows.h"

Glancer::Glancer() {
  if (LoadedLibrary* library = FindLoadedLibrary(LoadedLibraries(), kCaptureLibraryName))
    m_winrtDll = library->handle;
  m_frame = av_frame_alloc();
}

Glancer::~Glancer() {
  // The library stops and releases its capture objects.
  m_interface.reset();
  av_frame_free(&m_frame);
}

bool Glancer::IsSupported(platform::MonitorId) {
  if (!m_winrtDll) {
    LOG(ERROR) << "m_winrtDll" << " is nullptr";
    return false;
  }
  auto supported = reinterpret_cast<DoesGlanceSupportedFunc>(
      platform::ResolveSymbol(m_winrtDll, "DoesGlanceSupported"));
  if (!supported) return false;
  return supported();
}

bool Glancer::Init(const CaptureParams& params) {
  LOG(INFO) << "winrt is used";
  if (!m_winrtDll) return false;
  auto create = reinterpret_cast<CreateGlancerFunc>(
      platform::ResolveSymbol(m_winrtDll, "CreateGlancer"));
  if (!create) {
    LOG(ERROR) << "fun" << " is nullptr";
    return false;
  }
  // Owned from here on, so that a failure below does not leak it.
  std::unique_ptr<GlancerInterface> capturer(create());
  if (!capturer) {
    LOG(ERROR) << "capturer" << " is nullptr";
    return false;
  }
  m_params = params;
  m_pixelFormat = AV_PIX_FMT_BGRA;
  GlancerRect region;
  if (params.window) {
    // The library records the window's own area, not a frame drawn around it.
    m_captureRect = platform::Windows().ClientBounds(params.window);
  } else if (params.monitor) {
    platform::MonitorInfo monitor;
    if (!platform::FindMonitor(params.monitor, &monitor)) {
      LOG(ERROR) << "Get monitor info failed:" << params.monitor;
      return false;
    }
    if (params.mode == RecordMode::Region) {
      m_captureRect = params.region;
      // The library crops in the monitor's own pixels.
      region = GlancerRect{params.region.left - monitor.rect.left,
                           params.region.top - monitor.rect.top,
                           params.region.right - monitor.rect.left,
                           params.region.bottom - monitor.rect.top};
    } else {
      m_captureRect = monitor.rect;
    }
  } else if (params.mode == RecordMode::Region) {
    // No monitor: the whole screen, whose pixels are desktop coordinates.
    m_captureRect = params.region;
    region = GlancerRect{params.region.left, params.region.top, params.region.right,
                         params.region.bottom};
  }
  m_interface = std::move(capturer);

  GlancerConfig config;
  config.window = params.window;
  config.monitor = params.monitor;
  config.region = region;
  config.captureCursor = params.drawCursor;
  config.onFrame = [this](unsigned char* data, int size, int width, int height) {
    OnFrame(data, size, width, height);
  };
  config.onClosed = [this] { OnClosed(); };
  config.interfaceKey = GLANCE_INTERFACE_KEY;
  return m_interface->Init(config);
}

int Glancer::Start() {
  if (!m_interface) return -1;
  return m_interface->Start() ? 0 : -1;
}

bool Glancer::Stop() {
  if (!m_interface) return false;
  return m_interface->Stop();
}

// The library takes no still images.
bool Glancer::Snapshot(platform::MonitorId, uint8_t**, int*, int*) { return false; }

void Glancer::OnFrame(const uint8_t* data, int, int width, int height) {
  if (!m_frame) return;
  m_frame->pts = m_frame->pkt_dts = av_gettime_relative();
  m_frame->pict_type = AV_PICTURE_TYPE_NONE;
  SetBgraPicture(m_frame, data, width, height);
  if (m_frameCallback) m_frameCallback(m_frame);
}

void Glancer::OnClosed() {
  LOG(INFO) << "Glancer on device lost";
  for (WindowCapturerObserver* observer : m_observers) observer->OnDeviceLost();
}
