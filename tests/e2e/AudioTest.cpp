// System audio and the microphone in a recording: sound where it was played,
// on the same timeline as the picture.
#include "Recording.h"

#include <algorithm>
#include <cmath>

namespace e2e_tests {
namespace {

constexpr int kRate = 48000;

class RecordedSound : public RecordingTest {
 protected:
  struct Track {
    std::vector<float> samples;  // mono, from the track's start
    double startTime = 0;        // of its first sample, in the file (s)
    double duration = 0;         // s
    float peak = 0;
  };
  Track readTrack(const char* name) const {
    Track track;
    const std::optional<json> info = testing_support::probe(file(name));
    EXPECT_TRUE(info) << name << " cannot be read";
    if (!info) return track;
    EXPECT_EQ(info->at("streams").size(), 1u) << info->dump();
    const json& stream = info->at("streams")[0];
    EXPECT_EQ(stream.value("codec_name", ""), "aac");
    EXPECT_EQ(stream.value("sample_rate", ""), "48000");
    EXPECT_EQ(stream.value("channels", 0), 2);
    track.startTime = std::stod(stream.value("start_time", "0"));
    track.duration = std::stod(stream.value("duration", "0"));
    track.samples = testing_support::audioSamples(file(name), kRate);
    for (float s : track.samples) track.peak = std::max(track.peak, std::fabs(s));
    return track;
  }
};

TEST_F(RecordedSound, ATonePlayedWithAFlashIsHeardWhenItIsSeenAndTheMicrophoneIsRecorded) {
  startDesktop({.width = 640, .height = 360, .microphone = true});
  TestWindow flash({.x = 100, .y = 80, .width = 240, .height = 160, .rgb = 0x000000});
  keepSpeakersRunning();
  ASSERT_FALSE(HasFatalFailure());
  startRecording({{"mode", "screen"}, {"systemAudio", true}, {"microphone", true}});
  ASSERT_FALSE(HasFatalFailure());

  // The window turns white, and right after that a tone starts playing: at
  // some moment while pactl runs (starting a process can take a while on a
  // busy machine), which the test notes in recording time.
  sleepUntilRecordingMs(1000);
  const double paintedFromMs = recordingMs();
  flash.fill(0xFFFFFF);
  const double launchedMs = recordingMs();
  std::string module;
  ASSERT_EQ(desktop_->run({"pactl", "load-module", "module-sine", "sink=rec", "frequency=1000"}, &module), 0);
  const double loadedMs = recordingMs();
  sleepUntilRecordingMs(2500);
  const json metadata = stop();
  ASSERT_TRUE(metadata.is_object());
  EXPECT_EQ(metadata.at("hasSystemAudio"), true);
  EXPECT_EQ(metadata.at("hasMicrophone"), true);
  EXPECT_EQ(metadata.at("droppedAudioBuffers"), json::object());
  expectVideoMatches(metadata);
  expectPlayable();
  expectInspectionPasses();

  // When the picture shows the flash.
  std::optional<double> seen;
  for (const auto& sample : testing_support::pixelOverTime(file("screen.mp4"), 220, 170)) {
    if (looksLike(sample.colour, 0xFFFFFF)) {
      seen = sample.time;
      break;
    }
  }
  ASSERT_TRUE(seen) << "the flash is not in the video";

  // When the tone is heard, in recording time: the track starts at its
  // audioStartMs.
  const double durationMs = metadata.at("durationMs").get<double>();
  const double systemStartMs = metadata.at("audioStartMs").at("system").get<double>();
  const Track system = readTrack("system-audio.m4a");
  ASSERT_GT(system.peak, 0.05f) << "system audio is silent";
  const std::optional<double> onset = testing_support::firstSampleReaching(system.samples, kRate, system.peak * 0.3f);
  ASSERT_TRUE(onset);
  const double heard = systemStartMs / 1000 + system.startTime + *onset;
  // The flash shows in the first frame after it was drawn; the tone is heard
  // from when the sine module was loaded. The null sink mixes a new stream
  // into the block it is already rendering, whose stamp lies up to one block
  // earlier; one named tolerance covers that and the video's frame interval.
  constexpr double kTolerance = 0.05;
  // A frame carries its tick's place on the frame grid, up to one interval
  // before the grab that saw the change.
  const double frameInterval = 1.0 / metadata.at("fps").get<double>();
  EXPECT_GE(*seen, paintedFromMs / 1000 - frameInterval)
      << "painted from " << paintedFromMs << " ms, seen at " << *seen << " s";
  EXPECT_LE(*seen, launchedMs / 1000 + kTolerance) << "painted by " << launchedMs << " ms, seen at " << *seen << " s";
  EXPECT_GE(heard, launchedMs / 1000 - kTolerance) << "heard at " << heard << " s, pactl started at " << launchedMs << " ms";
  EXPECT_LE(heard, loadedMs / 1000 + kTolerance) << "heard at " << heard << " s, pactl returned at " << loadedMs << " ms";
  // The sink played silence before the tone: the track starts with the
  // recording and runs to its end.
  EXPECT_GE(systemStartMs, -100);
  EXPECT_LT(systemStartMs, *seen * 1000);
  EXPECT_NEAR(systemStartMs + system.duration * 1000, durationMs, 300);

  // The test microphone plays a steady tone, but delivers it in blocks of
  // about two seconds: the track starts within one block of the recording
  // and is not silent.
  const double microphoneStartMs = metadata.at("audioStartMs").at("microphone").get<double>();
  const Track microphone = readTrack("microphone.m4a");
  EXPECT_GT(microphone.peak, 0.05f) << "the microphone is silent";
  EXPECT_GT(microphoneStartMs, -2100);
  EXPECT_LT(microphoneStartMs, durationMs);
}

}  // namespace
}  // namespace e2e_tests
