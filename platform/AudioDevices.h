// Audio input devices (microphones).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct AudioInputDevice {
  std::string uniqueID;
  std::string localizedName;
};

// Thread-safe.
class AudioDeviceService {
 public:
  virtual ~AudioDeviceService() = default;
  // In discovery order; empty when the audio system cannot be reached.
  virtual std::vector<AudioInputDevice> microphones() = 0;
  virtual std::optional<std::string> defaultMicrophoneID() = 0;
};

}  // namespace platform
