// Pause and resume, the stop with its triggers, and the metadata document.
#include "RecorderHarness.h"

#include <csignal>

namespace recorder_tests {
namespace {

// Sends a control line and waits until it has taken effect.
void pauseAt(ScriptContext& c, double t) {
  c.clock.set(t);
  c.control("pause");
  c.waitFor([&] { return c.recorder().isPaused(); });
}

void resumeAt(ScriptContext& c, double t) {
  c.clock.set(t);
  c.control("resume");
  c.waitFor([&] { return !c.recorder().isPaused(); });
}

TEST(PauseAndResume, PausesAddUpAndAreCutOutOfEveryTimeline) {
  Outcome out = record({}, noSetUp, [](ScriptContext& c) {
    c.clock.set(999.0);
    c.recorder().pause();  // before the first frame: ignored
    c.recorder().resume();
    frame(c, 1000.0);  // t0 = 1000
    frame(c, 1004.0);
    pauseAt(c, 1004.0);
    c.control("pause");  // already paused: ignored
    frame(c, 1005.0);    // while paused: dropped
    resumeAt(c, 1007.0);
    c.control("resume");  // not paused: ignored
    frame(c, 1007.1);     // lands at 4.1 s
    pauseAt(c, 1010.0);
    resumeAt(c, 1011.0);
    c.note("pauseTotal", c.recorder().pausedTotal());
    c.note("relMs", c.recorder().relMs(1012.0).value_or(-1));
    stopAt(c, 1012.0);
  });
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.events(), (std::vector<std::string>{"started", "paused", "resumed", "paused", "resumed", "stopped"}));
  EXPECT_DOUBLE_EQ(out.report["pauseTotal"].get<double>(), 4.0);
  EXPECT_DOUBLE_EQ(out.report["relMs"].get<double>(), 8000.0);
  json metadata = out.metadata();
  EXPECT_DOUBLE_EQ(metadata["durationMs"].get<double>(), 8000.0);
  EXPECT_EQ(metadata["frames"], 3);
  std::vector<double> times = testing_support::videoFrameTimes(out.dir + "/screen.mp4");
  ASSERT_EQ(times.size(), 4u);
  EXPECT_NEAR(times[1], 4.0, 1e-3);
  EXPECT_NEAR(times[2], 4.1, 1e-3) << "a frame 0.1 s after the resume continues the timeline without a gap";
  EXPECT_NEAR(times[3], 8.0, 1e-3);
}

TEST(PauseAndResume, TheArithmeticOfTwoPauses) {
  Outcome out = record({}, noSetUp, [](ScriptContext& c) {
    frame(c, 5.0);
    pauseAt(c, 10.0);
    resumeAt(c, 12.5);
    c.note("afterFirst", c.recorder().pausedTotal());
    pauseAt(c, 20.0);
    c.note("relMsWhilePaused", c.recorder().relMs(20.5).has_value());
    resumeAt(c, 21.0);
    c.note("afterSecond", c.recorder().pausedTotal());
    stopAt(c, 25.0);
  });
  EXPECT_EQ(out.events(), (std::vector<std::string>{"started", "paused", "resumed", "paused", "resumed", "stopped"}));
  EXPECT_DOUBLE_EQ(out.report["afterFirst"].get<double>(), 2.5);
  EXPECT_DOUBLE_EQ(out.report["afterSecond"].get<double>(), 3.5);
  EXPECT_EQ(out.report["relMsWhilePaused"], false);
  EXPECT_DOUBLE_EQ(out.metadata()["durationMs"].get<double>(), (25.0 - 5.0 - 3.5) * 1000);
}

TEST(Stop, AStopWhilePausedCountsThePauseUpToTheStopWithoutResuming) {
  Outcome out = record({}, noSetUp, [](ScriptContext& c) {
    frame(c, 1000.0);
    pauseAt(c, 1002.0);
    c.clock.set(1005.0);
    c.endInput();  // the host went away while paused
  });
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.events(), (std::vector<std::string>{"started", "paused", "stopped"}));
  EXPECT_EQ(out.last()["reason"], "parentExited");
  EXPECT_DOUBLE_EQ(out.metadata()["durationMs"].get<double>(), 2000.0);
}

TEST(Stop, EveryTriggerReportsItsReason) {
  struct Case {
    const char* reason;
    std::function<void(ScriptContext&)> trigger;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"user", [](ScriptContext& c) { c.control("stop"); }, {"started", "stopped"}},
      {"parentExited", [](ScriptContext& c) { c.endInput(); }, {"started", "stopped"}},
      {"sigterm", [](ScriptContext&) { raise(SIGTERM); }, {"started", "stopped"}},
      {"systemStopped", [](ScriptContext& c) { c.stream().failWith("the display went away"); },
       {"started", "warning", "stopped"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    auto trigger = c.trigger;
    Outcome out = record({}, noSetUp, [trigger](ScriptContext& ctx) {
      frame(ctx, 1000.0);
      ctx.clock.set(1001.5);
      trigger(ctx);
    });
    ASSERT_EQ(out.status, 0);
    EXPECT_EQ(out.events(), c.events);
    EXPECT_EQ(out.last()["reason"], c.reason);
    EXPECT_EQ(out.metadata()["stopReason"], c.reason);
    EXPECT_DOUBLE_EQ(out.metadata()["durationMs"].get<double>(), 1500.0);
    if (out.events().size() == 3) {
      EXPECT_EQ(out.lines[1], (json{{"event", "warning"}, {"message", "ScreenCaptureKit stopped: the display went away"}}));
    }
  }
}

TEST(Stop, ASigtermWhileTheRecordingIsStillStartingStopsIt) {
  const std::string dir = testing_support::temporaryPath("sigterm");
  auto child = testing_support::runScenario(
      json{{"outputDir", dir}, {"mode", "screen"}}.dump(),
      [](ScriptedPlatform& p) { p.capture->contentDelay = std::chrono::milliseconds(1500); },
      [](ScriptContext&) {});
  // The handler is in place long before the content arrives.
  ASSERT_TRUE(testing_support::waitUntil([&] { return child.catches(SIGTERM); }, std::chrono::seconds(1)));
  child.signal(SIGTERM);
  const std::vector<json> events = testing_support::expectEvents(child, {"stopped"});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["reason"], "sigterm");
  EXPECT_EQ(events[0]["metadata"]["durationMs"], 0);
  EXPECT_EQ(child.wait(), 0);
}

// A stop that arrives while the start waits for a capture service that does
// not answer ends the wait at once; the recording never started, so the
// stop reports an empty recording.
TEST(Stop, AStopEndsAStartThatWaitsForTheCapture) {
  const std::string dir = testing_support::temporaryPath("waiting");
  auto child = testing_support::runScenario(
      json{{"outputDir", dir}, {"mode", "screen"}}.dump(),
      [](ScriptedPlatform& p) { p.capture->startWaitsForInterrupt = true; }, [](ScriptContext&) {});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto stopAt = std::chrono::steady_clock::now();
  child.signal(SIGTERM);
  const std::vector<std::string> lines = child.readRemainingLines(std::chrono::seconds(30));
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopAt).count();
  ASSERT_EQ(lines.size(), 1u) << json(lines).dump();
  const json stopped = json::parse(lines[0]);
  EXPECT_EQ(stopped["event"], "stopped");
  EXPECT_EQ(stopped["reason"], "sigterm");
  EXPECT_EQ(stopped["metadata"]["frames"], 0);
  EXPECT_EQ(child.wait(), 0);
  EXPECT_LT(took, 5.0) << "the start kept waiting after the stop";
}

// A failure the start finds is its own even when a stop came first: the
// recording never existed, so the host hears why, with status 1.
TEST(Stop, AStartFailureFoundAfterAStopIsStillTheError) {
  const std::string dir = testing_support::temporaryPath("failing");
  auto child = testing_support::runScenario(
      json{{"outputDir", dir}, {"mode", "screen"}}.dump(),
      [](ScriptedPlatform& p) {
        p.capture->contentDelay = std::chrono::milliseconds(600);
        p.capture->startError = platform::Error{"the source cannot be recorded"};
      },
      [](ScriptContext&) {});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  child.signal(SIGTERM);
  const std::vector<std::string> lines = child.readRemainingLines(std::chrono::seconds(30));
  ASSERT_EQ(lines.size(), 1u) << json(lines).dump();
  EXPECT_EQ(json::parse(lines[0]), (json{{"event", "error"},
                                         {"code", "startFailed"},
                                         {"message", "Cannot start recording: the source cannot be recorded"}}));
  EXPECT_EQ(child.wait(), 1);
}

TEST(Stop, TheFirstOfSeveralStopsWins) {
  // "stop" then "cancel": the files stay and the reason is "user".
  Outcome kept = record({}, noSetUp, [](ScriptContext& c) {
    frame(c, 1000.0);
    c.clock.set(1001.0);
    c.control("stop");
    c.control("cancel");
    c.endInput();
  });
  EXPECT_EQ(kept.events(), (std::vector<std::string>{"started", "stopped"}));
  EXPECT_EQ(kept.last()["reason"], "user");
  EXPECT_TRUE(fs::exists(kept.dir + "/metadata.json"));

  // "cancel" then "stop": the directory goes and only "cancelled" is written.
  Outcome cancelled = record({}, noSetUp, [](ScriptContext& c) {
    frame(c, 1000.0);
    c.control("cancel");
    c.control("stop");
  });
  EXPECT_EQ(cancelled.status, 0);
  EXPECT_EQ(cancelled.events(), (std::vector<std::string>{"started", "cancelled"}));
  EXPECT_EQ(cancelled.last(), (json{{"event", "cancelled"}}));
  EXPECT_FALSE(fs::exists(cancelled.dir));

  // Many stops at once from different threads: one "stopped".
  Outcome many = record({}, noSetUp, [](ScriptContext& c) {
    frame(c, 1000.0);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&c] { c.recorder().stop("user", false); });
    for (auto& t : threads) t.join();
    c.stream().failWith("late failure");
  });
  // The failure's warning is still written, in any place before the process
  // ends; apart from it: one start, one stop.
  std::vector<std::string> events = many.events();
  const auto warnings = std::erase(events, "warning");
  EXPECT_LE(warnings, 1u) << json(many.lines).dump();
  EXPECT_EQ(events, (std::vector<std::string>{"started", "stopped"})) << json(many.lines).dump();
  EXPECT_EQ(many.metadata()["stopReason"], "user");
}

TEST(Stop, BeforeTheFirstFrame) {
  Outcome out = record({{"systemAudio", true}}, noSetUp, [](ScriptContext& c) {
    frame(c, 999.0, FrameStatus::idle);
    stopAt(c, 1003.0);
  });
  ASSERT_EQ(out.status, 0);
  ASSERT_EQ(out.events(), (std::vector<std::string>{"stopped"}));
  json metadata = out.metadata();
  EXPECT_EQ(metadata["durationMs"], 0);
  EXPECT_EQ(metadata["frames"], 0);
  EXPECT_EQ(metadata["hasSystemAudio"], false);
  EXPECT_EQ(metadata["audioStartMs"], json::object());
  EXPECT_EQ(metadata["droppedAudioBuffers"], json::object());
  EXPECT_DOUBLE_EQ(metadata["startedAt"].get<double>(), 1.7e9 * 1000) << "the recorder's creation";
  EXPECT_FALSE(fs::exists(out.dir + "/screen.mp4")) << "a track that never started leaves no file";
}

TEST(Stop, TheMetadataDocumentHasExactlyItsMembersInTheFileAndTheEvent) {
  Outcome out = record({{"captureKeystrokes", false}}, noSetUp, [](ScriptContext& c) {
    frame(c, 1000.0);
    stopAt(c, 1000.75);
  });
  ASSERT_EQ(out.status, 0);
  ASSERT_EQ(out.events(), (std::vector<std::string>{"started", "stopped"}));
  json metadata = out.metadata();
  std::set<std::string> keys;
  for (const auto& [key, value] : metadata.items()) keys.insert(key);
  EXPECT_EQ(keys, (std::set<std::string>{"version", "mode", "durationMs", "width", "height", "scale", "fps",
                                         "displayRefreshRate", "region", "hasSystemAudio", "hasMicrophone",
                                         "hasKeystrokes", "frames", "startedAt", "audioStartMs",
                                         "droppedAudioBuffers", "stopReason", "cursors", "finished"}));
  EXPECT_EQ(out.last()["metadata"], metadata);
  EXPECT_EQ(out.last().size(), 3u);
  EXPECT_EQ(metadata["version"], 1);
  EXPECT_EQ(metadata["mode"], "screen");
  EXPECT_EQ(metadata["hasKeystrokes"], false);
  EXPECT_EQ(metadata["finished"], true);
  EXPECT_EQ(metadata["cursors"], json::object());
  EXPECT_EQ(metadata["region"], (json{{"x", 0}, {"y", 0}, {"width", 320}, {"height", 180}}));
  // Pretty-printed: one member per line.
  std::ifstream in(out.dir + "/metadata.json");
  std::string first, second;
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_EQ(first, "{");
  EXPECT_NE(second.find("  \""), std::string::npos);
}

TEST(Stop, AStaticScreenStillGivesAVideoAsLongAsTheRecording) {
  Outcome out = record({}, noSetUp, [](ScriptContext& c) {
    frame(c, 1000.0, FrameStatus::complete, 40);
    frame(c, 1000.1, FrameStatus::complete, 200);
    for (int i = 1; i < 30; ++i) frame(c, 1000.1 + i / 60.0, FrameStatus::idle);
    stopAt(c, 1003.0);
  });
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.events(), (std::vector<std::string>{"started", "stopped"}));
  const double durationMs = out.metadata()["durationMs"];
  EXPECT_DOUBLE_EQ(durationMs, 3000.0);
  auto probed = testing_support::probe(out.dir + "/screen.mp4");
  ASSERT_TRUE(probed);
  const json& stream = (*probed)["streams"][0];
  EXPECT_EQ(stream["codec_name"], "h264");
  EXPECT_EQ(stream["profile"], "High");
  const double fileDuration = std::stod((*probed)["format"]["duration"].get<std::string>());
  EXPECT_NEAR(fileDuration * 1000, durationMs, 1000.0 / 60) << "within one frame";
  EXPECT_EQ(testing_support::decodeErrors(out.dir + "/screen.mp4"), "");
}

// While the screen is still, the last frame is written again once a second
// (so a crash loses at most about a second); these copies are not frames.
TEST(Stop, AStillScreenIsWrittenAgainOnceASecond) {
  Outcome out = record({}, noSetUp, [](ScriptContext& c) {
    frame(c, 1000.0, FrameStatus::complete, 90);
    for (int i = 1; i <= 210; ++i) frame(c, 1000.0 + i / 60.0, FrameStatus::idle);
    stopAt(c, 1003.5);
  });
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.metadata()["frames"], 1);
  const std::vector<double> times = testing_support::videoFrameTimes(out.dir + "/screen.mp4");
  ASSERT_EQ(times.size(), 5u) << json(times).dump();
  for (int second = 0; second < 4; ++second) EXPECT_NEAR(times[second], second, 1.0 / 30) << json(times).dump();
  EXPECT_NEAR(times[4], 3.5, 1.0 / 60);
  EXPECT_EQ(testing_support::decodeErrors(out.dir + "/screen.mp4"), "");
}

// A stop that comes less than a frame interval after the last frame adds no
// copy of it (it would crowd the track's time stamps); the track still
// lasts until the stop, and no two frames come closer than the interval.
TEST(Stop, NoCopyOfTheLastFrameCloserThanAFrameInterval) {
  const double interval = 1.0 / 60;
  for (double stopAfterLast : {0.2 * interval, 0.9 * interval, 1.5 * interval, 3.5 * interval}) {
    SCOPED_TRACE("stop " + std::to_string(stopAfterLast * 1000) + " ms after the last frame");
    Outcome out = record({}, noSetUp, [stopAfterLast](ScriptContext& c) {
      frame(c, 1000.0, FrameStatus::complete, 40);
      frame(c, 1000.1, FrameStatus::complete, 200);
      stopAt(c, 1000.1 + stopAfterLast);
    });
    ASSERT_EQ(out.status, 0);
    const std::string video = out.dir + "/screen.mp4";
    const std::vector<double> times = testing_support::videoFrameTimes(video);
    ASSERT_GE(times.size(), 2u);
    EXPECT_EQ(times.size(), stopAfterLast >= interval ? 3u : 2u) << json(times).dump();
    for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], interval - 0.0005) << json(times).dump();
    auto probed = testing_support::probe(video);
    ASSERT_TRUE(probed);
    const double fileDuration = std::stod((*probed)["format"]["duration"].get<std::string>());
    EXPECT_NEAR(fileDuration, 0.1 + stopAfterLast, interval) << "the track lasts until the stop";
    EXPECT_EQ(testing_support::decodeErrors(video), "");
  }
}

}  // namespace
}  // namespace recorder_tests
