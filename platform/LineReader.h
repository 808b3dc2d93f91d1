// A blocking, buffered line reader over a file descriptor: standard input's
// one reader, shared by the configuration read and the control loop so that
// the bytes one has buffered are the next bytes the other sees.
//
// A line ends at a line feed; a carriage return right before it is removed
// too. Bytes after the last line feed form a last line as they are (a
// carriage return at its end stays). Invalid UTF-8 is replaced by U+FFFD. A line longer than the reader's
// limit is not held whole: its bytes are discarded up to its line feed and it
// is reported as too long. Not thread-safe: one reader thread at a time.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

class LineReader {
 public:
  enum class Status { line, tooLong, endOfInput };

  explicit LineReader(int fd);

  // Reads the next line into `line` (without its line ending). A read error
  // counts as end of input. Bytes after end of input without a final line
  // feed form a last line.
  Status readLine(std::string& line, size_t maxBytes);

 private:
  bool fill();
  bool fillOrEnd(size_t& scanned);

  int fd_;
  std::string buffer_;
  size_t start_ = 0;
  bool eof_ = false;
  bool skippingRest_ = false;
};

// `bytes` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string sanitizeUtf8(const std::string& bytes);

}  // namespace platform
