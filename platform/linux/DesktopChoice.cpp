#include "platform/linux/DesktopChoice.h"

#include <cstdlib>
#include <string>

namespace platform::linux_desktop {

DesktopKind chooseDesktop(const std::function<const char*(const char*)>& variable) {
  const auto value = [&](const char* name) {
    const char* v = variable(name);
    return std::string(v ? v : "");
  };
  const std::string forced = value("TESMAR_DESKTOP");
  if (forced == "x11") return DesktopKind::x11;
  if (forced == "wayland") return DesktopKind::wayland;
  const std::string session = value("XDG_SESSION_TYPE");
  if (session == "wayland") return DesktopKind::wayland;
  if (session == "x11") return DesktopKind::x11;
  if (!value("WAYLAND_DISPLAY").empty()) return DesktopKind::wayland;
  return DesktopKind::x11;
}

DesktopKind chooseDesktop() {
  return chooseDesktop([](const char* name) { return std::getenv(name); });
}

}  // namespace platform::linux_desktop
