#include "platform/x11/X11Windowing.h"

#include "platform/x11/ClientWindows.h"

#include <xcb/randr.h>

namespace platform::x11 {

namespace {

// Asks the server to tell `connection` about every change of the monitor
// layout. The layout read that follows is a round trip, so a change after
// that read is announced.
void watchLayoutChanges(const Connection& connection) {
  xcb_connection_t* c = connection.get();
  const uint32_t rootEvents = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, connection.root(), XCB_CW_EVENT_MASK, &rootEvents);
  if (connection.hasExtension(&xcb_randr_id)) {
    xcb_randr_select_input(c, connection.root(),
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  }
}

// Drains the events queued for `connection` (without waiting; reading the
// socket first unless `readSocket` is false) and says whether one of them
// announced a layout change. The errors of unchecked requests are queued
// there too; they are of no use and go with the rest.
bool layoutChangeAnnounced(const Connection& connection, bool readSocket) {
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection.get(), &xcb_randr_id);
  const bool hasRandr = randr != nullptr && randr->present;
  const auto next = readSocket ? xcb_poll_for_event : xcb_poll_for_queued_event;
  bool changed = false;
  while (Reply<xcb_generic_event_t> event{next(connection.get())}) {
    const uint8_t type = event->response_type & 0x7f;
    if (type == XCB_CONFIGURE_NOTIFY ||
        (hasRandr && (type == randr->first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                      type == randr->first_event + XCB_RANDR_NOTIFY))) {
      changed = true;
    }
  }
  return changed;
}

double primaryHeight(const MonitorLayout& layout) {
  const Monitor* primary = layout.primary();
  return primary ? primary->rootRect.height() : 0;
}

}  // namespace

X11Windowing::X11Windowing(std::shared_ptr<DisplayHandle> display) : display_(std::move(display)) {}

std::shared_ptr<const MonitorLayout> X11Windowing::layout(const std::shared_ptr<Connection>& connection,
                                                          Announcements announcements) {
  std::lock_guard<std::mutex> lock(layoutMutex_);
  const Connection& c = *connection;
  if (watched_.lock() != connection) {
    // A new connection (the first, or one reopened after the old broke).
    layout_.reset();
    watched_ = connection;
    watchLayoutChanges(c);
  }
  if (layoutChangeAnnounced(c, announcements == Announcements::readSocket)) layout_.reset();
  if (layout_) return layout_;
  auto fresh = std::make_shared<const MonitorLayout>(MonitorLayout::read(c, MonitorDetail::namesAndModes));
  // A read cut short by a lost connection is not kept.
  if (!c.isBroken()) layout_ = fresh;
  return fresh;
}

std::vector<Screen> X11Windowing::screens() {
  auto connection = display_->connection();
  if (!connection) return {};
  const std::shared_ptr<const MonitorLayout> layout = this->layout(*connection);
  std::vector<Screen> screens;
  screens.reserve(layout->monitors().size());
  for (const Monitor& monitor : layout->monitors()) {
    Screen screen;
    screen.frame = layout->screenFromRoot(monitor.rootRect);
    screen.maximumFramesPerSecond = maximumFramesPerSecond(monitor);
    screen.backingScaleFactor = 1.0;
    screen.localizedName = monitor.name;
    screen.screenNumber = monitor.id;
    screens.push_back(std::move(screen));
  }
  return screens;
}

double X11Windowing::primaryScreenHeight() {
  auto connection = display_->connection();
  if (!connection) return 0;
  return primaryHeight(*layout(*connection));
}

std::optional<double> X11Windowing::displayModeRefreshRate(uint32_t displayID) {
  auto connection = display_->connection();
  if (!connection) return std::nullopt;
  const Monitor* monitor = layout(*connection)->find(displayID);
  return monitor ? monitor->modeRefreshRate : std::nullopt;
}

uint32_t X11Windowing::mainDisplayID() {
  auto connection = display_->connection();
  if (!connection) return 0;
  const std::shared_ptr<const MonitorLayout> layout = this->layout(*connection);
  return layout->primary() ? layout->primary()->id : 0;
}

std::optional<Rect> X11Windowing::windowBounds(uint32_t windowID) {
  auto connection = display_->connection();
  if (!connection) return std::nullopt;
  std::optional<Rect> frame = outerFrameInRoot(**connection, windowID);
  if (!frame) return std::nullopt;
  // The layout is taken after the frame's round trip, so every layout change
  // announced before that reply has been seen.
  return layout(*connection)->globalFromRoot(*frame);
}

std::optional<Point> X11Windowing::pointerOnRoot(const Connection& c) {
  Reply<xcb_query_pointer_reply_t> pointer(
      xcb_query_pointer_reply(c.get(), xcb_query_pointer(c.get(), c.root()), nullptr));
  if (!pointer) return std::nullopt;
  return Point{static_cast<double>(pointer->root_x), static_cast<double>(pointer->root_y)};
}

Point X11Windowing::mouseLocation() { return pointerReading().location; }

WindowingService::PointerReading X11Windowing::pointerReading() {
  auto connection = display_->connection();
  if (!connection) return {};
  const std::optional<Point> root = pointerOnRoot(**connection);
  if (!root) return {};
  // After the pointer's round trip, as for window bounds; the reply came
  // after every change announced before it, so no further read is needed.
  const std::shared_ptr<const MonitorLayout> layout = this->layout(*connection, Announcements::alreadyRead);
  return {layout->screenFromRoot(*root), primaryHeight(*layout)};
}

}  // namespace platform::x11
