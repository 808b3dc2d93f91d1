// The atom cache: every atom name the backend uses, interned once per
// connection in one batch. Read-only after construction, so thread-safe.
#pragma once

#include <xcb/xcb.h>

#include <array>
#include <cstddef>

namespace platform::x11 {

enum class Atom : size_t {
  UTF8_STRING,
  COMPOUND_TEXT,
  WM_CLASS,
  NET_WM_NAME,
  NET_WM_PID,
  NET_WM_DESKTOP,
  NET_CURRENT_DESKTOP,
  NET_CLIENT_LIST,
  NET_CLIENT_LIST_STACKING,
  NET_FRAME_EXTENTS,
  NET_WM_WINDOW_TYPE,
  NET_WM_WINDOW_TYPE_DESKTOP,
  NET_WM_WINDOW_TYPE_DOCK,
  NET_WM_WINDOW_TYPE_TOOLBAR,
  NET_WM_WINDOW_TYPE_MENU,
  NET_WM_WINDOW_TYPE_UTILITY,
  NET_WM_WINDOW_TYPE_SPLASH,
  NET_WM_WINDOW_TYPE_DIALOG,
  NET_WM_WINDOW_TYPE_NORMAL,
  GTK_APPLICATION_ID,
  KDE_NET_WM_DESKTOP_FILE,
  XROOTPMAP_ID,
  count
};

class AtomCache {
 public:
  AtomCache() = default;
  // Interns every name on `connection` (one round trip for all of them).
  explicit AtomCache(xcb_connection_t* connection);

  xcb_atom_t operator[](Atom atom) const { return atoms_[static_cast<size_t>(atom)]; }

 private:
  std::array<xcb_atom_t, static_cast<size_t>(Atom::count)> atoms_{};
};

}  // namespace platform::x11
