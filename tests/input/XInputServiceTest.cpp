// The X11 input-event service against a real X server: monitors fed by
// xdotool's synthetic devices, and the cursor as xsetroot sets it. No window
// manager: once openbox has run, the root window's cursor no longer follows
// xsetroot.
#include "platform/xinput/InputEventService.h"
#include "support/Eventually.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace input_tests {
namespace {

using namespace std::chrono_literals;
using platform::KeyEvent;
using platform::MouseEvent;
using platform::MouseEventType;
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

}  // namespace
}  // namespace input_tests
