// Trimming of control lines. Kept apart from the loop so that it builds on
// its own, without the recorder.
#include "main/ControlLoop.h"

namespace {

// Byte length of a white-space character at the start of `s`, or 0.
size_t spaceAt(const std::string& s, size_t i) {
  auto byte = [&](size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
  unsigned char c = byte(i);
  if (c == 0x09 || c == 0x20) return 1;
  if (c == 0xC2 && byte(i + 1) == 0xA0) return 2;                     // U+00A0
  if (c == 0xE1 && byte(i + 1) == 0x9A && byte(i + 2) == 0x80) return 3;  // U+1680
  if (c == 0xE2 && byte(i + 1) == 0x80) {
    unsigned char d = byte(i + 2);
    if ((d >= 0x80 && d <= 0x8A) || d == 0xAF) return 3;  // U+2000–U+200A, U+202F
  }
  if (c == 0xE2 && byte(i + 1) == 0x81 && byte(i + 2) == 0x9F) return 3;  // U+205F
  if (c == 0xE3 && byte(i + 1) == 0x80 && byte(i + 2) == 0x80) return 3;  // U+3000
  return 0;
}

// Byte length of a white-space character that ends at `end`, or 0.
size_t spaceBefore(const std::string& s, size_t end) {
  for (size_t len = 1; len <= 3 && len <= end; ++len) {
    if (spaceAt(s, end - len) == len) return len;
  }
  return 0;
}

}  // namespace

std::string trimControlLine(const std::string& line) {
  size_t begin = 0;
  while (size_t len = spaceAt(line, begin)) begin += len;
  size_t end = line.size();
  while (end > begin) {
    size_t len = spaceBefore(line, end);
    if (len == 0) break;
    end -= len;
  }
  return line.substr(begin, end - begin);
}
