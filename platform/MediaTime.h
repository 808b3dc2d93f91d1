// Media time and sample buffers: the timing model every captured sample and
// every media file shares.
//
// MediaTime is an exact rational time (value / timescale seconds) with flags
// and an epoch, as capture and encoding services use it. Comparison and
// subtraction across timescales are exact (128-bit cross multiplication), so
// moving a sample by an offset never drifts through floating point.
//
// SampleBuffer is one captured video frame or audio buffer: one or more timing
// entries, the frame attachments, and shared media data. Copies share the
// media data (reference counted); a copy with new timing never copies pixels
// or samples. Thread-safety: a SampleBuffer is a value; distinct copies may be
// used on different threads at once, the shared media data is immutable.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace platform {

struct MediaTime {
  static constexpr uint32_t kValid = 1u << 0;
  static constexpr uint32_t kHasBeenRounded = 1u << 1;
  static constexpr uint32_t kPositiveInfinity = 1u << 2;
  static constexpr uint32_t kNegativeInfinity = 1u << 3;
  static constexpr uint32_t kIndefinite = 1u << 4;

  int64_t value = 0;
  int32_t timescale = 0;
  uint32_t flags = 0;
  int64_t epoch = 0;

  // The all-zero, invalid time.
  static constexpr MediaTime invalid() { return {}; }
  // Value 0, timescale 1, valid, epoch 0.
  static constexpr MediaTime zero() { return {0, 1, kValid, 0}; }
  static constexpr MediaTime make(int64_t value, int32_t timescale) {
    return {value, timescale, kValid, 0};
  }
  // Rounds seconds to the nearest tick of preferredTimescale. Non-finite
  // seconds give an invalid time.
  static MediaTime fromSeconds(double seconds, int32_t preferredTimescale);

  bool isValid() const { return (flags & kValid) != 0; }
  bool isNumeric() const;  // valid, finite and timescale > 0
  // Seconds as a double; NaN for a time that is not numeric, except the
  // infinities, which give +/- infinity.
  double seconds() const;
  // Exact value in another timescale, rounded to nearest (half away from 0).
  MediaTime convertScale(int32_t newTimescale) const;
};

// Exact comparison; an invalid time compares equal to another invalid time and
// less than every valid one.
int compare(const MediaTime& a, const MediaTime& b);
bool operator==(const MediaTime& a, const MediaTime& b);
bool operator!=(const MediaTime& a, const MediaTime& b);
bool operator<(const MediaTime& a, const MediaTime& b);
bool operator<=(const MediaTime& a, const MediaTime& b);
bool operator>(const MediaTime& a, const MediaTime& b);
bool operator>=(const MediaTime& a, const MediaTime& b);
// a - b, exact. Both valid: the result's timescale is the larger of the two
// when one divides the other, else their least common multiple (capped to
// 32 bits, rounding only then). Either invalid: invalid.
MediaTime operator-(const MediaTime& a, const MediaTime& b);
MediaTime operator+(const MediaTime& a, const MediaTime& b);

struct SampleTimingInfo {
  MediaTime duration;
  MediaTime presentationTimeStamp;
  MediaTime decodeTimeStamp;
};

// Frame status values of captured video frames.
enum class FrameStatus : int64_t { complete = 0, idle = 1, blank = 2, suspended = 3, started = 4, stopped = 5 };

// One attachment dictionary of a sample; only the frame status is used.
struct SampleAttachments {
  std::optional<int64_t> frameStatus;
};

// A sample's attachments array as far as it is read: how many dictionaries
// it holds and the first of them. Held inline, so no frame allocates for it.
struct SampleAttachmentsArray {
  size_t count = 0;
  SampleAttachments first;
};

// Shared, immutable media payload, reference counted without a heap
// allocation per use. Owners that recycle buffers (a capture pool) override
// recycle() to take the object back instead of deleting it.
class MediaData {
 public:
  enum class Kind { video, audioFloatInterleaved };

  virtual ~MediaData() = default;
  virtual Kind kind() const = 0;

  void retain() const { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() const {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) recycle();
  }
  // Called when the last reference is released. Default: delete this.
  virtual void recycle() const { delete this; }
  int useCount() const { return refs_.load(std::memory_order_acquire); }

 protected:
  // A recycled object starts its next life with one reference again.
  void resetReferences() const { refs_.store(0, std::memory_order_relaxed); }

 private:
  mutable std::atomic<int> refs_{0};
};

// How a frame's pixels are laid out; the values are the capture
// configuration's four-character codes.
enum class PixelFormat : uint32_t {
  bgra = 0x42475241,  // "BGRA": 32-bit BGRA, one plane
  i420 = 0x79343230,  // "y420": 8-bit 4:2:0 in three planes (Y, Cb, Cr), BT.709, limited range
};

// A video frame, top row first: 32-bit BGRA, or 4:2:0 YUV whose chroma
// planes are (width + 1) / 2 by (height + 1) / 2.
class VideoFrameData : public MediaData {
 public:
  Kind kind() const override { return Kind::video; }
  virtual PixelFormat pixelFormat() const { return PixelFormat::bgra; }
  virtual int width() const = 0;
  virtual int height() const = 0;
  // Plane 0: the BGRA pixels, or the luma of a 4:2:0 frame.
  virtual int bytesPerRow() const = 0;
  virtual const uint8_t* pixels() const = 0;
  // Plane 0 to 2 of a 4:2:0 frame (Y, Cb, Cr); a BGRA frame has plane 0 only.
  virtual const uint8_t* plane(int i) const { return i == 0 ? pixels() : nullptr; }
  virtual int planeStride(int i) const { return i == 0 ? bytesPerRow() : 0; }
};

// Interleaved 32-bit float PCM.
class AudioBufferData : public MediaData {
 public:
  Kind kind() const override { return Kind::audioFloatInterleaved; }
  virtual int sampleRate() const = 0;
  virtual int channels() const = 0;
  virtual int frameCount() const = 0;  // samples per channel
  virtual const float* samples() const = 0;
};

// Intrusive reference to shared media data.
template <typename T>
class MediaRef {
 public:
  MediaRef() = default;
  explicit MediaRef(const T* p) : p_(p) { if (p_) p_->retain(); }
  MediaRef(const MediaRef& o) : p_(o.p_) { if (p_) p_->retain(); }
  MediaRef(MediaRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <typename U>
  MediaRef(const MediaRef<U>& o) : MediaRef(o.get()) {}
  ~MediaRef() { if (p_) p_->release(); }
  MediaRef& operator=(MediaRef o) noexcept { std::swap(p_, o.p_); return *this; }
  const T* get() const { return p_; }
  const T* operator->() const { return p_; }
  const T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  const T* p_ = nullptr;
};

// Plain heap-owned payloads, for samples that are not pooled (tests, tools).
class OwnedVideoFrame final : public VideoFrameData {
 public:
  OwnedVideoFrame(int width, int height);
  int width() const override { return width_; }
  int height() const override { return height_; }
  int bytesPerRow() const override { return width_ * 4; }
  const uint8_t* pixels() const override { return pixels_.data(); }
  uint8_t* mutablePixels() { return pixels_.data(); }

 private:
  int width_;
  int height_;
  std::vector<uint8_t> pixels_;
};

class OwnedAudioBuffer final : public AudioBufferData {
 public:
  OwnedAudioBuffer(int sampleRate, int channels, int frameCount);
  int sampleRate() const override { return sampleRate_; }
  int channels() const override { return channels_; }
  int frameCount() const override { return frameCount_; }
  const float* samples() const override { return samples_.data(); }
  float* mutableSamples() { return samples_.data(); }

 private:
  int sampleRate_;
  int channels_;
  int frameCount_;
  std::vector<float> samples_;
};

// A captured sample. Value type; copying shares the media data.
class SampleBuffer {
 public:
  static constexpr size_t kInlineTimingEntries = 2;

  SampleBuffer() = default;  // an invalid buffer
  SampleBuffer(MediaRef<MediaData> data, const SampleTimingInfo* timing, size_t timingCount,
               std::optional<SampleAttachmentsArray> attachments = std::nullopt);

  static SampleBuffer video(MediaRef<VideoFrameData> frame, MediaTime pts, MediaTime duration,
                            std::optional<FrameStatus> status);
  static SampleBuffer audio(MediaRef<AudioBufferData> pcm, MediaTime pts);

  bool isValid() const { return valid_; }
  void invalidate() { valid_ = false; }

  // The timing-info query: returns the number of entries the buffer has and
  // copies at most `capacity` of them into `out` (which may be null).
  size_t getSampleTimingInfoArray(size_t capacity, SampleTimingInfo* out) const;
  size_t timingCount() const { return timingCount_; }

  // Presentation time of the first entry (invalid when there is none).
  MediaTime presentationTimeStamp() const;
  // Sum of the entries' durations; invalid when any is invalid or none exist.
  MediaTime duration() const;

  // The attachments array; absent when the buffer has none (never created).
  const std::optional<SampleAttachmentsArray>& attachments() const { return attachments_; }

  const MediaRef<MediaData>& data() const { return data_; }
  const VideoFrameData* videoFrame() const;
  const AudioBufferData* audioBuffer() const;

  // A copy sharing data and attachments, with the given timing entries.
  SampleBuffer copyWithNewTiming(const SampleTimingInfo* timing, size_t count) const;

 private:
  void setTiming(const SampleTimingInfo* timing, size_t count);
  const SampleTimingInfo* timingData() const {
    return timingCount_ <= kInlineTimingEntries ? inlineTiming_ : extraTiming_.data();
  }

  bool valid_ = false;
  MediaRef<MediaData> data_;
  size_t timingCount_ = 0;
  SampleTimingInfo inlineTiming_[kInlineTimingEntries];
  std::vector<SampleTimingInfo> extraTiming_;  // only for many-entry buffers
  std::optional<SampleAttachmentsArray> attachments_;
};

}  // namespace platform
