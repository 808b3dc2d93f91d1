// A screen capture stream that can be readied before it starts: the part of
// a desktop's capture stream that shows the screen, whichever windowing
// system provides it. The desktop's stream readies the screen first, then
// starts its audio parts, and starts the screen last, so that nothing is
// delivered before every part stands and the screen's first frame is not
// lost behind that gate.
#pragma once

#include "platform/ScreenCapture.h"

namespace platform {

class PreparedCaptureStream : public CaptureStream {
 public:
  // Connects to the screen's source and readies the capture without
  // delivering anything; the error says why that cannot be done. Optional:
  // startCapture() prepares a stream that is not prepared. A prepared
  // stream may be stopped (stopCapture()) without having started.
  virtual std::optional<Error> prepareCapture() = 0;
};

}  // namespace platform
