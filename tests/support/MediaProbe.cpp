#include "support/MediaProbe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sys/wait.h>

namespace testing_support {

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

CommandResult runCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::optional<nlohmann::json> probe(const std::string& path) {
  auto result = runCommand("ffprobe -v error -of json -show_streams -show_format " + shellQuote(path) +
                           " 2>/dev/null");
  if (result.status != 0) return std::nullopt;
  auto value = nlohmann::json::parse(result.output, nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::vector<double> videoFrameTimes(const std::string& path) {
  auto result = runCommand("ffprobe -v error -select_streams v:0 -of csv=p=0 -show_entries packet=pts_time " +
                           shellQuote(path) + " 2>/dev/null");
  std::vector<double> times;
  size_t start = 0;
  while (start < result.output.size()) {
    size_t end = result.output.find('\n', start);
    if (end == std::string::npos) end = result.output.size();
    std::string line = result.output.substr(start, end - start);
    if (!line.empty() && line != "N/A") times.push_back(std::stod(line));
    start = end + 1;
  }
  std::sort(times.begin(), times.end());
  return times;
}

std::string decodeErrors(const std::string& path) {
  // The frames keep their own time base: by default ffmpeg re-stamps them at
  // a frame rate it guesses, and two frames of a variable-rate video that
  // fall into one tick of that rate would be reported as an error.
  auto result = runCommand("ffmpeg -nostdin -v error -i " + shellQuote(path) + " -enc_time_base -1 -f null - 2>&1");
  if (result.status != 0 && result.output.empty()) return "ffmpeg exited with " + std::to_string(result.status);
  return result.output;
}

}  // namespace testing_support

namespace testing_support {

namespace {

// Runs `command` and hands its standard output to `consume` in blocks of
// exactly `blockSize` bytes (a trailing partial block is dropped). The
// exit status of the command.
int readBlocks(const std::string& command, size_t blockSize, const std::function<void(const uint8_t*)>& consume) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::vector<uint8_t> block(blockSize);
  while (fread(block.data(), 1, blockSize, pipe) == blockSize) consume(block.data());
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string number(double value) {
  char text[64];
  snprintf(text, sizeof text, "%.6f", value);
  return text;
}

}  // namespace

Rgb Picture::at(int x, int y) const {
  const size_t i = (static_cast<size_t>(y) * width + x) * 3;
  return Rgb{rgb[i], rgb[i + 1], rgb[i + 2]};
}

std::optional<Picture> pictureAt(const std::string& path, double seconds) {
  const std::optional<nlohmann::json> info = probe(path);
  if (!info) return std::nullopt;
  Picture picture;
  for (const auto& stream : info->value("streams", nlohmann::json::array())) {
    if (stream.value("codec_type", "") != "video") continue;
    picture.width = stream.value("width", 0);
    picture.height = stream.value("height", 0);
    break;
  }
  if (picture.width <= 0 || picture.height <= 0) return std::nullopt;
  // Every frame up to the time passes the filter; the last one is kept.
  const std::string filter = "select=lte(t\\," + number(seconds) + ")";
  bool found = false;
  const int status = readBlocks(
      "ffmpeg -nostdin -v error -copyts -i " + shellQuote(path) + " -map 0:v:0 -vf " + shellQuote(filter) +
          " -fps_mode passthrough -f rawvideo -pix_fmt rgb24 - 2>/dev/null",
      static_cast<size_t>(picture.width) * picture.height * 3, [&](const uint8_t* frame) {
        picture.rgb.assign(frame, frame + static_cast<size_t>(picture.width) * picture.height * 3);
        found = true;
      });
  if (status != 0 || !found) return std::nullopt;
  return picture;
}

std::vector<PixelSample> pixelOverTime(const std::string& path, int x, int y) {
  const auto times = runCommand("ffprobe -v error -select_streams v:0 -of csv=p=0 -show_entries frame=pts_time " +
                                shellQuote(path) + " 2>/dev/null");
  if (times.status != 0) return {};
  std::vector<PixelSample> samples;
  size_t start = 0;
  while (start < times.output.size()) {
    size_t end = times.output.find('\n', start);
    if (end == std::string::npos) end = times.output.size();
    const std::string line = times.output.substr(start, end - start);
    if (!line.empty()) samples.push_back(PixelSample{line == "N/A" ? -1.0 : std::stod(line), {}});
    start = end + 1;
  }
  size_t decoded = 0;
  const std::string filter = "format=rgb24,crop=1:1:" + std::to_string(x) + ":" + std::to_string(y);
  const int status = readBlocks("ffmpeg -nostdin -v error -copyts -i " + shellQuote(path) + " -map 0:v:0 -vf " +
                                    shellQuote(filter) + " -fps_mode passthrough -f rawvideo -pix_fmt rgb24 - 2>/dev/null",
                                3, [&](const uint8_t* pixel) {
                                  if (decoded < samples.size()) samples[decoded].colour = Rgb{pixel[0], pixel[1], pixel[2]};
                                  ++decoded;
                                });
  if (status != 0 || decoded != samples.size()) return {};
  return samples;
}

std::vector<float> audioSamples(const std::string& path, int rate) {
  std::vector<float> samples;
  const int status = readBlocks("ffmpeg -nostdin -v error -i " + shellQuote(path) + " -map 0:a:0 -ac 1 -ar " +
                                    std::to_string(rate) + " -f f32le - 2>/dev/null",
                                sizeof(float), [&](const uint8_t* bytes) {
                                  float value;
                                  std::memcpy(&value, bytes, sizeof value);
                                  samples.push_back(value);
                                });
  if (status != 0) return {};
  return samples;
}

std::optional<double> firstSampleReaching(const std::vector<float>& samples, int rate, float level) {
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::fabs(samples[i]) >= level) return static_cast<double>(i) / rate;
  }
  return std::nullopt;
}

}  // namespace testing_support
