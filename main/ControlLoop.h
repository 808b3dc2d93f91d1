// The control loop: reads the host's command lines after the configuration
// and turns each into its effect on the recorder. Runs on its own thread,
// blocked on standard input most of the time.
#pragma once

#include "platform/LineReader.h"

#include <memory>
#include <string>

class Recorder;

// Control lines longer than this are discarded without being held whole.
inline constexpr size_t kMaxControlLineBytes = 64 * 1024;

// `line` without leading and trailing tabs and Unicode space separators
// (U+0020, U+00A0, U+1680, U+2000–U+200A, U+202F, U+205F, U+3000). Line
// breaks and other control characters stay.
std::string trimControlLine(const std::string& line);

// Runs until end of input, which stops the recording ("parentExited").
void controlLoop(std::shared_ptr<Recorder> recorder, platform::LineReader& input);
