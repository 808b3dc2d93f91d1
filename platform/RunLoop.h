// The runtime the logic runs on: the main run loop, serial queues, the worker
// pool for asynchronous operations, and repeating timers. Built on Asio.
//
// Handlers posted with post()/async() go straight to Asio. Asio recycles
// handler memory only on threads that run an io_context; a post from another
// thread allocates, so per-sample hand-offs from capture threads use a
// preallocated path of their own. sync()/postAndWait() block the caller and
// are for rare hand-offs.
#pragma once

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/thread_pool.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace platform {

using Task = std::function<void()>;

// The main run loop. Construct it on the main thread; run() services it there.
// post() and postAndWait() may be called from any thread.
class MainLoop {
 public:
  MainLoop();
  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  template <typename F>
  void post(F&& f) { asio::post(context_, std::forward<F>(f)); }

  // Runs `task` on the main loop and returns once it has run. Called on the
  // main loop's own thread it runs the task at once.
  void postAndWait(const Task& task);

  // Services the loop on the calling thread until stopRunning().
  void run();
  void stopRunning();
  bool isLoopThread() const;

  // Hands SIGTERM to the main loop: the signal is caught by the loop itself
  // (no work in a signal handler) and `onSignal` runs there. A signal that
  // arrives before run() is acted on once the loop runs.
  void handleTerminationSignal(Task onSignal);

  asio::io_context& context() { return context_; }

 private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::atomic<std::thread::id> loopThread_{};
  struct Signals;
  std::unique_ptr<Signals> signals_;
};

// A serial queue: one dedicated thread runs its tasks one after the other in
// submission order. Thread-safe.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();  // finishes queued tasks, then joins
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  template <typename F>
  void async(F&& f) { asio::post(context_, std::forward<F>(f)); }

  // Runs `task` on the queue after everything submitted before it and waits
  // for it. On the queue's own thread it runs at once.
  void sync(const Task& task);
  bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }
  const std::string& label() const { return label_; }

 private:
  std::string label_;
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::thread thread_;
};

// The pool of worker threads that runs asynchronous operations (the start,
// every stop, the listing). Tasks may block. Thread-safe.
class WorkerPool {
 public:
  explicit WorkerPool(size_t threads = 4);
  ~WorkerPool();
  template <typename F>
  void async(F&& f) { asio::post(pool_, std::forward<F>(f)); }

 private:
  asio::thread_pool pool_;
};

// A repeating timer on the main loop with absolute, drift-free deadlines:
// tick n is due at first + n × interval, whatever the handlers cost; ticks
// that were missed entirely are skipped rather than run in a burst.
// Create, cancel and destroy it on the main loop's thread; the tick runs
// there. After cancel() no tick runs.
class RepeatingTimer {
 public:
  RepeatingTimer(MainLoop& loop, std::chrono::nanoseconds firstDelay,
                 std::chrono::nanoseconds interval, Task tick);
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  void cancel();
  bool isCancelled() const;
  std::chrono::nanoseconds interval() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Seconds as a duration for timers.
inline std::chrono::nanoseconds seconds(double s) {
  return std::chrono::nanoseconds(static_cast<int64_t>(s * 1e9 + 0.5));
}

}  // namespace platform
