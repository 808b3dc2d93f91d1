// The shared display handle: one XCB connection to the X server, the screen
// it shows and the atoms the backend uses.
//
// Thread-safety: XCB serialises requests internally, so one Connection may be
// used from several threads at once. A connection is never "repaired": once
// the server has gone, isBroken() stays true and every request fails; the
// DisplayHandle below opens a new one on the next use.
#pragma once

#include "platform/Error.h"
#include "platform/x11/Atoms.h"

#include <xcb/xcb.h>

#include <memory>
#include <mutex>
#include <string>

namespace platform::x11 {

// Frees an XCB reply (or event, or error) when it goes out of scope.
struct FreeDeleter {
  void operator()(void* p) const;
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

class Connection {
 public:
  // Opens the display named by $DISPLAY. The error says in plain English why
  // it could not be opened.
  static Result<std::shared_ptr<Connection>> open();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  const xcb_screen_t& screen() const { return *screen_; }
  xcb_window_t root() const { return screen_->root; }
  const AtomCache& atoms() const { return atoms_; }

  // True once the connection to the server is lost (or never worked).
  bool isBroken() const { return xcb_connection_has_error(connection_) != 0; }

  // Whether the server offers the extension (answer cached by XCB).
  bool hasExtension(xcb_extension_t* extension) const;
  // Whether the server offers RandR 1.5 (monitors); this connection has
  // announced that version.
  bool hasRandrMonitors() const { return randrMonitors_; }

  // Sends everything queued and waits for the server to have processed it,
  // so that errors of unchecked requests have arrived. False when broken.
  bool sync() const;

  // Drops the error and event packets queued for this connection. The
  // backend's connections select no events except where said otherwise; the
  // errors of unchecked requests (a window gone meanwhile) are expected and
  // of no use.
  void discardEvents() const;

 private:
  Connection(xcb_connection_t* connection, const xcb_screen_t* screen);

  xcb_connection_t* connection_;
  const xcb_screen_t* screen_;
  AtomCache atoms_;
  bool randrMonitors_ = false;
};

// Opens the connection on first use and again after it broke. Thread-safe.
// The windowing service selects layout-change events on this connection and
// drains its event queue: nothing else reads that queue (no discardEvents()).
class DisplayHandle {
 public:
  // The current connection; the error when the display cannot be opened.
  Result<std::shared_ptr<Connection>> connection();

 private:
  std::mutex mutex_;
  std::shared_ptr<Connection> current_;
};

}  // namespace platform::x11
