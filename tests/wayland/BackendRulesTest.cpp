// The Wayland backend's rules that need no desktop: which backend the
// environment chooses, the frame slots, the recorded area in a buffer, and
// how the grant is stored.
#include "platform/linux/DesktopChoice.h"
#include "platform/wayland/FramePacing.h"
#include "platform/wayland/RestoreTokenStore.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace {

using platform::Rect;
using platform::linux_desktop::DesktopKind;
using platform::wayland::PixelArea;
using platform::wayland::RestoreTokenStore;
using platform::wayland::SlotPacer;

TEST(DesktopChoice, FollowsTheOverrideThenTheSessionThenTheCompositor) {
  struct Case {
    std::map<std::string, std::string> env;
    DesktopKind expected;
  };
  const std::vector<Case> cases = {
      {{}, DesktopKind::x11},
      {{{"DISPLAY", ":0"}}, DesktopKind::x11},
      {{{"WAYLAND_DISPLAY", "wayland-0"}}, DesktopKind::wayland},
      {{{"WAYLAND_DISPLAY", ""}, {"DISPLAY", ":0"}}, DesktopKind::x11},
      {{{"XDG_SESSION_TYPE", "wayland"}}, DesktopKind::wayland},
      {{{"XDG_SESSION_TYPE", "wayland"}, {"DISPLAY", ":0"}}, DesktopKind::wayland},
      {{{"XDG_SESSION_TYPE", "x11"}, {"WAYLAND_DISPLAY", "wayland-0"}}, DesktopKind::x11},
      {{{"XDG_SESSION_TYPE", "tty"}, {"WAYLAND_DISPLAY", "wayland-0"}}, DesktopKind::wayland},
      {{{"TESMAR_DESKTOP", "x11"}, {"XDG_SESSION_TYPE", "wayland"}, {"WAYLAND_DISPLAY", "w"}}, DesktopKind::x11},
      {{{"TESMAR_DESKTOP", "wayland"}, {"XDG_SESSION_TYPE", "x11"}, {"DISPLAY", ":0"}}, DesktopKind::wayland},
      {{{"TESMAR_DESKTOP", "Wayland"}, {"DISPLAY", ":0"}}, DesktopKind::x11},  // not one of the two: ignored
      {{{"TESMAR_DESKTOP", "mir"}, {"WAYLAND_DISPLAY", "w"}}, DesktopKind::wayland},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& env = cases[i].env;
    const DesktopKind chosen = platform::linux_desktop::chooseDesktop([&](const char* name) -> const char* {
      auto it = env.find(name);
      return it == env.end() ? nullptr : it->second.c_str();
    });
    EXPECT_EQ(chosen, cases[i].expected) << "case " << i;
  }
}

TEST(SlotPacer, StampsFramesOnTheGridAndNeverTwicePerSlot) {
  SlotPacer pacer(100.0, 0.1);
  // Arrival, whether the slot is free, the stamp.
  struct Step {
    double now;
    std::optional<double> stamp;
  };
  const std::vector<Step> steps = {
      {100.00, 100.0}, {100.05, std::nullopt},  // same slot: held
      {100.12, 100.1}, {100.19, std::nullopt}, {100.20, 100.2},
      {100.75, 100.7},  // slots skipped while nothing came
      {100.70, std::nullopt},
  };
  for (const Step& step : steps) {
    const std::optional<double> stamp = pacer.claim(step.now);
    ASSERT_EQ(stamp.has_value(), step.stamp.has_value()) << step.now;
    if (stamp) {
      EXPECT_NEAR(*stamp, *step.stamp, 1e-9) << step.now;
    }
  }
  EXPECT_NEAR(pacer.nextFreeSlotStart(), 100.8, 1e-9);
  EXPECT_FALSE(pacer.isFree(100.79));
  EXPECT_TRUE(pacer.isFree(100.8));
  // Before the start: the first slot.
  SlotPacer early(50.0, 0.5);
  EXPECT_EQ(early.slotAt(49.0), 0);
  EXPECT_NEAR(*early.claim(49.0), 50.0, 1e-9);
}

TEST(RecordedArea, IsTheSourceTimesTheScaleClippedAndNeverLargerThanTheOutput) {
  struct Case {
    std::optional<Rect> source;
    double scale;
    int bufferWidth, bufferHeight, outputWidth, outputHeight;
    PixelArea expected;
  };
  const std::vector<Case> cases = {
      {std::nullopt, 1, 1920, 1080, 1920, 1080, {0, 0, 1920, 1080}},
      {Rect(100, 50, 640, 360), 1, 1920, 1080, 640, 360, {100, 50, 640, 360}},
      {Rect(100, 50, 640, 360), 2, 3840, 2160, 1280, 720, {200, 100, 1280, 720}},
      {Rect(1700, 1000, 640, 360), 1, 1920, 1080, 220, 80, {1700, 1000, 220, 80}},  // clipped
      {Rect(10, 10, 101, 51), 1, 1920, 1080, 100, 50, {10, 10, 100, 50}},             // output even
      {std::nullopt, 1, 1921, 1081, 1920, 1080, {0, 0, 1920, 1080}},
      {Rect(3000, 0, 100, 100), 1, 1920, 1080, 100, 100, {1920, 0, 0, 100}},          // outside: empty
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const PixelArea area = platform::wayland::recordedArea(c.source, c.scale, c.bufferWidth, c.bufferHeight,
                                                           c.outputWidth, c.outputHeight);
    EXPECT_EQ(area, c.expected) << "case " << i << ": " << area.x << "," << area.y << " " << area.width << "x"
                                << area.height;
  }
  EXPECT_TRUE(platform::wayland::touches({0, 0, 10, 10}, {9, 9, 5, 5}));
  EXPECT_FALSE(platform::wayland::touches({0, 0, 10, 10}, {10, 0, 5, 5}));
  EXPECT_FALSE(platform::wayland::touches({0, 0, 0, 10}, {0, 0, 5, 5}));
}

class TokenStore : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tesmar-token-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(TokenStore, KeepsOneOwnerOnlyTokenReplacedWhole) {
  const std::filesystem::path file = dir_ / "state" / "tesmar-recorder" / "screencast-restore-token";
  RestoreTokenStore store(file.string());
  EXPECT_FALSE(store.load());
  ASSERT_TRUE(store.save("first-token"));
  EXPECT_EQ(store.load(), "first-token");
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(file.parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_TRUE(store.save("second"));
  EXPECT_EQ(store.load(), "second");
  // Nothing but the token is left in the folder (no temporary files).
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(file.parent_path())) ++entries;
  EXPECT_EQ(entries, 1);
  EXPECT_FALSE(store.save(""));
  EXPECT_EQ(store.load(), "second");
  store.discard();
  EXPECT_FALSE(store.load());
}

TEST_F(TokenStore, FindsItsFileFromTheEnvironment) {
  const char* oldState = std::getenv("XDG_STATE_HOME");
  const char* oldHome = std::getenv("HOME");
  const std::string savedState = oldState ? oldState : "";
  const std::string savedHome = oldHome ? oldHome : "";
  setenv("XDG_STATE_HOME", "/s", 1);
  setenv("HOME", "/h", 1);
  EXPECT_EQ(RestoreTokenStore::defaultPath(), "/s/tesmar-recorder/screencast-restore-token");
  setenv("XDG_STATE_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(RestoreTokenStore::defaultPath(), "/h/.local/state/tesmar-recorder/screencast-restore-token");
  unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(RestoreTokenStore::defaultPath(), "/h/.local/state/tesmar-recorder/screencast-restore-token");
  unsetenv("HOME");
  EXPECT_EQ(RestoreTokenStore::defaultPath(), "");
  if (oldState) setenv("XDG_STATE_HOME", savedState.c_str(), 1);
  if (oldHome) setenv("HOME", savedHome.c_str(), 1);
}

TEST_F(TokenStore, ReadsNoTokenFromAnEmptyOrOversizedFile) {
  const std::filesystem::path file = dir_ / "token";
  RestoreTokenStore store(file.string());
  std::ofstream(file) << "";
  EXPECT_FALSE(store.load());
  std::ofstream(file) << std::string(5000, 'a');
  EXPECT_FALSE(store.load());
  std::ofstream(file) << "abc\n";
  EXPECT_EQ(store.load(), "abc");
}

}  // namespace
