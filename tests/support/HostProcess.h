// A child process driven the way a host drives the agent: its standard
// input and output are pipes; the test writes lines, reads lines with a
// time-out, sends signals and collects the exit status. The child is killed
// if the object goes away before it has exited.
//
// The agent never writes to standard error, and neither may a library it
// loads: the child's standard error is a pipe too, and anything that arrives
// on it fails the test, with the bytes, when the child has ended (wait(), or
// the object going away). Spawned programs get TESMAR_KEEP_STDERR=1, which
// keeps the agent from pointing its standard error at /dev/null.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class HostProcess {
 public:
  // Runs `program` with `arguments` (argv[1...]); `environment` entries are
  // added to or replace the test's own environment, which gets
  // TESMAR_KEEP_STDERR=1 unless `environment` says otherwise.
  static HostProcess spawn(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment = {});
  // Runs `body` in a forked copy of the test process. `body` must end the
  // process (it is given stdin/stdout/stderr as the pipes); returning exits
  // 0. Its standard error is checked as a spawned program's is.
  static HostProcess fork(const std::function<void()>& body);
  // For a program that is not the agent (a browser, a helper server): what
  // it prints on its standard error is its own business and fails nothing.
  void allowStandardError() { errorChecked_ = true; }

  HostProcess(HostProcess&& other) noexcept;
  HostProcess& operator=(HostProcess&&) = delete;
  ~HostProcess();

  void write(const std::string& bytes);
  void writeLine(const std::string& line) { write(line + "\n"); }
  void closeInput();
  // Closes our end of the child's standard output, as a host that has gone
  // away does.
  void closeOutput();
  void signal(int sig);
  // Whether the child has installed a handler for `sig` (as the kernel
  // reports it in /proc).
  bool catches(int sig) const;
  int pid() const { return pid_; }

  // The next line of standard output (without its line feed), or nothing at
  // end of output or when `timeout` passes.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The next line parsed as JSON; a line that is not JSON fails the test.
  std::optional<nlohmann::json> readJson(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Reads lines until one whose "event" is `event`; the lines passed over
  // are appended to `skipped` when given.
  std::optional<nlohmann::json> readEvent(const std::string& event,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(10),
                                          std::vector<nlohmann::json>* skipped = nullptr);
  // Every remaining line until end of output (or until `timeout` passes).
  std::vector<std::string> readRemainingLines(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Whether the end of the output has been read.
  bool outputEnded() const { return outputEnded_ && pending_.empty(); }

  // The exit status (or 128 + signal), or nothing when it has not exited in
  // time (the child is then killed). Fails the test if the child wrote to
  // its standard error.
  std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // What the child wrote to its standard error so far.
  const std::string& standardError();

 private:
  HostProcess(int pid, int input, int output, int error) : pid_(pid), input_(input), output_(output), error_(error) {}
  // Reads what has arrived on standard error, without waiting.
  void drainError();
  // After the child has ended: the rest of standard error, and a failure of
  // the test if there was any.
  void checkError();
  int pid_;
  int input_;
  int output_;
  int error_;  // read end of the child's standard error, non-blocking
  std::string errorBytes_;
  bool errorChecked_ = false;
  std::string pending_;
  bool outputEnded_ = false;
  std::optional<int> status_;
};

}  // namespace testing_support
