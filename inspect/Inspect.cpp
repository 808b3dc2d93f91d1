#include "inspect/Inspect.h"

#include "inspect/CursorCheck.h"
#include "inspect/LogCheck.h"
#include "inspect/MediaCheck.h"
#include "inspect/MetadataCheck.h"

#include <sys/stat.h>

#include <filesystem>
#include <sstream>

namespace inspect {

namespace {

namespace fs = std::filesystem;

std::string path(const std::string& folder, const std::string& file) { return (fs::path(folder) / file).string(); }

void checkKeystrokeMode(const std::string& folder, Report& report) {
  struct stat info {};
  if (::stat(path(folder, kKeysLog).c_str(), &info) != 0) return;  // reported as a missing log
  if ((info.st_mode & 077) != 0) {
    std::ostringstream mode;
    mode << std::oct << (info.st_mode & 0777);
    report.add(check::keystrokeMode, kKeysLog, "has mode 0" + mode.str() + ": others may read what was typed; it must be 0600.");
  }
}

// Reads and checks the three logs; returns the cursor ids they use.
std::set<std::string> checkLogs(const std::string& folder, std::optional<double> durationMs, Report& report) {
  std::set<std::string> cursorIds;
  const std::pair<const char*, LogKind> logs[] = {
      {kMovesLog, LogKind::moves}, {kClicksLog, LogKind::clicks}, {kKeysLog, LogKind::keys}};
  for (const auto& [file, kind] : logs) {
    std::optional<std::string> text = readWholeFile(path(folder, file));
    if (!text) {
      report.add(check::logLine, file, "is missing.");
      report.logs.push_back(LogReport{file});
      continue;
    }
    report.logs.push_back(checkLogText({file, kind, durationMs}, *text, report, cursorIds));
  }
  return cursorIds;
}

// Whether any media file or log of `folder` has a byte in it.
bool holdsAnything(const std::string& folder) {
  for (const char* file : {kVideoFile, kSystemAudioFile, kMicrophoneFile, kMovesLog, kClicksLog, kKeysLog}) {
    std::error_code error;
    const auto size = fs::file_size(path(folder, file), error);
    if (!error && size > 0) return true;
  }
  return false;
}

std::string whatPlays(const Report& report) {
  std::ostringstream text;
  text.precision(2);
  text << std::fixed;
  bool first = true;
  for (const MediaReport& media : report.media) {
    if (!media.present) continue;
    text << (first ? "" : "; ") << media.file << " ";
    first = false;
    if (!media.opened || media.frames == 0) {
      text << "nothing (killed before its first fragment was written)";
    } else {
      text << "from 0 to " << media.playableSeconds << " s";
    }
  }
  return first ? "no media file" : text.str();
}

void inspectComplete(const std::string& folder, const nlohmann::json& metadata, Report& report) {
  const bool sound = checkMetadata(metadata, report);
  report.media.push_back(readMediaFile(folder, kVideoFile));
  for (const char* file : {kSystemAudioFile, kMicrophoneFile}) {
    if (fs::exists(path(folder, file))) report.media.push_back(readMediaFile(folder, file));
  }
  std::optional<double> durationMs;
  if (sound) {
    durationMs = metadata["durationMs"].get<double>();
    checkVideo(report.media[0], metadata, report);
    for (const auto& [key, flag, file] : {std::tuple{"system", "hasSystemAudio", kSystemAudioFile},
                                          std::tuple{"microphone", "hasMicrophone", kMicrophoneFile}}) {
      if (metadata[flag] != true) continue;
      const MediaReport* audio = report.findMedia(file);
      checkAudio(audio ? *audio : MediaReport{file}, key, metadata, report);
    }
  } else {
    for (const MediaReport& media : report.media) checkCutShortMedia(media, report);
  }
  const std::set<std::string> cursorIds = checkLogs(folder, durationMs, report);
  // "hasKeystrokes" is whether keystrokes could be logged at the stop: after
  // a lost X server it is false although the log holds what came before, so
  // the log is not held against it.
  checkKeystrokeMode(folder, report);
  std::optional<nlohmann::json> catalogue;
  if (sound) catalogue = metadata["cursors"];
  checkCursors(folder, cursorIds, catalogue, sound ? metadata["scale"].get<double>() : 1.0, report);
}

void inspectCutShort(const std::string& folder, Report& report) {
  for (const char* file : {kVideoFile, kSystemAudioFile, kMicrophoneFile}) {
    MediaReport media = readMediaFile(folder, file);
    if (media.present) report.media.push_back(std::move(media));
  }
  report.add(check::cutShort, "metadata.json",
             "is missing: the recording did not end with a stop (the agent was killed or crashed). What plays: " +
                 whatPlays(report) + ".");
  for (const MediaReport& media : report.media) checkCutShortMedia(media, report);
  const std::set<std::string> cursorIds = checkLogs(folder, std::nullopt, report);
  checkKeystrokeMode(folder, report);
  checkCursors(folder, cursorIds, std::nullopt, 1.0, report);
}

}  // namespace

Report inspectRecording(const std::string& folder) {
  Report report;
  report.folder = folder;
  std::error_code error;
  if (!fs::is_directory(folder, error)) {
    report.state = "notARecording";
    report.add(check::folder, "", "is not a folder.");
    return report;
  }
  std::optional<std::string> text = readWholeFile(path(folder, "metadata.json"));
  if (text) {
    report.state = "complete";
    nlohmann::json metadata = nlohmann::json::parse(*text, nullptr, false);
    if (metadata.is_discarded()) {
      report.add(check::metadata, "metadata.json", "is not valid JSON.");
      metadata = nlohmann::json();
    } else {
      report.metadata = metadata;
    }
    inspectComplete(folder, metadata, report);
    return report;
  }
  if (!fs::exists(path(folder, kVideoFile)) && !fs::exists(path(folder, kMovesLog))) {
    report.state = "notARecording";
    report.add(check::folder, "", "holds neither metadata.json nor screen.mp4: it is not a recording.");
    return report;
  }
  if (!holdsAnything(folder)) {
    report.state = "notARecording";
    report.add(check::folder, "",
               "holds only empty files, as a recording that never started leaves (its start failed, or it was "
               "killed before the first frame).");
    return report;
  }
  report.state = "cutShort";
  inspectCutShort(folder, report);
  return report;
}

}  // namespace inspect
