// The input logs: newline-delimited JSON, one record per line, each with its
// recording time `t` in milliseconds.
#pragma once

#include "inspect/Report.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace inspect {

enum class LogKind { moves, clicks, keys };

inline constexpr const char* kMovesLog = "mouse-moves.ndjson";
inline constexpr const char* kClicksLog = "mouse-clicks.ndjson";
inline constexpr const char* kKeysLog = "keystrokes.ndjson";

struct LogCheckInput {
  std::string file;  // name in the folder, for the messages
  LogKind kind = LogKind::moves;
  // The recording's length; nothing when unknown (a folder cut short), and
  // then only t ≥ 0 is checked.
  std::optional<double> durationMs;
};

// Checks every line of `text`: it ends with a line feed, is a JSON object
// with the members of its kind (moves: t, x, y, cursor; clicks: also type
// "mouseDown"/"mouseUp" and button "left"/"right"; keys: t, key, modifiers,
// isRepeat), t never goes back and lies within the recording. Problems are
// added to `report` (at most a few per log, then a count). Cursor ids of
// moves and clicks are added to `cursorIds`; the well-formed records to
// `records` when given.
LogReport checkLogText(const LogCheckInput& input, const std::string& text, Report& report,
                       std::set<std::string>& cursorIds, std::vector<nlohmann::json>* records = nullptr);

// Reads `path` whole; nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

}  // namespace inspect
