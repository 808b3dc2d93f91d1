// The control lines, window tracking and the disk-space watch.
#include "RecorderHarness.h"

#include <unistd.h>

namespace recorder_tests {
namespace {

TEST(ControlLoop, OnlyExactCommandWordsAfterTrimmingAct) {
  Outcome out = record({}, noSetUp, [](ScriptContext& c) {
    frame(c, 1000.0);
    for (const char* ignored : {"Pause", "PAUSE", "pause now", "p ause", "", "   ", "\rpause", "stopp", "Stop"})
      c.control(ignored);
    c.control("x" + std::string(100 * 1024, 'y'));  // over-long: discarded
    c.control("\t pause\xC2\xA0 ");
    c.waitFor([&] { return c.recorder().isPaused(); });
    c.control("\xE3\x80\x80resume");
    c.waitFor([&] { return !c.recorder().isPaused(); });
    c.control("  stop\t");
  });
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.events(), (std::vector<std::string>{"started", "paused", "resumed", "stopped"}));
  EXPECT_EQ(out.last()["reason"], "user");
}

TEST(ControlLoop, ACarriageReturnWithoutLineFeedAtTheEndOfInputIsNotALineEnding) {
  // "cancel\r" as the host's last bytes is not the word cancel: the end of
  // input stops the recording and the files stay.
  Outcome out = record({}, noSetUp, [](ScriptContext& c) {
    frame(c, 1000.0);
    const std::string last = "cancel\r";
    ASSERT_EQ(::write(c.controlFd, last.data(), last.size()), static_cast<ssize_t>(last.size()));
    c.endInput();
  });
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.events(), (std::vector<std::string>{"started", "stopped"}));
  EXPECT_EQ(out.last()["reason"], "parentExited");
  EXPECT_TRUE(fs::exists(out.dir + "/metadata.json"));
}

TEST(WindowTracking, TheRegionOriginFollowsTheWindowButNotItsSize) {
  Outcome out = record(
      {{"mode", "window"}, {"windowId", 5}},
      [](ScriptedPlatform& p) {
        platform::CaptureWindow w;
        w.windowID = 5;
        w.frame = platform::Rect(10, 20, 200, 100);
        w.isOnScreen = true;
        w.owningApplication = platform::RunningApplication{"Editor", "org.editor", 700};
        p.capture->content.windows = {w};
        p.windowing->windowFrames[5] = w.frame;
      },
      [](ScriptContext& c) {
        frame(c, 1000.0);
        {
          std::lock_guard<std::mutex> guard(c.windowing.lock);
          c.windowing.windowFrames[5] = platform::Rect(110, 25, 300, 50);  // moved and resized
        }
        c.note("followed", c.waitFor([&] { return c.recorder().currentRegion().origin.x == 110; }));
        {
          std::lock_guard<std::mutex> guard(c.windowing.lock);
          c.windowing.windowFrames.erase(5);  // closed: the region stays where it was
        }
        // Two ticks of the tracking, so one began after the window closed.
        const int asked = c.windowing.windowBoundsQueries;
        c.note("ticked", c.waitFor([&] { return c.windowing.windowBoundsQueries >= asked + 2; }));
        stopAt(c, 1001.0);
      });
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.events(), (std::vector<std::string>{"started", "stopped"}));
  EXPECT_EQ(out.report["followed"], true);
  EXPECT_EQ(out.report["ticked"], true);
  EXPECT_EQ(out.metadata()["region"], (json{{"x", 110}, {"y", 25}, {"width", 200}, {"height", 100}}));
  EXPECT_EQ(out.metadata()["mode"], "window");
}

TEST(DiskWatch, StopsStrictlyBelowTheFloor) {
  struct Case {
    const char* name;
    json config;
    std::optional<int64_t> available;  // absent: the read fails
    bool stops;
  };
  const Case cases[] = {
      {"default floor, exactly at it", {}, 1000000000, false},
      {"default floor, one byte below", {}, 999999999, true},
      {"own floor, exactly at it", {{"minFreeDiskBytes", 5000}}, 5000, false},
      {"own floor, one byte below", {{"minFreeDiskBytes", 5000}}, 4999, true},
      {"zero floor, no space at all", {{"minFreeDiskBytes", 0}}, 0, false},
      {"negative floor", {{"minFreeDiskBytes", -1}}, 0, false},
      {"read fails", {}, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto available = c.available;
    Outcome out = record(
        c.config,
        [available](ScriptedPlatform& p) {
          if (available) {
            p.files->available = *available;
          } else {
            p.files->readFails = true;
          }
        },
        [](ScriptContext& c2) {
          frame(c2, 1000.0);
          c2.clock.set(1002.0);
          c2.recorder().diskCheck();
          c2.waitFor([&] { return c2.recorder().isStopping(); }, std::chrono::milliseconds(300));
          c2.control("stop");
        });
    ASSERT_EQ(out.status, 0);
    if (c.stops) {
      EXPECT_EQ(out.events(), (std::vector<std::string>{"started", "warning", "stopped"}));
      EXPECT_EQ(out.lines[1], (json{{"event", "warning"},
                                    {"code", "lowDiskSpace"},
                                    {"message", "Recording stopped due to low disk space"}}));
      EXPECT_EQ(out.last()["reason"], "lowDiskSpace");
    } else {
      EXPECT_EQ(out.events(), (std::vector<std::string>{"started", "stopped"}));
      EXPECT_EQ(out.last()["reason"], "user");
    }
  }
}

TEST(DiskWatch, APausedRecordingIsStoppedToo) {
  Outcome out = record({{"minFreeDiskBytes", 10}}, [](ScriptedPlatform& p) { p.files->available = 9; },
                       [](ScriptContext& c) {
                         frame(c, 1000.0);
                         c.clock.set(1001.0);
                         c.recorder().pause();  // here, so that "paused" is written before the check runs
                         c.clock.set(1003.0);
                         c.recorder().diskCheck();
                       });
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.events(), (std::vector<std::string>{"started", "paused", "warning", "stopped"}));
  EXPECT_DOUBLE_EQ(out.metadata()["durationMs"].get<double>(), 1000.0);
}

}  // namespace
}  // namespace recorder_tests
