#include "platform/pulse/AudioBufferPool.h"

#include <algorithm>
#include <cstring>

namespace platform::pulse {

PooledAudioBuffer::PooledAudioBuffer(int sampleRate, int channels, int capacityFrames)
    : sampleRate_(sampleRate),
      channels_(channels),
      capacityFrames_(capacityFrames),
      samples_(new float[static_cast<size_t>(capacityFrames) * channels]) {}

void PooledAudioBuffer::assign(const float* samples, int frames) {
  frameCount_ = std::min(frames, capacityFrames_);
  std::memcpy(samples_.get(), samples, static_cast<size_t>(frameCount_) * channels_ * sizeof(float));
}

void PooledAudioBuffer::recycle() const {
  int expected = kInUse;
  if (state_.compare_exchange_strong(expected, kFree, std::memory_order_acq_rel)) return;
  delete this;  // the pool is gone: this was the buffer's last use
}

AudioBufferPool::AudioBufferPool(int sampleRate, int channels, int capacityFrames, size_t initialBuffers,
                                 size_t maxBuffers)
    : sampleRate_(sampleRate), channels_(channels), capacityFrames_(capacityFrames), maxBuffers_(maxBuffers) {
  buffers_.reserve(maxBuffers);
  for (size_t i = 0; i < std::min(initialBuffers, maxBuffers); ++i) {
    auto* buffer = new PooledAudioBuffer(sampleRate_, channels_, capacityFrames_);
    buffer->state_.store(PooledAudioBuffer::kFree, std::memory_order_relaxed);
    buffers_.push_back(buffer);
  }
}

AudioBufferPool::~AudioBufferPool() {
  for (PooledAudioBuffer* buffer : buffers_) {
    if (buffer->state_.exchange(PooledAudioBuffer::kOrphaned, std::memory_order_acq_rel) == PooledAudioBuffer::kFree) {
      delete buffer;
    }
  }
}

PooledAudioBuffer* AudioBufferPool::acquire() {
  for (PooledAudioBuffer* buffer : buffers_) {
    int expected = PooledAudioBuffer::kFree;
    if (buffer->state_.compare_exchange_strong(expected, PooledAudioBuffer::kInUse, std::memory_order_acq_rel)) {
      return buffer;
    }
  }
  if (buffers_.size() >= maxBuffers_) return nullptr;
  buffers_.push_back(new PooledAudioBuffer(sampleRate_, channels_, capacityFrames_));
  return buffers_.back();
}

}  // namespace platform::pulse
