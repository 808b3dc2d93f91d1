// The screen video of whole-display recordings: one frame per change of the
// picture, a still picture held until the end, a pause cut out.
#include "Recording.h"

#include <algorithm>

namespace e2e_tests {
namespace {

using testing_support::PixelSample;

uint32_t colourOf(const testing_support::Rgb& pixel) {
  return static_cast<uint32_t>(pixel.r) << 16 | static_cast<uint32_t>(pixel.g) << 8 | static_cast<uint32_t>(pixel.b);
}

class RecordedVideo : public RecordingTest {};

TEST_F(RecordedVideo, AChangingDisplayGivesOneFramePerChangeShowingIt) {
  startDesktop({.width = 640, .height = 360});
  constexpr uint32_t kWhite = 0xFFFFFF;
  const std::vector<uint32_t> colours{0xFF0000, 0x00FF00, 0x0000FF};
  TestWindow window({.x = 100, .y = 80, .width = 240, .height = 160, .rgb = kWhite});
  startRecording({{"mode", "screen"}});
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(started_.size(), 5u) << started_.dump();
  EXPECT_EQ(started_.value("width", 0), 640);
  EXPECT_EQ(started_.value("height", 0), 360);
  EXPECT_EQ(started_.value("scale", 0.0), 1.0);
  EXPECT_NEAR(started_.at("startedAtUnixMs").get<double>(), unixMs(), 5000);

  ColourCycle cycle(window, colours, 50ms);
  sleepUntilRecordingMs(2500);
  const double stopAt = unixMs();
  const json metadata = stop();
  cycle.stop();
  ASSERT_TRUE(metadata.is_object());

  EXPECT_EQ(metadata.at("fps"), 60);  // Xvfb reports no refresh rate: 60
  EXPECT_EQ(metadata.at("displayRefreshRate"), 60);
  EXPECT_EQ(metadata.at("region"), (json{{"x", 0}, {"y", 0}, {"width", 640}, {"height", 360}}));
  expectVideoMatches(metadata);
  expectPlayable();
  expectInspectionPasses();

  // The repaints during the recording, each its own complete frame: the
  // first frame, then one per repaint (two can share a grab under load).
  const double startedAt = started_.at("startedAtUnixMs").get<double>();
  const auto painted = static_cast<int>(std::count_if(cycle.paintedAt().begin(), cycle.paintedAt().end(),
                                                      [&](double t) { return t > startedAt && t < stopAt; }));
  ASSERT_GE(painted, 30);
  const int frames = metadata.at("frames").get<int>();
  EXPECT_LE(frames, painted + 2);
  EXPECT_GE(frames, painted * 8 / 10);

  // Every frame shows one of the colours, and the picture changes from
  // frame to frame as often as the window was repainted.
  const std::vector<PixelSample> pixels = testing_support::pixelOverTime(file("screen.mp4"), 220, 170);
  ASSERT_GE(pixels.size(), static_cast<size_t>(frames));
  int changes = 0;
  for (size_t i = 0; i < pixels.size(); ++i) {
    const bool known = looksLike(pixels[i].colour, kWhite) ||
                       std::any_of(colours.begin(), colours.end(), [&](uint32_t c) { return looksLike(pixels[i].colour, c); });
    EXPECT_TRUE(known) << "frame " << i << " at " << pixels[i].time << " s: " << describe(pixels[i].colour);
    if (i > 0 && !looksLike(pixels[i].colour, colourOf(pixels[i - 1].colour))) ++changes;
  }
  EXPECT_GE(changes, painted * 8 / 10);

}

TEST_F(RecordedVideo, AStillDisplayGivesFewFramesButLastsUntilTheStop) {
  startDesktop({.width = 640, .height = 360});
  startRecording({{"mode", "screen"}});
  ASSERT_FALSE(HasFatalFailure());
  sleepUntilRecordingMs(2500);
  const json metadata = stop();
  ASSERT_TRUE(metadata.is_object());

  EXPECT_GE(metadata.at("durationMs").get<double>(), 2500);
  EXPECT_LE(metadata.at("frames").get<int>(), 3);
  expectVideoMatches(metadata);
  // The last picture is repeated at the end, so the file is as long as the
  // recording.
  const std::vector<double> times = testing_support::videoFrameTimes(file("screen.mp4"));
  ASSERT_FALSE(times.empty());
  EXPECT_NEAR(times.back(), metadata.at("durationMs").get<double>() / 1000, 1.0 / 60);
  expectPlayable();
  expectInspectionPasses();
}

TEST_F(RecordedVideo, APauseIsCutOutOfTheVideo) {
  startDesktop({.width = 640, .height = 360});
  TestWindow window({.x = 100, .y = 80, .width = 240, .height = 160, .rgb = 0xFFFFFF});
  startRecording({{"mode", "screen"}});
  ASSERT_FALSE(HasFatalFailure());
  ColourCycle cycle(window, {0xFF0000, 0x00FF00, 0x0000FF}, 50ms);

  sleepUntilRecordingMs(1000);
  const double pausedAt = unixMs();
  ASSERT_EQ(control("pause", "paused"), (json{{"event", "paused"}}));
  std::this_thread::sleep_for(1500ms);
  const double resumedAt = unixMs();
  ASSERT_EQ(control("resume", "resumed"), (json{{"event", "resumed"}}));
  std::this_thread::sleep_for(1000ms);
  const double stopAt = unixMs();
  const json metadata = stop();
  cycle.stop();
  ASSERT_TRUE(metadata.is_object());

  // The duration is the time recorded, without the pause.
  const double expected = stopAt - started_.at("startedAtUnixMs").get<double>() - (resumedAt - pausedAt);
  EXPECT_NEAR(metadata.at("durationMs").get<double>(), expected, 250);
  expectVideoMatches(metadata, 1);

  // The picture changed every 50 ms throughout: no hole where the pause was.
  const std::vector<double> times = testing_support::videoFrameTimes(file("screen.mp4"));
  ASSERT_GE(times.size(), 20u);
  double largestGap = 0;
  for (size_t i = 1; i < times.size(); ++i) largestGap = std::max(largestGap, times[i] - times[i - 1]);
  EXPECT_LT(largestGap, 0.5);
  expectPlayable();
  expectInspectionPasses();
}

}  // namespace
}  // namespace e2e_tests
