// A connection to the PulseAudio server on a threaded main loop of its own.
// The server is never spawned: without a running server the connection
// fails.
//
// Thread-safety: every libpulse call on the context or its streams is made
// with the loop locked (Session::Lock), except from callbacks, which run on
// the loop's thread with the lock already held.
#pragma once

#include "platform/Error.h"

#include <pulse/context.h>
#include <pulse/operation.h>
#include <pulse/thread-mainloop.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform::pulse {

class Session {
 public:
  static constexpr std::chrono::milliseconds kConnectTimeout{3000};

  // Connects as `clientName`, waiting at most `timeout` for the server.
  static Result<std::unique_ptr<Session>> connect(const std::string& clientName,
                                                  std::chrono::milliseconds timeout = kConnectTimeout);
  // The same in two steps, so that another thread can interrupt() the wait
  // for the server: create() sets up the loop and the context (null when the
  // audio system cannot be set up), connectToServer() waits for the server.
  static std::unique_ptr<Session> create(const std::string& clientName);
  std::optional<Error> connectToServer(std::chrono::milliseconds timeout = kConnectTimeout);
  ~Session();  // disconnects and stops the loop (not on the loop's thread)
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }

  // Holds the loop lock for its lifetime.
  class Lock {
   public:
    explicit Lock(const Session& session) : loop_(session.loop_) { pa_threaded_mainloop_lock(loop_); }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  // With the lock held: waits until `operation` is done (or cancelled because
  // the connection failed), then releases it. Its callback must call
  // signal(). False when the operation was null.
  bool wait(pa_operation* operation) const;
  // With the lock held: waits until `done()` holds (checked whenever a
  // callback signals) or `timeout` has passed; false on timeout.
  bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) const;
  // Wakes the waiters; for callbacks.
  void signal() const { pa_threaded_mainloop_signal(loop_, 0); }

  // Thread-safe; not with the lock held. Shortens every wait, current and
  // future, to at most kInterruptGrace from now: an answer that is already
  // on its way still counts (so a missing source is still told apart from a
  // stop), a server that does not answer is no longer waited for.
  void interrupt();
  static constexpr std::chrono::milliseconds kInterruptGrace{300};
  bool interrupted() const { return interrupted_.load(); }

 private:
  Session() = default;

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool started_ = false;  // the loop thread runs
  std::atomic<bool> interrupted_{false};
};

}  // namespace platform::pulse
