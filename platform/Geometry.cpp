#include "platform/Geometry.h"

#include <algorithm>

namespace platform {

Rect intersection(const Rect& a, const Rect& b) {
  if (a.isNull() || b.isNull()) return Rect::null();
  double x0 = std::max(a.minX(), b.minX());
  double y0 = std::max(a.minY(), b.minY());
  double x1 = std::min(a.maxX(), b.maxX());
  double y1 = std::min(a.maxY(), b.maxY());
  if (x1 < x0 || y1 < y0) return Rect::null();
  return Rect(x0, y0, x1 - x0, y1 - y0);
}

}  // namespace platform
