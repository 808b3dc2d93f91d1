#include "main/PermissionCommands.h"

#include "main/EventChannel.h"

#include <nlohmann/json.hpp>

#include <semaphore>

using nlohmann::json;

void runPermissions(platform::Services& services) {
  // 1. In the order screen, accessibility, microphone.
  const bool screen = services.permissions->preflightScreenCaptureAccess();
  const bool accessibility = services.permissions->isProcessTrusted();
  const bool microphone =
      services.permissions->microphoneAuthorizationStatus() == platform::kAuthorizationStatusAuthorized;
  // 2.
  emit(json{{"screen", screen}, {"accessibility", accessibility}, {"microphone", microphone}});
}

void runRequestPermissions(platform::Services& services, const std::string& argument) {
  const bool all = argument == "all";
  // 2.
  if (argument == "screen" || all) services.permissions->requestScreenCaptureAccess();
  // 3.
  if (argument == "accessibility" || all) services.permissions->promptForAccessibilityTrust();
  // 4. Wait for the answer, which itself is not used.
  if (argument == "microphone" || all) {
    std::binary_semaphore answered(0);
    services.permissions->requestMicrophoneAccess([&answered](bool) { answered.release(); });
    answered.acquire();
  }
  // 5.
  emit(json{{"screen", services.permissions->preflightScreenCaptureAccess()},
            {"accessibility", services.permissions->isProcessTrusted()}});
}
