#include "platform/x11/Atoms.h"

#include <cstdlib>
#include <cstring>

namespace platform::x11 {

namespace {
// In the order of the enum.
constexpr std::array<const char*, static_cast<size_t>(Atom::count)> kNames = {
    "UTF8_STRING",
    "COMPOUND_TEXT",
    "WM_CLASS",
    "_NET_WM_NAME",
    "_NET_WM_PID",
    "_NET_WM_DESKTOP",
    "_NET_CURRENT_DESKTOP",
    "_NET_CLIENT_LIST",
    "_NET_CLIENT_LIST_STACKING",
    "_NET_FRAME_EXTENTS",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_DIALOG",
    "_NET_WM_WINDOW_TYPE_NORMAL",
    "_GTK_APPLICATION_ID",
    "_KDE_NET_WM_DESKTOP_FILE",
    "_XROOTPMAP_ID",
};
}  // namespace

AtomCache::AtomCache(xcb_connection_t* connection) {
  std::array<xcb_intern_atom_cookie_t, kNames.size()> cookies;
  for (size_t i = 0; i < kNames.size(); ++i) {
    cookies[i] = xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(kNames[i])), kNames[i]);
  }
  for (size_t i = 0; i < kNames.size(); ++i) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookies[i], nullptr);
    atoms_[i] = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
  }
}

}  // namespace platform::x11
