// Screen and audio capture: what can be captured (shareable content), the
// filter and configuration of a capture, and the capture stream itself.
// Frames and window frames are in global top-left points.
#pragma once

#include "platform/AudioFormat.h"
#include "platform/Error.h"
#include "platform/Geometry.h"
#include "platform/MediaTime.h"
#include "platform/RunLoop.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct RunningApplication {
  std::string applicationName;
  std::string bundleIdentifier;
  int32_t processID = 0;
};

struct CaptureDisplay {
  uint32_t displayID = 0;
  Rect frame;  // global top-left points
};

struct CaptureWindow {
  uint32_t windowID = 0;
  std::optional<std::string> title;
  Rect frame;  // global top-left points
  bool isOnScreen = false;
  int windowLayer = 0;  // 0 normal, negative desktop, positive docks/menus/overlays
  std::optional<RunningApplication> owningApplication;
};

struct ShareableContent {
  std::vector<CaptureDisplay> displays;
  std::vector<CaptureWindow> windows;  // stacking order, bottom first
  std::vector<RunningApplication> applications;
};

// What a capture shows: one window's own contents, or a display without the
// excluded windows.
struct ContentFilter {
  std::optional<CaptureWindow> window;             // window capture
  std::optional<CaptureDisplay> display;           // display capture
  std::vector<CaptureWindow> excludedWindows;      // display capture only
  float pointPixelScale = 1.0f;
};

enum class OutputType : int { screen = 0, audio = 1, microphone = 2 };

struct StreamConfiguration {
  std::optional<Rect> sourceRect;  // points relative to the display's top-left
  int width = 0;                   // pixels
  int height = 0;
  bool showsCursor = true;
  MediaTime minimumFrameInterval = MediaTime::invalid();
  int queueDepth = 3;
  uint32_t pixelFormat = 0x42475241;  // "BGRA"
  std::string colorSpaceName = "sRGB";
  bool capturesAudio = false;
  bool excludesCurrentProcessAudio = false;
  int sampleRate = kAudioSampleRate;
  int channelCount = kAudioChannels;
  bool captureMicrophone = false;
  std::optional<std::string> microphoneCaptureDeviceID;
};

class CaptureStream;

// Receives samples. Called on the queue given when the output was added.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void streamDidOutputSampleBuffer(CaptureStream& stream, const SampleBuffer& sample,
                                           OutputType type) = 0;
};

// Told when the stream stops on its own. Called on a thread of the stream.
class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  virtual void streamDidStopWithError(CaptureStream& stream, const Error& error) = 0;
};

// A capture stream. Samples are time-stamped on the host clock (hostNow()).
//
// The stream starts as a whole: no sample is delivered before every kind of
// sample it was configured for can be captured, and when one of them cannot,
// startCapture() stops the others before it returns the error.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // `output` and `queue` must outlive the stream's capture.
  virtual std::optional<Error> addStreamOutput(StreamOutput& output, OutputType type, SerialQueue& queue) = 0;
  // Start and stop block until the capture has started or stopped. After
  // stopCapture() returns no output or delegate call is made. Start and stop
  // may be called from different threads, never at the same time.
  virtual std::optional<Error> startCapture() = 0;
  virtual std::optional<Error> stopCapture() = 0;
  // Thread-safe, never blocks for long: a startCapture() in progress on
  // another thread (or one still to come) stops waiting for slow services
  // and returns soon, started or with an error. For a stop that arrives
  // while the recording is still starting.
  virtual void interruptStart() {}
};

class ScreenCaptureService {
 public:
  virtual ~ScreenCaptureService() = default;
  // Blocks until the content is known.
  virtual Result<ShareableContent> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) = 0;
  virtual ContentFilter filterForWindow(const CaptureWindow& window) = 0;
  virtual ContentFilter filterForDisplay(const CaptureDisplay& display, std::vector<CaptureWindow> excluding) = 0;
  // `delegate` must outlive the stream.
  virtual std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration,
                                                    StreamDelegate& delegate) = 0;
};

}  // namespace platform
