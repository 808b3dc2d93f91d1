// The server pixel buffers: a fixed pool of BGRA frames the X server writes
// into, each a MIT-SHM segment attached to one connection (or plain memory
// when shared memory cannot be used). A frame handed downstream stays out of
// the pool until its last reference is released; when every frame is held,
// acquire() has none to give and the caller skips the grab.
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
  int width() const override { return width_; }
  int height() const override { return height_; }
  int bytesPerRow() const override { return width_ * 4; }
  const uint8_t* pixels() const override { return pixels_; }
  uint8_t* mutablePixels() { return pixels_; }
  size_t byteCount() const { return static_cast<size_t>(bytesPerRow()) * height_; }
  // The shared-memory segment on the pool's connection; XCB_NONE for a frame
  // in plain memory.
  uint32_t segment() const { return segment_; }

  void recycle() const override;

 private:
  friend class FramePool;
  enum State : int { kFree, kInUse, kOrphaned };

  PooledFrame(int width, int height) : width_(width), height_(height) {}
  ~PooledFrame() override;

  int width_;
  int height_;
  uint8_t* pixels_ = nullptr;
  bool shared_ = false;
  uint32_t segment_ = 0;
  mutable std::atomic<int> state_{kFree};
};

class FramePool {
 public:
  // `count` frames of width × height. With `sharedMemory` every frame is a
  // segment attached to `connection`; the error says why that failed.
  static Result<std::unique_ptr<FramePool>> create(std::shared_ptr<Connection> connection, int count, int width,
                                                   int height, bool sharedMemory);
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
  FramePool(std::shared_ptr<Connection> connection, bool sharedMemory)
      : connection_(std::move(connection)), sharedMemory_(sharedMemory) {}
  std::optional<Error> addFrame(int width, int height);

  std::shared_ptr<Connection> connection_;
  bool sharedMemory_;
  std::vector<PooledFrame*> frames_;
};

}  // namespace platform::x11
