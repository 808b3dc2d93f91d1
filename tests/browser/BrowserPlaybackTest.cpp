// The writer's files in a real browser: headless Chromium loads a page
// (player.html) that plays a video and an audio file served over HTTP with
// range requests (RangeServer.py), as a web player would, and reports the
// duration, a picture drawn into a canvas, a seek to the end and playback.
// Both a cleanly finished recording and one whose writer was killed.
#include "MediaSamples.h"
#include "TempDir.h"
#include "media/TrackWriter.h"
#include "platform/ffmpeg/FfmpegMediaWriter.h"
#include "support/HostProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

using media_samples::Content;
using nlohmann::json;
using platform::MediaTime;
using testing_support::HostProcess;

namespace {

constexpr int kW = 640, kH = 360, kFps = 30;
constexpr int kAudioBuffer = 480;

std::shared_ptr<TrackWriter> makeTrack(platform::MediaWriterFactory& factory, const std::string& path, bool video) {
  auto track = TrackWriter::make(
      factory, path, video ? platform::FileType::mpeg4 : platform::FileType::appleM4A,
      video ? factory.makeInput(platform::MediaType::video, videoSettings(kW, kH, kFps))
            : factory.makeInput(platform::MediaType::audio, audioSettings()));
  return track.ok() ? track.value() : nullptr;
}

// Writes `seconds` of screen video and a tone into `dir`, paced like live
// sources when `realTime`; finishes both files at `seconds` unless the
// caller kills the process first.
void record(const std::string& dir, double seconds, bool realTime, bool finish) {
  auto factory = platform::makeFfmpegMediaWriterFactory();
  auto video = makeTrack(*factory, dir + "/screen.mp4", true);
  auto audio = makeTrack(*factory, dir + "/microphone.m4a", false);
  if (!video || !audio) return;
  video->start(MediaTime::zero());
  audio->start(MediaTime::zero());
  const auto begin = std::chrono::steady_clock::now();
  int frame = 0;
  for (int64_t sample = 0; sample < std::llround(seconds * 48000); sample += kAudioBuffer) {
    const double t = double(sample) / 48000;
    if (realTime) std::this_thread::sleep_until(begin + std::chrono::duration<double>(t));
    const auto tone = media_samples::audioSample(t, kAudioBuffer, 440, 0.5f, sample);
    realTime ? audio->append(tone) : media_samples::appendWhenReady(*audio, tone);
    if (t >= double(frame) / kFps) {
      const auto picture = media_samples::videoSample(media_samples::frame(kW, kH, frame, Content::window), t);
      realTime ? video->append(picture) : media_samples::appendWhenReady(*video, picture);
      ++frame;
    }
  }
  if (!finish) return;
  video->finish(MediaTime::fromSeconds(seconds, 1000000000));
  audio->finish(std::nullopt);
}

// What player.html reports for the files in `dir`.
json playInBrowser(const std::string& dir) {
  std::filesystem::copy_file(BROWSER_TEST_DIR "/player.html", dir + "/player.html",
                             std::filesystem::copy_options::overwrite_existing);
  HostProcess server = HostProcess::spawn("/usr/bin/python3", {BROWSER_TEST_DIR "/RangeServer.py", dir, "--lifetime", "90"});
  server.allowStandardError();
  const std::optional<std::string> port = server.readLine(std::chrono::seconds(10));
  if (!port) return {{"errors", {"the server did not start"}}};
  TempDir profile;
  HostProcess browser = HostProcess::spawn(
      "/usr/bin/chromium",
      {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--user-data-dir=" + profile.file("profile"), "--autoplay-policy=no-user-gesture-required",
       "http://127.0.0.1:" + *port + "/player.html?video=screen.mp4&audio=microphone.m4a"},
      {{"HOME", profile.file("home")}});
  browser.allowStandardError();
  const std::optional<std::string> result = server.readLine(std::chrono::seconds(60));
  if (!result) return {{"errors", {"the page reported nothing"}}};
  return json::parse(*result, nullptr, false);
}

// Plays the folder's files in the browser and hands over what it saw of the
// video and the audio; fails the test when the page reported errors or
// nothing of either.
void playedWithoutErrors(const std::string& out, json& video, json& audio) {
  const json seen = playInBrowser(out);
  ASSERT_TRUE(seen.is_object()) << seen.dump();
  ::testing::Test::RecordProperty("seen", seen.dump());
  EXPECT_EQ(seen.value("errors", json::array()), json::array()) << seen.dump();
  video = seen.value("video", json::object());
  audio = seen.value("audio", json::object());
  ASSERT_TRUE(video.contains("duration") && audio.contains("duration")) << seen.dump();
}

TEST(BrowserPlayback, FinishedFilesShowTheirDurationAPictureAndSeekToTheEnd) {
  TempDir dir;
  const std::string out = dir.file("clean");
  std::filesystem::create_directories(out);
  record(out, 3.0, false, true);
  json video, audio;
  playedWithoutErrors(out, video, audio);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_NEAR(video["duration"].get<double>(), 3.0, 0.02);
  EXPECT_EQ(video.value("width", 0), kW);
  EXPECT_EQ(video.value("height", 0), kH);
  EXPECT_GT(video["picture"]["brightness"].get<double>(), 20) << "a black picture";
  EXPECT_NEAR(video["end"]["at"].get<double>(), 2.95, 0.02);
  EXPECT_GT(video["end"]["brightness"].get<double>(), 20) << "a black picture at the end";
  EXPECT_GT(video["playedTo"].get<double>(), 0.1);
  EXPECT_NEAR(audio["duration"].get<double>(), 3.0, 0.03);
  EXPECT_NEAR(audio["endAt"].get<double>(), audio["duration"].get<double>() - 0.05, 0.02);
  EXPECT_GT(audio["playedTo"].get<double>(), 0.1);
}

TEST(BrowserPlayback, FilesOfAKilledWriterPlayFromTheStart) {
  TempDir dir;
  const std::string out = dir.file("killed");
  std::filesystem::create_directories(out);
  constexpr double kFed = 3.5;
  auto child = HostProcess::fork([&] {
    record(out, kFed, true, false);
    raise(SIGKILL);
  });
  ASSERT_EQ(child.wait(std::chrono::seconds(30)), std::optional<int>(128 + SIGKILL));
  json video, audio;
  playedWithoutErrors(out, video, audio);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_GE(video["duration"].get<double>(), kFed - 1.2);
  EXPECT_LE(video["duration"].get<double>(), kFed + 0.05);
  EXPECT_GT(video["picture"]["brightness"].get<double>(), 20) << "a black picture";
  EXPECT_GT(video["end"]["brightness"].get<double>(), 20) << "a black picture at the end";
  EXPECT_GT(video["playedTo"].get<double>(), 0.1);
  EXPECT_GE(audio["duration"].get<double>(), kFed - 1.2);
  EXPECT_LE(audio["duration"].get<double>(), kFed + 0.05);
  EXPECT_GT(audio["playedTo"].get<double>(), 0.1);
}

}  // namespace
