#include "loadedlibraries.h"
#include "platform/modules.h"
#include "recorder/videocapture/dxgicapturer.h"
#include "recorder/videocapture/gdicapturer.h"
#include "recorder/videocapture/glancer.h"
#include "recorder/videocapture/glancerinterface.h"
#include "recorder/videocapture/windowcapturerinterface.h"
#include "settings.h"

WindowCapturerInterface* CreateCapturer(int type) {
  switch (type) {
    case 0: return new DXGICapturer();
    case 1: return new Glancer();
    case 2: return new GdiCapturer();
    default: return nullptr;
  }
}

WindowCapturerInterface* CreateMonitorCapturer(platform::MonitorId monitor) {
  // In a Wayland session only the screen cast sees the screen; the library
  // and GDI would record the XWayland windows alone.
  if (platform::Backend::Kind() == platform::BackendKind::Wayland) {
    WindowCapturerInterface* capturer = CreateCapturer(0);
    if (capturer && capturer->IsSupported(monitor)) return capturer;
    delete capturer;
    return nullptr;
  }
  for (int type : {0, 1}) {
    WindowCapturerInterface* capturer = CreateCapturer(type);
    if (!capturer) continue;
    if (capturer->IsSupported(monitor)) return capturer;
    delete capturer;
  }
  return CreateCapturer(2);
}

WindowCapturerInterface* CreateWindowCapturer(platform::WindowId window) {
  return CreateCapturer(window ? 1 : 0);
}

bool Settings::IsGlanceSupported() {
  LoadedLibrary* library = FindLoadedLibrary(LoadedLibraries(), kCaptureLibraryName);
  if (!library) return false;
  auto supported = reinterpret_cast<DoesGlanceSupportedFunc>(
      platform::ResolveSymbol(library->handle, "DoesGlanceSupported"));
  return supported && supported();
}
