// The services of the Linux desktop: X11 or Wayland (chosen at start-up,
// DesktopChoice.h) for screens, windows and capture, PulseAudio for audio,
// FFmpeg for the media files.
#include "platform/Platform.h"
#include "platform/ffmpeg/FfmpegMediaWriter.h"
#include "platform/linux/DesktopCapture.h"
#include "platform/linux/DesktopChoice.h"
#include "platform/linux/DesktopFiles.h"
#include "platform/linux/DesktopPermissions.h"
#include "platform/linux/WaylandDesktop.h"
#include "platform/pulse/PulseAudioDevices.h"
#include "platform/wayland/RestoreTokenStore.h"
#include "platform/wayland/WaylandWindowing.h"
#include "platform/x11/X11Windowing.h"
#include "platform/xinput/InputEventService.h"

namespace platform {

Services makeSystemServices() {
  Services services;
  services.clock = std::shared_ptr<Clock>(&systemClock(), [](Clock*) {});
  if (linux_desktop::chooseDesktop() == linux_desktop::DesktopKind::wayland) {
    auto tokens = std::make_shared<wayland::RestoreTokenStore>(wayland::RestoreTokenStore::defaultPath());
    services.windowing = std::make_shared<wayland::WaylandWindowing>();
    services.capture = std::make_shared<linux_desktop::WaylandScreenCapture>(tokens);
    services.input = std::make_shared<linux_desktop::NoInputEvents>();
    services.permissions = std::make_shared<linux_desktop::WaylandPermissions>(tokens);
  } else {
    // One display connection for the services that query the X server; it
    // is opened on first use. Capture streams open connections of their own.
    auto display = std::make_shared<x11::DisplayHandle>();
    services.windowing = std::make_shared<x11::X11Windowing>(display);
    services.capture = std::make_shared<linux_desktop::DesktopScreenCapture>(display);
    services.input = xinput::makeInputEventService();
    services.permissions = std::make_shared<linux_desktop::DesktopPermissions>(display);
  }
  services.audioDevices = std::make_shared<pulse::PulseAudioDevices>();
  services.media = makeFfmpegMediaWriterFactory();
  services.files = std::make_shared<linux_desktop::DesktopFiles>();
  return services;
}

}  // namespace platform
