// The cursor the X server shows, through the XFixes extension, on a
// connection of its own.
//
// The server tells this connection whenever the displayed cursor changes
// (cursor notify events), so asking about an unchanged cursor costs no round
// trip: only when a change was announced, or the caller's serial is not the
// one last seen, is the image fetched. Not thread-safe: call it from one
// thread (the main loop).
#pragma once

#include "platform/InputEvents.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace platform::xinput {

// XFixes pixels (premultiplied ARGB, one 32-bit value per pixel) to straight
// RGBA bytes; a fully transparent pixel becomes 0, 0, 0, 0.
void straightenCursorPixels(const uint32_t* argb, size_t count, uint8_t* rgba);

class CursorReader {
 public:
  CursorReader();
  ~CursorReader();
  CursorReader(const CursorReader&) = delete;
  CursorReader& operator=(const CursorReader&) = delete;

  // The current cursor. Connects to $DISPLAY on first use; when the display
  // cannot be opened or the connection breaks, the image is absent from then
  // on. It is also absent while the server refuses to show the cursor: a
  // server with the SECURITY extension refuses a cursor whose creator has
  // disconnected (a root cursor set by xsetroot), and an animated cursor may
  // be refused between frames. The image's size in points is its size in
  // pixels, and its hot spot lies within it.
  InputEventService::CursorQuery current(std::optional<uint64_t> lastSerial);

 private:
  struct Connection;
  bool connect();
  std::unique_ptr<Connection> connection_;
  bool failed_ = false;
};

}  // namespace platform::xinput
