#include "main/RecordCommand.h"

#include "config/RecordConfig.h"
#include "main/ControlLoop.h"
#include "main/EventChannel.h"
#include "recorder/Recorder.h"

#include <thread>
#include <variant>

std::shared_ptr<Recorder> globalRecorder;

namespace {

// Starts the stop for SIGTERM; the stop itself runs on the worker pool.
void emitStopFromSignal() {
  if (globalRecorder) globalRecorder->stop("sigterm", false);
}

}  // namespace

int runRecord(platform::Services services, platform::LineReader& input) {
  platform::MainLoop mainLoop;
  platform::WorkerPool workers;

  // SIGTERM, taken over before anything else: a host may send it right after
  // the configuration, and the signal's default action would end the process
  // without a word. It is acted on by the main loop once that runs, when
  // globalRecorder is set.
  mainLoop.handleTerminationSignal([] { emitStopFromSignal(); });

  // 1. Configuration.
  auto decoded = readRecordConfig(input);
  if (auto* rejection = std::get_if<ConfigRejection>(&decoded)) fail(rejection->message, rejection->code);
  RecordConfig cfg = std::get<RecordConfig>(std::move(decoded));

  // 2. Background application.
  services.windowing->becomeBackgroundApplication();

  // 3. The recorder.
  std::shared_ptr<Recorder> recorder = Recorder::make(std::move(cfg), std::move(services), {mainLoop, workers});

  // 5. The start, not waited for.
  workers.async([recorder] { recorder->start(); });

  // 6. The control loop on its own thread, with its own reference.
  std::thread([recorder, &input] { controlLoop(recorder, input); }).detach();

  // 7 and 8.
  globalRecorder = recorder;
  mainLoop.run();

  // 9.
  globalRecorder.reset();
  return 0;
}
