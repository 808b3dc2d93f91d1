// Doubles for input capture: a cursor source and monitors the test drives, a
// PNG encoder that can be told to fail, and a recorder wired to them with
// its three logs open, plus direct access to the recorder's fields.
#pragma once

#include "recorder/Recorder.h"
#include "support/ScriptedPlatform.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

// The recorder's private fields, for tests (declared a friend by Recorder).
class RecorderTestAccess {
 public:
  explicit RecorderTestAccess(Recorder& r) : r_(r) {}
  void setClock(std::optional<double> t0, std::optional<double> pausedAt = std::nullopt, double pauseTotal = 0) {
    std::lock_guard lock(r_.stateLock_);
    r_.t0 = t0;
    r_.pausedAt = pausedAt;
    r_.pauseTotal = pauseTotal;
  }
  void openLogs() {
    r_.moves = std::make_unique<NDJSON>((r_.dir / "mouse-moves.ndjson").string());
    r_.clicks = std::make_unique<NDJSON>((r_.dir / "mouse-clicks.ndjson").string());
    r_.keys = std::make_unique<NDJSON>((r_.dir / "keystrokes.ndjson").string());
  }
  platform::Rect& region() { return r_.region; }
  int& displayRefreshRate() { return r_.displayRefreshRate; }
  std::string& lastCursorId() { return r_.lastCursorId; }
  platform::Point lastMouse() const { return r_.lastMouse; }
  const std::map<int64_t, std::string>& cursorHashes() const { return r_.cursorHashes; }
  const nlohmann::json& cursorInfo() const { return r_.cursorInfo; }
  const std::vector<platform::MonitorToken>& monitors() const { return r_.monitors; }
  platform::RepeatingTimer* pollTimer() const { return r_.pollTimer.get(); }
  platform::RepeatingTimer* diskTimer() const { return r_.diskTimer.get(); }

 private:
  Recorder& r_;
};

namespace input_tests {

// A cursor the test shows, with serials as the system gives them: a new
// serial for every cursor set, and `unchanged` when the caller already saw it.
class ScriptedCursorInput final : public platform::InputEventService {
 public:
  void show(std::optional<platform::CursorImage> image) {
    shown_ = std::move(image);
    ++serial_;
  }
  int imagesServed = 0;  // queries answered with pixels

  int refuseNext = 0;  // how many of the next monitors to refuse
  std::function<void(const platform::MouseEvent&)> mouseHandler;
  std::function<void(const platform::KeyEvent&)> keyHandler;
  std::vector<std::string> installed;  // "mouse" / "key", in order

  platform::MonitorToken addGlobalMouseMonitor(platform::MainLoop&,
                                               std::function<void(const platform::MouseEvent&)> handler) override {
    if (refuseNext > 0 && refuseNext--) return 0;
    mouseHandler = std::move(handler);
    installed.push_back("mouse");
    return 10 + installed.size();
  }
  platform::MonitorToken addGlobalKeyMonitor(platform::MainLoop&,
                                             std::function<void(const platform::KeyEvent&)> handler) override {
    if (refuseNext > 0 && refuseNext--) return 0;
    keyHandler = std::move(handler);
    installed.push_back("key");
    return 10 + installed.size();
  }
  void removeMonitor(platform::MonitorToken) override {}

  CursorQuery currentCursor(std::optional<uint64_t> lastSerial) override {
    CursorQuery query;
    if (!shown_) return query;
    query.serial = serial_;
    if (lastSerial == serial_) {
      query.unchanged = true;
      return query;
    }
    ++imagesServed;
    query.image = shown_;
    return query;
  }

 private:
  std::optional<platform::CursorImage> shown_;
  uint64_t serial_ = 0;
};

// "Encodes" an image as its sizes and pixels, so a test can tell which image
// a file holds; fails while `failures` is above zero.
class ScriptedPngFiles final : public platform::FileService {
 public:
  int failures = 0;
  int encoded = 0;
  std::optional<platform::VolumeCapacity> volumeCapacity(const std::string&) override {
    return platform::VolumeCapacity{int64_t{1} << 40};
  }
  std::optional<std::vector<uint8_t>> encodePNG(const platform::CursorImage& image) override {
    if (failures > 0) {
      --failures;
      return std::nullopt;
    }
    ++encoded;
    return bytesOf(image);
  }
  static std::vector<uint8_t> bytesOf(const platform::CursorImage& image) {
    std::vector<uint8_t> bytes{static_cast<uint8_t>(image.pixelWidth), static_cast<uint8_t>(image.pixelHeight)};
    bytes.insert(bytes.end(), image.rgba.begin(), image.rgba.end());
    return bytes;
  }
};

// A permission service that counts how often it is asked for trust.
class CountingPermissions final : public platform::PermissionService {
 public:
  bool trusted = true;
  int trustQueries = 0;
  bool preflightScreenCaptureAccess() override { return true; }
  void requestScreenCaptureAccess() override {}
  bool isProcessTrusted() override {
    ++trustQueries;
    return trusted;
  }
  void promptForAccessibilityTrust() override {}
  int microphoneAuthorizationStatus() override { return platform::kAuthorizationStatusAuthorized; }
  void requestMicrophoneAccess(std::function<void(bool)> completion) override { completion(true); }
};

// A square cursor of one colour.
inline platform::CursorImage cursorImage(int side, uint8_t shade, double hotX = 1, double hotY = 1) {
  platform::CursorImage image;
  image.pixelWidth = image.pixelHeight = side;
  image.rgba.assign(static_cast<size_t>(side) * side * 4, shade);
  image.width = image.height = side;
  image.hotX = hotX;
  image.hotY = hotY;
  return image;
}

inline std::vector<nlohmann::json> readLog(const std::filesystem::path& path) {
  std::vector<nlohmann::json> records;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) records.push_back(nlohmann::json::parse(line));
  return records;
}

// A recorder on doubles, its output directory with "cursors/" and the three
// logs, and one 1000-point-high primary screen (screen y = 1000 - global y).
class RecorderFixture : public ::testing::Test {
 protected:
  static constexpr double kScreenHeight = 1000;

  void SetUp() override { makeRecorder(RecordConfig{}); }
  void TearDown() override {
    recorder.reset();
    std::filesystem::remove_all(dir);
  }

  void makeRecorder(RecordConfig cfg) {
    recorder.reset();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "cursors");
    cfg.outputDir = dir.string();
    cfg.mode = "screen";
    windowing->screenList = {platform::Screen{platform::Rect(0, 0, 1600, kScreenHeight)}};
    platform::Services services;
    services.clock = clock;
    services.windowing = windowing;
    services.input = input;
    services.permissions = permissions;
    services.files = files;
    recorder = Recorder::make(std::move(cfg), services, RecorderRuntime{loop, workers});
    access().openLogs();
  }

  RecorderTestAccess access() { return RecorderTestAccess(*recorder); }
  // Puts the pointer at a global top-left position.
  void pointAt(double x, double y) {
    std::lock_guard lock(windowing->lock);
    windowing->pointer = {x, kScreenHeight - y};
  }
  std::vector<nlohmann::json> log(const std::string& name) const { return readLog(dir / name); }

  platform::MainLoop loop;
  platform::WorkerPool workers{1};
  std::filesystem::path dir = testing_support::temporaryPath("input");
  std::shared_ptr<testing_support::ScriptedClock> clock = std::make_shared<testing_support::ScriptedClock>();
  std::shared_ptr<testing_support::ScriptedWindowing> windowing =
      std::make_shared<testing_support::ScriptedWindowing>();
  std::shared_ptr<ScriptedCursorInput> input = std::make_shared<ScriptedCursorInput>();
  std::shared_ptr<CountingPermissions> permissions = std::make_shared<CountingPermissions>();
  std::shared_ptr<ScriptedPngFiles> files = std::make_shared<ScriptedPngFiles>();
  std::shared_ptr<Recorder> recorder;
};

}  // namespace input_tests
