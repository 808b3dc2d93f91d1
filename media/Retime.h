// Moving a sample onto the recording timeline.
#pragma once

#include "platform/MediaTime.h"

#include <optional>

// A copy of `buffer` whose presentation and decode times are moved back by
// `offset` (subtracted: a negative offset moves the sample later). Invalid
// times stay invalid and durations are kept; the media data, format and
// attachments are shared with the argument, which is not changed. A buffer
// without timing entries gets one entry of three invalid times. No value when
// no copy can be made. Pure; safe on any thread.
std::optional<platform::SampleBuffer> retime(const platform::SampleBuffer& buffer,
                                             const platform::MediaTime& offset);
