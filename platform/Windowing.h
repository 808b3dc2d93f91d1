// Screens, display modes, window bounds and the pointer, as the windowing
// system reports them. Screen frames and the pointer are in screen space
// (bottom-left origin of the primary screen, y up); window bounds are in
// global top-left points.
#pragma once

#include "platform/Geometry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct Screen {
  Rect frame;  // screen space
  int maximumFramesPerSecond = 60;
  double backingScaleFactor = 1.0;
  std::string localizedName;
  std::optional<uint32_t> screenNumber;  // the display id it shows
};

// Thread-safe: every call may come from any thread; each answers with the
// current state (a backend may cache what the system announces changes of).
class WindowingService {
 public:
  virtual ~WindowingService() = default;
  // Primary screen first.
  virtual std::vector<Screen> screens() = 0;
  // The height of the first screen's frame, 0 without screens: what screen
  // space is measured from. Asked on every pointer poll, so a backend may
  // answer without building the whole list.
  virtual double primaryScreenHeight() {
    const std::vector<Screen> all = screens();
    return all.empty() ? 0 : all.front().frame.height();
  }
  // The refresh rate of the display's current mode as reported (0 or
  // fractional included); absent when the display has no current mode.
  virtual std::optional<double> displayModeRefreshRate(uint32_t displayID) = 0;
  virtual uint32_t mainDisplayID() = 0;
  // The window's current bounds; absent once the window is gone.
  virtual std::optional<Rect> windowBounds(uint32_t windowID) = 0;
  // The pointer position, screen space.
  virtual Point mouseLocation() = 0;
  // The pointer and the primary screen's height (as primaryScreenHeight())
  // from one state of the screens: what the pointer poll asks on every tick,
  // so a backend may answer both with a single request.
  struct PointerReading {
    Point location;  // screen space
    double primaryScreenHeight = 0;
  };
  virtual PointerReading pointerReading() { return {mouseLocation(), primaryScreenHeight()}; }
  // Whether mouseLocation() follows the pointer over the whole desktop
  // (false where the windowing system hides it from ordinary clients: the
  // pointer is then not polled).
  virtual bool canReadPointer() { return true; }
  // Turns the process into a background application with no dock presence.
  virtual void becomeBackgroundApplication() = 0;
};

}  // namespace platform
