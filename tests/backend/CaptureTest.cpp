// The screen capture stream on a real X server: which frames are complete,
// what their pixels show (display, area, window and composed captures), the
// frame pool, and the end of the X server.
#include "TestWindows.h"
#include "support/Eventually.h"
#include "support/VirtualDesktop.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "platform/x11/VideoStream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <thread>
#include <mutex>

namespace backend_tests {
namespace {

using namespace std::chrono_literals;
using platform::FrameStatus;
using platform::SampleBuffer;
using testing_support::VirtualDesktop;

constexpr uint32_t kRed = 0xE01010;
constexpr uint32_t kGreen = 0x10C020;
constexpr uint32_t kBlue = 0x2040F0;

// Takes every sample and failure of a stream. Holds on to the last complete
// frame, or to every frame when `holdAll` (to keep the pool's buffers busy).
class Collector final : public platform::StreamOutput, public platform::StreamDelegate {
 public:
  explicit Collector(bool holdAll = false) : holdAll_(holdAll) {}

  void streamDidOutputSampleBuffer(platform::CaptureStream&, const SampleBuffer& sample,
                                   platform::OutputType type) override {
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(type, platform::OutputType::screen);
    const int64_t status =
        sample.attachments() ? sample.attachments()->first.frameStatus.value_or(-1) : int64_t{-1};
    statuses_.push_back(status);
    times_.push_back(sample.presentationTimeStamp().seconds());
    arrivals_.push_back(platform::hostNow());
    if (status == static_cast<int64_t>(FrameStatus::complete)) {
      EXPECT_NE(sample.videoFrame(), nullptr);
      lastComplete_ = sample;
      if (holdAll_) held_.push_back(sample);
    } else {
      EXPECT_EQ(sample.videoFrame(), nullptr);  // idle frames carry no pixels
    }
    changed_.notify_all();
  }

  void streamDidStopWithError(platform::CaptureStream&, const platform::Error& error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back(error.description);
    changed_.notify_all();
  }

  // Waits until `n` samples have arrived; false on timeout.
  bool waitForCount(size_t n, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return statuses_.size() >= n; });
  }
  // Waits until a failure was reported; false on timeout.
  bool waitForError(std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !errors_.empty(); });
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return statuses_.size();
  }
  size_t completeCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count(statuses_.begin(), statuses_.end(), 0);
  }
  // The next complete frame after `seen` samples.
  std::optional<SampleBuffer> completeAfter(size_t seen, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t index = seen;
    const bool found = changed_.wait_for(lock, timeout, [&] {
      for (; index < statuses_.size(); ++index) {
        if (statuses_[index] == 0) return true;
      }
      return false;
    });
    if (!found) return std::nullopt;
    return lastComplete_;
  }
  // Waits until the last complete frame satisfies `shows` (a frame taken
  // between two changes may show only the first of them).
  std::optional<SampleBuffer> completeShowing(const std::function<bool(const SampleBuffer&)>& shows,
                                              std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return lastComplete_ && shows(*lastComplete_); })) {
      return std::nullopt;
    }
    return lastComplete_;
  }
  std::vector<int64_t> statuses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return statuses_;
  }
  std::vector<double> times() {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_;
  }
  std::vector<double> arrivals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrivals_;
  }
  std::vector<std::string> errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }
  void releaseHeld() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.clear();
    lastComplete_ = SampleBuffer();
  }

 private:
  bool holdAll_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int64_t> statuses_;
  std::vector<double> times_;
  std::vector<double> arrivals_;
  std::vector<std::string> errors_;
  std::optional<SampleBuffer> lastComplete_;
  std::vector<SampleBuffer> held_;
};

// The pixel at (x, y) as 0xRRGGBB, and whether it is opaque.
uint32_t rgbAt(const SampleBuffer& sample, int x, int y) {
  const platform::VideoFrameData& frame = *sample.videoFrame();
  uint32_t pixel;
  std::memcpy(&pixel, frame.pixels() + static_cast<size_t>(y) * frame.bytesPerRow() + static_cast<size_t>(x) * 4, 4);
  EXPECT_EQ(pixel >> 24, 0xFFu) << "alpha at " << x << "," << y;
  return pixel & 0xFFFFFF;
}

// Whether the pixel at (x, y) shows `rgb` (0xRRGGBB): exactly in a BGRA
// frame; in a 4:2:0 frame its luma and its 2x2 block's chroma within one step
// of the BT.709 limited-range values of `rgb` (the block must lie in one
// colour).
bool shows(const SampleBuffer& sample, int x, int y, uint32_t rgb) {
  const platform::VideoFrameData& frame = *sample.videoFrame();
  if (frame.pixelFormat() == platform::PixelFormat::bgra) return rgbAt(sample, x, y) == rgb;
  const double r = (rgb >> 16 & 0xFF) / 255.0, g = (rgb >> 8 & 0xFF) / 255.0, b = (rgb & 0xFF) / 255.0;
  const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  const double expected[3] = {16 + 219 * luma, 128 + 224 * (b - luma) / 1.8556, 128 + 224 * (r - luma) / 1.5748};
  const int at[3][2] = {{x, y}, {x / 2, y / 2}, {x / 2, y / 2}};
  for (int i = 0; i < 3; ++i) {
    const int value = frame.plane(i)[static_cast<size_t>(at[i][1]) * frame.planeStride(i) + at[i][0]];
    if (std::abs(value - expected[i]) > 1.5) return false;
  }
  return true;
}

const char* formatName(platform::PixelFormat format) {
  return format == platform::PixelFormat::bgra ? "BGRA" : "4:2:0";
}

class Capture : public testing::Test {
 protected:
  void SetUp() override { desktop_.useInThisProcess(); }

  platform::StreamConfiguration configuration(int width, int height, int fps = 30) {
    platform::StreamConfiguration c;
    c.width = width;
    c.height = height;
    c.showsCursor = false;
    c.minimumFrameInterval = platform::MediaTime::make(1, fps);
    c.queueDepth = 8;
    return c;
  }

  platform::ContentFilter displayFilter(std::vector<platform::CaptureWindow> excluded = {}) {
    auto content = services_.capture->shareableContent(false, true);
    EXPECT_TRUE(content.ok());
    return services_.capture->filterForDisplay(content->displays.at(0), std::move(excluded));
  }

  platform::CaptureWindow contentWindow(uint32_t id) {
    auto content = services_.capture->shareableContent(false, true);
    EXPECT_TRUE(content.ok());
    for (const platform::CaptureWindow& window : content->windows) {
      if (window.windowID == id) return window;
    }
    ADD_FAILURE() << "window " << id << " is not in the shareable content";
    return {};
  }

  std::unique_ptr<platform::CaptureStream> start(const platform::ContentFilter& filter,
                                                 const platform::StreamConfiguration& config, Collector& collector,
                                                 platform::x11::VideoStreamOptions options = {}) {
    auto stream = std::make_unique<platform::x11::VideoStream>(filter, config, collector, nullptr, options);
    EXPECT_FALSE(stream->addStreamOutput(collector, platform::OutputType::screen, queue_));
    const std::optional<platform::Error> error = stream->startCapture();
    EXPECT_FALSE(error) << error->description;
    return stream;
  }

  VirtualDesktop desktop_{{.width = 640, .height = 480}};
  platform::Services services_ = platform::makeSystemServices();
  platform::SerialQueue queue_{"test.capture"};
};

TEST_F(Capture, AStaticScreenGivesIdleFramesAndAChangeACompleteOne) {
  TestWindow window({.x = 100, .y = 100, .width = 200, .height = 150, .rgb = kRed});
  Collector collector;
  auto stream = start(displayFilter(), configuration(640, 480, 30), collector);

  // About 0.6 s of a still screen at 30 frames a second.
  ASSERT_TRUE(collector.waitForCount(18));
  const std::vector<int64_t> still = collector.statuses();
  ASSERT_GE(still.size(), 10u);
  EXPECT_EQ(still.front(), 0) << "the first frame is always complete";
  EXPECT_EQ(std::count(still.begin(), still.end(), 0), 1) << "nothing changed after the first frame";
  EXPECT_EQ(still.back(), static_cast<int64_t>(FrameStatus::idle));

  const size_t seen = collector.count();
  window.fill(kBlue);
  std::optional<SampleBuffer> changed = collector.completeAfter(seen);
  ASSERT_TRUE(changed);
  EXPECT_EQ(rgbAt(*changed, 200, 175), kBlue);
  stream->stopCapture();

  // Paced at the frame interval, stamped on the host clock at the grab: never
  // after the frame arrived, and not long before (a stamp from another clock,
  // or from the start of the stream, would be off by seconds; a sanitizer
  // build on a busy machine may take a tenth of a second to deliver).
  const std::vector<double> times = collector.times();
  const std::vector<double> arrivals = collector.arrivals();
  const double rate = (times.size() - 1) / (times.back() - times.front());
  EXPECT_NEAR(rate, 30, 3);
  constexpr double kLongestDelivery = 0.5;
  for (size_t i = 0; i < times.size(); ++i) {
    EXPECT_LE(times[i], arrivals[i]);
    EXPECT_LT(arrivals[i] - times[i], kLongestDelivery);
    if (i > 0) {
      EXPECT_GT(times[i], times[i - 1]);
    }
  }
}

TEST_F(Capture, PixelsShowTheScreenWithAndWithoutSharedMemory) {
  TestWindow window({.x = 100, .y = 60, .width = 200, .height = 150, .rgb = kGreen});
  for (platform::PixelFormat format : {platform::PixelFormat::bgra, platform::PixelFormat::i420}) {
    for (bool sharedMemory : {true, false}) {
      SCOPED_TRACE(std::string(formatName(format)) + (sharedMemory ? ", MIT-SHM" : ", GetImage"));
      platform::StreamConfiguration config = configuration(640, 480);
      config.pixelFormat = static_cast<uint32_t>(format);
      Collector collector;
      auto stream = start(displayFilter(), config, collector, {.sharedMemory = sharedMemory});
      std::optional<SampleBuffer> frame = collector.completeAfter(0);
      ASSERT_TRUE(frame);
      const platform::VideoFrameData& pixels = *frame->videoFrame();
      EXPECT_EQ(pixels.pixelFormat(), format);
      EXPECT_EQ(pixels.width(), 640);
      EXPECT_EQ(pixels.height(), 480);
      if (format == platform::PixelFormat::bgra) {
        EXPECT_GE(pixels.bytesPerRow(), 640 * 4);
      } else {
        EXPECT_GE(pixels.planeStride(0), 640);
        EXPECT_GE(pixels.planeStride(1), 320);
        EXPECT_GE(pixels.planeStride(2), 320);
      }
      // The client area starts inside the frame openbox draws (at most a few
      // pixels of border and a title bar above it).
      EXPECT_TRUE(shows(*frame, 200, 140, kGreen));
      EXPECT_TRUE(shows(*frame, 299, 200, kGreen));
      EXPECT_FALSE(shows(*frame, 320, 200, kGreen));
      EXPECT_FALSE(shows(*frame, 200, 250, kGreen));
    }
  }
}

TEST_F(Capture, AnAreaIsCroppedFromTheDisplayNotScaled) {
  TestWindow window({.x = 100, .y = 100, .width = 200, .height = 150, .rgb = kRed});
  // The area starts inside the window: its top-left pixel is red. The
  // window's frame is placed at x 100 and its client, 200 wide, sits inside
  // a one-pixel border: x 101 to 300 on screen, columns 0 to 150 of the area
  // (which starts at 150.5, taken from pixel 150).
  platform::StreamConfiguration config = configuration(250, 100);
  config.sourceRect = platform::Rect(150.5, 150, 251, 100);
  Collector collector;
  auto stream = start(displayFilter(), config, collector);
  std::optional<SampleBuffer> frame = collector.completeAfter(0);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->videoFrame()->width(), 250);
  EXPECT_EQ(frame->videoFrame()->height(), 100);
  EXPECT_EQ(rgbAt(*frame, 0, 0), kRed);
  EXPECT_EQ(rgbAt(*frame, 150, 99), kRed);
  EXPECT_NE(rgbAt(*frame, 151, 50), kRed);
}

TEST_F(Capture, AWindowShowsItsOwnContentsWhenCoveredAndMovedAndNothingOnceGone) {
  auto recorded = std::make_unique<TestWindow>(
      TestWindow::Options{.x = 50, .y = 50, .width = 200, .height = 150, .rgb = kRed, .wmClass = "Recorded"});
  TestWindow cover({.x = 20, .y = 20, .width = 400, .height = 300, .rgb = kGreen, .wmClass = "Cover"});
  cover.raise();
  const platform::CaptureWindow window = contentWindow(recorded->id());
  const int width = static_cast<int>(window.frame.width()) / 2 * 2;
  const int height = static_cast<int>(window.frame.height()) / 2 * 2;
  Collector collector;
  auto stream = start(services_.capture->filterForWindow(window), configuration(width, height), collector);
  std::optional<SampleBuffer> frame = collector.completeAfter(0);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->videoFrame()->width(), width);
  // The client sits at the bottom of the frame, above which openbox draws
  // its title bar.
  EXPECT_EQ(rgbAt(*frame, width / 2, height - 20), kRed);

  // Moved off to the right and repainted: still its own contents.
  ASSERT_EQ(desktop_.run({"xdotool", "windowmove", "--sync", std::to_string(recorded->id()), "400", "300"}), 0);
  recorded->fill(kBlue);
  frame = collector.completeShowing(
      [&](const SampleBuffer& shown) { return rgbAt(shown, width / 2, height - 20) == kBlue; });
  EXPECT_TRUE(frame) << "the repainted window was never captured in blue";

  // Closed: the stream goes on with idle frames only.
  recorded.reset();
  ASSERT_TRUE(testing_support::waitUntil([&] { return collector.statuses().back() != 0; }))
      << "frames of the closed window keep coming";
  const size_t seen = collector.count();
  ASSERT_TRUE(collector.waitForCount(seen + 10));
  const std::vector<int64_t> statuses = collector.statuses();
  EXPECT_EQ(std::count(statuses.begin() + static_cast<long>(seen), statuses.end(), 0), 0);
  EXPECT_TRUE(collector.errors().empty());
}

TEST_F(Capture, AnExcludedWindowIsLeftOutOfTheDisplay) {
  TestWindow below({.x = 50, .y = 50, .width = 300, .height = 200, .rgb = kRed, .wmClass = "Below"});
  TestWindow hidden({.x = 150, .y = 100, .width = 300, .height = 200, .rgb = kGreen, .wmClass = "Hidden"});
  hidden.raise();
  Collector collector;
  auto stream = start(displayFilter({contentWindow(hidden.id())}), configuration(640, 480), collector);
  std::optional<SampleBuffer> frame = collector.completeAfter(0);
  ASSERT_TRUE(frame);
  EXPECT_EQ(rgbAt(*frame, 250, 200), kRed);    // where both are: the window below
  EXPECT_NE(rgbAt(*frame, 400, 250), kGreen);  // where only the hidden one is
  EXPECT_EQ(rgbAt(*frame, 100, 200), kRed);    // the window below elsewhere
}

TEST_F(Capture, FramesHeldDownstreamAreNotOverwrittenAndSkippedChangesAreNotLost) {
  for (platform::PixelFormat format : {platform::PixelFormat::bgra, platform::PixelFormat::i420}) {
    SCOPED_TRACE(formatName(format));
    TestWindow window({.x = 100, .y = 100, .width = 200, .height = 150, .rgb = kRed});
    platform::StreamConfiguration config = configuration(640, 480, 30);
    config.queueDepth = 2;
    config.pixelFormat = static_cast<uint32_t>(format);
    Collector collector(/*holdAll=*/true);
    auto stream = start(displayFilter(), config, collector);
    ASSERT_TRUE(collector.completeAfter(0));
    size_t seen = collector.count();
    window.fill(kGreen);
    std::optional<SampleBuffer> second = collector.completeAfter(seen);
    ASSERT_TRUE(second);

    // Both buffers are held: a change cannot be grabbed, and no tick delivers
    // anything (the frames already delivered keep their pixels).
    window.fill(kBlue);
    std::this_thread::sleep_for(300ms);
    seen = collector.count();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(collector.count(), seen);
    EXPECT_TRUE(shows(*second, 200, 175, kGreen));

    // Released: the change that waited is the next complete frame.
    second.reset();
    collector.releaseHeld();
    std::optional<SampleBuffer> third = collector.completeAfter(seen);
    ASSERT_TRUE(third);
    EXPECT_TRUE(shows(*third, 200, 175, kBlue));
  }
}

// Only the rows that changed are read and converted again; each frame of the
// pool, whenever it is filled, still shows the whole current screen.
TEST_F(Capture, ChangedRowsReachEveryFrameOfThePool) {
  TestWindow top({.x = 100, .y = 40, .width = 200, .height = 80, .rgb = kRed, .wmClass = "Top"});
  TestWindow bottom({.x = 100, .y = 300, .width = 200, .height = 100, .rgb = kRed, .wmClass = "Bottom"});
  for (bool sharedMemory : {true, false}) {
    SCOPED_TRACE(sharedMemory ? "MIT-SHM" : "GetImage");
    top.fill(kRed);
    bottom.fill(kRed);
    platform::StreamConfiguration config = configuration(640, 480, 30);
    config.pixelFormat = static_cast<uint32_t>(platform::PixelFormat::i420);
    config.queueDepth = 3;
    Collector collector;
    auto stream = start(displayFilter(), config, collector, {.sharedMemory = sharedMemory});
    ASSERT_TRUE(collector.completeShowing([](const SampleBuffer& f) { return shows(f, 200, 80, kRed); }));

    // One window changes at a time, so each frame of the pool is filled
    // while the other window holds a colour it did not have when that frame
    // was filled before.
    const uint32_t colours[] = {kGreen, kBlue, kRed};
    uint32_t topColour = kRed, bottomColour = kRed;
    for (int round = 0; round < 8; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      const uint32_t colour = colours[round / 2 % 3];
      const bool changeTop = round % 2 == 0;
      (changeTop ? top : bottom).fill(colour);
      (changeTop ? topColour : bottomColour) = colour;
      const int changedY = changeTop ? 80 : 350;
      std::optional<SampleBuffer> frame =
          collector.completeShowing([&](const SampleBuffer& f) { return shows(f, 200, changedY, colour); });
      ASSERT_TRUE(frame);
      EXPECT_TRUE(shows(*frame, 200, 80, topColour));
      EXPECT_TRUE(shows(*frame, 200, 350, bottomColour));
    }
  }
}

TEST_F(Capture, TheEndOfTheXServerIsReportedOnce) {
  Collector collector;
  auto stream = start(displayFilter(), configuration(640, 480), collector);
  ASSERT_TRUE(collector.completeAfter(0));
  desktop_.killXServer();
  ASSERT_TRUE(collector.waitForError());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(collector.errors(), std::vector<std::string>{"The connection to the X server was lost."});
  const size_t seen = collector.count();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(collector.count(), seen);
  EXPECT_FALSE(stream->stopCapture());
}

TEST_F(Capture, AWindowThatIsGoneCannotBeCaptured) {
  platform::CaptureWindow window;
  {
    TestWindow gone({.x = 50, .y = 50});
    window = contentWindow(gone.id());
  }
  Collector collector;
  platform::x11::VideoStream stream(services_.capture->filterForWindow(window), configuration(200, 150), collector);
  ASSERT_FALSE(stream.addStreamOutput(collector, platform::OutputType::screen, queue_));
  const std::optional<platform::Error> error = stream.startCapture();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "The window to capture is not available anymore.");
}

}  // namespace
}  // namespace backend_tests
