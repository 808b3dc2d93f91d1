// Global input-event monitors and the current cursor image.
#pragma once

#include "platform/RunLoop.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Mouse event types a click monitor reports.
enum class MouseEventType : int { leftMouseDown = 1, leftMouseUp = 2, rightMouseDown = 3, rightMouseUp = 4 };

struct MouseEvent {
  MouseEventType type;
};

// Modifier-flag bits of key events.
namespace ModifierFlags {
constexpr uint64_t shift = 0x20000;
constexpr uint64_t control = 0x40000;
constexpr uint64_t option = 0x80000;
constexpr uint64_t command = 0x100000;
}  // namespace ModifierFlags

struct KeyEvent {
  uint16_t keyCode = 0;  // virtual key code (Return 36, Tab 48, ...)
  // The characters the key produces with Shift as the only modifier; absent
  // when the key produces none.
  std::optional<std::string> charactersIgnoringModifiers;
  uint64_t modifierFlags = 0;
  bool isARepeat = false;
};

// An installed monitor; 0 is never a token.
using MonitorToken = uint64_t;

// The cursor currently shown: straight (not premultiplied) RGBA pixels, row
// by row, and its hot spot and size in points.
struct CursorImage {
  int pixelWidth = 0;
  int pixelHeight = 0;
  std::vector<uint8_t> rgba;  // pixelWidth × pixelHeight × 4
  double hotX = 0;
  double hotY = 0;
  double width = 0;   // points
  double height = 0;  // points
};

// Monitor handlers run on the main loop. Install and remove monitors on the
// main loop's thread.
class InputEventService {
 public:
  virtual ~InputEventService() = default;
  // Left and right button presses and releases anywhere on the desktop.
  // Returns 0 when the monitor cannot be installed.
  virtual MonitorToken addGlobalMouseMonitor(MainLoop& loop, std::function<void(const MouseEvent&)> handler) = 0;
  // Key presses anywhere on the desktop. Returns 0 when it cannot be installed.
  virtual MonitorToken addGlobalKeyMonitor(MainLoop& loop, std::function<void(const KeyEvent&)> handler) = 0;
  // After this returns the monitor's handler is never called again.
  virtual void removeMonitor(MonitorToken token) = 0;

  // The current cursor image; absent when none can be read. `serial` is
  // bumped by the system whenever the cursor may have changed; the caller may
  // pass the last serial it saw to let an unchanged cursor be reported
  // cheaply (then `unchanged` is set and the image is not filled).
  struct CursorQuery {
    std::optional<CursorImage> image;
    uint64_t serial = 0;
    bool unchanged = false;
  };
  virtual CursorQuery currentCursor(std::optional<uint64_t> lastSerial) = 0;
};

}  // namespace platform
