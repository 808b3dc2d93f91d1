// One media file with one track, and the encoder settings of the recording's
// files.
#pragma once

#include "platform/Error.h"
#include "platform/MediaTime.h"
#include "platform/MediaWriter.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// Owns one file writer with its single input. Writing begins with the first
// start(); samples are accepted only after it, while the writer is writing
// and the input is ready. No lock: start() and append() run on the capture
// queue, finish() on the stopping thread after the last append.
class TrackWriter {
 public:
  // Removes whatever is at `path` (errors ignored), creates the writer for it
  // and attaches `input`, marked as real-time. Fails with the writer
  // factory's error; the file is not created then.
  static platform::Result<std::shared_ptr<TrackWriter>> make(platform::MediaWriterFactory& factory,
                                                             const std::string& path,
                                                             platform::FileType fileType,
                                                             std::shared_ptr<platform::AssetWriterInput> input);

  // Begins writing with the file's timeline starting at source time `at`.
  // Does nothing after the first call.
  void start(platform::MediaTime at);
  // True if the input took the sample; false before start(), when the writer
  // is not writing or the input is busy. Never waits.
  bool append(const platform::SampleBuffer& sample);
  // Completes the file, the track ending at `endTime` when given. Blocks
  // until the file is finished. Does nothing if writing never began. False
  // when the file could not be completed (the writer failed).
  bool finish(std::optional<platform::MediaTime> endTime);

  bool started() const { return started_; }
  // Why writing the file failed (none while it has not, or before start()).
  // Cheap; any thread.
  platform::WriterFailure failure() const {
    return started_ ? writer_->failure() : platform::WriterFailure::none;
  }
  // Why the file could not be written; meaningful once failure() is not none.
  std::string errorDescription() const { return writer_->errorDescription(); }
  platform::AssetWriter& writer() { return *writer_; }
  platform::AssetWriterInput& input() { return *input_; }

 private:
  TrackWriter(std::shared_ptr<platform::AssetWriter> writer, std::shared_ptr<platform::AssetWriterInput> input);

  std::shared_ptr<platform::AssetWriter> writer_;
  std::shared_ptr<platform::AssetWriterInput> input_;
  bool started_ = false;
};

// Average H.264 bit rate for w x h pixels at fps frames a second: an eighth
// of the pixel rate, clamped to 4 to 60 Mbit/s.
int64_t videoBitRate(int64_t w, int64_t h, int64_t fps);
// Settings of the screen video input.
platform::VideoSettings videoSettings(int w, int h, int fps);
// Settings of both audio inputs: AAC at 192 kbit/s in the recording's one
// audio format (platform/AudioFormat.h).
platform::AudioSettings audioSettings();
