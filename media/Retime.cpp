#include "media/Retime.h"

#include <algorithm>
#include <array>
#include <vector>

using platform::MediaTime;
using platform::SampleBuffer;
using platform::SampleTimingInfo;

namespace {

// Buffers with up to this many timing entries are retimed without a heap
// allocation for the timing array.
constexpr size_t kStackEntries = 8;

void moveEntries(SampleTimingInfo* entries, size_t count, const MediaTime& offset) {
  for (size_t i = 0; i < count; ++i) {
    SampleTimingInfo& e = entries[i];
    if (e.presentationTimeStamp.isValid()) e.presentationTimeStamp = e.presentationTimeStamp - offset;
    if (e.decodeTimeStamp.isValid()) e.decodeTimeStamp = e.decodeTimeStamp - offset;
  }
}

}  // namespace

std::optional<SampleBuffer> retime(const SampleBuffer& buffer, const MediaTime& offset) {
  const size_t n = buffer.getSampleTimingInfoArray(0, nullptr);
  const size_t count = std::max<size_t>(n, 1);

  std::array<SampleTimingInfo, kStackEntries> local{};  // all-zero: invalid times
  std::vector<SampleTimingInfo> heap;
  SampleTimingInfo* entries = local.data();
  if (count > kStackEntries) {
    heap.resize(count);
    entries = heap.data();
  }

  buffer.getSampleTimingInfoArray(n, entries);
  moveEntries(entries, count, offset);

  SampleBuffer copy = buffer.copyWithNewTiming(entries, count);
  if (!copy.isValid()) return std::nullopt;
  return copy;
}
