#include "platform/MediaTime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using platform::MediaTime;

namespace {

constexpr MediaTime t(int64_t value, int32_t timescale) { return MediaTime::make(value, timescale); }

struct SubtractCase {
  const char* name;
  MediaTime a, b, expected;
  int32_t expectedTimescale;
};

TEST(MediaTime, SubtractsExactlyAcrossTimescales) {
  const SubtractCase cases[] = {
      {"same scale", t(105500000000, 1000000000), t(100000000000, 1000000000), t(5500000000, 1000000000), 1000000000},
      {"one divides the other", t(3, 10), t(1, 1000), t(299, 1000), 1000},
      {"coprime scales use their product", t(1, 3), t(1, 7), t(4, 21), 21},
      {"negative result", t(10, 1), t(12, 1), t(-2, 1), 1},
      {"minus a negative offset", t(10000000000, 1000000000), t(-2, 1), t(12000000000, 1000000000), 1000000000},
      {"44.1 kHz minus 48 kHz", t(44100, 44100), t(24000, 48000), t(3528000, 7056000), 7056000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const MediaTime r = c.a - c.b;
    EXPECT_TRUE(r.isValid());
    EXPECT_EQ(r.timescale, c.expectedTimescale);
    EXPECT_EQ(compare(r, c.expected), 0) << r.value << "/" << r.timescale;
    EXPECT_EQ(compare(r + c.b, c.a), 0);
  }
}

TEST(MediaTime, SubtractionBeyondThirtyTwoBitScalesRoundsToTheLargerScale) {
  // lcm(1000000007, 999999937) does not fit 32 bits.
  const MediaTime r = t(1000000007, 1000000007) - t(1, 999999937);
  EXPECT_EQ(r.timescale, 1000000007);
  EXPECT_EQ(r.value, 1000000007 - 1);  // 1 s - 1.00000007 ns, to the nearest tick
  EXPECT_TRUE(r.flags & MediaTime::kHasBeenRounded);
}

TEST(MediaTime, ComparesExactlyWhereDoublesCannot) {
  // 2^53 + 1 ticks: a double cannot tell these apart.
  const int64_t big = (int64_t{1} << 53) + 1;
  EXPECT_EQ(compare(t(big, 1), t(big * 2, 2)), 0);
  EXPECT_LT(t(big, 1), t(big * 2 + 1, 2));
  EXPECT_GT(t(1, 3), t(333333333, 1000000000));
}

TEST(MediaTime, OrdersInvalidBelowEveryValidTime) {
  const MediaTime invalid = MediaTime::invalid();
  EXPECT_EQ(compare(invalid, invalid), 0);
  EXPECT_LT(invalid, t(std::numeric_limits<int64_t>::min(), 1));
  EXPECT_LT(invalid, MediaTime::fromSeconds(-INFINITY, 1000));
  EXPECT_LT(MediaTime::fromSeconds(-INFINITY, 1000), t(-5, 1));
  EXPECT_GT(MediaTime::fromSeconds(INFINITY, 1000), t(5, 1));
  EXPECT_FALSE((invalid - t(1, 1)).isValid());
  EXPECT_FALSE((t(1, 1) - invalid).isValid());
}

TEST(MediaTime, FromSecondsRoundsToTheNearestTick) {
  struct Case {
    double seconds;
    int32_t timescale;
    int64_t value;
  } const cases[] = {
      {105.5, 1000000000, 105500000000},
      {0.0166666, 90000, 1500},
      {-0.25, 2, -1},  // halves away from zero
      {1.0 / 3.0, 3, 1},
      {4.1, 1000, 4100},
  };
  for (const auto& c : cases) {
    const MediaTime r = MediaTime::fromSeconds(c.seconds, c.timescale);
    EXPECT_TRUE(r.isValid());
    EXPECT_EQ(r.timescale, c.timescale);
    EXPECT_EQ(r.value, c.value) << c.seconds;
  }
  EXPECT_FALSE(MediaTime::fromSeconds(NAN, 1000).isValid());
  EXPECT_FALSE(std::isfinite(MediaTime::fromSeconds(INFINITY, 1000).seconds()));
}

TEST(MediaTime, SecondsAndScaleConversion) {
  EXPECT_DOUBLE_EQ(t(5500000000, 1000000000).seconds(), 5.5);
  EXPECT_TRUE(std::isnan(MediaTime::invalid().seconds()));
  const MediaTime r = t(1001, 30000).convertScale(90000);
  EXPECT_EQ(r.value, 3003);
  EXPECT_EQ(t(1, 3).convertScale(1000).value, 333);
  EXPECT_EQ(t(-1, 2000).convertScale(1000).value, -1);  // halves away from zero
}

TEST(SampleBuffer, DurationIsTheSumOfItsEntries) {
  using platform::SampleTimingInfo;
  const MediaTime none = MediaTime::invalid();
  struct Case {
    const char* name;
    std::vector<SampleTimingInfo> entries;
    MediaTime expected;
  } const cases[] = {
      {"one entry", {{t(480, 48000), t(1, 1), none}}, t(1, 100)},
      {"three entries", {{t(1, 100), none, none}, {t(1, 50), none, none}, {t(3, 1000), none, none}}, t(33, 1000)},
      {"an invalid duration", {{t(1, 100), none, none}, {none, none, none}}, none},
      {"no entries", {}, none},
  };
  platform::MediaRef<platform::AudioBufferData> pcm(new platform::OwnedAudioBuffer(48000, 2, 480));
  for (const auto& c : cases) {
    const platform::SampleBuffer b(platform::MediaRef<platform::MediaData>(pcm), c.entries.data(), c.entries.size());
    EXPECT_EQ(compare(b.duration(), c.expected), 0) << c.name;
    EXPECT_EQ(b.duration().isValid(), c.expected.isValid()) << c.name;
  }
  EXPECT_EQ(compare(platform::SampleBuffer::audio(pcm, t(5, 1)).duration(), t(1, 100)), 0);
}

}  // namespace
