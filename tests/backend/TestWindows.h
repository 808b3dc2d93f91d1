// Windows a test makes itself on the virtual desktop: plain rectangles of
// one colour (the server paints them, no drawing code), with the properties
// a test needs (class, type, pid, override-redirect). Each window has its
// own connection, so it goes away with the object.
#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace backend_tests {

class TestWindow {
 public:
  struct Options {
    int x = 0;
    int y = 0;
    int width = 200;
    int height = 150;
    uint32_t rgb = 0xFF0000;          // background colour, 0xRRGGBB
    std::string wmClass = "TestWindow";
    std::string title = "test window";
    const char* type = nullptr;       // e.g. "_NET_WM_WINDOW_TYPE_DOCK"
    bool overrideRedirect = false;
    bool setPid = true;               // _NET_WM_PID of this process
  };

  // Maps the window on $DISPLAY and waits until it is viewable (and, unless
  // override-redirect, managed: framed by the window manager).
  explicit TestWindow(Options options);
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  xcb_window_t id() const { return window_; }
  // Repaints the whole window in `rgb`.
  void fill(uint32_t rgb);
  // Brings the window on top of the others.
  void raise();

 private:
  xcb_atom_t atom(const char* name);
  bool waitUntil(bool (TestWindow::*condition)(), std::chrono::milliseconds timeout);
  bool isViewable();
  bool isFramed();

  xcb_connection_t* connection_ = nullptr;
  xcb_window_t window_ = 0;
};

}  // namespace backend_tests
