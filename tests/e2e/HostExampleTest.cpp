// examples/host.py, the host developers copy, driving the built agent on a
// virtual desktop: it records the window it is told to, pauses and resumes
// on "p", stops on Ctrl-C (SIGINT), cancels on "c", and checks the result
// with tesmar-inspect.
#include "Recording.h"
#include "support/ScriptedPlatform.h"

#include <csignal>
#include <fstream>

namespace e2e_tests {
namespace {

class HostExample : public RecordingTest {
 protected:
  HostProcess runHost(const std::vector<std::string>& extra) {
    dir_ = fs::path(testing_support::temporaryPath("host-example")) / "rec";
    fs::create_directories(dir_.parent_path());
    std::vector<std::string> arguments = {std::string(TESMAR_SOURCE_DIR) + "/examples/host.py", "--agent",
                                          TESMAR_BINARY, "--inspect", TESMAR_INSPECT, "--output", dir_.string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    // The script itself, run by its #! line, as a developer runs it.
    return HostProcess::spawn(arguments[0], std::vector<std::string>(arguments.begin() + 1, arguments.end()),
                              desktop_->environment());
  }

  // Reads the host's lines until one starts with `prefix`; the lines read
  // are kept for the failure message.
  bool readUntil(HostProcess& host, const std::string& prefix) {
    while (std::optional<std::string> line = host.readLine(20s)) {
      output_ += *line + "\n";
      if (line->rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  std::string output_;
};

TEST_F(HostExample, RecordsTheChosenWindowPausesOnPAndStopsOnCtrlC) {
  startDesktop({.width = 640, .height = 360});
  TestWindow window({.x = 80, .y = 60, .width = 240, .height = 160, .rgb = 0x336699});
  HostProcess host = runHost({"--window", std::to_string(window.id())});
  ASSERT_TRUE(readUntil(host, "recording into " + dir_.string())) << output_;
  ASSERT_TRUE(readUntil(host, "started: ")) << output_;
  host.writeLine("p");
  ASSERT_TRUE(readUntil(host, "paused")) << output_;
  host.writeLine("p");
  ASSERT_TRUE(readUntil(host, "resumed")) << output_;
  std::this_thread::sleep_for(1s);
  host.signal(SIGINT);
  ASSERT_TRUE(readUntil(host, "stopped (user): ")) << output_;
  ASSERT_TRUE(readUntil(host, dir_.string() + ": a whole recording, every check holds")) << output_;
  for (const std::string& line : host.readRemainingLines()) output_ += line + "\n";
  EXPECT_EQ(host.wait(), std::optional<int>(0)) << output_;

  // What the host made is the window's recording.
  std::ifstream in(dir_ / "metadata.json");
  const json metadata = json::parse(in, nullptr, false);
  ASSERT_TRUE(metadata.is_object());
  EXPECT_EQ(metadata.at("mode"), "window");
  // The window with its frame from the window manager.
  EXPECT_GE(metadata.at("width").get<int>(), 240);
  EXPECT_LE(metadata.at("width").get<int>(), 260);
  EXPECT_EQ(metadata.at("stopReason"), "user");
  EXPECT_GE(metadata.at("durationMs").get<double>(), 1000);
}

TEST_F(HostExample, CancelsOnC) {
  startDesktop({.width = 640, .height = 360});
  HostProcess host = runHost({});
  ASSERT_TRUE(readUntil(host, "started: 640×360 pixels")) << output_;
  host.writeLine("c");
  ASSERT_TRUE(readUntil(host, "cancelled")) << output_;
  for (const std::string& line : host.readRemainingLines()) output_ += line + "\n";
  EXPECT_EQ(host.wait(), std::optional<int>(0)) << output_;
  EXPECT_FALSE(fs::exists(dir_)) << output_;
}

}  // namespace
}  // namespace e2e_tests
