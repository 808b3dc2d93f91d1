// Runs scripted recordings and collects what a host would see.
#pragma once

#include "recorder/Recorder.h"
#include "support/Eventually.h"
#include "support/Events.h"
#include "support/MediaProbe.h"
#include "support/ScriptedPlatform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace recorder_tests {

using nlohmann::json;
using platform::FrameStatus;
using platform::OutputType;
using testing_support::ScriptContext;
using testing_support::ScriptedPlatform;

namespace fs = std::filesystem;

struct Outcome {
  std::vector<json> lines;
  int status = -1;
  json report;
  std::string dir;

  std::vector<std::string> events() const { return testing_support::eventNames(lines); }
  // The last line, or null when there was none.
  const json& last() const {
    static const json none;
    return lines.empty() ? none : lines.back();
  }
  json metadata() const {
    std::ifstream in(dir + "/metadata.json");
    std::stringstream s;
    s << in.rdbuf();
    return json::parse(s.str(), nullptr, false);
  }
};

// Records with `config` (outputDir is filled in), the platform as `setUp`
// leaves it, driven by `script` once the capture runs.
inline Outcome record(json config, const std::function<void(ScriptedPlatform&)>& setUp,
                      const std::function<void(ScriptContext&)>& script) {
  Outcome outcome;
  outcome.dir = testing_support::temporaryPath("rec");
  if (!config.contains("outputDir")) config["outputDir"] = outcome.dir;
  if (!config.contains("mode")) config["mode"] = "screen";
  auto child = testing_support::runScenario(config.dump(), setUp, script);
  // Everything the agent wrote, up to the end of its output.
  outcome.lines = testing_support::readEventsToEnd(child);
  outcome.status = child.wait().value_or(-1);
  outcome.report = testing_support::scenarioReport(outcome.dir);
  return outcome;
}

inline void noSetUp(ScriptedPlatform&) {}

// Delivers a video frame presented at host time `t`.
// Frames have the size the capture was configured with.
inline void frame(ScriptContext& c, double t, FrameStatus status = FrameStatus::complete, uint8_t shade = 128) {
  const auto& configuration = *c.capture.configuration;
  c.stream().deliver(testing_support::videoFrame(t, status, configuration.width, configuration.height, shade),
                     OutputType::screen);
}

inline void audio(ScriptContext& c, double t, double seconds, OutputType type = OutputType::audio) {
  c.stream().deliver(testing_support::audioBuffer(t, seconds), type);
}

// Moves the clock, then stops and lets the stop run.
inline void stopAt(ScriptContext& c, double t, const std::string& line = "stop") {
  c.clock.set(t);
  c.control(line);
}

}  // namespace recorder_tests
