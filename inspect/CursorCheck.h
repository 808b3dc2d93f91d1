// The cursor catalogue: every cursor id the logs use is described in
// metadata.json's "cursors" (or is "arrow", the agent's name for a cursor it
// could not read) and has its PNG under cursors/ at the stated size.
#pragma once

#include "inspect/Report.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <set>
#include <string>

namespace inspect {

inline constexpr const char* kFallbackCursor = "arrow";

// `catalogue` is metadata's "cursors" object, or nothing for a folder cut
// short (then only the PNGs of the used ids are looked for). `scale` is
// metadata's pixels per point: a PNG may hold the stated size in points or
// in pixels.
void checkCursors(const std::string& folder, const std::set<std::string>& usedIds,
                  const std::optional<nlohmann::json>& catalogue, double scale, Report& report);

}  // namespace inspect
