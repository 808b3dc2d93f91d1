#include "platform/wayland/Outputs.h"

#include <wayland-client.h>

#include <algorithm>
#include <memory>

namespace platform::wayland {

namespace {

struct Pending {
  Output output;
  wl_output* proxy = nullptr;
  int transform = WL_OUTPUT_TRANSFORM_NORMAL;
  int x = 0;
  int y = 0;
};

struct Listing {
  std::vector<std::unique_ptr<Pending>> outputs;
};

void onGeometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*, const char*,
                int32_t transform) {
  auto* p = static_cast<Pending*>(data);
  p->x = x;
  p->y = y;
  p->transform = transform;
}

void onMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t refresh) {
  if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
  auto* p = static_cast<Pending*>(data);
  p->output.pixelWidth = width;
  p->output.pixelHeight = height;
  p->output.refreshHz = refresh > 0 ? refresh / 1000.0 : 0;
}

void onDone(void*, wl_output*) {}
void onScale(void* data, wl_output*, int32_t factor) { static_cast<Pending*>(data)->output.scale = std::max(factor, 1); }
void onName(void* data, wl_output*, const char* name) { static_cast<Pending*>(data)->output.name = name ? name : ""; }
void onDescription(void* data, wl_output*, const char* text) {
  static_cast<Pending*>(data)->output.description = text ? text : "";
}

const wl_output_listener kOutputListener = {onGeometry, onMode, onDone, onScale, onName, onDescription};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
  if (std::string(interface) != wl_output_interface.name) return;
  auto* listing = static_cast<Listing*>(data);
  auto pending = std::make_unique<Pending>();
  pending->output.id = name;
  pending->proxy = static_cast<wl_output*>(
      wl_registry_bind(registry, name, &wl_output_interface, std::min<uint32_t>(version, 4)));
  wl_output_add_listener(pending->proxy, &kOutputListener, pending.get());
  listing->outputs.push_back(std::move(pending));
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

}  // namespace

Result<std::vector<Output>> readOutputs() {
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return Error{"The Wayland compositor cannot be reached."};
  Listing listing;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, &listing);
  // The globals, then every output's events.
  const bool ok = wl_display_roundtrip(display) >= 0 && wl_display_roundtrip(display) >= 0;
  std::vector<Output> outputs;
  for (auto& pending : listing.outputs) {
    Output output = pending->output;
    double width = output.pixelWidth;
    double height = output.pixelHeight;
    const bool turned = pending->transform == WL_OUTPUT_TRANSFORM_90 || pending->transform == WL_OUTPUT_TRANSFORM_270 ||
                        pending->transform == WL_OUTPUT_TRANSFORM_FLIPPED_90 ||
                        pending->transform == WL_OUTPUT_TRANSFORM_FLIPPED_270;
    if (turned) std::swap(width, height);
    output.frame = Rect(pending->x, pending->y, width / output.scale, height / output.scale);
    if (pending->proxy) {
      if (wl_output_get_version(pending->proxy) >= 3) {
        wl_output_release(pending->proxy);
      } else {
        wl_output_destroy(pending->proxy);
      }
    }
    if (output.pixelWidth > 0 && output.pixelHeight > 0) outputs.push_back(output);
  }
  wl_registry_destroy(registry);
  wl_display_disconnect(display);
  if (!ok) return Error{"The connection to the Wayland compositor broke."};
  return outputs;
}

}  // namespace platform::wayland
