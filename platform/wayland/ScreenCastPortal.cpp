#include "platform/wayland/ScreenCastPortal.h"

#include <sdbus-c++/sdbus-c++.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace platform::wayland {

namespace {

const char* const kPortalName = "org.freedesktop.portal.Desktop";
const char* const kPortalPath = "/org/freedesktop/portal/desktop";
const char* const kScreenCast = "org.freedesktop.portal.ScreenCast";
const char* const kRequest = "org.freedesktop.portal.Request";
const char* const kSession = "org.freedesktop.portal.Session";
const char* const kInvalidArgument = "org.freedesktop.portal.Error.InvalidArgument";

using Options = std::map<std::string, sdbus::Variant>;
using StreamEntry = sdbus::Struct<uint32_t, std::map<std::string, sdbus::Variant>>;

// Response codes of org.freedesktop.portal.Request.
constexpr uint32_t kResponseSuccess = 0;
constexpr uint32_t kResponseCancelled = 1;

std::string describe(const sdbus::Error& error) {
  const std::string& message = error.getMessage();
  return message.empty() ? error.getName() : message;
}

template <typename T>
std::optional<T> read(const Options& options, const std::string& key) {
  auto it = options.find(key);
  if (it == options.end() || !it->second.containsValueOfType<T>()) return std::nullopt;
  try {
    return it->second.get<T>();
  } catch (const sdbus::Error&) {
    return std::nullopt;
  }
}

PortalError plain(std::string description) { return PortalError{Error{std::move(description)}, false}; }

}  // namespace

struct ScreenCastSession::Answer {
  uint32_t code = 0;
  Options results;
};

Result<std::unique_ptr<ScreenCastSession>> ScreenCastSession::connect() {
  std::unique_ptr<ScreenCastSession> session(new ScreenCastSession());
  session->wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (session->wakeFd_ < 0) return Error{"The screen-cast portal cannot be used (no event descriptor)."};
  try {
    session->connection_ = sdbus::createSessionBusConnection();
    session->portal_ = sdbus::createProxy(*session->connection_, kPortalName, kPortalPath);
    session->portal_->finishRegistration();
    session->bus_ = sdbus::createProxy(*session->connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    ScreenCastSession* self = session.get();
    session->bus_->uponSignal("NameOwnerChanged")
        .onInterface("org.freedesktop.DBus")
        .call([self](const std::string& name, const std::string&, const std::string& newOwner) {
          if (name == kPortalName && newOwner.empty() && !self->endReason_) {
            self->endReason_ = "The desktop portal left the session bus.";
          }
        });
    session->bus_->finishRegistration();
    std::string owner;
    session->bus_->callMethod("GetNameOwner").onInterface("org.freedesktop.DBus").withArguments(std::string(kPortalName)).storeResultsTo(owner);
    session->portalOwner_ = owner;
    try {
      sdbus::Variant version = session->portal_->getProperty("version").onInterface(kScreenCast);
      session->version_ = version.get<uint32_t>();
    } catch (const sdbus::Error&) {
      session->version_ = 0;
    }
    try {
      sdbus::Variant modes = session->portal_->getProperty("AvailableCursorModes").onInterface(kScreenCast);
      session->cursorModes_ = modes.get<uint32_t>();
    } catch (const sdbus::Error&) {
      session->cursorModes_ = 0;
    }
  } catch (const sdbus::Error& error) {
    return Error{"The desktop portal cannot be reached on the session bus (" + describe(error) + ")."};
  }
  if (session->version_ == 0) return Error{"The desktop portal offers no screen casting."};
  return session;
}

ScreenCastSession::~ScreenCastSession() {
  close();
  session_.reset();
  bus_.reset();
  portal_.reset();
  connection_.reset();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void ScreenCastSession::interrupt() {
  interrupted_.store(true);
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(wakeFd_, &one, sizeof one);
}

std::optional<Error> ScreenCastSession::processUntil(const std::function<bool()>& done,
                                                     std::chrono::steady_clock::time_point deadline) {
  while (true) {
    try {
      while (connection_->processPendingRequest()) {
        if (done()) return std::nullopt;
      }
    } catch (const sdbus::Error& error) {
      return Error{"The connection to the session bus broke (" + describe(error) + ")."};
    }
    if (done()) return std::nullopt;
    if (interrupted_.load() || closing_.load()) {
      Error error{"The wait for the desktop portal was interrupted."};
      error.interrupted = true;
      return error;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return Error{"The desktop portal did not answer in time."};
    sdbus::IConnection::PollData data = connection_->getEventLoopPollData();
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (std::optional<std::chrono::microseconds> busTimeout = data.getRelativeTimeout()) {
      wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(*busTimeout + std::chrono::microseconds(999)));
    }
    pollfd fds[2] = {{data.fd, data.events, 0}, {wakeFd_, POLLIN, 0}};
    const int timeout = static_cast<int>(std::clamp<int64_t>(wait.count(), 0, 60000));
    if (poll(fds, 2, timeout) < 0 && errno != EINTR) return Error{"The session bus cannot be waited on."};
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      return Error{"The connection to the session bus broke."};
    }
  }
}

PortalResult<ScreenCastSession::Answer> ScreenCastSession::request(
    const std::string& method, const std::optional<std::string>&, const std::function<void(std::string& token)>& call,
    std::chrono::milliseconds timeout) {
  std::string token = "tesmar" + std::to_string(getpid()) + "_" + std::to_string(++tokenCounter_);
  std::string sender = connection_->getUniqueName();
  if (!sender.empty() && sender.front() == ':') sender.erase(0, 1);
  std::replace(sender.begin(), sender.end(), '.', '_');
  const std::string path = std::string(kPortalPath) + "/request/" + sender + "/" + token;

  std::optional<Answer> answer;
  std::unique_ptr<sdbus::IProxy> requestProxy;
  try {
    // Subscribed before the call, so the answer cannot pass unseen.
    requestProxy = sdbus::createProxy(*connection_, kPortalName, path);
    requestProxy->uponSignal("Response").onInterface(kRequest).call([&answer](uint32_t code, const Options& results) {
      answer = Answer{code, results};
    });
    requestProxy->finishRegistration();
    call(token);
  } catch (const sdbus::Error& error) {
    PortalError failure = plain("The desktop portal refused " + method + " (" + describe(error) + ").");
    failure.tokenRejected = error.getName() == kInvalidArgument;
    return {std::nullopt, failure};
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (std::optional<Error> error = processUntil([&] { return answer.has_value() || endReason_.has_value(); }, deadline)) {
    return {std::nullopt, PortalError{*error, false}};
  }
  if (!answer) return {std::nullopt, plain(*endReason_)};
  return {std::move(answer), PortalError{}};
}

PortalResult<ScreenCastStart> ScreenCastSession::start(const ScreenCastRequest& ask) {
  // CreateSession.
  PortalResult<Answer> created = request(
      "CreateSession", std::nullopt,
      [this](std::string& token) {
        Options options{{"handle_token", sdbus::Variant(token)}, {"session_handle_token", sdbus::Variant(token)}};
        sdbus::ObjectPath handle;
        portal_->callMethod("CreateSession").onInterface(kScreenCast).withArguments(options).storeResultsTo(handle);
      },
      ask.answerTimeout);
  if (!created.ok()) return {std::nullopt, created.failure};
  if (created.value->code != kResponseSuccess) return {std::nullopt, plain("The desktop refused a screen-cast session.")};
  std::optional<std::string> handle = read<std::string>(created.value->results, "session_handle");
  if (!handle) {
    if (auto path = read<sdbus::ObjectPath>(created.value->results, "session_handle")) handle = *path;
  }
  if (!handle) return {std::nullopt, plain("The desktop portal gave no screen-cast session.")};
  sessionHandle_ = *handle;
  try {
    session_ = sdbus::createProxy(*connection_, kPortalName, sessionHandle_);
    session_->uponSignal("Closed").onInterface(kSession).call([this](const Options&) {
      if (!endReason_) endReason_ = "The desktop closed the screen-cast session.";
    });
    session_->finishRegistration();
  } catch (const sdbus::Error& error) {
    return {std::nullopt, plain("The screen-cast session cannot be watched (" + describe(error) + ").")};
  }

  // SelectSources: monitors, the cursor as asked, a grant kept until revoked.
  const bool offeredToken = ask.restoreToken.has_value() && !ask.restoreToken->empty();
  PortalResult<Answer> selected = request(
      "SelectSources", sessionHandle_,
      [&](std::string& token) {
        Options options{{"handle_token", sdbus::Variant(token)},
                        {"types", sdbus::Variant(ask.sourceTypes)},
                        {"multiple", sdbus::Variant(false)}};
        // The cursor mode asked for when offered, else none (the portal's
        // default): the portal refuses a mode it does not offer.
        if (version_ >= 2 && (cursorModes_ & ask.cursorMode) != 0) options["cursor_mode"] = sdbus::Variant(ask.cursorMode);
        if (version_ >= 4) {
          options["persist_mode"] = sdbus::Variant(ask.persistMode);
          if (offeredToken) options["restore_token"] = sdbus::Variant(*ask.restoreToken);
        }
        sdbus::ObjectPath requestHandle;
        portal_->callMethod("SelectSources")
            .onInterface(kScreenCast)
            .withArguments(sdbus::ObjectPath(sessionHandle_), options)
            .storeResultsTo(requestHandle);
      },
      ask.answerTimeout);
  if (!selected.ok()) {
    PortalError failure = selected.failure;
    failure.tokenRejected = failure.tokenRejected && offeredToken;
    if (failure.tokenRejected) failure.error.permissionDenied = true;
    return {std::nullopt, failure};
  }
  if (selected.value->code != kResponseSuccess) {
    PortalError failure = plain(selected.value->code == kResponseCancelled ? "The screen-cast selection was declined."
                                                                           : "The desktop refused the screen-cast selection.");
    failure.error.permissionDenied = selected.value->code == kResponseCancelled;
    failure.tokenRejected = offeredToken && failure.error.permissionDenied;
    return {std::nullopt, failure};
  }

  // Start: the dialog, unless the token stands in for it.
  PortalResult<Answer> startedAnswer = request(
      "Start", sessionHandle_,
      [&](std::string& token) {
        Options options{{"handle_token", sdbus::Variant(token)}};
        sdbus::ObjectPath requestHandle;
        portal_->callMethod("Start")
            .onInterface(kScreenCast)
            .withArguments(sdbus::ObjectPath(sessionHandle_), std::string(), options)
            .storeResultsTo(requestHandle);
      },
      ask.answerTimeout);
  if (!startedAnswer.ok()) return {std::nullopt, startedAnswer.failure};
  if (startedAnswer.value->code != kResponseSuccess) {
    const bool declined = startedAnswer.value->code == kResponseCancelled;
    PortalError failure = plain(declined ? "The person at the desktop declined the screen cast."
                                         : "The desktop could not start the screen cast.");
    failure.error.permissionDenied = declined;
    failure.tokenRejected = offeredToken && declined;
    return {std::nullopt, failure};
  }

  ScreenCastStart started;
  started.restoreToken = read<std::string>(startedAnswer.value->results, "restore_token");
  if (auto streams = read<std::vector<StreamEntry>>(startedAnswer.value->results, "streams")) {
    for (const StreamEntry& entry : *streams) {
      PortalStream stream;
      stream.nodeId = entry.get<0>();
      const Options& properties = entry.get<1>();
      if (auto position = read<sdbus::Struct<int32_t, int32_t>>(properties, "position")) {
        stream.position = Point{static_cast<double>(position->get<0>()), static_cast<double>(position->get<1>())};
      }
      if (auto size = read<sdbus::Struct<int32_t, int32_t>>(properties, "size")) {
        stream.size = Size{static_cast<double>(size->get<0>()), static_cast<double>(size->get<1>())};
      }
      stream.sourceType = read<uint32_t>(properties, "source_type");
      started.streams.push_back(stream);
    }
  }
  if (started.streams.empty()) return {std::nullopt, plain("The desktop shared no screen.")};
  return {std::move(started), PortalError{}};
}

Result<int> ScreenCastSession::openPipeWireRemote() {
  try {
    sdbus::UnixFd fd;
    portal_->callMethod("OpenPipeWireRemote")
        .onInterface(kScreenCast)
        .withArguments(sdbus::ObjectPath(sessionHandle_), Options{})
        .storeResultsTo(fd);
    const int owned = fd.release();
    if (owned < 0) return Error{"The desktop portal gave no PipeWire connection."};
    return owned;
  } catch (const sdbus::Error& error) {
    return Error{"The desktop portal gave no PipeWire connection (" + describe(error) + ")."};
  }
}

void ScreenCastSession::watch(std::function<void(const std::string& reason)> ended) {
  if (watcher_.joinable() || closing_.load()) return;
  ended_ = std::move(ended);
  if (endReason_) {
    reportEnd(*endReason_);
    return;
  }
  watcher_ = std::thread([this] { watchLoop(); });
}

void ScreenCastSession::watchLoop() {
  std::optional<Error> error = processUntil([this] { return endReason_.has_value(); },
                                            std::chrono::steady_clock::time_point::max());
  if (closing_.load()) return;
  if (endReason_) {
    reportEnd(*endReason_);
  } else if (error && !error->interrupted) {
    reportEnd(error->description);
  }
}

void ScreenCastSession::reportEnd(const std::string& reason) {
  if (closing_.load() || endReported_.exchange(true)) return;
  if (ended_) ended_(reason);
}

void ScreenCastSession::close() {
  if (closing_.exchange(true)) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(wakeFd_, &one, sizeof one);
  if (watcher_.joinable()) watcher_.join();
  if (session_ && !endReason_) {
    try {
      sdbus::MethodCall call = session_->createMethodCall(kSession, "Close");
      session_->callMethod(call, 500000);
    } catch (const sdbus::Error&) {
      // The session ends with the connection anyway.
    }
  }
}

}  // namespace platform::wayland
