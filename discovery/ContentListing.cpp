#include "discovery/ContentListing.h"

#include "main/EventChannel.h"
#include "platform/Process.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

constexpr double kScaleWithoutScreen = 2;
constexpr double kRateWithoutMode = 60;
constexpr double kMinimumListedWidth = 80;
constexpr double kMinimumListedHeight = 60;

json frameObject(const platform::Rect& frame) {
  return json{{"x", frame.origin.x}, {"y", frame.origin.y}, {"width", frame.size.width}, {"height", frame.size.height}};
}

// The first screen showing `displayID` (its "NSScreenNumber").
const platform::Screen* matchingScreen(const std::vector<platform::Screen>& screens, uint32_t displayID) {
  for (const platform::Screen& screen : screens) {
    if (screen.screenNumber && *screen.screenNumber == displayID) return &screen;
  }
  return nullptr;
}

json displayObject(platform::Services& services, const platform::CaptureDisplay& display) {
  // a. Scale, from the current screen list.
  const std::vector<platform::Screen> screensForScale = services.windowing->screens();
  const platform::Screen* forScale = matchingScreen(screensForScale, display.displayID);
  const double scale = forScale ? forScale->backingScaleFactor : kScaleWithoutScreen;
  // b. Name, from a freshly read screen list.
  const std::vector<platform::Screen> screensForName = services.windowing->screens();
  const platform::Screen* forName = matchingScreen(screensForName, display.displayID);
  const std::string name = forName ? forName->localizedName : "Display " + std::to_string(display.displayID);
  // d. Refresh rate of the current mode, as reported; 60 without a mode.
  const double rate = services.windowing->displayModeRefreshRate(display.displayID).value_or(kRateWithoutMode);
  return json{{"id", display.displayID},
              {"name", name},
              {"frame", frameObject(display.frame)},
              {"scale", scale},
              {"refreshRate", rate}};
}

bool isListedWindow(const platform::CaptureWindow& window, int32_t ownPid) {
  return window.isOnScreen && window.windowLayer == 0 && window.frame.width() > kMinimumListedWidth &&
         window.frame.height() > kMinimumListedHeight && window.owningApplication &&
         window.owningApplication->processID != ownPid;
}

json windowObject(const platform::CaptureWindow& window) {
  const platform::RunningApplication& app = *window.owningApplication;
  return json{{"id", window.windowID},
              {"title", window.title.value_or("")},
              {"app", app.applicationName},
              {"bundleId", app.bundleIdentifier},
              {"pid", app.processID},
              {"frame", frameObject(window.frame)}};
}

json microphoneList(platform::Services& services, bool withDefault) {
  const std::vector<platform::AudioInputDevice> devices = services.audioDevices->microphones();
  std::optional<std::string> defaultID;
  if (withDefault) defaultID = services.audioDevices->defaultMicrophoneID();
  json list = json::array();
  for (const platform::AudioInputDevice& device : devices) {
    json entry{{"id", device.uniqueID}, {"name", device.localizedName}};
    if (withDefault) entry["isDefault"] = defaultID.has_value() && *defaultID == device.uniqueID;
    list.push_back(std::move(entry));
  }
  return list;
}

}  // namespace

void listContent(platform::Services& services) {
  // 1. Desktop windows excluded, on-screen windows only.
  platform::Result<platform::ShareableContent> content = services.capture->shareableContent(true, true);

  // 2. Failure document.
  if (!content) {
    emit(json{{"error", content.error().description},
              {"code", "screenPermission"},
              {"displays", json::array()},
              {"windows", json::array()},
              {"microphones", microphoneList(services, false)},
              {"applications", json::array()}});
    return;
  }

  // 3. Displays.
  json displays = json::array();
  for (const platform::CaptureDisplay& display : content->displays) displays.push_back(displayObject(services, display));

  // 4. Windows.
  const int32_t ownPid = platform::currentProcessID();
  json windows = json::array();
  for (const platform::CaptureWindow& window : content->windows) {
    if (isListedWindow(window, ownPid)) windows.push_back(windowObject(window));
  }

  // 5. Microphones.
  json microphones = microphoneList(services, true);

  // 6. Applications with a name.
  json applications = json::array();
  for (const platform::RunningApplication& app : content->applications) {
    if (app.applicationName.empty()) continue;
    applications.push_back(json{{"name", app.applicationName}, {"bundleId", app.bundleIdentifier}, {"pid", app.processID}});
  }

  // 7.
  emit(json{{"displays", std::move(displays)},
            {"windows", std::move(windows)},
            {"microphones", std::move(microphones)},
            {"applications", std::move(applications)}});
}
