// The stop: every recording ends here, whatever ended it. The first stop
// proceeds; it fixes the duration and the end time before anything that
// waits, tears the watchers down on the main loop, stops the capture, keeps
// the last frame on screen until the end time, finishes the files, closes
// the logs and either writes metadata.json and "stopped" or removes what the
// recording put into the output directory and writes "cancelled". Then the
// process exits with status 0.
#include "main/EventChannel.h"
#include "media/Retime.h"
#include "platform/Json.h"
#include "platform/Process.h"
#include "recorder/Recorder.h"

#include <algorithm>
#include <fstream>

namespace {

constexpr int32_t kNanosecondTimescale = 1000000000;

// Writes `text` to `path` through a temporary file beside it, renamed over
// `path` once complete, so that a crash never leaves half a document.
void writeWholeFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::path partial = path;
  partial += ".partial";
  {
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    file << text;
    file.flush();
    if (!file) {
      file.close();
      std::error_code ignored;
      std::filesystem::remove(partial, ignored);
      return;  // a failed write is ignored; the host still gets the document
    }
  }
  std::error_code error;
  std::filesystem::rename(partial, path, error);
  if (error) std::filesystem::remove(partial, error);
}

}  // namespace

// The guard is taken when the stop is requested, not when the worker gets to
// it: requests run on a pool, so "stop" then "cancel" could otherwise reach
// the guard in either order and a cancel could delete a recording the host
// had already asked to keep.
void Recorder::stop(const std::string& reason, bool cancel, std::optional<nlohmann::json> notice) {
  platform::CaptureStream* startingStream = nullptr;
  std::optional<StopRequest> runNow;
  {
    std::lock_guard<std::mutex> lock(stateLock_);
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
    double durationMs = 0;
    if (t0) durationMs = std::max(0.0, (now - *t0 - pauseTotal) * 1000);
    stopRequest_ = StopRequest{reason, cancel, durationMs};
    // The warning that explains this stop comes before anything of it, and
    // only while there is a recording to stop.
    if (notice && (phase_ == Phase::starting || phase_ == Phase::recording)) emit(*notice);
    switch (phase_) {
      case Phase::starting:
        // The start runs the stop when it ends; its waits end early.
        startingStream = stream.get();
        break;
      case Phase::recording:
        phase_ = Phase::stopping;
        runNow = stopRequest_;
        break;
      case Phase::stopping:
      case Phase::ended:
      case Phase::failed:
        break;  // the process is already on its way out
    }
  }
  if (startingStream) startingStream->interruptStart();
  if (runNow) {
    auto self = shared_from_this();
    runtime_.workers.async([self, request = *runNow] { self->performStop(request); });
  }
}

void Recorder::performStop(const StopRequest& request) {
  // 4. Watchers, on the main loop where all their handlers run.
  runtime_.mainLoop.postAndWait([this] {
    if (pollTimer) pollTimer->cancel();
    if (diskTimer) diskTimer->cancel();
    if (windowTimer) windowTimer->cancel();
    for (platform::MonitorToken token : monitors) services_.input->removeMonitor(token);
  });

  // What the start made; the start is over, so this is final.
  platform::CaptureStream* capture;
  std::shared_ptr<TrackWriter> videoTrack, systemTrack, microphoneTrack;
  int frameRate;
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    capture = stream.get();
    videoTrack = video;
    systemTrack = sysAudio;
    microphoneTrack = micAudio;
    frameRate = fps;
  }

  // 5. Capture.
  if (capture) capture->stopCapture();  // an error here changes nothing

  // 6. End time.
  const platform::MediaTime endTime =
      platform::MediaTime::fromSeconds(request.durationMs / 1000, kNanosecondTimescale);

  // 7. The last frame lasts until the end time, on the capture queue after
  // every sample already queued. A copy at the end time is added only when it
  // lands at least a frame interval after the last frame: closer, it would
  // crowd the track's time stamps, and the track's end time alone already
  // keeps that frame on screen until the end.
  queue->sync([&] {
    if (!lastVideoSample || !videoTrack) return;
    const platform::MediaTime interval = platform::MediaTime::make(1, std::max(frameRate, 1));
    if (endTime < lastVideoPTS + interval) return;
    std::optional<platform::SampleBuffer> last = retime(*lastVideoSample, lastVideoPTS - endTime);
    if (last) videoTrack->append(*last);
  });

  // 8 to 10. Media files; audio is not cut at the end time.
  bool finished = true;
  if (videoTrack) finished &= videoTrack->finish(endTime > platform::MediaTime::zero() ? std::optional(endTime) : std::nullopt);
  if (systemTrack) finished &= systemTrack->finish(std::nullopt);
  if (microphoneTrack) finished &= microphoneTrack->finish(std::nullopt);

  // 11. Logs.
  if (moves) moves->close();
  if (clicks) clicks->close();
  if (keys) keys->close();

  // 12. Cancel: nothing the recording made stays.
  if (request.cancel) {
    removeRecordingFiles();
    {
      std::lock_guard<std::mutex> lock(stateLock_);
      phase_ = Phase::ended;
    }
    emitFinal({{"event", "cancelled"}});
    platform::exitProcess(0);
  }

  // 13. Metadata, then "stopped".
  const nlohmann::json metadata = metadataDocument(request.reason, request.durationMs, finished);
  if (std::optional<std::string> text = platform::serializePrettyJson(metadata)) {
    writeWholeFile(dir / "metadata.json", *text);
  }
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    phase_ = Phase::ended;
  }
  emitFinal({{"event", "stopped"}, {"reason", request.reason}, {"metadata", metadata}});
  platform::exitProcess(0);
}

void Recorder::removeRecordingFiles() {
  std::error_code ignored;
  auto removeFile = [&](const std::filesystem::path& path) { std::filesystem::remove(path, ignored); };
  removeFile(dir / "mouse-moves.ndjson");
  removeFile(dir / "mouse-clicks.ndjson");
  removeFile(dir / "keystrokes.ndjson");
  if (video) removeFile(dir / "screen.mp4");
  if (sysAudio) removeFile(dir / "system-audio.m4a");
  if (micAudio) removeFile(dir / "microphone.m4a");
  for (const auto& [id, info] : cursorInfo.items()) removeFile(dir / "cursors" / (id + ".png"));
  // Folders go only when this recording made them and they hold nothing
  // else (remove() leaves a folder that is not empty).
  if (cursorsDirCreated_) removeFile(dir / "cursors");
  if (dirCreated_) removeFile(dir);
}

bool Recorder::keystrokesAllowed() const {
  return cfg.captureKeystrokes.value_or(true) && services_.permissions->isProcessTrusted();
}

nlohmann::json Recorder::metadataDocument(const std::string& reason, double durationMs, bool finished) const {
  std::lock_guard<std::mutex> lock(stateLock_);
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
      {"finished", finished},
  };
}
