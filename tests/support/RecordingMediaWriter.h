// The media writer double: a writer factory whose writers and inputs record
// every call in one log, with results the test sets.
#pragma once

#include "platform/MediaWriter.h"

#include <memory>
#include <string>
#include <vector>

namespace testing_support {

// Every call, in order, as text ("append", "startSession 0/1", ...).
using RecordingLog = std::vector<std::string>;

inline std::string timeText(const platform::MediaTime& t) {
  return std::to_string(t.value) + "/" + std::to_string(t.timescale);
}

class RecordingInput final : public platform::AssetWriterInput {
 public:
  explicit RecordingInput(RecordingLog& log) : log_(log) {}
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
  RecordingLog& log_;
};

class RecordingWriter final : public platform::AssetWriter {
 public:
  explicit RecordingWriter(RecordingLog& log) : log_(log) {}
  void add(std::shared_ptr<platform::AssetWriterInput>) override { log_.push_back("add"); }
  bool startWriting() override {
    log_.push_back("startWriting");
    currentStatus = startSucceeds ? platform::WriterStatus::writing : platform::WriterStatus::failed;
    return startSucceeds;
  }
  void startSession(platform::MediaTime t) override { log_.push_back("startSession " + timeText(t)); }
  void endSession(platform::MediaTime t) override { log_.push_back("endSession " + timeText(t)); }
  platform::WriterStatus status() const override { return currentStatus; }
  platform::WriterFailure failure() const override { return platform::WriterFailure::none; }
  void finishWriting() override { log_.push_back("finishWriting"); }
  std::string errorDescription() const override { return {}; }

  platform::WriterStatus currentStatus = platform::WriterStatus::unknown;
  bool startSucceeds = true;

 private:
  RecordingLog& log_;
};

class RecordingFactory final : public platform::MediaWriterFactory {
 public:
  explicit RecordingFactory(RecordingLog& log) : log_(log) {}
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
  RecordingLog& log_;
};

}  // namespace testing_support
