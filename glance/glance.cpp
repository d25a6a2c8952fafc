#include "glancerinterface.h"

// Window capture is not offered yet: the library loads and answers that it
// cannot capture.
extern "C" __attribute__((visibility("default"))) bool DoesGlanceSupported() { return false; }

extern "C" __attribute__((visibility("default"))) GlancerInterface* CreateGlancer() {
  return nullptr;
}
