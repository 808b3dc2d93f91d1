#include "platform/ffmpeg/Muxer.h"

#include "platform/ffmpeg/AvError.h"

namespace platform::ffmpeg {

namespace {

const char* formatName(Muxer::Container container) {
  return container == Muxer::Container::mp4 ? "mp4" : "ipod";
}

}  // namespace

std::unique_ptr<Muxer> Muxer::create(const std::string& path, Container container, std::string& error) {
  AVFormatContext* context = nullptr;
  const int r = avformat_alloc_output_context2(&context, nullptr, formatName(container), path.c_str());
  if (r < 0 || context == nullptr) {
    error = "The " + std::string(formatName(container)) + " container is not available: " + avErrorText(r);
    return nullptr;
  }
  return std::unique_ptr<Muxer>(new Muxer(path, context));
}

Muxer::Muxer(std::string path, AVFormatContext* context) : path_(std::move(path)), context_(context) {}

Muxer::~Muxer() {
  if (context_->pb != nullptr) avio_closep(&context_->pb);
  avformat_free_context(context_);
}

AVStream* Muxer::addStream(const AVCodecContext* encoder) {
  AVStream* stream = avformat_new_stream(context_, nullptr);
  if (stream == nullptr) return nullptr;
  if (avcodec_parameters_from_context(stream->codecpar, encoder) < 0) return nullptr;
  stream->time_base = encoder->time_base;
  return stream;
}

std::string Muxer::fileError(const char* what, int error) const {
  return "The file " + path_ + " " + what + ": " + avErrorText(error);
}

bool Muxer::open(std::string& error) {
  int r = avio_open(&context_->pb, path_.c_str(), AVIO_FLAG_WRITE);
  if (r < 0) {
    error = fileError("cannot be created", r);
    return false;
  }
  // Plain (non-fragmented) MP4: the index is written by the trailer.
  r = avformat_write_header(context_, nullptr);
  if (r < 0) {
    error = fileError("cannot be written", r);
    return false;
  }
  opened_ = true;
  return true;
}

bool Muxer::write(AVPacket* packet, const AVStream* stream, AVRational timeBase, std::string& error) {
  packet->stream_index = stream->index;
  av_packet_rescale_ts(packet, timeBase, stream->time_base);
  const int r = av_interleaved_write_frame(context_, packet);
  if (r < 0) {
    error = fileError("cannot be written", r);
    return false;
  }
  return true;
}

bool Muxer::finish(std::string& error) {
  if (!opened_) return true;
  opened_ = false;
  int r = av_write_trailer(context_);
  const int closed = avio_closep(&context_->pb);
  if (r >= 0) r = closed;
  if (r < 0) {
    error = fileError("cannot be completed", r);
    return false;
  }
  return true;
}

}  // namespace platform::ffmpeg
