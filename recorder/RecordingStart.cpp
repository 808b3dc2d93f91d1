// The start of a recording: output directory and logs, permission, the
// target (a display, an area of one, or a window), geometry and frame rate,
// the media files and the capture. Every failure ends the process through
// fail() with the start's error; nothing already made is rolled back. A stop
// requested meanwhile waits for the start to end: the start still finds out
// whether the recording could exist at all (its checks are quick), only its
// waits for slow services are cut short, and then the stop runs.
#include "discovery/DisplayGeometry.h"
#include "main/EventChannel.h"
#include "platform/Process.h"
#include "recorder/Recorder.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace {

constexpr const char* kCannotStart = "Cannot start recording: ";
// Frames the capture may have handed on at once, each 12 bits per pixel;
// this pool, not the writer's queue, bounds what waits for the encoder:
// about 50 ms, at least two frames, ride out its uneven pace (3 frames at
// 60 fps; with 2, a busy machine lost about 3% more of the frames at 1080p60),
// plus the frame it is encoding, the last frame kept to be repeated while the
// screen is still, and the one on its way to the writer. The encoder copies
// each frame in as it takes it, and holds no more than the one it encodes.
int captureQueueDepth(int fps) { return 3 + std::clamp((fps * 50 + 999) / 1000, 2, 4); }
constexpr int64_t kNanosecondTimescale = 1000000000;

bool isSet(const std::optional<bool>& flag) { return flag.value_or(false); }

// Pixels for a length in points: the fraction dropped, then made even (the
// encoder's chroma subsampling needs even sizes).
int evenPixels(double points, double scale) {
  double pixels = points * scale;
  if (!(pixels >= 1)) return 0;  // NaN, empty or negative
  if (pixels > 1e9) pixels = 1e9;
  int64_t whole = static_cast<int64_t>(pixels);
  return static_cast<int>(whole / 2 * 2);
}

// The desktop-icon layer: a window below the normal layer. On the Linux
// desktop these are the desktop-type windows that file managers draw the
// icons in, whoever owns them; ordinary windows of the same application are
// on layer 0 and stay visible.
bool isDesktopIconWindow(const platform::CaptureWindow& window) { return window.windowLayer < 0; }

}  // namespace

void Recorder::start() {
  bringUp();
  endStart();
}

void Recorder::failStart(const std::string& message, const std::string& code) {
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    phase_ = Phase::failed;
  }
  fail(message, code);
}

// The start is over and the capture is up (or was given up for a stop): a
// stop requested meanwhile runs now, on this thread.
void Recorder::endStart() {
  std::optional<StopRequest> deferred;
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    if (stopRequest_) {
      phase_ = Phase::stopping;
      deferred = stopRequest_;
    } else {
      phase_ = Phase::recording;
    }
  }
  if (deferred) performStop(*deferred);
}

void Recorder::bringUp() {
  // 1. Directories. What was already there is remembered, so that a cancel
  // removes only what this recording made.
  std::error_code error;
  const std::filesystem::path cursorsDir = dir / "cursors";
  dirCreated_ = !std::filesystem::exists(dir, error);
  cursorsDirCreated_ = !std::filesystem::exists(cursorsDir, error);
  std::filesystem::create_directories(cursorsDir, error);
  if (error || !std::filesystem::is_directory(cursorsDir)) {
    std::string reason = error ? error.message() : "a file is in the way";
    failStart(std::string(kCannotStart) + "the folder " + cursorsDir.string() + " cannot be created (" + reason + ").",
              "startFailed");
  }

  // 2. Input logs, created empty whether or not they will be written.
  {
    auto movesLog = std::make_unique<NDJSON>((dir / "mouse-moves.ndjson").string());
    auto clicksLog = std::make_unique<NDJSON>((dir / "mouse-clicks.ndjson").string());
    auto keysLog = std::make_unique<NDJSON>((dir / "keystrokes.ndjson").string());
    std::lock_guard<std::mutex> lock(stateLock_);
    moves = std::move(movesLog);
    clicks = std::move(clicksLog);
    keys = std::move(keysLog);
  }

  // 3. Permission.
  if (!services_.permissions->preflightScreenCaptureAccess())
    failStart("Screen capture permission is required to record (a part of) the display.", "screenPermission");

  // 4. Shareable content: desktop windows included, on-screen windows only.
  platform::Result<platform::ShareableContent> content = services_.capture->shareableContent(false, true);
  if (!content) failStart(kCannotStart + content.error().description, "startFailed");

  // 5.
  platform::StreamConfiguration configuration;
  platform::ContentFilter filter;

  if (cfg.mode == "window") {
    // 6. One window, by its own contents.
    const platform::CaptureWindow* window = nullptr;
    if (cfg.windowId) {
      for (const auto& candidate : content->windows) {
        if (candidate.windowID == *cfg.windowId) {
          window = &candidate;
          break;
        }
      }
    }
    if (!window) failStart("Cannot record your window. It is not available anymore.", "notAvailableWindow");
    filter = services_.capture->filterForWindow(*window);
    {
      std::lock_guard<std::mutex> lock(stateLock_);
      region = window->frame;
      scale = static_cast<double>(filter.pointPixelScale);
    }
    startWindowTracking(*cfg.windowId);
  } else {
    // 7 and 8. A display, or an area of it.
    startDisplayOrArea(*content, configuration, filter);
  }

  platform::Rect recorded;
  double pointPixelScale;
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    recorded = region;
    pointPixelScale = scale;
  }
  // An area outside the display leaves nothing to record; it must not reach
  // the encoder as a 0 × 0 video.
  if (recorded.isNull() || evenPixels(recorded.width(), pointPixelScale) == 0 ||
      evenPixels(recorded.height(), pointPixelScale) == 0) {
    failStart(std::string(kCannotStart) + "the recorded area is empty (it does not overlap the display).",
              "startFailed");
  }

  // 9. Frame rate: the display's refresh rate, or a lower requested rate.
  const int rate = refreshRate(*services_.windowing, recorded);
  const int chosenFps = (cfg.fps && *cfg.fps >= 1) ? static_cast<int>(std::min<int64_t>(*cfg.fps, rate)) : rate;

  // 10. Pixel size.
  const int w = evenPixels(recorded.width(), pointPixelScale);
  const int h = evenPixels(recorded.height(), pointPixelScale);
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    fps = chosenFps;
    displayRefreshRate = rate;
    pixelSize = {static_cast<double>(w), static_cast<double>(h)};
  }
  configuration.width = w;
  configuration.height = h;
  configuration.showsCursor = false;  // the cursor is logged, not drawn

  // 11. Timing and format.
  configuration.minimumFrameInterval = platform::MediaTime::make(1, chosenFps);
  configuration.queueDepth = captureQueueDepth(chosenFps);
  // 4:2:0 from the capture on: converted once, straight from the grab.
  configuration.pixelFormat = static_cast<uint32_t>(platform::PixelFormat::i420);
  configuration.colorSpaceName = "sRGB";

  // 12. Audio capture.
  if (isSet(cfg.systemAudio)) {
    configuration.capturesAudio = true;
    configuration.excludesCurrentProcessAudio = true;
    configuration.sampleRate = platform::kAudioSampleRate;
    configuration.channelCount = platform::kAudioChannels;
  }
  if (isSet(cfg.microphone)) {
    configuration.captureMicrophone = true;
    if (cfg.microphoneId) configuration.microphoneCaptureDeviceID = cfg.microphoneId;
  }

  // 13 to 15. Media files.
  auto makeTrack = [&](const char* name, platform::FileType type, const platform::OutputSettings& settings,
                       platform::MediaType mediaType) {
    auto input = services_.media->makeInput(mediaType, settings);
    auto track = TrackWriter::make(*services_.media, (dir / name).string(), type, input);
    if (!track) failStart(kCannotStart + track.error().description, "startFailed");
    return track.value();
  };
  auto videoTrack = makeTrack("screen.mp4", platform::FileType::mpeg4, videoSettings(w, h, chosenFps),
                              platform::MediaType::video);
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    video = videoTrack;
  }
  if (isSet(cfg.systemAudio)) {
    auto track = makeTrack("system-audio.m4a", platform::FileType::appleM4A, audioSettings(), platform::MediaType::audio);
    std::lock_guard<std::mutex> lock(stateLock_);
    sysAudio = track;
  }
  if (isSet(cfg.microphone)) {
    auto track = makeTrack("microphone.m4a", platform::FileType::appleM4A, audioSettings(), platform::MediaType::audio);
    std::lock_guard<std::mutex> lock(stateLock_);
    micAudio = track;
  }

  // 16 and 17. The stream, with this recorder as delegate and output.
  std::unique_ptr<platform::CaptureStream> captureStream =
      services_.capture->makeStream(filter, configuration, *this);
  if (auto failure = captureStream->addStreamOutput(*this, platform::OutputType::screen, *queue))
    failStart(kCannotStart + failure->description, "startFailed");
  if (isSet(cfg.systemAudio)) {
    if (auto failure = captureStream->addStreamOutput(*this, platform::OutputType::audio, *queue))
      failStart(kCannotStart + failure->description, "startFailed");
  }
  if (isSet(cfg.microphone)) {
    if (auto failure = captureStream->addStreamOutput(*this, platform::OutputType::microphone, *queue))
      failStart(kCannotStart + failure->description, "startFailed");
  }
  platform::CaptureStream* started = captureStream.get();
  bool stopRequested;
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    stream = std::move(captureStream);
    stopRequested = stopping;
  }
  // A stop that came before the stream was there could not reach it.
  if (stopRequested) started->interruptStart();

  // 18. Capture. A failure the stream reports is the start's, unless the
  // stream only gave up waiting because a stop arrived.
  if (auto failure = started->startCapture()) {
    if (failure->permissionDenied && !(failure->interrupted && isStopping()))
      failStart("Screen capture permission is required to record (a part of) the display. " + failure->description,
                "screenPermission");
    if (!(failure->interrupted && isStopping())) failStart(kCannotStart + failure->description, "startFailed");
  }

  // 19. Input capture, on the main loop (it does nothing once a stop began).
  auto self = shared_from_this();
  runtime_.mainLoop.post([self] { self->startInputCapture(); });
}

void Recorder::startDisplayOrArea(const platform::ShareableContent& content, platform::StreamConfiguration& configuration,
                                  platform::ContentFilter& filter) {
  // 7.1 and 7.2: the display asked for, else the first one.
  const uint32_t target = cfg.displayId ? *cfg.displayId : services_.windowing->mainDisplayID();
  const platform::CaptureDisplay* display = nullptr;
  for (const auto& candidate : content.displays) {
    if (candidate.displayID == target) {
      display = &candidate;
      break;
    }
  }
  if (!display && !content.displays.empty()) display = &content.displays.front();
  if (!display)
    failStart("Cannot record your display. If this error persists, try rebooting your computer.", "noAvailableDisplay");

  // 7.3. Left out: our own windows, the listed applications' windows, and
  // the desktop-icon layer when asked.
  const std::set<std::string> excludedBundles = cfg.excludeBundleIds
                                                    ? std::set<std::string>(cfg.excludeBundleIds->begin(),
                                                                            cfg.excludeBundleIds->end())
                                                    : std::set<std::string>();
  const int32_t ownProcess = platform::currentProcessID();
  std::vector<platform::CaptureWindow> excluded;
  for (const auto& window : content.windows) {
    if (!window.owningApplication) continue;
    const auto& app = *window.owningApplication;
    if (app.processID == ownProcess || excludedBundles.count(app.bundleIdentifier) ||
        (isSet(cfg.hideDesktopIcons) && isDesktopIconWindow(window))) {
      excluded.push_back(window);
    }
  }

  // 7.4 to 7.6.
  filter = services_.capture->filterForDisplay(*display, std::move(excluded));
  platform::Rect recorded = display->frame;

  // 8. An area, clipped to the display.
  if (cfg.mode == "area" && cfg.area) {
    const platform::Rect& f = display->frame;
    const Area& a = *cfg.area;
    platform::Rect local = platform::intersection(platform::Rect(a.x - f.origin.x, a.y - f.origin.y, a.width, a.height),
                                                  platform::Rect(0, 0, f.width(), f.height()));
    configuration.sourceRect = local;
    recorded = platform::Rect(local.origin.x + f.origin.x, local.origin.y + f.origin.y, local.width(), local.height());
  }

  std::lock_guard<std::mutex> lock(stateLock_);
  scale = static_cast<double>(filter.pointPixelScale);
  region = recorded;
}
