#include "platform/x11/TextEncoding.h"

#include "platform/LineReader.h"

#include <cstdint>

namespace platform::x11 {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr char kEscape = 0x1B;

void appendLatin1(std::string& out, unsigned char c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) appendLatin1(out, static_cast<unsigned char>(c));
  return out;
}

// A decoder of the compound-text subset described in the header. GL holds a
// 94-character set (ASCII or unknown), GR a 96-character set (Latin-1's right
// half or unknown); a UTF-8 segment runs until ESC % @.
class CompoundTextDecoder {
 public:
  std::string decode(std::string_view bytes) {
    std::string out;
    std::string utf8Segment;
    size_t i = 0;
    while (i < bytes.size()) {
      const unsigned char c = static_cast<unsigned char>(bytes[i]);
      if (c == kEscape) {
        i = escape(bytes, i, out, utf8Segment);
        continue;
      }
      if (inUtf8_) {
        utf8Segment.push_back(static_cast<char>(c));
      } else if (c < 0x20 || c == 0x7F) {
        out.push_back(static_cast<char>(c));  // controls (newline, tab) pass through
      } else if (c < 0x80) {
        if (glAscii_) out.push_back(static_cast<char>(c)); else unknown(out, i, bytes, c);
      } else if (c >= 0xA0) {
        if (grLatin1_) appendLatin1(out, c); else unknown(out, i, bytes, c);
      } else {
        out += kReplacement;  // C1 controls are not valid in compound text
      }
      ++i;
    }
    if (inUtf8_) out += sanitizeUtf8(utf8Segment);
    return out;
  }

 private:
  // Handles the escape sequence at `i`; returns the index after it.
  size_t escape(std::string_view bytes, size_t i, std::string& out, std::string& utf8Segment) {
    // ESC, intermediate bytes (0x20-0x2F), a final byte (0x30-0x7E).
    size_t j = i + 1;
    while (j < bytes.size() && bytes[j] >= 0x20 && bytes[j] <= 0x2F) ++j;
    if (j >= bytes.size()) return bytes.size();
    const std::string_view intermediates = bytes.substr(i + 1, j - i - 1);
    const char final = bytes[j];
    if (inUtf8_) {
      if (intermediates == "%" && final == '@') {
        out += sanitizeUtf8(utf8Segment);
        utf8Segment.clear();
        inUtf8_ = false;
      } else {
        utf8Segment.append(bytes.substr(i, j + 1 - i));  // not ours: part of the segment
      }
      return j + 1;
    }
    if (intermediates == "%" && final == 'G') {
      inUtf8_ = true;
    } else if (intermediates == "(") {
      glAscii_ = final == 'B';
      multiByte_ = false;
    } else if (intermediates == "-") {
      grLatin1_ = final == 'A';
      multiByte_ = false;
    } else if (intermediates == "$(" || intermediates == "$)" || intermediates == "$") {
      // A 94^n set (Japanese, Chinese, Korean): two bytes per character.
      if (intermediates == "$)") grLatin1_ = false; else glAscii_ = false;
      multiByte_ = true;
    } else if (intermediates == ")") {
      grLatin1_ = false;
    }
    return j + 1;
  }

  // One character of a set that is not decoded: one replacement character.
  void unknown(std::string& out, size_t& i, std::string_view bytes, unsigned char) {
    out += kReplacement;
    if (multiByte_ && i + 1 < bytes.size() && static_cast<unsigned char>(bytes[i + 1]) >= 0x20 &&
        bytes[i + 1] != kEscape) {
      ++i;
    }
  }

  bool glAscii_ = true;
  bool grLatin1_ = true;
  bool multiByte_ = false;
  bool inUtf8_ = false;
};

}  // namespace

std::string decodeText(std::string_view bytes, TextEncoding encoding) {
  if (!bytes.empty() && bytes.back() == '\0') bytes.remove_suffix(1);
  switch (encoding) {
    case TextEncoding::utf8:
      return sanitizeUtf8(std::string(bytes));
    case TextEncoding::latin1:
      return latin1ToUtf8(bytes);
    case TextEncoding::compoundText:
      return CompoundTextDecoder().decode(bytes);
  }
  return {};
}

}  // namespace platform::x11
