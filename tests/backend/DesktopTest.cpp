// Screens, windows and the pointer as the X server shows them, read by the
// system services and by `tesmar-recorder list` on a real virtual desktop.
#include "support/HostProcess.h"
#include "TestWindows.h"
#include "support/Eventually.h"
#include "support/VirtualDesktop.h"
#include "discovery/ContentListing.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <thread>

namespace backend_tests {
namespace {

using nlohmann::json;
using testing_support::HostProcess;
using testing_support::VirtualDesktop;

platform::Rect rectOf(const json& frame) {
  return platform::Rect(frame.at("x").get<double>(), frame.at("y").get<double>(), frame.at("width").get<double>(),
                        frame.at("height").get<double>());
}

const json* findWindow(const json& list, uint32_t id) {
  for (const json& window : list.at("windows")) {
    if (window.at("id").get<uint32_t>() == id) return &window;
  }
  return nullptr;
}

json listThroughAgent(const VirtualDesktop& desktop, std::map<std::string, std::string> overrides = {}) {
  std::map<std::string, std::string> env = desktop.environment();
  for (const auto& [name, value] : overrides) env[name] = value;
  HostProcess agent = HostProcess::spawn(TESMAR_BINARY, {"list"}, env);
  std::optional<json> document = agent.readJson();
  EXPECT_EQ(agent.wait(), 0);
  return document.value_or(json());
}

struct MonitorCase {
  bool rightIsPrimary;
  const char* primaryName;
  const char* secondName;
  double secondX;  // where the other monitor starts, relative to the primary
};

TEST(Screens, TwoMonitorsArePrimaryFirstAndRelativeToThePrimary) {
  const MonitorCase cases[] = {{false, "LEFT", "RIGHT", 800}, {true, "RIGHT", "LEFT", -800}};
  for (const MonitorCase& c : cases) {
    SCOPED_TRACE(c.primaryName);
    VirtualDesktop desktop({.width = 1600, .height = 900});
    desktop.splitIntoTwoMonitors(c.rightIsPrimary);
    desktop.useInThisProcess();
    platform::Services services = platform::makeSystemServices();

    const std::vector<platform::Screen> screens = services.windowing->screens();
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[0].localizedName, c.primaryName);
    EXPECT_EQ(screens[1].localizedName, c.secondName);
    EXPECT_EQ(screens[0].frame, platform::Rect(0, 0, 800, 900));
    EXPECT_EQ(screens[1].frame, platform::Rect(c.secondX, 0, 800, 900));
    for (const platform::Screen& screen : screens) {
      EXPECT_EQ(screen.maximumFramesPerSecond, 60);  // Xvfb's mode reports 0 Hz
      EXPECT_EQ(screen.backingScaleFactor, 1.0);
    }
    ASSERT_TRUE(screens[0].screenNumber && screens[1].screenNumber);
    EXPECT_NE(*screens[0].screenNumber, *screens[1].screenNumber);
    EXPECT_EQ(services.windowing->mainDisplayID(), *screens[0].screenNumber);

    // LEFT holds the server's output, whose mode reports 0 Hz; RIGHT has no
    // output and so no mode.
    const uint32_t left = *screens[c.rightIsPrimary ? 1 : 0].screenNumber;
    const uint32_t right = *screens[c.rightIsPrimary ? 0 : 1].screenNumber;
    EXPECT_EQ(services.windowing->displayModeRefreshRate(left), std::optional<double>(0.0));
    EXPECT_EQ(services.windowing->displayModeRefreshRate(right), std::nullopt);

    // The capture's displays: the same ids, in global top-left space.
    auto content = services.capture->shareableContent(false, true);
    ASSERT_TRUE(content.ok());
    ASSERT_EQ(content->displays.size(), 2u);
    EXPECT_EQ(content->displays[0].displayID, *screens[0].screenNumber);
    EXPECT_EQ(content->displays[1].frame, platform::Rect(c.secondX, 0, 800, 900));

    // The pointer, in screen space (y up from the primary's bottom).
    ASSERT_EQ(desktop.run({"xdotool", "mousemove", "1000", "200"}), 0);
    const double primaryLeft = c.rightIsPrimary ? 800 : 0;
    EXPECT_EQ(services.windowing->mouseLocation(), (platform::Point{1000 - primaryLeft, 900 - 200}));
  }
}

TEST(Windows, ListingShowsOtherAppsWindowsWithOwnersAndLeavesOutSmallAndSpecialOnes) {
  VirtualDesktop desktop;
  desktop.useInThisProcess();
  const pid_t xterm = desktop.spawn({"xterm", "-geometry", "40x10+20+30"});
  const pid_t xeyes = desktop.spawn({"xeyes", "-geometry", "200x150+400+100"});
  const std::optional<uint32_t> xtermWindow = desktop.waitForWindow("XTerm");
  const std::optional<uint32_t> xeyesWindow = desktop.waitForWindow("XEyes");
  ASSERT_TRUE(xtermWindow && xeyesWindow);
  // The frame's size limit is 80 × 60 (exclusive); openbox adds 2 × 25 to a
  // client, so 78 × 35 frames to 80 × 60 and 79 × 36 to 81 × 61.
  TestWindow tooSmall({.x = 700, .y = 400, .width = 78, .height = 35, .wmClass = "TooSmall"});
  TestWindow bigEnough({.x = 800, .y = 400, .width = 79, .height = 36, .wmClass = "BigEnough"});
  TestWindow dock({.x = 0, .y = 600, .width = 400, .height = 100, .wmClass = "Dock", .type = "_NET_WM_WINDOW_TYPE_DOCK"});
  TestWindow popup({.x = 900, .y = 100, .width = 200, .height = 200, .wmClass = "Popup", .overrideRedirect = true});

  const json list = listThroughAgent(desktop);
  ASSERT_TRUE(list.contains("windows")) << list.dump();

  const json* terminal = findWindow(list, *xtermWindow);
  ASSERT_NE(terminal, nullptr) << list.dump();
  EXPECT_EQ(terminal->at("pid"), xterm);  // from _NET_WM_PID
  EXPECT_EQ(terminal->at("app"), "XTerm");
  EXPECT_EQ(terminal->at("bundleId"), "XTerm");

  const json* eyes = findWindow(list, *xeyesWindow);
  ASSERT_NE(eyes, nullptr) << list.dump();
  EXPECT_EQ(eyes->at("pid"), xeyes);  // xeyes sets no pid: from the X-Resource extension
  EXPECT_EQ(eyes->at("title"), "xeyes");
  // Asked for at +400+100: that is where the outer frame is, and it holds
  // the 200 × 150 client.
  const platform::Rect eyesFrame = rectOf(eyes->at("frame"));
  EXPECT_EQ(eyesFrame.origin, (platform::Point{400, 100}));
  EXPECT_GT(eyesFrame.width(), 200);
  EXPECT_GT(eyesFrame.height(), 150);

  EXPECT_NE(findWindow(list, bigEnough.id()), nullptr);
  EXPECT_EQ(findWindow(list, tooSmall.id()), nullptr);
  EXPECT_EQ(findWindow(list, dock.id()), nullptr);   // not a normal layer
  EXPECT_EQ(findWindow(list, popup.id()), nullptr);  // override-redirect: no client
  EXPECT_EQ(list.at("windows").size(), 3u) << list.dump();

  // The owners, once each: xterm, xeyes and this test (its windows).
  std::map<int, std::string> apps;
  for (const json& app : list.at("applications")) apps[app.at("pid").get<int>()] = app.at("name").get<std::string>();
  EXPECT_EQ(list.at("applications").size(), 3u) << list.dump();
  EXPECT_EQ(apps[xterm], "XTerm");
  EXPECT_EQ(apps[xeyes], "XEyes");
  EXPECT_EQ(apps.count(getpid()), 1u);
}

TEST(Windows, TheRecordersOwnWindowsAreNotListedButItsApplicationIs) {
  VirtualDesktop desktop;
  desktop.useInThisProcess();
  HostProcess child = HostProcess::fork([] {
    TestWindow own({.x = 100, .y = 100, .width = 300, .height = 200, .wmClass = "OwnWindow"});
    platform::Services services = platform::makeSystemServices();
    listContent(services);
  });
  std::optional<json> list = child.readJson(std::chrono::seconds(20));
  ASSERT_TRUE(list) << "no listing";
  EXPECT_EQ(child.wait(), 0);
  for (const json& window : list->at("windows")) EXPECT_NE(window.at("pid"), child.pid()) << list->dump();
  ASSERT_EQ(list->at("applications").size(), 1u) << list->dump();
  EXPECT_EQ(list->at("applications")[0].at("pid"), child.pid());
  EXPECT_EQ(list->at("applications")[0].at("name"), "OwnWindow");
}

TEST(Windows, BoundsFollowAMovedWindowAndVanishWithIt) {
  VirtualDesktop desktop;
  desktop.useInThisProcess();
  platform::Services services = platform::makeSystemServices();
  auto window = std::make_unique<TestWindow>(TestWindow::Options{.x = 100, .y = 100, .width = 300, .height = 200});
  const std::optional<platform::Rect> before = services.windowing->windowBounds(window->id());
  ASSERT_TRUE(before);
  EXPECT_EQ(before->origin, (platform::Point{100, 100}));

  ASSERT_EQ(desktop.run({"xdotool", "windowmove", "--sync", std::to_string(window->id()), "300", "250"}), 0);
  const std::optional<platform::Rect> after = services.windowing->windowBounds(window->id());
  ASSERT_TRUE(after);
  EXPECT_EQ(after->origin.x - before->origin.x, 200);
  EXPECT_EQ(after->origin.y - before->origin.y, 150);
  EXPECT_EQ(after->size, before->size);

  // Closing its connection destroys the window once the server notices.
  const uint32_t id = window->id();
  window.reset();
  EXPECT_TRUE(testing_support::waitUntil([&] { return !services.windowing->windowBounds(id); }, std::chrono::seconds(2)));
  EXPECT_EQ(services.windowing->windowBounds(id), std::nullopt);
}

TEST(Listing, DisplaysCarryTheirMonitorsNamesAndModeRates) {
  VirtualDesktop desktop({.width = 1600, .height = 900});
  desktop.splitIntoTwoMonitors();
  const json list = listThroughAgent(desktop);
  ASSERT_TRUE(list.contains("displays")) << list.dump();
  ASSERT_EQ(list.at("displays").size(), 2u) << list.dump();
  const json& left = list.at("displays")[0];
  const json& right = list.at("displays")[1];
  EXPECT_EQ(left.at("name"), "LEFT");
  EXPECT_EQ(right.at("name"), "RIGHT");
  EXPECT_EQ(rectOf(left.at("frame")), platform::Rect(0, 0, 800, 900));
  EXPECT_EQ(rectOf(right.at("frame")), platform::Rect(800, 0, 800, 900));
  EXPECT_EQ(left.at("scale"), 1.0);
  // LEFT shows the server's output, whose mode reports 0 Hz: listed as it
  // is. RIGHT has no output, so no mode: 60.
  EXPECT_EQ(left.at("refreshRate"), 0.0);
  EXPECT_EQ(right.at("refreshRate"), 60.0);
  EXPECT_NE(left.at("id"), right.at("id"));
}

TEST(Listing, MicrophonesAreTheSourcesThatAreNotMonitors) {
  VirtualDesktop desktop({.microphone = true});
  const json list = listThroughAgent(desktop);
  ASSERT_TRUE(list.contains("microphones")) << list.dump();
  ASSERT_EQ(list.at("microphones").size(), 1u) << list.dump();
  const json& microphone = list.at("microphones")[0];
  EXPECT_EQ(microphone.at("id"), "sinemic");
  EXPECT_TRUE(microphone.at("isDefault").get<bool>());
  EXPECT_FALSE(microphone.at("name").get<std::string>().empty());
}

TEST(Listing, WithoutADisplayWritesTheFailureDocumentWithTheMicrophones) {
  VirtualDesktop desktop({.microphone = true});
  const json list = listThroughAgent(desktop, {{"DISPLAY", ":4999"}});
  EXPECT_EQ(list.at("code"), "screenPermission");
  EXPECT_NE(list.at("error").get<std::string>().find(":4999"), std::string::npos) << list.dump();
  for (const char* key : {"displays", "windows", "applications"}) EXPECT_EQ(list.at(key), json::array()) << key;
  EXPECT_EQ(list.at("microphones"), (json::array({json{{"id", "sinemic"}, {"name", list.at("microphones").at(0).at("name")}}})));
  EXPECT_EQ(list.size(), 6u);
}

}  // namespace
}  // namespace backend_tests
