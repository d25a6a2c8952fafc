// The PulseAudio endpoints listed: sinks and sources, the server's defaults
// and the events that tell of their changes.
#include "platform/linux/audio_endpoints_pulse.h"

#include <algorithm>

namespace platform::native::pulse {
namespace {

struct ListQuery {
  pa_threaded_mainloop* loop = nullptr;
  std::vector<DeviceRecord> records;
  bool done = false;
};

}  // namespace

Result PulseEndpoints::List(AudioDirection direction, std::vector<AudioEndpointInfo>* endpoints) {
  endpoints->clear();
  std::vector<DeviceRecord> records;
  if (!Query(direction, &records)) return Result::Failed;
  for (auto& r : records) endpoints->push_back({r.name, r.description});
  return Result::Ok;
}

// The server's default; when that is not listed (a sink's monitor as the
// default source, on a machine without a microphone), the first one.
Result PulseEndpoints::Default(AudioDirection direction, AudioRole, AudioEndpointInfo* endpoint) {
  std::string sink, source;
  if (!ServerDefaults(&sink, &source)) return Result::Failed;
  const std::string& name = direction == AudioDirection::Render ? sink : source;
  std::vector<DeviceRecord> records;
  if (!Query(direction, &records) || records.empty()) return Result::Failed;
  auto it = std::find_if(records.begin(), records.end(), [&](const DeviceRecord& r) { return r.name == name; });
  const DeviceRecord& record = it == records.end() ? records.front() : *it;
  *endpoint = {record.name, record.description};
  return Result::Ok;
}

Result PulseEndpoints::Open(AudioDirection direction, const std::string& id,
                            std::unique_ptr<AudioEndpoint>* endpoint) {
  DeviceRecord record;
  if (!Find(direction, id, &record)) return Result::Failed;
  endpoint->reset(new PulseEndpoint(this, direction, std::move(record)));
  return Result::Ok;
}

bool PulseEndpoints::Find(AudioDirection direction, const std::string& name, DeviceRecord* record) {
  std::vector<DeviceRecord> records;
  if (!Query(direction, &records)) return false;
  for (auto& r : records) {
    if (r.name == name) {
      *record = std::move(r);
      return true;
    }
  }
  return false;
}

bool PulseEndpoints::Query(AudioDirection direction, std::vector<DeviceRecord>* records) {
  ContextRef context = Connect();
  if (!context) return false;
  ListQuery q;
  q.loop = m_loop;
  pa_threaded_mainloop_lock(m_loop);
  pa_operation* op = direction == AudioDirection::Render
                         ? pa_context_get_sink_info_list(context.get(), OnSinkInfo, &q)
                         : pa_context_get_source_info_list(context.get(), OnSourceInfo, &q);
  bool ok = Await(m_loop, context.get(), op) && q.done;
  pa_threaded_mainloop_unlock(m_loop);
  if (ok) *records = std::move(q.records);
  return ok;
}

bool PulseEndpoints::ServerDefaults(std::string* sink, std::string* source) {
  ContextRef context = Connect();
  if (!context) return false;
  ServerQuery q;
  q.loop = m_loop;
  pa_threaded_mainloop_lock(m_loop);
  bool ok = Await(m_loop, context.get(), pa_context_get_server_info(context.get(), OnServerInfo, &q)) && q.done;
  pa_threaded_mainloop_unlock(m_loop);
  *sink = q.sink;
  *source = q.source;
  return ok;
}

void PulseEndpoints::OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* q = static_cast<ListQuery*>(userdata);
  if (eol) {
    q->done = true;
    pa_threaded_mainloop_signal(q->loop, 0);
    return;
  }
  DeviceRecord r;
  r.name = info->name ? info->name : "";
  r.description = info->description ? info->description : "";
  r.monitor = info->monitor_source_name ? info->monitor_source_name : "";
  r.spec = info->sample_spec;
  r.map = info->channel_map;
  q->records.push_back(std::move(r));
}

// Microphones: a sink's monitor is not one (its sound is recorded as the
// speaker's loopback).
void PulseEndpoints::OnSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* q = static_cast<ListQuery*>(userdata);
  if (eol) {
    q->done = true;
    pa_threaded_mainloop_signal(q->loop, 0);
    return;
  }
  if (info->monitor_of_sink != PA_INVALID_INDEX) return;
  DeviceRecord r;
  r.name = info->name ? info->name : "";
  r.description = info->description ? info->description : "";
  r.spec = info->sample_spec;
  r.map = info->channel_map;
  q->records.push_back(std::move(r));
}

void PulseEndpoints::OnServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* q = static_cast<ServerQuery*>(userdata);
  if (info) {
    q->sink = info->default_sink_name ? info->default_sink_name : "";
    q->source = info->default_source_name ? info->default_source_name : "";
  }
  q->done = true;
  pa_threaded_mainloop_signal(q->loop, 0);
}

void PulseEndpoints::Register(AudioEndpointListener* listener) {
  Connect();
  std::lock_guard<std::mutex> lock(m_listenerMutex);
  m_listeners.insert(listener);
}

void PulseEndpoints::Unregister(AudioEndpointListener* listener) {
  std::lock_guard<std::mutex> lock(m_listenerMutex);
  m_listeners.erase(listener);
}

// Mainloop thread: the server's defaults may have changed.
void PulseEndpoints::OnSubscribe(pa_context* c, pa_subscription_event_type_t type, uint32_t, void* userdata) {
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) return;
  pa_operation* op = pa_context_get_server_info(c, OnServerChanged, userdata);
  if (op) pa_operation_unref(op);
}

void PulseEndpoints::OnServerChanged(pa_context*, const pa_server_info* info, void* userdata) {
  if (!info) return;
  static_cast<PulseEndpoints*>(userdata)->DefaultsSeen(info->default_sink_name ? info->default_sink_name : "",
                                                       info->default_source_name ? info->default_source_name : "");
}

// Mainloop lock held (or its thread): tells the listeners of changed
// defaults.
void PulseEndpoints::DefaultsSeen(const std::string& sink, const std::string& source) {
  std::lock_guard<std::mutex> lock(m_listenerMutex);
  if (sink != m_lastSink) {
    m_lastSink = sink;
    for (auto* l : m_listeners)
      for (auto role : {AudioRole::Console, AudioRole::Communications})
        l->OnDefaultDeviceChanged(AudioDirection::Render, role, sink);
  }
  if (source != m_lastSource) {
    m_lastSource = source;
    for (auto* l : m_listeners)
      for (auto role : {AudioRole::Console, AudioRole::Communications})
        l->OnDefaultDeviceChanged(AudioDirection::Capture, role, source);
  }
}

}  // namespace platform::native::pulse
