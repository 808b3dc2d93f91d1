// The two coordinate spaces of the desktop and the usable frame rate of the
// display under a rectangle.
//
// Global top-left space: origin at the top-left of the primary display, y
// down; everything stored or written uses it. Screen space: origin at the
// bottom-left of the primary display, y up; only as read from the windowing
// system. Both in points. The screen list is asked for on every call (the
// windowing service keeps it current).
#pragma once

#include "platform/Geometry.h"
#include "platform/Windowing.h"

inline constexpr int kRateWithoutScreens = 60;
inline constexpr int kLowestRate = 30;
inline constexpr int kHighestRate = 240;

// Height of the primary (first) screen's frame; 0 without screens.
double primaryScreenHeight(platform::WindowingService& windowing);

// Screen space to global top-left space, with H the primary screen's height.
platform::Point toGlobal(const platform::Point& screenPoint, double primaryHeight);
platform::Rect toGlobal(const platform::Rect& screenRect, double primaryHeight);

// The refresh rate of the screen that shows most of `globalRect` (the earlier
// screen on a tie; the first screen when none overlaps), clamped to 30..240.
int refreshRate(platform::WindowingService& windowing, const platform::Rect& globalRect);
