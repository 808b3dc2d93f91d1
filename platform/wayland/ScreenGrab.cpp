#include "platform/wayland/ScreenGrab.h"

#include <wayland-client.h>

#include "wlr-screencopy-unstable-v1-client-protocol.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace platform::wayland {

namespace {

struct Grab {
  uint32_t outputId = 0;
  wl_shm* shm = nullptr;
  zwlr_screencopy_manager_v1* manager = nullptr;
  wl_output* output = nullptr;
  uint32_t managerVersion = 0;
  // The frame's announced shared-memory buffer.
  bool haveBuffer = false;
  uint32_t format = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t stride = 0;
  bool buffersDone = false;
  bool ready = false;
  bool failed = false;
};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
  auto* grab = static_cast<Grab*>(data);
  const std::string kind(interface);
  if (kind == wl_shm_interface.name) {
    grab->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  } else if (kind == zwlr_screencopy_manager_v1_interface.name) {
    grab->managerVersion = std::min<uint32_t>(version, 3);
    grab->manager = static_cast<zwlr_screencopy_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_screencopy_manager_v1_interface, grab->managerVersion));
  } else if (kind == wl_output_interface.name && name == grab->outputId) {
    grab->output = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, 1));
  }
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistry = {onGlobal, onGlobalRemove};

void onBuffer(void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height, uint32_t stride) {
  auto* grab = static_cast<Grab*>(data);
  if (format != WL_SHM_FORMAT_XRGB8888 && format != WL_SHM_FORMAT_ARGB8888) return;
  grab->haveBuffer = true;
  grab->format = format;
  grab->width = width;
  grab->height = height;
  grab->stride = stride;
}
void onFlags(void*, zwlr_screencopy_frame_v1*, uint32_t) {}
void onReady(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) { static_cast<Grab*>(data)->ready = true; }
void onFailed(void* data, zwlr_screencopy_frame_v1*) { static_cast<Grab*>(data)->failed = true; }
void onDamage(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {}
void onDmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}
void onBufferDone(void* data, zwlr_screencopy_frame_v1*) { static_cast<Grab*>(data)->buffersDone = true; }
const zwlr_screencopy_frame_v1_listener kFrame = {onBuffer, onFlags, onReady, onFailed, onDamage, onDmabuf, onBufferDone};

// Dispatches events until `done` holds; false on a broken connection or
// when `deadline` passes.
template <typename Done>
bool dispatchUntil(wl_display* display, Done done, std::chrono::steady_clock::time_point deadline) {
  while (!done()) {
    while (wl_display_prepare_read(display) != 0) {
      if (wl_display_dispatch_pending(display) < 0) return false;
      if (done()) return true;
    }
    wl_display_flush(display);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      wl_display_cancel_read(display);
      return false;
    }
    pollfd p{wl_display_get_fd(display), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      wl_display_cancel_read(display);
      continue;
    }
    if (wl_display_read_events(display) < 0) return false;
    if (wl_display_dispatch_pending(display) < 0) return false;
  }
  return true;
}

}  // namespace

std::optional<Error> grabOutput(uint32_t outputId, const std::function<void(const GrabbedPicture&)>& use,
                                std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return Error{"The Wayland compositor cannot be reached."};
  Grab grab;
  grab.outputId = outputId;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistry, &grab);
  std::optional<Error> error;
  zwlr_screencopy_frame_v1* frame = nullptr;
  wl_shm_pool* pool = nullptr;
  wl_buffer* buffer = nullptr;
  void* memory = MAP_FAILED;
  size_t bytes = 0;
  int fd = -1;
  if (wl_display_roundtrip(display) < 0) {
    error = Error{"The connection to the Wayland compositor broke."};
  } else if (!grab.manager || !grab.shm) {
    error = Error{"The compositor offers no screen copies."};
  } else if (!grab.output) {
    error = Error{"The display to grab is gone."};
  }
  if (!error) {
    frame = zwlr_screencopy_manager_v1_capture_output(grab.manager, 0, grab.output);
    zwlr_screencopy_frame_v1_add_listener(frame, &kFrame, &grab);
    // Version 3 lists every buffer kind and ends with buffer_done; before,
    // the one shared-memory buffer comes alone.
    const bool listed = dispatchUntil(
        display, [&] { return grab.failed || (grab.managerVersion >= 3 ? grab.buffersDone : grab.haveBuffer); }, deadline);
    if (!listed || grab.failed || !grab.haveBuffer || grab.width == 0 || grab.height == 0) {
      error = Error{"The compositor offers no shared-memory screen copy."};
    }
  }
  if (!error) {
    bytes = static_cast<size_t>(grab.stride) * grab.height;
    fd = memfd_create("tesmar-grab", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
      error = Error{"No memory for the screen copy."};
    } else {
      memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (memory == MAP_FAILED) error = Error{"No memory for the screen copy."};
    }
  }
  if (!error) {
    pool = wl_shm_create_pool(grab.shm, fd, static_cast<int32_t>(bytes));
    buffer = wl_shm_pool_create_buffer(pool, 0, static_cast<int32_t>(grab.width), static_cast<int32_t>(grab.height),
                                       static_cast<int32_t>(grab.stride), grab.format);
    zwlr_screencopy_frame_v1_copy(frame, buffer);
    if (!dispatchUntil(display, [&] { return grab.ready || grab.failed; }, deadline) || !grab.ready) {
      error = Error{"The compositor did not copy the screen."};
    } else {
      use(GrabbedPicture{static_cast<const uint8_t*>(memory), static_cast<int>(grab.width), static_cast<int>(grab.height),
                         static_cast<int>(grab.stride)});
    }
  }
  if (buffer) wl_buffer_destroy(buffer);
  if (pool) wl_shm_pool_destroy(pool);
  if (memory != MAP_FAILED) munmap(memory, bytes);
  if (fd >= 0) close(fd);
  if (frame) zwlr_screencopy_frame_v1_destroy(frame);
  if (grab.output) wl_output_destroy(grab.output);
  if (grab.manager) zwlr_screencopy_manager_v1_destroy(grab.manager);
  if (grab.shm) wl_shm_destroy(grab.shm);
  wl_registry_destroy(registry);
  wl_display_disconnect(display);
  return error;
}

}  // namespace platform::wayland
