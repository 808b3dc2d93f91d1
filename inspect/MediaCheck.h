// The media files of a recording: screen.mp4 and the audio tracks, read back
// whole and held against metadata.json.
#pragma once

#include "inspect/Report.h"

#include <nlohmann/json.hpp>

#include <string>

namespace inspect {

inline constexpr const char* kVideoFile = "screen.mp4";
inline constexpr const char* kSystemAudioFile = "system-audio.m4a";
inline constexpr const char* kMicrophoneFile = "microphone.m4a";

// How far an audio track's first decoded sample may lie from its own time 0
// (one AAC frame at 48 kHz is 21.3 ms).
inline constexpr double kAudioStartToleranceSeconds = 0.025;

// Reads `file` of `folder`: its box layout and everything up to the end of
// its last whole box, decoded. A missing file gives present = false.
MediaReport readMediaFile(const std::string& folder, const std::string& file);

// screen.mp4 against the metadata: it decodes, its picture is width ×
// height, it lasts durationMs to within one frame, it is whole and, when the
// metadata says the files were finished, indexed.
void checkVideo(const MediaReport& video, const nlohmann::json& metadata, Report& report);

// An audio track the metadata says started ("system" or "microphone"): it
// decodes, is whole, begins at its own time 0 (so that it plays from
// audioStartMs of the recording) and overlaps the recording.
void checkAudio(const MediaReport& audio, const std::string& key, const nlohmann::json& metadata, Report& report);

// A folder cut short: what each file holds is reported, only damage inside
// its whole part is a problem.
void checkCutShortMedia(const MediaReport& media, Report& report);

}  // namespace inspect
