// The Wayland desktop's capture and permission services: displays from the
// compositor's outputs, screen capture through the desktop portal and
// PipeWire (wayland::ScreenStream) with PulseAudio streams for the audio,
// and permissions the portal's way: the screen may be recorded when a
// restore token (the portal's grant) is stored; asking for it runs the
// portal's selection (the desktop shows its dialog) and stores the token.
// Global clicks and keystrokes are not visible to ordinary Wayland clients:
// accessibility is never granted, and the input service installs nothing.
#pragma once

#include "platform/InputEvents.h"
#include "platform/Permissions.h"
#include "platform/ScreenCapture.h"
#include "platform/wayland/RestoreTokenStore.h"

#include <memory>

namespace platform::linux_desktop {

// Thread-safe.
class WaylandScreenCapture final : public ScreenCaptureService {
 public:
  explicit WaylandScreenCapture(std::shared_ptr<wayland::RestoreTokenStore> tokens) : tokens_(std::move(tokens)) {}
  // Displays: the compositor's outputs (logical frames); no windows.
  Result<ShareableContent> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override;
  ContentFilter filterForWindow(const CaptureWindow& window) override;
  // The filter's pointPixelScale is the output's scale.
  ContentFilter filterForDisplay(const CaptureDisplay& display, std::vector<CaptureWindow> excluding) override;
  std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override;

 private:
  std::shared_ptr<wayland::RestoreTokenStore> tokens_;
};

// Thread-safe.
class WaylandPermissions final : public PermissionService {
 public:
  explicit WaylandPermissions(std::shared_ptr<wayland::RestoreTokenStore> tokens) : tokens_(std::move(tokens)) {}
  // A restore token is stored.
  bool preflightScreenCaptureAccess() override;
  // Runs the portal's selection (blocks until the desktop answers) and
  // stores the token it hands out.
  void requestScreenCaptureAccess() override;
  bool isProcessTrusted() override { return false; }
  void promptForAccessibilityTrust() override {}
  int microphoneAuthorizationStatus() override;
  void requestMicrophoneAccess(std::function<void(bool granted)> completion) override;

 private:
  std::shared_ptr<wayland::RestoreTokenStore> tokens_;
};

// Installs no monitors and reads no cursor.
class NoInputEvents final : public InputEventService {
 public:
  MonitorToken addGlobalMouseMonitor(MainLoop&, std::function<void(const MouseEvent&)>) override { return 0; }
  MonitorToken addGlobalKeyMonitor(MainLoop&, std::function<void(const KeyEvent&)>) override { return 0; }
  void removeMonitor(MonitorToken) override {}
  CursorQuery currentCursor(std::optional<uint64_t>) override { return {}; }
};

}  // namespace platform::linux_desktop
