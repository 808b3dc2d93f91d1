#include "Recording.h"

#include "support/Eventually.h"
#include "support/ScriptedPlatform.h"

#include <xcb/xcb.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace e2e_tests {

double unixMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  return testing_support::waitUntil(condition, timeout, 20ms);
}

bool looksLike(const testing_support::Rgb& pixel, uint32_t rgb, int tolerance) {
  return std::abs(pixel.r - static_cast<int>(rgb >> 16 & 0xFF)) <= tolerance &&
         std::abs(pixel.g - static_cast<int>(rgb >> 8 & 0xFF)) <= tolerance &&
         std::abs(pixel.b - static_cast<int>(rgb & 0xFF)) <= tolerance;
}

std::string describe(const testing_support::Rgb& pixel) {
  std::ostringstream text;
  text << "rgb(" << pixel.r << ", " << pixel.g << ", " << pixel.b << ")";
  return text.str();
}

ColourCycle::ColourCycle(TestWindow& window, std::vector<uint32_t> colours, std::chrono::milliseconds period)
    : thread_([this, &window, colours = std::move(colours), period] {
        std::unique_lock lock(mutex_);
        auto next = std::chrono::steady_clock::now();
        for (size_t i = 0; !stopping_; ++i) {
          window.fill(colours[i % colours.size()]);
          paintedAt_.push_back(unixMs());
          next += period;
          wake_.wait_until(lock, next, [this] { return stopping_; });
        }
      }) {}

void ColourCycle::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

namespace {

// A connection of its own to $DISPLAY for one query; closed with the object.
struct XConnection {
  XConnection() : c(xcb_connect(nullptr, nullptr)) {}
  ~XConnection() { xcb_disconnect(c); }
  bool ok() const { return xcb_connection_has_error(c) == 0; }
  xcb_atom_t atom(const char* name) const {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    free(reply);
    return value;
  }
  xcb_connection_t* c;
};

}  // namespace

std::optional<std::pair<int, int>> frameOrigin(uint32_t window) {
  XConnection x;
  if (!x.ok()) return std::nullopt;
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x.c)).data->root;
  xcb_translate_coordinates_reply_t* position =
      xcb_translate_coordinates_reply(x.c, xcb_translate_coordinates(x.c, window, root, 0, 0), nullptr);
  xcb_get_property_reply_t* extents = xcb_get_property_reply(
      x.c, xcb_get_property(x.c, 0, window, x.atom("_NET_FRAME_EXTENTS"), XCB_ATOM_CARDINAL, 0, 4), nullptr);
  std::optional<std::pair<int, int>> origin;
  if (position && extents && xcb_get_property_value_length(extents) == 16) {
    const auto* e = static_cast<const uint32_t*>(xcb_get_property_value(extents));  // left, right, top, bottom
    origin = std::pair<int, int>(position->dst_x - static_cast<int>(e[0]), position->dst_y - static_cast<int>(e[2]));
  }
  free(position);
  free(extents);
  return origin;
}

void setWindowPid(uint32_t window, uint32_t pid) {
  XConnection x;
  ASSERT_TRUE(x.ok());
  xcb_change_property(x.c, XCB_PROP_MODE_REPLACE, window, x.atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
  free(xcb_get_input_focus_reply(x.c, xcb_get_input_focus(x.c), nullptr));  // processed
}

void RecordingTest::TearDown() {
  agent_.reset();  // kills a recording the test left running
  desktop_.reset();
  if (!dir_.empty()) fs::remove_all(dir_.parent_path());
}

VirtualDesktop& RecordingTest::startDesktop(VirtualDesktop::Options options) {
  desktop_ = std::make_unique<VirtualDesktop>(options);
  desktop_->useInThisProcess();
  return *desktop_;
}

void RecordingTest::keepSpeakersRunning() {
  const std::string heard = desktop_->runtimeDir() + "/speakers.raw";
  desktop_->spawn({"sh", "-c", "exec parec -d rec.monitor --latency-msec=10 --raw > " + heard});
  const auto size = [&] {
    std::error_code error;
    const auto bytes = fs::file_size(heard, error);
    return error ? 0 : bytes;
  };
  ASSERT_TRUE(waitFor([&] { return size() > 0; })) << "the sink's monitor delivers nothing";
  const auto first = size();
  ASSERT_TRUE(waitFor([&] { return size() > first; }, 500ms)) << "the sink's monitor does not deliver steadily";
}

void RecordingTest::startRecording(json config) {
  // A fresh directory for every recording of the test.
  if (!dir_.empty()) fs::remove_all(dir_.parent_path());
  dir_ = testing_support::temporaryPath("e2e");
  events_.clear();
  config["outputDir"] = dir_.string();
  agent_.emplace(HostProcess::spawn(TESMAR_BINARY, {"record"}, desktop_->environment()));
  agent_->writeLine(config.dump());
  std::optional<json> started = agent_->readEvent("started", 20s, &events_);
  ASSERT_TRUE(started) << "no \"started\" event; before it: " << json(events_).dump();
  started_ = *started;
}

void RecordingTest::sleepUntilRecordingMs(double ms) const {
  const double left = ms - recordingMs();
  if (left > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(left));
}

json RecordingTest::control(const std::string& line, const std::string& event) {
  agent_->writeLine(line);
  const std::optional<json> answer = agent_->readJson(10s);
  EXPECT_TRUE(answer) << "no answer to \"" << line << "\"";
  if (!answer) return json();
  EXPECT_EQ(answer->value("event", ""), event) << answer->dump();
  return *answer;
}

json RecordingTest::stop() {
  agent_->writeLine("stop");
  const json end = awaitEnd();
  EXPECT_EQ(events_, std::vector<json>()) << "events the test did not expect";
  EXPECT_EQ(end.value("event", ""), "stopped") << end.dump();
  EXPECT_EQ(end.value("reason", ""), "user") << end.dump();
  return end.value("metadata", json());
}

json RecordingTest::awaitEnd(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  json end;
  while (end.is_null()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    std::optional<json> line = agent_->readJson(std::max(left, 0ms));
    if (!line) break;
    const std::string event = line->value("event", "");
    if (event == "stopped" || event == "cancelled") {
      end = *line;
    } else {
      events_.push_back(*line);
    }
  }
  EXPECT_FALSE(end.is_null()) << "the recording did not end; events: " << json(events_).dump();
  testing_support::expectNoMoreOutput(*agent_);
  EXPECT_EQ(agent_->wait(), std::optional<int>(0));
  return end;
}

void RecordingTest::expectVideoMatches(const json& metadata, int pauses) const {
  const std::optional<json> info = testing_support::probe(file("screen.mp4"));
  ASSERT_TRUE(info) << "screen.mp4 cannot be read";
  ASSERT_EQ(info->at("streams").size(), 1u) << info->dump();
  const json& video = info->at("streams")[0];
  EXPECT_EQ(video.value("codec_name", ""), "h264");
  EXPECT_EQ(video.value("profile", ""), "High");
  EXPECT_EQ(video.value("pix_fmt", ""), "yuv420p");
  EXPECT_EQ(video.value("width", 0), metadata.at("width").get<double>());
  EXPECT_EQ(video.value("height", 0), metadata.at("height").get<double>());

  // The frames the recorder passed on, and the copy of the last one that
  // holds the picture until the end; the writer may lose some under load.
  const int frames = metadata.at("frames").get<int>();
  const int written = static_cast<int>(testing_support::videoFrameTimes(file("screen.mp4")).size());
  // Besides: the last frame written again once a second while the screen
  // is still.
  const double seconds = metadata.at("durationMs").get<double>() / 1000;
  EXPECT_LE(written, frames + 1 + static_cast<int>(seconds));
  EXPECT_GE(written, std::max(1, static_cast<int>(frames * 0.9)));

  // Frames never come faster than the frame rate, the copy of the last
  // frame that holds the picture until the end included.
  const double frame = 1.0 / metadata.at("fps").get<double>();
  const std::vector<double> times = testing_support::videoFrameTimes(file("screen.mp4"));
  std::vector<double> tooClose;
  for (size_t i = 1; i < times.size(); ++i) {
    if (times[i] - times[i - 1] < frame - 0.0005) tooClose.push_back(times[i]);
  }
  EXPECT_LE(tooClose.size(), static_cast<size_t>(pauses)) << "frames closer than 1/fps after the previous one at "
                                                          << json(tooClose).dump() << " s";

  // The video lasts as long as the recording, to within one frame.
  const double duration = metadata.at("durationMs").get<double>() / 1000;
  EXPECT_NEAR(std::stod(video.value("duration", "0")), duration, frame);
  EXPECT_NEAR(std::stod(info->at("format").value("duration", "0")), duration, frame);
}

std::optional<FolderContents> folderContents(const fs::path& dir) {
  std::error_code error;
  if (!fs::exists(dir, error)) return std::nullopt;
  FolderContents contents;
  for (auto it = fs::recursive_directory_iterator(dir, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    std::string& entry = contents[it->path().lexically_relative(dir).string()];
    if (it->is_directory(error)) {
      entry = "<folder>";
      continue;
    }
    std::ifstream in(it->path(), std::ios::binary);
    uint64_t hash = 14695981039346656037u;  // FNV-1a
    for (std::istreambuf_iterator<char> byte(in), end; byte != end; ++byte) {
      hash = (hash ^ static_cast<unsigned char>(*byte)) * 1099511628211u;
    }
    std::ostringstream description;
    description << it->file_size(error) << " bytes, hash " << std::hex << hash << std::dec << ", written "
                << it->last_write_time(error).time_since_epoch().count();
    entry = description.str();
  }
  return contents;
}

void RecordingTest::expectPlayable() const {
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    const std::string extension = entry.path().extension().string();
    if (extension != ".mp4" && extension != ".m4a") continue;
    ++files;
    EXPECT_EQ(testing_support::decodeErrors(entry.path().string()), "") << entry.path();
  }
  EXPECT_GE(files, 1) << "no media file in " << dir_;
}

void RecordingTest::expectInspectionPasses() const {
  HostProcess inspector = HostProcess::spawn(TESMAR_INSPECT, {dir_.string(), "--json"});
  std::string text;
  for (const std::string& line : inspector.readRemainingLines(60s)) text += line + "\n";
  const std::optional<int> status = inspector.wait(60s);
  const json report = json::parse(text, nullptr, false);
  ASSERT_TRUE(report.is_object()) << text;
  EXPECT_EQ(report.value("ok", false), true) << report.value("problems", json::array()).dump(1);
  EXPECT_EQ(status, std::optional<int>(0));
}

}  // namespace e2e_tests
