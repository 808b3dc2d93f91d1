// WindowingService on X11: screens from RandR monitors, window bounds from the
// window manager's frames, the pointer from the server.
#pragma once

#include "platform/Windowing.h"
#include "platform/x11/Connection.h"
#include "platform/x11/Monitors.h"

#include <memory>
#include <mutex>

namespace platform::x11 {

// Thread-safe. Every answer is current; without a display it answers with
// empty values (no screens, no bounds, main display 0, pointer at the origin).
//
// The monitor layout is kept between calls and read again only once the
// server has announced a change of it (RandR screen, CRTC and output
// notifications, and the root window's ConfigureNotify, which is all a
// RandR 1.5 monitor change sends). The events arrive on the display handle's
// connection, whose event queue this service drains; nothing else reads it.
class X11Windowing final : public WindowingService {
 public:
  explicit X11Windowing(std::shared_ptr<DisplayHandle> display);

  std::vector<Screen> screens() override;
  double primaryScreenHeight() override;
  std::optional<double> displayModeRefreshRate(uint32_t displayID) override;
  uint32_t mainDisplayID() override;
  std::optional<Rect> windowBounds(uint32_t windowID) override;
  Point mouseLocation() override;
  // One QueryPointer round trip; no other read of the socket.
  PointerReading pointerReading() override;
  // An X11 client has no dock presence to give up: nothing to do.
  void becomeBackgroundApplication() override {}

 private:
  // Where layout() looks for announced changes: the socket (a read, for a
  // call that made no round trip), or only what the library has already read
  // from it, which right after a reply is every event sent before the reply.
  enum class Announcements { readSocket, alreadyRead };

  // The layout of `connection`'s screen as of this call.
  std::shared_ptr<const MonitorLayout> layout(const std::shared_ptr<Connection>& connection,
                                              Announcements announcements = Announcements::readSocket);
  // The pointer on the root window, after one round trip; absent when the
  // query fails.
  std::optional<Point> pointerOnRoot(const Connection& connection);

  std::shared_ptr<DisplayHandle> display_;
  std::mutex layoutMutex_;
  std::weak_ptr<Connection> watched_;  // the connection the layout was read from
  std::shared_ptr<const MonitorLayout> layout_;  // null: read it on the next call
};

}  // namespace platform::x11
