#include "media/TrackWriter.h"

#include <filesystem>
#include <system_error>

using platform::AssetWriterInput;
using platform::MediaTime;
using platform::WriterStatus;

platform::Result<std::shared_ptr<TrackWriter>> TrackWriter::make(platform::MediaWriterFactory& factory,
                                                                 const std::string& path,
                                                                 platform::FileType fileType,
                                                                 std::shared_ptr<AssetWriterInput> input) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);

  auto writer = factory.makeWriter(path, fileType);
  if (!writer) return writer.error();

  input->setExpectsMediaDataInRealTime(true);
  writer.value()->add(input);
  return std::shared_ptr<TrackWriter>(new TrackWriter(std::move(writer.value()), std::move(input)));
}

TrackWriter::TrackWriter(std::shared_ptr<platform::AssetWriter> writer, std::shared_ptr<AssetWriterInput> input)
    : writer_(std::move(writer)), input_(std::move(input)) {}

void TrackWriter::start(MediaTime at) {
  if (started_) return;
  writer_->startWriting();  // a failure shows in status(), which then refuses samples
  writer_->startSession(at);
  started_ = true;
}

bool TrackWriter::append(const platform::SampleBuffer& sample) {
  if (!started_) return false;
  if (writer_->status() != WriterStatus::writing) return false;
  if (!input_->isReadyForMoreMediaData()) return false;
  return input_->append(sample);
}

bool TrackWriter::finish(std::optional<MediaTime> endTime) {
  if (!started_) return true;
  input_->markAsFinished();
  if (endTime) writer_->endSession(*endTime);
  writer_->finishWriting();
  return writer_->status() == WriterStatus::completed;
}

int64_t videoBitRate(int64_t w, int64_t h, int64_t fps) {
  const int64_t p = w * h * fps;
  if (p <= 31999999) return 4000000;
  if (p < 480000000) return p / 8;
  return 60000000;
}

platform::VideoSettings videoSettings(int w, int h, int fps) {
  platform::VideoSettings s;
  s.width = w;
  s.height = h;
  s.averageBitRate = videoBitRate(w, h, fps);
  s.highProfileAutoLevel = true;
  s.expectedSourceFrameRate = fps;
  s.maxKeyFrameInterval = 30;
  s.allowFrameReordering = true;
  return s;
}

platform::AudioSettings audioSettings() {
  platform::AudioSettings s;
  s.formatID = 0x61616320;  // "aac "
  s.encoderBitRate = 192000;
  return s;
}
