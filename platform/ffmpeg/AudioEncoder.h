// AAC-LC encoding of interleaved float PCM with FFmpeg's native encoder.
//
// The track is a continuous timeline of samples: each buffer is placed at its
// presentation time. A gap before a buffer is filled with silence and a
// buffer that overlaps what is already written loses its overlapping start,
// so the file never drifts from the source clock. Differences up to
// kJitterTolerance are taken as clock jitter and not corrected, to avoid
// clicks; the placement error never exceeds it.
#pragma once

#include "platform/MediaWriter.h"
#include "platform/ffmpeg/TrackEncoder.h"

#include <cstdint>

namespace platform::ffmpeg {

class AudioEncoder final : public TrackEncoder {
 public:
  static constexpr double kJitterTolerance = 0.003;  // seconds

  explicit AudioEncoder(const AudioSettings& settings);
  ~AudioEncoder() override;

  bool open(Muxer& muxer, std::string& error) override;
  bool encode(const SampleBuffer& sample, const MediaTime& start, std::string& error) override;
  bool finish(std::optional<MediaTime> end, std::string& error) override;
  bool accepts(const SampleBuffer& sample) const override;

 private:
  // Appends `count` frames of silence, or of `interleaved` PCM with
  // `channels` channels when it is not null.
  bool put(const float* interleaved, int channels, int64_t count, std::string& error);
  bool sendFrame(int samples, std::string& error);
  bool receivePackets(std::string& error);
  int64_t position() const { return sentSamples_ + filled_; }
  std::string codecError(const char* what, int error) const;

  AudioSettings settings_;
  AVCodecContext* codec_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  Muxer* muxer_ = nullptr;
  const AVStream* stream_ = nullptr;
  int frameSize_ = 0;
  int filled_ = 0;           // samples in frame_
  int64_t sentSamples_ = 0;  // samples handed to the codec
};

}  // namespace platform::ffmpeg
