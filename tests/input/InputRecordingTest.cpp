// Whole recordings by the built program on a virtual desktop, with the
// pointer, buttons and keys driven by xdotool: what lands in the three input
// logs, "cursors/" and metadata.json.
#include "support/Eventually.h"
#include "support/Events.h"
#include "support/HostProcess.h"
#include "support/ScriptedPlatform.h"
#include "support/MediaProbe.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>
#include <png.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace input_tests {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing_support::HostProcess;
using testing_support::VirtualDesktop;
namespace fs = std::filesystem;

std::vector<json> readRecords(const fs::path& path) {
  std::vector<json> records;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) records.push_back(json::parse(line));
  return records;
}

std::vector<std::string> field(const std::vector<json>& records, const char* key) {
  std::vector<std::string> values;
  for (const auto& r : records) values.push_back(r[key].get<std::string>());
  return values;
}

class InputRecordingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { desktop_ = new VirtualDesktop(VirtualDesktop::Options{800, 600, false, false, false}); }
  static void TearDownTestSuite() {
    delete desktop_;
    desktop_ = nullptr;
  }
  void TearDown() override { fs::remove_all(dir); }

  void xdo(std::vector<std::string> args) {
    args.insert(args.begin(), "xdotool");
    ASSERT_EQ(desktop_->run(args), 0);
  }

  // Starts a recording of the whole screen and returns once input capture
  // runs (the first pointer record is in its log).
  HostProcess start(json config = json::object()) {
    config["outputDir"] = dir.string();
    config["mode"] = "screen";
    HostProcess agent = HostProcess::spawn(TESMAR_BINARY, {"record"}, desktop_->environment());
    agent.writeLine(config.dump());
    EXPECT_TRUE(agent.readEvent("started", 20s));
    EXPECT_TRUE(waitFor([&] { return !readRecords(dir / "mouse-moves.ndjson").empty(); }));
    return agent;
  }

  json stop(HostProcess& agent) {
    agent.writeLine("stop");
    const std::vector<json> events = testing_support::expectEvents(agent, {"stopped"}, 30s);
    EXPECT_EQ(agent.wait(), 0);
    return events.size() == 1 ? events[0]["metadata"] : json();
  }

  static bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    return testing_support::waitUntil(condition, timeout, 20ms);
  }
  // Waits until the last pointer record is at (x, y).
  bool waitForMoveTo(double x, double y) {
    return waitFor([&] {
      auto moves = readRecords(dir / "mouse-moves.ndjson");
      return !moves.empty() && moves.back()["x"] == x && moves.back()["y"] == y;
    });
  }
  size_t clickCount() const { return readRecords(dir / "mouse-clicks.ndjson").size(); }

  static VirtualDesktop* desktop_;
  fs::path dir = testing_support::temporaryPath("input-recording");
};

VirtualDesktop* InputRecordingTest::desktop_ = nullptr;

TEST_F(InputRecordingTest, PointerMovesCursorChangesAndClicks) {
  xdo({"mousemove", "700", "500"});
  HostProcess agent = start();
  xdo({"mousemove", "100", "200"});
  EXPECT_TRUE(waitForMoveTo(100, 200));
  xdo({"mousemove", "300", "350"});
  EXPECT_TRUE(waitForMoveTo(300, 350));

  // A window with its own cursor appears under the still pointer.
  const pid_t xterm = desktop_->spawn({"xterm", "-geometry", "100x40+0+0", "-e", "sleep", "60"});
  const bool cursorChanged = waitFor([&] {
    auto moves = readRecords(dir / "mouse-moves.ndjson");
    return moves.size() >= 2 && moves.back()["x"] == 300 && moves[moves.size() - 2]["x"] == 300;
  });
  const auto movesWithXterm = readRecords(dir / "mouse-moves.ndjson");
  ASSERT_FALSE(movesWithXterm.empty());
  const std::string xtermCursor = movesWithXterm.back()["cursor"];
  kill(xterm, SIGTERM);
  // The window has gone once the pointer shows another cursor again.
  EXPECT_TRUE(!cursorChanged || waitFor([&] { return readRecords(dir / "mouse-moves.ndjson").back()["cursor"] != xtermCursor; }));
  for (const char* button : {"1", "2", "4", "5", "3"}) xdo({"click", button});
  EXPECT_TRUE(waitFor([&] { return clickCount() >= 4; }));
  const json metadata = stop(agent);
  ASSERT_TRUE(cursorChanged) << "no record for the cursor change";

  // Moves: each position once, a cursor change alone as its own record, and
  // time never going back.
  const auto moves = readRecords(dir / "mouse-moves.ndjson");
  std::vector<std::pair<double, double>> positions;
  for (const auto& m : moves) {
    if (positions.empty() || positions.back() != std::pair{m["x"].get<double>(), m["y"].get<double>()}) {
      positions.emplace_back(m["x"].get<double>(), m["y"].get<double>());
    }
  }
  EXPECT_EQ(positions, (std::vector<std::pair<double, double>>{{700, 500}, {100, 200}, {300, 350}}));
  for (size_t i = 1; i < moves.size(); ++i) {
    EXPECT_GE(moves[i]["t"].get<double>(), moves[i - 1]["t"].get<double>());
    EXPECT_TRUE(moves[i]["x"] != moves[i - 1]["x"] || moves[i]["y"] != moves[i - 1]["y"] ||
                moves[i]["cursor"] != moves[i - 1]["cursor"])
        << "record " << i << " repeats the one before";
  }

  const auto clicks = readRecords(dir / "mouse-clicks.ndjson");
  EXPECT_EQ(field(clicks, "type"), (std::vector<std::string>{"mouseDown", "mouseUp", "mouseDown", "mouseUp"}));
  EXPECT_EQ(field(clicks, "button"), (std::vector<std::string>{"left", "left", "right", "right"}));
  for (const auto& c : clicks) EXPECT_EQ(std::pair(c["x"].get<double>(), c["y"].get<double>()), std::pair(300.0, 350.0));

  // Cursors: one PNG per catalogue entry, of the size the entry gives, and
  // every identifier in the logs is one of them.
  const json& cursors = metadata["cursors"];
  EXPECT_GE(cursors.size(), 2u);
  std::set<std::string> files, entries;
  for (const auto& f : fs::directory_iterator(dir / "cursors")) files.insert(f.path().stem().string());
  for (const auto& [id, info] : cursors.items()) {
    entries.insert(id);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    const std::string path = (dir / "cursors" / (id + ".png")).string();
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << path;
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    EXPECT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) << path;
    EXPECT_EQ(image.width, info["width"].get<double>()) << id;
    EXPECT_EQ(image.height, info["height"].get<double>()) << id;
    EXPECT_LT(info["hotX"].get<double>(), info["width"].get<double>()) << id;
    EXPECT_LT(info["hotY"].get<double>(), info["height"].get<double>()) << id;
  }
  EXPECT_EQ(files, entries);
  for (const auto& r : moves) EXPECT_TRUE(entries.count(r["cursor"]) || r["cursor"] == "arrow") << r;
  for (const auto& r : clicks) EXPECT_TRUE(entries.count(r["cursor"]) || r["cursor"] == "arrow") << r;
}

TEST_F(InputRecordingTest, KeystrokesWithNamesModifiersAndRepeats) {
  HostProcess agent = start();
  xdo({"key", "Return", "Tab", "space", "BackSpace", "Escape", "Home", "Prior", "Delete", "End", "Next", "Left",
       "Right", "Down", "Up", "KP_Enter", "ctrl+shift+z", "super+ctrl+alt+shift+a"});
  xdo({"keydown", "b"});
  std::this_thread::sleep_for(1200ms);
  xdo({"keyup", "b"});
  std::this_thread::sleep_for(200ms);
  const json metadata = stop(agent);
  EXPECT_EQ(metadata["hasKeystrokes"], true);

  const auto keys = readRecords(dir / "keystrokes.ndjson");
  ASSERT_GE(keys.size(), 17u + 4u);
  const std::vector<std::string> names = field(keys, "key");
  const std::vector<std::string> named(names.begin(), names.begin() + 17);
  EXPECT_EQ(named, (std::vector<std::string>{"Enter", "Tab", "Space", "Backspace", "Escape", "Home", "PageUp",
                                             "Delete", "End", "PageDown", "ArrowLeft", "ArrowRight", "ArrowDown",
                                             "ArrowUp", "\r", "Z", "A"}));
  for (size_t i = 0; i < 15; ++i) EXPECT_EQ(keys[i]["modifiers"], json::array()) << i;
  EXPECT_EQ(keys[15]["modifiers"], (json{"Control", "Shift"}));
  EXPECT_EQ(keys[16]["modifiers"], (json{"Meta", "Control", "Alt", "Shift"}));

  // The held key: one press, then repeats at the keyboard's rate.
  EXPECT_EQ(keys[17], (json{{"t", keys[17]["t"]}, {"key", "B"}, {"modifiers", json::array()}, {"isRepeat", false}}));
  for (size_t i = 18; i < keys.size(); ++i) {
    EXPECT_EQ(keys[i]["key"], "B");
    EXPECT_EQ(keys[i]["isRepeat"], true);
  }
  for (size_t i = 1; i < keys.size(); ++i) EXPECT_GE(keys[i]["t"].get<double>(), keys[i - 1]["t"].get<double>());
}

TEST_F(InputRecordingTest, KeystrokesOffLeavesTheKeyLogEmptyButLogsClicks) {
  HostProcess agent = start({{"captureKeystrokes", false}});
  xdo({"key", "a", "Return"});
  xdo({"click", "1"});
  // The keys came before the click: once it is logged, they were handled.
  EXPECT_TRUE(waitFor([&] { return clickCount() >= 2; }));
  const json metadata = stop(agent);
  EXPECT_EQ(metadata["hasKeystrokes"], false);
  EXPECT_TRUE(fs::exists(dir / "keystrokes.ndjson"));
  EXPECT_EQ(fs::file_size(dir / "keystrokes.ndjson"), 0u);
  EXPECT_EQ(readRecords(dir / "mouse-clicks.ndjson").size(), 2u);
}

}  // namespace
}  // namespace input_tests
