// The rules of metadata.json, the document the agent writes at a clean stop
// and also sends as the "metadata" of its "stopped" event.
#pragma once

#include "inspect/Report.h"

#include <nlohmann/json.hpp>

namespace inspect {

// Checks `document` member by member (presence, JSON type, range) and the
// rules that tie members together; each broken rule becomes a problem of
// check::metadata, and "finished": false one of check::notFinished. True
// when the document is sound enough for the other checks to rely on
// (every member present with its type).
bool checkMetadata(const nlohmann::json& document, Report& report);

}  // namespace inspect
