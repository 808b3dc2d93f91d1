// Reads the desktop's mouse buttons and keys as XInput 2 raw events on a
// connection and a thread of its own, and turns them into mouse and key
// events. Raw events reach a listener on the root window whatever window has
// the focus and whatever grabs are active.
//
// Nothing is selected until select() asks for it: a reader asked only for
// buttons never receives a key event from the server. The handlers run on
// the reader's thread.
//
// Buttons 1 and 3 are left and right as the raw events number them, before
// any button map (a map that swaps them for left-handed use is not applied);
// the wheel (4 to 7), the middle button and further buttons are ignored.
// Raw key events never repeat: the repeats of a held key are re-created from
// the server's repeat settings (see AutoRepeat).
#pragma once

#include "platform/InputEvents.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <memory>
#include <thread>

namespace platform::xinput {

class RawInputReader {
 public:
  struct Handlers {
    std::function<void(const MouseEvent&)> mouse;
    std::function<void(const KeyEvent&)> key;
  };

  // Connects to $DISPLAY and starts the reader thread. Null when the display
  // cannot be opened or offers no XInput 2.1 or later.
  static std::unique_ptr<RawInputReader> open(Handlers handlers);
  // Stops the thread (no handler call after it returns) and disconnects.
  ~RawInputReader();
  RawInputReader(const RawInputReader&) = delete;
  RawInputReader& operator=(const RawInputReader&) = delete;

  // Which events to read from now on. Thread-safe. Returns once the server
  // has the new selection (at most about a second), so that every event of
  // a kind asked for that happens after the return is read.
  void select(bool buttons, bool keys);

  struct Connection;

 private:
  RawInputReader(std::unique_ptr<Connection> connection, Handlers handlers);
  void run();
  void applySelection();
  void wake();

  std::unique_ptr<Connection> connection_;
  Handlers handlers_;
  std::mutex selectionLock_;  // guards the three below
  std::condition_variable selectionApplied_;
  unsigned wanted_ = 0;
  uint64_t requested_ = 0;  // number of select() calls
  uint64_t applied_ = 0;    // how many of them the reader has applied
  std::atomic<bool> quit_{false};
  int wakeFd_ = -1;
  std::thread thread_;
};

}  // namespace platform::xinput
