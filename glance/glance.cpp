#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>

#include <memory>

#include "capture.h"
#include "glancerinterface.h"

#define GLANCE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using glance::Capture;

class X11Glancer : public GlancerInterface {
 public:
  ~X11Glancer() override { m_capture->Abandon(); }
  bool Init(const GlancerConfig& config) override { return m_capture->Init(config); }
  bool Start() override { return m_capture->Start(); }
  bool Stop() override { return m_capture->Stop(); }

 private:
  std::shared_ptr<Capture> m_capture = std::make_shared<Capture>();
};

}  // namespace

GLANCE_EXPORT bool DoesGlanceSupported() {
  glance::InitThreadsOnce();
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  int eventBase = 0, errorBase = 0;
  const bool supported =
      glance::HasComposite(d) && XDamageQueryExtension(d, &eventBase, &errorBase);
  XCloseDisplay(d);
  return supported;
}

GLANCE_EXPORT GlancerInterface* CreateGlancer() { return new X11Glancer(); }
