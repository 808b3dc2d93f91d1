// Reads a recording of sync-scene and says whether the sound stayed with the
// picture: finds every flash in screen.mp4 (the pixel at 120, 120 turning
// from dark to light) and every tone onset in system-audio.m4a (placed on
// the recording's timeline by its audioStartMs), pairs them, and prints the
// offset of each pair (sound minus picture). Also decodes both files fully
// and reads the frame count and dropped audio buffers from metadata.json.
// Drift is the median offset of the last ten flashes against that of the
// first ten: a single flash is seen up to a frame late.
//
//   long-run-check DIR [fps]      (fps default 30: the allowed drift is one frame)
//
// Exit status 0 when every flash has its tone, the drift is within one
// frame, both files decode cleanly and no audio buffer was
// dropped; 1 otherwise, with the reasons on standard output.
#include "support/MediaProbe.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
using testing_support::Rgb;

constexpr int kAudioRate = 8000;

double brightness(const Rgb& c) { return (c.r + c.g + c.b) / 3.0; }

// Times at which the sample pixel turns light after being dark.
std::vector<double> flashTimes(const std::string& video) {
  std::vector<double> times;
  bool light = false;
  for (const auto& sample : testing_support::pixelOverTime(video, 120, 120)) {
    const double level = brightness(sample.colour);
    if (!light && level > 192) times.push_back(sample.time);
    if (level > 192) light = true;
    if (level < 64) light = false;
  }
  return times;
}

// Times (in the track's own seconds) at which the sound becomes loud after
// at least two seconds of quiet.
std::vector<double> toneOnsets(const std::vector<float>& samples) {
  float peak = 0;
  for (float s : samples) peak = std::max(peak, std::fabs(s));
  std::vector<double> onsets;
  if (peak < 0.05f) return onsets;
  const float loud = peak * 0.3f;
  long lastLoud = -10L * kAudioRate;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::fabs(samples[i]) < loud) continue;
    if (static_cast<long>(i) - lastLoud > 2L * kAudioRate) onsets.push_back(static_cast<double>(i) / kAudioRate);
    lastLoud = static_cast<long>(i);
  }
  return onsets;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: long-run-check DIR [fps]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const double fps = argc > 2 ? std::atof(argv[2]) : 30;
  std::vector<std::string> faults;

  json metadata;
  try {
    std::ifstream in(dir + "/metadata.json");
    metadata = json::parse(in);
  } catch (const std::exception& e) {
    std::printf("metadata.json unreadable: %s\n", e.what());
    return 1;
  }
  const double durationMs = metadata.value("durationMs", 0.0);
  std::printf("duration %.1f s, frames %lld, droppedAudioBuffers %s\n", durationMs / 1000,
              metadata.value("frames", 0LL), metadata.value("droppedAudioBuffers", json()).dump().c_str());
  if (metadata.value("droppedAudioBuffers", json::object()) != json::object()) faults.push_back("audio buffers were dropped");

  const std::string video = dir + "/screen.mp4";
  const std::string audio = dir + "/system-audio.m4a";
  for (const std::string& file : {video, audio}) {
    const std::string errors = testing_support::decodeErrors(file);
    if (!errors.empty()) faults.push_back(file + " does not decode cleanly: " + errors.substr(0, 200));
  }

  const std::vector<double> flashes = flashTimes(video);
  const auto track = testing_support::probe(audio);
  double trackStart = 0;
  if (track && track->contains("streams") && !track->at("streams").empty()) {
    trackStart = std::atof(track->at("streams")[0].value("start_time", "0").c_str());
  }
  const double audioStart = metadata.at("audioStartMs").value("system", 0.0) / 1000 + trackStart;
  std::vector<double> onsets;
  for (double onset : toneOnsets(testing_support::audioSamples(audio, kAudioRate))) onsets.push_back(audioStart + onset);
  std::printf("flashes seen %zu, tones heard %zu\n", flashes.size(), onsets.size());

  std::vector<double> offsets;
  for (double seen : flashes) {
    double best = 1e9;
    for (double heard : onsets) {
      if (std::fabs(heard - seen) < std::fabs(best)) best = heard - seen;
    }
    if (std::fabs(best) > 0.5) {
      faults.push_back("no tone within 0.5 s of the flash at " + std::to_string(seen) + " s");
      continue;
    }
    offsets.push_back(best);
    std::printf("flash at %8.3f s: tone %+6.1f ms\n", seen, best * 1000);
  }
  if (flashes.size() < 2) faults.push_back("fewer than two flashes in the video");
  if (onsets.size() != flashes.size()) faults.push_back("tones and flashes differ in number");
  if (!offsets.empty()) {
    // A flash shows in the first frame grabbed after it was drawn, up to one
    // frame interval later, so one offset carries up to a frame of noise of
    // its own: drift is judged on the median of the first and of the last
    // ten flashes.
    const size_t n = std::max<size_t>(1, std::min<size_t>(10, offsets.size() / 3));
    const double early = median({offsets.begin(), offsets.begin() + static_cast<long>(n)});
    const double late = median({offsets.end() - static_cast<long>(n), offsets.end()});
    const double drift = late - early;
    std::printf("offset first %+.1f ms, last %+.1f ms; median of the first %zu %+.1f ms, of the last %zu %+.1f ms: "
                "drift %+.1f ms (one frame %.1f ms)\n",
                offsets.front() * 1000, offsets.back() * 1000, n, early * 1000, n, late * 1000, drift * 1000, 1000 / fps);
    if (std::fabs(drift) > 1 / fps) faults.push_back("the sound drifted by more than one frame");
  }

  for (const std::string& fault : faults) std::printf("FAULT: %s\n", fault.c_str());
  std::printf(faults.empty() ? "long-run-check: sound stayed with the picture\n" : "long-run-check: failed\n");
  return faults.empty() ? 0 : 1;
}
