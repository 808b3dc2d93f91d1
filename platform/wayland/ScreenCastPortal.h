// The desktop portal's ScreenCast interface (org.freedesktop.portal.ScreenCast
// on the session bus), as a client: a session is created, its sources are
// selected (monitors; a restore token skips the desktop's dialog), the cast
// is started and the PipeWire remote that carries its streams is opened.
//
// D-Bus through sdbus-c++ (Debian's libsdbus-c++ 1.2): a maintained C++
// binding over systemd's sd-bus with typed calls and signal handlers, and no
// thread of its own when the caller drives the connection, which this class
// does: during the start on the calling thread (waiting for the portal's
// Response signals, interruptibly), afterwards on one watching thread of its
// own (the session's Closed signal, the portal leaving the bus, the bus
// breaking). The connection is only ever used by one thread at a time.
#pragma once

#include "platform/Error.h"
#include "platform/Geometry.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sdbus {
class IConnection;
class IProxy;
}  // namespace sdbus

namespace platform::wayland {

// Source types and cursor modes of the interface.
constexpr uint32_t kSourceMonitor = 1;
constexpr uint32_t kSourceWindow = 2;
constexpr uint32_t kCursorHidden = 1;
constexpr uint32_t kCursorEmbedded = 2;
constexpr uint32_t kCursorMetadata = 4;
// Persist modes: 2 keeps the grant until it is revoked.
constexpr uint32_t kPersistUntilRevoked = 2;

struct PortalStream {
  uint32_t nodeId = 0;               // the PipeWire node
  std::optional<Point> position;     // logical position of a monitor, when given
  std::optional<Size> size;          // logical size, when given
  std::optional<uint32_t> sourceType;
};

struct ScreenCastRequest {
  uint32_t sourceTypes = kSourceMonitor;
  uint32_t cursorMode = kCursorHidden;
  uint32_t persistMode = kPersistUntilRevoked;
  std::optional<std::string> restoreToken;
  // How long to wait for each of the portal's answers (a dialog may be
  // shown while it waits).
  std::chrono::milliseconds answerTimeout = std::chrono::seconds(60);
};

struct ScreenCastStart {
  std::vector<PortalStream> streams;
  std::optional<std::string> restoreToken;  // the grant for the next session
};

// How a start failed, beyond the error's description.
struct PortalError {
  Error error;
  // The portal refused the restore token as such (malformed or no longer
  // granting, the person declined): it must not be offered again.
  bool tokenRejected = false;
};

template <typename T>
struct PortalResult {
  std::optional<T> value;
  PortalError failure;
  bool ok() const { return value.has_value(); }
};

// One screen-cast session. Not thread-safe, except interrupt().
class ScreenCastSession {
 public:
  // Connects to the session bus; fails when there is none.
  static Result<std::unique_ptr<ScreenCastSession>> connect();
  ~ScreenCastSession();  // stops watching and closes the session
  ScreenCastSession(const ScreenCastSession&) = delete;
  ScreenCastSession& operator=(const ScreenCastSession&) = delete;

  // CreateSession, SelectSources and Start, each waiting for its answer.
  PortalResult<ScreenCastStart> start(const ScreenCastRequest& request);
  // The PipeWire remote of the started session: a file descriptor the
  // caller owns.
  Result<int> openPipeWireRemote();
  // Watches the session on a thread of its own from now on: `ended` is
  // called once (on that thread) with the reason when the desktop closes
  // the session, the portal leaves the bus or the bus breaks. Not after
  // close() has begun.
  void watch(std::function<void(const std::string& reason)> ended);
  // Stops watching and asks the portal to close the session (briefly:
  // a portal that does not answer is not waited for). Idempotent.
  void close();
  // Thread-safe: a wait for an answer in progress (or to come) ends at
  // once with an interrupted error.
  void interrupt();

  // The portal's version of the ScreenCast interface, 0 when unknown.
  uint32_t version() const { return version_; }

 private:
  ScreenCastSession() = default;
  struct Answer;
  // Calls `method` of the ScreenCast interface with a new handle token in
  // `options` and waits for the Response of its request.
  PortalResult<Answer> request(const std::string& method, const std::optional<std::string>& sessionHandle,
                               const std::function<void(std::string& token)>& call,
                               std::chrono::milliseconds timeout);
  // Processes the connection until `done` holds, the deadline passes or an
  // interrupt comes; the error says which of the latter two.
  std::optional<Error> processUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);
  void watchLoop();
  void reportEnd(const std::string& reason);

  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> portal_;
  std::unique_ptr<sdbus::IProxy> session_;  // once created: the Closed signal
  std::unique_ptr<sdbus::IProxy> bus_;      // NameOwnerChanged of the portal
  std::string sessionHandle_;
  std::string portalOwner_;                 // the portal's unique name
  uint32_t version_ = 0;
  uint32_t cursorModes_ = 0;  // AvailableCursorModes
  uint64_t tokenCounter_ = 0;
  int wakeFd_ = -1;                          // eventfd: interrupt() and close()
  std::atomic<bool> interrupted_{false};
  std::atomic<bool> closing_{false};
  // Set by the signal handlers, which run on whichever thread processes the
  // connection (the one thread using it at the time); read by that thread.
  std::optional<std::string> endReason_;
  std::function<void(const std::string&)> ended_;
  std::atomic<bool> endReported_{false};
  std::thread watcher_;
};

}  // namespace platform::wayland
