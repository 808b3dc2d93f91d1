// Reading written files back with the ffmpeg tool.
#pragma once

#include <string>

namespace media_samples {

// What a full decode of `path` reports; empty when it decodes cleanly. Frames
// keep the file's own time base, so closely spaced frames of variable-rate
// video are not mistaken for errors of the file.
std::string decodeProblems(const std::string& path);

}  // namespace media_samples
