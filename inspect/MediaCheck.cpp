#include "inspect/MediaCheck.h"

#include "inspect/MediaReader.h"
#include "inspect/Mp4Boxes.h"

#include <cmath>
#include <filesystem>
#include <sstream>

namespace inspect {

namespace {

std::string seconds(double value) {
  std::ostringstream text;
  text.precision(3);
  text << std::fixed << value << " s";
  return text.str();
}

// Damage any file can show, whatever the recording's state.
bool checkReadable(const MediaReport& media, Report& report) {
  if (!media.present) {
    report.add(check::mediaMissing, media.file, "is missing.");
    return false;
  }
  if (!media.opened) {
    report.add(check::mediaDecode, media.file, "cannot be opened: " + media.decodeError);
    return false;
  }
  if (!media.decodeError.empty()) report.add(check::mediaDecode, media.file, "does not decode cleanly: " + media.decodeError);
  return true;
}

void checkWhole(const MediaReport& media, bool finished, Report& report) {
  if (media.cutBytes > 0)
    report.add(check::mediaTruncated, media.file,
               "ends inside an MP4 box: the last " + std::to_string(media.cutBytes) +
                   " bytes are part of a box cut off; it plays to " + seconds(media.playableSeconds) + ".");
  else if (finished && !media.indexed)
    report.add(check::mediaTruncated, media.file, "has no index (mfra) at its end: it was not finished.");
}

}  // namespace

MediaReport readMediaFile(const std::string& folder, const std::string& file) {
  MediaReport media;
  media.file = file;
  const std::string path = (std::filesystem::path(folder) / file).string();
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return media;
  media.present = true;
  const Mp4Layout layout = readMp4Layout(path);
  media.indexed = layout.has("mfra");
  media.cutBytes = layout.size - layout.wholeBytes;
  const DecodedMedia decoded = decodeMedia(path, layout.wholeBytes);
  media.opened = decoded.opened;
  media.decodeError = decoded.opened ? decoded.decodeError : decoded.openError;
  media.codec = decoded.codec;
  media.width = decoded.width;
  media.height = decoded.height;
  media.sampleRate = decoded.sampleRate;
  media.channels = decoded.channels;
  media.frames = decoded.frames;
  media.startSeconds = decoded.startSeconds.value_or(0);
  media.playableSeconds = decoded.endSeconds;
  if (media.indexed) media.headerSeconds = decoded.containerSeconds;
  return media;
}

void checkVideo(const MediaReport& video, const nlohmann::json& metadata, Report& report) {
  const double frames = metadata["frames"].get<double>();
  if (frames == 0 && (!video.present || video.frames == 0)) return;  // stopped before the first frame
  if (!checkReadable(video, report)) return;
  checkWhole(video, metadata["finished"] == true, report);
  if (video.frames == 0) {
    report.add(check::mediaDecode, video.file, "holds no picture, yet metadata.json counts " + metadata["frames"].dump() + " frames.");
    return;
  }
  if (video.width != metadata["width"].get<double>() || video.height != metadata["height"].get<double>())
    report.add(check::videoSize, video.file,
               "pictures are " + std::to_string(video.width) + " × " + std::to_string(video.height) +
                   "; metadata.json says " + metadata["width"].dump() + " × " + metadata["height"].dump() + ".");
  const double frame = 1.0 / std::max(1.0, metadata["fps"].get<double>());
  const double expected = metadata["durationMs"].get<double>() / 1000;
  if (std::abs(video.playableSeconds - expected) > frame + 1e-6)
    report.add(check::videoDuration, video.file,
               "plays " + seconds(video.playableSeconds) + "; metadata.json says " + seconds(expected) +
                   " (allowed: one frame, " + seconds(frame) + ").");
  else if (video.headerSeconds && std::abs(*video.headerSeconds - expected) > frame + 1e-6)
    report.add(check::videoDuration, video.file,
               "its header gives " + seconds(*video.headerSeconds) + "; metadata.json says " + seconds(expected) + ".");
}

void checkAudio(const MediaReport& audio, const std::string& key, const nlohmann::json& metadata, Report& report) {
  if (!checkReadable(audio, report)) return;
  checkWhole(audio, metadata["finished"] == true, report);
  if (audio.frames == 0) {
    report.add(check::mediaDecode, audio.file, "holds no sound, yet metadata.json says the track started.");
    return;
  }
  if (std::abs(audio.startSeconds) > kAudioStartToleranceSeconds)
    report.add(check::audioStart, audio.file,
               "starts at " + seconds(audio.startSeconds) + " of its own time instead of 0, so it does not play from "
               "audioStartMs." + key + ".");
  const double startMs = metadata["audioStartMs"].value(key, 0.0);
  const double durationMs = metadata["durationMs"].get<double>();
  const double endMs = startMs + audio.playableSeconds * 1000;
  if (startMs >= durationMs && durationMs > 0)
    report.add(check::audioStart, audio.file,
               "audioStartMs." + key + " is " + metadata["audioStartMs"][key].dump() + " ms, after the recording's end.");
  else if (endMs <= 0)
    report.add(check::audioStart, audio.file, "ends before the recording began (audioStartMs." + key + " + its length ≤ 0).");
}

void checkCutShortMedia(const MediaReport& media, Report& report) {
  if (!media.present) return;
  if (!media.opened) {
    // A file killed before its first fragment holds no playable header.
    return;
  }
  if (!media.decodeError.empty())
    report.add(check::mediaDecode, media.file, "does not decode cleanly within its whole part: " + media.decodeError);
}

}  // namespace inspect
