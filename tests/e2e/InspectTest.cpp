// tesmar-inspect on real recordings: a whole one passes, each kind of damage
// a host may meet is reported with its reason and file, and a recording
// killed mid-way is reported as cut short with what plays and for how long.
// What the inspector says about the media is held against ffprobe's view of
// the same files.
#include "Recording.h"
#include "inspect/PngFile.h"
#include "support/ScriptedPlatform.h"

#include <csignal>
#include <fstream>
#include <sstream>

namespace e2e_tests {
namespace {

// The inspector's JSON report and exit status for `dir`.
struct Inspection {
  std::optional<int> status;
  json report;
};

Inspection runInspector(const fs::path& dir) {
  HostProcess inspector = HostProcess::spawn(TESMAR_INSPECT, {dir.string(), "--json"});
  std::string text;
  for (const std::string& line : inspector.readRemainingLines(60s)) text += line + "\n";
  Inspection out;
  out.status = inspector.wait(60s);
  out.report = json::parse(text, nullptr, false);
  return out;
}

std::string problemsOf(const json& report) { return report.value("problems", json::array()).dump(1); }

bool hasProblem(const json& report, const std::string& check, const std::string& file) {
  for (const json& problem : report.value("problems", json::array())) {
    if (problem.value("check", "") == check && problem.value("file", "") == file) return true;
  }
  return false;
}

const json* mediaEntry(const json& report, const std::string& file) {
  if (!report.is_object() || !report.contains("media")) return nullptr;
  for (const json& media : report.at("media")) {
    if (media.value("file", "") == file) return &media;
  }
  return nullptr;
}

std::vector<std::string> readLines(const fs::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void writeLines(const fs::path& path, const std::vector<std::string>& lines) {
  std::ofstream out(path, std::ios::trunc);
  for (const std::string& line : lines) out << line << "\n";
}

// One recording shared by the damage cases: the screen with a window that
// changes colour, system audio, pointer moves, a click and keystrokes.
class RecordedFolder : public RecordingTest {
 protected:
  static void SetUpTestSuite() { shared_ = new Shared; }
  static void TearDownTestSuite() {
    if (!shared_->dir.empty()) fs::remove_all(shared_->dir.parent_path());
    delete shared_;
    shared_ = nullptr;
  }

  // Makes the shared recording once (in the first test that needs it, so
  // that its failures are reported there) and returns a fresh copy of it.
  fs::path copyOfRecording() {
    if (shared_->dir.empty()) record();
    if (shared_->dir.empty()) return {};
    const fs::path copy = testing_support::temporaryPath("inspect-copy");
    copies_.push_back(copy);
    fs::create_directories(copy);
    fs::copy(shared_->dir, copy / "rec", fs::copy_options::recursive);
    // fs::copy keeps the permission bits: the keystroke log stays owner-only.
    return copy / "rec";
  }
  const json& metadata() const { return shared_->metadata; }

  void TearDown() override {
    for (const fs::path& copy : copies_) fs::remove_all(copy);
    RecordingTest::TearDown();
  }

 private:
  void record() {
    startDesktop({.width = 640, .height = 360, .audio = true});
    TestWindow window({.x = 60, .y = 60, .width = 200, .height = 120, .rgb = 0x3366CC});
    ColourCycle changes(window, {0xCC3333, 0x33CC33, 0x3366CC}, 300ms);
    keepSpeakersRunning();
    ASSERT_FALSE(HasFatalFailure());
    startRecording({{"mode", "screen"}, {"systemAudio", true}});
    ASSERT_FALSE(HasFatalFailure());
    for (const auto& [x, y] : {std::pair{100, 100}, std::pair{300, 200}, std::pair{500, 300}}) {
      ASSERT_EQ(desktop_->run({"xdotool", "mousemove", std::to_string(x), std::to_string(y)}), 0);
      std::this_thread::sleep_for(150ms);
    }
    ASSERT_EQ(desktop_->run({"xdotool", "click", "1"}), 0);
    ASSERT_EQ(desktop_->run({"xdotool", "key", "a", "Return"}), 0);
    sleepUntilRecordingMs(2500);
    const json recorded = stop();
    ASSERT_TRUE(recorded.is_object());
    ASSERT_GT(recorded.at("cursors").size(), 0u) << "no cursor image was logged";
    ASSERT_EQ(recorded.at("hasSystemAudio"), true);
    shared_->dir = fs::path(testing_support::temporaryPath("inspect-recording")) / "rec";
    fs::create_directories(shared_->dir.parent_path());
    fs::copy(dir_, shared_->dir, fs::copy_options::recursive);
    shared_->metadata = recorded;
  }

  struct Shared {
    fs::path dir;
    json metadata;
  };
  static Shared* shared_;
  std::vector<fs::path> copies_;
};

RecordedFolder::Shared* RecordedFolder::shared_ = nullptr;

TEST_F(RecordedFolder, AWholeRecordingPassesAndItsFiguresAgreeWithFfprobe) {
  const fs::path dir = copyOfRecording();
  ASSERT_FALSE(dir.empty());
  const Inspection inspection = runInspector(dir);
  EXPECT_EQ(inspection.status, std::optional<int>(0)) << problemsOf(inspection.report);
  ASSERT_TRUE(inspection.report.is_object());
  EXPECT_EQ(inspection.report.value("state", ""), "complete");
  EXPECT_EQ(inspection.report.value("ok", false), true);

  for (const char* file : {"screen.mp4", "system-audio.m4a"}) {
    SCOPED_TRACE(file);
    const json* media = mediaEntry(inspection.report, file);
    ASSERT_TRUE(media) << inspection.report.dump();
    const std::optional<json> probed = testing_support::probe((dir / file).string());
    ASSERT_TRUE(probed);
    const json& stream = probed->at("streams")[0];
    EXPECT_EQ(media->value("codec", ""), stream.value("codec_name", "?"));
    EXPECT_NEAR(media->value("playableSeconds", 0.0), std::stod(stream.value("duration", "0")), 0.05);
  }
  const json* video = mediaEntry(inspection.report, "screen.mp4");
  ASSERT_TRUE(video);
  EXPECT_EQ(video->value("width", 0), metadata().at("width").get<int>());
  EXPECT_EQ(video->value("frames", 0), static_cast<int>(testing_support::videoFrameTimes((dir / "screen.mp4").string()).size()));
  for (const json& log : inspection.report.at("logs")) {
    EXPECT_EQ(log.value("records", -1), static_cast<int>(readLines(dir / log.value("file", "")).size())) << log.dump();
  }
}

// The preview is a contact sheet 1280 pixels wide whose first frame shows
// the recorded window where the screen had it.
TEST_F(RecordedFolder, DrawsAPreviewWhoseFramesShowTheRecording) {
  const fs::path dir = copyOfRecording();
  ASSERT_FALSE(dir.empty());
  const fs::path png = dir.parent_path() / "preview.png";
  HostProcess inspector = HostProcess::spawn(TESMAR_INSPECT, {dir.string(), "--preview", png.string()});
  inspector.readRemainingLines(60s);
  EXPECT_EQ(inspector.wait(60s), std::optional<int>(0));
  const std::optional<inspect::RgbaImage> image = inspect::readPng(png.string());
  ASSERT_TRUE(image) << "no readable preview at " << png;
  EXPECT_EQ(image->width, 1280);
  EXPECT_GT(image->height, 400);
  // The sheet's layout: a 16-pixel margin, two text lines and a gap above
  // the frames, four frames a row 12 pixels apart; the window (at 60,60,
  // 200 × 120 of 640 × 360) is centred at (160, 120) of the recording.
  const int thumbWidth = (1280 - 2 * 16 - 3 * 12) / 4;
  const double scale = thumbWidth / 640.0;
  const int x = 16 + static_cast<int>(160 * scale), y = 16 + 2 * 17 + 12 + static_cast<int>(120 * scale);
  const uint8_t* pixel = &image->rgba[(static_cast<size_t>(y) * image->width + x) * 4];
  const testing_support::Rgb colour{pixel[0], pixel[1], pixel[2]};
  EXPECT_TRUE(looksLike(colour, 0xCC3333) || looksLike(colour, 0x33CC33) || looksLike(colour, 0x3366CC))
      << "the first frame shows " << describe(colour) << " where the window was";
}

// A way to damage a whole recording, and what the inspector must say.
struct Damage {
  const char* name;
  std::function<void(const fs::path& dir, const json& metadata)> apply;
  const char* check;
  const char* file;
};

void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

class DamagedFolder : public RecordedFolder, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedFolder, IsRejectedWithTheReasonAndTheFile) {
  const fs::path dir = copyOfRecording();
  ASSERT_FALSE(dir.empty());
  GetParam().apply(dir, metadata());
  const Inspection inspection = runInspector(dir);
  EXPECT_EQ(inspection.status, std::optional<int>(1));
  ASSERT_TRUE(inspection.report.is_object());
  EXPECT_EQ(inspection.report.value("ok", true), false);
  EXPECT_TRUE(hasProblem(inspection.report, GetParam().check, GetParam().file))
      << "expected " << GetParam().check << " on " << GetParam().file << "; got " << problemsOf(inspection.report);
}

const Damage kDamages[] = {
    {"TruncatedVideo",
     [](const fs::path& dir, const json&) { fs::resize_file(dir / "screen.mp4", fs::file_size(dir / "screen.mp4") / 2); },
     "mediaTruncated", "screen.mp4"},
    {"VideoShorterThanTheMetadataSays",
     [](const fs::path& dir, const json& metadata) {
       json changed = metadata;
       changed["durationMs"] = metadata.at("durationMs").get<double>() + 500;
       std::ofstream(dir / "metadata.json", std::ios::trunc) << changed.dump(2);
     },
     "videoDuration", "screen.mp4"},
    {"MoveLogLineOutOfOrder",
     [](const fs::path& dir, const json&) {
       std::vector<std::string> lines = readLines(dir / "mouse-moves.ndjson");
       ASSERT_GE(lines.size(), 2u);
       std::swap(lines[lines.size() - 2], lines[lines.size() - 1]);
       writeLines(dir / "mouse-moves.ndjson", lines);
     },
     "logOrder", "mouse-moves.ndjson"},
    {"ClickLogLineCutOff",
     [](const fs::path& dir, const json&) { std::ofstream(dir / "mouse-clicks.ndjson", std::ios::app) << R"({"t":1,)"; },
     "logLine", "mouse-clicks.ndjson"},
    {"KeystrokeAfterTheEnd",
     [](const fs::path& dir, const json& metadata) {
       std::ofstream(dir / "keystrokes.ndjson", std::ios::app)
           << json{{"t", metadata.at("durationMs").get<double>() + 100}, {"key", "A"}, {"modifiers", json::array()}, {"isRepeat", false}}.dump()
           << "\n";
     },
     "logRange", "keystrokes.ndjson"},
    {"CursorPngMissing", [](const fs::path& dir, const json&) { fs::remove(dir / "cursors" / "cursor-0.png"); }, "cursor",
     "cursors/cursor-0.png"},
    {"KeystrokeLogReadableByOthers",
     [](const fs::path& dir, const json&) {
       fs::permissions(dir / "keystrokes.ndjson", fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
     },
     "keystrokeMode", "keystrokes.ndjson"},
    {"AudioStartMissingFromMetadata",
     [](const fs::path& dir, const json& metadata) {
       json changed = metadata;
       changed["audioStartMs"] = json::object();
       std::ofstream(dir / "metadata.json", std::ios::trunc) << changed.dump(2);
     },
     "metadata", "metadata.json"},
};

INSTANTIATE_TEST_SUITE_P(Cases, DamagedFolder, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& testCase) { return std::string(testCase.param.name); });

// SIGKILL in the middle of a recording: no metadata.json, media whose last
// fragment may be missing. The inspector says so and tells how long each
// file plays, as ffprobe sees it.
TEST_F(RecordingTest, AKilledRecordingIsReportedAsCutShortWithWhatPlays) {
  startDesktop({.width = 640, .height = 360, .audio = true});
  TestWindow window({.x = 40, .y = 40, .width = 200, .height = 120, .rgb = 0x0000FF});
  ColourCycle changes(window, {0xFF0000, 0x00FF00, 0x0000FF}, 100ms);
  keepSpeakersRunning();
  ASSERT_FALSE(HasFatalFailure());
  startRecording({{"mode", "screen"}, {"systemAudio", true}});
  ASSERT_FALSE(HasFatalFailure());
  sleepUntilRecordingMs(3000);
  const double recorded = recordingMs() / 1000;
  agent_->signal(SIGKILL);
  ASSERT_EQ(agent_->wait(), std::optional<int>(128 + SIGKILL));

  const Inspection inspection = runInspector(dir_);
  EXPECT_EQ(inspection.status, std::optional<int>(1));
  ASSERT_TRUE(inspection.report.is_object());
  EXPECT_EQ(inspection.report.value("state", ""), "cutShort");
  EXPECT_TRUE(hasProblem(inspection.report, "cutShort", "metadata.json")) << problemsOf(inspection.report);
  // Only the missing stop is reported: what a kill leaves unfinished is not
  // damage.
  EXPECT_EQ(inspection.report.at("problems").size(), 1u) << problemsOf(inspection.report);
  for (const char* name : {"screen.mp4", "system-audio.m4a"}) {
    SCOPED_TRACE(name);
    const json* media = mediaEntry(inspection.report, name);
    ASSERT_TRUE(media) << inspection.report.dump();
    const double plays = media->value("playableSeconds", 0.0);
    EXPECT_LE(plays, recorded + 0.15);
    EXPECT_GE(plays, recorded - 1.2);
    if (std::string(name) == "screen.mp4") {
      // It plays to the end of its last frame, which ffprobe sees last; a
      // frame lasts at most about a second (a still screen's is written
      // again once a second).
      const std::vector<double> frames = testing_support::videoFrameTimes(file(name));
      ASSERT_FALSE(frames.empty());
      EXPECT_GE(plays, frames.back() - 0.001);  // ffprobe prints microseconds
      EXPECT_LE(plays, frames.back() + 1.0);
    } else {
      const std::optional<json> probed = testing_support::probe(file(name));
      ASSERT_TRUE(probed);
      EXPECT_NEAR(plays, std::stod(probed->at("streams")[0].value("duration", "0")), 0.05);
    }
  }
  // A preview can be drawn of what plays.
  const fs::path png = dir_.parent_path() / "preview.png";
  HostProcess preview = HostProcess::spawn(TESMAR_INSPECT, {dir_.string(), "--preview", png.string()});
  preview.readRemainingLines(60s);
  EXPECT_EQ(preview.wait(60s), std::optional<int>(1));
  EXPECT_TRUE(inspect::readPng(png.string())) << "no preview of the folder cut short";
  // The text report says the same to a person.
  HostProcess text = HostProcess::spawn(TESMAR_INSPECT, {dir_.string()});
  std::string printed;
  for (const std::string& line : text.readRemainingLines(60s)) printed += line + "\n";
  EXPECT_EQ(text.wait(60s), std::optional<int>(1));
  EXPECT_NE(printed.find("cut short"), std::string::npos) << printed;
  EXPECT_NE(printed.find("screen.mp4 from 0 to"), std::string::npos) << printed;
}

// A start that fails leaves the folder with its empty logs: not a recording,
// and not one cut short either.
TEST_F(RecordingTest, TheFolderOfAFailedStartIsNoRecording) {
  startDesktop({.width = 640, .height = 360});
  dir_ = fs::path(testing_support::temporaryPath("failed-start")) / "rec";
  agent_.emplace(HostProcess::spawn(TESMAR_BINARY, {"record"}, desktop_->environment()));
  agent_->writeLine(json{{"outputDir", dir_.string()}, {"mode", "window"}, {"windowId", 12345}}.dump());
  const std::optional<json> error = agent_->readEvent("error", 20s);
  ASSERT_TRUE(error);
  EXPECT_EQ(agent_->wait(), std::optional<int>(1));
  ASSERT_TRUE(fs::exists(dir_ / "mouse-moves.ndjson"));

  const Inspection inspection = runInspector(dir_);
  EXPECT_EQ(inspection.status, std::optional<int>(1));
  ASSERT_TRUE(inspection.report.is_object());
  EXPECT_EQ(inspection.report.value("state", ""), "notARecording");
  EXPECT_TRUE(hasProblem(inspection.report, "folder", "")) << problemsOf(inspection.report);
}

}  // namespace
}  // namespace e2e_tests
