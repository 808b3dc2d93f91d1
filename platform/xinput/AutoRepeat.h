// The keyboard's automatic repeat, as the X server applies it to the events
// it sends to the focused window. Raw key events never repeat, so a global
// key monitor re-creates the repeats from the server's repeat settings: the
// last key pressed repeats, if repeating is on and that key repeats, after
// the repeat delay and then once per repeat interval, until it is released.
// A press of a key that does not repeat leaves the current repeat going.
//
// Pure bookkeeping over time points; not thread-safe.
#pragma once

#include <bitset>
#include <chrono>
#include <cstdint>
#include <optional>

namespace platform::xinput {

class AutoRepeat {
 public:
  using Clock = std::chrono::steady_clock;

  struct Settings {
    bool enabled = false;
    std::chrono::milliseconds delay{660};
    std::chrono::milliseconds interval{40};
    std::bitset<256> keys;  // bit n: key code n repeats
  };

  // New settings apply from the next press; a repeat under way stops when
  // repeating is turned off or its key no longer repeats.
  void setSettings(const Settings& settings);
  void press(uint32_t key, Clock::time_point now);
  void release(uint32_t key);
  void clear() { key_.reset(); }

  // When the next repeat is due; nothing while no key repeats.
  std::optional<Clock::time_point> nextDue() const;
  // The key to repeat now, if its repeat is due; the next one is then due an
  // interval after `now`.
  std::optional<uint32_t> take(Clock::time_point now);

 private:
  Settings settings_;
  std::optional<uint32_t> key_;
  Clock::time_point due_{};
};

}  // namespace platform::xinput
