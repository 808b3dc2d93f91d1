#include "inspect/MediaReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <vector>

namespace inspect {

namespace {

// The first error FFmpeg logged while a reader ran.
std::string* collectedLog = nullptr;

void collectLog(void*, int level, const char* format, va_list arguments) {
  if (level > AV_LOG_ERROR || collectedLog == nullptr || !collectedLog->empty()) return;
  char line[512];
  std::vsnprintf(line, sizeof line, format, arguments);
  *collectedLog = line;
  while (!collectedLog->empty() && (collectedLog->back() == '\n' || collectedLog->back() == ' ')) collectedLog->pop_back();
}

// Takes FFmpeg's log over for the life of the object.
class LogCollector {
 public:
  explicit LogCollector(std::string& into) {
    collectedLog = &into;
    av_log_set_callback(collectLog);
  }
  ~LogCollector() {
    av_log_set_callback(collectLog);  // stays quiet for the rest of the process
    collectedLog = nullptr;
  }
};

std::string avError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

struct FormatCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecFreer {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

// Mixes a decoded audio frame to one channel; only float formats, which
// FFmpeg's AAC decoder gives.
bool mixToMono(const AVFrame& frame, std::vector<float>& out) {
  const int channels = frame.ch_layout.nb_channels;
  const int count = frame.nb_samples;
  if (channels <= 0) return false;
  out.assign(static_cast<size_t>(count), 0.0f);
  if (frame.format == AV_SAMPLE_FMT_FLTP) {
    for (int c = 0; c < channels; ++c) {
      const auto* plane = reinterpret_cast<const float*>(frame.extended_data[c]);
      for (int i = 0; i < count; ++i) out[i] += plane[i] / channels;
    }
    return true;
  }
  if (frame.format == AV_SAMPLE_FMT_FLT) {
    const auto* interleaved = reinterpret_cast<const float*>(frame.data[0]);
    for (int i = 0; i < count; ++i) {
      for (int c = 0; c < channels; ++c) out[i] += interleaved[i * channels + c] / channels;
    }
    return true;
  }
  return false;
}

class Decoder {
 public:
  Decoder(DecodedMedia& result, const MediaVisitor* visitor) : result_(result), visitor_(visitor) {}

  bool open(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (int error = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); error < 0) {
      result_.openError = avError(error);
      return false;
    }
    format_.reset(raw);
    if (int error = avformat_find_stream_info(raw, nullptr); error < 0) {
      result_.openError = avError(error);
      return false;
    }
    if (raw->nb_streams < 1) {
      result_.openError = "no stream";
      return false;
    }
    stream_ = raw->streams[0];
    const AVCodec* codec = avcodec_find_decoder(stream_->codecpar->codec_id);
    if (!codec) {
      result_.openError = "no decoder for its codec";
      return false;
    }
    codec_.reset(avcodec_alloc_context3(codec));
    if (!codec_ || avcodec_parameters_to_context(codec_.get(), stream_->codecpar) < 0) {
      result_.openError = "the decoder cannot be set up";
      return false;
    }
    codec_->thread_count = 2;
    codec_->pkt_timebase = stream_->time_base;
    if (int error = avcodec_open2(codec_.get(), codec, nullptr); error < 0) {
      result_.openError = avError(error);
      return false;
    }
    const AVCodecParameters& parameters = *stream_->codecpar;
    result_.codec = codec->name;
    result_.video = parameters.codec_type == AVMEDIA_TYPE_VIDEO;
    result_.width = parameters.width;
    result_.height = parameters.height;
    result_.sampleRate = parameters.sample_rate;
    result_.channels = parameters.ch_layout.nb_channels;
    if (stream_->duration != AV_NOPTS_VALUE && stream_->duration > 0)
      result_.containerSeconds = static_cast<double>(stream_->duration) * av_q2d(stream_->time_base);
    result_.opened = true;
    return true;
  }

  void run(std::optional<int64_t> usableBytes) {
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    for (;;) {
      const int read = av_read_frame(format_.get(), packet.get());
      if (read == AVERROR_EOF) break;
      if (read < 0) {
        noteError("reading: " + avError(read));
        break;
      }
      const bool ours = packet->stream_index == stream_->index;
      const bool cut = usableBytes && packet->pos >= 0 && packet->pos + packet->size > *usableBytes;
      if (cut) {
        av_packet_unref(packet.get());
        break;  // the rest was cut off by a kill
      }
      if (ours) send(packet.get());
      av_packet_unref(packet.get());
    }
    send(nullptr);  // drain
  }

 private:
  void noteError(const std::string& text) {
    if (result_.decodeError.empty()) result_.decodeError = text;
  }

  void send(const AVPacket* packet) {
    int error = avcodec_send_packet(codec_.get(), packet);
    if (error < 0 && error != AVERROR_EOF) noteError("decoding: " + avError(error));
    for (;;) {
      error = avcodec_receive_frame(codec_.get(), frame_.get());
      if (error == AVERROR(EAGAIN) || error == AVERROR_EOF) return;
      if (error < 0) {
        noteError("decoding: " + avError(error));
        return;
      }
      take(*frame_);
      av_frame_unref(frame_.get());
    }
  }

  void take(const AVFrame& frame) {
    if (frame.decode_error_flags != 0) noteError("a frame decoded with errors");
    const double base = av_q2d(stream_->time_base);
    const int64_t stamp = frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : frame.pts;
    if (stamp == AV_NOPTS_VALUE) return;
    const double seconds = static_cast<double>(stamp) * base;
    double length = 0;
    if (result_.video) {
      length = frame.pkt_duration > 0 ? static_cast<double>(frame.pkt_duration) * base : 0;
    } else if (frame.sample_rate > 0) {
      length = static_cast<double>(frame.nb_samples) / frame.sample_rate;
    }
    ++result_.frames;
    if (!result_.startSeconds) result_.startSeconds = seconds;
    result_.endSeconds = std::max(result_.endSeconds, seconds + length);
    if (!visitor_) return;
    if (result_.video && visitor_->picture) visitor_->picture(frame, seconds);
    if (!result_.video && visitor_->sound && mixToMono(frame, mono_))
      visitor_->sound(mono_.data(), static_cast<int>(mono_.size()), frame.sample_rate, seconds);
  }

  DecodedMedia& result_;
  const MediaVisitor* visitor_;
  std::unique_ptr<AVFormatContext, FormatCloser> format_;
  std::unique_ptr<AVCodecContext, CodecFreer> codec_;
  std::unique_ptr<AVFrame, FrameFreer> frame_;
  AVStream* stream_ = nullptr;
  std::vector<float> mono_;
};

}  // namespace

DecodedMedia decodeMedia(const std::string& path, std::optional<int64_t> usableBytes, const MediaVisitor* visitor) {
  DecodedMedia result;
  std::string logged;
  {
    LogCollector collector(logged);
    Decoder decoder(result, visitor);
    if (decoder.open(path)) decoder.run(usableBytes);
  }
  if (result.opened && result.decodeError.empty() && !logged.empty()) result.decodeError = logged;
  if (!result.opened && !logged.empty()) result.openError += " (" + logged + ")";
  return result;
}

}  // namespace inspect
