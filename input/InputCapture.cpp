// Input capture set-up and pointer tracking: the pointer poll timer, the
// click and key monitors and the disk-space timer, all on the main loop.
#include "discovery/DisplayGeometry.h"
#include "recorder/Recorder.h"

#include <memory>

namespace {

// The poll runs at the display's refresh rate, at least 60 times a second.
constexpr int kLowestPollRate = 60;
constexpr double kDiskCheckSeconds = 5.0;

}  // namespace

void Recorder::startInputCapture() {
  // A stop that began while the recording was starting has already torn the
  // watchers down; installing them now would outlive that teardown.
  if (isStopping()) return;
  std::weak_ptr<Recorder> weak = weak_from_this();
  platform::MainLoop& loop = runtime_.mainLoop;

  int refreshRate;
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    refreshRate = displayRefreshRate;
  }
  const int rate = refreshRate > kLowestPollRate ? refreshRate : kLowestPollRate;
  if (services_.windowing->canReadPointer()) {
    pollTimer = std::make_unique<platform::RepeatingTimer>(loop, std::chrono::nanoseconds(0),
                                                           platform::seconds(1.0 / rate), [weak] {
                                                             if (auto self = weak.lock()) self->pollTick();
                                                           });
  }

  platform::MonitorToken clickMonitor =
      services_.input->addGlobalMouseMonitor(loop, [weak](const platform::MouseEvent& event) {
        if (auto self = weak.lock()) self->handleClick(event);
      });
  if (clickMonitor != 0) monitors.push_back(clickMonitor);

  if (keystrokesAllowed()) {
    platform::MonitorToken keyMonitor =
        services_.input->addGlobalKeyMonitor(loop, [weak](const platform::KeyEvent& event) {
          if (auto self = weak.lock()) self->handleKey(event);
        });
    if (keyMonitor != 0) monitors.push_back(keyMonitor);
  }

  diskTimer = std::make_unique<platform::RepeatingTimer>(loop, platform::seconds(kDiskCheckSeconds),
                                                         platform::seconds(kDiskCheckSeconds), [weak] {
                                                           if (auto self = weak.lock()) self->diskCheck();
                                                         });
}

void Recorder::pollTick() {
  auto ms = relMs(hostNow());
  if (!ms) return;
  const platform::Point p = mouseGlobalTopLeft();
  std::string id = currentCursorId();
  if (p == lastMouse && id == lastCursorId) return;
  const platform::Point r = toRegion(p);
  if (moves) moves->write({{"t", precise(*ms)}, {"x", r.x}, {"y", r.y}, {"cursor", id}});
  lastMouse = p;
  lastCursorId = std::move(id);
}

platform::Point Recorder::mouseGlobalTopLeft() {
  const platform::WindowingService::PointerReading reading = services_.windowing->pointerReading();
  return toGlobal(reading.location, reading.primaryScreenHeight);
}

platform::Point Recorder::toRegion(const platform::Point& p) const {
  const platform::Point origin = currentRegion().origin;
  return {p.x - origin.x, p.y - origin.y};
}
