#include "main/ControlLoop.h"
#include "platform/LineReader.h"

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

namespace {

using Status = platform::LineReader::Status;

// Every line the reader gives for `input` with a limit of `limit` bytes;
// over-long lines show as "<too long>".
std::vector<std::string> readAll(const std::string& input, size_t limit) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    // Small writes, so that lines arrive split across reads.
    for (size_t i = 0; i < input.size(); i += 7) {
      if (write(fds[1], input.data() + i, std::min<size_t>(7, input.size() - i)) <= 0) break;
    }
    close(fds[1]);
  });
  platform::LineReader reader(fds[0]);
  std::vector<std::string> lines;
  std::string line;
  for (;;) {
    Status status = reader.readLine(line, limit);
    if (status == Status::endOfInput) break;
    lines.push_back(status == Status::tooLong ? "<too long>" : line);
  }
  writer.join();
  close(fds[0]);
  return lines;
}

TEST(LineReader, SplitsLinesAndStripsOnlyLineFeedOrCarriageReturnLineFeed) {
  struct Case {
    std::string in;
    std::vector<std::string> lines;
  };
  for (const Case& c : {
           Case{"a\nbb\r\n\n\r\nlast", {"a", "bb", "", "", "last"}},
           Case{"x\ry\n", {"x\ry"}},                // a carriage return inside a line stays
           Case{"only\r", {"only\r"}},               // no line feed: the last line keeps its carriage return
           Case{"stop\r\ncancel\r", {"stop", "cancel\r"}},
           Case{"\r", {"\r"}},
           Case{"two\r\r\n", {"two\r"}},            // only one carriage return belongs to the ending
           Case{"", {}},
       }) {
    EXPECT_EQ(readAll(c.in, 100), c.lines) << testing::PrintToString(c.in);
  }
}

TEST(LineReader, TheLimitCountsALastCarriageReturnWithoutLineFeed) {
  // Before a line feed the carriage return is part of the ending and does
  // not count; at the end of input it is part of the line.
  const std::string full(64, 'q');
  EXPECT_EQ(readAll(full + "\r\n", 64), (std::vector<std::string>{full}));
  EXPECT_EQ(readAll(full + "\r", 64), (std::vector<std::string>{"<too long>"}));
}

TEST(LineReader, DiscardsOverlongLinesAndCarriesOn) {
  const std::string longLine(1000, 'z');
  EXPECT_EQ(readAll("ok\n" + longLine + "\nnext\n" + longLine, 64),
            (std::vector<std::string>{"ok", "<too long>", "next", "<too long>"}));
  EXPECT_EQ(readAll(std::string(64, 'q') + "\n", 64), (std::vector<std::string>{std::string(64, 'q')}));
}

TEST(LineReader, ReplacesInvalidUtf8) {
  struct Case {
    std::string in, out;
  };
  const std::string fffd = "\xEF\xBF\xBD";
  for (const Case& c : {Case{"plain", "plain"}, Case{"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
                        Case{"a\xFF" "b", "a" + fffd + "b"}, Case{"\xC3", fffd},
                        Case{"\xE2\x82", fffd},                       // truncated sequence: one replacement
                        Case{"\xED\xA0\x80", fffd + fffd + fffd},      // a UTF-16 surrogate is not UTF-8
                        Case{"\xF0\x9F\x8E\xA5", "\xF0\x9F\x8E\xA5"}}) {
    EXPECT_EQ(platform::sanitizeUtf8(c.in), c.out) << c.in;
  }
}

TEST(ControlLine, TrimsTabsAndUnicodeSpacesOnly) {
  struct Case {
    std::string in, out;
  };
  for (const Case& c : {Case{"pause", "pause"}, Case{" \t pause\t ", "pause"},
                        Case{"\xC2\xA0pause\xE3\x80\x80", "pause"},        // no-break space, ideographic space
                        Case{"\xE2\x80\x82pause\xE2\x80\xAF", "pause"},    // en space, narrow no-break space
                        Case{"\rpause", "\rpause"},                        // control characters stay
                        Case{"pa use", "pa use"}, Case{"   ", ""},
                        Case{"\xE2\x80\xA0", "\xE2\x80\xA0"}}) {           // a dagger is not a space
    EXPECT_EQ(trimControlLine(c.in), c.out) << c.in;
  }
}

}  // namespace
