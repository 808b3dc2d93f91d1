// The recording configuration: one JSON object, the first line of standard
// input of `record`. Plain values, read-only once decoded.
#pragma once

#include "platform/LineReader.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct Area {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

struct RecordConfig {
  std::string outputDir;
  std::string mode;
  std::optional<uint32_t> displayId;
  std::optional<uint32_t> windowId;
  std::optional<Area> area;
  std::optional<int64_t> fps;
  std::optional<bool> systemAudio;
  std::optional<bool> microphone;
  std::optional<std::string> microphoneId;
  std::optional<std::vector<std::string>> excludeBundleIds;
  std::optional<bool> captureKeystrokes;
  std::optional<bool> hideDesktopIcons;
  std::optional<int64_t> minFreeDiskBytes;
};

// Why a configuration line was rejected; `message` is what the host is told.
struct ConfigRejection {
  std::string message;
  std::string code = "invalidConfiguration";
};

inline constexpr const char* kInvalidConfigurationMessage =
    "Records requested channels, pass configuration JSON via stdin.";
inline constexpr const char* kMissingWindowIdMessage = "Only one window channel is supported; windowId missing";

// The longest first line accepted; a longer one is rejected without being
// held in memory.
inline constexpr size_t kMaxConfigurationLineBytes = 1024 * 1024;

// Decodes one configuration line (without its line ending), strictly:
// - exactly one JSON object with only white space around it;
// - keys matched exactly; unknown keys ignored; for a duplicated key the last
//   occurrence wins (the JSON parser keeps the last);
// - "outputDir" and "mode" required strings; an optional key that is missing
//   or null is absent, any other value must have the declared type;
// - integers must be JSON numbers with an integral value in range, judged on
//   the value the number's text denotes, not on the nearest double. A number
//   written with a zero fraction (30.0) or an exponent (3e1) IS accepted: it
//   is the same number, and hosts written in languages without an integer
//   type send it so. A non-zero fraction (30.5, 30.0000000000000001) or a
//   value out of range (-9223372036854775809, 9.3e18) rejects;
// - "area" members are any JSON numbers, all four required;
// - "mode" "window" without "windowId" is rejected with its own message.
std::variant<RecordConfig, ConfigRejection> decodeRecordConfig(const std::string& line);

// Reads the first line from `reader` and decodes it. End of input, an empty
// or over-long line is rejected like malformed JSON.
std::variant<RecordConfig, ConfigRejection> readRecordConfig(platform::LineReader& reader);
