// Audio files written by the FFmpeg writer, decoded back with ffmpeg.
#include "MediaSamples.h"
#include "TempDir.h"
#include "media/TrackWriter.h"
#include "platform/ffmpeg/FfmpegMediaWriter.h"
#include "support/MediaProbe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

using platform::MediaTime;
using testing_support::runCommand;
using testing_support::shellQuote;

namespace {

constexpr int kRate = 48000;
constexpr int kBuffer = 480;  // 10 ms
constexpr float kLoud = 0.5f;

MediaTime sec(double s) { return MediaTime::fromSeconds(s, 1000000000); }

// The file decoded to mono float samples at 48 kHz.
std::vector<float> decode(const std::string& path) {
  const auto r = runCommand("ffmpeg -nostdin -v error -i " + shellQuote(path) + " -f f32le -ac 1 -ar 48000 -");
  std::vector<float> out(r.output.size() / sizeof(float));
  std::memcpy(out.data(), r.output.data(), out.size() * sizeof(float));
  return out;
}

// Seconds of the first sample at or after `from` loud enough to be the tone.
double onset(const std::vector<float>& pcm, double from) {
  for (size_t i = size_t(from * kRate); i < pcm.size(); ++i)
    if (std::fabs(pcm[i]) >= 0.3f * kLoud) return double(i) / kRate;
  return -1;
}

double rms(const std::vector<float>& pcm, double from, double to) {
  double sum = 0;
  size_t n = 0;
  for (size_t i = size_t(from * kRate); i < size_t(to * kRate) && i < pcm.size(); ++i, ++n) sum += pcm[i] * pcm[i];
  return n ? std::sqrt(sum / n) : -1;
}

class AudioFile : public ::testing::Test {
 protected:
  std::shared_ptr<TrackWriter> make() {
    auto track = TrackWriter::make(*factory, path, platform::FileType::appleM4A,
                                   factory->makeInput(platform::MediaType::audio, audioSettings()));
    EXPECT_TRUE(track.ok()) << (track.ok() ? "" : track.error().description);
    return track.ok() ? track.value() : nullptr;
  }

  // Appends buffers covering [from, to) of file time, placed at origin +
  // from + shift, with a tone where `toneFrom` <= t < `toneTo` (file time of
  // the content, whatever the shift).
  void feed(TrackWriter& track, double from, double to, double toneFrom, double toneTo, double shift = 0) {
    for (double t = from; t < to - 1e-9; t += double(kBuffer) / kRate) {
      const bool tone = t >= toneFrom - 1e-9 && t < toneTo - 1e-9;
      const int64_t phase = std::llround(t * kRate);
      ASSERT_TRUE(media_samples::appendWhenReady(
          track, media_samples::audioSample(origin + t + shift, kBuffer, 1000, tone ? kLoud : 0, phase)));
    }
  }

  TempDir dir;
  std::string path = dir.file("microphone.m4a");
  double origin = 50.0;
  std::shared_ptr<platform::MediaWriterFactory> factory = platform::makeFfmpegMediaWriterFactory();
};

TEST_F(AudioFile, AacLowComplexityStereo48kAt192k) {
  auto track = make();
  ASSERT_TRUE(track);
  track->start(sec(origin));
  std::minstd_rand rng(7);
  std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
  for (int b = 0; b < 300; ++b) {  // 3 s of noise: every bit of the rate is used
    auto* pcm = new platform::OwnedAudioBuffer(kRate, 2, kBuffer);
    for (int i = 0; i < 2 * kBuffer; ++i) pcm->mutableSamples()[i] = noise(rng);
    ASSERT_TRUE(media_samples::appendWhenReady(
        *track, platform::SampleBuffer::audio(platform::MediaRef<platform::AudioBufferData>(pcm),
                                              sec(origin + b * 0.01))));
  }
  track->finish(std::nullopt);
  ASSERT_EQ(track->writer().status(), platform::WriterStatus::completed) << track->writer().errorDescription();

  const auto info = testing_support::probe(path);
  ASSERT_TRUE(info.has_value());
  const auto& a = (*info)["streams"][0];
  EXPECT_EQ(a["codec_name"], "aac");
  EXPECT_EQ(a["profile"], "LC");
  EXPECT_EQ(a["sample_rate"], "48000");
  EXPECT_EQ(a["channels"], 2);
  const double rate = std::stod(a["bit_rate"].get<std::string>());
  EXPECT_GT(rate, 0.85 * 192000);
  EXPECT_LT(rate, 1.15 * 192000);
  EXPECT_NEAR(std::stod((*info)["format"]["duration"].get<std::string>()), 3.0, 0.002);
  EXPECT_EQ((*info)["format"]["tags"]["major_brand"], "M4A ");
  EXPECT_EQ(testing_support::decodeErrors(path), "");
}

TEST_F(AudioFile, EverySamplePlaysAtItsPresentationTime) {
  auto track = make();
  ASSERT_TRUE(track);
  const double overlap = 0.008;
  track->start(sec(origin));
  feed(*track, 0.0, 0.5, 0, 0);                // silence, then 200 ms without buffers
  feed(*track, 0.7, 1.3, 1.0, 1.3);            // tone from 1.0 s
  feed(*track, 1.3, 2.0, 1.5, 1.8, -overlap);  // placed early: overlaps the tone's end
  track->finish(std::nullopt);
  ASSERT_EQ(track->writer().status(), platform::WriterStatus::completed) << track->writer().errorDescription();

  const auto pcm = decode(path);
  EXPECT_NEAR(onset(pcm, 0.0), 1.0, 0.002);               // after the filled hole
  EXPECT_LT(rms(pcm, 0.52, 0.68), 0.01);                  // the hole is silent
  EXPECT_NEAR(onset(pcm, 1.35), 1.5 - overlap, 0.002);    // the early buffers play early...
  // ...and lose their overlapping start, so the file ends 8 ms early.
  const auto info = testing_support::probe(path);
  ASSERT_TRUE(info.has_value());
  EXPECT_NEAR(std::stod((*info)["format"]["duration"].get<std::string>()), 2.0 - overlap, 0.002);
  EXPECT_EQ(testing_support::decodeErrors(path), "");
}

}  // namespace
