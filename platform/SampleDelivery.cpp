#include "platform/SampleDelivery.h"

namespace platform {

void* HandlerArena::allocate(size_t bytes) {
  if (bytes <= kSlotSize) {
    for (size_t i = 0; i < kSlots; ++i) {
      bool expected = false;
      if (!used_[i].load(std::memory_order_relaxed) &&
          used_[i].compare_exchange_strong(expected, true, std::memory_order_acquire)) {
        return memory_.data() + i * kSlotSize;
      }
    }
  }
  return ::operator new(bytes);
}

void HandlerArena::deallocate(void* p) {
  auto* bytes = static_cast<unsigned char*>(p);
  if (bytes >= memory_.data() && bytes < memory_.data() + memory_.size()) {
    used_[static_cast<size_t>(bytes - memory_.data()) / kSlotSize].store(false, std::memory_order_release);
  } else {
    ::operator delete(p);
  }
}

}  // namespace platform
