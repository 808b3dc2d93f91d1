#include "platform/wayland/FramePool.h"

#include <cstring>

namespace platform::wayland {

namespace {
// Rows start on 64-byte boundaries, as the converter and the encoder like.
int aligned(int bytes) { return (bytes + 63) & ~63; }
}  // namespace

PooledFrame::PooledFrame(int width, int height) : width_(width), height_(height) {
  const int chromaWidth = (width + 1) / 2;
  const int chromaHeight = (height + 1) / 2;
  strides_[0] = aligned(width);
  strides_[1] = strides_[2] = aligned(chromaWidth);
  offsets_[0] = 0;
  offsets_[1] = static_cast<size_t>(strides_[0]) * height;
  offsets_[2] = offsets_[1] + static_cast<size_t>(strides_[1]) * chromaHeight;
  const size_t bytes = offsets_[2] + static_cast<size_t>(strides_[2]) * chromaHeight;
  memory_.reset(new uint8_t[bytes]);
  // Black until the first picture is converted in.
  std::memset(memory_.get(), 16, offsets_[1]);
  std::memset(memory_.get() + offsets_[1], 128, bytes - offsets_[1]);
}

void PooledFrame::recycle() const {
  int expected = kInUse;
  if (state_.compare_exchange_strong(expected, kFree, std::memory_order_acq_rel)) return;
  delete this;  // the pool is gone: this was the frame's last use
}

FramePool::FramePool(int count, int width, int height) {
  frames_.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) frames_.push_back(new PooledFrame(width, height));
}

FramePool::~FramePool() {
  for (PooledFrame* frame : frames_) {
    // A frame still held downstream becomes orphaned and frees itself when
    // released.
    if (frame->state_.exchange(PooledFrame::kOrphaned, std::memory_order_acq_rel) == PooledFrame::kFree) delete frame;
  }
}

PooledFrame* FramePool::acquire() {
  for (PooledFrame* frame : frames_) {
    int expected = PooledFrame::kFree;
    if (frame->state_.compare_exchange_strong(expected, PooledFrame::kInUse, std::memory_order_acq_rel)) return frame;
  }
  return nullptr;
}

void FramePool::giveBack(PooledFrame* frame) { frame->state_.store(PooledFrame::kFree, std::memory_order_release); }

}  // namespace platform::wayland
