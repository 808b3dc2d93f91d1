#include "TestWindows.h"

#include "support/Eventually.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace backend_tests {

TestWindow::TestWindow(Options options) {
  connection_ = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection_)) throw std::runtime_error("cannot connect to the X server");
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
  window_ = xcb_generate_id(connection_);
  const uint32_t values[] = {options.rgb, options.overrideRedirect ? 1u : 0u};
  xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root, static_cast<int16_t>(options.x),
                    static_cast<int16_t>(options.y), static_cast<uint16_t>(options.width),
                    static_cast<uint16_t>(options.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  const std::string wmClass = options.wmClass + '\0' + options.wmClass + '\0';
  xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                      static_cast<uint32_t>(wmClass.size()), wmClass.data());
  xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8,
                      static_cast<uint32_t>(options.title.size()), options.title.data());
  // Where the window asked to be: the window manager honours a position the
  // user (here: the test) gave.
  uint32_t hints[18] = {};
  hints[0] = 1 | 2;  // USPosition | USSize
  hints[1] = static_cast<uint32_t>(options.x);
  hints[2] = static_cast<uint32_t>(options.y);
  hints[3] = static_cast<uint32_t>(options.width);
  hints[4] = static_cast<uint32_t>(options.height);
  xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32,
                      18, hints);
  if (options.setPid) {
    const uint32_t pid = static_cast<uint32_t>(getpid());
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
  }
  if (options.type) {
    const xcb_atom_t type = atom(options.type);
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1,
                        &type);
  }
  xcb_map_window(connection_, window_);
  xcb_flush(connection_);
  const auto timeout = std::chrono::seconds(10);
  if (!waitUntil(&TestWindow::isViewable, timeout) ||
      (!options.overrideRedirect && !waitUntil(&TestWindow::isFramed, timeout))) {
    throw std::runtime_error("the test window did not appear");
  }
}

TestWindow::~TestWindow() { xcb_disconnect(connection_); }

void TestWindow::fill(uint32_t rgb) {
  xcb_change_window_attributes(connection_, window_, XCB_CW_BACK_PIXEL, &rgb);
  xcb_clear_area(connection_, 0, window_, 0, 0, 0, 0);
  free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));  // processed
}

void TestWindow::raise() {
  const uint32_t above = XCB_STACK_MODE_ABOVE;
  xcb_configure_window(connection_, window_, XCB_CONFIG_WINDOW_STACK_MODE, &above);
  free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

xcb_atom_t TestWindow::atom(const char* name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      connection_, xcb_intern_atom(connection_, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  const xcb_atom_t value = reply ? reply->atom : 0;
  free(reply);
  return value;
}

bool TestWindow::waitUntil(bool (TestWindow::*condition)(), std::chrono::milliseconds timeout) {
  return testing_support::waitUntil([&] { return (this->*condition)(); }, timeout);
}

bool TestWindow::isViewable() {
  xcb_get_window_attributes_reply_t* reply =
      xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, window_), nullptr);
  const bool viewable = reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
  free(reply);
  return viewable;
}

bool TestWindow::isFramed() {
  xcb_get_property_reply_t* reply = xcb_get_property_reply(
      connection_, xcb_get_property(connection_, 0, window_, atom("_NET_FRAME_EXTENTS"), XCB_ATOM_CARDINAL, 0, 4),
      nullptr);
  const bool framed = reply && reply->type != XCB_ATOM_NONE;
  free(reply);
  return framed;
}

}  // namespace backend_tests
