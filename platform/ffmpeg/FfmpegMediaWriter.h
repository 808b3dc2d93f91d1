// The media writer of the Linux desktop, on FFmpeg's libraries.
//
// "screen.mp4" (FileType::mpeg4): H.264 High from libx264, yuv420p tagged
// BT.709 limited range, variable frame rate on a 1/90000 s time base.
// "*.m4a" (FileType::appleM4A): AAC-LC from FFmpeg's native encoder in the
// M4A (ipod) container; gaps in the audio are filled with silence and
// overlaps trimmed, so every sample plays at its presentation time.
//
// Each writer encodes and writes on a thread of its own. append() hands the
// sample (shared, never copied) to that thread through a bounded queue and
// never waits; a full queue refuses the sample. The file itself is created by
// startWriting(); makeWriter() only checks that it can be.
#pragma once

#include "platform/MediaWriter.h"

#include <memory>

namespace platform {

std::shared_ptr<MediaWriterFactory> makeFfmpegMediaWriterFactory();

}  // namespace platform
