// The pure rules of the Wayland capture, apart from PipeWire so that they
// can be tested alone: which time slot a buffer's frame takes, whether a
// buffer's damage touches the recorded area, and where that area lies in
// the stream's buffers.
#pragma once

#include "platform/Geometry.h"

#include <cstdint>
#include <optional>

namespace platform::wayland {

// Frame times on a grid of slots, one frame interval wide, from the start
// of the stream: a frame takes the slot its arrival falls in and is stamped
// with the slot's start, so frames are never closer together than the
// interval. A frame arriving in a slot already used is held until the next
// slot begins (the caller keeps the newest such picture and delivers it
// then), so the last change before a still screen is never lost.
class SlotPacer {
 public:
  SlotPacer(double startSeconds, double intervalSeconds) : start_(startSeconds), interval_(intervalSeconds) {}
  // The slot `now` falls in (never before the start's).
  int64_t slotAt(double now) const;
  double slotStart(int64_t slot) const { return start_ + static_cast<double>(slot) * interval_; }
  // Whether `now` lies in a slot after the last one used.
  bool isFree(double now) const { return !last_ || slotAt(now) > *last_; }
  // Takes the slot of `now` and returns its start time, the frame's stamp;
  // nothing when that slot (or a later one) was used already.
  std::optional<double> claim(double now);
  // When the first free slot begins.
  double nextFreeSlotStart() const { return last_ ? slotStart(*last_ + 1) : start_; }
  double interval() const { return interval_; }

 private:
  double start_;
  double interval_;
  std::optional<int64_t> last_;
};

// Integer pixel rectangle.
struct PixelArea {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool empty() const { return width <= 0 || height <= 0; }
  friend bool operator==(const PixelArea&, const PixelArea&) = default;
};

// The part of a buffer of bufferWidth × bufferHeight pixels that a frame of
// outputWidth × outputHeight shows: the source rectangle (points relative to
// the monitor's top-left; the whole monitor when absent) times the
// monitor's pixels per point, clipped to the buffer, and no larger than the
// output (the output is never scaled: a larger source is cut at its right
// and bottom, as the sizes differ only by rounding to even numbers).
PixelArea recordedArea(const std::optional<Rect>& sourceRect, double pixelsPerPoint, int bufferWidth, int bufferHeight,
                       int outputWidth, int outputHeight);

// Whether `damaged` (buffer pixels) touches `area`.
bool touches(const PixelArea& damaged, const PixelArea& area);

}  // namespace platform::wayland
