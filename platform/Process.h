// The process: its identity and its end.
#pragma once

#include <cstdint>

namespace platform {

int32_t currentProcessID();

// Ends the process with `status` at once, without unwinding or running
// destructors while other threads still work. Standard output is written
// unbuffered, so nothing is lost.
[[noreturn]] void exitProcess(int status);

// A host that has gone away must not kill the agent with SIGPIPE: writes to
// a closed pipe then fail and are dropped.
void ignoreBrokenPipe();

// Points standard error at /dev/null: the agent reports only through its
// events, and system libraries (the audio client library among them) may
// print diagnostics of their own.
void silenceStandardError();

}  // namespace platform
