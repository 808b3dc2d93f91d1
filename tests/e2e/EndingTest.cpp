// How recordings end other than by "stop": the host's signal, the end of
// its input and "cancel"; the X or audio server going away; a disk too
// full. Whatever ends it, the files are finished and playable.
#include "Recording.h"

#include <csignal>
#include <fstream>
#include <limits>

namespace e2e_tests {
namespace {

class RecordingEnds : public RecordingTest {
 protected:
  // The stopped recording's metadata, as reported and as written.
  void expectStoppedWith(const json& end, const std::string& reason) {
    EXPECT_EQ(end.value("event", ""), "stopped") << end.dump();
    EXPECT_EQ(end.value("reason", ""), reason) << end.dump();
    const json metadata = end.value("metadata", json());
    ASSERT_TRUE(metadata.is_object()) << end.dump();
    EXPECT_EQ(metadata.at("stopReason"), reason);
    std::ifstream written(file("metadata.json"));
    EXPECT_EQ(json::parse(written, nullptr, false), metadata);
    expectVideoMatches(metadata);
    expectPlayable();
  }
};

struct HostEnding {
  const char* name;
  std::function<void(HostProcess&)> act;
  const char* reason;  // none: cancelled
};

TEST_F(RecordingEnds, TheHostEndsTheRecordingBySignalEndOfInputOrCancel) {
  startDesktop({.width = 640, .height = 360});
  const HostEnding cases[] = {
      {"SIGTERM", [](HostProcess& agent) { agent.signal(SIGTERM); }, "sigterm"},
      {"end of input", [](HostProcess& agent) { agent.closeInput(); }, "parentExited"},
      {"cancel", [](HostProcess& agent) { agent.writeLine("cancel"); }, nullptr},
  };
  for (const HostEnding& c : cases) {
    SCOPED_TRACE(c.name);
    startRecording({{"mode", "screen"}});
    ASSERT_FALSE(HasFatalFailure());
    sleepUntilRecordingMs(800);
    c.act(*agent_);
    const json end = awaitEnd();
    EXPECT_EQ(events_, std::vector<json>());
    if (c.reason) {
      expectStoppedWith(end, c.reason);
    } else {
      EXPECT_EQ(end, (json{{"event", "cancelled"}}));
      EXPECT_FALSE(fs::exists(dir_)) << "the cancelled recording's directory is still there";
    }
  }
}

struct ServerLoss {
  const char* name;
  bool audio;  // record system audio and the microphone
  void (VirtualDesktop::*kill)();
};

TEST_F(RecordingEnds, LosingTheXOrAudioServerStopsTheRecordingWithAWarning) {
  const ServerLoss cases[] = {
      {"X server", false, &VirtualDesktop::killXServer},
      {"audio server", true, &VirtualDesktop::killAudioServer},
  };
  for (const ServerLoss& c : cases) {
    SCOPED_TRACE(c.name);
    startDesktop({.width = 640, .height = 360, .microphone = c.audio});
    if (c.audio) keepSpeakersRunning();
    ASSERT_FALSE(HasFatalFailure());
    startRecording({{"mode", "screen"}, {"systemAudio", c.audio}, {"microphone", c.audio}});
    ASSERT_FALSE(HasFatalFailure());
    sleepUntilRecordingMs(1000);
    (desktop_.get()->*c.kill)();
    const json end = awaitEnd();

    ASSERT_EQ(events_.size(), 1u) << json(events_).dump();
    EXPECT_EQ(events_[0].size(), 2u) << events_[0].dump();
    EXPECT_EQ(events_[0].value("event", ""), "warning");
    EXPECT_EQ(events_[0].value("message", "").rfind("ScreenCaptureKit stopped: ", 0), 0u) << events_[0].dump();
    expectStoppedWith(end, "systemStopped");
    const json& metadata = end.at("metadata");
    EXPECT_GE(metadata.at("durationMs").get<double>(), 1000);
    EXPECT_EQ(metadata.at("hasSystemAudio"), c.audio);
  }
}

TEST_F(RecordingEnds, TooLittleFreeSpaceStopsTheRecordingAtTheFirstCheck) {
  startDesktop({.width = 640, .height = 360});
  startRecording({{"mode", "screen"}, {"minFreeDiskBytes", std::numeric_limits<int64_t>::max()}});
  ASSERT_FALSE(HasFatalFailure());
  const auto startedAt = std::chrono::steady_clock::now();
  const std::optional<json> warning = agent_->readJson(20s);
  const double after = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
  ASSERT_TRUE(warning);
  EXPECT_EQ(*warning, (json{{"event", "warning"}, {"code", "lowDiskSpace"},
                            {"message", "Recording stopped due to low disk space"}}));
  // The check runs every five seconds from the start of the input capture.
  EXPECT_GT(after, 4.0);
  EXPECT_LT(after, 10.0);
  expectStoppedWith(awaitEnd(), "lowDiskSpace");
  EXPECT_EQ(events_, std::vector<json>()) << "only the warning comes between \"started\" and \"stopped\"";
}

}  // namespace
}  // namespace e2e_tests
