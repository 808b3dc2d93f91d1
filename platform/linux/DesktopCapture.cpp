#include "platform/linux/DesktopCapture.h"

#include "platform/pulse/AudioStream.h"
#include "platform/x11/ClientWindows.h"
#include "platform/x11/Monitors.h"
#include "platform/x11/VideoStream.h"

#include <array>
#include <atomic>
#include <mutex>

namespace platform::linux_desktop {

namespace {

// Passes the first failure of the stream's parts on; the later ones follow
// from the same cause or no longer matter (the recording is ending).
class FirstFailure final : public StreamDelegate {
 public:
  explicit FirstFailure(StreamDelegate& delegate) : delegate_(delegate) {}
  void streamDidStopWithError(CaptureStream& stream, const Error& error) override {
    if (!reported_.exchange(true)) delegate_.streamDidStopWithError(stream, error);
  }

 private:
  StreamDelegate& delegate_;
  std::atomic<bool> reported_{false};
};

// The screen (the part the windowing system provides) and, as configured, the system audio and the microphone, started
// as a whole: the screen is readied first (it cannot fail later), then the
// audio parts connect, and only when all of them stand does anything reach
// the outputs; the screen's capture thread starts last, so its first frame,
// always complete, is never lost behind the gate.
class DesktopCaptureStream final : public CaptureStream, private StreamOutput {
 public:
  DesktopCaptureStream(const ScreenPartFactory& makeScreen, const StreamConfiguration& configuration,
                       StreamDelegate& delegate)
      : failure_(delegate), video_(makeScreen(failure_, this)) {
    if (configuration.capturesAudio) {
      systemAudio_ = std::make_unique<pulse::AudioStream>(OutputType::audio, pulse::kDefaultMonitorSource, failure_, this);
    }
    if (configuration.captureMicrophone) {
      microphone_ = std::make_unique<pulse::AudioStream>(OutputType::microphone,
                                                         configuration.microphoneCaptureDeviceID, failure_, this);
    }
  }

  ~DesktopCaptureStream() override { stopCapture(); }

  std::optional<Error> addStreamOutput(StreamOutput& output, OutputType type, SerialQueue& queue) override {
    CaptureStream* part = this->part(type);
    if (part == nullptr) return Error{"The stream was not configured to capture this kind of sample."};
    outputs_[static_cast<int>(type)] = &output;
    return part->addStreamOutput(*this, type, queue);
  }

  std::optional<Error> startCapture() override {
    std::lock_guard<std::mutex> lifecycle(lifecycleLock_);
    if (std::optional<Error> error = video_->prepareCapture()) return error;
    for (pulse::AudioStream* audio : {systemAudio_.get(), microphone_.get()}) {
      if (audio == nullptr) continue;
      if (std::optional<Error> error = audio->startCapture()) {
        stopParts();
        return error;
      }
    }
    open_.store(true, std::memory_order_release);
    if (std::optional<Error> error = video_->startCapture()) {
      stopParts();
      return error;
    }
    return std::nullopt;
  }

  void interruptStart() override {
    video_->interruptStart();
    if (systemAudio_) systemAudio_->interruptStart();
    if (microphone_) microphone_->interruptStart();
  }

  std::optional<Error> stopCapture() override {
    std::lock_guard<std::mutex> lifecycle(lifecycleLock_);
    stopParts();
    return std::nullopt;
  }

 private:
  // The gate, on the output's queue.
  void streamDidOutputSampleBuffer(CaptureStream& stream, const SampleBuffer& sample, OutputType type) override {
    if (!open_.load(std::memory_order_acquire)) return;  // before every part stood: dropped
    StreamOutput* output = outputs_[static_cast<int>(type)];
    if (output) output->streamDidOutputSampleBuffer(stream, sample, type);
  }

  void stopParts() {
    open_.store(false, std::memory_order_release);
    video_->stopCapture();
    if (systemAudio_) systemAudio_->stopCapture();
    if (microphone_) microphone_->stopCapture();
  }

  CaptureStream* part(OutputType type) {
    switch (type) {
      case OutputType::screen:
        return video_.get();
      case OutputType::audio:
        return systemAudio_.get();
      case OutputType::microphone:
        return microphone_.get();
    }
    return nullptr;
  }

  FirstFailure failure_;
  std::unique_ptr<PreparedCaptureStream> video_;
  std::unique_ptr<pulse::AudioStream> systemAudio_;
  std::unique_ptr<pulse::AudioStream> microphone_;
  // Set by addStreamOutput() before the capture starts, read on the queue.
  std::array<StreamOutput*, 3> outputs_{};
  std::atomic<bool> open_{false};
  std::mutex lifecycleLock_;  // start and stop run one at a time
};

}  // namespace

std::unique_ptr<CaptureStream> makeDesktopCaptureStream(const ScreenPartFactory& makeScreen,
                                                        const StreamConfiguration& configuration,
                                                        StreamDelegate& delegate) {
  return std::make_unique<DesktopCaptureStream>(makeScreen, configuration, delegate);
}

DesktopScreenCapture::DesktopScreenCapture(std::shared_ptr<x11::DisplayHandle> display)
    : display_(std::move(display)) {}

Result<ShareableContent> DesktopScreenCapture::shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) {
  Result<std::shared_ptr<x11::Connection>> connection = display_->connection();
  if (!connection) return connection.error();
  const x11::Connection& c = *connection.value();
  return x11::readShareableContent(c, x11::MonitorLayout::read(c, x11::MonitorDetail::geometry),
                                   excludingDesktopWindows, onScreenWindowsOnly);
}

ContentFilter DesktopScreenCapture::filterForWindow(const CaptureWindow& window) {
  ContentFilter filter;
  filter.window = window;
  filter.pointPixelScale = 1.0f;
  return filter;
}

ContentFilter DesktopScreenCapture::filterForDisplay(const CaptureDisplay& display, std::vector<CaptureWindow> excluding) {
  ContentFilter filter;
  filter.display = display;
  filter.excludedWindows = std::move(excluding);
  filter.pointPixelScale = 1.0f;
  return filter;
}

std::unique_ptr<CaptureStream> DesktopScreenCapture::makeStream(const ContentFilter& filter,
                                                                const StreamConfiguration& configuration,
                                                                StreamDelegate& delegate) {
  return makeDesktopCaptureStream(
      [filter, configuration](StreamDelegate& failure, CaptureStream* reportAs) {
        return std::make_unique<x11::VideoStream>(filter, configuration, failure, reportAs);
      },
      configuration, delegate);
}

}  // namespace platform::linux_desktop
