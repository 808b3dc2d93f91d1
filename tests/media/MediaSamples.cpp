#include "MediaSamples.h"

#include <cmath>
#include <random>
#include <thread>

using platform::MediaRef;
using platform::MediaTime;
using platform::OwnedAudioBuffer;
using platform::OwnedVideoFrame;
using platform::SampleBuffer;
using platform::VideoFrameData;

namespace media_samples {

namespace {

void paintScreen(uint8_t* px, int width, int height, int index) {
  const int scroll = index * 3;
  for (int y = 0; y < height; ++y) {
    const int row = y + scroll;
    const bool textLine = (row / 6) % 3 != 2;
    uint32_t h = static_cast<uint32_t>(row / 6) * 2654435761u;
    for (int x = 0; x < width; ++x) {
      uint8_t* p = px + (static_cast<size_t>(y) * width + x) * 4;
      // Glyph-like cells: 6x6 cells, most holding an ink stroke pattern
      // picked by a hash of the cell's position, with a blank row and column.
      const uint32_t cell = (h ^ static_cast<uint32_t>(x / 6) * 40503u) * 2246822519u;
      const int cx = x % 6, cy = row % 6;
      const bool ink = textLine && cx < 5 && cy < 5 && ((cell >> 8) & 7) != 0 && ((cell >> (cx + 5 * cy)) & 1);
      const uint8_t base = static_cast<uint8_t>(200 + (x * 40) / width);
      p[0] = ink ? 30 : base;
      p[1] = ink ? 30 : static_cast<uint8_t>(base - 10);
      p[2] = ink ? 30 : static_cast<uint8_t>(180 + (y * 60) / height);
      p[3] = 255;
    }
  }
  // A box sweeping across the screen.
  const int size = height / 5;
  const int bx = (index * 17) % std::max(1, width - size);
  const int by = (index * 7) % std::max(1, height - size);
  for (int y = by; y < by + size; ++y)
    for (int x = bx; x < bx + size; ++x) {
      uint8_t* p = px + (static_cast<size_t>(y) * width + x) * 4;
      p[0] = 40;
      p[1] = static_cast<uint8_t>(120 + index % 100);
      p[2] = 220;
    }
}

void paintNoise(uint8_t* px, int width, int height, int index) {
  std::minstd_rand rng(static_cast<uint32_t>(index) * 7919u + 1u);
  uint32_t* words = reinterpret_cast<uint32_t*>(px);
  for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) words[i] = rng() | 0xff000000u;
}

}  // namespace

MediaRef<VideoFrameData> frame(int width, int height, int index, Content content) {
  auto* f = new OwnedVideoFrame(width, height);
  if (content == Content::screen) paintScreen(f->mutablePixels(), width, height, index);
  else paintNoise(f->mutablePixels(), width, height, index);
  return MediaRef<VideoFrameData>(f);
}

SampleBuffer videoSample(MediaRef<VideoFrameData> f, double seconds) {
  return SampleBuffer::video(std::move(f), MediaTime::fromSeconds(seconds, 1000000000), MediaTime::invalid(),
                             platform::FrameStatus::complete);
}

SampleBuffer audioSample(double seconds, int frames, double hz, float amplitude, int64_t phaseOrigin) {
  constexpr int kRate = 48000;
  auto* pcm = new OwnedAudioBuffer(kRate, 2, frames);
  float* s = pcm->mutableSamples();
  for (int i = 0; i < frames; ++i) {
    const double phase = 2 * M_PI * hz * static_cast<double>(phaseOrigin + i) / kRate;
    const float v = amplitude == 0 ? 0.0f : amplitude * static_cast<float>(std::sin(phase));
    s[2 * i] = v;
    s[2 * i + 1] = v;
  }
  return SampleBuffer::audio(MediaRef<platform::AudioBufferData>(pcm), MediaTime::fromSeconds(seconds, 1000000000));
}

bool appendWhenReady(TrackWriter& track, const SampleBuffer& sample, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!track.input().isReadyForMoreMediaData()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return track.append(sample);
}

}  // namespace media_samples
