#include "MediaSamples.h"

#include "platform/Bt709.h"
#include "support/Eventually.h"

#include <algorithm>
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

class PlanarFrame final : public VideoFrameData {
 public:
  PlanarFrame(int width, int height, int padding) : width_(width), height_(height) {
    strides_[0] = width + padding;
    strides_[1] = strides_[2] = (width + 1) / 2 + padding;
    const size_t chromaHeight = (height + 1) / 2;
    offsets_[1] = static_cast<size_t>(strides_[0]) * height;
    offsets_[2] = offsets_[1] + strides_[1] * chromaHeight;
    bytes_.assign(offsets_[2] + strides_[2] * chromaHeight, 0xEE);
  }
  platform::PixelFormat pixelFormat() const override { return platform::PixelFormat::i420; }
  int width() const override { return width_; }
  int height() const override { return height_; }
  int bytesPerRow() const override { return strides_[0]; }
  const uint8_t* pixels() const override { return bytes_.data(); }
  const uint8_t* plane(int i) const override { return bytes_.data() + offsets_[i]; }
  int planeStride(int i) const override { return strides_[i]; }
  uint8_t* mutablePlane(int i) { return bytes_.data() + offsets_[i]; }

 private:
  int width_;
  int height_;
  int strides_[3];
  size_t offsets_[3] = {};
  std::vector<uint8_t> bytes_;
};

// Rows of glyph-like cells over a gradient in the rectangle [x0, x1) x
// [y0, y1), scrolled up by `scroll` pixels.
void paintText(uint8_t* px, int width, int x0, int y0, int x1, int y1, int scroll, uint8_t tint) {
  for (int y = y0; y < y1; ++y) {
    const int row = y - y0 + scroll;
    const bool textLine = (row / 6) % 3 != 2;
    const uint32_t h = static_cast<uint32_t>(row / 6) * 2654435761u;
    for (int x = x0; x < x1; ++x) {
      uint8_t* p = px + (static_cast<size_t>(y) * width + x) * 4;
      // 6x6 cells, most holding a stroke pattern picked by a hash of the
      // cell's position, with a blank row and column between them.
      const uint32_t cell = (h ^ static_cast<uint32_t>((x - x0) / 6) * 40503u) * 2246822519u;
      const int cx = (x - x0) % 6, cy = row % 6;
      const bool ink = textLine && cx < 5 && cy < 5 && ((cell >> 8) & 7) != 0 && ((cell >> (cx + 5 * cy)) & 1);
      const uint8_t base = static_cast<uint8_t>(200 + ((x - x0) * 40) / std::max(1, x1 - x0));
      p[0] = ink ? 30 : base;
      p[1] = ink ? 30 : static_cast<uint8_t>(base - tint);
      p[2] = ink ? 30 : static_cast<uint8_t>(180 + ((y - y0) * 60) / std::max(1, y1 - y0));
      p[3] = 255;
    }
  }
}

void paintBox(uint8_t* px, int width, int height, int index) {
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

// A still page of text with a window moving over it, whose own text scrolls.
void paintWindow(uint8_t* px, int width, int height, int index) {
  paintText(px, width, 0, 0, width, height, 0, 10);
  const int w = width / 3, h = height / 3;
  const int x0 = (index * 5) % std::max(1, width - w), y0 = (index * 3) % std::max(1, height - h);
  const int bar = std::max(2, h / 10);
  for (int y = y0; y < y0 + bar; ++y)  // title bar
    for (int x = x0; x < x0 + w; ++x) {
      uint8_t* p = px + (static_cast<size_t>(y) * width + x) * 4;
      p[0] = 90, p[1] = 60, p[2] = 50;
    }
  paintText(px, width, x0, y0 + bar, x0 + w, y0 + h, index * 3, 40);
}

void paintNoise(uint8_t* px, int width, int height, int index) {
  std::minstd_rand rng(static_cast<uint32_t>(index) * 7919u + 1u);
  uint32_t* words = reinterpret_cast<uint32_t*>(px);
  for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) words[i] = rng() | 0xff000000u;
}

}  // namespace

MediaRef<VideoFrameData> frame(int width, int height, int index, Content content) {
  auto* f = new OwnedVideoFrame(width, height);
  uint8_t* px = f->mutablePixels();
  switch (content) {
    case Content::screen:
      paintText(px, width, 0, 0, width, height, index * 3, 10);
      paintBox(px, width, height, index);
      break;
    case Content::window:
      paintWindow(px, width, height, index);
      break;
    case Content::noise:
      paintNoise(px, width, height, index);
      break;
  }
  return MediaRef<VideoFrameData>(f);
}

MediaRef<VideoFrameData> planar(const VideoFrameData& bgra, int padding) {
  auto* f = new PlanarFrame(bgra.width(), bgra.height(), padding);
  platform::bgraToI420Bt709(bgra.pixels(), bgra.bytesPerRow(), bgra.width(), bgra.height(),
                            platform::I420Planes{f->mutablePlane(0), f->planeStride(0), f->mutablePlane(1),
                                                 f->planeStride(1), f->mutablePlane(2), f->planeStride(2)});
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
  if (!testing_support::waitUntil([&] { return track.input().isReadyForMoreMediaData(); }, timeout,
                                  std::chrono::milliseconds(1))) {
    return false;
  }
  return track.append(sample);
}

}  // namespace media_samples
