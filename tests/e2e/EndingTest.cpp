// How recordings end other than by "stop": the host's signal, the end of
// its input and "cancel"; the X or audio server going away; a disk too
// full. Whatever ends it, the files are finished and playable.
#include "Recording.h"

#include "support/ScriptedPlatform.h"

#include <sys/mount.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>

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
    expectInspectionPasses();
  }
};

json lowDiskSpaceWarningEvent() {
  return {{"event", "warning"}, {"code", "lowDiskSpace"}, {"message", "Recording stopped due to low disk space"}};
}

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

// A media file removed under the agent can no longer be written: the host
// hears which file and why, and the recording stops with the others kept.
TEST_F(RecordingEnds, AMediaFileRemovedWhileRecordingStopsTheRecordingWithAWarning) {
  startDesktop({.width = 320, .height = 240, .microphone = true});
  TestWindow window({.x = 20, .y = 20, .width = 100, .height = 80, .rgb = 0xFFFFFF});
  startRecording({{"mode", "screen"}, {"microphone", true}});
  ASSERT_FALSE(HasFatalFailure());
  ColourCycle cycle(window, {0xFF0000, 0x00FF00, 0x0000FF}, 50ms);
  sleepUntilRecordingMs(1500);
  fs::remove(file("screen.mp4"));
  const std::optional<json> warning = agent_->readJson(20s);
  cycle.stop();
  ASSERT_TRUE(warning) << "no event after the file was removed";
  EXPECT_EQ(warning->value("event", ""), "warning") << warning->dump();
  EXPECT_FALSE(warning->contains("code")) << warning->dump();
  EXPECT_NE(warning->value("message", "").find("screen.mp4"), std::string::npos) << warning->dump();
  const json end = awaitEnd();
  EXPECT_EQ(events_, std::vector<json>());
  EXPECT_EQ(end.value("reason", ""), "systemStopped") << end.dump();
  EXPECT_EQ(end.at("metadata").at("finished"), false) << end.dump();
  EXPECT_EQ(testing_support::decodeErrors(file("microphone.m4a")), "");
}

// A cancel removes what the recording made and nothing else: a folder the
// host already kept files in stays, with exactly those files.
TEST_F(RecordingEnds, CancelLeavesWhatWasInTheFolderBefore) {
  startDesktop({.width = 320, .height = 240, .microphone = true});
  dir_ = testing_support::temporaryPath("kept");
  fs::create_directories(dir_ / "sub");
  fs::create_directories(dir_ / "cursors");  // a folder of the same name as one the recording uses
  std::ofstream(dir_ / "thesis.txt") << "months of work";
  std::ofstream(dir_ / "sub" / "photo.jpg") << "a photo";
  std::ofstream(dir_ / "cursors" / "mine.png") << "a picture";
  const std::optional<FolderContents> before = folderContents(dir_);

  agent_.emplace(HostProcess::spawn(TESMAR_BINARY, {"record"}, desktop_->environment()));
  agent_->writeLine(json{{"outputDir", dir_.string()}, {"mode", "screen"}, {"systemAudio", true}, {"microphone", true}}
                        .dump());
  ASSERT_TRUE(agent_->readEvent("started", 20s, &events_)) << json(events_).dump();
  std::this_thread::sleep_for(1s);
  agent_->writeLine("cancel");
  EXPECT_EQ(awaitEnd(), (json{{"event", "cancelled"}}));

  EXPECT_EQ(folderContents(dir_), before);
}

// A small file system of its own, mounted for the test and gone with it.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::string& size) : path_(testing_support::temporaryPath("small")) {
    fs::create_directories(path_);
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  bool mounted_ = false;
};

// The disk fills while recording, with the free-space watch turned off: the
// media writer's own failure ends the recording, the host is told, and the
// files keep what was written before the disk was full.
TEST_F(RecordingEnds, AFullDiskEndsTheRecordingWithAWarningAndKeepsWhatWasWritten) {
  SmallFileSystem small("3m");
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a small file system here (needs root)";
  startDesktop({.width = 640, .height = 360});
  // Every pixel changes every frame: a few megabytes fill within seconds.
  const std::string scene = (fs::canonical("/proc/self/exe").parent_path() / "scrolling-scene").string();
  desktop_->spawn({scene, "60"});
  dir_ = small.path() / "rec";
  agent_.emplace(HostProcess::spawn(TESMAR_BINARY, {"record"}, desktop_->environment()));
  agent_->writeLine(json{{"outputDir", dir_.string()}, {"mode", "screen"}, {"minFreeDiskBytes", 0}}.dump());
  ASSERT_TRUE(agent_->readEvent("started", 20s, &events_)) << json(events_).dump();
  const std::optional<json> warning = agent_->readJson(60s);
  ASSERT_TRUE(warning) << "no event after \"started\"";
  EXPECT_EQ(*warning, lowDiskSpaceWarningEvent());
  const json end = awaitEnd();
  EXPECT_EQ(events_, std::vector<json>());
  EXPECT_EQ(end.value("event", ""), "stopped") << end.dump();
  EXPECT_EQ(end.value("reason", ""), "lowDiskSpace") << end.dump();
  const json metadata = end.value("metadata", json());
  ASSERT_TRUE(metadata.is_object()) << end.dump();
  EXPECT_EQ(metadata.at("finished"), false) << "a video that could not be completed reported as finished";
  EXPECT_EQ(metadata.at("stopReason"), "lowDiskSpace");
  // What was written before the disk filled plays from the start.
  const std::optional<json> info = testing_support::probe(file("screen.mp4"));
  ASSERT_TRUE(info) << "screen.mp4 cannot be read";
  const std::vector<double> times = testing_support::videoFrameTimes(file("screen.mp4"));
  ASSERT_FALSE(times.empty());
  EXPECT_GT(times.back(), 0.5) << "less than half a second survived";
  EXPECT_EQ(agent_->readRemainingLines(1s), std::vector<std::string>());
}

}  // namespace
}  // namespace e2e_tests
