// The standard-input line reader on arbitrary bytes, delivered through a
// socket in reads of fuzzed sizes.
// Input: byte 0 picks the line limit, byte 1 the read sizes, the rest is the
// stream.
// Property: the reader returns exactly the stream's lines in order, then end
// of input (and again on every later call). A line ends at a line feed, and
// one carriage return right before it goes too; a last line without a line
// feed keeps a carriage return it ends with. A line whose bytes exceed the
// limit is reported as too long and never returned; every returned line is
// valid UTF-8, equal to the bytes when they are valid, otherwise the same
// text with each invalid sequence replaced by U+FFFD.
#include "FuzzSupport.h"
#include "platform/LineReader.h"

#include <algorithm>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

using platform::LineReader;

namespace {

// `s` without its invalid bytes and without U+FFFD characters.
std::string withoutReplacements(const std::string& s) {
  std::string out;
  for (const fuzz::Utf8Unit& u : fuzz::utf8Units(s))
    if (u.codePoint >= 0 && u.codePoint != 0xFFFD) out.append(s, u.offset, u.length);
  return out;
}

size_t replacements(const std::string& s) {
  size_t n = 0;
  for (const fuzz::Utf8Unit& u : fuzz::utf8Units(s)) n += u.codePoint < 0 || u.codePoint == 0xFFFD;
  return n;
}

// Whether `line` is what the reader should return for the line `bytes`.
bool decodes(const std::string& line, const std::string& bytes) {
  if (!fuzz::isValidUtf8(line)) return false;
  if (fuzz::isValidUtf8(bytes)) return line == bytes;
  const size_t have = replacements(line), had = replacements(bytes);
  return withoutReplacements(line) == withoutReplacements(bytes) && have >= 1 && have <= had;
}

// The next line read is `bytes` (a carriage return before the newline is
// not part of it; one ending an unterminated last line is), or the report
// that it is too long.
void checkLine(LineReader& reader, size_t maxBytes, const std::string& bytes) {
  std::string line;
  const LineReader::Status status = reader.readLine(line, maxBytes);
  if (status == LineReader::Status::tooLong) {
    FUZZ_CHECK(bytes.size() > maxBytes);
    return;
  }
  FUZZ_CHECK(status == LineReader::Status::line);
  FUZZ_CHECK(decodes(line, bytes));
  FUZZ_CHECK(bytes.size() <= maxBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t maxBytes = data[0] < 0xF0 ? data[0] % 48 : 64 * 1024;
  const unsigned readSizes = data[1];
  const std::string stream(reinterpret_cast<const char*>(data + 2), size - 2);

  // Each packet of a sequenced-packet socket comes back as one read, so the
  // reader sees the stream in exactly these pieces. At most 32 pieces, so
  // that all of them fit the socket's buffer before the reader starts.
  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0);
  size_t offset = 0;
  for (unsigned k = 0; offset < stream.size(); ++k) {
    size_t piece = readSizes == 0 || k == 31 ? stream.size() - offset : 1 + (readSizes * (k + 3)) % 37;
    piece = std::min(piece, stream.size() - offset);
    ssize_t sent = ::send(fds[1], stream.data() + offset, piece, MSG_DONTWAIT);
    FUZZ_CHECK(sent == static_cast<ssize_t>(piece));
    offset += piece;
  }
  ::close(fds[1]);

  LineReader reader(fds[0]);
  size_t start = 0;
  while (start < stream.size()) {
    size_t nl = stream.find('\n', start);
    if (nl == std::string::npos) {
      checkLine(reader, maxBytes, stream.substr(start));
      break;
    }
    std::string bytes = stream.substr(start, nl - start);
    if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
    checkLine(reader, maxBytes, bytes);
    start = nl + 1;
  }
  std::string line;
  FUZZ_CHECK(reader.readLine(line, maxBytes) == LineReader::Status::endOfInput);
  FUZZ_CHECK(reader.readLine(line, maxBytes) == LineReader::Status::endOfInput);
  ::close(fds[0]);
  return 0;
}
