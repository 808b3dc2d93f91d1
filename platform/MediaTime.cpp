#include "platform/MediaTime.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace platform {

namespace {

__extension__ typedef __int128 Int128;

constexpr uint32_t kNonNumericFlags =
    MediaTime::kPositiveInfinity | MediaTime::kNegativeInfinity | MediaTime::kIndefinite;

constexpr MediaTime positiveInfinity() { return {0, 0, MediaTime::kValid | MediaTime::kPositiveInfinity, 0}; }
constexpr MediaTime negativeInfinity() { return {0, 0, MediaTime::kValid | MediaTime::kNegativeInfinity, 0}; }
constexpr MediaTime indefinite() { return {0, 0, MediaTime::kValid | MediaTime::kIndefinite, 0}; }

// num / den rounded to nearest, halves away from zero; den > 0.
Int128 divideRounded(Int128 num, Int128 den) {
  Int128 q = num / den;
  Int128 r = num % den;
  if (r < 0) r = -r;
  if (2 * r >= den) q += num < 0 ? -1 : 1;
  return q;
}

// A time of `value` ticks, or an infinity when the value leaves 64 bits.
MediaTime fromTicks(Int128 value, int32_t timescale, bool rounded) {
  if (value > std::numeric_limits<int64_t>::max()) return positiveInfinity();
  if (value < std::numeric_limits<int64_t>::min()) return negativeInfinity();
  MediaTime t = MediaTime::make(static_cast<int64_t>(value), timescale);
  if (rounded) t.flags |= MediaTime::kHasBeenRounded;
  return t;
}

// Orders the kinds of time: invalid, -inf, numeric, +inf, indefinite.
int rank(const MediaTime& t) {
  if (!t.isValid()) return 0;
  if (t.flags & MediaTime::kNegativeInfinity) return 1;
  if (t.flags & MediaTime::kPositiveInfinity) return 3;
  if (t.flags & MediaTime::kIndefinite) return 4;
  if (t.timescale <= 0) return 0;  // malformed: treated as invalid
  return 2;
}

// Combines two numeric times as a*sign(a) + b*sign(b) on a common timescale:
// their least common multiple when it fits 32 bits (exact), else the larger
// timescale (rounded).
MediaTime combine(const MediaTime& a, const MediaTime& b, bool subtract) {
  if (a.epoch != b.epoch) return MediaTime::invalid();
  int64_t lcm = std::lcm(static_cast<int64_t>(a.timescale), static_cast<int64_t>(b.timescale));
  bool rounded = false;
  int32_t scale;
  if (lcm <= std::numeric_limits<int32_t>::max()) {
    scale = static_cast<int32_t>(lcm);
  } else {
    scale = std::max(a.timescale, b.timescale);
    rounded = true;
  }
  Int128 bv = subtract ? -Int128(b.value) : Int128(b.value);
  Int128 num = Int128(a.value) * b.timescale + bv * a.timescale;
  Int128 den = Int128(a.timescale) * b.timescale;
  Int128 scaled = num * scale;
  rounded = rounded && scaled % den != 0;
  bool inheritedRounding = ((a.flags | b.flags) & MediaTime::kHasBeenRounded) != 0;
  MediaTime r = fromTicks(divideRounded(scaled, den), scale, rounded || inheritedRounding);
  r.epoch = a.epoch;
  return r;
}

MediaTime addOrSubtract(const MediaTime& a, const MediaTime& b, bool subtract) {
  int ra = rank(a), rb = rank(b);
  if (ra == 0 || rb == 0) return MediaTime::invalid();
  if (ra == 4 || rb == 4) return indefinite();
  if (ra == 2 && rb == 2) return combine(a, b, subtract);
  // At least one infinity. Its sign as it enters the result:
  int sa = ra == 1 ? -1 : ra == 3 ? 1 : 0;
  int sb = rb == 1 ? -1 : rb == 3 ? 1 : 0;
  if (subtract) sb = -sb;
  if (sa != 0 && sb != 0 && sa != sb) return indefinite();
  return (sa != 0 ? sa : sb) > 0 ? positiveInfinity() : negativeInfinity();
}

}  // namespace

MediaTime MediaTime::fromSeconds(double seconds, int32_t preferredTimescale) {
  if (std::isnan(seconds) || preferredTimescale <= 0) return invalid();
  if (std::isinf(seconds)) return seconds > 0 ? positiveInfinity() : negativeInfinity();
  long double ticks = std::roundl(static_cast<long double>(seconds) * preferredTimescale);
  if (ticks >= 9223372036854775807.0L) return positiveInfinity();
  if (ticks <= -9223372036854775808.0L) return negativeInfinity();
  MediaTime t = make(static_cast<int64_t>(ticks), preferredTimescale);
  if (static_cast<long double>(seconds) * preferredTimescale != ticks) t.flags |= kHasBeenRounded;
  return t;
}

bool MediaTime::isNumeric() const { return rank(*this) == 2; }

double MediaTime::seconds() const {
  switch (rank(*this)) {
    case 1: return -std::numeric_limits<double>::infinity();
    case 2: return static_cast<double>(value) / timescale;
    case 3: return std::numeric_limits<double>::infinity();
    default: return std::numeric_limits<double>::quiet_NaN();
  }
}

MediaTime MediaTime::convertScale(int32_t newTimescale) const {
  if (!isNumeric() || newTimescale <= 0) return *this;
  Int128 scaled = Int128(value) * newTimescale;
  bool rounded = scaled % timescale != 0 || (flags & kHasBeenRounded);
  MediaTime r = fromTicks(divideRounded(scaled, timescale), newTimescale, rounded);
  r.epoch = epoch;
  return r;
}

int compare(const MediaTime& a, const MediaTime& b) {
  int ra = rank(a), rb = rank(b);
  if (ra != rb) return ra < rb ? -1 : 1;
  if (ra != 2) return 0;
  if (a.epoch != b.epoch) return a.epoch < b.epoch ? -1 : 1;
  Int128 lhs = Int128(a.value) * b.timescale;
  Int128 rhs = Int128(b.value) * a.timescale;
  return lhs < rhs ? -1 : lhs > rhs ? 1 : 0;
}

bool operator==(const MediaTime& a, const MediaTime& b) { return compare(a, b) == 0; }
bool operator!=(const MediaTime& a, const MediaTime& b) { return compare(a, b) != 0; }
bool operator<(const MediaTime& a, const MediaTime& b) { return compare(a, b) < 0; }
bool operator<=(const MediaTime& a, const MediaTime& b) { return compare(a, b) <= 0; }
bool operator>(const MediaTime& a, const MediaTime& b) { return compare(a, b) > 0; }
bool operator>=(const MediaTime& a, const MediaTime& b) { return compare(a, b) >= 0; }

MediaTime operator-(const MediaTime& a, const MediaTime& b) { return addOrSubtract(a, b, true); }
MediaTime operator+(const MediaTime& a, const MediaTime& b) { return addOrSubtract(a, b, false); }

OwnedVideoFrame::OwnedVideoFrame(int width, int height)
    : width_(width), height_(height), pixels_(static_cast<size_t>(width) * height * 4) {}

OwnedAudioBuffer::OwnedAudioBuffer(int sampleRate, int channels, int frameCount)
    : sampleRate_(sampleRate),
      channels_(channels),
      frameCount_(frameCount),
      samples_(static_cast<size_t>(channels) * frameCount) {}

SampleBuffer::SampleBuffer(MediaRef<MediaData> data, const SampleTimingInfo* timing, size_t timingCount,
                           std::optional<SampleAttachmentsArray> attachments)
    : valid_(true), data_(std::move(data)), attachments_(attachments) {
  setTiming(timing, timingCount);
}

SampleBuffer SampleBuffer::video(MediaRef<VideoFrameData> frame, MediaTime pts, MediaTime duration,
                                 std::optional<FrameStatus> status) {
  SampleTimingInfo timing{duration, pts, MediaTime::invalid()};
  std::optional<SampleAttachmentsArray> attachments;
  if (status) attachments = SampleAttachmentsArray{1, SampleAttachments{static_cast<int64_t>(*status)}};
  return SampleBuffer(MediaRef<MediaData>(frame), &timing, 1, attachments);
}

SampleBuffer SampleBuffer::audio(MediaRef<AudioBufferData> pcm, MediaTime pts) {
  MediaTime duration = pcm ? MediaTime::make(pcm->frameCount(), pcm->sampleRate()) : MediaTime::invalid();
  SampleTimingInfo timing{duration, pts, MediaTime::invalid()};
  return SampleBuffer(MediaRef<MediaData>(pcm), &timing, 1);
}

void SampleBuffer::setTiming(const SampleTimingInfo* timing, size_t count) {
  if (timing == nullptr) count = 0;
  timingCount_ = count;
  if (count <= kInlineTimingEntries) {
    extraTiming_.clear();
    for (size_t i = 0; i < count; ++i) inlineTiming_[i] = timing[i];
  } else {
    extraTiming_.assign(timing, timing + count);
  }
}

size_t SampleBuffer::getSampleTimingInfoArray(size_t capacity, SampleTimingInfo* out) const {
  if (out != nullptr) {
    const SampleTimingInfo* entries = timingData();
    for (size_t i = 0; i < capacity && i < timingCount_; ++i) out[i] = entries[i];
  }
  return timingCount_;
}

MediaTime SampleBuffer::presentationTimeStamp() const {
  return timingCount_ == 0 ? MediaTime::invalid() : timingData()[0].presentationTimeStamp;
}

MediaTime SampleBuffer::duration() const {
  if (timingCount_ == 0) return MediaTime::invalid();
  const SampleTimingInfo* entries = timingData();
  MediaTime total = entries[0].duration;
  for (size_t i = 1; i < timingCount_ && total.isValid(); ++i) total = total + entries[i].duration;
  return total.isNumeric() ? total : MediaTime::invalid();
}

const VideoFrameData* SampleBuffer::videoFrame() const {
  if (!data_ || data_->kind() != MediaData::Kind::video) return nullptr;
  return static_cast<const VideoFrameData*>(data_.get());
}

const AudioBufferData* SampleBuffer::audioBuffer() const {
  if (!data_ || data_->kind() != MediaData::Kind::audioFloatInterleaved) return nullptr;
  return static_cast<const AudioBufferData*>(data_.get());
}

SampleBuffer SampleBuffer::copyWithNewTiming(const SampleTimingInfo* timing, size_t count) const {
  if (!valid_) return SampleBuffer();
  SampleBuffer copy(*this);
  copy.setTiming(timing, count);
  return copy;
}

}  // namespace platform
