// Hands captured samples to a StreamOutput on the SerialQueue it was added
// with, without a heap allocation per sample: Asio takes the memory of each
// posted handler from a fixed arena of slots owned here (a post from a thread
// that is not running an io_context would otherwise allocate every time).
#pragma once

#include "platform/ScreenCapture.h"

#include <asio/bind_allocator.hpp>

#include <array>
#include <atomic>
#include <cstddef>
#include <new>

namespace platform {

// A fixed arena of equal slots. Thread-safe and lock-free: slots are taken on
// the capturing thread and given back on the queue's thread. A request that
// does not fit (too large, or every slot busy) falls back to the heap.
class HandlerArena {
 public:
  static constexpr size_t kSlotSize = 512;
  static constexpr size_t kSlots = 64;

  void* allocate(size_t bytes);
  void deallocate(void* p);

 private:
  alignas(std::max_align_t) std::array<unsigned char, kSlotSize * kSlots> memory_;
  std::array<std::atomic<bool>, kSlots> used_{};
};

template <typename T>
struct ArenaAllocator {
  using value_type = T;
  HandlerArena* arena;
  explicit ArenaAllocator(HandlerArena* a) : arena(a) {}
  template <typename U>
  ArenaAllocator(const ArenaAllocator<U>& other) : arena(other.arena) {}
  T* allocate(size_t n) { return static_cast<T*>(arena->allocate(n * sizeof(T))); }
  void deallocate(T* p, size_t) { arena->deallocate(p); }
  template <typename U>
  bool operator==(const ArenaAllocator<U>& other) const { return arena == other.arena; }
  template <typename U>
  bool operator!=(const ArenaAllocator<U>& other) const { return arena != other.arena; }
};

// Thread-safe. Must outlive every sample it posted: the stream that owns it
// drains its queues (SerialQueue::sync) when it stops.
class SampleDelivery {
 public:
  void deliver(SerialQueue& queue, StreamOutput& output, CaptureStream& stream, const SampleBuffer& sample,
               OutputType type) {
    queue.async(asio::bind_allocator(ArenaAllocator<int>(&arena_), [&output, &stream, sample, type] {
      output.streamDidOutputSampleBuffer(stream, sample, type);
    }));
  }

 private:
  HandlerArena arena_;
};

}  // namespace platform
