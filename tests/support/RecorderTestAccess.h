// The recorder's private fields, for tests (declared a friend by Recorder).
#pragma once

#include "recorder/Recorder.h"

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class RecorderTestAccess {
 public:
  explicit RecorderTestAccess(Recorder& r) : r_(r) {}
  void setClock(std::optional<double> t0, std::optional<double> pausedAt = std::nullopt, double pauseTotal = 0,
                bool stopping = false) {
    std::lock_guard lock(r_.stateLock_);
    r_.t0 = t0;
    r_.pausedAt = pausedAt;
    r_.pauseTotal = pauseTotal;
    r_.stopping = stopping;
  }
  void openLogs() {
    r_.moves = std::make_unique<NDJSON>((r_.dir / "mouse-moves.ndjson").string());
    r_.clicks = std::make_unique<NDJSON>((r_.dir / "mouse-clicks.ndjson").string());
    r_.keys = std::make_unique<NDJSON>((r_.dir / "keystrokes.ndjson").string());
  }
  platform::Rect& region() { return r_.region; }
  int& displayRefreshRate() { return r_.displayRefreshRate; }
  std::string& lastCursorId() { return r_.lastCursorId; }
  platform::Point lastMouse() const { return r_.lastMouse; }
  const std::map<int64_t, std::string>& cursorHashes() const { return r_.cursorHashes; }
  const nlohmann::json& cursorInfo() const { return r_.cursorInfo; }
  const std::vector<platform::MonitorToken>& monitors() const { return r_.monitors; }
  platform::RepeatingTimer* pollTimer() const { return r_.pollTimer.get(); }
  platform::RepeatingTimer* diskTimer() const { return r_.diskTimer.get(); }

 private:
  Recorder& r_;
};
