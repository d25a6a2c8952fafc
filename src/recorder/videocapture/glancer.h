#pragma once

#include <cstdint>
#include <memory>

#include "platform/backend.h"
#include "recorder/videocapture/glancerinterface.h"
#include "recorder/videocapture/windowcapturerinterface.h"

// Source that records through the capture library: the only source for
// window recordings and the second choice for monitors. The library calls
// back with every frame and when the captured item goes away; there is no
// thread of its own here.
class Glancer : public WindowCapturerInterface {
 public:
  Glancer();
  ~Glancer() override;

  bool IsSupported(platform::MonitorId target) override;
  bool Init(const CaptureParams& params) override;
  int Start() override;
  bool Stop() override;
  // Produces no image; still images come from the screen-copy source.
  bool Snapshot(platform::MonitorId target, uint8_t** data, int* width, int* height) override;

  void OnFrame(const uint8_t* data, int size, int width, int height);
  void OnClosed();

 private:
  platform::ModuleHandle m_winrtDll = nullptr;
  std::unique_ptr<GlancerInterface> m_interface;
  AVFrame* m_frame = nullptr;
};
