// What the end-to-end tests share: a fixture that runs the built program as
// a host does on a private virtual desktop, checks of the files it writes,
// and a few X helpers to make and inspect the scene.
#pragma once

#include "TestWindows.h"
#include "support/Events.h"
#include "support/HostProcess.h"
#include "support/MediaProbe.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e_tests {

using namespace std::chrono_literals;
using backend_tests::TestWindow;
using nlohmann::json;
using testing_support::HostProcess;
using testing_support::VirtualDesktop;
namespace fs = std::filesystem;

// Milliseconds since 1970 on the wall clock, with fraction.
double unixMs();

// Polls `condition` every 20 ms until it holds; false when `timeout` passes.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);

// Colours as the tests paint them (0xRRGGBB) and how a decoded pixel
// compares: H.264's 4:2:0 YUV gives back each channel within a few steps.
bool looksLike(const testing_support::Rgb& pixel, uint32_t rgb, int tolerance = 48);
std::string describe(const testing_support::Rgb& pixel);

// Everything under `dir`, by path relative to it: "<folder>", or a file's
// size, a hash of its bytes and its modification time, so that two listings
// differ when a file was added, removed, changed or written again. Nothing
// when `dir` does not exist.
using FolderContents = std::map<std::string, std::string>;
std::optional<FolderContents> folderContents(const fs::path& dir);

// Repaints a window with each of `colours` in turn, one every `period`, on
// a thread of its own, until stop() or destruction. The window must not be
// used elsewhere meanwhile.
class ColourCycle {
 public:
  ColourCycle(TestWindow& window, std::vector<uint32_t> colours, std::chrono::milliseconds period);
  ~ColourCycle() { stop(); }
  void stop();
  // When each repaint had been done (unixMs), after stop().
  const std::vector<double>& paintedAt() const { return paintedAt_; }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::vector<double> paintedAt_;
  std::thread thread_;
};

// The top-left corner of a managed window's outer frame in root
// coordinates, read from the X server (client position less the window
// manager's frame extents).
std::optional<std::pair<int, int>> frameOrigin(uint32_t window);
// Sets the window's _NET_WM_PID.
void setWindowPid(uint32_t window, uint32_t pid);

// One desktop per test and at most one recording at a time on it.
class RecordingTest : public ::testing::Test {
 protected:
  void TearDown() override;

  // Starts the test's desktop and points this process's X and audio
  // clients (test windows) at it.
  VirtualDesktop& startDesktop(VirtualDesktop::Options options);
  // Brings the test sink into the state of a desktop that plays sound:
  // PulseAudio's null sink works in blocks of up to two seconds while no
  // client asks for less, and its monitor delivers nothing until such a
  // block ends. A low-latency listener on the monitor (it stays until the
  // desktop goes) makes it deliver every few milliseconds; this returns
  // once it does.
  void keepSpeakersRunning();
  // Runs `tesmar-recorder record` with `config` (a new output directory is
  // added) and waits for "started"; a fatal failure when it does not come.
  void startRecording(json config);
  // Recording time now, in milliseconds (no pause so far).
  double recordingMs() const { return unixMs() - started_.at("startedAtUnixMs").get<double>(); }
  void sleepUntilRecordingMs(double ms) const;
  // Writes `line` and expects the next output line to be the event `event`
  // (the control line's answer); returns it.
  json control(const std::string& line, const std::string& event);
  // Writes "stop" and returns the metadata of "stopped" (reason "user"); no
  // event other than those the test read came since "started".
  json stop();
  // Reads events up to the last one a recording writes ("stopped" or
  // "cancelled"), collecting those before it in events_, then expects the
  // output to end there and exit status 0. The last event, or null.
  json awaitEnd(std::chrono::milliseconds timeout = 30s);

  std::string file(const char* name) const { return (dir_ / name).string(); }
  // Checks screen.mp4 against the metadata: H.264 High, yuv420p, the size,
  // frame count and duration the metadata gives, and frames no closer
  // together than the frame interval (the first frame after each of
  // `pauses` resumes may follow closer: the time cut out is not a whole
  // number of frames).
  void expectVideoMatches(const json& metadata, int pauses = 0) const;
  // Every media file of the recording decodes without an error.
  void expectPlayable() const;
  // tesmar-inspect finds every check holding on the recording (it knows the
  // whole format; the tests keep their own checks of the media besides).
  void expectInspectionPasses() const;

  std::unique_ptr<VirtualDesktop> desktop_;
  std::optional<HostProcess> agent_;
  json started_;
  std::vector<json> events_;
  fs::path dir_;
};

}  // namespace e2e_tests
