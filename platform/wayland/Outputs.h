// The monitors a Wayland compositor announces to its clients (wl_output,
// version 4 where offered: name, position, current mode, scale). Read on a
// connection of its own, opened and closed per call (WAYLAND_DISPLAY).
#pragma once

#include "platform/Error.h"
#include "platform/Geometry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace platform::wayland {

struct Output {
  uint32_t id = 0;        // the compositor's global name of the output
  std::string name;       // e.g. "HEADLESS-1"; empty before version 4
  std::string description;
  Rect frame;             // logical: position, mode size divided by the scale
  int pixelWidth = 0;     // current mode
  int pixelHeight = 0;
  double refreshHz = 0;   // current mode's refresh rate, 0 when not given
  int scale = 1;
};

// In the order the compositor announced them; an error when the compositor
// cannot be reached.
Result<std::vector<Output>> readOutputs();

}  // namespace platform::wayland
