// The capture stream of one audio source on PulseAudio: 48 kHz stereo 32-bit
// float from a record stream with small fragments (10 ms) and latency
// adjustment. Every buffer is delivered as an audio sample of the stream's
// output type (system audio 1 or microphone 2) on the output's queue, time
// stamped on the host clock: the moment its first frame was captured, that
// is hostNow() minus the source's reported latency and the frames still
// unread on this side when the buffer is read.
// While the audio flows without a break, a buffer continues where the last
// one ended, moved towards that measurement by at most half a millisecond:
// latency reports jitter and drift, and following them exactly would open
// gaps and overlaps between buffers.
//
// A hole in the stream (the server reports lost data) is dropped: the writer
// fills the gap with silence, so the file keeps the recording's timeline.
//
// A failure of the stream or of the connection to the audio server while
// capturing ends the recording: the delegate hears of it once (and the
// recorder then stops, finishing every file written so far, which stay
// playable). Carrying on would silently leave out audio the user asked for.
#pragma once

#include "platform/AudioFormat.h"
#include "platform/ScreenCapture.h"
#include "platform/SampleDelivery.h"
#include "platform/pulse/AudioBufferPool.h"
#include "platform/pulse/PulseSession.h"

#include <pulse/stream.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform::pulse {

// The source name for the system's audio output: the default sink's monitor.
inline constexpr const char* kDefaultMonitorSource = "@DEFAULT_MONITOR@";

class AudioStream final : public CaptureStream {
 public:
  static constexpr int kSampleRate = kAudioSampleRate;
  static constexpr int kChannels = kAudioChannels;

  // Records `source` (a PulseAudio source name; absent: the default source)
  // for output `type`. Samples and the failure are reported as coming from
  // `reportAs`, or from this stream when it is null.
  AudioStream(OutputType type, std::optional<std::string> source, StreamDelegate& delegate,
              CaptureStream* reportAs = nullptr);
  ~AudioStream() override;  // stops the capture

  // Accepts the stream's own output type only.
  std::optional<Error> addStreamOutput(StreamOutput& output, OutputType type, SerialQueue& queue) override;
  // Connects and waits until the source records; the error says why not.
  std::optional<Error> startCapture() override;
  // Cuts the waits of a start in progress short (see Session::interrupt).
  void interruptStart() override;
  // Stops recording and waits until every sample delivered so far has been
  // handled on its queue. Not to be called from the delegate's callback or
  // on the output's queue.
  std::optional<Error> stopCapture() override;

 private:
  static void onRead(pa_stream* stream, size_t bytes, void* self);
  static void onStateChange(pa_stream* stream, void* self);
  static void onContextState(pa_context* context, void* self);
  std::optional<Error> openStream();
  void readAvailable();
  void deliverChunk(const float* samples, int frames, double firstFrameTime);
  void reportFailure(const char* description);
  void closeStream();

  OutputType type_;
  std::optional<std::string> source_;
  StreamDelegate& delegate_;
  CaptureStream& reportAs_;

  StreamOutput* output_ = nullptr;
  SerialQueue* queue_ = nullptr;
  SampleDelivery delivery_;

  // Start and stop run one at a time, so they never touch the session
  // together; interruptStart() reaches the session through sessionLock_
  // without waiting for a start to end.
  std::mutex lifecycleLock_;
  std::mutex sessionLock_;  // guards the session_ pointer (not the session)
  std::unique_ptr<Session> session_;
  bool interrupted_ = false;  // sessionLock_
  // Made and released by start and stop under lifecycleLock_; used by the
  // loop's callbacks in between.
  pa_stream* stream_ = nullptr;
  std::unique_ptr<AudioBufferPool> pool_;
  bool capturing_ = false;  // guarded by the loop lock
  bool failed_ = false;     // guarded by the loop lock
  std::optional<double> nextTime_;  // where the next buffer continues, host seconds
};

}  // namespace platform::pulse
