// Event lines and input-log records built from arbitrary strings and numbers
// (any bytes as keys and string values, any double bit pattern, nesting).
// Property: emit() and NDJSON::write() each write either nothing (exactly
// when the message holds a string that is not valid UTF-8 or a number that
// is not finite) or one line: a JSON text without line breaks, then a single
// "\n". The text parses back to the message, and every "/" in it is written
// "\/". Both writers produce the same bytes. The pretty form (metadata.json)
// exists exactly when the line does, parses back to the message and escapes
// "/" the same way.
#include "FuzzSupport.h"
#include "input/NDJSON.h"
#include "main/EventChannel.h"
#include "platform/Json.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

using nlohmann::json;

namespace {

std::string anyString(FuzzedDataProvider& in) { return in.ConsumeRandomLengthString(40); }

json anyValue(FuzzedDataProvider& in, int depth);

json anyObject(FuzzedDataProvider& in, int depth) {
  json object = json::object();
  const int members = in.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < members && in.remaining_bytes() > 0; ++i) {
    std::string key = anyString(in);
    object[key] = anyValue(in, depth + 1);  // a repeated key replaces its value
  }
  return object;
}

json anyValue(FuzzedDataProvider& in, int depth) {
  switch (in.ConsumeIntegralInRange(0, depth < 3 ? 8 : 6)) {
    case 0: return anyString(in);
    case 1: return in.ConsumeIntegral<int64_t>();
    case 2: return in.ConsumeIntegral<uint64_t>();
    case 3: {
      uint64_t bits = in.ConsumeIntegral<uint64_t>();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    case 4: return in.ConsumeProbability<double>() * 1e6;
    case 5: return in.ConsumeBool();
    case 6: return nullptr;
    case 7: {
      json array = json::array();
      const int n = in.ConsumeIntegralInRange(0, 4);
      for (int i = 0; i < n; ++i) array.push_back(anyValue(in, depth + 1));
      return array;
    }
    default: return anyObject(in, depth);
  }
}

// Whether the message has a JSON form: every key and string valid UTF-8,
// every number finite.
bool serialisable(const json& value) {
  switch (value.type()) {
    case json::value_t::string: return fuzz::isValidUtf8(value.get_ref<const std::string&>());
    case json::value_t::number_float: return std::isfinite(value.get<double>());
    case json::value_t::array:
      for (const json& element : value)
        if (!serialisable(element)) return false;
      return true;
    case json::value_t::object:
      for (const auto& [key, member] : value.items())
        if (!fuzz::isValidUtf8(key) || !serialisable(member)) return false;
      return true;
    default: return true;
  }
}

// Every "/" of the JSON text stands inside a string, escaped as "\/".
bool slashesEscaped(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;  // the escaped character, whatever it is
    } else if (text[i] == '/') {
      return false;
    }
  }
  return true;
}

std::string readAll(int fd) {
  std::string out;
  char chunk[4096];
  off_t at = 0;
  for (;;) {
    ssize_t n = ::pread(fd, chunk, sizeof chunk, at);
    FUZZ_CHECK(n >= 0);
    if (n == 0) return out;
    out.append(chunk, static_cast<size_t>(n));
    at += n;
  }
}

struct Setup {
  std::string dir;
  std::string logPath;
  Setup() {
    // Standard output becomes an in-memory file the target reads back.
    int out = ::memfd_create("stdout", MFD_CLOEXEC);
    FUZZ_CHECK(out >= 0);
    FUZZ_CHECK(::dup2(out, STDOUT_FILENO) == STDOUT_FILENO);
    ::close(out);
    // A memory file system where there is one: the log is made afresh for
    // every input.
    char pattern[] = "/dev/shm/tesmar-fuzz-XXXXXX";
    char fallback[] = "/tmp/tesmar-fuzz-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) made = ::mkdtemp(fallback);
    FUZZ_CHECK(made != nullptr);
    dir = made;
    logPath = dir + "/log.ndjson";
  }
  ~Setup() {
    ::unlink(logPath.c_str());
    ::rmdir(dir.c_str());
  }
};

const Setup& setup() {
  static Setup s;
  return s;
}

void checkLine(const std::string& written, const json& message, bool hasForm) {
  if (!hasForm) {
    FUZZ_CHECK(written.empty());
    return;
  }
  FUZZ_CHECK(!written.empty() && written.back() == '\n');
  const std::string text = written.substr(0, written.size() - 1);
  FUZZ_CHECK(text.find('\n') == std::string::npos);
  FUZZ_CHECK(slashesEscaped(text));
  json back = json::parse(text, nullptr, false);
  FUZZ_CHECK(!back.is_discarded());
  FUZZ_CHECK(back == message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Setup& s = setup();
  FuzzedDataProvider in(data, size);
  const json message = anyObject(in, 0);
  const bool hasForm = serialisable(message);

  FUZZ_CHECK(::ftruncate(STDOUT_FILENO, 0) == 0);
  FUZZ_CHECK(::lseek(STDOUT_FILENO, 0, SEEK_SET) == 0);
  emit(message);
  const std::string emitted = readAll(STDOUT_FILENO);
  checkLine(emitted, message, hasForm);

  {
    NDJSON log(s.logPath);
    FUZZ_CHECK(log.isOpen());
    log.write(message);
    log.close();
  }
  int fd = ::open(s.logPath.c_str(), O_RDONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  const std::string logged = readAll(fd);
  ::close(fd);
  FUZZ_CHECK(logged == emitted);

  const std::optional<std::string> pretty = platform::serializePrettyJson(message);
  FUZZ_CHECK(pretty.has_value() == hasForm);
  if (pretty) {
    FUZZ_CHECK(slashesEscaped(*pretty));
    json back = json::parse(*pretty, nullptr, false);
    FUZZ_CHECK(!back.is_discarded() && back == message);
  }
  return 0;
}
