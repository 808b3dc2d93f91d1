// Microphones on PulseAudio: the sources that are not monitors of a sink.
// Each call connects afresh; without a server there are none.
#pragma once

#include "platform/AudioDevices.h"

namespace platform::pulse {

// Thread-safe (each call has its own connection).
class PulseAudioDevices final : public AudioDeviceService {
 public:
  // In the server's order; id = source name, name = its description.
  std::vector<AudioInputDevice> microphones() override;
  // The server's default source (which may be a monitor, then it matches no
  // microphone); absent without a server.
  std::optional<std::string> defaultMicrophoneID() override;
};

// Whether a PulseAudio server answers.
bool audioServerAnswers();

}  // namespace platform::pulse
