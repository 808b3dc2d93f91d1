// What tesmar-inspect found in a recording folder: the problems, each tied
// to the file it concerns and to a stable check name a program can match on,
// and what each media file and log holds. Plain values; built by
// inspectRecording() (Inspect.h), printed by formatText() or toJson().
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace inspect {

// Stable names of the checks, as they appear in the JSON report.
namespace check {
inline constexpr const char* folder = "folder";                  // not a readable recording folder
inline constexpr const char* cutShort = "cutShort";              // no metadata.json: the agent did not stop cleanly
inline constexpr const char* metadata = "metadata";              // metadata.json missing members or breaking a rule
inline constexpr const char* notFinished = "notFinished";        // metadata says a file could not be completed
inline constexpr const char* mediaMissing = "mediaMissing";      // a media file the metadata promises is absent
inline constexpr const char* mediaTruncated = "mediaTruncated";  // a media file ends inside an MP4 box
inline constexpr const char* mediaDecode = "mediaDecode";        // a media file does not open or decode cleanly
inline constexpr const char* videoSize = "videoSize";            // picture size differs from width × height
inline constexpr const char* videoDuration = "videoDuration";    // video length differs from durationMs
inline constexpr const char* audioStart = "audioStart";          // audio track start disagrees with audioStartMs
inline constexpr const char* logLine = "logLine";                // a log line is cut, not JSON, or not a record
inline constexpr const char* logOrder = "logOrder";              // t goes backwards
inline constexpr const char* logRange = "logRange";              // t outside the recording
inline constexpr const char* cursor = "cursor";                  // cursor id unknown, PNG missing or wrong size
inline constexpr const char* keystrokeMode = "keystrokeMode";    // keystrokes.ndjson readable by others
}  // namespace check

struct Problem {
  std::string check;    // one of check::…
  std::string file;     // relative to the folder ("" for the folder itself)
  std::string message;  // one sentence for a person
};

// One media file as read back.
struct MediaReport {
  std::string file;
  bool present = false;
  bool opened = false;         // libavformat could open it and found a stream
  std::string codec;           // "h264", "aac"
  int width = 0, height = 0;   // video
  int sampleRate = 0, channels = 0;  // audio
  int64_t frames = 0;          // decoded video frames or audio frames (packets' worth)
  double startSeconds = 0;     // first decoded time stamp
  double playableSeconds = 0;  // from 0 to the end of the last decoded frame
  std::optional<double> headerSeconds;  // duration written in the header by a clean finish
  bool indexed = false;        // has the index a clean finish appends (mfra)
  int64_t cutBytes = 0;        // bytes after the last whole top-level box
  std::string decodeError;     // first decoding error, when there was one
};

// One input log as read back.
struct LogReport {
  std::string file;
  bool present = false;
  int64_t records = 0;
  std::optional<double> lastMs;  // t of the last record
};

struct Report {
  std::string folder;
  // "complete" (metadata.json present), "cutShort" (media without
  // metadata.json: the agent was killed or crashed), or "notARecording"
  // (not a folder, or only the empty files a start that failed leaves).
  std::string state;
  std::optional<nlohmann::json> metadata;
  std::vector<MediaReport> media;
  std::vector<LogReport> logs;
  std::vector<Problem> problems;

  bool ok() const { return problems.empty(); }
  void add(std::string checkName, std::string file, std::string message) {
    problems.push_back({std::move(checkName), std::move(file), std::move(message)});
  }
  const MediaReport* findMedia(const std::string& file) const;
};

nlohmann::json toJson(const Report& report);
// A short report for a person: the verdict, what plays for how long, then
// one line per problem.
std::string formatText(const Report& report);

}  // namespace inspect
