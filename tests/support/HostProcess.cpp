#include "HostProcess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testing_support {

namespace {

struct Pipes {
  int toChild[2];
  int fromChild[2];
  int errorFromChild[2];
};

Pipes makePipes() {
  Pipes p{};
  if (pipe2(p.toChild, O_CLOEXEC) != 0 || pipe2(p.fromChild, O_CLOEXEC) != 0 ||
      pipe2(p.errorFromChild, O_CLOEXEC) != 0) {
    std::abort();
  }
  return p;
}

// In the child: the pipes become standard input, output and error.
void becomeChild(const Pipes& p) {
  dup2(p.toChild[0], STDIN_FILENO);
  dup2(p.fromChild[1], STDOUT_FILENO);
  dup2(p.errorFromChild[1], STDERR_FILENO);
  setpgid(0, 0);
}

// In the parent: keeps its ends of the pipes.
void becomeParent(const Pipes& p) {
  close(p.toChild[0]);
  close(p.fromChild[1]);
  close(p.errorFromChild[1]);
  fcntl(p.errorFromChild[0], F_SETFL, fcntl(p.errorFromChild[0], F_GETFL) | O_NONBLOCK);
}

}  // namespace

HostProcess HostProcess::spawn(const std::string& program, const std::vector<std::string>& arguments,
                               const std::map<std::string, std::string>& environment) {
  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  env["TESMAR_KEEP_STDERR"] = "1";
  for (const auto& [k, v] : environment) env[k] = v;
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);

  Pipes p = makePipes();
  int pid = ::fork();
  if (pid == 0) {
    becomeChild(p);
    std::vector<char*> argv, envp;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  becomeParent(p);
  return HostProcess(pid, p.toChild[1], p.fromChild[0], p.errorFromChild[0]);
}

HostProcess HostProcess::fork(const std::function<void()>& body) {
  Pipes p = makePipes();
  int pid = ::fork();
  if (pid == 0) {
    becomeChild(p);
    body();
    _exit(0);
  }
  becomeParent(p);
  return HostProcess(pid, p.toChild[1], p.fromChild[0], p.errorFromChild[0]);
}

HostProcess::HostProcess(HostProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::exchange(other.input_, -1)),
      output_(std::exchange(other.output_, -1)),
      error_(std::exchange(other.error_, -1)),
      errorBytes_(std::move(other.errorBytes_)),
      errorChecked_(other.errorChecked_),
      pending_(std::move(other.pending_)),
      outputEnded_(other.outputEnded_),
      status_(other.status_) {}

HostProcess::~HostProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  if (pid_ > 0) checkError();
  if (input_ >= 0) close(input_);
  if (output_ >= 0) close(output_);
  if (error_ >= 0) close(error_);
}

void HostProcess::drainError() {
  if (error_ < 0) return;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(error_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;  // nothing more for now
    if (n == 0) {       // every writer has closed it (the agent may point it at /dev/null)
      close(error_);
      error_ = -1;
      return;
    }
    errorBytes_.append(buffer, static_cast<size_t>(n));
  }
}

const std::string& HostProcess::standardError() {
  drainError();
  return errorBytes_;
}

void HostProcess::checkError() {
  if (errorChecked_) return;
  errorChecked_ = true;
  // The child has ended; a process it started may still hold the pipe, so
  // the rest is read for a short while rather than to its end.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  while (error_ >= 0) {
    drainError();
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (error_ < 0) break;
    pollfd fd{error_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
  }
  EXPECT_EQ(errorBytes_, "") << "child " << pid_ << " wrote " << errorBytes_.size()
                             << " bytes to its standard error:\n" << errorBytes_;
}

void HostProcess::write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(input_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the child has gone
    done += static_cast<size_t>(n);
  }
}

void HostProcess::closeInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

void HostProcess::closeOutput() {
  if (output_ >= 0) close(output_);
  output_ = -1;
  outputEnded_ = true;
}

void HostProcess::signal(int sig) { ::kill(pid_, sig); }

bool HostProcess::catches(int sig) const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
  }
  return false;
}

std::optional<std::string> HostProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    if (outputEnded_) return std::nullopt;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd fds[2] = {{output_, POLLIN, 0}, {error_, POLLIN, 0}};
    int ready = poll(fds, error_ >= 0 ? 2 : 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    if (fds[1].revents != 0) drainError();  // keeps a child from blocking on a full pipe
    if (fds[0].revents == 0) continue;
    char buffer[65536];
    ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      outputEnded_ = true;
      continue;
    }
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

std::optional<nlohmann::json> HostProcess::readJson(std::chrono::milliseconds timeout) {
  auto line = readLine(timeout);
  if (!line) return std::nullopt;
  auto value = nlohmann::json::parse(*line, nullptr, false);
  EXPECT_FALSE(value.is_discarded()) << "not a JSON line: " << *line;
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::optional<nlohmann::json> HostProcess::readEvent(const std::string& event, std::chrono::milliseconds timeout,
                                                     std::vector<nlohmann::json>* skipped) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto value = readJson(left);
    if (!value) return std::nullopt;
    if (value->is_object() && value->value("event", "") == event) return value;
    if (skipped) skipped->push_back(*value);
  }
}

std::vector<std::string> HostProcess::readRemainingLines(std::chrono::milliseconds timeout) {
  std::vector<std::string> lines;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    auto line = readLine(std::max(left, std::chrono::milliseconds(0)));
    if (!line) break;
    lines.push_back(*line);
  }
  if (!pending_.empty() && outputEnded_) {
    lines.push_back(pending_);  // a last line without its line feed
    pending_.clear();
  }
  return lines;
}

std::optional<int> HostProcess::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    int got = waitpid(pid_, &status, WNOHANG);
    drainError();
    if (got == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      checkError();
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      status_ = 128 + SIGKILL;
      ADD_FAILURE() << "child " << pid_ << " did not exit in time";
      checkError();
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace testing_support
