#include "inspect/Report.h"

#include <iomanip>
#include <sstream>

namespace inspect {

const MediaReport* Report::findMedia(const std::string& file) const {
  for (const MediaReport& candidate : media) {
    if (candidate.file == file) return &candidate;
  }
  return nullptr;
}

namespace {

nlohmann::json mediaJson(const MediaReport& media) {
  nlohmann::json out = {{"file", media.file}, {"present", media.present}};
  if (!media.present) return out;
  out["opened"] = media.opened;
  if (!media.opened) return out;
  out["codec"] = media.codec;
  if (media.width > 0) {
    out["width"] = media.width;
    out["height"] = media.height;
  } else {
    out["sampleRate"] = media.sampleRate;
    out["channels"] = media.channels;
  }
  out["frames"] = media.frames;
  out["startSeconds"] = media.startSeconds;
  out["playableSeconds"] = media.playableSeconds;
  out["headerSeconds"] = media.headerSeconds ? nlohmann::json(*media.headerSeconds) : nlohmann::json();
  out["indexed"] = media.indexed;
  out["cutBytes"] = media.cutBytes;
  return out;
}

std::string describeMedia(const MediaReport& media) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(2);
  if (!media.opened) return "does not open";
  text << media.codec << " ";
  if (media.width > 0) {
    text << media.width << "×" << media.height << ", " << media.frames << " pictures";
  } else {
    text << media.sampleRate << " Hz, " << media.channels << " channels";
  }
  text << ", plays " << media.playableSeconds << " s";
  if (!media.indexed) text << ", no index";
  if (media.cutBytes > 0) text << ", " << media.cutBytes << " bytes cut off";
  return text.str();
}

}  // namespace

nlohmann::json toJson(const Report& report) {
  nlohmann::json problems = nlohmann::json::array();
  for (const Problem& problem : report.problems)
    problems.push_back({{"check", problem.check}, {"file", problem.file}, {"message", problem.message}});
  nlohmann::json media = nlohmann::json::array();
  for (const MediaReport& file : report.media) media.push_back(mediaJson(file));
  nlohmann::json logs = nlohmann::json::array();
  for (const LogReport& log : report.logs) {
    logs.push_back({{"file", log.file},
                    {"present", log.present},
                    {"records", log.records},
                    {"lastMs", log.lastMs ? nlohmann::json(*log.lastMs) : nlohmann::json()}});
  }
  nlohmann::json out = {{"folder", report.folder}, {"ok", report.ok()}, {"state", report.state},
                        {"problems", problems},    {"media", media},    {"logs", logs}};
  if (report.metadata && report.metadata->is_object() && report.metadata->contains("durationMs"))
    out["durationMs"] = (*report.metadata)["durationMs"];
  return out;
}

std::string formatText(const Report& report) {
  std::ostringstream text;
  text << report.folder << ": ";
  if (report.ok()) {
    text << "a whole recording, every check holds\n";
  } else if (report.state == "cutShort") {
    text << "cut short (the agent did not stop it)\n";
  } else if (report.state == "notARecording") {
    text << "not a recording\n";
  } else {
    text << report.problems.size() << (report.problems.size() == 1 ? " problem\n" : " problems\n");
  }
  for (const MediaReport& media : report.media) {
    if (media.present) text << "  " << std::left << std::setw(20) << media.file << describeMedia(media) << "\n";
  }
  for (const LogReport& log : report.logs) {
    if (!log.present) continue;
    text << "  " << std::left << std::setw(20) << log.file << log.records << (log.records == 1 ? " record" : " records");
    if (log.lastMs) text << ", last at " << std::fixed << std::setprecision(2) << *log.lastMs / 1000 << " s";
    text << "\n";
  }
  for (const Problem& problem : report.problems) {
    text << "  ✗ " << (problem.file.empty() ? report.folder : problem.file) << ": " << problem.message << "\n";
  }
  return text.str();
}

}  // namespace inspect
