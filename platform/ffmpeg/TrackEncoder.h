// The encoder of a writer's single track, driven by the writer's encoding
// thread only.
#pragma once

#include "platform/MediaTime.h"
#include "platform/ffmpeg/Muxer.h"

#include <optional>
#include <string>

namespace platform::ffmpeg {

class TrackEncoder {
 public:
  virtual ~TrackEncoder() = default;
  // Opens the codec and adds its stream to `muxer` (before the muxer opens).
  virtual bool open(Muxer& muxer, std::string& error) = 0;
  // Encodes one sample placed at its presentation time minus `start`, the
  // source time of the file's origin. Samples it cannot place are skipped.
  virtual bool encode(const SampleBuffer& sample, const MediaTime& start, std::string& error) = 0;
  // Drains the codec into the muxer; the track lasts until `end` (relative
  // to the origin) when given.
  virtual bool finish(std::optional<MediaTime> end, std::string& error) = 0;
  // Whether the input sample is of a kind this encoder takes. Any thread.
  virtual bool accepts(const SampleBuffer& sample) const = 0;
};

}  // namespace platform::ffmpeg
