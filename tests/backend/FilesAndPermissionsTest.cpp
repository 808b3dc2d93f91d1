// Files (free space, PNG) and the permission commands as a host runs them.
#include "support/HostProcess.h"
#include "support/VirtualDesktop.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>

namespace backend_tests {
namespace {

using nlohmann::json;
using testing_support::HostProcess;
using testing_support::VirtualDesktop;

TEST(Files, PngKeepsEveryPixelIncludingItsAlpha) {
  platform::Services services = platform::makeSystemServices();
  platform::CursorImage image;
  image.pixelWidth = 3;
  image.pixelHeight = 2;
  image.rgba = {255, 0, 0, 255,   0, 255, 0, 128,  0, 0, 255, 0,
                10, 20, 30, 40,   255, 255, 255, 255, 0, 0, 0, 1};
  const std::optional<std::vector<uint8_t>> png = services.files->encodePNG(image);
  ASSERT_TRUE(png);

  png_image decoded{};
  decoded.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_memory(&decoded, png->data(), png->size()));
  decoded.format = PNG_FORMAT_RGBA;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(decoded));
  ASSERT_TRUE(png_image_finish_read(&decoded, nullptr, pixels.data(), 0, nullptr));
  EXPECT_EQ(decoded.width, 3u);
  EXPECT_EQ(decoded.height, 2u);
  EXPECT_EQ(pixels, image.rgba);

  image.rgba.pop_back();  // one byte short of 3 × 2 pixels
  EXPECT_EQ(services.files->encodePNG(image), std::nullopt);
}

TEST(Files, VolumeCapacityIsWhatTheUserMayStillWrite) {
  platform::Services services = platform::makeSystemServices();
  const std::string dir = std::filesystem::temp_directory_path().string();
  const std::optional<platform::VolumeCapacity> capacity = services.files->volumeCapacity(dir);
  ASSERT_TRUE(capacity && capacity->availableForImportantUsage);
  const auto expected = static_cast<double>(std::filesystem::space(dir).available);
  EXPECT_NEAR(static_cast<double>(*capacity->availableForImportantUsage), expected, 64.0 * 1024 * 1024);
  EXPECT_EQ(services.files->volumeCapacity(dir + "/no/such/directory"), std::nullopt);
}

struct PermissionCase {
  const char* name;
  std::vector<std::string> arguments;
  bool desktopReachable;  // else: no X display and no audio server
  json expected;
};

TEST(PermissionCommands, ReportWhatTheDisplayAndTheAudioServerAllow) {
  VirtualDesktop desktop({.windowManager = false, .audio = true});
  const PermissionCase cases[] = {
      {"granted", {"permissions"}, true, {{"screen", true}, {"accessibility", true}, {"microphone", true}}},
      {"nothing there", {"permissions"}, false, {{"screen", false}, {"accessibility", false}, {"microphone", false}}},
      {"microphone request", {"request-permissions", "microphone"}, true, {{"screen", true}, {"accessibility", true}}},
      {"all, nothing there", {"request-permissions"}, false, {{"screen", false}, {"accessibility", false}}},
      {"unknown argument", {"request-permissions", "Screen"}, true, {{"screen", true}, {"accessibility", true}}},
  };
  for (const PermissionCase& c : cases) {
    std::map<std::string, std::string> env = desktop.environment();
    if (!c.desktopReachable) {
      env["DISPLAY"] = ":4999";
      env["PULSE_SERVER"] = "unix:" + desktop.runtimeDir() + "/no-server";
    }
    HostProcess agent = HostProcess::spawn(TESMAR_BINARY, c.arguments, env);
    EXPECT_EQ(agent.readJson(), std::optional<json>(c.expected)) << c.name;
    EXPECT_EQ(agent.wait(), 0) << c.name;
  }
}

}  // namespace
}  // namespace backend_tests
