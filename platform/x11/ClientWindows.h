// The windows a user can record: the window manager's top-level clients
// (EWMH), with their frames, layers and owning applications.
#pragma once

#include "platform/ScreenCapture.h"
#include "platform/x11/Connection.h"
#include "platform/x11/Monitors.h"

#include <optional>

namespace platform::x11 {

// Window layers (the ordering band a window lives in) by EWMH window type.
constexpr int kDesktopLayer = -1;  // _NET_WM_WINDOW_TYPE_DESKTOP
constexpr int kNormalLayer = 0;    // NORMAL, DIALOG, UTILITY, or no type
constexpr int kDockLayer = 20;     // DOCK
constexpr int kFloatingLayer = 3;  // any other type (menus, toolbars, splash, ...)

// The window's outer frame (the client plus the frame extents the window
// manager draws around it) in root coordinates; absent once it is gone.
std::optional<Rect> outerFrameInRoot(const Connection& connection, xcb_window_t window);

// The child of the root window that holds `window` (its window-manager frame,
// or the window itself when it is not reparented); absent once it is gone.
std::optional<xcb_window_t> topLevelAncestor(const Connection& connection, xcb_window_t window);

// The clients in stacking order (bottom first) from _NET_CLIENT_LIST_STACKING
// (else _NET_CLIENT_LIST), each with its owner; the displays of `layout`; and
// the distinct owners in the order they first appear. Override-redirect
// windows are not clients and never listed.
// `excludingDesktopWindows` leaves out windows of the desktop type;
// `onScreenWindowsOnly` leaves out windows that are not viewable on the
// current desktop. Neither filter touches the applications: they are the
// owners of every client, minimised, on another desktop or on screen.
ShareableContent readShareableContent(const Connection& connection, const MonitorLayout& layout,
                                      bool excludingDesktopWindows, bool onScreenWindowsOnly);

}  // namespace platform::x11
