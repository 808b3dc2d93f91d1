#include "platform/ffmpeg/VideoEncoder.h"

#include "platform/ffmpeg/AvError.h"
#include "platform/Bt709.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

extern "C" {
#include <libavutil/opt.h>
}

namespace platform::ffmpeg {

// x264 settings, chosen by measurement on the 2-core build machine (AMD EPYC)
// with 1920x1080 at 60 fps of dense scrolling text at 15.6 Mbit/s, in CPU
// seconds per encoded second (the ffmpeg tool on the same frames, 2 threads):
//   ultrafast (Constrained Baseline, no B-frames)          0.58
//   ultrafast + CABAC, 8x8 transform, deblocking and
//     2 B-frames (High)                                    0.74  <- this
//   the same without CABAC (High, CAVLC)                   0.64, 1.1 dB worse
//   superfast (High)                                       1.19, no better
//   veryfast (High)                                        1.80
// So High profile costs about a quarter more than plain ultrafast. Through
// this writer (conversion included) 1080p60 takes 0.85 to 1.1 CPU seconds per
// second on such content: real time needs about one core and leaves the other
// to the capture, and two frame threads reach about 1.5x real time when both
// cores are free (scripts/bench-encode). CABAC pays for itself: the same bits
// give a clearly better picture. No lookahead or macroblock tree (ultrafast's
// defaults): they add latency and CPU for little here.
//
// Measured later (the ffmpeg tool encoding the benchmark's screen and window
// content, 4 s at 1080p60 and 2 s at 4K30, against the settings above; PSNR
// and SSIM of the decoded video against the source frames):
//   sync-lookahead=0: the frame threads' input buffer (by default B-frames
//     + 1 frames) is gone; the output is bit for bit the same, peak memory
//     13 MB less at 1080p and 52 MB less at 4K.
//   no deblocking: sharp text and edges are what screen video shows, and the
//     loop filter smooths them: at the same bit rate PSNR +0.05 to +0.17 dB,
//     SSIM +0.0003, and a few percent less CPU (up to a fifth at 4K).
//   Lookahead, scene-cut detection, adaptive B-frames and macroblock tree are
//     already off in ultrafast. One thread instead of two saves 14 MB at 1080p
//     but leaves 4K30 short of real time.
//
// Measured later still (the ffmpeg tool on the benchmark's frames at a fixed
// quantiser, 26, so that size and PSNR compare at equal effort):
//   no B-frames: with ultrafast's fixed B-frame pattern and diamond search
//     they do not pay on screen content: scrolling text 10.75 MB at 40.48 dB
//     without against 11.01 MB at 40.36 dB with two; a window moving over a
//     page 10.35 MB at 40.29 dB against 13.77 MB at 40.15 dB; at 4K equal
//     (9.10 MB, 40.62 against 40.66 dB). Peak memory 25 MB less at 1080p and
//     97 MB less at 4K. On camera-like content (a zooming fractal) they would
//     save about 15% of the bits; screen content is what this writer is for.
//   slice threads instead of frame threads: both threads work on the same
//     frame, so only one frame is in flight: 7 MB less at 1080p and 23 MB
//     less at 4K, the same pictures for 0.2% more bits.
// Frame reordering stays allowed by the settings; this tuning uses none.
const X264Tuning VideoEncoder::kX264{"ultrafast", "cabac=1:8x8dct=1:no-deblock=1:sliced-threads=1", 0, 2};

VideoEncoder::VideoEncoder(const VideoSettings& settings) : settings_(settings) {}

VideoEncoder::~VideoEncoder() {
  for (AVPacket*& p : waiting_) av_packet_free(&p);
  av_packet_free(&received_);
  av_frame_free(&frame_);
  av_frame_free(&wrapped_);
  avcodec_free_context(&codec_);
  av_buffer_unref(&token_);
}

std::string VideoEncoder::codecError(const char* what, int error) const {
  return std::string("The H.264 encoder ") + what + ": " + avErrorText(error);
}

bool VideoEncoder::open(Muxer& muxer, std::string& error) {
  if (settings_.width <= 0 || settings_.height <= 0 || settings_.width % 2 || settings_.height % 2) {
    error = "The video size " + std::to_string(settings_.width) + "x" + std::to_string(settings_.height) +
            " cannot be encoded: width and height must be even and positive";
    return false;
  }
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (codec == nullptr) {
    error = "The H.264 encoder (libx264) is not available";
    return false;
  }
  codec_ = avcodec_alloc_context3(codec);
  frame_ = av_frame_alloc();
  wrapped_ = av_frame_alloc();
  received_ = av_packet_alloc();
  for (AVPacket*& p : waiting_) p = av_packet_alloc();
  if (!codec_ || !frame_ || !wrapped_ || !received_ || !waiting_.back()) {
    error = codecError("could not be started", AVERROR(ENOMEM));
    return false;
  }

  const int fps = std::max(1, settings_.expectedSourceFrameRate);
  codec_->width = settings_.width;
  codec_->height = settings_.height;
  codec_->pix_fmt = AV_PIX_FMT_YUV420P;
  codec_->time_base = AVRational{1, kTicksPerSecond};
  codec_->framerate = AVRational{fps, 1};
  codec_->bit_rate = settings_.averageBitRate;
  codec_->gop_size = settings_.maxKeyFrameInterval;
  codec_->max_b_frames = settings_.allowFrameReordering ? kX264.bFrames : 0;
  codec_->thread_count = kX264.threads;
  codec_->color_primaries = AVCOL_PRI_BT709;
  codec_->color_trc = AVCOL_TRC_BT709;
  codec_->colorspace = AVCOL_SPC_BT709;
  codec_->color_range = AVCOL_RANGE_MPEG;
  codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(codec_->priv_data, "preset", kX264.preset, 0);
  av_opt_set(codec_->priv_data, "x264-params", kX264.params, 0);
  if (settings_.highProfileAutoLevel) av_opt_set(codec_->priv_data, "profile", "high", 0);

  int r = avcodec_open2(codec_, codec, nullptr);
  if (r < 0) {
    error = codecError("could not be started", r);
    return false;
  }

  setPictureFormat(*frame_);

  stream_ = muxer.addStream(codec_);
  if (stream_ == nullptr) {
    error = "The video track cannot be added to " + muxer.path();
    return false;
  }
  muxer_ = &muxer;
  return true;
}

void VideoEncoder::setPictureFormat(AVFrame& picture) const {
  picture.format = codec_->pix_fmt;
  picture.width = codec_->width;
  picture.height = codec_->height;
  picture.color_primaries = codec_->color_primaries;
  picture.color_trc = codec_->color_trc;
  picture.colorspace = codec_->colorspace;
  picture.color_range = codec_->color_range;
}

namespace {
void keep(void*, uint8_t*) {}  // the token owns nothing
}  // namespace

AVFrame* VideoEncoder::picture(const VideoFrameData& frame, std::string& error) {
  const bool planar = frame.pixelFormat() == PixelFormat::i420;
  const bool sameSize = frame.width() == codec_->width && frame.height() == codec_->height;
  if (planar && sameSize && (token_ == nullptr || av_buffer_get_ref_count(token_) == 1)) {
    // The frame's own planes. A reference-counted picture must name a
    // buffer: one token buffer, made once, stands for every frame (nothing
    // is allocated per frame), and `sent_` keeps the frame while the encoder
    // still holds the token.
    if (token_ == nullptr) {
      static uint8_t nothing;
      token_ = av_buffer_create(&nothing, 1, keep, nullptr, AV_BUFFER_FLAG_READONLY);
      if (token_ == nullptr) {
        error = codecError("failed", AVERROR(ENOMEM));
        return nullptr;
      }
    }
    av_frame_unref(wrapped_);
    setPictureFormat(*wrapped_);
    for (int i = 0; i < 3; ++i) {
      wrapped_->data[i] = const_cast<uint8_t*>(frame.plane(i));
      wrapped_->linesize[i] = frame.planeStride(i);
    }
    wrapped_->buf[0] = token_;  // lent, taken back right after sending
    sent_ = MediaRef<VideoFrameData>(&frame);
    return wrapped_;
  }

  // Converted or scaled into frame_. The encoder copies each picture, so
  // frame_ is normally writable again at once and this allocates nothing
  // after the first time.
  int r = frame_->buf[0] ? av_frame_make_writable(frame_) : av_frame_get_buffer(frame_, 0);
  if (r < 0) {
    error = codecError("failed", r);
    return nullptr;
  }
  const I420Planes out{frame_->data[0], frame_->linesize[0], frame_->data[1], frame_->linesize[1],
                       frame_->data[2], frame_->linesize[2]};
  if (planar) {
    // A frame of another size (the captured area changed) is scaled to the
    // track's size (or copied while the encoder still holds the last
    // picture, which it does not do when its packets are drained).
    libyuv::I420Scale(frame.plane(0), frame.planeStride(0), frame.plane(1), frame.planeStride(1), frame.plane(2),
                      frame.planeStride(2), frame.width(), frame.height(), out.y, out.yStride, out.u, out.uStride,
                      out.v, out.vStride, codec_->width, codec_->height, libyuv::kFilterBilinear);
    return frame_;
  }
  const uint8_t* pixels = frame.pixels();
  int stride = frame.bytesPerRow();
  if (!sameSize) {
    // Likewise for BGRA; the buffer is made once.
    scaled_.resize(static_cast<size_t>(codec_->width) * codec_->height * 4);
    libyuv::ARGBScale(pixels, stride, frame.width(), frame.height(), scaled_.data(), codec_->width * 4,
                      codec_->width, codec_->height, libyuv::kFilterBilinear);
    pixels = scaled_.data();
    stride = codec_->width * 4;
  }
  bgraToI420Bt709(pixels, stride, codec_->width, codec_->height, out);
  return frame_;
}

bool VideoEncoder::encode(const SampleBuffer& sample, const MediaTime& start, std::string& error) {
  const VideoFrameData* frame = sample.videoFrame();
  if (frame == nullptr || codec_ == nullptr) return true;
  const MediaTime at = (sample.presentationTimeStamp() - start).convertScale(kTicksPerSecond);
  if (!at.isNumeric()) return true;
  // A frame from before the origin is shown from the origin; a frame that
  // does not move the track forward is skipped.
  const int64_t pts = std::max<int64_t>(at.value, 0);
  if (lastPts_ && pts <= *lastPts_) return true;

  AVFrame* picture = this->picture(*frame, error);
  if (picture == nullptr) return false;
  picture->pts = pts;
  // The file is cut into fragments at key frames, at least one a second: a
  // frame a second or more after the last key frame is made one (the
  // 30-frame interval gives them more often at high frame rates).
  const bool keyDue = !lastKeyPts_ || pts - *lastKeyPts_ >= std::llround(Muxer::kFragmentSeconds * kTicksPerSecond);
  picture->pict_type = keyDue ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  if (keyDue) lastKeyPts_ = pts;
  const int r = avcodec_send_frame(codec_, picture);
  wrapped_->buf[0] = nullptr;
  av_frame_unref(wrapped_);
  // The encoder copies a picture into its own as it takes it, which is
  // normally within avcodec_send_frame (the packets are drained after each
  // frame): then the token is ours alone again and the frame can go back
  // to its pool now; else it is kept until the encoder lets go.
  if (token_ == nullptr || av_buffer_get_ref_count(token_) == 1) sent_ = MediaRef<VideoFrameData>();
  if (r < 0) {
    error = codecError("failed", r);
    return false;
  }
  if (!firstPts_) firstPts_ = pts;
  lastPts_ = pts;
  return receivePackets(error) && writeReady(false, std::nullopt, error);
}

bool VideoEncoder::receivePackets(std::string& error) {
  for (;;) {
    const int r = avcodec_receive_packet(codec_, received_);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
    if (r < 0) {
      error = codecError("failed", r);
      return false;
    }
    placeDecodeTime(*received_);
    if (received_->flags & AV_PKT_FLAG_KEY) lastKeyPts_ = std::max(lastKeyPts_.value_or(received_->pts), received_->pts);
    if (waitingCount_ == waiting_.size() && !writeReady(false, std::nullopt, error)) return false;
    av_packet_move_ref(waiting_[(waitingHead_ + waitingCount_) % waiting_.size()], received_);
    ++waitingCount_;
  }
}

void VideoEncoder::placeDecodeTime(AVPacket& packet) {
  // x264 puts the decode times of the first packets (the B-frame delay)
  // before the first frame by the span of the first frames' presentation
  // times: at a screen that changed seldom at the start that is seconds,
  // and readers of fragmented files count it into the track's length. One
  // nominal frame apart is as valid and keeps the start offset small.
  const int64_t frameTicks = kTicksPerSecond / std::max(1, settings_.expectedSourceFrameRate);
  const int delay = std::max(0, codec_->has_b_frames);
  if (receivedCount_ < delay && firstPts_) {
    packet.dts = std::max(packet.dts, *firstPts_ - (delay - receivedCount_) * frameTicks);
  }
  if (lastDts_) packet.dts = std::max(packet.dts, *lastDts_ + 1);
  packet.dts = std::min(packet.dts, packet.pts);
  lastDts_ = packet.dts;
  if (receivedCount_++ == 0) firstDts_ = packet.dts;
}

void VideoEncoder::alignTail(int64_t trackEnd) {
  // Readers of fragmented files end a track at the latest of each frame's
  // time plus its sample's duration, the step to the next decode time. So
  // at the end no step may reach past the track's end, and the newest frame
  // (usually decoded before the B-frames shown ahead of it) gets exactly its
  // display time: its decode time moves up as far as the others allow.
  const auto at = [&](size_t i) { return waiting_[(waitingHead_ + i) % waiting_.size()]; };
  size_t newest = 0;
  for (size_t i = 1; i < waitingCount_; ++i)
    if (at(i)->pts > at(newest)->pts) newest = i;
  if (newest + 1 < waitingCount_) {
    AVPacket* packet = at(newest);
    int64_t low = std::numeric_limits<int64_t>::min();
    int64_t high = at(newest + 1)->dts - 1;
    if (newest > 0) {
      low = at(newest - 1)->dts + 1;
      high = std::min(high, at(newest - 1)->dts + (trackEnd - at(newest - 1)->pts));
    } else if (lastWrittenDts_) {
      low = *lastWrittenDts_ + 1;
    }
    packet->dts = std::clamp(at(newest + 1)->dts - (trackEnd - packet->pts), low, std::max(low, high));
  }
  for (size_t i = 0; i + 1 < waitingCount_; ++i)
    at(i + 1)->dts = std::min(at(i + 1)->dts, at(i)->dts + (trackEnd - at(i)->pts));
}

bool VideoEncoder::writeReady(bool atEnd, std::optional<int64_t> endTicks, std::string& error) {
  const int64_t frameTicks = kTicksPerSecond / std::max(1, settings_.expectedSourceFrameRate);
  // Where the track ends: the given end, else one nominal frame after the
  // newest; in any case after the newest frame.
  const int64_t trackEnd = lastPts_ ? (endTicks ? std::max(*endTicks, *lastPts_ + 1) : *lastPts_ + frameTicks) : 0;
  if (atEnd) alignTail(trackEnd);
  while (waitingCount_ > 0) {
    AVPacket* packet = waiting_[waitingHead_];
    // Everything before a key frame is written: the fragment ends now, not
    // when the key frame's own successor comes.
    if ((packet->flags & AV_PKT_FLAG_KEY) && !muxer_->endFragment(error)) return false;
    if (waitingCount_ >= 2) {
      // A sample lasts until the next one's decode time: the fragmented
      // container places each fragment's first sample where the previous
      // durations end.
      packet->duration = waiting_[(waitingHead_ + 1) % waiting_.size()]->dts - packet->dts;
    } else if (atEnd) {
      // The last packet in decode order closes the track: its duration ends
      // the track's media (decode times, which run the start offset ahead
      // of presentation) at the track's end, so the sum of the durations,
      // which readers of fragmented files take as the length, is exactly the
      // end time.
      const int64_t startOffset = firstPts_.value_or(0) - firstDts_.value_or(0);
      packet->duration =
          std::max<int64_t>(1, std::min(trackEnd - startOffset - packet->dts, trackEnd - packet->pts));
    } else {
      return true;  // its successor has not come yet
    }
    lastWrittenDts_ = packet->dts;
    if (!muxer_->write(packet, stream_, codec_->time_base, error)) return false;
    waitingHead_ = (waitingHead_ + 1) % waiting_.size();
    --waitingCount_;
  }
  return true;
}

bool VideoEncoder::finish(std::optional<MediaTime> end, std::string& error) {
  if (codec_ == nullptr || muxer_ == nullptr) return true;
  int r = avcodec_send_frame(codec_, nullptr);
  if (r < 0 && r != AVERROR_EOF) {
    error = codecError("failed", r);
    return false;
  }
  if (!receivePackets(error)) return false;
  std::optional<int64_t> endTicks;
  if (end && end->isNumeric()) endTicks = end->convertScale(kTicksPerSecond).value;
  return writeReady(true, endTicks, error);
}

}  // namespace platform::ffmpeg
