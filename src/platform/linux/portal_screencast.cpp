#include "platform/linux/portal_screencast.h"

#include <fcntl.h>
#include <glog/logging.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

namespace platform::native {

namespace {

constexpr char kPortal[] = "org.freedesktop.portal.Desktop";
constexpr char kPortalPath[] = "/org/freedesktop/portal/desktop";
constexpr char kScreenCast[] = "org.freedesktop.portal.ScreenCast";
constexpr int kCallTimeoutMs = 10000;


// Skips the rest of an entered container's current element.
int Skip(sd_bus_message* m) { return sd_bus_message_skip(m, nullptr); }

bool ReadPair(sd_bus_message* m, int32_t* a, int32_t* b) {
  return sd_bus_message_enter_container(m, 'v', "(ii)") > 0 &&
         sd_bus_message_read(m, "(ii)", a, b) >= 0 && sd_bus_message_exit_container(m) >= 0;
}

// Reads one stream's a{sv}.
bool ReadStreamProperties(sd_bus_message* m, CastStream* stream) {
  if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) return false;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0) return false;
    const std::string k = key;
    int32_t a = 0, b = 0;
    if (k == "position" && ReadPair(m, &a, &b)) {
      stream->hasPosition = true;
      stream->x = a;
      stream->y = b;
    } else if (k == "size" && ReadPair(m, &a, &b)) {
      stream->width = a;
      stream->height = b;
    } else if (k == "source_type") {
      if (sd_bus_message_read(m, "v", "u", &stream->sourceType) < 0) return false;
    } else if (Skip(m) < 0) {
      return false;
    }
    if (sd_bus_message_exit_container(m) < 0) return false;
  }
  return sd_bus_message_exit_container(m) >= 0;
}

}  // namespace

namespace {

int OnResponse(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* r = static_cast<PortalResponse*>(userdata);
  r->arrived = true;
  if (sd_bus_message_read(m, "u", &r->code) < 0) {
    r->code = 2;
    return 0;
  }
  if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) return 0;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0) break;
    const std::string k = key;
    const char* text = nullptr;
    if (k == "session_handle" && sd_bus_message_read(m, "v", "s", &text) >= 0) {
      r->sessionHandle = text;
    } else if (k == "restore_token" && sd_bus_message_read(m, "v", "s", &text) >= 0) {
      r->restoreToken = text;
    } else if (k == "streams" && sd_bus_message_enter_container(m, 'v', "a(ua{sv})") > 0) {
      if (sd_bus_message_enter_container(m, 'a', "(ua{sv})") > 0) {
        while (sd_bus_message_enter_container(m, 'r', "ua{sv}") > 0) {
          CastStream stream;
          if (sd_bus_message_read(m, "u", &stream.nodeId) < 0 ||
              !ReadStreamProperties(m, &stream))
            break;
          r->streams.push_back(stream);
          sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
      }
      sd_bus_message_exit_container(m);
    } else {
      Skip(m);
    }
    sd_bus_message_exit_container(m);
  }
  return 0;
}

int OnClosed(sd_bus_message*, void* userdata, sd_bus_error*) {
  *static_cast<bool*>(userdata) = true;
  return 0;
}

}  // namespace

uint32_t PortalVersion(const char* name) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return 0;
  uint32_t version = 0;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const std::string interface = std::string("org.freedesktop.portal.") + name;
  if (sd_bus_get_property_trivial(bus, kPortal, kPortalPath, interface.c_str(), "version", &error,
                                  'u', &version) < 0)
    version = 0;
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  return version;
}

std::string NewPortalToken() {
  static std::atomic<unsigned> counter{0};
  return "korvorec" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

PortalClient::~PortalClient() {
  if (m_bus) sd_bus_flush_close_unref(m_bus);
}

ScreenCastPortal::~ScreenCastPortal() {
  Close();
  if (m_closedSlot) sd_bus_slot_unref(m_closedSlot);
}

CastOffer ScreenCastPortal::Query() {
  CastOffer offer;
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return offer;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  if (sd_bus_get_property_trivial(bus, kPortal, kPortalPath, kScreenCast, "version", &error, 'u',
                                  &offer.version) < 0) {
    offer.version = 0;
  } else {
    sd_bus_get_property_trivial(bus, kPortal, kPortalPath, kScreenCast, "AvailableSourceTypes",
                                &error, 'u', &offer.sourceTypes);
    sd_bus_error_free(&error);
    sd_bus_get_property_trivial(bus, kPortal, kPortalPath, kScreenCast, "AvailableCursorModes",
                                &error, 'u', &offer.cursorModes);
  }
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  return offer;
}

bool PortalClient::Connect() {
  if (m_bus) return true;
  const int r = sd_bus_open_user(&m_bus);
  if (r < 0) {
    LOG(ERROR) << "cannot reach the session bus: " << strerror(-r);
    m_bus = nullptr;
    return false;
  }
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(m_bus, &unique) < 0 || !unique) return false;
  // ":1.42" is spelled "1_42" in request paths.
  for (const char* c = unique + 1; *c; ++c) m_sender += *c == '.' ? '_' : *c;
  return true;
}

bool PortalClient::Request(const char* interface, const char* method, const std::string& token,
                           int timeoutMs, const std::function<int(sd_bus_message*)>& append,
                           PortalResponse* response) {
  const std::string path = std::string(kPortalPath) + "/request/" + m_sender + "/" + token;
  sd_bus_slot* slot = nullptr;
  // Subscribed before the call, so that a quick answer is not missed.
  int r = sd_bus_match_signal(m_bus, &slot, nullptr, path.c_str(), "org.freedesktop.portal.Request",
                              "Response", OnResponse, response);
  if (r < 0) {
    LOG(ERROR) << "cannot watch the portal's answer: " << strerror(-r);
    return false;
  }
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const std::string name = std::string("org.freedesktop.portal.") + interface;
  r = sd_bus_message_new_method_call(m_bus, &call, kPortal, kPortalPath, name.c_str(), method);
  if (r >= 0) r = append(call);
  if (r >= 0) r = sd_bus_call(m_bus, call, uint64_t(kCallTimeoutMs) * 1000, &error, &reply);
  if (r < 0) {
    LOG(ERROR) << "portal " << interface << "." << method << " failed: "
               << (error.message ? error.message : strerror(-r));
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!response->arrived) {
      const int processed = sd_bus_process(m_bus, nullptr);
      if (processed < 0) break;
      if (processed > 0) continue;
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) break;
      sd_bus_wait(m_bus,
                  std::chrono::duration_cast<std::chrono::microseconds>(left).count());
    }
    if (!response->arrived) LOG(ERROR) << "portal " << interface << "." << method << ": no answer";
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  sd_bus_slot_unref(slot);
  return response->arrived;
}

Result ScreenCastPortal::Open(uint32_t sourceType, uint32_t cursorMode,
                              const std::string& restoreToken, int dialogTimeoutMs,
                              bool persist) {
  if (!Connect()) return Result::Unsupported;
  PortalResponse created;
  const std::string sessionToken = NewPortalToken();
  const std::string createToken = NewPortalToken();
  if (!Request("ScreenCast", "CreateSession", createToken, kCallTimeoutMs,
               [&](sd_bus_message* m) {
                 return sd_bus_message_append(m, "a{sv}", 2, "handle_token", "s",
                                              createToken.c_str(), "session_handle_token", "s",
                                              sessionToken.c_str());
               },
               &created))
    return Result::Unsupported;
  if (created.code != 0 || created.sessionHandle.empty()) {
    LOG(ERROR) << "screen cast portal refused a session: " << created.code;
    return Result::Failed;
  }
  m_session = created.sessionHandle;
  sd_bus_match_signal(m_bus, &m_closedSlot, nullptr, m_session.c_str(),
                      "org.freedesktop.portal.Session", "Closed", OnClosed, &m_closed);

  PortalResponse selected;
  const std::string selectToken = NewPortalToken();
  if (!Request("ScreenCast", "SelectSources", selectToken, kCallTimeoutMs,
               [&](sd_bus_message* m) {
                 int r = sd_bus_message_append(m, "o", m_session.c_str());
                 if (r < 0) return r;
                 r = sd_bus_message_open_container(m, 'a', "{sv}");
                 if (r >= 0)
                   r = sd_bus_message_append(m, "{sv}{sv}{sv}{sv}{sv}", "handle_token", "s",
                                             selectToken.c_str(), "types", "u", sourceType,
                                             "multiple", "b", 0, "cursor_mode", "u", cursorMode,
                                             "persist_mode", "u", persist ? 2u : 0u);
                 if (r >= 0 && persist && !restoreToken.empty())
                   r = sd_bus_message_append(m, "{sv}", "restore_token", "s",
                                             restoreToken.c_str());
                 if (r >= 0) r = sd_bus_message_close_container(m);
                 return r;
               },
               &selected) ||
      selected.code != 0) {
    LOG(ERROR) << "screen cast portal refused the sources: " << selected.code;
    return Result::Failed;
  }

  PortalResponse started;
  const std::string startToken = NewPortalToken();
  if (!Request("ScreenCast", "Start", startToken, dialogTimeoutMs,
               [&](sd_bus_message* m) {
                 return sd_bus_message_append(m, "osa{sv}", m_session.c_str(), "", 1,
                                              "handle_token", "s", startToken.c_str());
               },
               &started))
    return Result::Failed;
  if (started.code != 0) {
    LOG(WARNING) << (started.code == 1 ? "the screen cast was refused"
                                       : "the screen cast did not start");
    return Result::Failed;
  }
  if (started.streams.empty()) {
    LOG(ERROR) << "the screen cast came without a stream";
    return Result::Failed;
  }
  m_streams = started.streams;
  m_restoreToken = started.restoreToken;
  return Result::Ok;
}

int ScreenCastPortal::OpenPipeWireRemote() {
  if (!m_bus || m_session.empty()) return -1;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int fd = -1;
  const int r = sd_bus_call_method(m_bus, kPortal, kPortalPath, kScreenCast, "OpenPipeWireRemote",
                                   &error, &reply, "oa{sv}", m_session.c_str(), 0);
  int received = -1;
  if (r < 0) {
    LOG(ERROR) << "OpenPipeWireRemote failed: " << (error.message ? error.message : strerror(-r));
  } else if (sd_bus_message_read(reply, "h", &received) >= 0) {
    fd = fcntl(received, F_DUPFD_CLOEXEC, 3);  // the message owns its own
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return fd;
}

bool ScreenCastPortal::Closed() {
  if (!m_bus || m_closed) return m_closed;
  while (sd_bus_process(m_bus, nullptr) > 0) {
  }
  return m_closed;
}

void ScreenCastPortal::Close() {
  if (!m_bus || m_session.empty()) return;
  if (!m_closed) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_call_method(m_bus, kPortal, m_session.c_str(), "org.freedesktop.portal.Session",
                       "Close", &error, nullptr, "");
    sd_bus_error_free(&error);
  }
  m_session.clear();
  m_closed = true;
}

}  // namespace platform::native
