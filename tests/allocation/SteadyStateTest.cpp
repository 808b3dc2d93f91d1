// Once a recording runs, the way of every frame and audio buffer (the capture
// thread, the delivery queue, the writers' queues and their encoding threads)
// lives on what was set up at the start: no C++ allocation per frame or per
// buffer. Counted by replacing the global operator new of this program.
// (The libraries' own malloc calls, in libxcb and FFmpeg, are not counted.)
#include "support/VirtualDesktop.h"
#include "media/TrackWriter.h"
#include "platform/Platform.h"
#include "platform/RunLoop.h"
#include "support/MediaProbe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <new>

#include <unistd.h>

namespace {

std::atomic<uint64_t> allocations{0};

void* counted(std::size_t size, std::size_t alignment = 0) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (size == 0) size = 1;
  void* p = alignment > alignof(std::max_align_t) ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                                                  : std::malloc(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t size) { return counted(size); }
void* operator new[](std::size_t size) { return counted(size); }
void* operator new(std::size_t size, std::align_val_t a) { return counted(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return counted(size, static_cast<std::size_t>(a)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return counted(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return counted(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using namespace std::chrono_literals;
using platform::OutputType;

// Hands every complete frame and every microphone buffer to its writer, as
// the recording does, and counts them. Allocates nothing itself.
class Router final : public platform::StreamOutput, public platform::StreamDelegate {
 public:
  Router(TrackWriter& video, TrackWriter& audio) : video_(video), audio_(audio) {}

  void streamDidOutputSampleBuffer(platform::CaptureStream&, const platform::SampleBuffer& sample,
                                   OutputType type) override {
    if (type == OutputType::screen) {
      if (!sample.videoFrame()) return;  // idle
      if (!video_.started()) video_.start(sample.presentationTimeStamp());
      video_.append(sample);
      frames_.fetch_add(1);
    } else if (type == OutputType::microphone) {
      if (!audio_.started()) audio_.start(sample.presentationTimeStamp());
      audio_.append(sample);
      buffers_.fetch_add(1);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
  }
  void streamDidStopWithError(platform::CaptureStream&, const platform::Error&) override { failed_ = true; }

  // Waits until `frames` frames and `buffers` audio buffers were handed on;
  // false on timeout.
  bool waitFor(uint64_t frames, uint64_t buffers = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 20s, [&] { return frames_.load() >= frames && buffers_.load() >= buffers; });
  }
  uint64_t frames() const { return frames_.load(); }
  uint64_t buffers() const { return buffers_.load(); }
  bool failed() const { return failed_.load(); }

 private:
  TrackWriter& video_;
  TrackWriter& audio_;
  std::atomic<uint64_t> frames_{0};
  std::atomic<uint64_t> buffers_{0};
  std::atomic<bool> failed_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
};

TEST(SteadyState, FramesAndAudioBuffersAllocateNothingOnceRunning) {
  testing_support::VirtualDesktop desktop({.width = 1280, .height = 720, .microphone = true});
  desktop.useInThisProcess();
  // A terminal printing as fast as it can: a part of the screen changes.
  desktop.spawn({"xterm", "-geometry", "100x30+100+100", "-e", "sh", "-c", "while :; do date +%s.%N; done"});
  ASSERT_TRUE(desktop.waitForWindow("XTerm"));

  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tesmar-steady-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  platform::Services services = platform::makeSystemServices();
  auto video = TrackWriter::make(*services.media, (dir / "screen.mp4").string(), platform::FileType::mpeg4,
                                 services.media->makeInput(platform::MediaType::video, videoSettings(1280, 720, 60)));
  auto audio = TrackWriter::make(*services.media, (dir / "microphone.m4a").string(), platform::FileType::appleM4A,
                                 services.media->makeInput(platform::MediaType::audio, audioSettings()));
  ASSERT_TRUE(video && audio);

  auto content = services.capture->shareableContent(false, true);
  ASSERT_TRUE(content.ok());
  platform::StreamConfiguration config;
  config.width = 1280;
  config.height = 720;
  config.minimumFrameInterval = platform::MediaTime::make(1, 60);
  config.queueDepth = 5;
  config.pixelFormat = static_cast<uint32_t>(platform::PixelFormat::i420);
  config.captureMicrophone = true;
  Router router(*video.value(), *audio.value());
  platform::SerialQueue queue("test.capture");
  auto stream = services.capture->makeStream(services.capture->filterForDisplay(content->displays.at(0), {}), config,
                                             router);
  ASSERT_FALSE(stream->addStreamOutput(router, OutputType::screen, queue));
  ASSERT_FALSE(stream->addStreamOutput(router, OutputType::microphone, queue));
  ASSERT_FALSE(stream->startCapture());

  // Past the start (both files begun, pools filled, encoders primed), then
  // 300 frames counted.
  ASSERT_TRUE(router.waitFor(60, 1));
  const uint64_t before = allocations.load();
  const uint64_t buffersBefore = router.buffers();
  ASSERT_TRUE(router.waitFor(router.frames() + 300));
  const uint64_t during = allocations.load() - before;
  const uint64_t buffersDuring = router.buffers() - buffersBefore;

  EXPECT_FALSE(stream->stopCapture());
  EXPECT_TRUE(video.value()->finish(std::nullopt));
  EXPECT_TRUE(audio.value()->finish(std::nullopt));
  EXPECT_FALSE(router.failed());
  EXPECT_GT(buffersDuring, 0u) << "no audio buffer came while counting";
  EXPECT_EQ(during, 0u) << "allocations while 300 frames and " << buffersDuring << " audio buffers went by";

  // The way counted was the real one: both files hold what was handed on.
  EXPECT_EQ(testing_support::decodeErrors((dir / "screen.mp4").string()), "");
  EXPECT_EQ(testing_support::decodeErrors((dir / "microphone.m4a").string()), "");
  std::filesystem::remove_all(dir);
}

}  // namespace
