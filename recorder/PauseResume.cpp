// Pause and resume: only the pause bookkeeping moves; the sample router and
// the input logs read it. Each state change comes before its event, and the
// pair stays in order against other pauses and resumes.
#include "main/EventChannel.h"
#include "recorder/Recorder.h"

void Recorder::pause() {
  std::lock_guard<std::mutex> order(pauseOrder_);
  {
    std::lock_guard<std::mutex> lock(clockLock_);
    if (pausedAt) return;
    if (!t0) return;
    pausedAt = hostNow();
  }
  emit({{"event", "paused"}});
}

void Recorder::resume() {
  std::lock_guard<std::mutex> order(pauseOrder_);
  {
    std::lock_guard<std::mutex> lock(clockLock_);
    if (!pausedAt) return;
    pauseTotal = pauseTotal + (hostNow() - *pausedAt);
    pausedAt.reset();
  }
  emit({{"event", "resumed"}});
}
