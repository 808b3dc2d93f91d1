#include "RecorderFixture.h"

#include <chrono>

namespace input_tests {
namespace {

using nlohmann::json;

// One poll tick: the recording clock, the pointer (global top-left), the
// cursor shown (an index into the test's images) and the region's origin at
// that moment, and the move record expected from it, if any.
struct Tick {
  double now;
  std::optional<double> t0;
  std::optional<double> pausedAt;
  double pauseTotal;
  platform::Point pointer;
  int cursor;
  platform::Point regionOrigin;
  std::optional<json> record;
};

class PointerTrackingTest : public RecorderFixture {};

TEST_F(PointerTrackingTest, WritesOneRecordPerChangeOfPositionOrCursorWhileTheClockRuns) {
  const platform::CursorImage cursors[] = {cursorImage(16, 1), cursorImage(9, 2)};
  const platform::Point origin{40, 30};
  const Tick ticks[] = {
      // Before the first frame nothing is logged.
      {99.0, std::nullopt, std::nullopt, 0, {100, 100}, 0, origin, std::nullopt},
      // The host time before t0 gives a negative recording time.
      {99.9, 100.0, std::nullopt, 0, {100, 100}, 0, origin, std::nullopt},
      {100.0123, 100.0, std::nullopt, 0, {100, 100}, 0, origin,
       json{{"t", 12.3}, {"x", 60.0}, {"y", 70.0}, {"cursor", "cursor-0"}}},
      {100.02, 100.0, std::nullopt, 0, {100, 100}, 0, origin, std::nullopt},
      {100.03, 100.0, std::nullopt, 0, {101.5, 100}, 0, origin,
       json{{"t", 30.0}, {"x", 61.5}, {"y", 70.0}, {"cursor", "cursor-0"}}},
      // A cursor change alone is a record with the same position.
      {100.04, 100.0, std::nullopt, 0, {101.5, 100}, 1, origin,
       json{{"t", 40.0}, {"x", 61.5}, {"y", 70.0}, {"cursor", "cursor-1"}}},
      // Paused: nothing, whatever moves.
      {100.06, 100.0, 100.05, 0, {300, 300}, 0, origin, std::nullopt},
      // Resumed, back where the last record was: still nothing.
      {100.11, 100.0, std::nullopt, 0.05, {101.5, 100}, 1, origin, std::nullopt},
      // The paused time is left out of "t"; outside the region is negative.
      {100.12, 100.0, std::nullopt, 0.05, {10, 20}, 1, origin,
       json{{"t", 70.0}, {"x", -30.0}, {"y", -10.0}, {"cursor", "cursor-1"}}},
      // The region moving under a still pointer is no change.
      {100.13, 100.0, std::nullopt, 0.05, {10, 20}, 1, {50, 20}, std::nullopt},
      {100.14, 100.0, std::nullopt, 0.05, {11, 20}, 1, {50, 20},
       json{{"t", 90.0}, {"x", -39.0}, {"y", 0.0}, {"cursor", "cursor-1"}}},
  };

  std::vector<json> expected;
  for (const Tick& tick : ticks) {
    access().setClock(tick.t0, tick.pausedAt, tick.pauseTotal);
    clock->set(tick.now);
    pointAt(tick.pointer.x, tick.pointer.y);
    input->show(cursors[tick.cursor]);
    access().region().origin = tick.regionOrigin;
    recorder->pollTick();
    if (tick.record) expected.push_back(*tick.record);
    ASSERT_EQ(log("mouse-moves.ndjson").size(), expected.size()) << "tick at " << tick.now;
  }

  const auto records = log("mouse-moves.ndjson");
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].size(), 4u);
    EXPECT_EQ(records[i]["cursor"], expected[i]["cursor"]) << i;
    for (const char* key : {"t", "x", "y"}) {
      EXPECT_DOUBLE_EQ(records[i][key].get<double>(), expected[i][key].get<double>()) << key << " of record " << i;
    }
  }
  EXPECT_EQ(access().lastMouse(), (platform::Point{11, 20}));
}

TEST_F(PointerTrackingTest, NothingIsUpdatedBeforeTheFirstFrame) {
  pointAt(5, 5);
  input->show(cursorImage(16, 1));
  recorder->pollTick();
  EXPECT_EQ(access().lastMouse(), (platform::Point{-1, -1}));
  EXPECT_TRUE(access().lastCursorId().empty());
  EXPECT_EQ(input->imagesServed(), 0);  // the cursor is not even looked at
}

// ---- set-up ------------------------------------------------------------------

struct RateCase {
  int displayRefreshRate;
  int pollRate;
};

void PrintTo(const RateCase& c, std::ostream* out) {
  *out << "display at " << c.displayRefreshRate << " Hz, polled " << c.pollRate << " times a second";
}

class PollRateTest : public RecorderFixture, public ::testing::WithParamInterface<RateCase> {};

TEST_P(PollRateTest, PollsAtTheDisplayRateWithAFloorOf60) {
  access().displayRefreshRate() = GetParam().displayRefreshRate;
  recorder->startInputCapture();
  ASSERT_NE(access().pollTimer(), nullptr);
  EXPECT_EQ(access().pollTimer()->interval(), platform::seconds(1.0 / GetParam().pollRate));
  ASSERT_NE(access().diskTimer(), nullptr);
  EXPECT_EQ(access().diskTimer()->interval(), platform::seconds(5));
}

INSTANTIATE_TEST_SUITE_P(Rates, PollRateTest,
                         ::testing::Values(RateCase{0, 60}, RateCase{30, 60}, RateCase{60, 60}, RateCase{120, 120},
                                           RateCase{144, 144}),
                         [](const auto& row) {
                           return "Display" + std::to_string(row.param.displayRefreshRate) + "HzPolls" +
                                  std::to_string(row.param.pollRate);
                         });

struct MonitorCase {
  const char* name;
  std::optional<bool> captureKeystrokes;
  bool trusted;
  int refused;
  std::vector<std::string> installed;
  int trustQueries;
};

void PrintTo(const MonitorCase& c, std::ostream* out) {
  *out << c.name << ": captureKeystrokes "
       << (c.captureKeystrokes ? (*c.captureKeystrokes ? "true" : "false") : "absent") << (c.trusted ? ", trusted" : ", not trusted")
       << ", " << c.refused << " monitor(s) refused";
}

class MonitorSetUpTest : public RecorderFixture, public ::testing::WithParamInterface<MonitorCase> {};

TEST_P(MonitorSetUpTest, InstallsTheClickMonitorAndTheKeyMonitorOnlyWhenWantedAndAllowed) {
  const MonitorCase& c = GetParam();
  RecordConfig cfg;
  cfg.captureKeystrokes = c.captureKeystrokes;
  makeRecorder(cfg);
  permissions->trusted = c.trusted;
  input->refuseNext = c.refused;

  recorder->startInputCapture();

  EXPECT_EQ(input->installed, c.installed);
  EXPECT_EQ(access().monitors().size(), c.installed.size());
  EXPECT_EQ(permissions->trustQueries.load(), c.trustQueries);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MonitorSetUpTest,
    ::testing::Values(MonitorCase{"OptionAbsent", std::nullopt, true, 0, {"mouse", "key"}, 1},
                      MonitorCase{"OptionTrue", true, true, 0, {"mouse", "key"}, 1},
                      MonitorCase{"OptionFalse", false, true, 0, {"mouse"}, 0},
                      MonitorCase{"NotTrusted", true, false, 0, {"mouse"}, 1},
                      MonitorCase{"ClickMonitorRefused", std::nullopt, true, 1, {"key"}, 1}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(PointerTrackingTest, FirstTickComesAtOnceAndWatchersHoldTheRecorderWeakly) {
  access().setClock(100.0);
  clock->set(100.5);
  pointAt(1, 2);
  input->show(cursorImage(16, 1));

  const auto started = std::chrono::steady_clock::now();
  recorder->startInputCapture();
  while (log("mouse-moves.ndjson").empty() && std::chrono::steady_clock::now() - started < std::chrono::seconds(2)) {
    loop.context().run_one_for(std::chrono::milliseconds(1));
  }
  // At once: well before a whole poll interval has passed.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(16));
  EXPECT_EQ(log("mouse-moves.ndjson").size(), 1u);

  // Timers and monitors must not keep the recorder alive, and a handler
  // called after it is gone does nothing.
  std::weak_ptr<Recorder> weak = recorder;
  recorder.reset();
  EXPECT_TRUE(weak.expired());
  input->mouseHandler(platform::MouseEvent{platform::MouseEventType::leftMouseDown});
  input->keyHandler(platform::KeyEvent{});
  EXPECT_TRUE(log("mouse-clicks.ndjson").empty());
  EXPECT_TRUE(log("keystrokes.ndjson").empty());
}

}  // namespace
}  // namespace input_tests
