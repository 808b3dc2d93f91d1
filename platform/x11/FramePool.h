// The capture's frame buffers: a fixed pool of frames, allocated once. BGRA
// frames are what the X server writes into, each a MIT-SHM segment attached
// to one connection (or plain memory when shared memory cannot be used);
// 4:2:0 frames are plain memory the capture converts its grabs into. A frame
// handed downstream stays out of the pool until its last reference is
// released; when every frame is held, acquire() has none to give and the
// caller skips the grab.
//
// Segments are created with mode 0600, attached with a checked request and
// marked for removal right after, so that no crash can leak them.
//
// Thread-safety: acquire() and giveBack() are for the capturing thread;
// frames may be released on any thread, also after the pool is gone (the
// frame then frees itself).
#pragma once

#include "platform/Error.h"
#include "platform/MediaTime.h"
#include "platform/x11/Connection.h"

#include <atomic>
#include <memory>
#include <vector>

namespace platform::x11 {

class PooledFrame final : public VideoFrameData {
 public:
  PixelFormat pixelFormat() const override { return format_; }
  int width() const override { return width_; }
  int height() const override { return height_; }
  int bytesPerRow() const override { return strides_[0]; }
  const uint8_t* pixels() const override { return pixels_; }
  const uint8_t* plane(int i) const override { return i >= 0 && i < planeCount() ? pixels_ + offsets_[i] : nullptr; }
  int planeStride(int i) const override { return i >= 0 && i < planeCount() ? strides_[i] : 0; }
  uint8_t* mutablePixels() { return pixels_; }
  uint8_t* mutablePlane(int i) { return pixels_ + offsets_[i]; }
  int planeCount() const { return format_ == PixelFormat::i420 ? 3 : 1; }
  size_t byteCount() const { return byteCount_; }
  // The shared-memory segment on the pool's connection; XCB_NONE for a frame
  // in plain memory.
  uint32_t segment() const { return segment_; }
  // False for a BGRA frame that only feeds a conversion, whose alpha bytes
  // nobody reads: the grab need not make them opaque.
  bool alphaRead() const { return alphaRead_; }

  void recycle() const override;

 private:
  friend class FramePool;
  enum State : int { kFree, kInUse, kOrphaned };

  PooledFrame(PixelFormat format, int width, int height);
  ~PooledFrame() override;

  PixelFormat format_;
  int width_;
  int height_;
  int strides_[3] = {};
  size_t offsets_[3] = {};
  size_t byteCount_ = 0;
  uint8_t* pixels_ = nullptr;
  bool shared_ = false;
  bool alphaRead_ = true;
  uint32_t segment_ = 0;
  mutable std::atomic<int> state_{kFree};
};

class FramePool {
 public:
  // `count` frames of width × height. With `sharedMemory` every frame is a
  // segment attached to `connection` (BGRA only); the error says why that
  // failed. `alphaRead` false: see PooledFrame::alphaRead().
  static Result<std::unique_ptr<FramePool>> create(std::shared_ptr<Connection> connection, int count, int width,
                                                   int height, bool sharedMemory,
                                                   PixelFormat format = PixelFormat::bgra, bool alphaRead = true);
  ~FramePool();
  FramePool(const FramePool&) = delete;
  FramePool& operator=(const FramePool&) = delete;

  // A free frame, now in use (no reference taken yet); null when every frame
  // is held downstream.
  PooledFrame* acquire();
  // Returns a frame that was acquired but never referenced.
  void giveBack(PooledFrame* frame);

  bool sharedMemory() const { return sharedMemory_; }

 private:
  FramePool(std::shared_ptr<Connection> connection, bool sharedMemory, PixelFormat format, bool alphaRead)
      : connection_(std::move(connection)), sharedMemory_(sharedMemory), format_(format), alphaRead_(alphaRead) {}
  std::optional<Error> addFrame(int width, int height);

  std::shared_ptr<Connection> connection_;
  bool sharedMemory_;
  PixelFormat format_;
  bool alphaRead_;
  std::vector<PooledFrame*> frames_;
};

}  // namespace platform::x11
