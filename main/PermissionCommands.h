// The `permissions` and `request-permissions` commands: report (and ask
// for) screen recording, accessibility and microphone access. Each writes
// one status document through emit() and returns; the caller exits with 0.
#pragma once

#include "platform/Platform.h"

#include <string>

// {"screen","accessibility","microphone"}: the current states, no prompt.
void runPermissions(platform::Services& services);

// Prompts as `argument` says ("screen", "accessibility", "microphone", or
// "all" for the three in that order; anything else, compared exactly,
// prompts nothing), waits for the microphone answer when one was asked
// for, then writes {"screen","accessibility"}.
void runRequestPermissions(platform::Services& services, const std::string& argument);
