// WindowingService on X11: screens from RandR monitors, window bounds from the
// window manager's frames, the pointer from the server.
#pragma once

#include "platform/Windowing.h"
#include "platform/x11/Connection.h"

#include <memory>

namespace platform::x11 {

// Thread-safe. Every call reads afresh; without a display it answers with
// empty values (no screens, no bounds, main display 0, pointer at the origin).
class X11Windowing final : public WindowingService {
 public:
  explicit X11Windowing(std::shared_ptr<DisplayHandle> display);

  std::vector<Screen> screens() override;
  std::optional<double> displayModeRefreshRate(uint32_t displayID) override;
  uint32_t mainDisplayID() override;
  std::optional<Rect> windowBounds(uint32_t windowID) override;
  Point mouseLocation() override;
  // An X11 client has no dock presence to give up: nothing to do.
  void becomeBackgroundApplication() override {}

 private:
  std::shared_ptr<DisplayHandle> display_;
};

}  // namespace platform::x11
