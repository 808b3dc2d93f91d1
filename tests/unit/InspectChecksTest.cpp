// The checks of tesmar-inspect on small hand-made inputs: log lines,
// metadata documents and MP4 box layouts, each case one fault (or none).
#include "inspect/LogCheck.h"
#include "inspect/MetadataCheck.h"
#include "inspect/Mp4Boxes.h"
#include "support/ScriptedPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <set>

namespace {

using inspect::LogKind;
using inspect::Report;
using nlohmann::json;

std::set<std::string> checksOf(const Report& report) {
  std::set<std::string> checks;
  for (const auto& problem : report.problems) checks.insert(problem.check);
  return checks;
}

std::string describe(const Report& report) {
  std::string text;
  for (const auto& problem : report.problems) text += problem.check + " " + problem.file + ": " + problem.message + "\n";
  return text;
}

// ---- logs --------------------------------------------------------------

struct LogCase {
  const char* name;
  LogKind kind;
  std::string text;
  std::optional<double> durationMs;
  std::set<std::string> checks;  // expected problems; empty: the log is sound
};

void PrintTo(const LogCase& c, std::ostream* out) { *out << c.name; }

class LogTable : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogTable, ReportsEachFaultWithItsCheck) {
  Report report;
  std::set<std::string> cursors;
  const inspect::LogReport log = inspect::checkLogText({"log.ndjson", GetParam().kind, GetParam().durationMs},
                                                       GetParam().text, report, cursors);
  EXPECT_EQ(checksOf(report), GetParam().checks) << describe(report);
  for (const auto& problem : report.problems) EXPECT_EQ(problem.file, "log.ndjson");
  if (GetParam().checks.empty()) {
    EXPECT_EQ(log.records, std::count(GetParam().text.begin(), GetParam().text.end(), '\n'));
  }
}

const std::string kMove1 = R"({"t":10.5,"x":1,"y":2,"cursor":"cursor-0"})" "\n";
const std::string kMove2 = R"({"t":20,"x":3,"y":4,"cursor":"cursor-1"})" "\n";
const std::string kMove2Again = R"({"t":20,"x":5,"y":4,"cursor":"cursor-1"})" "\n";
const std::string kClick = R"({"t":15,"x":1,"y":2,"type":"mouseDown","button":"left","cursor":"cursor-0"})" "\n";
const std::string kKey = R"({"t":15,"key":"A","modifiers":["Shift"],"isRepeat":false})" "\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, LogTable,
    ::testing::Values(
        LogCase{"EmptyLog", LogKind::moves, "", 100.0, {}},
        LogCase{"SoundMoves", LogKind::moves, kMove1 + kMove2 + kMove2Again, 100.0, {}},
        LogCase{"SoundClickAndKey", LogKind::clicks, kClick, 100.0, {}},
        LogCase{"SoundKey", LogKind::keys, kKey, 100.0, {}},
        LogCase{"TimeGoesBack", LogKind::moves, kMove2 + kMove1, 100.0, {"logOrder"}},
        LogCase{"LastLineWithoutLineFeed", LogKind::moves, kMove1 + R"({"t":20,"x":3)", 100.0, {"logLine"}},
        LogCase{"NotJson", LogKind::moves, kMove1 + "hello\n", 100.0, {"logLine"}},
        LogCase{"ArrayNotObject", LogKind::moves, "[1,2]\n", 100.0, {"logLine"}},
        LogCase{"ClickWithoutButton", LogKind::clicks, R"({"t":1,"x":1,"y":2,"type":"mouseDown","cursor":"a"})" "\n", 100.0, {"logLine"}},
        LogCase{"ClickOfUnknownType", LogKind::clicks, R"({"t":1,"x":1,"y":2,"type":"press","button":"left","cursor":"a"})" "\n", 100.0, {"logLine"}},
        LogCase{"KeyWithNumericModifier", LogKind::keys, R"({"t":1,"key":"A","modifiers":[1],"isRepeat":false})" "\n", 100.0, {"logLine"}},
        LogCase{"MoveWithoutT", LogKind::moves, R"({"x":1,"y":2,"cursor":"a"})" "\n", 100.0, {"logLine"}},
        LogCase{"AfterTheEnd", LogKind::moves, kMove1 + kMove2, 15.0, {"logRange"}},
        LogCase{"AtTheEndWithItsRounding", LogKind::moves, kMove1 + kMove2, 19.995, {}},
        LogCase{"BeforeTheStart", LogKind::keys, R"({"t":-1,"key":"A","modifiers":[],"isRepeat":false})" "\n", 100.0, {"logRange"}},
        LogCase{"NoEndKnownInAFolderCutShort", LogKind::moves, kMove1 + kMove2, std::nullopt, {}}),
    [](const ::testing::TestParamInfo<LogCase>& testCase) { return std::string(testCase.param.name); });

TEST(LogCheck, ShowsAFewProblemsOfALogThenCountsTheRest) {
  std::string text;
  for (int i = 0; i < 10; ++i) text += "garbage\n";
  Report report;
  std::set<std::string> cursors;
  inspect::checkLogText({"log.ndjson", LogKind::moves, 100.0}, text, report, cursors);
  ASSERT_EQ(report.problems.size(), 4u) << describe(report);
  EXPECT_NE(report.problems.back().message.find("7 more"), std::string::npos) << report.problems.back().message;
}

TEST(LogCheck, CollectsTheCursorIdsOfMovesAndClicks) {
  Report report;
  std::set<std::string> cursors;
  inspect::checkLogText({"m", LogKind::moves, 100.0}, kMove1 + kMove2, report, cursors);
  inspect::checkLogText({"c", LogKind::clicks, 100.0}, kClick, report, cursors);
  EXPECT_EQ(cursors, (std::set<std::string>{"cursor-0", "cursor-1"}));
}

// ---- metadata ------------------------------------------------------------

json soundMetadata() {
  return json::parse(R"({
    "version": 1, "mode": "screen", "durationMs": 2500.5, "width": 640, "height": 360, "scale": 1.0,
    "fps": 60, "displayRefreshRate": 60, "region": {"x": 0, "y": 0, "width": 640, "height": 360},
    "hasSystemAudio": true, "hasMicrophone": false, "hasKeystrokes": true, "frames": 120,
    "startedAt": 1765000000000.5, "audioStartMs": {"system": -3.2}, "droppedAudioBuffers": {},
    "stopReason": "user", "cursors": {"cursor-0": {"hotX": 1, "hotY": 1, "width": 24, "height": 24}},
    "finished": true})");
}

struct MetadataCase {
  const char* name;
  std::function<void(json&)> change;
  std::set<std::string> checks;
};

void PrintTo(const MetadataCase& c, std::ostream* out) { *out << c.name; }

class MetadataTable : public ::testing::TestWithParam<MetadataCase> {};

TEST_P(MetadataTable, HoldsEachMemberToItsRule) {
  json document = soundMetadata();
  GetParam().change(document);
  Report report;
  inspect::checkMetadata(document, report);
  EXPECT_EQ(checksOf(report), GetParam().checks) << describe(report);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetadataTable,
    ::testing::Values(
        MetadataCase{"Sound", [](json&) {}, {}},
        MetadataCase{"MemberMissing", [](json& d) { d.erase("fps"); }, {"metadata"}},
        MetadataCase{"MemberOfTheWrongType", [](json& d) { d["frames"] = "120"; }, {"metadata"}},
        MetadataCase{"UnknownMember", [](json& d) { d["extra"] = 1; }, {"metadata"}},
        MetadataCase{"OtherVersion", [](json& d) { d["version"] = 2; }, {"metadata"}},
        MetadataCase{"OddWidth", [](json& d) { d["width"] = 641; }, {"metadata"}},
        MetadataCase{"FpsAboveTheRefreshRate", [](json& d) { d["fps"] = 120; }, {"metadata"}},
        MetadataCase{"CancelIsNoStopReason", [](json& d) { d["stopReason"] = "cancel"; }, {"metadata"}},
        MetadataCase{"AudioFlagWithoutItsStart", [](json& d) { d["hasMicrophone"] = true; }, {"metadata"}},
        MetadataCase{"AudioStartWithoutItsFlag", [](json& d) { d["hasSystemAudio"] = false; }, {"metadata"}},
        MetadataCase{"UnknownAudioTrack", [](json& d) { d["droppedAudioBuffers"]["speaker"] = 1; }, {"metadata"}},
        MetadataCase{"CursorWithoutSize", [](json& d) { d["cursors"]["cursor-0"].erase("width"); }, {"metadata"}},
        MetadataCase{"RegionOfNegativeSize", [](json& d) { d["region"]["width"] = -1; }, {"metadata"}},
        MetadataCase{"NotFinished", [](json& d) { d["finished"] = false; }, {"notFinished"}}),
    [](const ::testing::TestParamInfo<MetadataCase>& testCase) { return std::string(testCase.param.name); });

// ---- MP4 boxes -------------------------------------------------------------

std::string box(const std::string& type, size_t bodyBytes) {
  const uint32_t size = static_cast<uint32_t>(8 + bodyBytes);
  std::string out = {static_cast<char>(size >> 24), static_cast<char>(size >> 16), static_cast<char>(size >> 8),
                     static_cast<char>(size)};
  return out + type + std::string(bodyBytes, '\0');
}

struct BoxCase {
  const char* name;
  std::string bytes;
  std::vector<std::string> boxes;
  std::string cutBox;
  int64_t fragments;
  int64_t cutBytes;
};

void PrintTo(const BoxCase& c, std::ostream* out) { *out << c.name; }

class BoxTable : public ::testing::TestWithParam<BoxCase> {};

TEST_P(BoxTable, FindsTheWholeBoxesAndWhereTheFileIsCut) {
  const std::string path = testing_support::temporaryPath("boxes");
  std::ofstream(path, std::ios::binary) << GetParam().bytes;
  const inspect::Mp4Layout layout = inspect::readMp4Layout(path);
  std::filesystem::remove(path);
  ASSERT_TRUE(layout.readable);
  EXPECT_EQ(layout.boxes, GetParam().boxes);
  EXPECT_EQ(layout.cutBox, GetParam().cutBox);
  EXPECT_EQ(layout.fragments, GetParam().fragments);
  EXPECT_EQ(layout.size, static_cast<int64_t>(GetParam().bytes.size()));
  EXPECT_EQ(layout.size - layout.wholeBytes, GetParam().cutBytes);
}

const std::string kHeader = box("ftyp", 12) + box("moov", 40);
const std::string kFragment = box("moof", 20) + box("mdat", 100);

INSTANTIATE_TEST_SUITE_P(
    Cases, BoxTable,
    ::testing::Values(
        BoxCase{"Finished", kHeader + kFragment + kFragment + box("mfra", 16),
                {"ftyp", "moov", "moof", "mdat", "moof", "mdat", "mfra"}, "", 2, 0},
        BoxCase{"KilledBetweenFragments", kHeader + kFragment, {"ftyp", "moov", "moof", "mdat"}, "", 1, 0},
        BoxCase{"CutInsideMediaData", kHeader + kFragment.substr(0, 60), {"ftyp", "moov", "moof"}, "mdat", 1, 32},
        BoxCase{"CutInsideABoxHeader", kHeader + std::string("\0\0", 2), {"ftyp", "moov"}, "(header)", 0, 2},
        BoxCase{"LargeSizeBox",
                kHeader + std::string("\0\0\0\1mdat\0\0\0\0\0\0\0\x14", 16) + std::string(4, 'x'),
                {"ftyp", "moov", "mdat"}, "", 0, 0}),
    [](const ::testing::TestParamInfo<BoxCase>& testCase) { return std::string(testCase.param.name); });

}  // namespace
