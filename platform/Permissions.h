// Privacy permissions: screen recording, accessibility (global key events)
// and the microphone.
#pragma once

#include <functional>

namespace platform {

// Authorised, as the microphone authorisation status reports it.
constexpr int kAuthorizationStatusAuthorized = 3;

// Thread-safe.
class PermissionService {
 public:
  virtual ~PermissionService() = default;
  virtual bool preflightScreenCaptureAccess() = 0;
  virtual void requestScreenCaptureAccess() = 0;  // returns at once
  virtual bool isProcessTrusted() = 0;            // accessibility
  virtual void promptForAccessibilityTrust() = 0; // returns at once
  virtual int microphoneAuthorizationStatus() = 0;
  // Calls `completion` once, on another thread, with the answer.
  virtual void requestMicrophoneAccess(std::function<void(bool granted)> completion) = 0;
};

}  // namespace platform
