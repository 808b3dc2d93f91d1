// The built program run as a host runs it: command words, the usage line,
// configuration rejections and exit statuses.
#include "support/HostProcess.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using testing_support::HostProcess;
using nlohmann::json;

constexpr const char* kUsage =
    "usage: tesmar-recorder list | permissions | request-permissions [screen|accessibility|microphone] | record";

TEST(CommandLine, AnythingButTheFourCommandWordsPrintsTheUsageLine) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"LIST"}, {"List"}, {" list"}, {"list "}, {"help"}, {"--help"}, {"records"}, {""}, {"Record", "x"}};
  for (const auto& args : cases) {
    HostProcess agent = HostProcess::spawn(TESMAR_BINARY, args);
    agent.closeInput();
    EXPECT_EQ(agent.readRemainingLines(), std::vector<std::string>{kUsage}) << (args.empty() ? "<none>" : args[0]);
    EXPECT_EQ(agent.wait(), 0);
  }
}

TEST(CommandLine, RecordRejectsABadConfigurationWithOneErrorAndStatusOne) {
  struct Case {
    const char* name;
    std::string input;
    bool closeAfter;
    std::string message;
  };
  const std::string invalid = "Records requested channels, pass configuration JSON via stdin.";
  const Case cases[] = {
      {"end of input at once", "", true, invalid},
      {"empty first line", "\n{\"outputDir\":\"/tmp/x\",\"mode\":\"screen\"}\n", false, invalid},
      {"not an object", "[1,2]\n", false, invalid},
      {"pretty-printed", "{\n  \"outputDir\": \"/tmp/x\",\n  \"mode\": \"screen\"\n}\n", false, invalid},
      {"wrong type", "{\"outputDir\":\"/tmp/x\",\"mode\":\"screen\",\"fps\":\"30\"}\r\n", false, invalid},
      {"window without id", "{\"outputDir\":\"/tmp/x\",\"mode\":\"window\"}\n", false,
       "Only one window channel is supported; windowId missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostProcess agent = HostProcess::spawn(TESMAR_BINARY, {"record"});
    agent.write(c.input);
    if (c.closeAfter) agent.closeInput();
    auto lines = agent.readRemainingLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(json::parse(lines[0]), (json{{"event", "error"}, {"code", "invalidConfiguration"}, {"message", c.message}}));
    EXPECT_EQ(agent.wait(), 1);
  }
}

TEST(CommandLine, AHostThatHasGoneAwayCannotKillTheAgentWithABrokenPipe) {
  HostProcess agent = HostProcess::spawn(TESMAR_BINARY, {"record"});
  agent.closeOutput();
  agent.writeLine("not json");
  // The error event goes into a pipe nobody reads: the write fails, the agent
  // still exits with its own status rather than dying of SIGPIPE.
  EXPECT_EQ(agent.wait(), 1);
}

}  // namespace
