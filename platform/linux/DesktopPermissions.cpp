#include "platform/linux/DesktopPermissions.h"

#include "platform/pulse/PulseAudioDevices.h"
#include "platform/x11/ScreenAccess.h"

#include <thread>

namespace platform::linux_desktop {

namespace {
constexpr int kDenied = 2;
}

DesktopPermissions::DesktopPermissions(std::shared_ptr<x11::DisplayHandle> display) : display_(std::move(display)) {}

bool DesktopPermissions::preflightScreenCaptureAccess() {
  auto connection = display_->connection();
  return connection && x11::canReadScreen(*connection.value());
}

bool DesktopPermissions::isProcessTrusted() {
  auto connection = display_->connection();
  return connection && x11::offersXInput21(*connection.value());
}

int DesktopPermissions::microphoneAuthorizationStatus() {
  return pulse::audioServerAnswers() ? kAuthorizationStatusAuthorized : kDenied;
}

void DesktopPermissions::requestMicrophoneAccess(std::function<void(bool granted)> completion) {
  std::thread([completion = std::move(completion)] { completion(pulse::audioServerAnswers()); }).detach();
}

}  // namespace platform::linux_desktop
