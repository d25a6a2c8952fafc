#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/backend.h"

struct sd_bus;
struct sd_bus_slot;
struct sd_bus_message;

namespace platform::native {

// Source and cursor kinds of the desktop portal's screen cast (bit values).
enum CastSourceType : uint32_t { kCastMonitor = 1, kCastWindow = 2 };
enum CastCursorMode : uint32_t { kCursorHidden = 1, kCursorEmbedded = 2, kCursorMetadata = 4 };

struct CastStream {
  uint32_t nodeId = 0;
  uint32_t sourceType = 0;
  bool hasPosition = false;
  int x = 0;
  int y = 0;
  int width = 0;  // 0 when the portal did not say
  int height = 0;
};

// What the desktop's ScreenCast portal offers; all zero without one.
struct CastOffer {
  uint32_t version = 0;
  uint32_t sourceTypes = 0;
  uint32_t cursorModes = 0;
};

// The version of a desktop portal interface (org.freedesktop.portal.NAME);
// 0 when the desktop has none.
uint32_t PortalVersion(const char* name);

// What a portal request was answered.
struct PortalResponse {
  bool arrived = false;
  uint32_t code = 2;  // 0 granted, 1 refused by the user, 2 otherwise
  std::string sessionHandle;
  std::string restoreToken;
  std::vector<CastStream> streams;
};

std::string NewPortalToken();

// A private connection to the session bus for the desktop portal's
// requests, which are answered on the calling thread (the desktop may ask
// the user first). Used by one thread at a time.
class PortalClient {
 public:
  PortalClient() = default;
  virtual ~PortalClient();
  PortalClient(const PortalClient&) = delete;
  PortalClient& operator=(const PortalClient&) = delete;

 protected:
  bool Connect();
  // Calls interface's method (org.freedesktop.portal.interface) with a
  // Request handle named token, and waits for its Response; append fills
  // the call's arguments.
  bool Request(const char* interface, const char* method, const std::string& token,
               int timeoutMs, const std::function<int(sd_bus_message*)>& append,
               PortalResponse* response);

  sd_bus* m_bus = nullptr;
  std::string m_sender;  // our unique name as request paths spell it
};

// One screen-cast session of org.freedesktop.portal.ScreenCast.
class ScreenCastPortal : public PortalClient {
 public:
  ScreenCastPortal() = default;
  ~ScreenCastPortal() override;

  static CastOffer Query();

  // CreateSession, SelectSources, Start. With persist the choice is to be
  // kept (persist_mode 2, restoreToken when given); without, it holds for
  // this session only. Unsupported: no portal; Failed: refused or broken.
  Result Open(uint32_t sourceType, uint32_t cursorMode, const std::string& restoreToken,
              int dialogTimeoutMs, bool persist = true);
  const std::vector<CastStream>& Streams() const { return m_streams; }
  // The token that restores this session's choice; empty when none came.
  const std::string& RestoreToken() const { return m_restoreToken; }
  // A connection to the PipeWire remote that carries the streams; -1 on
  // failure. The caller owns it.
  int OpenPipeWireRemote();
  // True once the desktop closed the session (reads pending signals).
  bool Closed();
  void Close();


 private:
  sd_bus_slot* m_closedSlot = nullptr;
  std::string m_session;
  std::vector<CastStream> m_streams;
  std::string m_restoreToken;
  bool m_closed = false;
};

}  // namespace platform::native
