// Window-title decoding of X text properties on arbitrary bytes.
// Property: whatever the bytes, every encoding (UTF8_STRING, STRING as
// Latin-1, COMPOUND_TEXT) decodes to valid UTF-8; valid UTF-8 comes back
// unchanged; Latin-1 decodes one character per byte and back exactly;
// compound text without escapes or C1 bytes reads as Latin-1; a trailing
// NUL is dropped.
#include "FuzzSupport.h"
#include "platform/x11/TextEncoding.h"

#include <cstdint>

using platform::x11::decodeText;
using platform::x11::TextEncoding;

namespace {

// The Latin-1 bytes a UTF-8 text of code points below U+0100 stands for.
std::string toLatin1(const std::string& utf8) {
  std::string out;
  for (const fuzz::Utf8Unit& u : fuzz::utf8Units(utf8)) {
    FUZZ_CHECK(u.codePoint >= 0 && u.codePoint < 0x100);
    out.push_back(static_cast<char>(u.codePoint));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string_view text = bytes;
  if (!text.empty() && text.back() == '\0') text.remove_suffix(1);

  const std::string utf8 = decodeText(bytes, TextEncoding::utf8);
  const std::string latin1 = decodeText(bytes, TextEncoding::latin1);
  const std::string compound = decodeText(bytes, TextEncoding::compoundText);
  FUZZ_CHECK(fuzz::isValidUtf8(utf8));
  FUZZ_CHECK(fuzz::isValidUtf8(latin1));
  FUZZ_CHECK(fuzz::isValidUtf8(compound));

  if (fuzz::isValidUtf8(text)) FUZZ_CHECK(utf8 == text);
  FUZZ_CHECK(toLatin1(latin1) == text);

  bool plainLatin1 = true;
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b == 0x1B || (b >= 0x80 && b < 0xA0)) plainLatin1 = false;
  }
  if (plainLatin1) FUZZ_CHECK(compound == latin1);
  return 0;
}
