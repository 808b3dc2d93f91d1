// Pause and resume: only the pause bookkeeping moves; the sample router and
// the input logs read it. Each change and its event are made together under
// the state lock, so events stay in the order of the changes, and neither
// is made once a stop has begun (the stop has fixed the duration by then).
#include "main/EventChannel.h"
#include "recorder/Recorder.h"

void Recorder::pause() {
  std::lock_guard<std::mutex> lock(stateLock_);
  if (stopping || pausedAt || !t0) return;
  pausedAt = hostNow();
  emit({{"event", "paused"}});
}

void Recorder::resume() {
  std::lock_guard<std::mutex> lock(stateLock_);
  if (stopping || !pausedAt) return;
  pauseTotal = pauseTotal + (hostNow() - *pausedAt);
  pausedAt.reset();
  emit({{"event", "resumed"}});
}
