#include "recorder/Recorder.h"

#include <cmath>

double precise(double x) { return std::round(x * 100) / 100; }

std::shared_ptr<Recorder> Recorder::make(RecordConfig cfg, platform::Services services, RecorderRuntime runtime) {
  return std::shared_ptr<Recorder>(new Recorder(std::move(cfg), std::move(services), runtime));
}

Recorder::Recorder(RecordConfig config, platform::Services services, RecorderRuntime runtime)
    : services_(std::move(services)),
      runtime_(runtime),
      cfg(std::move(config)),
      dir(std::filesystem::path(cfg.outputDir)),
      queue(std::make_unique<platform::SerialQueue>("tesmar.capture")),
      startedAtUnix(services_.clock->wallClockNow()) {}

// Releases what the recorder holds and nothing more: the stop, not the
// destructor, finishes files and stops the capture.
Recorder::~Recorder() = default;

double Recorder::hostNow() const { return services_.clock->hostNow(); }

Recorder::ClockState Recorder::readClock() const {
  std::lock_guard<std::mutex> lock(stateLock_);
  return {t0, pausedAt, pauseTotal, stopping};
}

bool Recorder::isPaused() const { return readClock().pausedAt.has_value(); }

bool Recorder::isStopping() const { return readClock().stopping; }

std::optional<double> Recorder::firstFrameTime() const { return readClock().t0; }

double Recorder::pausedTotal() const { return readClock().pauseTotal; }

std::optional<double> Recorder::relMs(const ClockState& clock, double t) {
  if (!clock.t0 || clock.pausedAt || clock.stopping) return std::nullopt;
  double ms = ((t - *clock.t0) - clock.pauseTotal) * 1000;
  if (ms < 0) return std::nullopt;
  return ms;
}

std::optional<double> Recorder::relMs(double t) const { return relMs(readClock(), t); }

platform::Rect Recorder::currentRegion() const {
  std::lock_guard<std::mutex> lock(stateLock_);
  return region;
}
