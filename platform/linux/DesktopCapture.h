// Screen and audio capture on the Linux desktop: what can be captured comes
// from the X server; a stream puts together the X11 video stream and, as
// configured, PulseAudio streams for the system audio (the default sink's
// monitor) and the microphone (the configured source, else the default).
#pragma once

#include "platform/PreparedCaptureStream.h"
#include "platform/ScreenCapture.h"
#include "platform/x11/Connection.h"

#include <functional>
#include <memory>

namespace platform::linux_desktop {

// Makes the screen part of a desktop capture stream: its failures go to
// `delegate`, its samples are reported as coming from `reportAs`.
using ScreenPartFactory =
    std::function<std::unique_ptr<PreparedCaptureStream>(StreamDelegate& delegate, CaptureStream* reportAs)>;

// The capture stream of a desktop: the screen part `makeScreen` makes and,
// as configured, PulseAudio streams for the system audio and the
// microphone, started as a whole. It reports the first failure of any of
// its parts, once. Used by both windowing systems' capture services.
std::unique_ptr<CaptureStream> makeDesktopCaptureStream(const ScreenPartFactory& makeScreen,
                                                        const StreamConfiguration& configuration,
                                                        StreamDelegate& delegate);

// Thread-safe.
class DesktopScreenCapture final : public ScreenCaptureService {
 public:
  explicit DesktopScreenCapture(std::shared_ptr<x11::DisplayHandle> display);

  // Fails when the X display cannot be opened.
  Result<ShareableContent> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override;
  // On X11 a point is a pixel: every filter's pointPixelScale is 1.
  ContentFilter filterForWindow(const CaptureWindow& window) override;
  ContentFilter filterForDisplay(const CaptureDisplay& display, std::vector<CaptureWindow> excluding) override;
  // The stream reports the first failure of any of its parts, once.
  std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override;

 private:
  std::shared_ptr<x11::DisplayHandle> display_;
};

}  // namespace platform::linux_desktop
