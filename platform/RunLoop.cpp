#include "platform/RunLoop.h"

#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <csignal>
#include <future>

namespace platform {

namespace {

// Runs `task` on `context` and waits for it; on the context's own thread
// (`onThatThread`) it runs at once, since waiting there would never end.
void runAndWait(asio::io_context& context, bool onThatThread, const Task& task) {
  if (onThatThread) {
    task();
    return;
  }
  std::promise<void> done;
  asio::post(context, [&] {
    task();
    done.set_value();
  });
  done.get_future().wait();
}

}  // namespace

// ---- MainLoop --------------------------------------------------------------

struct MainLoop::Signals {
  explicit Signals(asio::io_context& context) : set(context) {}
  asio::signal_set set;
  Task onSignal;
};

MainLoop::MainLoop() : guard_(asio::make_work_guard(context_)) {
  loopThread_ = std::this_thread::get_id();
}

MainLoop::~MainLoop() {
  guard_.reset();
  context_.stop();
}

void MainLoop::postAndWait(const Task& task) { runAndWait(context_, isLoopThread(), task); }

void MainLoop::run() {
  loopThread_ = std::this_thread::get_id();
  context_.run();
}

void MainLoop::stopRunning() {
  guard_.reset();
  context_.stop();
}

bool MainLoop::isLoopThread() const { return std::this_thread::get_id() == loopThread_.load(); }

void MainLoop::handleTerminationSignal(Task onSignal) {
  // Asio installs its own handler, which only records the signal; the
  // completion runs on the loop. Until the loop runs the signal waits.
  signals_ = std::make_unique<Signals>(context_);
  signals_->onSignal = std::move(onSignal);
  signals_->set.add(SIGTERM);
  struct Waiter {
    Signals* signals;
    void operator()(const asio::error_code& error, int) const {
      if (error) return;
      signals->onSignal();
      signals->set.async_wait(*this);
    }
  };
  signals_->set.async_wait(Waiter{signals_.get()});
}

// ---- SerialQueue -----------------------------------------------------------

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), guard_(asio::make_work_guard(context_)), thread_([this] { context_.run(); }) {}

SerialQueue::~SerialQueue() {
  guard_.reset();
  if (isCurrent()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

void SerialQueue::sync(const Task& task) { runAndWait(context_, isCurrent(), task); }

// ---- WorkerPool ------------------------------------------------------------

WorkerPool::WorkerPool(size_t threads) : pool_(threads) {}

WorkerPool::~WorkerPool() { pool_.join(); }

// ---- RepeatingTimer --------------------------------------------------------

struct RepeatingTimer::State : std::enable_shared_from_this<State> {
  State(asio::io_context& context, std::chrono::nanoseconds every, Task onTick)
      : timer(context), interval(every), tick(std::move(onTick)) {}

  void arm() {
    timer.expires_at(deadline);
    timer.async_wait([weak = weak_from_this()](const asio::error_code& error) {
      auto self = weak.lock();
      if (!self || error || self->cancelled) return;
      self->fire();
    });
  }

  void fire() {
    // Keep the schedule absolute; ticks missed entirely are skipped.
    auto now = std::chrono::steady_clock::now();
    deadline += interval;
    if (deadline <= now) {
      auto behind = (now - deadline) / interval + 1;
      deadline += behind * interval;
    }
    tick();
    if (!cancelled) arm();
  }

  asio::steady_timer timer;
  std::chrono::steady_clock::time_point deadline;
  std::chrono::nanoseconds interval;
  Task tick;
  bool cancelled = false;
};

RepeatingTimer::RepeatingTimer(MainLoop& loop, std::chrono::nanoseconds firstDelay,
                               std::chrono::nanoseconds interval, Task tick)
    : state_(std::make_shared<State>(loop.context(), interval, std::move(tick))) {
  state_->deadline = std::chrono::steady_clock::now() + firstDelay;
  state_->arm();
}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::cancel() {
  if (state_->cancelled) return;
  state_->cancelled = true;
  state_->timer.cancel();
}

bool RepeatingTimer::isCancelled() const { return state_->cancelled; }

std::chrono::nanoseconds RepeatingTimer::interval() const { return state_->interval; }

}  // namespace platform
