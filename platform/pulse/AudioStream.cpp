#include "platform/pulse/AudioStream.h"

#include "platform/Clock.h"

#include <pulse/error.h>

#include <algorithm>
#include <cmath>

namespace platform::pulse {

namespace {

constexpr int kBytesPerFrame = AudioStream::kChannels * static_cast<int>(sizeof(float));
constexpr int kFragmentFrames = AudioStream::kSampleRate / 100;  // 10 ms
constexpr int kBufferCapacityFrames = AudioStream::kSampleRate / 10;  // 100 ms per pooled buffer
// Up to 256 buffers may be held downstream (the writer's queue) before data
// is dropped: seconds of audio, far beyond what a working writer holds.
constexpr size_t kMaxBuffers = 256;
// Made at the start, so that a running capture allocates nothing: 3 s of
// audio held at once (a source that delivers in bursts of up to 2 s, a
// writer's short stall) before the pool has to grow. About 1.2 MB.
constexpr size_t kInitialBuffers = 30;
// A buffer whose measured stamp lies within this of where the previous one
// ended continues it: latency reports jitter and drift by milliseconds while
// the audio itself flows without a break. Beyond it the stream has had a
// real break (a hole, an idle sink) and the stamp is taken as measured.
constexpr double kContinuityWindow = 0.2;
// How far one buffer's stamp may move towards the measured time while
// continuing: inaudible, and enough to follow the clocks' drift.
constexpr double kMaxSlewPerBuffer = 0.0005;
constexpr double kSlewFraction = 0.05;
constexpr auto kStartTimeout = std::chrono::seconds(5);

}  // namespace

AudioStream::AudioStream(OutputType type, std::optional<std::string> source, StreamDelegate& delegate,
                         CaptureStream* reportAs)
    : type_(type), source_(std::move(source)), delegate_(delegate), reportAs_(reportAs ? *reportAs : *this) {}

AudioStream::~AudioStream() { stopCapture(); }

std::optional<Error> AudioStream::addStreamOutput(StreamOutput& output, OutputType type, SerialQueue& queue) {
  if (type != type_) return Error{"This stream captures one kind of audio only."};
  output_ = &output;
  queue_ = &queue;
  return std::nullopt;
}

std::optional<Error> AudioStream::startCapture() {
  std::lock_guard<std::mutex> lifecycle(lifecycleLock_);
  if (session_) return Error{"The audio capture has already started."};
  std::unique_ptr<Session> created = Session::create("tesmar-recorder");
  if (!created) return Error{"The audio system could not be set up."};
  Session* session = created.get();
  {
    std::lock_guard<std::mutex> lock(sessionLock_);
    session_ = std::move(created);
    if (interrupted_) session->interrupt();
  }
  std::optional<Error> error = session->connectToServer();
  if (!error) {
    pool_ = std::make_unique<AudioBufferPool>(kSampleRate, kChannels, kBufferCapacityFrames, kInitialBuffers,
                                              kMaxBuffers);
    Session::Lock lock(*session);
    error = openStream();
    if (error) {
      pa_context_set_state_callback(session->context(), nullptr, nullptr);
      closeStream();
    }
    capturing_ = !error;
  }
  if (error) {
    std::unique_ptr<Session> failed;
    {
      std::lock_guard<std::mutex> lock(sessionLock_);
      failed = std::move(session_);
    }
    failed.reset();  // the loop thread ends before the pool goes
    pool_.reset();
  }
  return error;
}

void AudioStream::interruptStart() {
  std::lock_guard<std::mutex> lock(sessionLock_);
  interrupted_ = true;
  if (session_) session_->interrupt();
}

std::optional<Error> AudioStream::openStream() {
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, kSampleRate, kChannels};
  const char* name = type_ == OutputType::microphone ? "Microphone" : "System audio";
  stream_ = pa_stream_new(session_->context(), name, &spec, nullptr);
  if (!stream_) return Error{"The audio capture stream could not be created."};
  pa_stream_set_state_callback(stream_, &AudioStream::onStateChange, this);
  pa_stream_set_read_callback(stream_, &AudioStream::onRead, this);
  pa_context_set_state_callback(session_->context(), &AudioStream::onContextState, this);

  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<uint32_t>(-1);
  attributes.tlength = static_cast<uint32_t>(-1);
  attributes.prebuf = static_cast<uint32_t>(-1);
  attributes.minreq = static_cast<uint32_t>(-1);
  attributes.fragsize = kFragmentFrames * kBytesPerFrame;
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE);
  const std::string what = source_ ? "The audio source \"" + *source_ + "\" cannot be recorded."
                                   : std::string("The default audio source cannot be recorded.");
  if (pa_stream_connect_record(stream_, source_ ? source_->c_str() : nullptr, &attributes, flags) < 0) {
    return Error{what};
  }
  const bool settled = session_->waitFor([this] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; },
                                         kStartTimeout);
  if (!settled) return Error{what, session_->interrupted()};
  if (pa_stream_get_state(stream_) != PA_STREAM_READY) return Error{what};
  return std::nullopt;
}

std::optional<Error> AudioStream::stopCapture() {
  std::lock_guard<std::mutex> lifecycle(lifecycleLock_);
  if (!session_) return std::nullopt;
  {
    Session::Lock lock(*session_);
    capturing_ = false;
    pa_context_set_state_callback(session_->context(), nullptr, nullptr);
    closeStream();
  }
  std::unique_ptr<Session> ended;
  {
    std::lock_guard<std::mutex> lock(sessionLock_);
    ended = std::move(session_);
  }
  ended.reset();  // the loop thread ends: no callback after this
  pool_.reset();  // buffers still held downstream stay valid until released
  if (queue_) queue_->sync([] {});
  return std::nullopt;
}

void AudioStream::closeStream() {
  if (!stream_) return;
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
}

void AudioStream::onRead(pa_stream*, size_t, void* self) { static_cast<AudioStream*>(self)->readAvailable(); }

void AudioStream::onStateChange(pa_stream* stream, void* self) {
  auto* audio = static_cast<AudioStream*>(self);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    audio->reportFailure("The audio server ended the audio capture.");
  }
  audio->session_->signal();
}

void AudioStream::onContextState(pa_context* context, void* self) {
  auto* audio = static_cast<AudioStream*>(self);
  if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
    audio->reportFailure("The connection to the audio server was lost.");
  }
  audio->session_->signal();
}

void AudioStream::reportFailure(const char* description) {
  if (!capturing_ || failed_) return;  // during start or stop the caller sees it
  failed_ = true;
  delegate_.streamDidStopWithError(reportAs_, Error{description});
}

void AudioStream::readAvailable() {
  const size_t readable = pa_stream_readable_size(stream_);
  if (readable == 0 || readable == static_cast<size_t>(-1)) return;
  // Everything readable now arrived together: its first frame was captured
  // the source's latency plus all of it ago, and the chunks follow each
  // other without a break. The source latency comes from the last timing
  // update; libpulse's interpolated stream latency is not used: until its
  // first timing update it counts the time the source slept before
  // delivering as latency.
  const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
  const double sourceLatency = timing ? static_cast<double>(timing->source_usec) / 1e6 : 0.0;
  double time = hostNow() - sourceLatency - static_cast<double>(readable) / (kBytesPerFrame * kSampleRate);
  if (nextTime_ && std::fabs(time - *nextTime_) < kContinuityWindow) {
    const double error = time - *nextTime_;
    time = *nextTime_ + std::clamp(error * kSlewFraction, -kMaxSlewPerBuffer, kMaxSlewPerBuffer);
  }
  while (pa_stream_readable_size(stream_) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) break;
    const int frames = static_cast<int>(bytes / kBytesPerFrame);
    // A hole (data lost) is dropped; the time runs on over it, and the
    // writer fills it with silence.
    if (data != nullptr) deliverChunk(static_cast<const float*>(data), frames, time);
    time += static_cast<double>(frames) / kSampleRate;
    pa_stream_drop(stream_);
  }
  nextTime_ = time;
}

void AudioStream::deliverChunk(const float* samples, int frames, double firstFrameTime) {
  int done = 0;
  while (done < frames) {
    PooledAudioBuffer* buffer = pool_->acquire();
    if (!buffer) return;  // downstream holds every buffer: the rest is dropped
    const int count = std::min(frames - done, buffer->capacityFrames());
    buffer->assign(samples + static_cast<size_t>(done) * kChannels, count);
    const double time = firstFrameTime + static_cast<double>(done) / kSampleRate;
    const SampleBuffer sample =
        SampleBuffer::audio(MediaRef<AudioBufferData>(buffer), MediaTime::fromSeconds(time, 1000000000));
    if (output_ && queue_) delivery_.deliver(*queue_, *output_, reportAs_, sample, type_);
    done += count;
  }
}

}  // namespace platform::pulse
