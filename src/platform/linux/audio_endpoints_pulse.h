#pragma once

// What the files of the PulseAudio backend share: the connection to the
// server with its timed waits, the device records and the endpoints.
#include <pulse/pulseaudio.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/audio_endpoints.h"

namespace platform::native::pulse {

struct DeviceRecord {
  std::string name;
  std::string description;
  std::string monitor;  // sinks only
  pa_sample_spec spec{};
  pa_channel_map map{};
};

struct ServerQuery {
  pa_threaded_mainloop* loop = nullptr;
  std::string sink;
  std::string source;
  bool done = false;
};

int64_t SteadyMicroseconds();

// A server that does not answer within this time is taken for hung.
constexpr pa_usec_t kServerTimeoutUs = 2000000;

struct ServerTimer {
  pa_threaded_mainloop* loop;
  bool expired;
};

void OnServerTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata);

// Waits, mainloop lock held, until done() or the server's time is up
// (false). A hung server's connection is dropped: its streams fail as lost
// devices do, and every other waiter on it wakes.
template <typename Done>
bool WaitServer(pa_threaded_mainloop* loop, pa_context* context, Done done) {
  if (done()) return true;
  ServerTimer timer{loop, false};
  pa_time_event* event =
      pa_context_rttime_new(context, pa_rtclock_now() + kServerTimeoutUs, OnServerTimeout, &timer);
  while (!done() && !timer.expired) pa_threaded_mainloop_wait(loop);
  if (event) pa_threaded_mainloop_get_api(loop)->time_free(event);
  if (done()) return true;
  pa_context_disconnect(context);
  pa_threaded_mainloop_signal(loop, 0);
  return false;
}

bool Await(pa_threaded_mainloop* loop, pa_context* context, pa_operation* op);
void SuccessCallback(pa_stream*, int, void* userdata);

// A reference to the connection's context: a reconnection replaces the
// context while callers may still be using the old one.
class ContextRef {
 public:
  ContextRef() = default;
  ContextRef(pa_threaded_mainloop* loop, pa_context* context) : m_loop(loop), m_context(context) {}
  ContextRef(const ContextRef&) = delete;
  ContextRef& operator=(const ContextRef&) = delete;
  ~ContextRef() {
    if (!m_context) return;
    pa_threaded_mainloop_lock(m_loop);
    pa_context_unref(m_context);
    pa_threaded_mainloop_unlock(m_loop);
  }
  explicit operator bool() const { return m_context != nullptr; }
  pa_threaded_mainloop* loop() const { return m_loop; }
  pa_context* get() const { return m_context; }

 private:
  pa_threaded_mainloop* m_loop = nullptr;
  pa_context* m_context = nullptr;
};

class PulseEndpoints;

class PulseEndpoint : public AudioEndpoint {
 public:
  PulseEndpoint(PulseEndpoints* owner, AudioDirection direction, DeviceRecord record)
      : m_owner(owner), m_direction(direction), m_record(std::move(record)) {}
  const std::string& Id() const override { return m_record.name; }
  Result MixFormat(AudioMixFormat* format) override;
  Result OpenCapture(const AudioMixFormat& format, bool loopback, int64_t bufferUs,
                     std::unique_ptr<AudioCaptureStream>* stream) override;
  Result OpenSilentRender(int64_t bufferUs, std::unique_ptr<AudioSilentStream>* stream) override;

 private:
  PulseEndpoints* m_owner;
  AudioDirection m_direction;
  DeviceRecord m_record;
};

class PulseEndpoints : public AudioEndpoints {
 public:
  Result List(AudioDirection direction, std::vector<AudioEndpointInfo>* endpoints) override;
  Result Default(AudioDirection direction, AudioRole, AudioEndpointInfo* endpoint) override;
  Result Open(AudioDirection direction, const std::string& id,
              std::unique_ptr<AudioEndpoint>* endpoint) override;
  void Register(AudioEndpointListener* listener) override;
  void Unregister(AudioEndpointListener* listener) override;
  int64_t NowMicroseconds() override;
  uint64_t TickCountMs() override;
  ContextRef Connect();
  bool Find(AudioDirection direction, const std::string& name, DeviceRecord* record);

 private:
  static void OnContextState(pa_context*, void* userdata);
  void NewContext();
  void DropContext();
  static void OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata);
  static void OnSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata);
  static void OnServerInfo(pa_context*, const pa_server_info* info, void* userdata);
  static void OnSubscribe(pa_context* c, pa_subscription_event_type_t type, uint32_t, void* userdata);
  static void OnServerChanged(pa_context*, const pa_server_info* info, void* userdata);
  void DefaultsSeen(const std::string& sink, const std::string& source);
  bool Query(AudioDirection direction, std::vector<DeviceRecord>* records);
  bool ServerDefaults(std::string* sink, std::string* source);

  std::mutex m_connectMutex;
  pa_threaded_mainloop* m_loop = nullptr;  // made once, runs for the whole process
  pa_context* m_context = nullptr;         // under the mainloop lock
  bool m_connectFailureLogged = false;

  std::mutex m_listenerMutex;
  std::set<AudioEndpointListener*> m_listeners;
  std::string m_lastSink;    // under m_listenerMutex
  std::string m_lastSource;
};

}  // namespace platform::native::pulse
