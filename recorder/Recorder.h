// The one recording object of a `record` run: its configuration, the capture
// stream and track writers, the recording clock, the input logs and cursor
// catalogue, the watchers (timers and monitors) and the stop.
//
// Threads (see each method): the capture queue `queue` runs every sample
// callback and the stop's last-frame step; the main loop runs input capture,
// the timers and the monitors' handlers; the control thread runs pause() and
// resume(); the worker pool runs start() and every stop.
//
// Every field says next to it who may touch it: `stateLock_` (one small lock,
// held only to read or update, never across a wait), or the one thread or
// queue that owns it. The start and the stop never run at the same time: a
// stop requested while the start runs is remembered and run by the start
// when it ends, so what the start makes is the stop's once the start is over.
//
// Lifecycle (phase_, under stateLock_), and the one final event each way out
// writes:
//   starting  --start fails-------------------------> failed   "error", exit 1
//   starting  --capture up, no stop requested-------> recording
//   starting  --capture up or given up, stop asked--> stopping
//   recording --stop requested----------------------> stopping
//   stopping  --files finished----------------------> ended    "stopped" or
//                                                              "cancelled", exit 0
// A start failure found before the capture is up is reported even when a
// stop was requested meanwhile: the recording never existed. Once a stop has
// begun (`stopping`), no warning, "paused" or "resumed" is written.
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

// The warning that comes before a stop for lack of disk space.
nlohmann::json lowDiskSpaceWarning();

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
  // while paused, once a stop has fixed the duration (so no log record lies
  // beyond it), or when negative.
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
  // the rest as an operation on the worker pool (or, while the recording is
  // still starting, when the start ends), ending the process with status 0.
  // Every later request does nothing. `notice`, when given, is the warning
  // that explains the stop: written before anything of the stop, and only
  // when this request is the one that proceeds.
  void stop(const std::string& reason, bool cancel, std::optional<nlohmann::json> notice = std::nullopt);

  // ---- stream failure (a thread of the capture service) --------------------
  void streamDidStopWithError(platform::CaptureStream& stream, const platform::Error& error) override;
  // ---- media file failure (capture queue) ----------------------------------
  // A file that can no longer be written ends the recording the same way:
  // a warning, then the ordinary stop. True when one has failed.
  bool stopIfAWriterFailed();

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

  enum class Phase { starting, recording, stopping, ended, failed };
  struct ClockState {
    std::optional<double> t0;
    std::optional<double> pausedAt;
    double pauseTotal = 0;
    bool stopping = false;
  };
  ClockState readClock() const;
  static std::optional<double> relMs(const ClockState& clock, double t);

  // The stop the first request asked for, fixed when it was made.
  struct StopRequest {
    std::string reason;
    bool cancel = false;
    double durationMs = 0;
  };
  // Steps of the stop, run on a worker thread by the first stop.
  void performStop(const StopRequest& request);
  nlohmann::json metadataDocument(const std::string& reason, double durationMs, bool finished) const;
  // Removes what this recording put into the output directory, and the
  // directory itself when the recording created it.
  void removeRecordingFiles();
  // Steps of the start.
  void bringUp();
  [[noreturn]] void failStart(const std::string& message, const std::string& code);
  void endStart();
  void startDisplayOrArea(const platform::ShareableContent& content, platform::StreamConfiguration& configuration,
                          platform::ContentFilter& filter);
  void routeVideo(const platform::SampleBuffer& sample);
  void repeatStillFrame(const platform::SampleBuffer& idle);
  void routeAudio(const platform::SampleBuffer& sample, platform::OutputType type);
  // Keystrokes are wanted (the option is absent or true) and allowed; the
  // permission is consulted only when the option allows them.
  bool keystrokesAllowed() const;

  platform::Services services_;
  RecorderRuntime runtime_;
  // Guards the fields marked "stateLock_". Taken after no other lock of the
  // recorder; the event channel's outLock may be taken while holding it, so
  // that an event and the state change it reports stay together.
  mutable std::mutex stateLock_;
  Phase phase_ = Phase::starting;     // stateLock_
  std::optional<StopRequest> stopRequest_;  // stateLock_; set once, by the first stop request

  // What the start found in the output directory before it wrote anything:
  // a cancel removes only what the recording added. Written by the start,
  // read by the stop, which never runs beside it.
  bool dirCreated_ = false;
  bool cursorsDirCreated_ = false;

  // ---- the recorder's fields, in declaration order -------------------------
  // Set once by the start before the capture starts (so before any sample,
  // watcher or stop can read them), never reassigned: cfg, dir, queue and
  // the start's products below. The stop reads the products under stateLock_.
  RecordConfig cfg;
  std::filesystem::path dir;
  std::unique_ptr<platform::CaptureStream> stream;  // stateLock_ (set once)
  std::shared_ptr<TrackWriter> video;               // stateLock_ (set once); appended to on `queue`
  std::shared_ptr<TrackWriter> sysAudio;            // stateLock_ (set once); appended to on `queue`
  std::shared_ptr<TrackWriter> micAudio;            // stateLock_ (set once); appended to on `queue`
  std::unique_ptr<platform::SerialQueue> queue;
  std::optional<double> t0;        // stateLock_
  std::optional<double> pausedAt;  // stateLock_
  double pauseTotal = 0;           // stateLock_
  std::optional<platform::SampleBuffer> lastVideoSample;                 // `queue`
  platform::MediaTime lastVideoPTS = platform::MediaTime::zero();        // `queue`
  int64_t frames = 0;                                                   // `queue`
  platform::Rect region;       // stateLock_
  double scale = 2.0;          // stateLock_
  platform::Size pixelSize;    // stateLock_
  int fps = 60;                // stateLock_
  int displayRefreshRate = 60;  // stateLock_
  std::unique_ptr<NDJSON> moves;   // stateLock_ (set once); written on the main loop, closed by the stop
  std::unique_ptr<NDJSON> clicks;  // stateLock_ (set once); written on the main loop, closed by the stop
  std::unique_ptr<NDJSON> keys;    // stateLock_ (set once); written on the main loop, closed by the stop
  std::map<int64_t, std::string> cursorHashes;              // main loop
  nlohmann::json cursorInfo = nlohmann::json::object();     // main loop; the stop reads it after the watchers are down
  platform::Point lastMouse{-1, -1};                        // main loop
  std::string lastCursorId;                                 // main loop
  std::vector<platform::MonitorToken> monitors;             // main loop
  std::unique_ptr<platform::RepeatingTimer> pollTimer;      // main loop
  std::unique_ptr<platform::RepeatingTimer> diskTimer;      // main loop
  std::unique_ptr<platform::RepeatingTimer> windowTimer;    // main loop
  bool stopping = false;  // stateLock_
  double startedAtUnix = 0;                       // `queue` (after construction)
  std::map<std::string, double> audioStartMs;     // `queue`
  std::map<std::string, int64_t> droppedAudio;    // `queue`

  // ---- cursor catalogue fast path (main loop) ------------------------------
  // The cursor serial last seen and the identifier it gave, so that a tick
  // that sees an unchanged cursor does no hashing at all.
  std::optional<uint64_t> cursorSerial_;
  std::string cursorSerialId_;
};
