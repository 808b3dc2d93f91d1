#include "WaylandDesktop.h"

#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;

int statusOf(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

std::optional<int> waitPid(pid_t pid, Clock::time_point deadline) {
  while (true) {
    int raw = 0;
    const pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done == pid) return statusOf(raw);
    if (done < 0) return -1;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

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

std::string portalBinary() { return std::string(TESMAR_SOURCE_DIR) + "/build-portal-wlr/install/libexec/xdg-desktop-portal-wlr"; }
std::string portalDefinitions() { return std::string(TESMAR_SOURCE_DIR) + "/build-portal-wlr/install/share/xdg-desktop-portal/portals"; }

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

void writeFile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) throw std::runtime_error("cannot write " + path);
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

}  // namespace

std::optional<std::string> WaylandDesktop::missingPart() {
  for (const char* program : {"sway", "swaymsg", "pipewire", "wireplumber", "dbus-daemon", "dbus-send", "pactl",
                              "setpriv"}) {
    if (!onPath(program)) return std::string(program) + " is not installed (scripts/bootstrap)";
  }
  if (access("/usr/libexec/xdg-desktop-portal", X_OK) != 0) return "xdg-desktop-portal is not installed";
  if (access(portalBinary().c_str(), X_OK) != 0) return "the portal backend is not built (scripts/build-portal-wlr)";
  return std::nullopt;
}

WaylandDesktop::WaylandDesktop(Options options) : options_(options) {
  dropPrivileges_ = geteuid() == 0;
  char pattern[] = "/tmp/tesmar-wayland-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot create the runtime directory");
  runtimeDir_ = pattern;
  for (const char* sub : {"/home", "/state", "/config", "/out"}) mkdir((runtimeDir_ + sub).c_str(), 0700);
  chmod(runtimeDir_.c_str(), 0700);
  if (dropPrivileges_) {
    const passwd* nobody = getpwnam("nobody");
    if (!nobody) throw std::runtime_error("no user nobody");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(runtimeDir_)) {
      if (lchown(entry.path().c_str(), nobody->pw_uid, nobody->pw_gid) != 0) throw std::runtime_error("chown failed");
    }
    if (lchown(runtimeDir_.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) throw std::runtime_error("chown failed");
  }
  try {
    startBus();
    startPipeWire();
    startSway();
    if (options_.portal) startPortal();
  } catch (...) {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) stop(*it);
    std::error_code ignored;
    std::filesystem::remove_all(runtimeDir_, ignored);
    throw;
  }
}

WaylandDesktop::~WaylandDesktop() {
  for (auto it = children_.rbegin(); it != children_.rend(); ++it) stop(*it);
  std::error_code ignored;
  std::filesystem::remove_all(runtimeDir_, ignored);
}

std::string WaylandDesktop::newOutputDir(const std::string& name) const { return runtimeDir_ + "/out/" + name; }

std::map<std::string, std::string> WaylandDesktop::environment() const {
  std::map<std::string, std::string> env{{"XDG_RUNTIME_DIR", runtimeDir_},
                                         {"HOME", runtimeDir_ + "/home"},
                                         {"XDG_STATE_HOME", runtimeDir_ + "/state"},
                                         {"XDG_CONFIG_HOME", runtimeDir_ + "/config"},
                                         {"XDG_SESSION_TYPE", "wayland"},
                                         {"XDG_CURRENT_DESKTOP", "sway"},
                                         {"WAYLAND_DISPLAY", "wayland-1"},
                                         {"DISPLAY", ""},
                                         {"PULSE_SERVER", "unix:" + runtimeDir_ + "/pulse/native"}};
  if (!busAddress_.empty()) env["DBUS_SESSION_BUS_ADDRESS"] = busAddress_;
  if (!swaySocket_.empty()) env["SWAYSOCK"] = swaySocket_;
  return env;
}

std::vector<std::string> WaylandDesktop::asDesktopUser(const std::vector<std::string>& argv) const {
  if (!dropPrivileges_) return argv;
  std::vector<std::string> wrapped{"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                   "--pdeathsig", "KILL", "--"};
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  return wrapped;
}

std::vector<std::string> WaylandDesktop::childEnvironment() const {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const size_t eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : environment()) env[name] = value;
  env.erase("DISPLAY");
  if (busAddress_.empty()) env.erase("DBUS_SESSION_BUS_ADDRESS");
  std::vector<std::string> strings;
  for (const auto& [name, value] : env) strings.push_back(name + "=" + value);
  return strings;
}

pid_t WaylandDesktop::start(const std::vector<std::string>& command, const std::string& logName, int extraFd) {
  std::vector<std::string> argStrings = asDesktopUser(command);
  std::vector<std::string> envStrings = childEnvironment();
  std::vector<char*> args;
  for (std::string& a : argStrings) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string logPath = "/tmp/tesmar-wayland-logs-" + std::to_string(getpid()) + "-" + logName + ".log";
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    if (chdir("/") != 0) _exit(127);
    const int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) dup2(devnull, STDIN_FILENO);
    const char* keep = std::getenv("TESMAR_WAYLAND_LOGS");
    const int log = keep && *keep ? open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600) : devnull;
    if (log >= 0) {
      dup2(log, STDOUT_FILENO);
      dup2(log, STDERR_FILENO);
    }
    if (extraFd >= 0) dup2(extraFd, 3);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  setpgid(pid, pid);
  children_.push_back(Child{pid, logName});
  return pid;
}

pid_t WaylandDesktop::spawn(const std::vector<std::string>& argv) {
  return start(argv, std::filesystem::path(argv.front()).filename().string() + "-" + std::to_string(children_.size()));
}

int WaylandDesktop::run(const std::vector<std::string>& command, std::string* output, std::chrono::milliseconds timeout) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  std::vector<std::string> argStrings = asDesktopUser(command);
  std::vector<std::string> envStrings = childEnvironment();
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
    if (chdir("/") != 0) _exit(127);
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
  std::optional<int> status = waitPid(pid, deadline);
  if (!status) {
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  if (output) *output = text;
  return *status;
}

int WaylandDesktop::runInForeground(const std::vector<std::string>& command) {
  std::vector<std::string> argStrings = asDesktopUser(command);
  std::vector<std::string> envStrings = childEnvironment();
  std::vector<char*> args;
  for (std::string& a : argStrings) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  return statusOf(raw);
}

bool WaylandDesktop::waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!ready()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool WaylandDesktop::busNameOwned(const std::string& name) {
  std::string reply;
  return run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
              "org.freedesktop.DBus.NameHasOwner", "string:" + name},
             &reply, std::chrono::seconds(2)) == 0 &&
         reply.find("boolean true") != std::string::npos;
}

void WaylandDesktop::startBus() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  start({"dbus-daemon", "--session", "--nofork", "--nosyslog", "--address=unix:path=" + runtimeDir_ + "/bus",
         "--print-address=3"},
        "dbus", fds[1]);
  close(fds[1]);
  std::string address = readUntil(fds[0], Clock::now() + std::chrono::seconds(10), true);
  close(fds[0]);
  if (address.find('\n') == std::string::npos) throw std::runtime_error("dbus-daemon did not start");
  busAddress_ = address.substr(0, address.find('\n'));
}

void WaylandDesktop::startPipeWire() {
  start({"pipewire"}, "pipewire");
  if (!waitUntil([&] { return access((runtimeDir_ + "/pipewire-0").c_str(), F_OK) == 0; }, std::chrono::seconds(10)))
    throw std::runtime_error("pipewire did not start");
  start({"wireplumber"}, "wireplumber");
  if (!options_.audio) return;
  start({"pipewire", "-c", "pipewire-pulse.conf"}, "pipewire-pulse");
  if (!waitUntil([&] { return run({"pactl", "info"}, nullptr, std::chrono::seconds(2)) == 0; }, std::chrono::seconds(10)))
    throw std::runtime_error("pipewire-pulse did not start");
  // The test sink, made and chosen as the default in one step, by its index
  // (a name is not always known to the server yet right after the module
  // loads); retried as a whole until the server reports it as the default.
  bool ready = false;
  for (int attempt = 0; attempt < 20 && !ready; ++attempt) {
    std::string module;
    if (run({"pactl", "load-module", "module-null-sink", "sink_name=rec", "rate=48000", "channels=2"}, &module) != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    std::string sinks;
    std::string index;
    waitUntil(
        [&] {
          if (run({"pactl", "list", "short", "sinks"}, &sinks) != 0) return false;
          std::istringstream lines(sinks);
          std::string line;
          while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string id, name;
            fields >> id >> name;
            if (name == "rec") index = id;
          }
          return !index.empty();
        },
        std::chrono::seconds(3));
    std::string current;
    ready = !index.empty() && run({"pactl", "set-default-sink", index}) == 0 &&
            waitUntil(
                [&] {
                  return run({"pactl", "get-default-sink"}, &current) == 0 && current.rfind("rec", 0) == 0;
                },
                std::chrono::seconds(3));
    if (!ready) {
      std::string id = module.substr(0, module.find('\n'));
      if (!id.empty()) run({"pactl", "unload-module", id});
    }
  }
  if (!ready) throw std::runtime_error("the sink rec could not be made the default");
}

void WaylandDesktop::startSway() {
  const std::string config = runtimeDir_ + "/config/sway.conf";
  writeFile(config, "output HEADLESS-1 mode " + std::to_string(options_.width) + "x" + std::to_string(options_.height) +
                        " position 0 0 bg #000000 solid_color\n"
                        "default_border none\n");
  if (dropPrivileges_) {
    const passwd* nobody = getpwnam("nobody");
    if (nobody && chown(config.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) throw std::runtime_error("chown failed");
  }
  // sway reads the renderer and backend from its environment.
  setenv("WLR_BACKENDS", "headless", 1);
  setenv("WLR_RENDERER", "pixman", 1);
  setenv("WLR_LIBINPUT_NO_DEVICES", "1", 1);
  const pid_t pid = start({"sway", "-c", config}, "sway");
  unsetenv("WLR_BACKENDS");
  unsetenv("WLR_RENDERER");
  unsetenv("WLR_LIBINPUT_NO_DEVICES");
  (void)pid;
  const bool up = waitUntil(
      [&] {
        if (access((runtimeDir_ + "/wayland-1").c_str(), F_OK) != 0) return false;
        glob_t found{};
        const std::string pattern = runtimeDir_ + "/sway-ipc.*.sock";
        if (glob(pattern.c_str(), 0, nullptr, &found) == 0 && found.gl_pathc > 0) swaySocket_ = found.gl_pathv[0];
        globfree(&found);
        if (swaySocket_.empty()) return false;
        std::string outputs;
        return swaymsg({"-t", "get_outputs", "-r"}, &outputs) && outputs.find("HEADLESS-1") != std::string::npos;
      },
      std::chrono::seconds(15));
  if (!up) throw std::runtime_error("sway did not start");
}

void WaylandDesktop::startPortal() {
  const std::string config = runtimeDir_ + "/config/xdpw.conf";
  writeFile(config, "[screencast]\nchooser_type=none\noutput_name=HEADLESS-1\n");
  if (dropPrivileges_) {
    const passwd* nobody = getpwnam("nobody");
    if (nobody && chown(config.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) throw std::runtime_error("chown failed");
  }
  start({"env", "XDPW_PERSIST_MODE=permanent", portalBinary(), "-l", "INFO", "-c", config}, "portal-wlr");
  if (!waitUntil([&] { return busNameOwned("org.freedesktop.impl.portal.desktop.wlr"); }, std::chrono::seconds(10)))
    throw std::runtime_error("xdg-desktop-portal-wlr did not start");
  start({"env", "XDG_DESKTOP_PORTAL_DIR=" + portalDefinitions(), "/usr/libexec/xdg-desktop-portal", "-r"}, "portal");
  if (!waitUntil([&] { return busNameOwned("org.freedesktop.portal.Desktop"); }, std::chrono::seconds(10)))
    throw std::runtime_error("xdg-desktop-portal did not start");
}

bool WaylandDesktop::swaymsg(const std::vector<std::string>& args, std::string* output) {
  std::vector<std::string> argv{"swaymsg", "-s", swaySocket_};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, output, std::chrono::seconds(5)) == 0;
}

bool WaylandDesktop::paint(uint32_t rgb) {
  char colour[16];
  std::snprintf(colour, sizeof colour, "#%06X", rgb & 0xFFFFFF);
  return swaymsg({"output", "HEADLESS-1", "bg", colour, "solid_color"});
}

void WaylandDesktop::stop(Child& child) {
  if (child.pid <= 0) return;
  kill(-child.pid, SIGTERM);
  if (!waitPid(child.pid, Clock::now() + std::chrono::seconds(3))) {
    kill(-child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
  }
  kill(-child.pid, SIGKILL);
  child.pid = 0;
}

void WaylandDesktop::stopNamed(const std::string& name) {
  for (Child& child : children_) {
    if (child.name == name) stop(child);
  }
}

void WaylandDesktop::killPortal() { stopNamed("portal"); }
void WaylandDesktop::killPortalBackend() { stopNamed("portal-wlr"); }
void WaylandDesktop::killPipeWire() {
  stopNamed("pipewire-pulse");
  stopNamed("pipewire");
}

}  // namespace testing_support
