#include "platform/pulse/PulseSession.h"

#include <pulse/error.h>
#include <pulse/rtclock.h>

namespace platform::pulse {

namespace {

struct Deadline {
  pa_threaded_mainloop* loop;
  bool passed = false;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
  auto* deadline = static_cast<Deadline*>(userdata);
  deadline->passed = true;
  pa_threaded_mainloop_signal(deadline->loop, 0);
}

}  // namespace

Result<std::unique_ptr<Session>> Session::connect(const std::string& clientName, std::chrono::milliseconds timeout) {
  std::unique_ptr<Session> session = create(clientName);
  if (!session) return Error{"The audio system could not be set up."};
  if (std::optional<Error> error = session->connectToServer(timeout)) return *error;
  return session;
}

std::unique_ptr<Session> Session::create(const std::string& clientName) {
  std::unique_ptr<Session> session(new Session());
  session->loop_ = pa_threaded_mainloop_new();
  if (!session->loop_) return nullptr;
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(session->loop_);
  session->context_ = pa_context_new(api, clientName.c_str());
  if (!session->context_) return nullptr;
  pa_context_set_state_callback(
      session->context_, [](pa_context*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); },
      session->loop_);
  if (pa_threaded_mainloop_start(session->loop_) < 0) return nullptr;
  session->started_ = true;
  return session;
}

std::optional<Error> Session::connectToServer(std::chrono::milliseconds timeout) {
  Lock lock(*this);
  pa_context* context = context_;
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return Error{std::string("The audio server cannot be reached (") + pa_strerror(pa_context_errno(context)) + ")."};
  }
  const bool settled = waitFor(
      [context] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) || pa_context_get_state(context) == PA_CONTEXT_READY; },
      timeout);
  if (pa_context_get_state(context) == PA_CONTEXT_READY) return std::nullopt;
  if (!settled) return Error{"The audio server did not answer in time.", interrupted_.load()};
  return Error{std::string("The audio server cannot be reached (") + pa_strerror(pa_context_errno(context)) + ")."};
}

void Session::interrupt() {
  Lock lock(*this);
  interrupted_ = true;
  signal();
}

bool Session::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) const {
  Deadline deadline{loop_};
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  pa_time_event* timer =
      pa_context_rttime_new(context_, pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * 1000, onDeadline, &deadline);
  pa_time_event* grace = nullptr;
  bool satisfied;
  while (!(satisfied = done()) && !deadline.passed) {
    if (interrupted_ && !grace) {
      grace = pa_context_rttime_new(context_, pa_rtclock_now() + static_cast<pa_usec_t>(kInterruptGrace.count()) * 1000,
                                    onDeadline, &deadline);
      if (!grace) break;
      continue;  // the answer may already be here
    }
    pa_threaded_mainloop_wait(loop_);
  }
  if (timer) api->time_free(timer);
  if (grace) api->time_free(grace);
  return satisfied;
}

Session::~Session() {
  if (context_) {
    if (loop_) pa_threaded_mainloop_lock(loop_);
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    if (loop_) pa_threaded_mainloop_unlock(loop_);
  }
  if (loop_) {
    if (started_) pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }
}

bool Session::wait(pa_operation* operation) const {
  if (!operation) return false;
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING &&
         PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
    pa_threaded_mainloop_wait(loop_);
  }
  pa_operation_unref(operation);
  return true;
}

}  // namespace platform::pulse
