// The test doubles of the platform services, one per service, scripted by the
// test: a settable clock, a screen list, shareable content, a capture stream
// that delivers the samples the test chooses, permissions, volume capacity
// and cursor images, input monitors and the cursor. Media writing uses the
// real writers, so recordings produce real files (the media tests' writer
// double is in RecordingMediaWriter.h).
//
// A scenario runs a whole `record` process in a forked child: the agent's
// real bring-up (configuration, recorder, control loop, main loop) with these
// services. The script runs on its own thread in the child once the capture
// has started; it delivers samples, moves the clock and writes control lines.
// The parent sees what a host sees: the event lines, the exit status and the
// files; anything the child writes to standard error fails the test.
#pragma once

#include "platform/Platform.h"
#include "support/HostProcess.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class Recorder;

namespace testing_support {

class ScriptedClock final : public platform::Clock {
 public:
  double hostNow() const override { return host_.load(); }
  double wallClockNow() const override { return wall_.load(); }
  void set(double host) { host_ = host; }
  void setWall(double wall) { wall_ = wall; }

 private:
  std::atomic<double> host_{1000.0};
  std::atomic<double> wall_{1.7e9};
};

class ScriptedWindowing final : public platform::WindowingService {
 public:
  std::vector<platform::Screen> screenList;
  uint32_t mainDisplay = 1;
  std::map<uint32_t, platform::Rect> windowFrames;  // global top-left
  platform::Point pointer;                          // screen space
  mutable std::mutex lock;
  std::atomic<int> windowBoundsQueries{0};

  std::vector<platform::Screen> screens() override;
  std::optional<double> displayModeRefreshRate(uint32_t) override { return 60; }
  uint32_t mainDisplayID() override { return mainDisplay; }
  std::optional<platform::Rect> windowBounds(uint32_t windowID) override;
  platform::Point mouseLocation() override;
  void becomeBackgroundApplication() override {}
};

class ScriptedStream;

class ScriptedCapture final : public platform::ScreenCaptureService {
 public:
  std::optional<platform::Error> contentError;
  std::chrono::milliseconds contentDelay{0};  // how long the content takes to come
  platform::ShareableContent content;
  float pointPixelScale = 1.0f;
  std::optional<platform::Error> startError;
  // startCapture() waits until interruptStart() (a stop) ends the wait.
  bool startWaitsForInterrupt = false;
  std::optional<platform::Error> addOutputError;

  // What the recorder asked for.
  std::optional<platform::ContentFilter> filter;
  std::optional<platform::StreamConfiguration> configuration;
  ScriptedStream* stream = nullptr;

  platform::Result<platform::ShareableContent> shareableContent(bool, bool) override;
  platform::ContentFilter filterForWindow(const platform::CaptureWindow& window) override;
  platform::ContentFilter filterForDisplay(const platform::CaptureDisplay& display,
                                           std::vector<platform::CaptureWindow> excluding) override;
  std::unique_ptr<platform::CaptureStream> makeStream(const platform::ContentFilter& filter,
                                                      const platform::StreamConfiguration& configuration,
                                                      platform::StreamDelegate& delegate) override;

  // Waits until the capture has started (for the script thread).
  bool waitUntilStarted(std::chrono::milliseconds timeout);
  void markStarted();

 private:
  std::mutex startedLock_;
  std::condition_variable startedChanged_;
  bool started_ = false;
};

class ScriptedStream final : public platform::CaptureStream {
 public:
  ScriptedStream(ScriptedCapture& owner, platform::StreamDelegate& delegate) : owner_(owner), delegate_(delegate) {}
  std::optional<platform::Error> addStreamOutput(platform::StreamOutput& output, platform::OutputType type,
                                                 platform::SerialQueue& queue) override;
  std::optional<platform::Error> startCapture() override;
  std::optional<platform::Error> stopCapture() override;
  void interruptStart() override;

  // Delivers a sample to the output of its type on the capture queue and
  // waits until the recorder has handled it.
  void deliver(const platform::SampleBuffer& sample, platform::OutputType type);
  // Reports a failure as the capture service would, from its own thread.
  void failWith(const std::string& description);

  // The output added for `type` (the recorder), or null.
  platform::StreamOutput* output(platform::OutputType type) const;

  std::vector<platform::OutputType> outputTypes;
  std::atomic<bool> stopped{false};

 private:
  ScriptedCapture& owner_;
  platform::StreamDelegate& delegate_;
  std::map<platform::OutputType, platform::StreamOutput*> outputs_;
  platform::SerialQueue* queue_ = nullptr;
  std::mutex interruptLock_;
  std::condition_variable interruptChanged_;
  bool interrupted_ = false;  // interruptLock_
};

// Permissions as the test sets them; counts how often accessibility trust
// is asked for.
class ScriptedPermissions final : public platform::PermissionService {
 public:
  std::atomic<bool> screen{true};
  std::atomic<bool> trusted{true};
  std::atomic<int> trustQueries{0};
  bool preflightScreenCaptureAccess() override { return screen; }
  void requestScreenCaptureAccess() override {}
  bool isProcessTrusted() override {
    ++trustQueries;
    return trusted;
  }
  void promptForAccessibilityTrust() override {}
  int microphoneAuthorizationStatus() override { return platform::kAuthorizationStatusAuthorized; }
  void requestMicrophoneAccess(std::function<void(bool)> completion) override { completion(true); }
};

// Volume capacity as the test sets it, and a PNG "encoder" that writes an
// image's sizes and pixels (so a test can tell which image a file holds) and
// fails while `failures` is above zero.
class ScriptedFiles final : public platform::FileService {
 public:
  std::atomic<int64_t> available{int64_t{500} * 1000 * 1000 * 1000};
  std::atomic<bool> readFails{false};
  std::atomic<int> failures{0};
  std::atomic<int> encoded{0};
  std::optional<platform::VolumeCapacity> volumeCapacity(const std::string&) override;
  std::optional<std::vector<uint8_t>> encodePNG(const platform::CursorImage& image) override;
  static std::vector<uint8_t> bytesOf(const platform::CursorImage& image);
};

// Input monitors and a cursor the test shows. Monitors are installed and
// removed on the main loop, where the test (or the agent's loop) runs them;
// `refuseNext` refuses that many of the next monitors. The cursor carries
// serials as the system gives them: a new serial for every cursor shown, and
// `unchanged` when the caller already saw it.
class ScriptedInput final : public platform::InputEventService {
 public:
  int refuseNext = 0;
  std::vector<std::string> installed;  // "mouse" / "key", in order
  std::vector<platform::MonitorToken> removed;
  std::function<void(const platform::MouseEvent&)> mouseHandler;
  std::function<void(const platform::KeyEvent&)> keyHandler;

  platform::MonitorToken addGlobalMouseMonitor(platform::MainLoop&,
                                               std::function<void(const platform::MouseEvent&)> handler) override;
  platform::MonitorToken addGlobalKeyMonitor(platform::MainLoop&,
                                             std::function<void(const platform::KeyEvent&)> handler) override;
  void removeMonitor(platform::MonitorToken token) override { removed.push_back(token); }

  // Shows `image` (or no readable cursor), from any thread.
  void show(std::optional<platform::CursorImage> image);
  // How many queries were answered with pixels.
  int imagesServed() const;
  CursorQuery currentCursor(std::optional<uint64_t> lastSerial) override;

 private:
  mutable std::mutex cursorLock_;  // guards shown_, serial_, imagesServed_
  std::optional<platform::CursorImage> shown_;
  uint64_t serial_ = 0;
  int imagesServed_ = 0;
};

class ScriptedAudioDevices final : public platform::AudioDeviceService {
 public:
  std::vector<platform::AudioInputDevice> microphones() override { return {}; }
  std::optional<std::string> defaultMicrophoneID() override { return std::nullopt; }
};

// Everything a scenario's script can reach, in the child.
struct ScriptContext {
  ScriptedClock& clock;
  ScriptedCapture& capture;
  ScriptedWindowing& windowing;
  ScriptedFiles& files;
  ScriptedStream& stream() { return *capture.stream; }
  Recorder& recorder();
  // Writes a control line to the agent's standard input.
  void control(const std::string& line);
  // Ends the agent's standard input.
  void endInput();
  // Waits (bounded) until `condition` holds; false on time-out.
  bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Adds a member to the scenario's report (see scenarioReport).
  void note(const std::string& key, const nlohmann::json& value);
  int controlFd;
  std::string reportPath;
};

// The platform as a scenario sets it up before the recording starts.
struct ScriptedPlatform {
  std::shared_ptr<ScriptedClock> clock = std::make_shared<ScriptedClock>();
  std::shared_ptr<ScriptedWindowing> windowing = std::make_shared<ScriptedWindowing>();
  std::shared_ptr<ScriptedCapture> capture = std::make_shared<ScriptedCapture>();
  std::shared_ptr<ScriptedPermissions> permissions = std::make_shared<ScriptedPermissions>();
  std::shared_ptr<ScriptedFiles> files = std::make_shared<ScriptedFiles>();
  std::shared_ptr<ScriptedInput> input = std::make_shared<ScriptedInput>();

  // One 320 × 180 display (id 1) at 60 Hz, scale 1, no windows.
  ScriptedPlatform();
  platform::Services services();
};

// Runs `record` in a child with `configLine` as the first input line. The
// script runs once the capture has started (or not at all when the start
// fails). Returns the child, for the test to read its output and status.
HostProcess runScenario(const std::string& configLine, const std::function<void(ScriptedPlatform&)>& setUp,
                        const std::function<void(ScriptContext&)>& script);

// The report a scenario's child wrote beside `outputDir` (outputDir +
// ".report.json"): "configuration" and "filter" of the capture once it
// started, "outputs" (the output types added), and whatever the script noted.
nlohmann::json scenarioReport(const std::string& outputDir);

// Samples.
platform::SampleBuffer videoFrame(double pts, std::optional<platform::FrameStatus> status, int width = 64,
                                  int height = 36, uint8_t shade = 128);
// A square cursor of one colour, `side` pixels and points wide.
platform::CursorImage cursorImage(int side, uint8_t shade, double hotX = 1, double hotY = 1);
// Stereo float PCM at 48 kHz starting at `pts`, `seconds` long, silent or a
// 440 Hz tone.
platform::SampleBuffer audioBuffer(double pts, double seconds, bool tone = false);

// A path (not created) inside a fresh temporary directory under /tmp; the
// directory is removed when the test program ends.
std::string temporaryPath(const std::string& stem);

}  // namespace testing_support
