// A capture stream that ends on its own, or a media file that can no longer
// be written: the host is warned, and the recording ends through the
// ordinary stop, keeping what was recorded (the stop then reports the files
// as not finished when one could not be completed). When a stop is already
// under way the failure changes nothing and says nothing.
#include "recorder/Recorder.h"

void Recorder::streamDidStopWithError(platform::CaptureStream&, const platform::Error& error) {
  // The message prefix is part of the event protocol hosts match on.
  stop("systemStopped", false,
       nlohmann::json{{"event", "warning"}, {"message", "ScreenCaptureKit stopped: " + error.description}});
}

bool Recorder::stopIfAWriterFailed() {
  for (const TrackWriter* track : {video.get(), sysAudio.get(), micAudio.get()}) {
    if (!track) continue;
    switch (track->failure()) {
      case platform::WriterFailure::none:
        continue;
      case platform::WriterFailure::noSpace:
        // A full disk is what the disk-space watch guards against: the same
        // warning and reason, whichever saw it first.
        stop("lowDiskSpace", false, lowDiskSpaceWarning());
        return true;
      case platform::WriterFailure::other:
        stop("systemStopped", false, nlohmann::json{{"event", "warning"}, {"message", track->errorDescription()}});
        return true;
    }
  }
  return false;
}
