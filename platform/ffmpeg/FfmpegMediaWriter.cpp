#include "platform/ffmpeg/FfmpegMediaWriter.h"

#include "platform/ffmpeg/AudioEncoder.h"
#include "platform/ffmpeg/Muxer.h"
#include "platform/ffmpeg/SampleQueue.h"
#include "platform/ffmpeg/VideoEncoder.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <semaphore>
#include <system_error>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

namespace platform::ffmpeg {

namespace {

// Queue depths: about 130 ms of video at 60 fps (each entry holds a captured
// frame, so a deep queue would starve the capture's buffer pool), and several
// seconds of audio in 10-20 ms buffers: a busy machine or a disk that
// throttles writes can stall the encoding thread for over a second, and
// dropped sound cannot be recorded again. No more than the audio capture can
// hold out of its pool at once.
constexpr size_t kVideoQueueDepth = 8;
constexpr size_t kAudioQueueDepth = 256;

// How often an idle encoding thread looks at its file: an audio fragment
// waiting for more samples is cut, a removed file noticed.
constexpr std::chrono::milliseconds kIdleCheck{250};

// What a writer shares with its input: the status the input checks before
// queueing, and the signal that wakes the encoding thread.
struct WriterLink {
  std::atomic<WriterStatus> status{WriterStatus::unknown};
  std::atomic<WriterFailure> failure{WriterFailure::none};
  std::counting_semaphore<> wake{0};
};

class Input final : public AssetWriterInput {
 public:
  Input(MediaType type, std::unique_ptr<TrackEncoder> encoder, size_t depth)
      : type_(type), encoder_(std::move(encoder)), queue_(depth) {}

  MediaType mediaType() const override { return type_; }
  void setExpectsMediaDataInRealTime(bool) override {}  // always real time: append never waits

  bool isReadyForMoreMediaData() const override {
    return link_ && link_->status.load() == WriterStatus::writing && !finished_.load() && !queue_.full();
  }

  bool append(const SampleBuffer& sample) override {
    if (!link_ || link_->status.load() != WriterStatus::writing || finished_.load()) return false;
    if (!sample.isValid() || !encoder_->accepts(sample)) return false;
    if (!queue_.push(sample)) return false;
    link_->wake.release();
    return true;
  }

  void markAsFinished() override { finished_.store(true); }

  // Set once by the writer, before any append.
  void attach(std::shared_ptr<WriterLink> link) { link_ = std::move(link); }
  TrackEncoder& encoder() { return *encoder_; }
  SampleQueue& queue() { return queue_; }

 private:
  const MediaType type_;
  std::unique_ptr<TrackEncoder> encoder_;
  SampleQueue queue_;
  std::shared_ptr<WriterLink> link_;
  std::atomic<bool> finished_{false};
};

// One file. The encoding thread, started by startWriting(), opens the encoder
// and the file, encodes every queued sample and completes the file when
// finishWriting() asks for it.
class Writer final : public AssetWriter {
 public:
  explicit Writer(std::unique_ptr<Muxer> muxer)
      : muxer_(std::move(muxer)), name_(std::filesystem::path(muxer_->path()).filename().string()) {}

  ~Writer() override {
    if (thread_.joinable()) {
      {
        std::lock_guard lock(mutex_);
        abandon_ = true;
      }
      link_->wake.release();
      thread_.join();
    }
  }

  void add(std::shared_ptr<AssetWriterInput> input) override {
    auto ours = std::dynamic_pointer_cast<Input>(input);
    if (!ours || input_) return;
    input_ = std::move(ours);
    input_->attach(link_);
  }

  bool startWriting() override {
    if (link_->status.load() != WriterStatus::unknown) return false;
    if (!input_) {
      fail("the file has no track to write");
      return false;
    }
    link_->status.store(WriterStatus::writing);
    thread_ = std::thread([this] { run(); });
    return true;
  }

  void startSession(MediaTime sourceTime) override {
    std::lock_guard lock(mutex_);
    if (!sessionStart_) sessionStart_ = sourceTime;
  }

  void endSession(MediaTime sourceTime) override {
    std::lock_guard lock(mutex_);
    sessionEnd_ = sourceTime;
  }

  WriterStatus status() const override { return link_->status.load(); }
  WriterFailure failure() const override { return link_->failure.load(); }

  void finishWriting() override {
    std::lock_guard finishing(finishMutex_);
    if (!thread_.joinable()) return;  // never started, or already finished
    {
      std::lock_guard lock(mutex_);
      finishRequested_ = true;
    }
    link_->wake.release();
    thread_.join();
  }

  std::string errorDescription() const override {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  // The first failure is the one reported: its reason, and whether the
  // file system ran out of space (the muxer's error code says).
  void fail(const std::string& reason) {
    const int code = muxer_->lastError();
    const bool noSpace = code == AVERROR(ENOSPC) || code == AVERROR(EDQUOT);
    {
      std::lock_guard lock(mutex_);
      if (!error_.empty()) return;
      error_ = "Writing " + name_ + " failed: " + reason;
    }
    link_->failure.store(noSpace ? WriterFailure::noSpace : WriterFailure::other);
    link_->status.store(WriterStatus::failed);
  }

  bool writing() const { return link_->status.load() == WriterStatus::writing; }

  void run() {
    pthread_setname_np(pthread_self(), "tesmar.encode");
    std::string error;
    if (!input_->encoder().open(*muxer_, error) || !muxer_->open(error)) fail(error);

    std::optional<MediaTime> start;
    SampleBuffer sample;
    for (;;) {
      if (!link_->wake.try_acquire_for(kIdleCheck)) {
        if (writing() && !muxer_->cutIfStale(std::chrono::steady_clock::now(), error)) fail(error);
        continue;
      }
      bool finish, abandon;
      {
        std::lock_guard lock(mutex_);
        finish = finishRequested_;
        abandon = abandon_;
        if (!start) start = sessionStart_;
      }
      if (abandon) return;
      // Every sample queued before the finish request is encoded first.
      while (input_->queue().pop(sample)) {
        if (writing() && start && !input_->encoder().encode(sample, *start, error)) fail(error);
        sample = SampleBuffer();  // give the media data back at once
      }
      if (finish) break;
    }
    complete();
  }

  void complete() {
    std::optional<MediaTime> end;
    std::optional<MediaTime> start;
    {
      std::lock_guard lock(mutex_);
      start = sessionStart_;
      if (sessionEnd_ && sessionStart_) end = *sessionEnd_ - *sessionStart_;
    }
    std::string error;
    if (writing() && !input_->encoder().finish(end, error)) fail(error);
    if (muxer_->lastError() != 0) {
      // The file itself failed: it keeps its whole fragments and nothing
      // more is written.
      muxer_->abandon();
    } else if (!muxer_->finish(error)) {
      // After an encoder failure the file is still completed; it plays up to
      // the failure.
      fail(error);
    }
    if (writing()) link_->status.store(WriterStatus::completed);
  }

  std::unique_ptr<Muxer> muxer_;
  const std::string name_;  // the file's name, for the error description
  std::shared_ptr<WriterLink> link_ = std::make_shared<WriterLink>();
  std::shared_ptr<Input> input_;
  std::thread thread_;
  std::mutex finishMutex_;
  mutable std::mutex mutex_;  // guards the fields below
  std::optional<MediaTime> sessionStart_;
  std::optional<MediaTime> sessionEnd_;
  bool finishRequested_ = false;
  bool abandon_ = false;
  std::string error_;
};

// Whether `path` can be created (or replaced), without leaving a file.
std::optional<std::string> creationProblem(const std::string& path) {
  struct stat st;
  int error = 0;
  if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) error = EISDIR;
    else if (access(path.c_str(), W_OK) != 0) error = errno;
  } else {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      error = errno;
    } else {
      close(fd);
      unlink(path.c_str());
    }
  }
  if (error == 0) return std::nullopt;
  return "The file " + path + " cannot be created: " + std::system_category().message(error);
}

class Factory final : public MediaWriterFactory {
 public:
  Factory() {
    // Library messages would go to standard error; the agent writes nothing
    // there.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
  }

  Result<std::shared_ptr<AssetWriter>> makeWriter(const std::string& path, FileType type) override {
    if (auto problem = creationProblem(path)) return Error{*problem};
    std::string error;
    auto muxer = Muxer::create(path, type == FileType::mpeg4 ? Muxer::Container::mp4 : Muxer::Container::m4a, error);
    if (!muxer) return Error{error};
    return std::shared_ptr<AssetWriter>(std::make_shared<Writer>(std::move(muxer)));
  }

  std::shared_ptr<AssetWriterInput> makeInput(MediaType type, const OutputSettings& settings) override {
    if (type == MediaType::video) {
      const auto* video = std::get_if<VideoSettings>(&settings);
      return std::make_shared<Input>(type, std::make_unique<VideoEncoder>(video ? *video : VideoSettings{}),
                                     kVideoQueueDepth);
    }
    const auto* audio = std::get_if<AudioSettings>(&settings);
    return std::make_shared<Input>(type, std::make_unique<AudioEncoder>(audio ? *audio : AudioSettings{}),
                                   kAudioQueueDepth);
  }
};

}  // namespace

}  // namespace platform::ffmpeg

namespace platform {

std::shared_ptr<MediaWriterFactory> makeFfmpegMediaWriterFactory() {
  return std::make_shared<ffmpeg::Factory>();
}

}  // namespace platform
