// Sample routing: what reaches the files, and when the recording begins.
#include "RecorderHarness.h"

namespace recorder_tests {
namespace {

TEST(SampleRouting, IdleFramesWaitForTheFirstCompleteFrame) {
  Outcome out = record({}, noSetUp, [](ScriptContext& c) {
    c.clock.setWall(1.7e9 + 500);
    frame(c, 999.0, FrameStatus::idle);
    frame(c, 999.5, FrameStatus::blank);
    c.stream().deliver(testing_support::videoFrame(999.6, std::nullopt), OutputType::screen);  // no status at all
    c.note("t0 after idle frames", c.recorder().firstFrameTime().has_value());
    c.clock.set(1000.25);  // the first frame was presented 0.25 s ago
    frame(c, 1000.0);
    stopAt(c, 1001.0);
  });
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.report["t0 after idle frames"], false);
  ASSERT_EQ(out.events(), (std::vector<std::string>{"started", "stopped"}));
  const json& started = out.lines[0];
  EXPECT_EQ(started.size(), 5u);
  EXPECT_EQ(started["width"], 320);
  EXPECT_EQ(started["height"], 180);
  EXPECT_EQ(started["scale"], 1.0);
  EXPECT_DOUBLE_EQ(started["startedAtUnixMs"].get<double>(), (1.7e9 + 500 - 0.25) * 1000);
  EXPECT_DOUBLE_EQ(out.metadata()["startedAt"].get<double>(), (1.7e9 + 500 - 0.25) * 1000);
  EXPECT_EQ(out.metadata()["frames"], 1);
}

TEST(SampleRouting, AudioIsKeptFromTheFirstFrameOnAndRefusalsAreCounted) {
  Outcome out = record({{"systemAudio", true}, {"microphone", true}}, noSetUp, [](ScriptContext& c) {
    audio(c, 999.0, 0.5);                            // before the first frame: lost, not counted
    frame(c, 1000.0);
    audio(c, 999.97, 0.02);                          // ends before t0: dropped
    audio(c, 999.99, 0.02);                          // straddles t0: kept, starts at -10 ms
    audio(c, 1000.01, 0.02);
    audio(c, 1000.2, 0.1, OutputType::microphone);
    // Data of the wrong kind is refused by the writer and counted.
    c.stream().deliver(testing_support::videoFrame(1000.3, FrameStatus::complete), OutputType::microphone);
    stopAt(c, 1000.5);
  });
  ASSERT_EQ(out.status, 0);
  json metadata = out.metadata();
  EXPECT_NEAR(metadata["audioStartMs"]["system"].get<double>(), -10.0, 1e-6);
  EXPECT_NEAR(metadata["audioStartMs"]["microphone"].get<double>(), 200.0, 1e-6);
  EXPECT_EQ(metadata["droppedAudioBuffers"], (json{{"microphone", 1}}));
  EXPECT_TRUE(metadata["hasSystemAudio"].get<bool>());
  EXPECT_EQ(testing_support::decodeErrors(out.dir + "/system-audio.m4a"), "");
}

TEST(SampleRouting, OnlyFramesThatMoveForwardAreWritten) {
  Outcome out = record({}, noSetUp, [](ScriptContext& c) {
    frame(c, 1000.0);
    frame(c, 1000.1);
    frame(c, 1000.1);   // same time: dropped
    frame(c, 1000.05);  // earlier: dropped
    frame(c, 1000.3);
    frame(c, 1000.4, FrameStatus::idle);
    stopAt(c, 1000.5);
  });
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.metadata()["frames"], 3);
  std::vector<double> times = testing_support::videoFrameTimes(out.dir + "/screen.mp4");
  // The three frames, and the last one repeated at the end time.
  ASSERT_EQ(times.size(), 4u);
  EXPECT_NEAR(times[0], 0.0, 1e-3);
  EXPECT_NEAR(times[1], 0.1, 1e-3);
  EXPECT_NEAR(times[2], 0.3, 1e-3);
  EXPECT_NEAR(times[3], 0.5, 1e-3);
}

TEST(SampleRouting, NothingIsRoutedOnceTheStopHasBegun) {
  Outcome out = record({{"systemAudio", true}}, noSetUp, [](ScriptContext& c) {
    frame(c, 1000.0);
    frame(c, 1000.1);
    c.clock.set(1000.2);
    c.recorder().stop("user", false);
    c.waitFor([&] { return c.recorder().isStopping(); });
    frame(c, 1000.15);
    audio(c, 1000.1, 0.1);
  });
  ASSERT_EQ(out.status, 0);
  json metadata = out.metadata();
  EXPECT_EQ(metadata["frames"], 2);
  EXPECT_FALSE(metadata["hasSystemAudio"].get<bool>());
}

}  // namespace
}  // namespace recorder_tests
