#include "platform/x11/X11Windowing.h"

#include "platform/x11/ClientWindows.h"
#include "platform/x11/Monitors.h"

namespace platform::x11 {

X11Windowing::X11Windowing(std::shared_ptr<DisplayHandle> display) : display_(std::move(display)) {}

std::vector<Screen> X11Windowing::screens() {
  auto connection = display_->connection();
  if (!connection) return {};
  const MonitorLayout layout = MonitorLayout::read(**connection, MonitorDetail::namesAndModes);
  std::vector<Screen> screens;
  for (const Monitor& monitor : layout.monitors()) {
    Screen screen;
    screen.frame = layout.screenFromRoot(monitor.rootRect);
    screen.maximumFramesPerSecond = maximumFramesPerSecond(monitor);
    screen.backingScaleFactor = 1.0;
    screen.localizedName = monitor.name;
    screen.screenNumber = monitor.id;
    screens.push_back(std::move(screen));
  }
  return screens;
}

std::optional<double> X11Windowing::displayModeRefreshRate(uint32_t displayID) {
  auto connection = display_->connection();
  if (!connection) return std::nullopt;
  const MonitorLayout layout = MonitorLayout::read(**connection, MonitorDetail::namesAndModes);
  const Monitor* monitor = layout.find(displayID);
  return monitor ? monitor->modeRefreshRate : std::nullopt;
}

uint32_t X11Windowing::mainDisplayID() {
  auto connection = display_->connection();
  if (!connection) return 0;
  const MonitorLayout layout = MonitorLayout::read(**connection, MonitorDetail::geometry);
  return layout.primary() ? layout.primary()->id : 0;
}

std::optional<Rect> X11Windowing::windowBounds(uint32_t windowID) {
  auto connection = display_->connection();
  if (!connection) return std::nullopt;
  std::optional<Rect> frame = outerFrameInRoot(**connection, windowID);
  if (!frame) return std::nullopt;
  return MonitorLayout::read(**connection, MonitorDetail::geometry).globalFromRoot(*frame);
}

Point X11Windowing::mouseLocation() {
  auto connection = display_->connection();
  if (!connection) return Point{};
  const Connection& c = **connection;
  Reply<xcb_query_pointer_reply_t> pointer(
      xcb_query_pointer_reply(c.get(), xcb_query_pointer(c.get(), c.root()), nullptr));
  if (!pointer) return Point{};
  const Point root{static_cast<double>(pointer->root_x), static_cast<double>(pointer->root_y)};
  return MonitorLayout::read(c, MonitorDetail::geometry).screenFromRoot(root);
}

}  // namespace platform::x11
