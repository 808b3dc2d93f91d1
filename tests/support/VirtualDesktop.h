// A private desktop for one test: a virtual X server (Xvfb, with RandR,
// MIT-SHM, XFIXES, DAMAGE, Composite, XInput and XTEST) on a display number
// of its own, the openbox window manager and, when asked for, a PulseAudio
// server with a null sink "rec" (default sink; its monitor is the system
// audio) and a 440 Hz sine source "sinemic" (default source: a microphone).
// Everything runs under a private XDG_RUNTIME_DIR (mode 0700).
//
// The constructor returns once every server answers; it throws
// std::runtime_error when one does not start. The destructor kills every
// process it started (whole process groups) and removes the runtime
// directory. The processes also die with the test process if it crashes
// (they get SIGKILL when their parent thread ends), so nothing is left
// running.
//
// Not thread-safe: use one desktop from the test's main thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class VirtualDesktop {
 public:
  struct Options {
    int width = 1280;
    int height = 720;
    bool windowManager = true;
    bool audio = false;       // PulseAudio with the null sink "rec"
    bool microphone = false;  // and the sine source "sinemic" (implies audio)
  };

  explicit VirtualDesktop(Options options);
  VirtualDesktop() : VirtualDesktop(Options{}) {}
  ~VirtualDesktop();
  VirtualDesktop(const VirtualDesktop&) = delete;
  VirtualDesktop& operator=(const VirtualDesktop&) = delete;

  const std::string& display() const { return display_; }  // e.g. ":3"
  const std::string& runtimeDir() const { return runtimeDir_; }
  // The variables a program needs to use this desktop: DISPLAY,
  // XDG_RUNTIME_DIR and, with audio, PULSE_SERVER. For HostProcess::spawn.
  std::map<std::string, std::string> environment() const;
  // Sets those variables in this process, so that in-process code (the
  // system services under test) connects to this desktop.
  void useInThisProcess() const;

  // Starts a program (an X client, a player) in the background with this
  // desktop's environment; it is killed with the desktop. Returns its pid.
  pid_t spawn(const std::vector<std::string>& argv);
  // Runs a program to its end with this desktop's environment and returns
  // its exit status (128 + signal when killed, -1 when it had to be killed
  // after `timeout`). Its standard output goes to `output` when given.
  int run(const std::vector<std::string>& argv, std::string* output = nullptr,
          std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Waits until a viewable window whose WM_CLASS class matches `wmClass`
  // exists and returns its id (the client window); nothing on timeout.
  std::optional<uint32_t> waitForWindow(const std::string& wmClass,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Splits the screen into two RandR monitors side by side, each half the
  // width: "LEFT" (holding the server's output) and "RIGHT" (no output). The
  // primary one is LEFT, or RIGHT when `rightIsPrimary`.
  void splitIntoTwoMonitors(bool rightIsPrimary = false);

  // Kills the X server (and the window manager) or the audio server now.
  void killXServer();
  // Starts a new X server on the same display number, after killXServer()
  // (or kills the running one first). No window manager: a fresh server as
  // a desktop's clients see it after a restart.
  void restartXServer();
  void killAudioServer();

 private:
  struct Child {
    pid_t pid;
    std::string name;
  };
  std::vector<std::string> childEnvironment() const;
  pid_t start(const std::vector<std::string>& argv, const std::string& logName, int extraFd = -1);
  void startXServer();
  void startWindowManager();
  void startAudioServer();
  void stop(Child& child);

  Options options_;
  std::string runtimeDir_;
  std::string display_;
  std::vector<Child> children_;
  std::optional<size_t> xServer_;
  std::optional<size_t> windowManager_;
  std::optional<size_t> audioServer_;
};

}  // namespace testing_support
