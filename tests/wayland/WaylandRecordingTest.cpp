// Whole recordings by the built program on a private headless Wayland
// desktop (sway, PipeWire, the desktop portal), checked through the files
// it writes and decoded back with ffprobe and ffmpeg.
#include "support/HostProcess.h"
#include "support/MediaProbe.h"
#include "support/WaylandDesktop.h"
#include "platform/wayland/Outputs.h"
#include "platform/wayland/ScreenGrab.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing_support::HostProcess;
using testing_support::Rgb;
using testing_support::WaylandDesktop;

bool near(const Rgb& pixel, uint32_t rgb, int tolerance = 40) {
  return std::abs(pixel.r - static_cast<int>(rgb >> 16 & 0xFF)) <= tolerance &&
         std::abs(pixel.g - static_cast<int>(rgb >> 8 & 0xFF)) <= tolerance &&
         std::abs(pixel.b - static_cast<int>(rgb & 0xFF)) <= tolerance;
}

// CPU seconds (user + system) a process has used so far.
double cpuSeconds(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stod(field);
    if (i == 15) stime = std::stod(field);
  }
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class WaylandRecording : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::optional<std::string> missing = WaylandDesktop::missingPart()) GTEST_SKIP() << *missing;
  }
  void TearDown() override {
    agent_.reset();
    desktop_.reset();
  }

  WaylandDesktop& startDesktop(WaylandDesktop::Options options = {}) {
    desktop_ = std::make_unique<WaylandDesktop>(options);
    return *desktop_;
  }

  // The agent with `arguments`, as the desktop's user, on its desktop.
  HostProcess spawnAgent(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{TESMAR_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    argv = desktop_->asDesktopUser(argv);
    const std::string program = argv.front();
    argv.erase(argv.begin());
    return HostProcess::spawn(program, argv, desktop_->environment());
  }

  // A one-shot command's JSON document.
  json oneShot(const std::vector<std::string>& arguments) {
    HostProcess agent = spawnAgent(arguments);
    std::optional<json> document = agent.readJson(60s);
    EXPECT_EQ(agent.wait(60s), 0);
    return document.value_or(json());
  }

  void grantScreen() {
    const json answer = oneShot({"request-permissions", "screen"});
    ASSERT_EQ(answer.value("screen", false), true) << answer.dump();
  }

  // Starts `record` with `config` (an output folder added) and waits for
  // "started".
  void startRecording(json config) {
    dir_ = desktop_->newOutputDir("rec" + std::to_string(++recordings_));
    config["outputDir"] = dir_;
    agent_.emplace(spawnAgent({"record"}));
    agent_->writeLine(config.dump());
    std::optional<json> started = agent_->readEvent("started", 30s, &before_);
    ASSERT_TRUE(started) << "no started event; before it: " << json(before_).dump();
    started_ = *started;
  }

  // Writes "stop"; the metadata of "stopped".
  json stop() {
    agent_->writeLine("stop");
    std::optional<json> stopped = agent_->readEvent("stopped", 30s);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(agent_->wait(30s), 0);
    if (!stopped) return json();
    EXPECT_EQ(stopped->value("reason", ""), "user");
    return stopped->value("metadata", json());
  }

  std::string file(const char* name) const { return dir_ + "/" + name; }

  // screen.mp4 against the metadata: H.264 High, the size, a duration
  // within a frame of durationMs, and a clean decode.
  void expectVideoMatches(const json& metadata) {
    const std::optional<json> info = testing_support::probe(file("screen.mp4"));
    ASSERT_TRUE(info) << "screen.mp4 cannot be read";
    const json& video = info->at("streams")[0];
    EXPECT_EQ(video.value("codec_name", ""), "h264");
    EXPECT_EQ(video.value("profile", ""), "High");
    EXPECT_EQ(video.value("pix_fmt", ""), "yuv420p");
    EXPECT_EQ(video.value("width", 0), metadata.at("width").get<int>());
    EXPECT_EQ(video.value("height", 0), metadata.at("height").get<int>());
    const double duration = metadata.at("durationMs").get<double>() / 1000;
    const double frame = 1.0 / metadata.at("fps").get<double>();
    EXPECT_NEAR(std::stod(info->at("format").value("duration", "0")), duration, frame + 0.001);
    EXPECT_EQ(testing_support::decodeErrors(file("screen.mp4")), "");
  }

  std::unique_ptr<WaylandDesktop> desktop_;
  std::optional<HostProcess> agent_;
  std::string dir_;
  int recordings_ = 0;
  json started_;
  std::vector<json> before_;
};

TEST_F(WaylandRecording, RecordsAChangingScreenAsTheColoursItShowed) {
  WaylandDesktop& desktop = startDesktop();
  grantScreen();
  ASSERT_FALSE(HasFatalFailure());
  const std::vector<uint32_t> colours{0xE01010, 0x10C010, 0x1010E0};
  ASSERT_TRUE(desktop.paint(colours[0]));
  startRecording({{"mode", "screen"}});
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(started_.value("width", 0), 1920);
  EXPECT_EQ(started_.value("height", 0), 1080);
  EXPECT_EQ(started_.value("scale", 0.0), 1.0);

  // The colours in turn, each held 400 ms.
  for (int round = 0; round < 2; ++round) {
    for (uint32_t colour : colours) {
      ASSERT_TRUE(desktop.paint(colour));
      std::this_thread::sleep_for(400ms);
    }
  }
  const json metadata = stop();
  ASSERT_TRUE(metadata.is_object());
  EXPECT_EQ(metadata.at("width"), 1920);
  EXPECT_EQ(metadata.at("height"), 1080);
  EXPECT_GE(metadata.at("durationMs").get<double>(), 2400);
  expectVideoMatches(metadata);

  // Every colour shows in the decoded frames, in the order painted.
  const std::vector<testing_support::PixelSample> samples = testing_support::pixelOverTime(file("screen.mp4"), 960, 540);
  ASSERT_FALSE(samples.empty());
  std::vector<uint32_t> seen;
  for (const auto& sample : samples) {
    for (uint32_t colour : colours) {
      if (near(sample.colour, colour) && (seen.empty() || seen.back() != colour)) seen.push_back(colour);
    }
  }
  std::vector<uint32_t> expected;
  for (int round = 0; round < 2; ++round) expected.insert(expected.end(), colours.begin(), colours.end());
  // The first colour was on screen before the start and again first.
  if (!seen.empty() && !expected.empty() && seen.front() == expected.front()) {
    EXPECT_EQ(seen, expected);
  } else {
    ADD_FAILURE() << "the first frame does not show the first colour";
  }
  // The last picture lasts until the end.
  const std::optional<testing_support::Picture> last =
      testing_support::pictureAt(file("screen.mp4"), metadata.at("durationMs").get<double>() / 1000 - 0.01);
  ASSERT_TRUE(last);
  EXPECT_TRUE(near(last->at(100, 100), colours.back()));
}

TEST_F(WaylandRecording, AStillScreenCostsNothingAndItsPictureLastsToTheEnd) {
  WaylandDesktop& desktop = startDesktop({.audio = false});
  grantScreen();
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(desktop.paint(0x2060A0));
  std::this_thread::sleep_for(300ms);
  const auto asked = std::chrono::steady_clock::now();
  startRecording({{"mode", "screen"}, {"fps", 30}});
  ASSERT_FALSE(HasFatalFailure());
  // Started at once, not at the next change (which never comes).
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
  std::this_thread::sleep_for(500ms);
  const double cpuBefore = cpuSeconds(agent_->pid());
  std::this_thread::sleep_for(3s);
  const double cpuUsed = cpuSeconds(agent_->pid()) - cpuBefore;
  const json metadata = stop();
  ASSERT_TRUE(metadata.is_object());
  // Under 3% of a core while nothing changes.
  EXPECT_LT(cpuUsed / 3.0, 0.03) << cpuUsed << " s of CPU in 3 s";
  // One frame, plus the still picture written again about once a second.
  EXPECT_EQ(metadata.at("frames"), 1);
  const size_t written = testing_support::videoFrameTimes(file("screen.mp4")).size();
  EXPECT_LE(written, 2u + static_cast<size_t>(metadata.at("durationMs").get<double>() / 1000));
  expectVideoMatches(metadata);
  const std::optional<testing_support::Picture> last =
      testing_support::pictureAt(file("screen.mp4"), metadata.at("durationMs").get<double>() / 1000 - 0.01);
  ASSERT_TRUE(last);
  EXPECT_TRUE(near(last->at(1900, 1070), 0x2060A0));
}

// The first frame of a start on a still screen, where the screen-cast stream
// may send nothing: grabbed from the compositor, and showing the screen.
TEST_F(WaylandRecording, GrabsTheFirstFrameFromTheCompositor) {
  WaylandDesktop& desktop = startDesktop({.audio = false});
  ASSERT_TRUE(desktop.paint(0x30C050));
  std::this_thread::sleep_for(300ms);
  for (const auto& [name, value] : desktop.environment()) setenv(name.c_str(), value.c_str(), 1);
  platform::Result<std::vector<platform::wayland::Output>> outputs = platform::wayland::readOutputs();
  ASSERT_TRUE(outputs);
  ASSERT_EQ(outputs->size(), 1u);
  const platform::wayland::Output& output = outputs->front();
  EXPECT_EQ(output.name, "HEADLESS-1");
  EXPECT_EQ(output.pixelWidth, 1920);
  EXPECT_EQ(output.pixelHeight, 1080);
  EXPECT_EQ(output.frame, platform::Rect(0, 0, 1920, 1080));
  int width = 0, height = 0;
  uint32_t centre = 0;
  std::optional<platform::Error> error =
      platform::wayland::grabOutput(output.id, [&](const platform::wayland::GrabbedPicture& picture) {
        width = picture.width;
        height = picture.height;
        const uint8_t* p = picture.pixels + static_cast<size_t>(540) * picture.stride + 960 * 4;
        centre = static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
      });
  for (const auto& [name, value] : desktop.environment()) unsetenv(name.c_str());
  ASSERT_FALSE(error) << error->description;
  EXPECT_EQ(width, 1920);
  EXPECT_EQ(height, 1080);
  EXPECT_EQ(centre, 0x30C050u);
  EXPECT_FALSE(platform::wayland::grabOutput(output.id + 1000, [](const platform::wayland::GrabbedPicture&) {}) ==
               std::nullopt);
}

TEST_F(WaylandRecording, RecordsAnAreaOfTheScreen) {
  WaylandDesktop& desktop = startDesktop({.audio = false});
  grantScreen();
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(desktop.paint(0xC08020));
  startRecording({{"mode", "area"}, {"area", {{"x", 100}, {"y", 50}, {"width", 640}, {"height", 360}}}});
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(started_.value("width", 0), 640);
  EXPECT_EQ(started_.value("height", 0), 360);
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(desktop.paint(0x20A0C0));
  std::this_thread::sleep_for(700ms);
  const json metadata = stop();
  ASSERT_TRUE(metadata.is_object());
  EXPECT_EQ(metadata.at("region"), (json{{"x", 100}, {"y", 50}, {"width", 640}, {"height", 360}}));
  expectVideoMatches(metadata);
  const std::vector<testing_support::PixelSample> samples = testing_support::pixelOverTime(file("screen.mp4"), 320, 180);
  ASSERT_FALSE(samples.empty());
  EXPECT_TRUE(near(samples.front().colour, 0xC08020));
  EXPECT_TRUE(near(samples.back().colour, 0x20A0C0));
}

// Pause and resume, with the system audio through PipeWire's PulseAudio
// server: the pause is cut out of the screen and the sound, the tone
// played during the recording is in the audio file.
TEST_F(WaylandRecording, PausesAndResumesWithTheSystemAudio) {
  WaylandDesktop& desktop = startDesktop();
  grantScreen();
  ASSERT_FALSE(HasFatalFailure());
  const std::string tone = desktop.runtimeDir() + "/tone.wav";
  ASSERT_EQ(testing_support::runCommand("ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=1.5:sample_rate=48000 -ac 2 " +
                                        testing_support::shellQuote(tone))
                .status,
            0);
  chmod(tone.c_str(), 0644);
  ASSERT_TRUE(desktop.paint(0x404040));
  startRecording({{"mode", "screen"}, {"systemAudio", true}});
  ASSERT_FALSE(HasFatalFailure());
  const auto began = std::chrono::steady_clock::now();
  desktop.spawn({"paplay", tone});
  std::this_thread::sleep_for(800ms);
  agent_->writeLine("pause");
  std::optional<json> paused = agent_->readJson(10s);
  ASSERT_TRUE(paused);
  EXPECT_EQ(paused->value("event", ""), "paused");
  const auto pausedAt = std::chrono::steady_clock::now();
  ASSERT_TRUE(desktop.paint(0xA0A0A0));  // shown only while paused: not recorded
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(desktop.paint(0x2040C0));
  std::this_thread::sleep_for(100ms);
  agent_->writeLine("resume");
  std::optional<json> resumed = agent_->readJson(10s);
  ASSERT_TRUE(resumed);
  EXPECT_EQ(resumed->value("event", ""), "resumed");
  const auto resumedAt = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(800ms);
  const auto stoppedAt = std::chrono::steady_clock::now();
  const json metadata = stop();
  ASSERT_TRUE(metadata.is_object());
  const double recordedMs =
      std::chrono::duration<double, std::milli>((pausedAt - began) + (stoppedAt - resumedAt)).count();
  EXPECT_NEAR(metadata.at("durationMs").get<double>(), recordedMs, 400);
  expectVideoMatches(metadata);
  for (const auto& sample : testing_support::pixelOverTime(file("screen.mp4"), 960, 540)) {
    EXPECT_FALSE(near(sample.colour, 0xA0A0A0, 20)) << "a picture of the pause at " << sample.time << " s";
  }
  EXPECT_EQ(metadata.value("hasSystemAudio", false), true);
  const std::optional<json> audio = testing_support::probe(file("system-audio.m4a"));
  ASSERT_TRUE(audio);
  const json& stream = audio->at("streams")[0];
  EXPECT_EQ(stream.value("codec_name", ""), "aac");
  EXPECT_EQ(stream.value("sample_rate", ""), "48000");
  EXPECT_EQ(stream.value("channels", 0), 2);
  EXPECT_EQ(testing_support::decodeErrors(file("system-audio.m4a")), "");
  const std::vector<float> samples = testing_support::audioSamples(file("system-audio.m4a"), 48000);
  EXPECT_TRUE(testing_support::firstSampleReaching(samples, 48000, 0.1f)) << "the tone is not in the audio";
}

TEST_F(WaylandRecording, ListsTheCompositorsOutput) {
  startDesktop({.audio = false});
  const json listing = oneShot({"list"});
  ASSERT_TRUE(listing.contains("displays")) << listing.dump();
  ASSERT_EQ(listing.at("displays").size(), 1u) << listing.dump();
  const json& display = listing.at("displays")[0];
  EXPECT_EQ(display.value("name", ""), "HEADLESS-1");
  EXPECT_EQ(display.at("frame"), (json{{"x", 0}, {"y", 0}, {"width", 1920}, {"height", 1080}}));
  EXPECT_EQ(display.value("scale", 0.0), 1.0);
  EXPECT_EQ(listing.at("windows"), json::array());
  EXPECT_TRUE(listing.at("microphones").is_array());
}

TEST_F(WaylandRecording, PermissionsFollowTheStoredGrant) {
  startDesktop({.audio = false});
  json before = oneShot({"permissions"});
  EXPECT_EQ(before.value("screen", true), false) << before.dump();
  EXPECT_EQ(before.value("accessibility", true), false);
  // Without a grant a recording cannot start.
  {
    HostProcess agent = spawnAgent({"record"});
    agent.writeLine(json{{"outputDir", desktop_->newOutputDir("denied")}, {"mode", "screen"}}.dump());
    std::optional<json> error = agent.readEvent("error", 30s);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->value("code", ""), "screenPermission");
    EXPECT_EQ(agent.wait(30s), 1);
  }
  grantScreen();
  ASSERT_FALSE(HasFatalFailure());
  struct stat info {};
  ASSERT_EQ(stat(desktop_->tokenPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::string first;
  std::getline(std::ifstream(desktop_->tokenPath()), first);
  EXPECT_FALSE(first.empty());
  const ino_t firstFile = info.st_ino;
  json after = oneShot({"permissions"});
  EXPECT_EQ(after.value("screen", false), true) << after.dump();
  EXPECT_EQ(after.value("accessibility", true), false);

  // A recording with the grant stores the token the portal answers its
  // start with (this portal hands out the same one again), replacing the
  // file as a whole: a new file renamed over the old one.
  startRecording({{"mode", "screen"}});
  ASSERT_FALSE(HasFatalFailure());
  std::this_thread::sleep_for(300ms);
  stop();
  std::string second;
  std::getline(std::ifstream(desktop_->tokenPath()), second);
  EXPECT_FALSE(second.empty());
  ASSERT_EQ(stat(desktop_->tokenPath().c_str(), &info), 0);
  EXPECT_NE(info.st_ino, firstFile);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // When the portal is not there, the start fails but the grant stays: only
  // the portal's refusal of the token removes it.
  desktop_->killPortal();
  {
    HostProcess agent = spawnAgent({"record"});
    agent.writeLine(json{{"outputDir", desktop_->newOutputDir("noportal")}, {"mode", "screen"}}.dump());
    std::optional<json> error = agent.readEvent("error", 60s);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->value("code", ""), "startFailed") << error->dump();
    EXPECT_EQ(agent.wait(30s), 1);
  }
  std::string kept;
  std::getline(std::ifstream(desktop_->tokenPath()), kept);
  EXPECT_EQ(kept, second);

  // A token the portal refuses as such is removed, and the recording fails
  // for want of permission.
  desktop_.reset();
  startDesktop({.audio = false});
  const std::string folder = std::filesystem::path(desktop_->tokenPath()).parent_path().string();
  ASSERT_EQ(desktop_->run({"sh", "-c", "mkdir -p -m 700 \"$0\" && echo not-a-token > \"$1\"", folder,
                           desktop_->tokenPath()}),
            0);
  {
    HostProcess agent = spawnAgent({"record"});
    agent.writeLine(json{{"outputDir", desktop_->newOutputDir("refused")}, {"mode", "screen"}}.dump());
    std::optional<json> error = agent.readEvent("error", 30s);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->value("code", ""), "screenPermission") << error->dump();
    EXPECT_EQ(agent.wait(30s), 1);
  }
  EXPECT_NE(access(desktop_->tokenPath().c_str(), F_OK), 0) << "the refused token is still stored";
}

// The screen cast ending under the recording: a warning, then the ordinary
// stop with reason systemStopped and playable files.
TEST_F(WaylandRecording, TheCastEndingUnderTheRecordingStopsItAsSystemStopped) {
  struct Cause {
    const char* name;
    void (WaylandDesktop::*kill)();
  };
  const std::vector<Cause> causes = {{"the portal", &WaylandDesktop::killPortal},
                                     {"the portal backend", &WaylandDesktop::killPortalBackend},
                                     {"PipeWire", &WaylandDesktop::killPipeWire}};
  for (const Cause& cause : causes) {
    SCOPED_TRACE(cause.name);
    WaylandDesktop& desktop = startDesktop({.audio = false});
    grantScreen();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(desktop.paint(0x808080));
    startRecording({{"mode", "screen"}});
    ASSERT_FALSE(HasFatalFailure());
    std::this_thread::sleep_for(500ms);
    (desktop.*cause.kill)();
    std::vector<json> skipped;
    std::optional<json> stopped = agent_->readEvent("stopped", 30s, &skipped);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->value("reason", ""), "systemStopped");
    ASSERT_EQ(skipped.size(), 1u) << json(skipped).dump();
    EXPECT_EQ(skipped[0].value("event", ""), "warning");
    EXPECT_EQ(agent_->wait(30s), 0);
    EXPECT_EQ(testing_support::decodeErrors(file("screen.mp4")), "");
    agent_.reset();
    desktop_.reset();
  }
}

}  // namespace
