#include "VirtualDesktop.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;

// Exit status of a reaped child: its code, or 128 + signal.
int statusOf(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

// Waits for `pid` until `deadline`; its status, or nothing.
std::optional<int> waitUntil(pid_t pid, Clock::time_point deadline) {
  while (true) {
    int raw = 0;
    const pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done == pid) return statusOf(raw);
    if (done < 0) return -1;  // not ours (anymore)
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Reads what `fd` delivers until it closes or `deadline` passes.
std::string readUntil(int fd, Clock::time_point deadline, bool stopAtNewline) {
  std::string text;
  char buffer[4096];
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (poll(&p, 1, static_cast<int>(std::max<int64_t>(left, 0))) <= 0) break;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (stopAtNewline && text.find('\n') != std::string::npos) break;
  }
  return text;
}

}  // namespace

VirtualDesktop::VirtualDesktop(Options options) : options_(options) {
  if (options_.microphone) options_.audio = true;
  char pattern[] = "/tmp/tesmar-desktop-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot create the runtime directory");
  runtimeDir_ = pattern;
  chmod(runtimeDir_.c_str(), 0700);
  try {
    startXServer();
    if (options_.windowManager) startWindowManager();
    if (options_.audio) startAudioServer();
  } catch (...) {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) stop(*it);
    std::filesystem::remove_all(runtimeDir_);
    throw;
  }
}

VirtualDesktop::~VirtualDesktop() {
  for (auto it = children_.rbegin(); it != children_.rend(); ++it) stop(*it);
  std::error_code ignored;
  std::filesystem::remove_all(runtimeDir_, ignored);
}

std::map<std::string, std::string> VirtualDesktop::environment() const {
  std::map<std::string, std::string> env{{"DISPLAY", display_}, {"XDG_RUNTIME_DIR", runtimeDir_}};
  if (options_.audio) env["PULSE_SERVER"] = "unix:" + runtimeDir_ + "/pulse/native";
  return env;
}

void VirtualDesktop::useInThisProcess() const {
  for (const auto& [name, value] : environment()) setenv(name.c_str(), value.c_str(), 1);
  if (!options_.audio) unsetenv("PULSE_SERVER");
}

std::vector<std::string> VirtualDesktop::childEnvironment() const {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const size_t eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  if (!options_.audio) env.erase("PULSE_SERVER");
  for (const auto& [name, value] : environment()) env[name] = value;
  if (display_.empty()) env.erase("DISPLAY");
  std::vector<std::string> strings;
  for (const auto& [name, value] : env) strings.push_back(name + "=" + value);
  return strings;
}

pid_t VirtualDesktop::start(const std::vector<std::string>& argv, const std::string& logName, int extraFd) {
  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> envStrings = childEnvironment();
  std::vector<char*> args;
  std::vector<std::string> argStrings = argv;
  for (std::string& a : argStrings) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string logPath = runtimeDir_ + "/" + logName + ".log";
  const pid_t parent = getpid();

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, STDIN_FILENO);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (log >= 0) {
      dup2(log, STDOUT_FILENO);
      dup2(log, STDERR_FILENO);
    }
    if (extraFd >= 0) dup2(extraFd, 3);  // clears close-on-exec on fd 3
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  setpgid(pid, pid);
  children_.push_back(Child{pid, logName});
  return pid;
}

void VirtualDesktop::startXServer() {
  // -displayfd: the server picks a free display number itself (under its
  // lock files, so parallel tests never collide) and writes it once it
  // accepts connections.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  // With a display number already chosen (a restart), the server takes
  // that one and still writes it once it accepts connections.
  const std::string screen = std::to_string(options_.width) + "x" + std::to_string(options_.height) + "x24";
  std::vector<std::string> argv{"Xvfb"};
  if (!display_.empty()) argv.push_back(display_);
  for (const char* arg : {"-displayfd", "3", "-screen", "0"}) argv.push_back(arg);
  argv.push_back(screen);
  for (const char* arg : {"+extension", "RANDR", "+extension", "Composite", "+extension", "MIT-SHM", "+extension",
                          "DAMAGE", "+extension", "XFIXES", "+extension", "XInputExtension", "+extension", "XTEST",
                          "-nolisten", "tcp", "-noreset"}) {
    argv.push_back(arg);
  }
  start(argv, "xvfb", fds[1]);
  xServer_ = children_.size() - 1;
  close(fds[1]);
  const std::string number = readUntil(fds[0], Clock::now() + std::chrono::seconds(15), true);
  close(fds[0]);
  if (number.empty() || number.find('\n') == std::string::npos) throw std::runtime_error("Xvfb did not start");
  display_ = ":" + number.substr(0, number.find('\n'));
}

void VirtualDesktop::startWindowManager() {
  // openbox runs its --startup command once it manages the screen: it
  // writes to a FIFO this side waits on.
  const std::string fifo = runtimeDir_ + "/wm-ready";
  if (mkfifo(fifo.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
  const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  start({"openbox", "--sm-disable", "--startup", "sh -c 'echo ready > " + fifo + "'"}, "openbox");
  windowManager_ = children_.size() - 1;
  // Reading a FIFO whose writer has not opened it yet polls as hung up;
  // poll again until the line arrives.
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  std::string line;
  while (line.empty() && Clock::now() < deadline) {
    line = readUntil(fd, deadline, true);
    if (line.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  close(fd);
  if (line.empty()) throw std::runtime_error("openbox did not start");
}

void VirtualDesktop::startAudioServer() {
  start({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n",
         "--load=module-native-protocol-unix auth-anonymous=1", "--load=module-null-sink sink_name=rec"},
        "pulseaudio");
  audioServer_ = children_.size() - 1;
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  while (run({"pactl", "info"}, nullptr, std::chrono::seconds(2)) != 0) {
    if (Clock::now() >= deadline) throw std::runtime_error("pulseaudio did not start");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  bool configured = run({"pactl", "set-default-sink", "rec"}) == 0;
  if (options_.microphone) {
    std::string ignored;
    configured = configured &&
                 run({"pactl", "load-module", "module-sine-source", "source_name=sinemic", "frequency=440", "rate=48000"},
                     &ignored) == 0 &&
                 run({"pactl", "set-default-source", "sinemic"}) == 0;
  }
  if (!configured) throw std::runtime_error("pulseaudio could not be configured");
}

pid_t VirtualDesktop::spawn(const std::vector<std::string>& argv) {
  return start(argv, std::filesystem::path(argv.front()).filename().string() + "-" + std::to_string(children_.size()));
}

int VirtualDesktop::run(const std::vector<std::string>& argv, std::string* output, std::chrono::milliseconds timeout) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  std::vector<std::string> envStrings = childEnvironment();
  std::vector<std::string> argStrings = argv;
  std::vector<char*> args;
  for (std::string& a : argStrings) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t parent = getpid();

  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, STDIN_FILENO);
      dup2(devnull, STDERR_FILENO);
    }
    dup2(fds[1], STDOUT_FILENO);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  const auto deadline = Clock::now() + timeout;
  std::string text = readUntil(fds[0], deadline, false);
  close(fds[0]);
  std::optional<int> status = waitUntil(pid, deadline);
  if (!status) {
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  if (output) *output = text;
  return *status;
}

std::optional<uint32_t> VirtualDesktop::waitForWindow(const std::string& wmClass, std::chrono::milliseconds timeout) {
  std::string output;
  if (run({"xdotool", "search", "--sync", "--onlyvisible", "--class", "^" + wmClass + "$"}, &output, timeout) != 0) {
    return std::nullopt;
  }
  try {
    return static_cast<uint32_t>(std::stoul(output));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void VirtualDesktop::splitIntoTwoMonitors(bool rightIsPrimary) {
  const int half = options_.width / 2;
  // Physical sizes in millimetres, for about 96 dots per inch.
  const std::string size = std::to_string(half) + "/" + std::to_string(half * 254 / 960) + "x" +
                           std::to_string(options_.height) + "/" + std::to_string(options_.height * 254 / 960);
  std::string ignored;
  const bool done =
      run({"xrandr", "--setmonitor", std::string(rightIsPrimary ? "" : "*") + "LEFT", size + "+0+0", "screen"}, &ignored) == 0 &&
      run({"xrandr", "--setmonitor", std::string(rightIsPrimary ? "*" : "") + "RIGHT", size + "+" + std::to_string(half) + "+0", "none"},
          &ignored) == 0;
  if (!done) throw std::runtime_error("xrandr --setmonitor failed");
}

void VirtualDesktop::killXServer() {
  if (windowManager_) stop(children_[*windowManager_]);
  if (xServer_) stop(children_[*xServer_]);
}

void VirtualDesktop::restartXServer() {
  killXServer();
  startXServer();
}

void VirtualDesktop::killAudioServer() {
  if (audioServer_) stop(children_[*audioServer_]);
}

void VirtualDesktop::stop(Child& child) {
  if (child.pid <= 0) return;
  kill(-child.pid, SIGTERM);
  if (!waitUntil(child.pid, Clock::now() + std::chrono::seconds(3))) {
    kill(-child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
  }
  kill(-child.pid, SIGKILL);  // whatever of its group is left
  child.pid = 0;
}

}  // namespace testing_support
