// TrackWriter's own rules, against a writer double that records every call.
#include "media/TrackWriter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using platform::MediaTime;
using platform::WriterStatus;

namespace {

using Log = std::vector<std::string>;

std::string timeText(const MediaTime& t) { return std::to_string(t.value) + "/" + std::to_string(t.timescale); }

class RecordingInput final : public platform::AssetWriterInput {
 public:
  explicit RecordingInput(Log& log) : log_(log) {}
  platform::MediaType mediaType() const override { return platform::MediaType::video; }
  void setExpectsMediaDataInRealTime(bool realTime) override { log_.push_back(realTime ? "realTime" : "notRealTime"); }
  bool isReadyForMoreMediaData() const override { return ready; }
  bool append(const platform::SampleBuffer&) override {
    log_.push_back("append");
    return appendResult;
  }
  void markAsFinished() override { log_.push_back("markAsFinished"); }

  bool ready = true;
  bool appendResult = true;

 private:
  Log& log_;
};

class RecordingWriter final : public platform::AssetWriter {
 public:
  explicit RecordingWriter(Log& log) : log_(log) {}
  void add(std::shared_ptr<platform::AssetWriterInput>) override { log_.push_back("add"); }
  bool startWriting() override {
    log_.push_back("startWriting");
    currentStatus = startSucceeds ? WriterStatus::writing : WriterStatus::failed;
    return startSucceeds;
  }
  void startSession(MediaTime t) override { log_.push_back("startSession " + timeText(t)); }
  void endSession(MediaTime t) override { log_.push_back("endSession " + timeText(t)); }
  WriterStatus status() const override { return currentStatus; }
  platform::WriterFailure failure() const override { return platform::WriterFailure::none; }
  void finishWriting() override { log_.push_back("finishWriting"); }
  std::string errorDescription() const override { return {}; }

  WriterStatus currentStatus = WriterStatus::unknown;
  bool startSucceeds = true;

 private:
  Log& log_;
};

class RecordingFactory final : public platform::MediaWriterFactory {
 public:
  explicit RecordingFactory(Log& log) : log_(log) {}
  platform::Result<std::shared_ptr<platform::AssetWriter>> makeWriter(const std::string& path,
                                                                      platform::FileType) override {
    log_.push_back("makeWriter " + path);
    if (fail) return platform::Error{"cannot"};
    writer = std::make_shared<RecordingWriter>(log_);
    return std::shared_ptr<platform::AssetWriter>(writer);
  }
  std::shared_ptr<platform::AssetWriterInput> makeInput(platform::MediaType, const platform::OutputSettings&) override {
    return input = std::make_shared<RecordingInput>(log_);
  }

  bool fail = false;
  std::shared_ptr<RecordingWriter> writer;
  std::shared_ptr<RecordingInput> input;

 private:
  Log& log_;
};

class TrackWriterRules : public ::testing::Test {
 protected:
  std::shared_ptr<TrackWriter> make() {
    auto input = factory.makeInput(platform::MediaType::video, platform::VideoSettings{});
    auto track = TrackWriter::make(factory, path, platform::FileType::mpeg4, input);
    EXPECT_TRUE(track.ok());
    log.clear();
    return track.ok() ? track.value() : nullptr;
  }

  Log log;
  RecordingFactory factory{log};
  std::string path = "/nonexistent-dir/screen.mp4";
  platform::SampleBuffer sample = platform::SampleBuffer::video(
      platform::MediaRef<platform::VideoFrameData>(new platform::OwnedVideoFrame(2, 2)), MediaTime::zero(),
      MediaTime::invalid(), std::nullopt);
};

TEST_F(TrackWriterRules, ConstructionMarksTheInputRealTimeAndAddsIt) {
  auto input = factory.makeInput(platform::MediaType::video, platform::VideoSettings{});
  auto track = TrackWriter::make(factory, path, platform::FileType::mpeg4, input);
  ASSERT_TRUE(track.ok());
  EXPECT_EQ(log, (Log{"makeWriter " + path, "realTime", "add"}));
  EXPECT_FALSE(track.value()->started());
}

TEST_F(TrackWriterRules, ConstructionFailsWithTheWritersError) {
  factory.fail = true;
  auto track = TrackWriter::make(factory, path, platform::FileType::mpeg4,
                                 factory.makeInput(platform::MediaType::video, platform::VideoSettings{}));
  ASSERT_FALSE(track.ok());
  EXPECT_EQ(track.error().description, "cannot");
}

TEST_F(TrackWriterRules, ConstructionRemovesWhateverIsAtThePath) {
  const fs::path dir = fs::temp_directory_path() / ("trackwriter-" + std::to_string(getpid()));
  fs::create_directories(dir / "screen.mp4" / "inner");  // even a directory
  std::ofstream(dir / "screen.mp4" / "inner" / "f") << "x";
  path = (dir / "screen.mp4").string();
  make();
  EXPECT_FALSE(fs::exists(path));
  fs::remove_all(dir);
}

TEST_F(TrackWriterRules, StartBeginsWritingOnceAtTheFirstTime) {
  auto track = make();
  track->start(MediaTime::make(5, 1));
  track->start(MediaTime::make(7, 1));
  EXPECT_TRUE(track->started());
  EXPECT_EQ(log, (Log{"startWriting", "startSession 5/1"}));
}

TEST_F(TrackWriterRules, StartCountsEvenWhenTheWriterFailsToStart) {
  auto track = make();
  factory.writer->startSucceeds = false;
  track->start(MediaTime::zero());
  EXPECT_TRUE(track->started());
  EXPECT_FALSE(track->append(sample));
  EXPECT_EQ(log, (Log{"startWriting", "startSession 0/1"}));
}

TEST_F(TrackWriterRules, AppendReachesTheInputOnlyWhenStartedWritingAndReady) {
  struct Case {
    const char* name;
    bool start;
    WriterStatus status;
    bool ready;
    bool inputResult;
    bool expected;
  } const cases[] = {
      {"before start", false, WriterStatus::writing, true, true, false},
      {"writer failed", true, WriterStatus::failed, true, true, false},
      {"writer completed", true, WriterStatus::completed, true, true, false},
      {"input busy", true, WriterStatus::writing, false, true, false},
      {"input refuses", true, WriterStatus::writing, true, false, false},
      {"accepted", true, WriterStatus::writing, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto track = make();
    if (c.start) track->start(MediaTime::zero());
    factory.writer->currentStatus = c.status;
    factory.input->ready = c.ready;
    factory.input->appendResult = c.inputResult;
    log.clear();
    EXPECT_EQ(track->append(sample), c.expected);
    const bool reachedInput = c.start && c.status == WriterStatus::writing && c.ready;
    EXPECT_EQ(log, reachedInput ? Log{"append"} : Log{});
  }
}

TEST_F(TrackWriterRules, FinishCompletesAStartedTrack) {
  struct Case {
    const char* name;
    bool start;
    std::optional<MediaTime> end;
    Log expected;
  } const cases[] = {
      {"never started", false, MediaTime::make(3, 1), {}},
      {"with end time", true, MediaTime::make(3, 1), {"markAsFinished", "endSession 3/1", "finishWriting"}},
      {"without end time", true, std::nullopt, {"markAsFinished", "finishWriting"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto track = make();
    if (c.start) track->start(MediaTime::zero());
    log.clear();
    track->finish(c.end);
    EXPECT_EQ(log, c.expected);
  }
}

TEST(EncoderSettings, VideoBitRateIsAnEighthOfThePixelRateClamped) {
  struct Case {
    int64_t w, h, fps, expected;
  } const cases[] = {
      {31999999, 1, 1, 4000000},   {32000000, 1, 1, 4000000},   {32000008, 1, 1, 4000001},
      {479999999, 1, 1, 59999999}, {480000000, 1, 1, 60000000}, {1280, 720, 30, 4000000},
      {1280, 800, 32, 4096000},    {1920, 1080, 30, 7776000},   {2940, 1912, 60, 42159600},
      {3840, 2160, 60, 60000000},
  };
  for (const auto& c : cases)
    EXPECT_EQ(videoBitRate(c.w, c.h, c.fps), c.expected) << c.w << "x" << c.h << "@" << c.fps;
}

TEST(EncoderSettings, VideoAndAudioSettings) {
  const auto v = videoSettings(1920, 1080, 60);
  EXPECT_EQ(v.width, 1920);
  EXPECT_EQ(v.height, 1080);
  EXPECT_EQ(v.averageBitRate, 15552000);
  EXPECT_EQ(v.expectedSourceFrameRate, 60);
  EXPECT_EQ(v.maxKeyFrameInterval, 30);
  EXPECT_TRUE(v.allowFrameReordering);
  EXPECT_TRUE(v.highProfileAutoLevel);
  const auto a = audioSettings();
  EXPECT_EQ(a.formatID, 0x61616320u);
  EXPECT_EQ(a.sampleRate, 48000);
  EXPECT_EQ(a.numberOfChannels, 2);
  EXPECT_EQ(a.encoderBitRate, 192000);
}

}  // namespace
