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

}  // namespace
}  // namespace recorder_tests
