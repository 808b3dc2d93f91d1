// Audio capture, microphones and the audio server's answers on a real
// PulseAudio server: what arrives, when it is stamped, and what happens when
// the server goes away.
#include "support/Eventually.h"
#include "support/VirtualDesktop.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "platform/pulse/AudioStream.h"
#include "platform/pulse/PulseAudioDevices.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace backend_tests {
namespace {

using namespace std::chrono_literals;
using platform::OutputType;
using testing_support::VirtualDesktop;

struct BufferInfo {
  double start = 0;  // presentation time, host seconds
  double duration = 0;
  double arrival = 0;
  int sampleRate = 0;
  int channels = 0;
  std::vector<float> left;  // the first channel
};

class AudioCollector final : public platform::StreamOutput, public platform::StreamDelegate {
 public:
  void streamDidOutputSampleBuffer(platform::CaptureStream& stream, const platform::SampleBuffer& sample,
                                   OutputType type) override {
    const platform::AudioBufferData* pcm = sample.audioBuffer();
    ASSERT_NE(pcm, nullptr);
    BufferInfo info;
    info.start = sample.presentationTimeStamp().seconds();
    info.duration = sample.duration().seconds();
    info.arrival = platform::hostNow();
    info.sampleRate = pcm->sampleRate();
    info.channels = pcm->channels();
    for (int i = 0; i < pcm->frameCount(); ++i) info.left.push_back(pcm->samples()[i * pcm->channels()]);
    std::lock_guard<std::mutex> lock(mutex_);
    streams_.insert(&stream);
    buffers_[type].push_back(std::move(info));
    changed_.notify_all();
  }
  void streamDidStopWithError(platform::CaptureStream& stream, const platform::Error& error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    streams_.insert(&stream);
    errors_.push_back(error.description);
    changed_.notify_all();
  }
  std::vector<BufferInfo> buffers(OutputType type) {
    std::lock_guard<std::mutex> lock(mutex_);
    return buffers_[type];
  }
  std::vector<std::string> errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }
  std::set<platform::CaptureStream*> streams() {
    std::lock_guard<std::mutex> lock(mutex_);
    return streams_;
  }
  bool waitForError(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !errors_.empty(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<OutputType, std::vector<BufferInfo>> buffers_;
  std::vector<std::string> errors_;
  std::set<platform::CaptureStream*> streams_;
};

// Sign changes per second of `samples` at `rate`.
double zeroCrossingsPerSecond(const std::vector<float>& samples, int rate) {
  int crossings = 0;
  for (size_t i = 1; i < samples.size(); ++i) crossings += (samples[i - 1] < 0) != (samples[i] < 0);
  return crossings * static_cast<double>(rate) / static_cast<double>(samples.size());
}

// The buffers checked for what every capture promises: the format, and
// stamps that follow each other without gaps or overlaps.
void expectContiguous48kStereo(const std::vector<BufferInfo>& buffers) {
  ASSERT_FALSE(buffers.empty());
  for (size_t i = 0; i < buffers.size(); ++i) {
    EXPECT_EQ(buffers[i].sampleRate, 48000);
    EXPECT_EQ(buffers[i].channels, 2);
    EXPECT_NEAR(buffers[i].duration, buffers[i].left.size() / 48000.0, 1e-6);
    if (i > 0) {
      EXPECT_NEAR(buffers[i].start, buffers[i - 1].start + buffers[i - 1].duration, 0.001) << "buffer " << i;
    }
  }
}

// A 16-bit stereo WAV file of a sine tone.
void writeTone(const std::string& path, double frequency, double seconds, double amplitude) {
  const int rate = 48000;
  const uint32_t frames = static_cast<uint32_t>(seconds * rate);
  const uint32_t dataBytes = frames * 4;
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4);
  u32(36 + dataBytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(2);
  u32(rate);
  u32(rate * 4);
  u16(4);
  u16(16);
  out.write("data", 4);
  u32(dataBytes);
  for (uint32_t i = 0; i < frames; ++i) {
    const auto v = static_cast<int16_t>(amplitude * 32767 * std::sin(2 * M_PI * frequency * i / rate));
    u16(static_cast<uint16_t>(v));
    u16(static_cast<uint16_t>(v));
  }
}

class Audio : public testing::Test {
 protected:
  void SetUp() override { desktop_.useInThisProcess(); }

  VirtualDesktop desktop_{{.windowManager = false, .microphone = true}};
  platform::SerialQueue queue_{"test.audio"};
};

TEST_F(Audio, ATonePlayedToTheSpeakersArrivesAtTheTimeItWasPlayed) {
  const std::string tone = desktop_.runtimeDir() + "/tone.wav";
  writeTone(tone, 1000, 0.5, 0.5);
  AudioCollector collector;
  platform::pulse::AudioStream stream(OutputType::audio, platform::pulse::kDefaultMonitorSource, collector);
  ASSERT_FALSE(stream.addStreamOutput(collector, OutputType::audio, queue_));
  ASSERT_FALSE(stream.startCapture());
  // An idle null sink sleeps up to its longest latency (2 s) before it
  // notices a new listener, and delivers nothing until then; a real device
  // needs no such wait.
  ASSERT_TRUE(testing_support::waitUntil([&] { return collector.buffers(OutputType::audio).size() >= 2; }, 5s))
      << "the sink's monitor delivers nothing";
  const double launched = platform::hostNow();
  ASSERT_EQ(desktop_.run({"paplay", "--latency-msec=20", tone}), 0);
  // paplay returns once the tone has been played; wait until it has arrived.
  const double returned = platform::hostNow();
  EXPECT_TRUE(testing_support::waitUntil([&] {
    const std::vector<BufferInfo> buffers = collector.buffers(OutputType::audio);
    return buffers.back().start + buffers.back().duration >= returned;
  }));
  stream.stopCapture();

  const std::vector<BufferInfo> buffers = collector.buffers(OutputType::audio);
  expectContiguous48kStereo(buffers);
  for (const BufferInfo& buffer : buffers) {
    // Not stamped in the future. Stamps follow the sample count and are only
    // slewed towards the measured time (0.5 ms per read), so a buffer's end
    // may run a few milliseconds ahead of its arrival on a busy machine.
    EXPECT_GE(buffer.arrival, buffer.start + buffer.duration - 0.015);
    EXPECT_LT(buffer.arrival - (buffer.start + buffer.duration), 0.05);  // small fragments, little latency
  }
  // The first loud sample, and the tone around it.
  std::vector<float> loud;
  double onset = -1;
  for (const BufferInfo& buffer : buffers) {
    for (size_t i = 0; i < buffer.left.size(); ++i) {
      if (std::fabs(buffer.left[i]) < 0.05 && loud.empty()) continue;
      if (onset < 0) onset = buffer.start + i / 48000.0;
      loud.push_back(buffer.left[i]);
    }
  }
  ASSERT_GE(onset, 0) << "the tone never arrived";
  // The tone starts between paplay's launch and its return. The null sink
  // mixes a new stream into the block it is already rendering, and that
  // block's stamp lies before the launch: by up to one block (20 ms, the
  // latency paplay asks for) plus the few milliseconds by which slewed
  // stamps may lead (see above).
  constexpr double kSinkBlockLead = 0.035;
  EXPECT_GE(onset, launched - kSinkBlockLead) << "launched at " << launched;
  EXPECT_LT(onset, returned) << "paplay returned at " << returned;
  loud.resize(std::min<size_t>(loud.size(), 12000));
  EXPECT_NEAR(zeroCrossingsPerSecond(loud, 48000), 2000, 40);
}

TEST_F(Audio, TheMicrophoneIsTheDefaultSourceUnlessOneIsNamed) {
  // The desktop's default source is the 440 Hz sine "sinemic"; the named
  // one is the null sink's monitor, silent while nothing plays.
  struct Case {
    std::optional<std::string> source;
    bool hearsTheSine;
  };
  for (const Case& c : {Case{std::nullopt, true}, Case{std::string("rec.monitor"), false}}) {
    SCOPED_TRACE(c.source.value_or("default"));
    AudioCollector collector;
    platform::pulse::AudioStream stream(OutputType::microphone, c.source, collector);
    ASSERT_FALSE(stream.addStreamOutput(collector, OutputType::microphone, queue_));
    ASSERT_FALSE(stream.startCapture());
    // A second of sound; the sources deliver in blocks of up to 2 s.
    const auto frames = [&] {
      size_t total = 0;
      for (const BufferInfo& buffer : collector.buffers(OutputType::microphone)) total += buffer.left.size();
      return total;
    };
    EXPECT_TRUE(testing_support::waitUntil([&] { return frames() >= 48000; }, 6s));
    stream.stopCapture();

    std::vector<float> all;
    for (const BufferInfo& buffer : collector.buffers(OutputType::microphone)) {
      EXPECT_EQ(buffer.sampleRate, 48000);
      EXPECT_EQ(buffer.channels, 2);
      all.insert(all.end(), buffer.left.begin(), buffer.left.end());
    }
    const float peak = all.empty() ? 0 : *std::max_element(all.begin(), all.end());
    if (c.hearsTheSine) {
      ASSERT_GE(all.size(), 48000u);
      EXPECT_NEAR(zeroCrossingsPerSecond(all, 48000), 880, 9);
      EXPECT_GT(peak, 0.1);
    } else {
      EXPECT_LT(peak, 0.01);
    }
    EXPECT_TRUE(collector.errors().empty());
  }
}

TEST_F(Audio, AnUnknownMicrophoneCannotBeStarted) {
  AudioCollector collector;
  platform::pulse::AudioStream stream(OutputType::microphone, std::string("no-such-source"), collector);
  ASSERT_FALSE(stream.addStreamOutput(collector, OutputType::microphone, queue_));
  const std::optional<platform::Error> error = stream.startCapture();
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find("no-such-source"), std::string::npos) << error->description;
}

TEST_F(Audio, DevicesAndTheMicrophoneStatusFollowTheServer) {
  platform::Services services = platform::makeSystemServices();
  const std::vector<platform::AudioInputDevice> microphones = services.audioDevices->microphones();
  ASSERT_EQ(microphones.size(), 1u);  // the null sink's monitor is not a microphone
  EXPECT_EQ(microphones[0].uniqueID, "sinemic");
  EXPECT_EQ(services.audioDevices->defaultMicrophoneID(), std::optional<std::string>("sinemic"));
  EXPECT_EQ(services.permissions->microphoneAuthorizationStatus(), platform::kAuthorizationStatusAuthorized);

  desktop_.killAudioServer();
  EXPECT_TRUE(services.audioDevices->microphones().empty());
  EXPECT_EQ(services.audioDevices->defaultMicrophoneID(), std::nullopt);
  EXPECT_NE(services.permissions->microphoneAuthorizationStatus(), platform::kAuthorizationStatusAuthorized);
}

TEST_F(Audio, TheEndOfTheAudioServerIsReportedOnceForTheWholeStream) {
  platform::Services services = platform::makeSystemServices();
  auto content = services.capture->shareableContent(false, true);
  ASSERT_TRUE(content.ok());
  platform::StreamConfiguration config;
  config.width = 640;
  config.height = 480;
  config.minimumFrameInterval = platform::MediaTime::make(1, 10);
  config.capturesAudio = true;
  config.captureMicrophone = true;
  AudioCollector collector;
  auto stream = services.capture->makeStream(services.capture->filterForDisplay(content->displays.at(0), {}), config,
                                             collector);
  for (OutputType type : {OutputType::audio, OutputType::microphone}) {
    ASSERT_FALSE(stream->addStreamOutput(collector, type, queue_));
  }
  ASSERT_FALSE(stream->startCapture());
  // A source may hand over what it has in one burst as it starts, before the
  // stream as a whole stands (that is not delivered), and then pause.
  EXPECT_TRUE(testing_support::waitUntil([&] { return !collector.buffers(OutputType::microphone).empty(); }, 5s));

  desktop_.killAudioServer();
  ASSERT_TRUE(collector.waitForError(5s));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(collector.errors(), std::vector<std::string>{"The connection to the audio server was lost."});
  EXPECT_EQ(collector.streams(), std::set<platform::CaptureStream*>{stream.get()});
  EXPECT_FALSE(stream->stopCapture());
}

}  // namespace
}  // namespace backend_tests
