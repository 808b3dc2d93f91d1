// The frames the Wayland capture hands on: a fixed pool of 4:2:0 frames in
// plain memory (BT.709, limited range), allocated once when the stream's
// size is known. A frame handed downstream stays out of the pool until its
// last reference is released; when every frame is held, acquire() has none
// to give and the caller keeps its picture for later.
//
// Thread-safety: acquire() and giveBack() are for the one capturing thread;
// frames may be released on any thread, also after the pool is gone (the
// frame then frees itself).
#pragma once

#include "platform/MediaTime.h"

#include <atomic>
#include <memory>
#include <vector>

namespace platform::wayland {

class PooledFrame final : public VideoFrameData {
 public:
  PixelFormat pixelFormat() const override { return PixelFormat::i420; }
  int width() const override { return width_; }
  int height() const override { return height_; }
  int bytesPerRow() const override { return strides_[0]; }
  const uint8_t* pixels() const override { return memory_.get(); }
  const uint8_t* plane(int i) const override { return i >= 0 && i < 3 ? memory_.get() + offsets_[i] : nullptr; }
  int planeStride(int i) const override { return i >= 0 && i < 3 ? strides_[i] : 0; }
  uint8_t* mutablePlane(int i) { return memory_.get() + offsets_[i]; }
  void recycle() const override;

 private:
  friend class FramePool;
  enum State : int { kFree, kInUse, kOrphaned };
  PooledFrame(int width, int height);

  int width_;
  int height_;
  int strides_[3] = {};
  size_t offsets_[3] = {};
  std::unique_ptr<uint8_t[]> memory_;
  mutable std::atomic<int> state_{kFree};
};

class FramePool {
 public:
  FramePool(int count, int width, int height);
  ~FramePool();
  FramePool(const FramePool&) = delete;
  FramePool& operator=(const FramePool&) = delete;

  // A free frame, now in use (no reference taken yet); null when every frame
  // is held downstream.
  PooledFrame* acquire();
  // Returns a frame that was acquired but never referenced.
  void giveBack(PooledFrame* frame);

 private:
  std::vector<PooledFrame*> frames_;
};

}  // namespace platform::wayland
