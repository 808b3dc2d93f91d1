#include "platform/ffmpeg/Muxer.h"

#include "platform/ffmpeg/AvError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace platform::ffmpeg {

namespace {

// The container's options. While recording the file is fragmented, so that
// whatever reached the disk plays after a crash:
//   frag_custom        fragments are cut here (cut()): at video key frames
//                      and after half a second of audio, never by the
//                      library;
//   delay_moov         the header is written with the first fragment, once
//                      the first packets are known, so it carries the edit
//                      lists that start the video (B-frame delay) and the
//                      audio (encoder priming) at 0 as a plain file does;
//   default_base_moof  each fragment's data offsets count from its own moof,
//                      so a fragment does not depend on where earlier ones
//                      ended (and browsers expect this of fragmented files).
// A clean finish writes the trailer (mfra: the key frames of every fragment,
// for seeking) and then rewrites the header in place with the durations and
// an mehd box, so a player shows the whole duration at once. Not used:
// faststart (it cannot move fragments), global_sidx (it shifts the whole
// file at the end: a second pass over the data, during which a crash would
// ruin it), empty_moov (no edit lists: the video would start two frames
// late), skip_trailer (no index).
constexpr const char* kMovFlags = "frag_custom+delay_moov+default_base_moof";

// Bytes AVIO gathers before handing them to the file; a cut flushes it.
constexpr int kIoBufferSize = 64 * 1024;

// The header is read back from the start of the file to patch it; it is a
// few hundred bytes for one track.
constexpr size_t kHeaderReadSize = 64 * 1024;

const char* formatName(Muxer::Container container) {
  return container == Muxer::Container::mp4 ? "mp4" : "ipod";
}

uint32_t readU32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void writeU32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

void writeU64(uint8_t* p, uint64_t v) {
  writeU32(p, uint32_t(v >> 32));
  writeU32(p + 4, uint32_t(v));
}

// One box of an ISO base media file held in memory.
struct Box {
  size_t offset = 0;  // of the box header
  size_t size = 0;
  size_t body = 0;    // offset of the content
};

// The child box of `type` within [from, to) of `data`; nothing if absent or
// malformed.
std::optional<Box> findBox(const std::vector<uint8_t>& data, size_t from, size_t to, const char* type) {
  while (from + 8 <= to) {
    uint64_t size = readU32(&data[from]);
    size_t header = 8;
    if (size == 1) {
      if (from + 16 > to) return std::nullopt;
      size = uint64_t(readU32(&data[from + 8])) << 32 | readU32(&data[from + 12]);
      header = 16;
    } else if (size == 0) {
      size = to - from;
    }
    if (size < header || size > to - from) return std::nullopt;
    if (std::memcmp(&data[from + 4], type, 4) == 0) return Box{from, size_t(size), from + header};
    from += size;
  }
  return std::nullopt;
}

std::optional<Box> findPath(const std::vector<uint8_t>& data, Box box, std::initializer_list<const char*> path) {
  for (const char* type : path) {
    auto child = findBox(data, box.body, box.offset + box.size, type);
    if (!child) return std::nullopt;
    box = *child;
  }
  return box;
}

// Sets a full box's duration field, whose place depends on the box version:
// `at32`/`at64` count from the end of version and flags. Fails (leaving the
// box alone) when it does not fit a version 0 box.
bool setDuration(std::vector<uint8_t>& data, const Box& box, size_t at32, size_t at64, uint64_t value) {
  const uint8_t version = data[box.body];
  const size_t field = box.body + 4 + (version == 1 ? at64 : at32);
  if (field + (version == 1 ? 8 : 4) > box.offset + box.size) return false;
  if (version == 1) {
    writeU64(&data[field], value);
  } else {
    if (value > UINT32_MAX) return false;
    writeU32(&data[field], uint32_t(value));
  }
  return true;
}

// The timescale field of an mvhd or mdhd box.
uint32_t timescaleOf(const std::vector<uint8_t>& data, const Box& box) {
  return readU32(&data[box.body + 4 + (data[box.body] == 1 ? 16 : 8)]);
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
  if (context_->pb != nullptr) {
    av_freep(&context_->pb->buffer);
    avio_context_free(&context_->pb);
  }
  avformat_free_context(context_);
  if (fd_ >= 0) ::close(fd_);
}

AVStream* Muxer::addStream(const AVCodecContext* encoder) {
  AVStream* stream = avformat_new_stream(context_, nullptr);
  if (stream == nullptr) return nullptr;
  if (avcodec_parameters_from_context(stream->codecpar, encoder) < 0) return nullptr;
  stream->time_base = encoder->time_base;
  video_ = video_ || encoder->codec_type == AVMEDIA_TYPE_VIDEO;
  return stream;
}

bool Muxer::fail(int error, std::string& text) {
  if (lastError_ == 0) lastError_ = error;
  text = avErrorText(error);
  return false;
}

int Muxer::writePacket(void* opaque, uint8_t* data, int size) {
  auto* self = static_cast<Muxer*>(opaque);
  int left = size;
  while (left > 0) {
    const ssize_t n = ::write(self->fd_, data, size_t(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      self->writeErrno_ = n < 0 ? errno : ENOSPC;
      return AVERROR(self->writeErrno_);
    }
    data += n;
    left -= int(n);
  }
  return size;
}

int64_t Muxer::seek(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<Muxer*>(opaque);
  if (whence & AVSEEK_SIZE) {
    struct stat st;
    return fstat(self->fd_, &st) == 0 ? int64_t(st.st_size) : AVERROR(errno);
  }
  const off_t at = lseek(self->fd_, offset, whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : int64_t(at);
}

bool Muxer::open(std::string& error) {
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) return fail(AVERROR(errno), error);
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  context_->pb = buffer ? avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, writePacket, seek) : nullptr;
  if (context_->pb == nullptr) {
    av_free(buffer);
    return fail(AVERROR(ENOMEM), error);
  }
  context_->pb->seekable = AVIO_SEEKABLE_NORMAL;
  context_->flags |= AVFMT_FLAG_CUSTOM_IO;

  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", kMovFlags, 0);
  int r = avformat_write_header(context_, &options);
  av_dict_free(&options);
  if (r >= 0) {
    avio_flush(context_->pb);
    r = context_->pb->error;
  }
  if (r < 0) return fail(r, error);
  opened_ = true;
  return true;
}

bool Muxer::write(AVPacket* packet, const AVStream* stream, AVRational timeBase, std::string& error) {
  packet->stream_index = stream->index;
  av_packet_rescale_ts(packet, timeBase, stream->time_base);
  if (fragmentPackets_ > 0) {
    const int64_t limit =
        av_rescale_q(std::llround(kAudioFragmentSeconds * 1000), AVRational{1, 1000}, stream->time_base);
    const bool due = video_ ? (packet->flags & AV_PKT_FLAG_KEY) != 0 : packet->dts - fragmentStart_ >= limit;
    if (due && !cut(error)) {
      av_packet_unref(packet);
      return false;
    }
  }
  if (fragmentPackets_++ == 0) {
    fragmentStart_ = packet->dts;
    fragmentBegan_ = std::chrono::steady_clock::now();
  }
  // What the header's durations are made of: what plays, from time 0.
  if (!span_.any) {
    span_.firstPts = packet->pts;
    span_.any = true;
  }
  span_.presentEnd = std::max(span_.presentEnd, packet->pts + packet->duration);

  const int r = av_write_frame(context_, packet);
  av_packet_unref(packet);
  if (r < 0) return fail(r, error);
  return true;
}

bool Muxer::cut(std::string& error) {
  // With frag_custom a null packet ends the fragment; the first one (with
  // delay_moov) writes only the header, so the first fragment needs two.
  int r = av_write_frame(context_, nullptr);
  if (r >= 0 && !headerWritten_) r = av_write_frame(context_, nullptr);
  headerWritten_ = true;
  if (r >= 0) {
    avio_flush(context_->pb);  // and hands it to the kernel now
    r = context_->pb->error;
  }
  if (r < 0) return fail(r, error);
  fragmentPackets_ = 0;
  if (!checkFile(error)) return false;
  wholeFragmentsEnd_ = avio_tell(context_->pb);
  return true;
}

bool Muxer::checkFile(std::string& error) {
  // A file removed (or its directory) under the writer takes no error from
  // write(2); its link count says so.
  struct stat st;
  if (fstat(fd_, &st) != 0) return fail(AVERROR(errno), error);
  if (st.st_nlink == 0) return fail(AVERROR(ENOENT), error);
  return true;
}

bool Muxer::cutIfStale(std::chrono::steady_clock::time_point now, std::string& error) {
  if (!opened_) return true;
  if (fragmentPackets_ == 0 || video_ ||
      now - fragmentBegan_ < std::chrono::duration<double>(kAudioFragmentSeconds))
    return checkFile(error);
  return cut(error);
}

bool Muxer::writeDurations(std::string& error) {
  if (!span_.any) return true;
  std::vector<uint8_t> head(kHeaderReadSize);
  const ssize_t n = pread(fd_, head.data(), head.size(), 0);
  if (n < 0) return fail(AVERROR(errno), error);
  head.resize(size_t(n));
  const auto moov = findBox(head, 0, head.size(), "moov");
  if (!moov) return true;  // not as written here; the file plays without
  const auto mvhd = findPath(head, *moov, {"mvhd"});
  const auto trak = findPath(head, *moov, {"trak"});
  const auto mdhd = trak ? findPath(head, *trak, {"mdia", "mdhd"}) : std::nullopt;
  if (!mvhd || !trak || !mdhd) return true;

  const AVRational tb = context_->streams[0]->time_base;
  const int64_t presented = span_.presentEnd - std::max<int64_t>(span_.firstPts, 0);
  const auto movieTicks = uint64_t(std::max<int64_t>(
      0, av_rescale_q_rnd(presented, tb, AVRational{1, int(timescaleOf(head, *mvhd))}, AV_ROUND_UP)));
  // The media's duration is what plays too: readers of fragmented files take
  // it as the track's length, and the samples before the start offset (the
  // B-frame delay) do not play.
  const auto mediaTicks = uint64_t(std::max<int64_t>(
      0, av_rescale_q_rnd(presented, tb, AVRational{1, int(timescaleOf(head, *mdhd))}, AV_ROUND_UP)));

  // mvhd and mdhd: duration after creation, modification and timescale;
  // tkhd: after creation, modification, track id and a reserved word.
  setDuration(head, *mvhd, 12, 20, movieTicks);
  setDuration(head, *mdhd, 12, 20, mediaTicks);
  if (auto tkhd = findPath(head, *trak, {"tkhd"})) setDuration(head, *tkhd, 16, 24, movieTicks);
  if (auto elst = findPath(head, *trak, {"edts", "elst"})) {
    // The first edit (the whole track after the start offset) gets its length.
    if (readU32(&head[elst->body + 4]) >= 1) setDuration(head, *elst, 4, 4, movieTicks);
  }

  // The fragments' total duration (mehd) goes into mvex. Its 20 bytes come
  // from the udta box that follows (the encoder's name), which becomes a
  // free box, so nothing after the header moves.
  const auto mvex = findPath(head, *moov, {"mvex"});
  const auto udta = findPath(head, *moov, {"udta"});
  constexpr size_t kMehd = 20;
  if (mvex && udta && udta->offset == mvex->offset + mvex->size && udta->size >= kMehd + 8) {
    std::vector<uint8_t> mehd(kMehd, 0);
    writeU32(&mehd[0], kMehd);
    std::memcpy(&mehd[4], "mehd", 4);
    mehd[8] = 1;  // version 1: a 64-bit duration
    writeU64(&mehd[12], movieTicks);
    std::vector<uint8_t> region;
    region.insert(region.end(), head.begin() + long(mvex->offset), head.begin() + long(mvex->body));
    writeU32(&region[0], uint32_t(mvex->size + kMehd));
    region.insert(region.end(), mehd.begin(), mehd.end());
    region.insert(region.end(), head.begin() + long(mvex->body), head.begin() + long(mvex->offset + mvex->size));
    std::vector<uint8_t> free(udta->size - kMehd, 0);
    writeU32(&free[0], uint32_t(free.size()));
    std::memcpy(&free[4], "free", 4);
    region.insert(region.end(), free.begin(), free.end());
    std::copy(region.begin(), region.end(), head.begin() + long(mvex->offset));
  }

  // One write: a crash leaves either the old header or the new one.
  const ssize_t written = pwrite(fd_, &head[moov->offset], moov->size, off_t(moov->offset));
  if (written < 0) return fail(AVERROR(errno), error);
  if (size_t(written) != moov->size) return fail(AVERROR(ENOSPC), error);
  return true;
}

bool Muxer::finish(std::string& error) {
  if (!opened_) return true;
  opened_ = false;
  // The trailer cuts the last fragment and adds the index.
  int r = av_write_trailer(context_);
  if (r >= 0) {
    avio_flush(context_->pb);
    r = context_->pb->error;
  }
  if (r < 0) {
    fail(r, error);
    abandonFile();
    return false;
  }
  const bool patched = writeDurations(error);
  const int closed = ::close(fd_);
  const int closeErrno = errno;
  fd_ = -1;
  if (!patched) return false;
  if (closed != 0) return fail(AVERROR(closeErrno), error);
  return true;
}

void Muxer::abandon() {
  if (fd_ < 0) return;
  opened_ = false;
  abandonFile();
}

void Muxer::abandonFile() {
  // Whatever followed the last whole fragment is a fragment cut short.
  if (ftruncate(fd_, wholeFragmentsEnd_) != 0) {
    // Nothing more can be done; the partial fragment stays.
  }
  ::close(fd_);
  fd_ = -1;
}

}  // namespace platform::ffmpeg
