#include "discovery/DisplayGeometry.h"
#include "input/NDJSON.h"
#include "recorder/Recorder.h"
#include "support/ScriptedPlatform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class TempDir : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tesmar-unit-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

using NDJSONLog = TempDir;

TEST_F(NDJSONLog, WritesOneEscapedLinePerRecordAndDropsUnserialisable) {
  NDJSON log((dir_ / "log.ndjson").string());
  log.write({{"key", "a\nb"}, {"path", "/x"}});
  log.write({{"bad", std::nan("")}});
  log.write({{"n", 1.5}, {"list", {"A", "B"}}});
  log.close();
  log.write({{"after", "close"}});
  EXPECT_EQ(readFile(dir_ / "log.ndjson"),
            "{\"key\":\"a\\nb\",\"path\":\"\\/x\"}\n{\"list\":[\"A\",\"B\"],\"n\":1.5}\n");
}

TEST_F(NDJSONLog, ReplacesOldContentsReadOnlyFilesAndLinksWithAPrivateFile) {
  const fs::path old = dir_ / "old.ndjson";
  std::ofstream(old) << "old line\n";
  fs::permissions(old, fs::perms::owner_read);
  const fs::path target = dir_ / "elsewhere.txt";
  std::ofstream(target) << "keep me\n";
  const fs::path link = dir_ / "link.ndjson";
  fs::create_symlink(target, link);

  NDJSON first(old.string());
  NDJSON second(link.string());
  EXPECT_TRUE(first.isOpen());
  EXPECT_TRUE(second.isOpen());
  second.write({{"a", 1}});
  second.close();

  EXPECT_EQ(readFile(old), "");
  EXPECT_FALSE(fs::is_symlink(link));
  EXPECT_EQ(readFile(link), "{\"a\":1}\n");
  EXPECT_EQ(readFile(target), "keep me\n") << "never written through the link";
  struct stat st{};
  ASSERT_EQ(stat(old.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(NDJSONLog, ALogThatCannotBeCreatedDropsRecordsQuietly) {
  NDJSON log((dir_ / "missing" / "log.ndjson").string());
  EXPECT_FALSE(log.isOpen());
  log.write({{"a", 1}});  // no crash, nothing written
  log.close();
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

platform::Screen screen(platform::Rect frame, int rate) {
  platform::Screen s;
  s.frame = frame;
  s.maximumFramesPerSecond = rate;
  return s;
}

TEST(DisplayGeometry, RefreshRateOfTheScreenShowingMostOfTheRectangle) {
  const platform::Rect primary(0, 0, 1920, 1080);
  const platform::Rect rightOf(1920, 0, 1920, 1080);
  struct Case {
    const char* name;
    std::vector<platform::Screen> screens;
    platform::Rect rect;
    int expected;
  };
  const Case cases[] = {
      {"no screens", {}, {0, 0, 10, 10}, 60},
      {"outside every screen", {screen(primary, 60)}, {5000, 5000, 10, 10}, 60},
      {"wholly on the second", {screen(primary, 60), screen(rightOf, 120)}, {2000, 100, 100, 100}, 120},
      {"evenly split keeps the first", {screen(primary, 60), screen(rightOf, 120)}, {1820, 0, 200, 100}, 60},
      {"zero raised", {screen(primary, 0)}, primary, 30},
      {"24 raised", {screen(primary, 24)}, primary, 30},
      {"30 stays", {screen(primary, 30)}, primary, 30},
      {"31 stays", {screen(primary, 31)}, primary, 31},
      {"360 lowered", {screen(primary, 360)}, primary, 240},
  };
  for (const Case& c : cases) {
    testing_support::ScriptedWindowing screens;
    screens.screenList = c.screens;
    EXPECT_EQ(refreshRate(screens, c.rect), c.expected) << c.name;
  }
}

TEST(DisplayGeometry, ConvertsScreenSpaceToGlobalTopLeft) {
  testing_support::ScriptedWindowing screens;
  screens.screenList = {screen({0, 0, 1920, 1080}, 60)};
  const double h = primaryScreenHeight(screens);
  EXPECT_EQ(h, 1080);
  EXPECT_EQ(toGlobal(platform::Rect(1920, 0, 1280, 800), h), platform::Rect(1920, 280, 1280, 800));
  EXPECT_EQ(toGlobal(platform::Point{100, 1000}, h), (platform::Point{100, 80}));
  screens.screenList.clear();
  EXPECT_EQ(primaryScreenHeight(screens), 0);
}

TEST(RecordingClock, PreciseRoundsHalvesAwayFromZeroInDoublePrecision) {
  struct Case {
    double in, out;
  };
  for (const Case& c : {Case{0.125, 0.13}, Case{-0.125, -0.13}, Case{2.675, 2.68}, Case{1.005, 1.0},
                        Case{3.456, 3.46}, Case{0.005, 0.01}, Case{0.285, 0.28}}) {
    EXPECT_EQ(precise(c.in), c.out) << c.in;
  }
}

TEST(Geometry, IntersectionIsNullOnlyWithoutOverlap) {
  using platform::Rect;
  EXPECT_EQ(platform::intersection(Rect(0, 0, 10, 10), Rect(5, 5, 10, 10)), Rect(5, 5, 5, 5));
  EXPECT_TRUE(platform::intersection(Rect(0, 0, 10, 10), Rect(20, 0, 5, 5)).isNull());
  EXPECT_EQ(platform::intersection(Rect(0, 0, 10, 10), Rect(10, 0, 5, 5)), Rect(10, 0, 0, 5));
  EXPECT_EQ(platform::intersection(Rect(-5, -5, 10, 10), Rect(0, 0, 100, 100)), Rect(0, 0, 5, 5));
}

}  // namespace
