// Media file writing: one file writer with one input (track), fed with
// samples in real time. The encoder and container work happen on the
// writer's own thread; the caller's thread never waits for them.
#pragma once

#include "platform/AudioFormat.h"
#include "platform/Error.h"
#include "platform/MediaTime.h"

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

namespace platform {

enum class FileType { mpeg4, appleM4A };
enum class MediaType { video, audio };

// H.264 settings of a video input.
struct VideoSettings {
  int width = 0;
  int height = 0;
  int64_t averageBitRate = 0;        // bits per second
  bool highProfileAutoLevel = true;  // High profile, level chosen by the encoder
  int expectedSourceFrameRate = 60;
  int maxKeyFrameInterval = 30;      // frames
  bool allowFrameReordering = true;  // B-frames
};

// AAC settings of an audio input.
struct AudioSettings {
  uint32_t formatID = 0x61616320;  // "aac "
  int sampleRate = kAudioSampleRate;
  int numberOfChannels = kAudioChannels;
  int encoderBitRate = 192000;
};

using OutputSettings = std::variant<VideoSettings, AudioSettings>;

enum class WriterStatus : int { unknown = 0, writing = 1, completed = 2, failed = 3, cancelled = 4 };

// Why a writer's status became failed.
enum class WriterFailure { none, noSpace, other };

// A track of a file writer. Thread-safety: append() and
// isReadyForMoreMediaData() may be called from one producer thread while
// another thread finishes the writer.
class AssetWriterInput {
 public:
  virtual ~AssetWriterInput() = default;
  virtual MediaType mediaType() const = 0;
  virtual void setExpectsMediaDataInRealTime(bool realTime) = 0;
  // False while the writer's queue is full; never blocks.
  virtual bool isReadyForMoreMediaData() const = 0;
  // Hands the sample to the encoder thread; false when refused (not writing,
  // queue full, wrong kind of data). Never blocks.
  virtual bool append(const SampleBuffer& sample) = 0;
  virtual void markAsFinished() = 0;
};

// One media file. Every call may come from any one thread at a time.
class AssetWriter {
 public:
  virtual ~AssetWriter() = default;
  // Attaches the input; the writer keeps it alive.
  virtual void add(std::shared_ptr<AssetWriterInput> input) = 0;
  // Opens the file and the encoders; status becomes writing, or failed.
  virtual bool startWriting() = 0;
  // The source time at which the file's timeline begins.
  virtual void startSession(MediaTime sourceTime) = 0;
  // The track ends at this source time (the last sample lasts until it).
  virtual void endSession(MediaTime sourceTime) = 0;
  // Becomes failed as soon as writing the file fails (no space left, an
  // I/O error, the file removed under the writer, an encoder error).
  virtual WriterStatus status() const = 0;
  // Why status() became failed; none while it has not. Thread-safe and
  // cheap (an atomic read).
  virtual WriterFailure failure() const = 0;
  // Flushes the encoders and completes the file; blocks until done. After a
  // failure it keeps what was written before it playable as far as it can.
  // The status is then completed when the file was completed, failed
  // otherwise.
  virtual void finishWriting() = 0;
  // Why the status became failed, if it did: the file's name and the
  // system's reason, e.g. "Writing screen.mp4 failed: No space left on
  // device".
  virtual std::string errorDescription() const = 0;
};

// Makes writers and inputs. Thread-safe.
class MediaWriterFactory {
 public:
  virtual ~MediaWriterFactory() = default;
  // Fails (without creating the file) when it cannot be created.
  virtual Result<std::shared_ptr<AssetWriter>> makeWriter(const std::string& path, FileType type) = 0;
  virtual std::shared_ptr<AssetWriterInput> makeInput(MediaType type, const OutputSettings& settings) = 0;
};

}  // namespace platform
