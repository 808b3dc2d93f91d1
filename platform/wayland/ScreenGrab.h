// One picture of an output, straight from the compositor (wlr-screencopy,
// offered by wlroots compositors such as sway): the first frame of a
// recording that starts on a still screen, where the screen-cast stream may
// send nothing until something changes. Shared memory only; blocks until the
// compositor has copied the picture (or `timeout` passes).
#pragma once

#include "platform/Error.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace platform::wayland {

struct GrabbedPicture {
  const uint8_t* pixels = nullptr;  // 32-bit, B G R X/A in memory
  int width = 0;
  int height = 0;
  int stride = 0;
};

// Grabs the output whose global name is `outputId` (Output::id) on a
// connection of its own and hands the picture to `use` while it is mapped.
// The error says why there is none (no such output, no screencopy, a
// format other than XRGB/ARGB8888, a failed copy).
std::optional<Error> grabOutput(uint32_t outputId, const std::function<void(const GrabbedPicture&)>& use,
                                std::chrono::milliseconds timeout = std::chrono::seconds(2));

}  // namespace platform::wayland
