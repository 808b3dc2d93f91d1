// What the X server lets this program do: read the screen's pixels, and see
// every client's input (XInput 2.1 raw events).
#pragma once

#include "platform/x11/Connection.h"

namespace platform::x11 {

// True when the screen's pixels can be read: a one-pixel GetImage of the
// root window succeeds (GetImage is what every grab can fall back to).
bool canReadScreen(const Connection& connection);

// True when the server offers XInput 2.1 or later, whose raw events reach a
// listener on the root window whatever window has the focus.
bool offersXInput21(const Connection& connection);

}  // namespace platform::x11
