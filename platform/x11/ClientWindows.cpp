#include "platform/x11/ClientWindows.h"

#include "platform/x11/WindowProperties.h"

#include <xcb/res.h>

#include <array>
#include <fstream>
#include <unordered_set>

namespace platform::x11 {

namespace {

// The process ID of a client the server knows locally (X-Resource 1.2).
std::optional<int32_t> resourcePid(const Connection& connection, xcb_window_t window) {
  if (!connection.hasExtension(&xcb_res_id)) return std::nullopt;
  xcb_res_client_id_spec_t spec{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
  Reply<xcb_res_query_client_ids_reply_t> reply(xcb_res_query_client_ids_reply(
      connection.get(), xcb_res_query_client_ids(connection.get(), 1, &spec), nullptr));
  if (!reply) return std::nullopt;
  for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0; xcb_res_client_id_value_next(&it)) {
    if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) == 0) continue;
    if (xcb_res_client_id_value_value_length(it.data) < 1) continue;
    return static_cast<int32_t>(*xcb_res_client_id_value_value(it.data));
  }
  return std::nullopt;
}

std::string processName(int32_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

int layerForTypes(const AtomCache& atoms, const std::vector<uint32_t>& types) {
  // The first type this program knows decides (EWMH: in order of preference).
  for (uint32_t type : types) {
    if (type == atoms[Atom::NET_WM_WINDOW_TYPE_DESKTOP]) return kDesktopLayer;
    if (type == atoms[Atom::NET_WM_WINDOW_TYPE_NORMAL] || type == atoms[Atom::NET_WM_WINDOW_TYPE_DIALOG] ||
        type == atoms[Atom::NET_WM_WINDOW_TYPE_UTILITY]) {
      return kNormalLayer;
    }
    if (type == atoms[Atom::NET_WM_WINDOW_TYPE_DOCK]) return kDockLayer;
    if (type == atoms[Atom::NET_WM_WINDOW_TYPE_TOOLBAR] || type == atoms[Atom::NET_WM_WINDOW_TYPE_MENU] ||
        type == atoms[Atom::NET_WM_WINDOW_TYPE_SPLASH]) {
      return kFloatingLayer;
    }
  }
  return types.empty() ? kNormalLayer : kFloatingLayer;
}

std::vector<xcb_window_t> clientList(const Connection& connection) {
  for (Atom list : {Atom::NET_CLIENT_LIST_STACKING, Atom::NET_CLIENT_LIST}) {
    if (auto property = readProperty(connection, connection.root(), connection.atoms()[list], 1 << 20)) {
      if (property->type == XCB_ATOM_WINDOW) {
        std::vector<uint32_t> items = property->items32();
        return std::vector<xcb_window_t>(items.begin(), items.end());
      }
    }
  }
  return {};
}

enum PropertyIndex { kNetWmName, kWmName, kWmClass, kPid, kDesktop, kType, kGtkAppId, kKdeDesktopFile, kCount };

struct ClientFacts {
  bool viewable = false;
  std::optional<Rect> frame;
  std::array<std::optional<Property>, kCount> properties;
};

ClientFacts readClient(const Connection& connection, xcb_window_t window) {
  const AtomCache& atoms = connection.atoms();
  xcb_connection_t* c = connection.get();
  const std::array<xcb_atom_t, kCount> names = {atoms[Atom::NET_WM_NAME],         XCB_ATOM_WM_NAME,
                                                atoms[Atom::WM_CLASS],            atoms[Atom::NET_WM_PID],
                                                atoms[Atom::NET_WM_DESKTOP],      atoms[Atom::NET_WM_WINDOW_TYPE],
                                                atoms[Atom::GTK_APPLICATION_ID], atoms[Atom::KDE_NET_WM_DESKTOP_FILE]};
  xcb_get_window_attributes_cookie_t attributesCookie = xcb_get_window_attributes(c, window);
  ClientFacts facts;
  std::vector<std::optional<Property>> values = readProperties(connection, window, names);
  for (size_t i = 0; i < kCount; ++i) facts.properties[i] = std::move(values[i]);
  Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(c, attributesCookie, nullptr));
  facts.viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  facts.frame = outerFrameInRoot(connection, window);
  return facts;
}

std::optional<RunningApplication> owner(const Connection& connection, xcb_window_t window, const ClientFacts& facts) {
  std::optional<int32_t> pid;
  if (facts.properties[kPid]) {
    if (auto value = facts.properties[kPid]->first32()) pid = static_cast<int32_t>(*value);
  }
  if (!pid || *pid <= 0) pid = resourcePid(connection, window);
  if (!pid || *pid <= 0) return std::nullopt;

  RunningApplication app;
  app.processID = *pid;
  std::optional<std::string> cls;
  if (facts.properties[kWmClass]) cls = wmClassClass(*facts.properties[kWmClass]);
  app.applicationName = cls ? *cls : processName(*pid);
  for (PropertyIndex index : {kGtkAppId, kKdeDesktopFile}) {
    if (!facts.properties[index]) continue;
    if (auto id = propertyText(connection, *facts.properties[index]); id && !id->empty()) {
      app.bundleIdentifier = *id;
      break;
    }
  }
  if (app.bundleIdentifier.empty() && cls) app.bundleIdentifier = *cls;
  return app;
}

}  // namespace

std::optional<Rect> outerFrameInRoot(const Connection& connection, xcb_window_t window) {
  xcb_connection_t* c = connection.get();
  xcb_get_geometry_cookie_t geometryCookie = xcb_get_geometry(c, window);
  xcb_translate_coordinates_cookie_t translateCookie = xcb_translate_coordinates(c, window, connection.root(), 0, 0);
  std::optional<Property> extents = readProperty(connection, window, connection.atoms()[Atom::NET_FRAME_EXTENTS]);
  Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, nullptr));
  Reply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(c, translateCookie, nullptr));
  if (!geometry || !origin) return std::nullopt;
  // left, right, top, bottom
  std::vector<uint32_t> e = extents ? extents->items32() : std::vector<uint32_t>{};
  if (e.size() < 4) e.assign(4, 0);
  const double border = geometry->border_width;
  return Rect(origin->dst_x - border - e[0], origin->dst_y - border - e[2],
              geometry->width + 2 * border + e[0] + e[1], geometry->height + 2 * border + e[2] + e[3]);
}

std::optional<xcb_window_t> topLevelAncestor(const Connection& connection, xcb_window_t window) {
  xcb_window_t current = window;
  for (int depth = 0; depth < 64; ++depth) {
    Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection.get(), xcb_query_tree(connection.get(), current), nullptr));
    if (!tree) return std::nullopt;
    if (tree->parent == tree->root || tree->parent == XCB_NONE) return current;
    current = tree->parent;
  }
  return std::nullopt;
}

ShareableContent readShareableContent(const Connection& connection, const MonitorLayout& layout,
                                      bool excludingDesktopWindows, bool onScreenWindowsOnly) {
  ShareableContent content;
  for (const Monitor& monitor : layout.monitors()) {
    content.displays.push_back(CaptureDisplay{monitor.id, layout.globalFromRoot(monitor.rootRect)});
  }

  std::optional<uint32_t> currentDesktop;
  if (auto property = readProperty(connection, connection.root(), connection.atoms()[Atom::NET_CURRENT_DESKTOP])) {
    currentDesktop = property->first32();
  }

  std::unordered_set<int32_t> listedOwners;
  for (xcb_window_t window : clientList(connection)) {
    ClientFacts facts = readClient(connection, window);
    if (!facts.frame) continue;  // gone meanwhile

    CaptureWindow captured;
    captured.windowID = window;
    captured.frame = layout.globalFromRoot(*facts.frame);
    const auto& typeProperty = facts.properties[kType];
    captured.windowLayer = layerForTypes(connection.atoms(), typeProperty ? typeProperty->items32() : std::vector<uint32_t>{});
    std::optional<uint32_t> desktop = facts.properties[kDesktop] ? facts.properties[kDesktop]->first32() : std::nullopt;
    const bool onCurrentDesktop = !desktop || !currentDesktop || *desktop == *currentDesktop || *desktop == 0xFFFFFFFFu;
    captured.isOnScreen = facts.viewable && onCurrentDesktop;
    // The owner runs whatever becomes of its window: minimised, on another
    // desktop or left out below, it is still a running application.
    captured.owningApplication = owner(connection, window, facts);
    if (captured.owningApplication && listedOwners.insert(captured.owningApplication->processID).second) {
      content.applications.push_back(*captured.owningApplication);
    }
    if (excludingDesktopWindows && captured.windowLayer == kDesktopLayer) continue;
    if (onScreenWindowsOnly && !captured.isOnScreen) continue;

    for (PropertyIndex index : {kNetWmName, kWmName}) {
      if (!facts.properties[index]) continue;
      if (auto title = propertyText(connection, *facts.properties[index])) {
        captured.title = std::move(title);
        break;
      }
    }
    content.windows.push_back(std::move(captured));
  }
  return content;
}

}  // namespace platform::x11
