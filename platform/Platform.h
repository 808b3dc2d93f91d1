// All operating-system services, handed to the logic as one object. The
// product gets the system's (makeSystemServices); tests hand in doubles.
#pragma once

#include "platform/AudioDevices.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/InputEvents.h"
#include "platform/MediaWriter.h"
#include "platform/Permissions.h"
#include "platform/ScreenCapture.h"
#include "platform/Windowing.h"

#include <memory>

namespace platform {

struct Services {
  std::shared_ptr<Clock> clock;
  std::shared_ptr<WindowingService> windowing;
  std::shared_ptr<ScreenCaptureService> capture;
  std::shared_ptr<InputEventService> input;
  std::shared_ptr<PermissionService> permissions;
  std::shared_ptr<AudioDeviceService> audioDevices;
  std::shared_ptr<MediaWriterFactory> media;
  std::shared_ptr<FileService> files;
};

// The services of the system this program was built for (exactly one backend
// is compiled in). Connecting to the display happens lazily, per service.
Services makeSystemServices();

}  // namespace platform
