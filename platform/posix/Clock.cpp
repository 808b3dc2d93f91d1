#include "platform/Clock.h"

#include <ctime>

namespace platform {

namespace {
double readClock(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class SystemClock final : public Clock {
 public:
  double hostNow() const override { return platform::hostNow(); }
  double wallClockNow() const override { return platform::wallClockNow(); }
};
}  // namespace

double hostNow() { return readClock(CLOCK_MONOTONIC); }

double wallClockNow() { return readClock(CLOCK_REALTIME); }

Clock& systemClock() {
  static SystemClock clock;
  return clock;
}

}  // namespace platform
