// tesmar-inspect's checks of a recording folder, as a library the program
// and the tests share.
#pragma once

#include "inspect/Report.h"

#include <string>

namespace inspect {

// Reads everything in `folder` and checks it (see Report.h for the checks).
// A folder without metadata.json but with media is one the agent could not
// finish (killed, crashed, machine down): its state is "cutShort", and the
// report says what plays and for how long rather than listing what a kill
// leaves unfinished.
Report inspectRecording(const std::string& folder);

}  // namespace inspect
