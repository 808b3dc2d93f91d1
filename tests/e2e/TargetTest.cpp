// What a recording shows: an area clipped to its display, one window
// wherever it is and whatever covers it, the display a host chose, and a
// display without the windows of an excluded application.
#include "Recording.h"

namespace e2e_tests {
namespace {

using testing_support::Picture;

constexpr uint32_t kRed = 0xFF0000;
constexpr uint32_t kGreen = 0x00FF00;
constexpr uint32_t kBlue = 0x0000FF;
constexpr uint32_t kYellow = 0xFFFF00;

class RecordedTargets : public RecordingTest {
 protected:
  // The last picture of the video.
  Picture lastPicture(const json& metadata) const {
    const std::optional<Picture> picture =
        testing_support::pictureAt(file("screen.mp4"), metadata.at("durationMs").get<double>() / 1000);
    EXPECT_TRUE(picture) << "screen.mp4 cannot be decoded";
    return picture.value_or(Picture{});
  }
};

json rect(double x, double y, double width, double height) {
  return json{{"x", x}, {"y", y}, {"width", width}, {"height", height}};
}

struct AreaCase {
  const char* name;
  json area;
  json region;  // the area clipped to the 640 × 360 display
  int width;    // its pixel size, made even
  int height;
  int markerX;  // where a marker window sits inside it (global)
  int markerY;
};

TEST_F(RecordedTargets, AnAreaIsClippedToTheDisplay) {
  startDesktop({.width = 640, .height = 360});
  // Undecorated markers, exactly where asked.
  TestWindow bottomRight({.x = 560, .y = 320, .width = 40, .height = 20, .rgb = kGreen, .overrideRedirect = true});
  TestWindow topLeft({.x = 100, .y = 60, .width = 40, .height = 20, .rgb = kGreen, .overrideRedirect = true});
  const AreaCase cases[] = {
      {"past the bottom right", rect(501, 299, 300, 200), rect(501, 299, 139, 61), 138, 60, 560, 320},
      {"past the top left", rect(-101, -51, 301, 201), rect(0, 0, 200, 150), 200, 150, 100, 60},
  };
  for (const AreaCase& c : cases) {
    SCOPED_TRACE(c.name);
    startRecording({{"mode", "area"}, {"area", c.area}});
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(started_.value("width", 0), c.width);
    EXPECT_EQ(started_.value("height", 0), c.height);
    sleepUntilRecordingMs(800);
    const json metadata = stop();
    ASSERT_TRUE(metadata.is_object());
    EXPECT_EQ(metadata.at("region"), c.region);
    EXPECT_EQ(metadata.at("width"), c.width);
    EXPECT_EQ(metadata.at("height"), c.height);
    expectVideoMatches(metadata);
    expectPlayable();
    expectInspectionPasses();

    // The picture is cut from the display at the region's origin.
    const Picture picture = lastPicture(metadata);
    ASSERT_EQ(picture.width, c.width);
    const int x = c.markerX - c.region.at("x").get<int>();
    const int y = c.markerY - c.region.at("y").get<int>();
    EXPECT_TRUE(looksLike(picture.at(x + 20, y + 10), kGreen)) << describe(picture.at(x + 20, y + 10));
    EXPECT_FALSE(looksLike(picture.at(x - 10, y + 10), kGreen)) << describe(picture.at(x - 10, y + 10));
  }
}

TEST_F(RecordedTargets, AWindowIsShownWhenCoveredAndFollowedWhenMoved) {
  startDesktop({.width = 640, .height = 360});
  TestWindow target({.x = 40, .y = 40, .width = 200, .height = 150, .rgb = kRed, .wmClass = "Target"});
  TestWindow cover({.x = 20, .y = 20, .width = 260, .height = 220, .rgb = kBlue, .wmClass = "Cover"});
  cover.raise();
  const auto before = frameOrigin(target.id());
  ASSERT_TRUE(before);

  startRecording({{"mode", "window"}, {"windowId", target.id()}});
  ASSERT_FALSE(HasFatalFailure());
  const int width = started_.value("width", 0);
  const int height = started_.value("height", 0);
  // The outer frame: the client and the window manager's decorations.
  EXPECT_GE(width, 200);
  EXPECT_GE(height, 150);

  // While covered, the window changes; then it moves into the open and
  // changes again.
  sleepUntilRecordingMs(400);
  target.fill(kGreen);
  const double greenAt = recordingMs();
  sleepUntilRecordingMs(greenAt + 500);
  ASSERT_EQ(desktop_->run({"xdotool", "windowmove", "--sync", std::to_string(target.id()), "360", "170"}), 0);
  const auto after = frameOrigin(target.id());
  ASSERT_TRUE(after);
  ASSERT_NE(after, before);
  const double movedAt = recordingMs();
  sleepUntilRecordingMs(movedAt + 300);
  target.fill(kYellow);
  const double yellowAt = recordingMs();
  sleepUntilRecordingMs(yellowAt + 600);
  const json metadata = stop();
  ASSERT_TRUE(metadata.is_object());

  // The region's origin followed the window; its size stayed.
  EXPECT_EQ(metadata.at("region").at("x"), after->first);
  EXPECT_EQ(metadata.at("region").at("y"), after->second);
  EXPECT_EQ(static_cast<int>(metadata.at("region").at("width").get<double>()) / 2 * 2, width);
  EXPECT_EQ(static_cast<int>(metadata.at("region").at("height").get<double>()) / 2 * 2, height);
  expectVideoMatches(metadata);
  expectPlayable();
  expectInspectionPasses();

  // The window's own picture at each stage, never the window over it.
  const struct {
    double seconds;
    uint32_t colour;
  } stages[] = {{greenAt / 1000 - 0.1, kRed}, {movedAt / 1000 - 0.05, kGreen}, {yellowAt / 1000 + 0.5, kYellow}};
  for (const auto& stage : stages) {
    const std::optional<Picture> picture = testing_support::pictureAt(file("screen.mp4"), stage.seconds);
    ASSERT_TRUE(picture) << stage.seconds;
    const testing_support::Rgb centre = picture->at(width / 2, height / 2 + 5);
    EXPECT_TRUE(looksLike(centre, stage.colour)) << "at " << stage.seconds << " s: " << describe(centre);
  }
}

TEST_F(RecordedTargets, TheDisplayIdChoosesTheMonitor) {
  startDesktop({.width = 1280, .height = 360});
  desktop_->splitIntoTwoMonitors();
  TestWindow onLeft({.x = 200, .y = 100, .width = 240, .height = 160, .rgb = kGreen, .overrideRedirect = true});
  TestWindow onRight({.x = 840, .y = 100, .width = 240, .height = 160, .rgb = kRed, .overrideRedirect = true});

  HostProcess lister = HostProcess::spawn(TESMAR_BINARY, {"list"}, desktop_->environment());
  const std::optional<json> list = lister.readJson(20s);
  ASSERT_TRUE(list && list->contains("displays"));
  ASSERT_EQ(list->at("displays").size(), 2u) << list->dump();
  std::optional<uint32_t> right;
  for (const json& display : list->at("displays")) {
    if (display.at("frame") == rect(640, 0, 640, 360)) right = display.at("id").get<uint32_t>();
  }
  ASSERT_TRUE(right) << list->dump();

  startRecording({{"mode", "screen"}, {"displayId", *right}});
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(started_.value("width", 0), 640);
  EXPECT_EQ(started_.value("height", 0), 360);
  sleepUntilRecordingMs(800);
  const json metadata = stop();
  ASSERT_TRUE(metadata.is_object());
  EXPECT_EQ(metadata.at("region"), rect(640, 0, 640, 360));
  expectVideoMatches(metadata);
  expectPlayable();
  expectInspectionPasses();
  const Picture picture = lastPicture(metadata);
  ASSERT_EQ(picture.width, 640);
  EXPECT_TRUE(looksLike(picture.at(320, 180), kRed)) << describe(picture.at(320, 180));
}

TEST_F(RecordedTargets, AnExcludedApplicationsWindowsAreLeftOut) {
  startDesktop({.width = 640, .height = 360});
  ASSERT_EQ(desktop_->run({"xsetroot", "-solid", "#0000ff"}), 0);  // a plain desktop
  TestWindow excluded({.x = 40, .y = 40, .width = 200, .height = 150, .rgb = kGreen, .wmClass = "SomeApp"});
  TestWindow kept({.x = 360, .y = 40, .width = 200, .height = 150, .rgb = kRed, .wmClass = "OtherApp"});

  startRecording({{"mode", "screen"}, {"excludeBundleIds", json::array({"SomeApp", "NoSuchApp"})}});
  ASSERT_FALSE(HasFatalFailure());
  sleepUntilRecordingMs(800);
  const json metadata = stop();
  ASSERT_TRUE(metadata.is_object());
  expectVideoMatches(metadata);
  expectPlayable();
  expectInspectionPasses();

  // Where the excluded window is, the picture shows the bare desktop, as it
  // does where no window is; the other application's window stays.
  const Picture picture = lastPicture(metadata);
  ASSERT_EQ(picture.width, 640);
  const testing_support::Rgb desktop = picture.at(600, 330);
  EXPECT_FALSE(looksLike(desktop, kGreen)) << describe(desktop);
  for (const auto& [x, y] : {std::pair{60, 70}, std::pair{140, 130}, std::pair{230, 180}}) {
    EXPECT_TRUE(looksLike(picture.at(x, y), (desktop.r << 16) | (desktop.g << 8) | desktop.b))
        << x << "," << y << ": " << describe(picture.at(x, y)) << ", the desktop: " << describe(desktop);
  }
  EXPECT_TRUE(looksLike(picture.at(460, 130), kRed)) << describe(picture.at(460, 130));
}

}  // namespace
}  // namespace e2e_tests
