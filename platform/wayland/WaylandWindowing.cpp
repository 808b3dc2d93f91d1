#include "platform/wayland/WaylandWindowing.h"

#include "platform/wayland/Outputs.h"

#include <cmath>

namespace platform::wayland {

std::vector<Screen> WaylandWindowing::screens() {
  Result<std::vector<Output>> outputs = readOutputs();
  if (!outputs || outputs->empty()) return {};
  // Screen space: y up from the bottom of the first output.
  const Rect& primary = outputs->front().frame;
  std::vector<Screen> screens;
  for (const Output& output : *outputs) {
    Screen screen;
    const Rect& f = output.frame;
    screen.frame = Rect(f.minX() - primary.minX(), primary.height() - (f.minY() - primary.minY()) - f.height(), f.width(),
                        f.height());
    screen.maximumFramesPerSecond = output.refreshHz > 0 ? static_cast<int>(std::lround(output.refreshHz)) : 60;
    screen.backingScaleFactor = output.scale;
    screen.localizedName = output.name.empty() ? output.description : output.name;
    screen.screenNumber = output.id;
    screens.push_back(std::move(screen));
  }
  return screens;
}

std::optional<double> WaylandWindowing::displayModeRefreshRate(uint32_t displayID) {
  Result<std::vector<Output>> outputs = readOutputs();
  if (!outputs) return std::nullopt;
  for (const Output& output : *outputs) {
    if (output.id == displayID) return output.refreshHz;
  }
  return std::nullopt;
}

uint32_t WaylandWindowing::mainDisplayID() {
  Result<std::vector<Output>> outputs = readOutputs();
  return outputs && !outputs->empty() ? outputs->front().id : 0;
}

}  // namespace platform::wayland
