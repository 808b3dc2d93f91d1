// `tesmar-recorder list` on a desktop with two monitors and windows of
// several programs: what a host is offered to record.
#include "Recording.h"

#include <map>
#include <set>
#include <unistd.h>

namespace e2e_tests {
namespace {

TEST(ListCommand, OffersBothMonitorsAndTheRecordableWindowsOfOtherPrograms) {
  VirtualDesktop desktop({.width = 1280, .height = 360});
  desktop.splitIntoTwoMonitors();
  desktop.useInThisProcess();
  const pid_t xterm = desktop.spawn({"xterm", "-geometry", "40x10+20+30"});
  const pid_t xlogo = desktop.spawn({"xlogo", "-geometry", "200x150+800+100"});
  const std::optional<uint32_t> xtermWindow = desktop.waitForWindow("XTerm");
  const std::optional<uint32_t> xlogoWindow = desktop.waitForWindow("XLogo");
  ASSERT_TRUE(xtermWindow && xlogoWindow);
  // This test's own windows: one to list, and those that are not recordable
  // (a frame of 80 × 60, a dock, an unmanaged popup).
  TestWindow normal({.x = 700, .y = 20, .width = 300, .height = 60, .wmClass = "Tests"});
  TestWindow tooSmall({.x = 300, .y = 200, .width = 78, .height = 35, .wmClass = "TooSmall"});
  TestWindow dock({.x = 0, .y = 300, .width = 400, .height = 60, .wmClass = "Dock", .type = "_NET_WM_WINDOW_TYPE_DOCK"});
  TestWindow popup({.x = 900, .y = 200, .width = 200, .height = 100, .wmClass = "Popup", .overrideRedirect = true});

  // A window of the agent itself: its process starts as a shell (the same
  // pid), a window claims that pid, then the shell becomes the agent.
  HostProcess agent = HostProcess::spawn("/bin/sh", {"-c", "read go && exec \"$0\" list", TESMAR_BINARY},
                                         desktop.environment());
  TestWindow own({.x = 200, .y = 100, .width = 300, .height = 200, .wmClass = "Agent", .setPid = false});
  setWindowPid(own.id(), static_cast<uint32_t>(agent.pid()));
  agent.writeLine("go");
  const std::optional<json> list = agent.readJson(20s);
  EXPECT_EQ(agent.wait(), std::optional<int>(0));
  ASSERT_TRUE(list && list->contains("windows")) << (list ? list->dump() : "no document");
  EXPECT_EQ(list->size(), 4u) << list->dump();

  const json& displays = list->at("displays");
  ASSERT_EQ(displays.size(), 2u) << list->dump();
  EXPECT_EQ(displays[0].at("frame"), (json{{"x", 0}, {"y", 0}, {"width", 640}, {"height", 360}}));
  EXPECT_EQ(displays[1].at("frame"), (json{{"x", 640}, {"y", 0}, {"width", 640}, {"height", 360}}));
  EXPECT_NE(displays[0].at("id"), displays[1].at("id"));

  std::map<uint32_t, json> windows;
  for (const json& window : list->at("windows")) windows[window.at("id").get<uint32_t>()] = window;
  EXPECT_EQ(windows.size(), 3u) << list->dump();
  ASSERT_TRUE(windows.count(*xtermWindow) && windows.count(*xlogoWindow) && windows.count(normal.id())) << list->dump();
  EXPECT_EQ(windows[*xtermWindow].at("pid"), xterm);
  EXPECT_EQ(windows[*xtermWindow].at("bundleId"), "XTerm");
  EXPECT_EQ(windows[*xlogoWindow].at("pid"), xlogo);
  EXPECT_EQ(windows[*xlogoWindow].at("app"), "XLogo");
  // On the second monitor, in global coordinates.
  EXPECT_EQ(windows[*xlogoWindow].at("frame").at("x"), 800);
  EXPECT_EQ(windows[normal.id()].at("pid"), getpid());

  // Every owner once, the agent too (only its windows are left out).
  std::set<int> owners;
  for (const json& app : list->at("applications")) {
    EXPECT_FALSE(app.at("name").get<std::string>().empty());
    owners.insert(app.at("pid").get<int>());
  }
  EXPECT_EQ(owners, (std::set<int>{xterm, xlogo, getpid(), agent.pid()})) << list->dump();
  EXPECT_EQ(list->at("applications").size(), owners.size());
}

TEST(ListCommand, ApplicationsIncludeThoseWhoseWindowsAreMinimisedOrOnAnotherDesktop) {
  VirtualDesktop desktop({.width = 800, .height = 600});
  desktop.useInThisProcess();
  ASSERT_EQ(desktop.run({"xdotool", "set_num_desktops", "2"}), 0);
  const pid_t shown = desktop.spawn({"xterm", "-class", "Shown", "-geometry", "40x10+20+30"});
  const pid_t minimised = desktop.spawn({"xterm", "-class", "Minimised", "-geometry", "40x10+300+30"});
  const pid_t elsewhere = desktop.spawn({"xterm", "-class", "Elsewhere", "-geometry", "40x10+20+300"});
  const std::optional<uint32_t> shownWindow = desktop.waitForWindow("Shown");
  const std::optional<uint32_t> minimisedWindow = desktop.waitForWindow("Minimised");
  const std::optional<uint32_t> elsewhereWindow = desktop.waitForWindow("Elsewhere");
  ASSERT_TRUE(shownWindow && minimisedWindow && elsewhereWindow);

  ASSERT_EQ(desktop.run({"xdotool", "windowminimize", std::to_string(*minimisedWindow)}), 0);
  ASSERT_EQ(desktop.run({"xdotool", "set_desktop_for_window", std::to_string(*elsewhereWindow), "1"}), 0);
  // Both are off screen once the window manager has unmapped them.
  auto visible = [&](const char* wmClass) {
    std::string ignored;
    return desktop.run({"xdotool", "search", "--onlyvisible", "--class", std::string("^") + wmClass + "$"},
                       &ignored) == 0;
  };
  ASSERT_TRUE(waitFor([&] { return !visible("Minimised") && !visible("Elsewhere"); }));
  ASSERT_TRUE(visible("Shown"));

  HostProcess agent = HostProcess::spawn(TESMAR_BINARY, {"list"}, desktop.environment());
  const std::optional<json> list = agent.readJson(20s);
  EXPECT_EQ(agent.wait(), std::optional<int>(0));
  ASSERT_TRUE(list && list->contains("applications")) << (list ? list->dump() : "no document");

  // Only the window on screen can be recorded ...
  std::set<uint32_t> windows;
  for (const json& window : list->at("windows")) windows.insert(window.at("id").get<uint32_t>());
  EXPECT_EQ(windows, (std::set<uint32_t>{*shownWindow})) << list->dump();
  // ... but all three programs run, each once, under its class name.
  std::map<int, std::string> applications;
  for (const json& app : list->at("applications")) {
    EXPECT_TRUE(applications.emplace(app.at("pid").get<int>(), app.at("name").get<std::string>()).second)
        << list->dump();
  }
  EXPECT_EQ(applications,
            (std::map<int, std::string>{{shown, "Shown"}, {minimised, "Minimised"}, {elsewhere, "Elsewhere"}}))
      << list->dump();
}

}  // namespace
}  // namespace e2e_tests
