#include "platform/LineReader.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace platform {

namespace {
constexpr size_t kReadChunk = 64 * 1024;

// Length of the valid UTF-8 sequence at s[i], or 0 when it is invalid.
size_t validSequenceLength(const unsigned char* s, size_t n, size_t i) {
  unsigned char c = s[i];
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no UTF-16 surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > n) return 0;
  if (s[i + 1] < lo || s[i + 1] > hi) return 0;
  for (size_t k = 2; k < len; ++k)
    if ((s[i + k] & 0xC0) != 0x80) return 0;
  return len;
}

// Length of the maximal subpart of an invalid sequence, so that one bad
// sequence becomes one replacement character (the usual U+FFFD practice).
size_t invalidSubpartLength(const unsigned char* s, size_t n, size_t i) {
  unsigned char c = s[i];
  size_t want = (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 1;
  size_t k = 1;
  while (k < want && i + k < n) {
    unsigned char lo = 0x80, hi = 0xBF;
    if (k == 1) {
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    if (s[i + k] < lo || s[i + k] > hi) break;
    ++k;
  }
  return k;
}
}  // namespace

std::string sanitizeUtf8(const std::string& bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  std::string out;
  out.reserve(n);
  size_t i = 0;
  while (i < n) {
    size_t len = validSequenceLength(s, n, i);
    if (len > 0) {
      out.append(bytes, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      i += invalidSubpartLength(s, n, i);
    }
  }
  return out;
}

LineReader::LineReader(int fd) : fd_(fd) {}

bool LineReader::fill() {
  if (eof_) return false;
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  char chunk[kReadChunk];
  for (;;) {
    ssize_t got = ::read(fd_, chunk, sizeof chunk);
    if (got > 0) {
      buffer_.append(chunk, static_cast<size_t>(got));
      return true;
    }
    if (got < 0 && errno == EINTR) continue;
    eof_ = true;  // end of input, or a read error, which counts as one
    return false;
  }
}

LineReader::Status LineReader::readLine(std::string& line, size_t maxBytes) {
  // The rest of a line that was reported as too long is skipped first.
  while (skippingRest_) {
    size_t nl = buffer_.find('\n', start_);
    if (nl != std::string::npos) {
      start_ = nl + 1;
      skippingRest_ = false;
    } else {
      buffer_.clear();
      start_ = 0;
      if (!fill()) return Status::endOfInput;
    }
  }
  size_t scanned = 0;
  for (;;) {
    size_t nl = buffer_.find('\n', start_ + scanned);
    size_t pending = (nl == std::string::npos ? buffer_.size() : nl) - start_;
    if (pending > maxBytes + 1) {
      // Not held whole: drop it now and skip the rest on the next read.
      if (nl != std::string::npos) {
        start_ = nl + 1;
      } else {
        buffer_.clear();
        start_ = 0;
        skippingRest_ = true;
      }
      return Status::tooLong;
    }
    if (nl != std::string::npos || !fillOrEnd(scanned)) {
      size_t end = start_ + pending;
      size_t next = nl != std::string::npos ? nl + 1 : end;
      if (nl == std::string::npos && pending == 0) return Status::endOfInput;
      // Only a carriage return before the line feed belongs to the line
      // ending; a last line without a line feed keeps all its bytes.
      if (nl != std::string::npos && end > start_ && buffer_[end - 1] == '\r') --end;
      bool tooLong = end - start_ > maxBytes;
      if (!tooLong) line = sanitizeUtf8(buffer_.substr(start_, end - start_));
      start_ = next;
      return tooLong ? Status::tooLong : Status::line;
    }
  }
}

bool LineReader::fillOrEnd(size_t& scanned) {
  scanned = buffer_.size() - start_;  // what is held has no line feed
  return fill();
}

}  // namespace platform
