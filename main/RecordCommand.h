// The `record` command: bring a recording up around the one Recorder and
// run the main loop until the recording ends the process.
#pragma once

#include "platform/LineReader.h"
#include "platform/Platform.h"

#include <memory>

class Recorder;

// The live recorder of a `record` run, for the termination-signal path;
// empty in every other command. Written on the main thread before the main
// loop first runs.
extern std::shared_ptr<Recorder> globalRecorder;

// Reads the configuration from `input`, then, in this order: becomes a
// background application, creates the recorder, hands SIGTERM to the main
// loop, starts the recording on the worker pool, starts the control loop on
// its own thread, sets globalRecorder and runs the main loop. Ends the
// process: status 1 after a rejected configuration or a failed start, 0
// after the stop. Returns 0 only should the main loop ever return.
int runRecord(platform::Services services, platform::LineReader& input);
