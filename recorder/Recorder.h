// The one recording object of a `record` run: its configuration, the capture
// stream and track writers, the recording clock, the input logs and cursor
// catalogue, the watchers (timers and monitors) and the stop.
//
// Threads (see each method): the capture queue `queue` runs every sample
// callback and the stop's last-frame step; the main loop runs input capture,
// the timers and the monitors' handlers; the control thread runs pause() and
// resume(); the worker pool runs start() and every stop.
//
// The recording clock fields (t0, pausedAt, pauseTotal) and `stopping` are
// shared by all of those threads and guarded by one small lock, `clockLock_`,
// that is held only for reading or updating them (never across I/O).
// Everything of input capture (logs, cursor catalogue, lastMouse, region
// updates) happens on the main loop and needs no lock.
#pragma once

#include "config/RecordConfig.h"
#include "input/NDJSON.h"
#include "media/TrackWriter.h"
#include "platform/Geometry.h"
#include "platform/InputEvents.h"
#include "platform/MediaTime.h"
#include "platform/Platform.h"
#include "platform/RunLoop.h"
#include "platform/ScreenCapture.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Where a recorder runs: the main loop and the pool of asynchronous
// operations, both owned by the process.
struct RecorderRuntime {
  platform::MainLoop& mainLoop;
  platform::WorkerPool& workers;
};

// round(x × 100) / 100, halves away from zero, in double precision.
double precise(double x);

class Recorder final : public platform::StreamOutput,
                       public platform::StreamDelegate,
                       public std::enable_shared_from_this<Recorder> {
 public:
  // Creates the recorder in its initial state; touches neither the screen
  // nor the disk.
  static std::shared_ptr<Recorder> make(RecordConfig cfg, platform::Services services, RecorderRuntime runtime);
  ~Recorder() override;

  // ---- clock -------------------------------------------------------------
  double hostNow() const;
  bool isPaused() const;
  // Recording milliseconds of host time t, or nothing before the first frame,
  // while paused, or when negative.
  std::optional<double> relMs(double t) const;

  // ---- start (worker pool) -------------------------------------------------
  // Brings the recording up, or ends the process through fail().
  void start();

  // ---- samples (capture queue) ---------------------------------------------
  void streamDidOutputSampleBuffer(platform::CaptureStream& stream, const platform::SampleBuffer& sample,
                                   platform::OutputType type) override;

  // ---- pause and resume (control thread) -----------------------------------
  void pause();
  void resume();

  // ---- stop (any thread) ---------------------------------------------------
  // Requests the stop and returns at once. The first request, in the order
  // the requests are made, proceeds: it fixes the duration at once and runs
  // the rest as an operation on the worker pool, ending the process with
  // status 0. Every later request does nothing.
  void stop(const std::string& reason, bool cancel);

  // ---- stream failure (a thread of the capture service) --------------------
  void streamDidStopWithError(platform::CaptureStream& stream, const platform::Error& error) override;

  // ---- watchers (main loop) --------------------------------------------------
  void startWindowTracking(uint32_t windowId);
  void windowTrackingTick(uint32_t windowId);
  void diskCheck();

  // ---- input capture (main loop) -------------------------------------------
  void startInputCapture();
  void pollTick();
  platform::Point mouseGlobalTopLeft();
  platform::Point toRegion(const platform::Point& p) const;
  void handleClick(const platform::MouseEvent& event);
  void handleKey(const platform::KeyEvent& event);
  std::string currentCursorId();

  // ---- read access for tests and the front end -----------------------------
  const RecordConfig& config() const { return cfg; }
  const std::filesystem::path& directory() const { return dir; }
  int64_t frameCount() const { return frames; }
  platform::Rect currentRegion() const;
  std::optional<double> firstFrameTime() const;
  double pausedTotal() const;
  bool isStopping() const;

 private:
  friend class RecorderTestAccess;  // tests read and set fields directly
  Recorder(RecordConfig cfg, platform::Services services, RecorderRuntime runtime);

  struct ClockState {
    std::optional<double> t0;
    std::optional<double> pausedAt;
    double pauseTotal = 0;
    bool stopping = false;
  };
  ClockState readClock() const;
  static std::optional<double> relMs(const ClockState& clock, double t);

  // Steps of the stop, run on a worker thread by the first stop.
  void performStop(const std::string& reason, bool cancel, double durationMs);
  nlohmann::json metadataDocument(const std::string& reason, double durationMs) const;
  // Steps of the start.
  void startDisplayOrArea(const platform::ShareableContent& content, platform::StreamConfiguration& configuration,
                          platform::ContentFilter& filter);
  void routeVideo(const platform::SampleBuffer& sample);
  void routeAudio(const platform::SampleBuffer& sample, platform::OutputType type);
  // Keystrokes are wanted (the option is absent or true) and allowed; the
  // permission is consulted only when the option allows them.
  bool keystrokesAllowed() const;

  platform::Services services_;
  RecorderRuntime runtime_;
  mutable std::mutex clockLock_;  // guards t0, pausedAt, pauseTotal, stopping
  // Guards what start() sets up (stream, writers, geometry) against a stop
  // that begins while the start still runs.
  mutable std::mutex setupLock_;
  std::mutex pauseOrder_;         // keeps each pause/resume with its event in order

  // ---- the recorder's fields, in declaration order -------------------------
  RecordConfig cfg;
  std::filesystem::path dir;
  std::unique_ptr<platform::CaptureStream> stream;
  std::shared_ptr<TrackWriter> video;
  std::shared_ptr<TrackWriter> sysAudio;
  std::shared_ptr<TrackWriter> micAudio;
  std::unique_ptr<platform::SerialQueue> queue;
  std::optional<double> t0;        // clockLock_
  std::optional<double> pausedAt;  // clockLock_
  double pauseTotal = 0;           // clockLock_
  std::optional<platform::SampleBuffer> lastVideoSample;
  platform::MediaTime lastVideoPTS = platform::MediaTime::zero();
  int64_t frames = 0;
  platform::Rect region;
  double scale = 2.0;
  platform::Size pixelSize;
  int fps = 60;
  int displayRefreshRate = 60;
  std::unique_ptr<NDJSON> moves;
  std::unique_ptr<NDJSON> clicks;
  std::unique_ptr<NDJSON> keys;
  std::map<int64_t, std::string> cursorHashes;
  nlohmann::json cursorInfo = nlohmann::json::object();
  platform::Point lastMouse{-1, -1};
  std::string lastCursorId;
  std::vector<platform::MonitorToken> monitors;
  std::unique_ptr<platform::RepeatingTimer> pollTimer;
  std::unique_ptr<platform::RepeatingTimer> diskTimer;
  std::unique_ptr<platform::RepeatingTimer> windowTimer;
  bool stopping = false;  // clockLock_
  double startedAtUnix = 0;
  std::map<std::string, double> audioStartMs;
  std::map<std::string, int64_t> droppedAudio;

  // ---- cursor catalogue fast path (main loop) ------------------------------
  // The cursor serial last seen and the identifier it gave, so that a tick
  // that sees an unchanged cursor does no hashing at all.
  std::optional<uint64_t> cursorSerial_;
  std::string cursorSerialId_;
};
