#include <glog/logging.h>

#include <memory>

#include "platform/hotkeys.h"
#include "platform/keyboard_events.h"
#include "platform/linux/portal_screencast.h"
#include "platform/session_capabilities.h"

namespace platform::native {

std::unique_ptr<HotKeys> NewPortalHotKeys();

SessionCapabilities WaylandCapabilities() {
  SessionCapabilities c;
  c.wayland = true;
  const CastOffer offer = ScreenCastPortal::Query();
  c.screenCast = offer.version > 0 && (offer.sourceTypes & kCastMonitor);
  // Any window where the desktop's dialog picks one; else the capture
  // library's, which sees X11 programs only.
  c.desktopPicksWindow = offer.version > 0 && (offer.sourceTypes & kCastWindow);
  c.windowCast = c.desktopPicksWindow;
  c.globalHotKeys = PortalVersion("GlobalShortcuts") > 0;
  c.globalInput = false;
  LOG(INFO) << "Wayland session: screen cast " << (c.screenCast ? "offered" : "missing")
            << ", of windows " << (c.desktopPicksWindow ? "offered" : "missing")
            << " (portal version " << offer.version << ", sources " << offer.sourceTypes
            << ", cursor modes " << offer.cursorModes << "), global shortcuts "
            << (c.globalHotKeys ? "offered" : "missing");
  return c;
}

namespace {

// A Wayland session gives no program every key of the desktop.
class NoKeyboardEvents : public KeyboardEvents {
 public:
  Result Install(KeyEventHandler) override { return Result::Unsupported; }
  Result Uninstall() override { return Result::Failed; }
  bool IsInstalled() override { return false; }
};

class NoHotKeys : public HotKeys {
 public:
  Result Register(uint32_t, uint32_t) override { return Result::Unsupported; }
  Result Unregister(uint32_t, uint32_t) override { return Result::Failed; }
};

}  // namespace

KeyboardEvents& WaylandKeyboardEvents() {
  static NoKeyboardEvents events;
  return events;
}

HotKeys& WaylandHotKeys() {
  static const std::unique_ptr<HotKeys> keys =
      GetSessionCapabilities().globalHotKeys ? NewPortalHotKeys()
                                             : std::unique_ptr<HotKeys>(new NoHotKeys);
  return *keys;
}

}  // namespace platform::native
