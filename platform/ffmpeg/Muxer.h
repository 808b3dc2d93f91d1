// The container step of a media file: one libavformat output with its
// streams. The only place that knows the container's format and options.
// Used by one thread at a time (the writer's encoding thread).
//
// While recording the file is a fragmented MP4: a header, then self-contained
// fragments, each handed to the kernel as soon as it is cut, so a file whose
// writer dies at any moment still plays up to its last fragment. Fragments
// are cut at least once a second of media (audio twice); video fragments begin with a key
// frame (the video encoder forces one when a second has passed without). A
// clean finish adds an index of random-access points and writes the whole
// duration into the header.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
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

  // The longest stretch of media a video fragment holds: the video encoder
  // forces a key frame after it (a fragment may run longer when no frame
  // comes for a while: it ends at the next frame). At 30 fps and more the
  // 30-frame key frame interval is within it.
  static constexpr double kFragmentSeconds = 1.0;
  // The same for audio, where a cut costs only a fragment header (about 200
  // bytes): half a second, so that with the encoder's and the queue's delay
  // a crash loses well under a second.
  static constexpr double kAudioFragmentSeconds = 0.5;

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
  // Creates the file and prepares the container (the header reaches the file
  // with the first fragment).
  bool open(std::string& error);
  bool isOpen() const { return opened_; }
  // Writes one packet of `stream`, its times counted in `timeBase`; takes
  // the packet's data (the packet is left blank). Cuts the fragment before
  // it when it is a video key frame or the fragment holds half a second of
  // audio.
  bool write(AVPacket* packet, const AVStream* stream, AVRational timeBase, std::string& error);
  // Cuts the fragment now if it holds anything (the next packet written is
  // a video key frame).
  bool endFragment(std::string& error) { return fragmentPackets_ == 0 || cut(error); }
  // Cuts an audio fragment that has waited half a second for more packets (the
  // audio stopped coming). Video waits for its next key frame.
  bool cutIfStale(std::chrono::steady_clock::time_point now, std::string& error);
  // Writes the index and the header's durations and closes the file: a
  // complete, playable file.
  bool finish(std::string& error);
  // After a failure: keeps the file as it is up to the end of its last whole
  // fragment (a fragment cut short by the failure is cut off) and closes it.
  void abandon();

  const std::string& path() const { return path_; }
  // The libavformat error code (AVERROR(errno) for the system's errors) of
  // the last failure, 0 if none.
  int lastError() const { return lastError_; }

 private:
  struct Span {
    int64_t firstPts = 0;
    int64_t presentEnd = 0;   // latest pts + duration
    bool any = false;
  };

  Muxer(std::string path, AVFormatContext* context);
  bool fail(int error, std::string& text);
  bool cut(std::string& error);
  bool checkFile(std::string& error);
  bool writeDurations(std::string& error);

  void abandonFile();

  static int writePacket(void* opaque, uint8_t* data, int size);
  static int64_t seek(void* opaque, int64_t offset, int whence);

  std::string path_;
  AVFormatContext* context_;
  int fd_ = -1;
  bool opened_ = false;
  bool headerWritten_ = false;
  int lastError_ = 0;
  int writeErrno_ = 0;  // errno of the last failed write(2)
  bool video_ = false;
  int64_t fragmentStart_ = 0;  // dts of the fragment's first packet
  int64_t fragmentPackets_ = 0;
  std::chrono::steady_clock::time_point fragmentBegan_;
  off_t wholeFragmentsEnd_ = 0;  // file size after the last complete cut
  Span span_;
};

}  // namespace platform::ffmpeg
