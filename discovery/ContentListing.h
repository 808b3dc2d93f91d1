// The `list` command's document: the displays, windows, microphones and
// applications that can be recorded, with the identifiers the recording
// configuration takes back (displayId, windowId, microphoneId,
// excludeBundleIds).
#pragma once

#include "platform/Platform.h"

// Writes exactly one document through emit(), in every outcome: the four
// lists, or, when the shareable content cannot be had, the failure document
// (error, code "screenPermission", the microphones with id and name only,
// empty lists otherwise). Runs on any thread; never needs the main thread.
void listContent(platform::Services& services);
