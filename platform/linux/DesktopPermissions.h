// Permissions on the Linux desktop. An X11 client needs no grant: the screen
// may be recorded when the display opens and its pixels can be read;
// keystrokes may be watched when the server offers XInput 2.1 (raw events);
// the microphone may be used when a PulseAudio server answers. Nothing can
// be prompted for, so the requests only report.
#pragma once

#include "platform/Permissions.h"
#include "platform/x11/Connection.h"

#include <memory>

namespace platform::linux_desktop {

// Thread-safe.
class DesktopPermissions final : public PermissionService {
 public:
  explicit DesktopPermissions(std::shared_ptr<x11::DisplayHandle> display);

  bool preflightScreenCaptureAccess() override;
  void requestScreenCaptureAccess() override {}
  bool isProcessTrusted() override;
  void promptForAccessibilityTrust() override {}
  // 3 (authorised) when a PulseAudio server answers, else 2 (denied: there is
  // nothing to record from).
  int microphoneAuthorizationStatus() override;
  // Answers on a thread of its own, at once (after asking the server).
  void requestMicrophoneAccess(std::function<void(bool granted)> completion) override;

 private:
  std::shared_ptr<x11::DisplayHandle> display_;
};

}  // namespace platform::linux_desktop
