// The capture stream of the screen on Wayland: the desktop portal's
// ScreenCast session shares a monitor (the stored restore token stands in for
// the desktop's dialog), and a PipeWire stream consumer turns its buffers
// into the same video samples the X11 capture delivers.
//
// Buffers: BGRx or BGRA, in MemFd or plain memory (mapped by PipeWire). The
// recorded area (the whole monitor, or the configuration's sourceRect in it
// times the monitor's pixels per point) is converted once, into a pooled 4:2:0
// frame (BT.709, limited range), never scaled.
//
// Timing: a frame is stamped on the host clock (hostNow(), CLOCK_MONOTONIC)
// at the start of the frame-interval slot its buffer arrived in (SlotPacer);
// a buffer arriving in a slot already used is held and delivered when the
// next slot begins, unless a newer one replaces it first. So the rate is
// capped at the configured one (which is also asked of the portal), and the
// last change is never lost.
//
// Complete versus idle: a buffer whose damage metadata does not touch the
// recorded area (or that carries no picture) is handed back at once and
// delivers nothing; a still screen sends no buffers at all, so it costs
// nothing. Four times a second without a picture, an idle sample (no
// pixels) tells the recorder the time, so that it can write the still
// picture again once a second.
//
// The first frame: the buffer the portal sends when the stream connects is
// the first picture, whatever its damage; a buffer that arrives before
// startCapture() is held for it. When none has come 150 ms into the start
// (a still screen may send nothing until it changes), the first frame is
// grabbed from the compositor directly (ScreenGrab.h, wlr-screencopy); where
// that is not offered, the first change starts the recording.
//
// Failure: the session closed by the desktop, the portal leaving the bus,
// the bus breaking, the stream's node going away or the PipeWire connection
// breaking is reported once to the delegate, after which nothing follows.
//
// Threads and shared state: PipeWire calls back on its own thread (a
// pw_thread_loop) with the loop's lock held. The fields marked "loop lock"
// below are touched by that thread, and by other threads only with that
// lock held (prepare, start, interrupt, release). The flags marked "atomic"
// are read without it.
#pragma once

#include "platform/PreparedCaptureStream.h"
#include "platform/SampleDelivery.h"
#include "platform/wayland/FramePacing.h"
#include "platform/wayland/FramePool.h"
#include "platform/wayland/RestoreTokenStore.h"
#include "platform/wayland/ScreenCastPortal.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

struct pw_buffer;
struct pw_core;
struct pw_registry;
struct pw_context;
struct pw_stream;
struct pw_thread_loop;
struct spa_source;
struct spa_pod;

namespace platform::wayland {

class ScreenStream final : public PreparedCaptureStream {
 public:
  // `filter` names the display asked for (its frame in points and the
  // pixels per point); `tokens` holds the grant.
  ScreenStream(ContentFilter filter, StreamConfiguration configuration, StreamDelegate& delegate,
               CaptureStream* reportAs, std::shared_ptr<RestoreTokenStore> tokens);
  ~ScreenStream() override;

  std::optional<Error> addStreamOutput(StreamOutput& output, OutputType type, SerialQueue& queue) override;
  // The portal session (with the stored token), the PipeWire connection and
  // the stream's format; waits for the portal and for PipeWire, cut short
  // by interruptStart(). A token the portal rejects is removed from the
  // store and the error is a denied permission; the new token the portal
  // hands out replaces the stored one at once.
  std::optional<Error> prepareCapture() override;
  std::optional<Error> startCapture() override;
  // Stops PipeWire and the session and waits until every sample delivered
  // so far has been handled on its queue. Not on the output's queue.
  std::optional<Error> stopCapture() override;
  void interruptStart() override;

 private:
  struct Listeners;
  std::optional<Error> prepare();
  std::optional<Error> connectStream(int fd, uint32_t nodeId);
  void release();
  // PipeWire thread (or loop lock held):
  void onProcess();
  void onFormat(const spa_pod* format);
  void onStateChanged(int state, const char* error);
  void onCoreError(uint32_t id, int res, const char* message);
  void onHeldTimer();
  void onIdleTimer();
  bool bufferShowsChange(pw_buffer* buffer) const;
  bool bufferHasPicture(pw_buffer* buffer) const;
  void deliverHeld(double now);
  bool convert(pw_buffer* buffer, PooledFrame& frame) const;
  bool convertPixels(const uint8_t* base, int stride, size_t bytes, PooledFrame& frame) const;
  // Start thread, when no buffer came: the first frame from the compositor.
  void grabFirstFrame();
  void armHeldTimer(double at);
  // Any thread: reports the failure once (unless stopping) and wakes a wait.
  void fail(const std::string& reason);
  void deliver(const SampleBuffer& sample);

  ContentFilter filter_;
  StreamConfiguration configuration_;
  StreamDelegate& delegate_;
  CaptureStream& reportAs_;
  std::shared_ptr<RestoreTokenStore> tokens_;

  // Set by addStreamOutput() before the capture starts.
  StreamOutput* output_ = nullptr;
  SerialQueue* queue_ = nullptr;
  SampleDelivery delivery_;  // thread-safe

  // Start and stop only (one thread at a time, never concurrently); the
  // two pointers are also read by interruptStart(): they change only with
  // handlesLock_ held, which interruptStart() holds while it uses them.
  std::mutex handlesLock_;
  std::unique_ptr<ScreenCastSession> session_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  bool prepared_ = false;
  bool started_ = false;
  std::unique_ptr<Listeners> listeners_;

  // Loop lock.
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  pw_registry* registry_ = nullptr;
  uint32_t nodeId_ = 0;
  spa_source* heldTimer_ = nullptr;
  spa_source* idleTimer_ = nullptr;
  std::unique_ptr<FramePool> pool_;
  std::optional<SlotPacer> pacer_;
  pw_buffer* held_ = nullptr;      // the newest picture not delivered yet
  bool hadPicture_ = false;        // a picture was delivered or held once
  bool formatKnown_ = false;
  int bufferWidth_ = 0;
  int bufferHeight_ = 0;
  PixelArea area_;
  double lastDelivery_ = 0;
  bool connected_ = false;         // the stream reached a connected state once
  std::string waitError_;          // why the wait for the format ended early

  // Atomic.
  std::atomic<bool> delivering_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> failed_{false};
  std::atomic<bool> interrupted_{false};
};

}  // namespace platform::wayland
