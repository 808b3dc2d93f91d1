// The start of a recording: what it creates, which failure wins, and how it
// chooses the target, the frame rate, the size and what is left out.
#include "RecorderHarness.h"

#include <unistd.h>

namespace recorder_tests {
namespace {

platform::CaptureWindow window(uint32_t id, int32_t pid, const std::string& bundle, int layer = 0,
                               platform::Rect frame = platform::Rect(10, 20, 200, 100)) {
  platform::CaptureWindow w;
  w.windowID = id;
  w.frame = frame;
  w.isOnScreen = true;
  w.windowLayer = layer;
  w.owningApplication = platform::RunningApplication{"App " + bundle, bundle, pid};
  return w;
}

void justStop(ScriptContext& c) { stopAt(c, 1000.0); }

struct FailureCase {
  const char* name;
  json config;
  std::function<void(ScriptedPlatform&)> setUp;
  const char* code;
  std::string message;
};

TEST(RecordingStart, FailuresEndWithTheirEventAndStatusOneLeavingTheLogsBehind) {
  const FailureCase cases[] = {
      {"no permission, even with no display", {},
       [](ScriptedPlatform& p) {
         p.permissions->screen = false;
         p.capture->content.displays.clear();
       },
       "screenPermission", "Screen capture permission is required to record (a part of) the display."},
      {"no shareable content", {},
       [](ScriptedPlatform& p) { p.capture->contentError = platform::Error{"the display server did not answer"}; },
       "startFailed", "Cannot start recording: the display server did not answer"},
      {"window not on screen", {{"mode", "window"}, {"windowId", 77}}, noSetUp, "notAvailableWindow",
       "Cannot record your window. It is not available anymore."},
      {"no display", {}, [](ScriptedPlatform& p) { p.capture->content.displays.clear(); }, "noAvailableDisplay",
       "Cannot record your display. If this error persists, try rebooting your computer."},
      {"area outside the display", {{"mode", "area"}, {"area", {{"x", 5000}, {"y", 0}, {"width", 10}, {"height", 10}}}},
       noSetUp, "startFailed",
       "Cannot start recording: the recorded area is empty (it does not overlap the display)."},
      {"area thinner than two pixels", {{"mode", "area"}, {"area", {{"x", 0}, {"y", 0}, {"width", 1.5}, {"height", 10}}}},
       noSetUp, "startFailed",
       "Cannot start recording: the recorded area is empty (it does not overlap the display)."},
      {"capture does not start", {},
       [](ScriptedPlatform& p) { p.capture->startError = platform::Error{"the capture could not begin"}; },
       "startFailed", "Cannot start recording: the capture could not begin"},
      {"output cannot be added", {},
       [](ScriptedPlatform& p) { p.capture->addOutputError = platform::Error{"no output"}; }, "startFailed",
       "Cannot start recording: no output"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome out = record(c.config, c.setUp, justStop);
    ASSERT_EQ(out.lines.size(), 1u);
    EXPECT_EQ(out.last(), (json{{"event", "error"}, {"code", c.code}, {"message", c.message}}));
    EXPECT_EQ(out.status, 1);
    EXPECT_TRUE(fs::is_directory(out.dir + "/cursors"));
    for (const char* log : {"mouse-moves.ndjson", "mouse-clicks.ndjson", "keystrokes.ndjson"}) {
      EXPECT_TRUE(fs::exists(out.dir + "/" + log)) << log;
      EXPECT_EQ(fs::file_size(out.dir + "/" + log), 0u) << log;
    }
    EXPECT_FALSE(fs::exists(out.dir + "/metadata.json"));
  }
}

TEST(RecordingStart, AnOutputDirectoryThatCannotBeCreatedFails) {
  const std::string blocker = testing_support::temporaryPath("blocker");
  fs::create_directories(fs::path(blocker).parent_path());
  std::ofstream(blocker) << "a file, not a folder";
  Outcome out = record({{"outputDir", blocker + "/inside"}}, noSetUp, justStop);
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_EQ(out.last()["code"], "startFailed");
  EXPECT_EQ(out.last()["message"].get<std::string>().rfind("Cannot start recording: ", 0), 0u);
  EXPECT_EQ(out.status, 1);
}

TEST(RecordingStart, ChoosesTheDisplayAndTheFrameRate) {
  struct Case {
    const char* name;
    json config;
    int fps;
    uint32_t display;
  };
  const Case cases[] = {
      {"absent fps: refresh rate", {}, 60, 1},
      {"zero fps: refresh rate", {{"fps", 0}}, 60, 1},
      {"negative fps: refresh rate", {{"fps", -3}}, 60, 1},
      {"lower fps kept", {{"fps", 24}}, 24, 1},
      {"fps above the refresh rate lowered", {{"fps", 240}}, 60, 1},
      {"display by id", {{"displayId", 2}}, 60, 2},
      {"unknown display: the first", {{"displayId", 99}}, 60, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome out = record(
        c.config,
        [](ScriptedPlatform& p) { p.capture->content.displays.push_back({2, platform::Rect(320, 0, 320, 180)}); },
        [](ScriptContext& ctx) {
          frame(ctx, 1000.0);
          stopAt(ctx, 1000.5);
        });
    ASSERT_EQ(out.status, 0);
    EXPECT_EQ(out.events(), (std::vector<std::string>{"started", "stopped"}));
    EXPECT_EQ(out.report["filter"]["display"], c.display);
    EXPECT_EQ(out.report["configuration"]["frameIntervalTimescale"], c.fps);
    EXPECT_EQ(out.report["configuration"]["frameIntervalValue"], 1);
    EXPECT_EQ(out.metadata()["fps"], c.fps);
    EXPECT_EQ(out.metadata()["displayRefreshRate"], 60);
  }
}

TEST(RecordingStart, MakesPixelSizesEvenAndClipsTheAreaToTheDisplay) {
  struct Case {
    const char* name;
    float scale;
    json area;
    json region;
    int width, height;
  };
  const Case cases[] = {
      {"901.5 points at scale 2", 2.0f, {{"x", 0}, {"y", 0}, {"width", 901.5}, {"height", 601}},
       {{"x", 0}, {"y", 0}, {"width", 901.5}, {"height", 601}}, 1802, 1202},
      {"901.5 points at scale 1", 1.0f, {{"x", 0}, {"y", 0}, {"width", 901.5}, {"height", 601}},
       {{"x", 0}, {"y", 0}, {"width", 901.5}, {"height", 601}}, 900, 600},
      {"area partly off the display", 1.0f, {{"x", 1800}, {"y", 1000}, {"width", 400}, {"height", 300}},
       {{"x", 1800}, {"y", 1000}, {"width", 120}, {"height", 80}}, 120, 80},
      {"area left of the display", 1.0f, {{"x", -50}, {"y", 100.5}, {"width", 150}, {"height", 50}},
       {{"x", 0}, {"y", 100.5}, {"width", 100}, {"height", 50}}, 100, 50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const float scale = c.scale;
    Outcome out = record(
        {{"mode", "area"}, {"area", c.area}},
        [scale](ScriptedPlatform& p) {
          p.capture->content.displays = {{1, platform::Rect(0, 0, 1920, 1080)}};
          p.windowing->screenList[0].frame = platform::Rect(0, 0, 1920, 1080);
          p.capture->pointPixelScale = scale;
        },
        [](ScriptContext& ctx) {
          frame(ctx, 1000.0);
          stopAt(ctx, 1000.2);
        });
    ASSERT_EQ(out.status, 0);
    ASSERT_EQ(out.events(), (std::vector<std::string>{"started", "stopped"}));
    EXPECT_EQ(out.lines[0]["width"], c.width);
    EXPECT_EQ(out.lines[0]["height"], c.height);
    EXPECT_EQ(out.lines[0]["scale"], c.scale);
    json metadata = out.metadata();
    EXPECT_EQ(metadata["region"], c.region);
    EXPECT_EQ(metadata["width"], c.width);
    EXPECT_EQ(out.report["configuration"]["width"], c.width);
    EXPECT_EQ(out.report["configuration"]["height"], c.height);
    json local = c.region;
    EXPECT_EQ(out.report["configuration"]["sourceRect"], local);
    auto probed = testing_support::probe(out.dir + "/screen.mp4");
    ASSERT_TRUE(probed);
    EXPECT_EQ((*probed)["streams"][0]["width"], c.width);
  }
}

TEST(RecordingStart, LeavesOutOwnBundleAndDesktopIconWindowsOnlyWhereAsked) {
  struct Case {
    const char* name;
    json config;
    std::vector<uint32_t> excluded;
  };
  const Case cases[] = {
      {"own windows always", {}, {1}},
      {"listed bundle ids", {{"excludeBundleIds", {"org.host", "no.such.app"}}}, {1, 2, 3}},
      {"desktop icons when asked", {{"hideDesktopIcons", true}}, {1, 4}},
      {"window mode leaves nothing out",
       {{"mode", "window"}, {"windowId", 5}, {"hideDesktopIcons", true}, {"excludeBundleIds", {"org.host"}}},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome out = record(
        c.config,
        [](ScriptedPlatform& p) {
          const int32_t self = getpid();
          p.capture->content.windows = {window(1, self, "tesmar"), window(2, 500, "org.host"),
                                        window(3, 500, "org.host", 3), window(4, 600, "org.files", -1),
                                        window(5, 700, "org.editor")};
          platform::CaptureWindow orphan = window(6, 0, "");
          orphan.owningApplication.reset();
          p.capture->content.windows.push_back(orphan);
        },
        [](ScriptContext& ctx) { stopAt(ctx, 1000.0); });
    ASSERT_EQ(out.status, 0);
    EXPECT_EQ(out.report["filter"]["excluded"], json(c.excluded));
  }
}

TEST(RecordingStart, CreatesTheFilesAndOutputsOfTheAudioFlags) {
  struct Case {
    json config;
    std::vector<int> outputs;
    bool system, microphone;
  };
  const Case cases[] = {
      {{}, {0}, false, false},
      {{{"systemAudio", true}}, {0, 1}, true, false},
      {{{"microphone", true}, {"microphoneId", "usb-mic"}}, {0, 2}, false, true},
      {{{"systemAudio", true}, {"microphone", true}}, {0, 1, 2}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config.dump());
    Outcome out = record(c.config, noSetUp, [](ScriptContext& ctx) {
      frame(ctx, 1000.0);
      audio(ctx, 1000.0, 0.5, OutputType::audio);
      audio(ctx, 1000.0, 0.5, OutputType::microphone);
      stopAt(ctx, 1000.5);
    });
    ASSERT_EQ(out.status, 0);
    EXPECT_EQ(out.report["outputs"], json(c.outputs));
    EXPECT_EQ(out.report["configuration"]["capturesAudio"], c.system);
    EXPECT_EQ(out.report["configuration"]["captureMicrophone"], c.microphone);
    EXPECT_TRUE(fs::exists(out.dir + "/screen.mp4"));
    EXPECT_EQ(fs::exists(out.dir + "/system-audio.m4a"), c.system);
    EXPECT_EQ(fs::exists(out.dir + "/microphone.m4a"), c.microphone);
    EXPECT_EQ(out.metadata()["hasSystemAudio"], c.system);
    EXPECT_EQ(out.metadata()["hasMicrophone"], c.microphone);
    EXPECT_EQ(out.report["configuration"].value("microphoneCaptureDeviceID", ""),
              c.config.is_object() ? c.config.value("microphoneId", "") : "");
  }
}

}  // namespace
}  // namespace recorder_tests
