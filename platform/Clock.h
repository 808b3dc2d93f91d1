// Clocks. The host clock is monotonic seconds: capture time stamps run on it,
// so a sample's presentation time and a host-clock reading subtract directly.
#pragma once

namespace platform {

// Monotonic host clock, seconds (CLOCK_MONOTONIC on Linux).
double hostNow();
// Wall clock, seconds since 1970-01-01 00:00 UTC.
double wallClockNow();

// The clocks as a service, so that tests can set the time. Thread-safe.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual double hostNow() const = 0;
  virtual double wallClockNow() const = 0;
};

// The system's clocks.
Clock& systemClock();

}  // namespace platform
