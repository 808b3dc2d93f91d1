// The windowing service keeps the monitor layout between calls: a layout
// changed with xrandr while it runs must show on the next calls all the same.
#include "support/Eventually.h"
#include "support/VirtualDesktop.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace backend_tests {
namespace {

using testing_support::VirtualDesktop;

std::vector<platform::Rect> framesOf(const std::vector<platform::Screen>& screens) {
  std::vector<platform::Rect> frames;
  for (const platform::Screen& screen : screens) frames.push_back(screen.frame);
  return frames;
}

// The screens' frames once they equal `wanted`, or as they are after a
// second: the server's notification has to reach the service first.
std::vector<platform::Rect> framesOnceThey(platform::WindowingService& windowing, const std::vector<platform::Rect>& wanted) {
  std::vector<platform::Rect> frames;
  testing_support::waitUntil(
      [&] {
        frames = framesOf(windowing.screens());
        return frames == wanted;
      },
      std::chrono::seconds(1), std::chrono::milliseconds(5));
  return frames;
}

TEST(Screens, MonitorsAddedMovedAndRemovedShowOnTheNextCalls) {
  VirtualDesktop desktop({.width = 1600, .height = 900});
  desktop.useInThisProcess();
  platform::Services services = platform::makeSystemServices();
  platform::WindowingService& windowing = *services.windowing;
  using platform::Rect;

  ASSERT_EQ(framesOf(windowing.screens()), (std::vector<Rect>{Rect(0, 0, 1600, 900)}));
  const uint32_t wholeScreen = windowing.mainDisplayID();

  desktop.splitIntoTwoMonitors(/*rightIsPrimary=*/true);
  EXPECT_EQ(framesOnceThey(windowing, {Rect(0, 0, 800, 900), Rect(-800, 0, 800, 900)}),
            (std::vector<Rect>{Rect(0, 0, 800, 900), Rect(-800, 0, 800, 900)}));
  EXPECT_EQ(windowing.screens().at(0).localizedName, "RIGHT");
  EXPECT_NE(windowing.mainDisplayID(), wholeScreen);
  EXPECT_EQ(windowing.primaryScreenHeight(), 900);
  // The pointer is placed relative to the new primary monitor.
  ASSERT_EQ(desktop.run({"xdotool", "mousemove", "1000", "200"}), 0);
  EXPECT_EQ(windowing.mouseLocation(), (platform::Point{200, 700}));

  struct Change {
    const char* what;
    std::vector<std::string> xrandrArguments;
    std::vector<Rect> frames;
    std::vector<std::string> pointerOnRoot;  // where xdotool puts it
    platform::Point pointer;                 // screen space, from the new primary
  };
  const Change changes[] = {
      // LEFT is placed relative to the new primary.
      {"primary moved and shrunk",
       {"--delmonitor", "RIGHT", "--setmonitor", "*MIDDLE", "600/159x600/159+1000+300", "none"},
       {Rect(0, 0, 600, 600), Rect(-1000, 0, 800, 900)},
       {"1100", "400"},
       {100, 500}},
      {"primary removed", {"--delmonitor", "MIDDLE"}, {Rect(0, 0, 800, 900)}, {"100", "400"}, {100, 500}},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.what);
    std::vector<std::string> argv{"xrandr"};
    argv.insert(argv.end(), change.xrandrArguments.begin(), change.xrandrArguments.end());
    ASSERT_EQ(desktop.run(argv), 0);
    ASSERT_EQ(desktop.run({"xdotool", "mousemove", change.pointerOnRoot[0], change.pointerOnRoot[1]}), 0);
    // The pointer poll's reading, before anything else has looked at the
    // screens: the change was announced before the pointer's reply, so this
    // very reading already follows it.
    const platform::WindowingService::PointerReading reading = windowing.pointerReading();
    EXPECT_EQ(reading.primaryScreenHeight, change.frames.front().height());
    EXPECT_EQ(reading.location, change.pointer);
    EXPECT_EQ(framesOnceThey(windowing, change.frames), change.frames);
    // Asked on every pointer poll: the same primary as the list.
    EXPECT_EQ(windowing.primaryScreenHeight(), change.frames.front().height());
  }
  EXPECT_EQ(windowing.screens().at(0).localizedName, "LEFT");
}

}  // namespace
}  // namespace backend_tests
