// Media files that survive their writer: a writer killed mid-recording
// leaves files that play from the start up to about a second before the
// kill; a writer that runs out of space, or whose file is removed, fails at
// once with a reason and keeps what it wrote playable; a cleanly finished
// file carries its whole duration in its header and seeks to its end. Real
// encoders; files read back with ffprobe and fully decoded with ffmpeg.
#include "MediaSamples.h"
#include "TempDir.h"
#include "media/TrackWriter.h"
#include "platform/ffmpeg/FfmpegMediaWriter.h"
#include "support/HostProcess.h"
#include "support/MediaProbe.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

using media_samples::Content;
using platform::MediaTime;
using platform::WriterFailure;
using platform::WriterStatus;
using testing_support::runCommand;
using testing_support::shellQuote;

namespace {

MediaTime sec(double s) { return MediaTime::fromSeconds(s, 1000000000); }

constexpr int kW = 320, kH = 240, kFps = 30;
constexpr int kAudioBuffer = 480;  // 10 ms at 48 kHz

enum class Kind { video, audio };

struct FileCase {
  const char* name;
  Kind kind;
};

void PrintTo(const FileCase& c, std::ostream* out) { *out << c.name; }

std::shared_ptr<TrackWriter> makeTrack(platform::MediaWriterFactory& factory, const std::string& path, Kind kind) {
  auto input = kind == Kind::video
                   ? factory.makeInput(platform::MediaType::video, videoSettings(kW, kH, kFps))
                   : factory.makeInput(platform::MediaType::audio, audioSettings());
  auto track = TrackWriter::make(factory, path, kind == Kind::video ? platform::FileType::mpeg4
                                                                       : platform::FileType::appleM4A,
                                 input);
  return track.ok() ? track.value() : nullptr;
}

// Feeds `seconds` of media from time 0, paced like a live source (as fast as
// the clock allows, never ahead of it when `realTime`). A refused sample is
// simply not written, as a live source would drop it.
void feed(TrackWriter& track, Kind kind, double from, double seconds, bool realTime) {
  const auto begin = std::chrono::steady_clock::now();
  const double step = kind == Kind::video ? 1.0 / kFps : double(kAudioBuffer) / 48000;
  for (double t = from; t < from + seconds - 1e-9; t += step) {
    if (realTime) std::this_thread::sleep_until(begin + std::chrono::duration<double>(t - from));
    const auto sample =
        kind == Kind::video
            ? media_samples::videoSample(media_samples::frame(kW, kH, int(t * kFps), Content::screen), t)
            : media_samples::audioSample(t, kAudioBuffer, 440, 0.5f, std::llround(t * 48000));
    if (realTime) {
      track.append(sample);
    } else {
      media_samples::appendWhenReady(track, sample);
    }
  }
}

// The duration ffprobe gives the file's only stream, in seconds; -1 when
// the file cannot be read.
double streamDuration(const std::string& path) {
  const auto info = testing_support::probe(path);
  if (!info || info->at("streams").empty()) return -1;
  return std::stod(info->at("streams")[0].value("duration", "-1"));
}

// Seconds of media that decode: the video's frames at the frame rate the
// test feeds, or the audio's samples.
double decodedSeconds(const std::string& path, Kind kind) {
  if (kind == Kind::audio) return double(testing_support::audioSamples(path, 48000).size()) / 48000;
  const auto r = runCommand("ffmpeg -nostdin -v error -i " + shellQuote(path) + " -f rawvideo -pix_fmt gray -");
  return double(r.output.size()) / (kW * kH) / kFps;
}

// A box's content in an MP4 file: the first one at `path` (top level first).
std::optional<std::string> boxContent(const std::string& file, std::initializer_list<const char*> path) {
  std::ifstream in(file, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), {});
  size_t from = 0, to = data.size();
  std::optional<std::string> found;
  for (const char* type : path) {
    found.reset();
    while (from + 8 <= to) {
      const auto* p = reinterpret_cast<const uint8_t*>(&data[from]);
      const size_t size = size_t(p[0]) << 24 | size_t(p[1]) << 16 | size_t(p[2]) << 8 | p[3];
      if (size < 8 || size > to - from) return std::nullopt;
      if (std::memcmp(&data[from + 4], type, 4) == 0) {
        found = data.substr(from + 8, size - 8);
        to = from + size;
        from += 8;
        break;
      }
      from += size;
    }
    if (!found) return std::nullopt;
  }
  return found;
}

uint64_t bigEndian(const std::string& s, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | uint8_t(s[at + i]);
  return v;
}

// The sample flags of each fragment's first sample (ISO 14496-12 trun,
// tfhd and trex defaults), in file order.
constexpr uint32_t kNonSyncSample = 0x10000;
std::vector<uint32_t> firstSampleFlags(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(in)), {});
  uint32_t trexFlags = 0;
  if (auto trex = boxContent(file, {"moov", "mvex", "trex"})) trexFlags = uint32_t(bigEndian(*trex, 16, 4));
  std::vector<uint32_t> out;
  for (size_t at = 0; at + 8 <= data.size();) {
    const size_t size = bigEndian(data, at, 4);
    if (size < 8) break;
    if (data.compare(at + 4, 4, "moof") == 0) {
      // moof > traf > tfhd, trun: the traf is the moof's second child (after mfhd).
      const size_t traf = at + 8 + bigEndian(data, at + 8, 4);
      size_t child = traf + 8;
      uint32_t defaults = trexFlags, first = 0;
      bool found = false;
      while (child + 8 <= traf + bigEndian(data, traf, 4)) {
        const size_t childSize = bigEndian(data, child, 4);
        const uint32_t boxFlags = uint32_t(bigEndian(data, child + 8, 4)) & 0xFFFFFF;
        size_t field = child + 12;
        if (data.compare(child + 4, 4, "tfhd") == 0) {
          field += 4;  // track id
          if (boxFlags & 0x1) field += 8;
          if (boxFlags & 0x2) field += 4;
          if (boxFlags & 0x8) field += 4;
          if (boxFlags & 0x10) field += 4;
          if (boxFlags & 0x20) defaults = uint32_t(bigEndian(data, field, 4));
        } else if (data.compare(child + 4, 4, "trun") == 0 && !found) {
          field += 4;  // sample count
          if (boxFlags & 0x1) field += 4;
          if (boxFlags & 0x4) {
            first = uint32_t(bigEndian(data, field, 4));
          } else if (boxFlags & 0x400) {
            // The first entry: [duration] [size] flags [offset].
            if (boxFlags & 0x100) field += 4;
            if (boxFlags & 0x200) field += 4;
            first = uint32_t(bigEndian(data, field, 4));
          } else {
            first = defaults;
          }
          found = true;
        }
        child += childSize;
      }
      if (found) out.push_back(first);
    }
    at += size;
  }
  return out;
}

class CrashSafeFile : public ::testing::TestWithParam<FileCase> {
 protected:
  TempDir dir;
  std::shared_ptr<platform::MediaWriterFactory> factory = platform::makeFfmpegMediaWriterFactory();
};

TEST_P(CrashSafeFile, KilledWriterLeavesAFilePlayableFromTheStart) {
  const std::string path = dir.file(GetParam().name);
  const Kind kind = GetParam().kind;
  constexpr double kFed = 3.5;
  // The writer runs in a child process that is killed without finishing.
  auto child = testing_support::HostProcess::fork([&] {
    auto track = makeTrack(*factory, path, kind);
    if (!track) _exit(3);
    track->start(MediaTime::zero());
    feed(*track, kind, 0, kFed, true);
    raise(SIGKILL);
  });
  ASSERT_EQ(child.wait(std::chrono::seconds(30)), std::optional<int>(128 + SIGKILL));

  const double duration = streamDuration(path);
  const double decoded = decodedSeconds(path, kind);
  RecordProperty("durationAfterKill", std::to_string(duration));
  EXPECT_EQ(testing_support::decodeErrors(path), "");
  // At most about a second is lost: the fragment not yet cut.
  EXPECT_GE(duration, kFed - 1.1);
  EXPECT_LE(duration, kFed + 0.05);
  EXPECT_NEAR(decoded, duration, 0.1);
  if (kind == Kind::video) {
    const auto times = testing_support::videoFrameTimes(path);
    ASSERT_FALSE(times.empty());
    EXPECT_NEAR(times.front(), 0.0, 1e-3);
  }
}

TEST_P(CrashSafeFile, FinishedFileHasItsDurationInTheHeaderAndSeeksToTheEnd) {
  const std::string path = dir.file(GetParam().name);
  const Kind kind = GetParam().kind;
  constexpr double kEnd = 4.0;
  auto track = makeTrack(*factory, path, kind);
  ASSERT_TRUE(track);
  track->start(MediaTime::zero());
  feed(*track, kind, 0, kEnd - 0.25, false);
  if (kind == Kind::video) {
    // How a recording ends: the last picture again at the end time.
    ASSERT_TRUE(media_samples::appendWhenReady(
        *track, media_samples::videoSample(media_samples::frame(kW, kH, 999, Content::screen), kEnd)));
  } else {
    feed(*track, kind, kEnd - 0.25, 0.25, false);
  }
  track->finish(kind == Kind::video ? std::optional(sec(kEnd)) : std::nullopt);
  ASSERT_EQ(track->writer().status(), WriterStatus::completed) << track->writer().errorDescription();
  EXPECT_EQ(track->writer().failure(), WriterFailure::none);

  const auto info = testing_support::probe(path);
  ASSERT_TRUE(info);
  const double tolerance = kind == Kind::video ? 0.001 : 1024.0 / 48000;
  EXPECT_NEAR(std::stod(info->at("format").value("duration", "0")), kEnd, tolerance);
  EXPECT_NEAR(streamDuration(path), kEnd, tolerance);
  EXPECT_EQ(testing_support::decodeErrors(path), "");

  // The header says so at once: the movie's and the fragments' duration.
  const auto mvhd = boxContent(path, {"moov", "mvhd"});
  const auto mehd = boxContent(path, {"moov", "mvex", "mehd"});
  ASSERT_TRUE(mvhd && mehd);
  ASSERT_EQ(uint8_t((*mvhd)[0]), 0);
  const double timescale = double(bigEndian(*mvhd, 12, 4));
  EXPECT_NEAR(double(bigEndian(*mvhd, 16, 4)) / timescale, kEnd, tolerance + 0.001);
  ASSERT_EQ(uint8_t((*mehd)[0]), 1);
  EXPECT_NEAR(double(bigEndian(*mehd, 4, 8)) / timescale, kEnd, tolerance + 0.001);
  // And an index of the random-access points for seeking.
  EXPECT_TRUE(boxContent(path, {"mfra", "tfra"}));

  // Decoding from near the end gives media there.
  const auto tail = runCommand("ffmpeg -nostdin -v error -ss " + std::to_string(kEnd - 0.2) + " -i " +
                               shellQuote(path) + (kind == Kind::video ? " -f rawvideo -pix_fmt gray -" :
                                                                         " -f f32le -ac 1 -ar 48000 -"));
  if (kind == Kind::video) {
    EXPECT_GE(tail.output.size(), size_t(kW * kH));
  } else {
    EXPECT_NEAR(double(tail.output.size()) / 4 / 48000, 0.2, 0.03);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, CrashSafeFile,
                         ::testing::Values(FileCase{"screen.mp4", Kind::video},
                                           FileCase{"microphone.m4a", Kind::audio}),
                         [](const auto& test) { return test.param.kind == Kind::video ? "Video" : "Audio"; });

TEST(CrashSafeVideo, FragmentsStartAtKeyFramesAtLeastEverySecond) {
  // A screen that changes seldom: 4 frames a second, so the 30-frame
  // interval alone would give a key frame every 7.5 s.
  TempDir dir;
  auto factory = platform::makeFfmpegMediaWriterFactory();
  const std::string path = dir.file("screen.mp4");
  auto track = makeTrack(*factory, path, Kind::video);
  ASSERT_TRUE(track);
  track->start(MediaTime::zero());
  for (int i = 0; i < 24; ++i)
    ASSERT_TRUE(media_samples::appendWhenReady(
        *track, media_samples::videoSample(media_samples::frame(kW, kH, i, Content::screen), i * 0.25)));
  track->finish(sec(6.0));
  ASSERT_EQ(track->writer().status(), WriterStatus::completed);

  // Key frames at least every second, and every fragment begins with one.
  const auto r = runCommand("ffprobe -v error -select_streams v:0 -of csv=p=0 -show_entries packet=pts_time,flags " +
                            shellQuote(path));
  std::vector<double> keys;
  std::istringstream lines(r.output);
  for (std::string line; std::getline(lines, line);)
    if (line.find(",K") != std::string::npos) keys.push_back(std::stod(line));
  std::sort(keys.begin(), keys.end());
  ASSERT_GE(keys.size(), 6u) << r.output;
  for (size_t i = 1; i < keys.size(); ++i) EXPECT_LE(keys[i] - keys[i - 1], 1.0 + 1e-6) << "after " << keys[i - 1];
  const std::vector<uint32_t> flags = firstSampleFlags(path);
  EXPECT_GE(flags.size(), 6u);
  for (size_t i = 0; i < flags.size(); ++i)
    EXPECT_EQ(flags[i] & kNonSyncSample, 0u) << "fragment " << i << " begins with a frame that is not a key frame";
}

// A small file system of its own, for running out of space.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::string& at, const char* size) : path_(at) {
    mounted_ = mount("tmpfs", at.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
    error_ = mounted_ ? 0 : errno;
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  int error() const { return error_; }

 private:
  std::string path_;
  bool mounted_ = false;
  int error_ = 0;
};

TEST(WriterFailures, RunningOutOfSpaceFailsAtOnceAndKeepsWhatWasWritten) {
  TempDir dir;
  const std::string mountPoint = dir.file("small");
  std::filesystem::create_directories(mountPoint);
  SmallFileSystem small(mountPoint, "2m");
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(small.error());
  auto factory = platform::makeFfmpegMediaWriterFactory();
  const std::string path = mountPoint + "/screen.mp4";
  auto track = makeTrack(*factory, path, Kind::video);
  ASSERT_TRUE(track);
  track->start(MediaTime::zero());

  // Noise at 4 Mbit/s fills 2 MB in a few seconds of media.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int appended = 0;
  for (int i = 0; track->writer().status() == WriterStatus::writing; ++i) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the writer never noticed";
    if (track->append(media_samples::videoSample(media_samples::frame(kW, kH, i, Content::noise), i / double(kFps))))
      ++appended;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(track->writer().status(), WriterStatus::failed);
  EXPECT_EQ(track->writer().failure(), WriterFailure::noSpace);
  EXPECT_EQ(track->writer().errorDescription(), "Writing screen.mp4 failed: No space left on device");
  EXPECT_FALSE(track->append(media_samples::videoSample(media_samples::frame(kW, kH, 0, Content::noise), 99)));

  track->finish(sec(99));
  EXPECT_EQ(track->writer().status(), WriterStatus::failed);
  // What reached the disk before the failure plays, without a broken end.
  EXPECT_EQ(testing_support::decodeErrors(path), "");
  const double decoded = decodedSeconds(path, Kind::video);
  EXPECT_GE(decoded, 0.4);
  EXPECT_LT(decoded, appended / double(kFps));
}

TEST(WriterFailures, RemovedFileFailsTheWriterWithAReason) {
  TempDir dir;
  auto factory = platform::makeFfmpegMediaWriterFactory();
  const std::string path = dir.file("system-audio.m4a");
  auto track = makeTrack(*factory, path, Kind::audio);
  ASSERT_TRUE(track);
  track->start(MediaTime::zero());
  feed(*track, Kind::audio, 0, 0.5, true);
  ASSERT_EQ(track->writer().status(), WriterStatus::writing);
  std::filesystem::remove(path);
  const auto removed = std::chrono::steady_clock::now();
  double t = 0.5;
  while (track->writer().status() == WriterStatus::writing &&
         std::chrono::steady_clock::now() - removed < std::chrono::seconds(5)) {
    feed(*track, Kind::audio, t, 0.1, true);
    t += 0.1;
  }
  const double noticedAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - removed).count();
  EXPECT_EQ(track->writer().status(), WriterStatus::failed);
  EXPECT_EQ(track->writer().failure(), WriterFailure::other);
  EXPECT_EQ(track->writer().errorDescription(), "Writing system-audio.m4a failed: No such file or directory");
  EXPECT_LT(noticedAfter, 2.0);
  track->finish(std::nullopt);
  EXPECT_EQ(track->writer().status(), WriterStatus::failed);
}

}  // namespace
