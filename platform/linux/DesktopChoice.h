// Which windowing system the agent talks to, chosen once at start-up from
// the environment: TESMAR_DESKTOP=x11 or =wayland decides when set to one
// of those; otherwise a session that says it is Wayland
// (XDG_SESSION_TYPE=wayland) or names a compositor (WAYLAND_DISPLAY, while
// XDG_SESSION_TYPE does not say x11) gets the Wayland backend, and
// everything else the X11 one (DISPLAY).
#pragma once

#include <functional>

namespace platform::linux_desktop {

enum class DesktopKind { x11, wayland };

// `variable` answers a variable's value, or null when it is not set.
DesktopKind chooseDesktop(const std::function<const char*(const char*)>& variable);
// From this process's environment.
DesktopKind chooseDesktop();

}  // namespace platform::linux_desktop
