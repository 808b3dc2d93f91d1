// Encoding speed of the screen video writer.
//
//   bench-encode [seconds]          encodes 1920x1080 at 60 fps and 3840x2160
//                                   at 30 fps through the product's writer,
//                                   each with two kinds of content
//   bench-encode --raw C W H FPS S  writes the same frames (C: screen or
//                                   window) as raw BGRA to standard output,
//                                   for the ffmpeg tool
//   bench-encode --ffmpeg-args W H FPS
//                                   prints the product's encoder settings for
//                                   that size and rate as ffmpeg options
//   bench-encode --file OUT C W H FPS S [bgra|i420]
//                                   writes the same frames through the
//                                   writer into OUT and keeps it (i420: as
//                                   the capture hands them on), for quality
//                                   checks against --raw
//
// Content changes every frame: "screen" scrolls dense text-like rows over the
// whole screen (a heavy case), "window" moves a window with scrolling text
// over a still page (a common case). Frames carry time stamps at the nominal
// rate and are appended as fast as the writer takes them, so the time
// measured is the encoder's.
#include "MediaSamples.h"
#include "media/TrackWriter.h"
#include "platform/ffmpeg/FfmpegMediaWriter.h"
#include "platform/ffmpeg/VideoEncoder.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kDistinctFrames = 30;

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

using media_samples::Content;

const char* name(Content content) { return content == Content::screen ? "screen" : "window"; }

std::vector<platform::MediaRef<platform::VideoFrameData>> frames(Content content, int w, int h) {
  std::vector<platform::MediaRef<platform::VideoFrameData>> out;
  for (int i = 0; i < kDistinctFrames; ++i) out.push_back(media_samples::frame(w, h, i, content));
  return out;
}

int bench(Content content, int w, int h, int fps, double seconds, std::string path = "", bool planar = false) {
  auto pool = frames(content, w, h);
  if (planar)
    for (auto& f : pool) f = media_samples::planar(*f, 0);
  const bool keep = !path.empty();
  if (!keep)
    path = (std::filesystem::temp_directory_path() / ("bench-encode-" + std::to_string(getpid()) + ".mp4")).string();
  auto factory = platform::makeFfmpegMediaWriterFactory();
  auto track = TrackWriter::make(*factory, path, platform::FileType::mpeg4,
                                 factory->makeInput(platform::MediaType::video,
                                                    videoSettings(w, h, fps)));
  if (!track) {
    std::printf("cannot write %s: %s\n", path.c_str(), track.error().description.c_str());
    return 1;
  }
  TrackWriter& t = *track.value();
  const int count = static_cast<int>(seconds * fps);

  const double cpu0 = cpuSeconds();
  const auto wall0 = std::chrono::steady_clock::now();
  t.start(platform::MediaTime::zero());
  int refused = 0;
  for (int i = 0; i < count; ++i) {
    if (!media_samples::appendWhenReady(t, media_samples::videoSample(pool[i % pool.size()], double(i) / fps)))
      ++refused;
  }
  t.finish(platform::MediaTime::fromSeconds(double(count) / fps, 1000000000));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  const double cpu = cpuSeconds() - cpu0;

  const double encoded = double(count) / fps;
  const auto bytes = std::filesystem::file_size(path);
  std::printf("writer  %-6s %dx%d@%d: %d frames in %.2f s wall = %.1f frames/s (%.2fx real time), "
              "%.2f CPU s per encoded s, %.1f Mbit/s (target %.1f), refused %d, status %d\n",
              name(content), w, h, fps, count, wall, count / wall, encoded / wall, cpu / encoded, bytes * 8 / encoded / 1e6,
              videoBitRate(w, h, fps) / 1e6, refused, static_cast<int>(t.writer().status()));
  if (!keep) std::filesystem::remove(path);
  return t.writer().status() == platform::WriterStatus::completed ? 0 : 1;
}

int raw(Content content, int w, int h, int fps, double seconds) {
  const auto pool = frames(content, w, h);
  const int count = static_cast<int>(seconds * fps);
  for (int i = 0; i < count; ++i) {
    const auto& f = pool[i % pool.size()];
    const size_t size = static_cast<size_t>(f->bytesPerRow()) * f->height();
    if (std::fwrite(f->pixels(), 1, size, stdout) != size) return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "--ffmpeg-args" && argc == 5) {
    const auto& x = platform::ffmpeg::VideoEncoder::kX264;
    const auto s = videoSettings(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    std::printf("-c:v libx264 -preset %s -x264-params %s -bf %d -threads %d -profile:v high -g %d -b:v %lld "
                "-pix_fmt yuv420p\n",
                x.preset, x.params, x.bFrames, x.threads, s.maxKeyFrameInterval,
                static_cast<long long>(s.averageBitRate));
    return 0;
  }
  if (mode == "--file" && (argc == 8 || argc == 9)) {
    const Content content = std::string(argv[3]) == "window" ? Content::window : Content::screen;
    return bench(content, std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]), std::atof(argv[7]), argv[2],
                 argc == 9 && std::string(argv[8]) == "i420");
  }
  if (mode == "--raw" && argc == 7) {
    const Content content = std::string(argv[2]) == "window" ? Content::window : Content::screen;
    return raw(content, std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), std::atof(argv[6]));
  }
  const double seconds = argc > 1 ? std::atof(argv[1]) : 4.0;
  int status = 0;
  for (Content content : {Content::screen, Content::window}) {
    status |= bench(content, 1920, 1080, 60, seconds);
    status |= bench(content, 3840, 2160, 30, seconds);
  }
  return status;
}
