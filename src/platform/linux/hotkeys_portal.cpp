#include <glog/logging.h>
#include <systemd/sd-bus.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "platform/hotkeys.h"
#include "platform/linux/portal_screencast.h"

namespace platform::native {

namespace {

constexpr int kCallTimeoutMs = 10000;
// Binding may show the desktop's own dialog.
constexpr int kBindTimeoutMs = 60000;

// The key as the portal's shortcut triggers name it (xkb key names); empty
// for a key we do not name.
std::string KeyName(uint32_t key) {
  if ((key >= '0' && key <= '9')) return std::string(1, char(key));
  if (key >= 'A' && key <= 'Z') return std::string(1, char(key - 'A' + 'a'));
  if (key >= 0x70 && key <= 0x87) return "F" + std::to_string(key - 0x70 + 1);
  switch (key) {
    case 0x6A: return "KP_Multiply";
    case 0x6B: return "KP_Add";
    case 0x6D: return "KP_Subtract";
    case 0x6F: return "KP_Divide";
    default: return std::string();
  }
}

std::string Trigger(uint32_t key, uint32_t modifiers) {
  std::string trigger;
  if (modifiers & kHotKeyControl) trigger += "CTRL+";
  if (modifiers & kHotKeyAlt) trigger += "ALT+";
  if (modifiers & kHotKeyShift) trigger += "SHIFT+";
  if (modifiers & kHotKeyMeta) trigger += "LOGO+";
  return trigger + KeyName(key);
}

std::string ShortcutId(uint32_t key, uint32_t modifiers) {
  return "hotkey-" + std::to_string(key) + "-" + std::to_string(modifiers);
}

// Hot keys through the desktop's GlobalShortcuts portal: the held
// combinations are bound as one set of shortcuts of our session, whose
// activations come back as presses on the GUI thread. The user may change
// their keys in the desktop's settings.
class PortalHotKeys : public HotKeys, public PortalClient {
 public:
  ~PortalHotKeys() override {
    m_notifier.reset();
    if (m_activated) sd_bus_slot_unref(m_activated);
  }

  Result Register(uint32_t key, uint32_t modifiers) override {
    if (KeyName(key).empty()) return Result::Failed;
    if (m_held.count({key, modifiers})) return Result::Failed;
    if (!OpenSession()) return Result::Failed;
    m_held.insert({key, modifiers});
    if (Bind()) return Result::Ok;
    m_held.erase({key, modifiers});
    return Result::Failed;
  }

  Result Unregister(uint32_t key, uint32_t modifiers) override {
    if (!m_held.erase({key, modifiers})) return Result::Failed;
    Bind();
    return Result::Ok;
  }

 private:
  bool OpenSession() {
    if (!m_session.empty()) return true;
    if (!Connect()) return false;
    PortalResponse created;
    const std::string token = NewPortalToken();
    const std::string sessionToken = NewPortalToken();
    if (!Request("GlobalShortcuts", "CreateSession", token, kCallTimeoutMs,
                 [&](sd_bus_message* m) {
                   return sd_bus_message_append(m, "a{sv}", 2, "handle_token", "s", token.c_str(),
                                                "session_handle_token", "s",
                                                sessionToken.c_str());
                 },
                 &created) ||
        created.code != 0 || created.sessionHandle.empty()) {
      LOG(ERROR) << "the global shortcuts portal gave no session";
      return false;
    }
    m_session = created.sessionHandle;
    sd_bus_match_signal(m_bus, &m_activated, nullptr, "/org/freedesktop/portal/desktop",
                        "org.freedesktop.portal.GlobalShortcuts", "Activated", OnActivated, this);
    m_notifier = std::make_unique<QSocketNotifier>(sd_bus_get_fd(m_bus), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { Dispatch(); });
    return true;
  }

  bool Bind() {
    PortalResponse bound;
    const std::string token = NewPortalToken();
    const bool answered = Request(
        "GlobalShortcuts", "BindShortcuts", token, kBindTimeoutMs,
        [&](sd_bus_message* m) {
          int r = sd_bus_message_append(m, "o", m_session.c_str());
          if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(sa{sv})");
          for (const auto& [key, modifiers] : m_held) {
            const std::string trigger = Trigger(key, modifiers);
            const std::string description = "Korvo录屏 " + trigger;
            if (r >= 0) r = sd_bus_message_open_container(m, 'r', "sa{sv}");
            if (r >= 0) r = sd_bus_message_append(m, "s", ShortcutId(key, modifiers).c_str());
            if (r >= 0)
              r = sd_bus_message_append(m, "a{sv}", 2, "description", "s", description.c_str(),
                                        "preferred_trigger", "s", trigger.c_str());
            if (r >= 0) r = sd_bus_message_close_container(m);
          }
          if (r >= 0) r = sd_bus_message_close_container(m);
          if (r >= 0)
            r = sd_bus_message_append(m, "sa{sv}", "", 1, "handle_token", "s", token.c_str());
          return r;
        },
        &bound);
    // Signals read meanwhile wait in the connection's queue.
    QMetaObject::invokeMethod(m_notifier.get(), [this] { Dispatch(); }, Qt::QueuedConnection);
    if (!answered || bound.code != 0) {
      LOG(ERROR) << "the desktop did not bind the hot keys: " << bound.code;
      return false;
    }
    return true;
  }

  void Dispatch() {
    while (m_bus && sd_bus_process(m_bus, nullptr) > 0) {
    }
  }

  static int OnActivated(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<PortalHotKeys*>(userdata);
    const char* session = nullptr;
    const char* id = nullptr;
    if (sd_bus_message_read(m, "os", &session, &id) < 0 || self->m_session != session) return 0;
    unsigned key = 0, modifiers = 0;
    if (std::sscanf(id, "hotkey-%u-%u", &key, &modifiers) != 2) return 0;
    // Handed on from the event loop, not from inside a request's wait.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [key, modifiers] { DeliverHotKey(key, modifiers); },
        Qt::QueuedConnection);
    return 0;
  }

  std::set<std::pair<uint32_t, uint32_t>> m_held;
  std::string m_session;
  sd_bus_slot* m_activated = nullptr;
  std::unique_ptr<QSocketNotifier> m_notifier;
};

}  // namespace

std::unique_ptr<HotKeys> NewPortalHotKeys() { return std::make_unique<PortalHotKeys>(); }

}  // namespace platform::native
