// The stop: every recording ends here, whatever ended it. The first stop
// proceeds; it fixes the duration and the end time before anything that
// waits, tears the watchers down on the main loop, stops the capture, keeps
// the last frame on screen until the end time, finishes the files, closes
// the logs and either writes metadata.json and "stopped" or removes the
// directory and writes "cancelled". Then the process exits with status 0.
#include "main/EventChannel.h"
#include "media/Retime.h"
#include "platform/Json.h"
#include "platform/Process.h"
#include "recorder/Recorder.h"

#include <fstream>

namespace {
constexpr int32_t kNanosecondTimescale = 1000000000;
}

// The guard is taken when the stop is requested, not when the worker gets to
// it: requests run on a pool, so "stop" then "cancel" could otherwise reach
// the guard in either order and a cancel could delete a recording the host
// had already asked to keep.
void Recorder::stop(const std::string& reason, bool cancel) {
  double durationMs = 0;
  {
    std::lock_guard<std::mutex> lock(clockLock_);
    // 1. Guard: one indivisible test and set.
    if (stopping) return;
    stopping = true;
    // 2. Close an open pause, without an event.
    const double now = hostNow();
    if (pausedAt) {
      pauseTotal += now - *pausedAt;
      pausedAt.reset();
    }
    // 3. Duration, fixed now however long the rest takes.
    if (t0) durationMs = std::max(0.0, (now - *t0 - pauseTotal) * 1000);
  }
  auto self = shared_from_this();
  runtime_.workers.async([self, reason, cancel, durationMs] { self->performStop(reason, cancel, durationMs); });
}

void Recorder::performStop(const std::string& reason, bool cancel, double durationMs) {

  // 4. Watchers, on the main loop where all their handlers run.
  runtime_.mainLoop.postAndWait([this] {
    if (pollTimer) pollTimer->cancel();
    if (diskTimer) diskTimer->cancel();
    if (windowTimer) windowTimer->cancel();
    for (platform::MonitorToken token : monitors) services_.input->removeMonitor(token);
  });

  // 5. Capture.
  platform::CaptureStream* capture;
  {
    std::lock_guard<std::mutex> lock(setupLock_);
    capture = stream.get();
  }
  if (capture) capture->stopCapture();  // an error here changes nothing

  // 6. End time.
  const platform::MediaTime endTime = platform::MediaTime::fromSeconds(durationMs / 1000, kNanosecondTimescale);

  std::shared_ptr<TrackWriter> videoTrack, systemTrack, microphoneTrack;
  {
    std::lock_guard<std::mutex> lock(setupLock_);
    videoTrack = video;
    systemTrack = sysAudio;
    microphoneTrack = micAudio;
  }

  // 7. The last frame lasts until the end time, on the capture queue after
  // every sample already queued.
  queue->sync([&] {
    if (!lastVideoSample || endTime <= lastVideoPTS) return;
    std::optional<platform::SampleBuffer> last = retime(*lastVideoSample, lastVideoPTS - endTime);
    if (!last) return;
    if (videoTrack && videoTrack->started() && videoTrack->writer().status() == platform::WriterStatus::writing &&
        videoTrack->input().isReadyForMoreMediaData()) {
      videoTrack->input().append(*last);
    }
  });

  // 8 to 10. Media files; audio is not cut at the end time.
  if (videoTrack) {
    if (endTime > platform::MediaTime::zero()) {
      videoTrack->finish(endTime);
    } else {
      videoTrack->finish(std::nullopt);
    }
  }
  if (systemTrack && systemTrack->started()) systemTrack->finish(std::nullopt);
  if (microphoneTrack && microphoneTrack->started()) microphoneTrack->finish(std::nullopt);

  // 11. Logs.
  if (moves) moves->close();
  if (clicks) clicks->close();
  if (keys) keys->close();

  // 12. Cancel: nothing of the recording stays.
  if (cancel) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    emit({{"event", "cancelled"}});
    platform::exitProcess(0);
  }

  // 13. Metadata, then "stopped".
  const nlohmann::json metadata = metadataDocument(reason, durationMs);
  if (std::optional<std::string> text = platform::serializePrettyJson(metadata)) {
    std::ofstream file(dir / "metadata.json", std::ios::binary | std::ios::trunc);
    file << *text;  // a failed write is ignored; the host still gets the document
  }
  emit({{"event", "stopped"}, {"reason", reason}, {"metadata", metadata}});
  platform::exitProcess(0);
}

bool Recorder::keystrokesAllowed() const {
  return cfg.captureKeystrokes.value_or(true) && services_.permissions->isProcessTrusted();
}

nlohmann::json Recorder::metadataDocument(const std::string& reason, double durationMs) const {
  std::lock_guard<std::mutex> lock(setupLock_);
  nlohmann::json audioStart = nlohmann::json::object();
  for (const auto& [key, ms] : audioStartMs) audioStart[key] = ms;
  nlohmann::json dropped = nlohmann::json::object();
  for (const auto& [key, count] : droppedAudio) dropped[key] = count;
  const bool hasKeystrokes = keystrokesAllowed();
  return {
      {"version", 1},
      {"mode", cfg.mode},
      {"durationMs", durationMs},
      {"width", static_cast<int64_t>(pixelSize.width)},
      {"height", static_cast<int64_t>(pixelSize.height)},
      {"scale", scale},
      {"fps", fps},
      {"displayRefreshRate", displayRefreshRate},
      {"region",
       {{"x", region.origin.x}, {"y", region.origin.y}, {"width", region.width()}, {"height", region.height()}}},
      {"hasSystemAudio", sysAudio && sysAudio->started()},
      {"hasMicrophone", micAudio && micAudio->started()},
      {"hasKeystrokes", hasKeystrokes},
      {"frames", frames},
      {"startedAt", startedAtUnix * 1000},
      {"audioStartMs", audioStart},
      {"droppedAudioBuffers", dropped},
      {"stopReason", reason},
      {"cursors", cursorInfo},
      {"finished", true},
  };
}
