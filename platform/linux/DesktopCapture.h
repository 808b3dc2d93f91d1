// Screen and audio capture on the Linux desktop: what can be captured comes
// from the X server; a stream puts together the X11 video stream and, as
// configured, PulseAudio streams for the system audio (the default sink's
// monitor) and the microphone (the configured source, else the default).
#pragma once

#include "platform/ScreenCapture.h"
#include "platform/x11/Connection.h"

#include <memory>

namespace platform::linux_desktop {

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
