// Synthetic media for the writer tests and the encoding benchmark.
#pragma once

#include "media/TrackWriter.h"
#include "platform/MediaTime.h"

#include <chrono>
#include <cstdint>

namespace media_samples {

enum class Content {
  screen,  // the whole screen: scrolling text-like rows and a moving box
  window,  // a still page of text with a window moving over it, its text scrolling
  noise,   // fresh random pixels: the most bits an encoder can be asked for
};

// A BGRA frame whose content depends on `index` (different for every index).
platform::MediaRef<platform::VideoFrameData> frame(int width, int height, int index, Content content);
platform::SampleBuffer videoSample(platform::MediaRef<platform::VideoFrameData> frame, double seconds);
// The same picture in 4:2:0 (BT.709, limited range), as the screen capture
// hands frames on; its rows are longer than the picture (`padding` bytes).
platform::MediaRef<platform::VideoFrameData> planar(const platform::VideoFrameData& bgra, int padding = 24);

// `frames` stereo 48 kHz samples starting at `seconds`: a sine of `hz` at
// `amplitude` whose phase counts from sample `phaseOrigin` of the stream, or
// silence when amplitude is 0.
platform::SampleBuffer audioSample(double seconds, int frames, double hz, float amplitude, int64_t phaseOrigin);

// Appends once the input is ready; false if it never was within `timeout`
// or the writer refused.
bool appendWhenReady(TrackWriter& track, const platform::SampleBuffer& sample,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace media_samples
