// A recorder on the scripted platform with its three logs open, for the
// input-capture tests that call its main-loop methods directly.
#pragma once

#include "recorder/Recorder.h"
#include "support/RecorderTestAccess.h"
#include "support/ScriptedPlatform.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace input_tests {

using testing_support::cursorImage;
using testing_support::ScriptedFiles;

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
    platform.windowing->screenList = {platform::Screen{platform::Rect(0, 0, 1600, kScreenHeight)}};
    recorder = Recorder::make(std::move(cfg), platform.services(), RecorderRuntime{loop, workers});
    access().openLogs();
  }

  RecorderTestAccess access() { return RecorderTestAccess(*recorder); }
  // Puts the pointer at a global top-left position.
  void pointAt(double x, double y) {
    std::lock_guard lock(platform.windowing->lock);
    platform.windowing->pointer = {x, kScreenHeight - y};
  }
  std::vector<nlohmann::json> log(const std::string& name) const { return readLog(dir / name); }

  platform::MainLoop loop;
  platform::WorkerPool workers{1};
  std::filesystem::path dir = testing_support::temporaryPath("input");
  testing_support::ScriptedPlatform platform;
  std::shared_ptr<testing_support::ScriptedClock> clock = platform.clock;
  std::shared_ptr<testing_support::ScriptedWindowing> windowing = platform.windowing;
  std::shared_ptr<testing_support::ScriptedInput> input = platform.input;
  std::shared_ptr<testing_support::ScriptedPermissions> permissions = platform.permissions;
  std::shared_ptr<testing_support::ScriptedFiles> files = platform.files;
  std::shared_ptr<Recorder> recorder;
};

}  // namespace input_tests
