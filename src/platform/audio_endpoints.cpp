#include "platform/audio_endpoints.h"

#include "platform/fake/fake_audio_endpoints.h"

namespace platform {
namespace native {
AudioEndpoints& AudioEndpointsInstance();
}

AudioEndpoints& GetAudioEndpoints() {
  if (Backend::IsFake()) return fake::FakeAudioEndpoints::Instance();
  return native::AudioEndpointsInstance();
}

}  // namespace platform
