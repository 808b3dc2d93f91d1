// Text of X properties as UTF-8. Every string that leaves the backend is
// valid UTF-8: what cannot be decoded becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace platform::x11 {

enum class TextEncoding {
  utf8,          // UTF8_STRING
  latin1,        // STRING (ISO 8859-1)
  compoundText,  // COMPOUND_TEXT (ISO 2022 subset)
};

// `bytes` decoded from `encoding` into valid UTF-8. A trailing NUL (some
// clients count it in the property) is dropped.
//
// Compound text: the ASCII and ISO 8859-1 sets and UTF-8 segments
// (ESC % G ... ESC % @) are decoded; characters of any other designated set
// become one U+FFFD each.
std::string decodeText(std::string_view bytes, TextEncoding encoding);

}  // namespace platform::x11
