// The capture stream of the screen on X11: a capture thread grabs what the
// filter shows at the configured frame interval into a pool of shared-memory
// frames and delivers every tick as a video sample, complete (status 0) when
// the picture changed since the last complete frame (the first frame is
// always complete), idle (status 1, no pixels) otherwise. Time stamps are the
// host clock (hostNow()) at the grab, rounded down to the tick grid (start +
// n × frame interval), so frames are never closer together than the interval.
//
// Geometry: a display filter grabs the display's rectangle (or the
// configuration's sourceRect in it) from its top-left corner, width × height
// pixels as configured: a configured size smaller than the source crops it
// (the sizes differ only by the rounding to even numbers), never scales it.
// A window filter grabs the window's own contents through the Composite
// extension (also while covered or moved); once the window is unmapped or
// gone no complete frame follows. A display filter with excluded windows
// composes the picture from the other windows (see ComposedScreenSource).
// The pointer is never drawn into the frames.
//
// Pixel format: BGRA frames are the grabs themselves (a pool of queueDepth
// shared-memory frames). With the 4:2:0 format ("y420") the capture thread
// grabs into one shared-memory frame and converts it at once, in one pass,
// into a pooled 4:2:0 frame (BT.709, limited range): the frames handed on
// hold 12 bits per pixel instead of 32.
//
// Failure: when the connection to the X server breaks, the delegate hears
// once "The connection to the X server was lost." and no frame follows.
#pragma once

#include "platform/PreparedCaptureStream.h"
#include "platform/SampleDelivery.h"
#include "platform/x11/CaptureSources.h"
#include "platform/x11/Connection.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace platform::x11 {

class FramePool;
class PooledFrame;

struct VideoStreamOptions {
  // MIT-SHM grabs; false (or a server without MIT-SHM) copies with GetImage.
  bool sharedMemory = true;
};

class VideoStream final : public PreparedCaptureStream {
 public:
  // Samples and the failure are reported as coming from `reportAs` (a stream
  // that contains this one), or from this stream when it is null.
  VideoStream(ContentFilter filter, StreamConfiguration configuration, StreamDelegate& delegate,
              CaptureStream* reportAs = nullptr, VideoStreamOptions options = {});
  ~VideoStream() override;  // stops the capture

  // Accepts the screen output type only.
  std::optional<Error> addStreamOutput(StreamOutput& output, OutputType type, SerialQueue& queue) override;
  // Connects to the display and readies the grab (the source and the frame
  // pool) without delivering anything; the error says why that cannot be
  // done. Optional: startCapture() prepares a stream that is not prepared.
  std::optional<Error> prepareCapture() override;
  // Prepares if needed and starts the capture thread.
  std::optional<Error> startCapture() override;
  // Stops the capture thread and waits until every sample delivered so far
  // has been handled on its queue. Not to be called from the delegate's
  // callback or on the output's queue.
  std::optional<Error> stopCapture() override;

 private:
  std::optional<Error> prepare();
  void release();
  void run();
  bool tick(bool& first, double dueTime);
  // Grabs into `frame`, through the grab frame when converting (then only
  // the rows that changed since `frame` was last filled are converted).
  bool grab(PooledFrame& frame, RowSpan changed);
  RowSpan& unconvertedRows(const PooledFrame& frame);
  void deliver(const SampleBuffer& sample);

  ContentFilter filter_;
  StreamConfiguration configuration_;
  StreamDelegate& delegate_;
  CaptureStream& reportAs_;
  VideoStreamOptions options_;

  StreamOutput* output_ = nullptr;
  SerialQueue* queue_ = nullptr;
  SampleDelivery delivery_;

  std::shared_ptr<Connection> connection_;
  std::unique_ptr<FramePool> pool_;       // the frames handed on
  std::unique_ptr<FramePool> grabPool_;   // 4:2:0 only: the one frame grabbed into
  std::unique_ptr<FrameSource> source_;
  MediaTime frameDuration_;
  // Capture thread only, 4:2:0: the rows that changed on screen but are not
  // in the grab frame yet, and for each frame of the pool the rows grabbed
  // since it was last converted into (it comes back from downstream holding
  // an older picture). Reserved for the whole pool: no allocation per frame.
  RowSpan ungrabbed_;
  std::vector<std::pair<const PooledFrame*, RowSpan>> unconverted_;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopRequested_ = false;
  std::thread thread_;
};

}  // namespace platform::x11
