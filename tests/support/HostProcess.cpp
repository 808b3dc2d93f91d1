#include "HostProcess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
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
};

Pipes makePipes() {
  Pipes p{};
  if (pipe2(p.toChild, O_CLOEXEC) != 0 || pipe2(p.fromChild, O_CLOEXEC) != 0) std::abort();
  return p;
}

// In the child: the pipes become standard input and output.
void becomeChild(const Pipes& p) {
  dup2(p.toChild[0], STDIN_FILENO);
  dup2(p.fromChild[1], STDOUT_FILENO);
  // Standard error goes nowhere: the agent must never need it.
  int devnull = open("/dev/null", O_WRONLY);
  if (devnull >= 0) dup2(devnull, STDERR_FILENO);
  setpgid(0, 0);
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
  close(p.toChild[0]);
  close(p.fromChild[1]);
  return HostProcess(pid, p.toChild[1], p.fromChild[0]);
}

HostProcess HostProcess::fork(const std::function<void()>& body) {
  Pipes p = makePipes();
  int pid = ::fork();
  if (pid == 0) {
    becomeChild(p);
    body();
    _exit(0);
  }
  close(p.toChild[0]);
  close(p.fromChild[1]);
  return HostProcess(pid, p.toChild[1], p.fromChild[0]);
}

HostProcess::HostProcess(HostProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::exchange(other.input_, -1)),
      output_(std::exchange(other.output_, -1)),
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
  if (input_ >= 0) close(input_);
  if (output_ >= 0) close(output_);
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
    pollfd fd{output_, POLLIN, 0};
    int ready = poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
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
    if (got == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      status_ = 128 + SIGKILL;
      ADD_FAILURE() << "child " << pid_ << " did not exit in time";
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace testing_support
