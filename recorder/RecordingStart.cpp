// The start of a recording: output directory and logs, permission, the
// target (a display, an area of one, or a window), geometry and frame rate,
// the media files and the capture. Every failure ends the process through
// fail(); nothing already made is rolled back.
#include "discovery/DisplayGeometry.h"
#include "main/EventChannel.h"
#include "platform/Process.h"
#include "recorder/Recorder.h"

#include <cmath>
#include <set>

namespace {

constexpr const char* kCannotStart = "Cannot start recording: ";
constexpr int kQueueDepth = 8;
constexpr int kAudioSampleRate = 48000;
constexpr int kAudioChannels = 2;
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
  // 1. Directories.
  std::error_code error;
  std::filesystem::create_directories(dir / "cursors", error);
  if (error || !std::filesystem::is_directory(dir / "cursors")) {
    std::string reason = error ? error.message() : "a file is in the way";
    fail(std::string(kCannotStart) + "the folder " + (dir / "cursors").string() + " cannot be created (" + reason + ").",
         "startFailed");
  }

  // 2. Input logs, created empty whether or not they will be written.
  moves = std::make_unique<NDJSON>((dir / "mouse-moves.ndjson").string());
  clicks = std::make_unique<NDJSON>((dir / "mouse-clicks.ndjson").string());
  keys = std::make_unique<NDJSON>((dir / "keystrokes.ndjson").string());

  // 3. Permission.
  if (!services_.permissions->preflightScreenCaptureAccess())
    fail("Screen capture permission is required to record (a part of) the display.", "screenPermission");

  // 4. Shareable content: desktop windows included, on-screen windows only.
  platform::Result<platform::ShareableContent> content = services_.capture->shareableContent(false, true);
  if (!content) fail(kCannotStart + content.error().description, "startFailed");

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
    if (!window) fail("Cannot record your window. It is not available anymore.", "notAvailableWindow");
    filter = services_.capture->filterForWindow(*window);
    {
      std::lock_guard<std::mutex> lock(setupLock_);
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
    std::lock_guard<std::mutex> lock(setupLock_);
    recorded = region;
    pointPixelScale = scale;
  }
  // An area outside the display leaves nothing to record; it must not reach
  // the encoder as a 0 × 0 video.
  if (recorded.isNull() || evenPixels(recorded.width(), pointPixelScale) == 0 ||
      evenPixels(recorded.height(), pointPixelScale) == 0) {
    fail(std::string(kCannotStart) + "the recorded area is empty (it does not overlap the display).", "startFailed");
  }

  // 9. Frame rate: the display's refresh rate, or a lower requested rate.
  const int rate = refreshRate(*services_.windowing, recorded);
  const int chosenFps = (cfg.fps && *cfg.fps >= 1) ? static_cast<int>(std::min<int64_t>(*cfg.fps, rate)) : rate;

  // 10. Pixel size.
  const int w = evenPixels(recorded.width(), pointPixelScale);
  const int h = evenPixels(recorded.height(), pointPixelScale);
  {
    std::lock_guard<std::mutex> lock(setupLock_);
    fps = chosenFps;
    displayRefreshRate = rate;
    pixelSize = {static_cast<double>(w), static_cast<double>(h)};
  }
  configuration.width = w;
  configuration.height = h;
  configuration.showsCursor = false;  // the cursor is logged, not drawn

  // 11. Timing and format.
  configuration.minimumFrameInterval = platform::MediaTime::make(1, chosenFps);
  configuration.queueDepth = kQueueDepth;
  configuration.pixelFormat = 0x42475241;  // "BGRA"
  configuration.colorSpaceName = "sRGB";

  // 12. Audio capture.
  if (isSet(cfg.systemAudio)) {
    configuration.capturesAudio = true;
    configuration.excludesCurrentProcessAudio = true;
    configuration.sampleRate = kAudioSampleRate;
    configuration.channelCount = kAudioChannels;
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
    if (!track) fail(kCannotStart + track.error().description, "startFailed");
    return track.value();
  };
  auto videoTrack = makeTrack("screen.mp4", platform::FileType::mpeg4, videoSettings(w, h, chosenFps),
                              platform::MediaType::video);
  {
    std::lock_guard<std::mutex> lock(setupLock_);
    video = videoTrack;
  }
  if (isSet(cfg.systemAudio)) {
    auto track = makeTrack("system-audio.m4a", platform::FileType::appleM4A, audioSettings(), platform::MediaType::audio);
    std::lock_guard<std::mutex> lock(setupLock_);
    sysAudio = track;
  }
  if (isSet(cfg.microphone)) {
    auto track = makeTrack("microphone.m4a", platform::FileType::appleM4A, audioSettings(), platform::MediaType::audio);
    std::lock_guard<std::mutex> lock(setupLock_);
    micAudio = track;
  }

  // 16 and 17. The stream, with this recorder as delegate and output.
  std::unique_ptr<platform::CaptureStream> captureStream =
      services_.capture->makeStream(filter, configuration, *this);
  if (auto failure = captureStream->addStreamOutput(*this, platform::OutputType::screen, *queue))
    fail(kCannotStart + failure->description, "startFailed");
  if (isSet(cfg.systemAudio)) {
    if (auto failure = captureStream->addStreamOutput(*this, platform::OutputType::audio, *queue))
      fail(kCannotStart + failure->description, "startFailed");
  }
  if (isSet(cfg.microphone)) {
    if (auto failure = captureStream->addStreamOutput(*this, platform::OutputType::microphone, *queue))
      fail(kCannotStart + failure->description, "startFailed");
  }
  platform::CaptureStream* started = captureStream.get();
  {
    std::lock_guard<std::mutex> lock(setupLock_);
    stream = std::move(captureStream);
  }

  // 18. Capture.
  if (auto failure = started->startCapture()) fail(kCannotStart + failure->description, "startFailed");

  // 19. Input capture, on the main loop.
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
    fail("Cannot record your display. If this error persists, try rebooting your computer.", "noAvailableDisplay");

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

  std::lock_guard<std::mutex> lock(setupLock_);
  scale = static_cast<double>(filter.pointPixelScale);
  region = recorded;
}
