#include "platform/x11/Monitors.h"

#include <xcb/randr.h>

#include <algorithm>
#include <cmath>

namespace platform::x11 {

namespace {

constexpr uint32_t kAtomIdTag = 0x80000000u;

std::string atomName(const Connection& connection, xcb_atom_t atom) {
  Reply<xcb_get_atom_name_reply_t> reply(
      xcb_get_atom_name_reply(connection.get(), xcb_get_atom_name(connection.get(), atom), nullptr));
  if (!reply) return {};
  return std::string(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
}

// Refresh rate of the mode shown by `output`'s CRTC; absent without one.
std::optional<double> outputModeRate(const Connection& connection, xcb_randr_output_t output,
                                     const xcb_randr_get_screen_resources_current_reply_t& resources) {
  xcb_connection_t* c = connection.get();
  Reply<xcb_randr_get_output_info_reply_t> info(
      xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, output, resources.config_timestamp), nullptr));
  if (!info || info->crtc == XCB_NONE) return std::nullopt;
  Reply<xcb_randr_get_crtc_info_reply_t> crtc(
      xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, info->crtc, resources.config_timestamp), nullptr));
  if (!crtc || crtc->mode == XCB_NONE) return std::nullopt;
  const xcb_randr_mode_info_t* modes =
      xcb_randr_get_screen_resources_current_modes(const_cast<xcb_randr_get_screen_resources_current_reply_t*>(&resources));
  const int count =
      xcb_randr_get_screen_resources_current_modes_length(const_cast<xcb_randr_get_screen_resources_current_reply_t*>(&resources));
  for (int i = 0; i < count; ++i) {
    if (modes[i].id != crtc->mode) continue;
    const double totals = static_cast<double>(modes[i].htotal) * modes[i].vtotal;
    return totals > 0 ? modes[i].dot_clock / totals : 0.0;
  }
  return std::nullopt;
}

std::vector<Monitor> readRandrMonitors(const Connection& connection, bool details) {
  xcb_connection_t* c = connection.get();
  Reply<xcb_randr_get_monitors_reply_t> reply(
      xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, connection.root(), 1), nullptr));
  if (!reply) return {};
  Reply<xcb_randr_get_screen_resources_current_reply_t> resources;
  if (details) {
    resources.reset(xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, connection.root()), nullptr));
  }
  std::vector<Monitor> monitors;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
       xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t* info = it.data;
    Monitor monitor;
    if (details) monitor.name = atomName(connection, info->name);
    monitor.rootRect = Rect(info->x, info->y, info->width, info->height);
    monitor.primary = info->primary != 0;
    const xcb_randr_output_t* outputs = xcb_randr_monitor_info_outputs(info);
    const bool hasOutput = xcb_randr_monitor_info_outputs_length(info) > 0 && outputs[0] != XCB_NONE;
    monitor.id = hasOutput ? outputs[0] : (info->name | kAtomIdTag);
    if (hasOutput && resources) monitor.modeRefreshRate = outputModeRate(connection, outputs[0], *resources);
    monitors.push_back(std::move(monitor));
  }
  std::stable_partition(monitors.begin(), monitors.end(), [](const Monitor& m) { return m.primary; });
  return monitors;
}

}  // namespace

MonitorLayout MonitorLayout::read(const Connection& connection, MonitorDetail detail) {
  MonitorLayout layout;
  if (connection.hasRandrMonitors()) {
    layout.monitors_ = readRandrMonitors(connection, detail == MonitorDetail::namesAndModes);
  }
  if (layout.monitors_.empty()) {
    const xcb_screen_t& screen = connection.screen();
    Monitor whole;
    whole.id = screen.root;
    whole.name = "Screen";
    whole.rootRect = Rect(0, 0, screen.width_in_pixels, screen.height_in_pixels);
    whole.primary = true;
    layout.monitors_.push_back(whole);
  }
  return layout;
}

const Monitor* MonitorLayout::find(uint32_t id) const {
  for (const Monitor& monitor : monitors_) {
    if (monitor.id == id) return &monitor;
  }
  return nullptr;
}

Point MonitorLayout::primaryOrigin() const {
  return monitors_.empty() ? Point{} : monitors_.front().rootRect.origin;
}

double MonitorLayout::primaryHeight() const {
  return monitors_.empty() ? 0 : monitors_.front().rootRect.height();
}

Rect MonitorLayout::globalFromRoot(const Rect& root) const {
  const Point o = primaryOrigin();
  return Rect(root.origin.x - o.x, root.origin.y - o.y, root.size.width, root.size.height);
}

Rect MonitorLayout::rootFromGlobal(const Rect& global) const {
  const Point o = primaryOrigin();
  return Rect(global.origin.x + o.x, global.origin.y + o.y, global.size.width, global.size.height);
}

Rect MonitorLayout::screenFromRoot(const Rect& root) const {
  const Rect global = globalFromRoot(root);
  return Rect(global.origin.x, primaryHeight() - global.origin.y - global.height(), global.size.width,
              global.size.height);
}

Point MonitorLayout::screenFromRoot(Point root) const {
  const Point o = primaryOrigin();
  return Point{root.x - o.x, primaryHeight() - (root.y - o.y)};
}

int maximumFramesPerSecond(const Monitor& monitor) {
  if (!monitor.modeRefreshRate) return 60;
  const long rounded = std::lround(*monitor.modeRefreshRate);
  return rounded > 0 ? static_cast<int>(rounded) : 60;
}

}  // namespace platform::x11
