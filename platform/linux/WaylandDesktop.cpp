#include "platform/linux/WaylandDesktop.h"

#include "platform/linux/DesktopCapture.h"
#include "platform/pulse/PulseAudioDevices.h"
#include "platform/wayland/Outputs.h"
#include "platform/wayland/ScreenCastPortal.h"
#include "platform/wayland/ScreenStream.h"

#include <thread>

namespace platform::linux_desktop {

namespace {
constexpr int kDenied = 2;
}

Result<ShareableContent> WaylandScreenCapture::shareableContent(bool, bool) {
  Result<std::vector<wayland::Output>> outputs = wayland::readOutputs();
  if (!outputs) return outputs.error();
  ShareableContent content;
  for (const wayland::Output& output : outputs.value()) content.displays.push_back(CaptureDisplay{output.id, output.frame});
  return content;
}

ContentFilter WaylandScreenCapture::filterForWindow(const CaptureWindow& window) {
  ContentFilter filter;
  filter.window = window;
  return filter;
}

ContentFilter WaylandScreenCapture::filterForDisplay(const CaptureDisplay& display, std::vector<CaptureWindow> excluding) {
  ContentFilter filter;
  filter.display = display;
  filter.excludedWindows = std::move(excluding);
  filter.pointPixelScale = 1.0f;
  if (Result<std::vector<wayland::Output>> outputs = wayland::readOutputs()) {
    for (const wayland::Output& output : outputs.value()) {
      if (output.id == display.displayID) filter.pointPixelScale = static_cast<float>(output.scale);
    }
  }
  return filter;
}

std::unique_ptr<CaptureStream> WaylandScreenCapture::makeStream(const ContentFilter& filter,
                                                                const StreamConfiguration& configuration,
                                                                StreamDelegate& delegate) {
  std::shared_ptr<wayland::RestoreTokenStore> tokens = tokens_;
  return makeDesktopCaptureStream(
      [filter, configuration, tokens](StreamDelegate& failure, CaptureStream* reportAs) {
        return std::make_unique<wayland::ScreenStream>(filter, configuration, failure, reportAs, tokens);
      },
      configuration, delegate);
}

bool WaylandPermissions::preflightScreenCaptureAccess() { return tokens_->load().has_value(); }

void WaylandPermissions::requestScreenCaptureAccess() {
  Result<std::unique_ptr<wayland::ScreenCastSession>> session = wayland::ScreenCastSession::connect();
  if (!session) return;
  wayland::ScreenCastRequest request;
  request.restoreToken = tokens_->load();
  // A person may take a while at the dialog.
  request.answerTimeout = std::chrono::minutes(5);
  wayland::PortalResult<wayland::ScreenCastStart> started = session.value()->start(request);
  if (started.ok()) {
    if (started.value->restoreToken) tokens_->save(*started.value->restoreToken);
  } else if (started.failure.tokenRejected) {
    tokens_->discard();
  }
  session.value()->close();
}

int WaylandPermissions::microphoneAuthorizationStatus() {
  return pulse::audioServerAnswers() ? kAuthorizationStatusAuthorized : kDenied;
}

void WaylandPermissions::requestMicrophoneAccess(std::function<void(bool granted)> completion) {
  std::thread([completion = std::move(completion)] { completion(pulse::audioServerAnswers()); }).detach();
}

}  // namespace platform::linux_desktop
