// A bounded single-producer, single-consumer queue of samples, allocated
// once. push() and pop() never block and never allocate for buffers with at
// most SampleBuffer::kInlineTimingEntries timing entries.
#pragma once

#include "platform/MediaTime.h"

#include <atomic>
#include <cstddef>
#include <vector>

namespace platform::ffmpeg {

class SampleQueue {
 public:
  explicit SampleQueue(size_t capacity) : slots_(capacity) {}

  size_t capacity() const { return slots_.size(); }

  // Any thread.
  bool full() const {
    return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire) >= slots_.size();
  }

  // Producer only. False when full.
  bool push(const SampleBuffer& sample) {
    const size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) >= slots_.size()) return false;
    slots_[tail % slots_.size()] = sample;
    tail_.store(tail + 1, std::memory_order_release);
    return true;
  }

  // Consumer only. Moves the oldest sample into `out`; its slot keeps no
  // reference to the media data. False when empty.
  bool pop(SampleBuffer& out) {
    const size_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) return false;
    SampleBuffer& slot = slots_[head % slots_.size()];
    out = std::move(slot);
    slot = SampleBuffer();
    head_.store(head + 1, std::memory_order_release);
    return true;
  }

 private:
  std::vector<SampleBuffer> slots_;
  std::atomic<size_t> head_{0};
  std::atomic<size_t> tail_{0};
};

}  // namespace platform::ffmpeg
