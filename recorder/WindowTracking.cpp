// Window tracking: in window mode the region's origin follows the recorded
// window five times a second, so pointer records stay relative to it. The
// size and the capture stay as they were at the start.
#include "recorder/Recorder.h"

#include <chrono>

namespace {
constexpr double kWindowTrackingInterval = 0.2;  // seconds
}

void Recorder::startWindowTracking(uint32_t windowId) {
  auto self = shared_from_this();
  runtime_.mainLoop.post([self, windowId] {
    if (self->isStopping()) return;  // the stop has torn the watchers down already
    std::weak_ptr<Recorder> weak = self;
    self->windowTimer = std::make_unique<platform::RepeatingTimer>(
        self->runtime_.mainLoop, platform::seconds(kWindowTrackingInterval), platform::seconds(kWindowTrackingInterval),
        [weak, windowId] {
          if (auto recorder = weak.lock()) recorder->windowTrackingTick(windowId);
        });
  });
}

void Recorder::windowTrackingTick(uint32_t windowId) {
  std::optional<platform::Rect> bounds = services_.windowing->windowBounds(windowId);
  if (!bounds) return;  // gone, or not readable this time: keep the last position
  std::lock_guard<std::mutex> lock(stateLock_);
  region.origin = bounds->origin;
}
