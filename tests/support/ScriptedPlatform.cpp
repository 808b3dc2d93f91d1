#include "support/ScriptedPlatform.h"

#include "support/Eventually.h"

#include "main/RecordCommand.h"
#include "platform/LineReader.h"
#include "platform/ffmpeg/FfmpegMediaWriter.h"
#include "recorder/Recorder.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace testing_support {

// ---- windowing -------------------------------------------------------------

std::vector<platform::Screen> ScriptedWindowing::screens() {
  std::lock_guard<std::mutex> guard(lock);
  return screenList;
}

std::optional<platform::Rect> ScriptedWindowing::windowBounds(uint32_t windowID) {
  std::lock_guard<std::mutex> guard(lock);
  ++windowBoundsQueries;
  auto it = windowFrames.find(windowID);
  if (it == windowFrames.end()) return std::nullopt;
  return it->second;
}

platform::Point ScriptedWindowing::mouseLocation() {
  std::lock_guard<std::mutex> guard(lock);
  return pointer;
}

// ---- capture ---------------------------------------------------------------

platform::Result<platform::ShareableContent> ScriptedCapture::shareableContent(bool, bool) {
  std::this_thread::sleep_for(contentDelay);
  if (contentError) return *contentError;
  return content;
}

platform::ContentFilter ScriptedCapture::filterForWindow(const platform::CaptureWindow& window) {
  platform::ContentFilter f;
  f.window = window;
  f.pointPixelScale = pointPixelScale;
  return f;
}

platform::ContentFilter ScriptedCapture::filterForDisplay(const platform::CaptureDisplay& display,
                                                          std::vector<platform::CaptureWindow> excluding) {
  platform::ContentFilter f;
  f.display = display;
  f.excludedWindows = std::move(excluding);
  f.pointPixelScale = pointPixelScale;
  return f;
}

std::unique_ptr<platform::CaptureStream> ScriptedCapture::makeStream(const platform::ContentFilter& f,
                                                                     const platform::StreamConfiguration& c,
                                                                     platform::StreamDelegate& delegate) {
  filter = f;
  configuration = c;
  auto made = std::make_unique<ScriptedStream>(*this, delegate);
  stream = made.get();
  return made;
}

bool ScriptedCapture::waitUntilStarted(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(startedLock_);
  return startedChanged_.wait_for(guard, timeout, [&] { return started_; });
}

void ScriptedCapture::markStarted() {
  std::lock_guard<std::mutex> guard(startedLock_);
  started_ = true;
  startedChanged_.notify_all();
}

std::optional<platform::Error> ScriptedStream::addStreamOutput(platform::StreamOutput& output,
                                                               platform::OutputType type,
                                                               platform::SerialQueue& queue) {
  if (owner_.addOutputError) return owner_.addOutputError;
  outputs_[type] = &output;
  outputTypes.push_back(type);
  queue_ = &queue;
  return std::nullopt;
}

std::optional<platform::Error> ScriptedStream::startCapture() {
  if (owner_.startWaitsForInterrupt) {
    // A service that does not answer: only an interruption ends the wait.
    std::unique_lock<std::mutex> lock(interruptLock_);
    if (interruptChanged_.wait_for(lock, std::chrono::seconds(20), [this] { return interrupted_; })) {
      return platform::Error{"the capture was not waited for", true};
    }
    return platform::Error{"the capture service did not answer"};
  }
  if (owner_.startError) return owner_.startError;
  owner_.markStarted();
  return std::nullopt;
}

void ScriptedStream::interruptStart() {
  {
    std::lock_guard<std::mutex> lock(interruptLock_);
    interrupted_ = true;
  }
  interruptChanged_.notify_all();
}

std::optional<platform::Error> ScriptedStream::stopCapture() {
  stopped = true;
  return std::nullopt;
}

void ScriptedStream::deliver(const platform::SampleBuffer& sample, platform::OutputType type) {
  auto it = outputs_.find(type);
  if (it == outputs_.end() || stopped) return;
  platform::StreamOutput* output = it->second;
  queue_->sync([&] { output->streamDidOutputSampleBuffer(*this, sample, type); });
}

void ScriptedStream::failWith(const std::string& description) {
  std::thread([this, description] { delegate_.streamDidStopWithError(*this, platform::Error{description}); }).join();
}

// ---- files, input --------------------------------------------------------

std::optional<platform::VolumeCapacity> ScriptedFiles::volumeCapacity(const std::string&) {
  if (readFails) return std::nullopt;
  return platform::VolumeCapacity{available.load()};
}

std::optional<std::vector<uint8_t>> ScriptedFiles::encodePNG(const platform::CursorImage& image) {
  int left = failures.load();
  while (left > 0) {
    if (failures.compare_exchange_weak(left, left - 1)) return std::nullopt;
  }
  ++encoded;
  return bytesOf(image);
}

std::vector<uint8_t> ScriptedFiles::bytesOf(const platform::CursorImage& image) {
  std::vector<uint8_t> bytes(2 + image.rgba.size());
  bytes[0] = static_cast<uint8_t>(image.pixelWidth);
  bytes[1] = static_cast<uint8_t>(image.pixelHeight);
  std::copy(image.rgba.begin(), image.rgba.end(), bytes.begin() + 2);
  return bytes;
}

platform::MonitorToken ScriptedInput::addGlobalMouseMonitor(platform::MainLoop&,
                                                            std::function<void(const platform::MouseEvent&)> handler) {
  if (refuseNext > 0) {
    --refuseNext;
    return 0;
  }
  mouseHandler = std::move(handler);
  installed.push_back("mouse");
  return installed.size();
}

platform::MonitorToken ScriptedInput::addGlobalKeyMonitor(platform::MainLoop&,
                                                          std::function<void(const platform::KeyEvent&)> handler) {
  if (refuseNext > 0) {
    --refuseNext;
    return 0;
  }
  keyHandler = std::move(handler);
  installed.push_back("key");
  return installed.size();
}

void ScriptedInput::show(std::optional<platform::CursorImage> image) {
  std::lock_guard<std::mutex> guard(cursorLock_);
  shown_ = std::move(image);
  ++serial_;
}

int ScriptedInput::imagesServed() const {
  std::lock_guard<std::mutex> guard(cursorLock_);
  return imagesServed_;
}

platform::InputEventService::CursorQuery ScriptedInput::currentCursor(std::optional<uint64_t> lastSerial) {
  std::lock_guard<std::mutex> guard(cursorLock_);
  CursorQuery query;
  if (!shown_) return query;
  query.serial = serial_;
  if (lastSerial == serial_) {
    query.unchanged = true;
    return query;
  }
  ++imagesServed_;
  query.image = shown_;
  return query;
}

// ---- the platform and scenarios ------------------------------------------

ScriptedPlatform::ScriptedPlatform() {
  platform::Screen screen;
  screen.frame = platform::Rect(0, 0, 320, 180);
  screen.maximumFramesPerSecond = 60;
  screen.screenNumber = 1;
  windowing->screenList = {screen};
  capture->content.displays = {{1, platform::Rect(0, 0, 320, 180)}};
}

platform::Services ScriptedPlatform::services() {
  platform::Services s;
  s.clock = clock;
  s.windowing = windowing;
  s.capture = capture;
  s.input = input;
  s.permissions = permissions;
  s.audioDevices = std::make_shared<ScriptedAudioDevices>();
  s.media = platform::makeFfmpegMediaWriterFactory();  // the real writers
  s.files = files;
  return s;
}

platform::StreamOutput* ScriptedStream::output(platform::OutputType type) const {
  auto it = outputs_.find(type);
  return it == outputs_.end() ? nullptr : it->second;
}

// The recorder is the stream's output. It is taken from there rather than
// from globalRecorder, which the agent's main thread sets without a lock for
// its own signal path: the outputs were added before the capture started,
// and the script thread has waited for that start.
Recorder& ScriptContext::recorder() { return dynamic_cast<Recorder&>(*stream().output(platform::OutputType::screen)); }

void ScriptContext::control(const std::string& line) {
  std::string bytes = line + "\n";
  if (::write(controlFd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
}

void ScriptContext::endInput() {
  ::close(controlFd);
  controlFd = -1;
}

bool ScriptContext::waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  return waitUntil(condition, timeout, std::chrono::milliseconds(1));
}

namespace {

nlohmann::json readJsonFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return nlohmann::json::object();
  std::stringstream s;
  s << in.rdbuf();
  auto value = nlohmann::json::parse(s.str(), nullptr, false);
  return value.is_discarded() ? nlohmann::json::object() : value;
}

nlohmann::json rectJson(const platform::Rect& r) {
  return {{"x", r.origin.x}, {"y", r.origin.y}, {"width", r.size.width}, {"height", r.size.height}};
}

nlohmann::json describe(const platform::StreamConfiguration& c) {
  nlohmann::json j = {{"width", c.width},
                      {"height", c.height},
                      {"showsCursor", c.showsCursor},
                      {"frameIntervalValue", c.minimumFrameInterval.value},
                      {"frameIntervalTimescale", c.minimumFrameInterval.timescale},
                      {"queueDepth", c.queueDepth},
                      {"capturesAudio", c.capturesAudio},
                      {"captureMicrophone", c.captureMicrophone}};
  if (c.sourceRect) j["sourceRect"] = rectJson(*c.sourceRect);
  if (c.microphoneCaptureDeviceID) j["microphoneCaptureDeviceID"] = *c.microphoneCaptureDeviceID;
  return j;
}

nlohmann::json describe(const platform::ContentFilter& f) {
  nlohmann::json excluded = nlohmann::json::array();
  for (const auto& w : f.excludedWindows) excluded.push_back(w.windowID);
  nlohmann::json j = {{"excluded", excluded}};
  if (f.window) j["window"] = f.window->windowID;
  if (f.display) j["display"] = f.display->displayID;
  return j;
}

}  // namespace

void ScriptContext::note(const std::string& key, const nlohmann::json& value) {
  nlohmann::json report = readJsonFile(reportPath);
  report[key] = value;
  std::ofstream(reportPath) << report.dump();
}

nlohmann::json scenarioReport(const std::string& outputDir) { return readJsonFile(outputDir + ".report.json"); }

HostProcess runScenario(const std::string& configLine, const std::function<void(ScriptedPlatform&)>& setUp,
                        const std::function<void(ScriptContext&)>& script) {
  auto config = nlohmann::json::parse(configLine, nullptr, false);
  std::string reportPath =
      (config.is_object() && config.contains("outputDir") && config["outputDir"].is_string())
          ? config["outputDir"].get<std::string>() + ".report.json"
          : std::string("/dev/null");
  return HostProcess::fork([configLine, setUp, script, reportPath] {
    ScriptedPlatform platform;
    setUp(platform);
    int control[2];
    if (pipe(control) != 0) std::abort();
    std::string first = configLine + "\n";
    if (::write(control[1], first.data(), first.size()) != static_cast<ssize_t>(first.size())) std::abort();

    std::thread([&platform, script, control, reportPath] {
      if (!platform.capture->waitUntilStarted(std::chrono::seconds(30))) return;
      ScriptContext context{*platform.clock, *platform.capture, *platform.windowing, *platform.files, control[1],
                            reportPath};
      context.note("configuration", describe(*platform.capture->configuration));
      context.note("filter", describe(*platform.capture->filter));
      nlohmann::json outputs = nlohmann::json::array();
      for (auto type : platform.capture->stream->outputTypes) outputs.push_back(static_cast<int>(type));
      context.note("outputs", outputs);
      script(context);
    }).detach();

    platform::LineReader input(control[0]);
    runRecord(platform.services(), input);
  });
}

// ---- samples ---------------------------------------------------------------

platform::SampleBuffer videoFrame(double pts, std::optional<platform::FrameStatus> status, int width, int height,
                                  uint8_t shade) {
  auto* frame = new platform::OwnedVideoFrame(width, height);
  std::fill(frame->mutablePixels(), frame->mutablePixels() + width * height * 4, shade);
  return platform::SampleBuffer::video(platform::MediaRef<platform::VideoFrameData>(frame),
                                       platform::MediaTime::fromSeconds(pts, 1000000000), platform::MediaTime::invalid(),
                                       status);
}

platform::CursorImage cursorImage(int side, uint8_t shade, double hotX, double hotY) {
  platform::CursorImage image;
  image.pixelWidth = image.pixelHeight = side;
  image.rgba.assign(static_cast<size_t>(side) * side * 4, shade);
  image.width = image.height = side;
  image.hotX = hotX;
  image.hotY = hotY;
  return image;
}

platform::SampleBuffer audioBuffer(double pts, double seconds, bool tone) {
  const int frames = static_cast<int>(std::lround(seconds * 48000));
  auto* pcm = new platform::OwnedAudioBuffer(48000, 2, frames);
  for (int i = 0; i < frames; ++i) {
    float v = tone ? 0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * i / 48000.0)) : 0.0f;
    pcm->mutableSamples()[2 * i] = v;
    pcm->mutableSamples()[2 * i + 1] = v;
  }
  return platform::SampleBuffer::audio(platform::MediaRef<platform::AudioBufferData>(pcm),
                                       platform::MediaTime::fromSeconds(pts, 1000000000));
}

namespace {

// The temporary directories this test program made, removed when it ends
// (forked children end with _exit and leave them to their parent).
struct TemporaryDirectories {
  std::mutex lock;
  std::vector<std::string> paths;
  pid_t owner = getpid();
  ~TemporaryDirectories() {
    if (getpid() != owner) return;
    for (const auto& path : paths) {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  }
};

TemporaryDirectories& temporaryDirectories() {
  static TemporaryDirectories directories;
  return directories;
}

}  // namespace

std::string temporaryPath(const std::string& stem) {
  char pattern[256];
  snprintf(pattern, sizeof pattern, "/tmp/tesmar-%s-XXXXXX", stem.c_str());
  std::string base = mkdtemp(pattern);
  TemporaryDirectories& directories = temporaryDirectories();
  std::lock_guard<std::mutex> guard(directories.lock);
  directories.paths.push_back(base);
  return base + "/out";
}

}  // namespace testing_support
