// The X11 input-event service against a real X server: monitors fed by
// xdotool's synthetic devices, and the cursor as xsetroot sets it. No window
// manager: once openbox has run, the root window's cursor no longer follows
// xsetroot. The cursor reader also against a server that restarts and
// against displays that refuse or never answer.
#include "platform/xinput/CursorReader.h"
#include "platform/xinput/InputEventService.h"
#include "support/Eventually.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace input_tests {
namespace {

using namespace std::chrono_literals;
using platform::KeyEvent;
using platform::MouseEvent;
using platform::MouseEventType;
using platform::xinput::CursorReader;
using testing_support::VirtualDesktop;
namespace flags = platform::ModifierFlags;

class XInputServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    desktop_ = new VirtualDesktop(VirtualDesktop::Options{640, 480, false, false, false});
    desktop_->useInThisProcess();
  }
  static void TearDownTestSuite() {
    delete desktop_;
    desktop_ = nullptr;
  }

  void xdo(std::vector<std::string> args) {
    args.insert(args.begin(), "xdotool");
    ASSERT_EQ(desktop_->run(args), 0);
  }
  // Services the main loop until `done` holds or `timeout` passes.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < deadline) loop.context().run_for(10ms);
    return done();
  }

  static VirtualDesktop* desktop_;
  platform::MainLoop loop;
  std::shared_ptr<platform::InputEventService> service = platform::xinput::makeInputEventService();
};

VirtualDesktop* XInputServiceTest::desktop_ = nullptr;

TEST_F(XInputServiceTest, MouseMonitorSeesLeftAndRightButtonsOnlyUntilRemoved) {
  std::vector<MouseEventType> seen;
  const auto token = service->addGlobalMouseMonitor(loop, [&](const MouseEvent& e) { seen.push_back(e.type); });
  ASSERT_NE(token, 0u);

  for (const char* button : {"1", "2", "4", "5", "3"}) xdo({"click", button});
  ASSERT_TRUE(runUntil([&] { return seen.size() >= 4; }));
  loop.context().run_for(200ms);
  EXPECT_EQ(seen, (std::vector<MouseEventType>{MouseEventType::leftMouseDown, MouseEventType::leftMouseUp,
                                               MouseEventType::rightMouseDown, MouseEventType::rightMouseUp}));

  // An event already on its way when the monitor goes is not delivered.
  xdo({"click", "1"});
  std::this_thread::sleep_for(100ms);
  service->removeMonitor(token);
  loop.context().run_for(200ms);
  EXPECT_EQ(seen.size(), 4u);
}

TEST_F(XInputServiceTest, KeyMonitorReportsCodesCharactersModifiersAndRepeats) {
  std::vector<KeyEvent> seen;
  const auto token = service->addGlobalKeyMonitor(loop, [&](const KeyEvent& e) { seen.push_back(e); });
  ASSERT_NE(token, 0u);

  xdo({"key", "ctrl+shift+z", "Return", "KP_Enter", "super+ctrl+alt+shift+a", "Left"});
  ASSERT_TRUE(runUntil([&] { return seen.size() >= 5; }));
  ASSERT_EQ(seen.size(), 5u) << "modifier keys alone produce no event";

  EXPECT_EQ(seen[0].charactersIgnoringModifiers, "Z");
  EXPECT_EQ(seen[0].modifierFlags, flags::control | flags::shift);
  EXPECT_EQ(seen[1].keyCode, 36);
  EXPECT_EQ(seen[1].modifierFlags, 0u) << "released modifiers are no longer held";
  EXPECT_EQ(seen[2].keyCode, 76);
  EXPECT_EQ(seen[2].charactersIgnoringModifiers, "\r");
  EXPECT_EQ(seen[3].charactersIgnoringModifiers, "A");
  EXPECT_EQ(seen[3].modifierFlags, flags::command | flags::control | flags::option | flags::shift);
  EXPECT_EQ(seen[4].keyCode, 123);
  EXPECT_EQ(seen[4].charactersIgnoringModifiers, std::nullopt);
  for (const auto& e : seen) EXPECT_FALSE(e.isARepeat);

  // A held key repeats at the server's rate (delay 660 ms, 25 a second).
  seen.clear();
  xdo({"keydown", "b"});
  std::this_thread::sleep_for(1100ms);
  xdo({"keyup", "b"});
  loop.context().run_for(200ms);
  const size_t afterRelease = seen.size();
  loop.context().run_for(200ms);
  ASSERT_GE(seen.size(), 5u);
  EXPECT_FALSE(seen.front().isARepeat);
  EXPECT_TRUE(std::all_of(seen.begin() + 1, seen.end(), [](const KeyEvent& e) { return e.isARepeat; }));
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](const KeyEvent& e) { return e.charactersIgnoringModifiers == "b"; }));
  EXPECT_LE(seen.size(), 15u);
  EXPECT_EQ(seen.size(), afterRelease) << "repeats stop with the release";
  service->removeMonitor(token);
}

TEST_F(XInputServiceTest, TheKeypadFollowsTheServersNumLock) {
  std::vector<KeyEvent> seen;
  const auto token = service->addGlobalKeyMonitor(loop, [&](const KeyEvent& e) { seen.push_back(e); });
  ASSERT_NE(token, 0u);

  // The same key each time (the one labelled 1 and End); Num_Lock itself
  // is a lock key and gives no event. NumLock ends off, as it began.
  xdo({"key", "KP_End", "Num_Lock", "KP_End", "Num_Lock", "KP_End"});
  ASSERT_TRUE(runUntil([&] { return seen.size() >= 3; }));
  loop.context().run_for(100ms);
  service->removeMonitor(token);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].keyCode, 119);
  EXPECT_EQ(seen[0].charactersIgnoringModifiers, std::nullopt);
  EXPECT_NE(seen[1].keyCode, 119);
  EXPECT_EQ(seen[1].charactersIgnoringModifiers, "1");
  EXPECT_EQ(seen[1].modifierFlags, 0u);
  EXPECT_EQ(seen[2].keyCode, 119);
  EXPECT_EQ(seen[2].charactersIgnoringModifiers, std::nullopt);
}

TEST_F(XInputServiceTest, CursorIsFetchedOnlyWhenItChanged) {
  xdo({"mousemove", "40", "40"});
  auto first = service->currentCursor(std::nullopt);
  ASSERT_TRUE(first.image);
  EXPECT_FALSE(first.unchanged);
  const platform::CursorImage image = *first.image;
  EXPECT_GT(image.pixelWidth, 0);
  EXPECT_EQ(image.rgba.size(), static_cast<size_t>(image.pixelWidth) * image.pixelHeight * 4);
  EXPECT_EQ(image.width, image.pixelWidth);
  EXPECT_TRUE(image.hotX >= 0 && image.hotX < image.width && image.hotY >= 0 && image.hotY < image.height);

  auto again = service->currentCursor(first.serial);
  EXPECT_TRUE(again.unchanged);
  EXPECT_FALSE(again.image);

  // A window with a cursor of its own appears under the still pointer.
  // (Not xsetroot: a cursor whose creator has exited cannot be read.)
  const pid_t xterm = desktop_->spawn({"xterm", "-geometry", "40x10+0+0"});
  platform::InputEventService::CursorQuery changed;
  testing_support::waitUntil(
      [&] {
        changed = service->currentCursor(first.serial);
        return !changed.unchanged;
      },
      10s, 20ms);
  kill(xterm, SIGTERM);
  ASSERT_TRUE(changed.image);
  EXPECT_NE(changed.serial, first.serial);
  EXPECT_NE(changed.image->rgba, image.rgba);
  EXPECT_TRUE(std::any_of(changed.image->rgba.begin() + 3, changed.image->rgba.end(),
                          [](uint8_t alpha) { return alpha == 255; }));
}

// A display that is only a listening TCP socket on this machine: it counts
// the connections made to it and either closes each at once (a display that
// refuses) or holds it without a word (a server that does not answer). So
// that a client stuck in connecting cannot hang the test, a silent display
// gives up on what it holds after kGiveUp.
class FakeDisplay {
 public:
  enum class Answer { closeAtOnce, silence };
  static constexpr std::chrono::seconds kGiveUp{5};

  explicit FakeDisplay(Answer answer) : answer_(answer) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 64) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on the loopback interface");
    }
    // X display n listens on TCP port 6000 + n.
    display_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port) - 6000);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeDisplay() {
    quit_ = true;
    thread_.join();
    hangUp();
    close(listener_);
  }

  const std::string& display() const { return display_; }
  int connections() const { return connections_; }
  // Closes the connections held so far (a silent display gives up).
  void hangUp() {
    std::lock_guard lock(mutex_);
    for (int fd : held_) close(fd);
    held_.clear();
  }

 private:
  void serve() {
    const auto giveUp = std::chrono::steady_clock::now() + kGiveUp;
    while (!quit_) {
      if (std::chrono::steady_clock::now() > giveUp) hangUp();
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++connections_;
      if (answer_ == Answer::closeAtOnce) {
        close(fd);
      } else {
        std::lock_guard lock(mutex_);
        held_.push_back(fd);
      }
    }
  }

  Answer answer_;
  int listener_ = -1;
  std::string display_;
  std::atomic<int> connections_{0};
  std::atomic<bool> quit_{false};
  std::mutex mutex_;  // guards held_
  std::vector<int> held_;
  std::thread thread_;
};

// Calls the reader every 10 ms (a poll tick) for `duration`; the longest
// call.
std::chrono::steady_clock::duration pollCursor(CursorReader& reader, std::chrono::milliseconds duration) {
  std::chrono::steady_clock::duration longest{};
  const auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
    const auto before = std::chrono::steady_clock::now();
    reader.current(std::nullopt);
    longest = std::max(longest, std::chrono::steady_clock::now() - before);
    std::this_thread::sleep_for(10ms);
  }
  return longest;
}

// Points this process's X clients at `display` for the life of the object.
class DisplayVariable {
 public:
  explicit DisplayVariable(const std::string& display) {
    if (const char* old = getenv("DISPLAY")) old_ = old;
    setenv("DISPLAY", display.c_str(), 1);
  }
  ~DisplayVariable() {
    if (old_) {
      setenv("DISPLAY", old_->c_str(), 1);
    } else {
      unsetenv("DISPLAY");
    }
  }

 private:
  std::optional<std::string> old_;
};

TEST(CursorReader, TriesAnUnreachableDisplayAgainAboutOnceASecond) {
  FakeDisplay refusing(FakeDisplay::Answer::closeAtOnce);
  DisplayVariable display(refusing.display());
  CursorReader reader;
  const auto started = std::chrono::steady_clock::now();
  pollCursor(reader, 2500ms);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  // 250 calls: one attempt at the first, then one a second.
  EXPECT_GE(refusing.connections(), 2) << "the reader gave up after the first attempt";
  EXPECT_LE(refusing.connections(), 1 + static_cast<int>(seconds / (CursorReader::kReconnectInterval.count() / 1000.0)))
      << "attempts in " << seconds << " s";
}

TEST(CursorReader, ADisplayThatDoesNotAnswerNeverHoldsTheCallerLong) {
  FakeDisplay silent(FakeDisplay::Answer::silence);
  DisplayVariable display(silent.display());
  CursorReader reader;
  const auto longest = pollCursor(reader, 1500ms);
  // The call that starts the attempt waits for it a little; the rest return
  // at once. One attempt stays under way, none joins it.
  EXPECT_LT(longest, CursorReader::kConnectWait + 300ms);
  EXPECT_EQ(silent.connections(), 1);
  // Once the display hangs up, the next attempt follows within the interval.
  silent.hangUp();
  pollCursor(reader, CursorReader::kReconnectInterval + 1000ms);
  EXPECT_EQ(silent.connections(), 2);
}

TEST(CursorReader, ImagesComeBackAfterTheXServerRestarts) {
  VirtualDesktop desktop(VirtualDesktop::Options{320, 240, false, false, false});
  desktop.useInThisProcess();
  CursorReader reader;
  auto waitForImage = [&](std::optional<uint64_t> lastSerial) {
    std::optional<platform::InputEventService::CursorQuery> found;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!found && std::chrono::steady_clock::now() < deadline) {
      auto query = reader.current(lastSerial);
      if (query.image) {
        found = std::move(query);
      } else {
        std::this_thread::sleep_for(10ms);
      }
    }
    return found;
  };
  const auto before = waitForImage(std::nullopt);
  ASSERT_TRUE(before);

  desktop.killXServer();
  reader.current(before->serial);  // finds the connection broken
  desktop.restartXServer();
  // Asked with the old server's serial, which the new one may well reuse:
  // the image is reported anew all the same.
  const auto after = waitForImage(before->serial);
  ASSERT_TRUE(after) << "no cursor image from the new server";
  EXPECT_FALSE(after->unchanged);
  EXPECT_EQ(after->image->rgba, before->image->rgba) << "the same default cursor on both servers";
}

}  // namespace
}  // namespace input_tests
