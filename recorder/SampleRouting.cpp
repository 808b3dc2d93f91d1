// Sample routing, on the capture queue: the first complete frame starts the
// recording; every kept sample is moved onto recording time and appended to
// its track. Nothing is kept before the first complete frame, while paused,
// or once a stop has begun. Never waits: a sample the writer is not ready
// for is dropped.
#include "main/EventChannel.h"
#include "media/Retime.h"
#include "recorder/Recorder.h"

#include <cmath>

namespace {
constexpr int32_t kNanosecondTimescale = 1000000000;
// A still screen sends no new frames, yet the file is cut into pieces that
// survive a crash only as frames arrive: once a second of stillness the
// last frame is written again, so a crash loses at most about a second.
constexpr double kStillFrameRepeatSeconds = 1.0;
}

void Recorder::streamDidOutputSampleBuffer(platform::CaptureStream&, const platform::SampleBuffer& sample,
                                           platform::OutputType type) {
  if (!sample.isValid()) return;
  if (isStopping()) return;
  if (stopIfAWriterFailed()) return;
  switch (type) {
    case platform::OutputType::screen:
      routeVideo(sample);
      break;
    case platform::OutputType::audio:
    case platform::OutputType::microphone:
      routeAudio(sample, type);
      break;
  }
}

void Recorder::routeVideo(const platform::SampleBuffer& sample) {
  // Only complete frames carry a new picture; idle ones only tell the time.
  const auto& attachments = sample.attachments();
  if (!attachments || attachments->count == 0) return;
  if (attachments->first.frameStatus != int64_t{0}) {
    repeatStillFrame(sample);
    return;
  }

  const platform::MediaTime pts = sample.presentationTimeStamp();
  bool firstFrame = false;
  platform::Size size;
  double pointPixelScale = 0;
  ClockState clock;
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    if (stopping) return;  // a stop that began after the check above
    if (!t0) {
      t0 = pts.seconds();
      firstFrame = true;
      size = pixelSize;
      pointPixelScale = scale;
    }
    clock = {t0, pausedAt, pauseTotal, stopping};
  }
  if (firstFrame) {
    if (video) video->start(platform::MediaTime::zero());
    const double wallNow = services_.clock->wallClockNow();
    const double hostTime = hostNow();
    startedAtUnix = wallNow - (hostTime - pts.seconds());
    emit({{"event", "started"},
          {"width", static_cast<int64_t>(size.width)},
          {"height", static_cast<int64_t>(size.height)},
          {"scale", pointPixelScale},
          {"startedAtUnixMs", startedAtUnix * 1000}});
  }

  if (clock.pausedAt) return;
  const auto offset = platform::MediaTime::fromSeconds(*clock.t0 + clock.pauseTotal, kNanosecondTimescale);
  std::optional<platform::SampleBuffer> retimed = retime(sample, offset);
  if (!retimed) return;
  const platform::MediaTime p = retimed->presentationTimeStamp();
  if (p <= lastVideoPTS && frames >= 1) return;  // never write a frame that does not move forward

  if (video) video->append(*retimed);  // refused while the writer is busy: the frame is dropped
  lastVideoSample = std::move(retimed);
  lastVideoPTS = p;
  frames = frames + 1;
}

void Recorder::routeAudio(const platform::SampleBuffer& sample, platform::OutputType type) {
  const ClockState clock = readClock();
  if (!clock.t0) return;  // nothing before the first frame
  if (clock.pausedAt) return;

  const double start = sample.presentationTimeStamp().seconds();
  const double length = sample.duration().seconds();
  const double end = std::isfinite(length) ? start + length : start;
  if (end < *clock.t0) return;  // wholly before the first frame

  const auto offset = platform::MediaTime::fromSeconds(*clock.t0 + clock.pauseTotal, kNanosecondTimescale);
  std::optional<platform::SampleBuffer> retimed = retime(sample, offset);
  if (!retimed) return;

  const bool isSystem = type == platform::OutputType::audio;
  TrackWriter* track = isSystem ? sysAudio.get() : micAudio.get();
  const char* key = isSystem ? "system" : "microphone";
  if (!track) return;
  if (!track->started()) {
    track->start(retimed->presentationTimeStamp());
    audioStartMs[key] = retimed->presentationTimeStamp().seconds() * 1000;
  }
  if (!track->append(*retimed)) droppedAudio[key] = droppedAudio[key] + 1;
}

void Recorder::repeatStillFrame(const platform::SampleBuffer& idle) {
  if (!lastVideoSample || !video) return;
  const ClockState clock = readClock();
  if (!clock.t0 || clock.pausedAt) return;
  const auto offset = platform::MediaTime::fromSeconds(*clock.t0 + clock.pauseTotal, kNanosecondTimescale);
  const platform::MediaTime now = idle.presentationTimeStamp() - offset;
  if (now < lastVideoPTS + platform::MediaTime::fromSeconds(kStillFrameRepeatSeconds, kNanosecondTimescale)) return;
  std::optional<platform::SampleBuffer> again = retime(*lastVideoSample, lastVideoPTS - now);
  if (!again || !video->append(*again)) return;
  // Not a new frame (not counted), but the last one passed to the track.
  lastVideoSample = std::move(again);
  lastVideoPTS = now;
}
