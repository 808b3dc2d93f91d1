// The container step of a media file: one libavformat output with its
// streams. The only place that knows the container's format and options.
// Used by one thread at a time (the writer's encoding thread).
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace platform::ffmpeg {

class Muxer {
 public:
  // The containers the writer produces.
  enum class Container { mp4, m4a };

  // Prepares the output for `path`; no file is touched until open(). Null
  // with `error` set if the container is not available.
  static std::unique_ptr<Muxer> create(const std::string& path, Container container, std::string& error);
  // Closes a file still open, without completing it.
  ~Muxer();

  Muxer(const Muxer&) = delete;
  Muxer& operator=(const Muxer&) = delete;

  // Adds a stream carrying `encoder`'s output, before open(). Its time base
  // starts as the encoder's; the container may change it at open().
  AVStream* addStream(const AVCodecContext* encoder);
  // Creates the file and writes the container header.
  bool open(std::string& error);
  bool isOpen() const { return opened_; }
  // Writes one packet of `stream`, its times counted in `timeBase`; takes
  // the packet's data (the packet is left blank).
  bool write(AVPacket* packet, const AVStream* stream, AVRational timeBase, std::string& error);
  // Writes the trailer and closes the file: a complete, playable file.
  bool finish(std::string& error);

  const std::string& path() const { return path_; }

 private:
  Muxer(std::string path, AVFormatContext* context);
  std::string fileError(const char* what, int error) const;

  std::string path_;
  AVFormatContext* context_;
  bool opened_ = false;
};

}  // namespace platform::ffmpeg
