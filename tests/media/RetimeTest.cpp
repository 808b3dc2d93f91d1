#include "media/Retime.h"

#include <gtest/gtest.h>

#include <vector>

using platform::AudioBufferData;
using platform::MediaRef;
using platform::MediaTime;
using platform::SampleBuffer;
using platform::SampleTimingInfo;

namespace {

constexpr int32_t kNs = 1000000000;

MediaTime sec(double s) { return MediaTime::fromSeconds(s, kNs); }

SampleBuffer audioWithEntries(std::vector<SampleTimingInfo> entries) {
  MediaRef<AudioBufferData> pcm(new platform::OwnedAudioBuffer(48000, 2, 480));
  return SampleBuffer(MediaRef<platform::MediaData>(pcm), entries.data(), entries.size());
}

std::vector<SampleTimingInfo> timing(const SampleBuffer& b) {
  std::vector<SampleTimingInfo> out(b.getSampleTimingInfoArray(0, nullptr));
  b.getSampleTimingInfoArray(out.size(), out.data());
  return out;
}

void expectSameTime(const MediaTime& actual, const MediaTime& expected) {
  EXPECT_EQ(actual.isValid(), expected.isValid());
  EXPECT_EQ(compare(actual, expected), 0) << actual.value << "/" << actual.timescale << " vs " << expected.value
                                          << "/" << expected.timescale;
}

struct RetimeCase {
  const char* name;
  std::vector<SampleTimingInfo> in;
  MediaTime offset;
  std::vector<SampleTimingInfo> out;
};

TEST(Retime, MovesPresentationAndDecodeTimesAndKeepsDurations) {
  const MediaTime none = MediaTime::invalid();
  const MediaTime tick = MediaTime::make(1, 48000);
  const RetimeCase cases[] = {
      {"frame without decode time", {{sec(1.0 / 60), sec(105.5), none}}, sec(100.0), {{sec(1.0 / 60), sec(5.5), none}}},
      {"several audio entries",
       {{tick, sec(10.0), sec(9.9)}, {tick, sec(10.5), sec(10.4)}, {tick, sec(11.0), none}},
       sec(4.0),
       {{tick, sec(6.0), sec(5.9)}, {tick, sec(6.5), sec(6.4)}, {tick, sec(7.0), none}}},
      {"offset zero", {{tick, sec(3.25), sec(3.0)}}, MediaTime::zero(), {{tick, sec(3.25), sec(3.0)}}},
      {"negative offset moves later", {{none, sec(10.0), none}}, sec(-2.0), {{none, sec(12.0), none}}},
      {"no entries gives one invalid entry", {}, sec(1.0), {{none, none, none}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SampleBuffer in = audioWithEntries(c.in);
    const auto r = retime(in, c.offset);
    ASSERT_TRUE(r.has_value());
    const auto got = timing(*r);
    ASSERT_EQ(got.size(), c.out.size());
    for (size_t i = 0; i < got.size(); ++i) {
      expectSameTime(got[i].duration, c.out[i].duration);
      expectSameTime(got[i].presentationTimeStamp, c.out[i].presentationTimeStamp);
      expectSameTime(got[i].decodeTimeStamp, c.out[i].decodeTimeStamp);
    }
    // The argument is unchanged.
    const auto before = timing(in);
    ASSERT_EQ(before.size(), c.in.size());
    for (size_t i = 0; i < before.size(); ++i)
      expectSameTime(before[i].presentationTimeStamp, c.in[i].presentationTimeStamp);
  }
}

TEST(Retime, SharesMediaDataAndAttachments) {
  auto* frame = new platform::OwnedVideoFrame(4, 2);
  MediaRef<platform::VideoFrameData> ref(frame);
  const SampleBuffer in = SampleBuffer::video(ref, sec(7.0), sec(0.5), platform::FrameStatus::complete);
  const int refsBefore = frame->useCount();

  const auto r = retime(in, sec(2.0));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->videoFrame(), frame);
  EXPECT_EQ(frame->useCount(), refsBefore + 1);
  ASSERT_TRUE(r->attachments().has_value());
  EXPECT_EQ(r->attachments()->first.frameStatus, 0);
  expectSameTime(r->presentationTimeStamp(), sec(5.0));
  expectSameTime(r->duration(), sec(0.5));
}

TEST(Retime, ManyEntriesAllMove) {
  std::vector<SampleTimingInfo> entries;
  for (int i = 0; i < 20; ++i) entries.push_back({MediaTime::make(1, 100), MediaTime::make(500 + i, 100), MediaTime::invalid()});
  const auto r = retime(audioWithEntries(entries), MediaTime::make(5, 1));
  ASSERT_TRUE(r.has_value());
  const auto got = timing(*r);
  ASSERT_EQ(got.size(), entries.size());
  for (size_t i = 0; i < got.size(); ++i) expectSameTime(got[i].presentationTimeStamp, MediaTime::make(i, 100));
}

TEST(Retime, InvalidBufferGivesNoValue) { EXPECT_FALSE(retime(SampleBuffer(), sec(1.0)).has_value()); }

}  // namespace
