#include "platform/ffmpeg/AudioEncoder.h"

#include "platform/ffmpeg/AvError.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform::ffmpeg {

AudioEncoder::AudioEncoder(const AudioSettings& settings) : settings_(settings) {}

AudioEncoder::~AudioEncoder() {
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  avcodec_free_context(&codec_);
}

bool AudioEncoder::accepts(const SampleBuffer& sample) const {
  const AudioBufferData* pcm = sample.audioBuffer();
  return pcm != nullptr && pcm->sampleRate() == settings_.sampleRate && pcm->channels() > 0;
}

std::string AudioEncoder::codecError(const char* what, int error) const {
  return std::string("The AAC encoder ") + what + ": " + avErrorText(error);
}

bool AudioEncoder::open(Muxer& muxer, std::string& error) {
  if (settings_.sampleRate <= 0 || settings_.numberOfChannels < 1 || settings_.numberOfChannels > 2) {
    error = "The audio format (" + std::to_string(settings_.sampleRate) + " Hz, " +
            std::to_string(settings_.numberOfChannels) + " channels) cannot be encoded";
    return false;
  }
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (codec == nullptr) {
    error = "The AAC encoder is not available";
    return false;
  }
  codec_ = avcodec_alloc_context3(codec);
  frame_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  if (!codec_ || !frame_ || !packet_) {
    error = codecError("could not be started", AVERROR(ENOMEM));
    return false;
  }
  codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
  codec_->sample_rate = settings_.sampleRate;
  av_channel_layout_default(&codec_->ch_layout, settings_.numberOfChannels);
  codec_->bit_rate = settings_.encoderBitRate;
  codec_->profile = FF_PROFILE_AAC_LOW;
  codec_->time_base = AVRational{1, settings_.sampleRate};
  codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int r = avcodec_open2(codec_, codec, nullptr);
  if (r < 0) {
    error = codecError("could not be started", r);
    return false;
  }

  frameSize_ = codec_->frame_size;
  frame_->format = codec_->sample_fmt;
  frame_->sample_rate = codec_->sample_rate;
  frame_->nb_samples = frameSize_;
  av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout);
  r = av_frame_get_buffer(frame_, 0);
  if (r < 0) {
    error = codecError("could not be started", r);
    return false;
  }

  stream_ = muxer.addStream(codec_);
  if (stream_ == nullptr) {
    error = "The audio track cannot be added to " + muxer.path();
    return false;
  }
  muxer_ = &muxer;
  return true;
}

bool AudioEncoder::encode(const SampleBuffer& sample, const MediaTime& start, std::string& error) {
  const AudioBufferData* pcm = sample.audioBuffer();
  if (pcm == nullptr || codec_ == nullptr || !accepts(sample)) return true;

  const int64_t tolerance = std::llround(kJitterTolerance * settings_.sampleRate);
  const MediaTime at = (sample.presentationTimeStamp() - start).convertScale(settings_.sampleRate);
  const int64_t gap = at.isNumeric() ? at.value - position() : 0;
  int64_t skip = 0;
  if (gap > tolerance) {
    if (!put(nullptr, 0, gap, error)) return false;
  } else if (gap < -tolerance) {
    skip = std::min<int64_t>(-gap, pcm->frameCount());
  }
  const float* samples = pcm->samples() + skip * pcm->channels();
  return put(samples, pcm->channels(), pcm->frameCount() - skip, error);
}

bool AudioEncoder::put(const float* interleaved, int channels, int64_t count, std::string& error) {
  const int outChannels = codec_->ch_layout.nb_channels;
  while (count > 0) {
    if (filled_ == 0) {
      // The encoder copies its input, so this normally allocates nothing.
      frame_->nb_samples = frameSize_;
      const int r = av_frame_make_writable(frame_);
      if (r < 0) {
        error = codecError("failed", r);
        return false;
      }
    }
    const int n = static_cast<int>(std::min<int64_t>(count, frameSize_ - filled_));
    for (int c = 0; c < outChannels; ++c) {
      float* plane = reinterpret_cast<float*>(frame_->extended_data[c]) + filled_;
      if (interleaved == nullptr) {
        std::memset(plane, 0, sizeof(float) * n);
        continue;
      }
      const int from = std::min(c, channels - 1);  // mono feeds both sides
      for (int i = 0; i < n; ++i) plane[i] = interleaved[i * channels + from];
    }
    if (interleaved != nullptr) interleaved += static_cast<size_t>(n) * channels;
    filled_ += n;
    count -= n;
    if (filled_ == frameSize_ && !sendFrame(frameSize_, error)) return false;
  }
  return true;
}

bool AudioEncoder::sendFrame(int samples, std::string& error) {
  frame_->nb_samples = samples;
  frame_->pts = sentSamples_;
  const int r = avcodec_send_frame(codec_, frame_);
  if (r < 0) {
    error = codecError("failed", r);
    return false;
  }
  sentSamples_ += samples;
  filled_ = 0;
  return receivePackets(error);
}

bool AudioEncoder::receivePackets(std::string& error) {
  for (;;) {
    const int r = avcodec_receive_packet(codec_, packet_);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
    if (r < 0) {
      error = codecError("failed", r);
      return false;
    }
    // The encoder's priming frame (it ends at time 0) is left out. Readers of
    // fragmented files (FFmpeg's, and so Chromium's) do not apply the edit
    // list that would hide it: it would play before time 0 and move every
    // sample later by its length in a plain decode. Without it every sample
    // plays at its time in every player; the cost is the first frame (21 ms)
    // decoding without its overlap, a fade-in at the very start of the track.
    if (packet_->pts != AV_NOPTS_VALUE && packet_->pts + packet_->duration <= 0) {
      av_packet_unref(packet_);
      continue;
    }
    if (!muxer_->write(packet_, stream_, codec_->time_base, error)) return false;
  }
}

bool AudioEncoder::finish(std::optional<MediaTime> end, std::string& error) {
  if (codec_ == nullptr || muxer_ == nullptr) return true;
  if (end && end->isNumeric()) {
    const int64_t endSample = end->convertScale(settings_.sampleRate).value;
    if (endSample > position() && !put(nullptr, 0, endSample - position(), error)) return false;
  }
  if (filled_ > 0) {
    // The encoder takes a short last frame; without that ability, pad it.
    const bool shortFrame = (codec_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
    if (!shortFrame && !put(nullptr, 0, frameSize_ - filled_, error)) return false;
    if (filled_ > 0 && !sendFrame(filled_, error)) return false;
  }
  const int r = avcodec_send_frame(codec_, nullptr);
  if (r < 0 && r != AVERROR_EOF) {
    error = codecError("failed", r);
    return false;
  }
  return receivePackets(error);
}

}  // namespace platform::ffmpeg
