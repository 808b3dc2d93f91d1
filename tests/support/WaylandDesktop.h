// A private headless Wayland desktop for one test: a session D-Bus, PipeWire
// with WirePlumber and its PulseAudio server (a null sink "rec" as the
// default sink: its monitor is the system audio), headless sway (one output
// HEADLESS-1, pixman rendering, no input devices), the screen-cast portal
// backend for wlroots (built by scripts/build-portal-wlr, with
// chooser_type=none and output_name=HEADLESS-1 standing in for the person
// at the dialog, and restore tokens handed out) and xdg-desktop-portal.
//
// sway refuses to run as root: when the test runs as root, every process of
// the desktop (and the agent, through agentCommand()) runs as `nobody`,
// with a private runtime directory (0700) it owns; the output folders the
// tests record into are made inside it.
//
// The constructor returns once every part answers (throws
// std::runtime_error when one does not). The destructor kills every process
// it started (whole process groups) and removes the runtime directory; the
// processes also die with the test process (SIGKILL on its death).
//
// Not thread-safe: use one desktop from the test's main thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class WaylandDesktop {
 public:
  struct Options {
    int width = 1920;
    int height = 1080;
    bool audio = true;   // pipewire-pulse and the sink "rec"
    bool portal = true;  // portal-wlr and xdg-desktop-portal
  };

  explicit WaylandDesktop(Options options);
  WaylandDesktop() : WaylandDesktop(Options{}) {}
  ~WaylandDesktop();
  WaylandDesktop(const WaylandDesktop&) = delete;
  WaylandDesktop& operator=(const WaylandDesktop&) = delete;

  // Whether this machine can run the desktop (sway, PipeWire and the built
  // portal are there), and if not, why.
  static std::optional<std::string> missingPart();

  const std::string& runtimeDir() const { return runtimeDir_; }
  // Where the agent keeps its grant on this desktop.
  std::string tokenPath() const { return runtimeDir_ + "/state/tesmar-recorder/screencast-restore-token"; }
  // A new folder the desktop's user may write into (does not exist yet).
  std::string newOutputDir(const std::string& name) const;
  // The variables a program needs to use this desktop.
  std::map<std::string, std::string> environment() const;
  // `argv` run as the desktop's user (prefixed with setpriv when root).
  std::vector<std::string> asDesktopUser(const std::vector<std::string>& argv) const;

  // Starts a program as the desktop's user in the background; it is killed
  // with the desktop. Returns its pid.
  pid_t spawn(const std::vector<std::string>& argv);
  // Runs a program as the desktop's user to its end; its exit status (-1
  // when it had to be killed after `timeout`), its output into `output`.
  int run(const std::vector<std::string>& argv, std::string* output = nullptr,
          std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Runs a program as the desktop's user with this process's standard
  // streams, to its end; its exit status.
  int runInForeground(const std::vector<std::string>& argv);
  // `swaymsg ARGS...` on this desktop; true when it succeeded.
  bool swaymsg(const std::vector<std::string>& args, std::string* output = nullptr);
  // Paints the whole output one colour (0xRRGGBB) through sway's
  // background; returns once sway has taken the command.
  bool paint(uint32_t rgb);

  // Kills a part now.
  void killPortal();         // xdg-desktop-portal
  void killPortalBackend();  // xdg-desktop-portal-wlr
  void killPipeWire();       // pipewire (and with it the PulseAudio server)

 private:
  struct Child {
    pid_t pid;
    std::string name;
  };
  pid_t start(const std::vector<std::string>& argv, const std::string& logName, int extraFd = -1);
  void stop(Child& child);
  void stopNamed(const std::string& name);
  bool waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout);
  bool busNameOwned(const std::string& name);
  void startBus();
  void startPipeWire();
  void startSway();
  void startPortal();
  std::vector<std::string> childEnvironment() const;

  Options options_;
  bool dropPrivileges_ = false;
  std::string runtimeDir_;
  std::string busAddress_;
  std::string swaySocket_;
  std::vector<Child> children_;
};

}  // namespace testing_support
