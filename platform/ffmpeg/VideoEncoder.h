// H.264 encoding of BGRA or 4:2:0 frames with libx264 (a 4:2:0 frame of
// the track's size goes to the encoder as it is, without a copy), at
// variable frame rate: each
// frame keeps its own presentation time (1/90000 s ticks) and lasts until the
// next one; the last lasts until the track's end.
#pragma once

#include "platform/MediaWriter.h"
#include "platform/ffmpeg/TrackEncoder.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace platform::ffmpeg {

// How libx264 is driven; one set of values, used by every video track.
struct X264Tuning {
  const char* preset;
  const char* params;  // x264's own option string, applied after the preset
  int bFrames;         // when frame reordering is allowed
  int threads;
};

class VideoEncoder final : public TrackEncoder {
 public:
  static constexpr int kTicksPerSecond = 90000;
  static const X264Tuning kX264;

  explicit VideoEncoder(const VideoSettings& settings);
  ~VideoEncoder() override;

  bool open(Muxer& muxer, std::string& error) override;
  bool encode(const SampleBuffer& sample, const MediaTime& start, std::string& error) override;
  bool finish(std::optional<MediaTime> end, std::string& error) override;
  bool accepts(const SampleBuffer& sample) const override { return sample.videoFrame() != nullptr; }

 private:
  // The picture to send for `frame`: `frame_` filled by conversion or
  // scaling, or `wrapped_` naming the frame's own planes.
  AVFrame* picture(const VideoFrameData& frame, std::string& error);
  void setPictureFormat(AVFrame& picture) const;
  bool receivePackets(std::string& error);
  // Moves a packet's decode time where the container wants it.
  void placeDecodeTime(AVPacket& packet);
  // At the end: gives the newest frame its display time as its sample's
  // duration.
  void alignTail(int64_t trackEnd);
  // Writes the waiting packets whose successor has come; at the end all.
  bool writeReady(bool atEnd, std::optional<int64_t> endTicks, std::string& error);
  std::string codecError(const char* what, int error) const;

  VideoSettings settings_;
  AVCodecContext* codec_ = nullptr;
  AVFrame* frame_ = nullptr;    // converted or scaled pictures; its buffer is made at the first use
  AVFrame* wrapped_ = nullptr;     // a 4:2:0 frame's own planes
  AVBufferRef* token_ = nullptr;   // the buffer every wrapped picture names
  MediaRef<VideoFrameData> sent_;  // the frame the encoder may still read
  AVPacket* received_ = nullptr;
  Muxer* muxer_ = nullptr;
  const AVStream* stream_ = nullptr;
  std::optional<int64_t> lastPts_;
  std::optional<int64_t> lastKeyPts_;
  std::optional<int64_t> firstPts_;
  std::optional<int64_t> firstDts_;
  std::optional<int64_t> lastDts_;  // of the newest packet received
  int64_t receivedCount_ = 0;
  std::optional<int64_t> lastWrittenDts_;  // newest frame sent as or known to be a key frame
  // Packets in decode order waiting for the next one (their duration).
  std::array<AVPacket*, 64> waiting_{};
  size_t waitingHead_ = 0;
  size_t waitingCount_ = 0;
  std::vector<uint8_t> scaled_;  // frames of another size, scaled to ours
};

}  // namespace platform::ffmpeg
