// Helpers shared by the fuzz targets: a failed property aborts with a
// message (libFuzzer then saves the input), and a UTF-8 check written
// independently of the product's own sanitiser.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)

namespace fuzz {

// One unit of a byte string read as UTF-8: a code point and its bytes, or a
// single byte that starts no valid sequence (codePoint -1).
struct Utf8Unit {
  long codePoint;
  size_t offset;
  size_t length;
};

// Splits `s` into units by the UTF-8 definition (RFC 3629: shortest form,
// no surrogates, at most U+10FFFF).
inline std::vector<Utf8Unit> utf8Units(std::string_view s) {
  std::vector<Utf8Unit> units;
  size_t i = 0;
  while (i < s.size()) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    long cp = -1;
    if (len == 1) {
      cp = c;
    } else if (len > 1 && i + len <= s.size()) {
      long v = c & (0xFF >> (len + 1));
      bool ok = true;
      for (size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) ok = false;
        v = (v << 6) | (b(i + k) & 0x3F);
      }
      static const long kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
      if (ok && v >= kMinimum[len] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) cp = v;
    }
    if (cp < 0) len = 1;
    units.push_back({cp, i, len});
    i += len;
  }
  return units;
}

inline bool isValidUtf8(std::string_view s) {
  for (const Utf8Unit& u : utf8Units(s))
    if (u.codePoint < 0) return false;
  return true;
}

}  // namespace fuzz
