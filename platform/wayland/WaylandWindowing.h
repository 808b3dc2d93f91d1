// Screens on a Wayland desktop: the compositor's outputs (Outputs.h). An
// ordinary Wayland client sees neither other clients' windows nor the
// pointer outside its own surfaces: windowBounds() knows no window,
// canReadPointer() is false (the pointer is not polled, the moves log stays
// empty).
#pragma once

#include "platform/Windowing.h"

namespace platform::wayland {

// Thread-safe: each call reads the outputs afresh on a connection of its own.
class WaylandWindowing final : public WindowingService {
 public:
  std::vector<Screen> screens() override;
  std::optional<double> displayModeRefreshRate(uint32_t displayID) override;
  uint32_t mainDisplayID() override;
  std::optional<Rect> windowBounds(uint32_t) override { return std::nullopt; }
  Point mouseLocation() override { return Point{0, 0}; }
  bool canReadPointer() override { return false; }
  void becomeBackgroundApplication() override {}
};

}  // namespace platform::wayland
