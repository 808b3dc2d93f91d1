// The one audio format of a recording: both audio sources are captured, and
// both audio files encoded, as 48 kHz stereo.
#pragma once

namespace platform {

inline constexpr int kAudioSampleRate = 48000;
inline constexpr int kAudioChannels = 2;

}  // namespace platform
