// Control-line trimming on arbitrary bytes.
// Property: the result is the line with its leading and trailing tabs and
// Unicode space separators (general category Zs) removed and nothing else:
// it is the same substring a code-point reading of the line gives, it neither
// starts nor ends with such a character, line breaks and other controls
// stay, and trimming again changes nothing.
#include "FuzzSupport.h"
#include "main/ControlLoop.h"

#include <cstdint>

namespace {

bool isTrimmed(long cp) {
  return cp == 0x09 || cp == 0x20 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

std::string referenceTrim(const std::string& line) {
  std::vector<fuzz::Utf8Unit> units = fuzz::utf8Units(line);
  size_t first = 0, last = units.size();
  while (first < last && isTrimmed(units[first].codePoint)) ++first;
  while (last > first && isTrimmed(units[last - 1].codePoint)) --last;
  if (first == last) return {};
  size_t begin = units[first].offset;
  size_t end = units[last - 1].offset + units[last - 1].length;
  return line.substr(begin, end - begin);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  const std::string trimmed = trimControlLine(line);

  FUZZ_CHECK(trimmed == referenceTrim(line));
  FUZZ_CHECK(line.find(trimmed) != std::string::npos);
  std::vector<fuzz::Utf8Unit> units = fuzz::utf8Units(trimmed);
  if (!units.empty()) {
    FUZZ_CHECK(!isTrimmed(units.front().codePoint));
    FUZZ_CHECK(!isTrimmed(units.back().codePoint));
  }
  FUZZ_CHECK(trimControlLine(trimmed) == trimmed);
  return 0;
}
