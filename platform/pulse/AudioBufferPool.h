// Reusable audio buffers for captured PCM: buffers handed downstream come
// back when their last reference is released. The pool starts with a number
// of buffers and grows only when more than it has are held at once (up to a
// limit, after which data is dropped).
//
// Thread-safety: acquire() is for the capturing thread; buffers may be
// released on any thread, also after the pool is gone (a buffer then frees
// itself).
#pragma once

#include "platform/MediaTime.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

namespace platform::pulse {

class PooledAudioBuffer final : public AudioBufferData {
 public:
  int sampleRate() const override { return sampleRate_; }
  int channels() const override { return channels_; }
  int frameCount() const override { return frameCount_; }
  const float* samples() const override { return samples_.get(); }

  int capacityFrames() const { return capacityFrames_; }
  // Fills the buffer with `frames` frames (at most capacityFrames()).
  void assign(const float* samples, int frames);

  void recycle() const override;

 private:
  friend class AudioBufferPool;
  enum State : int { kFree, kInUse, kOrphaned };
  PooledAudioBuffer(int sampleRate, int channels, int capacityFrames);

  int sampleRate_;
  int channels_;
  int capacityFrames_;
  int frameCount_ = 0;
  std::unique_ptr<float[]> samples_;
  mutable std::atomic<int> state_{kInUse};
};

class AudioBufferPool {
 public:
  AudioBufferPool(int sampleRate, int channels, int capacityFrames, size_t initialBuffers, size_t maxBuffers);
  ~AudioBufferPool();
  AudioBufferPool(const AudioBufferPool&) = delete;
  AudioBufferPool& operator=(const AudioBufferPool&) = delete;

  // A free buffer, now in use (no reference taken yet); null when all
  // maxBuffers are held downstream.
  PooledAudioBuffer* acquire();

 private:
  int sampleRate_;
  int channels_;
  int capacityFrames_;
  size_t maxBuffers_;
  std::vector<PooledAudioBuffer*> buffers_;
};

}  // namespace platform::pulse
