#include "platform/xinput/AutoRepeat.h"

namespace platform::xinput {

void AutoRepeat::setSettings(const Settings& settings) {
  settings_ = settings;
  if (key_ && (!settings_.enabled || !settings_.keys.test(*key_))) key_.reset();
}

void AutoRepeat::press(uint32_t key, Clock::time_point now) {
  if (!settings_.enabled || key >= 256 || !settings_.keys.test(key)) return;
  key_ = key;
  due_ = now + settings_.delay;
}

void AutoRepeat::release(uint32_t key) {
  if (key_ == key) key_.reset();
}

std::optional<AutoRepeat::Clock::time_point> AutoRepeat::nextDue() const {
  if (!key_) return std::nullopt;
  return due_;
}

std::optional<uint32_t> AutoRepeat::take(Clock::time_point now) {
  if (!key_ || now < due_) return std::nullopt;
  due_ = now + settings_.interval;
  return key_;
}

}  // namespace platform::xinput
