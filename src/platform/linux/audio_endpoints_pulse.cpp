// PulseAudio backend of the audio endpoints: playback endpoints are sinks
// (loopback records "<sink>.monitor"), capture endpoints are sources.
#include "platform/linux/audio_endpoints_pulse.h"

#include <chrono>

#include <glog/logging.h>

namespace platform::native {
namespace pulse {

int64_t SteadyMicroseconds() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void OnServerTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
  auto* timer = static_cast<ServerTimer*>(userdata);
  timer->expired = true;
  pa_threaded_mainloop_signal(timer->loop, 0);
}

// Waits for an operation while the mainloop lock is held; true when it
// completed.
bool Await(pa_threaded_mainloop* loop, pa_context* context, pa_operation* op) {
  if (!op) return false;
  if (!WaitServer(loop, context, [op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }))
    LOG(ERROR) << "pulseaudio does not answer, its connection is dropped";
  if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
  const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
  pa_operation_unref(op);
  return done;
}

void SuccessCallback(pa_stream*, int, void* userdata) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
}

int64_t PulseEndpoints::NowMicroseconds() { return SteadyMicroseconds(); }

uint64_t PulseEndpoints::TickCountMs() { return static_cast<uint64_t>(SteadyMicroseconds() / 1000); }

// The context of a ready connection, or none when no server answers. A
// connection that broke (the server ended or restarted) is made anew;
// streams of the old one fail and are opened again by their owners.
ContextRef PulseEndpoints::Connect() {
  std::lock_guard<std::mutex> lock(m_connectMutex);
  if (!m_loop) {
    pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
    if (!loop) return {};
    if (pa_threaded_mainloop_start(loop) < 0) {
      pa_threaded_mainloop_free(loop);
      return {};
    }
    m_loop = loop;
  }
  pa_threaded_mainloop_lock(m_loop);
  if (m_context && pa_context_get_state(m_context) != PA_CONTEXT_READY) {
    LOG(ERROR) << "pulseaudio connection lost, connecting again";
    DropContext();
  }
  if (!m_context) NewContext();
  pa_context* context = m_context ? pa_context_ref(m_context) : nullptr;
  pa_threaded_mainloop_unlock(m_loop);
  return ContextRef(m_loop, context);
}

void PulseEndpoints::OnContextState(pa_context*, void* userdata) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
}

// Mainloop lock held. Connects a new context and waits until it is ready
// (or failed); a server whose defaults differ from the last ones seen
// tells the listeners.
void PulseEndpoints::NewContext() {
  pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "korvorec");
  if (!context) return;
  pa_context_set_state_callback(context, OnContextState, m_loop);
  const bool ok = pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
                  WaitServer(m_loop, context,
                             [context] {
                               const pa_context_state_t state = pa_context_get_state(context);
                               return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
                             }) &&
                  pa_context_get_state(context) == PA_CONTEXT_READY;
  if (!ok) {
    if (!m_connectFailureLogged)
      LOG(ERROR) << "connect to pulseaudio failed: " << pa_strerror(pa_context_errno(context));
    m_connectFailureLogged = true;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    return;
  }
  if (m_connectFailureLogged) LOG(INFO) << "connected to pulseaudio again";
  m_connectFailureLogged = false;
  m_context = context;
  pa_context_set_subscribe_callback(context, OnSubscribe, this);
  pa_operation* op = pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr);
  if (op) pa_operation_unref(op);
  ServerQuery q;
  q.loop = m_loop;
  if (Await(m_loop, context, pa_context_get_server_info(context, OnServerInfo, &q))) DefaultsSeen(q.sink, q.source);
}

// Mainloop lock held.
void PulseEndpoints::DropContext() {
  pa_context_set_state_callback(m_context, nullptr, nullptr);
  pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
  pa_context_disconnect(m_context);
  pa_context_unref(m_context);
  m_context = nullptr;
}

}  // namespace pulse

AudioEndpoints& AudioEndpointsInstance() {
  // Lives for the whole process: the mainloop thread may outlast any caller.
  static pulse::PulseEndpoints* instance = new pulse::PulseEndpoints;
  return *instance;
}

}  // namespace platform::native
