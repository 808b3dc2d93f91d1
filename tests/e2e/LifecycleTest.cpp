// Every run ends with exactly one final event that tells the truth, then
// nothing more: many recordings ended at random moments by every way a host
// can end them, from the same write as the configuration to seconds after
// "started"; and start failures that are found only after the capture began
// to come up.
#include "Recording.h"
#include "support/ScriptedPlatform.h"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <random>

namespace e2e_tests {
namespace {

// How the host ends the recording.
struct Ending {
  const char* name;
  std::vector<std::string> lines;  // control lines, written in one go
  bool closeInput = false;
  bool sigterm = false;
  const char* reason;  // nullptr: cancelled
};

const Ending kEndings[] = {
    {"stop", {"stop"}, false, false, "user"},
    {"cancel", {"cancel"}, false, false, nullptr},
    {"end of input", {}, true, false, "parentExited"},
    {"SIGTERM", {}, false, true, "sigterm"},
    {"pause then stop", {"pause", "stop"}, false, false, "user"},
    {"stop then cancel", {"stop", "cancel"}, false, false, "user"},
    {"cancel then stop", {"cancel", "stop"}, false, false, nullptr},
};

// When the ending comes.
enum class Moment { withConfiguration, duringStart, atStarted, whileRecording };
const char* name(Moment m) {
  switch (m) {
    case Moment::withConfiguration:
      return "in the configuration's write";
    case Moment::duringStart:
      return "a few milliseconds after the configuration";
    case Moment::atStarted:
      return "right after \"started\"";
    case Moment::whileRecording:
      return "while recording";
  }
  return "";
}

// Names, sizes and modification times of everything under `dir`.
class RecordingLifecycle : public RecordingTest {
 protected:
  // Runs one recording ended by `ending` at `moment` (`delay` sets the
  // moment within its kind) and checks everything a host can see.
  void runOnce(const Ending& ending, Moment moment, std::chrono::milliseconds delay, bool audio) {
    dir_ = testing_support::temporaryPath("life");
    json config = {{"outputDir", dir_.string()}, {"mode", "screen"}, {"systemAudio", audio}, {"microphone", audio}};
    agent_.emplace(HostProcess::spawn(TESMAR_BINARY, {"record"}, desktop_->environment()));

    std::string controls;
    for (const auto& line : ending.lines) controls += line + "\n";
    auto act = [&] {
      if (!controls.empty()) agent_->write(controls);
      if (ending.closeInput) agent_->closeInput();
      if (ending.sigterm) agent_->signal(SIGTERM);
    };

    std::vector<json> lines;
    // Before the program has taken SIGTERM over, the signal ends it silently.
    if (ending.sigterm) {
      ASSERT_TRUE(waitFor([&] { return agent_->catches(SIGTERM); }));
    }
    if (moment == Moment::withConfiguration) {
      agent_->write(config.dump() + "\n" + controls);
      if (ending.closeInput) agent_->closeInput();
      if (ending.sigterm) agent_->signal(SIGTERM);
    } else {
      agent_->writeLine(config.dump());
      if (moment == Moment::duringStart) {
        std::this_thread::sleep_for(delay);
      } else {
        std::optional<json> started = agent_->readJson(20s);
        ASSERT_TRUE(started) << "no first event";
        lines.push_back(*started);
        ASSERT_EQ(started->value("event", ""), "started") << started->dump();
        if (moment == Moment::whileRecording) std::this_thread::sleep_for(delay);
      }
      act();
    }

    // Everything the agent writes, to the end of its output.
    std::string before;
    bool sawFinal = false;
    std::optional<FolderContents> afterFinal;  // the folder when the final event came
    for (;;) {
      std::optional<std::string> line = agent_->readLine(30s);
      if (!line) break;
      json value = json::parse(*line, nullptr, false);
      ASSERT_FALSE(value.is_discarded()) << *line;
      lines.push_back(value);
      const std::string event = value.value("event", "");
      if (event == "stopped" || event == "cancelled" || event == "error") {
        sawFinal = true;
        afterFinal = folderContents(dir_);
      }
    }
    const std::optional<int> status = agent_->wait(10s);
    ASSERT_TRUE(status) << "the agent did not exit";

    // Exactly one final event, the last line, and the right one.
    std::vector<std::string> names;
    for (const auto& l : lines) names.push_back(l.value("event", "?"));
    const std::string history = json(names).dump();
    ASSERT_FALSE(lines.empty());
    const json& last = lines.back();
    const std::string finalEvent = last.value("event", "");
    const int finals = static_cast<int>(std::count_if(names.begin(), names.end(), [](const std::string& n) {
      return n == "stopped" || n == "cancelled" || n == "error";
    }));
    EXPECT_EQ(finals, 1) << history;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
      EXPECT_TRUE(names[i] == "started" || names[i] == "paused") << history;
    }
    EXPECT_EQ(*status, 0) << history;
    if (ending.reason) {
      ASSERT_EQ(finalEvent, "stopped") << last.dump();
      EXPECT_EQ(last.value("reason", ""), ending.reason);
      const json& metadata = last.at("metadata");
      EXPECT_EQ(metadata.at("finished"), true);
      std::ifstream written(file("metadata.json"));
      EXPECT_EQ(json::parse(written, nullptr, false), metadata);
      const bool started = names.front() == "started";
      EXPECT_EQ(metadata.at("frames").get<int64_t>() > 0, started) << history << " " << metadata.dump();
      if (started) {
        EXPECT_TRUE(fs::exists(file("screen.mp4")));
      }
      // Every media file kept decodes to its end.
      for (const char* media : {"screen.mp4", "system-audio.m4a", "microphone.m4a"}) {
        if (fs::exists(file(media))) {
          EXPECT_EQ(testing_support::decodeErrors(file(media)), "") << media;
        }
      }
    } else {
      EXPECT_EQ(last, (json{{"event", "cancelled"}})) << history;
      EXPECT_FALSE(fs::exists(dir_)) << "the cancelled recording's folder is still there";
    }
    // Nothing appears or changes after the final event.
    ASSERT_TRUE(sawFinal);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(folderContents(dir_), afterFinal);
  }
};

TEST_F(RecordingLifecycle, EveryEndingAtEveryMomentGivesOneTrueFinalEvent) {
  startDesktop({.width = 320, .height = 240, .microphone = true});
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  const Moment moments[] = {Moment::withConfiguration, Moment::duringStart, Moment::atStarted,
                            Moment::whileRecording};
  int run = 0;
  for (const Ending& ending : kEndings) {
    for (Moment moment : moments) {
      const bool audio = (run++ % 2) == 0;
      const auto delay = std::chrono::milliseconds(
          moment == Moment::duringStart ? std::uniform_int_distribution<int>(1, 60)(random)
                                        : std::uniform_int_distribution<int>(100, 2500)(random));
      SCOPED_TRACE(std::string(ending.name) + ", " + name(moment) + " (" + std::to_string(delay.count()) + " ms), " +
                   (audio ? "with audio" : "without audio"));
      runOnce(ending, moment, delay, audio);
      agent_.reset();
      if (HasFatalFailure()) return;
    }
  }
}

// A start that fails once the capture has begun to come up: one "error",
// no "started", exit status 1 promptly, and no half-written media.
struct StartFailure {
  const char* name;
  json config;
  bool audioServer;
  bool endInputAtOnce;
  const char* code;
};

TEST_F(RecordingLifecycle, AStartFailureIsTheOnlyAndFinalEvent) {
  const StartFailure cases[] = {
      {"a microphone that does not exist",
       {{"mode", "screen"}, {"microphone", true}, {"microphoneId", "no-such-source"}},
       true,
       false,
       "startFailed"},
      {"a microphone that does not exist, input ended at once",
       {{"mode", "screen"}, {"microphone", true}, {"microphoneId", "no-such-source"}},
       true,
       true,
       "startFailed"},
      {"system audio without an audio server", {{"mode", "screen"}, {"systemAudio", true}}, false, false, "startFailed"},
      {"a window that does not exist, input ended at once",
       {{"mode", "window"}, {"windowId", 12345}},
       false,
       true,
       "notAvailableWindow"},
  };
  for (const StartFailure& c : cases) {
    SCOPED_TRACE(c.name);
    startDesktop({.width = 320, .height = 240, .microphone = c.audioServer});
    dir_ = testing_support::temporaryPath("fail");
    json config = c.config;
    config["outputDir"] = dir_.string();
    agent_.emplace(HostProcess::spawn(TESMAR_BINARY, {"record"}, desktop_->environment()));
    agent_->writeLine(config.dump());
    if (c.endInputAtOnce) agent_->closeInput();
    const std::vector<std::string> lines = agent_->readRemainingLines(30s);
    const auto errorAt = std::chrono::steady_clock::now();
    const std::optional<int> status = agent_->wait(5s);
    const double exitAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - errorAt).count();
    ASSERT_EQ(lines.size(), 1u) << json(lines).dump();
    const json error = json::parse(lines[0], nullptr, false);
    EXPECT_EQ(error.value("event", ""), "error") << lines[0];
    EXPECT_EQ(error.value("code", ""), c.code) << lines[0];
    EXPECT_EQ(status, std::optional<int>(1));
    EXPECT_LT(exitAfter, 1.0);
    EXPECT_FALSE(fs::exists(file("screen.mp4"))) << "a video file of a recording that never started";
    agent_.reset();
    desktop_.reset();
  }
}

}  // namespace
}  // namespace e2e_tests
