#include "config/RecordConfig.h"

#include <gtest/gtest.h>

#include <limits>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kInvalid = "Records requested channels, pass configuration JSON via stdin.";
constexpr const char* kNoWindow = "Only one window channel is supported; windowId missing";

struct Case {
  const char* name;
  std::string line;
  const char* rejection;  // nullptr when accepted
};

std::string withBase(const std::string& extra) {
  return R"({"outputDir":"/tmp/x","mode":"screen")" + extra + "}";
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class DecodeTable : public testing::TestWithParam<Case> {};

TEST_P(DecodeTable, AcceptsOrRejectsWithTheRightMessage) {
  const Case& c = GetParam();
  auto result = decodeRecordConfig(c.line);
  if (!c.rejection) {
    ASSERT_TRUE(std::holds_alternative<RecordConfig>(result)) << c.line;
  } else {
    ASSERT_TRUE(std::holds_alternative<ConfigRejection>(result)) << c.line;
    EXPECT_EQ(std::get<ConfigRejection>(result).message, c.rejection);
    EXPECT_EQ(std::get<ConfigRejection>(result).code, "invalidConfiguration");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DecodeTable,
    testing::Values(
        Case{"Minimal", withBase(""), nullptr},
        Case{"WhiteSpaceAround", " \t" + withBase("") + " \r ", nullptr},
        Case{"UnknownKeyIgnored", withBase(R"(,"Fps":"x","extra":[1,{}])"), nullptr},
        Case{"NullOptionalIsAbsent", withBase(R"(,"fps":null,"area":null,"excludeBundleIds":null)"), nullptr},
        Case{"ZeroAndNegativeFps", withBase(R"(,"fps":-5,"minFreeDiskBytes":0)"), nullptr},
        Case{"WholeFloatForInteger", withBase(R"(,"fps":30.0,"displayId":4294967295.0)"), nullptr},
        Case{"Int64Limits", withBase(R"(,"fps":-9223372036854775808,"minFreeDiskBytes":9223372036854775807)"), nullptr},
        Case{"Int64LimitsWithFractionOrExponent",
             withBase(R"(,"fps":-9223372036854775808.0,"minFreeDiskBytes":9223372036854775807.000)"), nullptr},
        Case{"ExponentForInteger", withBase(R"(,"fps":3e1,"minFreeDiskBytes":1.5E9,"displayId":0.0)"), nullptr},
        Case{"NegativeZero", withBase(R"(,"fps":-0.0,"displayId":-0)"), nullptr},
        Case{"LargestDoubleBelowTwoTo63", withBase(R"(,"minFreeDiskBytes":9223372036854774784.0)"), nullptr},
        Case{"LargestDoubleAboveMinusTwoTo63", withBase(R"(,"fps":-9.223372036854774784e18)"), nullptr},
        Case{"AreaAnyNumbers", withBase(R"(,"area":{"x":-1.5,"y":0,"width":1e3,"height":0})"), nullptr},
        Case{"WindowWithId", R"({"outputDir":"o","mode":"window","windowId":7})", nullptr},
        Case{"Empty", "", kInvalid},
        Case{"Spaces", "   ", kInvalid},
        Case{"Malformed", R"({"outputDir":"o","mode":)", kInvalid},
        Case{"Array", R"([{"outputDir":"o","mode":"screen"}])", kInvalid},
        Case{"TrailingText", withBase("") + " x", kInvalid},
        Case{"TwoObjects", withBase("") + withBase(""), kInvalid},
        Case{"PrettyFirstLine", "{", kInvalid},
        Case{"MissingOutputDir", R"({"mode":"screen"})", kInvalid},
        Case{"NullMode", R"({"outputDir":"o","mode":null})", kInvalid},
        Case{"NumberOutputDir", R"({"outputDir":1,"mode":"screen"})", kInvalid},
        Case{"FpsString", withBase(R"(,"fps":"30")"), kInvalid},
        Case{"FpsFraction", withBase(R"(,"fps":29.97)"), kInvalid},
        Case{"SystemAudioNumber", withBase(R"(,"systemAudio":1)"), kInvalid},
        Case{"MicrophoneString", withBase(R"(,"microphone":"true")"), kInvalid},
        Case{"DisplayIdNegative", withBase(R"(,"displayId":-1)"), kInvalid},
        Case{"DisplayIdTooLarge", withBase(R"(,"displayId":4294967296)"), kInvalid},
        Case{"WindowIdFloatTooLarge", withBase(R"(,"windowId":4294967296.0)"), kInvalid},
        Case{"FpsBeyondInt64", withBase(R"(,"fps":9223372036854775808)"), kInvalid},
        Case{"FloatBeyondInt64", withBase(R"(,"minFreeDiskBytes":9.3e18)"), kInvalid},
        Case{"TwoTo63AsDouble", withBase(R"(,"minFreeDiskBytes":9223372036854775808.0)"), kInvalid},
        Case{"TwoTo64", withBase(R"(,"minFreeDiskBytes":18446744073709551616)"), kInvalid},
        // Below the range: the library holds these as doubles, the first one
        // rounded to exactly -2^63.
        Case{"FpsBelowInt64", withBase(R"(,"fps":-9223372036854775809)"), kInvalid},
        Case{"FpsBelowInt64WithFraction", withBase(R"(,"fps":-9223372036854775809.0)"), kInvalid},
        Case{"FloatBelowInt64", withBase(R"(,"minFreeDiskBytes":-9.3e18)"), kInvalid},
        Case{"ExponentBelowInt64", withBase(R"(,"fps":-1e19)"), kInvalid},
        Case{"FarBelowInt64", withBase(R"(,"fps":-1e300)"), kInvalid},
        // Fractions that a double cannot hold still make the value not whole.
        Case{"FractionLostInADouble", withBase(R"(,"fps":30.0000000000000001)"), kInvalid},
        Case{"FractionOfALargeDouble", withBase(R"(,"minFreeDiskBytes":9223372036854774784.5)"), kInvalid},
        Case{"TinyFraction", withBase(R"(,"fps":1e-400)"), kInvalid},
        Case{"FractionWithExponent", withBase(R"(,"fps":3.05e1)"), kInvalid},
        Case{"DisplayIdBelowZeroAsFloat", withBase(R"(,"displayId":-1.0)"), kInvalid},
        Case{"ExcludeNotStrings", withBase(R"(,"excludeBundleIds":["a",1])"), kInvalid},
        Case{"ExcludeNotArray", withBase(R"(,"excludeBundleIds":"a")"), kInvalid},
        Case{"AreaMissingMember", withBase(R"(,"area":{"x":0,"y":0,"width":1})"), kInvalid},
        Case{"AreaStringMember", withBase(R"(,"area":{"x":"0","y":0,"width":1,"height":1})"), kInvalid},
        Case{"MicrophoneIdNumber", withBase(R"(,"microphoneId":3)"), kInvalid},
        Case{"WindowWithoutId", R"({"outputDir":"o","mode":"window"})", kNoWindow},
        Case{"WindowWithNullId", R"({"outputDir":"o","mode":"window","windowId":null})", kNoWindow},
        Case{"WindowBadIdIsTypeError", R"({"outputDir":"o","mode":"window","windowId":"7"})", kInvalid}),
    [](const testing::TestParamInfo<Case>& row) { return std::string(row.param.name); });

TEST(RecordConfig, DecodesEveryFieldAndLeavesAbsentOnesAbsent) {
  auto result = decodeRecordConfig(
      R"({"outputDir":"/r\/x","mode":"area","displayId":2,"windowId":9,"area":{"x":1,"y":2,"width":3.5,"height":4},)"
      R"("fps":30,"systemAudio":true,"microphone":false,"microphoneId":"mic","excludeBundleIds":["a","b"],)"
      R"("captureKeystrokes":false,"hideDesktopIcons":true,"minFreeDiskBytes":-3})");
  ASSERT_TRUE(std::holds_alternative<RecordConfig>(result));
  const auto& c = std::get<RecordConfig>(result);
  EXPECT_EQ(c.outputDir, "/r/x");
  EXPECT_EQ(c.mode, "area");
  EXPECT_EQ(c.displayId, 2u);
  EXPECT_EQ(c.windowId, 9u);
  ASSERT_TRUE(c.area);
  EXPECT_EQ(c.area->width, 3.5);
  EXPECT_EQ(c.fps, 30);
  EXPECT_EQ(c.systemAudio, true);
  EXPECT_EQ(c.microphone, false);
  EXPECT_EQ(c.microphoneId, "mic");
  EXPECT_EQ(c.excludeBundleIds, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(c.captureKeystrokes, false);
  EXPECT_EQ(c.hideDesktopIcons, true);
  EXPECT_EQ(c.minFreeDiskBytes, -3);

  auto minimal = std::get<RecordConfig>(decodeRecordConfig(withBase("")));
  EXPECT_FALSE(minimal.displayId || minimal.windowId || minimal.area || minimal.fps || minimal.systemAudio ||
               minimal.microphone || minimal.microphoneId || minimal.excludeBundleIds || minimal.captureKeystrokes ||
               minimal.hideDesktopIcons || minimal.minFreeDiskBytes);
}

TEST(RecordConfig, IntegersWrittenWithFractionOrExponentDecodeToTheirExactValue) {
  struct Written {
    const char* fps;
    int64_t value;
  };
  for (const Written& c : {Written{"30.0", 30}, Written{"3e1", 30}, Written{"0.25e2", 25}, Written{"-5.0", -5},
                        Written{"-9223372036854775808.0", std::numeric_limits<int64_t>::min()},
                        Written{"9223372036854775807.0", std::numeric_limits<int64_t>::max()},
                        Written{"9223372036854774784.0", 9223372036854774784}}) {
    auto result = decodeRecordConfig(withBase(std::string(R"(,"fps":)") + c.fps));
    ASSERT_TRUE(std::holds_alternative<RecordConfig>(result)) << c.fps;
    EXPECT_EQ(std::get<RecordConfig>(result).fps, c.value) << c.fps;
  }
}

// Reads the configuration from a pipe holding `input`, then the next line.
std::pair<std::variant<RecordConfig, ConfigRejection>, std::optional<std::string>> readFromPipe(
    const std::string& input) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    size_t done = 0;
    while (done < input.size()) {
      ssize_t n = write(fds[1], input.data() + done, input.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fds[1]);
  });
  platform::LineReader reader(fds[0]);
  auto config = readRecordConfig(reader);
  std::string next;
  std::optional<std::string> second;
  if (reader.readLine(next, 1 << 20) == platform::LineReader::Status::line) second = next;
  writer.join();
  close(fds[0]);
  return {config, second};
}

TEST(RecordConfig, ReadsExactlyTheFirstLineAndLeavesTheRestForControl) {
  auto [lf, afterLf] = readFromPipe(withBase("") + "\npause\n");
  EXPECT_TRUE(std::holds_alternative<RecordConfig>(lf));
  EXPECT_EQ(afterLf, "pause");

  auto [crlf, afterCrlf] = readFromPipe(withBase("") + "\r\nstop\r\n");
  EXPECT_TRUE(std::holds_alternative<RecordConfig>(crlf));
  EXPECT_EQ(afterCrlf, "stop");

  // Without a line feed the carriage return stays on the line, where it is
  // white space around the object.
  auto [lastCr, afterLastCr] = readFromPipe(withBase("") + "\r");
  EXPECT_TRUE(std::holds_alternative<RecordConfig>(lastCr));
  EXPECT_EQ(afterLastCr, std::nullopt);

  auto [pretty, afterPretty] = readFromPipe("{\n\"outputDir\":\"o\",\"mode\":\"screen\"}\n");
  EXPECT_TRUE(std::holds_alternative<ConfigRejection>(pretty));

  auto [eof, afterEof] = readFromPipe("");
  EXPECT_TRUE(std::holds_alternative<ConfigRejection>(eof));

  auto [empty, afterEmpty] = readFromPipe("\n" + withBase("") + "\n");
  EXPECT_TRUE(std::holds_alternative<ConfigRejection>(empty));
}

TEST(RecordConfig, InvalidUtf8IsReplacedNotRejected) {
  auto [config, next] = readFromPipe(R"({"outputDir":"/tmp/a)" "\xff" R"(b","mode":"screen"})" "\n");
  ASSERT_TRUE(std::holds_alternative<RecordConfig>(config));
  EXPECT_EQ(std::get<RecordConfig>(config).outputDir, "/tmp/a\xEF\xBF\xBD" "b");
}

TEST(RecordConfig, AFirstLineBeyondOneMebibyteIsRejectedWithoutWaitingForItsEnd) {
  // The host keeps the line open: the reader must give up at the limit
  // rather than hold a line that never ends.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string huge = R"({"outputDir":")" + std::string(kMaxConfigurationLineBytes + 4096, 'a');
  std::thread writer([&] {
    size_t done = 0;
    while (done < huge.size()) {
      ssize_t n = write(fds[1], huge.data() + done, huge.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  });
  platform::LineReader reader(fds[0]);
  auto config = readRecordConfig(reader);
  ASSERT_TRUE(std::holds_alternative<ConfigRejection>(config));
  EXPECT_EQ(std::get<ConfigRejection>(config).message, kInvalid);
  close(fds[0]);  // unblocks the writer
  writer.join();
  close(fds[1]);
}

}  // namespace
