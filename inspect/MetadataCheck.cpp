#include "inspect/MetadataCheck.h"

#include <cmath>
#include <set>

namespace inspect {

namespace {

using nlohmann::json;

constexpr const char* kFile = "metadata.json";

enum class Kind { integer, number, boolean, string, object };

bool hasKind(const json& value, Kind kind) {
  switch (kind) {
    case Kind::integer:
      return value.is_number_integer() || (value.is_number_float() && std::floor(value.get<double>()) == value.get<double>());
    case Kind::number:
      return value.is_number() && std::isfinite(value.get<double>());
    case Kind::boolean:
      return value.is_boolean();
    case Kind::string:
      return value.is_string();
    case Kind::object:
      return value.is_object();
  }
  return false;
}

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::integer: return "a whole number";
    case Kind::number: return "a number";
    case Kind::boolean: return "true or false";
    case Kind::string: return "a string";
    case Kind::object: return "an object";
  }
  return "";
}

struct Member {
  const char* name;
  Kind kind;
};

constexpr Member kMembers[] = {
    {"version", Kind::integer},      {"mode", Kind::string},
    {"durationMs", Kind::number},    {"width", Kind::integer},
    {"height", Kind::integer},       {"scale", Kind::number},
    {"fps", Kind::integer},          {"displayRefreshRate", Kind::integer},
    {"region", Kind::object},        {"hasSystemAudio", Kind::boolean},
    {"hasMicrophone", Kind::boolean},  {"hasKeystrokes", Kind::boolean},
    {"frames", Kind::integer},       {"startedAt", Kind::number},
    {"audioStartMs", Kind::object},  {"droppedAudioBuffers", Kind::object},
    {"stopReason", Kind::string},    {"cursors", Kind::object},
    {"finished", Kind::boolean},
};

const std::set<std::string> kStopReasons = {"user", "parentExited", "sigterm", "systemStopped", "lowDiskSpace"};

void checkTrackMembers(const json& document, Report& report) {
  for (const auto& [key, flag] : {std::pair{"system", "hasSystemAudio"}, std::pair{"microphone", "hasMicrophone"}}) {
    const bool has = document.at(flag).get<bool>();
    const bool started = document.at("audioStartMs").contains(key);
    if (has != started)
      report.add(check::metadata, kFile,
                 std::string("\"") + flag + "\" is " + (has ? "true" : "false") + " but \"audioStartMs\" " +
                     (started ? "has" : "lacks") + " \"" + key + "\".");
  }
  for (const char* object : {"audioStartMs", "droppedAudioBuffers"}) {
    for (const auto& [key, value] : document.at(object).items()) {
      if (key != "system" && key != "microphone")
        report.add(check::metadata, kFile, std::string("\"") + object + "\" has an unknown track \"" + key + "\".");
      const bool fits = std::string(object) == "audioStartMs" ? hasKind(value, Kind::number)
                                                               : hasKind(value, Kind::integer) && value.get<double>() >= 0;
      if (!fits) report.add(check::metadata, kFile, std::string("\"") + object + "." + key + "\" is " + value.dump() + ".");
    }
  }
}

void checkCursorCatalogue(const json& cursors, Report& report) {
  for (const auto& [id, info] : cursors.items()) {
    bool sound = info.is_object();
    for (const char* key : {"hotX", "hotY", "width", "height"}) sound = sound && info.contains(key) && hasKind(info[key], Kind::number);
    if (!sound) {
      report.add(check::metadata, kFile, "cursor \"" + id + "\" lacks hotX, hotY, width or height: " + info.dump() + ".");
    } else if (info["width"].get<double>() <= 0 || info["height"].get<double>() <= 0) {
      report.add(check::metadata, kFile, "cursor \"" + id + "\" has no size: " + info.dump() + ".");
    }
  }
}

void checkValues(const json& d, Report& report) {
  auto rule = [&](bool holds, const std::string& message) {
    if (!holds) report.add(check::metadata, kFile, message);
  };
  rule(d["version"] == 1, "\"version\" is " + d["version"].dump() + ", not 1.");
  rule(d["durationMs"].get<double>() >= 0, "\"durationMs\" is negative.");
  const double width = d["width"].get<double>(), height = d["height"].get<double>();
  rule(width >= 0 && height >= 0 && std::fmod(width, 2) == 0 && std::fmod(height, 2) == 0,
       "the video size " + d["width"].dump() + " × " + d["height"].dump() + " is not two even, non-negative numbers.");
  rule(d["scale"].get<double>() > 0, "\"scale\" is not positive.");
  rule(d["fps"].get<double>() >= 1 && d["fps"].get<double>() <= d["displayRefreshRate"].get<double>(),
       "\"fps\" " + d["fps"].dump() + " is not between 1 and \"displayRefreshRate\" " + d["displayRefreshRate"].dump() + ".");
  rule(d["frames"].get<double>() >= 0, "\"frames\" is negative.");
  rule(d["startedAt"].get<double>() > 0, "\"startedAt\" is not a time.");
  rule(kStopReasons.count(d["stopReason"].get<std::string>()) == 1,
       "\"stopReason\" " + d["stopReason"].dump() + " is not a reason a stop reports.");
  const json& region = d["region"];
  bool regionSound = true;
  for (const char* key : {"x", "y", "width", "height"}) regionSound = regionSound && region.contains(key) && hasKind(region[key], Kind::number);
  rule(regionSound && region["width"].get<double>() >= 0 && region["height"].get<double>() >= 0,
       "\"region\" is not a rectangle: " + region.dump() + ".");
  checkTrackMembers(d, report);
  checkCursorCatalogue(d["cursors"], report);
  if (d["finished"] == false)
    report.add(check::notFinished, kFile, "\"finished\" is false: a media file could not be completed.");
}

}  // namespace

bool checkMetadata(const json& document, Report& report) {
  if (!document.is_object()) {
    report.add(check::metadata, kFile, "is not a JSON object.");
    return false;
  }
  bool complete = true;
  std::set<std::string> known;
  for (const Member& member : kMembers) {
    known.insert(member.name);
    auto found = document.find(member.name);
    if (found == document.end()) {
      report.add(check::metadata, kFile, std::string("lacks \"") + member.name + "\".");
      complete = false;
    } else if (!hasKind(*found, member.kind)) {
      report.add(check::metadata, kFile,
                 std::string("\"") + member.name + "\" is " + found->dump() + ", not " + kindName(member.kind) + ".");
      complete = false;
    }
  }
  for (const auto& [key, value] : document.items()) {
    if (!known.count(key)) report.add(check::metadata, kFile, "has an unknown member \"" + key + "\".");
  }
  if (complete) checkValues(document, report);
  return complete;
}

}  // namespace inspect
