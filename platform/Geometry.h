// Points, sizes and rectangles in points (doubles), with the rectangle
// arithmetic the recorder relies on. Which coordinate space a value is in is
// said where it is used: "global top-left" (origin at the top-left of the
// primary display, y down) or "screen bottom-left" (y up).
#pragma once

#include <cmath>
#include <limits>

namespace platform {

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
  Point origin;
  Size size;

  constexpr Rect() = default;
  constexpr Rect(double x, double y, double width, double height) : origin{x, y}, size{width, height} {}

  // The null rectangle: the result of intersecting rectangles that do not
  // overlap. Its origin is infinite.
  static Rect null() {
    const double inf = std::numeric_limits<double>::infinity();
    return Rect(inf, inf, 0, 0);
  }
  bool isNull() const { return std::isinf(origin.x) || std::isinf(origin.y); }

  // Width and height as non-negative values (a rectangle may be given with a
  // negative size; it is the same area as its standardised form).
  double width() const { return std::fabs(size.width); }
  double height() const { return std::fabs(size.height); }
  double minX() const { return size.width < 0 ? origin.x + size.width : origin.x; }
  double minY() const { return size.height < 0 ? origin.y + size.height : origin.y; }
  double maxX() const { return minX() + width(); }
  double maxY() const { return minY() + height(); }

  friend bool operator==(const Rect&, const Rect&) = default;
};

// The overlap of two rectangles, or the null rectangle when they do not
// overlap (touching edges give a zero-size rectangle, not null).
Rect intersection(const Rect& a, const Rect& b);

}  // namespace platform
