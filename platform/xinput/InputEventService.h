// The input-event service of the X11 desktop: global mouse-button and key
// monitors from XInput 2 raw events, and the current cursor from XFixes.
#pragma once

#include "platform/InputEvents.h"

#include <memory>

namespace platform::xinput {

// Connects to $DISPLAY lazily: the monitors' connection with the first
// monitor, the cursor's with the first cursor query.
std::shared_ptr<platform::InputEventService> makeInputEventService();

}  // namespace platform::xinput
