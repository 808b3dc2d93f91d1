// An agent killed outright (SIGKILL: no stop, nothing finished) at any
// moment of a recording with both audio tracks leaves media files that play
// from the start and lack at most about a second of what was recorded.
#include "Recording.h"

#include <csignal>

namespace e2e_tests {
namespace {

struct KillMoment {
  const char* name;
  double atMs;       // recording time of the kill, or of the "stop" before it
  bool duringStop;   // "stop" first, the kill a moment later
};

// What a file holds after the kill: nothing at all when the recording was
// killed before its first fragment was cut, else media from the start.
struct Killed {
  bool empty = true;
  double duration = 0;
};

class KilledRecording : public RecordingTest {
 protected:
  Killed check(const char* name) {
    Killed out;
    const std::string path = file(name);
    std::error_code error;
    if (!fs::exists(path) || fs::file_size(path, error) == 0) return out;
    out.empty = false;
    const auto info = testing_support::probe(path);
    EXPECT_TRUE(info) << name << " cannot be read";
    if (!info || info->at("streams").empty()) return out;
    out.duration = std::stod(info->at("streams")[0].value("duration", "0"));
    EXPECT_NEAR(std::stod(info->at("streams")[0].value("start_time", "-1")), 0.0, 0.001) << name;
    EXPECT_EQ(testing_support::decodeErrors(path), "") << name;
    return out;
  }
};

TEST_F(KilledRecording, FilesPlayUpToAboutASecondBeforeTheKill) {
  startDesktop({.width = 640, .height = 360, .microphone = true});
  TestWindow window({.x = 40, .y = 40, .width = 200, .height = 120, .rgb = 0x0000FF});
  ColourCycle changes(window, {0xFF0000, 0x00FF00, 0x0000FF}, 100ms);  // the picture keeps changing
  keepSpeakersRunning();
  ASSERT_FALSE(HasFatalFailure());

  const KillMoment moments[] = {
      {"right after started", 0, false},
      {"mid-recording", 3000, false},
      {"during the stop", 3000, true},
  };
  for (const KillMoment& m : moments) {
    SCOPED_TRACE(m.name);
    startRecording({{"mode", "screen"}, {"systemAudio", true}, {"microphone", true}});
    ASSERT_FALSE(HasFatalFailure());
    sleepUntilRecordingMs(m.atMs);
    const double recordedMs = recordingMs();
    if (m.duringStop) {
      agent_->writeLine("stop");
      std::this_thread::sleep_for(60ms);
    }
    agent_->signal(SIGKILL);
    const std::optional<int> status = agent_->wait();
    // A stop may finish before the kill lands.
    ASSERT_TRUE(status == 128 + SIGKILL || (m.duringStop && status == 0)) << status.value_or(-1);
    const double recorded = recordedMs / 1000;

    const Killed video = check("screen.mp4");
    const Killed system = check("system-audio.m4a");
    const Killed microphone = check("microphone.m4a");
    RecordProperty(std::string(m.name) + " recorded/video/system/microphone",
                   std::to_string(recorded) + " " + std::to_string(video.duration) + " " +
                       std::to_string(system.duration) + " " + std::to_string(microphone.duration));
    // No file lasts longer than the recording; each lacks at most about a
    // second (the fragment not yet cut); an empty file only where there was
    // not yet a second to lose.
    for (const auto& [name, killed, slack] : {std::tuple{"screen.mp4", video, 0.0},
                                              std::tuple{"system-audio.m4a", system, 0.0},
                                              // The test microphone delivers in blocks of
                                              // about two seconds.
                                              std::tuple{"microphone.m4a", microphone, 2.1}}) {
      SCOPED_TRACE(name);
      EXPECT_LE(killed.duration, recorded + 0.15);
      if (killed.empty) {
        EXPECT_LT(recorded, 1.2 + slack);
      } else {
        EXPECT_GE(killed.duration, recorded - 1.2 - slack);
      }
    }
  }
}

}  // namespace
}  // namespace e2e_tests
