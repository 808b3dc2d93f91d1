// Reads one media file of a recording with FFmpeg's libavformat and
// libavcodec: its first stream is decoded from start to end, so a file that
// reads here plays. Packets that lie past `usableBytes` (the part of a file
// cut inside a box, see Mp4Boxes.h) are left alone: they are what a kill cut
// off, not damage to report.
//
// Not thread-safe: FFmpeg's log hook is process-wide, and the reader takes it
// over while it runs to collect the decoder's complaints instead of letting
// them reach standard error.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

extern "C" {
struct AVFrame;
}

namespace inspect {

struct DecodedMedia {
  bool opened = false;
  std::string openError;       // why it did not open
  std::string codec;
  bool video = false;
  int width = 0, height = 0;
  int sampleRate = 0, channels = 0;
  int64_t frames = 0;          // decoded pictures, or decoded audio frames
  std::optional<double> startSeconds;  // first decoded time stamp
  double endSeconds = 0;       // end of the last decoded frame (its time + duration)
  std::optional<double> containerSeconds;  // the stream's duration as the container states it
  std::string decodeError;     // the first complaint of the demuxer or decoder
};

// Called with each decoded picture (any pixel format of the decoder) or each
// decoded block of audio mixed to one channel, with its time in seconds.
struct MediaVisitor {
  std::function<void(const AVFrame& picture, double seconds)> picture;
  std::function<void(const float* samples, int count, int rate, double seconds)> sound;
};

// Decodes `path` whole (up to `usableBytes` when given).
DecodedMedia decodeMedia(const std::string& path, std::optional<int64_t> usableBytes = std::nullopt,
                         const MediaVisitor* visitor = nullptr);

}  // namespace inspect
