// The cursor the X server shows, through the XFixes extension, on a
// connection of its own.
//
// The server tells this connection whenever the displayed cursor changes
// (cursor notify events), so asking about an unchanged cursor costs no round
// trip: only when a change was announced, or the caller's serial is not the
// one last seen, is the image fetched. Not thread-safe: call it from one
// thread (the main loop); connecting happens on a helper thread, so that a
// display that does not answer never holds that thread for long.
#pragma once

#include "platform/InputEvents.h"

#include <chrono>
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
  // While the display cannot be reached, a connection is tried at most this
  // often: a poll tick that finds no connection mostly costs nothing.
  static constexpr std::chrono::milliseconds kReconnectInterval{1000};
  // How long the call that starts a connection attempt waits for it. A live
  // local server answers within a few milliseconds; one that does not answer
  // in time costs the caller this once, and the attempt goes on in the
  // background, to be taken up by a later call.
  static constexpr std::chrono::milliseconds kConnectWait{200};

  CursorReader();
  ~CursorReader();
  CursorReader(const CursorReader&) = delete;
  CursorReader& operator=(const CursorReader&) = delete;

  // The current cursor. Connects to $DISPLAY on first use. While the
  // display cannot be opened, or after the connection broke (the server
  // ended or restarted), the image is absent; the reader connects again on a
  // later call, as described above, and then reports the image anew whatever
  // `lastSerial` says (serials of an earlier connection mean nothing to the
  // new one). The image is also absent while the server refuses to show the
  // cursor: a server with the SECURITY extension refuses a cursor whose
  // creator has disconnected (a root cursor set by xsetroot), and an
  // animated cursor may be refused between frames. The image's size in
  // points is its size in pixels, and its hot spot lies within it.
  InputEventService::CursorQuery current(std::optional<uint64_t> lastSerial);

 private:
  struct Connection;
  struct Attempt;
  // Connects to $DISPLAY and asks for cursor notifications; null on
  // failure. Blocks for as long as the server takes to answer: run on a
  // thread of its own.
  static std::unique_ptr<Connection> openConnection();
  // Whether connection_ is there, after taking up a finished attempt or
  // starting a new one when one is due.
  bool connected();

  // All on the caller's thread except what Attempt guards.
  std::unique_ptr<Connection> connection_;
  std::shared_ptr<Attempt> attempt_;  // the attempt under way, if any
  std::chrono::steady_clock::time_point nextAttempt_{};
};

}  // namespace platform::xinput
