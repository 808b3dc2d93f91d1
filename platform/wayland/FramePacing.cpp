#include "platform/wayland/FramePacing.h"

#include <algorithm>
#include <cmath>

namespace platform::wayland {

int64_t SlotPacer::slotAt(double now) const {
  if (!(interval_ > 0) || !(now > start_)) return 0;
  // A millionth of a slot of slack: a slot's own start time (as a timer
  // armed for it gives) must fall in that slot despite rounding.
  return static_cast<int64_t>(std::floor((now - start_) / interval_ + 1e-6));
}

std::optional<double> SlotPacer::claim(double now) {
  if (!isFree(now)) return std::nullopt;
  last_ = slotAt(now);
  return slotStart(*last_);
}

PixelArea recordedArea(const std::optional<Rect>& sourceRect, double pixelsPerPoint, int bufferWidth, int bufferHeight,
                       int outputWidth, int outputHeight) {
  if (!(pixelsPerPoint > 0)) pixelsPerPoint = 1;
  double x0 = 0, y0 = 0, x1 = bufferWidth, y1 = bufferHeight;
  if (sourceRect) {
    x0 = std::floor(sourceRect->minX() * pixelsPerPoint);
    y0 = std::floor(sourceRect->minY() * pixelsPerPoint);
    x1 = x0 + std::floor(sourceRect->width() * pixelsPerPoint);
    y1 = y0 + std::floor(sourceRect->height() * pixelsPerPoint);
  }
  const auto clampTo = [](double v, int limit) { return static_cast<int>(std::clamp(v, 0.0, static_cast<double>(limit))); };
  PixelArea area;
  area.x = clampTo(x0, bufferWidth);
  area.y = clampTo(y0, bufferHeight);
  area.width = std::min(clampTo(x1, bufferWidth) - area.x, std::max(outputWidth, 0));
  area.height = std::min(clampTo(y1, bufferHeight) - area.y, std::max(outputHeight, 0));
  if (area.width < 0) area.width = 0;
  if (area.height < 0) area.height = 0;
  return area;
}

bool touches(const PixelArea& damaged, const PixelArea& area) {
  if (damaged.empty() || area.empty()) return false;
  return damaged.x < area.x + area.width && area.x < damaged.x + damaged.width && damaged.y < area.y + area.height &&
         area.y < damaged.y + damaged.height;
}

}  // namespace platform::wayland
