// The displays of the X screen: RandR 1.5 monitors, and the conversions
// between X root coordinates and the two spaces the rest of the program uses
// (global top-left and screen bottom-left, both relative to the primary
// monitor). On X11 a point is a pixel.
#pragma once

#include "platform/Geometry.h"
#include "platform/x11/Connection.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::x11 {

struct Monitor {
  // The display id: the RandR output XID of the monitor's first output; for a
  // monitor without outputs, its name atom with bit 31 set (XIDs and atoms
  // use 29 bits, so the two kinds never collide).
  uint32_t id = 0;
  std::string name;  // the monitor's name atom, e.g. "DP-1" (read with the details)
  Rect rootRect;     // X root coordinates, pixels
  bool primary = false;
  // The refresh rate of the current mode of the first output's CRTC (dot
  // clock / (htotal × vtotal), 0 when the mode gives no totals); absent when
  // there is no such mode, or when the details were not asked for.
  std::optional<double> modeRefreshRate;
};

enum class MonitorDetail {
  geometry,        // ids, rectangles and the primary flag: one round trip
  namesAndModes,   // also names and refresh rates: a few per monitor
};

// The monitors, primary first, then in the server's order.
class MonitorLayout {
 public:
  // Reads the layout afresh. Without RandR 1.5 (or with no monitor) the whole
  // root window is one monitor whose id is the root window's XID.
  static MonitorLayout read(const Connection& connection, MonitorDetail detail);

  const std::vector<Monitor>& monitors() const { return monitors_; }
  const Monitor* find(uint32_t id) const;
  const Monitor* primary() const { return monitors_.empty() ? nullptr : &monitors_.front(); }

  // Root coordinates to global top-left and back.
  Rect globalFromRoot(const Rect& root) const;
  Rect rootFromGlobal(const Rect& global) const;
  // Root coordinates to screen bottom-left.
  Rect screenFromRoot(const Rect& root) const;
  Point screenFromRoot(Point root) const;

 private:
  Point primaryOrigin() const;
  double primaryHeight() const;

  std::vector<Monitor> monitors_;
};

// The refresh rate a monitor can show, as a whole number: the mode's rate
// rounded, or 60 when there is no mode or it gives no usable rate (Xvfb
// reports 0 Hz).
int maximumFramesPerSecond(const Monitor& monitor);

}  // namespace platform::x11
