// Window titles and names arrive in three encodings; whatever the bytes,
// the result is valid UTF-8 with the characters that could be decoded.
#include "platform/x11/TextEncoding.h"

#include <gtest/gtest.h>

namespace backend_tests {
namespace {

using platform::x11::decodeText;
using platform::x11::TextEncoding;

struct Case {
  const char* name;
  std::string bytes;
  TextEncoding encoding;
  std::string expected;
};

TEST(TextEncoding, DecodesEachEncodingToValidUtf8) {
  const std::string replacement = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"utf8 passes", "caf\xC3\xA9 \xE2\x9C\x93", TextEncoding::utf8, "caf\xC3\xA9 \xE2\x9C\x93"},
      {"utf8 invalid byte", "a\xFF" "b", TextEncoding::utf8, "a" + replacement + "b"},
      {"utf8 cut sequence", "a\xE2\x9C", TextEncoding::utf8, "a" + replacement},
      {"trailing nul dropped", std::string("abc\0", 4), TextEncoding::utf8, "abc"},
      {"latin1 high half", "h\xE9\xFF", TextEncoding::latin1, "h\xC3\xA9\xC3\xBF"},
      {"compound ascii and latin1", "na\xEFve", TextEncoding::compoundText, "na\xC3\xAFve"},
      {"compound utf8 segment", "x\x1B%G\xE2\x82\xAC\x1B%@y", TextEncoding::compoundText, "x\xE2\x82\xAC" "y"},
      {"compound unknown double-byte set", "a\x1B$(B\x30\x22\x1B(Bz", TextEncoding::compoundText,
       "a" + replacement + "z"},
      {"compound other right half", "\x1B-B\xB1\x1B-A\xB1", TextEncoding::compoundText, replacement + "\xC2\xB1"},
      {"compound invalid utf8 segment", "\x1B%G\xC3\x1B%@", TextEncoding::compoundText, replacement},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decodeText(c.bytes, c.encoding), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace backend_tests
