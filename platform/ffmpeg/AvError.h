// FFmpeg error codes as plain English.
#pragma once

#include <string>

extern "C" {
#include <libavutil/error.h>
}

namespace platform::ffmpeg {

inline std::string avErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(error, text, sizeof text) < 0) return "unknown error " + std::to_string(error);
  return text;
}

}  // namespace platform::ffmpeg
