// Waiting for something a test can observe, instead of sleeping for a time
// that is hoped to be long enough: the condition is polled until it holds or
// the time-out passes.
#pragma once

#include <chrono>
#include <thread>

namespace testing_support {

// Polls `predicate` every `pollInterval` until it returns true or `timeout`
// has passed; whether it held. The predicate is checked once more at the
// deadline, so a condition that became true during the last interval counts.
template <typename Predicate>
bool waitUntil(Predicate&& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10),
               std::chrono::milliseconds pollInterval = std::chrono::milliseconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (predicate()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pollInterval, deadline - now));
  }
}

}  // namespace testing_support
