#include "main/EventChannel.h"
#include "platform/Json.h"
#include "support/HostProcess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

namespace {

using testing_support::HostProcess;

TEST(Json, EscapesSlashesAndReadsBack) {
  auto text = platform::serializeJson({{"path", "/tmp/a/b"}});
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, R"({"path":"\/tmp\/a\/b"})");
  EXPECT_EQ(nlohmann::json::parse(*text)["path"], "/tmp/a/b");
  // A backslash before a slash stays a backslash of its own.
  auto mixed = platform::serializeJson({{"p", "a\\/b"}});
  EXPECT_EQ(nlohmann::json::parse(*mixed)["p"], "a\\/b");
}

TEST(Json, MessagesWithoutJsonFormAreRefused) {
  EXPECT_FALSE(platform::serializeJson({{"x", std::nan("")}}));
  EXPECT_FALSE(platform::serializeJson({{"nested", {{"x", INFINITY}}}}));
  EXPECT_FALSE(platform::serializeJson({{"list", {1, -INFINITY}}}));
  EXPECT_FALSE(platform::serializeJson({{"bad", "a\xFF"}}));
  EXPECT_EQ(platform::serializeJson(nlohmann::json::object()), "{}");
  EXPECT_EQ(platform::serializeJson({{"s", "line\nfeed \"q\" \xC3\xA9"}}), R"({"s":"line\nfeed \"q\" )" "\xC3\xA9" R"("})");
}

TEST(EventChannel, DropsUnserialisableMessagesAndWritesTheNext) {
  HostProcess child = HostProcess::fork([] {
    emit({{"event", "a"}});
    emit({{"event", "bad"}, {"x", std::nan("")}});
    emit({{"event", "bad"}, {"s", "\xC0"}});
    emit(nlohmann::json::object());
    emit({{"event", "b"}, {"url", "http://x/y"}});
  });
  auto lines = child.readRemainingLines();
  EXPECT_EQ(lines, (std::vector<std::string>{R"({"event":"a"})", "{}", R"({"event":"b","url":"http:\/\/x\/y"})"}));
  EXPECT_EQ(child.wait(), 0);
}

TEST(EventChannel, FailWritesOneErrorEventAndExitsWithOne) {
  struct Case {
    std::function<void()> call;
    std::string code;
  };
  for (const Case& c : {Case{[] { fail("Something broke", "startFailed"); }, "startFailed"},
                        Case{[] { fail("Something broke"); }, "error"}}) {
    HostProcess child = HostProcess::fork([&] {
      c.call();
      emit({{"event", "never"}});
    });
    auto lines = child.readRemainingLines();
    ASSERT_EQ(lines.size(), 1u);
    auto event = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(event, (nlohmann::json{{"event", "error"}, {"code", c.code}, {"message", "Something broke"}}));
    EXPECT_EQ(child.wait(), 1);
  }
}

TEST(EventChannel, ConcurrentWritersNeverInterleaveLines) {
  constexpr int kThreads = 8;
  constexpr int kLines = 400;
  HostProcess child = HostProcess::fork([] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        // Long lines: a pipe write larger than its atomic size could tear.
        const std::string payload(5000 + t, static_cast<char>('a' + t));
        for (int i = 0; i < kLines; ++i) emit({{"t", t}, {"i", i}, {"p", payload}});
      });
    }
    for (auto& thread : threads) thread.join();
  });
  std::vector<int> next(kThreads, 0);
  int count = 0;
  for (const std::string& line : child.readRemainingLines(std::chrono::seconds(60))) {
    auto value = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(value.is_discarded()) << line.substr(0, 80);
    int t = value["t"];
    EXPECT_EQ(value["i"], next[t]++) << "lines of one thread stay in order";
    EXPECT_EQ(value["p"].get<std::string>().size(), 5000u + t);
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
  EXPECT_EQ(child.wait(), 0);
}

}  // namespace
