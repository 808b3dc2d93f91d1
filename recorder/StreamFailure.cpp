// A capture stream that ends on its own: the host is warned, and the
// recording ends through the ordinary stop, keeping what was recorded. When
// a stop is already under way the failure changes nothing and says nothing.
#include "recorder/Recorder.h"

void Recorder::streamDidStopWithError(platform::CaptureStream&, const platform::Error& error) {
  // The message prefix is part of the event protocol hosts match on.
  stop("systemStopped", false,
       nlohmann::json{{"event", "warning"}, {"message", "ScreenCaptureKit stopped: " + error.description}});
}
