// A capture stream that ends on its own: the host is warned, and the
// recording ends through the ordinary stop, keeping what was recorded.
#include "main/EventChannel.h"
#include "recorder/Recorder.h"

void Recorder::streamDidStopWithError(platform::CaptureStream&, const platform::Error& error) {
  // The message prefix is part of the event protocol hosts match on.
  emit({{"event", "warning"}, {"message", "ScreenCaptureKit stopped: " + error.description}});
  stop("systemStopped", false);
}
