#include "discovery/DisplayGeometry.h"

double primaryScreenHeight(platform::WindowingService& windowing) { return windowing.primaryScreenHeight(); }

platform::Point toGlobal(const platform::Point& p, double primaryHeight) { return {p.x, primaryHeight - p.y}; }

platform::Rect toGlobal(const platform::Rect& r, double primaryHeight) {
  return platform::Rect(r.origin.x, primaryHeight - r.origin.y - r.size.height, r.size.width, r.size.height);
}

int refreshRate(platform::WindowingService& windowing, const platform::Rect& globalRect) {
  const double h = primaryScreenHeight(windowing);
  auto screens = windowing.screens();
  int rate = kRateWithoutScreens;
  if (!screens.empty()) {
    const platform::Screen* candidate = nullptr;
    double best = 0;
    for (const auto& screen : screens) {
      platform::Rect overlap = platform::intersection(toGlobal(screen.frame, h), globalRect);
      double area = overlap.isNull() ? 0 : overlap.width() * overlap.height();
      if (!candidate || area > best) {
        candidate = &screen;
        best = area;
      }
    }
    rate = candidate->maximumFramesPerSecond;
  }
  if (rate > kHighestRate) rate = kHighestRate;
  if (rate <= kLowestRate) rate = kLowestRate;
  return rate;
}
